#!/usr/bin/python3
"""The master of the shared-bus demonstration (scripts/demo.sh --bus): pymodbus
polls the two Korvane slaves on one node of korvane-bus in turn, device 1
(samples/demo-slave.kvw) and device 21 (samples/demo-slave-b.kvw): holding
registers, input registers, coils and discrete inputs 1-100 of each, and once
a round it writes the round's number into holding register 80 of each and
toggles their coil 100, so the listener sees writes too.

usage: demo-bus-master.py DEVICE [ROUNDS]   (ROUNDS 0, the default: until stopped)
Prints one line per round: what answered.
"""

import signal
import sys

from pymodbus.client import ModbusSerialClient
from pymodbus.transaction import ModbusRtuFramer

DEVICES = (1, 21)


def answered_by(call):
    try:
        return not call().isError()
    except Exception:  # pymodbus raises for a link it cannot use
        return False


def main():
    device = sys.argv[1]
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 0
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    client = ModbusSerialClient(device, framer=ModbusRtuFramer, baudrate=9600, bytesize=8,
                                parity="N", stopbits=1, timeout=1)
    if not client.connect():
        print("demo master: cannot open " + device, file=sys.stderr)
        return 1
    n = 0
    try:
        while rounds == 0 or n < rounds:
            n += 1
            answered = []
            for unit in DEVICES:
                calls = (
                    lambda: client.read_holding_registers(0, 100, slave=unit),
                    lambda: client.read_input_registers(0, 100, slave=unit),
                    lambda: client.read_coils(0, 100, slave=unit),
                    lambda: client.read_discrete_inputs(0, 100, slave=unit),
                    lambda: client.write_register(79, n % 65536, slave=unit),
                    lambda: client.write_coil(99, n % 2 == 1, slave=unit),
                )
                ok = sum(1 for call in calls if answered_by(call))
                answered.append("device %d %d/%d" % (unit, ok, len(calls)))
            print("round %d: %s" % (n, ", ".join(answered)), flush=True)
    finally:
        client.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
