// The handle table: slots in chunks that are never moved, so a lookup needs
// no lock, and handles that carry a generation, so a stale handle fails.
// Thread records come from a second table of the same kind, under no
// handle: a thread new to the library gets its record however many
// resources are open.
//
// Each load mixes a number of its own into its handles, so that a handle of
// one copy of the library in the process (or of an earlier load) names no
// resource of another: the slot index travels XORed with it, and every
// slot's generations start where it says. Another copy then takes such a
// handle for one of its own only by a chance of one in about two thousand
// million for each resource it has open.
#include <errno.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <time.h>

#include "objects.h"
#include "word_wait.h"

namespace platform::posix_impl {
namespace {

constexpr uint32_t kIndexBits = 20;
constexpr uint32_t kIndexMask = (1u << kIndexBits) - 1;
// Eleven bits of generation above twenty of index keep every handle a
// positive 32-bit value, clear of the pseudo-handles -1 to -6.
constexpr uint32_t kGenerationMask = 0x7FF;
constexpr uint32_t kChunkBits = 10;
constexpr uint32_t kChunkSize = 1u << kChunkBits;
constexpr uint32_t kChunkCount = (kIndexMask + 1) / kChunkSize;
// A freed slot is reused only once this many others wait behind it, so a
// closed handle's value comes back only after kReuseDelay * kGenerationMask
// (about 33 million) closes at the least.
constexpr uint32_t kReuseDelay = 16384;

// Wine's value for the process itself, which no resource call takes.
constexpr uint32_t kNeverAHandle = 0x7FFFFFFF;

static_assert((kGenerationMask << kIndexBits | kIndexMask) < 0x80000000u, "handles stay positive");
static_assert(kReuseDelay < kIndexMask, "the free list can hold the delay");
static_assert(kLockFree == 0, "a reserved slot is zeroed, and its mutex then free");

struct Table {
  // How many freed slots wait before one is reused: the resources' delay
  // keeps stale handles failing; thread records carry no handle.
  uint32_t reuse_delay;
  pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
  std::atomic<Slot*> chunks[kChunkCount] = {};
  uint32_t next_fresh = 1;  // index 0 is never used: handle 0 means none
  uint32_t free_head = 0;
  uint32_t free_tail = 0;
  uint32_t free_count = 0;
  // This load's number, drawn with the table's first slot: XORed into the
  // index of every handle, and where each slot's generations start.
  std::atomic<uint32_t> index_tag{0};
  uint32_t first_generation = 0;
};

Table resource_table{kReuseDelay};
Table thread_table{0};

Table* const tables[] = {&resource_table, &thread_table};

Table& TableFor(Kind kind) { return kind == Kind::kThread ? thread_table : resource_table; }

Slot* SlotAt(Table& table, uint32_t index) {
  Slot* chunk = table.chunks[index >> kChunkBits].load(std::memory_order_acquire);
  return chunk == nullptr ? nullptr : &chunk[index & (kChunkSize - 1)];
}

void LockTable(Table& table) {
  int rc = pthread_mutex_lock(&table.lock);
  if (rc != 0) Fatal("handle table lock", rc);
}

void UnlockTable(Table& table) {
  int rc = pthread_mutex_unlock(&table.lock);
  if (rc != 0) Fatal("handle table unlock", rc);
}

// A number no other copy loaded at the same time draws (but by chance):
// the kernel's random bytes where it gives them, the time, and where this
// copy lies in memory, mixed so that every bit depends on all of them.
uint64_t DrawLoadNumber(const Table& table) {
  uint64_t x = 0;
  if (getrandom(&x, sizeof(x), GRND_NONBLOCK) != static_cast<ssize_t>(sizeof(x))) x = 0;
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  x ^= static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
  x ^= reinterpret_cast<uintptr_t>(&table) << 16;
  // The finaliser of SplitMix64.
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9u;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBu;
  return x ^ (x >> 31);
}

uint32_t HandleValueOf(const Table& table, const Slot* slot) {
  return (slot->generation << kIndexBits) | (slot->index ^ table.index_tag.load(std::memory_order_relaxed));
}

uint32_t TakeFreeIndexLocked(Table& table) {
  if (table.free_count > 0 && (table.free_count >= table.reuse_delay || table.next_fresh > kIndexMask)) {
    uint32_t index = table.free_head;
    table.free_head = SlotAt(table, index)->next_free;
    if (--table.free_count == 0) table.free_tail = 0;
    return index;
  }
  if (table.next_fresh > kIndexMask) return 0;
  uint32_t index = table.next_fresh;
  if (index == 1) {
    const uint64_t number = DrawLoadNumber(table);
    table.index_tag.store(static_cast<uint32_t>(number) & kIndexMask, std::memory_order_relaxed);
    table.first_generation = static_cast<uint32_t>(number >> 32) % kGenerationMask;
  }
  uint32_t c = index >> kChunkBits;
  if (table.chunks[c].load(std::memory_order_relaxed) == nullptr) {
    // Fresh, zeroed pages; a chunk lives until the unload.
    void* memory = mmap(nullptr, sizeof(Slot) * kChunkSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) return 0;
    table.chunks[c].store(static_cast<Slot*>(memory), std::memory_order_release);
  }
  ++table.next_fresh;
  SlotAt(table, index)->index = index;
  SlotAt(table, index)->generation = table.first_generation;
  return index;
}

void PushFreeLocked(Table& table, uint32_t index) {
  SlotAt(table, index)->next_free = 0;
  if (table.free_tail == 0) {
    table.free_head = index;
  } else {
    SlotAt(table, table.free_tail)->next_free = index;
  }
  table.free_tail = index;
  ++table.free_count;
}

}  // namespace

Slot* ReserveSlot(Kind kind) {
  Table& table = TableFor(kind);
  LockTable(table);
  uint32_t index = TakeFreeIndexLocked(table);
  UnlockTable(table);
  if (index == 0) return nullptr;
  Slot* slot = SlotAt(table, index);
  do {
    slot->generation = (slot->generation % kGenerationMask) + 1;
  } while (HandleValueOf(table, slot) == kNeverAHandle);
  memset(static_cast<void*>(&slot->local), 0, sizeof(slot->local));
  return slot;
}

Handle PublishSlot(Slot* slot, Kind kind) {
  uint32_t handle = HandleValueOf(TableFor(kind), slot);
  slot->kind.store(kind, std::memory_order_relaxed);
  slot->handle.store(handle, std::memory_order_release);
  return static_cast<Handle>(handle);
}

void FreeSlot(Slot* slot) {
  Table& table = TableFor(slot->kind.load(std::memory_order_relaxed));
  slot->kind.store(Kind::kNone, std::memory_order_relaxed);
  LockTable(table);
  PushFreeLocked(table, slot->index);
  UnlockTable(table);
}

Slot* Lookup(Handle object, Kind kind) {
  const uint32_t handle = TableValueOf(object);
  // Every handle has a generation: a value without one (0 among them) is
  // none, and never meets a slot whose handle is closed (0).
  if (handle <= kIndexMask) return nullptr;
  const uint32_t index = (handle ^ resource_table.index_tag.load(std::memory_order_relaxed)) & kIndexMask;
  Slot* slot = SlotAt(resource_table, index);
  if (slot == nullptr || slot->handle.load(std::memory_order_acquire) != handle) return nullptr;
  return slot->kind.load(std::memory_order_relaxed) == kind ? slot : nullptr;
}

bool CloseHandleOf(Handle handle, Kind kind) {
  Slot* slot = Lookup(handle, kind);
  if (slot == nullptr) return false;
  uint32_t expected = TableValueOf(handle);
  return slot->handle.compare_exchange_strong(expected, 0, std::memory_order_acq_rel);
}

void ForEachSlot(void (*visit)(Slot* slot)) {
  for (Table* table : tables) {
    for (uint32_t index = 1; index < table->next_fresh; ++index) {
      Slot* slot = SlotAt(*table, index);
      if (slot != nullptr) visit(slot);
    }
  }
}

void ReleaseChunks(bool (*keep)(const Slot* slot)) {
  for (Table* table : tables) {
    for (uint32_t c = 0; c < kChunkCount; ++c) {
      Slot* chunk = table->chunks[c].load(std::memory_order_relaxed);
      if (chunk == nullptr) continue;
      bool kept = false;
      for (uint32_t i = 0; i < kChunkSize && !kept; ++i) kept = keep(&chunk[i]);
      // A kept chunk is forgotten, never reused: a load after this one starts
      // with fresh chunks while a thread may still sleep in the old one.
      table->chunks[c].store(nullptr, std::memory_order_relaxed);
      if (!kept && munmap(chunk, sizeof(Slot) * kChunkSize) != 0) Fatal("munmap of handle chunk", errno);
    }
    table->next_fresh = 1;
    table->free_head = table->free_tail = table->free_count = 0;
  }
}

void LockTableForFork() {
  LockTable(resource_table);
  LockTable(thread_table);
}

void UnlockTableAfterFork(bool in_child) {
  for (Table* table : tables) {
    if (in_child) {
      // The child's only thread is the one that took it; a fresh lock is free.
      table->lock = PTHREAD_MUTEX_INITIALIZER;
    } else {
      UnlockTable(*table);
    }
  }
}

}  // namespace platform::posix_impl
