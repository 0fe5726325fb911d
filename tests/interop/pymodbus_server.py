"""A Modbus serial server made with pymodbus, for Korvane the master to poll.

usage: pymodbus_server.py DEVICE rtu|ascii UNIT
       pymodbus_server.py tcp:HOST:PORT rtu|ascii UNIT

It serves UNIT with the tables of interop_values (100 entries each, protocol
addresses 0..99; anything beyond is answered with exception 2), prints
"ready" once its port is open, and runs until it is signalled. With
tcp:HOST:PORT it is a TCP server carrying RTU or ASCII frames, as a serial
device server does (PORT 0: a free port); it prints "ready PORT" with the
port it listens on.
"""

import asyncio
import logging
import os
import signal
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from pymodbus.datastore import (ModbusSequentialDataBlock, ModbusServerContext,  # noqa: E402
                                ModbusSlaveContext)
from pymodbus.server import StartAsyncSerialServer, StartAsyncTcpServer  # noqa: E402
from pymodbus.transaction import ModbusAsciiFramer, ModbusRtuFramer  # noqa: E402

import interop_values  # noqa: E402


async def serve(device, framing, unit):
    slave = ModbusSlaveContext(
        co=ModbusSequentialDataBlock(0, interop_values.coils()),
        di=ModbusSequentialDataBlock(0, interop_values.inputs()),
        ir=ModbusSequentialDataBlock(0, interop_values.input_registers()),
        hr=ModbusSequentialDataBlock(0, interop_values.holding_registers()),
        zero_mode=True)
    context = ModbusServerContext(slaves={unit: slave}, single=False)
    framer = ModbusRtuFramer if framing == "rtu" else ModbusAsciiFramer
    if device.startswith("tcp:"):
        return await serve_tcp(device, framer, context)
    server = await StartAsyncSerialServer(context=context, framer=framer, port=device,
                                          baudrate=9600, bytesize=8, parity="N", stopbits=1,
                                          defer_start=True)
    await server.start()
    if server.transport is None:
        print("cannot open " + device, file=sys.stderr, flush=True)
        return 1
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    print("ready", flush=True)
    await stop.wait()
    await server.shutdown()
    return 0


async def serve_tcp(device, framer, context):
    host, port = device[len("tcp:"):].rsplit(":", 1)
    # Reusing the address lets a restarted server take its port straight back.
    server = await StartAsyncTcpServer(context=context, framer=framer, address=(host, int(port)),
                                       allow_reuse_address=True, defer_start=True)
    task = asyncio.create_task(server.serve_forever())
    await server.serving
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    print("ready %d" % server.server.sockets[0].getsockname()[1], flush=True)
    await stop.wait()
    await server.shutdown()
    task.cancel()
    return 0


if __name__ == "__main__":
    logging.basicConfig(level=logging.CRITICAL)
    sys.exit(asyncio.run(serve(sys.argv[1], sys.argv[2], int(sys.argv[3]))))
