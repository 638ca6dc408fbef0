// The Linux library under hosts that push it, loaded from its file and driven
// through its exports only: a pool of workers each waiting on its own key, a
// process that exits while its threads are inside the library, and fork()
// while other threads are inside it.
#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/harness.h"
#include "support/library.h"

namespace {

using harness::Worker;

const library::Api& Q() { return library::api(); }

class Host : public testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(library::Load(harness::FirstArgument())) << harness::FirstArgument(); }
  static void TearDownTestSuite() { library::Unload(); }
};

TEST_F(Host, EveryJobOfAWorkerPoolIsTakenOnceAndInOrderByItsWorker) {
  constexpr int kWorkers = 16;
  constexpr int32_t kJobs = 200000, kFirstKey = 7000, kStop = -1;
  // Some jobs go synchronously: the dispatcher must be released by the
  // worker the job was handed to.
  constexpr int32_t kSynchronousEvery = 97;
  std::atomic<long> taken{0}, out_of_order{0};
  std::vector<std::unique_ptr<Worker>> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.push_back(std::make_unique<Worker>([&, w] {
      int32_t expected = w + 1;  // jobs are numbered from 1, dealt round-robin
      for (int32_t job; (job = Q().WaitThreadMessage(kFirstKey + w)) != kStop; expected = job + kWorkers) {
        if (job != expected) ++out_of_order;
        ++taken;
      }
    }));
  }
  Worker dispatcher([&] {
    for (int32_t job = 1; job <= kJobs; ++job) {
      const int32_t key = kFirstKey + (job - 1) % kWorkers;
      if (job % kSynchronousEvery == 0) {
        Q().SendThreadMessageAndWait(key, job);
      } else {
        Q().SendThreadMessage(key, job);
      }
    }
    for (int w = 0; w < kWorkers; ++w) Q().SendThreadMessage(kFirstKey + w, kStop);
  });
  ASSERT_TRUE(dispatcher.Join(240000));
  for (auto& worker : workers) ASSERT_TRUE(worker->Join()) << "a worker slept past its stop";
  EXPECT_EQ(taken.load(), kJobs);
  EXPECT_EQ(out_of_order.load(), 0) << "jobs lost, repeated or reordered";
  for (int w = 0; w < kWorkers; ++w) EXPECT_EQ(Q().GetThreadMessage(kFirstKey + w), 0);
}

constexpr int kExitCode = 42;
constexpr int32_t kBacklogKey = 1, kBusyKey = 2, kWaitKey = 3, kSyncKey = 4;
// Static: the threads outlive the scenario.
std::atomic<long> calls[5];
int32_t busy_resource;

void BusyInTheLibrary(int kind) {
  const library::Api& q = library::api();
  for (int32_t i = 1;; ++i, ++calls[kind]) {
    switch (kind) {
      case 0:
        q.SendThreadMessage(kBusyKey, i);
        q.SendThreadMessageAndWait(kWaitKey, i);  // the waiter paces the posts
        break;
      case 1:
        q.GetThreadMessage(i % 2 == 0 ? kBusyKey : kSyncKey);
        break;
      case 2:
        q.WaitThreadMessage(kWaitKey);
        break;
      case 3:
        q.SendThreadMessageAndWait(kSyncKey, i);
        break;
      default:
        q.OpenThreadResource(busy_resource);
        q.CloseThreadResource(busy_resource);
    }
  }
}

// Child: threads busy in every kind of call, behind a long queue, when the
// process leaves main (or calls exit): the library's unload at exit must not
// pull anything from under them.
HARNESS_CHILD_SCENARIO(ExitWithThreadsInside) {
  const bool call_exit = argument.back() == 'x';
  if (!library::Load(argument.substr(0, argument.size() - 2))) return 2;
  for (int32_t i = 1; i <= 5000; ++i) library::api().SendThreadMessage(kBacklogKey, i);
  busy_resource = library::api().AddThreadResource();
  for (int kind = 0; kind < 5; ++kind) std::thread(BusyInTheLibrary, kind).detach();
  for (auto& count : calls) {
    // Well within the parent's deadline, so that a hang tells an exit that never ends.
    if (!harness::WaitUntil([&] { return count > 10; }, harness::kHangMilliseconds / 2)) return 3;
  }
  if (call_exit) exit(kExitCode);
  return kExitCode;
}

// A sanitizer's report from a thread still running at exit can lose the race
// to the exit code: the children write their reports to files in `dir`.
void SendSanitizerReportsTo(const std::string& dir) {
  for (const char* variable : {"ASAN_OPTIONS", "TSAN_OPTIONS", "UBSAN_OPTIONS"}) {
    const char* options = getenv(variable);
    std::string more = std::string(options == nullptr ? "" : options) + ":log_path=" + dir + "/report";
    // At an exit with threads still running, what they use is not freed on
    // purpose: that is no leak.
    if (strcmp(variable, "ASAN_OPTIONS") == 0) more += ":detect_leaks=0";
    // Nor need ThreadSanitizer wait a second at exit for them to end.
    if (strcmp(variable, "TSAN_OPTIONS") == 0) more += ":atexit_sleep_ms=0";
    setenv(variable, more.c_str(), 1);
  }
}

// Removes the reports in `dir`; the start of the first, or "" if none.
std::string TakeReports(const std::string& dir) {
  DIR* listing = opendir(dir.c_str());
  std::string first;
  for (dirent* entry; listing != nullptr && (entry = readdir(listing)) != nullptr;) {
    if (entry->d_name[0] == '.') continue;
    const std::string path = dir + "/" + entry->d_name;
    std::ifstream file(path);
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (first.empty()) first = text.substr(0, 3000) + "\n";
    unlink(path.c_str());
  }
  if (listing != nullptr) closedir(listing);
  return first;
}

TEST(Exit, LeavingMainWithThreadsInsideTheLibraryEndsCleanly) {
  char dir[] = "/tmp/quenthaloy-exit-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  SendSanitizerReportsTo(dir);
  for (int i = 0; i < 200; ++i) {
    auto child = harness::SpawnSelf("ExitWithThreadsInside", harness::FirstArgument() + (i % 2 ? "|x" : "|r"));
    ASSERT_TRUE(child);
    int code = harness::WaitChild(child.get());
    const char* how = code == -1 ? ": the exit hung" : code > 128 ? ": killed by a signal" : "";
    EXPECT_EQ(code, kExitCode) << "child " << i << how;
    std::string report = TakeReports(dir);
    EXPECT_TRUE(report.empty()) << "child " << i << " had a sanitizer report:\n" << report;
    if (code != kExitCode || !report.empty()) break;
  }
  TakeReports(dir);
  rmdir(dir);
}

// What a child forked mid-work must find, each with its own exit code.
constexpr int32_t kParentKey = 9001, kSenderKey = 9002, kChurnKey = 9003, kChildKey = 9004;

int CheckForkedChild(int32_t own, int32_t other) {
  alarm(10);                                             // a hang on a lock inherited held ends the child by SIGALRM
  if (Q().GetThreadMessage(kParentKey) != 0) return 10;  // messages stay with their process
  if (Q().GetThreadMessage(kSenderKey) != 0) return 11;
  Q().SendThreadMessage(kChildKey, 5);
  if (Q().GetThreadMessage(kChildKey) != 5) return 12;
  if (Q().OpenThreadResourceWithin(other, 1000) != 0) return 13;  // its holder is not here: abandoned
  if (Q().CloseThreadResource(other) == 0) return 14;             // and now ours
  if (Q().CloseThreadResource(own) == 0) return 15;               // still the forking thread's
  return 0;
}

TEST_F(Host, AForkedChildGetsAnEmptyQueueAndNoLockHeldByAThreadItLacks) {
  const int32_t own = Q().AddThreadResource(), other = Q().AddThreadResource();
  ASSERT_NE(own, 0);
  ASSERT_NE(other, 0);
  std::atomic<bool> holding{false}, stop{false};
  Worker churner([&] {
    if (Q().OpenThreadResource(other) != 1) return;
    holding = true;
    for (int32_t i = 1; !stop; ++i) {
      Q().SendThreadMessage(kChurnKey, i);
      Q().GetThreadMessage(kChurnKey);
    }
    Q().CloseThreadResource(other);
  });
  Worker sender([&] { Q().SendThreadMessageAndWait(kSenderKey, 99); });
  ASSERT_TRUE(harness::WaitUntil([&] { return holding.load(); }));
  ASSERT_EQ(Q().OpenThreadResource(own), 1);
  for (int32_t i = 1; i <= 3; ++i) Q().SendThreadMessage(kParentKey, i);
  // No ASSERT until both helpers are released: a failed round stops the forks.
  for (int round = 0; round < 100; ++round) {
    auto child = harness::ForkRunning([&] { return CheckForkedChild(own, other); });
    int code = child ? harness::WaitChild(child.get()) : -2;
    EXPECT_EQ(code, 0) << "round " << round << "; 142 is a hang (SIGALRM), 10-15 a check in CheckForkedChild";
    if (code != 0) break;
  }
  EXPECT_FALSE(sender.Finished()) << "a child released the parent's synchronous sender";
  EXPECT_TRUE(harness::WaitUntil([&] { return Q().GetThreadMessage(kSenderKey) == 99; }));
  ASSERT_TRUE(sender.Join());
  stop = true;
  ASSERT_TRUE(churner.Join());
  EXPECT_EQ(Q().GetThreadMessage(kParentKey), 1) << "the parent keeps what it queued";
  EXPECT_NE(Q().CloseThreadResource(own), 0);
  Q().DeleteThreadResource(own);
  Q().DeleteThreadResource(other);
}

// Child: its first thread alone calls the library, posting and taking in a
// tight loop, while a thread that never called it forks again and again
// (the fork takes the queue's locks) and a third keeps the processors busy,
// so that the first is often preempted inside a section of its own. The
// fork must wait for that section to end, as a second caller does: taking
// a word the first thread holds by a plain store would leave its count of
// sections wrong, and a newcomer's first call would then wait for ever.
HARNESS_CHILD_SCENARIO(ForkByAThreadThatNeverCalled) {
  constexpr int kForks = 200;
  constexpr int32_t kKey = 9101;
  if (!library::Load(argument)) return 2;
  const library::Api& q = library::api();
  std::atomic<bool> forks_done{false};
  Worker hog([&] {
    while (!forks_done) {
    }
  });
  Worker forker([&] {
    for (int i = 0; i < kForks; ++i) {
      const pid_t pid = fork();
      if (pid == 0) _exit(0);
      if (pid > 0) waitpid(pid, nullptr, 0);
    }
    forks_done = true;
  });
  for (int32_t i = 1; !forks_done; i = i % 1000000 + 1) {
    if (q.SendThreadMessage(kKey, i) != 0) return 3;
    if (q.GetThreadMessage(kKey) != i) return 4;
  }
  if (!forker.Join() || !hog.Join()) return 5;
  std::atomic<bool> arrived{false};
  Worker newcomer([&] { arrived = q.SendThreadMessage(kKey, 7) == 0 && q.GetThreadMessage(kKey) == 7; });
  if (!newcomer.Join()) return 6;
  return arrived ? 0 : 7;
}

TEST(Fork, AForkByAThreadThatNeverCalledWaitsForTheOnlyCallersSection) {
  auto child = harness::SpawnSelf("ForkByAThreadThatNeverCalled", harness::FirstArgument());
  ASSERT_TRUE(child);
  EXPECT_EQ(harness::WaitChild(child.get()), 0) << "3, 4: a message lost or wrong; 6 or -1: a call that never returned";
}

}  // namespace
