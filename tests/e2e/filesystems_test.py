"""File systems that stop answering, or answer now and then, as network and FUSE file systems do,
served by a FUSE file system of the tests' own: a heartbeat on one never holds up the loop or a
stop, a look-up that fails is no news, and a status never waits on one that a process holds a
file of."""
import os
import signal
import subprocess
import sys
import threading
import time
import unittest

import fuse
from guards_test import Lines, said_in_loop
from harness import BUILD_DIR, WINDOWS, SandboxTest

STOP = "refreshes stop, and the watchdog resets the machine in about 5 seconds!"


@unittest.skipIf(WINDOWS or not fuse.available(), "a FUSE file system of the tests' own (Linux, as root)")
class HungFileSystems(SandboxTest):
    def mount(self):
        server = fuse.Server(os.path.join(self.box.root, "mnt"))
        self.addCleanup(server.close)
        return server, os.path.join(server.mountpoint, "alive")

    def start(self, args):
        process = self.box.start(args)
        self.addCleanup(process.stdout.close)
        self.addCleanup(process.kill)
        lines = Lines(process)
        self.assertIsNotNone(lines.wait_for("Entering endless loop", 10), lines.lines)
        return process, lines

    def refreshes(self):
        return [at / 1000 for at, entry, *_ in self.box.journal() if entry == "ResetWDT0"]

    def test_a_heartbeat_whose_file_system_stops_answering_never_holds_up_the_loop(self):
        server, alive = self.mount()
        beating = threading.Event()

        def beat():
            while not beating.wait(0.3):
                server.mtime = time.time()
        threading.Thread(target=beat, daemon=True).start()
        self.addCleanup(beating.set)
        process, lines = self.start(["--service", "W0", "T5", "L1", f"--heartbeat={alive}", "--grace=3"])
        time.sleep(2.5)
        server.answering = False
        hung = time.time()
        self.assertIsNotNone(lines.wait_for("has not answered", 3), lines.lines)
        stopped = lines.wait_for(STOP, 8)
        self.assertIsNotNone(stopped, lines.lines)
        # Every slot came while the file system hung, until the grace had passed.
        refreshes = self.refreshes()
        self.assertTrue(all(b - a < 1.2 for a, b in zip(refreshes, refreshes[1:])), refreshes)
        self.assertGreater(refreshes[-1], stopped - 1.3, refreshes)
        self.assertGreater(stopped - hung, 2, (hung, stopped))
        # A deliberate stop disarms at once, although the look-up still waits.
        process.send_signal(signal.SIGTERM)
        self.assertIsNotNone(lines.wait_for("WDT0 has already been disabled!", 1), lines.lines)
        self.assertEqual(self.box.calls()[-1], ("DisableWDT0",))
        server.close()  # the look-up is answered at last (with an error), and the tool ends
        self.assertEqual(process.wait(timeout=10), 0)
        self.assertEqual(said_in_loop(lines)[0], f"WDT0: --heartbeat={alive}: the file system has not answered for 1 "
                                                 "second: no news from it meanwhile.")

    def test_a_file_whose_look_ups_fail_now_and_then_brings_no_news(self):
        server, alive = self.mount()
        server.mtime = time.time() - 3600  # an old file, never touched again
        server.flapping = True
        process, lines = self.start(["W0", "T5", "L1", f"--heartbeat={alive}", "--grace=3"])
        self.assertIsNotNone(lines.wait_for(STOP, 8), lines.lines)
        time.sleep(2)
        process.kill()
        process.wait()
        said = said_in_loop(lines)
        self.assertEqual(said[0], f"WDT0: --heartbeat={alive} cannot be read: Input/output error: no news from it until it can.")
        self.assertRegex(said[1], rf"^WDT0: no news from --heartbeat={alive} for \d seconds: {STOP}$")
        self.assertEqual(len(said), 2, said)

    def test_the_search_for_a_holder_never_waits_on_a_file_system(self):
        # The kernel driver library's search for the process that holds a device, run for a file on
        # a file system that stopped answering, which a process holds open: a stat of it would hang.
        server, alive = self.mount()
        holder = subprocess.Popen([sys.executable, "-c", f"f = open({alive!r}); import time; time.sleep(60)"])
        self.addCleanup(holder.wait)
        self.addCleanup(server.close)  # before the wait: the holder's close waits for an answer
        self.addCleanup(holder.kill)
        time.sleep(0.5)
        server.answering = False
        found = subprocess.run([os.path.join(BUILD_DIR, "test_helpers", "find_holder"), alive], capture_output=True,
                               text=True, timeout=5)
        self.assertEqual(found.stdout, f"{holder.pid} python3\n")


if __name__ == "__main__":
    unittest.main()
