// The workloads every benchmark runs, each over any queue or lock through a
// small adaptor, so that a new peer (or a new platform) is one adaptor.
// Each workload checks its own result (bench::Check) and returns one sample.
//
// A queue holds `keys` independent queues (recipients), made by Queue(keys,
// producers): Post(from, to, value) by producer thread `from` (only the
// floor looks at it), Take(to) blocks, TryTake(to) returns 0 when nothing is
// queued (no workload posts 0); kShared: consumers can share one key.
// A lock has lock() and unlock(), made and destroyed by its constructor and
// destructor.
#ifndef QUENTHALOY_BENCH_WORKLOADS_H
#define QUENTHALOY_BENCH_WORKLOADS_H

#include <stdint.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <thread>
#include <vector>

#include "bench_table.h"
#include "quenthaloy.h"

namespace bench {

// Recipient keys of their own for every queue made, so that no workload
// sees another's leftovers.
inline std::atomic<int32_t> next_key{10000};

struct Ours {
  static constexpr bool kShared = true;
  Ours(int keys, int) : base(next_key.fetch_add(keys)) {}
  void Post(int, int to, int32_t value) { SendThreadMessage(base + to, value); }
  int32_t Take(int to) { return WaitThreadMessage(base + to); }
  int32_t TryTake(int to) { return GetThreadMessage(base + to); }
  // A synchronous send, and what its taker does after the take (nothing here).
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

inline int32_t PopFront(std::deque<int32_t>& values) {
  const int32_t value = values.front();
  values.pop_front();
  return value;
}

constexpr int32_t kStop = -1;
constexpr int32_t kEnd = -2;

inline double PerItem(std::chrono::steady_clock::time_point start, long items) {
  return NanosecondsSince(start) / static_cast<double>(items);
}
inline double PerSecond(std::chrono::steady_clock::time_point start, long items) {
  return static_cast<double>(items) / (NanosecondsSince(start) / 1e9);
}

// One dispatcher hands jobs 1..jobs round-robin to `workers` workers, each on
// its own key, then a stop value to each; every worker checks that it got
// exactly its jobs, in order. Nanoseconds per job, the workers' start
// excluded and their finishing included.
template <class Queue>
double WorkerPool(int workers, long jobs) {
  Queue queue(workers, 1);
  std::atomic<int> ready{0};
  std::vector<std::thread> pool;
  for (int w = 0; w < workers; ++w) {
    pool.emplace_back([&, w] {
      ready.fetch_add(1);
      long expected = w + 1;
      for (int32_t job = queue.Take(w); job != kStop; job = queue.Take(w)) {
        Check(job == expected);
        expected += workers;
      }
      Check(expected > jobs);
    });
  }
  while (ready.load() < workers) std::this_thread::yield();
  const auto start = std::chrono::steady_clock::now();
  for (long job = 1; job <= jobs; ++job)
    queue.Post(0, static_cast<int>((job - 1) % workers), static_cast<int32_t>(job));
  for (int w = 0; w < workers; ++w) queue.Post(0, w, kStop);
  for (auto& worker : pool) worker.join();
  return PerItem(start, jobs);
}

// `producers` threads post `messages` in all to `consumers` threads that
// share one key (unless !kShared: then each producer deals its messages
// round-robin to the consumers' own keys). Each consumer checks that it sees
// every producer's messages in the order posted; all are taken once.
// Messages per second, the producers' start included.
//
// Some peers keep only each producer's order, so the end is told in every
// producer's own stream: each posts one end marker per consumer after its
// messages. When all markers are taken nothing else is left, and the
// consumer that took the last one releases the others with stop values
// (posting as producer `producers`).
template <class Queue>
double ManyToMany(int producers, int consumers, long messages) {
  const long per_producer = std::max(1L, messages / producers);
  auto key = [consumers](long c) { return Queue::kShared ? 0 : static_cast<int>(c % consumers); };
  Queue queue(Queue::kShared ? 1 : consumers, producers + 1);
  std::atomic<long> taken{0};
  std::atomic<int> ready{0}, ends{0};
  std::vector<std::thread> takers, posters;
  for (int c = 0; c < consumers; ++c) {
    takers.emplace_back([&, c] {
      std::vector<int32_t> last(producers, 0);
      long count = 0;
      ready.fetch_add(1);
      for (int32_t value = queue.Take(key(c)); value != kStop; value = queue.Take(key(c))) {
        if (value == kEnd) {
          if (ends.fetch_add(1) + 1 < producers * consumers) continue;
          for (int other = 0; other < consumers; ++other) {
            if (other != c) queue.Post(producers, key(other), kStop);
          }
          break;
        }
        int32_t& previous = last[value >> 24];
        Check((value & 0xffffff) > previous);
        previous = value & 0xffffff;
        ++count;
      }
      taken.fetch_add(count);
    });
  }
  while (ready.load() < consumers) std::this_thread::yield();
  const auto start = std::chrono::steady_clock::now();
  for (int p = 0; p < producers; ++p) {
    posters.emplace_back([&, p] {
      for (long i = 1; i <= per_producer; ++i) queue.Post(p, key(i), static_cast<int32_t>(p << 24 | i));
      for (int c = 0; c < consumers; ++c) queue.Post(p, key(c), kEnd);
    });
  }
  for (auto& poster : posters) poster.join();
  for (auto& taker : takers) taker.join();
  Check(taken.load() == per_producer * producers);
  return PerSecond(start, per_producer * producers);
}

// One thread posts and takes back its own message: nanoseconds per pair.
template <class Queue>
double PostTake(long pairs) {
  Queue queue(1, 1);
  long wrong = 0;
  const auto start = std::chrono::steady_clock::now();
  for (long i = 0; i < pairs; ++i) {
    queue.Post(0, 0, static_cast<int32_t>(i | 1));
    wrong += queue.TryTake(0) != static_cast<int32_t>(i | 1);
  }
  const double ns = PerItem(start, pairs);
  Check(wrong == 0);
  return ns;
}

// One thread takes from an empty queue: nanoseconds per take.
template <class Queue>
double TakeEmpty(long takes) {
  Queue queue(1, 1);
  long wrong = 0;
  const auto start = std::chrono::steady_clock::now();
  for (long i = 0; i < takes; ++i) wrong += queue.TryTake(0) != 0;
  const double ns = PerItem(start, takes);
  Check(wrong == 0);
  return ns;
}

// Two threads, two keys: a message there, its echo back. Nanoseconds per
// round trip, the echo's start included.
template <class Queue>
double PingPong(long rounds) {
  Queue queue(2, 1);
  long wrong = 0;
  const auto start = std::chrono::steady_clock::now();
  std::thread echo([&] {
    for (long i = 0; i < rounds; ++i) queue.Post(0, 1, queue.Take(0));
  });
  for (long i = 0; i < rounds; ++i) {
    queue.Post(0, 0, static_cast<int32_t>(i | 1));
    wrong += queue.Take(1) != static_cast<int32_t>(i | 1);
  }
  echo.join();
  Check(wrong == 0);
  return PerItem(start, rounds);
}

// One thread sends synchronously, returning when the other has taken the
// message: nanoseconds per message, the taker's start included.
template <class Queue>
double HandOff(long rounds) {
  Queue queue(1, 1);
  const auto start = std::chrono::steady_clock::now();
  std::thread taker([&] {
    for (long i = 0; i < rounds; ++i) {
      Check(queue.Take(0) == static_cast<int32_t>(i | 1));
      queue.Taken(0);
    }
  });
  for (long i = 0; i < rounds; ++i) queue.SendAndWait(0, static_cast<int32_t>(i | 1));
  taker.join();
  return PerItem(start, rounds);
}

// Take and give back on one thread: nanoseconds per pair.
template <class Lock>
double Uncontended(long pairs) {
  Lock lock;
  const auto start = std::chrono::steady_clock::now();
  for (long i = 0; i < pairs; ++i) {
    lock.lock();
    lock.unlock();
  }
  return PerItem(start, pairs);
}

// `threads` threads each take the lock `per_thread` times around a shared
// count: sections per second. The count checks the exclusion.
template <class Lock>
double Contended(int threads, long per_thread) {
  Lock lock;
  long count = 0;
  std::vector<std::thread> workers;
  const auto start = std::chrono::steady_clock::now();
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&] {
      for (long i = 0; i < per_thread; ++i) {
        lock.lock();
        count = count + 1;
        lock.unlock();
      }
    });
  }
  for (auto& worker : workers) worker.join();
  Check(count == threads * per_thread);
  return PerSecond(start, threads * per_thread);
}

// A lock made and destroyed: nanoseconds per pair.
template <class Lock>
double MakeDestroy(long pairs) {
  const auto start = std::chrono::steady_clock::now();
  for (long i = 0; i < pairs; ++i) Lock lock;
  return PerItem(start, pairs);
}

}  // namespace bench

#endif
