"""korvanel-clear --capture and korvanel-sim --capture read back by tshark:
every frame the trace says was sent is a Query at the time the trace gives,
every byte heard is in a packet from port 502, each frame labelled Response
with its check verified, and a capture cut off by SIGTERM reads to its end."""

import contextlib
import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import CLEAR, Result, Sim, need_programs, run_clear  # noqa: E402
from test_network_ports import Ser2net  # noqa: E402

TSHARK = ["tshark", "-o", "mbrtu.udp.port:502", "-o", "mbrtu.crc_verification:TRUE", "-T", "fields",
          "-E", "separator=|", "-e", "frame.time_relative", "-e", "udp.srcport", "-e", "udp.payload",
          "-e", "mbrtu.crc16.status", "-e", "frame.comment", "-e", "_ws.col.Info", "-r"]
# Clock readings of the trace and of the capture differ by a thread's wake-up at most; a
# loaded two-core machine gets a loose bound.
TIME_SLACK_S = 0.05


def packets(path):
    proc = subprocess.run(TSHARK + [path], capture_output=True, text=True, timeout=30)
    assert proc.returncode == 0, proc.stderr
    rows = []
    for line in proc.stdout.splitlines():
        t, port, payload, crc, comment, info = line.split("|", 5)
        hexed = " ".join(payload[i:i + 2] for i in range(0, len(payload), 2)).upper()
        rows.append(dict(t=float(t), query=port == "49152", bytes=hexed, crc=crc, comment=comment, info=info))
    return rows


class CaptureTest(unittest.TestCase):
    def setUp(self):
        need_programs("tshark", "ser2net")
        self.dir = tempfile.TemporaryDirectory()

    def tearDown(self):
        self.dir.cleanup()

    def check_against_trace(self, name, result, rows, note=None):
        sent = [r for r in rows if r["query"]]
        heard = [r for r in rows if not r["query"]]
        trace_tx = result.trace("TX")
        self.assertEqual([r["bytes"] for r in sent], [data for _, _, data, _, _ in trace_tx], name)
        self.assertEqual(" ".join(r["bytes"] for r in heard), result.heard(), name)
        for r in sent:
            self.assertIn("Query", r["info"], (name, r))
        for r in heard:
            if "made no frame" not in r["comment"]:
                self.assertIn("Response", r["info"], (name, r))
                self.assertEqual(r["crc"], "1", (name, r))
        worst = max(abs((r["t"] - sent[0]["t"]) - (tx[3] - trace_tx[0][3]) / 1000)
                    for r, tx in zip(sent, trace_tx))
        print("%s: %d packets, %d sent, worst time off the trace %.1f ms"
              % (name, len(rows), len(sent), worst * 1000))
        self.assertLess(worst, TIME_SLACK_S, name)
        if note:
            self.assertTrue(all(note in r["comment"] for r in rows), (name, rows))

    def test_sessions_decode_as_the_trace_says(self):
        rows = [
            # name, simulator's options, korvanel-clear's, a note every packet carries, ser2net's accepter
            ("clean clear", [], ["--address", "1"], "9600 8N1", None),
            ("echo with a glitch", ["--echo", "--echo-glitch", "00"], ["--address", "1"], None, None),
            ("split reply", ["--fault", "split", "--split-delay", "300"], ["--address", "1", "--no-echo"], None,
             None),
            ("scan", ["--address", "2,5"], ["--scan", "1-6"], None, None),
            ("modbus-tcp", ["--listen", "modbus-tcp://127.0.0.1:0"], ["--address", "1"], "MBAP tid", None),
            ("rfc2217 through ser2net", [], ["--address", "1"], "9600 8N1", "rfc2217"),
            ("tcp through ser2net", ["--echo"], ["--address", "1"], None, "tcp"),
        ]
        for name, sim_args, clear_args, note, via in rows:
            with self.subTest(name):
                clear_cap = os.path.join(self.dir.name, "clear.pcapng")
                sim_cap = os.path.join(self.dir.name, "sim.pcapng")
                with Sim(*sim_args, "--capture", sim_cap) as sim, contextlib.ExitStack() as stack:
                    port = sim.port
                    if via:
                        s2n = stack.enter_context(Ser2net(sim.port, "9600n81"))
                        port = "%s://127.0.0.1:%d" % (via, s2n.telnet_port if via == "rfc2217" else s2n.raw_port)
                    r = run_clear("--port", port, "--period", "100", "--trace", "--capture", clear_cap,
                                  *clear_args)
                    sim.stop()
                self.assertIn(r.returncode, (0, 1), r)
                got = packets(clear_cap)
                self.check_against_trace(name, r, got, note)
                if name == "split reply":
                    self.assertTrue(any("arrived in 2 reads" in p["comment"] for p in got), got)
                # The simulator heard, as its own queries, what korvanel-clear sent.
                sim_rows = packets(sim_cap)
                self.assertEqual([p["bytes"] for p in sim_rows if p["query"]], sim.frames("RX"), name)
                self.assertEqual([p["bytes"] for p in sim_rows if not p["query"]], sim.frames("TX"), name)

    def test_capture_after_sigterm_reads_to_its_last_packet(self):
        cap = os.path.join(self.dir.name, "cut.pcapng")
        with Sim("--echo", "--fault", "silent") as sim:
            proc = subprocess.Popen([CLEAR, "--port", sim.port, "--address", "1-3", "--echo", "--period",
                                     "100", "--trace", "--capture", cap],
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            time.sleep(1.2)
            proc.send_signal(signal.SIGTERM)
            out, err = proc.communicate(timeout=10)
        self.assertEqual(proc.returncode, 128 + signal.SIGTERM)
        result = Result(proc.returncode, out, err, 0)
        rows = packets(cap)
        self.assertGreater(len([r for r in rows if not r["query"]]), 2, rows)
        self.check_against_trace("after SIGTERM", result, rows)

    def test_a_capture_that_cannot_be_made_is_a_usage_error_before_anything_is_sent(self):
        with Sim() as sim:
            r = run_clear("--port", sim.port, "--capture", os.path.join(self.dir.name, "no", "dir.pcapng"))
            sim.stop()
        self.assertEqual(r.returncode, 2, r)
        self.assertIn("Creating capture", r.stderr)
        self.assertEqual(sim.frames("RX"), [])


if __name__ == "__main__":
    unittest.main(verbosity=2)
