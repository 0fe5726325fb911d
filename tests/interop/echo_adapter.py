"""An RS-485 adapter that echoes: what the master writes comes back to it
before the device's reply, as on a two-wire line whose adapter does not
suppress its own transmission. It can also put another device's frame in
front of each reply, as on a shared bus.

usage: echo_adapter.py MASTER_DEVICE SERVER_DEVICE rtu|ascii [--other-device]

Bytes from MASTER_DEVICE go back to it at once (the echo) and on to
SERVER_DEVICE; bytes from SERVER_DEVICE go to MASTER_DEVICE. With
--other-device, the first bytes of each reply are preceded by a reply of
device 9 whose data hold the polled unit's address and function code. Prints
"ready" once both ports are open and runs until it is signalled.
"""

import os
import select
import signal
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import serial  # noqa: E402  (python3-serial)

from interop_support import crc16, lrc  # noqa: E402


def other_device_frame(framing):
    # Device 9 answers a read of two registers; its data look like the start
    # of a reply from unit 7 to function 3.
    body = bytes([9, 3, 4, 7, 3, 4, 0])
    if framing == "rtu":
        return body + crc16(body)
    text = ":" + (body + bytes([lrc(body)])).hex().upper() + "\r\n"
    return text.encode("ascii")


def main(argv):
    master = serial.Serial(argv[1], 9600, timeout=0)
    server = serial.Serial(argv[2], 9600, timeout=0)
    other = other_device_frame(argv[3]) if "--other-device" in argv[4:] else b""
    stopping = []
    signal.signal(signal.SIGTERM, lambda *_: stopping.append(1))
    print("ready", flush=True)
    reply_begins = False
    while not stopping:
        try:
            ready, _, _ = select.select([master.fileno(), server.fileno()], [], [], 0.2)
        except InterruptedError:
            continue
        if master.fileno() in ready:
            data = master.read(4096)
            if data:
                master.write(data)  # the echo
                server.write(data)
                reply_begins = True
        if server.fileno() in ready:
            data = server.read(4096)
            if data:
                if reply_begins:
                    master.write(other)
                    reply_begins = False
                master.write(data)
    master.close()
    server.close()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
