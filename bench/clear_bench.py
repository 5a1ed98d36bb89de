"""One Clear, timed end to end on one virtual inverter's pseudo-terminal at
9600 baud line pace: korvanel-clear at periods of 1000 (the default), 100
and 30 ms next to mbpoll's single write of the same register, and the pacing
of the requests over a failing run (an address the inverter does not answer)
at each period. Then 32 inverters behind one simulator: one korvanel-clear
session next to 32 mbpoll writes in a shell loop. Then, on a bus of four
inverters at a 100 ms period: a scan of addresses 1-32 next to four
verified clears of the same inverters, and a scan of the whole range 1-247.

usage: clear_bench.py KORVANEL_CLEAR KORVANEL_SIM [--repeat N] [--no-full-scan]"""

import argparse
import re
import statistics
import subprocess
import sys
import time

PERIODS = (1000, 100, 30)
LINE = ["--line-rate", "9600"]
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
    ap.add_argument("--no-full-scan", action="store_true", help="skip the 1-247 scan (about 25 s)")
    args = ap.parse_args()
    one_clear(args)
    print()
    thirty_two(args)
    print()
    bus_of_four(args)


def one_clear(args):
    sim = subprocess.Popen([args.sim, "--address", "1", *LINE, "--quiet"], stdout=subprocess.PIPE, text=True)
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
            seconds, proc = timed([args.clear, "--port", port, "--no-echo"])
            times.append(seconds * 1000)
        rows.append(("korvanel-clear --no-echo", times))
        times = []
        for _ in range(args.repeat):
            seconds, proc = timed([*MBPOLL, port, "0"])
            if proc.returncode != 0 or "Written 1 references" not in proc.stdout:
                sys.exit("mbpoll failed: %s %s" % (proc.stdout, proc.stderr))
            times.append(seconds * 1000)
        rows.append(("mbpoll single write", times))

        print("Wall time of one Clear on %s (%d runs each), ms" % (port, args.repeat))
        print("  %-28s %9s %9s %9s %9s" % ("", "median", "mean", "min", "max"))
        for name, t in rows:
            print("  %-28s %9.1f %9.1f %9.1f %9.1f" % (name, statistics.median(t), statistics.mean(t), min(t), max(t)))
        # Medians: one run slowed by a busy machine must not decide the ratio.
        mbpoll = statistics.median(times)
        print("  korvanel-clear at the default period takes %.2fx mbpoll's time (medians);"
              " with --no-echo (no read first) %.2fx"
              % (statistics.median(rows[0][1]) / mbpoll, statistics.median(rows[len(PERIODS)][1]) / mbpoll))

        print()
        print("Request pacing over a failing run (address 2, unanswered): intervals")
        print("between the four requests against two periods, ms")
        print("  %-10s %9s %14s %15s" % ("period", "requests", "mean deviation", "worst deviation"))
        for period in PERIODS:
            _, proc = timed([args.clear, "--port", port, "--address", "2", "--period", str(period),
                             "--no-echo", "--trace"])
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


def thirty_two(args):
    """32 inverters that answer at once, cleared by one session and by 32
    mbpoll runs."""
    sim_args = [args.sim, "--address", "1-32", *LINE, "--quiet"]
    rows = [("korvanel-clear --address 1-32", None), ("32 mbpoll writes in a loop", None)]
    figures = []
    for name, _ in rows:
        sim = subprocess.Popen(sim_args, stdout=subprocess.PIPE, text=True)
        port = sim.stdout.readline().strip()
        try:
            if name.startswith("korvanel"):
                seconds, proc = timed([args.clear, "--port", port, "--address", "1-32"])
                ok = proc.returncode == 0 and len(proc.stdout.splitlines()) == 32
            else:
                loop = 'for a in $(seq 1 32); do %s -a $a -r 0x4A %s 0 >/dev/null || exit 1; done' % (
                    " ".join(MBPOLL[:-4]), port)
                seconds, proc = timed(["sh", "-c", loop])
                ok = proc.returncode == 0
        finally:
            sim.terminate()
            sim.wait(timeout=10)
        if not ok:
            sys.exit("%s failed: %s %s" % (name, proc.stdout, proc.stderr))
        figures.append(seconds)
    print("32 inverters at 9600 baud line pace, default period")
    for (name, _), seconds in zip(rows, figures):
        print("  %-32s %8.2f s" % (name, seconds))
    print("  korvanel-clear takes %.2fx the loop's time" % (figures[0] / figures[1]))


BUS = (3, 11, 19, 27)
BUS_PERIOD = 100


def bus_of_four(args):
    """A scan of 1-32 and four verified clears on the same simulated bus."""
    sim_args = [args.sim, "--address", ",".join(map(str, BUS)), "--line-rate", "9600", "--quiet"]
    print("Bus of %d inverters (%s) at 9600 baud line pace, --period %d" %
          (len(BUS), ",".join(map(str, BUS)), BUS_PERIOD))
    rows = [("scan 1-32", ["--scan", "1-32"], len(BUS)),
            ("four verified clears", ["--address", ",".join(map(str, BUS)), "--verify"], 2 * len(BUS))]
    if not args.no_full_scan:
        rows.append(("scan 1-247", ["--scan", "1-247"], len(BUS)))
    for name, clear_args, lines in rows:
        # A fresh bus each time, so every clear finds 0x1234 to clear.
        sim = subprocess.Popen(sim_args, stdout=subprocess.PIPE, text=True)
        port = sim.stdout.readline().strip()
        try:
            seconds, proc = timed([args.clear, "--port", port, "--period", str(BUS_PERIOD), *clear_args])
        finally:
            sim.terminate()
            sim.wait(timeout=10)
        if proc.returncode != 0 or len(proc.stdout.splitlines()) != lines:
            sys.exit("%s failed: %s %s" % (name, proc.stdout, proc.stderr))
        print("  %-22s %8.2f s   %s" % (name, seconds, proc.stderr.strip().splitlines()[-1]
                                        if name.startswith("scan") else ""))
        if name == "scan 1-32":
            print("    " + "\n    ".join(proc.stdout.splitlines()))


if __name__ == "__main__":
    main()
