#include "backoff.h"

#include <limits.h>

#include <algorithm>

#include "../platform/platform.h"

namespace synchro::backoff {
namespace {

bool spinning_pays = false;
// How many pauses take a microsecond here: from about 25 to about 1,000
// across processors.
int pauses_per_microsecond = 100;
int park_spins = 500;
int spins_between_yields = 50;
int spins_between_probes = 200;
int64_t slow_yield_nanoseconds = kFewestSlowYieldNanoseconds;

// A thousand pauses, timed: some tens of microseconds at the most.
void MeasurePause() {
  constexpr int64_t kPauses = 1000;
  const int64_t start = platform::MonotonicNanoseconds();
  for (int64_t i = 0; i < kPauses; ++i) CpuRelax();
  const int64_t nanoseconds = platform::MonotonicNanoseconds() - start;
  const int64_t per_microsecond = nanoseconds > 0 ? kPauses * 1000 / nanoseconds : 1000;
  pauses_per_microsecond = static_cast<int>(std::clamp<int64_t>(per_microsecond, 1, 1000));
  park_spins = SpinsFor(kParkSpinNanoseconds);
  spins_between_yields = SpinsFor(kNanosecondsBetweenYields);
  spins_between_probes = SpinsFor(kNanosecondsBetweenProbes);
}

// A few yields, timed, with the processor to itself at the quickest.
void MeasureYield() {
  constexpr int kYields = 8;
  int64_t quickest = INT64_MAX;
  for (int i = 0; i < kYields; ++i) {
    const int64_t start = platform::MonotonicNanoseconds();
    platform::YieldThread();
    quickest = std::min(quickest, platform::MonotonicNanoseconds() - start);
  }
  slow_yield_nanoseconds =
      std::clamp(kSlowYieldFactor * quickest, kFewestSlowYieldNanoseconds, kMostSlowYieldNanoseconds);
}

}  // namespace

void Measure() {
  spinning_pays = platform::ProcessorCount() > 1;
  MeasurePause();
  MeasureYield();
}

bool SpinningPays() { return spinning_pays; }

int SpinsFor(int nanoseconds) { return std::max(1, pauses_per_microsecond * nanoseconds / 1000); }

bool YieldLetAnotherRun() {
  const int64_t start = platform::MonotonicNanoseconds();
  platform::YieldThread();
  return platform::MonotonicNanoseconds() - start >= slow_yield_nanoseconds;
}

bool WorthSpinning(SpinHistory* history) {
  return history->vain_spins < kVainSpinsTolerated || (++history->parks % kParksBetweenSpinsWhenVain) == 0;
}

int ParkSpins() { return park_spins; }

int SpinsBetweenYields(bool yields_pay) { return yields_pay ? spins_between_yields : spins_between_probes; }

}  // namespace synchro::backoff
