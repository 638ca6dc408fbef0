// A lock on one futex word (kLockFree, kLockHeld, kLockContended): taken
// with one compare-and-swap when free, spun on briefly when held, slept on
// after that; given back with one exchange, and a wake only when someone
// may sleep. Shared by the queue lock and the resource mutexes.
#ifndef QUENTHALOY_PLATFORM_LINUX_LOCK_WORD_H
#define QUENTHALOY_PLATFORM_LINUX_LOCK_WORD_H

#include "futex.h"
#include "objects.h"

namespace platform::linux_impl {

inline bool TryLockWord(std::atomic<uint32_t>* word) {
  uint32_t expected = kLockFree;
  return word->compare_exchange_strong(expected, kLockHeld, std::memory_order_acquire, std::memory_order_relaxed);
}

// Waits for the word until the deadline (null: none); true once taken.
bool LockWordSlowly(std::atomic<uint32_t>* word, const timespec* deadline);

inline void UnlockWord(std::atomic<uint32_t>* word) {
  if (word->exchange(kLockFree, std::memory_order_release) == kLockContended) FutexWake(word, 1);
}

}  // namespace platform::linux_impl

#endif
