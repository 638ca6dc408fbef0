// Waits on words as Linux gives them: the futex, with every result the
// kernel can give sorted into what the callers handle and what cannot
// happen.
#include <errno.h>
#include <linux/futex.h>
#include <linux/membarrier.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "../posix/word_wait.h"

namespace platform::posix_impl {

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t), "a futex word is 32 bits");
static_assert(std::atomic<uint32_t>::is_always_lock_free, "the kernel reads the word directly");
static_assert(alignof(std::atomic<uint32_t>) == 4, "futex words are aligned to 4 bytes");

WordWaitOutcome WaitOnWord(std::atomic<uint32_t>* word, uint32_t expected, const timespec* deadline) {
  // FUTEX_WAIT_BITSET takes an absolute deadline on CLOCK_MONOTONIC, so a
  // wait cut short by a signal is resumed with the time it had left.
  long rc = syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT_BITSET | FUTEX_PRIVATE_FLAG, expected,
                    deadline, nullptr, FUTEX_BITSET_MATCH_ANY);
  if (rc == 0) return WordWaitOutcome::kWoken;
  switch (errno) {
    case EAGAIN:  // the word changed before the sleep
    case EINTR:
      return WordWaitOutcome::kWoken;
    case ETIMEDOUT:
      return WordWaitOutcome::kTimedOut;
    default:  // EFAULT, EINVAL, ENOSYS: a bad word or deadline of our own
      Fatal("futex wait", errno);
  }
}

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

void WakeWord(std::atomic<uint32_t>* word, int count) {
  long rc = syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE | FUTEX_PRIVATE_FLAG, count, nullptr,
                    nullptr, 0);
  // EFAULT is left alone: a woken parker may already have returned its
  // record, and a wake that finds nobody at an address is harmless.
  if (rc < 0 && errno != EFAULT) Fatal("futex wake", errno);
}

}  // namespace platform::posix_impl
