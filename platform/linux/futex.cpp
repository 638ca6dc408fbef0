// Waits on words as Linux gives them: the futex, with every result the
// kernel can give sorted into what the callers handle and what cannot
// happen.
#include <errno.h>
#include <linux/futex.h>
#include <linux/membarrier.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "../platform.h"
#include "../posix/word_wait.h"

namespace platform {
namespace {

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t), "a futex word is 32 bits");
static_assert(std::atomic<uint32_t>::is_always_lock_free, "the kernel reads the word directly");
static_assert(alignof(std::atomic<uint32_t>) == 4, "futex words are aligned to 4 bytes");

// Value-initialised first: where the C library pads a 32-bit tv_nsec to the
// kernel's 64 bits, the padding is zero.
timespec TimespecOf(const Deadline& deadline) {
  timespec until{};
  until.tv_sec = static_cast<time_t>(deadline.nanoseconds / 1000000000);
  until.tv_nsec = static_cast<long>(deadline.nanoseconds % 1000000000);
  return until;
}

// A 32-bit system whose C library keeps time in 64 bits must hand the
// deadline to the call that reads it so (Linux 5.1 and later; the only one
// on 32-bit systems that came after 2038 was faced); one with 32-bit time
// keeps the old call. A 64-bit system has only the one call, which reads
// 64 bits. (No 32-bit Linux build is made here: this is kept compiling
// right for one.)
long Futex(std::atomic<uint32_t>* word, int operation, uint32_t value, const timespec* deadline, uint32_t bits) {
  auto* address = reinterpret_cast<uint32_t*>(word);
#if defined(SYS_futex_time64) && defined(SYS_futex)
  if (sizeof(time_t) > sizeof(long)) {
    return syscall(SYS_futex_time64, address, operation, value, deadline, nullptr, bits);
  }
  return syscall(SYS_futex, address, operation, value, deadline, nullptr, bits);
#elif defined(SYS_futex_time64)
  static_assert(sizeof(time_t) == 8, "a system with only the new call keeps time in 64 bits");
  return syscall(SYS_futex_time64, address, operation, value, deadline, nullptr, bits);
#else
  static_assert(sizeof(time_t) == sizeof(long), "without the new call, time is as wide as the system's word");
  return syscall(SYS_futex, address, operation, value, deadline, nullptr, bits);
#endif
}

}  // namespace

bool WaitOnWord(std::atomic<uint32_t>* word, uint32_t expected, const Deadline* deadline) {
  // FUTEX_WAIT_BITSET takes an absolute deadline on CLOCK_MONOTONIC, so a
  // wait cut short by a signal is resumed with the time it had left.
  const timespec until = deadline != nullptr ? TimespecOf(*deadline) : timespec{};
  long rc = Futex(word, FUTEX_WAIT_BITSET | FUTEX_PRIVATE_FLAG, expected, deadline != nullptr ? &until : nullptr,
                  FUTEX_BITSET_MATCH_ANY);
  if (rc == 0) return true;
  switch (errno) {
    case EAGAIN:  // the word changed before the sleep
    case EINTR:
      return true;
    case ETIMEDOUT:
      return false;
    default:  // EFAULT, EINVAL, ENOSYS: a bad word or deadline of our own
      posix_impl::Fatal("futex wait", errno);
  }
}

void WakeWord(std::atomic<uint32_t>* word, int count) {
  long rc = Futex(word, FUTEX_WAKE | FUTEX_PRIVATE_FLAG, static_cast<uint32_t>(count), nullptr, 0);
  // EFAULT is left alone: a woken parker may already have returned its
  // record, and a wake that finds nobody at an address is harmless.
  if (rc < 0 && errno != EFAULT) posix_impl::Fatal("futex wake", errno);
}

}  // namespace platform

namespace platform::posix_impl {

// The private expedited barrier interrupts only this process's running
// threads; it must be registered before its first use. Absent before Linux
// 4.14, and under emulators and checkers that do not know the call.
bool RegisterProcessBarrier() { return syscall(SYS_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) == 0; }

void ProcessBarrier() {
  long rc = syscall(SYS_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0);
  // Registered at the start, so it cannot be refused; ENOMEM and EINTR
  // are not among its results.
  if (rc != 0) Fatal("membarrier", errno);
}

}  // namespace platform::posix_impl
