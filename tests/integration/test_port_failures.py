"""korvanel-clear on ports it cannot use: the dialog's text and the system's
reason on standard error, exit status 2, nothing on standard output."""

import fcntl
import grp
import os
import subprocess
import tempfile
import time
import unittest

from harness import CLEAR, Sim, need, run_clear


class PortFailures(unittest.TestCase):
    def check(self, port, text, reason, *more):
        r = run_clear("--port", port, "--period", "30", *more)
        self.assertEqual(r.returncode, 2, r)
        self.assertEqual(r.stdout, "", r)
        first = r.stderr.splitlines()[0]
        self.assertTrue(first.startswith(text + ": "), r)
        self.assertIn(reason, first)

    def test_names_that_open_nothing(self):
        rows = [
            ("/dev/korvanel-no-such-port",
             "No such file or directory; --list-ports shows the serial ports present"),
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

    def test_rs485_on_a_line_without_the_mode(self):
        # A pseudo-terminal has no RS-485 mode, as most USB adapters: the
        # run stops before its first byte.
        # The capture stands between the session and the port: the mode
        # must still reach the driver through it.
        for mode in (["--rs485"], ["--rs485=rts-low", "--rs485-delay", "1,2"],
                     ["--rs485", "--capture", os.devnull]):
            with self.subTest(mode=mode):
                master, slave = os.openpty()
                port = os.ttyname(slave)
                try:
                    self.check(port, "COM Setting Fail!!", f"{port} takes no RS-485 settings: its adapter "
                               "switches direction itself, so run without --rs485", *mode)
                    os.set_blocking(master, False)
                    # The slave stays open, so an empty line reads as EAGAIN.
                    self.assertRaises(BlockingIOError, os.read, master, 64)
                finally:
                    os.close(slave)
                    os.close(master)

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


# A user with no claim to any port; the programs run as it.
USER = "nobody"
AS_USER = ["runuser", "-u", USER, "--"]
# Holds the port named by argv[1] the way argv[2] says, prints its PID, and
# waits for its input to close.
HOLDER = """
import fcntl, os, sys, termios
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
if sys.argv[2] == "lock":
    fcntl.flock(fd, fcntl.LOCK_EX)
else:
    fcntl.ioctl(fd, termios.TIOCEXCL)
print(os.getpid(), flush=True)
sys.stdin.read()
"""


class PortProblemsExplained(unittest.TestCase):
    """What a user meets on a first run, run as a user who is not root."""

    def setUp(self):
        need(os.geteuid() == 0, "root, to make the port's owner and a user to run as")

    def holder(self, port, how, as_user):
        proc = subprocess.Popen((AS_USER if as_user else []) + ["/usr/bin/python3", "-c", HOLDER, port, how],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.addCleanup(proc.stdout.close)
        self.addCleanup(proc.wait, 10)
        self.addCleanup(proc.stdin.close)
        return int(proc.stdout.readline())

    def test_each_problem_names_its_cause_and_cure(self):
        rows = [
            # name, owner group, mode, holder (how, as the user), what stderr says
            ("no rights to the port", "dialout", 0o660, None,
             "Permission denied; add yourself to the group dialout: sudo usermod -aG dialout $USER, "
             "then log in again"),
            ("locked by another user's program", "root", 0o666, ("lock", False),
             "Device or resource busy; held by PID {pid} (python3)"),
            ("claimed exclusively by the user's own program", "root", 0o666, ("exclusive", True),
             "Device or resource busy; held by PID {pid} (python3)"),
        ]
        for name, group, mode, holder, says in rows:
            with self.subTest(name):
                master, slave = os.openpty()
                port = os.ttyname(slave)
                # The line stays up on the master alone.
                os.close(slave)
                try:
                    os.chown(port, 0, grp.getgrnam(group).gr_gid)
                    os.chmod(port, mode)
                    pid = self.holder(port, *holder) if holder else None
                    r = subprocess.run(AS_USER + [CLEAR, "--port", port, "--period", "30"],
                                       capture_output=True, text=True, timeout=20)
                    print(f"{name}: {r.stderr.strip()}")
                    self.assertEqual((r.returncode, r.stdout), (2, ""), r.stderr)
                    self.assertEqual(r.stderr, f"COM Open Fail: Opening '{port}': {says.format(pid=pid)}\n")
                finally:
                    os.close(master)
                    self.doCleanups()


if __name__ == "__main__":
    unittest.main(verbosity=2)
