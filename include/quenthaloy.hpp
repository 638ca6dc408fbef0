// Quenthaloy for C++17 and later: the message calls as functions and the
// thread resource as a lock class, over include/quenthaloy.h. Header-only;
// link the library as for the C header (-lquenthaloy, or on Windows the
// import library of Quenthaloy.dll or, with QUENTHALOY_CDECL, of
// QuenthaloyC.dll: the CMake targets do both).
//
//   quenthaloy::post(7, 42);                  // queue 42 for recipient 7
//   int32_t value = quenthaloy::wait(7);       // sleep until one comes
//   quenthaloy::resource lock;                 // a recursive, timed lock
//   std::scoped_lock both(lock, other_lock);
//   std::unique_lock guard(lock, std::chrono::milliseconds(50));
//
// resource meets the standard's Lockable and TimedLockable requirements, so
// std::lock_guard, std::scoped_lock, std::unique_lock and std::lock take it,
// as they take a std::recursive_timed_mutex, which it behaves like.
//
// Failures are exceptions, as in the standard library's own containers and
// mutexes: a message the library could not queue (no memory for it) throws
// std::bad_alloc from post() and send(), as a container's push does, rather
// than a result a caller may drop; a take or give-back that the library
// refused for want of memory (a new thread's first call) throws
// std::bad_alloc, not the error of a bad handle. Built without exceptions,
// each of these ends the program, as the standard library does then.
#ifndef QUENTHALOY_HPP
#define QUENTHALOY_HPP

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <system_error>
#include <utility>

#include "quenthaloy.h"

#if defined(QUENTHALOY_RUNTIME_LOADING)
#error "quenthaloy.hpp calls the linked library: it cannot be used with QUENTHALOY_RUNTIME_LOADING"
#endif

// The names are the standard library's, not this project's CamelCase: the
// lock requirements that std::scoped_lock and std::unique_lock rely on name
// lock(), try_lock() and the rest so.
// NOLINTBEGIN(readability-identifier-naming)
namespace quenthaloy {

namespace detail {

#if defined(_WIN32)
// The declarations of <windows.h>, which this header does not include.
extern "C" __declspec(dllimport) unsigned long __stdcall GetLastError(void);
extern "C" __declspec(dllimport) void __stdcall SetLastError(unsigned long error);
constexpr unsigned long kErrorNotEnoughMemory = 8;
#endif

// A resource call's 0 cannot say that memory ran out; the library says so in
// errno (ENOMEM) or the last error (ERROR_NOT_ENOUGH_MEMORY), cleared before
// the call.
inline void ClearFailure() noexcept {
#if defined(_WIN32)
  SetLastError(0);
#else
  errno = 0;
#endif
}

inline bool ShortOfMemory() noexcept {
#if defined(_WIN32)
  return GetLastError() == kErrorNotEnoughMemory;
#else
  return errno == ENOMEM;
#endif
}

[[noreturn]] inline void FailForMemory() {
#if defined(__cpp_exceptions) || defined(_CPPUNWIND)
  throw std::bad_alloc();
#else
  std::abort();
#endif
}

}  // namespace detail

// Queues `value` for `recipient` and returns at once; std::bad_alloc if
// there was no memory for it (nothing was queued). A receiver that polls
// cannot tell a value of 0 from "nothing queued".
inline void post(std::int32_t recipient, std::int32_t value) {
  if (SendThreadMessage(recipient, value) != 0) {
    detail::FailForMemory();
  }
}

// Queues `value` for `recipient` and returns once another thread took it;
// std::bad_alloc at once if there was no memory for it (nothing was queued).
// Never send to a recipient only the calling thread serves: it would wait
// for ever.
inline void send(std::int32_t recipient, std::int32_t value) {
  if (SendThreadMessageAndWait(recipient, value) != 0) {
    detail::FailForMemory();
  }
}

// Takes the oldest message for `recipient` without waiting: its value, or 0
// when none is queued (a message whose value is 0 also gives 0).
inline std::int32_t poll(std::int32_t recipient) noexcept { return GetThreadMessage(recipient); }

// Sleeps until a message for `recipient` is queued, takes it and returns its
// value (0 is a real value here).
inline std::int32_t wait(std::int32_t recipient) noexcept { return WaitThreadMessage(recipient); }

// A recursive lock that belongs to the thread that took it: that thread may
// take it again without blocking and must give it back as many times; only
// that thread may give it back.
//
// The constructor makes the resource and throws std::system_error
// (std::errc::resource_unavailable_try_again) when the system makes no more,
// as std::recursive_timed_mutex's constructor may; built without exceptions,
// it ends the program instead: a resource that could not be made is never
// usable. The destructor destroys it, held or not. A resource moves (noexcept)
// and does not copy; a moved-from resource holds no lock: lock() on it throws
// std::system_error (std::errc::operation_not_permitted), try_lock*() return
// false.
//
// Abandoned: a thread that ends while holding it abandons it. The next take
// (lock(), try_lock(), try_lock_for(), try_lock_until()) gets it and
// succeeds, as any take: lock() returns holding it, the others return true.
// abandoned() then says so, by the rule for "abandoned" in the README's
// "What a caller can rely on" (the Python package's Resource.abandoned
// follows it too): the data the lock guards may be half updated.
//
// No memory: lock(), try_lock_for() and try_lock_until() throw
// std::bad_alloc when the library had no memory for the calling thread (a
// new thread's first call); try_lock() returns false then.
class resource {
 public:
  using native_handle_type = std::int32_t;

  resource() : handle_(AddThreadResource()) {
    if (handle_ == 0) {
      Fail(std::errc::resource_unavailable_try_again, "quenthaloy::resource: the system would make no more resources");
    }
  }
  ~resource() {
    if (handle_ != 0) {
      DeleteThreadResource(handle_);
    }
  }
  resource(const resource&) = delete;
  resource& operator=(const resource&) = delete;
  resource(resource&& other) noexcept
      : handle_(std::exchange(other.handle_, 0)),
        abandoned_(other.abandoned_),
        abandoned_unseen_(other.abandoned_unseen_.exchange(false)) {}
  resource& operator=(resource&& other) noexcept {
    if (this != &other) {
      if (handle_ != 0) {
        DeleteThreadResource(handle_);
      }
      handle_ = std::exchange(other.handle_, 0);
      abandoned_ = other.abandoned_;
      abandoned_unseen_.store(other.abandoned_unseen_.exchange(false));
    }
    return *this;
  }

  // Takes it, waiting as long as it takes; returns holding it, abandoned or
  // not. Throws std::system_error if this resource holds no lock (moved
  // from, or its handle deleted through native_handle()).
  void lock() {
    for (;;) {
      detail::ClearFailure();
      if (OpenThreadResource(handle_) == 1) {
        Taken(false);
        return;
      }
      const int outcome = AfterRefusedTake();
      if (outcome == kHeld) {
        return;
      }
      if (outcome == kNoMemory) {
        detail::FailForMemory();
      }
      // OpenThreadResource waits for ever: a refusal that was no abandoned
      // take means there is no lock to take.
      if (outcome == kRefused) {
        Fail(std::errc::operation_not_permitted, "quenthaloy::resource::lock: not an open resource");
      }
    }
  }

  // One try, never waits: true if the caller now holds it.
  bool try_lock() noexcept {
    detail::ClearFailure();
    if (OpenThreadResourceWithin(handle_, 0) == 1) {
      Taken(false);
      return true;
    }
    return AfterRefusedTake() == kHeld;
  }

  // Waits at most `timeout` (none if zero or negative; any length, however
  // long): true if the caller now holds it.
  template <class Rep, class Period>
  bool try_lock_for(const std::chrono::duration<Rep, Period>& timeout) {
    if (!(timeout > timeout.zero())) {
      return try_lock();
    }
    // A deadline beyond what the steady clock can count waits as long as it can.
    const auto now = std::chrono::steady_clock::now();
    const auto room = std::chrono::steady_clock::time_point::max() - now;
    if (std::chrono::duration<long double>(timeout) >= std::chrono::duration<long double>(room)) {
      return try_lock_until(std::chrono::steady_clock::time_point::max());
    }
    return try_lock_until(now + std::chrono::ceil<std::chrono::steady_clock::duration>(
                                    std::chrono::duration<long double, Period>(timeout)));
  }

  // Waits until `deadline` of `Clock` (steady or not: the time left is read
  // from Clock again after each wait): true if the caller now holds it.
  // False at once for a handle that is no longer open (deleted through
  // native_handle()), as a wait refused well before its time tells.
  template <class Clock, class Duration>
  bool try_lock_until(const std::chrono::time_point<Clock, Duration>& deadline) {
    if (handle_ == 0) {
      return false;
    }
    for (;;) {
      // In milliseconds as long double: no deadline or clock can overflow it.
      const long double left =
          std::ceil(std::chrono::duration<long double, std::milli>(deadline.time_since_epoch()).count() -
                    std::chrono::duration<long double, std::milli>(Clock::now().time_since_epoch()).count());
      if (!(left > 0)) {
        return try_lock();
      }
      const auto wait_ms = static_cast<std::int32_t>(std::min<long double>(left, kLongestWaitMs));
      const auto started = std::chrono::steady_clock::now();
      detail::ClearFailure();
      if (OpenThreadResourceWithin(handle_, wait_ms) == 1) {
        Taken(false);
        return true;
      }
      const int outcome = AfterRefusedTake();
      if (outcome == kHeld) {
        return true;
      }
      if (outcome == kNoMemory) {
        detail::FailForMemory();
      }
      if (outcome == kRefused && CutShort(wait_ms, started)) {
        return false;
      }
    }
  }

  // Gives it back once. A thread that does not hold it changes nothing.
  void unlock() noexcept { CloseThreadResource(handle_); }

  // Whether the take that last gave the caller this resource found it
  // abandoned. Ask only while holding it.
  bool abandoned() const noexcept { return abandoned_; }

  // The library's handle, for code that uses the C calls on the same lock;
  // 0 for a moved-from resource. The resource still destroys it.
  native_handle_type native_handle() const noexcept { return handle_; }

 private:
  static constexpr std::int32_t kLongestWaitMs = INT32_MAX;
  // A refused wait of at least this long that ended before half its time
  // was no time-out. Shorter ones are not judged: a system's timer may end a
  // wait up to a tick early.
  static constexpr std::int32_t kJudgedWaitMs = 40;
  enum : int { kRefused, kNoMemory, kHeld, kLost };

  [[noreturn]] static void Fail(std::errc error, const char* what) {
#if defined(__cpp_exceptions) || defined(_CPPUNWIND)
    throw std::system_error(std::make_error_code(error), what);
#else
    (void)error;
    (void)what;
    std::abort();
#endif
  }

  static bool CutShort(std::int32_t wait_ms, std::chrono::steady_clock::time_point started) noexcept {
    return wait_ms >= kJudgedWaitMs &&
           (std::chrono::steady_clock::now() - started) * 2 < std::chrono::milliseconds(wait_ms);
  }

  void Taken(bool abandoned) noexcept {
    // A relaxed look first: the flag is almost never set, and the exchange
    // is an atomic write on every take otherwise. Cleared by every take that
    // finds it, so that one abandonment is told once.
    const bool unseen = abandoned_unseen_.load(std::memory_order_relaxed) && abandoned_unseen_.exchange(false);
    abandoned_ = abandoned || unseen;
  }

  // After a take gave 0: a time-out, no open resource, no memory for the
  // calling thread (kNoMemory), or an abandoned take, which leaves the caller
  // holding it. A give-back tells, for it succeeds only for a holder and a
  // time-out never leaves the caller holding it (a holder's own take always
  // succeeds). It is then taken again at once; another thread may get it in
  // between (kLost), and is told through abandoned_unseen_.
  int AfterRefusedTake() noexcept {
    const bool short_of_memory = detail::ShortOfMemory();
    if (CloseThreadResource(handle_) == 0) {
      return short_of_memory ? kNoMemory : kRefused;
    }
    abandoned_unseen_.store(true);
    if (OpenThreadResourceWithin(handle_, 0) == 1) {
      Taken(true);
      return kHeld;
    }
    return kLost;
  }

  std::int32_t handle_;
  // Written by the holder only, read by the holder.
  bool abandoned_ = false;
  // Set by a thread that found it abandoned, between its give-back and its
  // take again: the next taker learns it, whoever that is.
  std::atomic<bool> abandoned_unseen_{false};
};

}  // namespace quenthaloy
// NOLINTEND(readability-identifier-naming)

#endif
