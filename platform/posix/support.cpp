// What every part of the POSIX layer shares: deadlines, the spin before a
// sleep, and the report of a fault the layer cannot go on from.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "../platform.h"
#include "lock_word.h"
#include "word_wait.h"

namespace platform::posix_impl {

timespec DeadlineAfter(uint32_t milliseconds) {
  timespec now{};
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
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec > deadline.tv_sec || (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec);
}

bool SpinForWord(std::atomic<uint32_t>* word, int rounds) {
  for (int i = 0; i < rounds; ++i) {
    CpuRelax();
    if (word->load(std::memory_order_relaxed) == kLockFree && CompareAndSwapLockWord(word)) return true;
  }
  return false;
}

// Only async-signal-safe calls: the process may be in any state here. The
// error goes out as its number (strerror may take locks or allocate).
void Fatal(const char* what, int error) {
  char text[192];
  int n = snprintf(text, sizeof(text), "quenthaloy: %s failed (errno %d)\n", what, error);
  if (n > 0) {
    size_t length = static_cast<size_t>(n) < sizeof(text) ? static_cast<size_t>(n) : sizeof(text) - 1;
    ssize_t written = write(STDERR_FILENO, text, length);
    static_cast<void>(written);  // nothing is left to report a failed report to
  }
  abort();
}

}  // namespace platform::posix_impl

namespace platform {

void CheckFailed(const char* condition, const char* file, int line) {
  char text[256];
  snprintf(text, sizeof(text), "check failed at %s:%d: %s", file, line, condition);
  posix_impl::Fatal(text, EINVAL);
}

}  // namespace platform
