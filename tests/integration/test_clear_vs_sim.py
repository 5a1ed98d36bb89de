"""korvanel-clear against korvanel-sim in every fault mode: the outcome a
user sees, the exit status, and the requests on the wire with the tick each
went out on."""

import os
import select
import signal
import socket
import subprocess
import time
import unittest

from harness import (RETRY_TICKS, CLEAR, SIM, Result, CLEAR_OK, OPERATION_FAIL, REQUEST_1, Sim, clear_request, crc16_modbus,
                     need_programs, run_clear, wait_until)

PERIOD = 50
# Write Multiple Registers of 0x004A alone, value 0, to inverter 1.
WRITE_16 = "01 10 00 4A 00 01 02 00 00 A8 3A"


class FaultModes(unittest.TestCase):
    DIALOG = ["--dialog-rules"]
    ROWS = [
        # name, sim arguments, korvanel-clear arguments, outcome, exit, request ticks,
        # 0x004A afterwards
        ("faithful", [], [], CLEAR_OK, 0, [1], 0),
        ("silent", ["--fault", "silent"], [], OPERATION_FAIL, 1, RETRY_TICKS, 0x1234),
        # The dialog takes a refusal for silence and asks again; the field
        # rule stops at the refusal.
        ("exception reply, dialog", ["--fault", "exception"], DIALOG, OPERATION_FAIL, 1, RETRY_TICKS, 0x1234),
        ("exception reply, field", ["--fault", "exception"], [], OPERATION_FAIL, 1, [1], 0x1234),
        ("corrupted check", ["--fault", "bad-check"], [], OPERATION_FAIL, 1, RETRY_TICKS, 0),
        # The dialog wants the reply at the first byte; the field rule skips junk.
        ("stray byte first, dialog", ["--fault", "stray-byte"], DIALOG, OPERATION_FAIL, 1, RETRY_TICKS, 0),
        ("stray byte first, field", ["--fault", "stray-byte"], [], CLEAR_OK, 0, [1], 0),
        # The dialog does not compare the address byte; the field rule does.
        ("other address, dialog", ["--fault", "other-address"], DIALOG, CLEAR_OK, 0, [1], 0),
        ("other address, field", ["--fault", "other-address"], [], OPERATION_FAIL, 1, RETRY_TICKS, 0),
        # The dialog judges each tick's bytes alone; korvanel-clear the run's
        # whole window, where the halves meet.
        ("split across ticks, dialog", ["--fault", "split", "--split-delay", str(PERIOD * 5 // 2)], DIALOG,
         OPERATION_FAIL, 1, RETRY_TICKS, 0),
        ("split across ticks, field", ["--fault", "split", "--split-delay", str(PERIOD * 5 // 2)], [],
         CLEAR_OK, 0, [1, 3], 0),
        ("junk flood", ["--fault", "flood", "--flood-bytes", "300"], [], OPERATION_FAIL, 1, RETRY_TICKS, 0),
        ("answers the 4th request", ["--answer-from", "4"], [], CLEAR_OK, 0, RETRY_TICKS, 0),
        ("answers the 5th request", ["--answer-from", "5"], [], OPERATION_FAIL, 1, RETRY_TICKS, 0x1234),
        ("answers after the 3rd request", ["--answer-after", "3"], [], CLEAR_OK, 0, RETRY_TICKS, 0),
        # The simulator hears only its own speed, read from the line's termios.
        ("inverter at 19200, line at 9600", ["--baud", "19200"], [], OPERATION_FAIL, 1, RETRY_TICKS, 0x1234),
        ("inverter at 19200, line at 19200 8E1", ["--baud", "19200"], ["--baud", "19200", "--parity", "even"],
         CLEAR_OK, 0, [1], 0),
        ("inverter at 38400, line at 38400 8N2", ["--baud", "38400"], ["--baud", "38400", "--stop-bits", "2"],
         CLEAR_OK, 0, [1], 0),
        # Ticks of the writes, with the frame where it is not a 0x06 request.
        ("takes only 0x10, 0x06 sent", ["--fault", "fc16-only"], [], OPERATION_FAIL, 1, [1], 0x1234),
        ("takes only 0x10, --function auto", ["--fault", "fc16-only"], ["--function", "auto"], CLEAR_OK, 0,
         [1, (3, WRITE_16)], 0),
        ("--function 16", [], ["--function", "16"], CLEAR_OK, 0, [(1, WRITE_16)], 0),
    ]

    def test_outcome_exit_and_wire(self):
        for name, sim_args, clear_args, outcome, status, ticks, register in self.ROWS:
            with self.subTest(name):
                with Sim(*sim_args) as sim:
                    # The line's echo is stated: the rows are about the writes'
                    # schedule, not the read that finds out.
                    echo = [] if clear_args == self.DIALOG else ["--no-echo"]
                    r = run_clear("--port", sim.port, "--period", str(PERIOD), "--trace", *echo, *clear_args)
                    sim.stop()
                self.assertEqual(r.stdout, outcome + "\n", r)
                self.assertEqual(r.returncode, status, r)
                writes = [(t, REQUEST_1) if isinstance(t, int) else t for t in ticks]
                self.assertEqual(r.sent(), writes, r)
                self.assertEqual(sim.frames("RX"), [frame for _, frame in writes], sim.log)
                self.assertEqual(sim.final_register(), register, sim.log)

    def test_flood_is_drained_past_the_buffer(self):
        # 300 junk bytes arrive in one interval: the first 256 are kept, the
        # rest leave the queue too, and the next tick starts clean.
        with Sim("--fault", "flood", "--flood-bytes", "300") as sim:
            r = run_clear("--port", sim.port, "--period", str(PERIOD), "--trace", *self.DIALOG)
        gathered = [data for tick, d, data, _, _ in r.trace("RX") if tick == 2]
        self.assertEqual(len(gathered), 1, r)
        self.assertTrue(gathered[0].endswith("(+44 more dropped)"), gathered)
        self.assertEqual(len(gathered[0].split("  (")[0].split()), 256)
        after = [data for tick, d, data, _, _ in r.trace("RX") if tick == 3]
        self.assertEqual(after, ["(none)"], r)


class Addresses(unittest.TestCase):
    def test_each_address_gets_one_run_on_one_port(self):
        with Sim("--address", "1-2,7") as sim:
            r = run_clear("--port", sim.port, "--period", "30", "--address", "1-3,7", "--trace", "--no-echo")
        self.assertEqual(r.stdout, "1: %s\n2: %s\n3: %s\n7: %s\n" % (CLEAR_OK, CLEAR_OK, OPERATION_FAIL, CLEAR_OK), r)
        self.assertEqual(r.returncode, 1, r)
        sent_to = [(int(addr), data) for tick, d, data, _, addr in r.trace("TX") if tick == 1]
        self.assertEqual(sent_to, [(a, clear_request(a)) for a in (1, 2, 3, 7)])

    def test_address_byte_is_the_one_typed(self):
        with Sim("--address", "255") as sim:
            r = run_clear("--port", sim.port, "--period", "30", "--address", "255", "--trace", "--no-echo")
        self.assertEqual(r.stdout, CLEAR_OK + "\n", r)
        self.assertEqual(r.sent(), [(1, clear_request(255))], r)


class Endings(unittest.TestCase):
    def test_ctrl_c_closes_the_port_and_exits_130(self):
        for sig, status in ((signal.SIGINT, 130), (signal.SIGTERM, 143)):
            with self.subTest(sig=sig), Sim("--fault", "silent") as sim:
                proc = subprocess.Popen([CLEAR, "--port", sim.port, "--period", "1000"],
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                time.sleep(0.5)
                sent = time.monotonic()
                proc.send_signal(sig)
                out, err = proc.communicate(timeout=5)
                self.assertLess(time.monotonic() - sent, 1.0)
                self.assertEqual(proc.returncode, status, err)
                self.assertEqual(out, "")
                # The port is free again at once.
                r = run_clear("--port", sim.port, "--period", "30")
                self.assertEqual(r.returncode, 1, r)  # silent: a failed run, not an open failure

    def test_vanished_device_ends_the_session_promptly(self):
        with Sim("--fault", "silent") as sim:
            proc = subprocess.Popen([CLEAR, "--port", sim.port, "--period", "100", "--trace"],
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            time.sleep(0.35)  # the first request is out
            sim.stop(signal.SIGKILL)
            lost = time.monotonic()
            out, err = proc.communicate(timeout=10)
            after_ms = (time.monotonic() - lost) * 1000
        print("session ended %.0f ms after the line went (period 100 ms)" % after_ms)
        self.assertEqual(proc.returncode, 2, err)
        self.assertEqual(out, "")
        self.assertRegex(err, r"(?m)^COM Port Lost: .*'%s': " % sim.port)
        # Nothing is gathered once the line is gone, and the next tick ends
        # it; a loaded machine may delay that tick by a second or two.
        self.assertEqual([t for t, d, data, _, _ in Result(2, out, err, 0).trace("RX")
                          if data not in ("(none)", "(read failed)")], [])
        self.assertLess(after_ms, 100 + 2000)

    def test_sim_stops_cleanly_on_signals(self):
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            with self.subTest(sig=sig):
                link = "/tmp/korvanel-sim-link-%d" % os.getpid()
                with Sim("--link", link) as sim:
                    self.assertEqual(os.path.realpath(link), sim.port)
                    r = run_clear("--port", link, "--period", "30")
                    self.assertEqual(r.stdout, CLEAR_OK + "\n", r)
                    self.assertEqual(sim.stop(sig), 0, sim.log)
                self.assertFalse(os.path.lexists(link))
                self.assertIn("stopped", sim.log)


class CommandLine(unittest.TestCase):
    USAGE_ERRORS = [
        (["--address", "256"], "address '256' is outside 1 to 255"),
        (["--address", "1-"], "not an address range"),
        (["--address", "4-1"], "backwards"),
        (["--address", ""], "empty item"),
        (["--period", "9"], "10 to 60000"),
        (["--period", "60001"], "10 to 60000"),
        (["--port"], "needs a value"),
        (["--port", "--trace"], "needs a value, not the option '--trace'"),
        (["--address", "0"], "holds 0, the broadcast address"),
        (["--address", "0-3"], "give --broadcast instead"),
        (["--bogus"], "unknown option"),
        (["COM1"], "unexpected argument"),
        (["-"], "'-' is neither an option nor an argument this program takes"),
    ]

    def test_usage_errors_exit_2_and_say_why(self):
        for args, reason in self.USAGE_ERRORS:
            with self.subTest(args=args):
                r = run_clear(*args)
                self.assertEqual(r.returncode, 2, r)
                self.assertIn(reason, r.stderr)
                self.assertEqual(r.stdout, "")

    def test_information_options(self):
        r = run_clear("--help")
        self.assertEqual(r.returncode, 0)
        self.assertIn("--address LIST", r.stdout)
        r = run_clear("--version")
        self.assertEqual((r.returncode, r.stdout), (0, "korvanel-clear 1.0.0.1\n"))
        r = run_clear("--list-ports")
        self.assertEqual(r.returncode, 0)
        for line in r.stdout.splitlines():
            self.assertTrue(line.startswith("/dev/tty") or line.startswith("/dev/serial/by-id/"), line)



class SimCommandLine(unittest.TestCase):
    # A simulator that starts on a bad option would leave a test talking to
    # an inverter it did not ask for: each must refuse, say why, open nothing.
    USAGE_ERRORS = [
        (["--fault", "bogus"], "unknown fault 'bogus'"),
        (["--fault", "3-x:silent"], "not an address range"),
        (["--address", "256"], "address '256' is outside 1 to 255"),
        (["--exception", "0"], "from 1 to 255"),
        (["--line-rate", "fast"], "--line-rate takes a number"),
        (["--junk-before", "F"], "pairs of hex digits"),
        (["--vanish-after", "0"], "seconds above 0"),
        (["--reply-delay"], "needs a value"),
        (["--link", "--quiet"], "needs a value, not the option '--quiet'"),
        (["--quiet=1"], "takes no value"),
        (["extra"], "unexpected argument 'extra'"),
        (["--listen", "rfc2217://:0"], "--listen takes tcp://HOST:PORT or modbus-tcp://HOST:PORT"),
        (["--listen", "tcp://127.0.0.1"], "no port"),
        (["--listen", "tcp://:0", "--baud", "9600"], "--baud needs a serial line"),
        (["--address", "1", "--address=2-3"], "--address given twice; give one list: --address 1,2-3"),
        (["--fault", "silent", "--fault", "3:split", "--fault", "none"], "--fault MODE given twice"),
        (["--seed", "1", "--seed", "2"], "--seed given twice; give it once"),
        (["--echo-glitch", "0"], "pairs of hex digits"),
        (["--echo-delay", "-1"], "--echo-delay takes a number"),
        (["--address", "0-3"], "address list '0-3' holds 0, the broadcast address, which no inverter has"),
        (["--fault", "0:silent"], "address list '0' holds 0, the broadcast address"),
        (["--answer-after", "2", "--answer-from", "3"], "--answer-after N and --answer-from N+1 say the same"),
        (["--fault", "2-4:silent", "--fault", "4:split"],
         "address 4 is given two fault modes, by --fault 2-4:silent and --fault 4:split"),
        (["--listen", "tcp://:0", "--link", "/tmp/korvanel-never"], "--link names a pseudo-terminal; --listen makes none"),
        (["-"], "'-' is neither an option nor an argument this program takes"),
    ]

    def test_usage_errors_exit_2_and_say_why(self):
        for args, reason in self.USAGE_ERRORS:
            with self.subTest(args=args):
                proc = subprocess.run([SIM, *args], capture_output=True, text=True, timeout=10)
                self.assertEqual(proc.returncode, 2, proc)
                self.assertIn(reason, proc.stderr)
                self.assertEqual(proc.stdout, "", "no port may be offered")

def frame(hex_body):
    body = bytes.fromhex(hex_body)
    return " ".join("%02X" % b for b in body + crc16_modbus(body))


class SimAdapterEcho(unittest.TestCase):
    """A read of 0x004A, so its reply differs from its echo."""
    READ = frame("01 03 00 4A 00 01")
    ANSWER = frame("01 03 02 12 34")
    ROWS = [
        # name, simulator options, what comes back in order: (bytes, not before ms)
        ("glitch", ["--echo-glitch", "00"], [("00 " + READ, 0), (ANSWER, 0)]),
        ("late echo", ["--echo-delay", "150"], [(ANSWER, 0), (READ, 150)]),
        ("glitch, late echo, later reply", ["--echo-glitch", "FF00", "--echo-delay", "60", "--reply-delay", "200"],
         [("FF 00 " + READ, 60), (ANSWER, 200)]),
    ]

    def test_bytes_and_times_on_the_wire(self):
        for name, args, parts in self.ROWS:
            with self.subTest(name), Sim(*args) as sim:
                fd = os.open(sim.port, os.O_RDWR | os.O_NOCTTY)
                try:
                    sent = time.monotonic()
                    os.write(fd, bytes.fromhex(self.READ))
                    got = []  # (ms after the request, byte)
                    while select.select([fd], [], [], 0.5)[0]:
                        got += [((time.monotonic() - sent) * 1000, b) for b in os.read(fd, 256)]
                finally:
                    os.close(fd)
                self.assertEqual(" ".join("%02X" % b for _, b in got), " ".join(p for p, _ in parts))
                end = 0
                for part, not_before in parts:
                    end += len(part.split())
                    print("%s: %s by %.1f ms" % (name, part, got[end - 1][0]))
                    self.assertGreaterEqual(got[end - 1][0], not_before)


def mbap(tid, body_hex):
    body = bytes.fromhex(body_hex)
    return tid.to_bytes(2, "big") + b"\0\0" + len(body).to_bytes(2, "big") + body


def log_so_far(sim):
    return os.pread(sim.err_file.fileno(), 1 << 20, 0).decode(errors="replace")


class SimListener(unittest.TestCase):
    READ = mbap(7, "01 03 00 4A 00 01")
    WRITE = mbap(8, "01 06 00 4A 00 00")
    ANSWERS = mbap(7, "01 03 02 12 34") + mbap(8, "01 06 00 4A 00 00")

    def connect(self, sim):
        return socket.create_connection(("127.0.0.1", int(sim.port.rsplit(":", 1)[1])), timeout=5)

    def test_a_gateway_answers_two_requests_that_came_together(self):
        # MBAP lengths delimit the requests, not a silence on the bus.
        for name, args, gap_s in [("one segment", [], 0), ("1 ms apart", [], 0.001),
                                  ("the second amid the first's answer", ["--line-rate", "1200"], 0.02)]:
            with self.subTest(name), Sim("--listen", "modbus-tcp://127.0.0.1:0", *args) as sim:
                with self.connect(sim) as c:
                    c.sendall(self.READ if gap_s else self.READ + self.WRITE)
                    if gap_s:
                        time.sleep(gap_s)
                        c.sendall(self.WRITE)
                    got = b""
                    while len(got) < len(self.ANSWERS) and select.select([c], [], [], 2)[0]:
                        got += c.recv(256) or b"-"
                sim.stop()
                self.assertEqual(got.hex(" "), self.ANSWERS.hex(" "), sim.log)
                self.assertEqual(sim.final_register(), 0, sim.log)

    def test_a_client_that_reads_nothing_is_closed_and_holds_no_stop(self):
        with Sim("--listen", "tcp://127.0.0.1:0", "--noise", "1000000") as sim:
            with self.connect(sim):
                start = time.monotonic()
                closed = wait_until(lambda: "reads nothing we send" in log_so_far(sim), 10)
                print("a client that reads nothing closed after %.2f s" % (time.monotonic() - start))
                self.assertTrue(closed, log_so_far(sim))
            with self.connect(sim):
                time.sleep(0.2)
                start = time.monotonic()
                status = sim.stop(signal.SIGTERM)
                took = time.monotonic() - start
                print("stopped %.3f s after SIGTERM, a client connected that reads nothing" % took)
                self.assertEqual(status, 0, sim.log)
                self.assertLess(took, 2.0)

    def test_on_the_any_address_the_url_printed_connects(self):
        # In a network namespace of the test's own, so nothing listens on
        # the machine's real interfaces.
        need_programs("unshare", "nsenter")
        for bound, url in [("tcp://0.0.0.0:0", "tcp://127.0.0.1:"), ("modbus-tcp://[::]:0", "modbus-tcp://[::1]:")]:
            sim = Sim("--listen", bound)
            sim.args = ["unshare", "-rn", "sh", "-c", 'ip link set lo up && exec "$0" "$@"', *sim.args]
            with self.subTest(bound), sim:
                self.assertTrue(sim.port.startswith(url), sim.port)
                r = subprocess.run(["nsenter", "-t", str(sim.proc.pid), "-n", CLEAR, "--port", sim.port,
                                    "--period", "100"], capture_output=True, text=True, timeout=20)
                self.assertEqual((r.returncode, r.stdout), (0, CLEAR_OK + "\n"), r)
                sim.stop()
                self.assertIn("listening on every address of this machine", sim.log)


if __name__ == "__main__":
    unittest.main(verbosity=2)
