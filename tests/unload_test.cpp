// Loading and unloading the Linux library again and again, with messages and
// a blocked synchronous sender's record still queued at each unload: run
// under valgrind (or a sanitizer), nothing may leak and nothing may be
// touched after it was freed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "support/harness.h"
#include "support/library.h"

namespace {

// Whether thread `tid` of this process sleeps in a futex wait, read from
// /proc: the sender is then inside its wait, with its message queued.
bool AsleepInFutexWait(pid_t tid) {
  std::string path = "/proc/self/task/" + std::to_string(tid) + "/syscall";
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return false;
  char text[32] = {};
  ssize_t n = read(fd, text, sizeof(text) - 1);
  close(fd);
  return n > 0 && std::to_string(SYS_futex) == std::string(text, strcspn(text, " "));
}

TEST(Unload, QueuedMessagesAndAWaitingSenderAreReleasedAtEveryUnload) {
  for (int round = 0; round < 5; ++round) {
    ASSERT_TRUE(library::Load(harness::FirstArgument()));
    const library::Api& q = library::api();
    for (int i = 1; i <= 100; ++i) q.SendThreadMessage(i % 7, i);
    for (int i = 1; i <= 30; ++i) q.GetThreadMessage(i % 7);
    // Nobody takes this sender's message: it is still asleep in the library
    // when the library goes, and stays so until the process ends.
    std::atomic<pid_t> sender_tid{0};
    std::thread([&sender_tid, send = q.SendThreadMessageAndWait] {
      sender_tid = static_cast<pid_t>(syscall(SYS_gettid));
      send(99, 1);
    }).detach();
    ASSERT_TRUE(harness::WaitUntil([&] { return sender_tid != 0 && AsleepInFutexWait(sender_tid); }));
    library::Unload();
  }
}

}  // namespace
