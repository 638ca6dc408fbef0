// What the library does when the system refuses it memory or objects: it
// loads all the same, loses nothing already queued, never blocks for good
// on an object it could not make, and never crashes.
#include "platform/linux/fault_injection.h"

#include <gtest/gtest.h>

#include <atomic>

#include "messaging/queue.h"
#include "resources/resources.h"
#include "shell/runtime.h"
#include "support/harness.h"

namespace {

using platform::faults::Point;
using platform::faults::SetFailing;

struct Failing {
  explicit Failing(Point p) : point(p) { SetFailing(point, true); }
  ~Failing() { SetFailing(point, false); }
  Point point;
};

// Each test starts from a fresh load, so no spare records are at hand.
class Faults : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(shell::EntryPoint(shell::kProcessAttach), 1); }
  void TearDown() override { EXPECT_EQ(shell::EntryPoint(shell::kProcessDetach), 1); }
};

TEST(FaultsAtLoad, NoObjectsAtAllStillLoadsAndEveryCallReturnsZero) {
  {
    Failing objects(Point::kCreateObject);
    Failing heap(Point::kHeapCreate);
    ASSERT_EQ(shell::EntryPoint(shell::kProcessAttach), 1);
  }
  harness::Worker calls([] {
    EXPECT_EQ(messaging::SendThreadMessage(1, 10), 0);
    EXPECT_EQ(messaging::GetThreadMessage(1), 0);
    EXPECT_EQ(messaging::SendThreadMessageAndWait(1, 11), 0);
    EXPECT_EQ(messaging::WaitThreadMessage(1), 0);
  });
  ASSERT_TRUE(calls.Join()) << "no call may block on a queue that was never made";
  EXPECT_EQ(shell::EntryPoint(shell::kThreadAttach), 1);
  EXPECT_EQ(shell::EntryPoint(shell::kProcessDetach), 1);
}

TEST(FaultsAtLoad, NoHeapGivesAnUnusableQueueButWorkingResources) {
  {
    Failing heap(Point::kHeapCreate);
    ASSERT_EQ(shell::EntryPoint(shell::kProcessAttach), 1);
  }
  EXPECT_EQ(messaging::SendThreadMessage(2, 20), 0);
  EXPECT_EQ(messaging::GetThreadMessage(2), 0);
  int32_t r = resources::AddThreadResource();
  EXPECT_NE(r, 0);
  EXPECT_EQ(resources::OpenThreadResource(r), 1);
  EXPECT_NE(resources::CloseThreadResource(r), 0);
  EXPECT_NE(resources::DeleteThreadResource(r), 0);
  EXPECT_EQ(shell::EntryPoint(shell::kProcessDetach), 1);
}

TEST_F(Faults, APostWithoutMemoryQueuesNothingAndKeepsWhatWasQueued) {
  messaging::SendThreadMessage(3, 30);
  {
    Failing memory(Point::kHeapAlloc);
    EXPECT_EQ(messaging::SendThreadMessage(3, 31), 0);
    EXPECT_EQ(messaging::SendThreadMessageAndWait(3, 32), 0) << "nothing queued, so nothing to wait for";
  }
  messaging::SendThreadMessage(3, 33);
  EXPECT_EQ(messaging::GetThreadMessage(3), 30);
  EXPECT_EQ(messaging::GetThreadMessage(3), 33);
  EXPECT_EQ(messaging::GetThreadMessage(3), 0);
}

TEST_F(Faults, RecordsOfTakenMessagesServeWhileTheHeapIsExhausted) {
  for (int i = 1; i <= 10; ++i) messaging::SendThreadMessage(4, i);
  for (int i = 1; i <= 10; ++i) ASSERT_EQ(messaging::GetThreadMessage(4), i);
  Failing memory(Point::kHeapAlloc);
  for (int i = 1; i <= 20; ++i) messaging::SendThreadMessage(4, 100 + i);
  int taken = 0;
  for (int32_t v = messaging::GetThreadMessage(4), expected = 101; v != 0; v = messaging::GetThreadMessage(4)) {
    EXPECT_EQ(v, expected++) << "whatever was queued comes back in order";
    ++taken;
  }
  EXPECT_EQ(taken, 10) << "the ten spare records, and no more";
}

TEST_F(Faults, WithoutAReplyEventASynchronousSendQueuesAPlainMessage) {
  {
    Failing objects(Point::kCreateObject);
    harness::Worker sender([] { EXPECT_EQ(messaging::SendThreadMessageAndWait(5, 50), 0); });
    ASSERT_TRUE(sender.Join()) << "the sender cannot wait on an event it could not make";
  }
  EXPECT_EQ(messaging::GetThreadMessage(5), 50);
}

TEST_F(Faults, AWaiterThatCannotMakeItsWakeEventReturnsZeroInsteadOfSleeping) {
  messaging::SendThreadMessage(6, 60);
  Failing objects(Point::kCreateObject);
  harness::Worker waiter([] {
    EXPECT_EQ(messaging::WaitThreadMessage(6), 60) << "a queued message needs no event";
    EXPECT_EQ(messaging::WaitThreadMessage(6), 0);
  });
  ASSERT_TRUE(waiter.Join());
}

TEST_F(Faults, ResourcesReportFailureWhenNoMutexCanBeMade) {
  Failing objects(Point::kCreateObject);
  EXPECT_EQ(resources::AddThreadResource(), 0);
  EXPECT_EQ(resources::OpenThreadResource(0), 0);
  EXPECT_EQ(resources::CloseThreadResource(0), 0);
  EXPECT_EQ(resources::DeleteThreadResource(0), 0);
}

}  // namespace
