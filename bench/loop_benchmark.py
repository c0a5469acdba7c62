#!/usr/bin/env python3
"""Measures the keep-alive loop against the simulated driver: how closely refreshes keep to a 1 s
period, how far the last one drifted, the CPU time per refresh and the resident memory, with the
loop's memory locked and, in a second process that is refused the lock, without.

  bench/loop_benchmark.py [seconds] [path to wdtctl]     (defaults: 300, build/linux/wdtctl)
"""
import os
import statistics
import subprocess
import sys
import tempfile
import time

PERIOD_MS = 1000


def memory_kib(pid):
    """The resident memory, and the part of it in mappings locked in RAM, from /proc/<pid>/smaps."""
    resident = locked = rss = 0
    with open(f"/proc/{pid}/smaps") as smaps:
        for line in smaps:
            if line.startswith("Rss:"):
                rss = int(line.split()[1])
                resident += rss
            elif line.startswith("VmFlags:") and " lo" in f" {line[8:]}":
                locked += rss
    return resident, locked


# A process that may lock no memory: no locked-memory allowance, and no privilege to exceed it.
REFUSE_LOCK = ["prlimit", "--memlock=0:0"] + (
    ["setpriv", "--inh-caps=-ipc_lock", "--ambient-caps=-ipc_lock", "--bounding-set=-ipc_lock"]
    if os.geteuid() == 0 else [])


def cpu_seconds(pid):
    """Time the process has spent on a CPU, in nanoseconds' resolution."""
    with open(f"/proc/{pid}/schedstat") as schedstat:
        return int(schedstat.read().split()[0]) / 1e9


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 300
    tool = sys.argv[2] if len(sys.argv) > 2 else "build/linux/wdtctl"
    journal = tempfile.NamedTemporaryFile(prefix="wdt-bench-", suffix=".txt", delete=False).name
    env = dict(os.environ, WDT_SIM_JOURNAL=journal)
    unlocked_env = dict(os.environ, WDT_SIM_JOURNAL=journal + ".unlocked")
    process = subprocess.Popen([tool, "W0", "T5", "L1"], stdout=subprocess.PIPE, env=env)
    unlocked = subprocess.Popen(REFUSE_LOCK + [tool, "W0", "T5", "L1"], stdout=subprocess.PIPE, env=unlocked_env)
    try:
        for each in (process, unlocked):
            each.stdout.readline()
            each.stdout.readline()  # the announcement: the loop has started
        time.sleep(1.5)  # after the first refresh, which opens the journal for the first time
        rss_start = [memory_kib(each.pid)[0] for each in (process, unlocked)]
        time.sleep(seconds)
        rss_end, locked = zip(*(memory_kib(each.pid) for each in (process, unlocked)))
        cpu = cpu_seconds(process.pid)
    finally:
        for each in (process, unlocked):
            each.kill()
            each.wait()
        os.unlink(journal + ".unlocked")

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
    for i, name in enumerate(("memory locked", "lock refused")):
        print(f"resident memory, {name + ':':<15} {rss_start[i]} KiB at start / {rss_end[i]} KiB at end "
              f"({locked[i]} KiB locked)")


if __name__ == "__main__":
    main()
