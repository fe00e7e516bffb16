#!/usr/bin/env python3
"""Working ahead on a machine we share: the default run against one thread.

Under each load, compare and extract run alternately with and without threads
(QUARROW_WORKERS=0), after a warm-up, and the script prints the median of the
per-pair ratios, default / one thread: 1.00 means the threads neither help nor
hurt, above 1 that they hurt. The loads are what a CI runner or a container
gives: one CPU allowed (taskset), other programs spinning on one core or on
every core, a cgroup CPU quota of 1 and of 0.5 CPU (v2 where it is mounted,
else v1), and 7 threads asked for in a quota of 1 CPU, as a 64-CPU host's count
would give in a small container. This is a measurement, never a test.

Usage: sudo python3 bench/loads.py [--pairs N] [--corpus real|synthetic] [--keep]
Needs the release build, and root for the cgroups (rows without it are skipped).
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run as bench  # noqa: E402  (the corpora, the timer and the output folders)

SPIN = "while :; do :; done"


class CpuQuota:
    """A cgroup of the script's own with a CPU quota; commands are started in it."""

    def __init__(self, cpus):
        period = 100000
        quota = int(cpus * period)
        self.path = None
        for top, v2 in (("/sys/fs/cgroup/unified", True), ("/sys/fs/cgroup", True),
                        ("/sys/fs/cgroup/cpu", False)):
            if v2 and not os.path.exists(os.path.join(top, "cgroup.controllers")):
                continue
            if v2 and "cpu" not in open(os.path.join(top, "cgroup.controllers")).read().split():
                continue
            if not v2 and not os.path.exists(os.path.join(top, "cpu.cfs_quota_us")):
                continue
            try:
                path = tempfile.mkdtemp(dir=top, prefix="quarrow-bench-")
                if v2:
                    with open(os.path.join(path, "cpu.max"), "w") as limit:
                        limit.write(f"{quota} {period}")
                else:
                    with open(os.path.join(path, "cpu.cfs_period_us"), "w") as limit:
                        limit.write(str(period))
                    with open(os.path.join(path, "cpu.cfs_quota_us"), "w") as limit:
                        limit.write(str(quota))
                self.path = path
                return
            except OSError:
                continue

    def wrap(self, command):
        return ["sh", "-c", f'echo $$ > "{self.path}/cgroup.procs" && exec "$@"', "sh", *command]

    def done(self):
        if self.path:
            os.rmdir(self.path)


def loads():
    """(label, how to start a command, spinners to start, QUARROW_WORKERS of the default run)."""
    yield "nothing else running", (lambda c: c), 0, None
    yield "taskset -c 0 (one CPU allowed)", (lambda c: ["taskset", "-c", "0", *c]), 0, None
    yield "another program spinning on one core", (lambda c: c), 1, None
    yield "other programs spinning on every core", (lambda c: c), os.cpu_count(), None
    for cpus, workers, label in ((1, None, "a CPU quota of 1 CPU"),
                                 (0.5, None, "a CPU quota of 0.5 CPU"),
                                 (1, "7", "QUARROW_WORKERS=7 in a quota of 1 CPU")):
        quota = CpuQuota(cpus)
        if quota.path is None:
            print(f"  {label}: skipped (no cgroup with a CPU controller to write)")
            continue
        try:
            yield label, quota.wrap, 0, workers
        finally:
            quota.done()


def measure(label, wrap, spinners, workers, nms, tree, count):
    spinning = [subprocess.Popen(["sh", "-c", SPIN]) for _ in range(spinners)]
    try:
        ratios = []
        for words in (["compare", nms, "/quiet"], ["extract", nms]):
            def go(setting):
                out = bench.FreshFolder()
                command = [bench.QUARROW, *words] + ([f"/OutDir={out.path}/"]
                                                    if words[0] == "extract" else [])
                env = {"QUARROW_WORKERS": setting} if setting is not None else None
                seconds = bench.run(wrap(command), tree, env)
                out.done()
                return seconds
            go(workers), go("0")  # warm-up
            pairs = [go(workers) / go("0") for _ in range(count)]
            ratios.append(statistics.median(pairs))
        print(f"  {label:<42} {ratios[0]:7.2f} {ratios[1]:7.2f}", flush=True)
    finally:
        for spinner in spinning:
            spinner.kill()
            spinner.wait()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pairs", type=int, default=7)
    parser.add_argument("--corpus", choices=["real", "synthetic"], default="synthetic")
    parser.add_argument("--keep", action="store_true", help="keep the corpus for the next run")
    arguments = parser.parse_args()
    for tool in (bench.QUARROW, bench.NMSPACK):
        if not os.path.exists(tool):
            sys.exit(f"missing {tool}: build the release preset first")
    os.makedirs(bench.WORK, exist_ok=True)
    try:
        base, tree = bench.prepare(arguments.corpus)
        nms = os.path.join(base, "app.nms")
        print(f"machine: {os.cpu_count()} cores, {os.uname().release}; {arguments.corpus} corpus,"
              f" {arguments.pairs} pairs each; default run / QUARROW_WORKERS=0, medians")
        print(f"  {'the machine':<42} {'compare':>7} {'extract':>7}")
        for label, wrap, spinners, workers in loads():
            measure(label, wrap, spinners, workers, nms, tree, arguments.pairs)
    finally:
        if not arguments.keep:
            shutil.rmtree(bench.WORK, ignore_errors=True)


if __name__ == "__main__":
    main()
