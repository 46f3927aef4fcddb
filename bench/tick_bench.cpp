// tick_bench: the CPU time of one tick and of one blink tick on the simulated platform.
// Prints the median over many batches; run a Release build for figures worth comparing.
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "app/ZQAppDelegate.h"
#include "platform/sim/SimBackend.h"

namespace {

double cpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec * 1e-9;
}

template <class F>
double medianNanoseconds(F&& call) {
  constexpr int kBatches = 201, kPerBatch = 2000;
  std::vector<double> perCall;
  for (int b = 0; b < kBatches; ++b) {
    const double start = cpuSeconds();
    for (int i = 0; i < kPerBatch; ++i) call();
    perCall.push_back((cpuSeconds() - start) / kPerBatch * 1e9);
  }
  std::nth_element(perCall.begin(), perCall.begin() + kBatches / 2, perCall.end());
  return perCall[kBatches / 2];
}

}  // namespace

int main() {
  platform::sim::SimBackend sim;
  platform::Application app(sim, platform::makeDelegate<ZQAppDelegate>);
  auto& delegate = static_cast<ZQAppDelegate&>(app.delegate());
  auto* item = sim.statusItem();

  sim.runFor(1.0);
  const double tick = medianNanoseconds([&] {
    delegate.updateTimer();
    item->clearTitles();
  });

  sim.setIdleReading(100);
  sim.runFor(1.0);
  const double blinkTick = medianNanoseconds([&] {
    delegate.updateBlinkTimer();
    item->clearTitles();
  });

  std::printf("tick:       %8.0f ns CPU (median of 201 batches of 2000)\n", tick);
  std::printf("blink tick: %8.0f ns CPU (median of 201 batches of 2000)\n", blinkTick);
  return 0;
}
