"""korvanel-clear through network converters and gateways: ser2net in front
of korvanel-sim's pseudo-terminal (tcp:// and rfc2217://), the Modbus TCP
server of pymodbus as a gateway, mbpoll against korvanel-sim --listen, and
the faults a network adds. Every peer listens on 127.0.0.1 only."""

import os
import select
import socket
import subprocess
import tempfile
import termios
import time
import unittest

from harness import (CLEAR, CLEAR_OK, OPERATION_FAIL, PYTHON, SIM, Result, Sim, clear_request, need_programs,
                     need_pymodbus, run_clear, wait_until)

TCP_PEER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "pymodbus_tcp_peer.py")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Ser2net:
    """ser2net 4 with a raw and an RFC 2217 accepter in front of `device`,
    whose line it sets to `line` (e.g. 19200n81) when a client connects."""

    def __init__(self, device, line):
        self.raw_port, self.telnet_port = free_port(), free_port()
        self.dir = tempfile.TemporaryDirectory(prefix="korvanel-ser2net-")
        config = os.path.join(self.dir.name, "ser2net.yaml")
        with open(config, "w") as f:
            for name, accepter in (("raw", "tcp,127.0.0.1,%d" % self.raw_port),
                                   ("telnet", "telnet(rfc2217),tcp,127.0.0.1,%d" % self.telnet_port)):
                f.write("connection: &%s\n  accepter: %s\n  connector: serialdev,%s,%s,local\n"
                        % (name, accepter, device, line))
        self.args = ["ser2net", "-n", "-c", config, "-P", os.path.join(self.dir.name, "pid")]

    def __enter__(self):
        self.proc = subprocess.Popen(self.args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        # Read from the kernel's table: a probing connection would have
        # ser2net open the device, and hold it a moment after, refusing the
        # test's own connection on the other accepter meanwhile.
        def listening():
            with open("/proc/net/tcp") as table:
                ports = {int(row.split()[1].split(":")[1], 16) for row in list(table)[1:]
                         if row.split()[3] == "0A"}
            return {self.raw_port, self.telnet_port} <= ports
        if not wait_until(listening, 10):
            raise RuntimeError("ser2net did not listen")
        return self

    def __exit__(self, *exc):
        self.proc.terminate()
        self.proc.wait(timeout=10)
        self.dir.cleanup()


def line_speed(device):
    fd = os.open(device, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        return termios.tcgetattr(fd)[5]
    finally:
        os.close(fd)


def clear_watching_speed(device, *args):
    """korvanel-clear run with `args`, and the speeds the pseudo-terminal
    `device` had while it ran (ser2net puts the line back when the client
    goes), from 0.3 s after the start: the connection and its settings are
    made by then."""
    start = time.monotonic()
    proc = subprocess.Popen([CLEAR, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    speeds = []
    while proc.poll() is None:
        speed = line_speed(device)
        if time.monotonic() - start > 0.3 and proc.poll() is None:
            speeds.append(speed)
        time.sleep(0.02)
    out, err = proc.communicate(timeout=20)
    return Result(proc.returncode, out, err, time.monotonic() - start), speeds


class Converters(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        need_programs("ser2net", "mbpoll")
        need_pymodbus()

    def test_clears_through_ser2net(self):
        rows = [
            # scheme, address (255: a 0xFF in every frame, doubled on a Telnet stream),
            # korvanel-clear's line options, the speed the converter's line then has
            ("tcp", 1, [], termios.B19200),
            ("rfc2217", 1, [], termios.B9600),
            ("rfc2217", 255, [], termios.B9600),
            ("rfc2217", 1, ["--baud", "38400"], termios.B38400),
        ]
        for scheme, address, line, expected in rows:
            # Each reply comes 0.4 s late, so the line can be watched during the runs.
            with self.subTest(scheme=scheme, address=address, line=line), \
                    Sim("--address", str(address), "--reply-delay", "400") as sim, \
                    Ser2net(sim.port, "19200n81") as converter:
                port = converter.telnet_port if scheme == "rfc2217" else converter.raw_port
                r, speeds = clear_watching_speed(sim.port, "--port", "%s://127.0.0.1:%d" % (scheme, port),
                                                 "--address", str(address), "--period", "500", "--verify",
                                                 *line)
                sim.stop()
                self.assertEqual(r.stdout, CLEAR_OK + "\nverified: register 0x004A = 0\n", r)
                self.assertEqual(r.returncode, 0, r)
                self.assertIn(clear_request(address), sim.frames("RX"), sim.log)
                # Seen on the simulator's side of the converter, in the middle
                # of the session (its ends race ser2net's own settings and
                # their restoring): ser2net set 19200 when the client came;
                # only rfc2217 asks for another speed.
                self.assertTrue(speeds, r)
                self.assertEqual(speeds[len(speeds) // 2], expected, speeds)

    def test_pymodbus_gateway(self):
        peer = subprocess.Popen([PYTHON, TCP_PEER, "3", "4660"], bufsize=1, stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, text=True)
        try:
            # The second line follows the first at once (or the peer ended:
            # readline then gives "").
            select.select([peer.stdout], [], [], 20)
            lines = [peer.stdout.readline().split(), peer.stdout.readline().split()]
            self.assertEqual(lines[1], ["value", "4660"], lines)
            port = int(lines[0][1])
            r = run_clear("--port", "modbus-tcp://127.0.0.1:%d" % port, "--address", "3", "--period", "200",
                          "--trace")
            read = subprocess.run([PYTHON, "-c", "from pymodbus.client import ModbusTcpClient\n"
                                   "c = ModbusTcpClient('127.0.0.1', port=%d); c.connect()\n"
                                   "print(c.read_holding_registers(0x4A, 1, slave=3).registers)" % port],
                                  capture_output=True, text=True, timeout=20)
        finally:
            peer.terminate()
            peer.wait(timeout=10)
            peer.stdout.close()
        self.assertEqual((r.returncode, r.stdout), (0, CLEAR_OK + "\n"), r)
        # A gateway may hand our requests back: a read goes first to find out.
        self.assertEqual([data for _, data in r.sent()], ["03 03 00 4A 00 01 A4 3E", clear_request(3)], r)
        self.assertEqual(read.stdout, "[0]\n", read.stderr)

    def test_mbpoll_against_the_simulator_as_gateway(self):
        with Sim("--listen", "modbus-tcp://127.0.0.1:0", "--address", "5") as sim:
            port = sim.port.rsplit(":", 1)[1]
            base = ["mbpoll", "-m", "tcp", "-a", "5", "-t", "4", "-0", "-r", "0x4A", "-p", port, "-o", "1"]
            written = subprocess.run([*base, "127.0.0.1", "0"], capture_output=True, text=True, timeout=15)
            read = subprocess.run([*base, "-1", "127.0.0.1"], capture_output=True, text=True, timeout=15)
            sim.stop()
        self.assertIn("Written 1 references", written.stdout, written.stdout + written.stderr)
        self.assertIn("[74]: \t0", read.stdout, read.stdout + read.stderr)
        self.assertEqual(sim.final_register(), 0)


class NetworkFaults(unittest.TestCase):
    def test_faults(self):
        rows = [
            # name, sim options, clear options, exit status, stdout, first stderr line starts with
            ("server closes mid-batch", ["tcp", "--fault", "silent", "--vanish-after", "1.5"],
             ["--address", "1-3", "--period", "100"], 2, "1: " + OPERATION_FAIL + "\n", "COM Port Lost: Reading"),
            ("gateway closes mid-batch", ["modbus-tcp", "--fault", "silent", "--vanish-after", "1.5"],
             ["--address", "1-3", "--period", "100"], 2, "1: " + OPERATION_FAIL + "\n", "COM Port Lost: Reading"),
            ("reply split across segments", ["tcp", "--fault", "split", "--split-delay", "300"],
             ["--period", "1000"], 0, CLEAR_OK + "\n", None),
            ("converter that echoes", ["tcp", "--echo"], ["--echo", "--verify", "--period", "200"], 0,
             CLEAR_OK + "\nverified: register 0x004A = 0\n", None),
            # Each reply comes a second late, inside the second run for the
            # same address: through a raw stream the second run takes its
            # predecessor's reply; from a gateway too (a recent transaction id).
            ("stale reply, raw stream", ["tcp", "--reply-delay", "1000"],
             ["--dialog-rules", "--address", "1,1", "--period", "100"], 1,
             "1: %s\n1: %s\n" % (OPERATION_FAIL, CLEAR_OK), None),
            ("stale reply, old transaction id", ["modbus-tcp", "--reply-delay", "1000"],
             ["--dialog-rules", "--address", "1,1", "--period", "100"], 1,
             "1: %s\n1: %s\n" % (OPERATION_FAIL, CLEAR_OK), None),
            # modbus-tcp:// to a peer that hands every byte back and answers nothing.
            ("gateway that echoes", ["tcp", "--fault", "silent", "--echo"], ["--address", "1-2", "--period", "100"],
             1, "1: %s\n2: %s\n" % (OPERATION_FAIL, OPERATION_FAIL), None),
        ]
        for name, sim_args, clear_args, status, out, err in rows:
            with self.subTest(name), Sim("--listen", sim_args[0] + "://127.0.0.1:0", *sim_args[1:]) as sim:
                port = sim.port.replace("tcp://", "modbus-tcp://") if name.startswith("gateway that") else sim.port
                r = run_clear("--port", port, *clear_args, "--trace")
                time.sleep(0.5)
                sim.stop()
                self.assertEqual((r.returncode, r.stdout), (status, out), r)
                if err:
                    self.assertTrue(r.stderr.splitlines()[-1].startswith(err), r)
                if name.startswith("stale"):
                    # The late replies did go out while the second run was on.
                    self.assertGreaterEqual(len(sim.frames("TX")), 2, sim.log)
                if name.startswith("reply split"):
                    halves = [float(line.split()[0]) for line in sim.log.splitlines() if " TX " in line]
                    print("split: halves sent %.1f ms apart" % (halves[1] - halves[0]))
                    self.assertGreater(halves[1] - halves[0], 250, sim.log)

    def test_connect_failures(self):
        # A listener whose backlog is full never takes the next connection.
        full = socket.socket()
        full.bind(("127.0.0.1", 0))
        full.listen(0)
        held = socket.create_connection(full.getsockname())
        closed = free_port()
        rows = [
            # port name, reason, at most seconds
            ("tcp://127.0.0.1:%d" % closed, "Connecting to 127.0.0.1:%d: Connection refused" % closed, 1.0),
            ("modbus-tcp://[::1]:%d" % closed, "Connecting to [::1]:%d: Connection refused" % closed, 1.0),
            ("tcp://127.0.0.1:%d" % full.getsockname()[1], "Connection timed out", 4.5),
            ("rfc2217://korvanel.invalid:7", "Connecting to korvanel.invalid:7: name not found", 4.5),
        ]
        try:
            for name, reason, bound in rows:
                with self.subTest(name):
                    r = run_clear("--port", name)
                    print("%s: exit %d after %.2f s" % (name, r.returncode, r.seconds))
                    self.assertEqual((r.returncode, r.stdout), (2, ""), r)
                    self.assertTrue(r.stderr.startswith("COM Open Fail: "), r)
                    self.assertIn(reason, r.stderr)
                    self.assertLess(r.seconds, bound, r)
        finally:
            held.close()
            full.close()


class Flood(unittest.TestCase):
    def test_a_peer_that_floods_holds_no_run_past_its_schedule(self):
        # socat sends zeros as fast as the loopback takes them: the run keeps
        # its schedule (Operation Fail after eight periods) in bounded memory;
        # through rfc2217:// the COM port offer is never answered.
        need_programs("socat", "ss")
        for scheme, status in [("tcp", 1), ("rfc2217", 2)]:
            port = free_port()
            with self.subTest(scheme), subprocess.Popen(
                    ["socat", "-u", "OPEN:/dev/zero", "TCP-LISTEN:%d,bind=127.0.0.1,reuseaddr" % port]) as flood:
                wait_until(lambda: subprocess.run(["ss", "-ltnH", "sport = :%d" % port], capture_output=True,
                                                  text=True).stdout.strip() != "", 5)
                r = run_clear("--port", "%s://127.0.0.1:%d" % (scheme, port), "--period", "100", timeout=20)
                flood.kill()
            print("%s flood: exit %d after %.2f s" % (scheme, r.returncode, r.seconds))
            self.assertEqual(r.returncode, status, r)
            self.assertLess(r.seconds, 8.0, r)


class TwoAddresses(unittest.TestCase):
    def test_a_name_whose_first_address_drops_the_attempt(self):
        """In a network namespace of its own, dual.test is fd00::2 (first, by
        gai.conf), whose packets go to a veth end nobody answers on, then
        127.0.0.1, where the simulator listens."""
        if os.geteuid() != 0 and os.environ.get("CI") == "true":
            self.fail("needs root to make a network namespace")
        if os.geteuid() != 0:
            self.skipTest("needs root to make a network namespace")
        with tempfile.TemporaryDirectory(prefix="korvanel-ns-") as d:
            with open(os.path.join(d, "hosts"), "w") as f:
                f.write("fd00::2 dual.test\n127.0.0.1 dual.test\n")
            with open(os.path.join(d, "gai.conf"), "w") as f:
                f.write("precedence fd00::/8 45\nprecedence ::ffff:0:0/96 35\n")
            script = """set -e; mount --bind $D/hosts /etc/hosts; mount --bind $D/gai.conf /etc/gai.conf
ip link set lo up; ip link add x0 type veth peer name x1; ip link set x1 up; ip link set x0 up
ip -6 addr add fd00::1/64 dev x0 nodad; ip -6 neigh add fd00::2 lladdr 02:00:00:00:00:02 dev x0 nud permanent
getent ahosts dual.test | head -1; "$SIM" --listen tcp://127.0.0.1:4001 >/dev/null 2>&1 & sleep 0.5
start=$(date +%s%N); set +e; "$CLEAR" --port tcp://dual.test:4001 --period 100
echo "$? $(( ($(date +%s%N) - start) / 1000000 ))"; kill $!"""
            proc = subprocess.run(["unshare", "-n", "-m", "sh", "-c", script], capture_output=True, text=True,
                                  timeout=30, env=dict(os.environ, D=d, SIM=SIM, CLEAR=CLEAR))
        lines = proc.stdout.splitlines()
        print("two addresses: " + " / ".join(lines))
        self.assertEqual((lines[0].split()[0], lines[1:-1], lines[-1].split()[0]), ("fd00::2", [CLEAR_OK], "0"),
                         proc.stdout + proc.stderr)
        # The first address had its share (half the 3 s bound), not all of it.
        self.assertTrue(1400 < int(lines[-1].split()[1]) < 2900, lines)


if __name__ == "__main__":
    unittest.main(verbosity=2)
