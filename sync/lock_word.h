// The sync room: the primitives every lock and wait of the library is built
// from, written once: the lock word (here) and the back-off policy
// (backoff.h). It stands on the platform's contract alone, and the queue,
// the resources and both platforms' implementations use it.
//
// The lock word: every lock of the library's own (the queue's shards, the
// resources' mutexes) is one 32-bit word, free, held, or contended (held,
// and a taker may sleep on it). Taken with one compare-and-swap when free,
// spun on, yielded on and slept on by the back-off's figures when not; given
// back with one exchange, and a wake only when someone may sleep. No other
// file compares-and-swaps a lock word.
//
// While one thread alone has called the library (platform::EnterOnlyCaller)
// it takes and gives back words with plain loads and stores, in one of two
// ways: a section that spans from the take to the give-back (Take and
// GiveBack: the word says kHeldAlone meanwhile), or a section around the
// take alone and another around the give-back (TryTakeHeld and
// GiveBackHeld: the word says kHeld, as an atomic take leaves it).
#ifndef QUENTHALOY_SYNC_LOCK_WORD_H
#define QUENTHALOY_SYNC_LOCK_WORD_H

#include <stdint.h>

#include <atomic>

#include "../platform/platform.h"
#include "backoff.h"

namespace synchro {

using LockWord = std::atomic<uint32_t>;

constexpr uint32_t kFree = 0;
constexpr uint32_t kHeld = 1;
constexpr uint32_t kContended = 2;
// Held by the only caller inside its section, which ends when the word is
// given back.
constexpr uint32_t kHeldAlone = 3;

// One compare-and-swap from free to `as`; a sequentially consistent one
// reads a held word so too.
[[nodiscard]] inline bool TryTake(LockWord* word, uint32_t as = kHeld,
                                  std::memory_order order = std::memory_order_acquire) {
  uint32_t expected = kFree;
  return word->compare_exchange_strong(expected, as, order,
                                       order == std::memory_order_seq_cst ? order : std::memory_order_relaxed);
}

// Wakes one taker of a word whose give-back found it contended.
void Wake(LockWord* word);

// Takes a word the compare-and-swap found held: spins, yields, then sleeps
// (marking the word contended), and returns holding it.
__attribute__((noinline)) void TakeSlowly(LockWord* word);

// Takes the word atomically, whoever calls: for a lock held across a fork.
inline void TakeAtomically(LockWord* word) {
  if (!TryTake(word)) TakeSlowly(word);
}

// The section-spanning pair. A signal handler of the only caller that
// finds the word held would wait for ever, as it would for a word taken
// atomically.
// Whether this thread is the only caller and may take and give back words
// with plain loads and stores now (platform::EnterOnlyCaller).
// The common answers come inline, without a call.
inline __attribute__((always_inline)) bool EnterAlone() {
  if constexpr (platform::kKnowsOnlyCaller) {
    const platform::OnlyCallerAnswer quick = platform::EnterOnlyCallerQuickly();
    if (__builtin_expect(quick != platform::OnlyCallerAnswer::kAsk, 1)) {
      return quick == platform::OnlyCallerAnswer::kEntered;
    }
    return platform::EnterOnlyCaller();
  }
  return false;
}
inline void LeaveAlone() {
  if constexpr (platform::kKnowsOnlyCaller) platform::LeaveOnlyCaller();
}
// Counts this thread among the library's callers before it takes words
// atomically outside a call's own take (a fork's locks, a close's
// compare-and-swaps): a thread other than the only caller waits until the
// only caller is out of its sections, which from then on take every word
// atomically too.
inline void JoinCallers() {
  if (EnterAlone()) LeaveAlone();
}

// How the only caller's way of taking a word went.
enum class AloneTake {
  kShared,  // other threads call too: the word is taken atomically
  kTaken,   // taken: what the section guards is the caller's alone too, to
            // read and write with plain loads and stores
  kHeld,    // this thread is the only caller and holds the word already:
            // a signal handler inside its own section
};

[[nodiscard]] inline __attribute__((always_inline)) AloneTake TakeAlone(LockWord* word) {
  if (!EnterAlone()) return AloneTake::kShared;
  if (word->load(std::memory_order_relaxed) == kFree) {
    word->store(kHeldAlone, std::memory_order_relaxed);
    return AloneTake::kTaken;
  }
  LeaveAlone();
  return AloneTake::kHeld;
}

inline __attribute__((always_inline)) void Take(LockWord* word) {
  if (TakeAlone(word) != AloneTake::kTaken) TakeAtomically(word);
}

inline __attribute__((always_inline)) void GiveBack(LockWord* word) {
  if (word->load(std::memory_order_relaxed) == kHeldAlone) {
    word->store(kFree, std::memory_order_release);
    LeaveAlone();
    return;
  }
  if (word->exchange(kFree, std::memory_order_release) == kContended) Wake(word);
}

// Inside the only caller's section: takes a free word, and leaves the section.
[[nodiscard]] inline __attribute__((always_inline)) bool TakeFreeAndLeave(LockWord* word) {
  const bool free = word->load(std::memory_order_relaxed) == kFree;
  if (free) word->store(kHeld, std::memory_order_relaxed);
  LeaveAlone();
  return free;
}
// The only caller takes a free word with a plain look and store: a signal
// handler of its own that takes it in between runs to its end first, and
// the caller must count that take (the word is then its own already).
[[nodiscard]] inline bool TryTakeHeld(LockWord* word) {
  if (EnterAlone() && TakeFreeAndLeave(word)) return true;
  return TryTake(word);
}

// Inside the only caller's section: gives back a word taken by TryTakeHeld
// (not one taken atomically before the section began), and leaves it.
[[nodiscard]] inline __attribute__((always_inline)) bool GiveBackAndLeave(LockWord* word) {
  const bool alone = word->load(std::memory_order_relaxed) == kHeld;
  if (alone) word->store(kFree, std::memory_order_release);
  LeaveAlone();
  return alone;
}
// Gives back a word taken by TryTakeHeld or any atomic take. The exchange is
// sequentially consistent: a caller may order a look at its own state after
// it. The only caller stores instead: nobody else can sleep on the word.
inline __attribute__((always_inline)) void GiveBackHeld(LockWord* word) {
  if (EnterAlone() && GiveBackAndLeave(word)) return;
  if (__builtin_expect(word->exchange(kFree, std::memory_order_seq_cst) == kContended, 0)) Wake(word);
}

// The same two without a call on their common paths, for a caller whose
// fast path must keep no value across one: kAsk says that only the only
// caller's check out of line can tell (the library's first call, a second
// thread's arrival), and the caller then uses TryTakeHeld or GiveBackHeld.
enum class QuickTry { kTaken, kBusy, kAsk };
[[nodiscard]] inline __attribute__((always_inline)) QuickTry TryTakeHeldQuickly(LockWord* word) {
  if constexpr (platform::kKnowsOnlyCaller) {
    const platform::OnlyCallerAnswer alone = platform::EnterOnlyCallerQuickly();
    if (alone == platform::OnlyCallerAnswer::kAsk) return QuickTry::kAsk;
    if (alone == platform::OnlyCallerAnswer::kEntered && TakeFreeAndLeave(word)) return QuickTry::kTaken;
  }
  return TryTake(word) ? QuickTry::kTaken : QuickTry::kBusy;
}

// kWake: a taker may sleep on the word, and the caller wakes it (Wake).
enum class QuickGiveBack { kDone, kWake, kAsk };
[[nodiscard]] inline __attribute__((always_inline)) QuickGiveBack GiveBackHeldQuickly(LockWord* word) {
  if constexpr (platform::kKnowsOnlyCaller) {
    const platform::OnlyCallerAnswer alone = platform::EnterOnlyCallerQuickly();
    if (alone == platform::OnlyCallerAnswer::kAsk) return QuickGiveBack::kAsk;
    if (alone == platform::OnlyCallerAnswer::kEntered && GiveBackAndLeave(word)) return QuickGiveBack::kDone;
  }
  return word->exchange(kFree, std::memory_order_seq_cst) == kContended ? QuickGiveBack::kWake : QuickGiveBack::kDone;
}

// Spins up to `rounds` pauses for the word to be free and takes it then (as
// `as`: held, or contended by a taker that slept and may have company);
// gives up early once `give_up()` says the holder will not let go soon.
template <typename GiveUp>
[[nodiscard]] bool SpinToTake(LockWord* word, int rounds, uint32_t as, GiveUp give_up) {
  if (!backoff::SpinningPays()) return false;
  for (int i = 0; i < rounds; ++i) {
    backoff::CpuRelax();
    if (word->load(std::memory_order_relaxed) == kFree) {
      if (TryTake(word, as)) return true;
      continue;
    }
    if (give_up()) return false;
  }
  return false;
}

// Sleeps on the word until it is taken (true) or the deadline (null: none)
// passes. After each wake-up it spins `spins_after_wake` rounds first: a
// thread just woken often finds the word taken again by a running thread
// that lets it go within a few. Without a wait on words here, it yields
// instead of sleeping.
template <typename GiveUp>
[[nodiscard]] bool SleepToTake(LockWord* word, const platform::Deadline* deadline, int spins_after_wake,
                               GiveUp give_up) {
  for (;;) {
    if (word->exchange(kContended, std::memory_order_acquire) == kFree) return true;
    if constexpr (platform::kCanWaitOnWord) {
      if (!platform::WaitOnWord(word, kContended, deadline)) return false;
    } else {
      if (deadline != nullptr && platform::DeadlinePassed(*deadline)) return false;
      platform::YieldThread();
    }
    if (spins_after_wake > 0 && SpinToTake(word, spins_after_wake, kContended, give_up)) return true;
  }
}

inline bool NeverGiveUp() { return false; }

}  // namespace synchro

#endif
