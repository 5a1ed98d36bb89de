"""korvanel-clear against an independent inverter: the RTU server of
pymodbus, over a socat pseudo-terminal pair."""

import os
import select
import subprocess
import unittest

from harness import CLEAR_OK, PYTHON, Socat, clear_request, need_programs, need_pymodbus, run_clear

PEER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "pymodbus_peer.py")


class Peer:
    def __init__(self, port, address, initial):
        # Unbuffered lines, so select() sees each one as it is printed.
        self.proc = subprocess.Popen([PYTHON, PEER, port, str(address), str(initial)], bufsize=1,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.values = [self.next_value(timeout=20)]

    def next_value(self, timeout):
        ready, _, _ = select.select([self.proc.stdout], [], [], timeout)
        line = self.proc.stdout.readline() if ready else ""
        if not line.startswith("value "):
            raise AssertionError("pymodbus peer said %r; stderr: %s" % (line, self.stop()))
        return int(line.split()[1])

    def stop(self):
        self.proc.terminate()
        try:
            _, err = self.proc.communicate(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            _, err = self.proc.communicate()
        return err


def setUpModule():
    need_programs("socat")
    need_pymodbus()


class PymodbusPeer(unittest.TestCase):
    def test_register_cleared_and_reported(self):
        # The 0x10 write, one register, is taken by an independent server too.
        for address, period, function, write in ((1, "50", "6", clear_request(1)),
                                                  (17, "200", "16", "11 10 00 4A 00 01 02 00 00 65 FA")):
            with self.subTest(address=address), Socat() as pair:
                peer = Peer(pair.b, address, 0x1234)
                try:
                    self.assertEqual(peer.values, [0x1234])
                    r = run_clear("--port", pair.a, "--address", str(address), "--period", period, "--trace",
                                  "--function", function)
                    self.assertEqual(r.stdout, CLEAR_OK + "\n", r)
                    self.assertEqual(r.returncode, 0, r)
                    self.assertEqual(r.writes()[0], (1, write), r)
                    self.assertEqual(peer.next_value(timeout=5), 0)
                finally:
                    peer.stop()

    def test_found_by_a_scan_then_cleared_and_verified(self):
        with Socat() as pair:
            peer = Peer(pair.b, 2, 0x1234)
            try:
                scan = run_clear("--port", pair.a, "--scan", "1-3", "--period", "300", "--trace")
                cleared = run_clear("--port", pair.a, "--address", "2", "--verify", "--period", "200")
                self.assertEqual(peer.next_value(timeout=5), 0)
            finally:
                peer.stop()
        self.assertEqual(scan.stdout, "2: 0x004A = 4660 (0x1234)\n", scan)
        self.assertEqual(scan.returncode, 0, scan)
        self.assertEqual({data.split()[1] for _, data in scan.sent()}, {"03"}, scan)
        self.assertEqual(cleared.stdout, CLEAR_OK + "\nverified: register 0x004A = 0\n", cleared)
        self.assertEqual(cleared.returncode, 0, cleared)


if __name__ == "__main__":
    unittest.main(verbosity=2)
