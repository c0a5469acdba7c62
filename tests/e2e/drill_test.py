"""A drill as a process: it arms and never refreshes; a watchdog that does not reset the machine
makes it fail after its wait and disarm; a stop request cancels it; it is refused beside commands
and beside a running keep-alive; and what came of it is named by the next start and the status."""
import os
import re
import shutil
import signal
import subprocess
import time
import unittest

from harness import PREFIX, WINDOWS, SandboxTest, on_the_wire

ARMED = ("Drill: WDT0 is armed for {0} seconds and is not refreshed: the machine should reset in about {0} seconds "
         "(waiting up to {1} s; Ctrl-C cancels and disarms).\r\n")
DISABLED = "WDT0 has already been disabled!\r\n"


# A console's drill keeps its record where the service does, under %ProgramData% (under Wine, a
# console's is C:\ProgramData), in a folder that the installer makes.
FOLDER = os.path.join(os.environ.get("WINEPREFIX", ""), "drive_c", "ProgramData", "wdtctl")
NOT_KEPT = ("Drill error: the drill cannot be kept in the record of WDT0, so its result could not be told after the "
            "reset; nothing was armed!\r\n")


class Drill(SandboxTest):
    def record(self):
        with open(os.path.join(FOLDER if WINDOWS else self.box.root, "watchdog0.record")) as record:
            return record.read()

    def setUp(self):
        super().setUp()
        if WINDOWS:
            os.makedirs(FOLDER, exist_ok=True)
            if os.path.exists(os.path.join(FOLDER, "watchdog0.record")):
                os.remove(os.path.join(FOLDER, "watchdog0.record"))

    def test_a_watchdog_that_does_not_reset_the_machine_fails_the_drill(self):
        started = time.monotonic()
        stdout, status = self.box.run(["--drill", "W0", "T1"], timeout=60)
        took = time.monotonic() - started
        self.assertEqual(stdout, on_the_wire(ARMED.format(1, 11) + DISABLED +
                                             "Drill error: WDT0 did not reset the machine within 11 seconds of the arm; "
                                             "see DRILL in the manual for the usual causes!\r\n"))
        self.assertEqual(status, 1)
        journal = self.box.journal()
        self.assertEqual([entry[1:] for entry in journal], [("SetWDT0", 1000, 208), ("DisableWDT0",)])
        self.assertAlmostEqual((journal[1][0] - journal[0][0]) / 1000, 11, delta=0.3)
        self.assertLess(took, 14)
        self.assertIn("\nDrill timeout: 1\n", self.record())
        self.assertIn("\nDrill result: failed, no reset within 11 s\n", self.record())
        stdout, _ = self.box.run(["--status", "W0"])
        self.assertRegex(stdout.decode(), r"\nLast drill: \d{4}-\d\d-\d\d \d\d:\d\d:\d\d UTC, T1: failed, no reset within 11 s\r?\n")

    @unittest.skipIf(WINDOWS, "POSIX signals")
    def test_a_stop_request_cancels_and_disarms(self):
        for how in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            with self.subTest(signal=how.name):
                self.fresh(self.driver)
                process = self.box.start(["--drill", "W0", "T5"])
                self.addCleanup(process.kill)
                self.assertEqual(process.stdout.readline().decode(), ARMED.format(5, 15))
                time.sleep(0.5)
                process.send_signal(how)
                self.assertEqual(process.wait(timeout=5), 1)
                self.assertEqual(process.stdout.read().decode(), DISABLED)
                process.stdout.close()
                self.assertEqual(self.box.calls(), [("SetWDT0", 5000, 208), ("DisableWDT0",)])
                self.assertIn("\nDrill result: cancelled\n", self.record())

    @unittest.skipIf(WINDOWS, "a keep-alive beside it, on POSIX")
    def test_it_is_refused_beside_a_running_keep_alive_and_named_by_the_next_start(self):
        keep_alive = self.box.start(["--service", "W0", "T5", "L1"])
        self.addCleanup(keep_alive.kill)
        time.sleep(1.5)
        stdout, status = self.box.run(["--drill", "W0", "T5"])
        self.assertEqual(status, 1)
        self.assertRegex(stdout.decode(), r"^WDT0: a keep-alive \(pid \d+, started [^)]*\) still runs for this watchdog: "
                                          r"this start is refused; stop it first \(systemctl stop wdtctl")
        self.assertEqual(self.box.calls().count(("SetWDT0", 5000, 208)), 1)
        keep_alive.send_signal(signal.SIGTERM)
        self.assertEqual(keep_alive.wait(timeout=5), 0)
        keep_alive.stdout.close()
        # A drill that the machine answered: its record, as if written in an earlier boot, 7 s before
        # this boot began.
        drill = self.box.start(["--drill", "W0", "T5"])
        drill.stdout.readline()
        drill.kill()
        drill.wait()
        drill.stdout.close()
        with open("/proc/uptime") as uptime:
            booted = time.time() - float(uptime.read().split()[0])
        record = re.sub(r"\nBoot: [^\n]*\n", "\nBoot: another\n", self.record())
        record = re.sub(r"\nDrill boot: [^\n]*\n", "\nDrill boot: another\n", record)
        record = re.sub(r"\nDrill armed: \d+\n", f"\nDrill armed: {int(booted) - 7}\n", record)
        with open(os.path.join(self.box.root, "watchdog0.record"), "w") as f:
            f.write(record)
        stdout, _ = self.box.run(["--status", "W0"])
        self.assertRegex(stdout.decode(), r"\nKeep-alive: none since the last drill\n(.*\n)*Last drill: [^\n]*, T5: the machine "
                                          r"restarted about [678] s after the drill armed the watchdog\n")
        service = self.box.start(["--service", "W0", "T5", "L1"])
        self.addCleanup(service.kill)
        first = service.stdout.readline().decode()
        service.send_signal(signal.SIGTERM)
        service.wait(timeout=5)
        service.stdout.close()
        self.assertRegex(first, r"^WDT0: the previous run was a drill at [^,]*, T5: the machine restarted about [678] s after "
                                r"the drill armed the watchdog\.\r\n$")
        self.assertIn("\nDrill result: the machine restarted about", self.record())  # kept by the service's records

    def test_it_is_refused_beside_commands(self):
        stdout, status = self.box.run(["--drill", "W0", "T5", "L2"])
        self.assertEqual((stdout, status), (on_the_wire("Drill Parameter error: --drill takes W0 or W1 and one T, and runs from a "
                                                        "console: no D, R, L, guard, --status or --service!\r\n"), 1))
        self.assertEqual(self.box.calls(), [])

    @unittest.skipUnless(WINDOWS and PREFIX, "Wine's accounts")
    def test_only_the_administrators_make_the_folder_and_an_elevated_drill_loads_only_theirs(self):
        # Without the administrators' rights a drill does not make the record's folder, which would
        # then be that user's: nothing is armed.
        shutil.rmtree(FOLDER)
        self.assertEqual(self.box.run(["--drill", "W0", "T1"]), (on_the_wire(NOT_KEPT), 1))
        self.assertFalse(os.path.exists(FOLDER))
        self.assertEqual(self.box.calls(), [])
        # An elevated drill does not load a WDT.dll that its own account may change (Wine shows every
        # file as that account's): that account's programs run without elevation too.
        stdout, status, stderr = self.box.run(["--drill", "W0", "T1"], elevated=True, stderr=subprocess.PIPE)
        self.assertEqual((stdout, status), (on_the_wire("Not find file: WDT.dll\r\n"), 1))
        self.assertRegex(stderr.decode(), r"^wdtctl: .*\\WDT\.dll is not loaded: .*\\WDT\.dll is owned by S-1-5-21-[-0-9]+, "
                                          r"who may change it, and this run has the administrators' rights\.\r*\n$")
        self.assertEqual(self.box.calls(), [])

    @unittest.skipUnless(WINDOWS and PREFIX, "Wine's console control")
    def test_a_console_request_cancels_under_wine(self):
        # Wine turns a SIGINT to its process into the console's Ctrl-C for a program with a console
        # (the tool's own process, not the launcher's that runs it without elevation).
        process = subprocess.Popen(self.box.command(["--drill", "W0", "T5"]), cwd=self.box.root,
                                   env=self.box.environment(), stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
        self.addCleanup(process.kill)
        self.assertTrue(process.stdout.readline().startswith(b"Drill: WDT0 is armed"))
        time.sleep(0.5)
        os.kill(wine_process_of(self.box.program_name()), signal.SIGINT)
        status = process.wait(timeout=10)
        rest = process.stdout.read()
        process.stdout.close()
        self.assertEqual((rest, status), (on_the_wire(DISABLED), 1))
        self.assertIn("\nDrill result: cancelled\n", self.record())


def wine_process_of(program):
    """The process id of the Wine process that runs a Windows program, by its command line."""
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                arguments = f.read().split(b"\0")
        except OSError:
            continue
        if arguments[0] == program.encode():
            return int(pid)
    raise AssertionError(f"no process runs {program}")


if __name__ == "__main__":
    unittest.main()
