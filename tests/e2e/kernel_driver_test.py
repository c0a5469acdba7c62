"""The kernel driver library, on this machine, named at things that are not watchdogs: each gets one
line on standard error, the tool says the call could not be done and exits 1, and nothing is changed."""
import os
import stat
import subprocess
import unittest

from harness import KERNEL_DRIVER, SandboxTest


@unittest.skipUnless(KERNEL_DRIVER, "the kernel driver library is built on Linux only")
class NotAWatchdog(SandboxTest):
    driver = KERNEL_DRIVER

    def targets(self):
        """(name, path, a function answering what may not change) for each thing that is no watchdog."""
        data = os.path.join(self.box.root, "important")
        with open(data, "wb") as f:
            f.write(b"important data\n")
        fifo = os.path.join(self.box.root, "fifo")
        os.mkfifo(fifo)
        folder = os.path.join(self.box.root, "folder")
        os.mkdir(folder)
        too_long = os.path.join(self.box.root, "x" * 200, "y" * 200, "z" * 200)
        os.makedirs(os.path.dirname(too_long))
        with open(too_long[:511], "wb") as f:  # what a path cut at the buffer's size would reach
            f.write(b"prefix data\n")

        def content(path):
            def snapshot():
                with open(path, "rb") as f:
                    return os.stat(path).st_mode, f.read()
            return snapshot
        return [
            ("regular file", data, content(data)),
            ("fifo without a reader", fifo, lambda: stat.S_ISFIFO(os.stat(fifo).st_mode)),
            ("/dev/null", "/dev/null", lambda: os.stat("/dev/null").st_rdev),
            ("directory", folder, lambda: os.listdir(folder)),
            ("over-long path", too_long, content(too_long[:511])),
        ]

    def test_each_gets_its_line_and_stays_as_it_was(self):
        commands = [(["W0", "D"], b"WDT0 could not be disabled!\r\n"),
                    (["W0", "T5"], b"WDT0 could not be set!\r\n"),
                    (["W0", "R"], b"WDT0 could not be reset!\r\n")]
        for name, path, snapshot in self.targets():
            for args, output in commands:
                with self.subTest(target=name, args=args):
                    before = snapshot()
                    stdout, code, stderr = self.box.run(args, env={"WDT_DEVICE0": path}, stderr=-1, timeout=10)
                    self.assertEqual((stdout, code), (output, 1))
                    shown = path if len(path) < 512 else path[:64] + "..."
                    reason = ("the path is longer than 511 characters" if len(path) >= 512
                              else "not a watchdog device")
                    self.assertEqual(stderr.decode(), f"WDT.dll: {shown}: {reason}; not touched\n")
                    self.assertEqual(snapshot(), before)

    def test_on_the_journal_problems_carry_their_priority(self):
        # As systemd connects a service: standard output and error on one stream, named in
        # JOURNAL_STREAM. Problems are marked (the journal takes the mark off); a confirmation is not.
        cases = [(["W0", "T5"], {"WDT_DEVICE0": "/dev/null"},
                  b"<4>WDT.dll: /dev/null: not a watchdog device; not touched\n<3>WDT0 could not be set!\r\n"),
                 (["W0", "T600"], {}, b"<3>Time Parameter error!\r\n"),
                 (["W0", "X"], {}, b"")]
        for args, env, output in cases:
            with self.subTest(args=args):
                read_end, write_end = os.pipe()
                status = os.fstat(write_end)
                env = dict(env, JOURNAL_STREAM=f"{status.st_dev}:{status.st_ino}")
                process = subprocess.Popen(self.box.command(args), env=self.box.environment(env), stdout=write_end,
                                           stderr=write_end, stdin=subprocess.DEVNULL)
                os.close(write_end)
                with os.fdopen(read_end, "rb") as stream:
                    self.assertEqual(stream.read(), output)
                process.wait(timeout=10)


if __name__ == "__main__":
    unittest.main()
