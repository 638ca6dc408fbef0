// The contract over KERNEL32. The DLLs link no C runtime, so everything here
// is KERNEL32 calls, statics that need no constructor, and blocks of the
// process heap.
#include <windows.h>

#include <atomic>

#include "../platform.h"

namespace platform {

// A thread's parker: an auto-reset event, made on the thread's first sleep
// and kept in a TLS slot until the thread ends or the library unloads.
//
// The event is reused for every sleep of its thread without ever being reset:
// an Unpark is given for a sleep the thread has announced (under the queue's
// locks), and the thread announces its next sleep only after its current
// Park has returned, so the event is set while one Unpark is outstanding and
// the wait that returns because of it clears it in the same step. The core
// parks in loops that look for what they wait for, so a wake-up that does
// come late only costs a look.
//
// The core's record of the thread's sleeps lives in `room`. `thread` is the
// thread's own handle (null if it could not be opened), which tells whether
// a thread ended without a thread-end notice (TerminateThread).
struct Parker {
  alignas(8) unsigned char room[kParkerRoomSize];
  HANDLE event;
  HANDLE thread;
  Parker* previous;
  Parker* next;
};

struct QueueLock {
  HANDLE mutex;
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
// over. Only values already found in range come here. (LongToHandle and
// HandleToULong are macros in the 32-bit headers: no scope before them.)
HANDLE ToNative(Handle handle) { return LongToHandle(static_cast<LONG>(static_cast<intptr_t>(handle))); }

Handle FromNative(HANDLE handle) { return static_cast<Handle>(reinterpret_cast<uintptr_t>(handle)); }

// The value of one of the library's own handles in the set below; Windows
// keeps every handle's significant bits within the low 32.
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

// The system refused an operation the queue cannot do without: going on
// would lose wake-ups or run the queue unlocked. Ends the process at once, as
// abort does, so that no unload notice runs into the broken state.
static_assert(static_cast<DWORD>(WaitResult::kObtained) == WAIT_OBJECT_0, "wait results are Windows'");
static_assert(static_cast<DWORD>(WaitResult::kAbandoned) == WAIT_ABANDONED, "wait results are Windows'");
static_assert(static_cast<DWORD>(WaitResult::kTimedOut) == WAIT_TIMEOUT, "wait results are Windows'");
static_assert(static_cast<DWORD>(WaitResult::kFailed) == WAIT_FAILED, "wait results are Windows'");
static_assert(kWaitForever == INFINITE, "the endless time-out is Windows'");
static_assert(sizeof(HANDLE) == sizeof(Handle), "a kernel handle is as wide as the contract's");
static_assert(sizeof(LONG) == sizeof(int32_t), "LongToHandle widens a 32-bit value");

[[noreturn]] void Fault(const char* what) {
  ::OutputDebugStringA(what);
  WriteToStandardError("Quenthaloy: ");
  WriteToStandardError(what);
  WriteToStandardError("\n");
  ::TerminateProcess(::GetCurrentProcess(), 3);
  __builtin_trap();
}

}  // namespace

void CheckFailed(const char* condition, const char* /*file*/, int /*line*/) { Fault(condition); }

namespace {

// --- The library's own handles ---------------------------------------------
//
// The resource calls must refuse the queue lock and every parker event, and
// must take no lock to find out. The set is a bit trie over the handle's
// index (the value without its tag bits: 30 bits, 10 per level). Nodes are
// only ever added, by a store that publishes a fully zeroed node, and freed
// only at unload, so a reader following the pointers never meets a node being
// moved or freed; the bits themselves are single atomic words. Writers take
// `registry_lock`. Kernel handle values are small and reused lowest first, so
// the nodes follow the peak number of handles, not the handles ever made.

constexpr uint32_t kFanOut = 1024;
constexpr uint32_t kBitsPerWord = 32;

struct Leaf {
  std::atomic<uint32_t> words[kFanOut / kBitsPerWord];
};

struct Branch {
  std::atomic<Leaf*> leaves[kFanOut];
};

std::atomic<Branch*> own_handles[kFanOut];

struct TriePosition {
  uint32_t branch;
  uint32_t leaf;
  uint32_t word;
  uint32_t bit;
};

TriePosition PositionOf(uint32_t handle) {
  const uint32_t index = handle >> 2;
  return {index / (kFanOut * kFanOut), (index / kFanOut) % kFanOut, (index % kFanOut) / kBitsPerWord,
          1u << (index % kBitsPerWord)};
}

bool IsOwnHandle(uint32_t handle) {
  const TriePosition at = PositionOf(handle);
  const Branch* branch = own_handles[at.branch].load(std::memory_order_acquire);
  if (branch == nullptr) return false;
  const Leaf* leaf = branch->leaves[at.leaf].load(std::memory_order_acquire);
  return leaf != nullptr && (leaf->words[at.word].load(std::memory_order_acquire) & at.bit) != 0;
}

// Zero-filled by the heap, which is the empty state of both node kinds.
template <typename Node>
Node* NewNode() {
  return static_cast<Node*>(AllocateZeroed(sizeof(Node)));
}

// With `registry_lock` held. False when a node cannot be allocated.
bool AddOwnHandle(uint32_t handle) {
  const TriePosition at = PositionOf(handle);
  Branch* branch = own_handles[at.branch].load(std::memory_order_relaxed);
  if (branch == nullptr) {
    branch = NewNode<Branch>();
    if (branch == nullptr) return false;
    own_handles[at.branch].store(branch, std::memory_order_release);
  }
  Leaf* leaf = branch->leaves[at.leaf].load(std::memory_order_relaxed);
  if (leaf == nullptr) {
    leaf = NewNode<Leaf>();
    if (leaf == nullptr) return false;
    branch->leaves[at.leaf].store(leaf, std::memory_order_release);
  }
  leaf->words[at.word].fetch_or(at.bit, std::memory_order_release);
  return true;
}

// With `registry_lock` held.
void DropOwnHandle(uint32_t handle) {
  const TriePosition at = PositionOf(handle);
  Branch* branch = own_handles[at.branch].load(std::memory_order_relaxed);
  Leaf* leaf = branch != nullptr ? branch->leaves[at.leaf].load(std::memory_order_relaxed) : nullptr;
  if (leaf != nullptr) leaf->words[at.word].fetch_and(~at.bit, std::memory_order_release);
}

void FreeOwnHandles() {
  for (std::atomic<Branch*>& slot : own_handles) {
    Branch* branch = slot.load(std::memory_order_relaxed);
    if (branch == nullptr) continue;
    for (std::atomic<Leaf*>& leaf : branch->leaves) Free(leaf.load(std::memory_order_relaxed));
    Free(branch);
    slot.store(nullptr, std::memory_order_relaxed);
  }
}

// Handles the resource calls never pass on to the kernel.
bool IsRefused(Handle handle) {
  const auto value = static_cast<intptr_t>(handle);
  return value <= kTagBits || value > kHighestResource || IsOwnHandle(static_cast<uint32_t>(value));
}

// --- The registry of parkers ---------------------------------------------

// Guards the parker list and every change to the own-handle set.
SRWLOCK registry_lock = SRWLOCK_INIT;
Parker* parkers = nullptr;
DWORD parker_slot = TLS_OUT_OF_INDEXES;

class RegistryGuard {
 public:
  RegistryGuard() { ::AcquireSRWLockExclusive(&registry_lock); }
  ~RegistryGuard() { ::ReleaseSRWLockExclusive(&registry_lock); }
  RegistryGuard(const RegistryGuard&) = delete;
  RegistryGuard& operator=(const RegistryGuard&) = delete;
};

bool GuardOwnHandle(HANDLE handle) {
  RegistryGuard guard;
  return AddOwnHandle(OwnValueOf(handle));
}

// Dropped from the set before it is closed: once closed, the kernel may give
// the value to a new object of the host's, which must not be refused.
void CloseOwnHandle(HANDLE handle) {
  {
    RegistryGuard guard;
    DropOwnHandle(OwnValueOf(handle));
  }
  ::CloseHandle(handle);
}

// Adds the parker's event to the own-handle set and the parker to the list,
// as one step: a parker is either in both or in neither.
bool RegisterParker(Parker* parker) {
  RegistryGuard guard;
  if (!AddOwnHandle(OwnValueOf(parker->event))) return false;
  if (parker->thread != nullptr && !AddOwnHandle(OwnValueOf(parker->thread))) {
    DropOwnHandle(OwnValueOf(parker->event));
    return false;
  }
  parker->next = parkers;
  if (parkers != nullptr) parkers->previous = parker;
  parkers = parker;
  return true;
}

void UnregisterParker(Parker* parker) {
  RegistryGuard guard;
  DropOwnHandle(OwnValueOf(parker->event));
  if (parker->thread != nullptr) DropOwnHandle(OwnValueOf(parker->thread));
  if (parker->previous != nullptr) {
    parker->previous->next = parker->next;
  } else {
    parkers = parker->next;
  }
  if (parker->next != nullptr) parker->next->previous = parker->previous;
}

void CloseParkerHandles(Parker* parker) {
  ::CloseHandle(parker->event);
  if (parker->thread != nullptr) ::CloseHandle(parker->thread);
}

void DestroyParker(Parker* parker) {
  UnregisterParker(parker);
  CloseParkerHandles(parker);
  Free(parker);
}

// Null until the core registers it; called under the loader's lock, as the
// unload that removes it is, so the two never overlap.
void (*parker_end_hook)(Parker*) = nullptr;

Parker* MakeParker() {
  Parker* parker = static_cast<Parker*>(AllocateZeroed(sizeof(Parker)));
  if (parker == nullptr) return nullptr;
  parker->event = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (parker->event == nullptr) {
    Free(parker);
    return nullptr;
  }
  // Without it the thread counts as alive for good, as before.
  parker->thread = ::OpenThread(SYNCHRONIZE, FALSE, ::GetCurrentThreadId());
  if (!RegisterParker(parker)) {
    CloseParkerHandles(parker);
    Free(parker);
    return nullptr;
  }
  // Fails only outside Start..End, when the slot is not the layer's.
  if (!::TlsSetValue(parker_slot, parker)) {
    DestroyParker(parker);
    return nullptr;
  }
  return parker;
}

}  // namespace

// --- Start and end --------------------------------------------------------

bool Start() {
  parker_slot = ::TlsAlloc();
  return parker_slot != TLS_OUT_OF_INDEXES;
}

// The loader runs this after every thread-end notice and never beside one,
// and by then no other call of the library's may still be running, so the
// list is walked without its lock: at a process's exit a thread the system
// has already ended may have been ended holding it. A thread still parked
// keeps waiting on its closed event; that does not disturb the unload.
void End(bool process_exiting) {
  if (process_exiting) return;  // the parkers' lock may be held by an ended thread
  Parker* parker = parkers;
  while (parker != nullptr) {
    Parker* next = parker->next;
    CloseParkerHandles(parker);
    Free(parker);
    parker = next;
  }
  parkers = nullptr;
  FreeOwnHandles();
  // Clears the slot in every thread, so that a later Start finds no parker
  // freed here.
  if (parker_slot != TLS_OUT_OF_INDEXES) ::TlsFree(parker_slot);
  parker_slot = TLS_OUT_OF_INDEXES;
}

// Windows ends every other thread before it tells the library of the
// process's exit, and says so in the notification.
bool ProcessIsExiting(bool loader_says) { return loader_says; }

void ThreadEnding() {
  Parker* parker = static_cast<Parker*>(::TlsGetValue(parker_slot));
  if (parker == nullptr) return;
  ::TlsSetValue(parker_slot, nullptr);
  if (parker_end_hook != nullptr) parker_end_hook(parker);
  DestroyParker(parker);
}

// --- Objects a host holds by handle ----------------------------------------

Handle MutexCreate() { return FromNative(::CreateMutexA(nullptr, FALSE, nullptr)); }

WaitResult ObjectWait(Handle object, uint32_t milliseconds) {
  if (IsRefused(object)) return WaitResult::kFailed;
  switch (::WaitForSingleObject(ToNative(object), milliseconds)) {
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

bool MutexRelease(Handle mutex) { return !IsRefused(mutex) && ::ReleaseMutex(ToNative(mutex)) != 0; }

bool ObjectClose(Handle object) { return !IsRefused(object) && ::CloseHandle(ToNative(object)) != 0; }

// --- The queue lock -------------------------------------------------------

QueueLock* QueueLockOpen() {
  QueueLock* lock = static_cast<QueueLock*>(AllocateZeroed(sizeof(QueueLock)));
  if (lock == nullptr) return nullptr;
  // The name may be out of reach (another user's object, or one of another
  // kind under the same name): the process then locks its queue alone.
  lock->mutex = ::CreateMutexA(nullptr, FALSE, kQueueLockName);
  if (lock->mutex == nullptr) lock->mutex = ::CreateMutexA(nullptr, FALSE, nullptr);
  if (lock->mutex == nullptr) {
    Free(lock);
    return nullptr;
  }
  if (!GuardOwnHandle(lock->mutex)) {
    ::CloseHandle(lock->mutex);
    Free(lock);
    return nullptr;
  }
  return lock;
}

void QueueLockClose(QueueLock* lock) {
  if (lock == nullptr) return;
  CloseOwnHandle(lock->mutex);
  Free(lock);
}

// A lock abandoned by a thread or process that ended holding it is held by
// this thread all the same; what it guarded is this process's own queue.
void QueueLockAcquire(QueueLock* lock) {
  if (lock == nullptr) return;  // none could be made: the core's own locks serve
  const DWORD result = ::WaitForSingleObject(lock->mutex, INFINITE);
  if (result != WAIT_OBJECT_0 && result != WAIT_ABANDONED) Fault("the queue lock could not be taken");
}

void QueueLockRelease(QueueLock* lock) {
  if (lock == nullptr) return;
  if (!::ReleaseMutex(lock->mutex)) Fault("the queue lock could not be given back");
}

// --- Parkers --------------------------------------------------------------

Parker* ParkerOfThisThread() {
  Parker* parker = static_cast<Parker*>(::TlsGetValue(parker_slot));
  return parker != nullptr ? parker : MakeParker();
}

void Park(Parker* parker) {
  if (::WaitForSingleObject(parker->event, INFINITE) != WAIT_OBJECT_0) Fault("a parked thread could not sleep");
}

void Unpark(Parker* parker) {
  if (!::SetEvent(parker->event)) Fault("a parked thread could not be woken");
}

void* ParkerRoom(Parker* parker) { return parker->room; }

void SetParkerEndHook(void (*hook)(Parker* parker)) { parker_end_hook = hook; }

// One look at the thread's handle: signalled once the thread has ended.
bool ParkerThreadAlive(Parker* parker) {
  return parker->thread == nullptr || ::WaitForSingleObject(parker->thread, 0) == WAIT_TIMEOUT;
}

// The core's lock words are only ever contended where the queue lock could
// not be made (every queue operation holds it otherwise), and KERNEL32 has
// no wait on an address: a taker yields until the word is free.
void LockWordWait(std::atomic<uint32_t>* word) {
  while (word->exchange(kLockWordContended, std::memory_order_acquire) != kLockWordFree) ::SwitchToThread();
}

void LockWordWake(std::atomic<uint32_t>* /*word*/) {}

uint32_t ProcessorCount() {
  SYSTEM_INFO info;
  ::GetSystemInfo(&info);
  return info.dwNumberOfProcessors > 1 ? info.dwNumberOfProcessors : 1;
}

void SleepMilliseconds(uint32_t milliseconds) { ::Sleep(milliseconds); }

// --- Memory ---------------------------------------------------------------

// A heap is the kernel's heap handle itself.
Heap* HeapCreate() { return static_cast<Heap*>(::HeapCreate(0, 4000, 0)); }

void* HeapAlloc(Heap* heap, uint32_t size) {
  return heap == nullptr ? nullptr : ::HeapAlloc(heap, HEAP_ZERO_MEMORY, size);
}

bool HeapFree(Heap* heap, void* block) { return heap != nullptr && block != nullptr && ::HeapFree(heap, 0, block) != 0; }

bool HeapDestroy(Heap* heap) { return heap != nullptr && ::HeapDestroy(heap) != 0; }

uint32_t MonotonicMilliseconds() { return ::GetTickCount(); }

}  // namespace platform
