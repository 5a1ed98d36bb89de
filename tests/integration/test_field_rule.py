"""korvanel-clear's own reply rule on lines as technicians meet them, against
korvanel-sim's line faults: adapters that echo, late replies in a batch, junk
at the turnaround, exception codes, the broadcast address, repeated
addresses, and an outcome that cannot be written."""

import subprocess
import unittest

from harness import RETRY_TICKS, CLEAR, CLEAR_OK, OPERATION_FAIL, REQUEST_1, Sim, clear_request, is_write, run_clear

# At 9600 baud a request, its echo and a reply take about 8 ms each: a
# period of 100 ms leaves room for all three and for a loaded machine.
PERIOD = "100"
LINE = ["--line-rate", "9600"]
ECHO_HINT = "the line echoes"
EXCEPTION_04 = "exception 04 (server device failure)"


class EchoingAdapter(unittest.TestCase):
    ROWS = [
        # name, sim arguments, clear arguments, outcome, exit, request ticks,
        # stderr holds, stderr lacks
        # Alone, the echo of a Clear request is byte for byte its reply: the
        # read sent first shows the line echoes, so it is taken off.
        ("echo alone", ["--fault", "silent"], [], OPERATION_FAIL, 1, RETRY_TICKS, [ECHO_HINT], []),
        ("echo alone, --echo", ["--fault", "silent"], ["--echo"], OPERATION_FAIL, 1, RETRY_TICKS, [],
         [ECHO_HINT]),
        ("echo + reply", [], [], CLEAR_OK, 0, [1], [ECHO_HINT], []),
        ("echo + reply, --echo", [], ["--echo"], CLEAR_OK, 0, [1], [], [ECHO_HINT]),
        ("echo + exception", ["--fault", "exception"], [], OPERATION_FAIL, 1, [1],
         [EXCEPTION_04, ECHO_HINT], []),
        ("echo + exception, --echo", ["--fault", "exception"], ["--echo"], OPERATION_FAIL, 1, [1],
         [EXCEPTION_04], [ECHO_HINT]),
        # A glitch byte ahead of the echo.
        ("glitch, echo + exception", ["--fault", "exception", "--echo-glitch", "00"], [], OPERATION_FAIL, 1,
         [1], [EXCEPTION_04, ECHO_HINT], []),
    ]

    def test_outcomes(self):
        for name, sim_args, clear_args, outcome, status, ticks, holds, lacks in self.ROWS:
            with self.subTest(name), Sim("--echo", *LINE, *sim_args) as sim:
                r = run_clear("--port", sim.port, "--period", PERIOD, "--trace", *clear_args)
                sim.stop()
                self.assertEqual(r.stdout, outcome + "\n", r)
                self.assertEqual(r.returncode, status, r)
                self.assertEqual(r.writes(), [(t, REQUEST_1) for t in ticks], r)
                for text in holds:
                    self.assertIn(text, r.stderr)
                for text in lacks:
                    self.assertNotIn(text, r.stderr)
                # The hint is given once per session, not once per tick.
                self.assertLessEqual(r.stderr.count(ECHO_HINT), 1)


class LateReplyAcrossABatch(unittest.TestCase):
    # Inverter 1 answers each request 2.5 periods late; inverter 2 is absent.
    def test_a_late_reply_never_clears_the_next_address(self):
        rows = [
            # rule, what address 2 gets
            ([], OPERATION_FAIL),
            # The dialog's rule does not compare the address: the fault the
            # field rule mends.
            (["--dialog-rules"], CLEAR_OK),
        ]
        for clear_args, second in rows:
            with self.subTest(clear_args), Sim("--address", "1", "--reply-delay", "250", *LINE) as sim:
                r = run_clear("--port", sim.port, "--period", PERIOD, "--address", "1,2", "--trace",
                              *clear_args)
            lines = r.stdout.splitlines()
            self.assertEqual(len(lines), 2, r)
            self.assertIn(lines[0], ("1: " + CLEAR_OK, "1: " + OPERATION_FAIL))
            self.assertEqual(lines[1], "2: " + second, r)
            # A reply of inverter 1 did reach address 2's run, or was dropped
            # as it started: the case was exercised.
            self.assertTrue(REQUEST_1 in r.heard(2) or "stale bytes dropped" in r.stderr, r)


class JunkAndExceptions(unittest.TestCase):
    def test_junk_before_the_reply(self):
        rows = [([], CLEAR_OK, 0, [1]), (["--dialog-rules"], OPERATION_FAIL, 1, RETRY_TICKS)]
        for clear_args, outcome, status, ticks in rows:
            with self.subTest(clear_args), Sim("--junk-before", "FF00", *LINE) as sim:
                r = run_clear("--port", sim.port, "--period", PERIOD, "--trace", *clear_args)
            self.assertEqual((r.stdout, r.returncode), (outcome + "\n", status), r)
            self.assertEqual([t for t, _ in r.writes()], ticks)

    REFUSED = "inverter 1 refused the write: exception %02X (%s)\n"
    CODES = [
        # code, meaning, what stderr says, write requests sent
        (0x01, "illegal function", REFUSED, 1), (0x02, "illegal data address", REFUSED, 1),
        (0x03, "illegal data value", REFUSED, 1), (0x04, "server device failure", REFUSED, 1),
        (0x08, "memory parity error", REFUSED, 1), (0x07, "unknown exception code", REFUSED, 1),
        # Taken, still working: the request ticks left read the register back.
        (0x05, "acknowledge", "inverter 1 took the write with exception %02X (%s), but it did not", 1),
        # Not answers: the schedule goes on.
        (0x06, "server device busy", "inverter 1 is busy: exception %02X (%s); it is asked again", len(RETRY_TICKS)),
        (0x0A, "gateway path unavailable", "the gateway answered for inverter 1: exception %02X (%s)",
         len(RETRY_TICKS)),
        (0x0B, "gateway target device failed to respond",
         "the gateway answered for inverter 1: exception %02X (%s)", len(RETRY_TICKS)),
    ]

    def test_exception_codes_by_meaning(self):
        for code, meaning, said, writes in self.CODES:
            with self.subTest(code=code), Sim("--fault", "exception", "--exception", str(code)) as sim:
                r = run_clear("--port", sim.port, "--period", "30", "--address", "1", "--no-echo", "--trace")
            self.assertEqual((r.stdout, r.returncode), (OPERATION_FAIL + "\n", 1), r)
            self.assertIn(said % (code, meaning), r.stderr)
            self.assertEqual(len(r.writes()), writes, r)


class BroadcastAndRepeats(unittest.TestCase):
    def test_broadcast_is_sent_and_never_failed(self):
        # Inverter 2 is deaf; an echoing adapter hands every broadcast back.
        for sim_extra in ([], ["--echo"]):
            with self.subTest(sim_extra), Sim("--address", "1-3", "--fault", "2:silent", *sim_extra) as sim:
                r = run_clear("--port", sim.port, "--period", "30", "--broadcast", "--trace")
                sim.stop()
            self.assertEqual(r.returncode, 0, r)
            self.assertNotIn(OPERATION_FAIL, r.stdout)
            self.assertEqual(len(r.stdout.splitlines()), 1, r)
            self.assertIn("no inverter answers a broadcast", r.stdout)
            self.assertEqual(r.sent(), [(t, clear_request(0)) for t in RETRY_TICKS], r)
            self.assertEqual(sim.log.count("broadcast, executed by 2, no reply"), 4, sim.log)

    def test_an_address_named_twice_runs_once(self):
        with Sim("--address", "1-2") as sim:
            r = run_clear("--port", sim.port, "--period", "30", "--address", "2,1,2,2")
            sim.stop()
        self.assertEqual(r.stdout, "2: %s\n1: %s\n" % (CLEAR_OK, CLEAR_OK), r)
        self.assertIn("address 2 is named more than once", r.stderr)
        self.assertEqual([f for f in sim.frames("RX") if is_write(f)], [clear_request(2), clear_request(1)])


class UnwritableOutcome(unittest.TestCase):
    def test_a_full_disk_stops_the_session_with_2(self):
        with Sim("--address", "1-3") as sim, open("/dev/full", "w") as full:
            proc = subprocess.run([CLEAR, "--port", sim.port, "--period", "30", "--address", "1-3"],
                                  stdout=full, stderr=subprocess.PIPE, text=True, timeout=20)
            # The port was closed: it opens again at once.
            again = run_clear("--port", sim.port, "--period", "30", "--address", "3")
            sim.stop()
        self.assertEqual(proc.returncode, 2, proc.stderr)
        self.assertIn("cannot write the outcome to standard output", proc.stderr)
        self.assertEqual(again.returncode, 0, again)
        # Stopped after the run whose line could not be written.
        self.assertEqual([f for f in sim.frames("RX") if is_write(f)], [clear_request(1), clear_request(3)])


if __name__ == "__main__":
    unittest.main(verbosity=2)
