// What only the Linux layer must get right: handle reuse, and signals
// during waits.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <vector>

#include "platform/platform.h"
#include "resources/resources.h"
#include "shell/runtime.h"
#include "support/harness.h"

namespace {

using platform::WaitResult;

const bool started = shell::EntryPoint(shell::kProcessAttach) == 1;

TEST(Handles, AStaleHandleNeverReachesTheObjectInItsReusedSlot) {
  // More creates and closes than the reuse delay, so slots come round again;
  // a handle's low 20 bits are its slot.
  platform::Handle stale = resources::MutexCreate();
  ASSERT_TRUE(resources::MutexClose(stale));
  bool slot_reused = false;
  for (int i = 0; i < 40000; ++i) {
    platform::Handle fresh = resources::MutexCreate();
    ASSERT_TRUE(fresh != stale);
    slot_reused |= (static_cast<uintptr_t>(fresh) & 0xFFFFF) == (static_cast<uintptr_t>(stale) & 0xFFFFF);
    ASSERT_EQ(resources::MutexTake(stale, 0), WaitResult::kFailed);
    ASSERT_FALSE(resources::MutexClose(stale));
    ASSERT_TRUE(resources::MutexClose(fresh));
  }
  EXPECT_TRUE(slot_reused);
}

void IgnoreSignal(int /*signal*/) {}

TEST(Waits, ASignalDoesNotCutATimedWaitShort) {
  struct sigaction action = {};
  action.sa_handler = IgnoreSignal;
  sigaction(SIGUSR1, &action, nullptr);
  platform::Handle mutex = resources::MutexCreate();
  std::atomic<bool> held{false};
  std::atomic<bool> done{false};
  harness::Worker holder([&] {
    ASSERT_EQ(resources::MutexTake(mutex, 0), WaitResult::kObtained);
    held = true;
    ASSERT_TRUE(harness::WaitUntil([&] { return done.load(); }));
    EXPECT_TRUE(resources::MutexGiveBack(mutex));
  });
  ASSERT_TRUE(harness::WaitUntil([&] { return held.load(); }));
  pthread_t waiter_thread = pthread_self();
  std::atomic<bool> waited{false};
  harness::Worker interrupter([&] {
    for (int i = 0; i < 10 && !waited; ++i) {
      harness::SleepMs(15);
      pthread_kill(waiter_thread, SIGUSR1);
    }
  });
  int64_t start = harness::NowMs();
  EXPECT_EQ(resources::MutexTake(mutex, 120), WaitResult::kTimedOut);
  EXPECT_GE(harness::NowMs() - start, 115);
  waited = true;
  done = true;
  ASSERT_TRUE(interrupter.Join());
  ASSERT_TRUE(holder.Join());
  EXPECT_TRUE(resources::MutexClose(mutex));
}

}  // namespace

namespace {

// A thread's record never needs a slot of the resource table: with every
// resource handle in use, a thread new to the layer still gets its parker
// and takes a resource that is free.
TEST(Handles, AThreadNewToTheLayerWorksWithTheResourceTableFull) {
  std::vector<platform::Handle> open;
  for (;;) {
    platform::Handle h = resources::MutexCreate();
    if (h == platform::Handle::kNone) break;
    open.push_back(h);
  }
  ASSERT_GT(open.size(), 1000000u) << "the table ends about a million slots in";
  std::atomic<int> result{-1};
  harness::Worker newcomer([&] {
    platform::Parker* parker = platform::ParkerOfThisThread();
    if (parker == nullptr) return void(result = 1);
    platform::Unpark(parker);
    platform::Park(parker);
    if (resources::MutexTake(open.front(), 0) != WaitResult::kObtained) return void(result = 2);
    result = resources::MutexGiveBack(open.front()) ? 0 : 3;
  });
  ASSERT_TRUE(newcomer.Join());
  EXPECT_EQ(result.load(), 0) << "1: no parker, 2: no take, 3: no give-back";
  for (platform::Handle h : open) ASSERT_TRUE(resources::MutexClose(h));
}

}  // namespace
