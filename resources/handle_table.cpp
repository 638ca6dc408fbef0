// The handle table. Thread records are the platform's, in a store of their
// own: a thread new to the library gets its record however many resources
// are open.
//
// Each load mixes a number of its own into its handles, so that a handle of
// one copy of the library in the process (or of an earlier load) names no
// resource of another: the slot index travels XORed with it, and every
// slot's generations start where it says. Another copy then takes such a
// handle for one of its own only by a chance of one in about two thousand
// million for each resource it has open.
#include "handle_table.h"

#include "../sync/lock_word.h"

namespace resources {
namespace {

constexpr uint32_t kIndexBits = 20;
constexpr uint32_t kIndexMask = (1u << kIndexBits) - 1;
// Eleven bits of generation above twenty of index keep every handle a
// positive 32-bit value, clear of the pseudo-handles -1 to -6.
constexpr uint32_t kGenerationMask = 0x7FF;
// Slots are made writable a chunk at a time.
constexpr uint32_t kChunkSize = 1024;
constexpr uint32_t kChunkCount = (kIndexMask + 1) / kChunkSize;
constexpr size_t kChunkBytes = sizeof(Slot) * kChunkSize;
// A freed slot is reused only once this many others wait behind it, so a
// closed handle's value comes back only after kReuseDelay * kGenerationMask
// (about 33 million) closes at the least.
constexpr uint32_t kReuseDelay = 16384;

// Wine's value for the process itself, which no resource call takes.
constexpr uint32_t kNeverAHandle = 0x7FFFFFFF;

// Every handle is below it: a positive 32-bit value.
constexpr uintptr_t kHandleLimit = 0x80000000u;
static_assert((kGenerationMask << kIndexBits | kIndexMask) < kHandleLimit, "handles stay positive");
static_assert(kReuseDelay < kIndexMask, "the free list can hold the delay");
static_assert(synchro::kFree == 0, "a reserved slot is zeroed, and its mutex then free");

struct Table {
  // Taken atomically only: the fork handlers hold it across the fork.
  synchro::LockWord lock;
  // Room for every slot the table can hold, reserved with its first slot: a
  // look-up finds a slot with one addition, and a slot never made reads as
  // zeros there, a closed one. The chunks below next_fresh are writable.
  std::atomic<Slot*> slots;
  // Index 0 is never used: handle 0 means none. Changed under the lock,
  // read without it by ForEachSlotMade.
  std::atomic<uint32_t> next_fresh{1};
  uint32_t free_head;
  uint32_t free_tail;
  uint32_t free_count;
  // This load's number, drawn with the table's first slot: XORed into the
  // index of every handle, and where each slot's generations start.
  std::atomic<uint32_t> index_tag;
  uint32_t first_generation;
};

Table table;

// A slot below next_fresh.
Slot* SlotAt(uint32_t index) { return &table.slots.load(std::memory_order_acquire)[index]; }

Slot* ChunkAt(Slot* slots, uint32_t chunk) { return slots + static_cast<size_t>(chunk) * kChunkSize; }

void LockTable() { synchro::TakeAtomically(&table.lock); }

void UnlockTable() { synchro::GiveBack(&table.lock); }

// A number no other copy loaded at the same time draws (but by chance):
// the system's random bits where it gives them, the time, and where this
// copy lies in memory, mixed so that every bit depends on all of them.
uint64_t DrawLoadNumber() {
  uint64_t x = platform::SystemRandomBits();
  x ^= static_cast<uint64_t>(platform::MonotonicNanoseconds());
  x ^= reinterpret_cast<uintptr_t>(&table) << 16;
  // The finaliser of SplitMix64.
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9u;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBu;
  return x ^ (x >> 31);
}

uint32_t HandleValueOf(const Slot* slot) {
  return (slot->generation << kIndexBits) | (slot->index ^ table.index_tag.load(std::memory_order_relaxed));
}

uint32_t TakeFreeIndexLocked() {
  if (table.free_count > 0 &&
      (table.free_count >= kReuseDelay || table.next_fresh.load(std::memory_order_relaxed) > kIndexMask)) {
    uint32_t index = table.free_head;
    table.free_head = SlotAt(index)->next_free;
    if (--table.free_count == 0) table.free_tail = 0;
    return index;
  }
  const uint32_t index = table.next_fresh.load(std::memory_order_relaxed);
  if (index > kIndexMask) return 0;
  if (index == 1) {
    const uint64_t number = DrawLoadNumber();
    table.index_tag.store(static_cast<uint32_t>(number) & kIndexMask, std::memory_order_relaxed);
    table.first_generation = static_cast<uint32_t>(number >> 32) % kGenerationMask;
  }
  if (table.slots.load(std::memory_order_relaxed) == nullptr) {
    // The room lives until the unload.
    void* room = platform::ReserveZeroPages(sizeof(Slot) * (kIndexMask + 1));
    if (room == nullptr) return 0;
    table.slots.store(static_cast<Slot*>(room), std::memory_order_release);
  }
  // The first index of a chunk (index 0 is never used) makes it writable.
  const bool chunk_begins = index % kChunkSize == 0 || index == 1;
  Slot* chunk = ChunkAt(table.slots.load(std::memory_order_relaxed), index / kChunkSize);
  if (chunk_begins && !platform::CommitPages(chunk, kChunkBytes)) return 0;
  SlotAt(index)->index = index;
  SlotAt(index)->generation = table.first_generation;
  table.next_fresh.store(index + 1, std::memory_order_release);
  return index;
}

void PushFreeLocked(uint32_t index) {
  SlotAt(index)->next_free = 0;
  if (table.free_tail == 0) {
    table.free_head = index;
  } else {
    SlotAt(table.free_tail)->next_free = index;
  }
  table.free_tail = index;
  ++table.free_count;
}

}  // namespace

Slot* ReserveSlot() {
  LockTable();
  uint32_t index = TakeFreeIndexLocked();
  UnlockTable();
  if (index == 0) return nullptr;
  Slot* slot = SlotAt(index);
  do {
    slot->generation = (slot->generation % kGenerationMask) + 1;
  } while (HandleValueOf(slot) == kNeverAHandle);
  ClearMutexState(&slot->mutex);
  slot->in_use.store(true, std::memory_order_relaxed);
  return slot;
}

platform::Handle PublishSlot(Slot* slot) {
  uint32_t handle = HandleValueOf(slot);
  slot->handle.store(handle, std::memory_order_release);
  return static_cast<platform::Handle>(handle);
}

void FreeSlot(Slot* slot) {
  slot->in_use.store(false, std::memory_order_relaxed);
  LockTable();
  PushFreeLocked(slot->index);
  UnlockTable();
}

Slot* Lookup(platform::Handle object) {
  // Every handle has a generation and is below 2^31: a value without one
  // (0 among them) is none, and never meets a slot whose handle is closed
  // (0); nor does a wider one. One compare for both.
  const uintptr_t value = static_cast<uintptr_t>(object);
  if (value - (kIndexMask + 1) >= kHandleLimit - (kIndexMask + 1)) return nullptr;
  const auto handle = static_cast<uint32_t>(value);
  const uint32_t index = (handle ^ table.index_tag.load(std::memory_order_relaxed)) & kIndexMask;
  Slot* slots = table.slots.load(std::memory_order_acquire);
  if (slots == nullptr) return nullptr;
  Slot* slot = &slots[index];
  return slot->handle.load(std::memory_order_acquire) == handle ? slot : nullptr;
}

bool CloseHandleOf(platform::Handle handle) {
  Slot* slot = Lookup(handle);
  if (slot == nullptr) return false;
  uint32_t expected = TableValueOf(handle);
  return slot->handle.compare_exchange_strong(expected, 0, std::memory_order_acq_rel);
}

void ForEachSlotInUse(void (*visit)(Slot* slot)) {
  const uint32_t end = table.next_fresh.load(std::memory_order_relaxed);
  Slot* slots = table.slots.load(std::memory_order_relaxed);
  for (uint32_t index = 1; index < end; ++index) {
    if (slots[index].in_use.load(std::memory_order_relaxed)) visit(&slots[index]);
  }
}

// A slot's chunk is made writable before the count that takes its index in.
void ForEachSlotMade(void (*visit)(Slot* slot, void* context), void* context) {
  const uint32_t end = table.next_fresh.load(std::memory_order_acquire);
  Slot* slots = table.slots.load(std::memory_order_acquire);
  for (uint32_t index = 1; index < end; ++index) visit(&slots[index], context);
}

namespace {

bool ChunkKept(const Slot* chunk, bool (*keep)(const Slot* slot)) {
  for (uint32_t i = 0; i < kChunkSize; ++i) {
    if (chunk[i].in_use.load(std::memory_order_relaxed) && keep(&chunk[i])) return true;
  }
  return false;
}

void UnmapChunks(Slot* slots, uint32_t first, uint32_t end) {
  if (first < end) platform::UnmapPages(ChunkAt(slots, first), (end - first) * kChunkBytes);
}

}  // namespace

// A kept chunk is forgotten, never reused: a load after this one starts
// with a fresh room while a thread may still sleep in the old one.
void ReleaseChunks(bool (*keep)(const Slot* slot)) {
  Slot* slots = table.slots.load(std::memory_order_relaxed);
  if (slots == nullptr) return;
  const uint32_t made = table.next_fresh.load(std::memory_order_relaxed);
  uint32_t unkept_from = 0;
  for (uint32_t c = 0; c * kChunkSize < made; ++c) {
    if (!ChunkKept(ChunkAt(slots, c), keep)) continue;
    UnmapChunks(slots, unkept_from, c);
    unkept_from = c + 1;
  }
  UnmapChunks(slots, unkept_from, kChunkCount);
  table.slots.store(nullptr, std::memory_order_relaxed);
  table.next_fresh.store(1, std::memory_order_relaxed);
  table.free_head = table.free_tail = table.free_count = 0;
}

void LockTableForFork() { LockTable(); }

// The child's only thread is the one that took it.
void UnlockTableAfterFork(bool in_child) {
  if (in_child) {
    table.lock.store(synchro::kFree, std::memory_order_relaxed);
  } else {
    UnlockTable();
  }
}

}  // namespace resources
