"""Korvane on a shared, noisy line (korvane-bus) among other devices: a
pymodbus master polls three pymodbus slaves and the five slots of a Korvane
slave in turn while 1% of the bytes on the line are damaged. The Korvane slave
answers every request for its slots that reached the line intact and nothing
else; a second Korvane, listening only and tracing to a file, writes no byte,
keeps the values the other devices returned in its tables and traces every
byte it heard. Then Korvane as master on a line that echoes every byte to its
writer, as a half-duplex adapter does: every poll is "Data OK".

What is "intact" is judged from the bytes the line delivered, as a node of
this test heard them, against the requests the master was asked to send; what
Korvane wrote is counted by the bus itself."""

import csv
import os
import re
import select
import sys
import threading
import time
import tty

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import interop_support as support  # noqa: E402
from interop_support import rtu  # noqa: E402
import interop_values  # noqa: E402

COM = 2
REQUESTS = 2000
CORRUPT = 0.01
FOREIGN = (31, 32, 33)                 # the pymodbus slaves
KORVANE = (41, 42, 43, 44, 45)         # the Korvane slave's five slots
WATCHED = FOREIGN + KORVANE[:2]        # the listener's five slots
ORDER = (31, 41, 32, 42, 33, 43, 44, 45)
FUNCTIONS = (3, 4, 1, 2)
KORVANE_SPAN = 2048                    # registers and coils of the Korvane slave's tables used
# Every frame on this line is at least 8 bytes long: a pymodbus server takes
# any 8 bytes for a request, and a shorter reply would make it swallow the
# first byte of the next request.
MIN_REGISTERS = 2
MIN_BITS = 17




def request_bytes(unit, function, start, count):
    return rtu(unit, function, start >> 8, start & 0xFF, count >> 8, count & 0xFF)


def reply_bytes(unit, function, values):
    if function in (1, 2):
        packed = bytearray((len(values) + 7) // 8)
        for i, v in enumerate(values):
            if v:
                packed[i // 8] |= 1 << (i % 8)
        return rtu(unit, function, len(packed), *packed)
    data = b"".join(v.to_bytes(2, "big") for v in values)
    return rtu(unit, function, len(data), *data)


# ---- what each device holds, by protocol address (from 0) -------------------

def korvane_holding(a):
    return (a * 911 + 5) % 65536


def korvane_input_register(a):
    return (a * 313 + 7) % 65536


def korvane_coil(a):
    return (a * 7 // 3 + a // 5) % 2


def korvane_input(a):
    return 1 if a % 3 == 1 or a % 11 == 0 else 0


KORVANE_TRUTH = {3: korvane_holding, 4: korvane_input_register, 1: korvane_coil, 2: korvane_input}
FOREIGN_TRUTH = {3: interop_values.holding_register, 4: interop_values.input_register,
                 1: interop_values.coil, 2: interop_values.discrete_input}
KIND = {3: "holding", 4: "inregs", 1: "coils", 2: "inputs"}


def truth(unit, function, a):
    if unit in KORVANE:
        return KORVANE_TRUTH[function](a) if a < KORVANE_SPAN + 64 else 0
    return FOREIGN_TRUTH[function](a) if a < interop_values.SIZE else 0


def korvane_tables():
    """The Korvane slave's register file tables: every slot the same."""
    span = KORVANE_SPAN + 64
    tables = {}
    for slot in range(1, 6):
        tables[(slot, "holding")] = [korvane_holding(a) for a in range(span)]
        tables[(slot, "inregs")] = [korvane_input_register(a) for a in range(span)]
        tables[(slot, "coils")] = support.bits_to_words([korvane_coil(a) for a in range(span)])
        tables[(slot, "inputs")] = support.bits_to_words([korvane_input(a) for a in range(span)])
    return tables


def request_plan(count):
    """(unit, function, start, quantity) of each request: every unit in turn,
    every function; a Korvane slot's requests are all different byte strings."""
    plan = []
    for i in range(count):
        unit = ORDER[i % len(ORDER)]
        function = FUNCTIONS[(i // len(ORDER)) % len(FUNCTIONS)]
        bits = function in (1, 2)
        quantity = MIN_BITS + i % 20 if bits else MIN_REGISTERS + i % 7
        if unit in KORVANE:
            start = (i * 37) % KORVANE_SPAN
        else:
            start = (i * 7) % (interop_values.SIZE - quantity)
        plan.append((unit, function, start, quantity))
    return plan


class LineRecorder:
    """A node of the test: every byte the line delivered, in order, read on a
    thread; write() puts bytes on the line."""

    def __init__(self, device):
        self.fd = os.open(device, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        tty.setraw(self.fd)
        self.data = bytearray()
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        poller = select.poll()
        poller.register(self.fd, select.POLLIN)
        while not self._stop.is_set():
            events = poller.poll(50)
            if not events:
                continue
            try:
                got = os.read(self.fd, 4096)
            except BlockingIOError:
                continue  # the bus emptied the queue between the poll and the read
            except OSError:
                return  # the bus has gone
            if not got:
                return
            with self._lock:
                self.data += got

    def write(self, data):
        os.write(self.fd, data)

    def wait_for(self, expected, timeout=support.START_TIMEOUT):
        deadline = support.Deadline(timeout)
        while True:
            with self._lock:
                if expected in self.data:
                    return True
            if deadline.passed():
                return False
            self._stop.wait(0.02)

    def close(self):
        """Stops reading; returns everything read."""
        if not self._stop.is_set():
            self._stop.set()
            self._thread.join(5)
            os.close(self.fd)
        return bytes(self.data)


def holds_open(pid, device):
    """True when process `pid` has `device` open."""
    folder = "/proc/%d/fd" % pid
    try:
        names = os.listdir(folder)
    except OSError:
        return False
    for name in names:
        try:
            if os.readlink(os.path.join(folder, name)) == device:
                return True
        except OSError:
            pass
    return False


def near(got, expected, most=3):
    """Same length, at most `most` bytes different (damaged on the line)."""
    return len(got) == len(expected) and sum(a != b for a, b in zip(got, expected)) <= most


def occurrences(data, frame):
    at = data.find(frame)
    while at >= 0:
        yield at
        at = data.find(frame, at + len(frame))


class SharedLine(support.InteropCase):

    def client(self, device, timeout):
        from pymodbus.client import ModbusSerialClient
        from pymodbus.transaction import ModbusRtuFramer
        # One request per call, never a retry; a failed exchange keeps the port open.
        c = ModbusSerialClient(device, framer=ModbusRtuFramer, baudrate=115200, bytesize=8,
                               parity="N", stopbits=1, timeout=timeout, retries=0,
                               retry_on_empty=False, reset_socket=False)
        self.assertTrue(c.connect(), "pymodbus cannot open " + device)
        self.addCleanup(c.close)
        return c

    @staticmethod
    def set_timeout(c, seconds):
        c.params.timeout = seconds
        if c.socket is not None:
            c.socket.timeout = seconds

    @staticmethod
    def call(c, function, unit, start, quantity):
        read = {3: c.read_holding_registers, 4: c.read_input_registers, 1: c.read_coils,
                2: c.read_discrete_inputs}[function]
        try:
            reply = read(start, quantity, slave=unit)
        except Exception:  # a damaged reply pymodbus cannot decode
            return None
        if reply.isError():
            return None
        values = reply.registers if function in (3, 4) else [int(b) for b in reply.bits[:quantity]]
        return values if len(values) == quantity else None

    def test_korvane_answers_only_intact_requests_and_a_listener_keeps_what_it_hears(self):
        bus = self.bus(nodes=7, corrupt=CORRUPT, seed=11)
        recorder = LineRecorder(bus.device(7))
        self.addCleanup(recorder.close)

        # The listener first, so that it hears everything the others write.
        trace = os.path.join(self.folder, "line.csv")
        listener_ws = self.workspace("listener.txt", com=COM, baud=115200, addresses=WATCHED)
        listener = self.korvane(listener_ws, COM, bus.device(6), "listener",
                                extra=["--listen", "--trace", trace])
        deadline = support.Deadline(support.START_TIMEOUT)
        while not holds_open(listener.proc.pid, bus.device(6)) and not deadline.passed():
            if listener.proc.poll() is not None:
                break
            time.sleep(0.05)
        self.assertTrue(holds_open(listener.proc.pid, bus.device(6)),
                        "the listener did not open its port\n" + listener.describe())

        for node, unit in zip((2, 3, 4), FOREIGN):
            self.child([support.PYTHON, os.path.join(support.HERE, "pymodbus_server.py"),
                        bus.device(node), "rtu", str(unit)], "pymodbus server %d" % unit, ready="ready")
        slave_ws = self.workspace("slave.txt", com=COM, baud=115200, addresses=KORVANE,
                                  tables=korvane_tables())
        slave = self.korvane(slave_ws, COM, bus.device(5), "slave")
        self.assertTrue(recorder.wait_for(support.OPEN_PORT), "the slave did not open its port\n" +
                        slave.describe())

        # Each pymodbus server answers its first request slowly: once each, patiently.
        c = self.client(bus.device(1), timeout=1.0)
        sent = []
        for unit in FOREIGN:
            deadline = support.Deadline(support.START_TIMEOUT)
            while True:
                sent.append((unit, 3, 0, 2))
                if self.call(c, 3, unit, 0, 2) is not None or deadline.passed():
                    break
        self.set_timeout(c, 0.05)

        answered = {}  # (unit, function) -> list of (start, values) the master received
        for unit, function, start, quantity in request_plan(REQUESTS):
            sent.append((unit, function, start, quantity))
            values = self.call(c, function, unit, start, quantity)
            if values is not None:
                answered.setdefault((unit, function), []).append((start, values))
        c.close()

        slave_status = slave.stop()
        listener_img = listener.stop_and_load(self)
        self.assertEqual(slave_status, 0, slave.describe())
        line = recorder.close()
        self.assertEqual(bus.stop(), 0, bus.describe())

        # What the master received from Korvane is what its tables hold.
        korvane_ok = 0
        for (unit, function), replies in answered.items():
            for start, values in replies:
                expected = [truth(unit, function, start + k) for k in range(len(values))]
                self.assertEqual(values, expected, "unit %d function %d from %d" % (unit, function, start))
                korvane_ok += unit in KORVANE

        # Every request for a Korvane slot that the line delivered intact is
        # answered, right after it; Korvane wrote nothing else (the bus counts).
        owed = len(support.OPEN_PORT)
        intact = 0
        for unit, function, start, quantity in sent:
            if unit not in KORVANE:
                continue
            request = request_bytes(unit, function, start, quantity)
            reply = reply_bytes(unit, function,
                                [truth(unit, function, start + k) for k in range(quantity)])
            for at in occurrences(line, request):
                intact += 1
                owed += len(reply)
                after = at + len(request)
                window = range(after, min(after + 256, len(line) - len(reply) + 1))
                self.assertTrue(any(near(line[p:p + len(reply)], reply) for p in window),
                                "no reply to the intact request %s at byte %d" % (request.hex(), at))
        korvane_requests = sum(1 for s in sent if s[0] in KORVANE)
        self.assertGreater(intact, korvane_requests * 0.8, "too few requests came through intact")
        self.assertLess(intact, korvane_requests, "1% of the bytes should have damaged some requests")
        self.assertGreater(korvane_ok, korvane_requests * 0.6)
        self.assertEqual(bus.counts[5][0], owed,
                         "Korvane wrote %d bytes, its answers to the %d intact requests are %d"
                         % (bus.counts[5][0], intact, owed))

        # The listener wrote no byte, and keeps exactly what the devices returned.
        self.assertEqual(bus.counts[6][0], 0, "the listener wrote to the line")
        self.assertGreater(len(answered), 0)
        kept = 0
        for slot, unit in enumerate(WATCHED, 1):
            for function in FUNCTIONS:
                kind = KIND[function]
                span = KORVANE_SPAN + 64 if unit in KORVANE else interop_values.SIZE + 16
                if function in (1, 2):
                    stored = listener_img.bits(slot, kind, 1, span)
                else:
                    stored = listener_img.registers(slot, kind, 1, span)
                for start, values in answered.get((unit, function), []):
                    for k, v in enumerate(values):
                        self.assertEqual(stored[start + k], v, "listener slot %d %s entry %d"
                                         % (slot, kind, start + k + 1))
                        kept += 1
                for a, v in enumerate(stored):
                    if v != 0:
                        self.assertEqual(v, truth(unit, function, a), "listener slot %d %s entry %d holds "
                                         "a value the device never returned" % (slot, kind, a + 1))
        self.assertGreater(kept, 1000)
        seen = [l for l in listener.out.lines if l.startswith("Seen: device ")]
        self.assertGreater(len(seen), REQUESTS // 2, listener.describe()[-2000:])

        # The trace holds every byte the line carried, in order, all received.
        with open(trace, newline="") as f:
            rows = list(csv.DictReader(f))
        self.assertTrue(rows)
        self.assertEqual({r["dir"] for r in rows}, {"rx"})
        traced = bytes.fromhex("".join(r["hex"] for r in rows))
        self.assertEqual(traced, line, "the trace differs from what the line delivered")
        replies = [r for r in rows if r["check"] == "ok" and r["summary"].startswith("Reply:")]
        self.assertGreater(len(replies), REQUESTS // 2)
        print("\n  %d requests for Korvane's slots, %d intact, %d bytes answered; the listener kept "
              "%d values, said %d exchanges; %d frames traced, %d of them good replies"
              % (korvane_requests, intact, owed, kept, len(seen), len(rows), len(replies)), flush=True)

    def test_korvane_master_on_an_echoing_line(self):
        bus = self.bus(nodes=2, echo=True)
        self.child([support.PYTHON, os.path.join(support.HERE, "pymodbus_server.py"), bus.device(2),
                    "rtu", "31"], "pymodbus server", ready="ready")
        # The server's first answer is slow: taken once before Korvane polls.
        warm = LineRecorder(bus.device(1))
        request = request_bytes(31, 3, 0, 10)
        reply = reply_bytes(31, 3, interop_values.holding_registers()[:10])
        deadline = support.Deadline(support.START_TIMEOUT)
        while not deadline.passed() and not warm.wait_for(reply, 1.0):
            warm.write(request)
        self.assertTrue(warm.wait_for(reply, 0), "the pymodbus server did not answer")
        warm.close()

        ws = self.workspace("master.txt", master=True, com=COM, baud=115200, addresses=(31, 2, 3, 4, 5),
                            page1=(1, 10, 0, 3))
        korvane = self.korvane(ws, COM, bus.device(1))
        polls = 4
        self.assert_status(korvane, "Poll %d Data OK" % polls, timeout=polls * 3 + 10)
        img = korvane.stop_and_load(self)
        self.assertEqual(bus.stop(), 0, bus.describe())
        # The status of every poll: "Poll n" while its reply comes in, then
        # "Poll n Data OK". (The echo of "Open Port", before the first poll,
        # is a chunk past the unset reply deadline: "Poll 0 Time Out occurred".)
        statuses = [l for l in korvane.out.lines if l.startswith("Poll ") and not l.startswith("Poll 0")]
        for n in range(1, polls + 1):
            self.assertIn("Poll %d Data OK" % n, statuses, korvane.describe())
        bad = [l for l in statuses if not re.fullmatch(r"Poll \d+( Data OK)?", l)]
        self.assertEqual(bad, [], korvane.describe())
        self.assertEqual(img.registers(1, "holding", 1, 10), interop_values.holding_registers()[:10])
        # The line echoed: Korvane heard its own requests and went on.
        self.assertEqual(bus.counts[1][1], bus.counts[1][0] + bus.counts[2][0])


if __name__ == "__main__":
    support.main()
