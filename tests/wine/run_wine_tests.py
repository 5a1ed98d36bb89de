#!/usr/bin/python3
"""The Windows programs under wine64, against real peers on pseudo-terminals:
  1. the Win32 serial port, between two COM ports linked by socat, and the
     dialog's resources and window layer on real windows;
  2. korvanel-clear.exe against korvanel-sim (success, silence, exception
     reply, a port numbered 10 or above), the pymodbus RTU server, and the
     names a port can be typed as;
  3. korvanel-clear.exe when the line goes away, and over many runs;
  4. the real Korvanel.exe dialog on Xvfb, driven from another Windows
     process: success, a missing port, COM10 and above, silence;
  2 and 4 also through korvanel-sim --listen on the loopback (tcp://,
  modbus-tcp://) and against a closed local port.

usage: run_wine_tests.py X64_BUILD_DIR LINUX_BUILD_DIR [unittest options]

Headless: its own Xvfb, its own Wine prefix under /tmp, every step bounded
by a time-out, and everything it started stopped at the end. A part whose
programs are missing from the builds fails. The Wine settings come from
wine-env.sh, as for every Wine script."""

import os
import random
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
if __name__ == "__main__" and len(sys.argv) < 3:
    sys.exit(__doc__)
WIN = os.path.abspath(sys.argv[1])
LINUX = os.path.abspath(sys.argv[2])
os.environ["KORVANEL_SIM"] = os.path.join(LINUX, "sim", "korvanel-sim")
sys.path.insert(0, os.path.join(ROOT, "tests", "integration"))

from harness import CLEAR_OK, OPERATION_FAIL, PYTHON, REQUEST_1, SIM, Sim, Socat, need_programs, wait_until  # noqa: E402

CLEAR_EXE = os.path.join(WIN, "cli", "korvanel-clear.exe")
GUI_EXE = os.path.join(WIN, "ui", "win32", "Korvanel.exe")
GUI_DRIVER = os.path.join(WIN, "tests", "wine", "korvanel_gui_driver.exe")
PORT_TESTS = os.path.join(WIN, "tests", "wine", "korvanel_win32_port_tests.exe")
WINDOW_TESTS = os.path.join(WIN, "tests", "wine", "korvanel_win32_window_tests.exe")
PEER = os.path.join(ROOT, "tests", "integration", "pymodbus_peer.py")
# The lines of a passing GoogleTest log worth showing.
GTEST_LINES = re.compile(r"^\[ *(SKIPPED|PASSED) *\]")


class Wine:
    """The session every test shares: Xvfb, a fresh prefix with the COM
    ports of the serial port tests, and a persistent Wine server."""

    def __init__(self):
        self.work = tempfile.mkdtemp(prefix="korvanel-wine.")
        self.procs = []
        self.pairs = []
        self.env = self.settings(os.path.join(self.work, "prefix"))
        self.dosdevices = os.path.join(self.env["WINEPREFIX"], "dosdevices")

    @staticmethod
    def settings(prefix):
        """The environment wine-env.sh makes for `prefix`."""
        env = dict(os.environ, WINEPREFIX=prefix)
        out = subprocess.run(["bash", "-c", '. "$0" && env -0', os.path.join(HERE, "wine-env.sh")],
                             env=env, capture_output=True, check=True, timeout=30).stdout
        return dict(item.split("=", 1) for item in out.decode().split("\0") if "=" in item)

    def bash(self, command, limit):
        """A function of wine-env.sh, run with this session's settings."""
        script = '. "$0" && ' + command
        return subprocess.run(["bash", "-c", script, os.path.join(HERE, "wine-env.sh")], env=self.env,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              timeout=limit).returncode == 0

    def start(self):
        # A display of our own before any Wine process starts: Wine's desktop
        # process, started with the first program, keeps the display it
        # found. Xvfb picks a free display number and writes it to a file,
        # not a pipe: it writes it again each time its last client goes, and
        # a pipe nobody reads any more would end it then.
        number_file = os.path.join(self.work, "display")
        with open(number_file, "w") as number:
            self.procs.append(subprocess.Popen(
                ["Xvfb", "-displayfd", str(number.fileno()), "-screen", "0", "800x600x24", "-nolisten", "tcp"],
                pass_fds=(number.fileno(),), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))

        def display():
            with open(number_file) as f:
                return f.readline().strip()
        if wait_until(display, 10):
            self.env["DISPLAY"] = ":" + display()
        print("--- Wine prefix %s, display %s" % (self.env["WINEPREFIX"], self.env.get("DISPLAY", "none")),
              flush=True)
        if not self.bash("wine_prefix_ready && wine_draws_its_frames", 420):
            raise RuntimeError("wineboot failed")

        # Ports for the serial port tests, registered with Wine's mount
        # manager so that they are listed as a Windows port driver would
        # list them.
        a_b, c_d = self.pair(), self.pair()
        # A port whose far end takes one byte and goes, as an adapter pulled
        # out: socat closes the pseudo-terminal half a second after its
        # reader ends.
        vanishing = os.path.join(self.work, "v")
        self.procs.append(subprocess.Popen(
            ["socat", "pty,raw,echo=0,link=" + vanishing, "SYSTEM:head -c1 >/dev/null"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        if not wait_until(lambda: os.path.exists(vanishing), 5):
            raise RuntimeError("socat made no vanishing port")
        for com, link in (("COM5", a_b.a), ("COM6", a_b.b), ("COM12", c_d.a)):
            self.wine(["reg", "add", r"HKLM\Software\Wine\Ports", "/v", com, "/d", os.path.realpath(link),
                       "/f"], 60)
        # The mount manager reads the ports when it starts; a persistent
        # server keeps later program starts fast. It runs in this process's
        # session, not one of its own: a session leader would take the first
        # COM port it opens as its terminal.
        subprocess.run([self.env["WINESERVER"], "-k"], env=self.env, timeout=60,
                       stderr=subprocess.DEVNULL)
        subprocess.run([self.env["WINESERVER"], "-w"], env=self.env, timeout=60)
        self.procs.append(subprocess.Popen([self.env["WINESERVER"], "-f", "-p"], env=self.env,
                                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        self.wine(["cmd", "/c", "exit"], 120)
        for com, link in (("com5", a_b.a), ("com6", a_b.b), ("com12", c_d.a), ("com20", vanishing)):
            self.map_port(com, link)

    def stop(self):
        try:
            subprocess.run([self.env["WINESERVER"], "-k"], env=self.env, timeout=20,
                           stderr=subprocess.DEVNULL)
        except subprocess.TimeoutExpired:
            pass
        for pair in self.pairs:
            pair.__exit__(None, None, None)
        for proc in self.procs:
            if proc.poll() is None:
                proc.terminate()
            try:
                proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        shutil.rmtree(self.work, ignore_errors=True)

    def pair(self):
        pair = Socat().__enter__()
        self.pairs.append(pair)
        return pair

    def map_port(self, name, link):
        """Makes the Windows device `name` (e.g. com5) the device behind `link`."""
        path = os.path.join(self.dosdevices, name)
        if os.path.lexists(path):
            os.unlink(path)
        os.symlink(os.path.realpath(link), path)

    def wine(self, args, limit, extra_env=None):
        """Runs a Windows program, bounded: (exit status, output with the
        carriage returns removed). The output goes through a file, never a
        pipe: Wine's helper processes inherit it and would hold a pipe open
        long after the program has ended."""
        env = dict(self.env, **(extra_env or {}))
        with tempfile.TemporaryFile(dir=self.work) as out:
            try:
                status = subprocess.run([self.env["WINE64"], *args], env=env, stdout=out,
                                        stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                        timeout=limit).returncode
            except subprocess.TimeoutExpired:
                status = "timed out after %d s" % limit
            out.seek(0)
            return status, out.read().decode(errors="replace").replace("\r", "")

    def sim(self, device, *args):
        """korvanel-sim as Windows device `device` (e.g. com8), or at a Unix
        path when `device` is one."""
        link = device if os.path.isabs(device) else os.path.join(self.dosdevices, device)
        if os.path.lexists(link):
            os.unlink(link)
        return Sim("--link", link, *args)


WINE = None


def setUpModule():
    global WINE
    WINE = Wine()
    try:
        WINE.start()
    except Exception:
        WINE.stop()
        raise


def tearDownModule():
    WINE.stop()


def windows_path(path):
    """Z:\\tmp\\...: the Windows name of a Unix path (drive Z: is /)."""
    return "Z:" + path.replace("/", "\\")


def require(test, *paths):
    missing = [p for p in paths if not os.path.exists(p)]
    if missing:
        test.fail("not built: " + ", ".join(missing))


def log_so_far(sim):
    """What a running simulator has logged, read without moving the offset
    it writes at."""
    return os.pread(sim.err_file.fileno(), 1 << 20, 0).decode(errors="replace")


class WindowsPrograms(unittest.TestCase):
    """The GoogleTest programs of the cross build."""

    ROWS = [
        # name, program, environment
        ("serial port tests", PORT_TESTS,
         {"KORVANEL_TEST_PORT_A": "COM5", "KORVANEL_TEST_PORT_B": "COM6",
          "KORVANEL_TEST_PORT_HIGH": "COM12", "KORVANEL_TEST_PORT_MISSING": "COM7",
          "KORVANEL_TEST_PORT_VANISHING": "COM20"}),
        ("resources and window layer tests", WINDOW_TESTS, {}),
    ]

    def test_programs(self):
        for name, program, env in self.ROWS:
            with self.subTest(name):
                require(self, program)
                status, out = WINE.wine([program], 120, env)
                # The summary when it passed, everything when not.
                shown = out if status else "\n".join(l for l in out.splitlines() if GTEST_LINES.search(l))
                print("--- %s\n%s" % (name, shown), flush=True)
                self.assertEqual(status, 0, name)


class ClearExe(unittest.TestCase):
    """korvanel-clear.exe against korvanel-sim and pymodbus."""

    ROWS = [
        # name, device, sim options, exit status, outcome
        ("success", "com8", [], 0, CLEAR_OK),
        ("silence", "com8", ["--fault", "silent"], 1, OPERATION_FAIL),
        ("exception reply", "com8", ["--fault", "exception"], 1, OPERATION_FAIL),
        ("answer on the third request", "com8", ["--answer-after", "2"], 0, CLEAR_OK),
        ("port 10 or above", "com15", [], 0, CLEAR_OK),
    ]

    def setUp(self):
        require(self, CLEAR_EXE, SIM)

    def test_outcomes(self):
        for name, device, sim_args, status, outcome in self.ROWS:
            with self.subTest(name):
                with WINE.sim(device, "--quiet", *sim_args):
                    got, out = WINE.wine([CLEAR_EXE, "--port", device.upper(), "--address", "1",
                                          "--period", "200"], 60)
                self.assertEqual((got, outcome in out), (status, True), out)

    # Only a plain COM<n> gets the \\.\ prefix; any other name opens as typed.
    # The sim is Windows device com8, or device "korvbus" (a name of a
    # driver's own), or a Unix path typed through drive Z:.
    THROUGH_DRIVE_Z = "Z:"
    NAMES = [
        # typed, device the sim is
        ("COM8", "com8"),
        ("com8", "com8"),
        ("COM8:", "com8"),
        (r"\\.\COM8", "com8"),
        (r"\\.\korvbus", "korvbus"),
        (THROUGH_DRIVE_Z, THROUGH_DRIVE_Z),
    ]
    # A missing port's message names the path that was opened.
    OPENED = [
        # typed, path opened
        ("COM9", r"\\.\COM9"),
        ("com23", r"\\.\com23"),
        ("COM9:", "COM9:"),
        (r"\\.\COM9", r"\\.\COM9"),
        ("NoSuchDriver0", "NoSuchDriver0"),
        ("COMX", "COMX"),
    ]

    def test_port_names(self):
        unix = os.path.join(WINE.work, "line")
        for typed, device in self.NAMES:
            if device == self.THROUGH_DRIVE_Z:
                typed, device = windows_path(unix), unix
            with self.subTest(typed):
                with WINE.sim(device, "--quiet"):
                    got, out = WINE.wine([CLEAR_EXE, "--port", typed, "--address", "1", "--period", "200"], 60)
                self.assertEqual((got, out.strip()), (0, CLEAR_OK), out)
        for typed, opened in self.OPENED:
            with self.subTest(typed):
                got, out = WINE.wine([CLEAR_EXE, "--port", typed, "--address", "1", "--period", "200"], 60)
                self.assertEqual(got, 2, out)
                self.assertIn("COM Open Fail: Opening '%s':" % opened, out)

    def test_network_ports(self):
        # korvanel-sim listening on the loopback, as a converter or gateway.
        rows = [
            # name to type (LISTEN: the simulator's own URL), sim options, exit status, output
            ("tcp", ["--listen", "tcp://127.0.0.1:0"], 0, CLEAR_OK + "\nverified: register 0x004A = 0\n"),
            ("modbus-tcp", ["--listen", "modbus-tcp://127.0.0.1:0"], 0,
             CLEAR_OK + "\nverified: register 0x004A = 0\n"),
            ("modbus-tcp silent", ["--listen", "modbus-tcp://127.0.0.1:0", "--fault", "silent"], 1,
             OPERATION_FAIL + "\n"),
            ("tcp://127.0.0.1:1", None, 2, "COM Open Fail: Connecting to 127.0.0.1:1: "),
            ("modbus-tcp://[::1", None, 2, "korvanel-clear: port 'modbus-tcp://[::1': no ']' after"),
        ]
        for name, sim_args, status, output in rows:
            with self.subTest(name):
                if sim_args:
                    with Sim("--quiet", *sim_args) as sim:
                        got, out = WINE.wine([CLEAR_EXE, "--port", sim.port, "--period", "200", "--verify"], 60)
                else:
                    got, out = WINE.wine([CLEAR_EXE, "--port", name, "--period", "200"], 60)
                print("%s: exit %s: %s" % (name, got, out.strip().replace("\n", " / ")), flush=True)
                self.assertEqual(got, status, out)
                self.assertTrue(out.startswith(output), out)

    def test_capture(self):
        # The capture writer on Windows: tshark reads what korvanel-clear.exe wrote, the
        # frames the simulator heard as its queries.
        from test_capture import packets
        need_programs("tshark")
        cap = os.path.join(WINE.work, "clear.pcapng")
        with WINE.sim("com8", "--echo") as sim:
            got, out = WINE.wine([CLEAR_EXE, "--port", "COM8", "--period", "200", "--capture",
                                  windows_path(cap)], 60)
            sim.stop()
        rows = packets(cap)
        print("capture under Wine: exit %s, %d packets" % (got, len(rows)), flush=True)
        self.assertEqual((got, [r["bytes"] for r in rows if r["query"]]), (0, sim.frames("RX")), out)
        self.assertTrue(all("Response" in r["info"] for r in rows if not r["query"]), rows)

    def test_against_pymodbus(self):
        # The independent peer: pymodbus's RTU server holds 0x1234 in
        # register 0x004A until the request clears it.
        require(self, PEER)
        pair = WINE.pair()
        peer_out = os.path.join(WINE.work, "peer.out")
        with open(peer_out, "w") as out:
            peer = subprocess.Popen([PYTHON, PEER, pair.b, "1", "4660"], stdout=out,
                                    stderr=subprocess.DEVNULL)
        try:
            def values():
                with open(peer_out) as f:
                    return re.findall(r"^value (\d+)$", f.read(), re.M)
            self.assertTrue(wait_until(values, 10), "the peer did not start")
            WINE.map_port("com16", pair.a)
            got, out = WINE.wine([CLEAR_EXE, "--port", "COM16", "--address", "1", "--period", "500"], 60)
            time.sleep(0.5)
        finally:
            peer.terminate()
            peer.wait(timeout=10)
        self.assertEqual((got, CLEAR_OK in out), (0, True), out)
        self.assertEqual(values()[-1], "0", "register 0x004A of the peer afterwards")


class ClearExeHardening(unittest.TestCase):
    """korvanel-clear.exe when the line goes away, and over many runs."""

    # A session on a line that goes away ends at the next tick: exit status,
    # and the start of the line that says so.
    LINE_LOST = (2, "COM Port Lost: ")
    # A start after that finds the port's link dangling.
    START_AFTER_LOSS = (2, "COM Open Fail")
    # Soak: each address once, in a shuffled order; the fault of an inverter
    # by its address modulo 4, and the outcome korvanel-clear gives it (a
    # reply under another address is not ours).
    SOAK_RUNS = min(247, int(os.environ.get("WINE_SOAK_RUNS", "200")))
    SOAK_FAULTS = [
        # address % 4, fault, outcome
        (1, "none", CLEAR_OK),
        (2, "silent", OPERATION_FAIL),
        (3, "exception", OPERATION_FAIL),
        (0, "other-address", OPERATION_FAIL),
    ]
    STATS = re.compile(r"^stats: open handles (\d+) before open, (\d+) after the first run, "
                       r"(\d+) after the last run, (\d+) after close$", re.M)

    def setUp(self):
        require(self, CLEAR_EXE, SIM)

    @staticmethod
    def reap(proc, limit):
        """Waits for `proc` at most `limit` seconds (then kills it): its wait
        status and its own CPU use (wine64 becomes the Windows program)."""
        deadline = time.monotonic() + limit
        while True:
            pid, wait_status, usage = os.wait4(proc.pid, os.WNOHANG)
            if pid:
                break
            if time.monotonic() > deadline:
                proc.kill()
                _, wait_status, usage = os.wait4(proc.pid, 0)
                break
            time.sleep(0.05)
        proc.returncode = os.waitstatus_to_exitcode(wait_status)
        return wait_status, usage

    def test_line_lost_mid_run(self):
        # The simulator dies after the first request, as a pulled USB adapter
        # would: the session must end without spinning.
        out_path = os.path.join(WINE.work, "loss.log")
        with WINE.sim("com8", "--fault", "silent") as sim, open(out_path, "w") as out:
            start = time.monotonic()
            proc = subprocess.Popen([WINE.env["WINE64"], CLEAR_EXE, "--port", "COM8", "--period", "200",
                                     "--trace"], env=WINE.env, stdout=out, stderr=subprocess.STDOUT,
                                    stdin=subprocess.DEVNULL)
            wait_until(lambda: " RX " in log_so_far(sim), 15)
            sim.stop(signal.SIGKILL)
            wait_status, usage = self.reap(proc, 60)
            wall = time.monotonic() - start
        status = os.waitstatus_to_exitcode(wait_status)
        cpu = usage.ru_utime + usage.ru_stime
        with open(out_path) as f:
            text = f.read().replace("\r", "")
        lost = [l for l in text.splitlines() if l.startswith(self.LINE_LOST[1])]
        print("line lost mid-run: status %s after %.1f s, cpu %.2f s: %s"
              % (status, wall, cpu, " ".join(lost)), flush=True)
        self.assertEqual((status, len(lost)), (self.LINE_LOST[0], 1), text)
        # Starting a Windows program under Wine costs a few tenths of a
        # second of CPU by itself; a session that ends within a fraction of a
        # second of the loss cannot have spun, one that lingers must idle.
        self.assertLess(cpu, 0.5 * wall + 0.5, "the run spun")

        got, out = WINE.wine([CLEAR_EXE, "--port", "COM8", "--period", "200"], 60)
        self.assertEqual((got, self.START_AFTER_LOSS[1] in out), (self.START_AFTER_LOSS[0], True), out)

    def test_ctrl_c_closes_the_port(self):
        # Wine hands SIGINT to the console control handlers as Ctrl-C.
        out_path = os.path.join(WINE.work, "ctrl-c.log")
        with WINE.sim("com8", "--fault", "silent") as sim, open(out_path, "w") as out:
            proc = subprocess.Popen([WINE.env["WINE64"], CLEAR_EXE, "--port", "COM8", "--period", "200"],
                                    env=WINE.env, stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
            wait_until(lambda: " RX " in log_so_far(sim), 15)
            proc.send_signal(signal.SIGINT)
            sent = time.monotonic()
            self.reap(proc, 30)
            print("Ctrl-C: status %s after %.2f s" % (proc.returncode, time.monotonic() - sent), flush=True)
            # Opened again at once: a failed run, not an open failure.
            after = WINE.wine([CLEAR_EXE, "--port", "COM8", "--period", "30"], 60)
        with open(out_path) as f:
            self.assertEqual((proc.returncode, f.read().replace("\r", "")), (130, "Interrupted: the port is closed.\n"))
        self.assertEqual(after, (1, OPERATION_FAIL + "\n"))

    def soak(self, runs):
        """One process clears addresses 1 to `runs` (at most 247), each once,
        in a shuffled order: whether every outcome was as the inverter
        behaved, and the open handles (first run, last run, after close)."""
        addresses = list(range(1, runs + 1))
        random.Random(7).shuffle(addresses)
        faults = []
        for residue, fault, _ in self.SOAK_FAULTS:
            listed = ",".join(str(a) for a in sorted(addresses) if a % 4 == residue)
            if listed:
                faults += ["--fault", "%s:%s" % (listed, fault)]
        outcome = {residue: text for residue, _, text in self.SOAK_FAULTS}
        expected = "".join("%d: %s\n" % (a, outcome[a % 4]) for a in addresses)
        with WINE.sim("com8", "--quiet", "--address", "1-%d" % runs, *faults):
            status, out = WINE.wine([CLEAR_EXE, "--port", "COM8", "--period", "30", "--address",
                                     ",".join(map(str, addresses)), "--stats"], 900)
        print("\n".join("    " + l for l in out.splitlines() if l.startswith("stats:")), flush=True)
        # The outcome lines; notes on stderr (an exception named) come between.
        results = "".join(l + "\n" for l in out.splitlines() if re.match(r"\d+: ", l))
        self.assertEqual(results, expected, "%d runs: status %s" % (runs, status))
        handles = self.STATS.search(out)
        self.assertIsNotNone(handles, "no handle figures")
        return tuple(map(int, handles.groups()[1:]))

    def test_many_runs_in_one_process(self):
        # Every outcome as the inverter behaved, and no handle kept by a run.
        # A short and a long session: the first exception, note or thread of
        # a kind costs a handle or two once (the C runtime, Wine's message
        # tables), so it is the growth over the extra runs that must stay
        # flat: a handle kept by every run would show as one per run. Two is
        # the slack, as Wine's own count moves by one now and then.
        short_runs = max(8, self.SOAK_RUNS // 5)
        short = self.soak(short_runs)
        long = self.soak(self.SOAK_RUNS)
        growth = (long[1] - long[0]) - (short[1] - short[0])
        print("handles from the first run to the last: +%d over %d runs, +%d over %d runs; %d after close"
              % (short[1] - short[0], short_runs, long[1] - long[0], self.SOAK_RUNS, long[2]), flush=True)
        self.assertLessEqual(growth, 2)
        # Closing the port gives its handles back.
        self.assertLess(long[2], long[1])


# In a dialog row: the port field gets the URL of korvanel-sim --listen.
LISTEN = "(the simulator's URL)"
UNANSWERING = "(a listener that never answers)"


class Dialog(unittest.TestCase):
    """The real Korvanel.exe, driven by korvanel_gui_driver.exe."""

    ROWS = [
        # name, typed, device, address, caption, text, button, sim options, driver mode
        ("success", "COM8", "com8", "1", "Result", CLEAR_OK, "Start", [], None),
        ("missing port", "COM9", None, "1", "Error", "COM Open Fail", "Clear", [], None),
        ("COM10 and above", "COM10", "com10", "1", "Result", CLEAR_OK, "Start", [], None),
        ("silence", "COM8", "com8", "1", "Result", OPERATION_FAIL, "Start", ["--fault", "silent"], None),
        ("address not a number", "COM8", "com8", "abc", "Korvanel", "Please enter a positive integer.",
         "Clear", [], None),
        ("address beyond one byte", "COM8", "com8", "300", "Korvanel",
         "Please enter an integer between 0 and 255.", "Clear", [], None),
        ("About box open during the run", "COM8", "com8", "1", "Result", CLEAR_OK, "Start",
         ["--answer-after", "2"], "about-during-run"),
        # The simulator listening: the URL it prints is typed.
        ("tcp converter", LISTEN, "tcp://127.0.0.1:0", "1", "Result", CLEAR_OK, "Start", [], None),
        ("Modbus TCP gateway", LISTEN, "modbus-tcp://127.0.0.1:0", "1", "Result", CLEAR_OK, "Start", [], None),
        ("connection refused", "tcp://127.0.0.1:1", None, "1", "Error",
         "COM Open Fail: Connecting to 127.0.0.1:1: Connection refused", "Clear", [], None),
        ("BM_CLICK during a connect", UNANSWERING, None, "1", "Error",
         "COM Open Fail: the connect was cancelled", "Clear", [], "click-during-connect"),
    ]

    def test_rows(self):
        require(self, GUI_EXE, GUI_DRIVER, SIM)
        # The dialog runs from its own folder, as a user would start it.
        exe = os.path.join(WINE.work, "Korvanel.exe")
        shutil.copy(GUI_EXE, exe)
        for name, typed, device, address, caption, text, button, sim_args, mode in self.ROWS:
            with self.subTest(name):
                args = [GUI_DRIVER, windows_path(exe), typed, address, caption, text, button]
                args += [mode] if mode else []
                if typed == LISTEN:
                    with Sim("--listen", device, *sim_args) as sim:
                        args[2] = sim.port
                        status, out = WINE.wine(args, 90)
                elif typed == UNANSWERING:
                    # Connected into the backlog, never accepted: the Telnet offer waits.
                    sim = None
                    with socket.create_server(("127.0.0.1", 0)) as listener:
                        args[2] = "rfc2217://127.0.0.1:%d" % listener.getsockname()[1]
                        status, out = WINE.wine(args, 90)
                elif device:
                    with WINE.sim(device, *sim_args) as sim:
                        status, out = WINE.wine(args, 90)
                else:
                    sim = None
                    status, out = WINE.wine(args, 90)
                print("--- dialog %s\n%s" % (name, "\n".join("    " + l for l in out.splitlines())), flush=True)
                self.assertEqual(status, 0, out)
                if sim and caption == "Result":
                    # A run puts the request on the line ...
                    self.assertIn(REQUEST_1, sim.frames("RX"), sim.log)
                elif sim:
                    # ... a refused field puts nothing.
                    self.assertEqual(sim.frames("RX"), [], sim.log)


def load_tests(loader, tests, pattern):
    # In the order of the parts above.
    suite = unittest.TestSuite()
    for case in (WindowsPrograms, ClearExe, ClearExeHardening, Dialog):
        suite.addTests(loader.loadTestsFromTestCase(case))
    return suite


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v", *sys.argv[3:]])
