// The contract over KERNEL32 itself: each operation is the Windows call with
// the fixed arguments the library always passes.
#include <windows.h>

#include "../platform.h"

namespace platform {
namespace {

HANDLE ToNative(Handle handle) { return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(handle)); }

Handle FromNative(HANDLE handle) { return static_cast<Handle>(reinterpret_cast<uintptr_t>(handle)); }

const char* NameOrNull(const char* name) { return (name != nullptr && name[0] != '\0') ? name : nullptr; }

void ReportExisting(HANDLE created, bool* existed) {
  if (existed != nullptr) {
    *existed = created != nullptr && GetLastError() == ERROR_ALREADY_EXISTS;
  }
}

}  // namespace

Handle CreateMutexA(const char* name, bool* existed) {
  HANDLE mutex = ::CreateMutexA(nullptr, FALSE, NameOrNull(name));
  ReportExisting(mutex, existed);
  return FromNative(mutex);
}

Handle CreateEventA(const char* name, bool* existed) {
  HANDLE event = ::CreateEventA(nullptr, TRUE, FALSE, NameOrNull(name));
  ReportExisting(event, existed);
  return FromNative(event);
}

uint32_t WaitForSingleObject(Handle object, uint32_t milliseconds) {
  return ::WaitForSingleObject(ToNative(object), milliseconds);
}

int ReleaseMutex(Handle mutex) { return ::ReleaseMutex(ToNative(mutex)); }

int SetEvent(Handle event) { return ::SetEvent(ToNative(event)); }

int ResetEvent(Handle event) { return ::ResetEvent(ToNative(event)); }

// Windows treats 0 as no handle; the pseudo-handles near the top of the range
// are never handed out by this library, so nothing else needs screening.
int CloseHandle(Handle object) { return object == 0 ? 0 : ::CloseHandle(ToNative(object)); }

Handle HeapCreate(uint32_t options, uint32_t initial_size, uint32_t maximum_size) {
  return FromNative(::HeapCreate(options, initial_size, maximum_size));
}

void* HeapAlloc(Handle heap, uint32_t size) {
  return heap == 0 ? nullptr : ::HeapAlloc(ToNative(heap), HEAP_ZERO_MEMORY, size);
}

int HeapFree(Handle heap, void* block) {
  return (heap == 0 || block == nullptr) ? 0 : ::HeapFree(ToNative(heap), 0, block);
}

int HeapDestroy(Handle heap) { return heap == 0 ? 0 : ::HeapDestroy(ToNative(heap)); }

uint32_t GetTickCount() { return ::GetTickCount(); }

}  // namespace platform
