// A resource as this library keeps it where the kernel keeps none (Linux):
// a recursive mutex on one lock word, with its owner, its count of takes
// and its abandonment. Where the kernel has mutexes of its own (Windows),
// a resource is one of those (kernel_mutex.cpp) and none of this is built.
#ifndef QUENTHALOY_RESOURCES_MUTEX_H
#define QUENTHALOY_RESOURCES_MUTEX_H

#include <stdint.h>

#include <atomic>

#include "../platform/platform.h"
#include "../sync/lock_word.h"

namespace resources {

// One cache line with the rest of its slot, written by the holder alone
// while the word is held: a first take and the last give-back write the
// word, `owner_identity` and `recursion`, and a take again or a give-back
// that is not the last only `recursion`. Nothing is kept per thread of what
// it holds: a thread's end finds what it held by `owner_identity`.
struct MutexState {
  synchro::LockWord word;
  // Its takes by the holder, touched only by the holder, ordered by the
  // word's acquire and release.
  uint32_t recursion;
  // The holder's platform::ThisThreadIdentity(), 0 while nobody holds it.
  // Any thread learns from it whether it holds the mutex, without reaching
  // into another thread's record.
  std::atomic<uintptr_t> owner_identity;
  // The record (parker) of the thread that took it last, kept after the
  // give-back: a thread that takes it again finds its record here, without
  // a look-up; spinning takers read it to see whether the holder sleeps.
  // Written by the word's holder, and cleared by the end of the thread it
  // names (mutex.cpp), so that it never names a record of a thread that
  // ended.
  std::atomic<platform::Parker*> owner;
  // That thread's identity, written with `owner` and touched only by the
  // word's holder: a thread that did not take it last learns so here,
  // without reading another thread's record (a cache line its thread writes).
  uintptr_t owner_record_identity;
  std::atomic<uint32_t> waiters;  // threads in a contended take
  bool abandoned;                 // by a holder that ended: told to the next taker
  // Closed while held: freed by whoever lets it go last (mutex.cpp).
  std::atomic<bool> deleted;
};

// A mutex as a fresh slot has it: free, nobody's. Field by field, atomically
// where another thread may look at the same time (a thread's end looks at
// every slot, reserved or not).
inline void ClearMutexState(MutexState* mutex) {
  mutex->word.store(synchro::kFree, std::memory_order_relaxed);
  mutex->recursion = 0;
  mutex->owner_identity.store(0, std::memory_order_relaxed);
  mutex->owner.store(nullptr, std::memory_order_relaxed);
  mutex->owner_record_identity = 0;
  mutex->waiters.store(0, std::memory_order_relaxed);
  mutex->abandoned = false;
  mutex->deleted.store(false, std::memory_order_relaxed);
}

}  // namespace resources

#endif
