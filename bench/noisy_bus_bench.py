#!/usr/bin/env python3
"""Korvane's slave on a noisy shared line: how many of the requests for its
slots that reach the line intact it answers, and how fast.

korvane-bus joins three nodes with a fraction of the bytes damaged (one
flipped bit each, --corrupt): node 1 is this script's master, node 2 Korvane
headless as slave (five slots), node 3 a listener of this script, which hears
every byte exactly as Korvane does. Each round the master writes a request
for another device and that device's reply (Korvane must pass over both),
then a read of holding registers for one of Korvane's slots, and waits for the
answer. A request is intact when the listener heard it unchanged. Printed:
requests per second, intact requests, answered, answer rate, answers to
damaged requests (must be 0: a damaged frame never checks) and bytes nobody
asked for, and the answer's round trip. No figure passes or fails anything.

  bench/noisy_bus_bench.py [--rounds N] [--corrupt F] [--seed S]
KORVANE_EXE and KORVANE_BUS name the programs (default: the bench build's)."""

import argparse
import os
import select
import sys
import tempfile
import termios
import time
import tty

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "interop"))
BUILD = os.path.join(HERE, "..", "build", "bench")
os.environ.setdefault("KORVANE_EXE", os.path.join(BUILD, "korvane"))
os.environ.setdefault("KORVANE_BUS", os.path.join(BUILD, "korvane-bus"))

import interop_support as support  # noqa: E402

SLOTS = (1, 2, 3, 4, 5)
OTHER = 9
COM = 1


class Node:
    """A bus node opened raw and nonblocking."""

    def __init__(self, device):
        self.fd = os.open(device, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        tty.setraw(self.fd)
        termios.tcflush(self.fd, termios.TCIFLUSH)

    def write(self, data):
        view = memoryview(data)
        while view:
            select.select([], [self.fd], [], 1.0)
            view = view[os.write(self.fd, view):]

    def read(self, count, timeout):
        """Up to `count` bytes, waiting at most `timeout` seconds in all."""
        got = b""
        end = time.monotonic() + timeout
        while len(got) < count:
            left = end - time.monotonic()
            if left <= 0 or not select.select([self.fd], [], [], left)[0]:
                break
            got += os.read(self.fd, count - len(got))
        return got

    def close(self):
        os.close(self.fd)


def read_request(unit, start, count):
    return support.rtu(unit, 3, start >> 8, start & 0xFF, count >> 8, count & 0xFF)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=3000)
    parser.add_argument("--corrupt", type=float, default=0.01)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()

    folder = tempfile.mkdtemp(prefix="korvane-noisy-")
    bus = support.VirtualBus(nodes=3, corrupt=args.corrupt, seed=args.seed)
    korvane = None
    master = listener = None
    try:
        master, listener = Node(bus.device(1)), Node(bus.device(3))
        workspace = support.write_register_file(
            os.path.join(folder, "slave.kvw"), com=COM, baud=115200, addresses=SLOTS,
            tables={(s, "holding"): [(s * 1000 + i) % 65536 for i in range(1, 65)] for s in SLOTS})
        korvane = support.Korvane(folder, workspace, COM, bus.device(2), "korvane")
        # Its port is open once its banner crosses the line.
        if b"Open Port" not in listener.read(9, support.START_TIMEOUT):
            raise RuntimeError("Korvane did not open its port\n" + korvane.describe())
        master.read(64, 0.2)

        intact = answered = wrong = unasked = 0
        trips = []
        began = time.monotonic()
        for n in range(args.rounds):
            unit = SLOTS[n % len(SLOTS)]
            count = 1 + n % 16
            foreign = read_request(OTHER, n % 100, 2) + support.rtu(OTHER, 3, 4, 0, n % 256, 0, 1)
            request = read_request(unit, n % 48, count)
            master.write(foreign + request)
            sent = time.monotonic()
            heard = listener.read(len(foreign) + len(request), 1.0)
            ok = heard[len(foreign):] == request
            intact += ok
            reply = master.read(5 + 2 * count, 0.05)
            if reply:
                trips.append(time.monotonic() - sent)
                listener.read(len(reply), 0.5)
                if ok:
                    answered += 1
                else:
                    wrong += 1
        elapsed = time.monotonic() - began
        unasked = len(master.read(4096, 0.2))
    finally:
        for node in (master, listener):
            if node is not None:
                node.close()
        if korvane is not None:
            korvane.stop()
        bus.stop()

    trips.sort()
    p50 = trips[len(trips) // 2] * 1000 if trips else float("nan")
    p99 = trips[min(len(trips) - 1, len(trips) * 99 // 100)] * 1000 if trips else float("nan")
    print("| rounds | corrupt | rounds/s | intact | answered | answer rate | answers to damaged | bytes unasked | p50 ms | p99 ms |")
    print("|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    print("| %d | %.3f | %.0f | %d | %d | %.4f | %d | %d | %.3f | %.3f |"
          % (args.rounds, args.corrupt, args.rounds / elapsed, intact, answered,
             answered / intact if intact else float("nan"), wrong, unasked, p50, p99))


if __name__ == "__main__":
    main()
