"""1000 Clear runs back to back through one korvanel-clear process, against
a simulated bus whose inverters misbehave in every way the tool knows, mixed
at random from a printed seed (SOAK_SEED repeats a run, SOAK_RUNS changes
its length). Every outcome must match what the inverter did, and the
process must end with the descriptors it started with and no memory growth
from the first run to the last."""

import os
import random
import re
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "integration"))
from harness import CLEAR_OK, OPERATION_FAIL, Sim, run_clear  # noqa: E402

PERIOD_MS = 30
BUS = 64
# What each fault makes of a run under the dialog's rule (--dialog-rules):
# the address byte is not compared, so a reply from another address still
# clears; everything else fails. The dialog's rule also runs a list as
# given, repeats included, which the soak relies on.
OUTCOME = {
    "none": CLEAR_OK,
    "other-address": CLEAR_OK,
    "silent": OPERATION_FAIL,
    "exception": OPERATION_FAIL,
    "bad-check": OPERATION_FAIL,
    "stray-byte": OPERATION_FAIL,
    "split": OPERATION_FAIL,
    "flood": OPERATION_FAIL,
}
# Whatever the allocator keeps back after a thousand runs; a leak of even a
# few bytes a run would pass this only for small runs, so it is also
# reported.
MEMORY_SLACK_KIB = 512


def main():
    seed = int(os.environ.get("SOAK_SEED", random.SystemRandom().randrange(1, 2**31)))
    runs = int(os.environ.get("SOAK_RUNS", "1000"))
    print("soak: seed %d, %d runs, period %d ms" % (seed, runs, PERIOD_MS), flush=True)
    rng = random.Random(seed)

    faults = list(OUTCOME)
    mode = {a: faults[(a - 1) % len(faults)] for a in range(1, BUS + 1)}
    order = [rng.randrange(1, BUS + 1) for _ in range(runs)]
    # Two periods apart: the halves land in different intervals even when a
    # tick comes late by more than half a period.
    args = ["--split-delay", str(PERIOD_MS * 2), "--quiet"]
    for a in range(1, BUS + 1):
        args += ["--fault", "%d:%s" % (a, mode[a])]

    with Sim(*args) as sim:
        r = run_clear("--port", sim.port, "--period", str(PERIOD_MS), "--address",
                      ",".join(map(str, order)), "--stats", "--dialog-rules", timeout=1800)

    lines = r.stdout.splitlines()
    expected = ["%d: %s" % (a, OUTCOME[mode[a]]) for a in order]
    wrong = [(i, order[i], mode[order[i]], got) for i, got in enumerate(lines) if got != expected[i]]
    stats = "\n".join(l for l in r.stderr.splitlines() if l.startswith("stats:"))
    print(stats)
    cleared = sum(1 for l in lines if l.endswith(CLEAR_OK))
    print("soak: %d runs in %.1f s, %d cleared, %d failed, %d not as expected"
          % (len(lines), r.seconds, cleared, len(lines) - cleared, len(wrong)))
    for i, a, fault, got in wrong[:20]:
        print("  run %d: address %d (%s) gave %r" % (i + 1, a, fault, got))

    ok = True
    if len(lines) != runs or wrong:
        ok = False
    fds = re.search(r"(\d+) before open, (\d+) after the first run, (\d+) after the last run, (\d+) after close",
                    stats.splitlines()[1] if len(stats.splitlines()) > 1 else "")
    mem = re.search(r"memory KiB (\d+) before open, (\d+) after the first run, (\d+) after the last run",
                    stats)
    if not fds or not mem:
        print("soak: no stats from korvanel-clear")
        ok = False
    else:
        before, first, last, after = map(int, fds.groups())
        if first != last or before != after:
            print("soak: descriptors grew")
            ok = False
        growth = int(mem.group(3)) - int(mem.group(2))
        print("soak: memory growth from the first run to the last: %d KiB" % growth)
        if growth > MEMORY_SLACK_KIB:
            ok = False
    print("soak: %s (seed %d)" % ("passed" if ok else "FAILED", seed))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
