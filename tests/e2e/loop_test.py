"""The keep-alive loop in real time: the tool runs as a process and is stopped from outside."""
import os
import selectors
import time
import unittest

from harness import WINDOWS, SandboxTest, full_pipe, on_the_wire

# How far a refresh may stray from its due time, as seen by this test: the journal is written by the
# driver, the announcement is timed when this test reads it.
TOLERANCE_MS = 250 if WINDOWS else 100


def announcement(timer, period):
    return f"Entering endless loop: Timer for reboot {timer} seconds. Refresh each {period} seconds.\r\n"


class KeepAliveLoop(SandboxTest):
    def run_for(self, args, expected_output, seconds):
        """Starts the tool, waits for its whole expected output on the pipe, lets it run, kills it.
        Answers the time the output was complete, in milliseconds since the epoch."""
        process = self.box.start(args)
        self.addCleanup(process.stdout.close)
        self.addCleanup(process.wait)
        self.addCleanup(process.kill)  # never leave a looping tool behind, even when a check fails
        expected = on_the_wire(expected_output)
        received = b""
        with selectors.DefaultSelector() as selector:
            selector.register(process.stdout, selectors.EVENT_READ)
            give_up = time.monotonic() + 10
            while len(received) < len(expected) and time.monotonic() < give_up:
                if selector.select(timeout=0.1):
                    chunk = os.read(process.stdout.fileno(), 4096)
                    if not chunk:
                        break
                    received += chunk
        announced_ms = time.time() * 1000
        self.assertEqual(received, expected, "the output must arrive while the loop runs")
        time.sleep(seconds)
        process.kill()
        process.wait()
        stopped_ms = time.time() * 1000
        time.sleep(1.5)  # a refresh after the stop would show up by now
        return announced_ms, stopped_ms

    def check_refreshes(self, entry, period_ms, announced_ms, stopped_ms, refreshes):
        times = [e[0] for e in refreshes]
        self.assertTrue(all(e[1:] == (entry,) for e in refreshes), refreshes)
        expected_count = int((stopped_ms - announced_ms) // period_ms)
        self.assertIn(len(times), (expected_count, expected_count + 1), times)
        for k, at in enumerate(times, start=1):
            self.assertAlmostEqual(at - announced_ms, k * period_ms, delta=TOLERANCE_MS)
        self.assertTrue(all(at < stopped_ms for at in times), "no refresh after the process was stopped")

    def test_arm_then_refresh_every_second(self):
        announced, stopped = self.run_for(
            ["W0", "T3", "L1"], "System will be reset after 3 seconds.\n" + announcement(3, 1), 3.5)
        journal = self.box.journal()
        self.assertEqual(journal[0][1:], ("SetWDT0", 3000, 208))
        self.assertLess(journal[0][0], announced)
        self.check_refreshes("ResetWDT0", 1000, announced, stopped, journal[1:])
        self.assertGreaterEqual(len(journal) - 1, 3)

    def test_default_timer_without_arming(self):
        announced, stopped = self.run_for(["W1", "L2"], announcement(5, 2), 2.5)
        journal = self.box.journal()
        self.check_refreshes("ResetWDT1", 2000, announced, stopped, journal)
        self.assertGreaterEqual(len(journal), 1)

    def test_disable_then_loop(self):
        announced, stopped = self.run_for(
            ["W0", "L2", "D"], "WDT0 has already been disabled!\r\n" + announcement(5, 2), 2.5)
        journal = self.box.journal()
        self.assertEqual(journal[0][1:], ("DisableWDT0",))
        self.check_refreshes("ResetWDT0", 2000, announced, stopped, journal[1:])
        self.assertGreaterEqual(len(journal) - 1, 1)

    def test_every_kind_of_entry_in_one_run(self):
        """An arm (two arguments), a disable and the loop's refreshes (none), of watchdog 1, in one
        process: the run that a build which can only be tested slowly (emulated) still affords, so
        timing is not checked here."""
        process = self.box.start(["W1", "T9", "L1", "D"])
        self.addCleanup(process.stdout.close)
        self.addCleanup(process.wait)
        self.addCleanup(process.kill)
        give_up = time.monotonic() + 300
        while self.box.calls().count(("ResetWDT1",)) < 2 and time.monotonic() < give_up and process.poll() is None:
            time.sleep(0.2)
        process.kill()
        process.wait()
        self.assertEqual(process.stdout.read(), on_the_wire(
            "System will be reset after 9 seconds.\nWDT1 has already been disabled!\r\n" + announcement(9, 1)))
        self.assertEqual(self.box.calls()[:4], [("SetWDT1", 9000, 208), ("DisableWDT1",), ("ResetWDT1",), ("ResetWDT1",)])

    def test_a_full_pipe_never_holds_up_the_loop(self):
        read_end, write_end = full_pipe()
        self.addCleanup(os.close, read_end)
        process = self.box.start(["W0", "T5", "L1"], stdout=write_end)
        os.close(write_end)
        self.addCleanup(process.wait)
        self.addCleanup(process.kill)
        give_up = time.monotonic() + 20
        while self.box.calls().count(("ResetWDT0",)) < 3 and time.monotonic() < give_up:
            time.sleep(0.2)
        self.assertEqual(self.box.calls()[:4], [("SetWDT0", 5000, 208)] + [("ResetWDT0",)] * 3)

    def test_loop_survives_its_output_going_away(self):
        read_end, write_end = os.pipe()
        os.close(read_end)  # nobody reads: every write to standard output fails
        process = self.box.start(["W0", "T5", "L1"], stdout=write_end)
        os.close(write_end)
        self.addCleanup(process.wait)
        self.addCleanup(process.kill)
        give_up = time.monotonic() + 15
        while self.box.calls().count(("ResetWDT0",)) < 2 and time.monotonic() < give_up:
            time.sleep(0.2)
        self.assertIsNone(process.poll(), "the tool must go on running")
        self.assertEqual(self.box.calls()[:3], [("SetWDT0", 5000, 208), ("ResetWDT0",), ("ResetWDT0",)])


if __name__ == "__main__":
    unittest.main()
