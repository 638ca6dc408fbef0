#!/usr/bin/env python3
"""Runs a benchmark and makes its report: each figure a median of the runs
with its spread [min-max], our cost over each peer's (> 1 is slower; '*'
misses its goal; our own goal is a limit on our figure), the processor named.

usage: report.py [--csv DIR] NAME COMMAND...
With DIR, also NAME_results.csv (one line per figure), NAME_<series>.csv and
.png (a plotted series: one line per point, one column per implementation)
and the report, appended to report.txt. The benchmark's lines are workloads.h's
(a row: @what;unit;series;x|implementation;goal;samples|...); others pass.
"""
import argparse
import os
import shutil
import subprocess
import sys

PLOT = ('set datafile separator ","; set terminal pngcairo size 1000,540 noenhanced; set output "%s.png"; '
        'set title "%s"; set ylabel "%s"; set key outside right top; set grid ytics; set logscale y; '
        'set style data histograms; set style histogram clustered gap 1; set style fill solid 0.8 border -1; '
        'plot for [c = 2:*] "%s.csv" using c:xtic(1) title columnheader(c)')


def processor():
    with open("/proc/cpuinfo") as cpuinfo:
        models = [line.split(":", 1)[1].strip() for line in cpuinfo if line.startswith("model name")]
    return "%s, %d logical processors" % (models[0] if models else "an unnamed processor", os.cpu_count())


def human(value, unit):
    if unit == "/s":
        return "%.2fM/s" % (value / 1e6) if value >= 1e6 else "%.1fk/s" % (value / 1e3)
    if unit != "ns":
        return "%.0f %s" % (value, unit)
    return "%.2fms" % (value / 1e6) if value >= 1e6 else "%.2fus" % (value / 1e3) if value >= 1e3 else "%.1fns" % value


class Report:
    def __init__(self, name, directory):
        self.name, self.directory, self.units = name, directory, {}
        self.files = {name + "_results": ["what,implementation,median,low,high,unit,ratio,goal,met"]}
        self.print("\n== %s on %s. Medians [min-max] of runs taken turn about; ratio: our cost over the peer's "
                   "(> 1 is slower; * misses its goal)" % (name, processor()))

    def print(self, text):
        print(text, flush=True)
        if self.directory:
            with open(os.path.join(self.directory, "report.txt"), "a") as report:
                report.write(text + "\n")

    def row(self, what, unit, sides, series="", x=""):
        """sides: (implementation, goal, samples) each, ours first."""
        medians = [sorted(samples)[len(samples) // 2] for _, _, samples in sides]
        line, missed = what.ljust(44) + " ", []
        for i, ((name, goal, samples), median) in enumerate(zip(sides, medians)):
            cost, peer = (medians[0], median) if unit != "/s" else (median, medians[0])
            ratio = 1 if i == 0 else cost / peer if peer else 0
            met = "" if not goal else (medians[0] if i == 0 else ratio) <= goal
            cell = "%s [%s-%s]" % (human(median, unit), human(min(samples), unit), human(max(samples), unit))
            shown = " %.2f" % ratio if unit in ("ns", "/s") else ""
            line += cell if i == 0 else " | %s %s%s%s" % (name, cell, shown, "*" if met is False else "")
            if met is False:
                missed.append("%s (%.3g > %g)" % (name, medians[0] if i == 0 else ratio, goal))
            self.files[self.name + "_results"].append('"%s","%s",%.4g,%.4g,%.4g,%s,%.4g,%s,%s' % (
                what, name, median, min(samples), max(samples), unit, ratio, "<=%g" % goal if goal else "",
                "" if met == "" else "yes" if met else "no"))
        self.print(line + ("   goal missed: " + ", ".join(missed) if missed else ""))
        if series:
            name = "%s_%s" % (self.name, series)
            self.units[name] = "ns (lower is better)" if unit == "ns" else "per second (higher is better)"
            points = self.files.setdefault(name, ["x," + ",".join(s[0] for s in sides)])
            points.append(",".join([x] + ["%.4g" % m for m in medians]))

    def finish(self):
        for name, lines in self.files.items() if self.directory else []:
            path = os.path.join(self.directory, name)
            with open(path + ".csv", "w") as csv:
                csv.writelines(line + "\n" for line in lines)
            if name in self.units and shutil.which("gnuplot"):
                title = name.replace("_", " ")
                subprocess.run(["gnuplot", "-e", PLOT % (path, title, self.units[name], path)], check=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.strip().splitlines()[0])
    parser.add_argument("--csv", metavar="DIR")
    parser.add_argument("name")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    options = parser.parse_args()
    report = Report(options.name, options.csv)
    with subprocess.Popen(options.command, stdout=subprocess.PIPE, text=True) as benchmark:
        for line in benchmark.stdout:
            if not line.startswith("@"):
                report.print(line.rstrip())
                continue
            head, *sides = line.strip()[1:].split("|")
            what, unit, series, x = head.split(";")
            report.row(what, unit, [(name, float(goal), [float(s) for s in samples.split()])
                                    for name, goal, samples in (side.split(";") for side in sides)], series, x)
    report.finish()
    return benchmark.returncode


if __name__ == "__main__":
    sys.exit(main())
