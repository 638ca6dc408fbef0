// Thread records and parkers, the hooks for a thread's end, a fork and the
// process's exit, and the layer's start and end.
#include <errno.h>
#include <limits.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include "../platform.h"
#include "fault_injection.h"
#include "lock_word.h"
#include "objects.h"
#include "word_wait.h"

// The C++ runtime's own registration of exit handlers, declared by no header.
// NOLINTNEXTLINE(bugprone-reserved-identifier,readability-identifier-naming)
extern "C" int __cxa_atexit(void (*function)(void*), void* argument, void* dso_handle);
// This shared object, as the C library knows it for its exit handlers.
// NOLINTNEXTLINE(bugprone-reserved-identifier,readability-identifier-naming)
extern "C" void* __dso_handle __attribute__((visibility("hidden")));

namespace platform {

struct Parker {
  posix_impl::ThreadRecord record;
};

namespace posix_impl {

// Bumped by every End.
std::atomic<uint32_t> load_epoch{1};
// The identity of the only thread that has called the library (0 before the
// first call, kShared once a second thread has called, or where there is no
// process-wide barrier), and how deep that thread is in sections that rely
// on it (its signal handlers nest them). Only that thread writes the depth.
constexpr uintptr_t kShared = 1;
constexpr uintptr_t kBecomingShared = 2;  // a second thread waits for the first to leave its sections
std::atomic<uintptr_t> only_caller{kShared};
std::atomic<uint32_t> only_caller_depth{0};
bool spinning_pays = false;
int pauses_per_microsecond = 100;
__thread ThisThread this_thread;

namespace {

// How long a parker looks for its permit before it sleeps (some
// microseconds: a partner that answers within that is cheaper to wait for
// than a sleep and a wake-up), and how often in between it lets another
// thread run. Where threads outnumber processors, the thread that will post
// is often one waiting for a processor: a spinner that yields lets it run,
// and a waiter that never sleeps spares its poster the kernel call that
// would wake it. Where they do not, a yield is a system call that comes
// straight back (over a microsecond in some virtual machines): a thread
// whose last yield came straight back yields only now and then, to notice
// when others want its processor again. Yielding every time there makes
// two partners that answer in about a microsecond each wait out the
// other's yield, and then yield too.
constexpr int kParkSpinNanoseconds = 9000;
constexpr int kNanosecondsBetweenYields = 900;
constexpr int kNanosecondsBetweenProbes = 3600;
// A yield that took this many times the quickest one let another thread run.
constexpr long kSlowYieldFactor = 2;
constexpr long kFewestSlowYieldNanoseconds = 1000;
// A processor busy at load gives no quick yield to measure: past this, a
// yield surely let another thread run.
constexpr long kMostSlowYieldNanoseconds = 20000;

int park_spins = 500;
int spins_between_yields = 50;
int spins_between_probes = 200;
long slow_yield_nanoseconds = kFewestSlowYieldNanoseconds;

pthread_key_t thread_key;
bool thread_key_made = false;

// Set by an exit handler registered for this shared object. At the exit the
// C library runs it before the unload; a dlclose runs it only after the
// unload (with the object's other exit handlers, after its destructors),
// and drops it, so nothing of this load outlives the unload.
std::atomic<bool> exit_begun{false};
std::atomic<bool> exit_watch_armed{false};
pthread_mutex_t exit_watch_lock = PTHREAD_MUTEX_INITIALIZER;

void NoteExitBegun(void* /*unused*/) { exit_begun.store(true, std::memory_order_release); }

void ReleaseHeld(ThreadRecord* record) {
  Slot* slot = record->held;
  while (slot != nullptr) {
    Slot* next = slot->local.mutex.held_next;
    AbandonOrFreeMutex(slot);
    slot = next;
  }
  record->held = nullptr;
}

// Threads inside the key's destructor. Deleting the key stops new calls of
// it but does not wait for those already running, which a host cannot see:
// a thread that made its last call and said so is still ending in here.
std::atomic<int> threads_ending{0};

// The core's thread-end hook (SetParkerEndHook).
std::atomic<void (*)(Parker*)> parker_end_hook{nullptr};

// The key's destructor: the thread is ending. Counted as ending before it
// reads the hook, and the hook's removal waits for the count, so that no
// thread is in the hook once its removal returns.
void ThreadEnded(void* value) {
  threads_ending.fetch_add(1, std::memory_order_seq_cst);
  auto* record = static_cast<ThreadRecord*>(value);
  void (*hook)(Parker*) = parker_end_hook.load(std::memory_order_seq_cst);
  if (hook != nullptr) hook(reinterpret_cast<Parker*>(record));
  EndWaitOfEndedThread(record);
  ReleaseHeld(record);
  record->identity.store(0, std::memory_order_relaxed);
  if (this_thread.record == record) this_thread.record = nullptr;
  FreeSlot(record->slot);
  threads_ending.fetch_sub(1, std::memory_order_release);
}

void ResetSlotInChild(Slot* slot) {
  ThreadRecord* self = SelfRecordIfAny();
  Kind kind = slot->kind.load(std::memory_order_relaxed);
  if (kind == Kind::kThread && &slot->local.thread != self) {
    // A thread of the parent, not here; a thread made here may be given
    // its identity.
    slot->local.thread.identity.store(0, std::memory_order_relaxed);
    FreeSlot(slot);
  } else if (kind == Kind::kMutex) {
    MutexState* mutex = &slot->local.mutex;
    mutex->waiters.store(0, std::memory_order_relaxed);
    if (self != nullptr && mutex->owner.load(std::memory_order_relaxed) == self) {
      mutex->word.store(kLockHeld, std::memory_order_relaxed);  // nobody here sleeps on it
    } else if (mutex->word.load(std::memory_order_relaxed) != kLockFree) {
      AbandonOrFreeMutex(slot);
    } else if (mutex->deleted.load(std::memory_order_relaxed)) {
      FreeIfDeleted(slot);  // closed by a parent thread that did not get to free it
    }
  }
}

void LockExitWatch() {
  int rc = pthread_mutex_lock(&exit_watch_lock);
  if (rc != 0) Fatal("exit watch lock", rc);
}

void UnlockExitWatch() {
  int rc = pthread_mutex_unlock(&exit_watch_lock);
  if (rc != 0) Fatal("exit watch unlock", rc);
}

// The queue's own locks are the core's, held across the fork by its own
// handlers (registered after these, so they run first before the fork and
// last after it). The exit watch's lock is held across it too: a first call
// of another thread that is registering the exit handler finishes that
// first, so that the child's first call neither finds the lock held by a
// thread it lacks nor a registration half made.
void PrepareFork() {
  LockExitWatch();
  LockTableForFork();
}

void AfterForkInParent() {
  UnlockTableAfterFork(false);
  UnlockExitWatch();
}

// The child has one thread, this one: every lock is made free, and what
// other threads held is theirs no more. The private heap needs nothing: it
// is only used under the core's locks, held across the fork.
void AfterForkInChild() {
  UnlockTableAfterFork(true);
  exit_watch_lock = PTHREAD_MUTEX_INITIALIZER;
  threads_ending.store(0, std::memory_order_relaxed);  // the parent's ending threads are not here
  // This thread is the child's only one, in no section now (the core frees
  // the queue's words it held across the fork). The barrier's registration
  // is made again for the child's later threads.
  only_caller_depth.store(0, std::memory_order_relaxed);
  only_caller.store(RegisterProcessBarrier() ? ThisThreadIdentity() : kShared, std::memory_order_relaxed);
  // Only a record the thread has already: making one here would register
  // the exit handler, whose locks a thread the child lacks may hold.
  ThreadRecord* self = SelfRecordIfAny();
  if (self != nullptr) {
    self->sleeping.store(false, std::memory_order_relaxed);
    memset(self->room, 0, sizeof(self->room));  // the thread is in no sleep now
  }
  ForEachSlot(ResetSlotInChild);
}

void RegisterForkHandlers() {
  static bool registered = false;  // once per load of this code
  if (registered) return;
  // Fails only for want of memory: the library then works as before, but a
  // child forked while another thread is inside it may find a lock held.
  registered = pthread_atfork(PrepareFork, AfterForkInParent, AfterForkInChild) == 0;
}

// Spinning pays when the partner answers within the spin, as in a hand-off
// between two threads; it wastes the processor a busy partner needs when
// the answer comes later. After a few vain spins in a row a thread spins
// only on every eighth park, to notice when its partner speeds up again.
bool WorthSpinning(ThreadRecord* record) {
  constexpr uint32_t kVainSpinsTolerated = 2;
  return record->vain_spins < kVainSpinsTolerated || (++record->parks & 7) == 0;
}

long NanosecondsNow() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000000000L + now.tv_nsec;
}

// True when another thread ran meanwhile.
bool YieldTimed() {
  const long start = NanosecondsNow();
  sched_yield();
  return NanosecondsNow() - start >= slow_yield_nanoseconds;
}

void SpinForPermit(ThreadRecord* record) {
  int next_yield = record->yields_pay ? spins_between_yields : spins_between_probes;
  for (int i = 1; i <= park_spins; ++i) {
    if (record->permit.load(std::memory_order_relaxed) == 1) return;
    if (i == next_yield) {
      record->yields_pay = YieldTimed();
      next_yield = i + (record->yields_pay ? spins_between_yields : spins_between_probes);
    } else {
      CpuRelax();
    }
  }
}

// A call of a thread other than the only caller, before the library is
// shared for good. After the barrier, the only caller either sees that it
// is no longer alone before it enters another section, or its count of
// sections entered is seen here; its leaving (a release) then publishes
// every word it changed alone. Every thread that comes here waits so itself:
// kShared is stored only once that wait is over, since a thread that finds
// kShared touches the words at once.
__attribute__((noinline, cold)) void BecomeShared(uintptr_t seen) {
  if (seen != kBecomingShared) {
    only_caller.compare_exchange_strong(seen, kBecomingShared, std::memory_order_seq_cst);
  }
  ProcessBarrier();
  while (only_caller_depth.load(std::memory_order_acquire) != 0) sched_yield();
  only_caller.store(kShared, std::memory_order_release);
}

// A few yields, timed, with the processor to itself at the quickest.
void MeasureYield() {
  constexpr int kYields = 8;
  long quickest = LONG_MAX;
  for (int i = 0; i < kYields; ++i) {
    const long start = NanosecondsNow();
    sched_yield();
    quickest = std::min(quickest, NanosecondsNow() - start);
  }
  slow_yield_nanoseconds =
      std::clamp(kSlowYieldFactor * quickest, kFewestSlowYieldNanoseconds, kMostSlowYieldNanoseconds);
}

int SpinsFor(int nanoseconds) { return std::max(1, pauses_per_microsecond * nanoseconds / 1000); }

// A thousand pauses, timed: some tens of microseconds at the most, once a load.
void MeasurePause() {
  constexpr long kPauses = 1000;
  const long start = NanosecondsNow();
  for (long i = 0; i < kPauses; ++i) CpuRelax();
  const long nanoseconds = NanosecondsNow() - start;
  const long per_microsecond = nanoseconds > 0 ? kPauses * 1000 / nanoseconds : 1000;
  pauses_per_microsecond = static_cast<int>(std::clamp(per_microsecond, 1L, 1000L));
  park_spins = SpinsFor(kParkSpinNanoseconds);
  spins_between_yields = SpinsFor(kNanosecondsBetweenYields);
  spins_between_probes = SpinsFor(kNanosecondsBetweenProbes);
}

bool KeepAtUnload(const Slot* slot) {
  Kind kind = slot->kind.load(std::memory_order_relaxed);
  if (kind == Kind::kThread) return ThreadRecordInUse(slot);
  if (kind == Kind::kMutex) return MutexInUse(slot);
  return false;
}

}  // namespace

void ArmExitWatch() {
  if (exit_watch_armed.load(std::memory_order_acquire)) return;
  LockExitWatch();
  if (!exit_watch_armed.load(std::memory_order_relaxed) && __cxa_atexit(NoteExitBegun, nullptr, &__dso_handle) == 0) {
    exit_watch_armed.store(true, std::memory_order_release);
  }
  UnlockExitWatch();
}

ThreadRecord* MakeSelfRecord() {
  ArmExitWatch();
  if (!thread_key_made) return nullptr;  // never borrow another's key
  // A thread's record is its parker: a test that fails parkers fails it.
  if (faults::Fails(faults::Point::kParker)) return nullptr;
  Slot* slot = ReserveSlot(Kind::kThread);
  if (slot == nullptr) return nullptr;
  ThreadRecord* record = &slot->local.thread;
  record->slot = slot;
  slot->kind.store(Kind::kThread, std::memory_order_relaxed);
  if (pthread_setspecific(thread_key, record) != 0) {
    FreeSlot(slot);
    return nullptr;
  }
  // Set only once the record is the thread's: a record that goes back to
  // the table never carries a living thread's identity.
  record->identity.store(ThisThreadIdentity(), std::memory_order_relaxed);
  this_thread.record = record;
  this_thread.epoch = load_epoch.load(std::memory_order_relaxed);
  return record;
}

bool ThreadRecordInUse(const Slot* slot) { return slot->local.thread.sleeping.load(std::memory_order_relaxed); }

}  // namespace posix_impl

using posix_impl::ThreadRecord;

Parker* ParkerOfThisThread() {
  if (faults::Fails(faults::Point::kParker)) return nullptr;
  ThreadRecord* record = posix_impl::SelfRecordIfAny();
  if (record == nullptr) {
    record = posix_impl::SelfRecord();
    if (record == nullptr) return nullptr;
    faults::Count(faults::Call::kParkerMade);
  }
  static_assert(sizeof(Parker) == sizeof(ThreadRecord), "a parker is its thread's record");
  return reinterpret_cast<Parker*>(record);
}

// The permit is consumed by the exchange that finds it: a Park returns only
// for an Unpark that nobody consumed yet, so a permit given for one sleep
// can never end the next one early.
void Park(Parker* parker) {
  faults::Count(faults::Call::kPark);
  ThreadRecord* record = &parker->record;
  if (posix_impl::spinning_pays && posix_impl::WorthSpinning(record)) posix_impl::SpinForPermit(record);
  if (record->permit.exchange(0, std::memory_order_acquire) == 1) {
    record->vain_spins = 0;
    return;
  }
  ++record->vain_spins;
  do {
    // Announced before the sleep, read by Unpark after it gives the permit:
    // one of the two sees the other, so no Unpark skips a sleeper.
    record->sleeping.store(true, std::memory_order_seq_cst);
    posix_impl::WaitOnWord(&record->permit, 0, nullptr);
    record->sleeping.store(false, std::memory_order_relaxed);
  } while (record->permit.exchange(0, std::memory_order_acquire) != 1);
}

void Unpark(Parker* parker) {
  faults::Count(faults::Call::kUnpark);
  ThreadRecord* record = &parker->record;
  record->permit.store(1, std::memory_order_seq_cst);
  if (record->sleeping.load(std::memory_order_seq_cst)) {
    faults::Count(faults::Call::kUnparkSyscall);
    posix_impl::WakeWord(&record->permit, 1);
  }
}

bool Start() {
  long processors = sysconf(_SC_NPROCESSORS_ONLN);
  posix_impl::spinning_pays = processors > 1;
  posix_impl::MeasurePause();
  posix_impl::MeasureYield();
  posix_impl::only_caller_depth.store(0, std::memory_order_relaxed);
  posix_impl::only_caller.store(posix_impl::RegisterProcessBarrier() ? 0 : posix_impl::kShared,
                                std::memory_order_relaxed);
  int rc = pthread_key_create(&posix_impl::thread_key, posix_impl::ThreadEnded);
  posix_impl::thread_key_made = rc == 0;
  posix_impl::RegisterForkHandlers();
  return posix_impl::thread_key_made;
}

bool EnterOnlyCaller() {
  using posix_impl::only_caller;
  using posix_impl::only_caller_depth;
  const uintptr_t self = posix_impl::ThisThreadIdentity();
  uintptr_t only = only_caller.load(std::memory_order_acquire);
  if (__builtin_expect(only == 0, 0) && only_caller.compare_exchange_strong(only, self, std::memory_order_relaxed)) {
    only = self;
  }
  if (only != self) {
    if (only != posix_impl::kShared) posix_impl::BecomeShared(only);
    return false;
  }
  only_caller_depth.store(only_caller_depth.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  // Only the compiler is held to this order: the second thread's barrier
  // holds the processor to it.
  std::atomic_signal_fence(std::memory_order_seq_cst);
  if (only_caller.load(std::memory_order_relaxed) == self) return true;
  LeaveOnlyCaller();
  return false;
}

void LeaveOnlyCaller() {
  std::atomic_signal_fence(std::memory_order_seq_cst);
  posix_impl::only_caller_depth.store(posix_impl::only_caller_depth.load(std::memory_order_relaxed) - 1,
                                      std::memory_order_release);
}

bool ProcessIsExiting(bool loader_says) {
  return loader_says || posix_impl::exit_begun.load(std::memory_order_acquire);
}

void End(bool process_exiting) {
  // No thread's end may call into this code once it is gone, even at the
  // exit: an exit handler may unload the library and then join a thread.
  if (posix_impl::thread_key_made) pthread_key_delete(posix_impl::thread_key);
  posix_impl::thread_key_made = false;
  if (process_exiting) return;  // threads may still run in here: free nothing
  // An unload: the ending threads finish their few steps before the slots
  // and the code they run go.
  while (posix_impl::threads_ending.load(std::memory_order_acquire) != 0) sched_yield();
  posix_impl::load_epoch.fetch_add(1, std::memory_order_relaxed);
  posix_impl::ReleaseChunks(posix_impl::KeepAtUnload);
}

void ThreadEnding() {}

// A thread's record goes with the thread, whenever it was made.
void ThreadLeavesLibrary() {}

void* ParkerRoom(Parker* parker) { return parker->record.room; }

void SetParkerEndHook(void (*hook)(Parker* parker)) {
  posix_impl::parker_end_hook.store(hook, std::memory_order_seq_cst);
  if (hook != nullptr) return;
  while (posix_impl::threads_ending.load(std::memory_order_seq_cst) != 0) sched_yield();
}

// A thread of this process ends only through its thread-exit destructors,
// which unlink what it left: a parker the core can still see is alive.
bool ParkerThreadAlive(Parker* /*parker*/) { return true; }

}  // namespace platform
