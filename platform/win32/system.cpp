// The rest of the contract over KERNEL32: the heap, pages, the clock, the
// processors, and the report of a broken invariant.
#include <atomic>

#include "../fault_injection.h"
#include "layer.h"

namespace platform {
namespace {

void WriteToStandardError(const char* text) {
  HANDLE output = ::GetStdHandle(STD_ERROR_HANDLE);
  DWORD written = 0;
  if (output != nullptr && output != INVALID_HANDLE_VALUE) {
    ::WriteFile(output, text, static_cast<DWORD>(::lstrlenA(text)), &written, nullptr);
  }
}

static_assert(static_cast<DWORD>(WaitResult::kObtained) == WAIT_OBJECT_0, "wait results are Windows'");
static_assert(static_cast<DWORD>(WaitResult::kAbandoned) == WAIT_ABANDONED, "wait results are Windows'");
static_assert(static_cast<DWORD>(WaitResult::kTimedOut) == WAIT_TIMEOUT, "wait results are Windows'");
static_assert(static_cast<DWORD>(WaitResult::kFailed) == WAIT_FAILED, "wait results are Windows'");
static_assert(kWaitForever == INFINITE, "the endless time-out is Windows'");
static_assert(sizeof(HANDLE) == sizeof(Handle), "a kernel handle is as wide as the contract's");
static_assert(sizeof(LONG) == sizeof(int32_t), "LongToHandle widens a 32-bit value");

}  // namespace

// A broken invariant of the library's own (debug builds only): ends the
// process at once, as abort does, so that no unload notice runs into the
// broken state. Nothing a host does leads here.
void CheckFailed(const char* condition, const char* /*file*/, int /*line*/) {
  ::OutputDebugStringA(condition);
  WriteToStandardError("Quenthaloy: ");
  WriteToStandardError(condition);
  WriteToStandardError("\n");
  ::TerminateProcess(::GetCurrentProcess(), 3);
  __builtin_trap();
}

// --- Memory ---------------------------------------------------------------

// A heap is the kernel's heap handle itself.
Heap* HeapCreate() {
  if (faults::Fails(faults::Point::kHeapCreate)) return nullptr;
  return static_cast<Heap*>(::HeapCreate(0, 4000, 0));
}

void* HeapAlloc(Heap* heap, uint32_t size) {
  if (heap == nullptr || faults::Fails(faults::Point::kHeapAlloc)) return nullptr;
  return ::HeapAlloc(heap, HEAP_ZERO_MEMORY, size);
}

bool HeapFree(Heap* heap, void* block) {
  return heap != nullptr && block != nullptr && ::HeapFree(heap, 0, block) != 0;
}

bool HeapDestroy(Heap* heap) { return heap != nullptr && ::HeapDestroy(heap) != 0; }

uint32_t MonotonicMilliseconds() { return ::GetTickCount(); }

void ReportNoMemory() { ::SetLastError(ERROR_NOT_ENOUGH_MEMORY); }

void ReportBadHandle() { ::SetLastError(ERROR_INVALID_HANDLE); }

void* MapPages(size_t bytes) { return ::VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE); }

void UnmapPages(void* pages, size_t /*bytes*/) { ::VirtualFree(pages, 0, MEM_RELEASE); }

// The core's lock words are only ever contended where the queue lock could
// not be made (every queue operation holds it otherwise), and KERNEL32 has
// no wait on an address before Windows 8: a taker yields until the word is
// free (kCanWaitOnWord).
void YieldThread() { ::SwitchToThread(); }

int64_t MonotonicNanoseconds() {
  LARGE_INTEGER frequency{}, now{};
  ::QueryPerformanceFrequency(&frequency);
  ::QueryPerformanceCounter(&now);
  const int64_t ticks = now.QuadPart, per_second = frequency.QuadPart;
  return ticks / per_second * 1000000000 + ticks % per_second * 1000000000 / per_second;
}

Deadline DeadlineAfter(uint32_t milliseconds) {
  return Deadline{MonotonicNanoseconds() + static_cast<int64_t>(milliseconds) * 1000000};
}

bool DeadlinePassed(const Deadline& deadline) { return MonotonicNanoseconds() >= deadline.nanoseconds; }

uint32_t ProcessorCount() {
  SYSTEM_INFO info{};
  ::GetSystemInfo(&info);
  return info.dwNumberOfProcessors > 1 ? info.dwNumberOfProcessors : 1;
}

void SleepMilliseconds(uint32_t milliseconds) {
  win32_impl::StayLoaded();
  ::Sleep(milliseconds);
}

}  // namespace platform

namespace platform::win32_impl {

// --- Staying loaded under a sleeping thread ---------------------------------

namespace {

std::atomic<bool> stays_loaded{false};

}  // namespace

// A thread asleep in the library wakes into its code, so from the first
// sleep on the module stays loaded until the process ends: a FreeLibrary
// then unmaps nothing. A reference held for the sleep alone could not be
// given back: the FreeLibrary that gives it may unload the module, and
// would return into code it had just unmapped.
void StayLoaded() {
  if (stays_loaded.load(std::memory_order_relaxed)) return;
  HMODULE module = nullptr;
  if (::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                           reinterpret_cast<LPCWSTR>(&stays_loaded), &module)) {
    stays_loaded.store(true, std::memory_order_relaxed);
  }
}

// A wait that may sleep: until the module stays loaded, it first tries
// without sleeping, so that a host that never waits can still unload it.
DWORD WaitStayingLoaded(HANDLE object, DWORD milliseconds) {
  if (milliseconds == 0 || !stays_loaded.load(std::memory_order_relaxed)) {
    const DWORD at_once = ::WaitForSingleObject(object, 0);
    if (at_once != WAIT_TIMEOUT || milliseconds == 0) return at_once;
    StayLoaded();
  }
  return ::WaitForSingleObject(object, milliseconds);
}

}  // namespace platform::win32_impl
