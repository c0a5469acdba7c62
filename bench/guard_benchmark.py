#!/usr/bin/env python3
"""Measures what guards cost the keep-alive loop (wdtctl W0 T5 L1 against the simulated driver),
one run after another: without guards; with two heartbeat files (touched twice a second) and a
check every period that exits at once; the same with a check that hangs; and with a check that
keeps a CPU busy for its whole period. For each: how far refreshes stray from their 1 s period
(median and worst), the tool's own CPU time per period (its checks not counted), and its resident
memory with the part locked in RAM.

  bench/guard_benchmark.py [seconds per run] [path to wdtctl]     (defaults: 60, build/linux/wdtctl)
"""
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from loop_benchmark import cpu_seconds, memory_kib  # noqa: E402

PERIOD_MS = 1000


def measure(tool, guards, seconds, folder):
    journal = os.path.join(folder, "journal.txt")
    hearts = [os.path.join(folder, f"heart{i}") for i in (1, 2)]
    # A long grace: a check that hangs, or fails, keeps its guard silent, and the refreshes must go on
    # to be measured.
    args = [tool, "W0", "T5", "L1"] + ([f"--heartbeat={h}" for h in hearts] + guards + ["--grace=3600"] if guards else [])
    # Unrandomised addresses, as in loop_benchmark.py: the resident figures can then be compared.
    process = subprocess.Popen(["setarch", "-R"] + args, stdout=subprocess.PIPE, env=dict(os.environ, WDT_SIM_JOURNAL=journal))
    done = threading.Event()

    def touch():
        while not done.wait(0.5):
            for heart in hearts:
                with open(heart, "a"):
                    os.utime(heart)
    toucher = threading.Thread(target=touch)
    toucher.start()
    try:
        process.stdout.readline()
        process.stdout.readline()  # the announcement: the loop has started
        time.sleep(1.5)
        cpu_start = cpu_seconds(process.pid)
        time.sleep(seconds)
        cpu = cpu_seconds(process.pid) - cpu_start
        resident, locked = memory_kib(process.pid)
    finally:
        done.set()
        toucher.join()
        process.kill()
        process.wait()
    with open(journal) as lines:
        refreshes = [float(line.split()[0]) for line in lines if "ResetWDT0" in line]
    os.unlink(journal)
    deviations = [abs(b - a - PERIOD_MS) for a, b in zip(refreshes, refreshes[1:])]
    return len(refreshes), statistics.median(deviations), max(deviations), 1e6 * cpu / seconds, resident, locked


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 60
    tool = sys.argv[2] if len(sys.argv) > 2 else "build/linux/wdtctl"
    runs = [("no guards", None),
            ("2 heartbeats, a check that exits", ["--check=true"]),
            ("2 heartbeats, a check that hangs", ["--check=sleep 100000"]),
            ("2 heartbeats, a busy check", ["--check=exec timeout 0.95 sh -c 'while :; do :; done'"])]
    print(f"{'guards':<34} {'refreshes':>9} {'median':>9} {'worst':>9} {'CPU/period':>11} {'resident':>9} {'locked':>8}")
    with tempfile.TemporaryDirectory(prefix="wdt-guard-bench-") as folder:
        for name, guards in runs:
            count, median, worst, cpu, resident, locked = measure(tool, guards, seconds, folder)
            print(f"{name:<34} {count:>9} {median:>6.3f} ms {worst:>6.3f} ms {cpu:>8.1f} us "
                  f"{resident:>5} KiB {locked:>4} KiB", flush=True)


if __name__ == "__main__":
    main()
