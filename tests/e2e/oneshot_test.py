"""The tool run as a process against the simulated driver: output bytes, exit status, driver calls."""
import os
import shutil
import subprocess
import unittest

from harness import PREFIX, SIMULATED, UNELEVATED, WINDOWS, SandboxTest, on_the_wire, test_driver

ARMED5 = "System will be reset after 5 seconds.\n"
NO_FILE = "Not find file: WDT.dll\r\n"
SELECTOR_ERROR = "Watch dog number parameter error!\n"
TIME_ERROR = "Time Parameter error!\r\n"


def usage(name):
    return (f"Usage: {name} <W?> <T?/D/R>\n\n"
            "W Watch Dog Timer   -> 0 ~ 1\n"
            "T Time              -> 1 ~ 512(s)\n"
            "R Reset\t\t\t\t"
            "L Loop time        -> 1 ~ 512(s)\n"
            "\n"
            f"Ex: {name} W0 T5   -> Set WDT0 = 5s and enable it\n"
            f"    {name} W1 D    -> Disable WDT1\n"
            f"    {name} W0 R    -> Reset WDT0\n"
            f"    {name} W0 T5 L2   -> Set WDT0 = 5s and reset them in loop each 2s\n")


class OneShotCommands(SandboxTest):
    def check(self, args, output, status, calls):
        stdout, code = self.box.run(args)
        self.assertEqual(stdout, on_the_wire(output), args)
        self.assertEqual(code, status, args)
        self.assertEqual(self.box.calls(), calls, args)

    def check_all(self, cases):
        """Runs each (arguments, output, exit status, driver calls) case in a fresh sandbox."""
        for args, output, status, calls in cases:
            with self.subTest(args=[a[:20] for a in args]):
                self.fresh(self.driver)
                self.check(args, output, status, calls)

    def test_commands(self):
        cases = [
            (["W0", "T5"], ARMED5, 0, [("SetWDT0", 5000, 208)]),
            (["W1", "T512"], "System will be reset after 512 seconds.\n", 0, [("SetWDT1", 512000, 208)]),
            (["W1", "D"], "WDT1 has already been disabled!\r\n", 0, [("DisableWDT1",)]),
            (["w0", "r"], "WDT0 has already been reseted!\r\n", 0, [("ResetWDT0",)]),
            (["W0", "W1", "D"], "WDT1 has already been disabled!\r\n", 0, [("DisableWDT1",)]),
            (["T5", "W1"], ARMED5, 0, [("SetWDT1", 5000, 208)]),
            (["W0", "T5", "T10"], ARMED5 + "System will be reset after 10 seconds.\n", 0,
             [("SetWDT0", 5000, 208), ("SetWDT0", 10000, 208)]),
            (["W0", "R", "T5"], "WDT0 has already been reseted!\r\n", 0, [("ResetWDT0",)]),
            (["W0", "X"], "", 0, []),
            (["W0", "D", "L2"], "WDT0 has already been disabled!\r\n", 0, [("DisableWDT0",)]),
        ]
        self.check_all(cases)

    def test_errors_send_nothing_or_keep_what_was_done(self):
        cases = [
            (["W2", "T5"], SELECTOR_ERROR, 1, []),
            (["W", "T5"], SELECTOR_ERROR, 1, []),
            (["W0", "W3", "D"], SELECTOR_ERROR, 1, []),
            (["T5", "D"], "Parameter error!\r\n", 1, []),
            (["W0", "T0"], TIME_ERROR, 1, []),
            (["W0", "T513"], TIME_ERROR, 1, []),
            (["W0", "T-5"], TIME_ERROR, 1, []),
            (["W0", "T4294967301"], TIME_ERROR, 1, []),
            (["W0", "T-4294967291"], TIME_ERROR, 1, []),
            (["W0", "T5", "T0"], ARMED5 + TIME_ERROR, 1, [("SetWDT0", 5000, 208)]),
            (["W0", "T4", "L4"], "System will be reset after 4 seconds.\n"
             "Time Parameter error: time for loop reset must be smaller then timer time!\r\n", 1,
             [("SetWDT0", 4000, 208)]),
            (["W0", "T5", "L0"], ARMED5 + "Loop Time Parameter error!\r\n", 1, [("SetWDT0", 5000, 208)]),
            (["W1", "L-3"], "Loop Time Parameter error!\r\n", 1, []),
        ]
        self.check_all(cases)

    def test_a_call_the_library_says_failed_is_never_confirmed(self):
        """The simulated driver answers "not done" from the entries named in WDT_SIM_FAIL."""
        cases = [
            (["W0", "T5"], "SetWDT0", SIMULATED, "WDT0 could not be set!\r\n", 1, [("SetWDT0", 5000, 208)]),
            (["W1", "D"], "DisableWDT1", SIMULATED, "WDT1 could not be disabled!\r\n", 1, [("DisableWDT1",)]),
            (["W0", "T5", "R"], "ResetWDT0 SetWDT1", SIMULATED, ARMED5 + "WDT0 could not be reset!\r\n", 1,
             [("SetWDT0", 5000, 208), ("ResetWDT0",)]),
            (["W0", "T5", "L2"], "SetWDT0", SIMULATED, "WDT0 could not be set!\r\n", 1, [("SetWDT0", 5000, 208)]),
            # A library without the status marker, as a vendor's, is believed as ever.
            (["W0", "T5"], "SetWDT0", test_driver("without_status"), ARMED5, 0, [("SetWDT0", 5000, 208)]),
        ]
        for args, failing, driver, output, status, calls in cases:
            with self.subTest(args=args, driver=os.path.basename(os.path.dirname(driver))):
                self.fresh(driver)
                stdout, code = self.box.run(args, env={"WDT_SIM_FAIL": failing})
                self.assertEqual((stdout, code), (on_the_wire(output), status))
                self.assertEqual(self.box.calls(), calls)

    def test_hostile_input_never_crashes(self):
        # Windows limits a whole command line to 32,767 characters.
        long = 30000 if WINDOWS else 100000
        cases = [
            (["", ""], "Parameter error!\r\n", 1, []),
            (["W1", "T" + "9" * 5000], TIME_ERROR, 1, []),
            (["W1", "x" * long], "", 0, []),
            (["W" * long, "D"], SELECTOR_ERROR, 1, []),
            (["W0", "T" + "1" * long], TIME_ERROR, 1, []),
        ]
        if not WINDOWS:  # bytes above 127, passed as raw bytes whatever the locale; not valid text on Windows
            cases += [(["\xff\x80W1", "W0", "D\xe9\xff"], "WDT0 has already been disabled!\r\n", 0,
                       [("DisableWDT0",)])]
            cases = [([a.encode("latin-1") for a in args], *rest) for args, *rest in cases]
        self.check_all(cases)


class Status(SandboxTest):
    def test_status_says_the_drivers_state_and_calls_nothing(self):
        self.box.run(["W0", "T9"])
        stdout, status = self.box.run(["--status", "W0", "T5", "D"])  # commands beside it are not carried out
        expected = on_the_wire("Protected: no (no keep-alive runs)\nWatchdog: 0\nDriver: simulated (drives no hardware)\n"
                               "Last call: SetWDT0 9000 208\n")
        self.assertEqual((stdout[:len(expected)], status), (expected, 3))
        self.assertEqual(self.box.calls(), [("SetWDT0", 9000, 208)])


class Usage(SandboxTest):
    def test_usage_with_and_without_the_library(self):
        for driver in (True, False):
            for args in ([], ["W0"], ["W0 T5"]):
                with self.subTest(library=driver, args=args):
                    self.fresh(self.driver)
                    if not driver:
                        os.remove(os.path.join(self.box.bin, "WDT.dll"))
                    stdout, code = self.box.run(args)
                    self.assertEqual(stdout, on_the_wire(usage(self.box.program_name())))
                    self.assertEqual(code, 1)
                    self.assertEqual(self.box.calls(), [])


class DriverLibraryProblems(SandboxTest):
    driver = None

    def test_missing_library(self):
        for args in (["X", "Y"], ["W0", "T5"], ["W9", "T0"]):
            with self.subTest(args=args):
                stdout, code = self.box.run(args)
                self.assertEqual(stdout, on_the_wire(NO_FILE))
                self.assertEqual(code, 1)

    def test_library_lacking_entry_points(self):
        cases = [("without_ResetWDT1", "ResetWDT1"), ("without_DisableWDT1", "DisableWDT1"),
                 ("without_ResetWDT1_SetWDT1", "SetWDT1")]
        for variant, reported in cases:
            for args in (["W0", "T5"], ["W1", "D"], ["W7", "R"]):
                with self.subTest(variant=variant, args=args):
                    self.fresh(test_driver(variant))
                    stdout, code = self.box.run(args)
                    self.assertEqual(stdout, on_the_wire(f"Not find function: {reported} in WDT.dll\r\n"))
                    self.assertEqual(code, 1)
                    self.assertEqual(self.box.calls(), [])

    def test_library_in_the_current_directory_is_not_loaded(self):
        workdir = os.path.join(self.box.root, "work")
        os.mkdir(os.path.join(workdir))
        shutil.copy(SIMULATED, os.path.join(workdir, "WDT.dll"))
        # Elements of LD_LIBRARY_PATH that mean the current directory, or a folder below it.
        searches = [None] if WINDOWS else [None, "/nonexistent:", ":/nonexistent", ".", "./", "work", "/x::/y"]
        for search in searches:
            with self.subTest(LD_LIBRARY_PATH=search):
                cwd = self.box.root if search == "work" else workdir
                stdout, code = self.box.run(["W0", "T5"], cwd=cwd, env={"LD_LIBRARY_PATH": search} if search else {})
                self.assertEqual(stdout, on_the_wire(NO_FILE))
                self.assertEqual(code, 1)
                self.assertEqual(self.box.calls(), [])

    @unittest.skipUnless(WINDOWS and PREFIX and os.environ.get("WINEPREFIX"), "needs Wine and its prefix")
    def test_executable_in_a_drive_root(self):
        # A drive letter of Wine's made for the sandbox's folder: the tool runs as X:\wdtctl.exe.
        self.fresh(SIMULATED)
        devices = os.path.join(os.environ["WINEPREFIX"], "dosdevices")
        letter = next(c for c in "mnopqrstuvwxy" if not os.path.lexists(os.path.join(devices, c + ":")))
        os.symlink(self.box.bin, os.path.join(devices, letter + ":"))
        self.addCleanup(os.remove, os.path.join(devices, letter + ":"))
        done = subprocess.run(PREFIX + UNELEVATED + [f"{letter}:\\{os.path.basename(self.box.program())}", "W0", "T5"],
                              cwd=self.box.root, env=self.box.environment(), stdout=subprocess.PIPE,
                              stdin=subprocess.DEVNULL, timeout=60)
        self.assertEqual((done.stdout, done.returncode), (on_the_wire(ARMED5), 0))
        self.assertEqual(self.box.calls(), [("SetWDT0", 5000, 208)])

    @unittest.skipUnless(WINDOWS and PREFIX and os.environ.get("WINEPREFIX"), "needs Wine and its prefix")
    def test_refused_before_windows_8(self):
        # Wine says it is Windows 7 to a program so named.
        old = os.path.join(self.box.bin, "wdtctl-on-7.exe")
        shutil.copy(self.box.program(), old)
        key = r"HKCU\Software\Wine\AppDefaults\wdtctl-on-7.exe"
        subprocess.run(PREFIX + ["reg", "add", key, "/v", "Version", "/d", "win7", "/f"], capture_output=True, check=True)
        self.addCleanup(subprocess.run, PREFIX + ["reg", "delete", key, "/f"], capture_output=True)
        done = subprocess.run(PREFIX + UNELEVATED + ["Z:" + old.replace("/", "\\"), "W0", "T5"], cwd=self.box.root,
                              env=self.box.environment(), stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, timeout=60)
        self.assertEqual((done.stdout, done.returncode), (on_the_wire("wdtctl needs Windows 8 or later.\r\n"), 1))
        self.assertEqual(self.box.calls(), [])

    @unittest.skipIf(WINDOWS, "LD_LIBRARY_PATH is a Linux setting")
    def test_library_in_an_absolute_folder_of_the_search_path(self):
        elsewhere = os.path.join(self.box.root, "elsewhere")
        os.mkdir(elsewhere)
        shutil.copy(SIMULATED, os.path.join(elsewhere, "WDT.dll"))
        stdout, code = self.box.run(["W0", "T5"], env={"LD_LIBRARY_PATH": "/nonexistent::" + elsewhere})
        self.assertEqual((stdout, code), (on_the_wire(ARMED5), 0))
        self.assertEqual(self.box.calls(), [("SetWDT0", 5000, 208)])


if __name__ == "__main__":
    unittest.main()
