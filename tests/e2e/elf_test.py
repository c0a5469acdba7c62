"""The Linux binaries as the loader sees them: the tool and the kernel driver library need the C
library alone at run time (every other library costs the keep-alive memory it keeps locked), and
the library exports its entries and nothing else."""
import os
import subprocess
import unittest

from harness import EXE, KERNEL_DRIVER, WINDOWS

ENTRIES = {"SetWDT0", "SetWDT1", "ResetWDT0", "ResetWDT1", "DisableWDT0", "DisableWDT1", "wdtctl_entry_results",
           "wdtctl_status"}


def needed(binary):
    dynamic = subprocess.run(["readelf", "-d", binary], capture_output=True, text=True, check=True).stdout
    return {line.split("[")[1].rstrip("]") for line in dynamic.splitlines() if "(NEEDED)" in line}


@unittest.skipIf(WINDOWS or os.environ.get("WDT_SANITIZE") == "ON", "a plain Linux build")
class LinuxBinaries(unittest.TestCase):
    def test_only_the_c_library_is_needed(self):
        for binary in filter(None, (EXE, KERNEL_DRIVER)):
            with self.subTest(binary=os.path.basename(binary)):
                self.assertEqual({name for name in needed(binary) if not name.startswith("ld-linux")}, {"libc.so.6"})

    @unittest.skipUnless(KERNEL_DRIVER, "the kernel driver library")
    def test_the_kernel_library_exports_its_entries_alone(self):
        symbols = subprocess.run(["nm", "-D", "--defined-only", KERNEL_DRIVER], capture_output=True, text=True,
                                 check=True).stdout
        self.assertEqual({line.split()[-1] for line in symbols.splitlines() if line.strip()}, ENTRIES)


if __name__ == "__main__":
    unittest.main()
