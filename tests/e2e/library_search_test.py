"""Where a Windows build takes WDT.dll's own dependencies from: the tool's folder, the library's
folder and the system folder, never PATH, also for what the library loads when it runs; WDT.dll
itself from the system folder, and the folders searched named when it is in none; and what the
loader says when WDT.dll is there but cannot be loaded."""
import os
import shutil
import subprocess
import unittest

from harness import BITS, BUILD_DIR, SIMULATED, WINDOWS, SandboxTest, on_the_wire, test_driver


@unittest.skipUnless(WINDOWS and os.environ.get("WINEPREFIX"), "the Windows library search, under Wine")
class LibrarySearch(SandboxTest):
    driver = test_driver("with_helper")
    ARMED = on_the_wire("System will be reset after 5 seconds.\n")

    def test_a_dependency_only_on_path_is_not_loaded_one_beside_the_library_is(self):
        helper = os.path.join(os.path.dirname(self.driver), "helper.dll")
        on_path = os.path.join(self.box.root, "on-path")
        os.mkdir(on_path)
        shutil.copy(helper, on_path)
        windows_path = "Z:" + on_path.replace("/", "\\")
        stdout, code = self.box.run(["W0", "T5"], env={"WINEPATH": windows_path})
        self.assertEqual((stdout, code), (on_the_wire("Not find file: WDT.dll\r\n"), 1))
        self.assertEqual(self.box.calls(), [])
        shutil.copy(helper, self.box.bin)
        self.assertEqual(self.box.run(["W0", "T5"], env={"WINEPATH": windows_path}), (self.ARMED, 0))

    def test_the_system_folder_is_searched(self):
        self.fresh(None)
        stdout, status, stderr = self.box.run(["W0", "T5"], stderr=subprocess.PIPE)
        self.assertEqual((stdout, status), (on_the_wire("Not find file: WDT.dll\r\n"), 1))
        system_name = "system32" if BITS == 64 else "syswow64"
        self.assertEqual(stderr.decode(), "wdtctl: WDT.dll was looked for in Z:" + self.box.bin.replace("/", "\\") +
                         f"; C:\\windows\\{system_name}; C:\\windows, and is in none of them.\r\n")
        system = os.path.join(os.environ["WINEPREFIX"], "drive_c", "windows", system_name)
        planted = os.path.join(system, "WDT.dll")
        self.assertFalse(os.path.exists(planted), "a WDT.dll left in the system folder would spoil other tests")
        shutil.copy(SIMULATED, planted)
        self.addCleanup(os.remove, planted)
        self.assertEqual(self.box.run(["W0", "T5"]), (self.ARMED, 0))
        self.assertEqual(self.box.calls(), [("SetWDT0", 5000, 208)])


    def test_what_the_library_loads_when_it_runs_never_comes_from_the_current_folder_or_path(self):
        self.fresh(test_driver("loads_at_run_time"))
        planted = os.path.join(BUILD_DIR, "test_drivers", "wdtio_planted", "wdtio.dll")
        genuine = os.path.join(BUILD_DIR, "test_drivers", "wdtio_genuine", "wdtio.dll")
        on_path = os.path.join(self.box.root, "on-path")
        os.mkdir(on_path)
        shutil.copy(planted, on_path)
        shutil.copy(planted, self.box.root)  # the current folder
        env = {"WINEPATH": "Z:" + on_path.replace("/", "\\")}
        self.assertEqual(self.box.run(["W0", "T5"], env=env), (self.ARMED, 0))
        self.assertIn(("Helper", 0), self.box.calls())
        os.remove(self.box.journal_path)
        shutil.copy(genuine, self.box.bin)  # beside the tool: found
        self.assertEqual(self.box.run(["W0", "T5"], env=env), (self.ARMED, 0))
        self.assertIn(("Helper", 1), self.box.calls())

    def test_a_library_that_cannot_be_loaded_is_said_with_the_loaders_reason(self):
        with open(os.path.join(self.box.bin, "WDT.dll"), "wb") as broken:
            broken.write(b"MZ, but no library")
        stdout, status, stderr = self.box.run(["W0", "T5"], stderr=subprocess.PIPE)
        self.assertEqual((stdout, status), (on_the_wire("Not find file: WDT.dll\r\n"), 1))
        self.assertRegex(stderr.decode("utf-8", "replace"), r"wdtctl: .*WDT\.dll cannot be loaded: error \d+: ")


if __name__ == "__main__":
    unittest.main()
