// The operating-system contract of the library: every blocking, locking and
// allocating operation the core needs, under the names of the Windows
// KERNEL32 calls it was designed around. One implementation per OS lives
// beside this header (win32/, linux/); the core includes nothing else.
//
// Return rules, common to every operation:
//   - Handles are 32-bit values; 0 is never a valid handle and is what a
//     failed create returns.
//   - A call given 0, a closed handle, or a value that never was a handle
//     fails without effect: 0 for the boolean operations, WAIT_FAILED for
//     WaitForSingleObject. It never crashes and never touches another object.
//   - Boolean operations return non-zero on success and 0 on failure.
//   - A non-empty name reaches the same object from every process of the same
//     user; a null or empty name makes an object that nobody else can open.
#ifndef QUENTHALOY_PLATFORM_H
#define QUENTHALOY_PLATFORM_H

#include <stdint.h>

// The wait results and the infinite time-out, valued as on Windows. Guarded
// so that the Windows implementation may include <windows.h> first.
#ifndef INFINITE
#define INFINITE 0xFFFFFFFFu
#endif
#ifndef WAIT_OBJECT_0
#define WAIT_OBJECT_0 0x00000000u
#endif
#ifndef WAIT_ABANDONED
#define WAIT_ABANDONED 0x00000080u
#endif
#ifndef WAIT_TIMEOUT
#define WAIT_TIMEOUT 0x00000102u
#endif
#ifndef WAIT_FAILED
#define WAIT_FAILED 0xFFFFFFFFu
#endif

namespace platform {

using Handle = uint32_t;

// A mutex, not initially owned. Recursive: the owner may take it again and
// must release it as often. *existed (when given) is set to whether the name
// already named a mutex, the case Windows reports as ERROR_ALREADY_EXISTS.
// A name that exists as another kind of object fails.
Handle CreateMutexA(const char* name, bool* existed);

// A manual-reset event, initially not signalled; an existing name yields the
// existing event in its current state.
Handle CreateEventA(const char* name, bool* existed);

// Waits until the object is signalled or the time-out in milliseconds runs
// out (0 tries once, INFINITE waits for ever). WAIT_OBJECT_0: signalled, and
// for a mutex the caller now holds it. WAIT_ABANDONED: the mutex's previous
// holder ended without releasing it; the caller holds it now.
uint32_t WaitForSingleObject(Handle object, uint32_t milliseconds);

// Non-zero when the calling thread held the mutex and released it once.
int ReleaseMutex(Handle mutex);

// The event becomes signalled, releasing every waiter in every process, and
// stays so until reset.
int SetEvent(Handle event);
int ResetEvent(Handle event);

// Closes one handle; an object lives until its last handle anywhere closes.
int CloseHandle(Handle object);

// A growable private heap. Blocks come back zero-filled; destroying the heap
// releases every block still in it. Heap handles are separate from object
// handles: CloseHandle does not take them.
Handle HeapCreate(uint32_t options, uint32_t initial_size, uint32_t maximum_size);
void* HeapAlloc(Handle heap, uint32_t size);
int HeapFree(Handle heap, void* block);
int HeapDestroy(Handle heap);

// Milliseconds since the system started, wrapping at 2^32.
uint32_t GetTickCount();

}  // namespace platform

#endif
