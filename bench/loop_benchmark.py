#!/usr/bin/env python3
"""Measures the keep-alive loop against the simulated driver, side by side in one run: the tool
(wdtctl W0 T5 L1) with its memory locked; the same in a process that is refused the lock; a plain
C loop doing the same work (bench/plain_loop.c, built here: it loads WDT.dll, arms, locks its
memory as it is touched, and refreshes on a monotonic schedule); and the tool guarding two
heartbeat files (touched twice a second) and a check that exits at once, and keeping its metrics
for Prometheus (written at least once a minute, and here once). It prints how closely the
tool's refreshes keep to the 1 s period, the drift, and for each process its CPU time per refresh
over the same steady-state window (from 1.5 s after the loop's start to the end: the start, which
loads and links more in the tool than in the plain loop, is not counted) and its resident memory,
with the tool's held against the plain loop's. Every process runs with its
addresses unrandomised: most of each one's resident memory is the C library's pages, and how many
of those the kernel maps around each touched one depends on where the library happens to lie
(one run with random addresses put the plain loop 0.2 MiB above the tool, the next 0.2 below).

  bench/loop_benchmark.py [seconds] [path to wdtctl]     (defaults: 300, build/linux/wdtctl)
"""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

PERIOD_MS = 1000
HERE = os.path.dirname(os.path.abspath(__file__))


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


def refreshes_in(journal):
    """The times of the refreshes in a simulated driver's journal, in milliseconds."""
    if not os.path.exists(journal):
        return []
    with open(journal) as lines:
        return [float(line.split()[0]) for line in lines if "ResetWDT0" in line]


def touch_while(files, running):
    while not running.wait(0.5):
        for path in files:
            with open(path, "a"):
                os.utime(path)


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 300
    tool = sys.argv[2] if len(sys.argv) > 2 else "build/linux/wdtctl"
    library = os.path.join(os.path.dirname(os.path.abspath(tool)), "WDT.dll")
    folder = tempfile.mkdtemp(prefix="wdt-bench-")
    plain = os.path.join(folder, "plain_loop")
    subprocess.run(["gcc", "-O2", "-o", plain, os.path.join(HERE, "plain_loop.c"), "-ldl"], check=True)
    hearts = [os.path.join(folder, f"heart{i}") for i in (1, 2)]
    runs = {
        "tool, memory locked": [tool, "W0", "T5", "L1"],
        "tool, lock refused": REFUSE_LOCK + [tool, "W0", "T5", "L1"],
        "plain C loop": [plain, library, "5", "1"],
        "tool, 2 heartbeats, a check": [tool, "W0", "T5", "L1"] + [f"--heartbeat={h}" for h in hearts]
                                       + ["--check=true", "--grace=3600"],
        "tool, metrics": [tool, "W0", "T5", "L1", f"--metrics={folder}"],
    }
    running = threading.Event()
    toucher = threading.Thread(target=touch_while, args=(hearts, running))
    toucher.start()
    processes = {}
    try:
        for name, command in runs.items():
            journal = os.path.join(folder, f"journal-{len(processes)}.txt")
            # Each keeps watchdog 0 of its own: a lock of its own, beside the others.
            own = os.path.join(folder, f"run-{len(processes)}")
            os.mkdir(own, 0o700)
            processes[name] = (subprocess.Popen(["setarch", "-R"] + command, stdout=subprocess.PIPE,
                                                env=dict(os.environ, WDT_SIM_JOURNAL=journal, WDTCTL_RUNTIME_DIRECTORY=own,
                                                         STATE_DIRECTORY=own)), journal)
        for process, _ in processes.values():
            while not process.stdout.readline().startswith(b"Entering endless loop"):
                pass
        time.sleep(1.5)  # after the first refresh, which opens the journal for the first time
        started = {name: memory_kib(process.pid)[0] for name, (process, _) in processes.items()}
        cpu_started = {name: cpu_seconds(process.pid) for name, (process, _) in processes.items()}
        counted = {name: len(refreshes_in(journal)) for name, (_, journal) in processes.items()}
        time.sleep(seconds)
        cpu = {name: cpu_seconds(process.pid) - cpu_started[name] for name, (process, _) in processes.items()}
        counted = {name: len(refreshes_in(journal)) - counted[name] for name, (_, journal) in processes.items()}
        ended = {name: memory_kib(process.pid) for name, (process, _) in processes.items()}
    finally:
        running.set()
        toucher.join()
        for process, _ in processes.values():
            process.kill()
            process.wait()

    refreshes = refreshes_in(processes["tool, memory locked"][1])
    intervals = [b - a for a, b in zip(refreshes, refreshes[1:])]
    deviations = [abs(i - PERIOD_MS) for i in intervals]
    drift = refreshes[-1] - (refreshes[0] + (len(refreshes) - 1) * PERIOD_MS)
    print(f"refreshes:                     {len(refreshes)} over {seconds:.0f} s")
    print(f"interval median:               {statistics.median(intervals):.3f} ms")
    print(f"deviation from period, median: {statistics.median(deviations):.3f} ms")
    print(f"deviation from period, worst:  {max(deviations):.3f} ms")
    print(f"drift of the last refresh:     {drift:+.3f} ms after {len(intervals)} periods")
    plain_kib = ended["plain C loop"][0]
    print(f"{'':<30} {'CPU per':>9} {'resident memory':>29} {'':>9} {'/ plain':>8}")
    print(f"{'':<30} {'refresh':>9} {'at start':>9} {'at end':>9} {'locked':>9} {'loop':>8}")
    for name in runs:
        resident, locked = ended[name]
        print(f"{name:<30} {1e6 * cpu[name] / counted[name]:>6.1f} us {started[name]:>5} KiB {resident:>5} KiB "
              f"{locked:>5} KiB {resident / plain_kib:>8.3f}")
    shutil.rmtree(folder)


if __name__ == "__main__":
    main()
