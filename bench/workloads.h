// What the benchmarks share: measuring (medians of repetitions and their
// spread, taken turn about with every peer), reporting (our figure against
// each peer's with the ratio, on the terminal and in CSV files for plotting)
// and the workloads, each run over any queue or lock through a small adaptor
// and checking its own result (Check).
//
// A queue: Queue(keys, producers) holds `keys` independent queues
// (recipients); Post(from, to, value) by producer thread `from` (only the
// floor looks at it), Take(to) blocks, TryTake(to) returns 0 when nothing is
// queued (no workload posts 0); kShared: consumers can share one key.
// A lock: lock() and unlock(), made and destroyed with the object.
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
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "quenthaloy.h"

namespace bench {

inline int repetitions = 5;
inline bool quick = false;  // --quick: one tiny iteration of each, so that the code cannot rot
inline std::string csv_directory;
inline std::string only;  // --only TEXT: just the rows whose names contain TEXT

inline bool Selected(const std::string& what) { return what.find(only) != std::string::npos; }

// A failed check (a job lost, taken twice or out of order) makes the run's
// figures meaningless, and the exit status says so. Workloads only raise
// `check_failed`; whoever runs them names what failed.
inline std::atomic<bool> check_failed{false};
inline bool failed = false;

inline void Check(bool correct) {
  if (!correct) check_failed = true;
}
inline void Fail(const std::string& what) {
  fprintf(stderr, "%s\n", what.c_str());
  failed = true;
}

// A median and its spread, in nanoseconds per operation (or, for rates, in
// operations per second).
struct Figure {
  double median_ns;
  double low_ns;
  double high_ns;

  static Figure FromSamples(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    return {samples[samples.size() / 2], samples.front(), samples.back()};
  }
};

inline double NanosecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
}

// One implementation in a row: `run` does the workload once and returns the
// sample; `goal` is the limit for our cost over it (0: none); `figure` is
// what MeasureTurns made of its samples.
struct Side {
  std::string name;
  std::function<double()> run;
  double goal = 0;
  Figure figure{};
};

inline void Progress(const std::string& what) {
  fprintf(stderr, "running: %s\n", what.c_str());
  fflush(stderr);
}

// Warms up each side once, then runs them turn about, `repetitions` times,
// so that a quiet or a noisy stretch of the machine falls on all of them.
inline std::vector<Side> MeasureTurns(const std::string& what, std::vector<Side> sides) {
  Progress(what);
  std::vector<std::vector<double>> samples(sides.size());
  for (int r = -1; r < repetitions; ++r) {
    for (size_t s = 0; s < sides.size(); ++s) {
      const double sample = sides[s].run();
      if (check_failed.exchange(false)) Fail(what + ": " + sides[s].name + ": the workload's check failed");
      if (r >= 0) samples[s].push_back(sample);
    }
  }
  for (size_t s = 0; s < sides.size(); ++s) sides[s].figure = Figure::FromSamples(samples[s]);
  return sides;
}

class Table {
 public:
  // Takes the command line both benchmarks take: --quick, --csv DIR.
  Table(std::string name, int argc, char** argv) : name_(std::move(name)) {
    for (int i = 1; i < argc; ++i) {
      if (strcmp(argv[i], "--quick") == 0) quick = true;
      if (strcmp(argv[i], "--csv") == 0 && i + 1 < argc) csv_directory = argv[++i];
      if (strcmp(argv[i], "--only") == 0 && i + 1 < argc) only = argv[++i];
    }
    Print("\n== " + name_ + " (ratio: our cost over the peer's, > 1 is slower; * misses its goal)");
    files_[name_ + "_results"] = {"what,implementation,median,low,high,unit,ratio,goal,met"};
  }
  // Writes the CSV files if asked to; the exit status.
  int Finish() const {
    if (!csv_directory.empty() && !WriteCsv(csv_directory)) Fail("cannot write the CSV files to " + csv_directory);
    return failed ? 1 : 0;
  }

  // A heading over the rows that follow, naming what they measure.
  void Section(const std::string& title) { Print("-- " + title); }
  // A line of its own in the report, e.g. why a row was left out.
  void Note(const std::string& text) { Print("  note: " + text); }

  // Measures the sides turn about; the first is ours, the others its peers.
  void Compare(const std::string& what, const std::string& unit, const std::vector<Side>& sides,
               const std::string& series = "", const std::string& x = "") {
    if (!Selected(what)) return;
    const std::vector<Side> measured = MeasureTurns(what, sides);
    Row(what, unit, measured[0].figure, {measured.begin() + 1, measured.end()}, series, x);
  }

  // Our figure against each peer's. Units "ns" (a cost per operation) or
  // "/s" (a rate, whose cost is its inverse). With `series`, the medians are
  // also a point `x` of the plotted series of that name.
  void Row(const std::string& what, const std::string& unit, const Figure& ours, const std::vector<Side>& peers,
           const std::string& series = "", const std::string& x = "") {
    std::string line = Padded(what, 44) + Padded(Human(ours.median_ns, unit), 10);
    std::string misses;
    std::string columns = "x,Quenthaloy", point = x + "," + Number(ours.median_ns);
    Csv(what, "Quenthaloy", ours, unit, 1, 0);
    for (const Side& peer : peers) {
      const double ratio =
          unit == "/s" ? peer.figure.median_ns / ours.median_ns : ours.median_ns / peer.figure.median_ns;
      const bool missed = peer.goal > 0 && ratio > peer.goal;
      char cell[160];
      snprintf(cell, sizeof(cell), " | %s %s %5.2f%s", peer.name.c_str(), Human(peer.figure.median_ns, unit).c_str(),
               ratio, missed ? "*" : (peer.goal > 0 ? " " : ""));
      line += cell;
      if (missed) misses += " " + peer.name + " (" + Number(ratio) + " > " + Number(peer.goal) + ")";
      Csv(what, peer.name, peer.figure, unit, ratio, peer.goal);
      columns += "," + peer.name;
      point += "," + Number(peer.figure.median_ns);
    }
    Print(line + (misses.empty() ? "" : "   goal missed against" + misses));
    if (!series.empty()) {
      std::vector<std::string>& lines = files_[name_ + "_" + series];
      if (lines.empty()) lines.push_back(columns);
      lines.push_back(point);
    }
  }

  // A figure held to a fixed limit rather than to a ratio (memory growth,
  // failed calls): `goal` says the limit in words, `met` whether it held.
  void LimitRow(const std::string& what, double ours, const std::string& baseline_name, double baseline,
                const std::string& unit, const std::string& goal, bool met) {
    printf("%s%s %s | %s %.0f %s   %s %s\n", Padded(what, 44).c_str(), Number(ours).c_str(), unit.c_str(),
           baseline_name.c_str(), baseline, unit.c_str(), goal.c_str(), met ? "met" : "MISSED");
    fflush(stdout);
    Csv(what, "Quenthaloy", Figure{ours, ours, ours}, unit, 1, 0, met ? "yes" : "no");
    Csv(what, baseline_name, Figure{baseline, baseline, baseline}, unit, 0, 0);
  }

 private:
  // <name>_results.csv: one line per figure; <name>_<series>.csv: one line
  // per point, one column per implementation.
  bool WriteCsv(const std::string& directory) const {
    for (const auto& [file_name, lines] : files_) {
      FILE* file = fopen((directory + "/" + file_name + ".csv").c_str(), "w");
      if (file == nullptr) return false;
      for (const std::string& line : lines) fprintf(file, "%s\n", line.c_str());
      if (fclose(file) != 0) return false;
    }
    return true;
  }
  static void Print(const std::string& line) {
    printf("%s\n", line.c_str());
    fflush(stdout);
  }
  static std::string Number(double value) {
    char text[32];
    snprintf(text, sizeof(text), "%.4g", value);
    return text;
  }
  static std::string Padded(std::string text, size_t width) {
    if (text.size() < width) text.append(width - text.size(), ' ');
    return text;
  }
  // A value in a unit a reader takes in at a glance.
  static std::string Human(double value, const std::string& unit) {
    char text[32];
    if (unit == "/s") {
      snprintf(text, sizeof(text), value >= 1e6 ? "%.2fM/s" : "%.1fk/s", value / (value >= 1e6 ? 1e6 : 1e3));
    } else if (value >= 1e3) {
      snprintf(text, sizeof(text), value >= 1e6 ? "%.2fms" : "%.2fus", value / (value >= 1e6 ? 1e6 : 1e3));
    } else {
      snprintf(text, sizeof(text), "%.1fns", value);
    }
    return text;
  }
  void Csv(const std::string& what, const std::string& implementation, const Figure& figure, const std::string& unit,
           double ratio, double goal, const std::string& met = "") {
    const std::string verdict = !met.empty() ? met : goal <= 0 ? "" : ratio <= goal ? "yes" : "no";
    files_[name_ + "_results"].push_back("\"" + what + "\",\"" + implementation + "\"," + Number(figure.median_ns) +
                                         "," + Number(figure.low_ns) + "," + Number(figure.high_ns) + "," + unit + "," +
                                         Number(ratio) + "," + (goal > 0 ? "<=" + Number(goal) : "") + "," + verdict);
  }

  std::string name_;
  std::map<std::string, std::vector<std::string>> files_;  // CSV files by name, their lines
};

// ---- The workloads.

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
