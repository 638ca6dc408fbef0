// What the library relies on from its platform layer, run against both
// implementations: the Linux emulation natively, KERNEL32 under Wine. A
// difference between the two runs is a fault in the emulation.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/harness.h"

namespace {

using harness::Worker;
using platform::Handle;

struct Closer {
  Handle handle;
  ~Closer() {
    if (handle != 0) platform::CloseHandle(handle);
  }
};

// Values that are not handles in this process on either platform (Windows
// ignores the low two bits; the top values are pseudo-handles).
const Handle kGarbage[] = {0u, 0x3FFFFFF0u, 0x7FFFFF00u, 0x0FFFFF00u};

TEST(Mutex, RecursiveTakesNeedAsManyReleases) {
  Closer m{platform::CreateMutexA(nullptr, nullptr)};
  ASSERT_NE(m.handle, 0u);
  EXPECT_EQ(platform::WaitForSingleObject(m.handle, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(platform::WaitForSingleObject(m.handle, 0), WAIT_OBJECT_0);
  std::atomic<uint32_t> seen{12345};
  auto try_from_other_thread = [&] {
    Worker w([&] { seen = platform::WaitForSingleObject(m.handle, 0); });
    ASSERT_TRUE(w.Join());
  };
  EXPECT_NE(platform::ReleaseMutex(m.handle), 0);
  try_from_other_thread();
  EXPECT_EQ(seen.load(), WAIT_TIMEOUT) << "free after one release of two takes";
  EXPECT_NE(platform::ReleaseMutex(m.handle), 0);
  EXPECT_EQ(platform::ReleaseMutex(m.handle), 0) << "a third release has nothing to release";
}

TEST(Mutex, ReleaseByNonOwnerFailsAndChangesNothing) {
  Closer m{platform::CreateMutexA(nullptr, nullptr)};
  ASSERT_EQ(platform::WaitForSingleObject(m.handle, INFINITE), WAIT_OBJECT_0);
  std::atomic<int> released{-1};
  std::atomic<uint32_t> taken{12345};
  Worker other([&] {
    released = platform::ReleaseMutex(m.handle);
    taken = platform::WaitForSingleObject(m.handle, 0);
  });
  ASSERT_TRUE(other.Join());
  EXPECT_EQ(released.load(), 0);
  EXPECT_EQ(taken.load(), WAIT_TIMEOUT);
  EXPECT_NE(platform::ReleaseMutex(m.handle), 0);
}

TEST(Mutex, OwnerThreadEndingAbandonsItToTheNextTaker) {
  Closer m{platform::CreateMutexA(nullptr, nullptr)};
  Worker owner([&] { ASSERT_EQ(platform::WaitForSingleObject(m.handle, INFINITE), WAIT_OBJECT_0); });
  ASSERT_TRUE(owner.Join());
  EXPECT_EQ(platform::WaitForSingleObject(m.handle, harness::kHangMilliseconds), WAIT_ABANDONED);
  EXPECT_NE(platform::ReleaseMutex(m.handle), 0) << "the taker of an abandoned mutex holds it";
  EXPECT_EQ(platform::WaitForSingleObject(m.handle, 0), WAIT_OBJECT_0) << "abandonment is reported once";
  platform::ReleaseMutex(m.handle);
}

TEST(Mutex, TimeOutsOfZeroShortAndInfinite) {
  Closer m{platform::CreateMutexA(nullptr, nullptr)};
  std::atomic<bool> held{false};
  std::atomic<bool> let_go{false};
  Worker holder([&] {
    platform::WaitForSingleObject(m.handle, INFINITE);
    held = true;
    harness::WaitUntil([&] { return let_go.load(); });
    harness::SleepMs(30);
    platform::ReleaseMutex(m.handle);
  });
  ASSERT_TRUE(harness::WaitUntil([&] { return held.load(); }));
  int64_t start = harness::NowMs();
  EXPECT_EQ(platform::WaitForSingleObject(m.handle, 0), WAIT_TIMEOUT);
  EXPECT_EQ(platform::WaitForSingleObject(m.handle, 60), WAIT_TIMEOUT);
  EXPECT_GE(harness::NowMs() - start, 55) << "a timed wait must not end early";
  let_go = true;
  EXPECT_EQ(platform::WaitForSingleObject(m.handle, INFINITE), WAIT_OBJECT_0);
  EXPECT_TRUE(holder.Join());
  platform::ReleaseMutex(m.handle);
}

TEST(Event, ManualResetReleasesEveryWaiterAndStaysSet) {
  const int kWaiters = harness::BlockedThreadsAllowed(3);
  Closer e{platform::CreateEventA(nullptr, nullptr)};
  ASSERT_NE(e.handle, 0u);
  std::atomic<int> released{0};
  std::vector<std::unique_ptr<Worker>> waiters;
  for (int i = 0; i < kWaiters; ++i) {
    waiters.push_back(std::make_unique<Worker>([&] {
      if (platform::WaitForSingleObject(e.handle, harness::kHangMilliseconds) == WAIT_OBJECT_0) ++released;
    }));
  }
  harness::SleepMs(50);
  EXPECT_EQ(released.load(), 0) << "created not signalled";
  EXPECT_NE(platform::SetEvent(e.handle), 0);
  for (auto& w : waiters) EXPECT_TRUE(w->Join());
  EXPECT_EQ(released.load(), kWaiters);
  EXPECT_EQ(platform::WaitForSingleObject(e.handle, 0), WAIT_OBJECT_0) << "stays set until reset";
  EXPECT_NE(platform::ResetEvent(e.handle), 0);
  EXPECT_EQ(platform::WaitForSingleObject(e.handle, 0), WAIT_TIMEOUT);
}

TEST(Event, ASetReleasesSleepersEvenIfResetAtOnce) {
  Closer e{platform::CreateEventA(nullptr, nullptr)};
  const int kWaiters = harness::BlockedThreadsAllowed(2);
  std::atomic<int> released{0};
  std::vector<std::unique_ptr<Worker>> waiters;
  for (int i = 0; i < kWaiters; ++i) {
    waiters.push_back(std::make_unique<Worker>([&] {
      if (platform::WaitForSingleObject(e.handle, harness::kHangMilliseconds) == WAIT_OBJECT_0) ++released;
    }));
  }
  harness::SleepMs(100);
  platform::SetEvent(e.handle);
  platform::ResetEvent(e.handle);
  for (auto& w : waiters) EXPECT_TRUE(w->Join());
  EXPECT_EQ(released.load(), kWaiters);
}

TEST(Event, TimedWaitEndsWithTimeout) {
  Closer e{platform::CreateEventA(nullptr, nullptr)};
  int64_t start = harness::NowMs();
  EXPECT_EQ(platform::WaitForSingleObject(e.handle, 40), WAIT_TIMEOUT);
  EXPECT_GE(harness::NowMs() - start, 35);
}

TEST(Handles, ClosedAndGarbageHandlesFailWithoutEffect) {
  Handle m = platform::CreateMutexA(nullptr, nullptr);
  Handle e = platform::CreateEventA(nullptr, nullptr);
  ASSERT_NE(platform::CloseHandle(m), 0);
  ASSERT_NE(platform::CloseHandle(e), 0);
  for (Handle h : {m, e, kGarbage[0], kGarbage[1], kGarbage[2], kGarbage[3]}) {
    EXPECT_EQ(platform::WaitForSingleObject(h, 0), WAIT_FAILED) << h;
    EXPECT_EQ(platform::ReleaseMutex(h), 0) << h;
    EXPECT_EQ(platform::SetEvent(h), 0) << h;
    EXPECT_EQ(platform::ResetEvent(h), 0) << h;
    EXPECT_EQ(platform::CloseHandle(h), 0) << h;
  }
}

TEST(Handles, OperationsOfTheOtherKindFail) {
  Closer m{platform::CreateMutexA(nullptr, nullptr)};
  Closer e{platform::CreateEventA(nullptr, nullptr)};
  EXPECT_EQ(platform::SetEvent(m.handle), 0);
  EXPECT_EQ(platform::ReleaseMutex(e.handle), 0);
  EXPECT_EQ(platform::WaitForSingleObject(m.handle, 0), WAIT_OBJECT_0) << "the failed calls left it free";
  platform::ReleaseMutex(m.handle);
}

TEST(Named, SecondCreateReachesTheSameObject) {
  std::string name = harness::UniqueName("same");
  bool existed = true;
  Closer first{platform::CreateMutexA(name.c_str(), &existed)};
  ASSERT_NE(first.handle, 0u);
  EXPECT_FALSE(existed);
  Closer second{platform::CreateMutexA(name.c_str(), &existed)};
  ASSERT_NE(second.handle, 0u);
  EXPECT_TRUE(existed);
  ASSERT_EQ(platform::WaitForSingleObject(first.handle, 0), WAIT_OBJECT_0);
  std::atomic<uint32_t> seen{12345};
  Worker other([&] { seen = platform::WaitForSingleObject(second.handle, 0); });
  ASSERT_TRUE(other.Join());
  EXPECT_EQ(seen.load(), WAIT_TIMEOUT);
#if defined(__SANITIZE_THREAD__)
  // Each handle maps the object at its own address, and ThreadSanitizer
  // knows a mutex by its address only: it would report a false misuse.
  EXPECT_NE(platform::ReleaseMutex(first.handle), 0);
#else
  EXPECT_NE(platform::ReleaseMutex(second.handle), 0) << "either handle releases it";
#endif
}

TEST(Named, EmptyNameAlwaysMakesANewObject) {
  bool existed = true;
  Closer a{platform::CreateMutexA("", &existed)};
  EXPECT_FALSE(existed);
  Closer b{platform::CreateMutexA("", &existed)};
  EXPECT_FALSE(existed);
  ASSERT_EQ(platform::WaitForSingleObject(a.handle, 0), WAIT_OBJECT_0);
  std::atomic<uint32_t> seen{12345};
  Worker other([&] { seen = platform::WaitForSingleObject(b.handle, 0); });
  ASSERT_TRUE(other.Join());
  EXPECT_EQ(seen.load(), WAIT_OBJECT_0);
  platform::ReleaseMutex(a.handle);
}

TEST(Named, ANameOfAnotherKindIsRefused) {
  std::string name = harness::UniqueName("kind");
  Closer event{platform::CreateEventA(name.c_str(), nullptr)};
  ASSERT_NE(event.handle, 0u);
  EXPECT_EQ(platform::CreateMutexA(name.c_str(), nullptr), 0u);
}

TEST(Named, ObjectEndsWithItsLastHandle) {
  std::string name = harness::UniqueName("last");
  Handle e = platform::CreateEventA(name.c_str(), nullptr);
  platform::SetEvent(e);
  platform::CloseHandle(e);
  bool existed = true;
  Closer again{platform::CreateEventA(name.c_str(), &existed)};
  EXPECT_FALSE(existed);
  EXPECT_EQ(platform::WaitForSingleObject(again.handle, 0), WAIT_TIMEOUT) << "a new event, not the old one";
}

// Child side: takes the named mutex, says so, then holds it until told to
// let go (argument "release") or for ever ("hold"), so the parent can kill it.
HARNESS_CHILD_SCENARIO(TakeNamedMutex) {
  std::string mode = argument.substr(0, argument.find(':'));
  std::string name = argument.substr(argument.find(':') + 1);
  bool existed = false;
  Handle m = platform::CreateMutexA(name.c_str(), &existed);
  Handle ready = platform::CreateEventA((name + "_ready").c_str(), nullptr);
  Handle go = platform::CreateEventA((name + "_go").c_str(), nullptr);
  if (m == 0 || !existed || ready == 0 || go == 0) return 2;
  if (platform::WaitForSingleObject(m, harness::kHangMilliseconds) != WAIT_OBJECT_0) return 3;
  platform::SetEvent(ready);
  if (mode == "hold") harness::SleepMs(harness::kHangMilliseconds);
  if (platform::WaitForSingleObject(go, harness::kHangMilliseconds) != WAIT_OBJECT_0) return 4;
  return platform::ReleaseMutex(m) != 0 ? 0 : 5;
}

struct NamedTrio {
  explicit NamedTrio(const std::string& stem)
      : name(harness::UniqueName(stem)),
        mutex{platform::CreateMutexA(name.c_str(), nullptr)},
        ready{platform::CreateEventA((name + "_ready").c_str(), nullptr)},
        go{platform::CreateEventA((name + "_go").c_str(), nullptr)} {}
  std::string name;
  Closer mutex, ready, go;
};

TEST(CrossProcess, ANamedMutexIsSharedWithAnotherProcess) {
  NamedTrio objects("cross");
  auto child = harness::SpawnSelf("TakeNamedMutex", "release:" + objects.name);
  ASSERT_TRUE(child);
  ASSERT_EQ(platform::WaitForSingleObject(objects.ready.handle, harness::kHangMilliseconds), WAIT_OBJECT_0);
  EXPECT_EQ(platform::WaitForSingleObject(objects.mutex.handle, 0), WAIT_TIMEOUT) << "the child holds it";
  platform::SetEvent(objects.go.handle);
  EXPECT_EQ(platform::WaitForSingleObject(objects.mutex.handle, harness::kHangMilliseconds), WAIT_OBJECT_0);
  EXPECT_EQ(harness::WaitChild(child.get()), 0);
  platform::ReleaseMutex(objects.mutex.handle);
}

TEST(CrossProcess, AKilledHoldersMutexIsAbandonedToTheNextTaker) {
  NamedTrio objects("killed");
  auto child = harness::SpawnSelf("TakeNamedMutex", "hold:" + objects.name);
  ASSERT_TRUE(child);
  ASSERT_EQ(platform::WaitForSingleObject(objects.ready.handle, harness::kHangMilliseconds), WAIT_OBJECT_0);
  harness::KillChild(child.get());
  EXPECT_NE(harness::WaitChild(child.get()), -1);
  EXPECT_EQ(platform::WaitForSingleObject(objects.mutex.handle, harness::kHangMilliseconds), WAIT_ABANDONED);
  EXPECT_NE(platform::ReleaseMutex(objects.mutex.handle), 0);
}

TEST(Heap, BlocksAreZeroFilledAndDestroyReleasesThem) {
  Handle heap = platform::HeapCreate(0, 4000, 0);
  ASSERT_NE(heap, 0u);
  for (int round = 0; round < 2; ++round) {
    auto* block = static_cast<unsigned char*>(platform::HeapAlloc(heap, 64));
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 64; ++i) ASSERT_EQ(block[i], 0) << "byte " << i;
    for (int i = 0; i < 64; ++i) block[i] = 0xAB;
    EXPECT_NE(platform::HeapFree(heap, block), 0);
  }
  for (int i = 0; i < 100; ++i) ASSERT_NE(platform::HeapAlloc(heap, 24), nullptr);
  EXPECT_NE(platform::HeapDestroy(heap), 0);
}

TEST(Clock, TickCountAdvancesInMilliseconds) {
  uint32_t before = platform::GetTickCount();
  harness::SleepMs(50);
  uint32_t elapsed = platform::GetTickCount() - before;
  EXPECT_GE(elapsed, 40u);
  EXPECT_LT(elapsed, 10000u);
}

}  // namespace
