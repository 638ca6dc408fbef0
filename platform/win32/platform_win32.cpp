// The contract over KERNEL32. The DLLs link no C runtime, so everything here
// is KERNEL32 calls, statics that need no constructor, and blocks of the
// process heap.
#include <windows.h>

#include <atomic>

#include "../fault_injection.h"
#include "../platform.h"

namespace platform {

// A thread's parker: an auto-reset event, made on the thread's first sleep
// and kept in a TLS slot until the thread ends or the library unloads.
//
// The event is reused for every sleep of its thread without ever being reset,
// and still no Unpark can end a later Park early: an Unpark is only ever given
// for a sleep the thread has announced (under the queue lock), and the thread
// announces its next sleep only after its current Park has returned. So at
// most one Unpark is outstanding per parker. `permit` says whether it was
// given: a Park returns only once it has consumed the permit, so an event
// found set for no permit (a wake-up delivered late, see Park) is slept past.
//
// A host can close the event behind the library's back (CloseHandle, or a
// copy of the library older than the shared registry below). The permit
// still carries the wake-up: Park waits in rounds and looks at it after each,
// and a parker whose event failed gets a new one (or, failing that, sleeps in
// short naps).
//
// The core's record of the thread's sleeps lives in `room`. `thread` is the
// thread's own handle (null if it could not be opened), which tells whether
// a thread ended without a thread-end notice (TerminateThread).
struct Parker {
  alignas(8) unsigned char room[kParkerRoomSize];
  std::atomic<HANDLE> event;
  HANDLE thread;
  // When its thread last began to park (GetTickCount, read without a
  // kernel call): only a sleep older than a moment is worth a look at the
  // thread's handle, which is a kernel call.
  std::atomic<DWORD> parked_at;
  std::atomic<uint32_t> permit;
  // Owner only: the event failed and is no longer the library's.
  bool broken;
  // Made after the thread's end notice or with no fiber-local slot to hear
  // of its end, or of a thread that runs fibers (which may end on one that
  // never called here): kept with a handle of its thread, and freed once
  // that has ended if nothing freed it before (ReapEndedThreads).
  HANDLE late_thread;
  // Made after the thread's end notice: no notice will come for it, so the
  // call that made it frees it as it returns (ThreadLeavesLibrary).
  bool after_end_notice;
  // Its thread's end is heard through the fiber-local slot, which the
  // thread marks on each fiber it calls from. `fiber_marked` is the running
  // fiber (GetCurrentFiber) when it last marked: a thread that switched
  // fibers marks the new one.
  bool marks_fibers;
  void* fiber_marked;
  Parker* previous;
  Parker* next;
};

struct QueueLock {
  std::atomic<HANDLE> mutex;
  bool named;
  SRWLOCK reopening;
};

namespace {

constexpr char kQueueLockName[] = "JQ_Quenthaloy_ThreadMessage";

// No handle a process is given is negative, yet the kernel's wait and close
// make something of some negative values: -1 to -6 are the current process,
// the current thread and the token pseudo-handles, and -10 to -12 become the
// process's standard input, output and error. Wine reads 0x7FFFFFFF as the
// current process too. Never a resource, any of them.
constexpr intptr_t kHighestResource = 0x7FFFFFFE;
// The kernel ignores a handle's two low bits: 4n to 4n+3 are one handle, and
// 1 to 3 are the null handle.
constexpr intptr_t kTagBits = 3;

// A value of the interface, widened as Windows widens a 32-bit handle (with
// its sign), so that a 64-bit process reads the handles a 32-bit one hands
// over. Only values already found in range come here.
HANDLE ToNative(Handle handle) { return LongToHandle(static_cast<LONG>(static_cast<intptr_t>(handle))); }

Handle FromNative(HANDLE handle) { return static_cast<Handle>(reinterpret_cast<uintptr_t>(handle)); }

// The value of one of the library's own handles in the registry below;
// Windows keeps every handle's significant bits within the low 32.
uint32_t OwnValueOf(HANDLE handle) { return HandleToULong(handle); }

void* AllocateZeroed(SIZE_T size) { return ::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, size); }

void Free(void* block) { ::HeapFree(::GetProcessHeap(), 0, block); }

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

#if defined(QUENTHALOY_FAULT_INJECTION)
namespace faults {
namespace {
std::atomic<bool> failing[static_cast<int>(Point::kCount)];
std::atomic<uint64_t> counted[static_cast<int>(Call::kCount)];
}  // namespace
bool Fails(Point point) { return failing[static_cast<int>(point)].load(std::memory_order_relaxed); }
void SetFailing(Point point, bool fail) { failing[static_cast<int>(point)].store(fail, std::memory_order_relaxed); }
void Count(Call call) { counted[static_cast<int>(call)].fetch_add(1, std::memory_order_relaxed); }
uint64_t Counted(Call call) { return counted[static_cast<int>(call)].load(std::memory_order_relaxed); }
}  // namespace faults
#endif

namespace {

// --- The library's own handles, for every copy in the process ---------------
//
// The resource calls must refuse the queue lock, every parker event and
// every thread handle the library keeps, of this copy and of any other copy
// of the library loaded in the process (the other DLL build, or the same one
// from another folder): a host reaches all of them through either copy. So
// the set is one bitmap per process, a section named after the process (its
// id and start time, so that no earlier process of the same id is met), that
// every copy maps and marks its own handles in. A bit per handle index (the
// value without its tag bits); Windows gives a process at most 2^24 handles,
// so 2 MiB cover every value it hands out, and only the pages touched take
// memory. The bits are single atomic words: no lock guards them, and a
// check takes none. A value is marked only while one copy holds it open, so
// copies never mark or clear the same bit at once.
constexpr uint32_t kHandleIndices = 1u << 24;
constexpr uint32_t kBitsPerWord = 32;
constexpr DWORD kRegistryBytes = kHandleIndices / 8;

uint32_t* own_handles = nullptr;  // the mapped bitmap, or null
HANDLE own_handles_section = nullptr;
bool own_handles_mapped = false;  // a view of the section, else private memory

bool IsOwnHandle(uint32_t handle) {
  const uint32_t index = handle >> 2;
  if (own_handles == nullptr || index >= kHandleIndices) return false;
  return (__atomic_load_n(&own_handles[index / kBitsPerWord], __ATOMIC_ACQUIRE) & (1u << (index % kBitsPerWord))) != 0;
}

// False when the registry is missing or the value lies beyond it: an own
// object the resource calls could not refuse is not kept.
bool AddOwnHandle(HANDLE handle) {
  const uint32_t index = OwnValueOf(handle) >> 2;
  if (own_handles == nullptr || index >= kHandleIndices) return false;
  __atomic_fetch_or(&own_handles[index / kBitsPerWord], 1u << (index % kBitsPerWord), __ATOMIC_RELEASE);
  return true;
}

// Cleared before the handle is closed: once closed, the kernel may give the
// value to a new object of the host's, which must not be refused.
void DropOwnHandle(HANDLE handle) {
  const uint32_t index = OwnValueOf(handle) >> 2;
  if (own_handles == nullptr || index >= kHandleIndices) return;
  __atomic_fetch_and(&own_handles[index / kBitsPerWord], ~(1u << (index % kBitsPerWord)), __ATOMIC_RELEASE);
}

void CloseOwnHandle(HANDLE handle) {
  if (handle == nullptr) return;
  DropOwnHandle(handle);
  ::CloseHandle(handle);
}

// "JQ_Quenthaloy_OwnHandles_<process id>_<start time>", in hex.
void RegistryName(char* name) {
  static const char kPrefix[] = "JQ_Quenthaloy_OwnHandles_";
  static const char kDigits[] = "0123456789abcdef";
  FILETIME created = {}, exited = {}, kernel = {}, user = {};
  ::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user);
  const DWORD parts[] = {::GetCurrentProcessId(), created.dwHighDateTime, created.dwLowDateTime};
  char* out = name;
  for (const char* in = kPrefix; *in != 0; ++in) *out++ = *in;
  for (int part = 0; part < 3; ++part) {
    if (part > 0) *out++ = '_';
    for (int shift = 28; shift >= 0; shift -= 4) *out++ = kDigits[(parts[part] >> shift) & 0xF];
  }
  *out = 0;
}

// The process's registry, made by the first copy that loads and opened by
// the others. If the name cannot be had (taken by an object of another
// kind, or a section too small), this copy keeps a registry of its own and
// refuses its own objects only, as before there was a shared one.
void OpenOwnHandles() {
  char name[64];
  RegistryName(name);
  HANDLE section = ::CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kRegistryBytes, name);
  void* view = section != nullptr ? ::MapViewOfFile(section, FILE_MAP_WRITE, 0, 0, kRegistryBytes) : nullptr;
  if (view != nullptr) {
    own_handles = static_cast<uint32_t*>(view);
    own_handles_mapped = true;
    if (AddOwnHandle(section)) {
      own_handles_section = section;
      return;
    }
    ::UnmapViewOfFile(view);
  }
  if (section != nullptr) ::CloseHandle(section);
  own_handles_mapped = false;
  own_handles =
      static_cast<uint32_t*>(::VirtualAlloc(nullptr, kRegistryBytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
}

void CloseOwnHandles() {
  if (own_handles_section != nullptr) DropOwnHandle(own_handles_section);
  if (own_handles_mapped) {
    ::UnmapViewOfFile(own_handles);
  } else if (own_handles != nullptr) {
    ::VirtualFree(own_handles, 0, MEM_RELEASE);
  }
  if (own_handles_section != nullptr) ::CloseHandle(own_handles_section);
  own_handles = nullptr;
  own_handles_section = nullptr;
  own_handles_mapped = false;
}

// Handles the resource calls never pass on to the kernel.
bool IsRefused(Handle handle) {
  const auto value = static_cast<intptr_t>(handle);
  return value <= kTagBits || value > kHighestResource || IsOwnHandle(static_cast<uint32_t>(value));
}

// --- The registry of parkers ---------------------------------------------

// Guards the parker list.
SRWLOCK registry_lock = SRWLOCK_INIT;
Parker* parkers = nullptr;
// Parkers in the list with a thread handle to watch.
std::atomic<uint32_t> late_parkers{0};
DWORD parker_slot = TLS_OUT_OF_INDEXES;
// Set at the unload, before the fiber-local slot is freed: the callbacks
// that the free runs find nothing to do, the unload frees every parker.
std::atomic<bool> parkers_closing{false};
DWORD fiber_slot = FLS_OUT_OF_INDEXES;

// The TLS value of a thread that has had its end notice: what it makes from
// then on is late. The address of a parker never made or used (a static,
// zero-filled without a constructor).
Parker thread_ended_mark;
Parker* const kThreadEnded = &thread_ended_mark;

class RegistryGuard {
 public:
  RegistryGuard() { ::AcquireSRWLockExclusive(&registry_lock); }
  ~RegistryGuard() { ::ReleaseSRWLockExclusive(&registry_lock); }
  RegistryGuard(const RegistryGuard&) = delete;
  RegistryGuard& operator=(const RegistryGuard&) = delete;
};

// With `registry_lock` held.
void LinkParker(Parker* parker) {
  parker->previous = nullptr;
  parker->next = parkers;
  if (parkers != nullptr) parkers->previous = parker;
  parkers = parker;
  if (parker->late_thread != nullptr) late_parkers.fetch_add(1, std::memory_order_relaxed);
}

// With `registry_lock` held. Takes its handles out of the registry too, so
// that none is refused once it is closed.
void UnlinkParker(Parker* parker) {
  if (parker->previous != nullptr) {
    parker->previous->next = parker->next;
  } else {
    parkers = parker->next;
  }
  if (parker->next != nullptr) parker->next->previous = parker->previous;
  parker->previous = parker->next = nullptr;
  if (parker->late_thread != nullptr) {
    late_parkers.fetch_sub(1, std::memory_order_relaxed);
    DropOwnHandle(parker->late_thread);
  }
  if (parker->thread != nullptr) DropOwnHandle(parker->thread);
  DropOwnHandle(parker->event.load(std::memory_order_relaxed));
}

// An unlinked parker's objects and memory. A broken event is not the
// library's any more: its value may be a host's object now.
void FreeParker(Parker* parker) {
  if (!parker->broken) {
    HANDLE event = parker->event.load(std::memory_order_relaxed);
    if (event != nullptr) ::CloseHandle(event);
  }
  if (parker->late_thread != nullptr) ::CloseHandle(parker->late_thread);
  if (parker->thread != nullptr) ::CloseHandle(parker->thread);
  Free(parker);
  faults::Count(faults::Call::kParkerFreed);
}

void DestroyParker(Parker* parker) {
  {
    RegistryGuard guard;
    UnlinkParker(parker);
  }
  FreeParker(parker);
}

// Frees the late parkers whose threads have ended, with `registry_lock`
// held; returns them chained through `next`, to be freed after the lock.
Parker* UnlinkEndedThreads() {
  Parker* ended = nullptr;
  for (Parker* parker = parkers; parker != nullptr && late_parkers.load(std::memory_order_relaxed) != 0;) {
    Parker* next = parker->next;
    if (parker->late_thread != nullptr && ::WaitForSingleObject(parker->late_thread, 0) == WAIT_OBJECT_0) {
      UnlinkParker(parker);
      parker->next = ended;
      ended = parker;
    }
    parker = next;
  }
  return ended;
}

// Null until the core registers it; the core's unload removes it before
// any parker is freed at the unload.
std::atomic<void (*)(Parker*)> parker_end_hook{nullptr};

// What the core left in an ended thread's parker (a sleep it never woke
// from, a message it sent and never saw taken) is tidied before the parker
// goes. Called with none of the layer's locks held: the core takes its own.
void TellCoreThreadEnded(Parker* parker) {
  void (*hook)(Parker*) = parker_end_hook.load(std::memory_order_acquire);
  if (hook != nullptr) hook(parker);
}

void FreeChain(Parker* chain) {
  while (chain != nullptr) {
    Parker* next = chain->next;
    TellCoreThreadEnded(chain);
    FreeParker(chain);
    chain = next;
  }
}

// A thread that used the library after its end notice (from a TLS callback
// or a thread-local destructor of the host, which run after the library's
// own notice) has its parker freed here, when another thread makes a parker
// or ends: no notice comes for it any more.
void ReapEndedThreads() {
  if (late_parkers.load(std::memory_order_relaxed) == 0) return;
  Parker* ended = nullptr;
  {
    RegistryGuard guard;
    ended = UnlinkEndedThreads();
  }
  FreeChain(ended);
}

// The calling thread, to watch for its end; null if it cannot be had.
HANDLE ThisThreadToWatch() {
  HANDLE thread = ::OpenThread(SYNCHRONIZE, FALSE, ::GetCurrentThreadId());
  if (thread != nullptr && !AddOwnHandle(thread)) {
    ::CloseHandle(thread);
    thread = nullptr;
  }
  return thread;
}

HANDLE NewOwnEvent() {
  if (faults::Fails(faults::Point::kCreateObject)) return nullptr;
  HANDLE event = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (event != nullptr && !AddOwnHandle(event)) {
    ::CloseHandle(event);
    event = nullptr;
  }
  return event;
}

// What the fiber-local slot holds: the fiber that wrote it, or this mark's
// address on a thread that is no fiber. Never the parker: the slot is a
// fiber's, which another thread may delete, or which may outlive its thread,
// while the parker is the thread's (its TLS slot).
char not_a_fiber;

// GetCurrentFiber reads the thread's own block through its segment
// register, which GCC's bounds check takes for a read at a small address.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
void* RunningFiber() { return ::GetCurrentFiber(); }
#pragma GCC diagnostic pop

void* RunningFiberMark() { return ::IsThreadAFiber() ? RunningFiber() : &not_a_fiber; }

// A thread that runs fibers may end on one that never called here, which
// then tells nothing: unless its thread notice comes, it is found ended
// through its handle.
void WatchFiberThread(Parker* parker) {
  if (parker->late_thread != nullptr || !::IsThreadAFiber()) return;
  HANDLE thread = ThisThreadToWatch();
  if (thread == nullptr) return;
  RegistryGuard guard;
  parker->late_thread = thread;
  late_parkers.fetch_add(1, std::memory_order_relaxed);
}

// Marks the running fiber's slot, so that the thread's end is heard through
// it, whichever fiber the thread ends on.
void MarkRunningFiber(Parker* parker) {
  parker->fiber_marked = RunningFiber();
  ::FlsSetValue(fiber_slot, RunningFiberMark());
  WatchFiberThread(parker);
}

// `late`: the thread's end notice has come, or none will.
Parker* MakeParker(bool late, bool after_end_notice) {
  Parker* parker = static_cast<Parker*>(AllocateZeroed(sizeof(Parker)));
  if (parker == nullptr) return nullptr;
  parker->event.store(NewOwnEvent(), std::memory_order_relaxed);
  if (late) parker->late_thread = ThisThreadToWatch();
  if (parker->event.load(std::memory_order_relaxed) == nullptr || (late && parker->late_thread == nullptr)) {
    CloseOwnHandle(parker->event.load(std::memory_order_relaxed));
    CloseOwnHandle(parker->late_thread);
    Free(parker);
    return nullptr;
  }
  parker->after_end_notice = after_end_notice;
  parker->marks_fibers = !late;
  // Without it the thread counts as alive for good.
  parker->thread = ThisThreadToWatch();
  Parker* ended = nullptr;
  {
    RegistryGuard guard;
    LinkParker(parker);
    ended = UnlinkEndedThreads();
  }
  FreeChain(ended);
  // Fails only outside Start..End, when the slot is not the layer's.
  if (!::TlsSetValue(parker_slot, parker)) {
    DestroyParker(parker);
    return nullptr;
  }
  if (!late) MarkRunningFiber(parker);
  faults::Count(faults::Call::kParkerMade);
  return parker;
}

// The fiber-local slot's callback. It runs for the running fiber's slot as
// a thread ends, with or without the thread notices (a host may have
// disabled them with DisableThreadLibraryCalls), before them; and for a
// deleted fiber's slot, on whichever thread deletes it, while the thread
// that ran it may go on or may have ended long ago. Only the first is the
// end of the calling thread: the slot then holds the running fiber's mark,
// as no fiber deleted by DeleteFiber is running (deleting the running one
// ends its thread). The parker freed is always the calling thread's own.
// At the process's exit it runs after the other threads were ended
// wherever they were, perhaps holding the registry's lock: it then waits a
// little for the lock and, failing that, leaves the parker to the exit.
void NTAPI FiberStorageFreed(void* mark) {
  if (mark != RunningFiberMark() || parkers_closing.load(std::memory_order_acquire)) return;
  auto* parker = static_cast<Parker*>(::TlsGetValue(parker_slot));
  if (parker == nullptr || parker == kThreadEnded) return;
  TellCoreThreadEnded(parker);
  constexpr int kTries = 200;
  bool locked = false;
  for (int i = 0; i < kTries && !(locked = ::TryAcquireSRWLockExclusive(&registry_lock) != 0); ++i) ::Sleep(1);
  if (!locked) return;
  ::TlsSetValue(parker_slot, kThreadEnded);
  UnlinkParker(parker);
  Parker* ended = UnlinkEndedThreads();
  ::ReleaseSRWLockExclusive(&registry_lock);
  FreeParker(parker);
  FreeChain(ended);
}

// --- Staying loaded under a sleeping thread ---------------------------------

std::atomic<bool> stays_loaded{false};

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

}  // namespace

// --- Start and end --------------------------------------------------------

bool Start() {
  parkers_closing.store(false, std::memory_order_relaxed);
  OpenOwnHandles();
  parker_slot = ::TlsAlloc();
  // Without it every parker is watched through its thread's handle instead.
  fiber_slot = ::FlsAlloc(FiberStorageFreed);
  return parker_slot != TLS_OUT_OF_INDEXES;
}

// The loader runs this after every thread-end notice and never beside one,
// and by then no other call of the library's may still be running, so the
// list is walked without its lock: at a process's exit a thread the system
// has already ended may have been ended holding it. A thread still parked
// keeps waiting on its closed event; that does not disturb the unload.
void End(bool process_exiting) {
  parkers_closing.store(true, std::memory_order_release);
  if (process_exiting) return;  // the parkers' lock may be held by an ended thread
  // Runs the callback for the threads that still have a parker: it returns
  // at once, and the walk below frees them.
  if (fiber_slot != FLS_OUT_OF_INDEXES) ::FlsFree(fiber_slot);
  fiber_slot = FLS_OUT_OF_INDEXES;
  Parker* parker = parkers;
  while (parker != nullptr) {
    Parker* next = parker->next;
    UnlinkParker(parker);
    FreeParker(parker);
    parker = next;
  }
  parkers = nullptr;
  // Clears the slot in every thread, so that a later Start finds no parker
  // freed here.
  if (parker_slot != TLS_OUT_OF_INDEXES) ::TlsFree(parker_slot);
  parker_slot = TLS_OUT_OF_INDEXES;
  CloseOwnHandles();
}

// Windows ends every other thread before it tells the library of the
// process's exit, and says so in the notification.
bool ProcessIsExiting(bool loader_says) { return loader_says; }

// The thread notice: it comes after the fiber-local callback, which has
// then freed the parker already, unless the host (or a test) gives it
// earlier. Either way the thread is marked, so that a parker it still makes
// is freed by the call that makes it.
void ThreadEnding() {
  if (parker_slot == TLS_OUT_OF_INDEXES) return;
  Parker* parker = static_cast<Parker*>(::TlsGetValue(parker_slot));
  ::TlsSetValue(parker_slot, kThreadEnded);
  if (parker != nullptr && parker != kThreadEnded) {
    TellCoreThreadEnded(parker);
    DestroyParker(parker);
  }
  ReapEndedThreads();
}

// Only parkers made after the end notice are freed here; they all count
// among the late ones, so a process without any pays one load.
void ThreadLeavesLibrary() {
  if (late_parkers.load(std::memory_order_relaxed) == 0 || parker_slot == TLS_OUT_OF_INDEXES) return;
  Parker* parker = static_cast<Parker*>(::TlsGetValue(parker_slot));
  if (parker == nullptr || parker == kThreadEnded || !parker->after_end_notice) return;
  ::TlsSetValue(parker_slot, kThreadEnded);
  TellCoreThreadEnded(parker);
  DestroyParker(parker);
}

// --- Objects a host holds by handle ----------------------------------------

// An unnamed mutex is refused only for want of memory or handles: said so in
// one word, whatever word the kernel chose.
Handle MutexCreate() {
  faults::Count(faults::Call::kMutexCreate);
  HANDLE mutex = faults::Fails(faults::Point::kCreateObject) ? nullptr : ::CreateMutexA(nullptr, FALSE, nullptr);
  if (mutex == nullptr) ReportNoMemory();
  return FromNative(mutex);
}

// A handle the layer refuses says so as the kernel says it of one it refuses.
WaitResult ObjectWait(Handle object, uint32_t milliseconds) {
  if (IsRefused(object)) {
    ReportBadHandle();
    return WaitResult::kFailed;
  }
  switch (WaitStayingLoaded(ToNative(object), milliseconds)) {
    case WAIT_OBJECT_0:
      return WaitResult::kObtained;
    case WAIT_ABANDONED:
      return WaitResult::kAbandoned;
    case WAIT_TIMEOUT:
      return WaitResult::kTimedOut;
    default:
      return WaitResult::kFailed;
  }
}

bool MutexRelease(Handle mutex) {
  if (IsRefused(mutex)) {
    ReportBadHandle();
    return false;
  }
  return ::ReleaseMutex(ToNative(mutex)) != 0;
}

bool ObjectClose(Handle object) {
  faults::Count(faults::Call::kObjectClose);
  if (IsRefused(object)) {
    ReportBadHandle();
    return false;
  }
  return ::CloseHandle(ToNative(object)) != 0;
}

void ReportNoMemory() { ::SetLastError(ERROR_NOT_ENOUGH_MEMORY); }

void ReportBadHandle() { ::SetLastError(ERROR_INVALID_HANDLE); }

// --- The queue lock -------------------------------------------------------

namespace {

// The name may be out of reach (another user's object, or one of another
// kind under the same name): the process then locks its queue alone.
HANDLE NewQueueMutex(bool* named) {
  HANDLE mutex = ::CreateMutexA(nullptr, FALSE, kQueueLockName);
  *named = mutex != nullptr;
  if (mutex == nullptr) mutex = ::CreateMutexA(nullptr, FALSE, nullptr);
  if (mutex != nullptr && !AddOwnHandle(mutex)) {
    ::CloseHandle(mutex);
    mutex = nullptr;
  }
  return mutex;
}

// The lock's handle failed: a host closed it (no resource call reaches it).
// The old value is not closed, as it may be a host's object by now; a new
// handle to the named mutex reaches the same lock, with its holder.
HANDLE ReopenQueueLock(QueueLock* lock, HANDLE failed) {
  ::AcquireSRWLockExclusive(&lock->reopening);
  HANDLE mutex = lock->mutex.load(std::memory_order_acquire);
  if (mutex == failed) {
    DropOwnHandle(failed);
    bool named = false;
    HANDLE fresh = NewQueueMutex(&named);
    if (fresh != nullptr) {
      lock->named = named;
      lock->mutex.store(fresh, std::memory_order_release);
      mutex = fresh;
    }
  }
  ::ReleaseSRWLockExclusive(&lock->reopening);
  return mutex;
}

}  // namespace

QueueLock* QueueLockOpen() {
  if (faults::Fails(faults::Point::kCreateObject)) return nullptr;
  QueueLock* lock = static_cast<QueueLock*>(AllocateZeroed(sizeof(QueueLock)));
  if (lock == nullptr) return nullptr;
  ::InitializeSRWLock(&lock->reopening);
  bool named = false;
  HANDLE mutex = NewQueueMutex(&named);
  if (mutex == nullptr) {
    Free(lock);
    return nullptr;
  }
  lock->named = named;
  lock->mutex.store(mutex, std::memory_order_relaxed);
  return lock;
}

void QueueLockClose(QueueLock* lock) {
  if (lock == nullptr) return;
  CloseOwnHandle(lock->mutex.load(std::memory_order_relaxed));
  Free(lock);
}

// A lock abandoned by a thread or process that ended holding it is held by
// this thread all the same; what it guarded is this process's own queue.
// A wait that fails means the handle is gone: the lock is opened again.
// Without any lock to be had the thread waits for the system to give one
// back rather than run the queue unlocked.
void QueueLockAcquire(QueueLock* lock) {
  if (lock == nullptr) return;  // none could be made: the core's own locks serve
  for (DWORD nap = 0;; nap = nap < 64 ? nap * 2 + 1 : nap) {
    HANDLE mutex = lock->mutex.load(std::memory_order_acquire);
    const DWORD result = ::WaitForSingleObject(mutex, INFINITE);
    if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) return;
    if (ReopenQueueLock(lock, mutex) == mutex) ::Sleep(nap);
  }
}

// Through a new handle when the old one is gone: the holder is the thread,
// not the handle. A private lock that was closed cannot be reached again;
// its replacement starts free.
void QueueLockRelease(QueueLock* lock) {
  if (lock == nullptr) return;
  HANDLE mutex = lock->mutex.load(std::memory_order_acquire);
  if (::ReleaseMutex(mutex)) return;
  HANDLE fresh = ReopenQueueLock(lock, mutex);
  if (fresh != mutex) ::ReleaseMutex(fresh);
}

// --- Parkers --------------------------------------------------------------

namespace {

// How long a parked thread sleeps on its event before it looks at its
// permit: the most a wake-up whose event a host closed is late.
constexpr DWORD kRecheckMilliseconds = 500;
constexpr DWORD kLongestNap = 16;

// The owner's event failed: it is dropped from the registry (not closed: the
// value may be a host's object now) and replaced. Without a new one the
// parker sleeps in naps.
void RenewEvent(Parker* parker) {
  DropOwnHandle(parker->event.load(std::memory_order_relaxed));
  HANDLE fresh = NewOwnEvent();
  parker->event.store(fresh, std::memory_order_release);
  parker->broken = fresh == nullptr;
}

void NapUntilPermit(Parker* parker) {
  for (DWORD nap = 1; parker->permit.exchange(0, std::memory_order_acquire) != 1;
       nap = nap < kLongestNap ? nap * 2 : nap) {
    ::Sleep(nap);
  }
}

}  // namespace

Parker* ParkerOfThisThread() {
  if (faults::Fails(faults::Point::kParker) || parker_slot == TLS_OUT_OF_INDEXES) return nullptr;
  Parker* parker = static_cast<Parker*>(::TlsGetValue(parker_slot));
  if (parker != nullptr && parker != kThreadEnded) {
    if (parker->marks_fibers && parker->fiber_marked != RunningFiber()) MarkRunningFiber(parker);
    return parker;
  }
  const bool after_end_notice = parker == kThreadEnded;
  return MakeParker(after_end_notice || fiber_slot == FLS_OUT_OF_INDEXES, after_end_notice);
}

// Waits in rounds. The event set for no permit is a wake-up the thread
// already took through its permit, delivered late; set twice in a row for
// none, it is not the library's event any more. The permit set without the
// event after a round is a wake-up on its way (the waker is between its two
// steps); after two rounds, the event is taken to have failed.
void Park(Parker* parker) {
  faults::Count(faults::Call::kPark);
  StayLoaded();
  parker->parked_at.store(::GetTickCount(), std::memory_order_relaxed);
  if (parker->broken) RenewEvent(parker);
  int signals_without_permit = 0, rounds_with_permit = 0;
  while (!parker->broken) {
    HANDLE event = parker->event.load(std::memory_order_relaxed);
    const DWORD result =
        faults::Fails(faults::Point::kWait) ? WAIT_FAILED : ::WaitForSingleObject(event, kRecheckMilliseconds);
    if (result == WAIT_OBJECT_0) {
      if (parker->permit.exchange(0, std::memory_order_acquire) == 1) return;
      if (++signals_without_permit < 2) continue;
    } else if (result == WAIT_TIMEOUT) {
      if (parker->permit.load(std::memory_order_acquire) == 0) continue;
      if (++rounds_with_permit < 2) continue;
    }
    parker->broken = true;
  }
  NapUntilPermit(parker);
}

// The parker is not touched after the permit is given: its thread may see
// it, return, end and free the parker before the event is set.
void Unpark(Parker* parker) {
  faults::Count(faults::Call::kUnpark);
  HANDLE event = parker->event.load(std::memory_order_acquire);
  parker->permit.store(1, std::memory_order_seq_cst);
  if (faults::Fails(faults::Point::kWake)) return;
  faults::Count(faults::Call::kUnparkSyscall);
  if (event != nullptr) ::SetEvent(event);
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

// --- What the core keeps in parkers, and its lock words -------------------

void* ParkerRoom(Parker* parker) { return parker->room; }

// The thread notices run under the loader's lock, as the unload that
// removes the hook does, so the two never overlap.
void SetParkerEndHook(void (*hook)(Parker* parker)) { parker_end_hook.store(hook, std::memory_order_release); }

// One look at the thread's handle (signalled once the thread has ended),
// for sleeps older than kFreshSleepMilliseconds only. A hand-off to a thread
// that parked a moment ago, the common case of a busy pool, then costs no
// kernel call (one is a round trip to the server under Wine). A thread
// killed within that moment of parking is taken for alive once: its wake-up
// is lost, and the message waits, queued, for the next post or take.
constexpr DWORD kFreshSleepMilliseconds = 50;

bool ParkerThreadAlive(Parker* parker) {
  if (parker->thread == nullptr) return true;
  if (::GetTickCount() - parker->parked_at.load(std::memory_order_relaxed) < kFreshSleepMilliseconds) return true;
  return ::WaitForSingleObject(parker->thread, 0) == WAIT_TIMEOUT;
}

// The core's lock words are only ever contended where the queue lock could
// not be made (every queue operation holds it otherwise), and KERNEL32 has
// no wait on an address before Windows 8: a taker yields until the word is
// free.
void LockWordWait(std::atomic<uint32_t>* word) {
  while (word->exchange(kLockWordContended, std::memory_order_acquire) != kLockWordFree) ::SwitchToThread();
}

void LockWordWake(std::atomic<uint32_t>* /*word*/) {}

// Every queue operation holds the named lock anyway, and a process here
// seldom runs on one thread for long: the words are always taken atomically.
bool EnterOnlyCaller() { return false; }
void LeaveOnlyCaller() {}

uint32_t ProcessorCount() {
  SYSTEM_INFO info{};
  ::GetSystemInfo(&info);
  return info.dwNumberOfProcessors > 1 ? info.dwNumberOfProcessors : 1;
}

void SleepMilliseconds(uint32_t milliseconds) {
  StayLoaded();
  ::Sleep(milliseconds);
}

}  // namespace platform
