// The rest of the contract over Linux: the queue lock, the private heap and
// the clock.
#include <errno.h>
#include <stdlib.h>
#include <time.h>

#include "../platform.h"
#include "fault_injection.h"
#include "lock_word.h"
#include "objects.h"

namespace platform {

// The process's own: nothing outside the process could share its queue, so
// nothing outside may hold up its lock either.
struct QueueLock {
  std::atomic<uint32_t> word;
};

namespace linux_impl {

struct alignas(16) BlockHeader {
  BlockHeader* prev;
  BlockHeader* next;
  uint32_t heap;
  uint32_t magic;
};

namespace {

// The queue's lock is held for a few dozen instructions at a time: a taker
// that spins a little often finds it free without sleeping. Not longer:
// under steady contention a thread that sleeps lets the holder run on alone,
// while long spinning keeps the lock's line bouncing between processors.
constexpr int kQueueLockSpins = 10;

constexpr uint32_t kBlockMagic = 0x51484250;  // marks a live heap block

QueueLock queue_lock;
bool exit_watch_armed = false;

void LockHeap(HeapState* heap) {
  int rc = pthread_mutex_lock(&heap->lock);
  if (rc != 0) Fatal("heap lock", rc);
}

void UnlockHeap(HeapState* heap) {
  int rc = pthread_mutex_unlock(&heap->lock);
  if (rc != 0) Fatal("heap unlock", rc);
}

}  // namespace

QueueLock* TheQueueLock() { return &queue_lock; }

void ResetQueueLockInChild() { queue_lock.word.store(kLockFree, std::memory_order_relaxed); }

void FreeHeapBlocks(HeapState* heap) {
  LockHeap(heap);
  BlockHeader* block = heap->first;
  while (block != nullptr) {
    BlockHeader* next = block->next;
    block->magic = 0;
    free(block);
    block = next;
  }
  heap->first = nullptr;
  UnlockHeap(heap);
}

}  // namespace linux_impl

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

using linux_impl::Kind;
using linux_impl::Slot;

QueueLock* QueueLockOpen() {
  if (faults::Fails(faults::Point::kCreateObject)) return nullptr;
  linux_impl::queue_lock.word.store(linux_impl::kLockFree, std::memory_order_relaxed);
  return &linux_impl::queue_lock;
}

void QueueLockClose(QueueLock* /*lock*/) {}

void QueueLockAcquire(QueueLock* lock) {
  // The first queue call arms the watch for the process's exit (see
  // ProcessIsExiting): from then on threads may be inside.
  if (!__atomic_load_n(&linux_impl::exit_watch_armed, __ATOMIC_RELAXED)) {
    linux_impl::ArmExitWatch();
    __atomic_store_n(&linux_impl::exit_watch_armed, true, __ATOMIC_RELAXED);
  }
  if (linux_impl::TryLockWord(&lock->word)) return;
  for (int i = 0; i < linux_impl::kQueueLockSpins; ++i) {
    linux_impl::CpuRelax();
    if (lock->word.load(std::memory_order_relaxed) == linux_impl::kLockFree && linux_impl::TryLockWord(&lock->word)) {
      return;
    }
  }
  linux_impl::LockWordSlowly(&lock->word, nullptr);
}

void QueueLockRelease(QueueLock* lock) { linux_impl::UnlockWord(&lock->word); }

Handle HeapCreate() {
  if (faults::Fails(faults::Point::kHeapCreate)) return 0;
  Slot* slot = linux_impl::ReserveSlot();
  if (slot == nullptr) return 0;
  int rc = pthread_mutex_init(&slot->local.heap.lock, nullptr);
  if (rc != 0) {
    linux_impl::FreeSlot(slot);
    return 0;
  }
  return linux_impl::PublishSlot(slot, Kind::kHeap);
}

void* HeapAlloc(Handle heap, uint32_t size) {
  if (faults::Fails(faults::Point::kHeapAlloc)) return nullptr;
  Slot* slot = linux_impl::Lookup(heap, Kind::kHeap);
  if (slot == nullptr) return nullptr;
  auto* block = static_cast<linux_impl::BlockHeader*>(calloc(1, sizeof(linux_impl::BlockHeader) + size));
  if (block == nullptr) return nullptr;
  linux_impl::HeapState* state = &slot->local.heap;
  linux_impl::LockHeap(state);
  // Checked again under the heap's lock: a destroy that got there first has
  // already emptied the heap, and this block must not outlive it.
  if (slot->handle.load(std::memory_order_acquire) != heap) {
    linux_impl::UnlockHeap(state);
    free(block);
    return nullptr;
  }
  block->heap = heap;
  block->magic = linux_impl::kBlockMagic;
  block->next = state->first;
  if (state->first != nullptr) state->first->prev = block;
  state->first = block;
  linux_impl::UnlockHeap(state);
  return block + 1;
}

bool HeapFree(Handle heap, void* memory) {
  Slot* slot = linux_impl::Lookup(heap, Kind::kHeap);
  if (memory == nullptr || slot == nullptr) return false;
  auto* block = static_cast<linux_impl::BlockHeader*>(memory) - 1;
  linux_impl::HeapState* state = &slot->local.heap;
  linux_impl::LockHeap(state);
  bool ours = block->magic == linux_impl::kBlockMagic && block->heap == heap;
  if (ours) {
    if (block->prev != nullptr) block->prev->next = block->next;
    if (block->next != nullptr) block->next->prev = block->prev;
    if (state->first == block) state->first = block->next;
    block->magic = 0;
  }
  linux_impl::UnlockHeap(state);
  if (ours) free(block);
  return ours;
}

bool HeapDestroy(Handle heap) {
  Slot* slot = linux_impl::Lookup(heap, Kind::kHeap);
  if (slot == nullptr || !linux_impl::CloseHandleOf(heap, Kind::kHeap)) return false;
  linux_impl::FreeHeapBlocks(&slot->local.heap);
  int rc = pthread_mutex_destroy(&slot->local.heap.lock);
  if (rc != 0) linux_impl::Fatal("heap lock destroy", rc);
  linux_impl::FreeSlot(slot);
  return true;
}

uint32_t MonotonicMilliseconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint32_t>(now.tv_sec * 1000ULL + static_cast<uint64_t>(now.tv_nsec) / 1000000ULL);
}

}  // namespace platform
