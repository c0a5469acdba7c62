"""Where a Windows build takes WDT.dll's own dependencies from: the tool's folder, the library's
folder and the system folder, never PATH; and WDT.dll itself from the system folder."""
import os
import shutil
import unittest

from harness import BITS, SIMULATED, WINDOWS, SandboxTest, on_the_wire, test_driver


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
        system = os.path.join(os.environ["WINEPREFIX"], "drive_c", "windows", "system32" if BITS == 64 else "syswow64")
        planted = os.path.join(system, "WDT.dll")
        self.assertFalse(os.path.exists(planted), "a WDT.dll left in the system folder would spoil other tests")
        shutil.copy(SIMULATED, planted)
        self.addCleanup(os.remove, planted)
        self.assertEqual(self.box.run(["W0", "T5"]), (self.ARMED, 0))
        self.assertEqual(self.box.calls(), [("SetWDT0", 5000, 208)])


if __name__ == "__main__":
    unittest.main()
