"""The Windows installer under Wine's msiexec, as an administrator runs it: it installs the tool,
registers the service with its path in quotes, and starts it where a WDT.dll is there (the
simulated one, a feature asked for); settings the tool refuses fail the installation and leave
nothing armed; uninstalling stops the service, which disarms the watchdog, and leaves nothing; a
repair and an upgrade keep the settings given at the install, guards among them; a rollback stops the service it
started; the service's event source is registered, and removed at uninstall."""
import glob
import os
import re
import subprocess
import time
import unittest

from harness import BITS, BUILD_DIR, PREFIX, WINDOWS

MSI = os.environ.get("WDT_MSI")
WINEPREFIX = os.environ.get("WINEPREFIX", "")
# Wine's 64-bit loader runs the installer of either build, and starts fast where 32-bit code is emulated.
WINE = ["/usr/lib/wine/wine64"] if os.path.exists("/usr/lib/wine/wine64") else PREFIX
FOLDER = os.path.join(WINEPREFIX, "drive_c", "Program Files" if BITS == 64 else "Program Files (x86)", "wdtctl")
FAILING_MSI = os.path.join(BUILD_DIR, "test_installers", "wdtctl-failing.msi")
OTHER_MSI = os.path.join(BUILD_DIR, "test_installers", "wdtctl-other.msi")  # another product, same version
UNINSTALL = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"
ROLLBACK_STOP = "wdtctl: a rollback: the service is stopped"
PROGRAM = ("C:\\Program Files\\" if BITS == 64 else "C:\\Program Files (x86)\\") + "wdtctl\\wdtctl.exe"
EVENT_SOURCE = r"HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\wdtctl"
JOURNALS = os.path.join(WINEPREFIX, "drive_c", "users", "*", "Temp", "wdt_sim_journal.txt")


@unittest.skipUnless(WINDOWS and MSI and WINEPREFIX, "the Windows installer, under Wine's msiexec")
class Installer(unittest.TestCase):
    def wine(self, *args):
        return subprocess.run(WINE + list(args), capture_output=True, text=True, stdin=subprocess.DEVNULL,
                              timeout=180)

    def msiexec(self, *args):
        """msiexec is a window program, which Wine does not wait for unless started so."""
        return self.wine("start", "/wait", "msiexec", *args, "/qn").returncode

    def service(self):
        """(state, the service's command line as registered), or (None, None) when there is none."""
        state = re.search(r"STATE\s*:\s*\d+\s+(\w+)", self.wine("sc", "query", "wdtctl").stdout)
        image = re.search(r"ImagePath\s+REG_\w+\s+(.*)", self.wine(
            "reg", "query", r"HKLM\SYSTEM\CurrentControlSet\Services\wdtctl", "/v", "ImagePath").stdout)
        return (state.group(1) if state else None), (image.group(1).strip() if image else None)

    def journal(self):
        found = glob.glob(JOURNALS)
        if not found:
            return []
        with open(found[0]) as f:
            return [line.split()[1:] for line in f]

    def table(self, name, msi=MSI):
        """A table of the built installer, as rows of its columns."""
        text = subprocess.run(["msiinfo", "export", msi, name], capture_output=True, text=True, check=True).stdout
        return [line.split("\t") for line in text.splitlines()[3:]]

    def products(self):
        return re.findall(r"Uninstall\\(\{[0-9A-F-]+\})", self.wine("reg", "query", UNINSTALL).stdout)

    def remove_all(self):
        """Uninstalls every wdtctl that is installed, whichever installer put it there."""
        for product in self.products():
            if "wdtctl" in self.wine("reg", "query", UNINSTALL + "\\" + product, "/v", "DisplayName").stdout:
                self.msiexec("/x", product)

    def setUp(self):
        self.msi = "Z:" + MSI.replace("/", "\\")
        self.remove_all()  # whatever an earlier run left
        for journal in glob.glob(JOURNALS):
            os.remove(journal)
        self.addCleanup(self.remove_all)

    def uninstall_leaves_nothing(self):
        self.assertEqual(self.msiexec("/x", self.msi), 0)
        self.assertEqual(self.service(), (None, None))
        self.assertFalse(os.path.exists(FOLDER), os.listdir(FOLDER) if os.path.exists(FOLDER) else "")
        self.assertNotIn("Watchdog", self.wine("reg", "query", r"HKLM\Software\wdtctl").stdout)
        self.assertNotIn("EventMessageFile", self.wine("reg", "query", EVENT_SOURCE).stdout)

    def test_install_start_uninstall(self):
        program = PROGRAM
        # Without a WDT.dll: registered to start at the next boot, not started.
        self.assertEqual(self.msiexec("/i", self.msi), 0)
        self.assertEqual(self.service(), ("STOPPED", f'"{program}" --service W0 T60 L10'))
        self.assertEqual(sorted(os.listdir(FOLDER)), ["wdtctl-manual.txt", "wdtctl.exe"])
        # The service's event source, whose messages the program's own table shows.
        source = self.wine("reg", "query", EVENT_SOURCE).stdout
        self.assertRegex(source, r"EventMessageFile\s+REG_SZ\s+" + re.escape(program))
        self.assertRegex(source, r"TypesSupported\s+REG_DWORD\s+0x7")
        self.uninstall_leaves_nothing()

        # With the simulated driver: started, armed with the settings given, refreshed.
        self.assertEqual(self.msiexec("/i", self.msi, "ADDLOCAL=ALL", "TIMEOUT=5", "PERIOD=1"), 0)
        self.assertEqual(self.service(), ("RUNNING", f'"{program}" --service W0 T5 L1'))
        give_up = time.monotonic() + 30
        while self.journal().count(["ResetWDT0"]) < 2 and time.monotonic() < give_up:
            time.sleep(0.2)
        self.assertEqual(self.journal()[:3], [["SetWDT0", "5000", "208"], ["ResetWDT0"], ["ResetWDT0"]])
        self.uninstall_leaves_nothing()
        self.assertEqual(self.journal()[-1], ["DisableWDT0"])

        # Settings the tool refuses after arming: the installation fails, and nothing stays armed.
        os.remove(glob.glob(JOURNALS)[0])
        self.assertNotEqual(self.msiexec("/i", self.msi, "ADDLOCAL=ALL", "TIMEOUT=5", "PERIOD=5"), 0)
        self.assertEqual(self.service(), (None, None))
        self.assertEqual(self.journal(), [["SetWDT0", "5000", "208"], ["DisableWDT0"]])

    def test_a_repair_and_an_upgrade_keep_the_settings_and_a_rollback_stops_the_service(self):
        self.assertEqual(self.msiexec("/i", self.msi, "WATCHDOG=1", "TIMEOUT=120", "PERIOD=20",
                                      r"HEARTBEAT=C:\Program Data\app.alive", "CHECK=cmd /c exit 0", "GRACE=90"), 0)
        remembered = (f'"{PROGRAM}" --service W1 T120 L20 "--heartbeat=C:\\Program Data\\app.alive" '
                      '"--check=cmd /c exit 0" "--grace=90"')
        self.assertEqual(self.service(), ("STOPPED", remembered))
        # A repair from the package, as "msiexec /fa" makes it (Wine's /fa takes only a product code).
        self.assertEqual(self.msiexec("/i", self.msi, "REINSTALL=ALL", "REINSTALLMODE=vamus"), 0)
        self.assertEqual(self.service(), ("STOPPED", remembered))
        # "none" drops a remembered guard.
        self.assertEqual(self.msiexec("/i", self.msi, "REINSTALL=ALL", "REINSTALLMODE=vamus", "HEARTBEAT=none"), 0)
        self.assertEqual(self.service(), ("STOPPED", remembered.replace(' "--heartbeat=C:\\Program Data\\app.alive"', "")))

        # An upgrade to another installer of the product (made for the tests: it fails after the
        # service started) takes the remembered watchdog, and the given timeout and period; its
        # rollback stops the service, which disarms, and leaves none running.
        failing = "Z:" + FAILING_MSI.replace("/", "\\")
        log = os.path.join(WINEPREFIX, "drive_c", "failing.log")
        self.assertNotEqual(self.msiexec("/i", failing, "ADDLOCAL=ALL", "TIMEOUT=5", "PERIOD=1", "/l*v", "C:\\failing.log"), 0)
        calls = self.journal()
        self.assertEqual(calls[0], ["SetWDT1", "5000", "208"])
        self.assertIn(["ResetWDT1"], calls)
        self.assertEqual(calls[-1], ["DisableWDT1"])
        self.assertNotEqual(self.service()[0], "RUNNING")
        self.assertIn(ROLLBACK_STOP, installer_log(log))

    def test_a_value_that_ends_in_a_backslash_stays_one_argument(self):
        self.assertEqual(self.msiexec("/i", self.msi, "HEARTBEAT=C:\\data\\", "GRACE=90"), 0)
        self.assertEqual(self.service(), ("STOPPED", f'"{PROGRAM}" --service W0 T60 L10 "--heartbeat=C:\\data\\\\" '
                                                     '"--grace=90"'))

    def test_the_tables_say_what_wixl_cannot(self):
        actions = {row[0]: row for row in self.table("CustomAction")}
        self.assertEqual(actions["StopServiceOnRollback"][1], "3393")  # a rollback action, not impersonated
        sequence = {row[0]: row for row in self.table("InstallExecuteSequence")}
        self.assertGreater(int(sequence["RemoveExistingProducts"][2]), int(sequence["InstallInitialize"][2]))
        self.assertIn("NOT UPGRADINGPRODUCTCODE", sequence["RemoveServiceLog"][1])
        upgrade = [row for row in self.table("Upgrade") if row[-1] == "WIX_UPGRADE_DETECTED"]
        self.assertEqual([(row[2], int(row[4]) & 0x200) for row in upgrade], [("1.0.0", 0x200)])  # the same version too
        secure = dict(self.table("Property"))["SecureCustomProperties"].split(";")
        self.assertLessEqual({"WATCHDOG", "TIMEOUT", "PERIOD", "HEARTBEAT", "CHECK", "GRACE", "REPAIR"}, set(secure))

    def test_a_change_keeps_the_settings_in_step_and_stops_only_through_the_service_steps(self):
        self.assertEqual(self.msiexec("/i", self.msi, "ADDLOCAL=ALL", "TIMEOUT=5", "PERIOD=1"), 0)
        self.assertTrue(wait_for(lambda: self.journal().count(["ResetWDT0"]) >= 2, 30), self.journal())
        log = os.path.join(WINEPREFIX, "drive_c", "change.log")
        self.assertEqual(self.msiexec("/i", self.msi, "TIMEOUT=7", "/l*v", "C:\\change.log"), 0)
        self.assertEqual(self.service(), ("RUNNING", f'"{PROGRAM}" --service W0 T7 L1'))
        self.assertRegex(self.wine("reg", "query", r"HKLM\Software\wdtctl", "/v", "Timeout").stdout, r"Timeout\s+REG_SZ\s+7")
        self.assertTrue(wait_for(lambda: self.journal()[-1] == ["ResetWDT0"] and ["SetWDT0", "7000", "208"] in self.journal(), 30))
        calls = [call[0] for call in self.journal()]
        self.assertEqual(calls[calls.index("DisableWDT0") + 1:][:1], ["SetWDT0"], calls)  # stopped once, by the service step
        self.assertEqual(calls.count("DisableWDT0"), 1, calls)
        self.assertNotIn(ROLLBACK_STOP, installer_log(log))

    def test_one_product_at_a_time(self):
        self.assertEqual(self.msiexec("/i", self.msi, "ADDLOCAL=ALL", "TIMEOUT=5", "PERIOD=1"), 0)
        first = self.products()
        self.assertEqual(len(first), 1, first)
        # Another installer of the same version (as the other build is) upgrades: one product.
        other = "Z:" + OTHER_MSI.replace("/", "\\")
        self.assertEqual(self.msiexec("/i", other, "ADDLOCAL=ALL"), 0)
        self.assertEqual(len(self.products()), 1, self.products())
        self.assertNotEqual(self.products(), first)
        self.assertEqual(self.service()[0], "RUNNING")


def installer_log(path):
    """An installer's log, which msiexec writes in UTF-16 or in the ANSI code page."""
    with open(path, "rb") as f:
        data = f.read()
    return data.decode("utf-16") if data[:2] == b"\xff\xfe" else data.decode("latin-1")


def wait_for(condition, seconds):
    give_up = time.monotonic() + seconds
    while not condition() and time.monotonic() < give_up:
        time.sleep(0.2)
    return condition()


if __name__ == "__main__":
    unittest.main()
