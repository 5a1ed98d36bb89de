"""An independent Modbus RTU inverter: the RTU server of pymodbus on a serial
port. Prints "value N" for holding register 0x004A at start and whenever it
changes; stops on SIGTERM or SIGINT.

usage: pymodbus_peer.py PORT ADDRESS INITIAL"""

import asyncio
import logging
import signal
import sys

from pymodbus.datastore import ModbusServerContext, ModbusSequentialDataBlock, ModbusSlaveContext
from pymodbus.server import StartAsyncSerialServer
from pymodbus.transaction import ModbusRtuFramer

REGISTER = 0x004A


async def main(port, address, initial):
    logging.basicConfig(level=logging.CRITICAL)
    values = [0] * 0x100
    values[REGISTER] = initial
    # zero_mode: register 0x004A is 0x004A, not 0x004B.
    slave = ModbusSlaveContext(hr=ModbusSequentialDataBlock(0, values), zero_mode=True)
    context = ModbusServerContext(slaves={address: slave}, single=False)
    server = await StartAsyncSerialServer(
        context, framer=ModbusRtuFramer, port=port, baudrate=9600, bytesize=8, parity="N",
        stopbits=1, defer_start=True)
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    # With defer_start the port is opened here, before the first "value"
    # line tells the test the inverter is listening.
    await server.start()

    await report_values(slave, stop)
    await server.shutdown()


async def report_values(slave, stop):
    """Prints "value N" for register 0x004A at once and whenever it
    changes, until `stop` is set."""
    last = None
    while not stop.is_set():
        value = slave.getValues(3, REGISTER, 1)[0]
        if value != last:
            print("value", value, flush=True)
            last = value
        try:
            await asyncio.wait_for(stop.wait(), 0.02)
        except asyncio.TimeoutError:
            pass


if __name__ == "__main__":
    asyncio.run(main(sys.argv[1], int(sys.argv[2]), int(sys.argv[3])))
