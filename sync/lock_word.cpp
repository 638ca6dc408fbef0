#include "lock_word.h"

namespace synchro {

void Wake(LockWord* word) {
  if constexpr (platform::kCanWaitOnWord) platform::WakeWord(word, 1);
}

// Spins, then yields a few times with a spin after each (on one processor
// the holder cannot let go while this spins: a look after each yield), then
// sleeps; without a deadline the sleep returns only once the word is taken.
void TakeSlowly(LockWord* word) {
  for (int round = 0; round <= backoff::kLockWordYields; ++round) {
    if (round > 0) platform::YieldThread();
    const bool taken = backoff::SpinningPays() ? SpinToTake(word, backoff::kLockWordSpins, kHeld, NeverGiveUp)
                                               : word->load(std::memory_order_relaxed) == kFree && TryTake(word);
    if (taken) return;
  }
  static_cast<void>(SleepToTake(word, nullptr, 0, NeverGiveUp));
}

}  // namespace synchro
