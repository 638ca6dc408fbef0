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

inline void Progress(const std::string& what) {
  fprintf(stderr, "running: %s\n", what.c_str());
  fflush(stderr);
}

class Table {
 public:
  explicit Table(std::string name) : name_(std::move(name)) {
    printf("%-40s %12s %-21s | %-38s %12s %-21s | %5s  %s\n", (name_ + ": ours").c_str(), "median", "[spread]",
           "baseline", "median", "[spread]", "ratio", "goal");
  }

  // Costs: the ratio is ours over the baseline's; at most `goal` meets it.
  void Row(const std::string& what, const Figure& ours, const std::string& baseline_name, const Figure& baseline,
           double goal) {
    Add(what, ours, baseline_name, baseline, ours.median_ns / baseline.median_ns, goal, "ns");
  }
  // Rates: the ratio is the baseline's over ours, so again lower is better.
  void RateRow(const std::string& what, const Figure& ours, const std::string& baseline_name, const Figure& baseline,
               double goal) {
    Add(what, ours, baseline_name, baseline, baseline.median_ns / ours.median_ns, goal, "/s");
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
      file = fopen((directory + "/" + name_ + "_" + series + ".csv").c_str(), "w");
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
    const bool met = ratio <= goal;
    printf("%-40s %12s %-21s | %-38s %12s %-21s | %5.2f  <= %.2f %s\n", what.c_str(),
           Human(ours.median_ns, unit).c_str(), Spread(ours, unit).c_str(), baseline_name.c_str(),
           Human(baseline.median_ns, unit).c_str(), Spread(baseline, unit).c_str(), ratio, goal,
           met ? "met" : "MISSED");
    fflush(stdout);
    csv_.push_back(Quoted(what) + "," + Number(ours.median_ns) + "," + Number(ours.low_ns) + "," +
                   Number(ours.high_ns) + "," + Quoted(baseline_name) + "," + Number(baseline.median_ns) + "," +
                   Number(baseline.low_ns) + "," + Number(baseline.high_ns) + "," + unit + "," + Number(ratio) + "," +
                   Number(goal) + "," + (met ? "yes" : "no"));
  }

  std::string name_;
  std::vector<std::string> csv_;
  std::map<std::string, std::vector<std::string>> series_;
};

}  // namespace bench

#endif
