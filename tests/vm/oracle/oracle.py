#!/usr/bin/env python3
"""The real kernel as the judge of wdtctl's kernel driver library: boots Debian's kernel under QEMU
and runs every sequence of tool runs up to length 3 (over T1, T3, R, D, a T3 L1 loop ended by
SIGKILL and by SIGTERM, the same with --service, and a wait) on each kind of watchdog, each
followed by a second keeper that is killed; then replays every sequence against the model of the
kernel's rules (model.py) and reports each disagreement. Kinds that reproduce one fault each (no
sysfs, sysfs without the watchdog's files, a legacy driver with nowayout, a driver whose first stop
fails) run a chosen few.

The guests keep running when a watchdog fires: softdog and the test driver only log it, and QEMU
answers the 6300ESB and the ib700 with an NMI, which the guest logs with its own timestamp. Under
-icount shift=0,sleep=off an idle guest's time passes at no real cost, so the waits are free.

  oracle.py --build B --kernel K --runner R --plaindog P [--groups a,b:c] [--real-time] [--only CODES,...]
"""
import argparse
import itertools
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.dirname(HERE)]
from model import ALPHABET, Keeper, Kind, Sequence, Step, judge  # noqa: E402
from proof import cpio, install_modules, install_tool  # noqa: E402

NMI = "NMI received for unknown reason"
SOFTDOG_FIRED = "softdog: Triggered - Reboot ignored"
SOFTDOG = "/modules/softdog.ko soft_noboot=1 soft_margin=2"

# Each kind: the model's view of it, and the plan lines that set it up in the guest.
KINDS = {
    "softdog": (Kind("softdog", fire=SOFTDOG_FIRED),
                [f"load {SOFTDOG}", "device /dev/watchdog0", "sysfs /sys/class/watchdog/watchdog0"]),
    # Through /dev/watchdog, which the kernel gives its watchdog 0.
    "softdog-nowayout": (Kind("softdog-nowayout", fire=SOFTDOG_FIRED, nowayout=True),
                         [f"reload softdog {SOFTDOG} nowayout=1", "nowayout 1", "device /dev/watchdog",
                          "sysfs /sys/class/watchdog/watchdog0", "env WDT_DEVICE0=/dev/watchdog"]),
    "softdog-from-load": (Kind("softdog-from-load", fire=SOFTDOG_FIRED, runs_from_load=True),
                          [f"reload softdog {SOFTDOG} soft_active_on_boot=1", "device /dev/watchdog0",
                           "sysfs /sys/class/watchdog/watchdog0"]),
    # softdog is watchdog 0 here and must never fire: only watchdog 1 is touched.
    # A second of timeout is two stages of 512 << 15 ticks of 30 ns each in QEMU's 6300ESB.
    "i6300esb": (Kind("i6300esb", fire=NMI, number=1, scale=2 * (512 << 15) * 30e-9),
                 [f"load {SOFTDOG}", "load /modules/i6300esb.ko heartbeat=2", "number 1",
                  "device /dev/watchdog1", "sysfs /sys/class/watchdog/watchdog1", "other /dev/watchdog0"]),
    # The legacy driver takes /dev/watchdog; softdog, loaded after it, becomes watchdog 1.
    "ib700": (Kind("ib700", fire=NMI, legacy=True, even_seconds=True),
              ["load /modules/ib700wdt.ko timeout=2", f"load {SOFTDOG}", "legacy 1", "device /dev/watchdog",
               "sysfs -", "env WDT_DEVICE0=/dev/watchdog"]),
    "plaindog": (Kind("plaindog", fire="plaindog: fired", magic_close=False, keepalive_request=False),
                 ["load /modules/plaindog.ko timeout=2", "device /dev/watchdog0",
                  "sysfs /sys/class/watchdog/watchdog0"]),
    # A kernel without the watchdog's sysfs files: its folder shows only dev, uevent and subsystem.
    # The driver takes timeouts up to 5 s, so T9 is refused.
    "hidden": (Kind("hidden", fire="plaindog: fired", stateless=True, max_timeout=5,
                    sequences=["9", "R", "D", "1", "3D", "3R", "39", "1w", "K", "KD", "KR", "s", "sR", "S9",
                               "V", "3DD", "9D", "3Q"]),
               ["load /modules/plaindog.ko timeout=2 magic_close=1 max_timeout=5", "device /dev/watchdog0",
                "hide-sysfs /sys/devices/virtual/watchdog/watchdog0", "sysfs /oracle/real"]),
    # A driver whose first stop fails with EIO (loaded anew for each sequence, and never stopped
    # between them: the reload ends it).
    "flaky": (Kind("flaky", fire="plaindog: fired", stop_fails_once=True,
                   sequences=["D", "DD", "3D", "D3", "s", "sD", "Dw"]),
              ["reload plaindog /modules/plaindog.ko timeout=2 magic_close=1 stop_fails=1", "nowayout 1",
               "device /dev/watchdog0", "sysfs /sys/class/watchdog/watchdog0"]),
    # No sysfs at all while the tool runs (a chroot, a minimal container).
    "nosys": (Kind("nosys", fire=SOFTDOG_FIRED, no_sysfs=True, sequences=["1", "R", "D", "K", "s", "V", "3w", "Q"]),
              [f"load {SOFTDOG}", "device /dev/watchdog", "env WDT_DEVICE0=/dev/watchdog",
               "sysfs /oracle/sys/class/watchdog/watchdog0", "move-sys 1"]),
    # A legacy driver with nowayout: it ignores the magic character, and its close starts it again.
    # Its module then cannot be unloaded: the last kind of its guest. Nothing sets its timeout back
    # between sequences, so those that begin without an arm come first, on the loaded 2 s.
    "ib700-nowayout": (Kind("ib700-nowayout", fire=NMI, legacy=True, nowayout=True, even_seconds=True,
                            sequences=["R", "D", "3D", "s", "3", "K", "V", "3R", "1wD", "3Q"]),
                       ["load /modules/ib700wdt.ko timeout=2 nowayout=1", f"load {SOFTDOG}", "legacy 1",
                        "nowayout 1", "device /dev/watchdog", "sysfs -", "env WDT_DEVICE0=/dev/watchdog"]),
}
OTHER_FIRES = [NMI, SOFTDOG_FIRED, "plaindog: fired"]
# Beyond the alphabet: another keeper holds the device while the service starts, then dies; and,
# where there is a second watchdog, refreshes through a link switched between the two.
SPECIAL = ["H", "3H", "V", "3Q", "KQ", "sQ", "Q3"]
RACE = "3X"
MODULES = ["watchdog", "softdog", "i6300esb", "ib700wdt"]


def every_sequence(length=3):
    for n in range(1, length + 1):
        for codes in itertools.product(ALPHABET, repeat=n):
            yield "".join(codes)


def base_image(args, folder):
    root = os.path.join(folder, "root")
    for sub in ("proc", "sys", "dev", "oracle"):
        os.makedirs(os.path.join(root, sub), exist_ok=True)
    shutil.copy(args.runner, os.path.join(root, "init"))
    install_tool(args.build, root)
    install_modules(args.kernel, root, MODULES)
    shutil.copy(args.plaindog, os.path.join(root, "modules"))
    image = os.path.join(folder, "base.cpio")
    cpio(root, image)
    return image


def boot(args, folder, name, kinds, chosen):
    """Boots one guest that runs the chosen sequences on the given kinds; answers the serial log as
    (guest seconds, text) and the host's seconds spent on each kind."""
    plan_root = os.path.join(folder, f"plan-{name}")
    os.makedirs(os.path.join(plan_root, "oracle"))
    with open(os.path.join(plan_root, "oracle", "plan"), "w") as plan:
        plan.write("load /modules/watchdog.ko\n")  # the kernel's watchdog core, for every kind but the legacy one
        for kind in kinds:
            setup = KINDS[kind][1]
            plan.write(f"kind {kind}\n" + "".join(line + "\n" for line in setup))
            # The race needs a second watchdog.
            racing = any(line.startswith("other ") for line in setup)
            own = KINDS[kind][0].sequences if KINDS[kind][0].sequences and not args.only else chosen
            plan.writelines(f"seq {i} {codes}\n" for i, codes in enumerate(own) if codes != RACE or racing)
    cpio(plan_root, os.path.join(folder, f"plan-{name}.cpio"))
    initrd = os.path.join(folder, f"initrd-{name}.cpio")
    with open(initrd, "wb") as out:  # the kernel unpacks concatenated archives one after the other
        for part in (os.path.join(folder, "base.cpio"), os.path.join(folder, f"plan-{name}.cpio")):
            with open(part, "rb") as piece:
                shutil.copyfileobj(piece, out)
    timing = [] if args.real_time else ["-icount", "shift=0,sleep=off"]
    command = (["qemu-system-x86_64", "-accel", "tcg"] + timing +
               ["-machine", "pc", "-m", "256M", "-smp", "1", "-display", "none", "-monitor", "none",
                "-no-reboot", "-kernel", args.vmlinux, "-initrd", initrd,
                "-append", "console=ttyS0 quiet panic=-1 printk.devkmsg=on log_buf_len=1M cryptomgr.notests "
                           "mitigations=off init_on_alloc=0 norandmaps",
                "-serial", f"file:{os.path.join(folder, f'console-{name}.txt')}", "-serial", "stdio",
                "-device", "i6300esb", "-device", "ib700", "-action", "watchdog=inject-nmi"])
    qemu = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    killer = threading.Timer(args.limit, qemu.kill)
    killer.start()
    lines, spent, kind, since = [], {}, None, time.monotonic()
    for raw in qemu.stdout:
        text = raw.decode("utf-8", "replace").rstrip("\r\n")
        stamp, _, rest = text.partition(" ")
        if not stamp.isdigit():
            continue
        if rest.startswith("ORACLE KIND ") or rest == "ORACLE DONE":
            if kind is not None:
                spent[kind] = time.monotonic() - since
            kind, since = rest[12:], time.monotonic()
        lines.append((int(stamp) / 1e6, rest))
    qemu.wait()
    killer.cancel()
    if not any(text == "ORACLE DONE" for _, text in lines):
        lines.append((0.0, "ORACLE UNFINISHED"))
    return lines, spent


def decode(text):
    """Undoes the runner's %HH escapes."""
    out, i = [], 0
    while i < len(text):
        if text[i] == "%" and i + 3 <= len(text):
            out.append(chr(int(text[i + 1:i + 3], 16)))
            i += 3
        else:
            out.append(text[i])
            i += 1
    return "".join(out)


def parse(lines, kinds):
    """Splits the log into each kind's sequences."""
    found = {kind: [] for kind in kinds}
    kind, sequence, step, keeper, trouble = None, None, None, None, []
    for moment, text in lines:
        if text.startswith("ORACLE "):
            words = text.split(" ")
            what = words[1]
            if what == "KIND":
                kind = words[2]
            elif what == "DONE":
                pass
            elif what == "SEQ":
                sequence = Sequence(words[2], words[3])
                found[kind].append(sequence)
            elif sequence is None:
                if what != "LOADED" or not text.endswith("result=0"):
                    trouble.append(f"{kind}: {text}")
            elif what == "LOADED":
                sequence.loaded = moment
                if not text.endswith("result=0"):
                    sequence.trouble.append(f"the driver could not be loaded: {text}")
            elif what in ("UNLOAD", "UNFINISHED") or (what == "RESET" and "state=" not in text):
                sequence.trouble.append(f"the harness: {text}")
            elif what == "RESET" and not KINDS[kind][0].legacy and "state=inactive" not in text:
                sequence.trouble.append(f"the sequence began with the watchdog not stopped: {text}")
            elif what == "START":
                sequence.start = moment
            elif what == "STEP":
                step = Step(words[3], start=moment)
                sequence.steps.append(step)
            elif what == "SIGNALLED":
                step.signalled = moment
            elif what == "END":
                step.end = moment
                if "exit=" in text:
                    step.exit = int(text.split("exit=")[1].split(" ")[0])
                    step.out = decode(text.split(" out=", 1)[1].split(" err=", 1)[0])
                    step.err = decode(text.split(" err=", 1)[1])
                elif step.code != "w":
                    sequence.trouble.append(f"the harness: {text}")
            elif what == "STATE":
                step.state = words[3].split("=")[1]
                step.status = words[4].split("=")[1]
            elif what in ("HOLDER", "KEEPER"):
                if what == "HOLDER" and sequence.holder is None:
                    sequence.holder = Keeper()
                if what == "KEEPER" and sequence.keeper is None:
                    sequence.keeper = Keeper()
                keeper = sequence.holder if what == "HOLDER" else sequence.keeper
                if words[2].startswith("open="):
                    keeper.opened, keeper.open_result = moment, int(words[2][5:])
                elif words[2].startswith("ping="):
                    keeper.pings.append((moment, int(words[2][5:])))
                elif words[2] == "killed":
                    keeper.killed = moment
            elif what == "SEQEND":
                sequence.end = moment
                sequence = None
        elif sequence is not None:
            if KINDS[kind][0].fire in text:
                sequence.fires.append(moment)
            elif any(other in text for other in OTHER_FIRES):
                sequence.trouble.append(f"another watchdog fired: {text}")
            elif "LOST RECORDS" in text:
                sequence.trouble.append("kernel log records were lost")
    for sequences in found.values():
        for sequence in sequences:
            if sequence.end is None:
                sequence.trouble.append("the sequence did not finish")
    return found, trouble


def report(kinds, found, spent, tolerance, details, limit_shown=12):
    failures = 0
    print(f"{'kind':<18} {'sequences':>9} {'disagree':>8}  {'fires: observed − model (ms) min/median/max':<44} wall")
    for kind in kinds:
        model = KINDS[kind][0]
        offsets, bad = [], []
        for sequence in found[kind]:
            if sequence.start is None:
                bad.append((sequence, ["never started"] + sequence.trouble))
                continue
            problems, offset = judge(model, sequence, tolerance)
            if offset is not None:
                offsets.append(offset * 1000)
            if problems:
                bad.append((sequence, problems))
        figures = (f"{min(offsets):+.2f} / {statistics.median(offsets):+.2f} / {max(offsets):+.2f} "
                   f"({len(offsets)} fired)") if offsets else "none fired"
        print(f"{kind:<18} {len(found[kind]):>9} {len(bad):>8}  {figures:<44} {spent.get(kind, 0):.0f} s")
        for sequence, problems in bad[:limit_shown]:
            print(f"    {sequence.codes}: " + "; ".join(problems[:3]))
        for sequence, problems in bad if details else []:
            details.write(f"{kind} {sequence.codes}: " + "; ".join(problems) + "\n")
        if len(bad) > limit_shown:
            print(f"    ... and {len(bad) - limit_shown} more")
        failures += len(bad)
    return failures


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--kernel", required=True)
    parser.add_argument("--runner", required=True)
    parser.add_argument("--plaindog", required=True)
    parser.add_argument("--groups", default="softdog,softdog-nowayout,softdog-from-load,hidden,nosys:"
                                            "i6300esb,ib700,plaindog,flaky,ib700-nowayout",
                        help="kinds per guest, guests apart by ':'; the guests run side by side")
    parser.add_argument("--only", help="these sequences (comma-separated codes) instead of all")
    parser.add_argument("--real-time", action="store_true", help="without -icount: guest time is real time")
    parser.add_argument("--limit", type=float, default=1500, help="seconds a guest may take")
    parser.add_argument("--details", type=argparse.FileType("w"), help="writes every disagreement here")
    args = parser.parse_args()
    chosen = args.only.split(",") if args.only else list(every_sequence()) + SPECIAL + [RACE]
    groups = [group.split(",") for group in args.groups.split(":")]
    # In real time the guest may be held up between a step's end and its mark, which makes the
    # firing look early; under -icount the guest's clock is exact.
    tolerance = (-0.25, 0.3) if args.real_time else (-0.02, 0.1)
    folder = tempfile.mkdtemp(prefix="wdtctl-oracle-")
    results = {}
    try:
        args.vmlinux = os.path.join(args.kernel, "vmlinux")
        base_image(args, folder)
        started = time.monotonic()
        threads = [threading.Thread(target=lambda i=i, g=g: results.__setitem__(i, boot(args, folder, str(i), g, chosen)))
                   for i, g in enumerate(groups)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        print(f"{len(groups)} guests side by side, {'in real time' if args.real_time else 'under -icount'}: "
              f"{time.monotonic() - started:.0f} s")
        failures = 0
        for i, group in enumerate(groups):
            lines, spent = results[i]
            found, trouble = parse(lines, group)
            for line in trouble:
                print(f"harness: {line}")
            failures += len(trouble) + report(group, found, spent, tolerance, args.details)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    print("no disagreement" if failures == 0 else f"{failures} disagreements")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
