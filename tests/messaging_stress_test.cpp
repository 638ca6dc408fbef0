// The queue under load, natively: many threads mixing all four message
// operations, with every message accounted for exactly once and in order.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <vector>

#include "messaging/queue.h"
#include "platform/platform.h"
#include "shell/runtime.h"
#include "support/harness.h"

namespace {

class Messaging : public testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_EQ(shell::EntryPoint(shell::kProcessAttach), 1); }
  static void TearDownTestSuite() { shell::EntryPoint(shell::kProcessDetach); }
};

constexpr int kPosters = 6;
constexpr int kTakers = 4;
constexpr int kRecipientsPerTaker = 8;
constexpr int kRecipients = kTakers * kRecipientsPerTaker;
constexpr int kPerPoster = 60000;
constexpr int kSynchronousEvery = 97;  // every 97th post waits for its take

int32_t Encode(int poster, int sequence) { return (poster << 24) | (sequence + 1); }

TEST_F(Messaging, EveryMessageIsTakenOnceAndInOrderUnderLoad) {
  // last[poster][recipient]: the highest sequence taken so far.
  std::vector<std::atomic<int>> last(kPosters * kRecipients);
  for (auto& l : last) l = -1;
  std::atomic<long> taken{0}, out_of_order{0}, foreign{0}, released_senders{0};
  std::vector<std::unique_ptr<harness::Worker>> workers;
  for (int p = 0; p < kPosters; ++p) {
    workers.push_back(std::make_unique<harness::Worker>([&, p] {
      for (int s = 0; s < kPerPoster; ++s) {
        int recipient = (s * 7 + p) % kRecipients;
        // Synchronous sends go only to taker 0, which never blocks: a sender
        // waiting on a taker asleep for this very sender's next post would
        // deadlock, as the library documents.
        if (s % kSynchronousEvery == 0 && recipient % kTakers == 0) {
          messaging::SendThreadMessageAndWait(recipient, Encode(p, s));
          ++released_senders;
        } else {
          messaging::SendThreadMessage(recipient, Encode(p, s));
        }
      }
    }));
  }
  // Each taker serves its own recipients and knows how many messages they get.
  for (int t = 0; t < kTakers; ++t) {
    workers.push_back(std::make_unique<harness::Worker>([&, t] {
      long expected = 0;
      std::vector<long> outstanding(kRecipients, 0);
      for (int p = 0; p < kPosters; ++p) {
        for (int s = 0; s < kPerPoster; ++s) {
          int recipient = (s * 7 + p) % kRecipients;
          if (recipient % kTakers == t) ++expected, ++outstanding[recipient];
        }
      }
      for (long got = 0, round = 0; got < expected; ++round) {
        int recipient = static_cast<int>((round % kRecipientsPerTaker) * kTakers + t);
        // Alternate: a non-blocking sweep, then a blocking wait where the
        // sweep found nothing but messages are still due.
        int32_t value = messaging::GetThreadMessage(recipient);
        if (value == 0 && round % 5 == 0) {
          for (int r = 0; r < kRecipientsPerTaker && value == 0; ++r) {
            value = messaging::GetThreadMessage(r * kTakers + t);
            if (value != 0) recipient = r * kTakers + t;
          }
        }
        if (value == 0 && t != 0 && round % 3 == 0 && outstanding[recipient] > 0) {
          value = messaging::WaitThreadMessage(recipient);
        }
        if (value == 0) continue;
        --outstanding[recipient];
        int poster = value >> 24;
        int sequence = (value & 0xFFFFFF) - 1;
        if (poster < 0 || poster >= kPosters || (sequence * 7 + poster) % kRecipients != recipient) {
          ++foreign;
        } else if (last[poster * kRecipients + recipient].exchange(sequence) >= sequence) {
          ++out_of_order;
        }
        ++got;
        ++taken;
      }
    }));
  }
  for (auto& w : workers) ASSERT_TRUE(w->Join(120000)) << "a worker hung";
  EXPECT_EQ(taken.load(), static_cast<long>(kPosters) * kPerPoster);
  EXPECT_EQ(out_of_order.load(), 0);
  EXPECT_EQ(foreign.load(), 0);
  long synchronous = 0;
  for (int p = 0; p < kPosters; ++p) {
    for (int s = 0; s < kPerPoster; ++s)
      synchronous += s % kSynchronousEvery == 0 && ((s * 7 + p) % kRecipients) % kTakers == 0;
  }
  EXPECT_GT(synchronous, 100);
  EXPECT_EQ(released_senders.load(), synchronous);
  for (int r = 0; r < kRecipients; ++r) EXPECT_EQ(messaging::GetThreadMessage(r), 0) << "left over for " << r;
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
