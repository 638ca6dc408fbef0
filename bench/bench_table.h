// Measuring and reporting for the benchmarks: medians of repetitions with
// their spread, a table of our figure against a baseline's with the ratio,
// and the same as CSV files for plotting.
#ifndef QUENTHALOY_BENCH_TABLE_H
#define QUENTHALOY_BENCH_TABLE_H

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace bench {

inline int repetitions = 7;

// The command line both benchmarks take: --quick (one tiny iteration of
// each, so that the code cannot rot) and --csv DIR.
struct Options {
  bool quick = false;
  std::string csv_directory;
};

inline Options ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--quick") == 0) options.quick = true;
    if (strcmp(argv[i], "--csv") == 0 && i + 1 < argc) options.csv_directory = argv[++i];
  }
  return options;
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
  Figure PerUnit(double units) const { return {median_ns / units, low_ns / units, high_ns / units}; }
};

// Runs `body(iterations)` once to warm up, then `repetitions` times; the
// figure is the time per iteration.
inline Figure Measure(long iterations, const std::function<void(long)>& body) {
  body(iterations / 10 + 1);
  std::vector<double> samples;
  for (int r = 0; r < repetitions; ++r) {
    auto start = std::chrono::steady_clock::now();
    body(iterations);
    auto elapsed = std::chrono::steady_clock::now() - start;
    samples.push_back(std::chrono::duration<double, std::nano>(elapsed).count() / static_cast<double>(iterations));
  }
  return Figure::FromSamples(samples);
}

// Warms up each side once, then measures them turn about, `repetitions`
// times, so that a quiet or a noisy stretch of the machine falls on both.
// Each function runs its workload once and returns the sample.
inline void Interleaved(const std::function<double()>& ours, const std::function<double()>& baseline,
                        Figure* ours_figure, Figure* baseline_figure) {
  ours();
  baseline();
  std::vector<double> ours_samples, baseline_samples;
  for (int r = 0; r < repetitions; ++r) {
    ours_samples.push_back(ours());
    baseline_samples.push_back(baseline());
  }
  *ours_figure = Figure::FromSamples(ours_samples);
  *baseline_figure = Figure::FromSamples(baseline_samples);
}

// Interleaved, for two loops of `iterations` each: time per iteration.
inline void MeasureInterleaved(long iterations, const std::function<void(long)>& ours,
                               const std::function<void(long)>& baseline, Figure* ours_figure,
                               Figure* baseline_figure) {
  auto timed = [iterations](const std::function<void(long)>& body) {
    return [iterations, &body] {
      auto start = std::chrono::steady_clock::now();
      body(iterations);
      return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() /
             static_cast<double>(iterations);
    };
  };
  Interleaved(timed(ours), timed(baseline), ours_figure, baseline_figure);
}

// How many iterations of `body` take about `target_ms`: for figures that
// differ a thousandfold between a good and a bad implementation, where any
// fixed count is either too short to time or too long to wait for.
inline long IterationsFor(double target_ms, const std::function<void(long)>& body) {
  for (long n = 1;; n *= 2) {
    auto start = std::chrono::steady_clock::now();
    body(n);
    const double elapsed_ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    if (elapsed_ms >= target_ms / 8 || n >= (1L << 30)) {
      return std::max(1L, static_cast<long>(static_cast<double>(n) * target_ms / std::max(elapsed_ms, 1e-3)));
    }
  }
}

inline void Progress(const std::string& what) {
  fprintf(stderr, "running: %s\n", what.c_str());
  fflush(stderr);
}

class Table {
 public:
  explicit Table(std::string name) : name_(std::move(name)) {
    printf("%-46s %12s %-25s | %-42s %12s %-25s | %5s  %s\n", (name_ + ": ours").c_str(), "median", "[spread]",
           "baseline", "median", "[spread]", "ratio", "goal");
  }

  // Costs: the ratio is ours over the baseline's; at most `goal` meets it.
  void Row(const std::string& what, const Figure& ours, const std::string& baseline_name, const Figure& baseline,
           double goal) {
    Add(what, ours, baseline_name, baseline, ours.median_ns / baseline.median_ns, goal, "ns");
  }
  // Rates: the ratio is ours over the baseline's; at least `goal` meets it.
  void RateRow(const std::string& what, const Figure& ours, const std::string& baseline_name, const Figure& baseline,
               double goal) {
    Add(what, ours, baseline_name, baseline, ours.median_ns / baseline.median_ns, goal, "/s");
  }
  // A figure held to a fixed limit rather than to a ratio (memory growth,
  // failed calls): `goal` says the limit in words, `met` whether it held.
  void LimitRow(const std::string& what, double ours, const std::string& baseline_name, double baseline,
                const std::string& unit, const std::string& goal, bool met) {
    char ours_text[32], baseline_text[32];
    snprintf(ours_text, sizeof(ours_text), "%.0f %s", ours, unit.c_str());
    snprintf(baseline_text, sizeof(baseline_text), "%.0f %s", baseline, unit.c_str());
    printf("%-46s %12s %-25s | %-42s %12s %-25s | %5s  %s %s\n", what.c_str(), ours_text, "", baseline_name.c_str(),
           baseline_text, "", "-", goal.c_str(), met ? "met" : "MISSED");
    fflush(stdout);
    csv_.push_back(Quoted(what) + "," + Number(ours) + "," + Number(ours) + "," + Number(ours) + "," +
                   Quoted(baseline_name) + "," + Number(baseline) + "," + Number(baseline) + "," + Number(baseline) +
                   "," + unit + ",," + Quoted(goal) + "," + (met ? "yes" : "no"));
  }
  // A line of its own in the report, e.g. why a row was left out.
  void Note(const std::string& text) {
    printf("  note: %s\n", text.c_str());
    fflush(stdout);
  }
  // A point of a plotted series: x, our value, the baseline's.
  void Series(const std::string& series, const std::string& x, double ours, double baseline) {
    series_[series].push_back(x + "," + Number(ours) + "," + Number(baseline));
  }

  bool WriteCsv(const std::string& directory) const {
    FILE* file = fopen((directory + "/" + name_ + "_results.csv").c_str(), "w");
    if (file == nullptr) return false;
    fprintf(file,
            "what,ours,ours_low,ours_high,baseline,baseline_value,baseline_low,baseline_high,unit,ratio,goal,met\n");
    for (const std::string& line : csv_) fprintf(file, "%s\n", line.c_str());
    fclose(file);
    for (const auto& [series, points] : series_) {
      std::string path = directory;
      path += "/" + name_ + "_";
      path += series + ".csv";
      file = fopen(path.c_str(), "w");
      if (file == nullptr) return false;
      fprintf(file, "x,ours,baseline\n");
      for (const std::string& point : points) fprintf(file, "%s\n", point.c_str());
      fclose(file);
    }
    return true;
  }

 private:
  static std::string Number(double value) {
    char text[32];
    snprintf(text, sizeof(text), "%.4g", value);
    return text;
  }
  // A value in a unit a reader takes in at a glance.
  static std::string Human(double value, const std::string& unit) {
    char text[32];
    if (unit == "/s") {
      if (value >= 1e6) {
        snprintf(text, sizeof(text), "%.2f M/s", value / 1e6);
      } else {
        snprintf(text, sizeof(text), "%.1f k/s", value / 1e3);
      }
    } else if (value >= 1e6) {
      snprintf(text, sizeof(text), "%.2f ms", value / 1e6);
    } else if (value >= 1e4) {
      snprintf(text, sizeof(text), "%.1f us", value / 1e3);
    } else if (value >= 1e3) {
      snprintf(text, sizeof(text), "%.2f us", value / 1e3);
    } else {
      snprintf(text, sizeof(text), "%.2f ns", value);
    }
    return text;
  }
  static std::string Spread(const Figure& figure, const std::string& unit) {
    return "[" + Human(figure.low_ns, unit) + ".." + Human(figure.high_ns, unit) + "]";
  }
  static std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

  void Add(const std::string& what, const Figure& ours, const std::string& baseline_name, const Figure& baseline,
           double ratio, double goal, const std::string& unit) {
    const bool higher_is_better = unit == "/s";
    const bool met = higher_is_better ? ratio >= goal : ratio <= goal;
    const std::string bound = higher_is_better ? ">=" : "<=";
    printf("%-46s %12s %-25s | %-42s %12s %-25s | %5.2f  %s %.2f %s\n", what.c_str(),
           Human(ours.median_ns, unit).c_str(), Spread(ours, unit).c_str(), baseline_name.c_str(),
           Human(baseline.median_ns, unit).c_str(), Spread(baseline, unit).c_str(), ratio, bound.c_str(), goal,
           met ? "met" : "MISSED");
    fflush(stdout);
    csv_.push_back(Quoted(what) + "," + Number(ours.median_ns) + "," + Number(ours.low_ns) + "," +
                   Number(ours.high_ns) + "," + Quoted(baseline_name) + "," + Number(baseline.median_ns) + "," +
                   Number(baseline.low_ns) + "," + Number(baseline.high_ns) + "," + unit + "," + Number(ratio) + "," +
                   bound + Number(goal) + "," + (met ? "yes" : "no"));
  }

  std::string name_;
  std::vector<std::string> csv_;
  std::map<std::string, std::vector<std::string>> series_;
};

}  // namespace bench

#endif
