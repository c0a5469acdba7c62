"""Guards on a machine set up by someone else: a SIGCHLD ignored and the ending signals blocked by
the parent decide nothing; what a check leaves outside its group is ended, what a repair starts in
a session of its own is not, nor an orphan that comes to the tool as the first process of a PID
namespace; a kernel without the list of a process's children piles up nothing; a user at its
process limit gets no endless grace."""
import os
import re
import signal
import subprocess
import time
import unittest

from guards_test import CHILD, PERIOD, TOLERANCE, Lines, beat_lives, said_in_loop
from harness import WINDOWS, SandboxTest

STOP = "refreshes stop, and the watchdog resets the machine in about 5 seconds!"
AS_ROOT = not WINDOWS and os.geteuid() == 0
PRELOAD = os.environ.get("WDT_PRELOAD") if os.environ.get("WDT_SANITIZE") != "ON" else None


def children_of(pid):
    """The processes whose parent is `pid`, with their states, from every /proc/<pid>/stat."""
    found = {}
    for name in os.listdir("/proc"):
        try:
            with open(f"/proc/{name}/stat") as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
        except (OSError, IndexError, ValueError):
            continue
        if int(fields[1]) == pid:
            found[int(name)] = fields[0]
    return found


def stop_beating(pid_file):
    """Ends the process whose pid the file holds, when it holds one."""
    if os.path.exists(pid_file):
        with open(pid_file) as f:
            pid = f.read().strip()
        if pid:
            subprocess.run(["kill", "-9", pid], stderr=subprocess.DEVNULL)


@unittest.skipIf(WINDOWS, "POSIX processes and signals")
class Unfriendly(SandboxTest):
    """What the machine and whoever started the tool may have set up: nothing of it decides a guard."""

    def start(self, command, env=None, **options):
        process = subprocess.Popen(command, cwd=self.box.root, env=self.box.environment(env), stdout=subprocess.PIPE,
                                   stdin=subprocess.DEVNULL, **options)
        self.addCleanup(process.stdout.close)
        self.addCleanup(process.wait)
        self.addCleanup(process.kill)
        lines = Lines(process)
        self.assertIsNotNone(lines.wait_for("Entering endless loop", 10), lines.lines)
        return process, lines

    def test_a_sigchld_ignored_and_ending_signals_blocked_by_the_parent_change_nothing(self):
        # Whoever started the tool ignored SIGCHLD (children would then be reaped by the kernel
        # unseen) and blocked the signals that end it (a SIGTERM would then wait for ever).
        def unfriendly():
            signal.signal(signal.SIGCHLD, signal.SIG_IGN)
            signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM, signal.SIGINT, signal.SIGHUP})
        process, lines = self.start(self.box.command(["W0", "T5", "L1", "--check=true", "--grace=2"]),
                                    preexec_fn=unfriendly)
        time.sleep(5.5)
        self.assertEqual(said_in_loop(lines), [])
        self.assertGreaterEqual(len([e for e in self.box.calls() if e == ("ResetWDT0",)]), 5)
        process.send_signal(signal.SIGTERM)
        self.assertEqual(process.wait(timeout=5), -signal.SIGTERM)

    def test_what_a_check_leaves_is_ended_and_what_a_repair_starts_in_a_session_of_its_own_is_not(self):
        checks, repairs, daemon = (os.path.join(self.box.root, name) for name in ("checks", "repairs", "daemon.pid"))
        self.addCleanup(stop_beating, daemon)
        # The heartbeat never exists: the repair runs once its grace has passed, and starts the
        # application again as a daemon of its own session, as a script does on a system without a
        # service manager.
        process, lines = self.start(self.box.command([
            "--service", "W0", "T5", "L1", f"--check=setsid -f {CHILD} beat {checks}", "--grace=2",
            f"--heartbeat={self.box.root}/none",
            f"--repair=setsid -f sh -c 'echo $$ >{daemon}; exec {CHILD} beat {repairs}'"]))
        self.assertIsNotNone(lines.wait_for(STOP, 8), lines.lines)
        process.send_signal(signal.SIGTERM)
        self.assertEqual(process.wait(timeout=10), 0)
        ended = time.time()
        time.sleep(0.5)
        seen = beat_lives(checks)
        self.assertGreaterEqual(len(seen), 3, seen)
        for first, last in seen.values():  # each is ended at the slot after its check
            self.assertLess(last - first, 2 * PERIOD + TOLERANCE)
            self.assertLess(last, ended + 0.2)
        self.assertEqual(beat_lives(checks), seen, "a process that left its group outlived the stop")
        (first, last), = beat_lives(repairs).values()
        self.assertLess(first, ended - 2 * PERIOD)
        self.assertGreater(last, ended + 0.3, "the repair's daemon did not outlive the tool")

    @unittest.skipUnless(PRELOAD, "a preloaded library hides the file (not beside the sanitizers)")
    def test_without_the_kernels_list_of_children_nothing_piles_up(self):
        checks = os.path.join(self.box.root, "checks")
        process, lines = self.start(self.box.command([
            "--service", "W0", "T5", "L1", f"--check=setsid -f {CHILD} beat {checks}", "--check=setsid -f true"]),
            env={"LD_PRELOAD": PRELOAD, "WDT_TEST_NO_CHILDREN": "1"})
        time.sleep(5.5)
        # What each check left came back to the tool, and was ended (the beating one) or reaped (the
        # one that ended on its own) at a slot after: what is left at any time is at most each
        # check's process, kept until the next slot, and what it left (the beating one also the one
        # ended at the last slot, until the next), not one more for every slot.
        left = children_of(process.pid)
        process.send_signal(signal.SIGTERM)
        self.assertEqual(process.wait(timeout=10), 0)
        ended = time.time()
        time.sleep(0.5)
        seen = beat_lives(checks)
        self.assertGreaterEqual(len(seen), 4, seen)
        self.assertLessEqual(len(left), 5, left)
        self.assertLessEqual(len([pid for pid, state in left.items() if state != "Z"]), 2, left)
        for first, last in seen.values():
            self.assertLess(last - first, 2 * PERIOD + TOLERANCE)
            self.assertLess(last, ended + 0.2)
        self.assertEqual(said_in_loop(lines), ["WDT0: the kernel lists no process's children here (no "
                                               "/proc/PID/task/TID/children): what checks leave behind is looked for "
                                               "among all processes.", "WDT0 has already been disabled!"])

    @unittest.skipUnless(AS_ROOT, "a PID namespace of its own, and a process put into it, need root")
    def test_as_the_first_process_of_a_pid_namespace_only_what_checks_left_is_ended(self):
        checks, orphan = os.path.join(self.box.root, "checks"), os.path.join(self.box.root, "orphan")
        process, lines = self.start(["unshare", "--pid", "--fork", "--mount-proc", "--kill-child"] + self.box.command(
            ["W0", "T5", "L1", f"--check=setsid -f {CHILD} beat {checks}"]))
        (tool,) = children_of(process.pid)
        # A process put into the namespace from outside starts an orphan there, which comes to the
        # tool, its first process: it was never a check's.
        subprocess.run(["nsenter", f"--target={tool}", "--pid", "--mount", "setsid", "-f", CHILD, "beat", orphan], check=True)
        time.sleep(4.5)
        now = time.time()
        (first, last), = beat_lives(orphan).values()
        self.assertGreater(last, now - 0.5, "an orphan that was never the tool's was ended")
        self.assertLess(first, now - 3.5)
        seen = beat_lives(checks)
        self.assertGreaterEqual(len(seen), 3, seen)
        for first, last in seen.values():
            self.assertLess(last - first, 2 * PERIOD + TOLERANCE)
        self.assertEqual(said_in_loop(lines), [])

    @unittest.skipUnless(AS_ROOT, "a user of its own, at its process limit, needs root")
    def test_a_user_at_its_process_limit_gets_no_endless_grace(self):
        # The tool runs as a user that may have one process, itself: no thread can be made for the
        # heartbeat's look-ups, which is no news, and the grace runs out.
        user = "59999"
        self.assertEqual(subprocess.run(["pgrep", "-U", user], stdout=subprocess.DEVNULL).returncode, 1, "the user runs processes")
        for folder in (self.box.root, self.box.bin):
            os.chmod(folder, 0o755)
        open(self.box.journal_path, "w").close()
        os.chmod(self.box.journal_path, 0o666)
        heartbeat = os.path.join(self.box.root, "alive")
        open(heartbeat, "w").close()
        process, lines = self.start(["prlimit", "--nproc=1:1", "setpriv", f"--reuid={user}", f"--regid={user}",
                                     "--clear-groups"] + self.box.command(
            ["W0", "T5", "L1", f"--heartbeat={heartbeat}", "--grace=3"]))
        self.assertIsNotNone(lines.wait_for(STOP, 8), lines.lines)
        time.sleep(1.5)
        said = said_in_loop(lines)
        self.assertEqual(said[0], f"WDT0: --heartbeat={heartbeat} cannot be read: no thread can be made to look it up: "
                                  "no news from it until it can.")
        self.assertRegex(said[1], rf"^WDT0: no news from --heartbeat={re.escape(heartbeat)} for [34] seconds: {STOP}$")
        self.assertEqual(len(said), 2, said)

    @unittest.skipUnless(AS_ROOT, "a user of its own, at a memory-lock limit, needs root")
    def test_a_memory_lock_limit_just_above_the_tools_size_starts_every_check(self):
        # Locked memory beyond the limit cannot be mapped: at the smallest limit that lets the tool
        # lock itself, what stays locked still leaves a check's start room for its stack.
        user = "59999"
        for folder in (self.box.root, self.box.bin):
            os.chmod(folder, 0o755)
        open(self.box.journal_path, "w").close()
        os.chmod(self.box.journal_path, 0o666)

        def run(limit_kib, grace=""):
            return self.start(["prlimit", f"--memlock={limit_kib * 1024}", "setpriv", f"--reuid={user}", f"--regid={user}",
                               "--clear-groups"] + self.box.command(["W0", "T20", "L1", "--check=true"] + ([grace] if grace else [])))

        def locked_kib(limit_kib):
            process, _ = run(limit_kib)
            time.sleep(0.4)
            with open(f"/proc/{process.pid}/status") as status:
                locked = int(re.search(r"VmLck:\s+(\d+) kB", status.read()).group(1))
            process.kill()
            process.wait()
            return locked

        low, high = 0, locked_kib(8192) + 512  # the smallest limit that lets it lock is above low, at most high
        while high - low > 1:
            middle = (low + high) // 2
            low, high = (low, middle) if locked_kib(middle) > 0 else (middle, high)
        process, lines = run(high, "--grace=2")
        time.sleep(4.5)
        self.assertEqual(said_in_loop(lines), [])
        self.assertGreaterEqual(self.box.calls().count(("ResetWDT0",)), 4)

if __name__ == "__main__":
    unittest.main()
