"""korvanel-clear on a line it shares with a user's shell and other programs:
nothing of its own reaches the bus when its standard streams are closed, a
stop by hang-up or a closed reader gives the port back to the next
(unprivileged) user, the line settings found are restored, and an adapter
that vanishes in the middle of a batch ends the whole session at once."""

import os
import pathlib
import pwd
import signal
import subprocess
import tempfile
import termios
import time
import unittest

from harness import CLEAR, CLEAR_OK, READ_1, TRACE_LINE, Sim, clear_request, run_clear, wait_until

# A user with no rights beyond the port it is given: root opens a port even
# when its exclusive flag is left set, so only another user shows the fault.
TEST_USER = "korvanel-test"


def unprivileged(args):
    """`args` run as a user that is not root (this one, or the test user)."""
    if os.geteuid() != 0:
        return args
    try:
        pwd.getpwnam(TEST_USER)
    except KeyError:
        subprocess.run(["useradd", "--system", "--no-create-home", "--shell", "/usr/sbin/nologin",
                        TEST_USER], check=True)
    return ["runuser", "-u", TEST_USER, "--", *args]


def open_to_everyone(port):
    """The simulator's port is root's; the test user is given it as a
    dialout member would be."""
    if os.geteuid() == 0:
        os.chmod(port, 0o666)


class ClosedStandardStreams(unittest.TestCase):
    ROWS = [
        # name, descriptors closed at start, extra arguments
        ("stdout closed", [1], []),
        ("stderr closed while tracing", [2], ["--trace"]),
        ("stdout and stderr closed while tracing", [1, 2], ["--trace"]),
    ]

    def test_nothing_of_ours_reaches_the_bus(self):
        for name, closed, extra in self.ROWS:
            with self.subTest(name), Sim() as sim:
                proc = subprocess.run(
                    [CLEAR, "--port", sim.port, "--period", "100", *extra],
                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                    preexec_fn=lambda fds=closed: [os.close(fd) for fd in fds], timeout=20)
                sim.stop()
                self.assertEqual(proc.returncode, 0, sim.log)
                received = sim.frames("RX")
                self.assertTrue(received, sim.log)
                # The read that finds out whether the line echoes, then the write.
                self.assertEqual(set(received), {READ_1, clear_request(1)}, sim.log)


class StoppedRunGivesThePortBack(unittest.TestCase):
    """Inverter 1 stays silent, so the first run is still going when it is
    stopped; inverter 2 answers the next start, made by another user."""

    def stop_by_hang_up(self, sim):
        proc = subprocess.Popen([CLEAR, "--port", sim.port, "--address", "1", "--period", "50",
                                 "--trace"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        for line in proc.stderr:
            m = TRACE_LINE.match(line)
            if m and m.group("dir") == "TX":
                break
        proc.send_signal(signal.SIGHUP)
        err = proc.stderr.read()
        out = proc.stdout.read()
        proc.wait(timeout=10)
        proc.stdout.close()
        proc.stderr.close()
        return proc.returncode, out, err

    def stop_by_closed_reader(self, sim):
        # `korvanel-clear --address 2,3,4,5 | head -n1`: the reader is gone
        # after the first outcome line.
        with tempfile.TemporaryFile(mode="w+") as err_file:
            proc = subprocess.Popen([CLEAR, "--port", sim.port, "--address", "2-5", "--period", "50"],
                                    stdout=subprocess.PIPE, stderr=err_file, text=True)
            first = proc.stdout.readline()
            proc.stdout.close()
            proc.wait(timeout=20)
            err_file.seek(0)
            return proc.returncode, first, err_file.read()

    def stop_by_signal(self, sim, sig, blocked=False, ignored=None):
        """`sig` while inverter 1 is asked. `blocked`: standard error is a
        full pipe nobody reads, so the first trace line never gets out;
        `ignored` is ignored from the start, as nohup does."""
        read_end, write_end = os.pipe()
        if blocked:
            os.set_blocking(write_end, False)
            while True:
                try:
                    os.write(write_end, b"x" * 4096)
                except BlockingIOError:
                    break
            os.set_blocking(write_end, True)
        proc = subprocess.Popen([CLEAR, "--port", sim.port, "--address", "1", "--period", "200", "--trace"],
                                stdout=subprocess.PIPE, stderr=write_end, text=True,
                                preexec_fn=lambda: ignored and signal.signal(ignored, signal.SIG_IGN))
        os.close(write_end)
        err = os.fdopen(read_end, "rb")
        if blocked:
            wchan = pathlib.Path("/proc/%d/wchan" % proc.pid)
            self.assertTrue(wait_until(lambda: "pipe_write" in wchan.read_text(), 10), "never blocked")
        else:
            while not TRACE_LINE.match(err.readline().decode()):
                pass
        if ignored:
            os.kill(proc.pid, ignored)
            time.sleep(0.3)
            self.assertIsNone(proc.poll(), "a signal ignored at start must stay ignored")
        sent = time.monotonic()
        proc.send_signal(sig)
        try:
            proc.wait(timeout=10)
        finally:
            proc.kill()
        print("exit %.3f s after the signal" % (time.monotonic() - sent))
        self.assertLess(time.monotonic() - sent, 1.0)
        out = proc.stdout.read()
        proc.stdout.close()
        with err:
            return proc.returncode, out, err.read().decode().lstrip("x")

    ROWS = [
        # name, how the run is stopped, exit status, words on stderr (None:
        # any message; "": stderr is blocked, nothing can be said)
        ("hang-up", stop_by_hang_up, 128 + signal.SIGHUP, "the port is closed"),
        ("closed reader", stop_by_closed_reader, 2, None),
        ("Ctrl-C, stderr blocked", lambda t, sim: t.stop_by_signal(sim, signal.SIGINT, blocked=True), 130, ""),
        ("SIGQUIT", lambda t, sim: t.stop_by_signal(sim, signal.SIGQUIT), 131, "the port is closed"),
        ("SIGTERM after nohup", lambda t, sim: t.stop_by_signal(sim, signal.SIGTERM, ignored=signal.SIGHUP),
         143, "the port is closed"),
    ]

    @staticmethod
    def set_line(port, settings=(termios.ECHO | termios.ICANON, termios.B19200)):
        """Puts unusual settings on the line, or none; returns those it has."""
        fd = os.open(port, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        try:
            if settings:
                attrs = termios.tcgetattr(fd)
                attrs[3] |= settings[0]
                attrs[4] = attrs[5] = settings[1]
                termios.tcsetattr(fd, termios.TCSANOW, attrs)
            return termios.tcgetattr(fd)[:6]
        finally:
            os.close(fd)

    def test_next_start_by_another_user_opens_the_port(self):
        for name, stop, status, words in self.ROWS:
            with self.subTest(name), Sim("--address", "1-5", "--fault", "1:silent") as sim:
                open_to_everyone(sim.port)
                found = self.set_line(sim.port)
                rc, out, err = stop(self, sim)
                print("%s: exit %d, stderr %r" % (name, rc, err.strip()[-120:]))
                self.assertEqual(rc, status, (out, err))
                self.assertIn(words or "", err)
                if words != "":
                    self.assertNotEqual(err.strip(), "", "a stop must be explained")
                self.assertEqual(self.set_line(sim.port, None), found, "settings found at open are restored")
                after = subprocess.run(unprivileged([CLEAR, "--port", sim.port, "--address", "2",
                                                     "--period", "30"]),
                                       capture_output=True, text=True, timeout=20)
                self.assertEqual((after.returncode, after.stdout), (0, CLEAR_OK + "\n"), after.stderr)


class LineSettings(unittest.TestCase):
    def test_restored_after_a_run(self):
        with Sim() as sim:
            fd = os.open(sim.port, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
            try:
                found = termios.tcgetattr(fd)
                found[3] |= termios.ECHO | termios.ICANON
                found[4] = found[5] = termios.B19200
                termios.tcsetattr(fd, termios.TCSANOW, found)
                found = termios.tcgetattr(fd)
                r = run_clear("--port", sim.port, "--period", "30")
                after = termios.tcgetattr(fd)
            finally:
                os.close(fd)
        self.assertEqual(r.stdout, CLEAR_OK + "\n", r)
        # iflag, oflag, cflag, lflag, ispeed, ospeed
        self.assertEqual(after[:6], found[:6])


class VanishingAdapter(unittest.TestCase):
    PERIOD_MS = 300
    # Inverter 1 clears within a few tens of milliseconds of the start;
    # silent inverter 2 is tried from then to about 2.1 s; the adapter goes
    # 1.8 s after the simulator started, inside that run whether
    # korvanel-clear started 0.1 s or (on a loaded machine) 1.6 s later.
    VANISH_S = 1.8

    def test_mid_batch_ends_the_session_within_a_period(self):
        with Sim("--address", "1-3", "--fault", "2:silent", "--vanish-after", str(self.VANISH_S)) as sim:
            proc = subprocess.Popen([CLEAR, "--port", sim.port, "--address", "1-3",
                                     "--period", str(self.PERIOD_MS), "--trace"],
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            sim.proc.wait(timeout=10)
            vanished = time.monotonic()
            out, err = proc.communicate(timeout=10)
            ended = time.monotonic()
        after_ms = (ended - vanished) * 1000
        print("session ended %.0f ms after the adapter vanished (period %d ms)" % (after_ms, self.PERIOD_MS))
        self.assertEqual(proc.returncode, 2, err)
        self.assertEqual(out, "1: " + CLEAR_OK + "\n")
        self.assertRegex(err, r"(?m)^COM Port Lost: .*'%s': " % sim.port)
        tried = {m.group("addr") for m in map(TRACE_LINE.match, err.splitlines()) if m and m.group("dir") == "TX"}
        self.assertEqual(tried, {"1", "2"}, "address 3 must not be tried")
        # One period to the next tick, and a loaded machine's slack.
        self.assertLess(after_ms, self.PERIOD_MS + 1500)


if __name__ == "__main__":
    unittest.main(verbosity=2)
