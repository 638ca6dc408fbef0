// The operating-system contract of the library: every blocking, locking and
// allocating operation the core needs, in the library's own words. One
// implementation per OS lives beside this header (win32/; posix/ with the
// Linux futex in linux/); the core includes nothing else. Nothing here
// depends on the word size: what the platform hands out is opaque.
//
// Return rules, common to every operation:
//   - Handles are pointer-sized values; Handle::kNone is never a valid handle
//     and is what a failed create returns.
//   - A call given 0, a closed handle, a value that never was a handle, a
//     pseudo-handle (the values -1 to -6) or a handle of the library's own
//     objects (the queue lock, a parker), of this copy or of another copy
//     of the library in the process, fails without effect: false for the
//     boolean operations, WaitResult::kFailed for ObjectWait. It never
//     crashes and never touches another object.
//   - A failure says why where a host reads it (errno; on Windows the
//     thread's last error), set on the failure's path only: a bad handle
//     given to a resource operation as above (ReportBadHandle's word, or
//     the kernel's where the kernel refused it), and want of memory
//     (ReportNoMemory's word: a MutexCreate that makes none, an ObjectWait
//     of a thread that cannot get the record it would own the mutex by).
//   - Operations that cannot fail (the queue lock, parking) return nothing.
//     Where the system can refuse them for a host's doing (on Windows, a
//     host that closes one of the library's handles with CloseHandle), the
//     layer recovers (a new handle, or a slower way to sleep) and never ends
//     the process; a wake-up may then come up to half a second late.
#ifndef QUENTHALOY_PLATFORM_H
#define QUENTHALOY_PLATFORM_H

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

// Results of ObjectWait, valued as the Windows wait results they stand for.
enum class WaitResult : uint32_t {
  kObtained = 0x00000000u,   // signalled; a mutex is now held by the caller
  kAbandoned = 0x00000080u,  // the mutex's holder ended holding it; the caller holds it now
  kTimedOut = 0x00000102u,
  kFailed = 0xFFFFFFFFu,
};

// A time-out that never runs out.
constexpr uint32_t kWaitForever = 0xFFFFFFFFu;

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
// The loader's notice, where the platform gives one, that the calling thread
// is about to end: what the thread's parker used is returned.
void ThreadEnding();
// The calling thread returns from a call that may have made its parker
// (a wait or a synchronous send). A parker made after the thread's end
// notice, which no later notice frees, is freed here.
void ThreadLeavesLibrary();

// --- Objects a host holds by handle: the thread resources ---------------

// A new mutex, not owned, that nobody else can open. Recursive: the owner
// may take it again and must give it back as often.
[[nodiscard]] Handle MutexCreate();
// Waits until the object is signalled or the time-out in milliseconds runs
// out (0 tries once, kWaitForever waits for ever). Any waitable object of
// the platform is accepted, not only mutexes made here.
[[nodiscard]] WaitResult ObjectWait(Handle object, uint32_t milliseconds);
// True when the calling thread held the mutex and gave it back once.
[[nodiscard]] bool MutexRelease(Handle mutex);
// Closes the handle. A mutex closed while a thread holds it stops answering
// to its handle at once; what it used is returned once nobody holds it.
[[nodiscard]] bool ObjectClose(Handle object);

// --- The queue lock -------------------------------------------------------

// The lock that every queue operation must hold where the platform has
// names that other processes can open: the mutex named
// "JQ_Quenthaloy_ThreadMessage", shared with every process of the user that
// loads the library (and, failing that, a mutex of the process's own).
// Elsewhere there is none and QueueLockOpen returns null: the core's own
// lock words keep the queue sound within the process, and null from the
// named kind means the same (the process then locks its queue alone). Not
// recursive.
struct QueueLock;
[[nodiscard]] QueueLock* QueueLockOpen();
void QueueLockClose(QueueLock* lock);
void QueueLockAcquire(QueueLock* lock);
void QueueLockRelease(QueueLock* lock);

// --- Lock words: the core's own locks -------------------------------------

// A lock word is kLockWordFree, kLockWordHeld, or kLockWordContended (held,
// and a taker may be asleep on it). The core takes a free word with one
// compare-and-swap to kLockWordHeld and gives it back with one exchange to
// kLockWordFree; these two do the rest. Private to the process.
constexpr uint32_t kLockWordFree = 0;
constexpr uint32_t kLockWordHeld = 1;
constexpr uint32_t kLockWordContended = 2;
// Held by the only caller inside its section (EnterOnlyCaller), which ends
// when the word is given back.
constexpr uint32_t kLockWordHeldAlone = 3;
// Takes a word the compare-and-swap found held: spins briefly, sleeps after
// that (marking the word contended), and returns holding it.
void LockWordWait(std::atomic<uint32_t>* word);
// Wakes one taker of a word whose give-back found it contended.
void LockWordWake(std::atomic<uint32_t>* word);

// While only one thread has ever called the library, no other thread can
// reach its lock words, and that thread may take and give them back with
// plain loads and stores (an atomic read-modify-write costs as much as the
// rest of a post). EnterOnlyCaller() is true when the calling thread may do
// so now; it keeps that right until LeaveOnlyCaller(), over a section that
// must not block. The first call of a second thread waits until the first
// thread is out of every such section; from then on, for good, every word
// is taken atomically. A signal handler that calls the library inside a
// section runs on the same thread: sections nest. Always false where the
// platform cannot make the second thread wait so.
[[nodiscard]] bool EnterOnlyCaller();
void LeaveOnlyCaller();

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
// Registers the function the layer calls on the ending thread when a thread
// with a parker ends, before its parker goes (null: none), so that the core
// unlinks what the thread left linked. Registering null returns only once no
// thread is inside the function registered before.
void SetParkerEndHook(void (*hook)(Parker* parker));
// False once the parker's thread is known to have ended without the
// layer's thread-end notice (Windows: a thread ended by TerminateThread):
// such a parker is never woken by anyone again.
bool ParkerThreadAlive(Parker* parker);

// --- Memory ---------------------------------------------------------------

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
