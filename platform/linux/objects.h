// The state behind every handle of the Linux implementation, and the table
// that hands out the handles.
#ifndef QUENTHALOY_PLATFORM_LINUX_OBJECTS_H
#define QUENTHALOY_PLATFORM_LINUX_OBJECTS_H

#include <pthread.h>
#include <stdint.h>

#include <atomic>

namespace platform::linux_impl {

enum class Kind : uint32_t { kNone = 0, kMutex = 1, kEvent = 2, kHeap = 3 };

// A recursive, robust mutex: glibc counts recursion, refuses a release by a
// non-owner, and reports an owner that died, thread or process, as
// EOWNERDEAD to the next taker.
struct MutexState {
  pthread_mutex_t lock;
};

// A manual-reset event on one futex word: bit 0 signalled, bit 1 someone may
// sleep on the word, the rest counts the sets so that a waiter released by a
// set does not miss it when a reset follows at once.
struct EventState {
  std::atomic<uint32_t> word;
};

struct BlockHeader;

struct HeapState {
  pthread_mutex_t lock;
  BlockHeader* first;
};

// The layout of a named object's shared-memory file. A file is published
// under its name only once complete, so every reader sees a whole header.
struct SharedObject {
  uint32_t magic;
  uint32_t version;
  uint32_t abi;
  Kind kind;
  union {
    MutexState mutex;
    EventState event;
  };
};

struct Slot {
  // The handle value while the slot is open, 0 otherwise: a lookup compares
  // the whole value, so a stale handle never matches a reused slot.
  std::atomic<uint32_t> handle;
  // Atomic, like everything a lookup reads, because a close may run while
  // another thread still uses the handle (OnDetach closes the reply events
  // senders sleep on): the user then sees old or new values, never torn ones.
  std::atomic<Kind> kind;
  uint32_t index;
  uint32_t generation;
  uint32_t next_free;
  std::atomic<SharedObject*> shared;  // null for private objects
  int fd;
  char* path;
  union {
    MutexState mutex;
    EventState event;
    HeapState heap;
  } local;
};

// A slot found open under a handle, and its named object's mapping (null
// for a private object). Neither is ever unmapped while the library is
// loaded, so a lookup needs neither a lock nor a reference count: a thread
// racing a close of the handle it uses reaches stale state, never freed
// memory (using a handle while closing it is undefined on Windows too).
struct Ref {
  Slot* slot;
  SharedObject* shared;
};

// Reserves a slot and returns it unpublished; 0 handle on exhaustion.
Slot* ReserveSlot();
// Makes a reserved, filled-in slot reachable; returns its handle.
uint32_t PublishSlot(Slot* slot, Kind kind);
// Returns a reserved slot that was never published.
void AbandonSlot(Slot* slot);

bool Lookup(uint32_t handle, Kind kind, Ref* ref);
// Closes the handle and releases the object's resources at once.
bool CloseSlot(uint32_t handle, Kind kind);
// Whether the handle is open, whatever its kind.
Kind KindOf(uint32_t handle);

MutexState* MutexOf(const Ref& ref);
EventState* EventOf(const Ref& ref);

// Named objects in per-user shared memory (named_objects.cpp).
SharedObject* OpenNamed(const char* name, Kind kind, int* fd, char** path, bool* existed);
// Closes this process's handle on a named object; the mapping is kept until
// unload (see Ref), when ReleaseNamedMappings unmaps it.
void CloseNamed(SharedObject* shared, int fd, char* path);
void ReleaseNamedMappings();

// Object state set-up and release shared by private and named objects.
bool InitMutex(MutexState* mutex, bool process_shared);
bool MutexHeldInThisProcess(const MutexState* mutex);
bool EventMayHaveSleepers(const EventState* event);
void ReleaseLocalState(Slot* slot);

}  // namespace platform::linux_impl

#endif
