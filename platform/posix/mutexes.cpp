// Thread resources: recursive mutexes on one futex word each, owned by a
// thread record. Each thread lists what it holds (linked through the
// mutexes), so that its end abandons all of it, however much; a take or a
// give-back touches nothing shared but the word.
//
// A mutex closed while held stops answering to its handle at once. Its
// slot is freed by whoever lets the word go last with the handle closed:
// the closer itself when the mutex is free or its own, otherwise its holder
// (at the holder's end) or a waiter that got it after the close. A slot
// that a thread may sleep on is never freed, so a waiter never wakes into
// another resource's word.
#include <limits.h>
#include <pthread.h>
#include <sched.h>

#include "../platform.h"
#include "fault_injection.h"
#include "lock_word.h"
#include "objects.h"

namespace platform {
namespace posix_impl {

namespace {

// A contended take spins about this long before it sleeps, and a woken one
// half as long before it sleeps again: resources guard short work, usually
// done within this, and a longer spin only keeps the word's line away from
// the holder, which needs it to let go (at a hundred rounds, about 2 us on a
// processor whose pause takes 18 ns, four contending threads ran at half the
// rate of ten rounds). A running thread that finds the word free takes it,
// whoever sleeps on it (barging): it goes on with its work while a sleeper
// would first have to be scheduled, so each thread runs many sections in a
// row, and a give-back wakes a sleeper only when the word says one may sleep.
constexpr int kLockSpinNanoseconds = 250;

constexpr int kLockYields = 8;
constexpr uint32_t kShortestYieldingTimeout = 100;

int LockSpins() { return pauses_per_microsecond * kLockSpinNanoseconds / 1000 + 1; }

// Spins for the word while its holder may let it go soon: not on one
// processor, and not while the holder itself sleeps (in the queue, holding
// it). Takes a free word as `taken_as`: held, or contended when the taker
// has slept on it and others may still sleep there.
bool SpinForMutex(MutexState* mutex, int rounds, uint32_t taken_as) {
  if (!spinning_pays) return false;
  for (int i = 0; i < rounds; ++i) {
    CpuRelax();
    uint32_t seen = mutex->word.load(std::memory_order_relaxed);
    if (seen == kLockFree) {
      if (mutex->word.compare_exchange_strong(seen, taken_as, std::memory_order_acquire, std::memory_order_relaxed)) {
        return true;
      }
      continue;
    }
    const ThreadRecord* owner = mutex->owner.load(std::memory_order_relaxed);
    if (owner != nullptr && owner->sleeping.load(std::memory_order_relaxed)) return false;
  }
  return false;
}

// After the spin, before the sleep: a few yields, each followed by a spin.
// Where threads outnumber processors, the holder is often one that waits
// for a processor, or a running thread takes the word again and again; a
// yield lets the holder run and finish, and a taker that never sleeps
// spares the holder's give-back its kernel call (at eight threads on two
// processors, sections ran 2.5 times as fast as with a sleep at once). Not
// while the holder sleeps itself. A yield to a busy processor's other
// threads can last a whole time slice: only a wait without a time-out, or
// with a long one, yields, and none past its deadline.
bool YieldForMutex(MutexState* mutex, uint32_t milliseconds, const timespec* deadline) {
  if (milliseconds != kWaitForever && milliseconds < kShortestYieldingTimeout) return false;
  for (int i = 0; i < kLockYields; ++i) {
    const ThreadRecord* owner = mutex->owner.load(std::memory_order_relaxed);
    if (owner != nullptr && owner->sleeping.load(std::memory_order_relaxed)) return false;
    if (deadline != nullptr && DeadlinePassed(*deadline)) return false;
    sched_yield();
    if (CompareAndSwapLockWord(&mutex->word) || SpinForMutex(mutex, LockSpins(), kLockHeld)) return true;
  }
  return false;
}

// The futex lock's slow path, with a short spin after each wake-up: a thread
// just woken often finds the word taken again by a running thread that lets
// it go within a few rounds.
bool SleepForMutex(MutexState* mutex, const timespec* deadline) {
  for (;;) {
    if (mutex->word.exchange(kLockContended, std::memory_order_acquire) == kLockFree) return true;
    if (WaitOnWord(&mutex->word, kLockContended, deadline) == WordWaitOutcome::kTimedOut) return false;
    if (SpinForMutex(mutex, LockSpins() / 2 + 1, kLockContended)) return true;
  }
}

void SetOwner(MutexState* mutex, ThreadRecord* holder) {
  mutex->owner.store(holder, std::memory_order_relaxed);
  mutex->owner_identity.store(holder->identity.load(std::memory_order_relaxed), std::memory_order_relaxed);
}

void ClearOwner(MutexState* mutex) {
  mutex->owner.store(nullptr, std::memory_order_relaxed);
  mutex->owner_identity.store(0, std::memory_order_relaxed);
}

void PushHeld(ThreadRecord* self, Slot* slot) {
  MutexState* mutex = &slot->local.mutex;
  mutex->held_previous = nullptr;
  mutex->held_next = self->held;
  if (self->held != nullptr) self->held->local.mutex.held_previous = slot;
  self->held = slot;
}

void UnlinkHeld(ThreadRecord* self, Slot* slot) {
  MutexState* mutex = &slot->local.mutex;
  if (mutex->held_previous != nullptr) {
    mutex->held_previous->local.mutex.held_next = mutex->held_next;
  } else {
    self->held = mutex->held_next;
  }
  if (mutex->held_next != nullptr) mutex->held_next->local.mutex.held_previous = mutex->held_previous;
  mutex->held_previous = mutex->held_next = nullptr;
}

}  // namespace

// Frees a closed mutex once nobody holds or waits on it; several threads
// may try, and the exchange lets one of them do it. A waiter that left
// while this held the word found it held and gave up freeing, so the look
// is taken again once the word is free.
__attribute__((noinline, cold)) void FreeIfDeleted(Slot* slot) {
  MutexState* mutex = &slot->local.mutex;
  for (;;) {
    uint32_t free_word = kLockFree;
    if (mutex->waiters.load(std::memory_order_seq_cst) != 0 ||
        !mutex->word.compare_exchange_strong(free_word, kLockHeld, std::memory_order_seq_cst)) {
      return;
    }
    if (mutex->waiters.load(std::memory_order_seq_cst) == 0 && mutex->deleted.exchange(false)) {
      FreeSlot(slot);
      return;
    }
    UnlockWord(&mutex->word);
    if (mutex->waiters.load(std::memory_order_seq_cst) != 0 || !mutex->deleted.load(std::memory_order_seq_cst)) {
      return;
    }
  }
}

namespace {

// Lets the word go; the owner was cleared already. A close that came while
// the word was held is finished here. The release and the look at
// `deleted` are sequentially consistent, as are the closer's store to it and
// its try for the word: one of the two sees the other, and frees. The only
// caller gives the word back with a plain store instead: nobody else can
// sleep on it or close the mutex then (see TryLockWord).
inline __attribute__((always_inline)) void ReleaseWord(Slot* slot) {
  MutexState* mutex = &slot->local.mutex;
  bool released = false;
  if (EnterOnlyCaller()) {
    released = mutex->word.load(std::memory_order_relaxed) == kLockHeld;
    if (released) mutex->word.store(kLockFree, std::memory_order_release);
    LeaveOnlyCaller();
  }
  if (!released && __builtin_expect(mutex->word.exchange(kLockFree, std::memory_order_seq_cst) == kLockContended, 0)) {
    WakeWord(&mutex->word, 1);
  }
  if (__builtin_expect(mutex->deleted.load(std::memory_order_seq_cst), 0)) FreeIfDeleted(slot);
}

// A waiter is counted on the mutex and noted in its record in one step that
// no asynchronous cancellation can split (a host may cancel a thread that
// way while it sleeps here): a thread that ends counted is uncounted at its
// end (EndWaitOfEndedThread), so that the mutex's slot can be freed.
void CountWaiter(ThreadRecord* self, Slot* slot, bool waiting) {
  int cancel_state = 0;
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancel_state);
  if (waiting) {
    slot->local.mutex.waiters.fetch_add(1, std::memory_order_seq_cst);
  } else {
    slot->local.mutex.waiters.fetch_sub(1, std::memory_order_seq_cst);
  }
  self->waiting_on = waiting ? slot : nullptr;
  pthread_setcancelstate(cancel_state, nullptr);
}

__attribute__((noinline)) bool TakeContended(Slot* slot, Handle handle, uint32_t milliseconds, ThreadRecord* self) {
  MutexState* mutex = &slot->local.mutex;
  if (SpinForMutex(mutex, LockSpins(), kLockHeld)) return true;
  CountWaiter(self, slot, true);
  bool taken = false;
  // Counted as a waiter before this look: a close after it sees the count,
  // and leaves the slot to this thread, yielding or asleep.
  if (slot->handle.load(std::memory_order_seq_cst) == TableValueOf(handle)) {
    const timespec deadline_value = DeadlineAfter(milliseconds);
    const timespec* deadline = milliseconds == kWaitForever ? nullptr : &deadline_value;
    taken = YieldForMutex(mutex, milliseconds, deadline) || SleepForMutex(mutex, deadline);
  }
  CountWaiter(self, slot, false);
  // The last waiter to leave a mutex closed meanwhile frees it, if free.
  if (!taken && mutex->deleted.load(std::memory_order_seq_cst)) FreeIfDeleted(slot);
  return taken;
}

}  // namespace

bool LockWordSlowly(std::atomic<uint32_t>* word, const timespec* deadline) {
  uint32_t seen = word->exchange(kLockContended, std::memory_order_acquire);
  while (seen != kLockFree) {
    if (WaitOnWord(word, kLockContended, deadline) == WordWaitOutcome::kTimedOut) return false;
    seen = word->exchange(kLockContended, std::memory_order_acquire);
  }
  return true;
}

void AbandonOrFreeMutex(Slot* slot) {
  MutexState* mutex = &slot->local.mutex;
  ClearOwner(mutex);
  mutex->recursion = 0;
  mutex->held_previous = mutex->held_next = nullptr;
  mutex->abandoned = true;
  ReleaseWord(slot);
}

void EndWaitOfEndedThread(ThreadRecord* record) {
  Slot* slot = record->waiting_on;
  if (slot == nullptr) return;
  record->waiting_on = nullptr;
  slot->local.mutex.waiters.fetch_sub(1, std::memory_order_seq_cst);
  if (slot->local.mutex.deleted.load(std::memory_order_seq_cst)) FreeIfDeleted(slot);
}

bool MutexInUse(const Slot* slot) { return slot->local.mutex.waiters.load(std::memory_order_relaxed) != 0; }

}  // namespace posix_impl

using posix_impl::MutexState;
using posix_impl::Slot;
using posix_impl::ThreadRecord;

// A full table has no room for a mutex: the same want of memory to a host.
Handle MutexCreate() {
  posix_impl::ArmExitWatch();
  faults::Count(faults::Call::kMutexCreate);
  Slot* slot =
      faults::Fails(faults::Point::kCreateObject) ? nullptr : posix_impl::ReserveSlot(posix_impl::Kind::kMutex);
  if (slot == nullptr) {
    ReportNoMemory();
    return Handle::kNone;
  }
  return posix_impl::PublishSlot(slot, posix_impl::Kind::kMutex);
}

namespace posix_impl {
namespace {

// The failures of the resource calls, out of the way of their fast paths.
__attribute__((noinline, cold)) WaitResult FailedForBadHandle() {
  ReportBadHandle();
  return WaitResult::kFailed;
}

__attribute__((noinline, cold)) WaitResult FailedForNoRecord() {
  ReportNoMemory();
  return WaitResult::kFailed;
}

__attribute__((noinline, cold)) bool RefusedHandle() {
  ReportBadHandle();
  return false;
}

// The taker's record, read from the mutex when it took it last (a record
// whose thread ended has identity 0 and is not taken for this thread's).
// Only the word's holder reads or writes the fields it looks at.
ThreadRecord* RecordOfTaker(const MutexState* mutex) {
  const uintptr_t identity = ThisThreadIdentity();
  ThreadRecord* last = mutex->last_holder;
  if (mutex->last_identity == identity && last->identity.load(std::memory_order_relaxed) == identity) return last;
  return SelfRecord();
}

// The word is ours: the mutex is, unless its handle was closed meanwhile
// (or no record can be made for this thread).
WaitResult OwnTakenWord(Slot* slot, Handle object) {
  MutexState* mutex = &slot->local.mutex;
  ThreadRecord* self = nullptr;
  // Closed, or its slot reused, since the look-up: not ours to take.
  if (slot->handle.load(std::memory_order_acquire) != TableValueOf(object)) {
    ReleaseWord(slot);
    return FailedForBadHandle();
  }
  if ((self = RecordOfTaker(mutex)) == nullptr) {
    ReleaseWord(slot);
    return FailedForNoRecord();
  }
  if (HeldByThisThread(mutex)) {
    // Taken by a signal handler of this thread between the look and the
    // store of the only caller's take, and still held: this take is one more.
    ++mutex->recursion;
    return WaitResult::kObtained;
  }
  SetOwner(mutex, self);
  mutex->last_holder = self;
  mutex->last_identity = self->identity.load(std::memory_order_relaxed);
  mutex->recursion = 1;
  PushHeld(self, slot);
  if (__builtin_expect(!mutex->abandoned, 1)) return WaitResult::kObtained;
  mutex->abandoned = false;
  return WaitResult::kAbandoned;
}

__attribute__((noinline)) WaitResult WaitForWord(Slot* slot, Handle object, uint32_t milliseconds) {
  if (milliseconds != 0) {
    // The record that will own the mutex, made before the wait, which is
    // noted in it; without one the thread could not own the mutex anyway.
    ThreadRecord* self = SelfRecord();
    if (self == nullptr) return FailedForNoRecord();
    if (TakeContended(slot, object, milliseconds, self)) return OwnTakenWord(slot, object);
  }
  // A failed look-up inside means the handle was closed meanwhile.
  return slot->handle.load(std::memory_order_relaxed) == TableValueOf(object) ? WaitResult::kTimedOut
                                                                              : FailedForBadHandle();
}

}  // namespace
}  // namespace posix_impl

// Kept small, so that the take of a free or own mutex is inlined into the
// exports; waiting is out of line.
WaitResult ObjectWait(Handle object, uint32_t milliseconds) {
  Slot* slot = posix_impl::Lookup(object, posix_impl::Kind::kMutex);
  if (slot == nullptr) return posix_impl::FailedForBadHandle();
  MutexState* mutex = &slot->local.mutex;
  if (posix_impl::HeldByThisThread(mutex)) {
    if (mutex->recursion == UINT32_MAX) return WaitResult::kFailed;
    ++mutex->recursion;
    return WaitResult::kObtained;
  }
  if (!posix_impl::TryLockWord(&mutex->word)) return posix_impl::WaitForWord(slot, object, milliseconds);
  return posix_impl::OwnTakenWord(slot, object);
}

bool MutexRelease(Handle mutex_handle) {
  posix_impl::ArmExitWatch();
  Slot* slot = posix_impl::Lookup(mutex_handle, posix_impl::Kind::kMutex);
  if (slot == nullptr) return posix_impl::RefusedHandle();
  MutexState* mutex = &slot->local.mutex;
  if (!posix_impl::HeldByThisThread(mutex)) return false;
  ThreadRecord* self = mutex->owner.load(std::memory_order_relaxed);
  if (--mutex->recursion > 0) return true;
  posix_impl::UnlinkHeld(self, slot);
  posix_impl::ClearOwner(mutex);
  posix_impl::ReleaseWord(slot);
  return true;
}

bool ObjectClose(Handle object) {
  posix_impl::ArmExitWatch();
  // Its compare-and-swaps below may race only with callers that know others
  // may call.
  if (EnterOnlyCaller()) LeaveOnlyCaller();
  faults::Count(faults::Call::kObjectClose);
  Slot* slot = posix_impl::Lookup(object, posix_impl::Kind::kMutex);
  if (slot == nullptr || !posix_impl::CloseHandleOf(object, posix_impl::Kind::kMutex)) {
    return posix_impl::RefusedHandle();
  }
  MutexState* mutex = &slot->local.mutex;
  mutex->deleted.store(true, std::memory_order_seq_cst);
  if (posix_impl::HeldByThisThread(mutex)) {
    posix_impl::UnlinkHeld(mutex->owner.load(std::memory_order_relaxed), slot);
    posix_impl::ClearOwner(mutex);
    mutex->recursion = 0;
    posix_impl::ReleaseWord(slot);
  } else {
    posix_impl::FreeIfDeleted(slot);  // if held elsewhere, its holder frees it
  }
  return true;
}

}  // namespace platform
