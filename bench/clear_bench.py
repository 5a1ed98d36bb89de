"""One Clear, timed end to end on one virtual inverter's pseudo-terminal:
korvanel-clear at periods of 1000, 100 and 20 ms next to mbpoll's single
write of the same register, and the pacing of the requests over a failing
run (an address the inverter does not answer) at each period.

usage: clear_bench.py KORVANEL_CLEAR KORVANEL_SIM [--repeat N]"""

import argparse
import re
import statistics
import subprocess
import sys
import time

PERIODS = (1000, 100, 20)
TX_LINE = re.compile(r"^\s*(\d+\.\d) ms  tick (\d+)  TX  ")
MBPOLL = ["mbpoll", "-m", "rtu", "-b", "9600", "-d", "8", "-s", "1", "-P", "none", "-0", "-t", "4",
          "-a", "1", "-r", "0x4A"]


def timed(cmd):
    start = time.monotonic()
    proc = subprocess.run(cmd, capture_output=True, text=True, timeout=120)
    return time.monotonic() - start, proc


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("clear")
    ap.add_argument("sim")
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()

    sim = subprocess.Popen([args.sim, "--address", "1", "--quiet"], stdout=subprocess.PIPE, text=True)
    port = sim.stdout.readline().strip()
    try:
        rows = []
        for period in PERIODS:
            times = []
            for _ in range(args.repeat):
                seconds, proc = timed([args.clear, "--port", port, "--period", str(period)])
                if proc.returncode != 0:
                    sys.exit("korvanel-clear failed: %s %s" % (proc.stdout, proc.stderr))
                times.append(seconds * 1000)
            rows.append(("korvanel-clear --period %d" % period, times))
        times = []
        for _ in range(args.repeat):
            seconds, proc = timed([*MBPOLL, port, "0"])
            if proc.returncode != 0 or "Written 1 references" not in proc.stdout:
                sys.exit("mbpoll failed: %s %s" % (proc.stdout, proc.stderr))
            times.append(seconds * 1000)
        rows.append(("mbpoll single write", times))

        print("Wall time of one Clear on %s (%d runs each), ms" % (port, args.repeat))
        print("  %-28s %9s %9s %9s" % ("", "mean", "min", "max"))
        for name, t in rows:
            print("  %-28s %9.1f %9.1f %9.1f" % (name, statistics.mean(t), min(t), max(t)))

        print()
        print("Request pacing over a failing run (address 2, unanswered): intervals")
        print("between the four requests against two periods, ms")
        print("  %-10s %9s %14s %15s" % ("period", "requests", "mean deviation", "worst deviation"))
        for period in PERIODS:
            _, proc = timed([args.clear, "--port", port, "--address", "2", "--period", str(period),
                             "--trace"])
            sent = [(int(m.group(2)), float(m.group(1)))
                    for m in map(TX_LINE.match, proc.stderr.splitlines()) if m]
            if proc.returncode != 1 or [t for t, _ in sent] != [1, 3, 5, 7]:
                sys.exit("unexpected failing run: %s" % proc.stderr)
            deviations = [(b - a) - 2 * period for (_, a), (_, b) in zip(sent, sent[1:])]
            print("  %-10d %9d %+14.2f %+15.2f" % (period, len(sent), statistics.mean(deviations),
                                                   max(deviations, key=abs)))
    finally:
        sim.terminate()
        sim.wait(timeout=10)


if __name__ == "__main__":
    main()
