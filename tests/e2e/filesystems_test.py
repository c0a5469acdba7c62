"""File systems that stop answering, answer now and then, or keep what they answered for a while,
as network and FUSE file systems do, served by a FUSE file system of the tests' own: a heartbeat on
one that hangs never holds up the loop, another heartbeat, a stop or the next start; a look-up that
fails or finds no file is no news, and neither is the same old time after it; cached attributes
never hide news; and a status never waits on a file system that a process holds a file of."""
import errno
import os
import re
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
    def mount(self, name="mnt", **caching):
        server = fuse.Server(os.path.join(self.box.root, name), **caching)
        self.addCleanup(server.close)
        self.servers = getattr(self, "servers", []) + [server]
        return server, os.path.join(server.mountpoint, "alive")

    def start(self, args):
        process = self.box.start(args)
        self.addCleanup(process.stdout.close)
        self.addCleanup(process.kill)
        # First of all, when a test ends early: a process whose look-up the file system holds lets
        # go of its output only once the file system does.
        for server in getattr(self, "servers", []):
            self.addCleanup(server.close)
        lines = Lines(process)
        self.assertIsNotNone(lines.wait_for("Entering endless loop", 10), lines.lines)
        return process, lines

    def refreshes(self):
        return [at / 1000 for at, entry, *_ in self.box.journal() if entry == "ResetWDT0"]

    def test_a_file_system_that_stops_answering_holds_up_neither_the_loop_nor_another_file_nor_a_restart(self):
        server, alive = self.mount()
        beating = threading.Event()

        def beat():
            while not beating.wait(0.3):
                server.mtime = time.time()
        threading.Thread(target=beat, daemon=True).start()
        self.addCleanup(beating.set)
        # Beside it, a file on a file system that keeps entries for an hour and attributes for a
        # second, whose time is always now (another host keeps touching it): news at every slot.
        touched_elsewhere, cached = self.mount("cached", entry_valid=3600, attr_valid=1)
        touched_elsewhere.mtime = None
        args = ["--service", "W0", "T5", "L1", f"--heartbeat={alive}", f"--heartbeat={cached}", "--grace=3"]
        process, lines = self.start(args)
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
        # A deliberate stop disarms at once, although the look-up still waits, and lets go of all a
        # next start needs: the same service started again arms at once, while the first process
        # cannot end until the file system lets its look-up go.
        process.send_signal(signal.SIGTERM)
        self.assertIsNotNone(lines.wait_for("WDT0 has already been disabled!", 1), lines.lines)
        self.assertEqual(self.box.calls()[-1], ("DisableWDT0",))
        restarted = time.time()
        again, again_lines = self.start(args)
        armed = again_lines.wait_for("System will be reset after 5 seconds.", 3)
        self.assertIsNotNone(armed, again_lines.lines)
        self.assertLess(armed - restarted, 3)
        self.assertEqual(self.box.calls()[-2:], [("DisableWDT0",), ("SetWDT0", 5000, 208)])
        self.assertIsNone(process.poll())
        again.send_signal(signal.SIGTERM)
        self.assertIsNotNone(again_lines.wait_for("WDT0 has already been disabled!", 1), again_lines.lines)
        server.close()  # the look-ups are answered at last (with an error), and both processes end
        self.assertEqual(process.wait(timeout=10), 0)
        self.assertEqual(again.wait(timeout=10), 0)
        # Only the file system that hung was said, and blamed.
        said = said_in_loop(lines)
        self.assertEqual(said[0], f"WDT0: --heartbeat={alive}: the file system has not answered for 1 second: no news "
                                  "from it meanwhile.")
        self.assertRegex(said[1], rf"^WDT0: no news from --heartbeat={alive} for \d seconds: {STOP}$")
        self.assertEqual(said[2:], ["WDT0 has already been disabled!"])

    def test_a_file_that_fails_or_goes_now_and_then_brings_no_news(self):
        # Old files, never touched again, whose look-ups fail (EIO), or find no file, now and then.
        files = []
        for name, error in (("failing", errno.EIO), ("going", errno.ENOENT)):
            server, alive = self.mount(name)
            server.mtime = time.time() - 3600
            server.flapping = error
            files.append(alive)
        failing, going = files
        process, lines = self.start(["W0", "T5", "L1", f"--heartbeat={failing}", f"--heartbeat={going}", "--grace=3"])
        give_up = time.time() + 10
        while len([line for line in said_in_loop(lines) if STOP in line]) < 2 and time.time() < give_up:
            time.sleep(0.1)
        time.sleep(2)
        process.kill()
        process.wait()
        said = said_in_loop(lines)
        self.assertEqual(len(said), 4, said)
        self.assertIn(f"WDT0: --heartbeat={failing} cannot be read: Input/output error: no news from it until it can.", said)
        self.assertIn(f"WDT0: --heartbeat={going} does not exist: no news from it until it does.", said)
        for alive in files:
            self.assertEqual(len([line for line in said if re.match(rf"^WDT0: no news from --heartbeat={alive} for \d seconds: "
                                                                      rf"{re.escape(STOP)}$", line)]), 1, said)

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
