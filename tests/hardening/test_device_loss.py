"""The line goes away in the middle of a run, as when a USB adapter is pulled:
the session must end at the next tick with "COM Port Lost" and exit 2,
without a crash, a hang or a busy loop, and the next start must say
"COM Open Fail" cleanly. Bounds are loose enough for a loaded 2-core
machine; the figures are printed."""

import contextlib
import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "integration"))
from harness import CLEAR, TRACE_LINE, Sim, run_clear  # noqa: E402

PERIOD_MS = 50
# The next tick is at most one period away; a loaded machine may delay the
# poll thread, the main thread and this script by far more than that.
END_SLACK_S = 2.0
# A session that polls in a loop after the loss burns a core; a sound one
# spends a few milliseconds of CPU in the whole run.
CPU_SHARE_LIMIT = 0.5
CPU_FLOOR_S = 0.2


class DeviceLoss(unittest.TestCase):
    # The tick after which the simulator dies: right after the first
    # request, in the middle of the checks, after the last request.
    LOSS_AFTER_TICK = [1, 4, 7]

    def test_the_session_ends_at_once_and_the_port_is_gone(self):
        for loss_tick in self.LOSS_AFTER_TICK:
            with self.subTest(loss_after_tick=loss_tick), tempfile.TemporaryDirectory() as tmp, \
                    contextlib.ExitStack() as stack:
                link = os.path.join(tmp, "inverter")
                sim = stack.enter_context(Sim("--fault", "silent", "--link", link))
                # Holding the port's side keeps its number taken after the
                # simulator dies, so that no other test's new pseudo-terminal
                # turns up behind the dangling link; the simulator's death
                # still hangs the line up.
                hold = os.open(sim.port, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
                stack.callback(os.close, hold)
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

                cpu = usage.ru_utime + usage.ru_stime
                wall = ended - started
                print("loss after tick %d: session ended %.0f ms after the loss; cpu %.3f s of %.3f s wall"
                      % (loss_tick, (ended - lost) * 1000, cpu, wall))
                self.assertEqual(proc.returncode, 2, out + "".join(trace) + rest)
                self.assertEqual(out, "", "no outcome for a run cut off")
                self.assertRegex(rest, r"(?m)^COM Port Lost: .+'%s': " % link)
                ticks = [int(m.group("tick")) for m in map(TRACE_LINE.match, trace + rest.splitlines(True)) if m]
                self.assertLessEqual(max(ticks), 8, "the run outlived its seven checks")
                self.assertLess(ended - lost, PERIOD_MS / 1000 + END_SLACK_S)
                self.assertLess(cpu, max(CPU_SHARE_LIMIT * wall, CPU_FLOOR_S), "busy loop after the line went away")

                again = run_clear("--port", link, "--period", str(PERIOD_MS))
                self.assertEqual(again.returncode, 2, again)
                self.assertTrue(again.stderr.startswith("COM Open Fail: "), again)
                self.assertEqual(again.stdout, "")


if __name__ == "__main__":
    unittest.main(verbosity=2)
