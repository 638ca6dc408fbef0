// The futex calls of the layer, with every result the kernel can give
// sorted into what the callers handle and what cannot happen.
#ifndef QUENTHALOY_PLATFORM_LINUX_FUTEX_H
#define QUENTHALOY_PLATFORM_LINUX_FUTEX_H

#include <stdint.h>
#include <time.h>

#include <atomic>

namespace platform::linux_impl {

// Why a futex wait returned. kWoken covers a wake, a signal, and the word
// no longer holding the expected value: the caller looks at the word again.
enum class FutexOutcome { kWoken, kTimedOut };

// Sleeps while `word` holds `expected`, until an absolute CLOCK_MONOTONIC
// deadline (null: none). Private to the process.
FutexOutcome FutexWait(std::atomic<uint32_t>* word, uint32_t expected, const timespec* deadline);
// Wakes up to `count` sleepers on `word`.
void FutexWake(std::atomic<uint32_t>* word, int count);

// The monotonic time `milliseconds` from now.
timespec DeadlineAfter(uint32_t milliseconds);
bool DeadlinePassed(const timespec& deadline);

// A pause for spin loops, easing the sibling hyper-thread.
inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

// Reports a result the layer cannot have got unless memory or the kernel is
// broken, and ends the process: going on would corrupt the host's state.
[[noreturn]] void Fatal(const char* what, int error);

}  // namespace platform::linux_impl

#endif
