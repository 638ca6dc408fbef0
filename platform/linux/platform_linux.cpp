// The contract over Linux: robust pthread mutexes and futex-word events,
// reached through the handle table, private or in per-user shared memory.
#include <errno.h>
#include <limits.h>
#include <linux/futex.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "../platform.h"
#include "fault_injection.h"
#include "objects.h"

namespace platform {
namespace linux_impl {

struct alignas(16) BlockHeader {
  BlockHeader* prev;
  BlockHeader* next;
  uint32_t heap;
  uint32_t magic;
};

namespace {

constexpr uint32_t kSignalled = 1;
constexpr uint32_t kWaiters = 2;
constexpr uint32_t kSetCount = 4;

constexpr uint32_t kBlockMagic = 0x51484250;  // marks a live heap block

timespec DeadlineAfter(uint32_t milliseconds) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  now.tv_sec += milliseconds / 1000;
  now.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
  if (now.tv_nsec >= 1000000000L) {
    now.tv_nsec -= 1000000000L;
    ++now.tv_sec;
  }
  return now;
}

int FutexOp(bool shared, int op) { return shared ? op : (op | FUTEX_PRIVATE_FLAG); }

// Sleeps while the word holds `expected`, until an absolute monotonic
// deadline (null: none). A signal ends the sleep early; callers loop with the
// same deadline, so the time left is kept.
int FutexWait(std::atomic<uint32_t>* word, uint32_t expected, const timespec* deadline, bool shared) {
  long rc = syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FutexOp(shared, FUTEX_WAIT_BITSET), expected,
                    deadline, nullptr, FUTEX_BITSET_MATCH_ANY);
  return rc == 0 ? 0 : errno;
}

void FutexWakeAll(std::atomic<uint32_t>* word, bool shared) {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FutexOp(shared, FUTEX_WAKE), INT_MAX, nullptr, nullptr, 0);
}

// The calling thread's kernel id, cached per thread as asking costs a system
// call. A forked child's thread has a new id, so the cache is dropped there.
__thread pid_t self_tid __attribute__((tls_model("initial-exec")));

void ForgetSelfInChild() { self_tid = 0; }

__attribute__((constructor(101))) void WatchForks() { pthread_atfork(nullptr, nullptr, ForgetSelfInChild); }

pid_t SelfTid() {
  if (self_tid == 0) self_tid = static_cast<pid_t>(syscall(SYS_gettid));
  return self_tid;
}

// glibc keeps a robust mutex's owner thread id in the lock word.
pid_t OwnerOf(const MutexState* mutex) {
  return static_cast<pid_t>(__atomic_load_n(&mutex->lock.__data.__lock, __ATOMIC_RELAXED) & FUTEX_TID_MASK);
}

// A timed take against the monotonic clock. ThreadSanitizer does not know
// pthread_mutex_clocklock (nor an abandoned mutex taken by a timed lock), so
// its builds poll with the try-lock it understands.
int TimedLock(pthread_mutex_t* lock, uint32_t milliseconds) {
  timespec deadline = DeadlineAfter(milliseconds);
#if defined(__SANITIZE_THREAD__)
  for (;;) {
    int rc = pthread_mutex_trylock(lock);
    if (rc != EBUSY) return rc;
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (now.tv_sec > deadline.tv_sec || (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec)) {
      return ETIMEDOUT;
    }
    timespec pause = {0, 200000};
    nanosleep(&pause, nullptr);
  }
#else
  return pthread_mutex_clocklock(lock, CLOCK_MONOTONIC, &deadline);
#endif
}

uint32_t LockMutex(MutexState* mutex, uint32_t milliseconds) {
  int rc;
  if (milliseconds == 0) {
    rc = pthread_mutex_trylock(&mutex->lock);
  } else if (milliseconds == INFINITE) {
    rc = pthread_mutex_lock(&mutex->lock);
  } else {
    rc = TimedLock(&mutex->lock, milliseconds);
  }
  switch (rc) {
    case 0:
      return WAIT_OBJECT_0;
    case EOWNERDEAD:
      // Made consistent at once, or every later lock would fail for good.
      pthread_mutex_consistent(&mutex->lock);
      return WAIT_ABANDONED;
    case EBUSY:
    case ETIMEDOUT:
      return WAIT_TIMEOUT;
    default:
      return WAIT_FAILED;
  }
}

bool Signalled(uint32_t word, uint32_t first_word) {
  return (word & kSignalled) != 0 || (word / kSetCount) != (first_word / kSetCount);
}

uint32_t WaitEvent(EventState* event, uint32_t milliseconds, bool shared) {
  const uint32_t first = event->word.load(std::memory_order_acquire);
  if ((first & kSignalled) != 0) return WAIT_OBJECT_0;
  if (milliseconds == 0) return WAIT_TIMEOUT;
  timespec deadline = milliseconds == INFINITE ? timespec{} : DeadlineAfter(milliseconds);
  const timespec* until = milliseconds == INFINITE ? nullptr : &deadline;
  uint32_t word = first;
  for (;;) {
    if ((word & kWaiters) == 0 &&
        !event->word.compare_exchange_weak(word, word | kWaiters, std::memory_order_acquire)) {
      if (Signalled(word, first)) return WAIT_OBJECT_0;
      continue;
    }
    word |= kWaiters;
    int rc = FutexWait(&event->word, word, until, shared);
    word = event->word.load(std::memory_order_acquire);
    if (Signalled(word, first)) return WAIT_OBJECT_0;
    if (rc == ETIMEDOUT) return WAIT_TIMEOUT;
  }
}

void SetEventState(EventState* event, bool shared) {
  uint32_t word = event->word.load(std::memory_order_relaxed);
  do {
    if ((word & kSignalled) != 0) return;
  } while (!event->word.compare_exchange_weak(word, ((word + kSetCount) | kSignalled) & ~kWaiters,
                                              std::memory_order_release, std::memory_order_relaxed));
  // Only a word that announced sleepers costs a system call.
  if ((word & kWaiters) != 0) FutexWakeAll(&event->word, shared);
}

void FreeBlocks(HeapState* heap) {
  pthread_mutex_lock(&heap->lock);
  BlockHeader* block = heap->first;
  while (block != nullptr) {
    BlockHeader* next = block->next;
    block->magic = 0;
    free(block);
    block = next;
  }
  heap->first = nullptr;
  pthread_mutex_unlock(&heap->lock);
}

Handle CreateObject(Kind kind, const char* name, bool* existed) {
  if (existed != nullptr) *existed = false;
  if (faults::Fails(faults::Point::kCreateObject)) return 0;
  Slot* slot = ReserveSlot();
  if (slot == nullptr) return 0;
  bool ok;
  if (name != nullptr && name[0] != '\0') {
    slot->shared = OpenNamed(name, kind, &slot->fd, &slot->path, existed);
    ok = slot->shared != nullptr;
  } else if (kind == Kind::kMutex) {
    ok = InitMutex(&slot->local.mutex, false);
  } else {
    slot->local.event.word.store(0, std::memory_order_relaxed);
    ok = true;
  }
  if (!ok) {
    AbandonSlot(slot);
    return 0;
  }
  return PublishSlot(slot, kind);
}

}  // namespace

// Only the owner gets as far as the unlock; glibc would refuse the others
// too, but a refused unlock is still reported as misuse by thread checkers.
bool UnlockMutex(MutexState* mutex) { return OwnerOf(mutex) == SelfTid() && pthread_mutex_unlock(&mutex->lock) == 0; }

bool InitMutex(MutexState* mutex, bool process_shared) {
  pthread_mutexattr_t attributes;
  if (pthread_mutexattr_init(&attributes) != 0) return false;
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
  pthread_mutexattr_setpshared(&attributes, process_shared ? PTHREAD_PROCESS_SHARED : PTHREAD_PROCESS_PRIVATE);
  bool ok = pthread_mutex_init(&mutex->lock, &attributes) == 0;
  pthread_mutexattr_destroy(&attributes);
  return ok;
}

bool EventMayHaveSleepers(const EventState* event) {
  return (event->word.load(std::memory_order_relaxed) & kWaiters) != 0;
}

bool MutexHeldInThisProcess(const MutexState* mutex) {
  pid_t owner = OwnerOf(mutex);
  return owner != 0 && syscall(SYS_tgkill, getpid(), owner, 0) == 0;
}

void ReleaseLocalState(Slot* slot) {
  if (slot->shared != nullptr) {
    CloseNamed(slot->shared, slot->fd, slot->path);
    slot->shared = nullptr;
    slot->fd = -1;
    slot->path = nullptr;
  } else if (slot->kind == Kind::kHeap) {
    FreeBlocks(&slot->local.heap);
  }
}

}  // namespace linux_impl

#if defined(QUENTHALOY_FAULT_INJECTION)
namespace faults {
namespace {
std::atomic<bool> failing[static_cast<int>(Point::kCount)];
}
bool Fails(Point point) { return failing[static_cast<int>(point)].load(std::memory_order_relaxed); }
void SetFailing(Point point, bool fail) { failing[static_cast<int>(point)].store(fail, std::memory_order_relaxed); }
}  // namespace faults
#endif

using linux_impl::Kind;
using linux_impl::Ref;

Handle CreateMutexA(const char* name, bool* existed) { return linux_impl::CreateObject(Kind::kMutex, name, existed); }

Handle CreateEventA(const char* name, bool* existed) { return linux_impl::CreateObject(Kind::kEvent, name, existed); }

uint32_t WaitForSingleObject(Handle object, uint32_t milliseconds) {
  Ref ref;
  uint32_t result;
  if (linux_impl::Lookup(object, Kind::kMutex, &ref)) {
    result = linux_impl::LockMutex(linux_impl::MutexOf(ref), milliseconds);
  } else if (linux_impl::Lookup(object, Kind::kEvent, &ref)) {
    result = linux_impl::WaitEvent(linux_impl::EventOf(ref), milliseconds, ref.shared != nullptr);
  } else {
    return WAIT_FAILED;
  }
  return result;
}

int ReleaseMutex(Handle mutex) {
  Ref ref;
  if (!linux_impl::Lookup(mutex, Kind::kMutex, &ref)) return 0;
  return linux_impl::UnlockMutex(linux_impl::MutexOf(ref));
}

int SetEvent(Handle event) {
  Ref ref;
  if (!linux_impl::Lookup(event, Kind::kEvent, &ref)) return 0;
  linux_impl::SetEventState(linux_impl::EventOf(ref), ref.shared != nullptr);
  return 1;
}

int ResetEvent(Handle event) {
  Ref ref;
  if (!linux_impl::Lookup(event, Kind::kEvent, &ref)) return 0;
  linux_impl::EventOf(ref)->word.fetch_and(~linux_impl::kSignalled, std::memory_order_relaxed);
  return 1;
}

int CloseHandle(Handle object) {
  Kind kind = linux_impl::KindOf(object);
  if (kind != Kind::kMutex && kind != Kind::kEvent) return 0;
  return linux_impl::CloseSlot(object, kind) ? 1 : 0;
}

Handle HeapCreate(uint32_t /*options*/, uint32_t /*initial_size*/, uint32_t /*maximum_size*/) {
  if (faults::Fails(faults::Point::kHeapCreate)) return 0;
  linux_impl::Slot* slot = linux_impl::ReserveSlot();
  if (slot == nullptr) return 0;
  pthread_mutex_init(&slot->local.heap.lock, nullptr);
  slot->local.heap.first = nullptr;
  return linux_impl::PublishSlot(slot, Kind::kHeap);
}

void* HeapAlloc(Handle heap, uint32_t size) {
  if (faults::Fails(faults::Point::kHeapAlloc)) return nullptr;
  Ref ref;
  if (!linux_impl::Lookup(heap, Kind::kHeap, &ref)) return nullptr;
  auto* block = static_cast<linux_impl::BlockHeader*>(calloc(1, sizeof(linux_impl::BlockHeader) + size));
  if (block == nullptr) return nullptr;
  linux_impl::HeapState* state = &ref.slot->local.heap;
  pthread_mutex_lock(&state->lock);
  // Checked again under the heap's lock: a destroy that got there first has
  // already emptied the heap, and this block must not outlive it.
  if (ref.slot->handle.load(std::memory_order_acquire) != heap) {
    pthread_mutex_unlock(&state->lock);
    free(block);
    return nullptr;
  }
  block->heap = heap;
  block->magic = linux_impl::kBlockMagic;
  block->next = state->first;
  if (state->first != nullptr) state->first->prev = block;
  state->first = block;
  pthread_mutex_unlock(&state->lock);
  return block + 1;
}

int HeapFree(Handle heap, void* memory) {
  Ref ref;
  if (memory == nullptr || !linux_impl::Lookup(heap, Kind::kHeap, &ref)) return 0;
  auto* block = static_cast<linux_impl::BlockHeader*>(memory) - 1;
  linux_impl::HeapState* state = &ref.slot->local.heap;
  pthread_mutex_lock(&state->lock);
  bool ours = block->magic == linux_impl::kBlockMagic && block->heap == heap;
  if (ours) {
    if (block->prev != nullptr) block->prev->next = block->next;
    if (block->next != nullptr) block->next->prev = block->prev;
    if (state->first == block) state->first = block->next;
    block->magic = 0;
  }
  pthread_mutex_unlock(&state->lock);
  if (ours) free(block);
  return ours ? 1 : 0;
}

int HeapDestroy(Handle heap) {
  if (linux_impl::KindOf(heap) != Kind::kHeap) return 0;
  return linux_impl::CloseSlot(heap, Kind::kHeap) ? 1 : 0;
}

uint32_t GetTickCount() {
  timespec now;
  clock_gettime(CLOCK_BOOTTIME, &now);
  return static_cast<uint32_t>(now.tv_sec * 1000ULL + static_cast<uint64_t>(now.tv_nsec) / 1000000ULL);
}

}  // namespace platform
