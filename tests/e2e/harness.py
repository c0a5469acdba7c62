"""Runs the built wdtctl as a process, in a folder of its own beside a chosen driver library.

Configured by the environment (the test runner sets it):
  WDTCTL_EXE     the built tool
  WDT_BUILD_DIR  the build folder, holding the simulated driver and the test drivers
  WDT_TARGET     "Windows" for a Windows build, anything else for Linux
  WDT_PREFIX     a command to run the tool through, such as "wine" (optional)
  WDT_DRIVER     a driver library to use instead of the simulated one (optional)
  WDT_KERNEL_DRIVER  the kernel driver library, on Linux (optional)
  WDT_BITS       32 or 64: the build's pointer size

Under Wine every process runs elevated, as the one account that owns every file: the tool is run as
a console runs by default on Windows, without elevation (tests/support/unelevated.cpp), unless a
test asks for an elevated run. Sandboxes lie in the build folder there, not in /tmp, which everyone
may change: a service and an elevated run take nothing from under such a folder. Where the build
folder itself lies under one (a clone in /tmp), they lie in the user's cache instead.
"""
import os
import shlex
import shutil
import subprocess
import tempfile
import unittest

EXE = os.environ["WDTCTL_EXE"]
BUILD_DIR = os.environ["WDT_BUILD_DIR"]
WINDOWS = os.environ.get("WDT_TARGET") == "Windows"
PREFIX = shlex.split(os.environ.get("WDT_PREFIX", ""))
SIMULATED = os.environ.get("WDT_DRIVER") or os.path.join(BUILD_DIR, "WDT.dll")
KERNEL_DRIVER = os.environ.get("WDT_KERNEL_DRIVER")
BITS = int(os.environ.get("WDT_BITS") or 64)
EXE_NAME = os.path.basename(EXE)
UNELEVATED = ["Z:" + os.path.join(BUILD_DIR, "test_helpers", "unelevated.exe").replace("/", "\\")] if WINDOWS and PREFIX else []


def under_a_shared_folder(path):
    """Whether the path, or a folder above it, is one that others than its owner may write."""
    path = os.path.abspath(path)
    while True:
        if os.path.exists(path) and os.stat(path).st_mode & 0o022:
            return True
        parent = os.path.dirname(path)
        if parent == path:
            return False
        path = parent


SANDBOXES = (os.path.join(os.path.expanduser("~"), ".cache", "wdtctl-sandboxes") if under_a_shared_folder(BUILD_DIR)
             else os.path.join(BUILD_DIR, "sandboxes")) if WINDOWS else None


def test_driver(variant):
    """A driver library built for the tests, e.g. 'without_ResetWDT1'."""
    return os.path.join(BUILD_DIR, "test_drivers", variant, "WDT.dll")


def on_the_wire(text):
    """What the tool's output looks like when it leaves the process. On Windows the C runtime writes
    standard output in text mode: every "\n" becomes "\r\n", so "\r\n" leaves as "\r\r\n"."""
    data = text.encode("latin-1")
    return data.replace(b"\n", b"\r\n") if WINDOWS else data


def in_the_log(text):
    """What a Windows service writes into its log: every line ends in "\r\n"."""
    return text.replace("\r\n", "\n").replace("\n", "\r\n").encode("latin-1")


def full_pipe():
    """A pipe whose reader stopped reading: filled to the brim, then made blocking again. Answers
    (read end, write end)."""
    read_end, write_end = os.pipe()
    os.set_blocking(write_end, False)
    try:
        while True:
            os.write(write_end, b"x" * 4096)
    except BlockingIOError:
        pass
    os.set_blocking(write_end, True)
    return read_end, write_end


class Sandbox:
    """A fresh folder holding a copy of the tool and, unless told otherwise, a driver library."""

    def __init__(self, driver=SIMULATED):
        if SANDBOXES:
            os.makedirs(SANDBOXES, mode=0o755, exist_ok=True)
        self.root = tempfile.mkdtemp(prefix="wdtctl-e2e-", dir=SANDBOXES)
        os.chmod(self.root, 0o755)
        self.bin = os.path.join(self.root, "bin")
        os.mkdir(self.bin)
        shutil.copy(EXE, self.bin)
        if driver is not None:
            shutil.copy(driver, os.path.join(self.bin, "WDT.dll"))
        self.journal_path = os.path.join(self.root, "journal.txt")

    def close(self):
        shutil.rmtree(self.root, ignore_errors=True)

    def program(self):
        """The tool's path, as it is started."""
        return os.path.join(self.bin, EXE_NAME)

    def program_name(self):
        """The tool's argument 0 as the tool sees it: under Wine, the Windows form of its path."""
        if WINDOWS and PREFIX:
            return "Z:" + self.program().replace("/", "\\")
        return self.program()

    def command(self, args, elevated=False):
        """As a console runs it by default (under Wine, through the launcher without elevation), or elevated."""
        if UNELEVATED and not elevated:
            return PREFIX + UNELEVATED + [self.program_name()] + list(args)
        return PREFIX + [self.program()] + list(args)

    def environment(self, extra=None):
        env = dict(os.environ)
        env["WDT_SIM_JOURNAL"] = self.journal_path
        # A record and a lock of each watchdog of the sandbox's own (as systemd names their folders):
        # the tests that run side by side never keep one another's watchdogs.
        env["STATE_DIRECTORY"] = "Z:" + self.root.replace("/", "\\") if WINDOWS else self.root
        env["WDTCTL_RUNTIME_DIRECTORY"] = self.root
        env.pop("LD_LIBRARY_PATH", None)
        env.update(extra or {})
        return env

    def run(self, args, cwd=None, timeout=60, env=None, stderr=None, elevated=False):
        """Runs the tool to its end: (stdout bytes, exit status), or with stderr=PIPE
        (stdout bytes, exit status, stderr bytes)."""
        done = subprocess.run(self.command(args, elevated), cwd=cwd or self.root, env=self.environment(env),
                              stdout=subprocess.PIPE, stderr=stderr, stdin=subprocess.DEVNULL, timeout=timeout)
        if stderr is not None:
            return done.stdout, done.returncode, done.stderr
        return done.stdout, done.returncode

    def start(self, args, stdout=subprocess.PIPE, env=None):
        """Starts the tool, by default with its standard output on a pipe."""
        return subprocess.Popen(self.command(args), cwd=self.root, env=self.environment(env),
                                stdout=stdout, stdin=subprocess.DEVNULL)

    def journal(self):
        """The simulated driver's journal: a list of (milliseconds, entry, arguments...)."""
        if not os.path.exists(self.journal_path):
            return []
        entries = []
        with open(self.journal_path) as journal:
            for line in journal:
                fields = line.split()
                entries.append((float(fields[0]), fields[1], *[int(f) for f in fields[2:]]))
        return entries

    def calls(self):
        """The journal without times: (entry, arguments...)."""
        return [entry[1:] for entry in self.journal()]


class SandboxTest(unittest.TestCase):
    driver = SIMULATED

    def setUp(self):
        self.fresh(self.driver)

    def fresh(self, driver):
        """Starts again in a new sandbox with the given driver library (None for none)."""
        self.box = Sandbox(driver)
        self.addCleanup(self.box.close)
