#!/usr/bin/env python3
"""Measures Quarrow against the floor of the same work.

Each operation runs alternately with its floor (A B A B ...), after a warm-up,
with a warm page cache, and the script prints the median times and the median
of the per-pair ratios. The floors of list and compare are the design's own,
timed side by side: bench/floor.c reads the .nms in one pass into one fresh
block with huge pages asked for (list), and then every disk file once, compared
in full with its own held text, on one thread (compare; Quarrow compares on
every CPU, so its target is below 1).
Extract is held against tar -xf; list / cat and compare / diff -rq are shown
for reference. Corpora:

  real       every regular file under /usr/include, flattened to unique names
  synthetic  20,000 files, about 200 MB, sizes spread like real sources (seeded)
  many       memory only: 200,000 and 1,000,000 entries of two bytes under paths
             of 58 characters (nmspack --tiny); compare and extract, on one
             thread and working ahead, may peak at most 8 MiB over list

Every answer that is timed is checked too: list prints a line for each file,
compare of the identical tree prints nothing under /quiet, and the files that
extract leaves hold the corpus (a digest of the folder). A wrong answer ends
the run with its first difference, and no ratio is printed for it.

Usage: python3 bench/run.py [--pairs N] [--corpus real|synthetic|many|all] [--keep]
Needs the release build: cmake --preset release && cmake --build --preset release,
and GNU time (/usr/bin/time) for the peaks of memory.
Exits with status 1 when a target is missed. The corpora (about 1.4 GB under
build/release/bench) are removed at the end unless --keep is given.
"""

import argparse
import hashlib
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build", "release")
QUARROW = os.path.join(BUILD, "quarrow")
NMSPACK = os.path.join(BUILD, "tools", "nmspack", "nmspack")
WORK = os.path.join(BUILD, "bench")  # inputs, on disk, warm in the page cache
FLOOR = os.path.join(WORK, "floor")
TARGETS = {"list / floor": 1.1, "compare / floor": 0.8, "extract / tar": 0.8}
SCRATCH = "/dev/shm"  # outputs of extract and tar: a tmpfs, see the README


def run(command, cwd, env=None, check=None):
    """Runs a command; returns its time in seconds. Where `check` is given, the
    command's standard output goes to a file on a tmpfs, and `check(output)`
    tells what is wrong with the answer, if anything: a wrong answer ends the
    benchmark with the first difference, and no ratio is printed for it."""
    with tempfile.TemporaryFile(dir=SCRATCH) as output:
        start = time.perf_counter()
        child = subprocess.run(command, cwd=cwd,
                               stdout=output if check else subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, shell=isinstance(command, str),
                               env=None if env is None else {**os.environ, **env}, check=False)
        seconds = time.perf_counter() - start
        if child.returncode != 0:
            sys.exit(f"failed: {command}")
        if check:
            output.seek(0)
            wrong = check(output.read().decode("latin-1"))
            if wrong:
                sys.exit(f"wrong answer: {command}: {wrong}")
    return seconds


def first_difference(got, expected):
    """Where two texts part, with a few characters of each; None when equal."""
    if got == expected:
        return None
    at = next((i for i, (a, b) in enumerate(zip(got, expected)) if a != b),
              min(len(got), len(expected)))
    return f"at character {at}: {got[at:at + 60]!r}, expected {expected[at:at + 60]!r}"


def tree_digest(folder):
    """One digest of every regular file's name and bytes under `folder`, flat."""
    digest = hashlib.sha256()
    for name in sorted(os.listdir(folder)):
        digest.update(name.encode() + b"\0")
        with open(os.path.join(folder, name), "rb") as contents:
            digest.update(hashlib.sha256(contents.read()).digest())
    return digest.hexdigest()


def peak_memory(command, cwd, env=None):
    """The command's peak resident memory in bytes, as GNU time reports it. A child's own
    ru_maxrss, seen from here, would count the RSS of this Python process it was forked
    from before it exec'd (about 50 MB), which hides the peaks of small runs."""
    with tempfile.NamedTemporaryFile(mode="r") as report:
        run(["/usr/bin/time", "-f", "%M", "-o", report.name, *command], cwd, env)
        return int(report.read().split()[-1]) * 1024


def write_file(path, size, rng):
    # Source-like text: printable lines, so nothing compresses to nothing.
    line = bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz_ (){};=+*") for _ in range(79)) + b"\n"
    with open(path, "wb") as out:
        out.write((line * (size // 80 + 1))[:size])


def make_synthetic(folder):
    rng = random.Random(20261208)
    os.makedirs(folder)
    for index in range(20000):
        if rng.random() < 0.99:
            size = rng.randint(1024, 14 * 1024)  # most sources: 1 to 14 KB
        else:
            size = int(2 ** rng.uniform(14, 20))  # a few large ones, up to 1 MB
        write_file(os.path.join(folder, f"file{index:05d}.c"), size, rng)


def make_real(folder):
    os.makedirs(folder)
    for top, _, names in os.walk("/usr/include"):
        for name in names:
            source = os.path.join(top, name)
            if os.path.isfile(source) and not os.path.islink(source):
                flat = os.path.relpath(source, "/usr/include").replace("/", "__")
                shutil.copyfile(source, os.path.join(folder, flat))


def prepare(name):
    """Builds the tree, its twin for diff, its .nms and its tar; returns their paths."""
    base = os.path.join(WORK, name)
    tree = os.path.join(base, "tree")
    if not os.path.isdir(tree):
        print(f"making the {name} corpus ...", flush=True)
        shutil.rmtree(base, ignore_errors=True)
        (make_real if name == "real" else make_synthetic)(tree)
        shutil.copytree(tree, os.path.join(base, "twin"))
        names = sorted(os.listdir(tree))
        with open(os.path.join(base, "list"), "w") as listing:
            listing.write("\n".join(names) + "\n")
        subprocess.run([NMSPACK, os.path.join(base, "app.nms"), "@" + os.path.join(base, "list")],
                       cwd=tree, check=True)
        subprocess.run(["tar", "-cf", os.path.join(base, "flat.tar"), "-T",
                        os.path.join(base, "list")], cwd=tree, check=True)
    return base, tree


class FreshFolder:
    """An empty output folder made before the timed run and removed after it."""

    def __init__(self):
        self.path = tempfile.mkdtemp(dir=SCRATCH, prefix="quarrow-bench-")

    def done(self):
        shutil.rmtree(self.path)


def pairs(label, operation, floor, count):
    """Runs operation and floor alternately; returns medians and the ratio."""
    operation()
    floor()  # warm-up
    times_a, times_b, ratios = [], [], []
    for _ in range(count):
        a = operation()
        b = floor()
        times_a.append(a)
        times_b.append(b)
        ratios.append(a / b)
    ratio = statistics.median(ratios)
    print(f"  {label:<44} {statistics.median(times_a):8.3f} s {statistics.median(times_b):8.3f} s"
          f"   ratio {ratio:5.2f}")
    return ratio


def timed_in_fresh_folder(command_for, check_folder=None):
    def go():
        out = FreshFolder()
        seconds = run(command_for(out.path), out.path)
        wrong = check_folder(out.path) if check_folder else None
        out.done()
        if wrong:
            sys.exit(f"wrong answer: {command_for(out.path)}: {wrong}")
        return seconds
    return go


def bench(name, count):
    base, tree = prepare(name)
    nms = os.path.join(base, "app.nms")
    nms_size = os.path.getsize(nms)
    files = os.listdir(tree)
    largest = max(os.path.getsize(os.path.join(tree, f)) for f in files)
    print(f"\n{name}: {len(files)} files, .nms {nms_size / 1e6:.1f} MB, largest file "
          f"{largest / 1e3:.0f} KB")
    print(f"  {'operation / floor':<44} {'median':>10} {'floor':>10}")

    def quarrow(*words, check):
        return lambda: run([QUARROW, *words], tree, check=check)

    # The answers every timed run must give: list, a line for each file; compare
    # of the identical tree, not a word under /quiet; extract, the corpus itself.
    names = sorted(files)
    expected_list = "Bytes  Pathname\n------ --------------------------------------\n" + "".join(
        f"{os.path.getsize(os.path.join(tree, name)):6d} {name}\n" for name in names)
    corpus_digest = tree_digest(tree)

    def extracted_is_corpus(out):
        wrong = tree_digest(out) != corpus_digest
        return f"the files extracted differ from the corpus ({len(os.listdir(out))} files)" \
            if wrong else None

    def lists_every_file(out):
        return first_difference(out, expected_list)

    def all_same(out):
        return first_difference(out, "")

    listing = os.path.join(base, "list")
    results = {
        "list / floor": pairs("list / one read into one fresh block",
                              quarrow("list", nms, check=lists_every_file),
                              lambda: run([FLOOR, nms], tree), count),
        "list / cat": pairs("list / cat FILE.nms", quarrow("list", nms, check=lists_every_file),
                            lambda: run(f"cat {nms} > /dev/null", tree), count),
        "compare / floor": pairs("compare /quiet / that + each file read, compared, one thread",
                                 quarrow("compare", nms, "/quiet", check=all_same),
                                 lambda: run([FLOOR, nms, listing], tree), count),
        "compare / diff": pairs("compare /quiet / diff -rq",
                                quarrow("compare", nms, "/quiet", check=all_same),
                                lambda: run(["diff", "-rq", tree, os.path.join(base, "twin")],
                                            tree), count),
        "extract / tar": pairs(
            "extract / tar -xf (into empty tmpfs folders)",
            timed_in_fresh_folder(lambda out: [QUARROW, "extract", nms, f"/OutDir={out}/"],
                                  extracted_is_corpus),
            timed_in_fresh_folder(lambda out: ["tar", "-xf", os.path.join(base, "flat.tar")]),
            count),
    }
    allowed = nms_size + largest + 8 * 2**20
    for command in (["list", nms], ["compare", nms, "/quiet"], ["extract", nms]):
        def peak_of(env=None):
            out = FreshFolder()
            peak = peak_memory([QUARROW, *command, f"/OutDir={out.path}/"]
                               if command[0] == "extract" else [QUARROW, *command], tree, env)
            out.done()
            return peak
        peak, one_thread = peak_of(), peak_of({"QUARROW_WORKERS": "0"})
        print(f"  peak memory of {command[0]:<8} {peak / 2**20:7.1f} MiB, "
              f"{(peak - nms_size) / 2**20:+7.1f} MiB over the .nms, "
              f"{(peak - one_thread) / 2**20:+5.1f} MiB over one thread "
              f"(allowed {allowed / 2**20:.1f} MiB)")
        results[f"memory {command[0]}"] = peak <= allowed
    print("  targets:")
    met = True
    for key, limit in TARGETS.items():
        value = results[key]
        met = met and value <= limit
        print(f"    {key:<16} {value:5.2f} <= {limit:4.2f}  {'met' if value <= limit else 'MISSED'}")
    for key in ("memory list", "memory compare", "memory extract"):
        met = met and results[key]
        print(f"    {key:<16} {'met' if results[key] else 'MISSED'}")
    return met


def bench_many():
    """Peak memory of each command against list's, on .nms files of many tiny entries."""
    met = True
    print(f"\nmany: peak memory over list's (allowed 8.0 MiB)")
    for entries in (200_000, 1_000_000):
        nms = os.path.join(WORK, f"many{entries}.nms")
        subprocess.run([NMSPACK, nms, "--tiny", str(entries)], check=True)

        def peak_of(*words, env=None):
            out = FreshFolder()
            peak = peak_memory([QUARROW, *words], out.path, env)
            out.done()
            return peak

        listed = peak_of("list", nms)
        print(f"  {entries:>9,} entries, .nms {os.path.getsize(nms) / 2**20:6.1f} MiB: "
              f"list {listed / 2**20:6.1f} MiB")
        for label, words, env in (
                ("compare, one thread", ["compare", nms, "/quiet"], {"QUARROW_WORKERS": "0"}),
                ("compare, working ahead", ["compare", nms, "/quiet"], {"QUARROW_WORKERS": "3"}),
                ("extract, one thread", ["extract", nms], {"QUARROW_WORKERS": "0"}),
                ("extract, working ahead", ["extract", nms], {"QUARROW_WORKERS": "3"})):
            over = peak_of(*words, env=env) - listed
            met = met and over <= 8 * 2**20
            print(f"    {label:<24} {over / 2**20:+6.1f} MiB  {'met' if over <= 8 * 2**20 else 'MISSED'}")
        os.remove(nms)
    return met


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pairs", type=int, default=9)
    parser.add_argument("--corpus", choices=["real", "synthetic", "many", "all"], default="all")
    parser.add_argument("--keep", action="store_true", help="keep the corpora for the next run")
    arguments = parser.parse_args()
    for tool in (QUARROW, NMSPACK):
        if not os.path.exists(tool):
            sys.exit(f"missing {tool}: build the release preset first")
    os.makedirs(WORK, exist_ok=True)
    subprocess.run(["cc", "-O2", "-o", FLOOR, os.path.join(ROOT, "bench", "floor.c")], check=True)
    load = ", ".join(f"{value:.2f}" for value in os.getloadavg())
    print(f"machine: {os.cpu_count()} cores, {len(os.sched_getaffinity(0))} online for us, "
          f"load average {load}, {os.uname().release}; {arguments.pairs} pairs each")
    corpora = ["real", "synthetic", "many"] if arguments.corpus == "all" else [arguments.corpus]
    try:
        met = all([bench_many() if name == "many" else bench(name, arguments.pairs)
                   for name in corpora])
    finally:
        if not arguments.keep:
            shutil.rmtree(WORK, ignore_errors=True)
    print("\nall targets met" if met else "\nsome target MISSED")
    sys.exit(0 if met else 1)


if __name__ == "__main__":
    main()
