"""Service mode as a process: a deliberate stop ends the loop and disarms; any other end does not."""
import glob
import os
import re
import shutil
import signal
import subprocess
import time
import unittest

from harness import BITS, BUILD_DIR, EXE_NAME, PREFIX, SIMULATED, WINDOWS, SandboxTest, full_pipe, in_the_log, on_the_wire
from oneshot_test import usage

LOOP = ["W0", "T5", "L1"]


def wait_for(condition, seconds):
    give_up = time.monotonic() + seconds
    while not condition() and time.monotonic() < give_up:
        time.sleep(0.05)
    return condition()
ANNOUNCED = ("System will be reset after 5 seconds.\n"
             "Entering endless loop: Timer for reboot 5 seconds. Refresh each 1 seconds.\r\n")
NO_LOOP = b"Service Parameter error: a service needs a loop (L)!\r\n"
NO_RECORD = b"WDT0: no record of an earlier run.\r\n"  # what a service says first, in a new sandbox


SIMULATED_SAID = "WDT0: the driver library is the simulated one: it drives no hardware, and this machine is not guarded!\r\n"


def loaded_from(box):
    """The line of the driver library a service loaded."""
    folder = box.program_name()[:-len(EXE_NAME)] if WINDOWS else box.bin + "/"
    return f"WDT0: the driver library is {folder}WDT.dll.\r\n"


def library(box):
    """What a service says second: the driver library it loaded, which is the simulated one."""
    return (loaded_from(box) + SIMULATED_SAID).encode()
ORDER = "Time Parameter error: time for loop reset must be smaller then timer time!\r\n"
# Where test.sh keeps the output of Wine's services (and so of the wdtctl services they start).
WINE_OUTPUT = os.path.join(os.path.dirname(BUILD_DIR), "wineboot.log")


@unittest.skipIf(WINDOWS, "a Windows service is stopped through its service manager")
class ServiceMode(SandboxTest):
    def stop_after_refreshes(self, args, how, meanwhile=None):
        """Starts the tool, lets it refresh twice, calls meanwhile(process) if given, sends the signal:
        (stdout, status, seconds to end)."""
        process = self.box.start(args)
        self.addCleanup(process.stdout.close)
        self.addCleanup(process.kill)
        give_up = time.monotonic() + 10
        while self.box.calls().count(("ResetWDT0",)) < 2 and time.monotonic() < give_up:
            time.sleep(0.05)
        if meanwhile:
            meanwhile(process)
        process.send_signal(how)
        sent = time.monotonic()
        status = process.wait(timeout=5)
        return process.stdout.read(), status, time.monotonic() - sent

    def test_stop_requests_disarm(self):
        # One sandbox for both: the second start says from the first one's record how it ended.
        first = re.escape(NO_RECORD)
        loaded = re.escape(library(self.box))

        def status_while_running(process):
            # The status names the running keep-alive, and calls nothing of the driver.
            calls = self.box.calls()
            stdout, status = self.box.run(["--status", "W0"])
            self.assertEqual(status, 3)  # no: the simulated driver drives no hardware
            self.assertIn(f"Keep-alive: running\nKeep-alive pid: {process.pid}\n".encode(), stdout)
            self.assertEqual(self.box.calls()[:len(calls)], calls)
            self.assertNotIn(("DisableWDT0",), self.box.calls())
        for how in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(signal=how.name):
                stdout, status, took = self.stop_after_refreshes(["--service"] + LOOP, how, status_while_running)
                self.assertRegex(stdout, b"^" + first + loaded + re.escape(on_the_wire(ANNOUNCED + "WDT0 has already been disabled!\r\n")) + b"$")
                self.assertEqual(status, 0)
                self.assertLess(took, 0.5)
                calls = self.box.calls()
                self.assertEqual((calls[0], calls[-1]), (("SetWDT0", 5000, 208), ("DisableWDT0",)))
                self.assertEqual(calls[1:-1], [("ResetWDT0",)] * (len(calls) - 2))
                os.remove(self.box.journal_path)
                first = rb"WDT0: the previous run ended with a deliberate stop at \d{4}-\d\d-\d\d \d\d:\d\d:\d\d UTC\.\r\n"
                self.assertIn(b"\nKeep-alive: stopped\n", self.box.run(["--status", "W0"])[0])

    def test_any_other_end_leaves_the_watchdog_armed(self):
        for args, how in ((LOOP, signal.SIGTERM), (["--service"] + LOOP, signal.SIGKILL)):
            with self.subTest(args=args, signal=how.name):
                self.fresh(self.driver)
                stdout, status, _ = self.stop_after_refreshes(args, how)
                said = NO_RECORD + library(self.box) if "--service" in args else b""
                self.assertEqual((stdout, status), (said + on_the_wire(ANNOUNCED), -how))
                self.assertNotIn(("DisableWDT0",), self.box.calls())
        # The killed service's record says so at the next start; a record cut short is not used.
        os.remove(self.box.journal_path)
        stdout, _, _ = self.stop_after_refreshes(["--service"] + LOOP, signal.SIGTERM)
        self.assertRegex(stdout, rb"^WDT0: the previous run \(pid \d+, started \d{4}-\d\d-\d\d \d\d:\d\d:\d\d UTC\) "
                                 rb"ended without a deliberate stop, in this boot: the machine did not restart\.\r\n")
        record = os.path.join(self.box.root, "watchdog0.record")
        with open(record, "r+b") as f:
            f.truncate(os.path.getsize(record) - 2)
        os.remove(self.box.journal_path)
        stdout, _, _ = self.stop_after_refreshes(["--service"] + LOOP, signal.SIGTERM)
        self.assertTrue(stdout.startswith(b"WDT0: the record of the previous run is damaged, and is not used.\r\n"), stdout)

    def test_routine_signals_are_said_and_ignored(self):
        process = self.box.start(["--service"] + LOOP)
        self.addCleanup(process.stdout.close)
        self.addCleanup(process.kill)
        for how in (signal.SIGHUP, signal.SIGUSR1):
            refreshes = self.box.calls().count(("ResetWDT0",))
            self.assertTrue(wait_for(lambda: self.box.calls().count(("ResetWDT0",)) >= refreshes + 2, 10))
            process.send_signal(how)
        refreshes = self.box.calls().count(("ResetWDT0",))
        self.assertTrue(wait_for(lambda: self.box.calls().count(("ResetWDT0",)) >= refreshes + 2, 10),
                        "the loop must go on after routine signals")
        process.send_signal(signal.SIGTERM)
        self.assertEqual(process.wait(timeout=5), 0)
        ignored = "Ignored {}: only SIGTERM or SIGINT stops the service.\r\n"
        self.assertEqual(process.stdout.read(), NO_RECORD + library(self.box) + on_the_wire(
            ANNOUNCED + ignored.format("SIGHUP") + ignored.format("SIGUSR1") + "WDT0 has already been disabled!\r\n"))
        self.assertEqual(self.box.calls()[-1], ("DisableWDT0",))

    def test_output_that_nobody_reads_never_holds_up_the_loop(self):
        read_end, write_end = full_pipe()
        self.addCleanup(os.close, read_end)
        process = self.box.start(["--service"] + LOOP, stdout=write_end)
        os.close(write_end)
        self.addCleanup(process.kill)
        self.assertTrue(wait_for(lambda: self.box.calls().count(("ResetWDT0",)) >= 2, 10), self.box.calls())
        process.send_signal(signal.SIGTERM)
        sent = time.monotonic()
        self.assertEqual(process.wait(timeout=5), 0)
        self.assertLess(time.monotonic() - sent, 0.5)
        self.assertEqual(self.box.calls()[-1], ("DisableWDT0",))

    @unittest.skipUnless(os.environ.get("WDT_PRELOAD") and os.environ.get("WDT_SANITIZE") != "ON",
                         "a preloaded library (not beside the sanitizers)")
    def test_a_slow_disk_never_holds_up_a_refresh(self):
        # Each fsync of the record's writes takes 1.2 s: the loop's slots come as ever, the first one
        # a period after the announcement, and the stop's record is still written.
        env = self.box.environment({"LD_PRELOAD": os.environ["WDT_PRELOAD"], "WDT_TEST_FSYNC_MS": "1200"})
        process = subprocess.Popen(self.box.command(["--service"] + LOOP), cwd=self.box.root, env=env,
                                   stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
        self.addCleanup(process.stdout.close)
        self.addCleanup(process.kill)
        for _ in range(5):
            line = process.stdout.readline()
        announced = time.time() * 1000
        self.assertTrue(line.startswith(b"Entering endless loop"), line)
        time.sleep(4.3)
        process.send_signal(signal.SIGTERM)
        self.assertEqual(process.wait(timeout=10), 0)
        refreshes = [at for at, entry, *_ in self.box.journal() if entry == "ResetWDT0"]
        self.assertEqual(len(refreshes), 4, refreshes)
        for k, at in enumerate(refreshes, start=1):
            self.assertAlmostEqual(at - announced, 1000 * k, delta=150)
        with open(os.path.join(self.box.root, "watchdog0.record")) as record:
            self.assertIn("\nState: stopped\n", record.read())

    def test_marker_is_removed_before_the_command_line_is_read(self):
        stdout, status = self.box.run(["--service", "W0"])
        self.assertEqual((stdout, status), (on_the_wire(usage(self.box.program_name())), 1))
        stdout, status = self.box.run(["W0", "--service", "R"])
        self.assertEqual((stdout, status), (NO_LOOP, 1))
        self.assertEqual(self.box.calls(), [])


@unittest.skipUnless(WINDOWS and PREFIX and os.environ.get("WINEPREFIX"), "needs Wine's service control manager")
class WindowsService(SandboxTest):
    """Run by Wine's own service control manager, which needs a persistent wineserver. A service does
    not inherit the environment of the "sc" that starts it, so the simulated driver keeps its journal
    in the service's temporary folder."""

    def setUp(self):
        super().setUp()
        self.journals = os.path.join(os.environ["WINEPREFIX"], "drive_c", "users", "*", "Temp", "wdt_sim_journal.txt")
        for journal in glob.glob(self.journals):
            os.remove(journal)
        # %ProgramData%\wdtctl: Wine's services see C:\users\Public as %ProgramData%.
        self.records = os.path.join(os.environ["WINEPREFIX"], "drive_c", "users", "Public", "wdtctl")
        for record in glob.glob(os.path.join(self.records, "watchdog*.record")):
            os.remove(record)

    def sc(self, *args):
        # Wine's 64-bit "sc" serves a 32-bit service too, and starts fast where 32-bit code is emulated.
        launcher = ["/usr/lib/wine/wine64"] if os.path.exists("/usr/lib/wine/wine64") else PREFIX
        return subprocess.run(launcher + ["sc"] + list(args), capture_output=True, text=True,
                              stdin=subprocess.DEVNULL, timeout=120).stdout

    def query(self, name):
        """(state, service-specific exit code) as "sc query" shows them."""
        text = self.sc("query", name)
        state = re.search(r"STATE\s*:\s*\d+\s+(\w+)", text)
        code = re.search(r"SERVICE_EXIT_CODE\s*:\s*(\d+)", text)
        return (state.group(1) if state else None), (int(code.group(1)) if code else None)

    def service(self, command_line):
        self.made = getattr(self, "made", 0) + 1
        name = f"wdtctl-test-{os.getpid()}-{self.made}"
        self.sc("create", name, "binPath=", f'"{self.box.program_name()}" --service {command_line}')
        self.addCleanup(self.sc, "delete", name)
        self.addCleanup(self.sc, "stop", name)
        self.sc("start", name)
        return name

    def journal(self):
        found = glob.glob(self.journals)
        if not found:
            return []
        with open(found[0]) as f:
            return [(float(line.split()[0]), *line.split()[1:]) for line in f]

    def log(self):
        path = os.path.join(self.box.bin, "wdtctl-service.log")
        if not os.path.exists(path):
            return b""
        with open(path, "rb") as f:
            return f.read()

    def test_runs_on_schedule_and_a_stop_disarms(self):
        # With a check that hangs, and leaves a process of its own that beats into a file: the stop
        # ends both.
        beats = os.path.join(self.box.root, "beats")
        # The check's program lies beside the tool, where only the administrators may change it.
        shutil.copy(os.environ["WDT_GUARD_CHILD"], self.box.bin)
        child = "Z:" + os.path.join(self.box.bin, os.path.basename(os.environ["WDT_GUARD_CHILD"])).replace("/", "\\")
        name = self.service(f'W0 T5 L1 "--check={child} hang Z:{beats.replace("/", chr(92))}"')
        self.assertTrue(wait_for(lambda: len(self.journal()) >= 4, 180), self.journal())
        self.assertEqual(self.query(name), ("RUNNING", 0))
        # Stop, shutdown and power events, and the preshutdown that comes first at a shutdown.
        controls = subprocess.run(PREFIX + [os.path.join(BUILD_DIR, "test_helpers", "service_controls.exe"), name],
                                  capture_output=True, text=True, timeout=60).stdout
        self.assertEqual(int(controls, 16), 0x1 | 0x4 | 0x40 | 0x100, controls)
        self.assertTrue(wait_for(lambda: os.path.exists(beats), 10))
        self.sc("stop", name)
        self.assertTrue(wait_for(lambda: self.query(name)[0] == "STOPPED", 30))
        self.assertEqual(self.query(name), ("STOPPED", 0))
        time.sleep(0.3)
        beaten = os.path.getsize(beats)
        time.sleep(1)
        self.assertEqual(os.path.getsize(beats), beaten, "the check's process outlived the service")
        journal = self.journal()
        calls = [tuple(entry[1:]) for entry in journal]
        self.assertEqual((calls[0], calls[-1]), (("SetWDT0", "5000", "208"), ("DisableWDT0",)))
        self.assertEqual(calls[1:-1], [("ResetWDT0",)] * (len(calls) - 2))
        refreshes = [entry[0] for entry in journal[1:-1]]
        for earlier, later in zip(refreshes, refreshes[1:]):
            self.assertAlmostEqual(later - earlier, 1000, delta=250)
        self.assertEqual(self.log(), in_the_log(NO_RECORD.decode() + library(self.box).decode() + ANNOUNCED +
                                                "WDT0 has already been disabled!\r\n"))
        with open(os.path.join(self.records, "watchdog0.record")) as record:
            self.assertIn("\nState: stopped\n", record.read())

    def test_it_waits_for_its_driver_and_loads_only_what_the_administrators_may_change(self):
        waiting = ("WDT.dll cannot be loaded yet: trying again every second for up to 120 seconds, as its driver may "
                   "still be starting.\r\n")
        # No WDT.dll yet: the service waits, says so once (and where it looked), and takes it once it is there.
        self.fresh(None)
        missing = ("wdtctl: WDT.dll was looked for in Z:" + self.box.bin.replace("/", "\\") +
                   f"; C:\\windows\\{'system32' if BITS == 64 else 'syswow64'}; C:\\windows, and is in none of them.\r\n" +
                   waiting)
        name = self.service("W0 T5 L1")
        self.assertTrue(wait_for(lambda: self.log() == in_the_log(missing), 60), self.log())
        time.sleep(2)
        self.assertEqual((self.log(), self.journal()), (in_the_log(missing), []))
        shutil.copy(SIMULATED, self.box.bin)
        self.assertTrue(wait_for(lambda: len(self.journal()) >= 2, 10), self.journal())
        self.sc("stop", name)
        self.assertTrue(wait_for(lambda: self.query(name)[0] == "STOPPED", 30))
        self.assertEqual(self.log(), in_the_log(missing + NO_RECORD.decode() + library(self.box).decode() + ANNOUNCED +
                                                "WDT0 has already been disabled!\r\n"))
        # A WDT.dll, in a folder that only the administrators may change, whose file others may write,
        # or another account owns (Wine shows one of another user as the anonymous one's): not loaded.
        for change, why in ((lambda path: os.chmod(path, 0o666), "lets S-1-1-0 write it"),
                            (lambda path: os.chown(path, 65534, -1), "is owned by S-1-5-7, who may change it")):
            with self.subTest(why=why):
                self.setUp()
                change(os.path.join(self.box.bin, "WDT.dll"))
                name = self.service("W0 T5 L1")
                path = loaded_from(self.box)[len("WDT0: the driver library is "):-3]
                refused = f"wdtctl: {path} is not loaded: {path} {why}, and the service runs it as SYSTEM.\r\n"
                self.assertTrue(wait_for(lambda: self.log() == in_the_log(refused + waiting), 60), self.log())
                self.sc("stop", name)
                self.assertTrue(wait_for(lambda: self.query(name)[0] == "STOPPED", 30))
                self.assertEqual(self.query(name), ("STOPPED", 0))  # stopped while it waited: nothing was armed
                self.assertEqual(self.journal(), [])

    def test_the_next_start_says_how_the_last_run_ended(self):
        name = self.service("W0 T5 L1")
        starts = re.compile(rb"WDT0: (?!the driver library)[^\r\n]*\.\r\n")
        self.assertTrue(wait_for(lambda: len(self.journal()) >= 3, 180), self.journal())
        since = os.path.getsize(WINE_OUTPUT)
        self.sc("stop", name)  # a deliberate stop
        self.assertTrue(wait_for(lambda: self.query(name)[0] == "STOPPED", 30))
        self.sc("start", name)
        self.assertTrue(wait_for(lambda: len(starts.findall(self.log())) == 2, 60), self.log())
        self.assertTrue(wait_for(lambda: self.query(name)[0] == "RUNNING", 30))
        # A kill of the service's process, which its record names. Wine's service manager does not see
        # the process end, so the next start is that of another service of the same watchdog, which
        # reads the same record.
        with open(os.path.join(self.records, "watchdog0.record")) as record:
            pid = re.search(r"\nPid: (\d+)\n", record.read()).group(1)
        killed = subprocess.run(PREFIX + ["taskkill", "/f", "/pid", pid], capture_output=True, timeout=60)
        self.assertEqual(killed.returncode, 0, killed.stdout)
        self.service("W0 T5 L1")
        self.assertTrue(wait_for(lambda: len(starts.findall(self.log())) == 3, 60), self.log())
        said = [line.decode() for line in starts.findall(self.log())]
        self.assertEqual(said[0], "WDT0: no record of an earlier run.\r\n")
        self.assertRegex(said[1], r"^WDT0: the previous run ended with a deliberate stop at \d{4}-.* UTC\.\r\n$")
        self.assertRegex(said[2], r"^WDT0: the previous run \(pid \d+, started .* UTC\) ended without a deliberate "
                                  r"stop, in this boot: the machine did not restart\.\r\n$")
        self.assertTrue(wait_for(lambda: any(kind == "warn" for kind, _ in self.events(since)), 10), self.events(since))

    def test_a_folder_that_others_may_change_is_refused(self):
        # A folder that everyone may write (Wine shows a folder writable by all as an access list that
        # lets Everyone write): the service does not run from it, and says so in the event log.
        since = os.path.getsize(WINE_OUTPUT)
        os.chmod(self.box.bin, 0o777)
        name = self.service("W0 T5 L1")
        self.assertTrue(wait_for(lambda: self.query(name)[0] == "STOPPED", 60))
        self.assertEqual(self.query(name), ("STOPPED", 1))
        self.assertEqual(self.journal(), [])
        self.assertFalse(os.path.exists(os.path.join(self.box.bin, "wdtctl-service.log")))
        said = [text for kind, text in self.events(since) if kind == "err"]
        self.assertTrue(any("does not run what others than the administrators may change" in text and
                            "lets S-1-1-0 write it" in text for text in said), said)
        # Nor a check whose program is in such a folder: the service refuses to start, before it arms.
        self.setUp()
        open_folder = os.path.join(self.box.root, "open")
        os.mkdir(open_folder)
        os.chmod(open_folder, 0o777)
        shutil.copy(os.environ["WDT_GUARD_CHILD"], open_folder)
        check = "Z:" + os.path.join(open_folder, os.path.basename(os.environ["WDT_GUARD_CHILD"])).replace("/", "\\")
        name = self.service(f'W0 T5 L1 "--check={check} beat x"')
        self.assertTrue(wait_for(lambda: self.query(name)[0] == "STOPPED", 60))
        self.assertEqual((self.query(name), self.journal()), (("STOPPED", 1), []))
        folder = "Z:" + open_folder.replace("/", "\\")
        self.assertIn(in_the_log(f"Guard Parameter error: --check={check} beat x is not run: {folder} lets S-1-1-0 write it!\r\n"),
                      self.log())

    def test_the_record_folder_is_the_administrators_and_a_junction_is_not_used(self):
        # Made by the service, with an access list that lets no user write it (read back as Wine keeps it).
        shutil.rmtree(self.records, ignore_errors=True)
        name = self.service("W0 T5 L1")
        self.assertTrue(wait_for(lambda: os.path.exists(os.path.join(self.records, "watchdog0.record")), 120))
        self.sc("stop", name)
        self.assertTrue(wait_for(lambda: self.query(name)[0] == "STOPPED", 30))
        shown = subprocess.run(PREFIX + [os.path.join(BUILD_DIR, "test_helpers", "folder_acl.exe"), "show",
                                         r"C:\users\Public\wdtctl"], capture_output=True, text=True, timeout=60).stdout
        self.assertTrue(shown.startswith("O:"), shown)
        for entry in re.findall(r"\(A;[^;]*;([^;]*);;;([^)]*)\)", shown):
            rights, account = entry
            if account in ("WD", "BU", "AU", "S-1-1-0", "S-1-5-32-545", "S-1-5-11"):
                self.assertIn(rights, ("0x1200a9", "FR", "FRFX"), shown)
        # A junction in its place leads elsewhere: not used, and said at the start.
        elsewhere = os.path.join(self.box.root, "elsewhere")
        os.mkdir(elsewhere)
        shutil.rmtree(self.records)
        os.symlink(elsewhere, self.records)
        self.addCleanup(os.remove, self.records)
        self.sc("start", name)
        self.assertTrue(wait_for(lambda: self.query(name)[0] == "RUNNING", 60))
        self.assertTrue(wait_for(lambda: b"is a reparse point" in self.log(), 30), self.log())
        self.sc("stop", name)
        self.assertTrue(wait_for(lambda: self.query(name)[0] == "STOPPED", 30))
        self.assertEqual(os.listdir(elsewhere), [])

    def events(self, since):
        """The events the services gave the event log since that offset of Wine's output, as (type,
        text): test.sh starts Wine's services so that they say each one there."""
        with open(WINE_OUTPUT, "rb") as f:
            f.seek(since)
            text = f.read().decode("utf-8", "replace")
        return re.findall(r'(err|warn|trace):eventlog:ReportEventW L"(.*)"', text)

    def test_a_refused_command_line_stops_with_its_exit_code_and_never_leaves_it_armed(self):
        def loaded():  # as Wine's trace shows it, with its backslashes doubled
            return loaded_from(self.box).rstrip("\r\n")
        cases = [("W0 T60", lambda: in_the_log(NO_LOOP.decode()), [],  # refused before any driver call
                  lambda: [("err", "Service Parameter error: a service needs a loop (L)!")]),
                 ("W0 T5 L5", lambda: in_the_log(NO_RECORD.decode() + library(self.box).decode() +
                                                 "System will be reset after 5 seconds.\n" + ORDER +
                                                 "WDT0 has already been disabled!\r\n"),
                  [("SetWDT0", "5000", "208"), ("DisableWDT0",)],
                  lambda: [("trace", "WDT0: no record of an earlier run."), ("trace", loaded().replace("\\", "\\\\")),
                           ("warn", SIMULATED_SAID.rstrip("\r\n")),
                           ("trace", "System will be reset after 5 seconds."), ("err", ORDER.rstrip("\r\n")),
                           ("trace", "WDT0 has already been disabled!")])]
        for command_line, log, calls, events in cases:
            with self.subTest(command_line=command_line):
                self.setUp()
                since = os.path.getsize(WINE_OUTPUT)
                name = self.service(command_line)
                self.assertTrue(wait_for(lambda: self.query(name)[0] == "STOPPED", 180))
                self.assertEqual(self.query(name), ("STOPPED", 1))
                self.assertEqual(self.log(), log())
                self.assertEqual([tuple(entry[1:]) for entry in self.journal()], calls)
                self.assertEqual(self.events(since), events())


if __name__ == "__main__":
    unittest.main()
