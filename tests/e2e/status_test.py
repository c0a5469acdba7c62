"""What an operator asks: is this box protected (the status's first line and its exit status), the
status as JSON that a real parser reads in every state, --help, --version, --verify, and a service
that reads its numbers strictly."""
import json
import os
import signal
import threading
import time
import unittest

from harness import KERNEL_DRIVER, WINDOWS, SandboxTest, on_the_wire, test_driver

KEEP = ["W0", "T5", "L1"]


@unittest.skipIf(WINDOWS, "a service on POSIX")
class Status(SandboxTest):
    def keep(self, args, env=None):
        before = self.box.calls().count(("ResetWDT0",))
        process = self.box.start(args, env=env)
        self.addCleanup(process.kill)
        self.addCleanup(process.stdout.close)
        give_up = time.monotonic() + 20
        while self.box.calls().count(("ResetWDT0",)) <= before and time.monotonic() < give_up:
            time.sleep(0.05)
        return process

    def status(self):
        """The JSON status, parsed, and the text status's first line, with the exit status of each."""
        text, code = self.box.run(["--status", "W0"])
        data, json_code = self.box.run(["--status", "--json", "W0"])
        self.assertEqual(code, json_code)
        self.assertEqual(data.count(b"\n"), 1)
        return json.loads(data), text.decode().split("\n")[0], code

    def test_is_this_box_protected_in_every_state(self):
        # None; a running service of a library that is not the simulated one; then with the
        # simulated one; held back by a guard; stopped; after a drill.
        state, first, code = self.status()
        self.assertEqual((first, code, state["protected"], state["keepalive"]["state"]), ("Protected: no (no keep-alive runs)", 3,
                                                                                           "no", "none"))
        self.assertEqual(state["previous_run"], {"reason": None, "text": None})
        self.fresh(test_driver("without_status"))
        service = self.keep(["--service"] + KEEP + ["--check=true", "--grace=3"])
        state, first, code = self.status()
        self.assertEqual((first, code), ("Protected: yes", 0))
        keepalive = state["keepalive"]
        self.assertEqual((keepalive["state"], keepalive["kind"], keepalive["pid"]), ("running", "service", service.pid))
        self.assertRegex(keepalive["started"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$")
        self.assertEqual(keepalive["guards"], [{"guard": "--check=true", "healthy": True, "last_news": None}])
        self.assertEqual(state["driver"]["name"], None)  # a vendor's library says nothing of itself
        service.send_signal(signal.SIGTERM)
        service.wait(timeout=10)
        state, first, code = self.status()
        self.assertEqual((first, code, state["keepalive"]["state"]), ("Protected: no (no keep-alive runs: it was stopped)", 3,
                                                                     "stopped"))
        console = self.keep(KEEP + ["--check=true"])  # whose guards' state no record keeps
        self.assertEqual(self.status()[1:], ("Protected: unknown (a loop in a console does not say whether its guards hold "
                                             "the refreshes back)", 4))
        console.kill()
        console.wait()

        self.fresh(self.driver)
        # The silent guard's name begins with a healthy one's, which is not taken for it.
        alive = os.path.join(self.box.root, "alive")
        open(alive, "w").close()
        touching = threading.Event()

        def touch():
            while not touching.wait(0.2):
                os.utime(alive)
        threading.Thread(target=touch, daemon=True).start()
        self.addCleanup(touching.set)
        silent = self.keep(["--service"] + KEEP + [f"--heartbeat={alive}", f"--heartbeat={alive}2", "--grace=2"])
        time.sleep(3.5)
        state, first, code = self.status()
        self.assertEqual(code, 3)
        self.assertTrue(first.startswith(f"Protected: no (guards hold the refreshes back: no news from --heartbeat={alive}2 "
                                         "since "), first)
        healthy, guard = state["keepalive"]["guards"]
        self.assertEqual((state["keepalive"]["state"], healthy["healthy"], guard["healthy"]), ("silent", None, False))
        self.assertRegex(guard["last_news"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$")
        silent.send_signal(signal.SIGTERM)
        silent.wait(timeout=10)
        console = self.keep(KEEP)
        state, first, code = self.status()
        self.assertEqual((first, code), ("Protected: no (the simulated driver drives no hardware)", 3))
        self.assertEqual((state["keepalive"]["kind"], state["keepalive"]["pid"]), ("console", console.pid))
        self.assertEqual(state["driver"]["name"], "simulated (drives no hardware)")
        console.kill()
        console.wait()
        stdout, code = self.box.run(["--drill", "W0", "T1"], timeout=30)
        self.assertEqual(code, 1)
        state, first, code = self.status()
        self.assertEqual((first, code), ("Protected: no (no keep-alive runs)", 3))
        self.assertEqual([(d["timeout_s"], d["result"], d["reset_after_s"]) for d in state["drills"]], [(1, "failed", None)])
        self.assertEqual(state["previous_run"]["reason"], "stop")

    def test_the_json_escapes_every_byte_it_cannot_keep(self):
        self.keep(["--service"] + KEEP + ["--heartbeat=/run/\x01\"\\\udcff"]).send_signal(signal.SIGTERM)
        time.sleep(0.5)
        data, _ = self.box.run(["--status", "--json", "W0"])
        data.decode("utf-8")  # strictly
        state = json.loads(data)
        self.assertEqual(state["keepalive"]["guards"][0]["guard"], "--heartbeat=/run/\\x01\"\\\\xff")

    def test_help_version_verify_and_strict_numbers(self):
        stdout, code = self.box.run(["--help"])
        self.assertEqual(code, 0)
        self.assertTrue(stdout.startswith(b"Usage: "), stdout)
        self.assertEqual(self.box.run(["--version"])[1], 0)
        stdout, code = self.box.run(["--verify"] + KEEP + ["--metrics=" + self.box.root])
        self.assertEqual(code, 0, stdout)
        self.assertIn(b"\nTimeout: 5 s\nRefresh period: 1 s\n", stdout)
        for line, said in ((["W0", "T12O", "L1"], b"Service Parameter error: T12O is not a whole number of seconds"),
                           (["W10", "T5", "L1"], b"Service Parameter error: W10 is not W0 or W1!\r\n"),
                           (["W0", "T5", "L1", "D"], b"Service Parameter error: a service disarms when it is stopped, never with D!")):
            for mode in ("--verify", "--service"):
                stdout, code = self.box.run([mode] + line)
                self.assertEqual(code, 1)
                self.assertTrue(stdout.startswith(said), stdout)
        self.assertEqual(self.box.calls(), [])
        self.assertEqual(self.box.run(["W0", "T5s"]), (on_the_wire("System will be reset after 5 seconds.\n"), 0))
        if KERNEL_DRIVER:
            # Our kernel library, whose device is not there: a service could not arm it.
            self.fresh(KERNEL_DRIVER)
            stdout, code = self.box.run(["--verify"] + KEEP, env={"WDT_DEVICE0": "/nonexistent"})
            self.assertEqual(code, 1)
            self.assertTrue(stdout.endswith(b"Driver library: says nothing of WDT0, so a service could not arm it\n"
                                            b"Verify: a service would not start with this command line; nothing was "
                                            b"touched.\r\n"), stdout)


if __name__ == "__main__":
    unittest.main()
