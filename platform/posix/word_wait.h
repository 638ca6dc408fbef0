// What the POSIX part of the layer needs beneath it that POSIX does not
// give: the sleep on a word (the contract's WaitOnWord) and a barrier across
// the process's threads, which Linux gives as the futex and membarrier
// (linux/futex.cpp). Also the few helpers every part of the layer shares.
#ifndef QUENTHALOY_PLATFORM_POSIX_WORD_WAIT_H
#define QUENTHALOY_PLATFORM_POSIX_WORD_WAIT_H

#include <stdint.h>

#include <atomic>

namespace platform::posix_impl {

// A barrier that every running thread of the process passes before
// ProcessBarrier returns: a store before it is seen by every thread's loads
// after it, and every thread's stores before it are seen by the caller's
// loads after it. False from the registration where there is none.
[[nodiscard]] bool RegisterProcessBarrier();
void ProcessBarrier();

// Reports a result the layer cannot have got unless memory or the kernel is
// broken, and ends the process: going on would corrupt the host's state.
[[noreturn]] void Fatal(const char* what, int error);

}  // namespace platform::posix_impl

#endif
