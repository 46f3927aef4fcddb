// idle_lookup_bench: the cost of one idle time probe as the macOS build makes it, once a second
// and three times more a second while blinking: the full I/O registry lookup and its decoding.
// On macOS it talks to the real registry; elsewhere it runs against the tests' counting
// stand-in of IOKit and CoreFoundation, which measures only the lookup's own code.
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "idle/systemIdleSeconds.h"
#include "platform/macos/HIDIdleTime.h"

#ifdef SITTING_TIMER_FAKE_REGISTRY
#include "FakeRegistry.h"
#endif

namespace {

double seconds(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return ts.tv_sec + ts.tv_nsec * 1e-9;
}

struct Figures {
  double cpu, wall;  // nanoseconds per call
};

Figures median(std::vector<Figures> perCall) {
  const auto mid = perCall.begin() + perCall.size() / 2;
  std::nth_element(perCall.begin(), mid, perCall.end(),
                   [](const Figures& a, const Figures& b) { return a.cpu < b.cpu; });
  const double cpu = mid->cpu;
  std::nth_element(perCall.begin(), mid, perCall.end(),
                   [](const Figures& a, const Figures& b) { return a.wall < b.wall; });
  return {cpu, mid->wall};
}

}  // namespace

int main() {
  constexpr int kBatches = 51, kPerBatch = 200;
  std::vector<Figures> perCall;
  std::uint64_t reading = 0;
  for (int b = 0; b < kBatches; ++b) {
#ifdef SITTING_TIMER_FAKE_REGISTRY
    fake_registry::Script script;
    script.number = 5ll << 30;
    fake_registry::reset(script);
#endif
    const double cpu = seconds(CLOCK_PROCESS_CPUTIME_ID), wall = seconds(CLOCK_MONOTONIC);
    for (int i = 0; i < kPerBatch; ++i) {
      reading = idleSecondsFromLookup(platform::macos::lookUpHIDIdleTime(), [](auto) {});
    }
    perCall.push_back({(seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu) / kPerBatch * 1e9,
                       (seconds(CLOCK_MONOTONIC) - wall) / kPerBatch * 1e9});
  }
  const Figures m = median(perCall);
#ifdef SITTING_TIMER_FAKE_REGISTRY
  const char* against = "the counting stand-in";
#else
  const char* against = "the I/O registry";
#endif
  std::printf("idle lookup against %s: %8.0f ns CPU, %8.0f ns wall (median of %d batches of %d)\n",
              against, m.cpu, m.wall, kBatches, kPerBatch);
  std::printf("last reading: %llu idle seconds\n", static_cast<unsigned long long>(reading));
  return 0;
}
