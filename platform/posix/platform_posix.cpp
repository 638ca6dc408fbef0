// The rest of the contract over POSIX: the core's lock words, the private
// heap and the clock.
#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include "../platform.h"
#include "fault_injection.h"
#include "lock_word.h"
#include "objects.h"

namespace platform {

// Never made: nothing outside the process could share its queue, so the
// core's own lock words are all it needs.
struct QueueLock {};

namespace posix_impl {

struct alignas(16) BlockHeader {
  BlockHeader* prev;
  BlockHeader* next;
  Heap* heap;
  uint32_t magic;
};

}  // namespace posix_impl

// Blocks of the C library's allocator, linked so that destroying the heap
// frees every one still in it.
struct Heap {
  pthread_mutex_t lock;
  posix_impl::BlockHeader* first;
};

namespace posix_impl {
namespace {

// The core's locks are held for a few dozen instructions at a time: a taker
// that spins a little often finds it free. Not longer: long spinning keeps
// the lock's line bouncing between processors. A taker that still finds it
// held yields a few times before it sleeps: the holder may be waiting for a
// processor, and every taker that sleeps costs the holder a kernel call to
// wake it when it lets go.
constexpr int kLockWordSpins = 10;
constexpr int kLockWordYields = 8;
static_assert(kLockFree == kLockWordFree && kLockHeld == kLockWordHeld && kLockContended == kLockWordContended,
              "the core's lock words are the layer's");

constexpr uint32_t kBlockMagic = 0x51484250;  // marks a live heap block

bool exit_watch_armed = false;

void LockHeap(Heap* heap) {
  int rc = pthread_mutex_lock(&heap->lock);
  if (rc != 0) Fatal("heap lock", rc);
}

void UnlockHeap(Heap* heap) {
  int rc = pthread_mutex_unlock(&heap->lock);
  if (rc != 0) Fatal("heap unlock", rc);
}

}  // namespace

}  // namespace posix_impl

#if defined(QUENTHALOY_FAULT_INJECTION)
namespace faults {
namespace {
std::atomic<bool> failing[static_cast<int>(Point::kCount)];
std::atomic<uint64_t> counted[static_cast<int>(Call::kCount)];
}  // namespace
bool Fails(Point point) { return failing[static_cast<int>(point)].load(std::memory_order_relaxed); }
void SetFailing(Point point, bool fail) { failing[static_cast<int>(point)].store(fail, std::memory_order_relaxed); }
void Count(Call call) { counted[static_cast<int>(call)].fetch_add(1, std::memory_order_relaxed); }
uint64_t Counted(Call call) { return counted[static_cast<int>(call)].load(std::memory_order_relaxed); }
}  // namespace faults
#endif

QueueLock* QueueLockOpen() { return nullptr; }

void QueueLockClose(QueueLock* /*lock*/) {}

// Takes nothing; the first queue call arms the watch for the process's exit
// (see ProcessIsExiting): from then on threads may be inside.
void QueueLockAcquire(QueueLock* /*lock*/) {
  if (!__atomic_load_n(&posix_impl::exit_watch_armed, __ATOMIC_RELAXED)) {
    posix_impl::ArmExitWatch();
    __atomic_store_n(&posix_impl::exit_watch_armed, true, __ATOMIC_RELAXED);
  }
}

void QueueLockRelease(QueueLock* /*lock*/) {}

void LockWordWait(std::atomic<uint32_t>* word) {
  // On one processor the holder cannot let go while this spins: it yields.
  const int spins = posix_impl::spinning_pays ? posix_impl::kLockWordSpins : 1;
  for (int round = 0; round <= posix_impl::kLockWordYields; ++round) {
    if (round > 0) sched_yield();
    if (posix_impl::SpinForWord(word, spins)) return;
  }
  // Without a deadline the slow path returns only once the word is taken.
  static_cast<void>(posix_impl::LockWordSlowly(word, nullptr));
}

void LockWordWake(std::atomic<uint32_t>* word) { posix_impl::WakeWord(word, 1); }

uint32_t ProcessorCount() {
  long processors = sysconf(_SC_NPROCESSORS_ONLN);
  return processors > 1 ? static_cast<uint32_t>(processors) : 1;
}

void SleepMilliseconds(uint32_t milliseconds) {
  timespec left{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

Heap* HeapCreate() {
  if (faults::Fails(faults::Point::kHeapCreate)) return nullptr;
  auto* heap = static_cast<Heap*>(calloc(1, sizeof(Heap)));
  if (heap == nullptr) return nullptr;
  if (pthread_mutex_init(&heap->lock, nullptr) != 0) {
    free(heap);
    return nullptr;
  }
  return heap;
}

void* HeapAlloc(Heap* heap, uint32_t size) {
  if (heap == nullptr || faults::Fails(faults::Point::kHeapAlloc)) return nullptr;
  auto* block = static_cast<posix_impl::BlockHeader*>(calloc(1, sizeof(posix_impl::BlockHeader) + size));
  if (block == nullptr) return nullptr;
  posix_impl::LockHeap(heap);
  block->heap = heap;
  block->magic = posix_impl::kBlockMagic;
  block->next = heap->first;
  if (heap->first != nullptr) heap->first->prev = block;
  heap->first = block;
  posix_impl::UnlockHeap(heap);
  return block + 1;
}

bool HeapFree(Heap* heap, void* memory) {
  if (heap == nullptr || memory == nullptr) return false;
  auto* block = static_cast<posix_impl::BlockHeader*>(memory) - 1;
  posix_impl::LockHeap(heap);
  bool ours = block->magic == posix_impl::kBlockMagic && block->heap == heap;
  if (ours) {
    if (block->prev != nullptr) block->prev->next = block->next;
    if (block->next != nullptr) block->next->prev = block->prev;
    if (heap->first == block) heap->first = block->next;
    block->magic = 0;
  }
  posix_impl::UnlockHeap(heap);
  if (ours) free(block);
  return ours;
}

bool HeapDestroy(Heap* heap) {
  if (heap == nullptr) return false;
  posix_impl::LockHeap(heap);
  posix_impl::BlockHeader* block = heap->first;
  while (block != nullptr) {
    posix_impl::BlockHeader* next = block->next;
    block->magic = 0;
    free(block);
    block = next;
  }
  heap->first = nullptr;
  posix_impl::UnlockHeap(heap);
  int rc = pthread_mutex_destroy(&heap->lock);
  if (rc != 0) posix_impl::Fatal("heap lock destroy", rc);
  free(heap);
  return true;
}

void ReportNoMemory() { errno = ENOMEM; }

void ReportBadHandle() { errno = EBADF; }

uint32_t MonotonicMilliseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint32_t>(now.tv_sec * 1000ULL + static_cast<uint64_t>(now.tv_nsec) / 1000000ULL);
}

}  // namespace platform
