#!/usr/bin/env python3
"""Boots a Debian kernel under QEMU on an emulated machine with an Intel 6300ESB watchdog (watchdog
0) and softdog (watchdog 1), runs wdtctl with the kernel driver library in it, and checks from the
outside that the machine is really reset when the keep-alive is killed: by the 6300ESB, and by
softdog itself. (What the kernel does with every sequence of tool runs is judged by oracle/, where
a firing watchdog does not end the guest.)

  proof.py <build folder> <kernel folder: vmlinux, lib/modules/*, bin/busybox> [scenario ...]
"""
import glob
import json
import os
import re
import selectors
import shutil
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
# A kernel message can land on the console in the middle of a line the guest writes (seen: between
# "MARK stopped" and its line end); it is split off there, as a line of its own.
KERNEL_MESSAGE = re.compile(r"(?=\[ *\d+\.\d+\] )")

LOOP_OUTPUT = ["System will be reset after 5 seconds.",
               "Entering endless loop: Timer for reboot 5 seconds. Refresh each 2 seconds."]
# What each scenario must print on the console besides its steps.
OUTPUT = {"kill9": LOOP_OUTPUT, "softdog-kill": LOOP_OUTPUT}

# name: (what the check expects, the mark that starts the clock, then either (earliest, latest)
# seconds from it to the reset, or the seconds for which no reset may come, then what resets)
SCENARIOS = {
    "kill9": ("--service W0 T5 L2 for 6 s, then SIGKILL: the 6300ESB resets the machine", "stopped", (4.5, 7.5),
              "hardware"),
    "softdog-kill": ("W1 T5 L2 on softdog for 6 s, then SIGKILL: softdog reboots the machine", "stopped",
                     (4.5, 7.5), "guest"),
}


def shared_libraries(binary):
    """The absolute paths of the shared libraries a binary needs, the loader included."""
    listing = subprocess.run(["ldd", binary], capture_output=True, text=True, check=True).stdout
    return [word for line in listing.splitlines() for word in line.split() if word.startswith("/")]


def install_tool(build, root):
    """Copies the tool, the kernel driver library and the shared libraries they need under root."""
    tool = os.path.join(build, "wdtctl")
    driver = os.path.join(build, "driver_libraries", "linux_kernel", "WDT.dll")
    os.makedirs(os.path.join(root, "opt/wdtctl"), exist_ok=True)
    shutil.copy(tool, os.path.join(root, "opt/wdtctl/wdtctl"))
    shutil.copy(driver, os.path.join(root, "opt/wdtctl/WDT.dll"))
    for library in set(shared_libraries(tool) + shared_libraries(driver)):
        target = os.path.join(root, library.lstrip("/"))
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copy(library, target)


def install_modules(kernel_dir, root, modules):
    """Copies the kernel's watchdog modules of these names into root/modules."""
    os.makedirs(os.path.join(root, "modules"), exist_ok=True)
    for module in modules:
        found = glob.glob(os.path.join(kernel_dir, "lib/modules/*/kernel/drivers/watchdog", module + ".ko"))
        shutil.copy(found[0], os.path.join(root, "modules"))


def cpio(root, image):
    """Packs the folder root into an initramfs archive."""
    files = subprocess.run(["find", "."], cwd=root, capture_output=True, check=True).stdout
    with open(image, "wb") as out:
        subprocess.run(["cpio", "-o", "-H", "newc", "--quiet"], cwd=root, input=files, stdout=out, check=True)


def make_initramfs(build, kernel_dir, folder):
    root = os.path.join(folder, "root")
    for sub in ("bin", "proc", "sys", "dev"):
        os.makedirs(os.path.join(root, sub), exist_ok=True)
    shutil.copy(os.path.join(kernel_dir, "bin", "busybox"), os.path.join(root, "bin", "busybox"))
    shutil.copy(os.path.join(HERE, "guest_init.sh"), os.path.join(root, "init"))
    os.chmod(os.path.join(root, "init"), 0o755)
    install_tool(build, root)
    install_modules(kernel_dir, root, ("watchdog", "i6300esb", "softdog"))
    image = os.path.join(folder, "initramfs.cpio")
    cpio(root, image)
    return image


def boot(machine, scenario, folder, clock_mark, watch_after, boot_seconds=90, action="reset", reboots=False):
    """Runs one scenario on a machine with a 6300ESB (machine: QEMU's options for memory, kernel,
    disks) until the machine is reset or stops, or watch_after seconds have passed since the serial
    line "MARK <clock_mark>". The 6300ESB's firing resets the machine, or with action "inject-nmi"
    only interrupts it. With reboots, a reset (or a reboot) starts the machine again, its disks as
    they were, and the run goes on. Answers the timestamped serial lines, the time of the reset or
    stop (or None) and the times at which the 6300ESB fired."""
    qmp_path = os.path.join(folder, f"qmp-{scenario}.sock")
    qemu = subprocess.Popen(
        ["qemu-system-x86_64", "-accel", "tcg", "-machine", "pc", "-display", "none", "-monitor", "none",
         "-serial", "stdio"] + ([] if reboots else ["-no-reboot"]) + ["-action", f"watchdog={action}", "-device", "i6300esb",
         "-chardev", f"socket,id=qmp,path={qmp_path},server=on,wait=off", "-mon", "chardev=qmp,mode=control"]
        + machine, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    qmp = socket.socket(socket.AF_UNIX)
    for _ in range(100):
        try:
            qmp.connect(qmp_path)
            break
        except OSError:
            time.sleep(0.05)
    qmp.sendall(b'{"execute": "qmp_capabilities"}\n')
    lines, fired, reset_at = [], [], None
    buffers = {qemu.stdout: b"", qmp: b""}
    selector = selectors.DefaultSelector()
    selector.register(qemu.stdout, selectors.EVENT_READ)
    selector.register(qmp, selectors.EVENT_READ)
    deadline = time.monotonic() + boot_seconds  # boot and scenario up to the mark
    while time.monotonic() < deadline and reset_at is None:
        for key, _ in selector.select(timeout=0.2):
            source = key.fileobj
            chunk = os.read(source.fileno(), 4096) if source is qemu.stdout else source.recv(4096)
            now = time.monotonic()
            if not chunk:
                selector.unregister(source)
                if source is qemu.stdout:
                    reset_at = now if reset_at is None else reset_at
                continue
            buffers[source] += chunk
            while b"\n" in buffers[source]:
                line, buffers[source] = buffers[source].split(b"\n", 1)
                text = line.decode("utf-8", "replace").rstrip("\r")
                if source is qemu.stdout:
                    for part in filter(None, KERNEL_MESSAGE.split(text)):
                        lines.append((now, part))
                        if part == "MARK " + clock_mark:
                            deadline = now + watch_after
                elif '"WATCHDOG"' in text:
                    fired.append(now)
                    if json.loads(text)["data"]["action"] == "reset" and not reboots:
                        reset_at = now
        if qemu.poll() is not None and reset_at is None:
            reset_at = time.monotonic()
    qemu.kill()
    qemu.wait()
    qmp.close()
    return lines, reset_at, fired


def run_scenario(name, kernel, initramfs, folder):
    what, clock_mark, expected, resetter = SCENARIOS[name]
    watch_after = expected[1] + 2 if isinstance(expected, tuple) else expected
    machine = ["-m", "256M", "-smp", "1", "-kernel", kernel, "-initrd", initramfs,
               "-append", f"console=ttyS0 quiet panic=-1 cryptomgr.notests scenario={name}"]
    lines, reset_at, fired = boot(machine, name, folder, clock_mark, watch_after)
    marks = [(t, text[5:]) for t, text in lines if text.startswith("MARK ")]
    problems = []
    clock = [t for t, mark in marks if mark == clock_mark]
    if not clock:
        return what, None, [f"never saw the step '{clock_mark}'"] + [text for _, text in lines[-15:]]
    started = clock[-1]
    done = [t for t, mark in marks if mark == "done"]
    console = [text for _, text in lines]
    for expected_line in set(OUTPUT[name]):
        if console.count(expected_line) < OUTPUT[name].count(expected_line):
            problems.append(f"the tool did not print: {expected_line}")
    problems += [f"the driver library said: {text}" for text in console if text.startswith("WDT.dll:")]
    if isinstance(expected, tuple):
        if reset_at is None:
            problems.append("no reset")
        elif reset_at < started:
            problems.append(f"reset {started - reset_at:.2f} s before the last refresh")
        else:
            delay = reset_at - started
            if not expected[0] <= delay <= expected[1]:
                problems.append(f"reset {delay:.2f} s after the last refresh, expected {expected[0]} to {expected[1]}")
            if resetter == "hardware" and not fired:
                problems.append("the 6300ESB did not report firing")
            if resetter == "guest" and not any(t.endswith("softdog: Initiating system reboot") for t in console):
                problems.append("the reset did not come from softdog")
            return what, delay, problems
        return what, None, problems
    if reset_at is not None:
        problems.append(f"reset {reset_at - started:.2f} s after the last step")
    elif not done:
        problems.append("the scenario did not finish")
    return what, None, problems


def main():
    build, kernel_dir = sys.argv[1], sys.argv[2]
    chosen = sys.argv[3:] or list(SCENARIOS)
    kernel = os.path.join(kernel_dir, "vmlinux")
    folder = tempfile.mkdtemp(prefix="wdtctl-vm-")
    failures = 0
    try:
        initramfs = make_initramfs(build, kernel_dir, folder)
        print(f"{'scenario':<20} {'last refresh to reset':>22}  result")
        for name in chosen:
            started = time.monotonic()
            what, delay, problems = run_scenario(name, kernel, initramfs, folder)
            figure = f"{delay:.2f} s" if delay is not None else "no reset"
            print(f"{name:<20} {figure:>22}  {'ok' if not problems else 'FAILED'}  ({what}; "
                  f"{time.monotonic() - started:.0f} s)", flush=True)
            for problem in problems:
                print(f"    {problem}")
            failures += bool(problems)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    print(f"{len(chosen) - failures} passed, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
