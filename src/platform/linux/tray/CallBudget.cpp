#include "platform/linux/tray/CallBudget.h"

#include <malloc.h>

#include <algorithm>
#include <mutex>

namespace platform::linux_backend {

bool CallBudget::admit(std::string_view caller, double now) {
  auto it = callers_.find(caller);
  if (it != callers_.end() && it->second.waiting >= kPerCaller) forgetStale(now);
  if (waiting_ >= kAll) forgetStale(now);
  it = callers_.find(caller);
  if ((it != callers_.end() && it->second.waiting >= kPerCaller) || waiting_ >= kAll) {
    return false;
  }
  if (it == callers_.end()) it = callers_.emplace(std::string(caller), Caller{0, now}).first;
  ++it->second.waiting;
  ++waiting_;
  return true;
}

void CallBudget::answered(std::string_view caller, double now) {
  const auto it = callers_.find(caller);
  if (it == callers_.end()) return;  // an answer to a call that was never counted
  --waiting_;
  if (--it->second.waiting <= 0) {
    callers_.erase(it);
  } else {
    it->second.moved = now;
  }
}

void CallBudget::forgetStale(double now) {
  std::erase_if(callers_, [&](const auto& entry) {
    if (now - entry.second.moved < kStaleSeconds) return false;
    waiting_ -= entry.second.waiting;
    return true;
  });
}

void CallBudget::Pace::refill(double rate, double now) {
  allowance = std::min(rate, allowance + std::max(0.0, now - at) * rate);
  at = now;
}

bool CallBudget::admitUnanswered(std::string_view caller, double now) {
  // Callers back at their full allowance need no entry: the table stays as small as the
  // number of callers that sent such calls in the last second.
  if (paces_.size() >= 64) {
    for (auto it = paces_.begin(); it != paces_.end();) {
      it->second.refill(kUnansweredPerSecond, now);
      it = it->second.allowance >= kUnansweredPerSecond ? paces_.erase(it) : std::next(it);
    }
  }
  auto it = paces_.find(caller);
  if (it == paces_.end()) {
    it = paces_.emplace(std::string(caller), Pace{kUnansweredPerSecond, now}).first;
  }
  Pace& pace = it->second;
  pace.refill(kUnansweredPerSecond, now);
  allPace_.refill(kAllUnansweredPerSecond, now);
  if (pace.allowance < 1.0 || allPace_.allowance < 1.0) return false;
  pace.allowance -= 1.0;
  allPace_.allowance -= 1.0;
  return true;
}

int CallBudget::waiting(std::string_view caller) const {
  const auto it = callers_.find(caller);
  return it == callers_.end() ? 0 : it->second.waiting;
}

// The filter may still be running on GDBus's thread after it is removed: the state it uses is
// freed by GDBus once it no longer can be.
struct CallLimit::Shared {
  std::mutex mutex;
  CallBudget budget;
  int peak = 0;  // the most calls waiting since memory was last given back
  double trimmed = -1e9;
};

namespace {

// After a burst (this many calls waiting at once), once every answer is out, the memory the
// answers took is handed back to the system: glibc keeps freed heap for reuse, and a burst
// would otherwise leave the program that much larger for good. At most once a second, since a
// long flood drains its answers many times.
constexpr int kBurst = CallBudget::kPerCaller;
constexpr double kTrimSeconds = 1.0;

}  // namespace

CallLimit::CallLimit(GDBusConnection* bus)
    : bus_(G_DBUS_CONNECTION(g_object_ref(bus))),
      filterId_(g_dbus_connection_add_filter(bus_, filter, new Shared,
                                             [](void* s) { delete static_cast<Shared*>(s); })) {}

CallLimit::~CallLimit() {
  g_dbus_connection_remove_filter(bus_, filterId_);
  g_object_unref(bus_);
}

GDBusMessage* CallLimit::filter(GDBusConnection*, GDBusMessage* message, gboolean incoming,
                                void* data) {
  auto& shared = *static_cast<Shared*>(data);
  const GDBusMessageType type = g_dbus_message_get_message_type(message);
  const double now = static_cast<double>(g_get_monotonic_time()) / 1e6;
  if (incoming) {
    const char* sender = g_dbus_message_get_sender(message);
    if (type != G_DBUS_MESSAGE_TYPE_METHOD_CALL || !sender) return message;
    GVariant* body = g_dbus_message_get_body(message);
    const bool small = !body || g_variant_get_size(body) <= CallBudget::kLargestCall;
    const bool answered =
        !(g_dbus_message_get_flags(message) & G_DBUS_MESSAGE_FLAGS_NO_REPLY_EXPECTED);
    std::lock_guard lock(shared.mutex);
    if (small && !answered && shared.budget.admitUnanswered(sender, now)) return message;
    if (small && answered && shared.budget.admit(sender, now)) {
      shared.peak = std::max(shared.peak, shared.budget.waitingAll());
      return message;
    }
    g_object_unref(message);
    return nullptr;
  }
  if (type == G_DBUS_MESSAGE_TYPE_METHOD_RETURN || type == G_DBUS_MESSAGE_TYPE_ERROR) {
    if (const char* destination = g_dbus_message_get_destination(message)) {
      bool trim = false;
      {
        std::lock_guard lock(shared.mutex);
        shared.budget.answered(destination, now);
        trim = shared.budget.waitingAll() == 0 && shared.peak >= kBurst &&
               now - shared.trimmed >= kTrimSeconds;
        if (trim) {
          shared.peak = 0;
          shared.trimmed = now;
        }
      }
      // The last answer is about to be written; it is small beside what the burst took.
      if (trim) malloc_trim(0);
    }
  }
  return message;
}

}  // namespace platform::linux_backend
