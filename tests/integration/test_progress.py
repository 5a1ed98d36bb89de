"""korvanel-clear's progress line with stderr on a real pseudo-terminal and
stdout piped, against korvanel-sim: it counts up, and without it stdout and
stderr read as they do piped."""

import os
import re
import signal
import subprocess
import threading
import time
import unittest

from harness import CLEAR, Sim, run_clear

FRAME = re.compile(r"(?:scan|clear): (\d+)/\d+(?: asked)?, (\d+) \w+.*, \d+ s *$")


def on_terminal(*args, stop_after=None):
    master, slave = os.openpty()
    proc = subprocess.Popen([CLEAR, *args], stdout=subprocess.PIPE, stderr=slave)
    os.close(slave)
    if stop_after:
        threading.Timer(stop_after, proc.send_signal, (signal.SIGTERM,)).start()
    raw = b""
    try:
        while chunk := os.read(master, 4096):
            raw += chunk
    except OSError:  # EIO: korvanel-clear has let go of the terminal
        pass
    os.close(master)
    return proc.communicate(timeout=30)[0].decode(), raw.decode()


class Progress(unittest.TestCase):
    def test_counts_up_and_leaves_the_lines_as_they_are(self):
        for args, first in ((["--scan", "1-8"], "scan: 1/8 asked, 0 answered, 0 s"),
                            (["--address", "1-4"], "clear: 0/4, 0 cleared, 0 failed, 0 s")):
            with self.subTest(args[0]), Sim("--address", "3,5") as sim:
                start = time.monotonic()
                out, raw = on_terminal("--port", sim.port, "--period", "100", *args)
                seconds = time.monotonic() - start
                piped = run_clear("--port", sim.port, "--period", "100", *args)
            frames = [f for f in raw.split("\r") if FRAME.match(f)]
            counts = [tuple(map(int, FRAME.match(f).groups())) for f in frames]
            print("\n%s: %d frames in %.1f s, last %r" % (args[0], len(frames), seconds, frames[-1:]))
            self.assertEqual((frames[0].rstrip(), counts, out), (first, sorted(counts), piped.stdout), raw)
            self.assertTrue(counts[-1] > counts[0] and len(frames) < 4 * seconds + 4, raw)
            # Wiped before the summary and at the end; nothing else on stderr.
            tidy = lambda t: re.sub(r"\d+\.\d s", "T s", t.replace("\r\n", "\n"))
            self.assertEqual(tidy(re.sub(r"\r(?:scan|clear): [^\r\n]*|\r +\r?", "", raw)), tidy(piped.stderr), raw)
            self.assertTrue(raw.endswith(("\r", "\n")) and "\r" not in piped.stderr, raw)

    def test_a_stop_wipes_the_line_before_its_message(self):
        with Sim("--address", "3") as sim:
            _, raw = on_terminal("--port", sim.port, "--period", "100", "--scan", "1-40", stop_after=1.0)
        self.assertRegex(raw, r"\rscan: [^\r]*\r +\rInterrupted: the port is closed\.\r?\n$")


if __name__ == "__main__":
    unittest.main(verbosity=2)
