// A lock on one futex word (kLockFree, kLockHeld, kLockContended): taken
// with one compare-and-swap when free (with a plain store by the only
// caller, see EnterOnlyCaller), spun on briefly when held, slept on after
// that; given back with one exchange, and a wake only when someone may
// sleep. The core's lock words (LockWordWait) are these; the resource
// mutexes take and give back the same word their own way (mutexes.cpp).
#ifndef QUENTHALOY_PLATFORM_POSIX_LOCK_WORD_H
#define QUENTHALOY_PLATFORM_POSIX_LOCK_WORD_H

#include "objects.h"
#include "word_wait.h"

namespace platform::posix_impl {

[[nodiscard]] inline bool CompareAndSwapLockWord(std::atomic<uint32_t>* word) {
  uint32_t expected = kLockFree;
  return word->compare_exchange_strong(expected, kLockHeld, std::memory_order_acquire, std::memory_order_relaxed);
}

// The only caller takes a free word with a plain look and store (see
// EnterOnlyCaller): a signal handler of its own that takes it in between
// runs to its end first, and ObjectWait counts that take.
[[nodiscard]] inline bool TryLockWord(std::atomic<uint32_t>* word) {
  if (EnterOnlyCaller()) {
    const bool free = word->load(std::memory_order_relaxed) == kLockFree;
    if (free) word->store(kLockHeld, std::memory_order_relaxed);
    LeaveOnlyCaller();
    if (free) return true;
  }
  return CompareAndSwapLockWord(word);
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
