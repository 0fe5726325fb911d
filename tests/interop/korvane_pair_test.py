"""Korvane as master polling Korvane as slave, in RTU and ASCII framing: the
master's saved workspace holds the slave's loaded values."""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import interop_support as support  # noqa: E402

SLAVE_COM, MASTER_COM = 2, 3
DEVICE = 9  # the slave's slot 3; the master's slot 1


def holding(n):
    return (40000 + n * 977) % 65536


def input_register(n):
    return n * n


COIL_WORDS = [0xBEEF, 0x0102, 0x7FFE, 0x8001]

CASES = [("holding", 1, 64), ("inregs", 40, 25), ("coils", 7, 50)]


class KorvaneAgainstKorvane(support.InteropCase):

    def check(self, rtu):
        pair = self.pair()
        slave_ws = self.workspace(
            "slave.txt", rtu=rtu, com=SLAVE_COM, addresses=(1, 2, DEVICE, 4, 5),
            tables={(3, "holding"): [holding(n) for n in range(1, 101)],
                    (3, "inregs"): [input_register(n) for n in range(1, 101)],
                    (3, "coils"): COIL_WORDS})
        self.korvane_on_line(slave_ws, SLAVE_COM, pair.a, pair.b, name="slave")
        for table, first, count in CASES:
            with self.subTest(table=table):
                master_ws = self.workspace(
                    "master-%s.txt" % table, master=True, rtu=rtu, com=MASTER_COM,
                    addresses=(DEVICE, 2, 3, 4, 5),
                    page1=(first, count, 0, support.REG_TYPE[table]))
                master = self.korvane(master_ws, MASTER_COM, pair.b, name="master-" + table)
                self.assert_status(master, r"Poll \d+ Data OK")
                img = master.stop_and_load(self)
                if table == "holding":
                    expected = [holding(n) for n in range(first, first + count)]
                    got = img.registers(1, table, first, count)
                elif table == "inregs":
                    expected = [input_register(n) for n in range(first, first + count)]
                    got = img.registers(1, table, first, count)
                else:
                    words = support.RegisterImage()
                    words.tables[(1, "coils")][1:1 + len(COIL_WORDS)] = COIL_WORDS
                    expected = words.bits(1, "coils", first, count)
                    got = img.bits(1, table, first, count)
                self.assertEqual(got, expected)

    def test_rtu(self):
        self.check(True)

    def test_ascii(self):
        self.check(False)


if __name__ == "__main__":
    support.main()
