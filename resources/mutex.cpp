// Resources where the kernel keeps none (Linux): recursive mutexes on one
// lock word each, owned by a thread record. A take or a give-back touches
// the mutex's slot alone, one cache line, and keeps no list of what a
// thread holds: a thread that ever took a resource looks through the whole
// table at its end (rare, and a read of one line per slot made) for what it
// still holds, abandons that, and clears its record out of every mutex
// that names it.
//
// A mutex closed while held stops answering to its handle at once. Its
// slot is freed by whoever lets the word go last with the handle closed:
// the closer itself when the mutex is free or its own, otherwise its holder
// (at the holder's end) or a waiter that got it after the close. A slot
// that a thread may sleep on is never freed, so a waiter never wakes into
// another resource's word.
#include "mutex.h"

#include <limits.h>

#include "../platform/fault_injection.h"
#include "../platform/platform.h"
#include "handle_table.h"
#include "resources.h"

namespace resources {

using platform::Deadline;
using platform::Handle;
using platform::Parker;
using platform::WaitResult;

namespace {

// No other living thread has the holder's identity, and a thread that ends
// gives up what it holds before another thread can be given its identity.
inline bool HeldByThisThread(const MutexState* mutex) {
  return mutex->owner_identity.load(std::memory_order_relaxed) == platform::ThisThreadIdentity();
}

// What a thread's record keeps for the resources, in its room: whether the
// thread ever took one (touched by that thread alone), and the mutex it is
// counted a waiter of, while it is.
struct ThreadResources {
  bool took_any;
  Slot* waiting_on;
};
static_assert(sizeof(ThreadResources) <= platform::kParkerResourceRoomSize, "a thread's resources fit its room");

ThreadResources* ResourcesOf(Parker* record) {
  return static_cast<ThreadResources*>(platform::ParkerResourceRoom(record));
}

// A running thread that finds the word free takes it, whoever sleeps on it
// (barging): it goes on with its work while a sleeper would first have to
// be scheduled, so each thread runs many sections in a row, and a give-back
// wakes a sleeper only when the word says one may sleep. How long a taker
// spins, yields and sleeps is the back-off's (sync/backoff.h).
int LockSpins() { return synchro::backoff::SpinsFor(synchro::backoff::kResourceSpinNanoseconds); }

// Not worth spinning for while the holder itself sleeps (in the queue,
// holding it): it will not let go soon. A guess: the record may still be
// the last holder's for a moment after another thread took the word.
bool HolderSleeps(const MutexState* mutex) {
  const Parker* owner = mutex->owner.load(std::memory_order_relaxed);
  return owner != nullptr && mutex->owner_identity.load(std::memory_order_relaxed) != 0 && platform::ParkedNow(owner);
}

bool SpinForMutex(MutexState* mutex, int rounds, uint32_t taken_as) {
  return synchro::SpinToTake(&mutex->word, rounds, taken_as, [mutex] { return HolderSleeps(mutex); });
}

// After the spin, before the sleep: a few yields, each followed by a spin
// (see the back-off), not while the holder sleeps itself, none past the
// deadline, and only for a wait without a time-out or with a long one.
bool YieldForMutex(MutexState* mutex, uint32_t milliseconds, const Deadline* deadline) {
  if (milliseconds != platform::kWaitForever && milliseconds < synchro::backoff::kShortestYieldingTimeout) return false;
  for (int i = 0; i < synchro::backoff::kResourceYields; ++i) {
    if (HolderSleeps(mutex)) return false;
    if (deadline != nullptr && platform::DeadlinePassed(*deadline)) return false;
    platform::YieldThread();
    if (synchro::TryTake(&mutex->word) || SpinForMutex(mutex, LockSpins(), synchro::kHeld)) return true;
  }
  return false;
}

// The slow path, with a short spin after each wake-up.
bool SleepForMutex(MutexState* mutex, const Deadline* deadline) {
  return synchro::SleepToTake(&mutex->word, deadline, LockSpins() / 2 + 1, [mutex] { return HolderSleeps(mutex); });
}

// The holder lets go: the mutex is nobody's, and its record stays as the
// last taker's.
void ClearHolder(MutexState* mutex) {
  mutex->recursion = 0;
  mutex->owner_identity.store(0, std::memory_order_relaxed);
}

// Frees a closed mutex once nobody holds or waits on it; several threads
// may try, and the exchange lets one of them do it. A waiter that left
// while this held the word found it held and gave up freeing, so the look
// is taken again once the word is free.
__attribute__((noinline, cold)) void FreeIfDeleted(Slot* slot) {
  MutexState* mutex = &slot->mutex;
  for (;;) {
    if (mutex->waiters.load(std::memory_order_seq_cst) != 0 ||
        !synchro::TryTake(&mutex->word, synchro::kHeld, std::memory_order_seq_cst)) {
      return;
    }
    if (mutex->waiters.load(std::memory_order_seq_cst) == 0 && mutex->deleted.exchange(false)) {
      FreeSlot(slot);
      return;
    }
    synchro::GiveBack(&mutex->word);
    if (mutex->waiters.load(std::memory_order_seq_cst) != 0 || !mutex->deleted.load(std::memory_order_seq_cst)) {
      return;
    }
  }
}

// ReleaseWord's rare cases: the give-back the quick one left (given) to be
// finished, and a close to be finished.
__attribute__((noinline)) void ReleaseWordSlowly(Slot* slot, synchro::QuickGiveBack given) {
  MutexState* mutex = &slot->mutex;
  if (given == synchro::QuickGiveBack::kAsk) synchro::GiveBackHeld(&mutex->word);
  if (given == synchro::QuickGiveBack::kWake) synchro::Wake(&mutex->word);
  if (mutex->deleted.load(std::memory_order_seq_cst)) FreeIfDeleted(slot);
}

// Lets the word go; the owner was cleared already. A close that came while
// the word was held is finished here. The release and the look at
// `deleted` are sequentially consistent, as are the closer's store to it and
// its try for the word: one of the two sees the other, and frees. The only
// caller gives the word back with a plain store instead: nobody else can
// sleep on it or close the mutex then (see synchro::TryTakeHeld). Its only
// call is its last step, so that a give-back keeps no value across a call.
inline __attribute__((always_inline)) void ReleaseWord(Slot* slot) {
  MutexState* mutex = &slot->mutex;
  const synchro::QuickGiveBack given = synchro::GiveBackHeldQuickly(&mutex->word);
  if (__builtin_expect(given != synchro::QuickGiveBack::kDone || mutex->deleted.load(std::memory_order_seq_cst), 0)) {
    ReleaseWordSlowly(slot, given);
  }
}

// A waiter is counted on the mutex and noted in its record in one step that
// no asynchronous cancellation can split (a host may cancel a thread that
// way while it sleeps here): a thread that ends counted is uncounted at its
// end (EndWaitOf), so that the mutex's slot can be freed.
void CountWaiter(Parker* self, Slot* slot, bool waiting) {
  const int cancellation = platform::HoldOffCancellation();
  if (waiting) {
    slot->mutex.waiters.fetch_add(1, std::memory_order_seq_cst);
  } else {
    slot->mutex.waiters.fetch_sub(1, std::memory_order_seq_cst);
  }
  ResourcesOf(self)->waiting_on = waiting ? slot : nullptr;
  platform::AllowCancellation(cancellation);
}

__attribute__((noinline)) bool TakeContended(Slot* slot, Handle handle, uint32_t milliseconds, Parker* self) {
  MutexState* mutex = &slot->mutex;
  if (SpinForMutex(mutex, LockSpins(), synchro::kHeld)) return true;
  CountWaiter(self, slot, true);
  bool taken = false;
  // Counted as a waiter before this look: a close after it sees the count,
  // and leaves the slot to this thread, yielding or asleep.
  if (slot->handle.load(std::memory_order_seq_cst) == TableValueOf(handle)) {
    const Deadline deadline_value = platform::DeadlineAfter(milliseconds);
    const Deadline* deadline = milliseconds == platform::kWaitForever ? nullptr : &deadline_value;
    taken = YieldForMutex(mutex, milliseconds, deadline) || SleepForMutex(mutex, deadline);
  }
  CountWaiter(self, slot, false);
  // The last waiter to leave a mutex closed meanwhile frees it, if free.
  if (!taken && mutex->deleted.load(std::memory_order_seq_cst)) FreeIfDeleted(slot);
  return taken;
}

// Its holder is gone, and so is the record it names.
void AbandonOrFreeMutex(Slot* slot) {
  MutexState* mutex = &slot->mutex;
  ClearHolder(mutex);
  mutex->owner.store(nullptr, std::memory_order_relaxed);
  mutex->abandoned = true;
  ReleaseWord(slot);
}

// The failures of the resource calls, out of the way of their fast paths.
__attribute__((noinline, cold)) WaitResult FailedForBadHandle() {
  platform::ReportBadHandle();
  return WaitResult::kFailed;
}

__attribute__((noinline, cold)) WaitResult FailedForNoRecord() {
  platform::ReportNoMemory();
  return WaitResult::kFailed;
}

__attribute__((noinline, cold)) bool RefusedHandle() {
  platform::ReportBadHandle();
  return false;
}

// The record of a thread that takes a mutex another thread (or none) took
// last: this thread's, made if need be, and marked as a taker, so that its
// end looks for what it holds.
__attribute__((noinline)) Parker* RecordOfNewTaker() {
  Parker* self = platform::RecordOfThisThread();
  if (self != nullptr) ResourcesOf(self)->took_any = true;
  return self;
}

// A mutex names a record only while that record's thread lives and is
// marked as a taker (AbandonHeldBy clears it at the thread's end): a thread
// that finds its own identity in the record there needs no look-up. The
// record's own identity is checked too: a signal handler of an ending
// thread may name its record in a mutex the end's walk has passed, and a
// later thread may be given the same identity.
// Only the word's holder calls it.
inline bool TakenLastByThisThread(const MutexState* mutex, uintptr_t identity) {
  if (mutex->owner_record_identity != identity) return false;
  const Parker* last = mutex->owner.load(std::memory_order_relaxed);
  return last != nullptr && platform::IdentityOf(last) == identity;
}

// The mutex is this thread's now, its word and its record known.
inline WaitResult BecomeHolder(MutexState* mutex, uintptr_t identity) {
  mutex->owner_identity.store(identity, std::memory_order_relaxed);
  mutex->recursion = 1;
  if (__builtin_expect(!mutex->abandoned, 1)) return WaitResult::kObtained;
  mutex->abandoned = false;
  return WaitResult::kAbandoned;
}

// OwnTakenWord's rare cases.
__attribute__((noinline)) WaitResult OwnTakenWordSlowly(Slot* slot, Handle object) {
  MutexState* mutex = &slot->mutex;
  // Closed, or its slot reused, since the look-up: not ours to take.
  if (slot->handle.load(std::memory_order_acquire) != TableValueOf(object)) {
    ReleaseWord(slot);
    return FailedForBadHandle();
  }
  if (HeldByThisThread(mutex)) {
    // Taken by a signal handler of this thread between the look and the
    // store of the only caller's take, and still held: this take is one more.
    ++mutex->recursion;
    return WaitResult::kObtained;
  }
  const uintptr_t identity = platform::ThisThreadIdentity();
  if (!TakenLastByThisThread(mutex, identity)) {
    Parker* self = RecordOfNewTaker();
    if (self == nullptr) {
      ReleaseWord(slot);
      return FailedForNoRecord();
    }
    mutex->owner.store(self, std::memory_order_relaxed);
    mutex->owner_record_identity = identity;
  }
  return BecomeHolder(mutex, identity);
}

// The word is ours: the mutex is, unless its handle was closed meanwhile
// (or no record can be made for this thread). The common case, a thread
// that took it last as well, writes nothing but the holder and the count.
inline WaitResult OwnTakenWord(Slot* slot, Handle object) {
  MutexState* mutex = &slot->mutex;
  const uintptr_t identity = platform::ThisThreadIdentity();
  if (__builtin_expect(slot->handle.load(std::memory_order_acquire) != TableValueOf(object) ||
                           mutex->owner_identity.load(std::memory_order_relaxed) == identity ||
                           !TakenLastByThisThread(mutex, identity),
                       0)) {
    return OwnTakenWordSlowly(slot, object);
  }
  return BecomeHolder(mutex, identity);
}

__attribute__((noinline)) WaitResult WaitForWord(Slot* slot, Handle object, uint32_t milliseconds) {
  if (milliseconds != 0) {
    // The record that will own the mutex, made before the wait, which is
    // noted in it; without one the thread could not own the mutex anyway.
    Parker* self = platform::RecordOfThisThread();
    if (self == nullptr) return FailedForNoRecord();
    if (TakeContended(slot, object, milliseconds, self)) return OwnTakenWord(slot, object);
  }
  // A failed look-up inside means the handle was closed meanwhile.
  return slot->handle.load(std::memory_order_relaxed) == TableValueOf(object) ? WaitResult::kTimedOut
                                                                              : FailedForBadHandle();
}

// A take whose quick try could not tell: the library's first call, or a
// second thread's arrival.
__attribute__((noinline)) WaitResult TakeAfterAsking(Slot* slot, Handle object, uint32_t milliseconds) {
  if (!synchro::TryTakeHeld(&slot->mutex.word)) return WaitForWord(slot, object, milliseconds);
  return OwnTakenWord(slot, object);
}

}  // namespace

// A full table has no room for a mutex: the same want of memory to a host.
Handle MutexCreate() {
  platform::ArmExitWatch();
  platform::faults::Count(platform::faults::Call::kMutexCreate);
  Slot* slot = platform::faults::Fails(platform::faults::Point::kCreateObject) ? nullptr : ReserveSlot();
  if (slot == nullptr) {
    platform::ReportNoMemory();
    return Handle::kNone;
  }
  return PublishSlot(slot);
}

// Kept small, so that the take of a free or own mutex is inlined into the
// exports; waiting is out of line. Every call in it is its last step, so
// that it keeps no value across one (and saves no register for that).
WaitResult MutexTake(Handle object, uint32_t milliseconds) {
  Slot* slot = Lookup(object);
  if (slot == nullptr) return FailedForBadHandle();
  MutexState* mutex = &slot->mutex;
  if (HeldByThisThread(mutex)) {
    // Recursion is a count in the slot's line, nothing else.
    if (mutex->recursion == UINT32_MAX) return WaitResult::kFailed;
    ++mutex->recursion;
    return WaitResult::kObtained;
  }
  const synchro::QuickTry taken = synchro::TryTakeHeldQuickly(&mutex->word);
  if (__builtin_expect(taken == synchro::QuickTry::kTaken, 1)) return OwnTakenWord(slot, object);
  if (taken == synchro::QuickTry::kBusy) return WaitForWord(slot, object, milliseconds);
  return TakeAfterAsking(slot, object, milliseconds);
}

// Arms no exit watch: a handle it could give back comes from MutexCreate,
// which armed it, and without one it reaches no memory an unload frees.
bool MutexGiveBack(Handle mutex_handle) {
  Slot* slot = Lookup(mutex_handle);
  if (slot == nullptr) return RefusedHandle();
  MutexState* mutex = &slot->mutex;
  if (!HeldByThisThread(mutex)) return false;
  if (--mutex->recursion > 0) return true;
  ClearHolder(mutex);
  ReleaseWord(slot);
  return true;
}

bool MutexClose(Handle object) {
  platform::ArmExitWatch();
  synchro::JoinCallers();  // its compare-and-swaps below race only with callers that know it
  platform::faults::Count(platform::faults::Call::kObjectClose);
  Slot* slot = Lookup(object);
  if (slot == nullptr || !CloseHandleOf(object)) return RefusedHandle();
  MutexState* mutex = &slot->mutex;
  mutex->deleted.store(true, std::memory_order_seq_cst);
  if (HeldByThisThread(mutex)) {
    ClearHolder(mutex);
    ReleaseWord(slot);
  } else {
    FreeIfDeleted(slot);  // if held elsewhere, its holder frees it
  }
  return true;
}

// --- Steps of the lifecycle ---------------------------------------------------

void EndWaitOf(Parker* record) {
  Slot* slot = ResourcesOf(record)->waiting_on;
  if (slot == nullptr) return;
  ResourcesOf(record)->waiting_on = nullptr;
  slot->mutex.waiters.fetch_sub(1, std::memory_order_seq_cst);
  if (slot->mutex.deleted.load(std::memory_order_seq_cst)) FreeIfDeleted(slot);
}

namespace {

// At the end of the thread whose record is `context`, for one slot: what
// the thread holds is abandoned, and no mutex names its record any more.
// Only the thread itself stores its record or identity in a mutex, so a
// slot that names neither is left alone; a slot that names the record but
// is held by another thread (which has not stored its own record yet) keeps
// what that thread stores.
void LetGoAtThreadEnd(Slot* slot, void* context) {
  auto* record = static_cast<Parker*>(context);
  MutexState* mutex = &slot->mutex;
  if (mutex->owner.load(std::memory_order_relaxed) != record) return;
  if (mutex->owner_identity.load(std::memory_order_relaxed) == platform::IdentityOf(record)) {
    AbandonOrFreeMutex(slot);
    return;
  }
  Parker* expected = record;
  mutex->owner.compare_exchange_strong(expected, nullptr, std::memory_order_relaxed);
}

}  // namespace

// On the ending thread, whose record still has its identity. A thread that
// never took a resource named its record in no mutex.
void AbandonHeldBy(Parker* record) {
  ThreadResources* resources = ResourcesOf(record);
  if (!resources->took_any) return;
  ForEachSlotMade(LetGoAtThreadEnd, record);
  resources->took_any = false;
}

void LockForFork() { LockTableForFork(); }

void UnlockAfterForkInParent() { UnlockTableAfterFork(false); }

namespace {

// In a forked child, whose one thread is this one: what the parent's other
// threads held is abandoned to the child's next taker; what this thread
// held stays its own, with nobody asleep on it.
void ResetInChild(Slot* slot) {
  MutexState* mutex = &slot->mutex;
  Parker* self = platform::RecordOfThisThreadIfMade();
  mutex->waiters.store(0, std::memory_order_relaxed);
  if (mutex->owner.load(std::memory_order_relaxed) != self) {
    // The record of a thread the child does not have.
    mutex->owner.store(nullptr, std::memory_order_relaxed);
  }
  if (mutex->owner_identity.load(std::memory_order_relaxed) == platform::ThisThreadIdentity()) {
    mutex->word.store(synchro::kHeld, std::memory_order_relaxed);
  } else if (mutex->word.load(std::memory_order_relaxed) != synchro::kFree) {
    AbandonOrFreeMutex(slot);
  } else if (mutex->deleted.load(std::memory_order_relaxed)) {
    FreeIfDeleted(slot);  // closed by a parent thread that did not get to free it
  }
}

// A slot a thread may still sleep on stays mapped after the unload.
bool SleptOn(const Slot* slot) { return slot->mutex.waiters.load(std::memory_order_relaxed) != 0; }

}  // namespace

void ResetAfterForkInChild() {
  UnlockTableAfterFork(true);
  ForEachSlotInUse(ResetInChild);
}

void End() { ReleaseChunks(SleptOn); }

}  // namespace resources
