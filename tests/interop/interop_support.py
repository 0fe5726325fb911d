"""Shared pieces of the interoperability tests: virtual serial pairs, the
programs under test and their peers as child processes, and register files.

Every child is started by a test and stopped by it (addCleanup), every wait
has a deadline and looks for a condition (a line of output, a link on disk,
bytes on the line); nothing relies on a fixed pause.
"""

import os
import queue
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

PYTHON = "/usr/bin/python3"
HERE = os.path.dirname(os.path.abspath(__file__))

# Set by CMake (add_test ENVIRONMENT); a run by hand falls back to the dev build.
_DEV = os.path.join(os.path.dirname(os.path.dirname(HERE)), "build", "dev")
KORVANE = os.environ.get("KORVANE_EXE", os.path.join(_DEV, "korvane"))
LIBMODBUS_SERVER = os.environ.get(
    "KORVANE_LIBMODBUS_SERVER", os.path.join(_DEV, "tests", "interop", "libmodbus_server"))
if not os.access(LIBMODBUS_SERVER, os.X_OK):
    LIBMODBUS_SERVER = ""

# The nine characters Korvane writes each time it opens its port.
OPEN_PORT = b"Open Port"

# Generous bounds: a loaded machine may be slow, a passing run never waits
# this long.
START_TIMEOUT = 15.0
POLL_TIMEOUT = 15.0
STOP_TIMEOUT = 20.0


class Deadline:
    def __init__(self, seconds):
        self.end = time.monotonic() + seconds

    def left(self):
        return max(0.0, self.end - time.monotonic())

    def passed(self):
        return time.monotonic() >= self.end


class LineReader:
    """Collects the lines of a child's stream on a thread; tests wait for a
    line matching a pattern."""

    def __init__(self, stream, name):
        self.name = name
        self.lines = []
        self._queue = queue.Queue()
        self._thread = threading.Thread(target=self._run, args=(stream,), daemon=True)
        self._thread.start()

    def _run(self, stream):
        for raw in iter(stream.readline, b""):
            self._queue.put(raw.decode("latin-1").rstrip("\r\n"))
        self._queue.put(None)

    def _drain(self, timeout):
        try:
            item = self._queue.get(timeout=timeout)
        except queue.Empty:
            return True
        if item is None:
            self._queue.put(None)  # keep the end mark for later waits
            return False
        self.lines.append(item)
        return True

    def wait_for(self, pattern, timeout, after=0):
        """The first line at index >= after matching `pattern` (a regex, whole
        line); None when the deadline passes or the stream ends first."""
        rx = re.compile(pattern)
        deadline = Deadline(timeout)
        checked = after
        while True:
            for i in range(checked, len(self.lines)):
                if rx.fullmatch(self.lines[i]):
                    return self.lines[i]
            checked = max(checked, len(self.lines))
            if deadline.passed():
                return None
            if not self._drain(min(0.2, deadline.left()) or 0.01):
                # stream ended: only what is already there counts
                for i in range(checked, len(self.lines)):
                    if rx.fullmatch(self.lines[i]):
                        return self.lines[i]
                return None

    def finish(self, timeout=5.0):
        self._thread.join(timeout)
        while True:
            try:
                item = self._queue.get_nowait()
            except queue.Empty:
                break
            if item is not None:
                self.lines.append(item)

    def text(self):
        return "\n".join(self.lines)


def stop_process(proc, sig=signal.SIGTERM, timeout=STOP_TIMEOUT):
    """Ends one child by its id: `sig`, a bounded wait, then SIGKILL.
    Returns the exit status."""
    if proc.poll() is None:
        try:
            proc.send_signal(sig)
        except ProcessLookupError:
            pass
        try:
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(5)
    return proc.returncode


class Child:
    """A child process whose stdout and stderr are read line by line."""

    def __init__(self, argv, name, env=None):
        self.name = name
        self.argv = argv
        self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env=env)
        self.out = LineReader(self.proc.stdout, name + " stdout")
        self.err = LineReader(self.proc.stderr, name + " stderr")
        self.returncode = None

    def stop(self, sig=signal.SIGTERM, timeout=STOP_TIMEOUT):
        if self.returncode is None:
            self.returncode = stop_process(self.proc, sig, timeout)
            self.out.finish()
            self.err.finish()
            self.proc.stdout.close()
            self.proc.stderr.close()
        return self.returncode

    def describe(self):
        return "%s (%s)\n--- stdout ---\n%s\n--- stderr ---\n%s" % (
            self.name, " ".join(self.argv), self.out.text(), self.err.text())


class SerialPair:
    """Two linked pseudo-terminals made by socat: bytes written to one end
    come out of the other."""

    def __init__(self, folder, name="pair"):
        self.a = os.path.join(folder, name + "-a")
        self.b = os.path.join(folder, name + "-b")
        self.socat = Child(["socat", "-d", "-d",
                            "pty,raw,echo=0,link=" + self.a,
                            "pty,raw,echo=0,link=" + self.b], "socat")
        line = self.socat.err.wait_for(r".*starting data transfer loop.*", START_TIMEOUT)
        if line is None or not (os.path.exists(self.a) and os.path.exists(self.b)):
            desc = self.socat.describe()
            self.socat.stop()
            raise RuntimeError("socat made no serial pair:\n" + desc)

    def close(self):
        self.socat.stop()


class LineWatcher:
    """Holds one end of a pair open and collects what arrives. Open it before
    starting the program that writes: opening a port empties its input."""

    def __init__(self, device):
        import serial  # python3-serial
        self.port = serial.Serial(device, 9600, timeout=0.2)
        self.got = b""

    def wait_for(self, expected, timeout=START_TIMEOUT):
        deadline = Deadline(timeout)
        while expected not in self.got and not deadline.passed():
            self.got += self.port.read(64)
        return expected in self.got

    def close(self):
        self.port.close()


class Korvane(Child):
    """Korvane headless, with its COM port mapped to a device."""

    def __init__(self, folder, workspace, com, device, name="korvane", extra=(), program=KORVANE):
        self.saved = os.path.join(folder, name + "-saved.txt")
        argv = [program, workspace, "--open", "--headless", "--save-on-exit", self.saved,
                "--port", "%d=%s" % (com, device)] + list(extra)
        env = {k: v for k, v in os.environ.items() if not k.startswith("KORVANE_COM")}
        super().__init__(argv, name, env)

    def wait_status(self, pattern, timeout=POLL_TIMEOUT):
        return self.out.wait_for(pattern, timeout)

    def stop_and_load(self, test):
        """SIGTERM, exit status 0, and the workspace it saved."""
        status = self.stop()
        test.assertEqual(status, 0, self.describe())
        test.assertTrue(os.path.exists(self.saved), "no saved workspace\n" + self.describe())
        with open(self.saved, "rb") as f:
            return parse_register_file(f.read().decode("latin-1"))


# ---- raw frames ----------------------------------------------------------

def crc16(body):
    """The two CRC bytes of an RTU frame, as they follow its body on the line
    (low byte of the register first); worked out bit by bit."""
    crc = 0xFFFF
    for b in body:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return bytes([crc & 0xFF, crc >> 8])


def rtu(*body):
    """An RTU frame of the given bytes and their CRC."""
    return bytes(body) + crc16(bytes(body))


def lrc(body):
    return (-sum(body)) & 0xFF


def ascii_frame(*body):
    """An ASCII frame of the given bytes: ":", digits, LRC, CR LF."""
    return (":" + (bytes(body) + bytes([lrc(body)])).hex().upper() + "\r\n").encode("ascii")


class RawLine:
    """One end of a pair opened by the test itself, to write line traffic
    byte for byte and read what comes back."""

    def __init__(self, device):
        import serial  # python3-serial
        self.port = serial.Serial(device, 9600, timeout=0.05)

    def write(self, data):
        self.port.write(data)
        self.port.flush()

    def read_exactly(self, count, timeout=POLL_TIMEOUT):
        """The next `count` bytes, or fewer if the deadline passes first."""
        deadline = Deadline(timeout)
        got = b""
        while len(got) < count and not deadline.passed():
            got += self.port.read(count - len(got))
        return got

    def close(self):
        self.port.close()


# ---- register files ------------------------------------------------------

KINDS = ("coils", "inputs", "inregs", "holding")
HEADERS = {"coils": ";COILS  ", "inputs": ";INPSTAT", "inregs": ";INPREGS", "holding": ";HOLDREG"}
SIZES = {"coils": 4096, "inputs": 4096, "inregs": 65535, "holding": 65535}
REG_TYPE = {"coils": 0, "inputs": 1, "inregs": 2, "holding": 3}


def register_file_text(master=False, rtu=True, com=1, baud=9600, poll_time=1,
                       addresses=(1, 2, 3, 4, 5), page1=(1, 100, 0, 3), tables=None):
    """A register file with the given settings; page 1 is (start, length,
    display type, register type); `tables` maps (slot, kind) to the values of
    elements 1, 2, ... (a bit table's elements are 16-coil words). Elements
    not given are left out, which leaves them at 0 in a fresh program."""
    lines = ["MASTER" if master else "SLAVE", "RTU" if rtu else "ASCII", str(com), str(baud),
             "8", "N", "1", str(poll_time), "".join("%8d" % a for a in addresses)]
    lines += ["".join("%8d" % v for v in page1)] * 20
    tables = tables or {}
    for slot in range(1, 6):
        for kind in KINDS:
            lines.append(HEADERS[kind])
            values = tables.get((slot, kind), [])
            for i in range(0, len(values), 8):
                lines.append("".join("%8d" % v for v in values[i:i + 8]))
    return "\r\n".join(lines) + "\r\n"


def write_register_file(path, **kwargs):
    with open(path, "wb") as f:
        f.write(register_file_text(**kwargs).encode("latin-1"))
    return path


class RegisterImage:
    def __init__(self):
        self.settings = []
        self.addresses = []
        self.pages = []
        # (slot, kind) -> list with element n at index n (index 0 unused)
        self.tables = {(s, k): [0] * (SIZES[k] + 1) for s in range(1, 6) for k in KINDS}

    def table(self, slot, kind):
        return self.tables[(slot, kind)]

    def bits(self, slot, kind, first, count):
        """Coils or inputs first..first+count-1 (numbered from 1) as 0/1."""
        words = self.tables[(slot, kind)]
        return [(words[(n - 1) // 16 + 1] >> ((n - 1) % 16)) & 1 for n in range(first, first + count)]

    def registers(self, slot, kind, first, count):
        return self.tables[(slot, kind)][first:first + count]


def _fields(line):
    # Eight-character fields, starting at columns 0, 8, ... while the start
    # lies before the line's last character.
    return [int(line[i:i + 8]) for i in range(0, len(line) - 1, 8)]


def parse_register_file(text):
    """Reads a register file as the program does (data lines of 8-wide fields
    under the four headers of each slot)."""
    img = RegisterImage()
    lines = text.split("\r\n")
    if lines and lines[-1] == "":
        lines.pop()
    img.settings = [l.strip() for l in lines[:8]]
    img.addresses = _fields(lines[8])[:5]
    img.pages = [_fields(l)[:4] for l in lines[9:29]]
    slot, kind, index = 0, None, 1
    for line in lines[29:]:
        if line.startswith(";"):
            head = line[:8]
            if head == HEADERS["coils"]:
                slot, kind, index = slot + 1, "coils", 1
            elif head in HEADERS.values():
                kind = [k for k, h in HEADERS.items() if h == head][0]
                index = 1
            continue
        for v in _fields(line):
            if kind is not None and 1 <= slot <= 5 and index <= SIZES[kind]:
                img.tables[(slot, kind)][index] = v
            index += 1
    return img


def bits_to_words(bits):
    """0/1 values of coils 1, 2, ... packed into 16-coil words (coil 1 is bit 0)."""
    words = [0] * ((len(bits) + 15) // 16)
    for i, b in enumerate(bits):
        if b:
            words[i // 16] |= 1 << (i % 16)
    return words


# ---- test plumbing --------------------------------------------------------

class InteropCase(unittest.TestCase):
    """A temporary folder per test and helpers that stop what they start."""

    def setUp(self):
        if not KORVANE or not os.access(KORVANE, os.X_OK):
            self.fail("KORVANE_EXE does not name the built korvane program: %r" % KORVANE)
        for tool in ("socat",):
            if shutil.which(tool) is None:
                self.skipTest(tool + " is not installed")
        self.folder = tempfile.mkdtemp(prefix="korvane-interop-")
        self.addCleanup(shutil.rmtree, self.folder, True)

    def pair(self, name="pair"):
        p = SerialPair(self.folder, name)
        self.addCleanup(p.close)
        return p

    def korvane(self, workspace_path, com, device, name="korvane", extra=()):
        k = Korvane(self.folder, workspace_path, com, device, name, extra)
        self.addCleanup(k.stop, signal.SIGKILL, 5)
        return k

    def korvane_on_line(self, workspace_path, com, device, far_end, name="korvane", extra=()):
        """Starts Korvane (with the options `extra`) and returns once its
        "Open Port" has come out of `far_end` (the port is open and the
        program is taking bytes)."""
        watcher = LineWatcher(far_end)
        try:
            k = self.korvane(workspace_path, com, device, name, extra)
            if not watcher.wait_for(OPEN_PORT):
                self.fail("Korvane did not open its port\n" + k.describe())
        finally:
            watcher.close()
        return k

    def child(self, argv, name, ready=None):
        """A peer; with `ready`, waits for a stdout line matching it."""
        c = Child(argv, name)
        self.addCleanup(c.stop, signal.SIGTERM, 5)
        if ready is not None and c.out.wait_for(ready, START_TIMEOUT) is None:
            self.fail("peer did not start\n" + c.describe())
        return c

    def workspace(self, name, **kwargs):
        return write_register_file(os.path.join(self.folder, name), **kwargs)

    def assert_status(self, k, pattern, timeout=POLL_TIMEOUT):
        line = k.wait_status(pattern, timeout)
        self.assertIsNotNone(line, "no status line matching %r\n%s" % (pattern, k.describe()))
        return line


def main():
    """Runs the test module's cases and ends with one clear result line."""
    program = unittest.main(exit=False, verbosity=2)
    result = program.result
    bad = len(result.failures) + len(result.errors) + len(result.unexpectedSuccesses)
    name = os.path.basename(sys.argv[0])
    print("%s: %s (%d run, %d failed, %d skipped)" % (
        name, "PASSED" if bad == 0 else "FAILED", result.testsRun, bad, len(result.skipped)),
        flush=True)
    sys.exit(0 if bad == 0 else 1)
