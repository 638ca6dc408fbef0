#include "futex.h"

#include <errno.h>
#include <linux/futex.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform::linux_impl {

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t), "a futex word is 32 bits");
static_assert(std::atomic<uint32_t>::is_always_lock_free, "the kernel reads the word directly");
static_assert(alignof(std::atomic<uint32_t>) == 4, "futex words are aligned to 4 bytes");

FutexOutcome FutexWait(std::atomic<uint32_t>* word, uint32_t expected, const timespec* deadline) {
  // FUTEX_WAIT_BITSET takes an absolute deadline on CLOCK_MONOTONIC, so a
  // wait cut short by a signal is resumed with the time it had left.
  long rc = syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT_BITSET | FUTEX_PRIVATE_FLAG, expected,
                    deadline, nullptr, FUTEX_BITSET_MATCH_ANY);
  if (rc == 0) return FutexOutcome::kWoken;
  switch (errno) {
    case EAGAIN:  // the word changed before the sleep
    case EINTR:
      return FutexOutcome::kWoken;
    case ETIMEDOUT:
      return FutexOutcome::kTimedOut;
    default:  // EFAULT, EINVAL, ENOSYS: a bad word or deadline of our own
      Fatal("futex wait", errno);
  }
}

void FutexWake(std::atomic<uint32_t>* word, int count) {
  long rc = syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE | FUTEX_PRIVATE_FLAG, count, nullptr,
                    nullptr, 0);
  // EFAULT is left alone: a woken parker may already have returned its
  // record, and a wake that finds nobody at an address is harmless.
  if (rc < 0 && errno != EFAULT) Fatal("futex wake", errno);
}

timespec DeadlineAfter(uint32_t milliseconds) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  now.tv_sec += milliseconds / 1000;
  now.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
  if (now.tv_nsec >= 1000000000L) {
    now.tv_nsec -= 1000000000L;
    ++now.tv_sec;
  }
  return now;
}

bool DeadlinePassed(const timespec& deadline) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec > deadline.tv_sec || (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec);
}

}  // namespace platform::linux_impl

namespace platform {

void CheckFailed(const char* condition, const char* file, int line) {
  char text[256];
  snprintf(text, sizeof(text), "check failed at %s:%d: %s", file, line, condition);
  linux_impl::Fatal(text, EINVAL);
}

}  // namespace platform

namespace platform::linux_impl {

void Fatal(const char* what, int error) {
  char text[160];
  int n = snprintf(text, sizeof(text), "quenthaloy: %s failed: %s\n", what, strerror(error));
  if (n > 0) {
    ssize_t ignored = write(STDERR_FILENO, text, static_cast<size_t>(n) < sizeof(text) ? n : sizeof(text) - 1);
    (void)ignored;
  }
  abort();
}

}  // namespace platform::linux_impl
