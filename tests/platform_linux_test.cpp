// What only the Linux layer must get right: handle reuse, and signals
// during waits.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>

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
  // a handle's low 20 bits are its slot, mixed with a number of the load's.
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

// A thread cancelled asynchronously while it sleeps on a resource, and the
// resource deleted: its slot is reused like any other (the low 20 bits of a
// handle tell its slot, as above).
void* TakeCancellably(void* mutex) {
  pthread_setcanceltype(PTHREAD_CANCEL_ASYNCHRONOUS, nullptr);
  static_cast<void>(resources::MutexTake(*static_cast<platform::Handle*>(mutex), platform::kWaitForever));
  return nullptr;
}

TEST(Handles, TheSlotOfAResourceWhoseTakerWasCancelledComesBack) {
#if defined(__SANITIZE_ADDRESS__)
  // The cancellation jumps past the library's frames (they have no unwind
  // tables) without the sanitizer's knowing, which then finds their stack
  // still poisoned as the thread ends.
  GTEST_SKIP() << "AddressSanitizer does not follow a cancellation's jump out of a wait";
#endif
  platform::Handle mutex = resources::MutexCreate();
  ASSERT_EQ(resources::MutexTake(mutex, 0), WaitResult::kObtained);
  pthread_t taker;
  ASSERT_EQ(pthread_create(&taker, nullptr, TakeCancellably, &mutex), 0);
  harness::SleepMs(100);  // lets it reach its sleep, though it need not have
  ASSERT_EQ(pthread_cancel(taker), 0);
  timespec deadline{};
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_sec += harness::kHangMilliseconds / 1000;
  ASSERT_EQ(pthread_timedjoin_np(taker, nullptr, &deadline), 0);
  ASSERT_TRUE(resources::MutexClose(mutex));
  bool slot_reused = false;
  for (int i = 0; i < 40000 && !slot_reused; ++i) {
    platform::Handle fresh = resources::MutexCreate();
    slot_reused = (static_cast<uintptr_t>(fresh) & 0xFFFFF) == (static_cast<uintptr_t>(mutex) & 0xFFFFF);
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
