#!/usr/bin/env python3
"""A worker pool driven from Python through ctypes, against queue.Queue.

usage: python_pool.py [--quick] [--csv DIR] path/to/libquenthaloy.so

One dispatcher thread hands jobs 1..N round-robin to 1, 4 and 16 worker
threads, then a stop value to each. With the library every worker blocks in
WaitThreadMessage on its own key; the baseline gives every worker its own
queue.Queue. Per job, median of several runs with the spread, measured turn
about with the baseline; the table has the native benchmark's columns.
--quick runs one tiny pool, so that the script cannot rot.
"""
import ctypes
import os
import queue
import sys
import threading
import time

FIRST_KEY = 2000
STOP = -1


def load(path):
    """The library as a Python host should load it: the calls that can block
    for long (WaitThreadMessage) through ctypes.CDLL, which lets other Python
    threads run meanwhile; the calls that never do (SendThreadMessage,
    GetThreadMessage) through ctypes.PyDLL, which keeps the interpreter lock
    across the call instead of handing it to the worker the post just woke."""
    blocking, quick_calls = ctypes.CDLL(path), ctypes.PyDLL(path)
    for library, names in [(blocking, [("WaitThreadMessage", 1)]),
                           (quick_calls, [("SendThreadMessage", 2), ("GetThreadMessage", 1)])]:
        for name, arguments in names:
            function = getattr(library, name)
            function.argtypes = [ctypes.c_int32] * arguments
            function.restype = ctypes.c_int32
    return blocking, quick_calls


def serve(take, worker, workers, jobs, wrong):
    """Takes jobs until the stop value; counts any not exactly this worker's, in order."""
    expected = worker + 1
    job = take()
    while job != STOP:
        if job != expected:
            wrong.append(job)
        expected += workers
        job = take()
    if expected <= jobs:
        wrong.append(expected)


def time_pool(workers, jobs, make_take, post, wrong):
    """Starts the workers, waits until all are about to take, then times the
    dispatch and the workers' finishing: ns per job."""
    started = threading.Barrier(workers + 1)

    def worker_main(w):
        take = make_take(w)
        started.wait()
        serve(take, w, workers, jobs, wrong)

    pool = [threading.Thread(target=worker_main, args=(w,)) for w in range(workers)]
    for thread in pool:
        thread.start()
    started.wait()
    start = time.perf_counter()
    for job in range(1, jobs + 1):
        post((job - 1) % workers, job)
    for w in range(workers):
        post(w, STOP)
    for thread in pool:
        thread.join()
    return (time.perf_counter() - start) * 1e9 / jobs


def ours(library, workers, jobs, wrong):
    blocking, quick_calls = library
    wait = blocking.WaitThreadMessage
    send = quick_calls.SendThreadMessage
    return time_pool(workers, jobs, lambda w: (lambda key=FIRST_KEY + w: wait(key)),
                     lambda w, job: send(FIRST_KEY + w, job), wrong)


def baseline(workers, jobs, wrong):
    queues = [queue.Queue() for _ in range(workers)]
    return time_pool(workers, jobs, lambda w: queues[w].get, lambda w, job: queues[w].put(job), wrong)


def figure(samples):
    samples = sorted(samples)
    return samples[len(samples) // 2], samples[0], samples[-1]


def human(ns):
    if ns >= 1e6:
        return "%.2f ms" % (ns / 1e6)
    if ns >= 1e4:
        return "%.1f us" % (ns / 1e3)
    if ns >= 1e3:
        return "%.2f us" % (ns / 1e3)
    return "%.2f ns" % ns


def spread(f):
    return "[%s..%s]" % (human(f[1]), human(f[2]))


def main():
    arguments = sys.argv[1:]
    quick = "--quick" in arguments
    csv_directory = None
    if "--csv" in arguments:
        at = arguments.index("--csv")
        csv_directory = arguments[at + 1]
        del arguments[at:at + 2]
    paths = [a for a in arguments if not a.startswith("--")]
    if len(paths) != 1:
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    library = load(paths[0])
    repetitions = 1 if quick else 7
    counts = [2] if quick else [1, 4, 16]
    jobs = 10 if quick else 50000
    goal = 1.0

    print("%-46s %12s %-25s | %-42s %12s %-25s | %5s  %s" %
          ("python: ours", "median", "[spread]", "baseline", "median", "[spread]", "ratio", "goal"))
    rows, series, failed = [], [], False
    for workers in counts:
        print("running: python worker pool, %d workers" % workers, file=sys.stderr, flush=True)
        wrong = []
        ours(library, workers, jobs, wrong)
        baseline(workers, jobs, wrong)
        ours_samples, baseline_samples = [], []
        for _ in range(repetitions):
            ours_samples.append(ours(library, workers, jobs, wrong))
            baseline_samples.append(baseline(workers, jobs, wrong))
        if wrong:
            print("python_pool: %d workers: %d jobs lost or out of order" % (workers, len(wrong)), file=sys.stderr)
            failed = True
        o, b = figure(ours_samples), figure(baseline_samples)
        ratio = o[0] / b[0]
        met = ratio <= goal
        what = "python worker pool, %d workers, per job" % workers
        base = "one queue.Queue per worker"
        print("%-46s %12s %-25s | %-42s %12s %-25s | %5.2f  <= %.2f %s" %
              (what, human(o[0]), spread(o), base, human(b[0]), spread(b), ratio, goal, "met" if met else "MISSED"),
              flush=True)
        rows.append('"%s",%.4g,%.4g,%.4g,"%s",%.4g,%.4g,%.4g,ns,%.4g,<=%.4g,%s' %
                    (what, o[0], o[1], o[2], base, b[0], b[1], b[2], ratio, goal, "yes" if met else "no"))
        series.append("%d,%.4g,%.4g" % (workers, o[0], b[0]))

    if csv_directory is not None:
        with open(os.path.join(csv_directory, "python_results.csv"), "w") as f:
            f.write("what,ours,ours_low,ours_high,baseline,baseline_value,baseline_low,baseline_high,"
                    "unit,ratio,goal,met\n")
            f.writelines(row + "\n" for row in rows)
        with open(os.path.join(csv_directory, "python_pool.csv"), "w") as f:
            f.write("x,ours,baseline\n")
            f.writelines(point + "\n" for point in series)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
