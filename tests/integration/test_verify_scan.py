"""korvanel-clear --verify (read register 0x004A back after each Clear OK)
and --scan (read it on every address of a list, write nothing) against
korvanel-sim: the lines printed, the exit status, and the frames on the
wire."""

import json
import subprocess
import unittest

from harness import CLEAR_OK, OPERATION_FAIL, PYTHON, Sim, run_clear

# A scan gives each address a single check one period after the request;
# 100 ms leaves a loaded machine ample time for a 9600 baud read and reply
# (about 16 ms of line time).
PERIOD = "100"
VERIFIED = "verified: register 0x004A = 0"


class Verify(unittest.TestCase):
    ROWS = [
        # name, sim arguments, clear arguments, stdout lines, exit
        ("cleared and read back 0", [], [], [CLEAR_OK, VERIFIED], 0),
        # Says yes, does nothing: the case --verify exists for.
        ("write acknowledged, not done", ["--ignore-write"], [],
         [CLEAR_OK, "not verified: register 0x004A = 4660 (0x1234)"], 1),
        # Stored a second late: one read right after the write sees the old value.
        ("write stored late", ["--apply-delay", "1000"], [],
         [CLEAR_OK, "not verified: register 0x004A = 4660 (0x1234)"], 1),
        # The read sent first finds the echo, so the write's echo is never
        # taken for its reply.
        ("echoing adapter, no inverter", ["--echo", "--fault", "silent"], [], [OPERATION_FAIL], 1),
        ("echoing adapter, inverter, --echo", ["--echo", "--line-rate", "9600"], ["--echo"],
         [CLEAR_OK, VERIFIED], 0),
        ("a batch: one refuses the read, one the write", ["--address", "1-4", "--fault", "2:refuse-read",
                                                         "--fault", "3:exception", "--exception", "2"],
         ["--address", "1-4"],
         ["1: " + CLEAR_OK, "1: " + VERIFIED,
          "2: " + CLEAR_OK, "2: not verified: the read was refused: exception 02 (illegal data address)",
          "3: " + OPERATION_FAIL,
          "4: " + CLEAR_OK, "4: " + VERIFIED], 1),
    ]

    def test_lines_and_exit(self):
        for name, sim_args, clear_args, lines, status in self.ROWS:
            with self.subTest(name), Sim(*sim_args) as sim:
                r = run_clear("--port", sim.port, "--period", PERIOD, "--verify", *clear_args)
            self.assertEqual(r.stdout.splitlines(), lines, r)
            self.assertEqual(r.returncode, status, r)


def json_lines(stdout):
    """Each line through python3 -m json.tool, as a script's reader would."""
    objects = []
    for line in stdout.splitlines():
        checked = subprocess.run([PYTHON, "-m", "json.tool"], input=line, capture_output=True, text=True,
                                 timeout=20)
        if checked.returncode != 0:
            raise AssertionError(f"not JSON: {line!r}: {checked.stderr}")
        objects.append(json.loads(checked.stdout))
    return objects


class Scan(unittest.TestCase):
    def test_line_settings_found(self):
        # Inverter 3 at 19200 baud; a pseudo-terminal cannot show parity,
        # so it answers the first combination at its speed.
        with Sim("--address", "3", "--baud", "19200") as sim:
            r = run_clear("--port", sim.port, "--period", PERIOD, "--scan", "2-3", "--baud", "9600,19200",
                          "--parity", "none,even", "--json", timeout=30)
            text = run_clear("--port", sim.port, "--period", PERIOD, "--scan", "3", "--baud", "9600,19200",
                             timeout=30)
            sim.stop()
        objects = json_lines(r.stdout)
        self.assertEqual([(o.get("address"), o.get("outcome"), o.get("settings"), o.get("value")) for o in objects[:-1]],
                         [(3, "answered", "19200 8N1", 4660), (2, "silent", "9600 8N1, 9600 8E1, 19200 8N1, 19200 8E1",
                                                                None)], r)
        self.assertEqual((objects[-1]["summary"], objects[-1]["settings"], objects[-1]["exit_status"]),
                         (True, ["19200 8N1"], 0), r)
        self.assertEqual(r.returncode, 0, r)
        self.assertIn("settings found: 19200 8N1 (1 address)", r.stderr)
        self.assertEqual(text.stdout, "3: 0x004A = 4660 (0x1234) at 19200 8N1\n", text)
        # Asked at 9600 N and E (noise to it) and once at 19200, never again.
        to_three = [f for f in sim.frames("RX") if f.startswith("03 03")]
        self.assertEqual(len(to_three), 3 + 2, sim.log)

    def test_a_bus_of_three_with_one_refusing(self):
        with Sim("--address", "3,5,9", "--fault", "5:exception", "--exception", "2", "--line-rate", "9600") as sim:
            r = run_clear("--port", sim.port, "--period", PERIOD, "--scan", "1-10", timeout=30)
            sim.stop()
        self.assertEqual(r.stdout.splitlines(), [
            "3: 0x004A = 4660 (0x1234)",
            "5: exception 02 (illegal data address)",
            "9: 0x004A = 4660 (0x1234)",
        ], r)
        self.assertEqual(r.returncode, 0, r)
        self.assertRegex(r.stderr, r"scan: 10 addresses asked, 3 answered, \d+\.\d s")
        # One read per address, and nothing but reads.
        frames = sim.frames("RX")
        self.assertEqual([int(f.split()[0], 16) for f in frames], list(range(1, 11)), sim.log)
        self.assertEqual({f.split()[1] for f in frames}, {"03"}, sim.log)
        self.assertNotIn("write", sim.log)
        print("\nscan of 1-10 at --period %s: %.2f s" % (PERIOD, r.seconds))

    def test_no_one_answers(self):
        with Sim("--fault", "silent") as sim:
            r = run_clear("--port", sim.port, "--period", PERIOD, "--scan", "1-4,9")
        self.assertEqual((r.stdout, r.returncode), ("", 1), r)
        self.assertIn("scan: 5 addresses asked, 0 answered", r.stderr)

    def test_usage_errors(self):
        rows = [
            (["--scan", "0-5"], "the broadcast address"),
            (["--scan", "1-5", "--address", "3"], "takes no --address"),
            (["--scan", "1-5", "--verify"], "takes no --address, --broadcast, --verify"),
            (["--broadcast", "--verify"], "no inverter answers a broadcast"),
            (["--scan"], "needs a value"),
        ]
        for args, says in rows:
            with self.subTest(args=args):
                r = run_clear(*args)
                self.assertEqual(r.returncode, 2, r)
                self.assertIn(says, r.stderr)


if __name__ == "__main__":
    unittest.main(verbosity=2)
