#!/usr/bin/env python3
"""Writes the workspaces of the demonstrations that ./run starts:
samples/demo-slave.kvw (a slave with varied values in every table, devices 1-5) and
samples/demo-master.kvw (a master polling it once a second), and for the shared
bus of ./run --bus samples/demo-slave-b.kvw (a second slave, devices 21-25) and
samples/demo-listener.kvw (a slave workspace whose slot 1 is device 1 and slot 2
device 21, for Korvane in listen-only mode). All use COM1, which the scripts map
to a virtual serial pair or to the nodes of korvane-bus.

Pages shown by "Next Page" in either program:
  1 holding registers 1-100, decimal    2 the same in hexadecimal
  3 holding registers 81-100 as floating point (pairs, first word high)
  4 input registers 1-100               5 coils 1-100      6 discrete inputs 1-100
"""

import math
import os
import struct

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

PAGES = [(1, 100, 0, 3), (1, 100, 1, 3), (81, 20, 6, 3), (1, 100, 0, 2), (1, 100, 0, 0),
         (1, 100, 0, 1)]
PAGES += [PAGES[0]] * (20 - len(PAGES))

FLOATS = [3.14159, 230.4, 49.98, -12.5, 1013.25, 0.001, 75.0, -40.0, 6.02e23, 1.5]


def holding_registers():
    regs = []
    for n in range(1, 81):
        if n <= 20:  # one period of a wave
            regs.append(round(500 + 450 * math.sin(2 * math.pi * (n - 1) / 20)))
        elif n <= 40:  # a staircase
            regs.append(111 * (n - 20))
        elif n <= 60:  # walking bits
            regs.append(1 << ((n - 41) % 16))
        else:  # temperatures in tenths of a degree
            regs.append(215 + (n * 13) % 31)
    for f in FLOATS:  # registers 81-100
        hi, lo = struct.unpack(">HH", struct.pack(">f", f))
        regs += [hi, lo]
    return regs


def input_registers():
    return [(n * 2654435761) % 65536 if n % 10 == 0 else 200 + (n * 37) % 150
            for n in range(1, 101)]


COIL_WORDS = [0xAAAA, 0x00FF, 0xF0F0, 0x8001, 0x1248, 0x7FFE, 0x0001]
INPUT_WORDS = [0x5555, 0xFF00, 0x0F0F, 0x4002, 0x8421, 0x0180, 0x000F]


def workspace(master, tables, addresses=(1, 2, 3, 4, 5)):
    lines = ["MASTER" if master else "SLAVE", "RTU", "1", "9600", "8", "N", "1", "1",
             "".join("%8d" % a for a in addresses)]
    lines += ["".join("%8d" % v for v in page) for page in PAGES]
    headers = [";COILS  ", ";INPSTAT", ";INPREGS", ";HOLDREG"]
    for slot in range(1, 6):
        for i, head in enumerate(headers):
            lines.append(head)
            values = tables.get((slot, i), [])
            lines += ["".join("%8d" % v for v in values[k:k + 8]) for k in range(0, len(values), 8)]
    return ("\r\n".join(lines) + "\r\n").encode("ascii")


def main():
    folder = os.path.join(ROOT, "samples")
    os.makedirs(folder, exist_ok=True)
    slave = {(1, 0): COIL_WORDS, (1, 1): INPUT_WORDS, (1, 2): input_registers(),
             (1, 3): holding_registers()}
    # The second slave: the same shapes, other values, so the listener's two slots differ.
    slave_b = {(1, 0): [w ^ 0xFFFF for w in COIL_WORDS], (1, 1): [w ^ 0x0FF0 for w in INPUT_WORDS],
               (1, 2): [(v * 3 + 1000) % 65536 for v in input_registers()],
               (1, 3): [v if n >= 80 else (v + 5000) % 65536
                        for n, v in enumerate(holding_registers())]}
    for name, data in (("demo-slave.kvw", workspace(False, slave)),
                       ("demo-master.kvw", workspace(True, {})),
                       ("demo-slave-b.kvw", workspace(False, slave_b, (21, 22, 23, 24, 25))),
                       ("demo-listener.kvw", workspace(False, {}, (1, 21, 3, 4, 5)))):
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
