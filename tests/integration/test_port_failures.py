"""korvanel-clear on ports it cannot use: the dialog's text and the system's
reason on standard error, exit status 2, nothing on standard output."""

import fcntl
import os
import subprocess
import tempfile
import time
import unittest

from harness import CLEAR, Sim, run_clear


class PortFailures(unittest.TestCase):
    def check(self, port, text, reason):
        r = run_clear("--port", port, "--period", "30")
        self.assertEqual(r.returncode, 2, r)
        self.assertEqual(r.stdout, "", r)
        first = r.stderr.splitlines()[0]
        self.assertTrue(first.startswith(text + ": "), r)
        self.assertIn(reason, first)

    def test_names_that_open_nothing(self):
        rows = [
            ("/dev/korvanel-no-such-port", "No such file or directory"),
            ("korvanel-no-such-port", "'/dev/korvanel-no-such-port': No such file or directory"),
            ("COM200", "'/dev/ttyS199': No such file or directory"),
            ("", "no port name"),
            ("/proc", "Is a directory"),
        ]
        for port, reason in rows:
            with self.subTest(port=port):
                self.check(port, "COM Open Fail", reason)

    def test_paths_that_are_not_terminals(self):
        with tempfile.NamedTemporaryFile() as regular:
            for port in ("/dev/null", regular.name):
                with self.subTest(port=port):
                    self.check(port, "COM Setting Fail!!", "Inappropriate ioctl for device")

    def test_port_held_by_another_program(self):
        with Sim() as sim:
            # A program holding the port with an exclusive lock.
            holder = os.open(sim.port, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
            try:
                fcntl.flock(holder, fcntl.LOCK_EX | fcntl.LOCK_NB)
                self.check(sim.port, "COM Open Fail", "busy")
            finally:
                os.close(holder)
            # Another korvanel-clear in the middle of a run (inverter 2 is
            # absent, so its run takes eight periods).
            first = subprocess.Popen([CLEAR, "--port", sim.port, "--period", "300", "--address", "2"],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            try:
                time.sleep(0.3)
                self.check(sim.port, "COM Open Fail", "busy")
            finally:
                out, _ = first.communicate(timeout=10)
            self.assertEqual(out, "!!--Operation Fail--!!\n")
            # Free again once the holder is done.
            self.assertEqual(run_clear("--port", sim.port, "--period", "30").returncode, 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
