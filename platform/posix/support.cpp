// What every part of the POSIX layer shares: the clock, and the report of a
// fault the layer cannot go on from.
#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include "../platform.h"
#include "word_wait.h"

namespace platform::posix_impl {

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

int64_t MonotonicNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

uint32_t MonotonicMilliseconds() { return static_cast<uint32_t>(MonotonicNanoseconds() / 1000000); }

Deadline DeadlineAfter(uint32_t milliseconds) {
  return Deadline{MonotonicNanoseconds() + static_cast<int64_t>(milliseconds) * 1000000};
}

bool DeadlinePassed(const Deadline& deadline) { return MonotonicNanoseconds() >= deadline.nanoseconds; }

void YieldThread() { sched_yield(); }

#if !__has_builtin(__builtin_thread_pointer)
uintptr_t ThisThreadIdentity() { return static_cast<uintptr_t>(pthread_self()); }
#endif

int HoldOffCancellation() {
  int state = 0;
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &state);
  return state;
}

void AllowCancellation(int state) { pthread_setcancelstate(state, nullptr); }

uint64_t SystemRandomBits() {
  uint64_t bits = 0;
  if (getrandom(&bits, sizeof(bits), GRND_NONBLOCK) != static_cast<ssize_t>(sizeof(bits))) bits = 0;
  return bits;
}

void* MapPages(size_t bytes) {
  void* pages = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return pages == MAP_FAILED ? nullptr : pages;
}

// Read-only private pages are charged to no commit limit, and read as the
// system's one zero page until written; a part made writable is charged
// then, so that a commit fails where memory cannot be had.
void* ReserveZeroPages(size_t bytes) {
  void* pages = mmap(nullptr, bytes, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return pages == MAP_FAILED ? nullptr : pages;
}

bool CommitPages(void* pages, size_t bytes) { return mprotect(pages, bytes, PROT_READ | PROT_WRITE) == 0; }

void UnmapPages(void* pages, size_t bytes) {
  if (munmap(pages, bytes) != 0) posix_impl::Fatal("munmap", errno);
}

void CheckFailed(const char* condition, const char* file, int line) {
  char text[256];
  snprintf(text, sizeof(text), "check failed at %s:%d: %s", file, line, condition);
  posix_impl::Fatal(text, EINVAL);
}

}  // namespace platform
