"""The Windows executable as a Windows administrator's tools see it: hardened (address space layout
randomisation, high-entropy on 64-bit, no execution of data, terminal-server aware), with version
information and a manifest that runs it with the rights of whoever starts it, takes long paths and
names Windows 8 and later, and importing only system DLLs."""
import struct
import unittest

from harness import BITS, EXE, WINDOWS

DYNAMIC_BASE, NX_COMPAT, HIGH_ENTROPY_VA, TERMINAL_SERVER_AWARE = 0x40, 0x100, 0x20, 0x8000
RT_VERSION, RT_MANIFEST = 16, 24
ALLOWED_IMPORTS = {"kernel32.dll", "advapi32.dll", "msvcrt.dll"}


class Image:
    """Just enough of a PE file: its flags, imported DLLs and resources."""

    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = data = f.read()
        header = struct.unpack_from("<I", data, 0x3C)[0]
        assert data[header:header + 4] == b"PE\0\0", "not a PE file"
        sections, optional_size = struct.unpack_from("<H12xH", data, header + 6)
        optional = header + 24
        self.magic, = struct.unpack_from("<H", data, optional)
        self.flags, = struct.unpack_from("<H", data, optional + 70)
        self.directories = optional + (96 if self.magic == 0x10B else 112)
        self.sections = [struct.unpack_from("<8xIIII", data, optional + optional_size + 40 * i) for i in range(sections)]

    def offset(self, rva):
        for size, address, raw_size, raw in self.sections:
            if address <= rva < address + max(size, raw_size):
                return raw + rva - address
        raise ValueError(f"address {rva:#x} in no section")

    def text(self, offset):
        return self.data[offset:self.data.index(b"\0", offset)].decode("ascii")

    def imports(self):
        rva, _ = struct.unpack_from("<II", self.data, self.directories + 8)
        names, at = [], self.offset(rva)
        while struct.unpack_from("<I", self.data, at + 12)[0] != 0:
            names.append(self.text(self.offset(struct.unpack_from("<I", self.data, at + 12)[0])))
            at += 20
        return names

    def resources(self):
        """{type: bytes of its first resource}."""
        base = self.offset(struct.unpack_from("<I", self.data, self.directories + 16)[0])

        def entries(at):
            named, numbered = struct.unpack_from("<HH", self.data, at + 12)
            return [struct.unpack_from("<II", self.data, at + 16 + 8 * i) for i in range(named + numbered)]

        found = {}
        for kind, below in entries(base):
            node = below
            while node & 0x80000000:  # down through name and language to the first leaf
                node = entries(base + (node & 0x7FFFFFFF))[0][1]
            rva, size = struct.unpack_from("<II", self.data, base + node)
            found[kind] = self.data[self.offset(rva):self.offset(rva) + size]
        return found


@unittest.skipUnless(WINDOWS, "a Windows executable")
class WindowsExecutable(unittest.TestCase):
    def test_hardened_described_and_importing_only_system_dlls(self):
        image = Image(EXE)
        self.assertEqual(image.magic, 0x20B if BITS == 64 else 0x10B)
        wanted = DYNAMIC_BASE | NX_COMPAT | TERMINAL_SERVER_AWARE | (HIGH_ENTROPY_VA if BITS == 64 else 0)
        self.assertEqual(image.flags & wanted, wanted, f"DllCharacteristics {image.flags:#x}")
        self.assertLessEqual({name.lower() for name in image.imports()}, ALLOWED_IMPORTS, image.imports())
        resources = image.resources()
        self.assertIn(RT_VERSION, resources)
        self.assertIn("wdtctl.exe".encode("utf-16-le"), resources[RT_VERSION])
        manifest = resources.get(RT_MANIFEST, b"")
        self.assertIn(b'requestedExecutionLevel level="asInvoker"', manifest)
        self.assertIn(b">true</longPathAware>", manifest)
        self.assertNotIn(b"35138b9a-5d96-4fbd-8e2d-a2440225f93a", manifest)  # Windows 7: not named


if __name__ == "__main__":
    unittest.main()
