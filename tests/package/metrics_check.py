#!/usr/bin/env python3
"""The keep-alive's metrics as Prometheus sees them: Debian's prometheus-node-exporter, with its
textfile collector alone, reads the folder while a service of the distribution's build runs; its
scrape shows the tool's metrics without a scrape error, and promtool accepts it. The alert rules
pass promtool's check and its tests on series of their own.

  metrics_check.py BUILD_DIR    (the distribution's build folder: wdtctl and the simulated WDT.dll)
"""
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def scrape(port):
    give_up = time.monotonic() + 20
    while True:
        try:
            with urllib.request.urlopen(f"http://127.0.0.1:{port}/metrics", timeout=5) as answer:
                return answer.read().decode()
        except OSError:
            if time.monotonic() > give_up:
                raise
            time.sleep(0.2)


def check(condition, what, problems):
    if not condition:
        problems.append(what)


def main():
    build = sys.argv[1]
    problems = []
    for command in (["promtool", "check", "rules", os.path.join(ROOT, "packaging", "wdtctl.rules.yml")],
                    ["promtool", "test", "rules", os.path.join(HERE, "rules_test.yml")]):
        done = subprocess.run(command, capture_output=True, text=True)
        check(done.returncode == 0, f"{' '.join(command[:3])}: {done.stdout}{done.stderr}", problems)

    work = tempfile.mkdtemp(prefix="wdtctl-metrics-")
    folder = os.path.join(work, "textfile")
    os.mkdir(folder, 0o755)
    env = dict(os.environ, STATE_DIRECTORY=work, WDTCTL_RUNTIME_DIRECTORY=work,
               WDT_SIM_JOURNAL=os.path.join(work, "journal.txt"))
    tool = [os.path.join(build, "wdtctl"), "--service", "W0", "T5", "L1", "--check=true", f"--metrics={folder}"]
    service = subprocess.Popen(tool, env=env, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
    port = free_port()
    exporter = subprocess.Popen(["prometheus-node-exporter", f"--web.listen-address=127.0.0.1:{port}",
                                 "--collector.disable-defaults", "--collector.textfile",
                                 f"--collector.textfile.directory={folder}"],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        time.sleep(2.5)
        running = scrape(port)
        for line in ('wdtctl_keepalive_running{watchdog="0"} 1', "node_textfile_scrape_error 0",
                     'wdtctl_guard_healthy{guard="--check=true",watchdog="0"} 1',
                     'wdtctl_previous_run_info{reason="none",watchdog="0"} 1', 'wdtctl_timeout_seconds{watchdog="0"} 5'):
            check(line in running.splitlines(), f"the scrape lacks: {line}", problems)
        check(os.listdir(folder) == ["wdtctl_w0.prom"], f"the folder holds {os.listdir(folder)}", problems)
        with open(os.path.join(folder, "wdtctl_w0.prom"), "rb") as written:
            text = written.read()
        check(text.endswith(b"\n") and b"\r" not in text and not text.startswith(b"\xef\xbb\xbf"),
              "the file is not LF-ended UTF-8 without a byte order mark", problems)
        lint = subprocess.run(["promtool", "check", "metrics"], input=running, capture_output=True, text=True)
        check(lint.returncode == 0, f"promtool check metrics: {lint.stdout}{lint.stderr}", problems)
        service.send_signal(signal.SIGTERM)
        check(service.wait(timeout=10) == 0, "the service did not stop cleanly", problems)
        check('wdtctl_keepalive_running{watchdog="0"} 0' in scrape(port).splitlines(),
              "the scrape after the stop does not say that no keep-alive runs", problems)
        print("metrics: the scrape while the service ran, as node_exporter served it:")
        print("\n".join(line for line in running.splitlines() if line.startswith("wdtctl_")))
    finally:
        for process in (service, exporter):
            process.kill()
            process.wait()
        shutil.rmtree(work, ignore_errors=True)
    for problem in problems:
        print("metrics: " + problem, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
