// The platform room: what the operating system gives the library, in the
// library's own words, and nothing more: the heap and pages, the clock,
// threads (identity, records and parkers, the thread-end notice), the wait
// and wake on a word, forks, and on Windows the kernel objects a host holds
// by handle and the named queue lock. What one OS lacks is a capability the
// core asks about (below). One implementation per OS lives beside this
// header (win32/; posix/ with the Linux futex in linux/); the core includes
// nothing else of it. Nothing here depends on the word size: what the
// platform hands out is opaque.
//
// Return rules, common to every operation:
//   - Handles are pointer-sized values; Handle::kNone is never a valid handle
//     and is what a failed create returns.
//   - A call given 0, a closed handle, a value that never was a handle, a
//     pseudo-handle (the values -1 to -6) or a handle of the library's own
//     objects (the queue lock, a parker), of this copy or of another copy
//     of the library in the process, fails without effect: false for the
//     boolean operations, WaitResult::kFailed for a wait. It never crashes
//     and never touches another object.
//   - A failure says why where a host reads it (errno; on Windows the
//     thread's last error), set on the failure's path only: a bad handle
//     given to a resource operation as above (ReportBadHandle's word, or
//     the kernel's where the kernel refused it), and want of memory
//     (ReportNoMemory's word: a resource that cannot be made, a take by a
//     thread that cannot get the record it would own the resource by).
//   - Operations that cannot fail (the queue lock, parking) return nothing.
//     Where the system can refuse them for a host's doing (on Windows, a
//     host that closes one of the library's handles with CloseHandle), the
//     layer recovers (a new handle, or a slower way to sleep) and never ends
//     the process; a wake-up may then come up to half a second late.
#ifndef QUENTHALOY_PLATFORM_H
#define QUENTHALOY_PLATFORM_H

#include <stddef.h>
#include <stdint.h>

#include <atomic>

namespace platform {

// An object handle as the platform knows it.
enum class Handle : uintptr_t { kNone = 0 };

// The library's interface carries handles as 32-bit signed integers, 0 for
// none; these two are the only crossing. Windows keeps kernel handles within
// 32 bits, sign-extended, so that 32- and 64-bit processes can exchange them;
// a value comes in widened the same way. A handle that does not fit goes out
// as 0.
constexpr Handle HandleFromInterface(int32_t value) {
  return static_cast<Handle>(static_cast<uintptr_t>(static_cast<intptr_t>(value)));
}
constexpr int32_t InterfaceValueOf(Handle handle) {
  const auto value = static_cast<intptr_t>(handle);
  return value >= INT32_MIN && value <= INT32_MAX ? static_cast<int32_t>(value) : 0;
}
static_assert(sizeof(Handle) == sizeof(void*), "a handle is as wide as the platform's");
static_assert(sizeof(intptr_t) >= sizeof(int32_t), "every interface value widens to a handle");
static_assert(InterfaceValueOf(HandleFromInterface(-1)) == -1 &&
                  InterfaceValueOf(HandleFromInterface(INT32_MAX)) == INT32_MAX,
              "every interface value comes back unchanged");
static_assert(static_cast<intptr_t>(HandleFromInterface(-2)) == -2, "negative values widen with their sign");

// Results of a wait on a resource, valued as the Windows wait results they
// stand for.
enum class WaitResult : uint32_t {
  kObtained = 0x00000000u,   // signalled; a mutex is now held by the caller
  kAbandoned = 0x00000080u,  // the mutex's holder ended holding it; the caller holds it now
  kTimedOut = 0x00000102u,
  kFailed = 0xFFFFFFFFu,
};

// A time-out that never runs out.
constexpr uint32_t kWaitForever = 0xFFFFFFFFu;

// --- What this platform has -----------------------------------------------

// Each capability says whether a part of the contract exists here. A part a
// platform lacks is declared all the same but defined nowhere, and the core
// asks first (`if constexpr`), so that no call of it is ever made.
#if defined(_WIN32)
constexpr bool kLoaderTellsThreadEnd = true;  // ThreadEnding, ThreadLeavesLibrary
constexpr bool kHasQueueLock = true;          // QueueLock*
constexpr bool kCanWaitOnWord = false;        // WaitOnWord, WakeWord
constexpr bool kKnowsOnlyCaller = false;      // EnterOnlyCaller, LeaveOnlyCaller
constexpr bool kCanFork = false;              // WatchForks and the fork steps
constexpr bool kKernelKeepsMutexes = true;    // Kernel*: else the records and identity
constexpr bool kWatchesForExit = false;       // ArmExitWatch
constexpr bool kThreadsEndUnseen = true;      // ParkerThreadAlive
#else
constexpr bool kLoaderTellsThreadEnd = false;
constexpr bool kHasQueueLock = false;
constexpr bool kCanWaitOnWord = true;
constexpr bool kKnowsOnlyCaller = true;
constexpr bool kCanFork = true;
constexpr bool kKernelKeepsMutexes = false;
constexpr bool kWatchesForExit = true;
constexpr bool kThreadsEndUnseen = false;
#endif

// Brings the layer up at load, before anything else is called, and down at
// unload, after everything else. At the process's exit End frees nothing:
// other threads may still run in the library (Linux) or have been ended
// anywhere in it, holding its locks (Windows). It still unhooks everything
// that could call into the library's code once that is unmapped.
[[nodiscard]] bool Start();
void End(bool process_exiting);
// Whether the unload under way is the process's exit rather than an unload
// by the host. `loader_says` is the loader's own word where it gives one
// (Windows: the detach notification's reserved argument); the layer may
// know better.
bool ProcessIsExiting(bool loader_says);
// The loader's notice that the calling thread is about to end, where it
// gives one (kLoaderTellsThreadEnd; Windows: the thread-detach notice): what
// the thread's parker used is returned. Elsewhere a thread's end is known
// only through SetParkerEndHook.
void ThreadEnding();
// Where the loader gives that notice: the calling thread returns from a
// call that may have made its parker (a wait or a synchronous send). A
// parker made after the thread's end notice, which no later notice frees,
// is freed here.
void ThreadLeavesLibrary();

// --- Around a fork (kCanFork) ----------------------------------------------

// Registers the three steps the process runs around each fork: before it
// in the forking thread, after it in the parent and in the child (once per
// load of the library's code; false when it cannot, for want of memory).
[[nodiscard]] bool WatchForks(void (*prepare)(), void (*in_parent)(), void (*in_child)());
// The layer's own steps: its locks are held across the fork; in the child,
// whose only thread is the forking one, they are free, the records of the
// other threads are gone, and the only caller is this thread again.
void PrepareFork();
void AfterForkInParent();
void AfterForkInChild();

// --- Kernel objects a host holds by handle (kKernelKeepsMutexes) ------------

// Where the kernel keeps mutexes a host can hold by handle, the resources
// are those (resources/kernel_mutex.cpp). A new mutex, not owned, that nobody else can open; recursive.
[[nodiscard]] Handle KernelMutexCreate();
// Waits until the object is signalled or the time-out in milliseconds runs
// out (0 tries once, kWaitForever waits for ever). Any waitable object of
// the platform is accepted, not only mutexes made here.
[[nodiscard]] WaitResult KernelObjectWait(Handle object, uint32_t milliseconds);
// True when the calling thread held the mutex and gave it back once.
[[nodiscard]] bool KernelMutexRelease(Handle mutex);
[[nodiscard]] bool KernelObjectClose(Handle object);

// --- The queue lock (kHasQueueLock) ------------------------------------------

// The lock that every queue operation must hold where the platform has
// names that other processes can open (Windows): the mutex named
// "JQ_Quenthaloy_ThreadMessage", shared with every process of the user that
// loads the library (and, failing that, a mutex of the process's own).
// Elsewhere there is none: the core's own lock words keep the queue sound
// within the process. QueueLockOpen may still
// give null (nothing could be made): the process then locks its queue alone,
// and the other calls accept null and do nothing. Not recursive.
struct QueueLock;
[[nodiscard]] QueueLock* QueueLockOpen();
void QueueLockClose(QueueLock* lock);
void QueueLockAcquire(QueueLock* lock);
void QueueLockRelease(QueueLock* lock);

// --- Waiting on a word ---------------------------------------------------

// A point on the monotonic clock, for waits with a time-out.
struct Deadline {
  int64_t nanoseconds;
};
Deadline DeadlineAfter(uint32_t milliseconds);
bool DeadlinePassed(const Deadline& deadline);
// Nanoseconds from a fixed point in the past.
int64_t MonotonicNanoseconds();
// Lets another thread run on this processor, if one wants to.
void YieldThread();

// A sleep on a 32-bit word until another thread changes it and wakes it
// (kCanWaitOnWord; Linux: the futex). KERNEL32 has no wait on an address
// before Windows 8: there the callers yield instead (sync/).
// Sleeps while `word` holds `expected`, until the deadline (null: none).
// False once the deadline has passed; true for a wake, a signal, or the
// word no longer holding `expected`: the caller looks again. Private to the
// process.
bool WaitOnWord(std::atomic<uint32_t>* word, uint32_t expected, const Deadline* deadline);
// Wakes up to `count` sleepers on `word`.
void WakeWord(std::atomic<uint32_t>* word, int count);

// While only one thread has ever called the library, no other thread can
// reach its lock words, and that thread may take and give them back with
// plain loads and stores (an atomic read-modify-write costs as much as the
// rest of a post). EnterOnlyCaller() is true when the calling thread may do
// so now; it keeps that right until LeaveOnlyCaller(), over a section that
// must not block. The first call of a second thread waits until the first
// thread is out of every such section; from then on, for good, every word
// is taken atomically. A signal handler that calls the library inside a
// section runs on the same thread: sections nest. Only where the platform
// can make the second thread wait so (kKnowsOnlyCaller: a barrier across the
// process's threads; not on Windows, where every queue operation holds the
// named lock anyway): elsewhere every word is taken atomically.
[[nodiscard]] bool EnterOnlyCaller();
void LeaveOnlyCaller();
// EnterOnlyCaller's common answers, inline and without a call (kKnowsOnlyCaller):
// kEntered and kShared as its true and false, or kAsk: only EnterOnlyCaller
// can answer (the library's first call, or a second thread's arrival).
enum class OnlyCallerAnswer { kEntered, kShared, kAsk };
[[nodiscard]] OnlyCallerAnswer EnterOnlyCallerQuickly();

// Processors the process may run on, at least 1.
uint32_t ProcessorCount();
// Sleeps about that long: the slow path of a wait that has no parker.
void SleepMilliseconds(uint32_t milliseconds);

// --- Parkers: one per thread, for every sleep in the queue ---------------

// The calling thread's parker, made on first use and reused for every later
// sleep; null when none can be made. It lives until its thread ends or the
// library unloads.
struct Parker;
[[nodiscard]] Parker* ParkerOfThisThread();
// Sleeps until an Unpark given for this sleep. Only the owning thread parks.
// Each Unpark releases exactly one Park, earlier or later: an Unpark that
// comes first makes the next Park return at once, and one Unpark never
// releases two Parks. Callers give exactly one Unpark per Park.
void Park(Parker* parker);
// Releases the parker's sleep. The caller must hold no lock of the library's
// that the woken thread needs, so that it does not wake into a held lock.
// A parker's memory stays the library's (and a parker's) after its thread
// ends, so an Unpark that comes late is harmless; but then it may end a
// sleep of whichever thread uses that parker next, so every Park is made in
// a loop that looks for what it waits for.
void Unpark(Parker* parker);

// Room in every parker for the core's record of its thread's sleeps,
// zero-filled when the parker is made and kept with it: a sleep recorded
// there belongs to the library, not to the sleeping thread's stack. In a
// forked child the forking thread, in no sleep, finds its room zero-filled
// again before the core's own handling of the fork.
constexpr uint32_t kParkerRoomSize = 48;
void* ParkerRoom(Parker* parker);
// Room beside it, zero-filled with it, where the library keeps its own
// resources: what the thread holds and what it waits for.
constexpr uint32_t kParkerResourceRoomSize = 2 * sizeof(void*);
void* ParkerResourceRoom(Parker* parker);
// The thread-end notice: registers the function the layer calls on the
// ending thread when a thread with a parker ends, before its parker goes
// (null: none), so that the core unlinks what the thread left linked and
// abandons what it held. Registering null returns only once no thread is
// inside the function registered before.
void SetParkerEndHook(void (*hook)(Parker* parker));

// Where the library keeps its own resources (not kKernelKeepsMutexes), the
// parker is also the thread's record that owns them: the calling thread's,
// made on first use (null if it cannot be), as ParkerOfThisThread but for
// no test's failing; the one it has, or null; the identity of a record's
// thread (0 once it ended); whether its thread sleeps in Park now.
[[nodiscard]] Parker* RecordOfThisThread();
[[nodiscard]] Parker* RecordOfThisThreadIfMade();
uintptr_t IdentityOf(const Parker* record);
bool ParkedNow(const Parker* record);

// A number that no other living thread of the process has (where the
// library keeps its own resources: its thread pointer, read without a call,
// so that a resource's take and give-back need no look-up of the thread's
// record).
#if !defined(_WIN32) && __has_builtin(__builtin_thread_pointer)
inline uintptr_t ThisThreadIdentity() { return reinterpret_cast<uintptr_t>(__builtin_thread_pointer()); }
#else
uintptr_t ThisThreadIdentity();
#endif

#if !defined(_WIN32)
// EnterOnlyCaller's common answers and LeaveOnlyCaller, inline, so that a fast path that asks them keeps no
// value of its own across a call.
namespace posix_impl {

// The identity of the only thread that has called the library (0 before the
// first call, kShared once a second thread has called, or where there is no
// process-wide barrier), and how deep that thread is in sections that rely
// on it (its signal handlers nest them). Only that thread writes the depth.
constexpr uintptr_t kShared = 1;
constexpr uintptr_t kBecomingShared = 2;  // a second thread waits for the first to leave its sections
extern std::atomic<uintptr_t> only_caller;
extern std::atomic<uint32_t> only_caller_depth;

}  // namespace posix_impl

inline void LeaveOnlyCaller() {
  std::atomic_signal_fence(std::memory_order_seq_cst);
  posix_impl::only_caller_depth.store(posix_impl::only_caller_depth.load(std::memory_order_relaxed) - 1,
                                      std::memory_order_release);
}

inline OnlyCallerAnswer EnterOnlyCallerQuickly() {
  using posix_impl::only_caller;
  using posix_impl::only_caller_depth;
  const uintptr_t self = ThisThreadIdentity();
  const uintptr_t only = only_caller.load(std::memory_order_acquire);
  if (__builtin_expect(only != self, 0)) {
    return only == posix_impl::kShared ? OnlyCallerAnswer::kShared : OnlyCallerAnswer::kAsk;
  }
  only_caller_depth.store(only_caller_depth.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  // Only the compiler is held to this order: the second thread's barrier
  // holds the processor to it.
  std::atomic_signal_fence(std::memory_order_seq_cst);
  if (__builtin_expect(only_caller.load(std::memory_order_relaxed) == self, 1)) return OnlyCallerAnswer::kEntered;
  LeaveOnlyCaller();
  return OnlyCallerAnswer::kShared;
}

#endif

// Where a host may cancel a thread asynchronously (not kKernelKeepsMutexes:
// POSIX), a step that must not be split runs between these: the first holds
// off cancellation and returns the state the second gives back.
int HoldOffCancellation();
void AllowCancellation(int state);
// Random bits of the system's, where it gives them (0 where not).
uint64_t SystemRandomBits();

// Where the process's exit is told from an unload only by an exit handler
// of the library's own (kWatchesForExit; Linux), every call that may leave
// a thread inside the library first arms that watch (see ProcessIsExiting).
void ArmExitWatch();
// Where a thread can end without the layer's thread-end notice
// (kThreadsEndUnseen; Windows: a thread ended by TerminateThread): false once
// the parker's thread is known to have so ended. Such a parker is never
// woken by anyone again.
bool ParkerThreadAlive(Parker* parker);

// --- Memory ---------------------------------------------------------------

// Zero-filled pages of their own, that stay where they are until unmapped;
// null when none can be had.
[[nodiscard]] void* MapPages(size_t bytes);
void UnmapPages(void* pages, size_t bytes);
#if !defined(_WIN32)
// Address space of its own that reads as zeros and costs no memory until a
// part of it is made writable; null when none can be had. Its parts go back
// with UnmapPages. (POSIX only: Windows cannot read reserved pages.)
[[nodiscard]] void* ReserveZeroPages(size_t bytes);
// Makes part of a reservation writable (still zero-filled); false when the
// memory cannot be had.
[[nodiscard]] bool CommitPages(void* pages, size_t bytes);
#endif

// A growable private heap, null when none can be made. Blocks come back
// zero-filled; destroying the heap releases every block still in it. Every
// call accepts a null heap and fails for it.
struct Heap;
[[nodiscard]] Heap* HeapCreate();
[[nodiscard]] void* HeapAlloc(Heap* heap, uint32_t size);
bool HeapFree(Heap* heap, void* block);
bool HeapDestroy(Heap* heap);

// Milliseconds from a fixed point in the past, wrapping at 2^32.
uint32_t MonotonicMilliseconds();

// Tell the host, where it reads why a call failed, that the call failed for
// want of memory (ENOMEM; Windows: ERROR_NOT_ENOUGH_MEMORY), or for a bad
// handle (EBADF; Windows: ERROR_INVALID_HANDLE). For failure paths only: a
// call that succeeds pays nothing for them.
void ReportNoMemory();
void ReportBadHandle();

// Reports a broken invariant of the library's own (a debug check, see
// QUENTHALOY_CHECK) and ends the process.
[[noreturn]] void CheckFailed(const char* condition, const char* file, int line);

}  // namespace platform

// Invariants the library keeps, checked in the builds made to find faults
// (the sanitizer presets define QUENTHALOY_DEBUG_CHECKS) and compiled out
// of the product.
#if defined(QUENTHALOY_DEBUG_CHECKS)
#define QUENTHALOY_CHECK(condition) \
  ((condition) ? static_cast<void>(0) : ::platform::CheckFailed(#condition, __FILE__, __LINE__))
#else
#define QUENTHALOY_CHECK(condition) static_cast<void>(0)
#endif

#endif
