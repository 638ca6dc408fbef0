// Each export's cost under Wine against the least sequence of kernel calls
// that its work needs, measured side by side in one run. Every kernel call
// here is a round trip to the Wine server, so the counts stay small.
// The baselines take a named mutex of their own, as the library takes its
// named queue lock around every queue operation.
//   wine_bench [--csv DIR]   full run (DIR: also writes CSV files there)
//   wine_bench --quick       one tiny iteration of each
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

#include <atomic>
#include <deque>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "bench_table.h"
#include "quenthaloy.h"

namespace {

using bench::Figure;

bool quick = false;
long Count(long n) { return quick ? 2 : n; }

std::atomic<bool> workload_failed{false};

void CheckWorkload(bool correct, const std::string& what) {
  if (correct) return;
  fprintf(stderr, "wine_bench: %s: the workload's check failed\n", what.c_str());
  workload_failed = true;
}

// The same test as the tests' harness::BlockedThreadsAllowed: where Wine's
// 32-bit side runs under qemu (scripts/wine-run says so), Wine crashes with
// more than one helper thread blocked in a Wine wait.
int BlockedThreadsAllowed(int wanted) {
  const char* under_qemu = getenv("QUENTHALOY_WINE_UNDER_QEMU");
  return (under_qemu != nullptr && under_qemu[0] == '1') ? 1 : wanted;
}

void Lock(HANDLE lock) { WaitForSingleObject(lock, INFINITE); }
void Unlock(HANDLE lock) { ReleaseMutex(lock); }

void Messages(bench::Table& table, HANDLE lock) {
  bench::Progress("post and take");
  const long n = Count(2000);
  Figure ours, kernel;
  // Nobody waits, so a post wakes nobody: the lock for the post, the lock
  // for the take.
  bench::MeasureInterleaved(
      n,
      [](long count) {
        for (long i = 0; i < count; ++i) {
          SendThreadMessage(1, static_cast<int32_t>(i | 1));
          GetThreadMessage(1);
        }
      },
      [lock](long count) {
        for (long i = 0; i < count; ++i) {
          Lock(lock);
          Unlock(lock);
          Lock(lock);
          Unlock(lock);
        }
      },
      &ours, &kernel);
  table.Row("SendThreadMessage+GetThreadMessage", ours, "wait+release, wait+release", kernel, 1.1);

  bench::Progress("take from an empty queue");
  Figure empty, pair;
  bench::MeasureInterleaved(
      n,
      [](long count) {
        for (long i = 0; i < count; ++i) GetThreadMessage(2);
      },
      [lock](long count) {
        for (long i = 0; i < count; ++i) {
          Lock(lock);
          Unlock(lock);
        }
      },
      &empty, &pair);
  table.Row("GetThreadMessage, nothing queued", empty, "wait+release", pair, 1.1);
}

// A hand-off done with kernel calls alone: each thread has one auto-reset
// event for good; a waiter finding nothing marks itself asleep under the
// lock and sleeps on its event; the sender gives the value straight to a
// sleeper under the lock, sets the sleeper's event after releasing it and
// sleeps on its own event until the taker sets it.
struct KernelHandOff {
  HANDLE lock;
  HANDLE taker_event;
  HANDLE sender_event;
  bool taker_asleep = false;
  bool queued = false;  // a value waits, for a taker that was awake

  void Send() {
    Lock(lock);
    const bool hand_over = taker_asleep;
    taker_asleep = false;
    if (!hand_over) queued = true;
    Unlock(lock);
    if (hand_over) SetEvent(taker_event);
    WaitForSingleObject(sender_event, INFINITE);
  }
  void Take() {
    Lock(lock);
    const bool found = queued;
    queued = false;
    if (!found) taker_asleep = true;
    Unlock(lock);
    if (!found) WaitForSingleObject(taker_event, INFINITE);
    SetEvent(sender_event);
  }
};

// One thread sends synchronously, the other waits for the message: per
// message, against the same hand-off done with the kernel calls alone.
void HandOff(bench::Table& table, HANDLE lock) {
  bench::Progress("hand-off");
  const long n = Count(300);
  KernelHandOff kernel_hand_off{lock, CreateEventA(nullptr, FALSE, FALSE, nullptr),
                                CreateEventA(nullptr, FALSE, FALSE, nullptr)};
  CheckWorkload(kernel_hand_off.taker_event != nullptr && kernel_hand_off.sender_event != nullptr, "CreateEventA");
  Figure ours, kernel;
  bench::MeasureInterleaved(
      n,
      [](long count) {
        std::thread taker([count] {
          for (long i = 0; i < count; ++i) WaitThreadMessage(4);
        });
        for (long i = 0; i < count; ++i) SendThreadMessageAndWait(4, static_cast<int32_t>(i | 1));
        taker.join();
      },
      [&kernel_hand_off](long count) {
        std::thread taker([&kernel_hand_off, count] {
          for (long i = 0; i < count; ++i) kernel_hand_off.Take();
        });
        for (long i = 0; i < count; ++i) kernel_hand_off.Send();
        taker.join();
      },
      &ours, &kernel);
  CloseHandle(kernel_hand_off.taker_event);
  CloseHandle(kernel_hand_off.sender_event);
  table.Row("hand-off SendAndWait/Wait per message", ours, "two auto-reset events and the lock", kernel, 1.1);
}

// The worker pool with kernel calls alone: per worker a queue, an asleep
// flag and an auto-reset event of its own, all under the one lock; a post
// to a sleeping worker hands the job over and sets that worker's event
// only, so no post wakes anyone else.
struct KernelWorker {
  std::deque<int32_t> jobs;
  bool asleep = false;
  int32_t handed = 0;
  HANDLE event = nullptr;
};

struct KernelPool {
  HANDLE lock;
  std::vector<KernelWorker> workers;

  void Post(int w, int32_t job) {
    KernelWorker& worker = workers[w];
    Lock(lock);
    const bool hand_over = worker.asleep;
    worker.asleep = false;
    if (hand_over) {
      worker.handed = job;
    } else {
      worker.jobs.push_back(job);
    }
    Unlock(lock);
    if (hand_over) SetEvent(worker.event);
  }
  int32_t Take(int w) {
    KernelWorker& worker = workers[w];
    Lock(lock);
    if (!worker.jobs.empty()) {
      const int32_t job = worker.jobs.front();
      worker.jobs.pop_front();
      Unlock(lock);
      return job;
    }
    worker.asleep = true;
    Unlock(lock);
    WaitForSingleObject(worker.event, INFINITE);
    return worker.handed;
  }
};

constexpr int32_t kStop = -1;
constexpr int32_t kFirstWorkerKey = 1000;

// One dispatcher hands jobs 1..jobs round-robin to the workers, then a stop
// value to each; each worker checks it got exactly its jobs, in order. The
// time runs from the first post to the last worker's end: ns per job.
double TimePool(int workers, long jobs, const std::function<int32_t(int)>& take,
                const std::function<void(int, int32_t)>& post) {
  std::atomic<int> ready{0};
  std::vector<std::thread> pool;
  pool.reserve(workers);
  for (int w = 0; w < workers; ++w) {
    pool.emplace_back([&, w] {
      ready.fetch_add(1);
      long expected = w + 1;
      for (int32_t job = take(w); job != kStop; job = take(w)) {
        CheckWorkload(job == expected, "worker pool");
        expected += workers;
      }
      CheckWorkload(expected > jobs, "worker pool");
    });
  }
  while (ready.load() < workers) Sleep(1);
  const auto start = std::chrono::steady_clock::now();
  for (long job = 1; job <= jobs; ++job) post(static_cast<int>((job - 1) % workers), static_cast<int32_t>(job));
  for (int w = 0; w < workers; ++w) post(w, kStop);
  for (auto& worker : pool) worker.join();
  return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() /
         static_cast<double>(jobs);
}

// Kernel calls per job must not grow with the number of workers: each
// pool size against the kernel-call pool of the same size.
void WorkerPool(bench::Table& table, HANDLE lock) {
  const long jobs = Count(1000);
  for (int workers : {1, 8}) {
    if (BlockedThreadsAllowed(workers) < workers) {
      table.Note("worker pool with " + std::to_string(workers) +
                 " workers left out: Wine's 32-bit side runs under qemu here, where Wine crashes with more than "
                 "one helper thread blocked in a Wine wait");
      continue;
    }
    bench::Progress("worker pool, " + std::to_string(workers) + " workers");
    KernelPool kernel_pool{lock, std::vector<KernelWorker>(workers)};
    for (KernelWorker& worker : kernel_pool.workers) {
      worker.event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
      CheckWorkload(worker.event != nullptr, "CreateEventA");
    }
    auto ours = [&] {
      return TimePool(
          workers, jobs, [](int w) { return WaitThreadMessage(kFirstWorkerKey + w); },
          [](int w, int32_t job) { SendThreadMessage(kFirstWorkerKey + w, job); });
    };
    auto kernel = [&] {
      return TimePool(
          workers, jobs, [&kernel_pool](int w) { return kernel_pool.Take(w); },
          [&kernel_pool](int w, int32_t job) { kernel_pool.Post(w, job); });
    };
    Figure ours_figure, kernel_figure;
    bench::Interleaved(ours, kernel, &ours_figure, &kernel_figure);
    for (KernelWorker& worker : kernel_pool.workers) CloseHandle(worker.event);
    table.Row("worker pool, " + std::to_string(workers) + " workers, per job", ours_figure,
              "per-worker events and queues, the lock", kernel_figure, 1.1);
  }
}

void Resources(bench::Table& table) {
  bench::Progress("resources");
  const long n = Count(2000);
  int32_t resource = AddThreadResource();
  CheckWorkload(resource != 0, "AddThreadResource");
  HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
  CheckWorkload(mutex != nullptr, "CreateMutexA");
  Figure ours, kernel;
  bench::MeasureInterleaved(
      n,
      [resource](long count) {
        for (long i = 0; i < count; ++i) {
          OpenThreadResource(resource);
          CloseThreadResource(resource);
        }
      },
      [mutex](long count) {
        for (long i = 0; i < count; ++i) {
          WaitForSingleObject(mutex, INFINITE);
          ReleaseMutex(mutex);
        }
      },
      &ours, &kernel);
  table.Row("OpenThreadResource+CloseThreadResource", ours, "WaitForSingleObject+ReleaseMutex", kernel, 1.1);
  DeleteThreadResource(resource);
  CloseHandle(mutex);

  Figure made, created;
  bench::MeasureInterleaved(
      n,
      [](long count) {
        for (long i = 0; i < count; ++i) DeleteThreadResource(AddThreadResource());
      },
      [](long count) {
        for (long i = 0; i < count; ++i) CloseHandle(CreateMutexA(nullptr, FALSE, nullptr));
      },
      &made, &created);
  table.Row("AddThreadResource+DeleteThreadResource", made, "CreateMutexA+CloseHandle", created, 1.1);
}

}  // namespace

int main(int argc, char** argv) {
  const bench::Options options = bench::ParseOptions(argc, argv);
  quick = options.quick;
  // Every figure here is a handful of server round trips, and one sample
  // differs from the next by up to a fifth: fifteen samples a side keep the
  // median steady enough to compare within a tenth.
  bench::repetitions = quick ? 1 : 15;
#if defined(QUENTHALOY_CDECL)
  bench::Table table("wine_cdecl");
#else
  bench::Table table("wine_stdcall");
#endif
  HANDLE lock = CreateMutexA(nullptr, FALSE, "QuenthaloyBench_lock");
  if (lock == nullptr) {
    fprintf(stderr, "wine_bench: cannot make the baselines' lock\n");
    return 1;
  }
  Messages(table, lock);
  HandOff(table, lock);
  WorkerPool(table, lock);
  Resources(table);
  CloseHandle(lock);
  if (!options.csv_directory.empty() && !table.WriteCsv(options.csv_directory)) return 1;
  return workload_failed ? 1 : 0;
}
