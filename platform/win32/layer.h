// What the parts of the layer over KERNEL32 share. The DLLs link no C
// runtime, so everything in this layer is KERNEL32 calls, statics that need
// no constructor, and blocks of the process heap.
#ifndef QUENTHALOY_PLATFORM_WIN32_LAYER_H
#define QUENTHALOY_PLATFORM_WIN32_LAYER_H

#include <windows.h>

#include "../platform.h"

namespace platform::win32_impl {

// A value of the interface, widened as Windows widens a 32-bit handle (with
// its sign), so that a 64-bit process reads the handles a 32-bit one hands
// over. Only values already found in range come here.
inline HANDLE ToNative(Handle handle) { return LongToHandle(static_cast<LONG>(static_cast<intptr_t>(handle))); }

inline Handle FromNative(HANDLE handle) { return static_cast<Handle>(reinterpret_cast<uintptr_t>(handle)); }

inline void* AllocateZeroed(SIZE_T size) { return ::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, size); }

inline void Free(void* block) { ::HeapFree(::GetProcessHeap(), 0, block); }

// The library's own handles, of every copy in the process (own_handles.cpp):
// the resource calls refuse them. Opened at the start, closed at the end.
void OpenOwnHandles();
void CloseOwnHandles();
// False when the registry is missing or the value lies beyond it: an own
// object the resource calls could not refuse is not kept.
[[nodiscard]] bool AddOwnHandle(HANDLE handle);
// Cleared before the handle is closed: once closed, the kernel may give the
// value to a new object of the host's, which must not be refused.
void DropOwnHandle(HANDLE handle);
void CloseOwnHandle(HANDLE handle);
// Handles the resource calls never pass on to the kernel: the null handle,
// negative values and pseudo-handles, and the library's own.
bool IsRefused(Handle handle);

// From the first sleep in the library on, the module stays loaded until the
// process ends (system.cpp): a thread asleep in it wakes into its code.
void StayLoaded();
// A wait that may sleep: until the module stays loaded, it first tries
// without sleeping, so that a host that never waits can still unload it.
DWORD WaitStayingLoaded(HANDLE object, DWORD milliseconds);

}  // namespace platform::win32_impl

#endif
