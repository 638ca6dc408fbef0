// Loading and unloading the Linux library again and again, with messages and
// a blocked synchronous sender's record still queued at each unload: run
// under valgrind (or a sanitizer), nothing may leak and nothing may be
// touched after it was freed.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "support/harness.h"
#include "support/library.h"

namespace {

// A thread that sets this is held up in every mutex lock it takes from then
// on, the library's included: as if preempted there.
thread_local bool held_up_in_locks = false;

}  // namespace

extern "C" int pthread_mutex_lock(pthread_mutex_t* mutex) {
  using Lock = int (*)(pthread_mutex_t*);
  static std::atomic<Lock> next{nullptr};
  Lock lock = next.load(std::memory_order_acquire);
  if (lock == nullptr) {
    lock = reinterpret_cast<Lock>(dlsym(RTLD_NEXT, "pthread_mutex_lock"));
    next.store(lock, std::memory_order_release);
  }
  if (held_up_in_locks) usleep(20000);
  return lock(mutex);
}

namespace {

// Whether thread `tid` of this process sleeps in a futex wait, read from
// /proc: the sender is then inside its wait, with its message queued.
std::string ReadTaskFile(pid_t tid, const char* name) {
  std::string path = "/proc/self/task/" + std::to_string(tid) + "/" + name;
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return "";
  char text[64] = {};
  ssize_t n = read(fd, text, sizeof(text) - 1);
  close(fd);
  return n > 0 ? std::string(text, static_cast<size_t>(n)) : "";
}

// The kernel's word on where the thread sleeps; its system call number
// where the kernel hides that. (Under an emulator the number is the host's,
// but the sleep is still the kernel's futex wait.)
bool AsleepInFutexWait(pid_t tid) {
  const std::string where = ReadTaskFile(tid, "wchan");
  if (!where.empty() && where != "0") return where.find("futex") != std::string::npos;
  const std::string call = ReadTaskFile(tid, "syscall");
  return std::to_string(SYS_futex) == call.substr(0, strcspn(call.c_str(), " "));
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

// A thread that made its last call, said so and returned is still ending
// inside the library for a while; the host cannot see that, and unloads.
TEST(Unload, WaitsForAThreadStillEndingInsideTheLibrary) {
  ASSERT_TRUE(library::Load(harness::FirstArgument()));
  const library::Api& q = library::api();
  const int32_t resource = q.AddThreadResource();
  ASSERT_NE(resource, 0);
  std::atomic<bool> done{false};
  std::thread([&q, &done, resource] {
    q.OpenThreadResource(resource);
    q.CloseThreadResource(resource);
    done = true;
    held_up_in_locks = true;
  }).detach();
  ASSERT_TRUE(harness::WaitUntil([&] { return done.load(); }));
  harness::SleepMs(5);  // lets it reach its end, though it need not have
  library::Unload();
  harness::SleepMs(100);  // and finish it, if the unload did not wait
}

}  // namespace
