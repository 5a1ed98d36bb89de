"""Random bytes flood the line during runs, as a noisy cable or a flaky
adapter would: a run whose inverter never sent a valid reply must never be
reported as cleared, and no tick handler may stall."""

import os
import re
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "integration"))
from harness import CLEAR_OK, OPERATION_FAIL, Sim, run_clear  # noqa: E402

PERIOD_MS = 30
RUNS = 4
LONGEST_TICK = re.compile(r"longest tick handler (\d+\.\d+) ms")
# A tick handler that blocked on the line would take at least a period; a
# second means it hung.
STALL_MS = 1000.0


class LineNoise(unittest.TestCase):
    # (fault, junk bytes per second). 4000 B/s is about 80 bytes a tick;
    # 40000 B/s overruns the 256-byte read buffer every tick.
    NEVER_VALID = [(fault, rate)
                   for fault in ("silent", "exception", "bad-check", "stray-byte", "split", "flood")
                   for rate in (4000, 40000)]

    longest = []

    def clear_with_noise(self, fault, rate, seed):
        args = ["--fault", fault, "--noise", str(rate), "--seed", str(seed)]
        if fault == "split":
            args += ["--split-delay", str(PERIOD_MS * 3 // 2)]
        # The dialog's rule: a stray byte before the reply fails, and the
        # list runs as given, one run per repeat.
        with Sim(*args, "--quiet") as sim:
            r = run_clear("--port", sim.port, "--period", str(PERIOD_MS), "--address",
                          ",".join(["1"] * RUNS), "--trace", "--stats", "--dialog-rules", timeout=60)
        m = LONGEST_TICK.search(r.stderr)
        self.assertIsNotNone(m, r)
        self.longest.append(float(m.group(1)))
        self.assertLess(float(m.group(1)), STALL_MS, "a tick handler stalled")
        gathered = sum(len(data.split()) for _, _, data, _, _ in r.trace("RX") if data[0] != "(")
        return r, gathered

    def test_noise_never_makes_a_failed_run_a_success(self):
        for seed, (fault, rate) in enumerate(self.NEVER_VALID, start=1):
            with self.subTest(fault=fault, noise=rate):
                r, gathered = self.clear_with_noise(fault, rate, seed)
                self.assertEqual(r.stdout.splitlines(), ["1: " + OPERATION_FAIL] * RUNS, r)
                self.assertEqual(r.returncode, 1)
                self.assertGreater(gathered, rate * PERIOD_MS / 1000 * RUNS, "the noise did not arrive")

    def test_noise_inside_the_echo_never_gives_a_false_clear(self):
        # korvanel-clear's own rule learns the echo from its first read; a
        # noise byte inside that read's echo once made it take the write's
        # echo for a reply. Each session learns afresh, so each is its own.
        sessions = {"silent": 0, "exception": 0}
        for seed in range(1, 13):
            for fault in sessions:
                with self.subTest(fault=fault, seed=seed), \
                        Sim("--fault", fault, "--exception", "2", "--echo", "--noise", "100",
                            "--line-rate", "9600", "--seed", str(seed), "--quiet") as sim:
                    r = run_clear("--port", sim.port, "--period", "100", timeout=60)
                    self.assertEqual(r.stdout, OPERATION_FAIL + "\n", r)
                    self.assertEqual(r.returncode, 1, r)
                    sessions[fault] += 1
        print("\nno false Clear over %s sessions on an echoing line with noise"
              % " + ".join("%d %s" % (n, f) for f, n in sessions.items()))

    def test_a_clean_line_still_clears(self):
        # The same harness without noise succeeds, so the runs above failed
        # because of what was on the line.
        with Sim("--quiet") as sim:
            r = run_clear("--port", sim.port, "--period", str(PERIOD_MS), "--address",
                          ",".join(["1"] * RUNS), "--stats", "--dialog-rules")
        self.assertEqual(r.stdout.splitlines(), ["1: " + CLEAR_OK] * RUNS, r)

    @classmethod
    def tearDownClass(cls):
        if cls.longest:
            print("\nlongest tick handler over %d noisy sessions: %.3f ms" % (len(cls.longest), max(cls.longest)))


if __name__ == "__main__":
    unittest.main(verbosity=2)
