// include/quenthaloy.hpp as a C++ host uses it, linked to the library (the
// Linux library, or either DLL through its import library under Wine), built
// as C++17 and as C++20. Built with QUENTHALOY_STUB_LIBRARY, it is linked to
// scripted stand-ins for the nine calls instead, to see the header meet the
// failures a system rarely gives on demand (run with the filter
// CppHeaderFailures.*).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <limits>
#include <mutex>
#include <new>
#include <system_error>
#include <type_traits>
#if defined(QUENTHALOY_STUB_LIBRARY) && defined(_WIN32)
#include <windows.h>
#elif defined(QUENTHALOY_STUB_LIBRARY)
#include <cerrno>
#endif

#include "quenthaloy.hpp"  // first: the header stands on its own
#include "support/harness.h"

namespace {

using harness::Worker;
using quenthaloy::resource;
using std::chrono::milliseconds;

static_assert(std::is_nothrow_move_constructible_v<resource> && std::is_nothrow_move_assignable_v<resource>);
static_assert(!std::is_copy_constructible_v<resource> && !std::is_copy_assignable_v<resource>);
static_assert(std::is_same_v<resource::native_handle_type, std::int32_t>);
static_assert(noexcept(std::declval<resource&>().try_lock()) && noexcept(std::declval<resource&>().unlock()));

// Recipients of this test only.
constexpr std::int32_t kKey = 0x43000000;

// Whether a thread other than the caller could take `r` right now.
bool FreeForOthers(resource& r) {
  bool taken = false;
  Worker probe([&] {
    taken = r.try_lock();
    if (taken) r.unlock();
  });
  EXPECT_TRUE(probe.Join());
  return taken;
}

// Another thread takes `r` and keeps it until let go (or, with
// give_back=false, ends holding it).
class Holder {
 public:
  explicit Holder(resource& r, bool give_back = true)
      : worker_([this, &r, give_back] {
          r.lock();
          held_ = true;
          if (!harness::WaitUntil([this] { return let_go_.load(); })) harness::Hang("holder never let go");
          if (give_back) r.unlock();
        }) {
    if (!harness::WaitUntil([this] { return held_.load(); })) harness::Hang("holder never took it");
  }
  void LetGo() {
    let_go_ = true;
    EXPECT_TRUE(worker_.Join());
  }

 private:
  std::atomic<bool> held_{false}, let_go_{false};
  Worker worker_;
};

TEST(CppHeader, MessagesInOrderAndZeroWhenNone) {
  quenthaloy::post(kKey + 1, 10);
  quenthaloy::post(kKey + 2, 20);
  quenthaloy::post(kKey + 1, 0);
  quenthaloy::post(kKey + 1, 11);
  EXPECT_EQ(quenthaloy::poll(kKey + 1), 10);
  EXPECT_EQ(quenthaloy::poll(kKey + 1), 0);
  EXPECT_EQ(quenthaloy::poll(kKey + 1), 11);
  EXPECT_EQ(quenthaloy::poll(kKey + 1), 0);
  EXPECT_EQ(quenthaloy::poll(kKey + 2), 20);

  std::int32_t received = 0;
  Worker waiter([&] { received = quenthaloy::wait(kKey + 3); });
  quenthaloy::send(kKey + 3, 33);  // returns once the waiter took it
  EXPECT_TRUE(waiter.Join());
  EXPECT_EQ(received, 33);
}

TEST(CppHeader, ScopedLockTakesTwoAndGivesBothBack) {
  resource first, second;
  {
    std::scoped_lock both(first, second);
    EXPECT_FALSE(FreeForOthers(first));
    EXPECT_FALSE(FreeForOthers(second));
  }
  EXPECT_TRUE(FreeForOthers(first));
  EXPECT_TRUE(FreeForOthers(second));
}

TEST(CppHeader, RecursiveUntilGivenBackAsOftenAsTaken) {
  resource r;
  r.lock();
  EXPECT_TRUE(r.try_lock());
  EXPECT_TRUE(r.try_lock_for(milliseconds(10)));
  r.unlock();
  r.unlock();
  EXPECT_FALSE(FreeForOthers(r));
  r.unlock();
  EXPECT_TRUE(FreeForOthers(r));
  r.unlock();  // not held: changes nothing
  EXPECT_TRUE(FreeForOthers(r));
}

TEST(CppHeader, TimedTakesRunOutWhileAnotherThreadHoldsIt) {
  resource r;
  Holder holder(r);
  {
    std::unique_lock<resource> guard(r, milliseconds(30));
    EXPECT_FALSE(guard.owns_lock());
    EXPECT_FALSE(guard.try_lock_for(milliseconds(-5)));
    EXPECT_FALSE(guard.try_lock_until(std::chrono::steady_clock::now() + milliseconds(20)));
    EXPECT_FALSE(guard.try_lock_until(std::chrono::system_clock::now() + milliseconds(20)));
    EXPECT_FALSE(guard.try_lock_until(std::chrono::system_clock::time_point::min()));
    EXPECT_FALSE(guard.try_lock());
  }
  holder.LetGo();
  std::unique_lock<resource> guard(r, milliseconds(harness::kHangMilliseconds));
  EXPECT_TRUE(guard.owns_lock());
  EXPECT_FALSE(r.abandoned());
}

TEST(CppHeader, DurationsBeyondThirtyTwoBitsWaitInsteadOfFailing) {
  resource r;
  // Each wait would return false at once if its length wrapped to a negative
  // or zero count of milliseconds: they must wait for the holder instead.
  for (int round = 0; round < 3; ++round) {
    Holder holder(r);
    bool taken = false;
    Worker taker([&] {
      if (round == 0) taken = r.try_lock_for(std::chrono::hours::max());
      if (round == 1) taken = r.try_lock_for(std::chrono::duration<double>(1e300));
      if (round == 2) taken = r.try_lock_until(std::chrono::system_clock::time_point::max());
      if (taken) r.unlock();
    });
    harness::SleepMs(30);
    EXPECT_FALSE(taker.Finished()) << "round " << round;
    holder.LetGo();
    EXPECT_TRUE(taker.Join());
    EXPECT_TRUE(taken) << "round " << round;
  }
}

TEST(CppHeader, AnAbandonedTakeHoldsItAndSaysSo) {
  resource r;
  Holder(r, false).LetGo();  // ends holding it
  r.lock();
  EXPECT_TRUE(r.abandoned());
  r.unlock();
  EXPECT_TRUE(FreeForOthers(r)) << "held once, not twice";

  Holder(r, false).LetGo();
  // Tries until the ending thread has let it go: a try before that finds it held.
  EXPECT_TRUE(harness::WaitUntil([&] { return r.try_lock(); }));
  EXPECT_TRUE(r.abandoned());
  r.unlock();

  std::unique_lock<resource> guard(r, milliseconds(harness::kHangMilliseconds));
  EXPECT_TRUE(guard.owns_lock());
  EXPECT_FALSE(r.abandoned());
}

TEST(CppHeader, AMovedFromResourceHoldsNothing) {
  resource r;
  const std::int32_t handle = r.native_handle();
  EXPECT_NE(handle, 0);
  resource moved(std::move(r));
  EXPECT_EQ(moved.native_handle(), handle);
  // What a moved-from one does: NOLINTBEGIN(bugprone-use-after-move,clang-analyzer-cplusplus.Move)
  EXPECT_EQ(r.native_handle(), 0);
  EXPECT_FALSE(r.try_lock());
  EXPECT_FALSE(r.try_lock_for(milliseconds(1)));
  EXPECT_THROW(r.lock(), std::system_error);
  // NOLINTEND(bugprone-use-after-move,clang-analyzer-cplusplus.Move)
  {
    std::lock_guard<resource> guard(moved);
    EXPECT_FALSE(FreeForOthers(moved));
  }
  resource other;
  const std::int32_t other_handle = other.native_handle();
  moved = std::move(other);
  EXPECT_EQ(moved.native_handle(), other_handle);
  EXPECT_EQ(DeleteThreadResource(handle), 0) << "the assigned-over resource was destroyed";
}

#if defined(QUENTHALOY_STUB_LIBRARY)

// What the next calls of one function answer, oldest first (then 0), and
// whether each says that memory ran out, as the library does.
struct Answer {
  std::int32_t result;
  bool short_of_memory;
};
using Script = std::deque<Answer>;
Script takes, timed_takes, give_backs, posts;

std::int32_t Next(Script& script) {
  if (script.empty()) return 0;
  const Answer answer = script.front();
  script.pop_front();
  if (answer.short_of_memory) {
#if defined(_WIN32)
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
#else
    errno = ENOMEM;
#endif
  }
  return answer.result;
}

class CppHeaderFailures : public testing::Test {
 protected:
  void TearDown() override {
    EXPECT_TRUE(takes.empty() && timed_takes.empty() && give_backs.empty() && posts.empty()) << "answers left";
  }
};

TEST_F(CppHeaderFailures, AMessageThatWasNotQueuedThrowsBadAlloc) {
  posts = {{-1, true}, {-1, true}, {0, false}, {0, false}};
  EXPECT_THROW(quenthaloy::post(kKey, 1), std::bad_alloc);
  EXPECT_THROW(quenthaloy::send(kKey, 2), std::bad_alloc);
  EXPECT_NO_THROW(quenthaloy::post(kKey, 3));
  EXPECT_NO_THROW(quenthaloy::send(kKey, 4));
}

TEST_F(CppHeaderFailures, ATakeRefusedForWantOfMemoryIsNoBadHandle) {
  resource r;
  takes = {{0, true}};
  give_backs = {{0, true}};
  EXPECT_THROW(r.lock(), std::bad_alloc);
  timed_takes = {{0, true}};
  give_backs = {{0, true}};
  EXPECT_THROW(static_cast<void>(r.try_lock_for(milliseconds(harness::kHangMilliseconds))), std::bad_alloc);
  timed_takes = {{0, true}};
  give_backs = {{0, true}};
  EXPECT_FALSE(r.try_lock());
  // A 0 with no word of memory is a handle that is not open.
  takes = {{0, false}};
  EXPECT_THROW(r.lock(), std::system_error);
}

TEST_F(CppHeaderFailures, ATimedTakeOfAHandleNoLongerOpenFailsAtOnce) {
  resource r;
  // Every take and give-back refused at once, with no word of memory: as
  // for a handle deleted through native_handle(). Waiting for the deadline
  // here would hang the test.
  EXPECT_FALSE(r.try_lock_for(std::chrono::hours(1)));
  EXPECT_FALSE(r.try_lock_until(std::chrono::system_clock::time_point::max()));
}

TEST_F(CppHeaderFailures, AnAbandonmentIsToldToTheNextTakerEvenIfItsFinderLostIt) {
  resource r;
  // The finder's take says "abandoned" (it holds it); between its give-back
  // and its take again another thread gets the lock; then it takes it.
  takes = {{0, false}, {1, false}};
  give_backs = {{1, false}};
  timed_takes = {{0, false}};
  r.lock();
  EXPECT_TRUE(r.abandoned()) << "the abandonment was not told to the lock's next take";
  timed_takes = {{1, false}};
  EXPECT_TRUE(r.try_lock());
  EXPECT_FALSE(r.abandoned()) << "one abandonment is told once";
}

}  // namespace

// The stand-ins, with the library's own declarations.
extern "C" {
std::int32_t QUENTHALOY_CALL AddThreadResource(void) { return 1; }
std::int32_t QUENTHALOY_CALL CloseThreadResource(std::int32_t /*resource*/) { return Next(give_backs); }
std::int32_t QUENTHALOY_CALL DeleteThreadResource(std::int32_t /*resource*/) { return 1; }
std::int32_t QUENTHALOY_CALL GetThreadMessage(std::int32_t /*recipient*/) { return 0; }
std::int32_t QUENTHALOY_CALL OpenThreadResource(std::int32_t /*resource*/) { return Next(takes); }
std::int32_t QUENTHALOY_CALL OpenThreadResourceWithin(std::int32_t /*resource*/, std::int32_t /*milliseconds*/) {
  return Next(timed_takes);
}
std::int32_t QUENTHALOY_CALL SendThreadMessage(std::int32_t /*recipient*/, std::int32_t /*value*/) {
  return Next(posts);
}
std::int32_t QUENTHALOY_CALL SendThreadMessageAndWait(std::int32_t /*recipient*/, std::int32_t /*value*/) {
  return Next(posts);
}
std::int32_t QUENTHALOY_CALL WaitThreadMessage(std::int32_t /*recipient*/) { return 0; }
}

#else
}  // namespace
#endif
