#!/usr/bin/env python3
"""Checks a built wdtctl .deb as an administrator would meet it: what it installs and with which
modes, the link in sbin finding the library beside the real tool, the settings file kept as a
configuration file, and the manual page rendering without a warning.

  check_deb.py <package.deb>
"""
import glob
import os
import subprocess
import sys
import tempfile

# path: mode (None for the link)
EXPECTED = {
    "etc/default/wdtctl": 0o644,
    "lib/systemd/system/wdtctl.service": 0o644,
    "lib/systemd/system/wdtctl-sleep.service": 0o644,
    "usr/lib/wdtctl/WDT.dll": 0o644,
    "usr/lib/wdtctl/wdtctl": 0o755,
    "usr/sbin/wdtctl": None,
    "usr/share/doc/wdtctl/changelog.gz": 0o644,
    "usr/share/doc/wdtctl/copyright": 0o644,
    "usr/share/doc/wdtctl/examples/wdtctl.rules.yml": 0o644,
    "usr/share/man/man8/wdtctl.8.gz": 0o644,
}


def run(*command, **options):
    return subprocess.run(command, capture_output=True, text=True, **options)


def plain_build_refuses():
    """cpack in a build folder that scripts/build_deb.sh did not configure (prefix /usr/local, no
    hardening flags) must make no package, and name the script that does."""
    source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
    with tempfile.TemporaryDirectory() as folder:
        configured = run("cmake", "-S", source, "-B", folder, "-DCMAKE_BUILD_TYPE=Release", "-DWDT_TESTS=OFF")
        packed = run("cpack", "-G", "DEB", cwd=folder)
        made = glob.glob(os.path.join(folder, "*.deb"))
    if configured.returncode != 0:
        return [f"a plain build folder cannot be configured: {configured.stderr.strip()}"]
    if packed.returncode == 0 or made or "scripts/build_deb.sh" not in packed.stdout + packed.stderr:
        return [f"cpack in a plain build folder: status {packed.returncode}, made {made}"]
    return []


def main():
    deb = sys.argv[1]
    problems = []
    with tempfile.TemporaryDirectory() as root:
        subprocess.run(["dpkg-deb", "-x", deb, root], check=True)
        # The record folder is shipped (a read-only /var/lib would not let it be made), root's alone.
        records = os.path.join(root, "var/lib/wdtctl")
        if not os.path.isdir(records) or os.stat(records).st_mode & 0o7777 != 0o755:
            problems.append("no folder /var/lib/wdtctl of mode 755 in the package")
        found = {os.path.relpath(os.path.join(d, f), root) for d, _, files in os.walk(root) for f in files}
        if found != set(EXPECTED):
            problems.append(f"files: extra {sorted(found - set(EXPECTED))}, missing {sorted(set(EXPECTED) - found)}")
        for path, mode in EXPECTED.items():
            full = os.path.join(root, path)
            if mode is None:
                if os.readlink(full) != "../lib/wdtctl/wdtctl":
                    problems.append(f"{path} links to {os.readlink(full)}")
            elif os.path.exists(full) and os.stat(full).st_mode & 0o7777 != mode:
                problems.append(f"{path} has mode {os.stat(full).st_mode & 0o7777:o}, not {mode:o}")
        # Through the link the tool must load the kernel driver library beside the real file, which
        # then refuses a device that is not a watchdog: its line, and the tool's own answer that the
        # arm was not done, show that the library ran and reported to the tool (text mode reads
        # its line end as "\n").
        tool = run(os.path.join(root, "usr/sbin/wdtctl"), "W0", "T5",
                   env={"WDT_DEVICE0": os.path.join(root, "etc/default/wdtctl")})
        if (tool.stdout, tool.returncode) != ("WDT0 could not be set!\n", 1) or \
                "not a watchdog device; not touched" not in tool.stderr:
            problems.append(f"the tool through the link said {tool.stdout!r} {tool.stderr!r}")
        manual = run("man", "--warnings", "-l", os.path.join(root, "usr/share/man/man8/wdtctl.8.gz"),
                     env=dict(os.environ, MANWIDTH="80", MAN_KEEP_FORMATTING="0"))
        if manual.returncode != 0 or manual.stderr or "wdtctl - arm, refresh and disable" not in manual.stdout:
            problems.append(f"the manual page: status {manual.returncode}, {manual.stderr.strip()!r}")
    conffiles = run("dpkg-deb", "--info", deb, "conffiles").stdout
    if conffiles.split() != ["/etc/default/wdtctl"]:
        problems.append(f"configuration files: {conffiles.split()}")
    problems += plain_build_refuses()
    for problem in problems:
        print(f"package: {problem}")
    print(f"package: {deb}: {'ok' if not problems else 'FAILED'}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
