// What the POSIX part of the layer needs beneath its locks and parkers: a
// sleep on a 32-bit word that another thread ends by changing the word and
// waking it. This is the only part of the layer that is not POSIX: Linux
// gives it as the futex (linux/futex.cpp). Also the few helpers every part
// of the layer shares.
#ifndef QUENTHALOY_PLATFORM_POSIX_WORD_WAIT_H
#define QUENTHALOY_PLATFORM_POSIX_WORD_WAIT_H

#include <pthread.h>
#include <stdint.h>
#include <time.h>

#include <atomic>

namespace platform::posix_impl {

// Why a wait on a word returned. kWoken covers a wake, a signal, and the
// word no longer holding the expected value: the caller looks at the word
// again.
enum class WordWaitOutcome { kWoken, kTimedOut };

// Sleeps while `word` holds `expected`, until an absolute CLOCK_MONOTONIC
// deadline (null: none). Private to the process.
WordWaitOutcome WaitOnWord(std::atomic<uint32_t>* word, uint32_t expected, const timespec* deadline);
// Wakes up to `count` sleepers on `word`.
void WakeWord(std::atomic<uint32_t>* word, int count);

// A barrier that every running thread of the process passes before
// ProcessBarrier returns: a store before it is seen by every thread's loads
// after it, and every thread's stores before it are seen by the caller's
// loads after it. False from the registration where there is none.
[[nodiscard]] bool RegisterProcessBarrier();
void ProcessBarrier();

// The monotonic time `milliseconds` from now.
timespec DeadlineAfter(uint32_t milliseconds);
bool DeadlinePassed(const timespec& deadline);

// A pause for spin loops, easing the sibling hardware thread.
inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__) || defined(__arm__)
  __asm__ __volatile__("yield");
#endif
}

// A number that no other living thread of the process has: its thread
// pointer, read without a call (the ownership checks of a resource's take
// and give-back need no look-up of the thread's record).
inline uintptr_t ThisThreadIdentity() {
#if __has_builtin(__builtin_thread_pointer)
  return reinterpret_cast<uintptr_t>(__builtin_thread_pointer());
#else
  return static_cast<uintptr_t>(pthread_self());
#endif
}

// Reports a result the layer cannot have got unless memory or the kernel is
// broken, and ends the process: going on would corrupt the host's state.
[[noreturn]] void Fatal(const char* what, int error);

}  // namespace platform::posix_impl

#endif
