// The library as a host sees it: loaded from its file (the Linux library, or
// either DLL under Wine), driven only through its nine exports.
#include "support/library.h"

#include <gtest/gtest.h>
#include <stdio.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "support/harness.h"
#include "support/workload.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

using harness::Worker;

const library::Api& Q() { return library::api(); }

class Library : public testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(library::Load(harness::FirstArgument())) << harness::FirstArgument(); }
  static void TearDownTestSuite() { library::Unload(); }
};

TEST_F(Library, EachRecipientTakesItsOwnMessagesInPostOrder) {
  EXPECT_EQ(Q().SendThreadMessage(5, 10), 0);
  EXPECT_EQ(Q().SendThreadMessage(6, 99), 0);
  EXPECT_EQ(Q().SendThreadMessage(5, 20), 0);
  EXPECT_EQ(Q().GetThreadMessage(5), 10);
  EXPECT_EQ(Q().GetThreadMessage(5), 20);
  EXPECT_EQ(Q().GetThreadMessage(5), 0);
  EXPECT_EQ(Q().GetThreadMessage(6), 99);
  EXPECT_EQ(Q().GetThreadMessage(6), 0);
}

TEST_F(Library, ZeroAndNegativeValuesPassThrough) {
  Q().SendThreadMessage(-7, 0);
  Q().SendThreadMessage(-7, -2147483647 - 1);
  Q().SendThreadMessage(2147483647, -1);
  EXPECT_EQ(Q().GetThreadMessage(-7), 0) << "a zero value is taken";
  EXPECT_EQ(Q().GetThreadMessage(-7), -2147483647 - 1) << "and removed, so the next comes";
  EXPECT_EQ(Q().GetThreadMessage(2147483647), -1);
  EXPECT_EQ(Q().GetThreadMessage(-7), 0);
}

TEST_F(Library, WaitReturnsAQueuedMessageWithoutSleeping) {
  Q().SendThreadMessage(31, 310);
  EXPECT_EQ(Q().WaitThreadMessage(31), 310);
}

TEST_F(Library, AWaiterWokenForAnotherRecipientSleepsOnAndLeavesItQueued) {
  std::atomic<int32_t> got{-1};
  Worker waiter([&] { got = Q().WaitThreadMessage(41); });
  harness::SleepMs(100);
  Q().SendThreadMessage(42, 420);
  harness::SleepMs(100);
  EXPECT_FALSE(waiter.Finished()) << "a post for 42 must not end a wait for 41";
  Q().SendThreadMessage(41, 410);
  ASSERT_TRUE(waiter.Join());
  EXPECT_EQ(got.load(), 410);
  EXPECT_EQ(Q().GetThreadMessage(42), 420);
}

TEST_F(Library, ASynchronousSenderReturnsOnlyAfterTheTake) {
  std::atomic<bool> returned{false};
  Worker sender([&] {
    Q().SendThreadMessageAndWait(3, 7);
    returned = true;
  });
  harness::SleepMs(150);
  EXPECT_FALSE(returned.load());
  int32_t value = 0;
  ASSERT_TRUE(harness::WaitUntil([&] { return (value = Q().GetThreadMessage(3)) != 0; }));
  EXPECT_EQ(value, 7);
  ASSERT_TRUE(sender.Join());
  EXPECT_TRUE(returned.load());
}

workload::MessageCalls MessageCalls() {
  return {Q().SendThreadMessage, Q().GetThreadMessage, Q().SendThreadMessageAndWait, Q().WaitThreadMessage};
}

// All four message calls mixed; small, as under Wine every call is a round
// trip to the server.
TEST_F(Library, APosterAndATakerMixingAllFourCallsLoseNothing) {
  workload::ExpectNothingLost(workload::RunPair(MessageCalls(), {1, 1, 6, 1500, 11, 700}, 120000), 10, 10);
}

TEST_F(Library, SeveralPostersAndTakersLoseNothing) {
  if (harness::BlockedThreadsAllowed(3) < 3) {
    // Not GTEST_SKIP: its path crashes Wine's 32-bit side under qemu.
    printf("not run: Wine under qemu tolerates one blocked helper thread only\n");
    return;
  }
  workload::ExpectNothingLost(workload::Run(MessageCalls(), {2, 3, 4, 1000, 13, 800}, 120000), 10, 10);
}

TEST_F(Library, ResourcesAreDistinctRecursiveAndOwned) {
  int32_t a = Q().AddThreadResource();
  int32_t b = Q().AddThreadResource();
  ASSERT_NE(a, 0);
  ASSERT_NE(b, 0);
  ASSERT_NE(a, b);
  ASSERT_EQ(Q().OpenThreadResource(a), 1);
  EXPECT_EQ(Q().OpenThreadResource(a), 1) << "the holder takes it again";
  std::atomic<int32_t> other_a{-1}, other_b{-1}, give_back{-1};
  auto from_other_thread = [&] {
    Worker w([&] {
      give_back = Q().CloseThreadResource(a);
      other_a = Q().OpenThreadResourceWithin(a, 0);
      other_b = Q().OpenThreadResourceWithin(b, 0);
      if (other_b == 1) Q().CloseThreadResource(b);
      if (other_a == 1) Q().CloseThreadResource(a);
    });
    ASSERT_TRUE(w.Join());
  };
  from_other_thread();
  EXPECT_EQ(give_back.load(), 0) << "only the holder gives back";
  EXPECT_EQ(other_a.load(), 0);
  EXPECT_EQ(other_b.load(), 1) << "holding a does not block b";
  EXPECT_NE(Q().CloseThreadResource(a), 0);
  from_other_thread();
  EXPECT_EQ(other_a.load(), 0) << "still held once";
  EXPECT_NE(Q().CloseThreadResource(a), 0);
  from_other_thread();
  EXPECT_EQ(other_a.load(), 1) << "free after two gives back";
  EXPECT_EQ(Q().CloseThreadResource(a), 0);
  EXPECT_NE(Q().DeleteThreadResource(a), 0);
  EXPECT_NE(Q().DeleteThreadResource(b), 0);
}

TEST_F(Library, ATimedTakeOfAHeldResourceGivesUpAfterItsTime) {
  int32_t r = Q().AddThreadResource();
  ASSERT_EQ(Q().OpenThreadResource(r), 1);
  std::atomic<int32_t> result{-1};
  std::atomic<int64_t> took{0};
  Worker w([&] {
    int64_t start = harness::NowMs();
    result = Q().OpenThreadResourceWithin(r, 80);
    took = harness::NowMs() - start;
  });
  ASSERT_TRUE(w.Join());
  EXPECT_EQ(result.load(), 0);
  EXPECT_GE(took.load(), 70);
  Q().CloseThreadResource(r);
  Q().DeleteThreadResource(r);
}

TEST_F(Library, AnAbandonedResourceIsTakenButReportedAsNotObtained) {
  int32_t r = Q().AddThreadResource();
  Worker holder([&] { ASSERT_EQ(Q().OpenThreadResource(r), 1); });
  ASSERT_TRUE(holder.Join());
  EXPECT_EQ(Q().OpenThreadResource(r), 0);
  EXPECT_NE(Q().CloseThreadResource(r), 0) << "the taker holds it all the same";
  EXPECT_EQ(Q().OpenThreadResourceWithin(r, 0), 1);
  Q().CloseThreadResource(r);
  Q().DeleteThreadResource(r);
}

TEST_F(Library, AResourceKeepsASharedCounterExactUnderContention) {
  int32_t r = Q().AddThreadResource();
  const int threads = harness::BlockedThreadsAllowed(4);
  const int rounds = threads > 1 ? 20000 : 2000;
  long counter = 0;  // guarded by r alone
  std::atomic<int> failed_takes{0};
  auto work = [&] {
    for (int i = 0; i < rounds; ++i) {
      if (Q().OpenThreadResource(r) != 1) ++failed_takes;
      long seen = counter;
      counter = seen + 1;
      Q().CloseThreadResource(r);
    }
  };
  std::vector<std::unique_ptr<Worker>> workers;
  for (int t = 0; t < threads; ++t) workers.push_back(std::make_unique<Worker>(work));
  work();
  for (auto& w : workers) ASSERT_TRUE(w->Join(60000));
  EXPECT_EQ(failed_takes.load(), 0);
  EXPECT_EQ(counter, static_cast<long>(rounds) * (threads + 1));
  Q().DeleteThreadResource(r);
}

TEST_F(Library, BadResourceHandlesGiveZero) {
  int32_t r = Q().AddThreadResource();
  ASSERT_NE(Q().DeleteThreadResource(r), 0);
  for (int32_t h : {0, r, 0x3FFFFFF0, 0x0FFFFF00}) {
    EXPECT_EQ(Q().DeleteThreadResource(h), 0) << h;
    EXPECT_EQ(Q().OpenThreadResourceWithin(h, 0), 0) << h;
    EXPECT_EQ(Q().OpenThreadResource(h), 0) << h;
    EXPECT_EQ(Q().CloseThreadResource(h), 0) << h;
  }
}

#if defined(_WIN32)
// Child: checks that this process's queue is its own (nothing the parent
// posted shows here) while it shares the parent's QueueLock, then reports.
HARNESS_CHILD_SCENARIO(PostAndTakeInOwnQueue) {
  size_t bar = argument.find('|');
  if (!library::Load(argument.substr(0, bar))) return 2;
  HANDLE loaded = CreateEventA(nullptr, TRUE, FALSE, argument.substr(bar + 1).c_str());
  SetEvent(loaded);
  CloseHandle(loaded);
  if (library::api().GetThreadMessage(77) != 0) return 3;
  library::api().SendThreadMessage(77, 770);
  int ok = library::api().GetThreadMessage(77) == 770 ? 0 : 4;
  library::Unload();
  return ok;
}

// The child loads the other DLL: both builds share the one queue lock. (The
// Linux library's lock is private to its process: nothing to share there.)
TEST_F(Library, ProcessesShareTheQueueLockButNotTheirMessages) {
  Q().SendThreadMessage(77, 1);
  HANDLE lock = CreateMutexA(nullptr, FALSE, library::kQueueLockName);
  ASSERT_NE(lock, nullptr);
  ASSERT_EQ(WaitForSingleObject(lock, harness::kHangMilliseconds), WAIT_OBJECT_0);
  std::string loaded_name = harness::UniqueName("loaded");
  HANDLE loaded = CreateEventA(nullptr, TRUE, FALSE, loaded_name.c_str());
  auto child = harness::SpawnSelf("PostAndTakeInOwnQueue",
                                  library::OtherBuildPath(harness::FirstArgument()) + "|" + loaded_name);
  ASSERT_TRUE(child);
  ASSERT_EQ(WaitForSingleObject(loaded, harness::kHangMilliseconds), WAIT_OBJECT_0);
  EXPECT_EQ(harness::WaitChild(child.get(), 500), -1) << "the child must wait for the lock we hold";
  ReleaseMutex(lock);
  EXPECT_EQ(harness::WaitChild(child.get()), 0);
  CloseHandle(lock);
  CloseHandle(loaded);
  EXPECT_EQ(Q().GetThreadMessage(77), 1);
}

TEST_F(Library, ThreadNotificationsChangeNothing) {
  Q().SendThreadMessage(51, 510);
  EXPECT_EQ(library::CallEntryPoint(DLL_THREAD_ATTACH), 1);
  EXPECT_EQ(library::CallEntryPoint(DLL_THREAD_DETACH), 1);
  EXPECT_EQ(Q().GetThreadMessage(51), 510);
}

DWORD WINAPI EndAtOnce(LPVOID /*unused*/) { return 0; }

TEST_F(Library, AnyWaitableHandleCanBeTaken) {
  HANDLE event = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  EXPECT_EQ(Q().OpenThreadResource(static_cast<int32_t>(reinterpret_cast<uintptr_t>(event))), 1);
  CloseHandle(event);
  HANDLE thread = CreateThread(nullptr, 0, EndAtOnce, nullptr, 0, nullptr);
  ASSERT_EQ(WaitForSingleObject(thread, harness::kHangMilliseconds), WAIT_OBJECT_0);
  EXPECT_EQ(Q().OpenThreadResource(static_cast<int32_t>(reinterpret_cast<uintptr_t>(thread))), 1);
  CloseHandle(thread);
}

// Pushes the arguments, calls, and reports how many bytes of them were still
// on the stack afterwards: 0 when the callee removed them (stdcall).
int32_t BytesLeftOnStack(void* function, const int32_t* arguments, int32_t count) {
  int32_t left = count;
  asm volatile(
      "movl %%esp, %%esi\n\t"
      "testl %%ecx, %%ecx\n\t"
      "jz 2f\n\t"
      "1:\n\t"
      "pushl -4(%%ebx,%%ecx,4)\n\t"
      "decl %%ecx\n\t"
      "jnz 1b\n\t"
      "2:\n\t"
      "call *%%edi\n\t"
      "movl %%esi, %%ecx\n\t"
      "subl %%esp, %%ecx\n\t"
      "movl %%esi, %%esp\n\t"
      : "+c"(left), "+b"(arguments), "+D"(function)
      :
      : "eax", "edx", "esi", "memory", "cc");
  return left;
}

TEST_F(Library, EveryExportUsesTheBuildsCallingConvention) {
  int32_t resource = Q().AddThreadResource();
  const int32_t values[] = {resource, 0};
  // In ordinal order, WaitThreadMessage(resource) finds the message
  // SendThreadMessage left; the synchronous send needs a taker (below).
  for (const library::Export& e : library::kExports) {
    if (std::string(e.name) == "SendThreadMessageAndWait") continue;
    int32_t expected = library::IsCdecl() ? 4 * e.arguments : 0;
    EXPECT_EQ(BytesLeftOnStack(library::RawExport(e.name), values, e.arguments), expected) << e.name;
  }
  const int32_t synchronous[] = {resource, 5};
  Worker taker([&] { ASSERT_TRUE(harness::WaitUntil([&] { return Q().GetThreadMessage(resource) == 5; })); });
  EXPECT_EQ(BytesLeftOnStack(library::RawExport("SendThreadMessageAndWait"), synchronous, 2),
            library::IsCdecl() ? 8 : 0);
  ASSERT_TRUE(taker.Join());
  Q().DeleteThreadResource(resource);
}
#endif

}  // namespace
