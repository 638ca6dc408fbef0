// What the library relies on from its platform layer, run against both
// implementations: the Linux layer natively, the one over KERNEL32 under
// Wine. A difference between the two runs is a fault in the Linux layer.
#include <gtest/gtest.h>

#include <atomic>
#include <iterator>
#include <memory>
#include <vector>

#include "platform/platform.h"
#include "resources/resources.h"
#include "shell/runtime.h"
#include "support/harness.h"
#include "sync/lock_word.h"

namespace {

using harness::Worker;
using platform::Handle;
using platform::WaitResult;

const bool started = shell::EntryPoint(shell::kProcessAttach) == 1;

struct Closer {
  Handle handle;
  ~Closer() {
    if (handle != Handle::kNone) {
      EXPECT_TRUE(resources::MutexClose(handle));
    }
  }
};

// Values that are not handles in this process on either platform (Windows
// ignores the low two bits, and Wine reads 0x7FFFFFFF as the process), and
// the negative values Windows resolves to something: the pseudo-handles -1
// to -6 and the standard handles -10 to -12. All come in as the interface
// carries them, so that a 64-bit build sees them widened with their sign.
const int32_t kGarbage[] = {0, 0x3FFFFFF0, 0x7FFFFF00, 0x0FFFFF00, 0x7FFFFFFF};
const int32_t kNegative[] = {-1, -2, -3, -4, -5, -6, -10, -11, -12, INT32_MIN};

uintptr_t Printed(Handle handle) { return static_cast<uintptr_t>(handle); }

TEST(Mutex, RecursiveTakesNeedAsManyReleases) {
  Closer m{resources::MutexCreate()};
  ASSERT_NE(Printed(m.handle), 0u);
  EXPECT_EQ(resources::MutexTake(m.handle, platform::kWaitForever), WaitResult::kObtained);
  EXPECT_EQ(resources::MutexTake(m.handle, 0), WaitResult::kObtained);
  std::atomic<WaitResult> seen{WaitResult::kFailed};
  auto try_from_other_thread = [&] {
    Worker w([&] { seen = resources::MutexTake(m.handle, 0); });
    ASSERT_TRUE(w.Join());
  };
  EXPECT_TRUE(resources::MutexGiveBack(m.handle));
  try_from_other_thread();
  EXPECT_EQ(seen.load(), WaitResult::kTimedOut) << "free after one release of two takes";
  EXPECT_TRUE(resources::MutexGiveBack(m.handle));
  EXPECT_FALSE(resources::MutexGiveBack(m.handle)) << "a third release has nothing to release";
}

TEST(Mutex, ReleaseByNonOwnerFailsAndChangesNothing) {
  Closer m{resources::MutexCreate()};
  ASSERT_EQ(resources::MutexTake(m.handle, platform::kWaitForever), WaitResult::kObtained);
  std::atomic<bool> released{true};
  std::atomic<WaitResult> taken{WaitResult::kFailed};
  Worker other([&] {
    released = resources::MutexGiveBack(m.handle);
    taken = resources::MutexTake(m.handle, 0);
  });
  ASSERT_TRUE(other.Join());
  EXPECT_FALSE(released.load());
  EXPECT_EQ(taken.load(), WaitResult::kTimedOut);
  EXPECT_TRUE(resources::MutexGiveBack(m.handle));
}

TEST(Mutex, OwnerThreadEndingAbandonsItToTheNextTaker) {
  Closer m{resources::MutexCreate()};
  Worker owner([&] { ASSERT_EQ(resources::MutexTake(m.handle, platform::kWaitForever), WaitResult::kObtained); });
  ASSERT_TRUE(owner.Join());
  EXPECT_EQ(resources::MutexTake(m.handle, harness::kHangMilliseconds), WaitResult::kAbandoned);
  EXPECT_TRUE(resources::MutexGiveBack(m.handle)) << "the taker of an abandoned mutex holds it";
  EXPECT_EQ(resources::MutexTake(m.handle, 0), WaitResult::kObtained) << "abandonment is reported once";
  EXPECT_TRUE(resources::MutexGiveBack(m.handle));
}

TEST(Mutex, TimeOutsOfZeroShortAndInfinite) {
  Closer m{resources::MutexCreate()};
  std::atomic<bool> held{false};
  std::atomic<bool> let_go{false};
  Worker holder([&] {
    EXPECT_EQ(resources::MutexTake(m.handle, platform::kWaitForever), WaitResult::kObtained);
    held = true;
    harness::WaitUntil([&] { return let_go.load(); });
    harness::SleepMs(30);
    EXPECT_TRUE(resources::MutexGiveBack(m.handle));
  });
  ASSERT_TRUE(harness::WaitUntil([&] { return held.load(); }));
  int64_t start = harness::NowMs();
  EXPECT_EQ(resources::MutexTake(m.handle, 0), WaitResult::kTimedOut);
  EXPECT_EQ(resources::MutexTake(m.handle, 60), WaitResult::kTimedOut);
  EXPECT_GE(harness::NowMs() - start, 55) << "a timed wait must not end early";
  let_go = true;
  EXPECT_EQ(resources::MutexTake(m.handle, platform::kWaitForever), WaitResult::kObtained);
  EXPECT_TRUE(holder.Join());
  EXPECT_TRUE(resources::MutexGiveBack(m.handle));
}

TEST(Mutex, ClosedWhileHeldStopsAnsweringAtOnce) {
  Handle m = resources::MutexCreate();
  std::atomic<bool> held{false};
  std::atomic<bool> closed{false};
  std::atomic<bool> released_after_close{true};
  Worker holder([&] {
    ASSERT_EQ(resources::MutexTake(m, 0), WaitResult::kObtained);
    held = true;
    ASSERT_TRUE(harness::WaitUntil([&] { return closed.load(); }));
    released_after_close = resources::MutexGiveBack(m);
  });
  ASSERT_TRUE(harness::WaitUntil([&] { return held.load(); }));
  // Checked before any thread ends or starts: Windows hands a closed value
  // to the next object made anywhere in the process.
  EXPECT_TRUE(resources::MutexClose(m));
  EXPECT_FALSE(resources::MutexClose(m)) << "closed once only";
  EXPECT_EQ(resources::MutexTake(m, 0), WaitResult::kFailed);
  closed = true;
  ASSERT_TRUE(holder.Join());
  EXPECT_FALSE(released_after_close.load());
}

TEST(Handles, ClosedGarbageAndPseudoHandlesFailWithoutEffect) {
  // Checked at once, for the reason above.
  Handle m = resources::MutexCreate();
  ASSERT_TRUE(resources::MutexClose(m));
  EXPECT_EQ(resources::MutexTake(m, 0), WaitResult::kFailed);
  EXPECT_FALSE(resources::MutexGiveBack(m));
  EXPECT_FALSE(resources::MutexClose(m));
  std::vector<int32_t> bad(std::begin(kGarbage), std::end(kGarbage));
  bad.insert(bad.end(), std::begin(kNegative), std::end(kNegative));
  for (int32_t value : bad) {
    Worker attempt([value] {
      const Handle h = platform::HandleFromInterface(value);
      EXPECT_EQ(resources::MutexTake(h, 0), WaitResult::kFailed) << value;
      EXPECT_EQ(resources::MutexTake(h, platform::kWaitForever), WaitResult::kFailed) << value;
      EXPECT_FALSE(resources::MutexGiveBack(h)) << value;
      EXPECT_FALSE(resources::MutexClose(h)) << value;
    });
    ASSERT_TRUE(attempt.Join());
  }
}

// Each round's Park must return only for that round's Unpark: one that ends
// early (a permit left over from the round before) sees an old round number.
TEST(Parker, EachUnparkReleasesExactlyOneParkOfTheSameThread) {
  const int kRounds = 300;
  platform::Parker* main_parker = platform::ParkerOfThisThread();
  ASSERT_NE(main_parker, nullptr);
  EXPECT_EQ(platform::ParkerOfThisThread(), main_parker) << "one parker per thread";
  std::atomic<platform::Parker*> worker_parker{nullptr};
  std::atomic<int> given{0};
  std::atomic<int> early{0};
  Worker worker([&] {
    platform::Parker* self = platform::ParkerOfThisThread();
    worker_parker = self;
    for (int round = 1; round <= kRounds; ++round) {
      platform::Park(self);
      if (given.load() < round) ++early;
      platform::Unpark(main_parker);
    }
  });
  ASSERT_TRUE(harness::WaitUntil([&] { return worker_parker.load() != nullptr; }));
  for (int round = 1; round <= kRounds; ++round) {
    given = round;
    platform::Unpark(worker_parker.load());
    platform::Park(main_parker);
  }
  ASSERT_TRUE(worker.Join());
  EXPECT_EQ(early.load(), 0);
}

TEST(Parker, AnUnparkGivenFirstEndsTheNextParkAtOnce) {
  Worker worker([] {
    platform::Parker* self = platform::ParkerOfThisThread();
    ASSERT_NE(self, nullptr);
    platform::Unpark(self);
    platform::Park(self);
  });
  EXPECT_TRUE(worker.Join());
}

// Two threads adding to a plain counter under `lock`/`unlock`: a lock that
// lets both in at once loses increments.
template <typename LockFn, typename UnlockFn>
long CountUnder(LockFn lock, UnlockFn unlock) {
  const int kEach = 2000;
  long counter = 0;
  auto add = [&] {
    for (int i = 0; i < kEach; ++i) {
      lock();
      counter = counter + 1;
      unlock();
    }
  };
  // Where only one helper may block at a time, this thread is the other.
  Worker a(add);
  if (harness::BlockedThreadsAllowed(2) < 2) {
    add();
  } else {
    Worker b(add);
    EXPECT_TRUE(b.Join());
  }
  EXPECT_TRUE(a.Join());
  return counter - 2 * kEach;
}

// Where there is a process-wide queue lock (Windows), it excludes.
TEST(QueueLock, KeepsAPlainCounterExactUnderContentionWhereThereIsOne) {
  if constexpr (platform::kHasQueueLock) {
    platform::QueueLock* lock = platform::QueueLockOpen();
    ASSERT_NE(lock, nullptr);
    EXPECT_EQ(CountUnder([&] { platform::QueueLockAcquire(lock); }, [&] { platform::QueueLockRelease(lock); }), 0);
    platform::QueueLockClose(lock);
  }
}

TEST(LockWord, KeepsAPlainCounterExactUnderContention) {
  synchro::LockWord word{synchro::kFree};
  EXPECT_EQ(CountUnder([&] { synchro::Take(&word); }, [&] { synchro::GiveBack(&word); }), 0);
  EXPECT_EQ(word.load(), synchro::kFree);
}

TEST(Heap, BlocksAreZeroFilledAndDestroyReleasesThem) {
  platform::Heap* heap = platform::HeapCreate();
  ASSERT_NE(heap, nullptr);
  for (int round = 0; round < 2; ++round) {
    auto* block = static_cast<unsigned char*>(platform::HeapAlloc(heap, 64));
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 64; ++i) ASSERT_EQ(block[i], 0) << "byte " << i;
    for (int i = 0; i < 64; ++i) block[i] = 0xAB;
    EXPECT_TRUE(platform::HeapFree(heap, block));
  }
  for (int i = 0; i < 100; ++i) ASSERT_NE(platform::HeapAlloc(heap, 24), nullptr);
  EXPECT_TRUE(platform::HeapDestroy(heap));
}

TEST(Clock, MonotonicMillisecondsAdvance) {
  uint32_t before = platform::MonotonicMilliseconds();
  harness::SleepMs(50);
  uint32_t elapsed = platform::MonotonicMilliseconds() - before;
  EXPECT_GE(elapsed, 40u);
  EXPECT_LT(elapsed, 10000u);
}

}  // namespace
