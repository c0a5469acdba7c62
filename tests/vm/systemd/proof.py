#!/usr/bin/env python3
"""Boots Debian with systemd and the wdtctl package (wdtctl.service enabled: W0 T5 L2) under QEMU
with a 6300ESB watchdog, once per scenario, and checks from outside (QMP watchdog events, the
time of the reset or stop, the marks scenario.sh prints on the console) what the unit promises.

  proof.py <kernel> <folder with root.img and initramfs.cpio> [scenario ...]
"""
import os
import re
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from proof import boot  # noqa: E402

STARTED = ["service-active", "state-active timeout-5", "oom-score-adj--1000", "running"]
ANSI = re.compile(r"\x1b\[[0-9;]*[A-Za-z]")

# name: (what is checked, the mark that starts the clock, what must come after it: "no reset" for
# so many seconds, a reset by the 6300ESB within (earliest, latest) seconds, or a clean stop
# within so many seconds; the marks that must be on the console)
SCENARIOS = {
    "boot": ("boots with the unit enabled; no reset for 20 s (4 timeouts)", "running", ("no reset", 21),
             STARTED + ["done"]),
    "stop": ("systemctl stop: disarmed; 8 s later a start with settings refused after arming (T5 L5): "
             "disarmed again; no reset within 19 s", "stopped", ("no reset", 19),
             STARTED + ["state-inactive", "journal-WDT0 has already been disabled!",
                        "refused-service-failed state-inactive", "done"]),
    "kill9": ("systemctl restart, then the main process killed with SIGKILL: not restarted, reset within the "
              "timeout + 1 s", "stopped",
              ("reset", 2.5, 6.0), STARTED + ["after-kill-service-failed"]),
    "reboot": ("systemctl reboot: clean shutdown, no watchdog event, services slow to stop before and after "
               "the keep-alive", "rebooting", ("clean stop", 60), STARTED),
    "load": ("60 s of every CPU busy, memory pressure and disk writes: no reset", "load-start",
             ("no reset", 80), STARTED + ["load-end", "service-active", "done"]),
}


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
    what, clock_mark, outcome, marks_expected = SCENARIOS[name]
    machine = ["-m", "1024M", "-smp", "2", "-kernel", kernel, "-initrd", os.path.join(folder, "initramfs.cpio"),
               "-drive", f"file={os.path.join(folder, 'root.img')},format=raw,if=virtio,snapshot=on",
               "-append", f"console=ttyS0 quiet systemd.show_status=1 panic=-1 cryptomgr.notests wdtctl_proof={name}"]
    watch = outcome[-1] + 1
    lines, ended_at, hardware_fired = boot(machine, name, folder, clock_mark, watch, boot_seconds=240)
    console = [text for _, text in lines]
    with open(os.path.join(folder, f"console-{name}.txt"), "w") as kept:  # for a look after a failure
        kept.writelines(f"{t:.3f} {text}\n" for t, text in lines)
    marks = [(t, text[5:]) for t, text in lines if text.startswith("MARK ")]
    clock = [t for t, mark in marks if mark == clock_mark]
    if not clock:
        return what, None, [f"never saw the step '{clock_mark}'"] + console[-20:], []
    since = None if ended_at is None else ended_at - clock[-1]
    problems = [f"missing mark: {m}" for m in marks_expected if m not in {mark for _, mark in marks}]
    problems += [f"the driver library said: {text}" for text in console if "WDT.dll:" in text]
    if outcome[0] == "reset":
        if not hardware_fired or since is None or not outcome[1] <= since <= outcome[2]:
            problems.append(f"expected a 6300ESB reset {outcome[1]} to {outcome[2]} s after the kill, got "
                            f"{'none' if since is None else f'{since:.2f} s'} (6300ESB fired: {hardware_fired})")
    elif hardware_fired:
        problems.append(f"the 6300ESB fired {since:.2f} s after '{clock_mark}'")
    elif outcome[0] == "clean stop":
        if since is None:
            problems.append(f"no stop within {outcome[1]} s")
        problems += check_reboot_order(console)
    elif since is not None:
        problems.append(f"the machine stopped {since:.2f} s after '{clock_mark}'")
    measured = [mark for _, mark in marks if mark.startswith("refreshes-")]
    return what, since, problems, measured


def main():
    kernel, folder = sys.argv[1], sys.argv[2]
    chosen = sys.argv[3:] or list(SCENARIOS)
    failures = 0
    print(f"{'scenario':<8} {'to reset or stop':>17}  result")
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
