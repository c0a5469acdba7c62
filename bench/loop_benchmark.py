#!/usr/bin/env python3
"""Measures the keep-alive loop against the simulated driver: how closely refreshes keep to a 1 s
period, how far the last one drifted, the CPU time per refresh and the resident memory.

  bench/loop_benchmark.py [seconds] [path to wdtctl]     (defaults: 300, build/linux/wdtctl)
"""
import os
import statistics
import subprocess
import sys
import tempfile
import time

PERIOD_MS = 1000


def resident_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def cpu_seconds(pid):
    """Time the process has spent on a CPU, in nanoseconds' resolution."""
    with open(f"/proc/{pid}/schedstat") as schedstat:
        return int(schedstat.read().split()[0]) / 1e9


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 300
    tool = sys.argv[2] if len(sys.argv) > 2 else "build/linux/wdtctl"
    journal = tempfile.NamedTemporaryFile(prefix="wdt-bench-", suffix=".txt", delete=False).name
    env = dict(os.environ, WDT_SIM_JOURNAL=journal)
    process = subprocess.Popen([tool, "W0", "T5", "L1"], stdout=subprocess.PIPE, env=env)
    try:
        process.stdout.readline()
        process.stdout.readline()  # the announcement: the loop has started
        time.sleep(1.5)  # after the first refresh, which opens the journal for the first time
        rss_start = resident_kib(process.pid)
        time.sleep(seconds)
        rss_end = resident_kib(process.pid)
        cpu = cpu_seconds(process.pid)
    finally:
        process.kill()
        process.wait()

    with open(journal) as lines:
        refreshes = [float(line.split()[0]) for line in lines if "ResetWDT0" in line]
    os.unlink(journal)
    intervals = [b - a for a, b in zip(refreshes, refreshes[1:])]
    deviations = [abs(i - PERIOD_MS) for i in intervals]
    drift = refreshes[-1] - (refreshes[0] + (len(refreshes) - 1) * PERIOD_MS)
    print(f"refreshes:                     {len(refreshes)} over {seconds:.0f} s")
    print(f"interval median:               {statistics.median(intervals):.3f} ms")
    print(f"deviation from period, median: {statistics.median(deviations):.3f} ms")
    print(f"deviation from period, worst:  {max(deviations):.3f} ms")
    print(f"drift of the last refresh:     {drift:+.3f} ms after {len(intervals)} periods")
    print(f"CPU time per refresh:          {1e6 * cpu / len(refreshes):.1f} us")
    print(f"resident memory, start / end:  {rss_start} KiB / {rss_end} KiB")


if __name__ == "__main__":
    main()
