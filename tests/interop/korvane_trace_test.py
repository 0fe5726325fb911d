"""Korvane as slave (headless) with --trace, answering a pymodbus client in RTU
and ASCII: the trace holds the header, the client's requests as received rows
that check, Korvane's replies as written rows with their response times, the
device and function of each as sent, and exactly as many replies as the
client got. The RTU trace is a file read after SIGTERM, the ASCII trace a FIFO
drained once Korvane has ended."""

import csv
import io
import os
import select
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import interop_support as support  # noqa: E402

COM = 4
ADDRESSES = (17, 42, 3, 4, 5)  # slot 1 answers device 17, slot 2 device 42
HEADER = "time_us,dir,device,function,bytes,check,response_us,summary,hex"

# (client method, arguments, device, function, request body after the function byte)
REQUESTS = [
    ("read_holding_registers", (0, 10), 17, 3, [0x00, 0x00, 0x00, 0x0A]),
    ("read_coils", (0, 20), 17, 1, [0x00, 0x00, 0x00, 0x14]),
    ("write_register", (5, 99), 17, 6, [0x00, 0x05, 0x00, 0x63]),
    ("read_input_registers", (0, 4), 42, 4, [0x00, 0x00, 0x00, 0x04]),
    # Nobody is device 99: no reply.
    ("read_holding_registers", (0, 2), 99, 3, [0x00, 0x00, 0x00, 0x02]),
    ("write_registers", (10, [1, 2, 3]), 17, 16,
     [0x00, 0x0A, 0x00, 0x03, 0x06, 0x00, 0x01, 0x00, 0x02, 0x00, 0x03]),
    ("read_discrete_inputs", (0, 8), 42, 2, [0x00, 0x00, 0x00, 0x08]),
]


def crc16(data):
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return bytes([crc & 0xFF, crc >> 8])


def rtu_frame(body):
    return bytes(body) + crc16(body)


def ascii_frame(body):
    lrc = (-sum(body)) & 0xFF
    return (":" + "".join("%02X" % b for b in body + [lrc]) + "\r\n").encode("ascii")


def drain_fifo(fd, timeout=support.STOP_TIMEOUT):
    """Everything the FIFO holds, up to the end of the writer (bounded)."""
    data = b""
    deadline = support.Deadline(timeout)
    while not deadline.passed():
        ready, _, _ = select.select([fd], [], [], min(0.2, deadline.left()))
        if not ready:
            continue
        chunk = os.read(fd, 65536)
        if not chunk:
            break
        data += chunk
    return data


class TraceCase(support.InteropCase):
    RTU = True

    def client(self, device):
        from pymodbus.client import ModbusSerialClient
        from pymodbus.transaction import ModbusAsciiFramer, ModbusRtuFramer
        c = ModbusSerialClient(device, framer=ModbusRtuFramer if self.RTU else ModbusAsciiFramer,
                               baudrate=9600, bytesize=8, parity="N", stopbits=1, timeout=1)
        self.assertTrue(c.connect(), "pymodbus cannot open " + device)
        self.addCleanup(c.close)
        return c

    def exchange(self, device):
        """The requests, in order; the indexes of those that got a reply."""
        c = self.client(device)
        answered = []
        for i, (method, args, unit, _, _) in enumerate(REQUESTS):
            reply = getattr(c, method)(*args, slave=unit)
            if not reply.isError():
                answered.append(i)
        c.close()
        self.assertEqual([REQUESTS[i][2] for i in answered], [17, 17, 17, 42, 17, 42],
                         "the client got the replies of the devices Korvane serves")
        return answered

    def check_trace(self, text, answered, korvane):
        self.assertTrue(text.startswith(HEADER + "\n"), text[:200] + "\n" + korvane.describe())
        rows = list(csv.DictReader(io.StringIO(text)))
        self.assertTrue(text.endswith("\n"), "every line ends")
        # The banner Korvane wrote when the port opened is on the line too.
        self.assertEqual(rows[0]["dir"], "tx")
        self.assertEqual(rows[0]["hex"], support.OPEN_PORT.hex().upper())

        frame = rtu_frame if self.RTU else ascii_frame
        requests = [r for r in rows if r["dir"] == "rx" and r["check"] == "ok"]
        self.assertEqual([(int(r["device"]), int(r["function"])) for r in requests],
                         [(unit, function) for _, _, unit, function, _ in REQUESTS], text)
        for r, (_, _, unit, function, body) in zip(requests, REQUESTS):
            sent = frame([unit, function] + body)
            self.assertEqual(r["hex"], sent.hex().upper())
            self.assertEqual(int(r["bytes"]), len(sent))
            self.assertEqual(r["response_us"], "")

        replies = [r for r in rows if r["dir"] == "tx" and r["check"] == "ok"]
        self.assertEqual(len(replies), len(answered), "as many replies as the client got\n" + text)
        self.assertEqual([(int(r["device"]), int(r["function"])) for r in replies],
                         [(REQUESTS[i][2], REQUESTS[i][3]) for i in answered])
        for r in replies:
            self.assertRegex(r["response_us"], r"^\d+$", "a reply's response time: %r" % r)
        # Each reply follows its request in the trace, and later on the clock.
        for n, i in enumerate(answered):
            request_row = rows.index(requests[i])
            reply_row = rows.index(replies[n])
            self.assertGreater(reply_row, request_row)
            self.assertGreaterEqual(int(replies[n]["time_us"]), int(requests[i]["time_us"]))
        # Nothing else but the banner was written.
        self.assertEqual(len([r for r in rows if r["dir"] == "tx"]), len(answered) + 1)

    def slave_workspace(self):
        return self.workspace("slave.txt", rtu=self.RTU, com=COM, addresses=ADDRESSES,
                              tables={(1, "holding"): list(range(100, 130)),
                                      (2, "inregs"): [7, 8, 9, 10]})


class RtuTraceTest(TraceCase):
    RTU = True

    def test_trace_file_read_after_sigterm(self):
        trace = os.path.join(self.folder, "trace.csv")
        pair = self.pair()
        korvane = self.korvane_on_line(self.slave_workspace(), COM, pair.a, pair.b,
                                       extra=("--trace", trace))
        answered = self.exchange(pair.b)
        self.assertEqual(korvane.stop(), 0, korvane.describe())
        with open(trace, "rb") as f:
            text = f.read().decode("latin-1")
        self.check_trace(text, answered, korvane)


class AsciiTraceTest(TraceCase):
    RTU = False

    def test_trace_through_a_fifo(self):
        fifo = os.path.join(self.folder, "trace.fifo")
        os.mkfifo(fifo)
        # The reader first: Korvane's opening of a FIFO waits for one.
        fd = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        self.addCleanup(os.close, fd)
        pair = self.pair()
        korvane = self.korvane_on_line(self.slave_workspace(), COM, pair.a, pair.b,
                                       extra=("--trace", fifo))
        answered = self.exchange(pair.b)
        self.assertEqual(korvane.stop(), 0, korvane.describe())
        text = drain_fifo(fd).decode("latin-1")
        self.check_trace(text, answered, korvane)


if __name__ == "__main__":
    support.main()
