#!/usr/bin/env python3
"""A worker pool driven from Python, against one queue.Queue per worker.

One dispatcher thread hands jobs 1..N round-robin to 1, 4 and 16 worker
threads, then a stop value to each; with the library every worker blocks in
WaitThreadMessage on its own key. ns per job, turn about with the baseline,
reported by report.py. Through ctypes, the calls that never block (post)
through ctypes.PyDLL, which keeps the interpreter lock rather than handing it
to the worker the post just woke; with --package through the quenthaloy
package (python/), as its users do.
"""
import argparse
import ctypes
import os
import queue
import sys
import threading
import time

import report

FIRST_KEY = 2000
STOP = -1


def load(path, package):
    if package:
        os.environ["QUENTHALOY_LIBRARY"] = os.path.abspath(path)
        sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "python"))
        import quenthaloy  # pylint: disable=import-outside-toplevel
        return quenthaloy.wait, quenthaloy.post
    wait, post = ctypes.CDLL(path).WaitThreadMessage, ctypes.PyDLL(path).SendThreadMessage
    wait.argtypes, post.argtypes = [ctypes.c_int32], [ctypes.c_int32] * 2
    wait.restype = post.restype = ctypes.c_int32
    return wait, post


def time_pool(workers, jobs, take, post, wrong):
    """ns per job, the workers' finishing included; each worker counts in
    `wrong` any job that is not exactly its own, in order."""
    started = threading.Barrier(workers + 1)

    def serve(worker):
        started.wait()
        expected = worker + 1
        job = take(worker)
        while job != STOP:
            if job != expected:
                wrong.append(job)
            expected += workers
            job = take(worker)
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


def main():
    parser = argparse.ArgumentParser(description=__doc__.strip().splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="one tiny pool, so that the script cannot rot")
    parser.add_argument("--csv", metavar="DIR", help="also write the CSV files there (report.py)")
    parser.add_argument("--package", action="store_true", help="through the quenthaloy package")
    parser.add_argument("library", help="path to libquenthaloy.so")
    options = parser.parse_args()
    wait, post = load(options.library, options.package)
    kind = "package" if options.package else "ctypes"
    out = report.Report("python_package" if options.package else "python", options.csv)
    repetitions, counts, jobs = (1, [2], 10) if options.quick else (7, [1, 4, 16], 50000)
    wrong = []
    for workers in counts:
        print("running: python worker pool, %d workers" % workers, file=sys.stderr, flush=True)
        queues = [queue.Queue() for _ in range(workers)]
        sides = [("Quenthaloy", 0, lambda: time_pool(workers, jobs, lambda w: wait(FIRST_KEY + w),
                                                     lambda w, job: post(FIRST_KEY + w, job), wrong)),
                 ("one queue.Queue per worker", 1.0,
                  lambda: time_pool(workers, jobs, lambda w: queues[w].get(), lambda w, job: queues[w].put(job), wrong))]
        samples = [[run() for _, _, run in sides] for _ in range(repetitions + 1)][1:]  # the first warms up
        out.row("python (%s) worker pool, %d workers, per job" % (kind, workers), "ns",
                [(name, goal, [s[i] for s in samples]) for i, (name, goal, _) in enumerate(sides)], "pool", str(workers))
    out.finish()
    if wrong:
        print("python_pool: %d jobs lost or out of order" % len(wrong), file=sys.stderr)
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main())
