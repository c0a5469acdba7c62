#!/usr/bin/env python3
"""Boots Debian with systemd and the wdtctl package (wdtctl.service enabled: W0 T5 L2) under QEMU
with a 6300ESB watchdog, once per scenario, and checks from outside (QMP watchdog events, the
time of the reset or stop, the marks scenario.sh prints on the console) what the unit promises.

  proof.py <kernel> <folder with root.img and initramfs.cpio> [scenario ...]
"""
import itertools
import os
import re
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from proof import boot  # noqa: E402

STARTED = ["service-active", "state-active timeout-5", "oom-score-adj--1000"]
ANSI = re.compile(r"\x1b\[[0-9;]*[A-Za-z]")

# name: (what is checked, the mark that starts the clock, the outcome, the marks that must be on
# the console, more of the kernel command line). The outcome: ("fires", earliest, latest) the
# 6300ESB fires once, so many seconds after the mark, and never before (QEMU only interrupts the
# guest); ("reboots", [(mark, earliest, latest)...], seconds) the machine starts again after each
# reboot or reset, the 6300ESB fires once in each window after its mark (resetting the machine),
# and it runs on for so many seconds after the last mark; ("no reset", seconds)
# nothing fires and the machine runs on for so many seconds.
SCENARIOS = {
    "main": ("boots with the unit enabled; systemctl stop disarms; a start refused after arming (T5 L5) "
             "disarms again, its refusal is the journal's one warning or worse, and the next start names it; a suspend "
             "that freezes every task for 8 s: disarmed before, armed after, no firing; 12 s of every CPU busy, memory "
             "pressure and disk writes, then 16 s of a SCHED_FIFO busy loop on every CPU: no firing; then SIGKILL: not "
             "restarted, the 6300ESB fires within the timeout + 1 s", "killed", ("fires", 2.5, 6.0),
             STARTED + ["stopped state-inactive", "journal-WDT0 has already been disabled!", "record-State: stopped",
                        "refused-service-failed state-inactive",
                        "problems-Time Parameter error: time for loop reset must be smaller then timer time!",
                        "restarted-active", "reason-2",
                        "woke-service-active state-active",
                        "real-time busy loop policy-1 priority-50", "loaded-service-active",
                        "after-kill-service-failed", "done"], ""),
    "reboot": ("five boots of one disk, each start naming how the run before it ended: systemctl reboot shuts down "
               "cleanly (services slow to stop before and after the keep-alive), named a deliberate stop; a SIGKILL, "
               "which the 6300ESB answers with a reset, named a reset by the watchdog (the driver's boot status); a "
               "guarded application (grace 6 s; its check at the default out-of-memory score), healthy through 12 s of "
               "every CPU busy, memory pressure and disk writes, then hung: refreshes stop once a look-up a grace after "
               "the last news finds none, the 6300ESB resets the machine a timeout after the last refresh, and the guard "
               "is named; a drill (T5) from the console: the 6300ESB resets the machine, the drill's marks place "
               "the restart within its band (4 to 7 s after the arm), and the next start and the status say it passed",
               "chain-done", ("reboots", [("killed", 2.5, 6.0), ("hung", 9.0, 17.0), ("drilled", 4.0, 7.5)], 2),
               STARTED + ["boot-1 WDT0: no record of an earlier run.", "running", "rebooting",
                          "boot-2 WDT0: the previous run ended with a deliberate stop at (time).", "killed",
                          "boot-3 WDT0: the previous run (pid, time) ended without a deliberate stop; the driver "
                          "reports a reset by the watchdog.",
                          "guarded-active", "arguments-/usr/sbin/wdtctl --service W0 T5 L2 --heartbeat=/run/app/alive "
                          "--check=test -e /run/app/alive && sleep 1 --grace=6 ",
                          "check-oom-score-adj-0 keep-alive--1000", "status Protected: yes", "status Watchdog: 0", "status State: active",
                          "status Timeout: 5 s", "status Nowayout: no", "status Boot status: card reset",
                          "status Keep-alive: running",
                          "status Keep-alive command line: W0 T5 L2 --heartbeat=/run/app/alive --check=test -e "
                          "/run/app/alive && sleep 1 --grace=6", "status-held-by-service-yes", "loaded-service-active", "hung",
                          "said-WDT0: no news from --heartbeat=/run/app/alive for (8 or 10) seconds: refreshes stop, and the "
                          "watchdog resets the machine in about 5 seconds!",
                          "boot-4 WDT0: the previous run stopped refreshing: no news from --heartbeat=/run/app/alive "
                          "since (time).", "drilled",
                          "boot-5 WDT0: the previous run was a drill at (time), T5: passed: the machine restarted (window) s "
                          "after a T5 arm; the driver reports a reset by the watchdog (report).",
                          "status Boot status: card reset",
                          "status Last drill: (time), T5: passed: the machine restarted (window) s after a T5 arm; the "
                          "driver reports a reset by the watchdog (report)", "chain-done"], ""),
    "late": ("the watchdog's driver loaded 12 s into the boot, a unit that never finishes stalls it, and /var/lib is "
             "read-only without the record's folder: the keep-alive waits for the device, runs (saying once that its "
             "record cannot be written), and keeps the stalled machine up (no reset for 20 s); meanwhile a drill of "
             "softdog, which fires without resetting (soft_noboot), fails after its wait and disarms",
             "stalled", ("no reset", 21),
             STARTED + ["boot-starting", "record-unwritten-1 folder-no", "drill-status-1 state-inactive fired-1",
                        "drill-said-Drill error: WDT1 did not reset the machine within 12 seconds of the arm; see DRILL "
                        "in the manual for the usual causes!",
                        "drill-result=failed", "still-active", "done"],
             " modprobe.blacklist=i6300esb"),
}


def drill_came_back(lines):
    """The drill's marks place the restart within its band: 4 to 7 s after a T5 arm."""
    for _, text in lines:
        found = re.match(r"MARK drill-window-(\d+)-(\d+)$", text)
        if found:
            low, high = int(found.group(1)), int(found.group(2))
            return [] if 4 <= low and high <= 7 else [f"the drill's restart measured {low} to {high} s after its arm"]
    return ["never saw the drill's window"]


def check_reboot_order(console):
    """The shutdown stops an ordinary service slow to stop first, then the keep-alive, then the
    service ordered after it, and ends in a restart."""
    # systemd's status lines are coloured and cut in the middle to fit the console; their ends stay.
    order = [r"Stopped .*A service slow to stop\.$", r"Stopped .*Hardware watchdog keep-alive\.$",
             r"Stopped .*slow to stop after the keep-alive\.$", r"reboot: Restarting system$"]
    plain = [ANSI.sub("", text) for text in console]
    found = [next((i for i, text in enumerate(plain) if re.search(step, text)), None) for step in order]
    if None in found or found != sorted(found):
        return [f"shutdown steps out of order or missing: {dict(zip(order, found))}"]
    return []


def run_scenario(name, kernel, folder):
    what, clock_mark, outcome, marks_expected, command_line = SCENARIOS[name]
    machine = ["-m", "1024M", "-smp", "2", "-kernel", kernel, "-initrd", os.path.join(folder, "initramfs.cpio"),
               "-drive", f"file={os.path.join(folder, 'root.img')},format=raw,if=virtio,snapshot=on",
               "-append", f"console=ttyS0 quiet systemd.show_status=1 panic=-1 cryptomgr.notests "
                          f"wdtctl_proof={name}{command_line}"]
    reboots = outcome[0] == "reboots"
    lines, ended_at, fired = boot(machine, name, folder, clock_mark, outcome[-1] + 1,
                                  boot_seconds=400 if reboots else 300, action="reset" if reboots else "inject-nmi",
                                  reboots=reboots)
    console = [text for _, text in lines]
    with open(os.path.join(folder, f"console-{name}.txt"), "w") as kept:  # for a look after a failure
        kept.writelines(f"{t:.3f} {text}\n" for t, text in lines)
    marks = [(t, text[5:]) for t, text in lines if text.startswith("MARK ")]
    clock = [t for t, mark in marks if mark == clock_mark]
    if not clock:
        return what, None, [f"never saw the step '{clock_mark}'"] + console[-20:], []
    problems = [f"missing mark: {m}" for m in marks_expected if m not in {mark for _, mark in marks}]
    problems += [f"the driver library said: {text}" for text in console if "WDT.dll:" in text]
    since, firings = None, []
    if outcome[0] == "fires":
        since = fired[0] - clock[-1] if fired else None
        if len(fired) != 1 or not outcome[1] <= since <= outcome[2]:
            problems.append(f"expected the 6300ESB to fire once, {outcome[1]} to {outcome[2]} s after '{clock_mark}'; it "
                            f"fired at {[round(t - clock[-1], 2) for t in fired]} s")
        if ended_at is not None:
            problems.append(f"the machine stopped {ended_at - clock[-1]:.2f} s after '{clock_mark}'")
    elif reboots:
        # Each expected firing in its window after its mark, and no other.
        for expected, at in itertools.zip_longest(outcome[1], fired):
            mark_name, earliest, latest = expected or (None, 0, 0)
            starts = [t for t, mark in marks if mark == mark_name]
            after = at - starts[0] if at is not None and starts else None
            if after is None or not earliest <= after <= latest:
                problems.append(f"expected the 6300ESB to fire {earliest} to {latest} s after '{mark_name}'; it "
                                f"fired {after if after is None else round(after, 2)} s after it")
            since = after if since is None else since
            firings.append(f"firing {after if after is None else round(after, 2)} s after {mark_name}")
        if ended_at is not None:
            problems.append("the machine stopped")
        problems += check_reboot_order(console) + drill_came_back(lines)
    elif fired:
        problems.append(f"the 6300ESB fired {fired[0] - clock[-1]:.2f} s after '{clock_mark}'")
    elif ended_at is not None:
        problems.append(f"the machine stopped {ended_at - clock[-1]:.2f} s after '{clock_mark}'")
    measured = [mark for _, mark in marks if "refreshes-" in mark or "drill-window-" in mark] + firings
    return what, since, problems, measured


def main():
    kernel, folder = sys.argv[1], sys.argv[2]
    chosen = sys.argv[3:] or list(SCENARIOS)
    failures = 0
    print(f"{'scenario':<8} {'to firing or stop':>17}  result")
    for name in chosen:
        started = time.monotonic()
        what, since, problems, measured = run_scenario(name, kernel, folder)
        failed = bool(problems)
        figure = f"{since:.2f} s" if since is not None else "none"
        print(f"{name:<8} {figure:>17}  {'FAILED' if failed else 'ok'}  ({what}; {time.monotonic() - started:.0f} s)",
              flush=True)
        for line in problems + [f"(measured: {each})" for each in measured]:
            print(f"    {line}")
        failures += failed
    print(f"{len(chosen) - failures} passed, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
