// A lock on one futex word (kLockFree, kLockHeld, kLockContended): taken
// with one compare-and-swap when free, spun on briefly when held, slept on
// after that; given back with one exchange, and a wake only when someone
// may sleep. The core's lock words (LockWordWait) are these; the resource
// mutexes take and give back the same word their own way (mutexes.cpp).
#ifndef QUENTHALOY_PLATFORM_POSIX_LOCK_WORD_H
#define QUENTHALOY_PLATFORM_POSIX_LOCK_WORD_H

#include "objects.h"
#include "word_wait.h"

namespace platform::posix_impl {

// With one thread in the process a signal handler is the only other taker,
// and it runs to its end before this thread goes on: a plain look and store,
// kept in program order by the signal fence, take the word.
[[nodiscard]] inline bool TryLockWord(std::atomic<uint32_t>* word) {
  if (ProcessHasOneThread() && word->load(std::memory_order_relaxed) == kLockFree) {
    word->store(kLockHeld, std::memory_order_relaxed);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    return true;
  }
  uint32_t expected = kLockFree;
  return word->compare_exchange_strong(expected, kLockHeld, std::memory_order_acquire, std::memory_order_relaxed);
}

// Spins up to `rounds` times for the word to be free, and takes it then:
// the wait of a taker that expects the holder to let go soon.
[[nodiscard]] bool SpinForWord(std::atomic<uint32_t>* word, int rounds);

// Waits for the word until the deadline (null: none); true once taken.
[[nodiscard]] bool LockWordSlowly(std::atomic<uint32_t>* word, const timespec* deadline);

inline void UnlockWord(std::atomic<uint32_t>* word) {
  if (word->exchange(kLockFree, std::memory_order_release) == kLockContended) WakeWord(word, 1);
}

}  // namespace platform::posix_impl

#endif
