#!/usr/bin/env python3
"""Zip extraction: the installer's zip reader against `unzip -o -q`, alternating.

Generates one package-sized zip (default 300 MiB in 5,000 files), then extracts it
ROUNDS times with each tool in turn into a fresh folder: the zip reader on one thread
and on all cores, and unzip. Prints wall times, the ratios of the medians to unzip's,
the peak resident memory of each and the load average before and after as Markdown.

    bench/zip_extract_bench.py [--exe build/release/bench/bench_zip_extract]
                               [--mib 300] [--files 5000] [--rounds 5] [--work DIR]
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time


def run(command):
    """Runs a command; returns (seconds, peak RSS in KiB) of that command alone.

    GNU time reports the peak; a child forked straight from Python would count
    Python's own pages, which stay in its high-water mark across exec.
    """
    with tempfile.NamedTemporaryFile("r") as report:
        start = time.perf_counter()
        result = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report.name] + command)
        elapsed = time.perf_counter() - start
        if result.returncode != 0:
            sys.exit(f"failed ({result.returncode}): {' '.join(command)}")
        return elapsed, int(report.read().split()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--exe", default="build/release/bench/bench_zip_extract")
    parser.add_argument("--mib", type=int, default=300)
    parser.add_argument("--files", type=int, default=5000)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--work", default=None, help="folder for the zip and the output")
    args = parser.parse_args()
    cores = os.cpu_count() or 1
    load_before = os.getloadavg()

    work = tempfile.mkdtemp(prefix="orvane-zip-bench-", dir=args.work)
    try:
        package = os.path.join(work, "package.zip")
        out = os.path.join(work, "out")
        run([args.exe, "generate", package, str(args.mib), str(args.files)])
        size = os.path.getsize(package)
        tools = {
            "zip reader, 1 thread": lambda: [args.exe, "extract", package, out, "1"],
            f"zip reader, {cores} threads": lambda: [args.exe, "extract", package, out, "0"],
            "unzip -o -q": lambda: ["unzip", "-o", "-q", package, "-d", out],
        }
        times = {name: [] for name in tools}
        peaks = {name: 0 for name in tools}
        # One warm-up of each so both read the zip from the page cache.
        for round_ in range(args.rounds + 1):
            for name, command in tools.items():
                shutil.rmtree(out, ignore_errors=True)
                os.makedirs(out)
                elapsed, peak = run(command())
                if round_ > 0:
                    times[name].append(elapsed)
                    peaks[name] = max(peaks[name], peak)
        theirs = statistics.median(times["unzip -o -q"])
        load_after = os.getloadavg()
        print(f"Package: {args.mib} MiB in {args.files} files, zip {size / 2**20:.1f} MiB; "
              f"{args.rounds} alternating rounds after one warm-up each; {cores} cores; "
              f"load average before {load_before[0]:.2f}, after {load_after[0]:.2f}.\n")
        print("| Tool | Median s | Min s | Max s | Peak RSS MiB |")
        print("|---|---|---|---|---|")
        for name in tools:
            print(f"| {name} | {statistics.median(times[name]):.3f} | {min(times[name]):.3f} "
                  f"| {max(times[name]):.3f} | {peaks[name] / 1024:.1f} |")
        print()
        for name in tools:
            if name != "unzip -o -q":
                print(f"Ratio {name} / unzip (medians): "
                      f"{statistics.median(times[name]) / theirs:.2f}x")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
