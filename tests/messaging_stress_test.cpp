// The queue under load, natively: many threads mixing all four message
// operations, with every message accounted for exactly once and in order.
#include <gtest/gtest.h>
#include <stdio.h>

#include <atomic>
#include <memory>
#include <vector>

#include "messaging/queue.h"
#include "platform/platform.h"
#include "shell/runtime.h"
#include "support/harness.h"
#include "support/workload.h"

namespace {

class Messaging : public testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_EQ(shell::EntryPoint(shell::kProcessAttach), 1); }
  static void TearDownTestSuite() { shell::EntryPoint(shell::kProcessDetach); }
};

TEST_F(Messaging, EveryMessageIsTakenOnceAndInOrderUnderLoad) {
  const workload::MessageCalls calls = {messaging::SendThreadMessage, messaging::GetThreadMessage,
                                        messaging::SendThreadMessageAndWait, messaging::WaitThreadMessage};
  // 6 posters x 60000 posts, each taken once: over 700000 calls in all.
  const workload::Shape shape = {6, 4, 8, 60000, 97, 100};
  workload::Report report = workload::Run(calls, shape, 120000);
  EXPECT_EQ(report.taken, report.posted);
  EXPECT_EQ(report.out_of_order, 0);
  EXPECT_EQ(report.foreign, 0);
  EXPECT_EQ(report.left_over, 0);
  EXPECT_GT(report.synchronous, 100);
  EXPECT_EQ(report.released, report.synchronous);
  EXPECT_GT(report.waits, 1000) << "the blocking wait must be part of the mix";
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
        if (messaging::WaitThreadMessage(1000 + w) == i + 1) ++received;
      }
    }));
  }
  harness::Worker poster([&] {
    for (int i = 0; i < kRounds; ++i) {
      for (int w = 0; w < kWaiters; ++w) messaging::SendThreadMessage(1000 + w, i + 1);
    }
  });
  ASSERT_TRUE(poster.Join(60000));
  for (auto& w : waiters) ASSERT_TRUE(w->Join(60000)) << "a waiter slept past its message";
  EXPECT_EQ(received.load(), kWaiters * kRounds);
}

TEST_F(Messaging, TwoSynchronousSendsAreTakenInOrderEachReleasingItsSender) {
  std::atomic<int> first_done{0}, second_done{0};
  harness::Worker first([&] {
    messaging::SendThreadMessageAndWait(9, 1);
    first_done = 1;
  });
  harness::SleepMs(50);
  harness::Worker second([&] {
    messaging::SendThreadMessageAndWait(9, 2);
    second_done = 1;
  });
  harness::SleepMs(50);
  EXPECT_EQ(messaging::GetThreadMessage(9), 1);
  ASSERT_TRUE(first.Join());
  harness::SleepMs(50);
  EXPECT_EQ(second_done.load(), 0) << "the second sender waits for its own message's take";
  EXPECT_EQ(messaging::WaitThreadMessage(9), 2);
  ASSERT_TRUE(second.Join());
}

TEST_F(Messaging, AThreadThatDiesHoldingTheQueueLockDoesNotStopTheOthers) {
  harness::Worker dying([] {
    platform::Handle lock = platform::CreateMutexA(messaging::kQueueLockName, nullptr);
    platform::WaitForSingleObject(lock, INFINITE);
  });
  ASSERT_TRUE(dying.Join());
  harness::Worker user([] {
    messaging::SendThreadMessage(12, 120);
    EXPECT_EQ(messaging::GetThreadMessage(12), 120);
  });
  ASSERT_TRUE(user.Join()) << "the abandoned lock must be taken over";
}

TEST_F(Messaging, ThreadNotificationsChangeNothing) {
  messaging::SendThreadMessage(13, 130);
  EXPECT_EQ(shell::EntryPoint(shell::kThreadAttach), 1);
  EXPECT_EQ(shell::EntryPoint(shell::kThreadDetach), 1);
  EXPECT_EQ(messaging::GetThreadMessage(13), 130);
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
