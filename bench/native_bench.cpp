// Native costs against what a user would write instead, measured side by
// side in one run: median of several repetitions, with the spread. The
// library is reached only through its public header and shared library, as
// a host reaches it.
//   native_bench [--csv DIR]  full run; with DIR, also writes native_results.csv
//                             and the plotted series (native_*.csv) there
//   native_bench --quick      one tiny iteration of each, so the code cannot rot
#include <linux/futex.h>
#include <pthread.h>
#include <stdio.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_table.h"
#include "quenthaloy.h"

namespace {

using bench::Figure;
using bench::Measure;

bool quick = false;
long Scaled(long n) { return quick ? std::max(1L, n / 100000) : n; }

// Set when a workload's own check fails (a job lost, taken twice or out of
// order): the figures of such a run mean nothing, and the exit status says so.
bool workload_failed = false;

void CheckWorkload(bool correct, const std::string& what) {
  if (correct) return;
  fprintf(stderr, "native_bench: %s: the workload's check failed\n", what.c_str());
  workload_failed = true;
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Keys of their own for each benchmark, so that none sees another's messages.
constexpr int32_t kPairKey = 1;
constexpr int32_t kOtherRecipientKey = 2;
constexpr int32_t kDepthKey = 3;
constexpr int32_t kHandOffKey = 4;
constexpr int32_t kFirstContentionKey = 100;
constexpr int32_t kFirstWorkerKey = 1000;

void QueuePair(bench::Table& table) {
  bench::Progress("send+get pair");
  std::mutex mutex;
  std::deque<int32_t> queue;
  Figure ours, baseline;
  bench::MeasureInterleaved(
      Scaled(2000000),
      [](long count) {
        for (long i = 0; i < count; ++i) {
          SendThreadMessage(kPairKey, static_cast<int32_t>(i | 1));
          GetThreadMessage(kPairKey);
        }
      },
      [&](long count) {
        for (long i = 0; i < count; ++i) {
          {
            std::lock_guard<std::mutex> hold(mutex);
            queue.push_back(static_cast<int32_t>(i | 1));
          }
          std::lock_guard<std::mutex> hold(mutex);
          queue.pop_front();
        }
      },
      &ours, &baseline);
  table.Row("SendThreadMessage+GetThreadMessage", ours, "std::mutex+std::deque push/pop", baseline, 1.5);
}

void ResourcePair(bench::Table& table) {
  bench::Progress("resource open+close pair");
  const int32_t resource = AddThreadResource();
  CheckWorkload(resource != 0, "AddThreadResource");
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_t recursive;
  pthread_mutex_init(&recursive, &attributes);
  pthread_mutexattr_destroy(&attributes);
  Figure ours, baseline;
  bench::MeasureInterleaved(
      Scaled(2000000),
      [resource](long count) {
        for (long i = 0; i < count; ++i) {
          OpenThreadResource(resource);
          CloseThreadResource(resource);
        }
      },
      [&recursive](long count) {
        for (long i = 0; i < count; ++i) {
          pthread_mutex_lock(&recursive);
          pthread_mutex_unlock(&recursive);
        }
      },
      &ours, &baseline);
  pthread_mutex_destroy(&recursive);
  table.Row("OpenThreadResource+CloseThreadResource", ours, "recursive pthread mutex lock/unlock", baseline, 1.3);
  DeleteThreadResource(resource);
}

long FutexCall(std::atomic<uint32_t>* word, int op, uint32_t value) {
  return syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), op | FUTEX_PRIVATE_FLAG, value, nullptr, nullptr, 0);
}

// Two threads taking turns on one futex word: one round trip, two wake-ups.
Figure FutexPingPong(long n) {
  return Measure(n, [](long count) {
    std::atomic<uint32_t> turn{0};
    std::thread other([&] {
      for (long i = 0; i < count; ++i) {
        while (turn.load() != 1) FutexCall(&turn, FUTEX_WAIT, 0);
        turn.store(0);
        FutexCall(&turn, FUTEX_WAKE, 1);
      }
    });
    for (long i = 0; i < count; ++i) {
      turn.store(1);
      FutexCall(&turn, FUTEX_WAKE, 1);
      while (turn.load() != 0) FutexCall(&turn, FUTEX_WAIT, 1);
    }
    other.join();
  });
}

Figure ConditionPingPong(long n) {
  return Measure(n, [](long count) {
    std::mutex mutex;
    std::condition_variable changed;
    int turn = 0;
    std::thread other([&] {
      for (long i = 0; i < count; ++i) {
        std::unique_lock<std::mutex> hold(mutex);
        changed.wait(hold, [&] { return turn == 1; });
        turn = 0;
        changed.notify_one();
      }
    });
    for (long i = 0; i < count; ++i) {
      std::unique_lock<std::mutex> hold(mutex);
      turn = 1;
      changed.notify_one();
      changed.wait(hold, [&] { return turn == 0; });
    }
    other.join();
  });
}

void HandOff(bench::Table& table) {
  bench::Progress("hand-off: synchronous send to a waiting thread");
  const long n = Scaled(10000);
  Figure ours = Measure(n, [](long count) {
    std::thread taker([count] {
      for (long i = 0; i < count; ++i) WaitThreadMessage(kHandOffKey);
    });
    for (long i = 0; i < count; ++i) SendThreadMessageAndWait(kHandOffKey, static_cast<int32_t>(i | 1));
    taker.join();
  });
  Figure futex = FutexPingPong(n);
  Figure condition = ConditionPingPong(n);
  table.Row("hand-off SendAndWait/Wait per message", ours, "futex ping-pong round trip", futex, 1.3);
  table.Row("hand-off SendAndWait/Wait per message", ours, "condition_variable ping-pong", condition, 1.0);
}

// Post+take, each thread on its own recipient, posting and taking its own
// messages; the baseline is the one queue a user would share between the
// same threads: a std::deque under one std::mutex, a take waiting on one
// condition variable for an entry of its recipient, so every post must wake
// all waiters. Each side takes the lock once to post and once to take.
struct SharedQueue {
  struct Entry {
    int recipient;
    int32_t value;
  };
  std::mutex mutex;
  std::condition_variable posted;
  std::deque<Entry> entries;

  void Post(int recipient, int32_t value) {
    {
      std::lock_guard<std::mutex> hold(mutex);
      entries.push_back(Entry{recipient, value});
    }
    posted.notify_all();
  }
  int32_t Take(int recipient) {
    std::unique_lock<std::mutex> hold(mutex);
    for (;;) {
      auto found = std::find_if(entries.begin(), entries.end(),
                                [recipient](const Entry& e) { return e.recipient == recipient; });
      if (found != entries.end()) {
        const int32_t value = found->value;
        entries.erase(found);
        return value;
      }
      posted.wait(hold);
    }
  }
};

// Runs `body(t)` on `threads` threads and returns messages per second.
double PerSecond(int threads, long per_thread, const std::function<void(int)>& body) {
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> workers;
  workers.reserve(threads);
  for (int t = 0; t < threads; ++t) workers.emplace_back(body, t);
  for (auto& w : workers) w.join();
  return static_cast<double>(threads) * static_cast<double>(per_thread) / SecondsSince(start);
}

void Contention(bench::Table& table) {
  std::vector<int> counts = {1, 2, 4, 8};
  if (quick) counts = {2};
  for (int threads : counts) {
    bench::Progress("post+take, " + std::to_string(threads) + " threads");
    // Long enough (a few hundred milliseconds) that the figure is the
    // steady state: in shorter runs the threads barely overlap, and which of
    // them started first decides more than the lock does.
    const long per_thread = std::max(1L, Scaled(4000000) / threads);
    std::atomic<long> wrong{0};
    auto ours = [&] {
      return PerSecond(threads, per_thread, [&](int t) {
        for (long i = 0; i < per_thread; ++i) {
          const int32_t value = static_cast<int32_t>(i + 1);
          SendThreadMessage(kFirstContentionKey + t, value);
          if (WaitThreadMessage(kFirstContentionKey + t) != value) wrong.fetch_add(1);
        }
      });
    };
    auto baseline = [&] {
      SharedQueue queue;
      return PerSecond(threads, per_thread, [&](int t) {
        for (long i = 0; i < per_thread; ++i) {
          const int32_t value = static_cast<int32_t>(i + 1);
          queue.Post(t, value);
          if (queue.Take(t) != value) wrong.fetch_add(1);
        }
      });
    };
    Figure ours_figure, baseline_figure;
    bench::Interleaved(ours, baseline, &ours_figure, &baseline_figure);
    CheckWorkload(wrong.load() == 0, "post+take");
    table.RateRow("post+take, " + std::to_string(threads) + " threads, own keys (msg/s)", ours_figure,
                  "one mutex+deque+condvar queue (msg/s)", baseline_figure, 1.0);
    table.Series("contention", std::to_string(threads), ours_figure.median_ns, baseline_figure.median_ns);
  }
}

// The worker pool: one dispatcher hands jobs 1..jobs round-robin to the
// workers, then a stop value to each; every worker serves its own queue.
// Both sides check that each worker got exactly its jobs, in order.
constexpr int32_t kStop = -1;

struct PoolCheck {
  std::atomic<long> wrong{0};
  // Worker `w` of `workers` gets jobs w+1, w+1+workers, ... up to `jobs`.
  void Serve(int w, int workers, long jobs, const std::function<int32_t()>& take) {
    long expected = w + 1;
    for (int32_t job = take(); job != kStop; job = take()) {
      if (job != expected) wrong.fetch_add(1);
      expected += workers;
    }
    if (expected <= jobs) wrong.fetch_add(1);
  }
};

// Starts the workers, waits until each is about to take its first job, then
// times the dispatcher's posts and the workers' finishing: ns per job.
double TimePool(int workers, long jobs, const std::function<void(int)>& serve,
                const std::function<void(int, int32_t)>& post) {
  std::atomic<int> ready{0};
  std::vector<std::thread> pool;
  pool.reserve(workers);
  for (int w = 0; w < workers; ++w) {
    pool.emplace_back([&, w] {
      ready.fetch_add(1);
      serve(w);
    });
  }
  while (ready.load() < workers) std::this_thread::yield();
  const auto start = std::chrono::steady_clock::now();
  for (long job = 1; job <= jobs; ++job) post(static_cast<int>((job - 1) % workers), static_cast<int32_t>(job));
  for (int w = 0; w < workers; ++w) post(w, kStop);
  for (auto& worker : pool) worker.join();
  return SecondsSince(start) * 1e9 / static_cast<double>(jobs);
}

struct alignas(64) WorkerQueue {
  std::mutex mutex;
  std::condition_variable posted;
  std::deque<int32_t> jobs;

  void Post(int32_t job) {
    {
      std::lock_guard<std::mutex> hold(mutex);
      jobs.push_back(job);
    }
    posted.notify_one();
  }
  int32_t Take() {
    std::unique_lock<std::mutex> hold(mutex);
    posted.wait(hold, [this] { return !jobs.empty(); });
    const int32_t job = jobs.front();
    jobs.pop_front();
    return job;
  }
};

void WorkerPool(bench::Table& table) {
  std::vector<int> counts = {1, 2, 4, 8, 16};
  if (quick) counts = {2};
  const long jobs = Scaled(40000);
  for (int workers : counts) {
    bench::Progress("worker pool, " + std::to_string(workers) + " workers");
    PoolCheck check;
    auto ours = [&] {
      return TimePool(
          workers, jobs,
          [&](int w) { check.Serve(w, workers, jobs, [w] { return WaitThreadMessage(kFirstWorkerKey + w); }); },
          [](int w, int32_t job) { SendThreadMessage(kFirstWorkerKey + w, job); });
    };
    auto baseline = [&] {
      std::vector<WorkerQueue> queues(workers);
      return TimePool(
          workers, jobs, [&](int w) { check.Serve(w, workers, jobs, [&queues, w] { return queues[w].Take(); }); },
          [&queues](int w, int32_t job) { queues[w].Post(job); });
    };
    Figure ours_figure, baseline_figure;
    bench::Interleaved(ours, baseline, &ours_figure, &baseline_figure);
    CheckWorkload(check.wrong.load() == 0, "worker pool");
    table.Row("worker pool, " + std::to_string(workers) + " workers, per job", ours_figure,
              "per-worker mutex+deque+condvar, notify_one", baseline_figure, 1.2);
    table.Series("worker_pool", std::to_string(workers), ours_figure.median_ns, baseline_figure.median_ns);
  }
}

// Post+take for one recipient while `depth` messages for another wait in
// the queue, against the same pair on an empty queue.
void PostAndTakePairs(long count) {
  for (long i = 0; i < count; ++i) {
    SendThreadMessage(kDepthKey, 1);
    GetThreadMessage(kDepthKey);
  }
}

Figure PostAndTake() {
  if (quick) return Measure(1, PostAndTakePairs);
  return Measure(bench::IterationsFor(30, PostAndTakePairs), PostAndTakePairs);
}

void Depth(bench::Table& table) {
  std::vector<long> depths = {100, 1000, 10000, 100000, 1000000};
  if (quick) depths = {100};
  bench::Progress("post+take on an empty queue");
  const Figure empty = PostAndTake();
  long queued = 0;
  for (long depth : depths) {
    bench::Progress("post+take behind " + std::to_string(depth) + " messages for another recipient");
    for (; queued < depth; ++queued) SendThreadMessage(kOtherRecipientKey, 1);
    const Figure behind = PostAndTake();
    table.Row("post+take behind " + std::to_string(depth) + " for another key", behind,
              "the same pair on an empty queue", empty, 2.0);
    table.Series("depth", std::to_string(depth), behind.median_ns, empty.median_ns);
  }
  long drained = 0;
  while (GetThreadMessage(kOtherRecipientKey) != 0) ++drained;
  CheckWorkload(drained == queued, "post+take behind a deep queue");
}

// Resident memory, from /proc/self/statm, in KiB.
long ResidentKiB() {
  FILE* file = fopen("/proc/self/statm", "r");
  if (file == nullptr) return -1;
  long size = 0, resident = 0;
  const int read = fscanf(file, "%ld %ld", &size, &resident);
  fclose(file);
  return read == 2 ? resident * (sysconf(_SC_PAGESIZE) / 1024) : -1;
}

// Resident memory over `rounds` calls of `round`. The first fiftieth of
// the rounds lets whatever is set up once (tables grown to their working
// size, the allocator's arenas) settle; growth counts from there, so that
// even a few bytes kept per round show as megabytes.
struct Growth {
  long settling_kib;
  long growth_kib;
};

Growth ResidentGrowth(long rounds, const std::function<void()>& round) {
  const long settle = rounds / 50;
  ResidentKiB();  // stdio's first use of its buffers is not the library's
  const long start = ResidentKiB();
  long settled = start;
  for (long i = 0; i < rounds; ++i) {
    if (i == settle) settled = ResidentKiB();
    round();
  }
  return {settled - start, ResidentKiB() - settled};
}

// Rounds of add, take, delete while held. A call that fails is counted, not
// fatal: a library whose table runs out keeps failing fast from then on.
struct FailedCalls {
  long adds = 0;
  long opens = 0;
  long deletes = 0;
};

void AddTakeDeleteHeld(FailedCalls* failed) {
  const int32_t resource = AddThreadResource();
  if (resource == 0) {
    ++failed->adds;
    return;
  }
  if (OpenThreadResource(resource) != 1) ++failed->opens;
  if (DeleteThreadResource(resource) == 0) ++failed->deletes;
}

// The same churn with what a user would write: a recursive pthread mutex
// on the heap, created, locked, unlocked (destroying a locked one is not
// allowed) and destroyed.
void PthreadMutexRound(const pthread_mutexattr_t* attributes) {
  auto* mutex = new pthread_mutex_t;
  pthread_mutex_init(mutex, attributes);
  pthread_mutex_lock(mutex);
  pthread_mutex_unlock(mutex);
  pthread_mutex_destroy(mutex);
  delete mutex;
}

// Last in the run: a library that runs its handle table out here may fail
// other calls from then on.
void Memory(bench::Table& table) {
  // Quick: few enough that a library which keeps deleted resources held stays
  // within what ThreadSanitizer tracks per thread (64 locks).
  const long rounds = quick ? 20 : 10000000;
  bench::Progress("memory: " + std::to_string(rounds) + " add/take/delete-while-held rounds");
  FailedCalls failed;
  const auto start = std::chrono::steady_clock::now();
  const Growth ours = ResidentGrowth(rounds, [&failed] { AddTakeDeleteHeld(&failed); });
  const double seconds = SecondsSince(start);
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
  const Growth baseline = ResidentGrowth(rounds, [&attributes] { PthreadMutexRound(&attributes); });
  pthread_mutexattr_destroy(&attributes);
  constexpr long kLimitKiB = 1024;
  const bool none_failed = failed.adds == 0 && failed.opens == 0 && failed.deletes == 0;
  table.LimitRow("RSS growth, " + std::to_string(rounds) + " add/open/delete-held",
                 static_cast<double>(ours.growth_kib), "heap pthread mutex new/lock/destroy",
                 static_cast<double>(baseline.growth_kib), "KiB", "no growth (< 1024 KiB), no failed call",
                 ours.growth_kib < kLimitKiB && none_failed);
  table.Note("add/open/delete-held: growth counted after the first " + std::to_string(rounds / 50) + " rounds (" +
             std::to_string(ours.settling_kib) + " KiB during those); " + std::to_string(failed.adds) +
             " AddThreadResource gave 0, " + std::to_string(failed.opens) + " OpenThreadResource not 1, " +
             std::to_string(failed.deletes) + " DeleteThreadResource gave 0; " +
             std::to_string(static_cast<long>(seconds * 1e9 / static_cast<double>(rounds))) + " ns per round");
}

}  // namespace

int main(int argc, char** argv) {
  const bench::Options options = bench::ParseOptions(argc, argv);
  quick = options.quick;
  if (quick) bench::repetitions = 1;
  bench::Table table("native");
  QueuePair(table);
  ResourcePair(table);
  HandOff(table);
  Contention(table);
  WorkerPool(table);
  Depth(table);
  Memory(table);
  if (!options.csv_directory.empty() && !table.WriteCsv(options.csv_directory)) return 1;
  return workload_failed ? 1 : 0;
}
