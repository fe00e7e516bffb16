#!/usr/bin/env python3
"""Extract of the Windows build under Wine: working ahead against one thread.

On the synthetic corpus of bench/run.py (20,000 files, about 200 MB), the
Windows program extracts the .nms into a fresh folder on a tmpfs, with
QUARROW_WORKERS=3 and with QUARROW_WORKERS=0, alternately (A B A B ...),
after a warm-up; the script prints the median times and the median of the
per-pair ratios. Every run is checked: the folder must hold the corpus.
With --against, a second program runs the same way, in the same pairs, on
one thread, against the first on one thread.

With --files N, only the corpus's first N files are packed and extracted.

Usage: python3 bench/wine.py [--pairs N] [--files N] [--program EXE] [--against EXE]
Needs the release build (for the corpus) and the Windows release build:
cmake --build --preset release && cmake --build --preset windows-release.
Wine runs in a prefix of its own under build/bench-wine, with its own server.
"""

import argparse
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run as bench  # noqa: E402

PROGRAM = os.path.join(bench.ROOT, "build", "windows-release", "quarrow.exe")


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--pairs", type=int, default=7)
    parser.add_argument("--program", default=PROGRAM)
    parser.add_argument("--against")
    parser.add_argument("--files", type=int)
    arguments = parser.parse_args()
    prefix = os.path.join(bench.ROOT, "build", "bench-wine")
    os.makedirs(prefix, exist_ok=True)
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all")
    subprocess.run(["wineserver", "-p"], env=env, check=True)
    subprocess.run(["wineboot", "-i"], env=env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=True)
    try:
        base, tree = bench.prepare("synthetic")
        if arguments.files:
            tree, base = first_files(tree, base, arguments.files)
        nms = windows_path(os.path.join(base, "app.nms"))
        corpus = bench.tree_digest(tree)

        def extract(program, workers):
            run_env = dict(env, QUARROW_WORKERS=workers)
            return bench.timed_in_fresh_folder(
                lambda out: ["env", *(f"{k}={v}" for k, v in run_env.items() if k.startswith(
                    ("WINE", "QUARROW"))), "wine", program, "extract", nms,
                    "/OutDir=" + windows_path(out) + "\\"],
                lambda out: None if bench.tree_digest(out) == corpus else "not the corpus")

        print(f"synthetic under Wine: {args_line(arguments)}")
        if arguments.against:
            bench.pairs("this build / that build, one thread", extract(arguments.program, "0"),
                        extract(arguments.against, "0"), arguments.pairs)
        else:
            bench.pairs("working ahead / one thread", extract(arguments.program, "3"),
                        extract(arguments.program, "0"), arguments.pairs)
    finally:
        subprocess.run(["wineserver", "-k"], env=env)


def args_line(arguments):
    files = arguments.files or 20000
    return f"{files} files, {arguments.pairs} pairs, {os.cpu_count()} CPUs"


def first_files(tree, base, count):
    """A tree of the corpus's first `count` files beside it, and its .nms."""
    subset = os.path.join(base, f"first-{count}")
    names = sorted(os.listdir(tree))[:count]
    if not os.path.isdir(subset):
        os.makedirs(os.path.join(subset, "tree"))
        for name in names:
            os.link(os.path.join(tree, name), os.path.join(subset, "tree", name))
        subprocess.run([bench.NMSPACK, os.path.join(subset, "app.nms"), *names],
                       cwd=os.path.join(subset, "tree"), check=True)
    return os.path.join(subset, "tree"), subset


if __name__ == "__main__":
    main()
