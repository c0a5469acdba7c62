"""One keeper per watchdog, with the real lock: a second command line that would arm or disarm a
kept watchdog is refused and touches nothing; no unprivileged user can hold a keeper back; a typo
refuses the whole line; a start refused after arming is named by the next start; a status that
cannot look says so."""
import os
import re
import shutil
import signal
import subprocess
import sys
import time
import unittest

from harness import PREFIX, WINDOWS, SandboxTest, on_the_wire

ROOT = not WINDOWS and os.geteuid() == 0
STOP = "sc stop wdtctl" if WINDOWS else "systemctl stop wdtctl"
KILL = "taskkill /pid" if WINDOWS else "kill"

# Run as nobody: opens every file below the folder it can, for reading and for writing, and puts
# every kind of lock it can on each (flock shared and exclusive, POSIX and open-file-description
# record locks of both kinds); says how many it holds, then holds them until killed.
HOLDER = r"""
import fcntl, os, struct, sys, time
held = []
for folder, _, names in os.walk(sys.argv[1]):
    for name in names:
        path = os.path.join(folder, name)
        for flags in (os.O_RDONLY, os.O_RDWR):
            try:
                fd = os.open(path, flags | os.O_NONBLOCK)
            except OSError:
                continue
            for lock in (lambda: fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB),
                         lambda: fcntl.flock(fd, fcntl.LOCK_SH | fcntl.LOCK_NB),
                         lambda: fcntl.fcntl(fd, fcntl.F_OFD_SETLK, struct.pack("hhqqi", fcntl.F_WRLCK, 0, 0, 0, 0)),
                         lambda: fcntl.fcntl(fd, fcntl.F_OFD_SETLK, struct.pack("hhqqi", fcntl.F_RDLCK, 0, 0, 0, 0)),
                         lambda: fcntl.lockf(fd, fcntl.LOCK_EX | fcntl.LOCK_NB),
                         lambda: fcntl.lockf(fd, fcntl.LOCK_SH | fcntl.LOCK_NB)):
                try:
                    lock()
                    held.append(path)
                except OSError:
                    pass
print(len(held), sorted(set(held)), flush=True)
time.sleep(600)
"""


class Keepers(SandboxTest):
    LOOP = ["W0", "T60", "L1"]

    def keep(self, args, env=None):
        """Starts a keeper, and waits for its first refresh."""
        before = self.box.calls().count(("ResetWDT0",))
        process = self.box.start(args, env=env)
        self.addCleanup(process.stdout.close)
        self.addCleanup(process.kill)
        give_up = time.monotonic() + 30
        while self.box.calls().count(("ResetWDT0",)) == before and time.monotonic() < give_up:
            time.sleep(0.05)
        self.assertGreater(self.box.calls().count(("ResetWDT0",)), before)
        return process

    def test_commands_beside_a_keeper_are_refused_and_touch_nothing(self):
        kinds = [("console", self.LOOP)] if WINDOWS else [("service", ["--service"] + self.LOOP), ("console", self.LOOP)]
        for kind, args in kinds:
            with self.subTest(keeper=kind):
                self.fresh(self.driver)
                keeper = self.keep(args)
                pid = r"\d+" if WINDOWS else str(keeper.pid)  # under Wine the tool's pid is a Windows one
                if kind == "service":
                    how = re.escape(f"stop it first ({STOP})")
                else:
                    how = re.escape(f"stop it first (Ctrl-C in its console, or {KILL} ") + pid + re.escape(")")
                refused = (r"WDT0: a keep-alive \(" + kind + r", pid \d+\) keeps this watchdog: {} is refused, and "
                           r"nothing was done; " + how + r"\.\r\r?\n")
                for line, what in ((["W0", "D"], "this command line"), (["W0", "T3"], "this command line"),
                                   (["--drill", "W0", "T3"], "this drill")):
                    if WINDOWS and line[0] != "W0":
                        continue
                    before = self.box.calls()
                    stdout, status = self.box.run(line)
                    self.assertEqual(status, 1, stdout)
                    self.assertRegex(stdout.decode(), "^" + refused.format(what) + "$")
                    self.assertNotIn(("DisableWDT0",), self.box.calls())
                    self.assertEqual([c for c in self.box.calls() if c[0] != "ResetWDT0"],
                                     [c for c in before if c[0] != "ResetWDT0"])
                # A refresh goes on beside it, and the other watchdog is free.
                self.assertEqual(self.box.run(["W0", "R"]), (on_the_wire("WDT0 has already been reseted!\r\n"), 0))
                self.assertEqual(self.box.run(["W1", "T5"]), (on_the_wire("System will be reset after 5 seconds.\n"), 0))
                keeper.send_signal(signal.SIGINT if kind == "console" and not WINDOWS else signal.SIGTERM)
                keeper.wait(timeout=10)
                if kind == "console":
                    keeper.kill()
                # Once it has gone, the watchdog is free again.
                self.assertEqual(self.box.run(["W0", "D"]), (on_the_wire("WDT0 has already been disabled!\r\n"), 0))

    def test_near_misses_refuse_the_whole_line_before_the_library_is_loaded(self):
        lines = [["--dril", "W0", "T5"], ["--DRILL", "W0", "T5"], ["-drill", "W0", "T5"], ["\u2014drill", "W0", "T5"],
                 ["--servce", "W0", "T60", "L10"], ["W0", "T60", "L10", "-heartbeat=/x"],
                 ["W0", "T60", "L10", "\u2014heartbeat=/x"], ["W0", "T60", "L10", "heartbeat=/x"],
                 ["--drill", "W0", "30"], ["--drill", "W0", "Y30"], ["--drill", "W0", "T5", "W1"]]
        os.remove(os.path.join(self.box.bin, "WDT.dll"))  # a line that got as far as the library would say so
        for line in lines:
            with self.subTest(line=line):
                stdout, status = self.box.run(line)
                self.assertEqual(status, 1)
                self.assertRegex(stdout, rb"^(Option error: .* is not one of the options \(did you mean --(drill|service|"
                                         rb"heartbeat=PATH), as one argument\?\), and nothing was done!|Drill Parameter "
                                         rb"error: --drill takes one W0 or W1 and at most one T, from a console, and nothing "
                                         rb"else!)\r\r?\n$")
        self.assertEqual(self.box.calls(), [])

    @unittest.skipIf(WINDOWS, "a service on POSIX")
    def test_a_start_refused_after_arming_is_named_by_the_next_start(self):
        for line, env, why in ((["W0", "T5", "L10"], {},
                                "Time Parameter error: time for loop reset must be smaller then timer time!"),
                               (["W0", "T5", "L1"], {"WDT_SIM_FAIL": "SetWDT0"}, "WDT0 could not be set!")):
            with self.subTest(line=line):
                self.fresh(self.driver)
                stopped = self.keep(["--service", "W0", "T5", "L1"])  # a record of a deliberate stop first
                stopped.send_signal(signal.SIGTERM)
                self.assertEqual(stopped.wait(timeout=10), 0)
                stdout, status = self.box.run(["--service"] + line, env=env)
                self.assertEqual(status, 1, stdout)
                process = self.keep(["--service", "W0", "T5", "L1"])
                process.send_signal(signal.SIGTERM)
                process.wait(timeout=10)
                first = process.stdout.readline().decode()
                self.assertRegex(first, r"^WDT0: the previous start \(pid \d+, at [^)]*\) was refused: " + re.escape(why) +
                                 r"\r\n$")

    @unittest.skipUnless(ROOT and shutil.which("setpriv") and shutil.which("unshare"), "root, setpriv and unshare")
    def test_no_unprivileged_user_holds_a_keeper_back_or_is_told_nothing_runs(self):
        os.chmod(self.box.root, 0o755)  # others may look in, as in /run and /var/lib
        first = self.keep(["--service"] + self.LOOP)  # every file of the tool is there now
        first.send_signal(signal.SIGTERM)
        self.assertEqual(first.wait(timeout=10), 0)
        holder = subprocess.Popen(["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", sys.executable, "-c",
                                   HOLDER, self.box.root], stdout=subprocess.PIPE)
        self.addCleanup(holder.wait)
        self.addCleanup(holder.kill)
        held = holder.stdout.readline().decode()
        self.assertNotIn("watchdog0.lock", held)  # it cannot even open the lock
        self.assertRegex(held, r"watchdog0\.record")  # while it holds every lock it can on the record
        keeper = self.keep(["--service"] + self.LOOP)
        self.assertIn(("SetWDT0", 60000, 208), self.box.calls())
        # A status that cannot see the keeper's process (/proc mounted hidepid=2) says so.
        status = subprocess.run(["unshare", "--mount", "--propagation", "private", "sh", "-c",
                                 'mount -t proc -o hidepid=2 proc /proc && exec setpriv --reuid=nobody --regid=nogroup '
                                 '--clear-groups "$@"', "sh"] + self.box.command(["--status", "W0"]),
                                env=self.box.environment(), stdout=subprocess.PIPE, timeout=30)
        self.assertIn(b"\nKeep-alive: cannot be told: run as root\n", status.stdout)
        keeper.send_signal(signal.SIGTERM)
        self.assertEqual(keeper.wait(timeout=10), 0)


if __name__ == "__main__":
    unittest.main()
