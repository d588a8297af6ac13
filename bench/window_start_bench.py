#!/usr/bin/env python3
"""Window start: time from process start to the installer window's first paint.

Starts bench_window_start (the installer's own start, ending at the first paint)
RUNS times after one warm-up (which creates the registry store), in a sandbox
HOME of its own, and prints the median
and the largest time from just before the process is created to the first paint,
from main() to the first paint and from main() to the window made (before it is
shown), as a Markdown table.

    bench/window_start_bench.py [--exe build/release/bench/bench_window_start]
                                [--runs 20] [--platform offscreen|xcb]
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time


def sandbox_env(sandbox, platform):
    env = dict(os.environ)
    # The installer's store, lock and documents stay in the sandbox.
    env["HOME"] = sandbox
    for name, sub in (("XDG_DATA_HOME", "data"), ("XDG_CONFIG_HOME", "config"),
                      ("XDG_CACHE_HOME", "cache"), ("XDG_RUNTIME_DIR", "runtime"),
                      ("XDG_DOCUMENTS_DIR", "Documents")):
        env[name] = os.path.join(sandbox, sub)
        os.makedirs(env[name], mode=0o700, exist_ok=True)
    env["QT_QPA_PLATFORM"] = platform
    for name in ("SUDO_USER", "PKEXEC_UID"):
        env.pop(name, None)
    return env


def start_once(exe, env):
    """Returns ms from process creation to the first paint, from main() to the
    first paint, and from main() to the window made (not yet shown)."""
    # CLOCK_MONOTONIC, the clock the program prints.
    before = time.monotonic_ns()
    result = subprocess.run([exe], env=env, capture_output=True, text=True, timeout=60)
    if result.returncode != 0:
        sys.exit(f"{exe} failed ({result.returncode}): {result.stderr}")
    fields = dict(item.split("=") for item in result.stdout.split())
    painted = int(fields["painted"])
    started = int(fields["main"])
    return ((painted - before) / 1e6, (painted - started) / 1e6,
            (int(fields["created"]) - started) / 1e6)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--exe", default="build/release/bench/bench_window_start")
    parser.add_argument("--runs", type=int, default=20)
    parser.add_argument("--platform", default="offscreen")
    args = parser.parse_args()

    sandbox = tempfile.mkdtemp(prefix="orvane-start-bench-")
    try:
        env = sandbox_env(sandbox, args.platform)
        start_once(args.exe, env)  # warm-up: libraries into the page cache, the store made
        runs = [start_once(args.exe, env) for _ in range(args.runs)]
    finally:
        shutil.rmtree(sandbox, ignore_errors=True)
    total = [run[0] for run in runs]
    from_main = [run[1] for run in runs]
    made = [run[2] for run in runs]
    print(f"{args.runs} starts after one warm-up, QPA platform {args.platform}, "
          f"load average {os.getloadavg()[0]:.1f}\n")
    print("| Measured | Median ms | Max ms | Min ms |")
    print("|---|---|---|---|")
    for name, values in (("process start to first paint", total),
                         ("main() to first paint", from_main),
                         ("main() to the window made", made)):
        print(f"| {name} | {statistics.median(values):.1f} | {max(values):.1f} "
              f"| {min(values):.1f} |")


if __name__ == "__main__":
    main()
