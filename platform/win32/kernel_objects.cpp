// The kernel objects the library hands out or shares by name: the
// resources' mutexes, and the queue lock that every process of the user's
// shares.
#include <atomic>

#include "../../sync/backoff.h"
#include "../fault_injection.h"
#include "layer.h"

namespace platform {

// The layer's shared parts (layer.h).
using namespace win32_impl;  // NOLINT(google-build-using-namespace)

struct QueueLock {
  std::atomic<HANDLE> mutex;
  bool named;
  SRWLOCK reopening;
};

// An unnamed mutex is refused only for want of memory or handles: said so in
// one word, whatever word the kernel chose.
Handle KernelMutexCreate() {
  HANDLE mutex = ::CreateMutexA(nullptr, FALSE, nullptr);
  if (mutex == nullptr) ReportNoMemory();
  return FromNative(mutex);
}

namespace {

// A handle the layer refuses says so as the kernel says it of one it refuses.
bool RefusedAsBadHandle(Handle handle) {
  if (!IsRefused(handle)) return false;
  ReportBadHandle();
  return true;
}

}  // namespace

WaitResult KernelObjectWait(Handle object, uint32_t milliseconds) {
  if (RefusedAsBadHandle(object)) return WaitResult::kFailed;
  switch (WaitStayingLoaded(ToNative(object), milliseconds)) {
    case WAIT_OBJECT_0:
      return WaitResult::kObtained;
    case WAIT_ABANDONED:
      return WaitResult::kAbandoned;
    case WAIT_TIMEOUT:
      return WaitResult::kTimedOut;
    default:
      return WaitResult::kFailed;
  }
}

bool KernelMutexRelease(Handle mutex) { return !RefusedAsBadHandle(mutex) && ::ReleaseMutex(ToNative(mutex)) != 0; }

bool KernelObjectClose(Handle object) { return !RefusedAsBadHandle(object) && ::CloseHandle(ToNative(object)) != 0; }

namespace {

constexpr char kQueueLockName[] = "JQ_Quenthaloy_ThreadMessage";

// The name may be out of reach (another user's object, or one of another
// kind under the same name): the process then locks its queue alone.
HANDLE NewQueueMutex(bool* named) {
  HANDLE mutex = ::CreateMutexA(nullptr, FALSE, kQueueLockName);
  *named = mutex != nullptr;
  if (mutex == nullptr) mutex = ::CreateMutexA(nullptr, FALSE, nullptr);
  if (mutex != nullptr && !AddOwnHandle(mutex)) {
    ::CloseHandle(mutex);
    mutex = nullptr;
  }
  return mutex;
}

// The lock's handle failed: a host closed it (no resource call reaches it).
// The old value is not closed, as it may be a host's object by now; a new
// handle to the named mutex reaches the same lock, with its holder.
HANDLE ReopenQueueLock(QueueLock* lock, HANDLE failed) {
  ::AcquireSRWLockExclusive(&lock->reopening);
  HANDLE mutex = lock->mutex.load(std::memory_order_acquire);
  if (mutex == failed) {
    DropOwnHandle(failed);
    bool named = false;
    HANDLE fresh = NewQueueMutex(&named);
    if (fresh != nullptr) {
      lock->named = named;
      lock->mutex.store(fresh, std::memory_order_release);
      mutex = fresh;
    }
  }
  ::ReleaseSRWLockExclusive(&lock->reopening);
  return mutex;
}

}  // namespace

QueueLock* QueueLockOpen() {
  if (faults::Fails(faults::Point::kCreateObject)) return nullptr;
  QueueLock* lock = static_cast<QueueLock*>(AllocateZeroed(sizeof(QueueLock)));
  if (lock == nullptr) return nullptr;
  ::InitializeSRWLock(&lock->reopening);
  bool named = false;
  HANDLE mutex = NewQueueMutex(&named);
  if (mutex == nullptr) {
    Free(lock);
    return nullptr;
  }
  lock->named = named;
  lock->mutex.store(mutex, std::memory_order_relaxed);
  return lock;
}

void QueueLockClose(QueueLock* lock) {
  if (lock == nullptr) return;
  CloseOwnHandle(lock->mutex.load(std::memory_order_relaxed));
  Free(lock);
}

// A lock abandoned by a thread or process that ended holding it is held by
// this thread all the same; what it guarded is this process's own queue.
// A wait that fails means the handle is gone: the lock is opened again.
// Without any lock to be had the thread waits for the system to give one
// back rather than run the queue unlocked.
void QueueLockAcquire(QueueLock* lock) {
  if (lock == nullptr) return;  // none could be made: the core's own locks serve
  for (uint32_t nap = 0;; nap = synchro::backoff::NextNap(nap)) {
    HANDLE mutex = lock->mutex.load(std::memory_order_acquire);
    const DWORD result = ::WaitForSingleObject(mutex, INFINITE);
    if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) return;
    if (ReopenQueueLock(lock, mutex) == mutex) ::Sleep(nap);
  }
}

// Through a new handle when the old one is gone: the holder is the thread,
// not the handle. A private lock that was closed cannot be reached again;
// its replacement starts free.
void QueueLockRelease(QueueLock* lock) {
  if (lock == nullptr) return;
  HANDLE mutex = lock->mutex.load(std::memory_order_acquire);
  if (::ReleaseMutex(mutex)) return;
  HANDLE fresh = ReopenQueueLock(lock, mutex);
  if (fresh != mutex) ::ReleaseMutex(fresh);
}

}  // namespace platform
