// Threads' records and parkers, the hooks for a thread's end, a fork and the
// process's exit, and the layer's start and end.
#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "../fault_injection.h"
#include "../platform.h"
#include "thread_records.h"
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
// The only caller and its depth in its sections (platform.h).
std::atomic<uintptr_t> only_caller{kShared};
std::atomic<uint32_t> only_caller_depth{0};
// The only caller's identity once a second thread's arrival has begun.
std::atomic<uintptr_t> former_only_caller{0};
__thread ThisThread this_thread;

namespace {

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

void LockExitWatch() {
  int rc = pthread_mutex_lock(&exit_watch_lock);
  if (rc != 0) Fatal("exit watch lock", rc);
}

void UnlockExitWatch() {
  int rc = pthread_mutex_unlock(&exit_watch_lock);
  if (rc != 0) Fatal("exit watch unlock", rc);
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
  record->identity.store(0, std::memory_order_relaxed);
  if (this_thread.record == record) this_thread.record = nullptr;
  FreeRecord(record);
  threads_ending.fetch_sub(1, std::memory_order_release);
}

// A thread of the parent, not here; a thread made here may be given its
// identity.
void ForgetRecordInChild(ThreadRecord* record) {
  if (record == SelfRecordIfAny()) return;
  record->identity.store(0, std::memory_order_relaxed);
  FreeRecord(record);
}

// A call of a thread other than the only caller, before the library is
// shared for good. After the barrier, the only caller either sees that it
// is no longer alone before it enters another section, or its count of
// sections entered is seen here; its leaving (a release) then publishes
// every word it changed alone. Every thread that comes here waits so itself:
// kShared is stored only once that wait is over, since a thread that finds
// kShared touches the words at once. Every thread but the only caller
// itself: a signal handler of its own inside one of its sections would wait
// for that section to end, which waits for the handler. It takes words
// atomically from now on, as the one thread that alone wrote them plainly.
__attribute__((noinline, cold)) void BecomeShared(uintptr_t seen) {
  if (seen != kBecomingShared) {
    former_only_caller.store(seen, std::memory_order_relaxed);
    only_caller.compare_exchange_strong(seen, kBecomingShared, std::memory_order_seq_cst);
  }
  if (former_only_caller.load(std::memory_order_relaxed) == platform::ThisThreadIdentity()) return;
  ProcessBarrier();
  while (only_caller_depth.load(std::memory_order_acquire) != 0) sched_yield();
  only_caller.store(kShared, std::memory_order_release);
}

// A record whose thread still sleeps in it stays mapped after the unload.
bool SleepsIn(const ThreadRecord* record) { return record->sleeping.load(std::memory_order_relaxed); }

}  // namespace

}  // namespace posix_impl

namespace {

__attribute__((noinline, cold)) void ArmExitWatchSlowly() {
  posix_impl::LockExitWatch();
  if (!posix_impl::exit_watch_armed.load(std::memory_order_relaxed) &&
      __cxa_atexit(posix_impl::NoteExitBegun, nullptr, &__dso_handle) == 0) {
    posix_impl::exit_watch_armed.store(true, std::memory_order_release);
  }
  posix_impl::UnlockExitWatch();
}

}  // namespace

void ArmExitWatch() {
  if (!posix_impl::exit_watch_armed.load(std::memory_order_acquire)) ArmExitWatchSlowly();
}

namespace posix_impl {

ThreadRecord* MakeSelfRecord() {
  ArmExitWatch();
  if (!thread_key_made) return nullptr;  // never borrow another's key
  // A thread's record is its parker: a test that fails parkers fails it.
  if (faults::Fails(faults::Point::kParker)) return nullptr;
  ThreadRecord* record = ReserveRecord();
  if (record == nullptr) return nullptr;
  if (pthread_setspecific(thread_key, record) != 0) {
    FreeRecord(record);
    return nullptr;
  }
  // Set only once the record is the thread's: a record that goes back to
  // the table never carries a living thread's identity.
  record->identity.store(platform::ThisThreadIdentity(), std::memory_order_relaxed);
  this_thread.record = record;
  this_thread.epoch = load_epoch.load(std::memory_order_relaxed);
  return record;
}

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
  if (synchro::backoff::SpinningPays() && synchro::backoff::WorthSpinning(&record->spins)) {
    synchro::backoff::SpinForPark(&record->spins,
                                  [record] { return record->permit.load(std::memory_order_relaxed) == 1; });
  }
  const bool paid = record->permit.exchange(0, std::memory_order_acquire) == 1;
  synchro::backoff::NoteSpin(&record->spins, paid);
  if (paid) return;
  do {
    // Announced before the sleep, read by Unpark after it gives the permit:
    // one of the two sees the other, so no Unpark skips a sleeper.
    record->sleeping.store(true, std::memory_order_seq_cst);
    static_cast<void>(WaitOnWord(&record->permit, 0, nullptr));
    record->sleeping.store(false, std::memory_order_relaxed);
  } while (record->permit.exchange(0, std::memory_order_acquire) != 1);
}

void Unpark(Parker* parker) {
  faults::Count(faults::Call::kUnpark);
  ThreadRecord* record = &parker->record;
  record->permit.store(1, std::memory_order_seq_cst);
  if (record->sleeping.load(std::memory_order_seq_cst)) {
    faults::Count(faults::Call::kUnparkSyscall);
    WakeWord(&record->permit, 1);
  }
}

bool Start() {
  posix_impl::only_caller_depth.store(0, std::memory_order_relaxed);
  posix_impl::only_caller.store(posix_impl::RegisterProcessBarrier() ? 0 : posix_impl::kShared,
                                std::memory_order_relaxed);
  int rc = pthread_key_create(&posix_impl::thread_key, posix_impl::ThreadEnded);
  posix_impl::thread_key_made = rc == 0;
  return posix_impl::thread_key_made;
}

// --- Around a fork -----------------------------------------------------------

bool WatchForks(void (*prepare)(), void (*in_parent)(), void (*in_child)()) {
  static bool registered = false;  // once per load of this code
  if (!registered) registered = pthread_atfork(prepare, in_parent, in_child) == 0;
  return registered;
}

// The exit watch's lock is held across the fork too: a first call of
// another thread that is registering the exit handler finishes that first,
// so that the child's first call neither finds the lock held by a thread it
// lacks nor a registration half made.
void PrepareFork() {
  posix_impl::LockExitWatch();
  posix_impl::LockStoreForFork();
}

void AfterForkInParent() {
  posix_impl::UnlockStoreAfterFork(false);
  posix_impl::UnlockExitWatch();
}

// The child has one thread, this one: every lock is made free, and the
// records of the other threads go.
void AfterForkInChild() {
  using posix_impl::only_caller;
  using posix_impl::only_caller_depth;
  posix_impl::UnlockStoreAfterFork(true);
  posix_impl::exit_watch_lock = PTHREAD_MUTEX_INITIALIZER;
  posix_impl::threads_ending.store(0, std::memory_order_relaxed);  // the parent's ending threads are not here
  // This thread is the child's only one, in no section now (the core frees
  // the queue's words it held across the fork). The barrier's registration
  // is made again for the child's later threads.
  only_caller_depth.store(0, std::memory_order_relaxed);
  only_caller.store(posix_impl::RegisterProcessBarrier() ? ThisThreadIdentity() : posix_impl::kShared,
                    std::memory_order_relaxed);
  // Only a record the thread has already: making one here would register
  // the exit handler, whose locks a thread the child lacks may hold.
  posix_impl::ThreadRecord* self = posix_impl::SelfRecordIfAny();
  if (self != nullptr) {
    self->sleeping.store(false, std::memory_order_relaxed);
    memset(self->room, 0, sizeof(self->room));  // the thread is in no sleep now
  }
  posix_impl::ForEachRecordInUse(posix_impl::ForgetRecordInChild);
}

// The rare answers: the library's first call makes its thread the only
// caller; a second thread's arrival waits for the first to leave its
// sections (BecomeShared).
bool EnterOnlyCaller() {
  const OnlyCallerAnswer quick = EnterOnlyCallerQuickly();
  if (quick != OnlyCallerAnswer::kAsk) return quick == OnlyCallerAnswer::kEntered;
  uintptr_t only = 0;
  if (posix_impl::only_caller.compare_exchange_strong(only, ThisThreadIdentity(), std::memory_order_relaxed)) {
    return EnterOnlyCallerQuickly() == OnlyCallerAnswer::kEntered;
  }
  if (only != posix_impl::kShared) posix_impl::BecomeShared(only);
  return false;
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
  posix_impl::ReleasePages(posix_impl::SleepsIn);
}

void* ParkerRoom(Parker* parker) { return parker->record.room; }

void* ParkerResourceRoom(Parker* parker) { return parker->record.resource_room; }

Parker* RecordOfThisThread() { return reinterpret_cast<Parker*>(posix_impl::SelfRecord()); }

Parker* RecordOfThisThreadIfMade() { return reinterpret_cast<Parker*>(posix_impl::SelfRecordIfAny()); }

uintptr_t IdentityOf(const Parker* record) { return record->record.identity.load(std::memory_order_relaxed); }

bool ParkedNow(const Parker* record) { return record->record.sleeping.load(std::memory_order_relaxed); }

void SetParkerEndHook(void (*hook)(Parker* parker)) {
  posix_impl::parker_end_hook.store(hook, std::memory_order_seq_cst);
  if (hook != nullptr) return;
  while (posix_impl::threads_ending.load(std::memory_order_seq_cst) != 0) sched_yield();
}

}  // namespace platform
