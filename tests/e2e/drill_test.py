"""A drill as a process: it arms and never refreshes, and leaves a mark of life each second; a
watchdog that does not reset the machine makes it fail after its wait and disarm (1); a stop request
cancels it (2); a disarm that fails says the watchdog is still armed (3); it is refused beside
commands and beside a running keep-alive; and a restart is measured from its marks, the same
whichever boot reads it first, whatever its clocks say."""
import os
import re
import shutil
import signal
import subprocess
import time
import unittest

from harness import PREFIX, WINDOWS, SandboxTest, on_the_wire

ARMED = ("Drill: WDT0 is armed for {0} {2} and is not refreshed: the machine should reset in about {0} {2} "
         "(waiting up to {1} s; Ctrl-C cancels and disarms).\r\n")
DISABLED = "WDT0 has already been disabled!\r\n"
UNGUARDED = f"WDT0 is not kept alive now: start its keep-alive again ({'sc' if WINDOWS else 'systemctl'} start wdtctl).\r\n"
PRELOAD = os.environ.get("WDT_PRELOAD") if os.environ.get("WDT_SANITIZE") != "ON" else None
# Where a console's drill keeps its record without STATE_DIRECTORY: under %ProgramData% (under Wine, a
# console's is C:\ProgramData), in a folder that the installer makes.
FOLDER = os.path.join(os.environ.get("WINEPREFIX", ""), "drive_c", "ProgramData", "wdtctl")


class Drill(SandboxTest):
    def record(self):
        with open(os.path.join(self.box.root, "watchdog0.record")) as record:
            return record.read()

    def drill_field(self, key):
        """The value of `key` in the record's last drill line."""
        lines = re.findall(r"^Drill: (.*)$", self.record(), re.M)
        return dict(field.split("=", 1) for field in lines[-1].split("\t"))[key]

    def start_drill(self, args, env=None):
        """Starts a drill, and answers it once it has said that it armed."""
        process = self.box.start(["--drill", "W0"] + args, env=env)
        self.addCleanup(process.kill)
        self.addCleanup(process.stdout.close)
        while not process.stdout.readline().startswith(b"Drill: WDT0 is armed"):
            self.assertIsNone(process.poll())
        return process

    def test_a_watchdog_that_does_not_reset_the_machine_fails_the_drill(self):
        started = time.monotonic()
        stdout, status = self.box.run(["--drill", "W0", "T1"], timeout=60)
        took = time.monotonic() - started
        said = stdout.decode().replace("\r\r\n", "\r\n")
        self.assertRegex(said, r"^Drill of WDT0 on .* \(.*\), by .*, at \d{4}-\d\d-\d\d \d\d:\d\d:\d\d UTC: driver simulated "
                               r"\(drives no hardware\), .*WDT\.dll \(SHA-256 [0-9a-f]{64}\)\.\r\n")
        self.assertTrue(said.endswith(ARMED.format(1, 11, "second") + DISABLED + "Drill error: WDT0 did not reset the machine within 11 "
                                      "seconds of the arm; see DRILL in the manual for the usual causes!\r\n" + UNGUARDED), said)
        self.assertEqual(status, 1)
        journal = self.box.journal()
        self.assertEqual([entry[1:] for entry in journal], [("SetWDT0", 1000, 208), ("DisableWDT0",)])
        self.assertAlmostEqual((journal[1][0] - journal[0][0]) / 1000, 11, delta=0.3)
        self.assertLess(took, 14)
        self.assertEqual((self.drill_field("asked"), self.drill_field("alive"), self.drill_field("result")), ("1", "11", "failed"))
        stdout, _ = self.box.run(["--status", "W0"])
        self.assertRegex(stdout.decode(), r"\nLast drill: \d{4}-\d\d-\d\d \d\d:\d\d:\d\d UTC, T1: failed: no reset within 11 s "
                                          r"of a T1 arm \(by ")

    @unittest.skipIf(WINDOWS, "POSIX signals")
    def test_a_stop_request_cancels_and_disarms_and_a_failed_disarm_is_said(self):
        for how in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            with self.subTest(signal=how.name):
                self.fresh(self.driver)
                process = self.start_drill(["T5"])
                time.sleep(0.5)
                process.send_signal(how)
                self.assertEqual(process.wait(timeout=5), 2)
                self.assertEqual(process.stdout.read().decode(), "Drill: cancelled.\r\n" + DISABLED + UNGUARDED)
                self.assertEqual(self.box.calls(), [("SetWDT0", 5000, 208), ("DisableWDT0",)])
                self.assertEqual(self.drill_field("result"), "cancelled")
        self.fresh(self.driver)
        process = self.start_drill(["T5"], env={"WDT_SIM_FAIL": "DisableWDT0"})
        process.send_signal(signal.SIGINT)
        self.assertEqual(process.wait(timeout=5), 3)
        self.assertEqual(process.stdout.read().decode(), "Drill: cancelled.\r\nWDT0 could not be disabled!\r\n"
                                                         "WDT0 is still armed: the machine resets within 5 s!\r\n" + UNGUARDED)
        self.assertIn("the disarm was not done: WDT0 was left armed", self.drill_field("text"))

    @unittest.skipUnless(PRELOAD and not WINDOWS, "a preloaded library (not beside the sanitizers)")
    def test_a_restart_is_measured_from_the_marks_whichever_boot_reads_it(self):
        # The machine restarts (the drill's process is killed) 0.4 s after a T3 timeout, at twice
        # it, and before it; a boot two hours later, whose clocks are all off, reads it first.
        later = {"LD_PRELOAD": PRELOAD, "WDT_TEST_BOOT_ID": "another-boot", "WDT_TEST_CLOCK_S": "7200",
                 "WDT_TEST_BOOT_S": "7200"}
        # (The last mark may not be on disk yet at the kill: the window is then a second earlier.)
        for after, verdict in ((3.4, r"passed: the machine restarted [23] to [34] s after a T3 arm"),
                               (6.4, r"failed: the machine restarted [56] to [67] s after a T3 arm: the watchdog counts long"),
                               (1.4, r"failed: the machine restarted [01] to [12] s after a T3 arm: before the timeout; not "
                                     r"the watchdog, or a timer that counts short")):
            with self.subTest(after=after):
                self.fresh(self.driver)
                process = self.start_drill(["T3"])
                time.sleep(after)
                process.kill()
                process.wait()
                stdout, status = self.box.run(["--status", "W0"], env=later)
                self.assertRegex(stdout.decode(), r"\nLast drill: [^\n]*, T3: " + verdict + r" \(by ")
                # Settled once, it is kept as it is by every later boot.
                again, _ = self.box.run(["--status", "W0"], env=dict(later, WDT_TEST_BOOT_ID="a-third-boot"))
                self.assertEqual(re.findall(rb"Last drill: .*", again), re.findall(rb"Last drill: .*", stdout))
                self.assertEqual(self.drill_field("result"), verdict.split(":")[0])

    @unittest.skipUnless(PRELOAD and not WINDOWS, "a preloaded library (not beside the sanitizers)")
    def test_a_drill_held_back_by_a_slow_disk_claims_no_reset(self):
        stdout, status = self.box.run(["--drill", "W0", "T3"], env={"LD_PRELOAD": PRELOAD, "WDT_TEST_FSYNC_MS": "6000"},
                                      timeout=60)
        self.assertEqual(status, 1)
        self.assertIn(b"nothing was armed!\r\n", stdout)
        self.assertEqual(self.box.calls(), [])
        time.sleep(2)  # the first write (the drill under way) ends meanwhile
        stdout, _ = self.box.run(["--status", "W0"], env={"LD_PRELOAD": PRELOAD, "WDT_TEST_BOOT_ID": "another-boot"})
        self.assertRegex(stdout.decode(), r"\nLast drill: [^\n]*, T3: (not done|unknown): (the drill could not be recorded "
                                          r"before the arm|the record holds no mark that this T3 drill armed the watchdog)")

    @unittest.skipIf(WINDOWS, "a keep-alive beside it, on POSIX")
    def test_it_is_refused_beside_a_running_keep_alive_and_named_by_the_next_start(self):
        keep_alive = self.box.start(["--service", "W0", "T5", "L1"])
        self.addCleanup(keep_alive.kill)
        time.sleep(1.5)
        stdout, status = self.box.run(["--drill", "W0", "T5"])
        self.assertEqual(status, 1)
        self.assertRegex(stdout.decode(), r"^WDT0: a keep-alive \(service, pid \d+\) keeps this watchdog: this drill is "
                                          r"refused, and nothing was done; stop it first \(systemctl stop wdtctl\)\.\r\n$")
        self.assertEqual(self.box.calls().count(("SetWDT0", 5000, 208)), 1)
        keep_alive.send_signal(signal.SIGTERM)
        self.assertEqual(keep_alive.wait(timeout=5), 0)
        keep_alive.stdout.close()
        # A drill that the machine answered: its record, as if written in an earlier boot.
        drill = self.start_drill(["T2"])
        time.sleep(2.3)
        drill.kill()
        drill.wait()
        record = re.sub(r"\nBoot: [^\n]*\n", "\nBoot: another\n", self.record())
        record = re.sub(r"\tboot=[^\t]*\t", "\tboot=another\t", record)
        with open(os.path.join(self.box.root, "watchdog0.record"), "w") as f:
            f.write(record)
        service = self.box.start(["--service", "W0", "T5", "L1"])
        self.addCleanup(service.kill)
        first = service.stdout.readline().decode()
        service.send_signal(signal.SIGTERM)
        service.wait(timeout=5)
        service.stdout.close()
        self.assertRegex(first, r"^WDT0: the previous run was a drill at [^,]*, T2: passed: the machine restarted [12] to [23] s "
                                r"after a T2 arm \(by .*\)\.\r\n$")
        self.assertEqual(self.drill_field("result"), "passed")  # kept by the service's records

    def test_it_is_refused_beside_commands(self):
        stdout, status = self.box.run(["--drill", "W0", "T5", "L2"])
        self.assertEqual((stdout, status), (on_the_wire("Drill Parameter error: --drill takes one W0 or W1 and at most one T, "
                                                        "from a console, and nothing else!\r\n"), 1))
        self.assertEqual(self.box.calls(), [])

    @unittest.skipUnless(WINDOWS and PREFIX, "Wine's accounts")
    def test_only_the_administrators_make_the_folder_and_an_elevated_drill_loads_only_theirs(self):
        # Without the administrators' rights a drill does not make the record's folder, which would
        # then be that user's: nothing is armed.
        shutil.rmtree(FOLDER, ignore_errors=True)
        where = {"STATE_DIRECTORY": ""}  # the folder it would be without the tests' own
        self.assertEqual(self.box.run(["--drill", "W0", "T1"], env=where),
                         (on_the_wire("Drill error: WDT0 cannot be drilled by this user, whose drill could not be kept in "
                                      "the record: run from an elevated console!\r\n"), 1))
        self.assertFalse(os.path.exists(FOLDER))
        self.assertEqual(self.box.calls(), [])
        # An elevated drill does not load a WDT.dll that its own account may change (Wine shows every
        # file as that account's): that account's programs run without elevation too.
        stdout, status, stderr = self.box.run(["--drill", "W0", "T1"], elevated=True, stderr=subprocess.PIPE, env=where)
        # (The folder made meanwhile is Wine's user's as every file is, so the lock is not taken either.)
        self.assertEqual(status, 1)
        self.assertTrue(stdout.endswith(on_the_wire("Not find file: WDT.dll\r\n")), stdout)
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
        while not process.stdout.readline().startswith(b"Drill: WDT0 is armed"):
            self.assertIsNone(process.poll())
        time.sleep(0.5)
        os.kill(wine_process_of(self.box.program_name()), signal.SIGINT)
        status = process.wait(timeout=10)
        rest = process.stdout.read()
        process.stdout.close()
        self.assertEqual((rest, status), (on_the_wire("Drill: cancelled.\r\n" + DISABLED + UNGUARDED), 2))
        self.assertEqual(self.drill_field("result"), "cancelled")


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
