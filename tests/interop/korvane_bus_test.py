"""Korvane on a virtual multi-drop line (korvane-bus) beside other devices: a
pymodbus master polls Korvane as slave and a pymodbus server at another
address over one line, and a listening node hears every request and reply.
Also the line itself as the tests use it: through its links, with and
without echo."""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import interop_support as support  # noqa: E402
from interop_support import rtu  # noqa: E402
import interop_values  # noqa: E402

COM = 4
NOBODY = 99  # an address no device on the line has
WRITTEN = 4242


def holding(n):
    return (n * 911 + 5) % 65536


def slot2_holding(n):
    return 30000 + n




def read_request(unit, first, count):
    return rtu(unit, 3, first >> 8, first & 0xFF, count >> 8, count & 0xFF)


def read_reply(unit, values):
    return rtu(unit, 3, 2 * len(values), *b"".join(v.to_bytes(2, "big") for v in values))


def write_request(unit, address, value):
    return rtu(unit, 6, address >> 8, address & 0xFF, value >> 8, value & 0xFF)


SERVER_VALUES = interop_values.holding_registers()


def server_frames(unit):
    return [read_request(unit, 0, 10), read_reply(unit, SERVER_VALUES[:10]),
            read_request(unit, 0, 2), read_reply(unit, SERVER_VALUES[:2])]


def korvane_frames(first, second):
    return [read_request(first, 0, 10), read_reply(first, [holding(n) for n in range(1, 11)]),
            read_request(second, 2, 4), read_reply(second, [slot2_holding(n) for n in range(3, 7)]),
            write_request(first, 4, WRITTEN),  # answered by the same bytes
            read_request(first, 4, 2), read_reply(first, [WRITTEN, holding(6)])]


def conversation(unit, first, second):
    """Every frame of the test's exchanges."""
    return server_frames(unit) + korvane_frames(first, second) + [read_request(NOBODY, 0, 1)]


def addresses_on_the_line():
    """The pymodbus server's unit and Korvane's five slot addresses, chosen so that no device's
    address occurs in a frame meant for another one. Both slaves take a byte equal to their
    address as the start of a request (Korvane's slave then swallows what follows for 3 s), as
    slaves on a real line would; the test is about the line, not about that."""
    def absent(a, frames):
        return all(a not in f for f in frames)
    nobody = [read_request(NOBODY, 0, 1)]
    units = {u: server_frames(u) for u in range(7, 248) if u != NOBODY}
    for first in range(17, 248):
        for second in range(first + 1, 248):
            if NOBODY in (first, second):
                continue
            korvane = korvane_frames(first, second)
            for unit, served in units.items():
                if unit in (first, second) or not absent(unit, korvane + nobody):
                    continue
                if not (absent(first, served + nobody) and absent(second, served + nobody)):
                    continue
                frames = served + korvane + nobody
                spare = [a for a in range(second + 1, 248)
                         if a not in (unit, NOBODY) and absent(a, frames)]
                return unit, (first, second) + tuple(spare[:3])
    raise AssertionError("no addresses keep the devices' frames apart")


SERVER_UNIT, KORVANE_ADDRESSES = addresses_on_the_line()


class BusLine(support.InteropCase):

    def open_port(self, device):
        import serial  # python3-serial
        port = serial.Serial(device, 9600, timeout=0.1)
        self.addCleanup(port.close)
        return port

    def read_exactly(self, port, count, timeout=support.START_TIMEOUT):
        deadline = support.Deadline(timeout)
        got = b""
        while len(got) < count and not deadline.passed():
            got += port.read(count - len(got))
        return got

    def test_every_node_hears_the_others_through_its_link(self):
        for echo in (False, True):
            with self.subTest(echo=echo):
                prefix = os.path.join(self.folder, "echo" if echo else "line")
                bus = self.bus(nodes=3, link=prefix, echo=echo)
                self.assertEqual(bus.links, [prefix + str(k) for k in (1, 2, 3)])
                ports = [self.open_port(link) for link in bus.links]
                message = bytes(range(256))
                ports[0].write(message)
                for k in (1, 2):
                    self.assertEqual(self.read_exactly(ports[k], len(message)), message,
                                     "node %d" % (k + 1))
                # The writer hears itself only with echo; node 2's reply shows what came first.
                ports[1].write(b"ok")
                expected = (message if echo else b"") + b"ok"
                self.assertEqual(self.read_exactly(ports[0], len(expected)), expected)
                self.assertEqual(bus.stop(), 0, bus.describe())
                self.assertEqual(bus.counts[1][:2], (256, 2 + (256 if echo else 0)))
                for link in bus.links:
                    self.assertFalse(os.path.lexists(link), link + " left behind")

    def test_a_master_polls_korvane_and_another_slave_on_one_line(self):
        from pymodbus.client import ModbusSerialClient
        from pymodbus.transaction import ModbusRtuFramer

        bus = self.bus(nodes=4)
        ws = self.workspace("slave.txt", rtu=True, com=COM, addresses=KORVANE_ADDRESSES,
                            tables={(1, "holding"): [holding(n) for n in range(1, 41)],
                                    (2, "holding"): [slot2_holding(n) for n in range(1, 9)]})
        korvane = self.korvane_on_line(ws, COM, bus.device(3), bus.device(1))
        self.child([support.PYTHON, os.path.join(support.HERE, "pymodbus_server.py"), bus.device(2),
                    "rtu", str(SERVER_UNIT)], "pymodbus server", ready="ready")
        listener = support.LineWatcher(bus.device(4))
        self.addCleanup(listener.close)

        # A generous time-out for a loaded machine; only the request nobody answers waits it out.
        client = ModbusSerialClient(bus.device(1), framer=ModbusRtuFramer, baudrate=9600,
                                    bytesize=8, parity="N", stopbits=1, timeout=5)
        self.assertTrue(client.connect(), "pymodbus cannot open " + bus.device(1))
        self.addCleanup(client.close)

        def answer(reply, what):
            self.assertFalse(reply.isError(), "%s: %s\n%s" % (what, reply, korvane.describe()))
            return reply.registers

        first, second = KORVANE_ADDRESSES[:2]
        for _ in range(3):
            self.assertEqual(answer(client.read_holding_registers(0, 10, slave=SERVER_UNIT), "pymodbus"),
                             SERVER_VALUES[:10])
            self.assertEqual(answer(client.read_holding_registers(0, 10, slave=first), "Korvane slot 1"),
                             [holding(n) for n in range(1, 11)])
            self.assertEqual(answer(client.read_holding_registers(2, 4, slave=second), "Korvane slot 2"),
                             [slot2_holding(n) for n in range(3, 7)])
        # Nobody answers an address no device has; the next poll works as before.
        self.assertTrue(client.read_holding_registers(0, 1, slave=NOBODY).isError())
        self.assertFalse(client.write_register(4, WRITTEN, slave=first).isError())
        # Two registers: pymodbus's server frames every frame it hears as a request, and a reply
        # shorter than a request (7 bytes) would make it take the first byte of the next one.
        self.assertEqual(answer(client.read_holding_registers(4, 2, slave=first), "read back"),
                         [WRITTEN, holding(6)])
        again = client.read_holding_registers(0, 2, slave=SERVER_UNIT)
        self.assertEqual(answer(again, "pymodbus again"), SERVER_VALUES[:2])

        # The fourth node heard both devices' requests and replies.
        for frame in conversation(SERVER_UNIT, first, second):
            self.assertTrue(listener.wait_for(frame), "node 4 did not hear %s" % frame.hex())

        img = korvane.stop_and_load(self)
        self.assertEqual(img.registers(1, "holding", 5, 1), [WRITTEN])
        self.assertEqual(bus.stop(), 0, bus.describe())
        wrote = {k: bus.counts[k][0] for k in (1, 2, 3, 4)}
        self.assertGreater(wrote[2], 0)
        self.assertEqual(wrote[4], 0)
        # Node 1 (the watcher, then the client) heard everything the slaves wrote. Nodes 2 and 4
        # were opened after Korvane wrote "Open Port": it was dropped for them, nothing else.
        self.assertEqual(bus.counts[1][1:], (wrote[2] + wrote[3], 0, 0))
        for k, others in ((2, wrote[1] + wrote[3]), (4, wrote[1] + wrote[2] + wrote[3])):
            self.assertEqual(bus.counts[k][3], len(support.OPEN_PORT), "node %d" % k)
            self.assertEqual(bus.counts[k][1], others - len(support.OPEN_PORT), "node %d" % k)


if __name__ == "__main__":
    support.main()
