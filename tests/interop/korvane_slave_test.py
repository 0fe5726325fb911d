"""Korvane as slave (headless) answering real Modbus clients: pymodbus in RTU
and ASCII for functions 1, 2, 3, 4, 5, 6, 15 and 16, and mbpoll in RTU.
What the clients read is checked against the loaded workspace, what they wrote
in the workspace Korvane saves when it is stopped."""

import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import interop_support as support  # noqa: E402

COM = 7
ADDRESSES = (17, 42, 3, 4, 5)  # slot 1 answers device 17, slot 2 device 42


def holding(n):
    return (n * 523 + 17) % 65536


def input_register(n):
    return (65535 - n * 311) % 65536


def slot2_holding(n):
    return 7000 + n


COIL_WORDS = [0x0001, 0x8000, 0xA5A5, 0x0F0F, 0xFFFF, 0x1234, 0x0000, 0x8421]
INPUT_WORDS = [0x5A5A, 0x0001, 0xF00F, 0x3333]


def fixture_tables():
    return {
        (1, "holding"): [holding(n) for n in range(1, 121)],
        (1, "inregs"): [input_register(n) for n in range(1, 121)],
        (1, "coils"): COIL_WORDS,
        (1, "inputs"): INPUT_WORDS,
        (2, "holding"): [slot2_holding(n) for n in range(1, 9)],
    }


def fixture_bits(words, first, count):
    """Coils or inputs first..first+count-1 (numbered from 1) of the fixture."""
    return [(words[(n - 1) // 16] >> ((n - 1) % 16)) & 1 if (n - 1) // 16 < len(words) else 0
            for n in range(first, first + count)]


class SlaveCase(support.InteropCase):
    RTU = True

    def start_slave(self):
        ws = self.workspace("slave.txt", rtu=self.RTU, com=COM, addresses=ADDRESSES,
                            tables=fixture_tables())
        pair = self.pair()
        return pair, self.korvane_on_line(ws, COM, pair.a, pair.b)

    def client(self, device):
        from pymodbus.client import ModbusSerialClient
        from pymodbus.transaction import ModbusAsciiFramer, ModbusRtuFramer
        c = ModbusSerialClient(device, framer=ModbusRtuFramer if self.RTU else ModbusAsciiFramer,
                               baudrate=9600, bytesize=8, parity="N", stopbits=1, timeout=2)
        self.assertTrue(c.connect(), "pymodbus cannot open " + device)
        self.addCleanup(c.close)
        return c

    def answer(self, reply, what):
        self.assertFalse(reply.isError(), "%s: %s" % (what, reply))
        return reply


class PymodbusAgainstKorvaneSlave:
    """The cases for one framing; the subclasses below pick RTU or ASCII."""

    def test_reads_return_the_loaded_tables(self):
        pair, korvane = self.start_slave()
        c = self.client(pair.b)
        # Bits across word boundaries and reaching into words the file left 0.
        r = self.answer(c.read_coils(5, 37, slave=17), "read coils")
        self.assertEqual(r.bits[:37], [bool(b) for b in fixture_bits(COIL_WORDS, 6, 37)])
        r = self.answer(c.read_coils(100, 50, slave=17), "read coils")
        self.assertEqual(r.bits[:50], [bool(b) for b in fixture_bits(COIL_WORDS, 101, 50)])
        r = self.answer(c.read_discrete_inputs(0, 70, slave=17), "read inputs")
        self.assertEqual(r.bits[:70], [bool(b) for b in fixture_bits(INPUT_WORDS, 1, 70)])
        r = self.answer(c.read_holding_registers(10, 50, slave=17), "read holding")
        self.assertEqual(r.registers, [holding(n) for n in range(11, 61)])
        r = self.answer(c.read_input_registers(100, 25, slave=17), "read input registers")
        self.assertEqual(r.registers, [input_register(n) if n <= 120 else 0
                                       for n in range(101, 126)])
        # The device address picks the slot.
        r = self.answer(c.read_holding_registers(0, 8, slave=42), "read slot 2")
        self.assertEqual(r.registers, [slot2_holding(n) for n in range(1, 9)])

    def test_writes_reach_the_saved_workspace(self):
        pair, korvane = self.start_slave()
        c = self.client(pair.b)
        coil_pattern = [bool((i * 7) % 3) for i in range(19)]
        regs = [0, 1, 65535, 32768, 12345, 777, 4, 60000, 9, 10, 11]
        self.answer(c.write_coil(3, True, slave=17), "write coil")           # coil 4
        self.answer(c.write_coil(69, False, slave=17), "write coil")         # coil 70
        self.answer(c.write_register(59, 4321, slave=17), "write register")  # register 60
        self.answer(c.write_coils(20, coil_pattern, slave=17), "write coils")        # 21..39
        self.answer(c.write_registers(69, regs, slave=17), "write registers")        # 70..80
        self.answer(c.write_registers(3, [111, 222], slave=42), "write slot 2")      # 4, 5
        # Read back over the line too.
        r = self.answer(c.read_holding_registers(69, len(regs), slave=17), "read back")
        self.assertEqual(r.registers, regs)

        img = korvane.stop_and_load(self)
        expected_coils = fixture_bits(COIL_WORDS, 1, 96)
        expected_coils[3] = 1
        expected_coils[69] = 0
        expected_coils[20:39] = [int(b) for b in coil_pattern]
        self.assertEqual(img.bits(1, "coils", 1, 96), expected_coils)
        expected_holding = [holding(n) for n in range(1, 121)]
        expected_holding[59] = 4321
        expected_holding[69:80] = regs
        self.assertEqual(img.registers(1, "holding", 1, 120), expected_holding)
        self.assertEqual(img.registers(2, "holding", 1, 8),
                         [slot2_holding(n) if n not in (4, 5) else 111 * (n - 3)
                          for n in range(1, 9)])
        # Tables nobody wrote are saved as loaded.
        self.assertEqual(img.registers(1, "inregs", 1, 120),
                         [input_register(n) for n in range(1, 121)])
        self.assertEqual(img.table(1, "inputs")[1:5], INPUT_WORDS)


class RtuSlaveTest(PymodbusAgainstKorvaneSlave, SlaveCase):
    RTU = True

    def mbpoll(self, device, *args):
        argv = ["mbpoll", "-m", "rtu", "-b", "9600", "-P", "none", "-a", "17", "-1", "-o", "2"]
        argv += list(args[:-1]) + [device] + ([] if args[-1] is None else list(args[-1]))
        run = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, timeout=30)
        out = run.stdout.decode("latin-1")
        self.assertEqual(run.returncode, 0, " ".join(argv) + "\n" + out + run.stderr.decode())
        return out

    def mbpoll_read(self, device, table, first, count):
        out = self.mbpoll(device, "-t", table, "-r", str(first), "-c", str(count), None)
        values = {}
        for line in out.splitlines():
            line = line.strip()
            if line.startswith("[") and "]:" in line:
                ref, value = line[1:].split("]:", 1)
                values[int(ref)] = int(value.split()[0])
        self.assertEqual(sorted(values), list(range(first, first + count)), out)
        return [values[n] for n in range(first, first + count)]

    def test_mbpoll_reads_and_writes(self):
        if shutil.which("mbpoll") is None:
            self.skipTest("mbpoll is not installed")
        pair, korvane = self.start_slave()
        # mbpoll counts references from 1, as Korvane numbers its elements.
        self.assertEqual(self.mbpoll_read(pair.b, "4", 30, 40), [holding(n) for n in range(30, 70)])
        self.assertEqual(self.mbpoll_read(pair.b, "3", 1, 10),
                         [input_register(n) for n in range(1, 11)])
        self.assertEqual(self.mbpoll_read(pair.b, "0", 10, 30), fixture_bits(COIL_WORDS, 10, 30))
        self.assertEqual(self.mbpoll_read(pair.b, "1", 1, 20), fixture_bits(INPUT_WORDS, 1, 20))
        self.mbpoll(pair.b, "-t", "4", "-r", "100", ["65000", "2", "3"])
        self.mbpoll(pair.b, "-t", "4", "-r", "110", ["42"])
        self.mbpoll(pair.b, "-t", "0", "-r", "1", ["0", "1", "1"])
        self.assertEqual(self.mbpoll_read(pair.b, "4", 100, 3), [65000, 2, 3])

        img = korvane.stop_and_load(self)
        self.assertEqual(img.registers(1, "holding", 99, 13),
                         [holding(99), 65000, 2, 3] + [holding(n) for n in range(103, 110)]
                         + [42, holding(111)])
        self.assertEqual(img.bits(1, "coils", 1, 16), [0, 1, 1] + fixture_bits(COIL_WORDS, 4, 13))


class AsciiSlaveTest(PymodbusAgainstKorvaneSlave, SlaveCase):
    RTU = False


if __name__ == "__main__":
    support.main()
