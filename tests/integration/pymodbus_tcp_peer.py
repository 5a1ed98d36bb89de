"""A Modbus TCP gateway with one inverter behind it: the TCP server of
pymodbus on 127.0.0.1. Prints "port N" once listening, then "value N" for
holding register 0x004A at start and whenever it changes; stops on SIGTERM.

usage: pymodbus_tcp_peer.py ADDRESS INITIAL"""

import asyncio
import logging
import signal
import socket
import sys

from pymodbus.datastore import ModbusServerContext, ModbusSequentialDataBlock, ModbusSlaveContext
from pymodbus.server import StartAsyncTcpServer

from pymodbus_peer import report_values

REGISTER = 0x004A


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


async def main(address, initial):
    logging.basicConfig(level=logging.CRITICAL)
    values = [0] * 0x100
    values[REGISTER] = initial
    slave = ModbusSlaveContext(hr=ModbusSequentialDataBlock(0, values), zero_mode=True)
    context = ModbusServerContext(slaves={address: slave}, single=False)
    port = free_port()
    server = await StartAsyncTcpServer(context=context, address=("127.0.0.1", port), defer_start=True)
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    serving = asyncio.ensure_future(server.serve_forever())
    while not server.server:
        await asyncio.sleep(0.01)
    print("port", port, flush=True)

    await report_values(slave, stop)
    await server.shutdown()
    serving.cancel()


if __name__ == "__main__":
    asyncio.run(main(int(sys.argv[1]), int(sys.argv[2])))
