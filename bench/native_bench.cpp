// Native costs against what a user would write instead, measured side by
// side in one run: median of several repetitions, with the spread.
//   native_bench [--csv DIR]  full run; with DIR, also writes results.csv,
//                             depth.csv and contention.csv there
//   native_bench --quick      one tiny iteration of each, so the code cannot rot
#include <linux/futex.h>
#include <pthread.h>
#include <stdio.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_table.h"
#include "messaging/queue.h"
#include "platform/platform.h"
#include "resources/resources.h"
#include "shell/runtime.h"

namespace {

using bench::Figure;
using bench::Measure;

bool quick = false;
long Scaled(long n) { return quick ? std::max(1L, n / 100000) : n; }

pthread_mutex_t MakePthreadMutex(int type, bool robust, bool shared) {
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, type);
  if (robust) pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
  if (shared) pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
  pthread_mutex_t mutex;
  pthread_mutex_init(&mutex, &attributes);
  pthread_mutexattr_destroy(&attributes);
  return mutex;
}

Figure MeasurePthreadPair(pthread_mutex_t* mutex, long n) {
  return Measure(n, [mutex](long count) {
    for (long i = 0; i < count; ++i) {
      pthread_mutex_lock(mutex);
      pthread_mutex_unlock(mutex);
    }
  });
}

void PlatformMutex(bench::Table& table) {
  bench::Progress("platform mutex pair");
  const long n = Scaled(2000000);
  platform::Handle mutex = platform::CreateMutexA(nullptr, nullptr);
  Figure ours = Measure(n, [&](long count) {
    for (long i = 0; i < count; ++i) {
      platform::WaitForSingleObject(mutex, INFINITE);
      platform::ReleaseMutex(mutex);
    }
  });
  platform::Handle named = platform::CreateMutexA("QuenthaloyBench_named", nullptr);
  Figure ours_named = Measure(n, [&](long count) {
    for (long i = 0; i < count; ++i) {
      platform::WaitForSingleObject(named, INFINITE);
      platform::ReleaseMutex(named);
    }
  });
  pthread_mutex_t robust = MakePthreadMutex(PTHREAD_MUTEX_RECURSIVE, true, true);
  Figure baseline = MeasurePthreadPair(&robust, n);
  table.Row("platform mutex wait+release (private)", ours, "robust recursive pshared pthread pair", baseline, 1.5);
  table.Row("platform mutex wait+release (named)", ours_named, "robust recursive pshared pthread pair", baseline, 1.5);
  platform::CloseHandle(mutex);
  platform::CloseHandle(named);

  bench::Progress("event set+reset, nobody waiting");
  platform::Handle event = platform::CreateEventA(nullptr, nullptr);
  Figure events = Measure(n, [&](long count) {
    for (long i = 0; i < count; ++i) {
      platform::SetEvent(event);
      platform::ResetEvent(event);
    }
  });
  std::atomic<uint32_t> word{0};
  Figure atomics = Measure(n, [&](long count) {
    for (long i = 0; i < count; ++i) {
      word.fetch_or(1);
      word.fetch_and(~1u);
    }
  });
  table.Row("event set+reset, no waiter", events, "two atomic RMWs (no syscall)", atomics, 3.0);
  platform::CloseHandle(event);
}

void QueuePair(bench::Table& table) {
  bench::Progress("send+get pair");
  const long n = Scaled(2000000);
  Figure ours = Measure(n, [&](long count) {
    for (long i = 0; i < count; ++i) {
      messaging::SendThreadMessage(1, static_cast<int32_t>(i | 1));
      messaging::GetThreadMessage(1);
    }
  });
  std::mutex mutex;
  std::deque<int32_t> queue;
  Figure baseline = Measure(n, [&](long count) {
    for (long i = 0; i < count; ++i) {
      {
        std::lock_guard<std::mutex> hold(mutex);
        queue.push_back(static_cast<int32_t>(i));
      }
      std::lock_guard<std::mutex> hold(mutex);
      queue.pop_front();
    }
  });
  table.Row("SendThreadMessage+GetThreadMessage", ours, "std::mutex+std::deque push/pop", baseline, 1.5);
}

Figure PostAndTakeBehind(long n) {
  return Measure(n, [](long count) {
    for (long i = 0; i < count; ++i) {
      messaging::SendThreadMessage(3, 1);
      messaging::GetThreadMessage(3);
    }
  });
}

// A take behind `depth` records of other recipients, per record passed over
// (the cost of the same post and take on an empty queue taken off), against
// finding the last of `depth` records in a std::list.
void TakeDepth(bench::Table& table) {
  std::vector<long> depths = {10, 100, 1000, 10000, 100000, 1000000};
  if (quick) depths = {10};
  bench::Progress("post and take on an empty queue");
  const double empty = PostAndTakeBehind(Scaled(2000000)).median_ns;
  for (long depth : depths) {
    bench::Progress("take behind " + std::to_string(depth) + " records");
    for (long i = 0; i < depth; ++i) messaging::SendThreadMessage(2, 1);
    const long n = std::max(3L, Scaled(20000000) / depth);
    Figure whole = PostAndTakeBehind(n);
    Figure ours = {whole.median_ns - empty, whole.low_ns - empty, whole.high_ns - empty};
    struct Record {
      int32_t recipient;
      int32_t value;
    };
    std::list<Record> list(depth, Record{2, 1});
    list.push_back(Record{3, 1});
    volatile int32_t sink = 0;
    Figure baseline = Measure(n, [&](long count) {
      for (long i = 0; i < count; ++i) {
        for (const Record& record : list) {
          if (record.recipient == 3) {
            sink = record.value;
            break;
          }
        }
      }
    });
    while (messaging::GetThreadMessage(2) != 0) {
    }
    table.Row("take per record passed, depth " + std::to_string(depth), ours.PerUnit(depth),
              "std::list walk per record", baseline.PerUnit(depth), 1.0);
    table.Series("depth", std::to_string(depth), ours.PerUnit(depth).median_ns, baseline.PerUnit(depth).median_ns);
  }
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
  const long n = Scaled(20000);
  Figure ours = Measure(n, [](long count) {
    std::thread taker([count] {
      for (long i = 0; i < count; ++i) messaging::WaitThreadMessage(4);
    });
    for (long i = 0; i < count; ++i) messaging::SendThreadMessageAndWait(4, static_cast<int32_t>(i | 1));
    taker.join();
  });
  Figure futex = FutexPingPong(n);
  Figure condition = ConditionPingPong(n);
  table.Row("hand-off SendAndWait/Wait per message", ours, "futex ping-pong round trip", futex, 1.3);
  table.Row("hand-off SendAndWait/Wait per message", ours, "condition_variable ping-pong", condition, 1.0);
}

// Each thread posts to its own recipient and takes it back; the baseline is
// one std::mutex + std::deque queue that wakes every waiter on each post.
double OursPerSecond(int threads, long per_thread) {
  auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([t, per_thread] {
      for (long i = 0; i < per_thread; ++i) {
        messaging::SendThreadMessage(100 + t, static_cast<int32_t>(i | 1));
        messaging::WaitThreadMessage(100 + t);
      }
    });
  }
  for (auto& w : workers) w.join();
  std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  return static_cast<double>(threads) * static_cast<double>(per_thread) / elapsed.count();
}

double BaselinePerSecond(int threads, long per_thread) {
  struct Entry {
    int recipient;
    int32_t value;
  };
  std::mutex mutex;
  std::condition_variable posted;
  std::deque<Entry> queue;
  auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      for (long i = 0; i < per_thread; ++i) {
        std::unique_lock<std::mutex> hold(mutex);
        queue.push_back(Entry{t, static_cast<int32_t>(i | 1)});
        posted.notify_all();
        for (;;) {
          auto found = std::find_if(queue.begin(), queue.end(), [t](const Entry& e) { return e.recipient == t; });
          if (found != queue.end()) {
            queue.erase(found);
            break;
          }
          posted.wait(hold);
        }
      }
    });
  }
  for (auto& w : workers) w.join();
  std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  return static_cast<double>(threads) * static_cast<double>(per_thread) / elapsed.count();
}

void Contention(bench::Table& table) {
  std::vector<int> counts = {1, 2, 4, 8};
  int cores = static_cast<int>(std::thread::hardware_concurrency());
  if (std::find(counts.begin(), counts.end(), cores) == counts.end()) counts.push_back(cores);
  std::sort(counts.begin(), counts.end());
  if (quick) counts = {2};
  for (int threads : counts) {
    bench::Progress("contention, " + std::to_string(threads) + " threads");
    const long per_thread = std::max(1L, Scaled(200000) / threads);
    std::vector<double> ours, baseline;
    for (int r = 0; r < bench::repetitions; ++r) {
      ours.push_back(OursPerSecond(threads, per_thread));
      baseline.push_back(BaselinePerSecond(threads, per_thread));
    }
    Figure ours_figure = Figure::FromSamples(ours);
    Figure baseline_figure = Figure::FromSamples(baseline);
    table.RateRow("post+take, " + std::to_string(threads) + " threads (msg/s)", ours_figure,
                  "mutex+deque+condvar, wake all (msg/s)", baseline_figure, 1.0);
    table.Series("contention", std::to_string(threads), ours_figure.median_ns, baseline_figure.median_ns);
  }
}

void ResourcePair(bench::Table& table) {
  bench::Progress("resource open+close pair");
  const long n = Scaled(2000000);
  int32_t resource = resources::AddThreadResource();
  Figure ours = Measure(n, [&](long count) {
    for (long i = 0; i < count; ++i) {
      resources::OpenThreadResource(resource);
      resources::CloseThreadResource(resource);
    }
  });
  pthread_mutex_t recursive = MakePthreadMutex(PTHREAD_MUTEX_RECURSIVE, false, false);
  Figure baseline = MeasurePthreadPair(&recursive, n);
  table.Row("OpenThreadResource+Close", ours, "recursive pthread mutex pair", baseline, 1.5);
  resources::DeleteThreadResource(resource);
}

}  // namespace

int main(int argc, char** argv) {
  const bench::Options options = bench::ParseOptions(argc, argv);
  quick = options.quick;
  if (quick) bench::repetitions = 1;
  bench::Table table("native");
  shell::EntryPoint(shell::kProcessAttach);
  QueuePair(table);
  TakeDepth(table);
  HandOff(table);
  Contention(table);
  ResourcePair(table);
  PlatformMutex(table);
  shell::EntryPoint(shell::kProcessDetach);
  if (!options.csv_directory.empty() && !table.WriteCsv(options.csv_directory)) return 1;
  return 0;
}
