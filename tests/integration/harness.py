"""Starts korvanel-sim, korvanel-clear and independent peers on real
pseudo-terminals, with a time bound on everything, and reads back what went
over the line."""

import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

CLEAR = os.environ.get("KORVANEL_CLEAR", "korvanel-clear")
SIM = os.environ.get("KORVANEL_SIM", "korvanel-sim")
PYTHON = "/usr/bin/python3"

# The retry schedule every layer's tests read: a run that hears nothing
# sends its request on these ticks and fails on FAILURE_TICK.
with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "retry_schedule.json")) as _f:
    _SCHEDULE = json.load(_f)
RETRY_TICKS = _SCHEDULE["request_ticks"]
FAILURE_TICK = _SCHEDULE["failure_tick"]

REQUEST_1 = "01 06 00 4A 00 00 A8 1C"
READ_1 = "01 03 00 4A 00 01 A5 DC"
CLEAR_OK = "!!--Clear OK--!!"
OPERATION_FAIL = "!!--Operation Fail--!!"

# "     50.9 ms  tick 1  TX  01 06 00 4A 00 00 A8 1C" (an "addr N" may precede
# tick); "input" in place of the tick is input judged between ticks (tick 0).
TRACE_LINE = re.compile(
    r"^\s*(?P<ms>\d+\.\d) ms  (?:addr (?P<addr>\d+)  )?(?:tick (?P<tick>\d+)|input )  (?P<dir>TX|RX)  (?P<data>.*)$")
# "    367.9 ms  RX  01 06 00 4A 00 00 A8 1C  ; write ..."
SIM_LINE = re.compile(r"^\s*(?P<ms>\d+\.\d) ms  (?P<dir>TX|RX)  (?P<data>[0-9A-F ]*?)(?:  ; (?P<note>.*))?$")


def need(found, what):
    """Goes on when `found`; else the test (or module) needs `what`: skipped
    on a machine without it, failed under CI=true, where every peer is
    installed and a test that did not run must not pass."""
    if found:
        return
    if os.environ.get("CI") == "true":
        raise AssertionError("%s is needed and missing" % what)
    raise unittest.SkipTest("needs " + what)


def need_programs(*names):
    need(all(shutil.which(n) for n in names), " and ".join(names))


def need_pymodbus():
    """pymodbus for Debian's interpreter, with the serial transport its RTU
    server needs."""
    probe = subprocess.run([PYTHON, "-c", "import pymodbus, serial_asyncio"], capture_output=True)
    need(probe.returncode == 0, "pymodbus and serial_asyncio for " + PYTHON)


class Sim:
    """korvanel-sim as a context manager: `port` is the line to open."""

    def __init__(self, *args, timeout=10):
        self.args = [SIM, *args]
        self.timeout = timeout
        self.log = ""
        self.returncode = None

    def __enter__(self):
        self.err_file = tempfile.TemporaryFile(mode="w+")
        self.proc = subprocess.Popen(self.args, stdout=subprocess.PIPE, stderr=self.err_file, text=True)
        self.port = self.proc.stdout.readline().strip()
        if not self.port:
            self.stop()
            raise RuntimeError("korvanel-sim printed no port: " + self.log)
        return self

    def stop(self, sig=signal.SIGTERM):
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        try:
            self.returncode = self.proc.wait(timeout=self.timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.returncode = self.proc.wait()
        self.proc.stdout.close()
        self.err_file.seek(0)
        self.log = self.err_file.read()
        self.err_file.close()
        return self.returncode

    def __exit__(self, *exc):
        if self.returncode is None:
            self.stop()

    def frames(self, direction):
        """The frames the simulator logged in `direction`, as hex strings."""
        out = []
        for line in self.log.splitlines():
            m = SIM_LINE.match(line)
            if m and m.group("dir") == direction:
                out.append(m.group("data").strip())
        return out

    def final_register(self):
        m = re.search(r"stopped; register 0x004A = (\d+)", self.log)
        return int(m.group(1)) if m else None


class Result:
    def __init__(self, returncode, stdout, stderr, seconds):
        self.returncode = returncode
        self.stdout = stdout
        self.stderr = stderr
        self.seconds = seconds

    def trace(self, direction=None):
        rows = []
        for line in self.stderr.splitlines():
            m = TRACE_LINE.match(line)
            if m and (direction is None or m.group("dir") == direction):
                rows.append((int(m.group("tick") or 0), m.group("dir"), m.group("data"),
                             float(m.group("ms")), m.group("addr")))
        return rows

    def sent(self):
        """(tick, bytes) of every frame korvanel-clear wrote."""
        return [(tick, data) for tick, _, data, _, _ in self.trace("TX")]

    def writes(self):
        """(tick, bytes) of the write requests only: not the read that finds
        out whether the line echoes, nor a verify or scan read."""
        return [(tick, data) for tick, data in self.sent() if is_write(data)]

    def heard(self, address=None):
        """Every byte gathered, in order, as one hex string (of one address's
        runs when given)."""
        return " ".join(data for _, _, data, _, addr in self.trace("RX")
                        if not data.startswith("(") and (address is None or addr == str(address)))

    def __repr__(self):
        return "rc=%r stdout=%r stderr=%r" % (self.returncode, self.stdout, self.stderr[-2000:])


def run_clear(*args, timeout=20):
    start = time.monotonic()
    proc = subprocess.run([CLEAR, *args], capture_output=True, text=True, timeout=timeout)
    return Result(proc.returncode, proc.stdout, proc.stderr, time.monotonic() - start)


class Socat:
    """A connected pair of pseudo-terminals, `a` and `b`."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="korvanel-pair-")
        self.a = os.path.join(self.dir, "a")
        self.b = os.path.join(self.dir, "b")

    def __enter__(self):
        self.proc = subprocess.Popen(
            ["socat", "pty,raw,echo=0,link=" + self.a, "pty,raw,echo=0,link=" + self.b],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 5
        while not (os.path.exists(self.a) and os.path.exists(self.b)):
            if time.monotonic() > deadline or self.proc.poll() is not None:
                raise RuntimeError("socat made no pseudo-terminal pair")
            time.sleep(0.02)
        return self

    def __exit__(self, *exc):
        self.proc.terminate()
        try:
            self.proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        for p in (self.a, self.b):
            if os.path.lexists(p):
                os.unlink(p)
        os.rmdir(self.dir)


def crc16_modbus(data):
    """Bit-by-bit CRC-16/MODBUS, independent of the engine's tables:
    reflected polynomial 0xA001, preset 0xFFFF; low byte first on the wire."""
    crc = 0xFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return bytes([crc & 0xFF, crc >> 8])


def is_write(frame_hex):
    """True for a Write Single or Write Multiple Registers frame."""
    return frame_hex.split()[1:2] in (["06"], ["10"])


def clear_request(address):
    """The request that writes 0 to register 0x004A of `address`, as hex."""
    body = bytes([address, 0x06, 0x00, 0x4A, 0x00, 0x00])
    return " ".join("%02X" % b for b in body + crc16_modbus(body))


def wait_until(condition, seconds, step=0.05):
    """True as soon as condition() is true, False once `seconds` have passed."""
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(step)
    return True
