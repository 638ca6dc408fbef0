// The handle table: slots in chunks that are never moved, so a lookup needs
// no lock, and handles that carry a generation, so a stale handle fails.
#include <stdlib.h>
#include <sys/mman.h>

#include "objects.h"

namespace platform::linux_impl {
namespace {

constexpr uint32_t kIndexBits = 20;
constexpr uint32_t kIndexMask = (1u << kIndexBits) - 1;
constexpr uint32_t kGenerationMask = 0x7FF;  // keeps handles positive
constexpr uint32_t kChunkBits = 10;
constexpr uint32_t kChunkSize = 1u << kChunkBits;
constexpr uint32_t kChunkCount = (kIndexMask + 1) / kChunkSize;
// A freed slot is reused only once this many others wait behind it, so a
// closed handle's value comes back only after a long while.
constexpr uint32_t kReuseDelay = 1024;

struct Table {
  pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
  std::atomic<Slot*> chunks[kChunkCount] = {};
  uint32_t next_fresh = 1;  // index 0 is never used: handle 0 means none
  uint32_t free_head = 0;
  uint32_t free_tail = 0;
  uint32_t free_count = 0;
};

Table table;

Slot* SlotAt(uint32_t index) {
  Slot* chunk = table.chunks[index >> kChunkBits].load(std::memory_order_acquire);
  return chunk == nullptr ? nullptr : &chunk[index & (kChunkSize - 1)];
}

uint32_t IndexOf(const Slot* slot) { return slot->index; }

uint32_t TakeFreeIndexLocked() {
  if (table.free_count > 0 && (table.free_count >= kReuseDelay || table.next_fresh > kIndexMask)) {
    uint32_t index = table.free_head;
    table.free_head = SlotAt(index)->next_free;
    if (--table.free_count == 0) table.free_tail = 0;
    return index;
  }
  if (table.next_fresh > kIndexMask) return 0;
  uint32_t index = table.next_fresh;
  uint32_t c = index >> kChunkBits;
  if (table.chunks[c].load(std::memory_order_relaxed) == nullptr) {
    // Fresh, zeroed pages; a chunk lives as long as the process.
    void* memory = mmap(nullptr, sizeof(Slot) * kChunkSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) return 0;
    table.chunks[c].store(static_cast<Slot*>(memory), std::memory_order_release);
  }
  ++table.next_fresh;
  SlotAt(index)->index = index;
  return index;
}

void PushFreeLocked(uint32_t index) {
  Slot* slot = SlotAt(index);
  slot->next_free = 0;
  if (table.free_tail == 0) {
    table.free_head = index;
  } else {
    SlotAt(table.free_tail)->next_free = index;
  }
  table.free_tail = index;
  ++table.free_count;
}

void FreeSlot(Slot* slot) {
  // The kind stays as it was until the slot is reused: ReleaseTable still
  // needs to know a closed event from a closed mutex.
  ReleaseLocalState(slot);
  // A private mutex closed while a thread of ours holds it is on that
  // thread's robust list: its slot is never reused.
  if (slot->kind == Kind::kMutex && slot->shared == nullptr && MutexHeldInThisProcess(&slot->local.mutex)) return;
  pthread_mutex_lock(&table.lock);
  PushFreeLocked(IndexOf(slot));
  pthread_mutex_unlock(&table.lock);
}

}  // namespace

Slot* ReserveSlot() {
  pthread_mutex_lock(&table.lock);
  uint32_t index = TakeFreeIndexLocked();
  pthread_mutex_unlock(&table.lock);
  if (index == 0) return nullptr;
  Slot* slot = SlotAt(index);
  slot->generation = (slot->generation % kGenerationMask) + 1;
  slot->shared = nullptr;
  slot->fd = -1;
  slot->path = nullptr;
  return slot;
}

uint32_t PublishSlot(Slot* slot, Kind kind) {
  uint32_t handle = (slot->generation << kIndexBits) | IndexOf(slot);
  slot->kind = kind;
  slot->handle.store(handle, std::memory_order_release);
  return handle;
}

void AbandonSlot(Slot* slot) {
  pthread_mutex_lock(&table.lock);
  PushFreeLocked(IndexOf(slot));
  pthread_mutex_unlock(&table.lock);
}

bool Lookup(uint32_t handle, Kind kind, Ref* ref) {
  uint32_t index = handle & kIndexMask;
  if (index == 0) return false;
  Slot* slot = SlotAt(index);
  if (slot == nullptr || slot->handle.load(std::memory_order_acquire) != handle) return false;
  if (slot->kind != kind) return false;
  ref->slot = slot;
  ref->shared = slot->shared;
  return true;
}

bool CloseSlot(uint32_t handle, Kind kind) {
  uint32_t index = handle & kIndexMask;
  if (index == 0) return false;
  Slot* slot = SlotAt(index);
  if (slot == nullptr || slot->kind != kind) return false;
  uint32_t expected = handle;
  if (!slot->handle.compare_exchange_strong(expected, 0, std::memory_order_acq_rel)) return false;
  FreeSlot(slot);
  return true;
}

Kind KindOf(uint32_t handle) {
  uint32_t index = handle & kIndexMask;
  if (index == 0) return Kind::kNone;
  Slot* slot = SlotAt(index);
  if (slot == nullptr || slot->handle.load(std::memory_order_acquire) != handle) return Kind::kNone;
  return slot->kind;
}

MutexState* MutexOf(const Ref& ref) { return ref.shared != nullptr ? &ref.shared->mutex : &ref.slot->local.mutex; }

EventState* EventOf(const Ref& ref) { return ref.shared != nullptr ? &ref.shared->event : &ref.slot->local.event; }

namespace {

// Whether a thread of this process may still use the slot's memory, open
// or closed: a private mutex it holds is on its robust list, which glibc and
// the kernel walk; an event it sleeps on is a private futex, known by its
// address, so a later mapping there could wake it into code no longer loaded.
bool StillInUse(Slot* slot) {
  if (slot->shared != nullptr) return false;
  if (slot->kind == Kind::kMutex) return MutexHeldInThisProcess(&slot->local.mutex);
  if (slot->kind == Kind::kEvent) return EventMayHaveSleepers(&slot->local.event);
  return false;
}

}  // namespace

// At unload, closes what the host left open and returns every chunk none of
// whose slots a thread may still use.
__attribute__((destructor(101))) void ReleaseTable() {
  for (uint32_t c = 0; c < kChunkCount; ++c) {
    Slot* chunk = table.chunks[c].load(std::memory_order_relaxed);
    if (chunk == nullptr) continue;
    bool keep = false;
    for (uint32_t i = 0; i < kChunkSize; ++i) {
      Slot* slot = &chunk[i];
      if (StillInUse(slot)) {
        keep = true;
        continue;
      }
      if (slot->handle.load(std::memory_order_relaxed) == 0) continue;
      slot->handle.store(0, std::memory_order_relaxed);
      ReleaseLocalState(slot);
    }
    if (!keep) {
      table.chunks[c].store(nullptr, std::memory_order_relaxed);
      munmap(chunk, sizeof(Slot) * kChunkSize);
    }
  }
  ReleaseNamedMappings();
}

}  // namespace platform::linux_impl
