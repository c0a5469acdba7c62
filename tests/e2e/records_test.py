"""A service's record on a machine that is not friendly: only the tool's own files are taken (a
FIFO, a link or a device put there is refused, never opened or waited on), two keep-alives of one
watchdog are kept apart, a value stays on its own line, and a keep-alive counts as running by its
boot and its process, whatever the wall clock says."""
import os
import re
import signal
import subprocess
import time
import unittest

from harness import WINDOWS, SandboxTest

LOOP = ["--service", "W0", "T5", "L1"]


@unittest.skipIf(WINDOWS, "POSIX files and processes")
class Records(SandboxTest):
    def record(self):
        return os.path.join(self.box.root, "watchdog0.record")

    def start(self, args=LOOP, env=None):
        process = subprocess.Popen(self.box.command(args), cwd=self.box.root, env=self.box.environment(env),
                                   stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
        self.addCleanup(process.stdout.close)
        self.addCleanup(process.kill)
        give_up = time.monotonic() + 10
        while self.box.calls().count(("ResetWDT0",)) < 1 and time.monotonic() < give_up:
            time.sleep(0.05)
        return process

    def stop(self, process):
        process.send_signal(signal.SIGTERM)
        self.assertEqual(process.wait(timeout=10), 0)
        return process.stdout.read().decode()

    def test_only_the_tools_own_files_are_taken(self):
        planted = {"a FIFO": lambda path: os.mkfifo(path),
                   "a symbolic link": lambda path: os.symlink(os.path.join(self.box.root, "elsewhere"), path),
                   "a device": lambda path: os.mknod(path, 0o600 | 0o020000, os.makedev(1, 3))}
        for what, plant in planted.items():
            with self.subTest(planted=what):
                self.fresh(self.driver)
                with open(os.path.join(self.box.root, "elsewhere"), "w") as forged:
                    forged.write("wdtctl record 1\nState: stopped\nChanged: forged\nEnd\n")
                plant(self.record())
                os.mkfifo(self.record() + ".new")  # where an earlier version wrote: never opened now
                stdout, status = self.box.run(["--status", "W0"], timeout=5)
                self.assertIn(f"\nKeep-alive: the record is not the tool's own, and is not used\nRecord: "
                              f"{self.record()} is {what}\n".encode(), stdout)
                process = self.start()
                said = self.stop(process)
                self.assertTrue(said.startswith(f"WDT0: the record is not the tool's own, and is not used: "
                                                f"{self.record()} is {what}.\r\n"), said)
                with open(self.record()) as record:  # the new record took its place
                    self.assertIn("\nState: stopped\n", record.read())

    def test_two_keep_alives_of_one_watchdog_are_kept_apart(self):
        first = self.start()
        stdout, status = self.box.run(LOOP, timeout=10)
        self.assertEqual(status, 1)
        self.assertEqual(stdout.decode(), f"WDT0: a keep-alive (service, pid {first.pid}) keeps this watchdog: this start "
                                          f"is refused, and nothing was done; stop it first (systemctl stop wdtctl).\r\n")
        # Nothing of the second reached the driver: one arm, and no disarm of the first one's watchdog.
        calls = self.box.calls()
        self.assertEqual((calls.count(("SetWDT0", 5000, 208)), calls.count(("DisableWDT0",))), (1, 0))
        with open(self.record()) as record:
            self.assertIn(f"\nPid: {first.pid}\n", record.read())
        self.stop(first)

    def test_a_line_break_in_a_value_stays_on_its_line(self):
        process = self.start(LOOP + ["--heartbeat=/run/none\nPrevious: forged", "--grace=2"])
        time.sleep(3.5)
        said = self.stop(process)
        self.assertNotIn("\nPrevious: forged", said)
        self.assertIn("--heartbeat=/run/none\\x0aPrevious: forged does not exist", said)
        stdout, _ = self.box.run(["--status", "W0"])
        self.assertNotIn(b"forged\n", stdout)
        self.assertEqual(len(re.findall(rb"^Previous run: ", stdout, re.M)), 1, stdout)

    @unittest.skipUnless(os.environ.get("WDT_PRELOAD") and os.environ.get("WDT_SANITIZE") != "ON",
                         "a preloaded library (not beside the sanitizers)")
    def test_the_wall_clock_never_decides_whether_a_keep_alive_runs(self):
        process = self.start()
        ahead = {"LD_PRELOAD": os.environ["WDT_PRELOAD"], "WDT_TEST_CLOCK_S": str(400 * 86400)}
        stdout, status = self.box.run(["--status", "W0"], env=ahead)
        self.assertIn(f"\nKeep-alive: running\nKeep-alive pid: {process.pid}\n".encode(), stdout)
        self.stop(process)
        # A record of another boot names a pid that runs now (this test's own): it is not running.
        with open(self.record()) as record:
            text = record.read().replace(f"\nPid: {process.pid}\n", f"\nPid: {os.getpid()}\n")
        text = re.sub(r"\nState: \w+\n", "\nState: running\n", text)
        text = re.sub(r"\nBoot: [^\n]*\n", "\nBoot: 00000000-0000-0000-0000-000000000000\n", text)
        with open(self.record(), "w") as record:
            record.write(text)
        stdout, status = self.box.run(["--status", "W0"])
        self.assertIn(b"\nKeep-alive: ended without a deliberate stop\n", stdout)


if __name__ == "__main__":
    unittest.main()
