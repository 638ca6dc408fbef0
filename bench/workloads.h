// What the benchmarks share: measuring, turn about, for bench/report.py, and
// the workloads, written once over a small adaptor per queue or lock. A
// queue: Queue(keys, producers, consumers); Post(from, to, value) by producer
// thread `from`, Take(by, to) blocking and TryTake(by, to) (0: nothing; no
// workload posts 0) by consumer thread `by`, so that a peer can keep what its
// documentation asks per thread; kShared: consumers can share a key. A lock:
// lock() and unlock().
#ifndef QUENTHALOY_BENCH_WORKLOADS_H
#define QUENTHALOY_BENCH_WORKLOADS_H

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "quenthaloy.h"

namespace bench {

inline int repetitions = 5;
inline bool quick = false;  // one tiny iteration of each, so that the code cannot rot
inline std::string only;    // just the rows whose names contain this
inline bool failed = false;
// Workloads raise it when a job is lost, taken twice or out of order: the
// run's figures are then meaningless, and the exit status says so.
inline std::atomic<bool> check_failed{false};

inline void Check(bool correct) {
  if (!correct) check_failed = true;
}
inline void Fail(const std::string& what) {
  fprintf(stderr, "%s\n", what.c_str());
  failed = true;
}
inline long Scaled(long n, long quick_n = 1) { return quick ? quick_n : n; }
inline bool Selected(const std::string& what) { return what.find(only) != std::string::npos; }

// The command line every benchmark takes: --quick, --only TEXT.
inline void Arguments(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--quick") == 0) quick = true;
    if (strcmp(argv[i], "--only") == 0 && i + 1 < argc) only = argv[++i];
  }
  if (quick) repetitions = 1;
}

// One implementation in a row: `run` does the workload once and returns a
// sample (ns per operation, or operations per second); `goal` is the limit
// for our cost over it (0: none), or on the first side, ours, for our figure.
struct Side {
  std::string name;
  std::function<double()> run;
  double goal = 0;
  std::vector<double> samples = {};
};

// Warms every side up once, then runs them turn about (A, B, C, A, B, C...)
// so that a quiet or a noisy stretch of the machine falls on all of them.
inline std::vector<Side> Measure(const std::string& what, std::vector<Side> sides) {
  fprintf(stderr, "running: %s\n", what.c_str());
  for (int r = -1; r < repetitions; ++r) {
    for (Side& side : sides) {
      const double sample = side.run();
      if (check_failed.exchange(false)) Fail(what + ": " + side.name + ": the workload's check failed");
      if (r >= 0) side.samples.push_back(sample);
    }
  }
  return sides;
}

// What bench/report.py reads: a line of text, or a row, ours first:
//   @what;unit;series;x|implementation;goal;sample sample...|...
// With `series`, the row is also the point `x` of that plotted series.
inline void Section(const std::string& title) { printf("-- %s\n", title.c_str()); }
inline void Report(const std::string& what, const std::string& unit, const std::vector<Side>& sides,
                   const std::string& series = "", const std::string& x = "") {
  printf("@%s;%s;%s;%s", what.c_str(), unit.c_str(), series.c_str(), x.c_str());
  for (const Side& side : sides) {
    printf("|%s;%g;", side.name.c_str(), side.goal);
    for (double sample : side.samples) printf(" %.6g", sample);
  }
  printf("\n");
  fflush(stdout);
}
inline void Compare(const std::string& what, const std::string& unit, const std::vector<Side>& sides,
                    const std::string& series = "", const std::string& x = "") {
  if (Selected(what)) Report(what, unit, Measure(what, sides), series, x);
}

// ---- The library's adaptors; every queue has keys of its own.
inline std::atomic<int32_t> next_key{10000};

struct Ours {
  static constexpr bool kShared = true;
  Ours(int keys, int, int) : base(next_key.fetch_add(keys)) {}
  void Post(int, int to, int32_t value) { SendThreadMessage(base + to, value); }
  int32_t Take(int, int to) { return WaitThreadMessage(base + to); }
  int32_t TryTake(int, int to) { return GetThreadMessage(base + to); }
  // A synchronous send, and what its taker does then (nothing here).
  void SendAndWait(int to, int32_t value) { SendThreadMessageAndWait(base + to, value); }
  void Taken(int) {}
  int32_t base;
};

struct OurResource {
  OurResource() : handle(AddThreadResource()) { Check(handle != 0); }
  ~OurResource() { DeleteThreadResource(handle); }
  void lock() { OpenThreadResource(handle); }
  void unlock() { CloseThreadResource(handle); }
  int32_t handle;
};

// ---- The workloads, each checking its own result.
constexpr int32_t kStop = -1;
constexpr int32_t kEnd = -2;

inline int32_t PopFront(std::deque<int32_t>& values) {
  const int32_t value = values.front();
  values.pop_front();
  return value;
}
struct Stopwatch {
  double Nanoseconds() const { return std::chrono::duration<double, std::nano>(Clock::now() - start).count(); }
  double PerItem(long items) const { return Nanoseconds() / static_cast<double>(items); }
  double PerSecond(long items) const { return static_cast<double>(items) * 1e9 / Nanoseconds(); }
  using Clock = std::chrono::steady_clock;
  Clock::time_point start = Clock::now();
};

// One dispatcher hands jobs 1..jobs round-robin to `workers` workers, each on
// its own key, then a stop value to each; each worker checks that it got
// exactly its jobs, in order. Nanoseconds per job, their finishing included.
template <class Queue>
double WorkerPool(int workers, long jobs) {
  Queue queue(workers, 1, workers);
  std::atomic<int> ready{0};
  std::vector<std::thread> pool;
  for (int w = 0; w < workers; ++w) {
    pool.emplace_back([&, w] {
      ready.fetch_add(1);
      long expected = w + 1;
      for (int32_t job = queue.Take(w, w); job != kStop; job = queue.Take(w, w), expected += workers) {
        Check(job == expected);
      }
      Check(expected > jobs);
    });
  }
  while (ready.load() < workers) std::this_thread::yield();
  const Stopwatch time;
  for (long job = 1; job <= jobs; ++job)
    queue.Post(0, static_cast<int>((job - 1) % workers), static_cast<int32_t>(job));
  for (int w = 0; w < workers; ++w) queue.Post(0, w, kStop);
  for (auto& worker : pool) worker.join();
  return time.PerItem(jobs);
}

// The same queue with a key per consumer: each producer deals its messages
// round-robin to the consumers' own keys, as the floors always do.
template <class Queue>
struct Dealt : Queue {
  static constexpr bool kShared = false;
  using Queue::Queue;
};

// `producers` threads post `messages` in all to `consumers` threads that
// share one key (!kShared: each producer deals its messages round-robin to
// the consumers' own keys). Each consumer checks every producer's order; all
// are taken once. Messages per second, the producers' start included. Some
// peers keep only each producer's order, so the end is told in each
// producer's stream: an end marker per consumer; whoever takes the last
// releases the others with stop values (posting as producer `producers`).
template <class Queue>
double ManyToMany(int producers, int consumers, long messages) {
  const long per_producer = std::max(1L, messages / producers);
  auto key = [consumers](long c) { return Queue::kShared ? 0 : static_cast<int>(c % consumers); };
  Queue queue(Queue::kShared ? 1 : consumers, producers + 1, consumers);
  std::atomic<long> taken{0};
  std::atomic<int> ready{0}, ends{0};
  std::vector<std::thread> takers, posters;
  for (int c = 0; c < consumers; ++c) {
    takers.emplace_back([&, c] {
      std::vector<int32_t> last(producers, 0);
      long count = 0;
      ready.fetch_add(1);
      for (int32_t value = queue.Take(c, key(c)); value != kStop; value = queue.Take(c, key(c))) {
        if (value == kEnd && ends.fetch_add(1) + 1 == producers * consumers) {
          for (int other = 0; other < consumers; ++other) {
            if (other != c) queue.Post(producers, key(other), kStop);
          }
          break;
        }
        if (value == kEnd) continue;
        Check((value & 0xffffff) > last[value >> 24]);
        last[value >> 24] = value & 0xffffff;
        ++count;
      }
      taken.fetch_add(count);
    });
  }
  while (ready.load() < consumers) std::this_thread::yield();
  const Stopwatch time;
  for (int p = 0; p < producers; ++p) {
    posters.emplace_back([&, p] {
      for (long i = 1; i <= per_producer; ++i) queue.Post(p, key(i), static_cast<int32_t>(p << 24 | i));
      for (int c = 0; c < consumers; ++c) queue.Post(p, key(c), kEnd);
    });
  }
  for (auto& thread : posters) thread.join();
  for (auto& thread : takers) thread.join();
  Check(taken.load() == per_producer * producers);
  return time.PerSecond(per_producer * producers);
}

// One thread posts and takes back its own message (!post: takes from an
// empty queue): nanoseconds per pair.
template <class Queue, bool post = true>
double PostTake(long pairs) {
  Queue queue(1, 1, 1);
  long wrong = 0;
  const Stopwatch time;
  for (long i = 0; i < pairs; ++i) {
    if (post) queue.Post(0, 0, static_cast<int32_t>(i | 1));
    wrong += queue.TryTake(0, 0) != (post ? static_cast<int32_t>(i | 1) : 0);
  }
  const double ns = time.PerItem(pairs);
  Check(wrong == 0);
  return ns;
}

// Two threads: a message there and (kHandOff: the sender waits in
// SendAndWait until it is taken) its echo back on a second key. Nanoseconds
// per round trip, the echo's start included.
template <class Queue, bool kHandOff = false>
double RoundTrip(long rounds) {
  Queue queue(2, 2, 2);
  const Stopwatch time;
  std::thread echo([&] {
    for (long i = 0; i < rounds; ++i) {
      const int32_t value = queue.Take(1, 0);
      if constexpr (kHandOff) {
        Check(value == static_cast<int32_t>(i | 1));
        queue.Taken(0);
      } else {
        queue.Post(1, 1, value);
      }
    }
  });
  for (long i = 0; i < rounds; ++i) {
    if constexpr (kHandOff) {
      queue.SendAndWait(0, static_cast<int32_t>(i | 1));
    } else {
      queue.Post(0, 0, static_cast<int32_t>(i | 1));
      Check(queue.Take(0, 1) == static_cast<int32_t>(i | 1));
    }
  }
  echo.join();
  return time.PerItem(rounds);
}

// Take and give back on one thread: nanoseconds per pair.
template <class Lock>
double Uncontended(long pairs) {
  Lock lock;
  const Stopwatch time;
  for (long i = 0; i < pairs; ++i) {
    lock.lock();
    lock.unlock();
  }
  return time.PerItem(pairs);
}

// `threads` threads each take the lock `per_thread` times around a shared
// count, which checks the exclusion: sections per second.
template <class Lock>
double Contended(int threads, long per_thread) {
  Lock lock;
  long count = 0;
  std::vector<std::thread> workers;
  const Stopwatch time;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&] {
      for (long i = 0; i < per_thread; ++i) {
        const std::lock_guard<Lock> hold(lock);
        count = count + 1;
      }
    });
  }
  for (auto& worker : workers) worker.join();
  Check(count == threads * per_thread);
  return time.PerSecond(threads * per_thread);
}

// A lock made and destroyed: nanoseconds per pair.
template <class Lock>
double MakeDestroy(long pairs) {
  const Stopwatch time;
  for (long i = 0; i < pairs; ++i) Lock lock;
  return time.PerItem(pairs);
}

}  // namespace bench

#endif
