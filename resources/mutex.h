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

struct Slot;

// Only the holder writes `owner` (to itself on a take, to null on the last
// give-back), so a thread that reads itself there holds the mutex;
// `recursion`, `abandoned` and the links are touched only by the holder,
// ordered by the word's acquire and release.
struct MutexState {
  synchro::LockWord word;
  // The holder's thread record (its parker), null while nobody holds it.
  std::atomic<platform::Parker*> owner;
  // The holder's platform::ThisThreadIdentity(), 0 while nobody holds it;
  // written with `owner`. Any thread learns from it whether it holds the
  // mutex, without reaching into the cache line of another thread's record.
  std::atomic<uintptr_t> owner_identity;
  uint32_t recursion;
  bool abandoned;
  // Closed while held: freed by whoever lets it go last (mutex.cpp).
  std::atomic<bool> deleted;
  std::atomic<uint32_t> waiters;  // threads in a contended take
  // The thread that took it last, kept after the give-back and touched only
  // by the word's holder: a thread that takes it again finds its record
  // here, without a look-up.
  platform::Parker* last_holder;
  uintptr_t last_identity;
  Slot* held_previous;  // the holder's list of what it holds
  Slot* held_next;
};

}  // namespace resources

#endif
