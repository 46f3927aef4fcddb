// AttributedString.h: mutable styled text, the form a status item's title takes.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Color.h"
#include "platform/Font.h"

namespace platform {

// One entry per attribute key; an absent entry leaves the key as it was.
struct Attributes {
  std::optional<Font> font = std::nullopt;
  std::optional<Color> foregroundColor = std::nullopt;
  bool operator==(const Attributes&) const = default;
};

// Offsets and lengths count bytes of the UTF-8 text.
struct Range {
  std::size_t location = 0;
  std::size_t length = 0;
  bool operator==(const Range&) const = default;
};

class AttributedString {
 public:
  struct Run {
    Range range;
    Attributes attributes;
    bool operator==(const Run&) const = default;
  };

  AttributedString() = default;
  explicit AttributedString(std::string_view text);

  const std::string& string() const { return text_; }
  std::size_t length() const { return text_.size(); }

  void appendAttributedString(const AttributedString& other);

  // Sets every key present in `attributes` over `range`, overriding the same key there. The
  // range is cut to the text, so a caller can never style bytes that are not there.
  void addAttributes(const Attributes& attributes, Range range);

  // The text as maximal runs of equal attributes, in order, covering it whole.
  const std::vector<Run>& runs() const { return runs_; }

  bool operator==(const AttributedString&) const = default;

 private:
  void splitAt(std::size_t offset);
  void coalesce();

  std::string text_;
  std::vector<Run> runs_;
};

}  // namespace platform
