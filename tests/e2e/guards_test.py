"""Guards of the application in real time: heartbeat files and check commands decide whether the
loop refreshes, and nothing the tool starts outlives it."""
import os
import re
import signal
import threading
import time
import unittest

from harness import BUILD_DIR, SIMULATED, WINDOWS, Sandbox, SandboxTest

CHILD = os.environ.get("WDT_GUARD_CHILD") or os.path.join(BUILD_DIR, "test_helpers", "guard_child")
PERIOD, GRACE = 1, 3
TOLERANCE = 0.5 if WINDOWS else 0.25  # seconds, between what the tool does and when this test sees it
STOP = "refreshes stop, and the watchdog resets the machine in about 5 seconds!"


def as_seen(path):
    """A path as the tool sees it: under Wine, its Windows form."""
    return "Z:" + path.replace("/", "\\") if WINDOWS else path


class Lines:
    """Collects the tool's output lines as they arrive, each with the time it was read."""

    def __init__(self, process):
        self.lines, self.process = [], process
        self.thread = threading.Thread(target=self.read, daemon=True)
        self.thread.start()

    def read(self):
        for raw in self.process.stdout:
            self.lines.append((time.time(), raw.decode("latin-1").rstrip("\r\n")))

    def wait_for(self, text, timeout):
        """The time the first line containing `text` arrived, waiting for it up to `timeout` s."""
        give_up = time.time() + timeout
        while time.time() < give_up:
            for at, line in list(self.lines):
                if text in line:
                    return at
            time.sleep(0.05)
        return None


def said_in_loop(lines):
    """The lines after the loop's announcement."""
    said = [line for _, line in lines.lines]
    return said[[i for i, line in enumerate(said) if line.startswith("Entering endless loop")][0] + 1:]


def beat_lives(path):
    """Each beating process's first and last beat: {id: (first, last)} in seconds since the epoch."""
    seen = {}
    if os.path.exists(path):
        with open(path) as f:
            for line in f:
                fields = line.split()
                if len(fields) == 2:
                    first, _ = seen.get(fields[0], (int(fields[1]) / 1000, 0))
                    seen[fields[0]] = (first, int(fields[1]) / 1000)
    return seen


class Guards(SandboxTest):
    def start(self, box, args):
        process = box.start(["W0", "T5", f"L{PERIOD}", f"--grace={GRACE}"] + args)
        self.addCleanup(process.stdout.close)
        self.addCleanup(process.wait)
        self.addCleanup(process.kill)
        lines = Lines(process)
        announced = lines.wait_for("Entering endless loop", 30)
        self.assertIsNotNone(announced, lines.lines)
        return process, lines, announced

    def refreshes(self, box):
        return [at / 1000 for at, entry, *_ in box.journal() if entry == "ResetWDT0"]

    def test_a_silent_heartbeat_stops_refreshes_until_it_comes_back(self):
        heartbeat = os.path.join(self.box.root, "alive")
        process, lines, _ = self.start(self.box, [f"--heartbeat={as_seen(heartbeat)}"])
        touching = threading.Event()
        touching.set()

        def touch():
            while process.poll() is None:
                if touching.is_set():
                    with open(heartbeat, "a"):
                        os.utime(heartbeat)
                    self.last_touch = time.time()
                time.sleep(0.2)
        time.sleep(0.5)  # the first look-up, at the announcement, finds no file
        threading.Thread(target=touch, daemon=True).start()
        time.sleep(2.5)
        touching.clear()
        stopped = lines.wait_for(STOP, 10)
        self.assertIsNotNone(stopped, lines.lines)
        silent_since = self.last_touch
        time.sleep(1.5)
        touching.set()
        resumed = lines.wait_for("again: refreshes go on.", 5)
        self.assertIsNotNone(resumed, lines.lines)
        time.sleep(2.5)
        process.kill()
        process.wait()
        # Refreshes stop once a look-up read a grace after the last news finds none (each look-up is
        # asked for at a slot and taken in at the next), and go on with the news.
        self.assertGreater(stopped - silent_since, GRACE - TOLERANCE)
        self.assertLess(stopped - silent_since, GRACE + 2 * PERIOD + TOLERANCE)
        refreshes = self.refreshes(self.box)
        self.assertEqual([t for t in refreshes if stopped + TOLERANCE < t < resumed - TOLERANCE], [], refreshes)
        self.assertGreaterEqual(len([t for t in refreshes if t > resumed]), 2, refreshes)
        # The file is made only once the loop runs: at the start it does not exist, which is said at once.
        said = said_in_loop(lines)
        self.assertEqual(len(said), 3, said)
        self.assertEqual(said.pop(0), f"WDT0: --heartbeat={as_seen(heartbeat)} does not exist: no news from it until it does.")
        # Said with the time since the news was read: a grace and one or two periods.
        self.assertRegex(said[0], rf"^WDT0: no news from --heartbeat={re.escape(as_seen(heartbeat))} for [{GRACE + 1}{GRACE + 2}] "
                                  rf"seconds: {re.escape(STOP)}$")
        self.assertEqual(said[1], f"WDT0: news from --heartbeat={as_seen(heartbeat)} again: refreshes go on.")

    def test_a_hung_check_is_ended_with_its_children_and_the_repair_runs_once(self):
        checks, repairs = os.path.join(self.box.root, "checks"), os.path.join(self.box.root, "repairs")
        child = as_seen(CHILD)
        guards = [f'--check="{child}" hang {as_seen(checks)}', f'--repair="{child}" beat {as_seen(repairs)}']
        # On Linux the service stops by SIGTERM; on Windows a killed tool's jobs end what they hold.
        process, lines, announced = self.start(self.box, guards if WINDOWS else ["--service"] + guards)
        repaired = lines.wait_for("running --repair=", 10)
        stopped = lines.wait_for(STOP, 10)
        self.assertIsNotNone(stopped, lines.lines)
        if WINDOWS:
            process.kill()
        else:
            process.send_signal(signal.SIGTERM)
            self.assertEqual(process.wait(timeout=10), 0)
            self.assertIsNotNone(lines.wait_for("WDT0 has already been disabled!", 5), lines.lines)
        process.wait()
        ended = time.time()
        time.sleep(1)
        # No refresh slot is missed before the grace (and the repair's grace, which a slot that comes
        # late may put off by a period) runs out.
        self.assertAlmostEqual(repaired - announced, GRACE, delta=TOLERANCE)
        self.assertGreater(stopped - repaired, GRACE - TOLERANCE)
        self.assertLess(stopped - repaired, GRACE + PERIOD + TOLERANCE)
        refreshes = [t - announced for t in self.refreshes(self.box)]
        self.assertIn(len(refreshes), (2 * GRACE - 1, 2 * GRACE), refreshes)
        for k, at in enumerate(refreshes, start=1):
            self.assertAlmostEqual(at, k * PERIOD, delta=TOLERANCE)
        # Each hung check's child lived no longer than the grace and a period; the repair ran once,
        # as long; nothing beats once the tool has gone.
        check_beats, repair_beats = beat_lives(checks), beat_lives(repairs)
        self.assertGreaterEqual(len(check_beats), 2, check_beats)
        self.assertEqual(len(repair_beats), 1, repair_beats)
        for first, last in list(check_beats.values()) + list(repair_beats.values()):
            self.assertLess(last - first, GRACE + PERIOD + TOLERANCE)
            self.assertLess(last, ended + 0.2)
        self.assertEqual((beat_lives(checks), beat_lives(repairs)), (check_beats, repair_beats), "beats after the end")

    @unittest.skipUnless(WINDOWS, "a job, and a process that leaves it (on Linux: unfriendly_test)")
    def test_what_a_repair_starts_outside_its_job_outlives_the_tool(self):
        repairs = os.path.join(self.box.root, "repairs")
        process, lines, _ = self.start(self.box, [f"--heartbeat={as_seen(os.path.join(self.box.root, 'none'))}",
                                                  f'--repair="{as_seen(CHILD)}" detach {as_seen(repairs)}'])
        self.assertIsNotNone(lines.wait_for("running --repair=", 10), lines.lines)
        time.sleep(1.5)
        process.kill()
        process.wait()
        ended = time.time()
        time.sleep(1.5)
        (first, last), = beat_lives(repairs).values()
        self.assertLess(first, ended)
        self.assertGreater(last, ended + 1, "what the repair started outside its job did not outlive the tool")

    @unittest.skipUnless(WINDOWS, "Windows reads its arguments from the wide command line")
    def test_a_path_outside_the_code_page_is_found(self):
        # A name that no ANSI code page holds: the tool takes it from the wide command line, and
        # finds the file (Wine decodes its own command line from UTF-8 here).
        heartbeat = os.path.join(self.box.root, "alive-\u65e5\u672c-\u0416")
        with open(heartbeat, "w"):
            pass
        touching = threading.Event()

        def touch():
            while not touching.wait(0.2):
                os.utime(heartbeat)
        threading.Thread(target=touch, daemon=True).start()
        self.addCleanup(touching.set)
        process = self.box.start(["W0", "T5", f"L{PERIOD}", f"--grace={GRACE}", f"--heartbeat={as_seen(heartbeat)}"],
                                 env={"LANG": "C.UTF-8", "LC_ALL": "C.UTF-8"})
        self.addCleanup(process.stdout.close)
        self.addCleanup(process.wait)
        self.addCleanup(process.kill)
        lines = Lines(process)
        self.assertIsNotNone(lines.wait_for("Entering endless loop", 30), lines.lines)
        time.sleep(GRACE + 3 * PERIOD)
        self.assertEqual(said_in_loop(lines), [])
        self.assertGreaterEqual(len(self.refreshes(self.box)), GRACE + 2)

    def test_a_check_brings_news_by_its_exit_status(self):
        child = as_seen(CHILD)
        good, bad = self.box, Sandbox(SIMULATED)
        self.addCleanup(bad.close)
        runs = [self.start(box, [f'--check="{child}" exit {status}']) for box, status in ((good, 0), (bad, 1))]
        time.sleep(GRACE + 3 * PERIOD)
        for process, _, _ in runs:
            process.kill()
            process.wait()
        (_, good_lines, good_start), (_, bad_lines, bad_start) = runs
        self.assertEqual(said_in_loop(good_lines), [])
        self.assertGreaterEqual(len(self.refreshes(good)), GRACE + 2)
        self.assertEqual(said_in_loop(bad_lines), [f'WDT0: no news from --check="{child}" exit 1 for {GRACE} seconds: {STOP}'])
        self.assertEqual(len(self.refreshes(bad)), GRACE - 1)


if __name__ == "__main__":
    unittest.main()
