// Measuring and reporting for the benchmarks: medians of repetitions with
// their spread, measured turn about with every peer; a table of our figure
// against each peer's with the ratio; the same as CSV files for plotting.
#ifndef QUENTHALOY_BENCH_TABLE_H
#define QUENTHALOY_BENCH_TABLE_H

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace bench {

inline int repetitions = 5;
inline bool quick = false;  // --quick: one tiny iteration of each, so that the code cannot rot
inline std::string csv_directory;

inline void ParseOptions(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--quick") == 0) quick = true;
    if (strcmp(argv[i], "--csv") == 0 && i + 1 < argc) csv_directory = argv[++i];
  }
}

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

// How many iterations of `body` take about `target_ms`: for figures that
// differ a thousandfold between a good and a bad implementation, where any
// fixed count is either too short to time or too long to wait for.
template <class Body>
long IterationsFor(double target_ms, const Body& body) {
  for (long n = 1;; n *= 2) {
    const auto start = std::chrono::steady_clock::now();
    body(n);
    const double elapsed_ms = NanosecondsSince(start) / 1e6;
    if (elapsed_ms >= target_ms / 8 || n >= (1L << 30)) {
      return std::max(1L, static_cast<long>(static_cast<double>(n) * target_ms / std::max(elapsed_ms, 1e-3)));
    }
  }
}

class Table {
 public:
  explicit Table(std::string name) : name_(std::move(name)) {
    Print("\n== " + name_ + " (ratio: our cost over the peer's, > 1 is slower; * misses its goal)");
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
      series_columns_[series] = columns;
      series_[series].push_back(point);
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
    std::map<std::string, std::vector<std::string>> files = series_;
    for (auto& [series, points] : files) points.insert(points.begin(), series_columns_.at(series));
    files["results"] = csv_;
    files["results"].insert(files["results"].begin(), "what,implementation,median,low,high,unit,ratio,goal,met");
    for (const auto& [suffix, lines] : files) {
      FILE* file = fopen((directory + "/" + name_ + "_" + suffix + ".csv").c_str(), "w");
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
    csv_.push_back("\"" + what + "\",\"" + implementation + "\"," + Number(figure.median_ns) + "," +
                   Number(figure.low_ns) + "," + Number(figure.high_ns) + "," + unit + "," + Number(ratio) + "," +
                   (goal > 0 ? "<=" + Number(goal) : "") + "," + verdict);
  }

  std::string name_;
  std::vector<std::string> csv_;
  std::map<std::string, std::string> series_columns_;
  std::map<std::string, std::vector<std::string>> series_;
};

}  // namespace bench

#endif
