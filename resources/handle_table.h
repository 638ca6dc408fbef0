// The handles of the library's own resources (where the kernel keeps none,
// see resources.h): slots in chunks that never move while the library is
// loaded, so a look-up takes no lock and never reaches freed memory, under
// handles that carry a generation, so a stale handle fails.
#ifndef QUENTHALOY_RESOURCES_HANDLE_TABLE_H
#define QUENTHALOY_RESOURCES_HANDLE_TABLE_H

#include <stddef.h>
#include <stdint.h>

#include <atomic>

#include "../platform/platform.h"
#include "mutex.h"

namespace resources {

// One cache line, the mutex first: a look-up and a take touch nothing else.
struct alignas(64) Slot {
  MutexState mutex;
  // The handle value while a handle is open on the slot, 0 otherwise: a
  // look-up compares the whole value, so a stale handle never matches a
  // reused slot.
  std::atomic<uint32_t> handle;
  // True from the slot's reservation until it is freed: a mutex closed while
  // held stays in use under handle 0 until its holder lets it go.
  std::atomic<bool> in_use;
  uint32_t index;       // its place in the table, the handle's low bits
  uint32_t generation;  // of the last handle given out on it, the high bits
  uint32_t next_free;   // while on the free list
};
static_assert(sizeof(Slot) == 64, "a slot is one cache line");

// The table's handle values are positive 31-bit numbers: a wider handle
// never was one, and reads as 0, which no slot holds.
inline uint32_t TableValueOf(platform::Handle handle) {
  const auto value = static_cast<uintptr_t>(handle);
  return value <= UINT32_MAX ? static_cast<uint32_t>(value) : 0;
}

// A free slot, zeroed and unreachable; null on exhaustion.
[[nodiscard]] Slot* ReserveSlot();
// Makes a reserved, filled-in slot reachable under a new handle.
[[nodiscard]] platform::Handle PublishSlot(Slot* slot);
// Puts a slot back on the free list. No handle may be open on it.
void FreeSlot(Slot* slot);
// The open slot under the handle, or null.
[[nodiscard]] Slot* Lookup(platform::Handle handle);
// Takes the handle off its slot; false if it was not open.
[[nodiscard]] bool CloseHandleOf(platform::Handle handle);

// Calls `visit` for every slot in use. Only where no other thread can
// change the table: a forked child, or the unload.
void ForEachSlotInUse(void (*visit)(Slot* slot));
// Calls `visit` for every slot made so far, in use or not, while other
// threads reserve, publish, close and free: it takes no lock, and a slot's
// fields may change under it (it reads them atomically). Every slot made
// before the call is visited. Not at the same time as the unload.
void ForEachSlotMade(void (*visit)(Slot* slot, void* context), void* context);
// At unload: returns every chunk for which `keep` is false for all its
// slots; the others stay mapped for good.
void ReleaseChunks(bool (*keep)(const Slot* slot));
// Around fork: the table's lock is held across it and made free in the child.
void LockTableForFork();
void UnlockTableAfterFork(bool in_child);

}  // namespace resources

#endif
