"""The line goes away in the middle of a run, as when a USB adapter is pulled:
the run must end as failed within its seven checks, without a crash, a hang
or a busy loop, and the next start must say "COM Open Fail" cleanly."""

import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "integration"))
from harness import CLEAR, OPERATION_FAIL, TRACE_LINE, Sim, run_clear  # noqa: E402

PERIOD_MS = 50


class DeviceLoss(unittest.TestCase):
    # The tick after which the simulator dies: right after the first
    # request, in the middle of the checks, after the last request.
    LOSS_AFTER_TICK = [1, 4, 7]

    def test_the_run_fails_promptly_and_the_port_is_gone(self):
        for loss_tick in self.LOSS_AFTER_TICK:
            with self.subTest(loss_after_tick=loss_tick), tempfile.TemporaryDirectory() as tmp:
                link = os.path.join(tmp, "inverter")
                with Sim("--fault", "silent", "--link", link) as sim:
                    proc = subprocess.Popen(
                        [CLEAR, "--port", link, "--period", str(PERIOD_MS), "--trace"],
                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                    started = time.monotonic()
                    trace = []
                    for line in proc.stderr:
                        trace.append(line)
                        m = TRACE_LINE.match(line)
                        if m and int(m.group("tick")) >= loss_tick:
                            break
                    sim.stop(signal.SIGKILL)
                    lost = time.monotonic()
                    rest = proc.stderr.read()
                    _, status, usage = os.wait4(proc.pid, 0)
                    ended = time.monotonic()
                    out = proc.stdout.read()
                    proc.stdout.close()
                    proc.stderr.close()
                    proc.returncode = os.waitstatus_to_exitcode(status)

                self.assertEqual(proc.returncode, 1, out + rest)
                self.assertEqual(out, OPERATION_FAIL + "\n")
                ticks = [int(m.group("tick")) for m in map(TRACE_LINE.match, trace + rest.splitlines(True)) if m]
                self.assertLessEqual(max(ticks), 8, "the run outlived its seven checks")
                # Whatever is left of the run after the loss: at most 8 - loss
                # ticks, plus the poll thread's phase.
                self.assertLess(ended - lost, (9 - loss_tick) * PERIOD_MS / 1000 + 1.0)
                cpu = usage.ru_utime + usage.ru_stime
                wall = ended - started
                print("loss after tick %d: run ended %.0f ms after the loss; cpu %.3f s of %.3f s wall"
                      % (loss_tick, (ended - lost) * 1000, cpu, wall))
                self.assertLess(cpu, 0.25 * wall, "busy loop after the line went away")

                again = run_clear("--port", link, "--period", str(PERIOD_MS))
                self.assertEqual(again.returncode, 2, again)
                self.assertTrue(again.stderr.startswith("COM Open Fail: "), again)
                self.assertEqual(again.stdout, "")


if __name__ == "__main__":
    unittest.main(verbosity=2)
