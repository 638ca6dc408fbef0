#!/usr/bin/env python3
"""The worker pool of python_pool.py through the quenthaloy package, beside
the same pool through bare ctypes declarations and beside queue.Queue.

usage: python_package_pool.py [--quick]   (the package importable, with its
library beside it or named by QUENTHALOY_LIBRARY)

The package checks every argument in Python before its call: this shows what
that costs a dispatcher, against the same calls declared by hand and against
one queue.Queue per worker, each median of several runs measured turn about.
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import python_pool  # noqa: E402
import quenthaloy  # noqa: E402


def package(workers, jobs, wrong):
    return python_pool.time_pool(workers, jobs,
                                 lambda w: (lambda key=python_pool.FIRST_KEY + w: quenthaloy.wait(key)),
                                 lambda w, job: quenthaloy.post(python_pool.FIRST_KEY + w, job), wrong)


def main():
    quick = "--quick" in sys.argv[1:]
    bare = python_pool.load(quenthaloy.library_path)
    repetitions, counts, jobs = (1, [2], 10) if quick else (7, [1, 4, 16], 50000)
    print("%-40s %12s %12s %12s %8s %8s" % ("per job", "package", "bare ctypes", "queue.Queue",
                                            "pkg/bare", "pkg/Queue"))
    failed = False
    for workers in counts:
        wrong = []
        samples = {"package": [], "bare": [], "queue": []}
        for _ in range(repetitions):
            samples["package"].append(package(workers, jobs, wrong))
            samples["bare"].append(python_pool.ours(bare, workers, jobs, wrong))
            samples["queue"].append(python_pool.baseline(workers, jobs, wrong))
        if wrong:
            print("%d workers: %d jobs lost or out of order" % (workers, len(wrong)), file=sys.stderr)
            failed = True
        p, b, q = (python_pool.figure(samples[k])[0] for k in ("package", "bare", "queue"))
        print("%-40s %12s %12s %12s %8.2f %8.2f" % ("worker pool, %d workers" % workers, python_pool.human(p),
                                                   python_pool.human(b), python_pool.human(q), p / b, p / q),
              flush=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
