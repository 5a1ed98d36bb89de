"""1000 Clear runs back to back through one korvanel-clear process, against
a simulated bus whose inverters misbehave in every way the tool knows, mixed
at random from a printed seed (SOAK_SEED repeats a run, SOAK_RUNS changes
its length); then a fifth as many under korvanel-clear's own rule. Every
outcome must match what the inverter did, and each process must end with
the descriptors it started with and no memory growth from the first run to
the last."""

import os
import random
import re
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "integration"))
from harness import CLEAR_OK, OPERATION_FAIL, Sim, run_clear  # noqa: E402

PERIOD_MS = 30
# What each fault makes of a run, under the dialog's rule (--dialog-rules)
# and under korvanel-clear's own. The dialog's does not compare the address
# byte, so a reply from another address still clears, and wants the reply
# at the first byte of a tick; the own rule finds the reply anywhere in the
# run's window (past a stray byte, its halves joined) and takes only the
# addressed inverter's.
OUTCOMES = {
    # fault: (dialog's rule, own rule)
    "none": (CLEAR_OK, CLEAR_OK),
    "other-address": (CLEAR_OK, OPERATION_FAIL),
    "silent": (OPERATION_FAIL, OPERATION_FAIL),
    "exception": (OPERATION_FAIL, OPERATION_FAIL),
    "bad-check": (OPERATION_FAIL, OPERATION_FAIL),
    "stray-byte": (OPERATION_FAIL, CLEAR_OK),
    "split": (OPERATION_FAIL, CLEAR_OK),
    "flood": (OPERATION_FAIL, OPERATION_FAIL),
}
# Whatever the allocator keeps back after a thousand runs; a leak of even a
# few bytes a run would pass this only for small runs, so it is also
# reported.
MEMORY_SLACK_KIB = 512


def soak(name, bus, order, rule_args, rule):
    """One korvanel-clear process clears `order` on a bus of inverters
    1..`bus`, faults dealt round by address: whether every outcome (column
    `rule` of OUTCOMES) was right and nothing grew."""
    faults = list(OUTCOMES)
    mode = {a: faults[(a - 1) % len(faults)] for a in range(1, bus + 1)}
    # Two periods apart: the halves land in different intervals even when a
    # tick comes late by more than half a period.
    args = ["--split-delay", str(PERIOD_MS * 2), "--quiet"]
    for fault in faults:
        args += ["--fault", "%s:%s" % (",".join(str(a) for a in mode if mode[a] == fault), fault)]

    with Sim(*args) as sim:
        r = run_clear("--port", sim.port, "--period", str(PERIOD_MS), "--address",
                      ",".join(map(str, order)), "--stats", *rule_args, timeout=1800)

    lines = r.stdout.splitlines()
    expected = ["%d: %s" % (a, OUTCOMES[mode[a]][rule]) for a in order]
    wrong = [(i, order[i], mode[order[i]], got) for i, got in enumerate(lines) if got != expected[i]]
    stats = "\n".join(l for l in r.stderr.splitlines() if l.startswith("stats:"))
    print(stats)
    cleared = sum(1 for l in lines if l.endswith(CLEAR_OK))
    print("soak, %s: %d runs in %.1f s, %d cleared, %d failed, %d not as expected"
          % (name, len(lines), r.seconds, cleared, len(lines) - cleared, len(wrong)))
    for i, a, fault, got in wrong[:20]:
        print("  run %d: address %d (%s) gave %r" % (i + 1, a, fault, got))

    ok = len(lines) == len(order) and not wrong
    fds = re.search(r"(\d+) before open, (\d+) after the first run, (\d+) after the last run, (\d+) after close",
                    stats.splitlines()[1] if len(stats.splitlines()) > 1 else "")
    mem = re.search(r"memory KiB (\d+) before open, (\d+) after the first run, (\d+) after the last run",
                    stats)
    if not fds or not mem:
        print("soak: no stats from korvanel-clear")
        return False
    before, first, last, after = map(int, fds.groups())
    if first != last or before != after:
        print("soak: descriptors grew")
        ok = False
    growth = int(mem.group(3)) - int(mem.group(2))
    print("soak, %s: memory growth from the first run to the last: %d KiB" % (name, growth))
    return ok and growth <= MEMORY_SLACK_KIB


def main():
    seed = int(os.environ.get("SOAK_SEED", random.SystemRandom().randrange(1, 2**31)))
    runs = int(os.environ.get("SOAK_RUNS", "1000"))
    print("soak: seed %d, %d runs, period %d ms" % (seed, runs, PERIOD_MS), flush=True)
    rng = random.Random(seed)
    # The dialog's rule runs a list as given, repeats included: addresses
    # drawn at random from a bus of 64.
    dialog = soak("dialog's rule", 64, [rng.randrange(1, 65) for _ in range(runs)], ["--dialog-rules"], 0)
    # The own rule runs an address named twice once: each of a bus as large
    # as the pass (up to 247 inverters) once, shuffled.
    own_runs = max(len(OUTCOMES), min(247, runs // 5))
    order = rng.sample(range(1, own_runs + 1), own_runs)
    own = soak("own rule", own_runs, order, [], 1)
    ok = dialog and own
    print("soak: %s (seed %d)" % ("passed" if ok else "FAILED", seed))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
