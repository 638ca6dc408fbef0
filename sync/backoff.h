// The one answer to "when does a waiting thread stop spinning": every wait
// of the library (a lock word, a resource, a parker) spins, then yields,
// then sleeps, by the figures here, each with its reason. Spins are counted
// in pauses, whose rate Measure finds at load.
#ifndef QUENTHALOY_SYNC_BACKOFF_H
#define QUENTHALOY_SYNC_BACKOFF_H

#include <stdint.h>

namespace synchro::backoff {

// --- The core's lock words (the queue's shards) ---------------------------
// Held for a few dozen instructions at a time: a taker that spins a little
// often finds the word free. Not longer: long spinning keeps the word's line
// bouncing between processors. A taker that still finds it held yields a few
// times before it sleeps: the holder may be waiting for a processor, and
// every taker that sleeps costs the holder a kernel call to wake it.
constexpr int kLockWordSpins = 10;
constexpr int kLockWordYields = 8;

// --- A waiter before it sleeps ---------------------------------------------
// A waiter that finds nothing queued looks again for about this long before
// it takes its shard's lock to link itself and sleep: in a steady stream the
// next message comes within it, and a waiter that takes it so takes no lock
// and makes its poster take none either.
constexpr int kMessageSpinNanoseconds = 2000;

// --- Resources ------------------------------------------------------------
// A contended take spins about this long before it sleeps, and a woken one
// half as long before it sleeps again: resources guard short work, usually
// done within this, and a longer spin only keeps the word's line away from
// the holder, which needs it to let go (at a hundred rounds, about 2 us on a
// processor whose pause takes 18 ns, four contending threads ran at half the
// rate of ten rounds).
constexpr int kResourceSpinNanoseconds = 250;
// After the spin, a few yields, each followed by a spin: where threads
// outnumber processors the holder is often one that waits for a processor,
// and a taker that never sleeps spares the holder's give-back its kernel call
// (at eight threads on two processors, sections ran 2.5 times as fast as
// with a sleep at once). A yield to a busy processor's other threads can
// last a whole time slice: only a wait without a time-out, or with one of at
// least this many milliseconds, yields.
constexpr int kResourceYields = 8;
constexpr uint32_t kShortestYieldingTimeout = 100;

// --- Parkers --------------------------------------------------------------
// How long a parker looks for its permit before it sleeps (a partner that
// answers within that is cheaper to wait for than a sleep and a wake-up),
// and how often in between it lets another thread run. Where threads
// outnumber processors, the thread that will post is often one waiting for
// a processor: a spinner that yields lets it run, and a waiter that never
// sleeps spares its poster the kernel call that would wake it. Where they do
// not, a yield is a system call that comes straight back (over a
// microsecond in some virtual machines): a thread whose last yield came
// straight back yields only now and then, to notice when others want its
// processor again. Yielding every time there makes two partners that answer
// in about a microsecond each wait out the other's yield, and then yield too.
constexpr int kParkSpinNanoseconds = 9000;
constexpr int kNanosecondsBetweenYields = 900;
constexpr int kNanosecondsBetweenProbes = 3600;
// Spinning pays when the partner answers within the spin, as in a hand-off
// between two threads; it wastes the processor a busy partner needs when the
// answer comes later. After this many vain spins in a row a thread spins
// only on every eighth park, to notice when its partner speeds up again.
constexpr uint32_t kVainSpinsTolerated = 2;
constexpr uint32_t kParksBetweenSpinsWhenVain = 8;
// A yield that took this many times the quickest one let another thread
// run; a processor busy at load gives no quick yield to measure, and past
// the longest figure a yield surely let another thread run.
constexpr int64_t kSlowYieldFactor = 2;
constexpr int64_t kFewestSlowYieldNanoseconds = 1000;
constexpr int64_t kMostSlowYieldNanoseconds = 20000;

// --- Sleeping with nothing to sleep on -------------------------------------
// A wait left with no object to sleep on (on Windows, a parker whose event a
// host closed and none could be made again, or a queue lock whose handle a
// host closed) naps instead, each nap longer up to this: a wake-up then
// comes at most this late. (A lock word where the platform has no wait on a
// word yields instead: it is only contended where the queue lock is missing,
// and given back within a few dozen instructions.)
constexpr uint32_t kLongestNapMilliseconds = 16;

// Measures the pause and the yield, once per load, before any wait. On one
// processor nothing spins: the holder cannot let go while a taker spins.
void Measure();
bool SpinningPays();
// Pauses that last about that long here (at least 1).
int SpinsFor(int nanoseconds);
// A yield of the processor, timed: true when another thread ran meanwhile.
bool YieldLetAnotherRun();

// The nap after `nap` (start from 0): 1, 3, 7, 15, then the longest.
inline uint32_t NextNap(uint32_t nap) {
  return nap * 2 + 1 < kLongestNapMilliseconds ? nap * 2 + 1 : kLongestNapMilliseconds;
}

// What a parker remembers of its spins (zero-filled to start).
struct SpinHistory {
  uint32_t vain_spins;  // parks in a row whose spin ended in a sleep all the same
  uint32_t parks;
  bool yields_pay;  // its last yield let another thread run
};
// Whether this park spins at all, by the history.
bool WorthSpinning(SpinHistory* history);
// Called once the spin's outcome is known: it saw what it waited for, or slept.
inline void NoteSpin(SpinHistory* history, bool paid) { history->vain_spins = paid ? 0 : history->vain_spins + 1; }
// Spins about kParkSpinNanoseconds, yielding now and then, until `ready()`.
template <typename Ready>
void SpinForPark(SpinHistory* history, Ready ready);

// A pause for spin loops, easing the sibling hardware thread.
inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__) || defined(__arm__)
  __asm__ __volatile__("yield");
#endif
}

int ParkSpins();
int SpinsBetweenYields(bool yields_pay);

template <typename Ready>
void SpinForPark(SpinHistory* history, Ready ready) {
  const int spins = ParkSpins();
  int next_yield = SpinsBetweenYields(history->yields_pay);
  for (int i = 1; i <= spins; ++i) {
    if (ready()) return;
    if (i == next_yield) {
      history->yields_pay = YieldLetAnotherRun();
      next_yield = i + SpinsBetweenYields(history->yields_pay);
    } else {
      CpuRelax();
    }
  }
}

}  // namespace synchro::backoff

#endif
