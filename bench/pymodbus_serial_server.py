#!/usr/bin/python3
"""Modbus serial slave for the turnaround benchmark (pymodbus 3.0).

    pymodbus_serial_server.py DEVICE rtu|ascii

Serves unit 1 with 100 holding registers (zero_mode: request address 0 is the
first register) on DEVICE at 115200 baud, 8N1, until the device goes away or
the process is signalled.
"""
import asyncio
import logging
import sys

from pymodbus.datastore import ModbusSequentialDataBlock, ModbusServerContext, ModbusSlaveContext
from pymodbus.server import StartAsyncSerialServer
from pymodbus.transaction import ModbusAsciiFramer, ModbusRtuFramer


def main():
    device, mode = sys.argv[1], sys.argv[2]
    logging.basicConfig(level=logging.CRITICAL)
    block = ModbusSequentialDataBlock(0, list(range(100)))
    slave = ModbusSlaveContext(hr=block, ir=block, co=ModbusSequentialDataBlock(0, [0] * 100),
                               di=ModbusSequentialDataBlock(0, [0] * 100), zero_mode=True)
    context = ModbusServerContext(slaves={1: slave}, single=False)
    framer = ModbusAsciiFramer if mode == "ascii" else ModbusRtuFramer
    asyncio.run(StartAsyncSerialServer(context=context, framer=framer, port=device, baudrate=115200,
                                       bytesize=8, parity="N", stopbits=1, timeout=0.005))


if __name__ == "__main__":
    main()
