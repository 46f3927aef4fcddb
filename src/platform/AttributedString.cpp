#include "platform/AttributedString.h"

#include <algorithm>

namespace platform {

AttributedString::AttributedString(std::string_view text) : text_(text) {
  if (!text_.empty()) runs_.push_back({{0, text_.size()}, {}});
}

void AttributedString::appendAttributedString(const AttributedString& other) {
  const std::size_t base = text_.size();
  text_ += other.text_;
  for (Run run : other.runs_) {
    run.range.location += base;
    runs_.push_back(run);
  }
  coalesce();
}

void AttributedString::addAttributes(const Attributes& attributes, Range range) {
  const std::size_t begin = std::min(range.location, text_.size());
  const std::size_t end = begin + std::min(range.length, text_.size() - begin);
  if (begin == end) return;
  splitAt(begin);
  splitAt(end);
  for (Run& run : runs_) {
    if (run.range.location < begin || run.range.location >= end) continue;
    if (attributes.font) run.attributes.font = attributes.font;
    if (attributes.foregroundColor) run.attributes.foregroundColor = attributes.foregroundColor;
  }
  coalesce();
}

void AttributedString::splitAt(std::size_t offset) {
  for (auto it = runs_.begin(); it != runs_.end(); ++it) {
    const std::size_t start = it->range.location, stop = start + it->range.length;
    if (offset <= start || offset >= stop) continue;
    Run tail{{offset, stop - offset}, it->attributes};
    it->range.length = offset - start;
    runs_.insert(it + 1, tail);
    return;
  }
}

void AttributedString::coalesce() {
  std::vector<Run> merged;
  for (const Run& run : runs_) {
    if (!merged.empty() && merged.back().attributes == run.attributes) {
      merged.back().range.length += run.range.length;
    } else {
      merged.push_back(run);
    }
  }
  runs_ = std::move(merged);
}

}  // namespace platform
