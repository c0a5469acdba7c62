"""The Windows installer under Wine's msiexec, as an administrator runs it: it installs the tool,
registers the service with its path in quotes, and starts it where a WDT.dll is there (the
simulated one, a feature asked for); settings the tool refuses fail the installation and leave
nothing armed; uninstalling stops the service, which disarms the watchdog, and leaves nothing; a
repair and an upgrade keep the settings given at the install, guards among them; a rollback stops the service it
started; the service's event source is registered, and removed at uninstall."""
import glob
import os
import re
import shutil
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
SIMULATED = "ADDLOCAL=Tool,SimulatedDriver"  # the simulated driver, asked for by name
PROGRAM = ("C:\\Program Files\\" if BITS == 64 else "C:\\Program Files (x86)\\") + "wdtctl\\wdtctl.exe"
# Both installers remember the settings in the 32-bit view, which Wine's 64-bit "reg" sees here.
SETTINGS = r"HKLM\Software\WOW6432Node\wdtctl"
EVENT_SOURCE = r"HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\wdtctl"
# The other build's installer, where it was built beside this one (test.sh builds both).
OTHER_BUILD_MSI = {64: os.path.join(os.path.dirname(BUILD_DIR), "windows-x86", "wdtctl-1.0.0-windows-32bit.msi"),
                   32: os.path.join(os.path.dirname(BUILD_DIR), "windows-x64", "wdtctl-1.0.0-windows-64bit.msi")}
JOURNALS = os.path.join(WINEPREFIX, "drive_c", "users", "*", "Temp", "wdt_sim_journal.txt")


@unittest.skipUnless(WINDOWS and MSI and WINEPREFIX, "the Windows installer, under Wine's msiexec")
class Installer(unittest.TestCase):
    def wine(self, *args):
        return subprocess.run(WINE + list(args), capture_output=True, text=True, stdin=subprocess.DEVNULL,
                              timeout=180)

    def msiexec(self, *args, unelevated=False):
        """msiexec is a window program, which Wine does not wait for unless started so; as an administrator
        runs it, or as a user without the administrators' rights."""
        launcher = ["Z:" + os.path.join(BUILD_DIR, "test_helpers", "unelevated.exe").replace("/", "\\"), "cmd", "/c"]
        return self.wine(*(launcher if unelevated else []), "start", "/wait", "msiexec", *args, "/qn").returncode

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
        self.assertNotIn("Watchdog", self.wine("reg", "query", SETTINGS).stdout)
        self.assertNotIn("EventMessageFile", self.wine("reg", "query", EVENT_SOURCE).stdout)

    def test_install_start_uninstall(self):
        program = PROGRAM
        # Without a WDT.dll (every feature, which leaves out the simulated driver unless it is named):
        # registered to start at the next boot, not started.
        self.assertEqual(self.msiexec("/i", self.msi, "ADDLOCAL=ALL"), 0)
        self.assertEqual(self.service(), ("STOPPED", f'"{program}" --service W0 T60 L10'))
        self.assertEqual(sorted(os.listdir(FOLDER)), ["wdtctl-manual.txt", "wdtctl.exe"])
        # The service's event source, whose messages the program's own table shows.
        source = self.wine("reg", "query", EVENT_SOURCE).stdout
        self.assertRegex(source, r"EventMessageFile\s+REG_SZ\s+" + re.escape(program))
        self.assertRegex(source, r"TypesSupported\s+REG_DWORD\s+0x7")
        self.uninstall_leaves_nothing()

        # With the simulated driver: started, armed with the settings given, refreshed.
        self.assertEqual(self.msiexec("/i", self.msi, SIMULATED, "TIMEOUT=5", "PERIOD=1"), 0)
        self.assertEqual(self.service(), ("RUNNING", f'"{program}" --service W0 T5 L1'))
        give_up = time.monotonic() + 30
        while self.journal().count(["ResetWDT0"]) < 2 and time.monotonic() < give_up:
            time.sleep(0.2)
        self.assertEqual(self.journal()[:3], [["SetWDT0", "5000", "208"], ["ResetWDT0"], ["ResetWDT0"]])
        self.uninstall_leaves_nothing()
        self.assertEqual(self.journal()[-1], ["DisableWDT0"])

        # Settings the tool refuses after arming: the installation fails, and nothing stays armed.
        os.remove(glob.glob(JOURNALS)[0])
        self.assertNotEqual(self.msiexec("/i", self.msi, SIMULATED, "TIMEOUT=5", "PERIOD=5"), 0)
        self.assertEqual(self.service(), (None, None))
        self.assertEqual(self.journal(), [["SetWDT0", "5000", "208"], ["DisableWDT0"]])

    def test_a_repair_and_an_upgrade_keep_the_settings_and_a_rollback_stops_the_service(self):
        self.assertEqual(self.msiexec("/i", self.msi, "WATCHDOG=1", "TIMEOUT=120", "PERIOD=20",
                                      r"HEARTBEAT=C:\Program Data\app.alive", "CHECK=cmd /c exit 0", "GRACE=90",
                                      r"METRICS_DIR=C:\metrics"), 0)
        remembered = (f'"{PROGRAM}" --service W1 T120 L20 "--heartbeat=C:\\Program Data\\app.alive" '
                      '"--check=cmd /c exit 0" "--grace=90" "--metrics=C:\\metrics"')
        self.assertEqual(self.service(), ("STOPPED", remembered))
        # A repair from the package, as "msiexec /fa" makes it (Wine's /fa takes only a product code).
        self.assertEqual(self.msiexec("/i", self.msi, "REINSTALL=ALL", "REINSTALLMODE=vamus"), 0)
        self.assertEqual(self.service(), ("STOPPED", remembered))
        # A repair by a user without the administrators' rights (one that Windows lets run elevated)
        # does not take the settings it gives: the remembered ones are kept.
        log = os.path.join(WINEPREFIX, "drive_c", "user.log")
        self.assertEqual(self.msiexec("/i", self.msi, "REINSTALL=ALL", "REINSTALLMODE=vamus", r"CHECK=C:\Users\bob\x.exe",
                                      "TIMEOUT=7", "ADDLOCAL=SimulatedDriver", "/l*v", "C:\\user.log", unelevated=True), 0)
        self.assertEqual(self.service(), ("STOPPED", remembered))
        self.assertNotIn("WDT.dll", os.listdir(FOLDER))
        self.assertIn("wdtctl: settings given without the administrators' rights are not taken (TIMEOUT, CHECK, ADDLOCAL): "
                      "the remembered ones are kept", installer_log(log))
        # "none" drops a remembered guard.
        self.assertEqual(self.msiexec("/i", self.msi, "REINSTALL=ALL", "REINSTALLMODE=vamus", "HEARTBEAT=none"), 0)
        self.assertEqual(self.service(), ("STOPPED", remembered.replace(' "--heartbeat=C:\\Program Data\\app.alive"', "")))

        # An upgrade to another installer of the product (made for the tests: it fails after the
        # service started) takes the remembered watchdog, and the given timeout and period; its
        # rollback stops the service, which disarms, and leaves none running.
        failing = "Z:" + FAILING_MSI.replace("/", "\\")
        log = os.path.join(WINEPREFIX, "drive_c", "failing.log")
        self.assertNotEqual(self.msiexec("/i", failing, SIMULATED, "TIMEOUT=5", "PERIOD=1", "/l*v", "C:\\failing.log"), 0)
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

    def test_the_folders_are_the_administrators_and_never_a_drive_root(self):
        shown = lambda path: subprocess.run(WINE + [os.path.join(BUILD_DIR, "test_helpers", "folder_acl.exe"), "show", path],
                                            capture_output=True, text=True, timeout=60).stdout
        drive_c = os.path.join(WINEPREFIX, "drive_c")
        # A record's folder that a user made first (everyone may write it here) is moved aside, and
        # the installer makes the folder anew, which users may only read.
        records = os.path.join(drive_c, "ProgramData", "wdtctl")
        for old in [records] + glob.glob(records + ".untrusted-*"):
            shutil.rmtree(old, ignore_errors=True)
        os.mkdir(records)
        os.chmod(records, 0o777)
        open(os.path.join(records, "planted"), "w").close()
        log = os.path.join(drive_c, "folders.log")
        self.assertEqual(self.msiexec("/i", self.msi, "/l*v", "C:\\folders.log"), 0)
        self.assertIn("wdtctl: the record's folder is not the administrators' alone, and is moved aside: "
                      "C:\\ProgramData\\wdtctl lets S-1-1-0 write it", installer_log(log))
        moved = glob.glob(records + ".untrusted-*")
        self.assertEqual([os.listdir(folder) for folder in moved], [["planted"]])
        self.assertEqual(os.listdir(records), [])
        self.assertEqual(only_read_by_users(shown("C:\\ProgramData\\wdtctl")), [])
        # The installation folder that it made has its own access list; one that was there keeps its own.
        self.assertEqual(only_read_by_users(shown(PROGRAM.rsplit("\\", 1)[0])), [])
        self.remove_all()
        kept = os.path.join(drive_c, "kept", "wdtctl")
        os.makedirs(kept)
        self.addCleanup(shutil.rmtree, os.path.dirname(kept), True)
        os.chmod(kept, 0o755)
        before = shown("C:\\kept\\wdtctl")
        self.assertEqual(self.msiexec("/i", self.msi, "INSTALLDIR=C:\\kept\\wdtctl"), 0)
        self.assertTrue(os.path.exists(os.path.join(kept, "wdtctl.exe")))
        self.assertEqual(shown("C:\\kept\\wdtctl"), before)
        self.remove_all()
        # Never a drive's root, nor a folder under one that users may change: nothing is installed.
        opened = os.path.join(drive_c, "open")
        os.mkdir(opened)
        self.addCleanup(shutil.rmtree, opened, True)
        os.chmod(opened, 0o777)
        for folder in ("C:\\", "C:\\open\\wdtctl"):
            with self.subTest(INSTALLDIR=folder):
                log = os.path.join(drive_c, "refused.log")
                self.assertNotEqual(self.msiexec("/i", self.msi, "INSTALLDIR=" + folder, "/l*v", "C:\\refused.log"), 0)
                self.assertEqual(self.products(), [])
                self.assertEqual(self.service(), (None, None))
                self.assertFalse(os.path.exists(os.path.join(drive_c, "wdtctl.exe")))
                self.assertFalse(os.path.exists(os.path.join(opened, "wdtctl", "wdtctl.exe")))
                self.assertEqual(os.stat(opened).st_mode & 0o777, 0o777)
                # (Wine keeps what the folder inherits beside the access list that the installer sets on
                # it, so the folder itself, which Windows would take, is named first.)
                self.assertRegex(installer_log(log), r"wdtctl: INSTALLDIR is a drive's root" if folder == "C:\\" else
                                 r"wdtctl: the installation folder is refused, since the service runs what is there as "
                                 r"SYSTEM: C:\\open(\\wdtctl)? lets S-1-1-0 (write it|replace what it holds)")

    def test_privileges_are_added_to_the_services_list_and_remembered(self):
        log = os.path.join(WINEPREFIX, "drive_c", "privileges.log")
        self.assertEqual(self.msiexec("/i", self.msi, "PRIVILEGES=SeShutdownPrivilege", "/l*v", "C:\\privileges.log"), 0)
        self.assertIn("wdtctl: the service's privileges: SeChangeNotifyPrivilege, SeIncreaseWorkingSetPrivilege, "
                      "SeIncreaseBasePriorityPrivilege, SeLoadDriverPrivilege, SeShutdownPrivilege", installer_log(log))
        self.assertRegex(self.wine("reg", "query", SETTINGS, "/v", "Privileges").stdout,
                         r"Privileges\s+REG_SZ\s+SeShutdownPrivilege")
        # A repair keeps them.
        self.assertEqual(self.msiexec("/i", self.msi, "REINSTALL=ALL", "REINSTALLMODE=vamus", "/l*v", "C:\\privileges.log"), 0)
        self.assertIn("SeLoadDriverPrivilege, SeShutdownPrivilege", installer_log(log))
        # A name that is no privilege fails the installation.
        self.remove_all()
        self.assertNotEqual(self.msiexec("/i", self.msi, "PRIVILEGES=SeShutdownPrivilege,SeNoSuchPrivilege", "/l*v",
                                         "C:\\privileges.log"), 0)
        self.assertIn("wdtctl: PRIVILEGES: SeNoSuchPrivilege is not a privilege", installer_log(log))
        self.assertEqual(self.products(), [])

    def test_switching_installers_keeps_the_settings(self):
        other = OTHER_BUILD_MSI.get(BITS)
        if not (other and os.path.exists(other) and os.path.exists("/usr/lib/wine/wine")):
            self.skipTest("needs both builds' installers and the 32-bit Wine (its installer's own steps are 32-bit)")
        self.assertEqual(self.msiexec("/i", self.msi, "WATCHDOG=1", "TIMEOUT=120", "PERIOD=20", "GRACE=90",
                                      "CHECK=cmd /c exit 0"), 0)
        settings = "--service W1 T120 L20 \"--check=cmd /c exit 0\" \"--grace=90\""
        self.assertEqual(self.msiexec("/i", "Z:" + other.replace("/", "\\")), 0)
        self.assertEqual(len(self.products()), 1, self.products())
        self.assertTrue(self.service()[1].endswith(settings), self.service())
        self.assertEqual(self.msiexec("/i", self.msi), 0)
        self.assertTrue(self.service()[1].endswith(settings), self.service())

    def test_the_tables_say_what_wixl_cannot(self):
        actions = {row[0]: row for row in self.table("CustomAction")}
        self.assertEqual(actions["StopServiceOnRollback"][1], "3393")  # a rollback action, not impersonated
        sequence = {row[0]: row for row in self.table("InstallExecuteSequence")}
        self.assertGreater(int(sequence["RemoveExistingProducts"][2]), int(sequence["InstallInitialize"][2]))
        self.assertIn("NOT UPGRADINGPRODUCTCODE", sequence["RemoveServiceLog"][1])
        upgrade = [row for row in self.table("Upgrade") if row[-1] == "WIX_UPGRADE_DETECTED"]
        self.assertEqual([(row[2], int(row[4]) & 0x200) for row in upgrade], [("1.0.0", 0x200)])  # the same version too
        secure = dict(self.table("Property"))["SecureCustomProperties"].split(";")
        self.assertLessEqual({"WATCHDOG", "TIMEOUT", "PERIOD", "HEARTBEAT", "CHECK", "GRACE", "REPAIR", "PRIVILEGES",
                              "METRICS_DIR"}, set(secure))
        # Given settings are dropped before they are read, unless an administrator gave them.
        self.assertLess(int(sequence["TakeSettingsFromAdministrators"][2]), int(sequence["KeepGivenWatchdog"][2]))
        self.assertLess(int(sequence["CostFinalize"][2]), int(sequence["CheckInstallFolder"][2]))
        self.assertLess(int(sequence["CheckInstallFolder"][2]), int(sequence["InstallFiles"][2]))
        # Both builds remember the settings in the 32-bit registry view: no 64-bit search, no 64-bit component.
        for msi in [MSI] + [path for path in OTHER_BUILD_MSI.values() if os.path.exists(path)]:
            with self.subTest(msi=os.path.basename(msi)):
                locators = self.table("RegLocator", msi)
                self.assertEqual({row[2] for row in locators}, {"Software\\wdtctl"})
                self.assertEqual({int(row[4]) & 0x10 for row in locators}, {0})
                components = {row[0]: int(row[3]) for row in self.table("Component", msi)}
                self.assertEqual(components["Settings"] & 0x100, 0)

    def test_a_change_keeps_the_settings_in_step_and_stops_only_through_the_service_steps(self):
        self.assertEqual(self.msiexec("/i", self.msi, SIMULATED, "TIMEOUT=5", "PERIOD=1"), 0)
        self.assertTrue(wait_for(lambda: self.journal().count(["ResetWDT0"]) >= 2, 30), self.journal())
        log = os.path.join(WINEPREFIX, "drive_c", "change.log")
        self.assertEqual(self.msiexec("/i", self.msi, "TIMEOUT=7", "/l*v", "C:\\change.log"), 0)
        self.assertEqual(self.service(), ("RUNNING", f'"{PROGRAM}" --service W0 T7 L1'))
        self.assertRegex(self.wine("reg", "query", SETTINGS, "/v", "Timeout").stdout, r"Timeout\s+REG_SZ\s+7")
        self.assertTrue(wait_for(lambda: self.journal()[-1] == ["ResetWDT0"] and ["SetWDT0", "7000", "208"] in self.journal(), 30))
        calls = [call[0] for call in self.journal()]
        self.assertEqual(calls[calls.index("DisableWDT0") + 1:][:1], ["SetWDT0"], calls)  # stopped once, by the service step
        self.assertEqual(calls.count("DisableWDT0"), 1, calls)
        self.assertNotIn(ROLLBACK_STOP, installer_log(log))

    def test_one_product_at_a_time(self):
        self.assertEqual(self.msiexec("/i", self.msi, SIMULATED, "TIMEOUT=5", "PERIOD=1"), 0)
        first = self.products()
        self.assertEqual(len(first), 1, first)
        # Another installer of the same version (as the other build is) upgrades: one product.
        other = "Z:" + OTHER_MSI.replace("/", "\\")
        self.assertEqual(self.msiexec("/i", other, SIMULATED), 0)
        self.assertEqual(len(self.products()), 1, self.products())
        self.assertNotEqual(self.products(), first)
        self.assertEqual(self.service()[0], "RUNNING")


def only_read_by_users(sddl):
    """The entries of an access list (as SDDL) that let users, or everyone, do more than read and run."""
    return [entry for entry in re.findall(r"\(A;[^;]*;([^;]*);;;([^)]*)\)", sddl)
            if entry[1] in ("WD", "BU", "AU", "S-1-1-0", "S-1-5-32-545", "S-1-5-11") and entry[0] not in ("0x1200a9", "FR", "FRFX")] \
        if sddl.startswith("O:") else ["no descriptor: " + sddl]


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
