// The state behind every handle of the Linux implementation, and the table
// that hands out the handles. Thread records live in slots of a table of
// their own, under no handle, so that the unload and a forked child can find
// them all and no number of open resources keeps a thread from its record.
#ifndef QUENTHALOY_PLATFORM_POSIX_OBJECTS_H
#define QUENTHALOY_PLATFORM_POSIX_OBJECTS_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#include <atomic>

#include "../platform.h"
#include "word_wait.h"

namespace platform::posix_impl {

enum class Kind : uint32_t { kNone = 0, kMutex = 1, kThread = 2 };

// Futex words of the locks (the resource mutexes and the queue lock).
constexpr uint32_t kLockFree = 0;
constexpr uint32_t kLockHeld = 1;
constexpr uint32_t kLockContended = 2;  // held, and someone may sleep on the word

struct Slot;
struct ThreadRecord;

// The table's handle values are positive 31-bit numbers: a wider handle
// never was one, and reads as 0, which no slot holds.
inline uint32_t TableValueOf(Handle handle) {
  const auto value = static_cast<uintptr_t>(handle);
  return value <= UINT32_MAX ? static_cast<uint32_t>(value) : 0;
}

// A recursive mutex owned by a thread. Only the holder writes `owner` (to
// itself on a take, to null on the last give-back), so a thread that reads
// itself there holds the mutex; `recursion`, `abandoned` and the links are
// touched only by the holder, ordered by the word's acquire and release.
struct MutexState {
  std::atomic<uint32_t> word;
  std::atomic<ThreadRecord*> owner;
  // The holder's ThisThreadIdentity(), 0 while nobody holds it; written
  // with `owner`. Any thread learns from it whether it holds the mutex,
  // without reaching into the cache line of another thread's record.
  std::atomic<uintptr_t> owner_identity;
  uint32_t recursion;
  bool abandoned;
  // Closed while held: freed by whoever lets it go last (mutexes.cpp).
  std::atomic<bool> deleted;
  std::atomic<uint32_t> waiters;  // threads in a contended take
  // The thread that took it last, kept after the give-back and touched only
  // by the word's holder: a thread that takes it again finds its record
  // here, without a look-up.
  ThreadRecord* last_holder;
  uintptr_t last_identity;
  Slot* held_previous;  // the holder's list of what it holds
  Slot* held_next;
};

// A thread that used a parker or took a resource. `permit` is its parker: 1
// once an Unpark is given and not yet consumed by a Park.
struct ThreadRecord {
  // The core's record of the thread's sleeps (ParkerRoom), and the parker:
  // one cache line, the slot's first, so that a thread that wakes another
  // and writes what it was woken for moves one line, not two.
  alignas(8) unsigned char room[kParkerRoomSize];
  std::atomic<uint32_t> permit;
  std::atomic<bool> sleeping;  // in a futex wait on `permit`
  Slot* slot;
  // Its thread's ThisThreadIdentity(), 0 once the thread ended: read by
  // other threads through the mutexes that name the record.
  std::atomic<uintptr_t> identity;
  Slot* held;  // newest first
  // Parks in a row whose spin ended in a sleep all the same: past a few, the
  // thread waits on partners too slow to spin for, and mostly sleeps at once.
  uint32_t vain_spins;
  uint32_t parks;
  // Its last yield in a park's spin let another thread run (see Park).
  bool yields_pay;
  // The mutex it is counted a waiter of, while it is (mutexes.cpp).
  Slot* waiting_on;
};

// Cache-line aligned, the object first (chunks of slots are mapped pages).
struct alignas(64) Slot {
  union {
    MutexState mutex;
    ThreadRecord thread;
  } local;
  // The handle value while a handle is open on the slot, 0 otherwise: a
  // lookup compares the whole value, so a stale handle never matches a
  // reused slot.
  std::atomic<uint32_t> handle;
  // kNone while the slot is free. A mutex closed while held keeps kMutex
  // under handle 0 until its holder lets it go; a thread record is kThread
  // under handle 0 while its thread lives.
  std::atomic<Kind> kind;
  uint32_t index;
  uint32_t generation;
  uint32_t next_free;
};
static_assert(offsetof(Slot, local) == 0 && offsetof(ThreadRecord, sleeping) < 64,
              "a thread's room and parker share the slot's first cache line");
static_assert(sizeof(Slot) == 128, "a slot takes two cache lines");

// Reserves a free slot for an object of that kind (thread records have a
// table of their own), zeroed and unreachable; null on exhaustion.
[[nodiscard]] Slot* ReserveSlot(Kind kind);
// Makes a reserved, filled-in slot reachable under a new handle.
[[nodiscard]] Handle PublishSlot(Slot* slot, Kind kind);
// Puts a slot back on its table's free list. No handle may be open on it.
void FreeSlot(Slot* slot);

// The open slot of that kind under the handle, or null. Slots never move
// and are never unmapped while the library is loaded, so a thread racing a
// close reaches stale state, never freed memory.
[[nodiscard]] Slot* Lookup(Handle handle, Kind kind);
// Takes the handle off its slot; false if it was not open as that kind.
[[nodiscard]] bool CloseHandleOf(Handle handle, Kind kind);

// Calls `visit` for every slot that was ever handed out. Only where no other
// thread can change the table: a forked child, or the unload.
void ForEachSlot(void (*visit)(Slot* slot));
// At unload: returns every chunk of slots for which `keep` is false for all
// its slots; the others stay mapped for good.
void ReleaseChunks(bool (*keep)(const Slot* slot));
// Around fork: the table's lock is held across it and made free in the child.
void LockTableForFork();
void UnlockTableAfterFork(bool in_child);

// What the parts of the layer do for the others.
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
// No other living thread has the holder's identity, and a thread that ends
// gives up what it holds before another thread can be given its identity.
inline bool HeldByThisThread(const MutexState* mutex) {
  return mutex->owner_identity.load(std::memory_order_relaxed) == ThisThreadIdentity();
}
void AbandonOrFreeMutex(Slot* slot);  // its holder is gone
void FreeIfDeleted(Slot* slot);       // a closed mutex nobody holds or waits on
// A thread that ends inside a wait for a mutex (cancelled there, with the
// asynchronous type) waits on it no more.
void EndWaitOfEndedThread(ThreadRecord* record);
// Arms the watch for the process's exit, from the first call that lets a
// thread be inside the library (see ProcessIsExiting).
void ArmExitWatch();
bool MutexInUse(const Slot* slot);  // held or slept on
// More than one processor to run on: spinning can pay (set by Start).
extern bool spinning_pays;
// How many pause instructions take a microsecond here (measured by Start):
// from about 25 to about 1,000 across processors.
extern int pauses_per_microsecond;
bool ThreadRecordInUse(const Slot* slot);

}  // namespace platform::posix_impl

#endif
