// The rest of the contract over POSIX: the private heap, the processors, sleeps.
#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include "../fault_injection.h"
#include "../platform.h"
#include "word_wait.h"

namespace platform {

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

constexpr uint32_t kBlockMagic = 0x51484250;  // marks a live heap block

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

void ReportNoMemory() { errno = ENOMEM; }

void ReportBadHandle() { errno = EBADF; }

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

}  // namespace platform
