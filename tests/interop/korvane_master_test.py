"""Korvane as master (headless) polling real Modbus servers: a pymodbus serial
server in RTU and ASCII and a libmodbus server in RTU. The status lines
report each poll, the polled values land in the workspace Korvane saves when
it is stopped; an address the server does not have gives its exception in
words, and a silent line gives the time-out."""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import interop_support as support  # noqa: E402
import interop_values as values  # noqa: E402

COM = 4
UNIT = 7

# (table, first element, count): what the master's page 1 shows and polls.
# Counts stay within one ASCII request (64 registers at 9600 baud) so every
# poll reads the whole view.
POLLS = [
    ("holding", 1, 20),
    ("inregs", 11, 30),
    ("coils", 1, 45),
    ("inputs", 3, 60),
]
OUTSIDE = ("holding", 201, 10)  # the servers have 100 registers


class MasterCase(support.InteropCase):

    def master_workspace(self, rtu, table, first, count):
        return self.workspace("master-%s-%d.txt" % (table, first), master=True, rtu=rtu, com=COM,
                              addresses=(UNIT, 2, 3, 4, 5),
                              page1=(first, count, 0, support.REG_TYPE[table]))

    def start_server(self, argv):
        pair = self.pair()
        self.child(argv(pair.b), "server", ready=r"ready")
        return pair

    def check_polls(self, pair, rtu):
        for table, first, count in POLLS:
            with self.subTest(table=table, first=first, count=count):
                k = self.korvane(self.master_workspace(rtu, table, first, count), COM, pair.a)
                self.assert_status(k, r"Poll \d+ Data OK")
                img = k.stop_and_load(self)
                expected = [values.TABLES[table]()[n - 1] for n in range(first, first + count)]
                if table in ("coils", "inputs"):
                    got = img.bits(1, table, first, count)
                else:
                    got = img.registers(1, table, first, count)
                self.assertEqual(got, expected)

    def check_exception(self, pair, rtu):
        table, first, count = OUTSIDE
        k = self.korvane(self.master_workspace(rtu, table, first, count), COM, pair.a)
        self.assert_status(k, r"Poll \d+ EC2 Illegal Data Address")
        self.assertEqual(k.stop(), 0, k.describe())


class PymodbusServerTest(MasterCase):
    def server(self, framing):
        return self.start_server(lambda dev: [support.PYTHON,
                                              os.path.join(support.HERE, "pymodbus_server.py"),
                                              dev, framing, str(UNIT)])

    def test_rtu_polls(self):
        pair = self.server("rtu")
        self.check_polls(pair, True)
        self.check_exception(pair, True)

    def test_ascii_polls(self):
        pair = self.server("ascii")
        self.check_polls(pair, False)
        self.check_exception(pair, False)


class LibmodbusServerTest(MasterCase):
    def test_rtu_polls(self):
        if not support.LIBMODBUS_SERVER:
            self.skipTest("built without libmodbus")
        pair = self.start_server(lambda dev: [support.LIBMODBUS_SERVER, dev, str(UNIT)])
        self.check_polls(pair, True)
        self.check_exception(pair, True)


class SilentLineTest(MasterCase):
    def test_no_reply_is_a_time_out(self):
        # The far end exists but nobody answers on it.
        pair = self.pair()
        for rtu in (True, False):
            with self.subTest(rtu=rtu):
                k = self.korvane(self.master_workspace(rtu, "holding", 1, 10), COM, pair.a)
                self.assert_status(k, r"Poll 1 Time Out occurred")
                img = k.stop_and_load(self)
                self.assertEqual(img.registers(1, "holding", 1, 10), [0] * 10)
                self.assertNotIn("Data OK", k.out.text())


if __name__ == "__main__":
    support.main()
