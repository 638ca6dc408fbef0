// The record of every thread that used a parker or took a resource: its
// parker, the core's room, its identity. Records live in pages of their own
// that stay mapped while the library is loaded, so an Unpark that comes
// late, or a resource that names an ended thread's record, reaches a
// record, never freed memory; the unload and a forked child find them all.
#ifndef QUENTHALOY_PLATFORM_POSIX_THREAD_RECORDS_H
#define QUENTHALOY_PLATFORM_POSIX_THREAD_RECORDS_H

#include <stddef.h>
#include <stdint.h>

#include <atomic>

#include "../../sync/backoff.h"
#include "../platform.h"

namespace platform::posix_impl {

// `permit` is its parker: 1 once an Unpark is given and not yet consumed by
// a Park.
struct alignas(64) ThreadRecord {
  // The core's record of the thread's sleeps (ParkerRoom), and the parker:
  // one cache line, the record's first, so that a thread that wakes another
  // and writes what it was woken for moves one line, not two.
  alignas(8) unsigned char room[kParkerRoomSize];
  std::atomic<uint32_t> permit;
  std::atomic<bool> sleeping;  // in a futex wait on `permit`
  // Its thread's ThisThreadIdentity(), 0 once the thread ended: read by
  // other threads through the resources that name the record.
  std::atomic<uintptr_t> identity;
  alignas(8) unsigned char resource_room[kParkerResourceRoomSize];
  synchro::backoff::SpinHistory spins;  // of its parks
  ThreadRecord* next_free;
  std::atomic<bool> in_use;
};
static_assert(offsetof(ThreadRecord, sleeping) < 64, "a thread's room and parker share the record's first cache line");

// A record, zeroed, or null when no page can be had.
[[nodiscard]] ThreadRecord* ReserveRecord();
void FreeRecord(ThreadRecord* record);
// Calls `visit` for every record in use. Only where no other thread can
// change the store: a forked child, or the unload.
void ForEachRecordInUse(void (*visit)(ThreadRecord* record));
// At unload: returns every page none of whose records `keep` says to keep;
// the others stay mapped for good.
void ReleasePages(bool (*keep)(const ThreadRecord* record));
// Around fork: the store's lock is held across it and made free in the child.
void LockStoreForFork();
void UnlockStoreAfterFork(bool in_child);

// The calling thread's record. Kept per thread, with the load it belongs to:
// tests start and end the layer many times in one process, and a record of
// an earlier load must never be used again. The dynamic TLS model (the
// compiler's default for a shared object): the initial-exec model would take
// from the small static TLS reserve the C library keeps for objects loaded
// late, which a few dozen loads and unloads of copies of the library use up.
// One variable, so that a call looks up its address once.
struct ThisThread {
  ThreadRecord* record;
  uint32_t epoch;
};
extern __thread ThisThread this_thread;
extern std::atomic<uint32_t> load_epoch;
inline ThreadRecord* SelfRecordIfAny() {
  const ThisThread& mine = this_thread;
  return mine.epoch == load_epoch.load(std::memory_order_relaxed) ? mine.record : nullptr;
}
// Null if it cannot be made. Out of line: the fast paths that may need it
// stay small.
[[nodiscard]] __attribute__((noinline)) ThreadRecord* MakeSelfRecord();
inline ThreadRecord* SelfRecord() {
  ThreadRecord* record = SelfRecordIfAny();
  return record != nullptr ? record : MakeSelfRecord();
}

}  // namespace platform::posix_impl

#endif
