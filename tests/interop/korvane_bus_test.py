"""Korvane on a shared, noisy line. As slave (headless): requests to its
devices among other devices' requests and replies, noise and damaged frames,
written byte for byte by the test, then pymodbus and mbpoll asking at once
after a damaged frame. As master: polling a pymodbus server through an
adapter that echoes the request and puts another device's reply in front of
each reply."""

import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import interop_support as support  # noqa: E402
import interop_values as values  # noqa: E402
from interop_support import ascii_frame, rtu  # noqa: E402

COM = 5
ADDRESSES = (17, 42, 3, 4, 5)  # slot 1 is device 17, slot 2 device 42
OTHER = 9  # a device on the line that is not Korvane's


def holding(n):
    return (n * 101 + 7) % 65536


def read_reply(address, first, count):
    """The bytes of Korvane's reply to a read of holding registers first..
    first+count-1 (numbered from 1) of the fixture."""
    body = [address, 3, 2 * count]
    for n in range(first, first + count):
        body += [holding(n) >> 8, holding(n) & 0xFF]
    return body


class SlaveOnASharedLine(support.InteropCase):

    def start_slave(self, rtu_framing):
        ws = self.workspace("slave.txt", rtu=rtu_framing, com=COM, addresses=ADDRESSES,
                            tables={(1, "holding"): [holding(n) for n in range(1, 41)],
                                    (2, "holding"): [holding(n) for n in range(1, 41)]})
        pair = self.pair()
        korvane = self.korvane_on_line(ws, COM, pair.a, pair.b)
        line = support.RawLine(pair.b)
        self.addCleanup(line.close)
        return pair, korvane, line

    def expect(self, line, frame, what):
        got = line.read_exactly(len(frame))
        self.assertEqual(got, frame, what)

    def test_rtu_requests_among_other_traffic(self):
        pair, korvane, line = self.start_slave(True)
        traffic = (
            # Another device is asked and answers; its reply carries a whole
            # write to device 17, which must not be served.
            rtu(OTHER, 3, 0, 0, 0, 4) + rtu(OTHER, 3, 8, *rtu(17, 6, 0, 0, 0, 7))
            # A write to it carries a whole read of device 17.
            + rtu(OTHER, 16, 0, 0, 0, 4, 8, *rtu(17, 3, 0, 0, 0, 1)) + rtu(OTHER, 16, 0, 0, 0, 4)
            # Noise, a request to device 17 whose CRC is damaged, and at once a good one.
            + bytes([0xFF, 0x00, 0x11, 0x10, 0x7E]) + rtu(17, 3, 0, 9, 0, 3)[:-1] + b"\x00"
            + rtu(17, 3, 0, 9, 0, 3))
        line.write(traffic)
        self.expect(line, rtu(*read_reply(17, 10, 3)), "the one reply owed")
        # The next bytes on the line are the reply to the next request: nothing
        # else was answered in between.
        line.write(rtu(42, 3, 0, 0, 0, 2))
        self.expect(line, rtu(*read_reply(42, 1, 2)), "the reply to device 42")

        # Real clients asking right after a damaged frame.
        line.write(rtu(17, 16, 0, 0, 0, 2, 4, 1, 2)[:9])
        line.close()
        from pymodbus.client import ModbusSerialClient
        from pymodbus.transaction import ModbusRtuFramer
        client = ModbusSerialClient(pair.b, framer=ModbusRtuFramer, baudrate=9600, bytesize=8,
                                    parity="N", stopbits=1, timeout=2, retries=0)
        self.assertTrue(client.connect())
        self.addCleanup(client.close)
        r = client.read_holding_registers(4, 3, slave=17)
        self.assertFalse(r.isError(), str(r))
        self.assertEqual(r.registers, [holding(n) for n in range(5, 8)])
        client.close()
        if shutil.which("mbpoll") is not None:
            line = support.RawLine(pair.b)
            line.write(rtu(17, 3, 0, 0, 0, 1)[:-1] + b"\x55")
            line.close()
            run = subprocess.run(["mbpoll", "-m", "rtu", "-b", "9600", "-P", "none", "-a", "42",
                                  "-t", "4", "-r", "3", "-c", "2", "-1", "-o", "2", pair.b],
                                 stdin=subprocess.DEVNULL, capture_output=True, timeout=30)
            out = run.stdout.decode("latin-1")
            self.assertEqual(run.returncode, 0, out + run.stderr.decode("latin-1"))
            self.assertIn("[3]: \t%d" % holding(3), out)

        img = korvane.stop_and_load(self)
        # The write carried inside another device's reply changed nothing.
        self.assertEqual(img.registers(1, "holding", 1, 3), [holding(n) for n in range(1, 4)])

    def test_ascii_request_cut_short(self):
        pair, korvane, line = self.start_slave(False)
        line.write(ascii_frame(OTHER, 3, 0, 0, 0, 1) + b":1103000"
                   + ascii_frame(17, 3, 0, 9, 0, 3))
        self.expect(line, ascii_frame(*read_reply(17, 10, 3)), "the one reply owed")
        line.write(b":11030000")
        line.close()
        from pymodbus.client import ModbusSerialClient
        from pymodbus.transaction import ModbusAsciiFramer
        client = ModbusSerialClient(pair.b, framer=ModbusAsciiFramer, baudrate=9600, bytesize=8,
                                    parity="N", stopbits=1, timeout=2, retries=0)
        self.assertTrue(client.connect())
        self.addCleanup(client.close)
        r = client.read_holding_registers(0, 4, slave=42)
        self.assertFalse(r.isError(), str(r))
        self.assertEqual(r.registers, [holding(n) for n in range(1, 5)])
        client.close()
        self.assertEqual(korvane.stop(), 0, korvane.describe())


class MasterBehindAnEchoingAdapter(support.InteropCase):
    UNIT = 7

    def poll_through_adapter(self, framing, *options):
        to_korvane = self.pair("korvane")
        to_server = self.pair("server")
        self.child([support.PYTHON, os.path.join(support.HERE, "pymodbus_server.py"), to_server.b,
                    framing, str(self.UNIT)], "server", ready=r"ready")
        self.child([support.PYTHON, os.path.join(support.HERE, "echo_adapter.py"), to_korvane.b,
                    to_server.a, framing] + list(options), "adapter", ready=r"ready")
        ws = self.workspace("master-%s.txt" % framing, master=True, rtu=framing == "rtu", com=COM,
                            addresses=(self.UNIT, 2, 3, 4, 5), page1=(1, 20, 0, 3))
        k = self.korvane(ws, COM, to_korvane.a)
        self.assert_status(k, r"Poll [2-9] Data OK")
        img = k.stop_and_load(self)
        self.assertEqual(img.registers(1, "holding", 1, 20), values.holding_registers()[:20])
        self.assertNotIn("Checksum", k.out.text())

    def test_rtu_echo(self):
        self.poll_through_adapter("rtu")

    def test_rtu_echo_and_another_device(self):
        self.poll_through_adapter("rtu", "--other-device")

    def test_ascii_echo_and_another_device(self):
        self.poll_through_adapter("ascii", "--other-device")


if __name__ == "__main__":
    support.main()
