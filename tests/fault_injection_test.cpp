// What the library does when the system refuses it memory or objects: it
// loads all the same, loses nothing already queued, never blocks for good
// on an object it could not make, and never crashes.
#include "platform/fault_injection.h"

#include <errno.h>
#include <gtest/gtest.h>
#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#endif
#include <time.h>

#include <atomic>
#include <memory>
#include <vector>

#include "messaging/queue.h"
#include "resources/resources.h"
#include "shell/runtime.h"
#include "support/harness.h"
#include "support/queue_calls.h"

namespace {

using queue_calls::Get;
using queue_calls::Send;
using queue_calls::SendAndWait;
using queue_calls::Wait;

using platform::faults::Point;
using platform::faults::SetFailing;

struct Failing {
  explicit Failing(Point p) : point(p) { SetFailing(point, true); }
  ~Failing() { SetFailing(point, false); }
  Point point;
};

// Where a host reads why a call failed: the thread's last error on Windows,
// errno elsewhere.
#if defined(_WIN32)
void ClearWhy() { SetLastError(0); }
uint32_t Why() { return GetLastError(); }
constexpr uint32_t kNoMemory = ERROR_NOT_ENOUGH_MEMORY;
constexpr uint32_t kBadHandle = ERROR_INVALID_HANDLE;
#else
void ClearWhy() { errno = 0; }
uint32_t Why() { return static_cast<uint32_t>(errno); }
constexpr uint32_t kNoMemory = ENOMEM;
constexpr uint32_t kBadHandle = EBADF;
#endif

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
    EXPECT_EQ(Send(1, 10), messaging::kNotQueued);
    EXPECT_EQ(Get(1), 0);
    EXPECT_EQ(SendAndWait(1, 11), messaging::kNotQueued);
    EXPECT_EQ(Wait(1), 0) << "no message can ever come to a queue that was never made";
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
  ClearWhy();
  EXPECT_EQ(Send(2, 20), messaging::kNotQueued);
  EXPECT_EQ(Why(), kNoMemory);
  ClearWhy();
  EXPECT_EQ(Get(2), 0);
  EXPECT_EQ(Why(), kNoMemory) << "a 0 from a queue that was never made is no message";
  int32_t r = resources::AddThreadResource();
  EXPECT_NE(r, 0);
  EXPECT_EQ(resources::OpenThreadResource(r), 1);
  EXPECT_NE(resources::CloseThreadResource(r), 0);
  EXPECT_NE(resources::DeleteThreadResource(r), 0);
  EXPECT_EQ(shell::EntryPoint(shell::kProcessDetach), 1);
}

TEST_F(Faults, APostWithoutMemoryQueuesNothingAndKeepsWhatWasQueued) {
  Send(3, 30);
  {
    Failing memory(Point::kHeapAlloc);
    // A recipient never used needs memory for its entry and its ring.
    EXPECT_EQ(Send(13, 31), messaging::kNotQueued);
    EXPECT_EQ(SendAndWait(13, 32), messaging::kNotQueued) << "nothing queued: said so, and nothing to wait for";
  }
  EXPECT_EQ(Send(3, 32), 0) << "a post that queued its message says so";
  EXPECT_EQ(Get(13), 0);
  Send(3, 33);
  EXPECT_EQ(Get(3), 30);
  EXPECT_EQ(Get(3), 32);
  EXPECT_EQ(Get(3), 33);
  EXPECT_EQ(Get(3), 0);
}

TEST_F(Faults, ARecipientsRingServesWhileTheHeapIsExhausted) {
  for (int i = 1; i <= 10; ++i) Send(4, i);
  for (int i = 1; i <= 10; ++i) ASSERT_EQ(Get(4), i);
  Failing memory(Point::kHeapAlloc);
  for (int i = 1; i <= 40; ++i) Send(4, 100 + i);
  int taken = 0;
  for (int32_t v = Get(4), expected = 101; v != 0; v = Get(4)) {
    EXPECT_EQ(v, expected++) << "whatever was queued comes back in order";
    ++taken;
  }
  EXPECT_GE(taken, 10) << "the ring that held ten holds them again";
  EXPECT_LT(taken, 40) << "a full ring cannot grow without memory";
}

TEST_F(Faults, WithoutAParkerASynchronousSendQueuesAPlainMessage) {
  {
    Failing parkers(Point::kParker);
    harness::Worker sender([] { EXPECT_EQ(SendAndWait(5, 50), 0); });
    ASSERT_TRUE(sender.Join()) << "the sender cannot sleep without a parker";
  }
  EXPECT_EQ(Get(5), 50);
}

// A wait never returns without a message: without a parker it looks again
// every few milliseconds until one is there.
TEST_F(Faults, AWaiterWithoutAParkerWaitsForItsMessageAllTheSame) {
  Send(6, 60);
  Failing parkers(Point::kParker);
  std::atomic<int32_t> second{-1};
  harness::Worker waiter([&] {
    EXPECT_EQ(Wait(6), 60) << "a queued message needs no parker";
    second = Wait(6);
  });
  harness::SleepMs(30);
  EXPECT_EQ(second.load(), -1) << "returned with nothing posted";
  Send(6, 0);
  ASSERT_TRUE(waiter.Join());
  EXPECT_EQ(second.load(), 0) << "a message of value 0, taken";
}

TEST_F(Faults, AWaiterWithoutMemoryForItsEntryWaitsForItsMessageAllTheSame) {
  std::atomic<int32_t> value{-1};
  std::atomic<bool> started{false};
  std::unique_ptr<harness::Worker> waiter;
  {
    Failing memory(Point::kHeapAlloc);
    waiter = std::make_unique<harness::Worker>([&] {
      started = true;
      value = Wait(16);  // a recipient never used: its entry needs memory
    });
    ASSERT_TRUE(harness::WaitUntil([&] { return started.load(); }));
    harness::SleepMs(30);
    EXPECT_EQ(value.load(), -1) << "returned with nothing posted";
  }
  EXPECT_EQ(Send(16, 161), 0);
  ASSERT_TRUE(waiter->Join());
  EXPECT_EQ(value.load(), 161);
}

TEST_F(Faults, ResourcesReportFailureWhenNoMutexCanBeMade) {
  Failing objects(Point::kCreateObject);
  EXPECT_EQ(resources::AddThreadResource(), 0);
  EXPECT_EQ(resources::OpenThreadResource(0), 0);
  EXPECT_EQ(resources::CloseThreadResource(0), 0);
  EXPECT_EQ(resources::DeleteThreadResource(0), 0);
}

// A call that fails for want of memory says so where the host reads why a
// call failed; one given a bad handle says that instead.
TEST_F(Faults, AFailureForWantOfMemoryIsToldApartFromABadHandle) {
  {
    Failing memory(Point::kHeapAlloc);
    ClearWhy();
    EXPECT_EQ(Send(17, 1), messaging::kNotQueued);
    EXPECT_EQ(Why(), kNoMemory);
    ClearWhy();
    EXPECT_EQ(SendAndWait(17, 2), messaging::kNotQueued);
    EXPECT_EQ(Why(), kNoMemory);
  }
  {
    Failing objects(Point::kCreateObject);
    ClearWhy();
    EXPECT_EQ(resources::AddThreadResource(), 0);
    EXPECT_EQ(Why(), kNoMemory);
  }
  const int32_t closed = resources::AddThreadResource();
  ASSERT_NE(resources::DeleteThreadResource(closed), 0);
  for (int32_t bad : {0, -1, closed}) {
    ClearWhy();
    EXPECT_EQ(resources::OpenThreadResource(bad), 0);
    EXPECT_EQ(Why(), kBadHandle) << bad;
    ClearWhy();
    EXPECT_EQ(resources::OpenThreadResourceWithin(bad, 0), 0);
    EXPECT_EQ(Why(), kBadHandle) << bad;
    ClearWhy();
    EXPECT_EQ(resources::CloseThreadResource(bad), 0);
    EXPECT_EQ(Why(), kBadHandle) << bad;
    ClearWhy();
    EXPECT_EQ(resources::DeleteThreadResource(bad), 0);
    EXPECT_EQ(Why(), kBadHandle) << bad;
  }
}

#if !defined(_WIN32)
// A thread that cannot get its record (which on Linux is its parker) cannot
// own a resource: its take fails for want of memory, free resource or held.
// A take that only timed out is no want of memory.
TEST_F(Faults, ATakeByAThreadWithoutItsRecordFailsForWantOfMemory) {
  const int32_t free_resource = resources::AddThreadResource(), held = resources::AddThreadResource();
  ASSERT_EQ(resources::OpenThreadResource(held), 1);
  {
    Failing parkers(Point::kParker);
    harness::Worker newcomer([&] {
      errno = 0;
      EXPECT_EQ(resources::OpenThreadResource(free_resource), 0);
      EXPECT_EQ(errno, ENOMEM);
      errno = 0;
      EXPECT_EQ(resources::OpenThreadResourceWithin(free_resource, 0), 0);
      EXPECT_EQ(errno, ENOMEM);
      errno = 0;
      EXPECT_EQ(resources::OpenThreadResourceWithin(held, 20), 0);
      EXPECT_EQ(errno, ENOMEM);
    });
    ASSERT_TRUE(newcomer.Join());
  }
  harness::Worker timed([&] {
    errno = 0;
    EXPECT_EQ(resources::OpenThreadResourceWithin(held, 20), 0);
    EXPECT_NE(errno, ENOMEM);
    EXPECT_EQ(resources::OpenThreadResource(free_resource), 1) << "a free resource was left held";
    EXPECT_NE(resources::CloseThreadResource(free_resource), 0);
  });
  ASSERT_TRUE(timed.Join());
  EXPECT_NE(resources::CloseThreadResource(held), 0);
}
#endif

// What a message costs in parkers and wake-ups, counted in the platform
// layer: it must not depend on how many threads wait for other recipients.
TEST_F(Faults, APostWakesOnlyTheOneSleeperItHandsItsMessageTo) {
  using platform::faults::Call;
  using platform::faults::Counted;
  // Where Wine's 32-bit side runs under qemu, one blocked helper at a time.
  const int kSleepers = harness::BlockedThreadsAllowed(8);
  std::vector<std::unique_ptr<harness::Worker>> sleepers;
  std::atomic<int> woken{0};
  const uint64_t parks = Counted(Call::kPark);
  for (int i = 0; i < kSleepers; ++i) {
    sleepers.push_back(std::make_unique<harness::Worker>([i, &woken] {
      // The first round makes the thread's parker; the second is warm.
      for (int round = 0; round < 2; ++round) {
        if (Wait(700 + i) == round + 1) ++woken;
      }
    }));
  }
  // Asleep once all their parkers are made and parked on.
  ASSERT_TRUE(harness::WaitUntil([&] { return Counted(Call::kPark) >= parks + kSleepers; }));
  const uint64_t made = Counted(Call::kParkerMade);
  const uint64_t objects = Counted(Call::kMutexCreate) + Counted(Call::kObjectClose);
  uint64_t unparks = Counted(Call::kUnpark);
  for (int i = 0; i < 100; ++i) Send(600, i);
  EXPECT_EQ(Counted(Call::kUnpark), unparks) << "nobody waits for recipient 600";
  for (int round = 1; round <= 2; ++round) {
    for (int i = 0; i < kSleepers; ++i) {
      unparks = Counted(Call::kUnpark);
      Send(700 + i, round);
      EXPECT_EQ(Counted(Call::kUnpark), unparks + 1) << "one wake-up for sleeper " << i;
    }
    ASSERT_TRUE(harness::WaitUntil([&] { return woken.load() == round * kSleepers; }));
    if (round == 1) {
      ASSERT_TRUE(harness::WaitUntil([&] { return Counted(Call::kPark) >= parks + 2 * kSleepers; }));
    }
  }
  for (auto& sleeper : sleepers) ASSERT_TRUE(sleeper->Join());
  EXPECT_EQ(Counted(Call::kParkerMade), made) << "warm waits make no parker";
  // A warm synchronous send, taken by another thread, makes nothing either.
  harness::Worker taker([] { ASSERT_TRUE(harness::WaitUntil([] { return Get(800) == 8; })); });
  SendAndWait(800, 8);
  ASSERT_TRUE(taker.Join());
  harness::Worker again([] { ASSERT_TRUE(harness::WaitUntil([] { return Get(800) == 9; })); });
  const uint64_t made_before_warm_send = Counted(Call::kParkerMade);
  SendAndWait(800, 9);
  ASSERT_TRUE(again.Join());
  EXPECT_EQ(Counted(Call::kParkerMade), made_before_warm_send);
  EXPECT_EQ(Counted(Call::kMutexCreate) + Counted(Call::kObjectClose), objects) << "no kernel object per call";
}

#if defined(_WIN32)
// A thread that blocked once and ended, taken by this one. `late`: it had its
// end notice first, as when a host's TLS callback or thread-local destructor
// calls the library after the library's own notice.
void OneThreadBlocksOnce(int32_t key, bool late) {
  harness::Worker sender([key, late] {
    if (late) shell::EntryPoint(shell::kThreadDetach);
    SendAndWait(key, 1);
  });
  ASSERT_TRUE(harness::WaitUntil([key] { return Get(key) == 1; }));
  ASSERT_TRUE(sender.Join());
}

// This test program gets no thread notices at all, as a host that called
// DisableThreadLibraryCalls: every parker must still go with its thread.
TEST_F(Faults, NoParkerOutlivesItsThreadWhateverNoticesCome) {
  using platform::faults::Call;
  using platform::faults::Counted;
  const uint64_t made = Counted(Call::kParkerMade), freed = Counted(Call::kParkerFreed);
  constexpr int kThreads = 30;
  for (int i = 0; i < kThreads; ++i) OneThreadBlocksOnce(900, i % 2 == 1);
  // A late parker is freed once another thread makes one or ends.
  OneThreadBlocksOnce(901, false);
  EXPECT_EQ(Counted(Call::kParkerMade) - made, static_cast<uint64_t>(kThreads + 1));
  EXPECT_TRUE(harness::WaitUntil([&] { return Counted(Call::kParkerFreed) - freed == kThreads + 1; }))
      << Counted(Call::kParkerFreed) - freed << " of " << kThreads + 1 << " parkers freed";
}

// A host that closed a parker's event (CloseHandle, or through a copy of the
// library that did not know it): the wake-up still comes, a little late, and
// the parker works again afterwards. Nothing ends the process.
TEST_F(Faults, AWakeUpWhoseEventFailsStillArrives) {
  for (Point point : {Point::kWake, Point::kWait}) {
    std::atomic<int32_t> got{-1};
    std::atomic<bool> failing_set{false};
    harness::Worker waiter([&] {
      ASSERT_TRUE(harness::WaitUntil([&] { return failing_set.load(); }));
      got = Wait(910);
      got = got * 10 + Wait(911);
    });
    {
      Failing fails(point);
      failing_set = true;
      harness::SleepMs(100);  // lets the waiter sleep, though it need not have
      Send(910, 1);
      ASSERT_TRUE(harness::WaitUntil([&] { return got.load() != -1; })) << "point " << static_cast<int>(point);
    }
    Send(911, 2);
    ASSERT_TRUE(waiter.Join());
    EXPECT_EQ(got.load(), 12) << "point " << static_cast<int>(point);
  }
}
#endif

}  // namespace

// Threads that leave a wait from a POSIX signal handler.
#if !defined(_WIN32)
namespace {

// Threads that leave a wait without returning, by a jump out of a signal
// handler: the wait is lost, but nothing it leaves linked makes the queue
// write into memory it does not own (the stack the thread had), and what is
// posted next reaches a living waiter.
sigjmp_buf jump_back;
void ExitThread(int /*signal*/) { pthread_exit(nullptr); }
void JumpBack(int /*signal*/) { siglongjmp(jump_back, 1); }

struct Blocked {
  int32_t key;
  bool synchronous;
};

void* BlockInTheQueue(void* argument) {
  auto* blocked = static_cast<Blocked*>(argument);
  // Fills the stack the record once lived on, so that a write into it
  // would land in what a later thread finds there.
  volatile char scratch[4096];
  for (char& c : const_cast<char(&)[4096]>(scratch)) c = 0;
  if (blocked->synchronous) {
    SendAndWait(blocked->key, 44);
  } else {
    Wait(blocked->key);
  }
  return nullptr;
}

// Blocks a thread in the queue and, once it is parked, sends it `signal`.
bool BlockAndSignal(Blocked* blocked, int signal, pthread_t* thread) {
  using platform::faults::Call;
  using platform::faults::Counted;
  const uint64_t parks = Counted(Call::kPark);
  if (pthread_create(thread, nullptr, BlockInTheQueue, blocked) != 0) return false;
  if (!harness::WaitUntil([&] { return Counted(Call::kPark) > parks; })) return false;
  harness::SleepMs(20);  // past the parker's spin, into the sleep
  return pthread_kill(*thread, signal) == 0;
}

bool JoinWithin(pthread_t thread, int milliseconds) {
  timespec deadline{};
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_sec += milliseconds / 1000;
  return pthread_timedjoin_np(thread, nullptr, &deadline) == 0;
}

#if defined(__SANITIZE_THREAD__)
#define SKIP_UNDER_TSAN() GTEST_SKIP() << "ThreadSanitizer holds a signal back until the futex wait returns"
#else
#define SKIP_UNDER_TSAN() static_cast<void>(0)
#endif

TEST_F(Faults, AWaiterThatExitsFromASignalHandlerLeavesNothingLinked) {
  SKIP_UNDER_TSAN();
  struct sigaction action = {};
  action.sa_handler = ExitThread;
  ASSERT_EQ(sigaction(SIGUSR2, &action, nullptr), 0);
  Blocked waiter{30, false};
  pthread_t thread;
  ASSERT_TRUE(BlockAndSignal(&waiter, SIGUSR2, &thread));
  ASSERT_TRUE(JoinWithin(thread, 20000));
  // A living waiter behind it gets every post, and others' stacks stay
  // untouched: with the record on the exited thread's stack, the first post
  // wrote into it (ASan: use after return) and was lost.
  std::atomic<int> received{0};
  harness::Worker live([&] {
    for (int i = 1; i <= 3; ++i) {
      if (Wait(30) == i) ++received;
    }
  });
  harness::SleepMs(20);
  for (int i = 1; i <= 3; ++i) EXPECT_EQ(Send(30, i), 0);
  ASSERT_TRUE(live.Join());
  EXPECT_EQ(received.load(), 3);
}

TEST_F(Faults, ASynchronousSenderThatExitsFromASignalHandlerLeavesAPlainMessage) {
  SKIP_UNDER_TSAN();
  struct sigaction action = {};
  action.sa_handler = ExitThread;
  ASSERT_EQ(sigaction(SIGUSR2, &action, nullptr), 0);
  Blocked sender{31, true};
  pthread_t thread;
  ASSERT_TRUE(BlockAndSignal(&sender, SIGUSR2, &thread));
  ASSERT_TRUE(JoinWithin(thread, 20000));
  // Its record may belong to a new thread by now, itself in a synchronous
  // send: the take must not release it, nor wake it from its wait.
  std::atomic<bool> released{false};
  harness::Worker next([&] {
    EXPECT_EQ(SendAndWait(32, 320), 0);
    released = true;
  });
  harness::SleepMs(20);
  EXPECT_EQ(Get(31), 44) << "the message stays queued";
  harness::SleepMs(50);
  EXPECT_FALSE(released.load()) << "a sender released before its own message was taken";
  EXPECT_EQ(Get(32), 320);
  ASSERT_TRUE(next.Join());
}

TEST_F(Faults, AWaiterThatJumpsOutOfASignalHandlerCanWaitAgain) {
  SKIP_UNDER_TSAN();
  struct sigaction action = {};
  action.sa_handler = JumpBack;
  ASSERT_EQ(sigaction(SIGUSR2, &action, nullptr), 0);
  std::atomic<int32_t> second{-1};
  std::atomic<pthread_t> self{};
  std::atomic<bool> jumped{false};
  harness::Worker jumper([&] {
    self = pthread_self();
    if (sigsetjmp(jump_back, 1) == 0) {
      Wait(33);  // left by the jump
      return;
    }
    jumped = true;
    second = Wait(34);  // first undoes the wait on 33
  });
  using platform::faults::Call;
  using platform::faults::Counted;
  ASSERT_TRUE(harness::WaitUntil([&] { return Counted(Call::kPark) > 0 && self.load() != pthread_t{}; }));
  harness::SleepMs(20);
  ASSERT_EQ(pthread_kill(self.load(), SIGUSR2), 0);
  ASSERT_TRUE(harness::WaitUntil([&] { return jumped.load(); }));
  harness::SleepMs(20);
  // The jumper's old sleep on 33 is gone: a live waiter there gets the post.
  harness::Worker live([] { EXPECT_EQ(Wait(33), 330); });
  harness::SleepMs(20);
  EXPECT_EQ(Send(33, 330), 0);
  ASSERT_TRUE(live.Join());
  EXPECT_EQ(Send(34, 340), 0);
  ASSERT_TRUE(jumper.Join());
  EXPECT_EQ(second.load(), 340);
}

}  // namespace
#endif
