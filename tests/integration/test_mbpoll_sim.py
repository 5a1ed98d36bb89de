"""mbpoll, a real Modbus RTU master, against korvanel-sim: the simulator
answers reads and writes as an inverter would, and its faults look like
faults to a master that is not ours."""

import subprocess
import unittest

from harness import REQUEST_1, Sim, need_programs

MBPOLL = ["mbpoll", "-m", "rtu", "-b", "9600", "-d", "8", "-s", "1", "-P", "none", "-0", "-t", "4",
          "-o", "0.5"]


def read_registers(port, address, first, count):
    return subprocess.run([*MBPOLL, "-a", str(address), "-r", str(first), "-c", str(count), "-1", port],
                          capture_output=True, text=True, timeout=15)


def write_register(port, address, register, value, line=()):
    return subprocess.run([*MBPOLL, *line, "-a", str(address), "-r", str(register), port, str(value)],
                          capture_output=True, text=True, timeout=15)


def setUpModule():
    need_programs("mbpoll")


class MbpollMaster(unittest.TestCase):
    def test_reads_and_writes_the_clear_register(self):
        with Sim("--initial", "4660") as sim:
            before = read_registers(sim.port, 1, 0x4A, 2)
            written = write_register(sim.port, 1, 0x4A, 0)
            after = read_registers(sim.port, 1, 0x4A, 1)
            sim.stop()
        self.assertEqual(before.returncode, 0, before.stdout + before.stderr)
        self.assertIn("[74]: \t4660", before.stdout)
        self.assertIn("[75]: \t0", before.stdout)
        self.assertEqual(written.returncode, 0, written.stdout + written.stderr)
        self.assertIn("Written 1 references", written.stdout)
        self.assertIn("[74]: \t0", after.stdout)
        # The write mbpoll sent is byte for byte our request, echoed back.
        self.assertIn(REQUEST_1, sim.frames("RX"))
        self.assertEqual(sim.frames("TX")[1], REQUEST_1)
        self.assertEqual(sim.final_register(), 0)

    def test_addresses_on_one_bus_answer_for_themselves(self):
        with Sim("--address", "3,9", "--initial", "7") as sim:
            write_register(sim.port, 9, 0x4A, 0)
            three = read_registers(sim.port, 3, 0x4A, 1)
            nine = read_registers(sim.port, 9, 0x4A, 1)
            absent = read_registers(sim.port, 4, 0x4A, 1)
        self.assertIn("[74]: \t7", three.stdout)
        self.assertIn("[74]: \t0", nine.stdout)
        self.assertNotIn("[74]:", absent.stdout)

    def test_a_register_not_held_is_refused(self):
        with Sim() as sim:
            r = read_registers(sim.port, 1, 0x1000, 1)
        self.assertIn("Illegal data address", r.stdout + r.stderr)

    def test_faults_fail_a_real_master(self):
        rows = [
            # simulator arguments, what mbpoll reports
            (["--fault", "silent"], "timed out"),
            (["--fault", "exception"], "Slave device or server failure"),
            (["--fault", "bad-check"], "Invalid CRC"),
            # A single write (0x06) to an inverter that takes only 0x10.
            (["--fault", "fc16-only"], "Illegal function"),
            (["--baud", "19200"], "timed out"),
        ]
        for sim_args, report in rows:
            with self.subTest(sim_args), Sim(*sim_args) as sim:
                r = write_register(sim.port, 1, 0x4A, 0)
                self.assertIn(report, r.stdout + r.stderr)
                self.assertNotIn("Written 1 references", r.stdout)

    def test_an_inverter_at_its_own_speed(self):
        with Sim("--baud", "19200") as sim:
            r = write_register(sim.port, 1, 0x4A, 0, line=("-b", "19200", "-P", "even"))
            sim.stop()
        self.assertIn("Written 1 references", r.stdout, r.stdout + r.stderr)
        self.assertEqual(sim.final_register(), 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
