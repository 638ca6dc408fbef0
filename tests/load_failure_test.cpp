// With the queue lock's name taken by an object of another kind, the library
// cannot make its shared lock: it must still load, and its exports must work
// within the process. Runs alone, so no other process holds the real lock.
// Windows only: the Linux library's lock has no name to take.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>

#include "support/harness.h"
#include "support/library.h"

namespace {

TEST(LoadFailure, ExportsStillWorkWithinTheProcess) {
  HANDLE squatter = CreateEventA(nullptr, TRUE, FALSE, library::kQueueLockName);
  ASSERT_TRUE(squatter != nullptr && GetLastError() != ERROR_INVALID_HANDLE)
      << "another process holds the queue lock; run this test alone";
  ASSERT_TRUE(library::Load(harness::FirstArgument()));
  const library::Api& q = library::api();
  q.SendThreadMessage(8, 80);
  q.SendThreadMessage(9, 90);
  q.SendThreadMessage(8, 81);
  EXPECT_EQ(q.GetThreadMessage(8), 80);
  EXPECT_EQ(q.GetThreadMessage(8), 81);
  std::atomic<int32_t> got{-1};
  harness::Worker waiter([&] { got = q.WaitThreadMessage(10); });
  harness::SleepMs(50);
  q.SendThreadMessage(10, 100);
  ASSERT_TRUE(waiter.Join());
  EXPECT_EQ(got.load(), 100);
  EXPECT_EQ(q.GetThreadMessage(9), 90);
  library::Unload();
  CloseHandle(squatter);
}

}  // namespace
