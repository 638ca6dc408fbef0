#!/usr/bin/env python3
"""A worker pool driven from Python through ctypes, against queue.Queue.

One dispatcher thread hands jobs 1..N round-robin to 1, 4 and 16 worker
threads, then a stop value to each. With the library every worker blocks in
WaitThreadMessage on its own key; the baseline gives every worker its own
queue.Queue. Per job, median of several runs with the spread, measured turn
about with the baseline. With --package the library is driven through the
quenthaloy package (python/), as its users do, not through declarations made here.
"""
import argparse
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
    for function, arguments in [(blocking.WaitThreadMessage, 1), (quick_calls.SendThreadMessage, 2),
                                (quick_calls.GetThreadMessage, 1)]:
        function.argtypes = [ctypes.c_int32] * arguments
        function.restype = ctypes.c_int32
    return blocking.WaitThreadMessage, quick_calls.SendThreadMessage


def load_package(path):
    """The package's wait and post, over the library at `path`."""
    os.environ["QUENTHALOY_LIBRARY"] = os.path.abspath(path)
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "python"))
    import quenthaloy  # pylint: disable=import-outside-toplevel
    return quenthaloy.wait, quenthaloy.post


def time_pool(workers, jobs, make_take, post, wrong):
    """Starts the workers, waits until all are about to take, then times the
    dispatch and the workers' finishing: ns per job. Each worker counts in
    `wrong` any job that is not exactly its own, in order."""
    started = threading.Barrier(workers + 1)

    def serve(worker):
        take = make_take(worker)
        started.wait()
        expected = worker + 1
        job = take()
        while job != STOP:
            if job != expected:
                wrong.append(job)
            expected += workers
            job = take()
        if expected <= jobs:
            wrong.append(expected)

    pool = [threading.Thread(target=serve, args=(w,)) for w in range(workers)]
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
    wait, send = library
    return time_pool(workers, jobs, lambda w: (lambda key=FIRST_KEY + w: wait(key)),
                     lambda w, job: send(FIRST_KEY + w, job), wrong)


def baseline(workers, jobs, wrong):
    queues = [queue.Queue() for _ in range(workers)]
    return time_pool(workers, jobs, lambda w: queues[w].get, lambda w, job: queues[w].put(job), wrong)


def human(ns):
    return "%.2f ms" % (ns / 1e6) if ns >= 1e6 else "%.2f us" % (ns / 1e3) if ns >= 1e3 else "%.2f ns" % ns


def main():
    parser = argparse.ArgumentParser(description=__doc__.strip().splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="one tiny pool, so that the script cannot rot")
    parser.add_argument("--csv", metavar="DIR", help="also write python_results.csv and python_pool.csv there")
    parser.add_argument("--package", action="store_true", help="through the quenthaloy package")
    parser.add_argument("library", help="path to libquenthaloy.so")
    options = parser.parse_args()
    library = (load_package if options.package else load)(options.library)
    kind = "package" if options.package else "ctypes"
    repetitions, counts, jobs, goal = (1, [2], 10, 1.0) if options.quick else (7, [1, 4, 16], 50000, 1.0)
    base = "one queue.Queue per worker"
    print("\n== python (ratio: our cost over the baseline's, > 1 is slower; * misses its goal <= %.2f)" % goal)
    rows, series, failed = [], [], False
    for workers in counts:
        print("running: python worker pool, %d workers" % workers, file=sys.stderr, flush=True)
        wrong = []
        samples = ([], [])
        for r in range(repetitions + 1):  # the first warms up
            for side, run in zip(samples, [lambda: ours(library, workers, jobs, wrong),
                                           lambda: baseline(workers, jobs, wrong)]):
                sample = run()
                if r > 0:
                    side.append(sample)
        if wrong:
            print("python_pool: %d workers: %d jobs lost or out of order" % (workers, len(wrong)), file=sys.stderr)
            failed = True
        o, b = [(s[len(s) // 2], s[0], s[-1]) for s in map(sorted, samples)]
        ratio = o[0] / b[0]
        met = ratio <= goal
        what = "python (%s) worker pool, %d workers, per job" % (kind, workers)
        print("%-54s%-10s [%s..%s] | %s %s [%s..%s] %5.2f%s" %
              (what, human(o[0]), human(o[1]), human(o[2]), base, human(b[0]), human(b[1]), human(b[2]), ratio,
               " " if met else "*"), flush=True)
        rows.append('"%s",%.4g,%.4g,%.4g,"%s",%.4g,%.4g,%.4g,ns,%.4g,<=%.4g,%s' %
                    (what, o[0], o[1], o[2], base, b[0], b[1], b[2], ratio, goal, "yes" if met else "no"))
        series.append("%d,%.4g,%.4g" % (workers, o[0], b[0]))

    if options.csv is not None:
        suffix = "_package" if options.package else ""
        for name, header, lines in [
                ("python%s_results.csv" % suffix,
                 "what,ours,ours_low,ours_high,baseline,baseline_value,baseline_low,baseline_high,unit,ratio,goal,met",
                 rows), ("python%s_pool.csv" % suffix, "x,ours,baseline", series)]:
            with open(os.path.join(options.csv, name), "w") as f:
                f.writelines(line + "\n" for line in [header] + lines)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
