// The queue under load, natively: many threads mixing all four message
// operations, with every message accounted for exactly once and in order.
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <stddef.h>
#include <stdio.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <vector>

#include "messaging/queue.h"
#include "platform/platform.h"
#include "shell/runtime.h"
#include "support/harness.h"
#include "support/queue_calls.h"
#include "support/workload.h"

namespace {

using queue_calls::Get;
using queue_calls::Send;
using queue_calls::SendAndWait;
using queue_calls::Wait;

class Messaging : public testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_EQ(shell::EntryPoint(shell::kProcessAttach), 1); }
  static void TearDownTestSuite() { shell::EntryPoint(shell::kProcessDetach); }
};

TEST_F(Messaging, EveryMessageIsTakenOnceAndInOrderUnderLoad) {
  const workload::MessageCalls calls = {Send, Get, SendAndWait, Wait};
  // 6 posters x 60000 posts, each taken once: over 700000 calls in all.
  const workload::Shape shape = {6, 4, 8, 60000, 97, 100};
  workload::Report report = workload::Run(calls, shape, 120000);
  workload::ExpectNothingLost(report, 100, 1000);
  printf("workload: %ld posts (%ld synchronous), %ld taken by a blocking wait\n", report.posted, report.synchronous,
         report.waits);
}

TEST_F(Messaging, WaitersNeverSleepPastTheirOwnMessage) {
  // Several waiters on distinct recipients; posts to each in turn. A lost
  // wake-up leaves a waiter asleep with its message queued: a hang.
  constexpr int kWaiters = 6;
  constexpr int kRounds = 3000;
  std::atomic<long> received{0};
  std::vector<std::unique_ptr<harness::Worker>> waiters;
  for (int w = 0; w < kWaiters; ++w) {
    waiters.push_back(std::make_unique<harness::Worker>([&, w] {
      for (int i = 0; i < kRounds; ++i) {
        if (Wait(1000 + w) == i + 1) ++received;
      }
    }));
  }
  harness::Worker poster([&] {
    for (int i = 0; i < kRounds; ++i) {
      for (int w = 0; w < kWaiters; ++w) Send(1000 + w, i + 1);
    }
  });
  ASSERT_TRUE(poster.Join(60000));
  for (auto& w : waiters) ASSERT_TRUE(w->Join(60000)) << "a waiter slept past its message";
  EXPECT_EQ(received.load(), kWaiters * kRounds);
}

// Many keys over every shard, coming and going from the index while posts
// find them: posters post to keys spread wide, takers sweep their share with
// GetThreadMessage, and a waiter per poster takes synchronous sends on a key
// of its own. Every message is taken once, in its poster's order per key.
TEST_F(Messaging, ManyKeysAndManyThreadsLoseAndReorderNothing) {
  constexpr int kPosters = 4, kTakers = 4, kKeys = 4096, kPosts = 20000, kSynchronousEvery = 50;
  constexpr int32_t kFirstKey = 50000, kFirstWaiterKey = 40000;
  // Per poster and key, the last sequence number taken: a value carries both.
  std::vector<std::atomic<int32_t>> last(kPosters * kKeys);
  for (auto& l : last) l = 0;
  std::atomic<long> taken{0}, disorder{0};
  auto key_of = [](int poster, int i) { return (i * 2654435761u + poster * 40503u) % kKeys; };
  auto note = [&](int32_t value, int32_t key) {
    const int poster = value >> 24, sequence = value & 0xFFFFFF;
    std::atomic<int32_t>& l = last[poster * kKeys + (key - kFirstKey)];
    if (sequence <= l.load()) ++disorder;
    l = sequence;
    ++taken;
  };
  std::atomic<int> posters_done{0};
  std::vector<std::unique_ptr<harness::Worker>> threads;
  for (int p = 0; p < kPosters; ++p) {
    threads.push_back(std::make_unique<harness::Worker>([&, p] {
      for (int i = 1; i <= kPosts; ++i) {
        const auto key = static_cast<int32_t>(kFirstKey + key_of(p, i));
        ASSERT_EQ(Send(key, (p << 24) | i), 0);
        if (i % kSynchronousEvery == 0) {
          ASSERT_EQ(SendAndWait(kFirstWaiterKey + p, i), 0);
        }
      }
      ++posters_done;
    }));
    threads.push_back(std::make_unique<harness::Worker>([&, p] {
      for (int i = kSynchronousEvery; i <= kPosts; i += kSynchronousEvery) {
        if (Wait(kFirstWaiterKey + p) != i) ++disorder;
      }
    }));
  }
  for (int t = 0; t < kTakers; ++t) {
    threads.push_back(std::make_unique<harness::Worker>([&, t] {
      for (bool last_sweep = false;;) {
        const bool finished = posters_done.load() == kPosters;
        for (int32_t k = t; k < kKeys; k += kTakers) {
          for (int32_t v = Get(kFirstKey + k); v != 0; v = Get(kFirstKey + k)) note(v, kFirstKey + k);
        }
        if (last_sweep) break;
        last_sweep = finished;
      }
    }));
  }
  for (auto& thread : threads) ASSERT_TRUE(thread->Join(120000));
  EXPECT_EQ(taken.load(), static_cast<long>(kPosters) * kPosts);
  EXPECT_EQ(disorder.load(), 0) << "a message taken twice, out of order, or by the wrong waiter";
}

TEST_F(Messaging, TwoSynchronousSendsAreTakenInOrderEachReleasingItsSender) {
  std::atomic<int> first_done{0}, second_done{0};
  harness::Worker first([&] {
    SendAndWait(9, 1);
    first_done = 1;
  });
  harness::SleepMs(50);
  harness::Worker second([&] {
    SendAndWait(9, 2);
    second_done = 1;
  });
  harness::SleepMs(50);
  EXPECT_EQ(Get(9), 1);
  ASSERT_TRUE(first.Join());
  harness::SleepMs(50);
  EXPECT_EQ(second_done.load(), 0) << "the second sender waits for its own message's take";
  EXPECT_EQ(Wait(9), 2);
  ASSERT_TRUE(second.Join());
}

TEST_F(Messaging, ThreadNotificationsChangeNothing) {
  Send(13, 130);
  EXPECT_EQ(shell::EntryPoint(shell::kThreadAttach), 1);
  EXPECT_EQ(shell::EntryPoint(shell::kThreadDetach), 1);
  EXPECT_EQ(Get(13), 130);
}

// Counts every system call the process makes from here on, by trapping each
// one with a seccomp filter (only exit_group and the signal return pass).
volatile sig_atomic_t system_calls = 0;

void CountSystemCall(int /*signal*/) { system_calls = system_calls + 1; }

bool TrapEverySystemCall() {
  struct sigaction action = {};
  action.sa_handler = CountSystemCall;
  if (sigaction(SIGSYS, &action, nullptr) != 0) return false;
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_exit_group, 2, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_rt_sigreturn, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRAP),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program = {static_cast<unsigned short>(sizeof(filter) / sizeof(filter[0])), filter};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

void PostAndTakeRounds() {
  for (int round = 0; round < 20; ++round) {
    for (int i = 1; i <= 500; ++i) Send(i % 7, i);
    for (int i = 1; i <= 500; ++i) Get(i % 7);
    Get(99);  // a take that finds nothing
  }
}

HARNESS_CHILD_SCENARIO(PostsAndTakesWithSystemCallsTrapped) {
  (void)argument;
  if (shell::EntryPoint(shell::kProcessAttach) != 1) return 20;
  PostAndTakeRounds();  // the heap has grown to what the rounds need
  if (!TrapEverySystemCall()) return 21;
  PostAndTakeRounds();
  // Only exit_group may run now: the count travels in the exit code.
  _exit(system_calls == 0 ? 0 : 10 + (system_calls > 100 ? 100 : system_calls));
}

TEST(SystemCalls, PostsAndTakesMakeNoneWhileNobodyWaits) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers' own bookkeeping makes system calls";
#endif
  auto child = harness::SpawnSelf("PostsAndTakesWithSystemCallsTrapped", "");
  ASSERT_TRUE(child);
  int code = harness::WaitChild(child.get());
  EXPECT_NE(code, 21) << "seccomp is not available here";
  EXPECT_EQ(code, 0) << "system calls made: " << code - 10;
}

TEST(Random, DrawsCoverTheRangeEvenly) {
  shell::SeedRandom(12345);
  constexpr uint32_t kHighest = 55000;
  std::vector<int> buckets(11, 0);
  for (int i = 0; i < 110000; ++i) {
    uint32_t x = shell::DrawRandom(kHighest);
    ASSERT_LE(x, kHighest);
    ++buckets[x / 5001];
  }
  for (int count : buckets) {
    EXPECT_GT(count, 9000);
    EXPECT_LT(count, 11000);
  }
}

}  // namespace
