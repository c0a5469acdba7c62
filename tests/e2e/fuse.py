"""A small FUSE file system of the tests' own, served from a thread over /dev/fuse with no library:
one folder holding one file, `alive`, whose modification time the test sets (or which is always
the time it is asked), which may be opened, whose look-ups the test can make fail (EIO) or find no
file (ENOENT), or leave unanswered with every other request (a server that stopped answering), and
whose entries and attributes the kernel may keep for a while, as a network or FUSE file system
does. Needs root and /dev/fuse."""
import ctypes
import errno
import os
import select
import struct
import threading
import time

LOOKUP, FORGET, GETATTR, OPEN, RELEASE, FLUSH, INIT, BATCH_FORGET = 1, 2, 3, 14, 18, 25, 26, 42
IN_HEADER = struct.Struct("<IIQQIIII")  # len, opcode, unique, nodeid, uid, gid, pid, padding
OUT_HEADER = struct.Struct("<IiQ")      # len, error, unique
ATTR = struct.Struct("<QQQQQQIIIIIIIIII")
FILE_NODE = 2


def available():
    return os.geteuid() == 0 and os.path.exists("/dev/fuse")


class Server:
    def __init__(self, mountpoint, entry_valid=0, attr_valid=0):
        self.mountpoint = mountpoint
        self.mtime = time.time()  # None: the time of each answer, as a file that another host keeps touching
        self.entry_valid, self.attr_valid = entry_valid, attr_valid  # seconds the kernel may keep them
        self.failing = False    # look-ups and attributes fail with EIO
        self.flapping = 0       # an errno: look-ups fail with it for 1.3 s of every 2.6 s
        self.answering = True   # when not, requests are read and left unanswered
        self.held = []          # the requests left unanswered
        self.fd = os.open("/dev/fuse", os.O_RDWR)
        os.makedirs(mountpoint, exist_ok=True)
        libc = ctypes.CDLL(None, use_errno=True)
        options = f"fd={self.fd},rootmode=40000,user_id=0,group_id=0,allow_other".encode()
        if libc.mount(b"wdtfuse", mountpoint.encode(), b"fuse.wdtfuse", 0, options) != 0:
            os.close(self.fd)
            raise OSError(ctypes.get_errno(), "mount of the test's FUSE file system")
        self.running = True
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def attributes(self, node):
        now = time.time() if self.mtime is None else self.mtime
        mtime = int(now)
        nanoseconds = int((now - mtime) * 1e9)
        mode = 0o40755 if node == 1 else 0o100644
        return ATTR.pack(node, 0, 0, mtime, mtime, mtime, 0, nanoseconds, 0, mode, 1, 0, 0, 0, 4096, 0)

    def reply(self, unique, error=0, body=b""):
        os.write(self.fd, OUT_HEADER.pack(OUT_HEADER.size + len(body), -error, unique) + body)

    def answer(self, opcode, unique, node, payload):
        if opcode == INIT:
            major, minor, readahead, flags = struct.unpack_from("<IIII", payload)
            self.reply(unique, body=struct.pack("<IIIIHHIIHHI7I", 7, 31, readahead, 0, 16, 12, 65536, 1, 0, 0, 0,
                                                *[0] * 7))
        elif opcode in (FORGET, BATCH_FORGET):
            pass
        elif opcode == LOOKUP and node == 1:
            name = payload.split(b"\0")[0]
            if name != b"alive":
                self.reply(unique, errno.ENOENT)
            elif self.failing:
                self.reply(unique, errno.EIO)
            elif self.flapping and int(time.monotonic() / 1.3) % 2 == 1:
                self.reply(unique, self.flapping)
            else:  # by default nothing is cached: every look-up reaches the server
                self.reply(unique, body=struct.pack("<QQQQII", FILE_NODE, 0, self.entry_valid, self.attr_valid, 0, 0) +
                           self.attributes(FILE_NODE))
        elif opcode == GETATTR:
            if self.failing and node == FILE_NODE:
                self.reply(unique, errno.EIO)
            else:
                self.reply(unique, body=struct.pack("<QII", self.attr_valid, 0, 0) + self.attributes(node))
        elif opcode == OPEN:
            self.reply(unique, body=struct.pack("<QII", 1, 0, 0))
        elif opcode in (RELEASE, FLUSH):
            self.reply(unique)
        else:
            self.reply(unique, errno.ENOSYS)

    def serve(self):
        while self.running:
            if not select.select([self.fd], [], [], 0.1)[0]:
                continue
            try:
                request = os.read(self.fd, 1 << 20)
            except OSError:
                return
            length, opcode, unique, node, *_ = IN_HEADER.unpack_from(request)
            payload = request[IN_HEADER.size:length]
            if opcode != INIT and not self.answering:
                self.held.append((opcode, unique, node, payload))
            else:
                self.answer(opcode, unique, node, payload)

    def close(self):
        """Stops serving: closing the device aborts the connection, which ends every request left
        unanswered; then the file system is unmounted."""
        if not self.running:
            return
        self.running = False
        self.thread.join()
        os.close(self.fd)
        ctypes.CDLL(None).umount2(self.mountpoint.encode(), 2)  # MNT_DETACH
