"""Guards on a machine set up by someone else: a SIGCHLD ignored by the parent decides nothing, a
check that leaves its process group is ended all the same."""
import os
import signal
import subprocess
import time
import unittest

from guards_test import CHILD, PERIOD, TOLERANCE, Lines, beat_lives, said_in_loop
from harness import WINDOWS, SandboxTest


@unittest.skipIf(WINDOWS, "POSIX processes and signals")
class Unfriendly(SandboxTest):
    """What the machine and whoever started the tool may have set up: nothing of it decides a guard."""

    def test_a_sigchld_ignored_by_the_parent_changes_nothing(self):
        # Whoever started the tool ignored SIGCHLD: children would then be reaped by the kernel unseen.
        process = subprocess.Popen(self.box.command(["W0", "T5", "L1", "--check=true", "--grace=2"]), cwd=self.box.root,
                                   env=self.box.environment(), stdout=subprocess.PIPE, stdin=subprocess.DEVNULL,
                                   preexec_fn=lambda: signal.signal(signal.SIGCHLD, signal.SIG_IGN))
        self.addCleanup(process.stdout.close)
        self.addCleanup(process.wait)
        self.addCleanup(process.kill)
        lines = Lines(process)
        self.assertIsNotNone(lines.wait_for("Entering endless loop", 10), lines.lines)
        time.sleep(5.5)
        self.assertEqual(said_in_loop(lines), [])
        self.assertGreaterEqual(len([e for e in self.box.calls() if e == ("ResetWDT0",)]), 5)

    def test_a_check_that_leaves_its_group_is_ended_with_it(self):
        beats = os.path.join(self.box.root, "beats")
        process = self.box.start(["--service", "W0", "T5", "L1", f"--check=setsid -f {CHILD} beat {beats}"])
        self.addCleanup(process.stdout.close)
        self.addCleanup(process.kill)
        time.sleep(4.5)
        process.send_signal(signal.SIGTERM)
        self.assertEqual(process.wait(timeout=10), 0)
        ended = time.time()
        time.sleep(0.5)
        seen = beat_lives(beats)
        self.assertGreaterEqual(len(seen), 3, seen)
        for first, last in seen.values():  # each is ended at the slot after its check
            self.assertLess(last - first, 2 * PERIOD + TOLERANCE)
            self.assertLess(last, ended + 0.2)
        self.assertEqual(beat_lives(beats), seen, "a process that left its group outlived the stop")


if __name__ == "__main__":
    unittest.main()
