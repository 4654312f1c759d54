#!/usr/bin/env python3
"""trovelctl end to end against trovel-sim: output, exit codes and JSON of every command.

    test_trovelctl.py --trovelctl PATH --sim PATH [unittest arguments, e.g. a class name]
"""

import argparse
import contextlib
import fcntl
import json
import os
import pty
import re
import select
import signal
import struct
import subprocess
import sys
import termios
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from simulator import Simulator  # noqa: E402

TROVELCTL = None
SIM = None
COMMAND_LIMIT_SECONDS = 60
START_SECONDS = 10


class Result:
    def __init__(self, rc, out, err):
        self.rc, self.out, self.err = rc, out, err

    def __repr__(self):
        return f"rc={self.rc}\nstdout:\n{self.out}\nstderr:\n{self.err}"


class CliTest(unittest.TestCase):
    controllers = "1-2"
    sim_options = ()

    @classmethod
    def setUpClass(cls):
        cls.sim = Simulator(SIM, cls.controllers, cls.sim_options)

    @classmethod
    def tearDownClass(cls):
        cls.sim.stop()

    def environment(self):
        env = dict(os.environ)
        env.pop("TROVEL_DEVICE", None)
        return env

    def ctl(self, *args, addr=None, device=True):
        command = [TROVELCTL]
        if device:
            command += ["--device", self.sim.link]
        if addr is not None:
            command += ["--addr", str(addr)]
        p = subprocess.run(command + [str(a) for a in args], capture_output=True, text=True,
                           timeout=COMMAND_LIMIT_SECONDS, env=self.environment(), stdin=subprocess.DEVNULL)
        return Result(p.returncode, p.stdout, p.stderr)

    def ok(self, *args, addr=None):
        r = self.ctl(*args, addr=addr)
        self.assertEqual(r.rc, 0, r)
        self.assertEqual(r.err, "", r)
        return r.out

    def json(self, *args, addr=None):
        out = self.ok(*args, "--json", addr=addr)
        self.assertEqual(len(out.splitlines()), 1, out)
        return json.loads(out)

    def fails(self, rc, message, *args, addr=None):
        r = self.ctl(*args, addr=addr)
        self.assertEqual(r.rc, rc, r)
        self.assertIn(message, r.err, r)
        return r

    def value(self, name, addr=None):
        return self.json("get", name, addr=addr)["value"]

    def wait_for_standstill(self, addr=None):
        deadline = time.monotonic() + 5
        while self.value("run-state", addr=addr) != 0:
            self.assertLess(time.monotonic(), deadline, "the screen did not come to a stop")
            time.sleep(0.1)

    def requests_logged(self):
        return self.sim.log().count(" request ")


def run_on_terminal(args, limit=COMMAND_LIMIT_SECONDS, columns=80, term="xterm"):
    """Runs with stdout on a pseudo-terminal, as a person at a terminal would. The terminal
    stays open here until the program has ended and its output has been read: when its last
    holder closes it, the kernel may drop output still on its way to the reader."""
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
    p = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=slave, stderr=subprocess.PIPE,
                         env=dict(os.environ, TERM=term))
    chunks, deadline, quiet = [], time.monotonic() + limit, 0
    try:
        while time.monotonic() < deadline:
            ready, _, _ = select.select([master], [], [], 0.1)
            if ready:
                chunks.append(os.read(master, 4096))
            quiet = 0 if ready or p.poll() is None else quiet + 1
            if quiet == 5:  # ended, and nothing more on its way
                break
        else:
            p.kill()
    finally:
        p.wait()
        os.close(slave)
        os.close(master)
    return Result(p.returncode, b"".join(chunks).decode(errors="replace"), p.stderr.read().decode())


class Discovery(CliTest):
    controllers = "1,2,4"

    def test_scan_lists_the_answering_addresses(self):
        out = self.ok("scan")
        self.assertRegex(out, r"controller 1 +serial 545256-53494D-202103-150001\n")
        self.assertRegex(out, r"controller 4 +serial 545256-53494D-202103-150004\n")
        self.assertNotIn("controller 3", out)
        self.assertIn(f"3 of 16 addresses answer on {self.sim.link}", out)
        self.assertNotRegex(out, "[\r\x1b]")  # no bar when stdout is not a terminal

        found = self.json("scan")
        self.assertEqual(found["port"], self.sim.link)
        self.assertEqual([c["address"] for c in found["controllers"]], [1, 2, 4])
        self.assertEqual(found["controllers"][2]["serial"], "545256-53494D-202103-150004")

    def test_scan_of_a_silent_line_fails(self):
        with Simulator(SIM, "1", ["--fault", "no-answer"]) as silent:
            r = subprocess.run([TROVELCTL, "--device", silent.link, "scan"], capture_output=True, text=True,
                               timeout=COMMAND_LIMIT_SECONDS)
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertIn(f"no controller answers on {silent.link}", r.stderr)
        self.assertIn("0 of 16 addresses answer", r.stdout)

    def test_gateways_are_opened_by_their_urls(self):
        """Catches a URL taken for a file path, and a network line that reaches no controller."""
        with Simulator(SIM, "1,4", ["--listen-rtu", "127.0.0.1:0", "--listen-modbus-tcp", "127.0.0.1:0"]) as sim:
            deadline = time.monotonic() + START_SECONDS
            while len(urls := re.findall(r"^(?:rtu|modbus)\+tcp://\S+$", sim.log(), re.M)) < 2:
                self.assertLess(time.monotonic(), deadline, sim.log())
                time.sleep(0.05)
            for url in urls:
                with self.subTest(url=url):
                    r = subprocess.run([TROVELCTL, "--device", url, "scan", "--json"], capture_output=True,
                                       text=True, timeout=COMMAND_LIMIT_SECONDS)
                    self.assertEqual(r.returncode, 0, r.stderr)
                    self.assertEqual([c["address"] for c in json.loads(r.stdout)["controllers"]], [1, 4])

    def test_info(self):
        out = self.ok("info", addr=2)
        self.assertIn(f"controller 2 on {self.sim.link}", out)
        self.assertRegex(out, r"serial number +545256-53494D-202103-150002")
        self.assertRegex(out, r"BIOS date +2020-01-15")
        self.assertRegex(out, r"factory date +2021-03-15")
        self.assertRegex(out, r"run state +0 \(stopped\)")
        self.assertRegex(out, r"remote key +none")

        info = self.json("info", addr=2)
        self.assertEqual(info, {"address": 2, "serial": "545256-53494D-202103-150002", "bios_date": "2020-01-15",
                                "factory_date": "2021-03-15", "work_mode": 0, "direction": 0, "remote_function": 0,
                                "remote_key": 0, "run_state": 0, "run_state_text": "stopped"})

    def test_a_silent_address_is_named_in_the_failure(self):
        message = f"controller 3 on {self.sim.link}: no reply within 250 ms — check the address and the wiring"
        for command in (["info"], ["get", "speed"], ["set", "speed", "10"], ["move", "right"], ["switches"],
                        ["inputs"], ["params", "--json"], ["init"], ["factory-date"]):
            with self.subTest(command=command):
                r = self.fails(1, message, *command, addr=3)
                if "--json" in command:  # the failure as a document, with its cause
                    self.assertEqual(json.loads(r.out)["cause"]["code"], 20)
                else:
                    self.assertEqual(r.out, "")

    def test_a_flaky_line_shows_what_answered_and_names_what_did_not(self):
        with Simulator(SIM, "1", ["--fault", "no-answer@30%", "--seed", "7"]) as flaky:
            for _ in range(10):
                r = subprocess.run([TROVELCTL, "--device", flaky.link, "params", "--json"], capture_output=True,
                                   text=True, timeout=COMMAND_LIMIT_SECONDS)
                if r.returncode == 1 and "did not answer every read" in r.stderr:
                    break
            else:
                self.fail("no run with some reads answered and some not")
        values = json.loads(r.stdout)
        missed = [k for k, v in values.items() if v is None]
        answered = [k for k, v in values.items() if v is not None and k != "address"]
        self.assertTrue(missed and answered, values)
        self.assertIn(f"controller 1 on {flaky.link} did not answer every read: ", r.stderr)

    def test_bad_command_lines_exit_2_and_say_what_is_wrong(self):
        r = self.ctl("info", device=False)
        self.assertEqual(r.rc, 2, r)
        self.assertIn("--device DEVICE or --port N", r.err)
        not_a_fifo = self.sim.log_path
        # Program, arguments, what the message must say: the argument, the value, what is allowed.
        for program, args, message in (
                (TROVELCTL, ["sacn"], "no command 'sacn'; did you mean 'scan'?"),
                (TROVELCTL, ["help"], "'trovelctl --help' lists the commands"),
                (TROVELCTL, [], "say which command: ports, scan, info"),
                (TROVELCTL, ["--reply-timeout", "5", "info"], "--reply-timeout takes milliseconds from 10 to 10000"),
                (TROVELCTL, ["--retries", "6", "info"], "--retries takes a number of retries from 0 to 5, not '6'"),
                (TROVELCTL, ["--reply-mode", "fast", "info"], "--reply-mode takes frame or silence, not 'fast'"),
                (TROVELCTL, ["--addr", "abc", "info"], "--addr takes a device address from 1 to 16, not 'abc'"),
                (TROVELCTL, ["--addr", "0", "info"], "--addr takes a device address from 1 to 16, not '0'"),
                (TROVELCTL, ["--addr", "1", "--addr", "2", "info"], "--addr is given 2 times (1, 2)"),
                (TROVELCTL, ["move", "right", "--wait", "--timeout", "-1"], "--timeout takes a number of seconds "
                                                                             "above 0, not '-1'"),
                (TROVELCTL, ["move", "right", "--wait", "--timeout", "abc"], "not 'abc'"),
                (TROVELCTL, ["move", "right", "--timeout", "3"], "--timeout requires --wait"),
                (TROVELCTL, ["watch", "--count", "-1"], "--count takes a number of refreshes, 0 (until Ctrl-C)"),
                (TROVELCTL, ["set", "speed", "1e40"], "speed takes a number within a float's range"),
                (TROVELCTL, ["move", "up"], "DIRECTION takes left, right, auto or stop, not 'up'"),
                (TROVELCTL, ["switch", "on", "7"], "OUTPUT takes an output number from 1 to 6, not '7'"),
                (TROVELCTL, ["get"], "NAME is required"),
                (TROVELCTL, ["info", "extra"], "info takes no argument 'extra'"),
                (TROVELCTL, ["--port", "3", "info"], "--device excludes --port"),
                (SIM, ["--bogus"], "--bogus"),
                (SIM, ["--controllers", "1-17"], "--controllers wants addresses 1 to 16"),
                (SIM, ["--fault", "late@2"], "cannot understand --fault late@2"),
                (SIM, ["--turnaround", "-1"], "--turnaround"),
                (SIM, ["--control", not_a_fifo], "is not a FIFO")):
            with self.subTest(program=os.path.basename(program), args=args):
                device = ["--device", self.sim.link] if program == TROVELCTL else []
                r = subprocess.run([program, *device, *args], capture_output=True, text=True, stdin=subprocess.DEVNULL,
                                   timeout=COMMAND_LIMIT_SECONDS, env=self.environment())
                self.assertEqual(r.returncode, 2, r.stderr)
                self.assertIn(message, r.stderr)
                self.assertNotRegex(r.stderr, r"\d{20}")  # no float limits spelled out in full

    def test_help_names_the_exit_codes(self):
        r = self.ctl("--help", device=False)
        self.assertEqual(r.rc, 0, r)
        self.assertIn("Exit codes", r.out)
        r = self.ctl("get", "--help", device=False)
        self.assertIn("delay-time", r.out)
        for command in ("move", "watch", "scan"):  # every command's help has the options of all
            self.assertRegex(self.ctl(command, "--help", device=False).out, "--device DEVICE(.|\n)*--addr(.|\n)*--json"
                                                                                 "(.|\n)*--reply-mode")

    def test_device_from_the_environment(self):
        env = self.environment()
        env["TROVEL_DEVICE"] = self.sim.link
        r = subprocess.run([TROVELCTL, "get", "speed"], capture_output=True, text=True, env=env)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout, "speed of controller 1: 50 units/s\n")


class Causes(CliTest):
    """Each cause the library gives reaches the message, the exit code and --json's cause."""
    controllers = "1"

    def test_each_cause_has_its_message_and_json_field(self):
        """Catches a cause shown as another (a busy port and /dev/null alike), a lost hint, a line setting that
        never reaches the line, and --json without the cause."""
        speed = "(reading the motor speed)"
        held = open(self.sim.link)  # a device another program holds
        fcntl.flock(held, fcntl.LOCK_EX)
        # Simulator fault (None: the healthy shared one), options, exit code, cause, message.
        table = (
            ("no-answer", [], 1, 20, "controller 1 on {link}: no reply within 250 ms — check the address and the "
                                     f"wiring {speed}"),
            ("no-answer", ["--reply-timeout", "60"], 1, 20, "no reply within 60 ms"),
            ("bad-crc", [], 1, 22, f"CRC error in the reply — check termination and line noise {speed}"),
            ("exception:2", [], 1, 258, f"controller 1 on {{link}} refused register 100: illegal data address "
                                        f"(exception 02) {speed}"),
            ("truncate", [], 1, 21, "reply too short — check for line noise"),
            ("flood", [], 1, 24, "two frames in one reply — an adapter that echoes needs --local-echo"),
            ("delay:300", ["--reply-timeout", "500"], 0, None, None),  # the time-out reaches the line
            ("", ["--local-echo"], 1, 25, "local echo missing or different — this adapter does not echo"),
            (None, ["--device", "/nonexistent/ttyUSB9"], 3, 10, "cannot open /nonexistent/ttyUSB9: no such device"),
            (None, ["--device", self.sim.log_path], 3, 13, "not a serial device"),
            (None, ["--device", self.sim.link], 3, 11, "busy: another program holds it"),
            (None, ["--port", "1024"], 3, 10, "cannot open /dev/ttyS1023 (COM1024): no such device"),
            (None, ["--device", "rtu+tcp://127.0.0.1:1"], 3, 14, "cannot connect — check the gateway's address"),
        )
        try:
            for fault, options, rc, code, message in table:
                with self.subTest(fault=fault, options=options), contextlib.ExitStack() as stack:
                    sim = self.sim if fault is None else stack.enter_context(
                        Simulator(SIM, "1", ["--fault", fault] if fault else []))
                    device = [] if "--device" in options or "--port" in options else ["--device", sim.link]
                    r = subprocess.run([TROVELCTL, *device, *options, "get", "speed", "--json"], capture_output=True,
                                       text=True, timeout=COMMAND_LIMIT_SECONDS, stdin=subprocess.DEVNULL)
                    self.assertEqual(r.returncode, rc, r.stderr)
                    document = json.loads(r.stdout)
                    if code is None:
                        self.assertEqual(document["value"], 50)
                        continue
                    self.assertIn(message.format(link=sim.link), r.stderr)
                    self.assertEqual(document["ok"], False)
                    self.assertEqual(document["cause"]["code"], code)
                    self.assertTrue(document["cause"]["text"])
        finally:
            held.close()

    def test_verbose_shows_each_exchange_and_its_retries(self):
        """Catches -v printing nothing or other bytes, silence replies as the default, retries not applied."""
        frame = r"^\d\d:\d\d:\d\d\.\d{3}Z %s #1 > 01 03 00 64 00 02 85 D4 < %s(\d+\.\d) ms %s$"
        r = self.ctl("-v", "get", "speed")
        self.assertEqual(r.rc, 0, r)
        took = re.findall(frame % (re.escape(self.sim.link), r"01 03 04 00 00 42 48 CA A5 ", "success"), r.err, re.M)
        self.assertEqual(len(took), 1, r.err)
        self.assertLess(float(took[0]), 60)  # frame-complete replies are the default
        r = self.ctl("-v", "--reply-mode", "silence", "get", "speed")
        self.assertGreaterEqual(float(re.search(r"(\d+\.\d) ms success", r.err).group(1)), 100, r.err)
        with Simulator(SIM, "1", ["--fault", "no-answer"]) as silent:
            r = subprocess.run([TROVELCTL, "--device", silent.link, "-v", "--retries", "2", "get", "speed"],
                               capture_output=True, text=True, timeout=COMMAND_LIMIT_SECONDS)
        tries = re.findall(frame % (re.escape(silent.link), "", "no reply within the time-out"), r.stderr, re.M)
        self.assertEqual(len(tries), 3, r.stderr)

    def test_stats_and_watch_count_failures_and_retries(self):
        """Catches counts that do not add up, the scan's silent addresses counted, a noisy controller missed by
        the scan, and watch without the round's failures and retries."""
        with Simulator(SIM, "1-2", ["--fault", "bad-crc@25%", "--seed", "5"]) as noisy:
            r = subprocess.run([TROVELCTL, "--device", noisy.link, "--retries", "1", "stats", "--count", "20",
                                "--json"], capture_output=True, text=True, timeout=COMMAND_LIMIT_SECONDS)
            self.assertEqual(r.returncode, 0, r.stderr)
            stats = json.loads(r.stdout)
            self.assertGreater(stats["crc_errors"], 0)
            self.assertEqual(stats["failures"], stats["crc_errors"])
            self.assertEqual(stats["exchanges"], stats["successes"] + stats["failures"])
            self.assertEqual(stats["exchanges"], 40 + stats["retries"])  # the scan is not counted
            self.assertEqual([c["address"] for c in stats["controllers"]], [1, 2])
            self.assertEqual(sum(c["crc_errors"] for c in stats["controllers"]), stats["crc_errors"])
            r = subprocess.run([TROVELCTL, "--device", noisy.link, "--addr", "2", "--retries", "1", "watch",
                                "--count", "6", "--json"], capture_output=True, text=True,
                               timeout=COMMAND_LIMIT_SECONDS)
        rounds = [json.loads(line) for line in r.stdout.splitlines()]
        self.assertEqual(len(rounds), 6, r.stdout)
        self.assertGreater(sum(round["failures"] for round in rounds), 0)
        self.assertGreater(sum(round["retries"] for round in rounds), 0)

    def test_ports_needs_no_device(self):
        """Catches ports asking for --device, and the plain and JSON lists disagreeing."""
        r = subprocess.run([TROVELCTL, "ports"], capture_output=True, text=True, env=self.environment())
        self.assertEqual(r.returncode, 0, r.stderr)
        listed = json.loads(subprocess.run([TROVELCTL, "ports", "--json"], capture_output=True, text=True).stdout)
        names = [line.split()[0] for line in r.stdout.splitlines()[1:] if line.startswith(("/", "COM"))]
        self.assertEqual(names, [p["name"] for p in listed["ports"]], r.stdout)
        if not listed["ports"]:
            self.assertEqual(r.stdout, "no serial ports found\n")
        for port in listed["ports"]:
            self.assertEqual(sorted(port), sorted(["name", "description", "manufacturer", "vid", "pid", "serial_number",
                                                   "location", "latency_timer_ms", "in_use"]))


class FastScan(CliTest):
    controllers = "1,7,16"
    sim_options = ("--turnaround", "5")

    def test_both_passes_find_every_controller(self):
        """Catches a probe time-out not derived from the first answer (or derived from the whole exchange),
        controllers missed by the short probe, and a second pass that asks the found ones again or is left
        out."""
        for quick in (False, True):
            with self.subTest(quick=quick):
                # 4 x 5 ms turnaround + 7 bytes (3.6 ms), at least 20 ms; the simulator's wire is faster.
                # A loaded machine stretches the measured turnaround, so the best of three scans counts.
                for _ in range(3):
                    found = self.json("scan", *(["--quick"] if quick else []))
                    self.assertEqual([c["address"] for c in found["controllers"]], [1, 7, 16])
                    first = found["passes"][0]
                    if first["timeout_ms"] <= 30:
                        break
                self.assertEqual(first["asked"], 16)
                self.assertGreaterEqual(first["timeout_ms"], 20)
                self.assertLessEqual(first["timeout_ms"], 30)
                if quick:
                    self.assertEqual(len(found["passes"]), 1)
                else:
                    self.assertEqual(found["passes"][1]["asked"], 13)
                    self.assertEqual(found["passes"][1]["timeout_ms"], 250)
        text = self.ok("scan", "--quick")
        self.assertRegex(text, r"asked 16 in \d+\.\d\d s \(time-out \d+ ms\)\n")


class Parameters(CliTest):
    controllers = "1-2"
    sim_options = ("-v",)  # logs every request, to check that refusals send nothing

    def setUp(self):
        self.ok("defaults", addr=1)

    def test_params_table_and_json(self):
        out = self.ok("params")
        for row in ("speed +50 units/s", "acceleration +100 units/s2", "pulse-count +1000 pulses",
                    "begin-point +0\n", "end-point +100\n", "resolution +0.1\n", "delay-time +2 s",
                    "run-state +0 \\(stopped\\)", "remote-key +none"):
            self.assertRegex(out, row)
        values = self.json("params")
        self.assertEqual(values["address"], 1)
        self.assertEqual(values["speed"], 50)
        self.assertEqual(values["resolution"], 0.1)  # the float's shortest text, not 0.100000001
        self.assertEqual(values["auto_end_point"], 90)
        self.assertEqual(len(values), 17)

    def test_set_reads_back_and_get_agrees(self):
        self.assertEqual(self.ok("set", "speed", "80"), "speed of controller 1: 80 units/s\n")
        self.assertEqual(self.json("get", "speed"),
                         {"address": 1, "name": "speed", "value": 80, "unit": "units/s", "text": "80 units/s"})
        self.ok("set", "acc", "250.5")  # aliases reach the same parameter
        self.assertEqual(self.value("acceleration"), 250.5)
        self.ok("set", "delay", "1.5")
        self.assertEqual(self.ok("get", "delay-time"), "delay-time of controller 1: 1.5 s\n")
        self.assertEqual(self.value("speed", addr=2), 50)  # the other controller is untouched

    def test_points_take_negative_values(self):
        self.assertEqual(self.ok("set", "begin-point", "-12.5"), "begin-point of controller 1: -12.5\n")
        self.ok("set", "auto-end-point", "--", "-3")
        self.assertEqual(self.value("auto-end-point"), -3)

    def test_refusals_are_explained_and_send_nothing(self):
        time.sleep(0.3)  # the simulator logs asynchronously
        before = self.requests_logged()
        self.fails(2, "speed cannot be negative", "set", "speed", "-5")
        self.fails(2, "diameter cannot be negative", "set", "diameter", "-0.5")
        self.fails(2, "work-mode takes 0 or 1, not '2'", "set", "work-mode", "2")
        self.fails(2, "direction takes 0 or 1", "set", "direction", "on")
        self.fails(2, "run-state is read-only", "set", "run-state", "1")
        self.fails(2, "speed takes a number, not '12abc'", "set", "speed", "12abc")
        self.fails(2, "takes a number", "set", "end-point", "nan")
        self.fails(2, "no parameter called 'sped'", "get", "sped")
        time.sleep(0.3)  # the simulator logs asynchronously
        self.assertEqual(self.requests_logged(), before)
        self.assertEqual(self.value("speed"), 50)

    def test_two_valued_settings(self):
        for name in ("work-mode", "direction", "remote-function"):
            with self.subTest(name=name):
                self.assertEqual(self.ok("set", name, "1"), f"{name} of controller 1: 1\n")
                self.assertEqual(self.value(name), 1)
        self.ok("defaults")
        self.assertEqual(self.value("mode"), 0)

    def test_setting_the_current_point_moves_nothing(self):
        out = self.ok("set", "current-point", "30")
        self.assertIn("does not move", out)
        self.assertEqual(self.value("position"), 30)
        self.assertEqual(self.value("run-state"), 0)
        self.ok("set", "current-point", "0")

    def test_reset_begin_takes_the_current_point(self):
        self.ok("set", "current-point", "40")
        self.assertEqual(self.ok("reset-begin"),
                         "begin point of controller 1 is now 40 (where the screen stands)\n")
        self.assertEqual(self.value("begin-point"), 40)
        self.assertEqual(self.json("reset-begin"), {"address": 1, "begin_point": 40})
        self.ok("set", "current-point", "0")

    def test_factory_date(self):
        self.assertEqual(self.json("factory-date", addr=2), {"address": 2, "factory_date": "2021-03-15"})
        self.assertEqual(self.ok("factory-date", "2024-02-29", addr=2), "factory date of controller 2: 2024-02-29\n")
        self.assertEqual(self.ok("factory-date", addr=2), "factory date of controller 2: 2024-02-29\n")
        self.fails(2, "YYYY-MM-DD", "factory-date", "2023-02-29")
        self.fails(2, "YYYY-MM-DD", "factory-date", "24-02-2024")
        self.fails(2, "read back as 2019-09-24", "factory-date", "2019-09-24")
        self.ok("factory-date", "2021-03-15", addr=2)

    def test_defaults_one_controller_and_broadcast(self):
        self.ok("set", "speed", "77", addr=1)
        self.ok("set", "speed", "78", addr=2)
        self.assertEqual(self.ok("defaults", addr=2), "controller 2 restored its default parameters\n")
        self.assertEqual(self.value("speed", addr=2), 50)
        self.assertEqual(self.value("speed", addr=1), 77)

        self.ok("set", "speed", "78", addr=2)
        out = self.ok("defaults", "--broadcast")
        self.assertIn(f"defaults order broadcast to every controller on {self.sim.link}", out)
        self.assertEqual(self.value("speed", addr=1), 50)
        self.assertEqual(self.value("speed", addr=2), 50)
        self.assertEqual(self.json("defaults", "--broadcast"),
                         {"address": 0, "command": "defaults", "acknowledged": False})

    def test_address_change(self):
        self.fails(2, "address 1 is taken", "address", "1", addr=2)
        self.assertEqual(self.ok("address", "9", addr=2), "controller 2 now answers at address 9\n")
        self.fails(1, f"controller 2 on {self.sim.link}: no reply within", "get", "speed", addr=2)
        self.assertEqual(self.value("speed", addr=9), 50)
        self.assertEqual(self.json("address", "2", addr=9), {"address": 2, "previous_address": 9, "ok": True})
        self.assertEqual(self.value("speed", addr=2), 50)


class Motion(CliTest):
    controllers = "1-2"

    def setUp(self):
        self.ok("defaults")
        self.ok("move", "left", "--wait", "--json")  # every test starts at the left limit

    def test_move_right_wait_ends_at_the_right_limit(self):
        started = time.monotonic()
        out = self.ok("move", "right", "--wait")
        lines = out.splitlines()
        self.assertEqual(lines[-1], "controller 1 stopped at 100.00 (right limit reached)")
        positions = [float(m) for m in re.findall(r"^controller 1: position (-?\d+\.\d\d), moving right$", out, re.M)]
        self.assertGreaterEqual(len(positions), 3, out)
        self.assertEqual(positions, sorted(positions))
        self.assertNotRegex(out, "[\r\x1b]")
        # 100 units at 50 units/s with ramps: about 2.5 s.
        self.assertLess(time.monotonic() - started, 15)
        inputs = self.json("inputs")
        self.assertTrue(inputs["right_limit"])
        self.assertFalse(inputs["left_limit"])
        self.assertEqual(self.value("run-state"), 0)

    def test_move_wait_json(self):
        self.ok("move", "right")
        time.sleep(0.5)
        result = self.json("move", "left", "--wait")
        self.assertEqual(result["ended_by"], "left limit")
        self.assertEqual(result["position"], 0)
        self.assertEqual(result["run_state"], 0)
        self.assertEqual(result["command"], "left")

    def test_move_without_wait_then_stop(self):
        self.assertEqual(self.ok("move", "right"), "controller 1 moving right\n")
        state = self.json("get", "run-state")
        self.assertEqual(state["text"], "2 (moving right)")
        self.assertEqual(self.value("run-state", addr=2), 0)  # only the addressed one moves
        result = self.json("move", "stop", "--wait")
        self.assertEqual(result["ended_by"], "stopped")
        self.assertGreater(result["position"], 0)
        self.assertLess(result["position"], 100)

    def test_signals_and_a_closed_pipe_stop_the_screen_first(self):
        for ending, code in ((signal.SIGINT, 130), (signal.SIGHUP, 129), (signal.SIGQUIT, 131), (signal.SIGTERM, 143),
                             ("closed pipe", 141)):
            with self.subTest(ending=ending):
                self.ok("move", "left", "--wait")
                p = subprocess.Popen([TROVELCTL, "--device", self.sim.link, "move", "right", "--wait"],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                self.assertIn("moving right", p.stdout.readline())
                if ending == "closed pipe":
                    p.stdout.close()  # as `trovelctl ... | head -n 1` does
                else:
                    p.send_signal(ending)
                err = p.stderr.read()
                p.wait(timeout=COMMAND_LIMIT_SECONDS)
                self.assertEqual(p.returncode, code, err)
                self.assertIn("stop sent to controller 1", err)
                self.wait_for_standstill()
                self.assertLess(self.value("current-point"), 100)
                self.assertFalse(self.json("inputs")["right_limit"])

    def test_a_screen_that_cannot_move_fails_with_the_reason(self):
        self.ok("set", "speed", "0")
        r = self.fails(1, "controller 1 made no progress in 3 s: its motor speed is 0", "move", "right", "--wait")
        self.assertIn("stop sent", r.err)

    def test_wait_rides_out_lost_replies_and_reports_lost_contact(self):
        with Simulator(SIM, "1", ["--fault", "no-answer@5%", "--seed", "3"]) as lossy:
            r = subprocess.run([TROVELCTL, "--device", lossy.link, "move", "right", "--wait"], capture_output=True,
                               text=True, timeout=COMMAND_LIMIT_SECONDS)
        # The move command itself may be among the lost ones; the wait must not be.
        if "sending move right" not in r.stderr:
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertIn("right limit reached", r.stdout)

        vanishing = Simulator(SIM, "1")
        p = subprocess.Popen([TROVELCTL, "--device", vanishing.link, "move", "right", "--wait"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            self.assertIn("moving right", p.stdout.readline())
        finally:
            vanishing.stop()
        _, err = p.communicate(timeout=COMMAND_LIMIT_SECONDS)
        self.assertEqual(p.returncode, 1, err)
        self.assertIn(f"lost contact with controller 1 on {vanishing.link} while following it", err)

    def test_timeout_stops_the_screen(self):
        self.ok("set", "speed", "5")
        r = self.fails(1, "controller 1 did not stop within 1 s", "move", "right", "--wait", "--timeout", "1")
        self.assertIn("stop sent at position", r.err)
        self.wait_for_standstill()
        self.assertLess(self.value("current-point"), 20)

    def test_automatic_run(self):
        self.assertEqual(self.ok("move", "auto"), "controller 1 on its automatic run\n")
        self.assertIn("automatic run", self.json("get", "run-state")["text"])
        self.ok("move", "stop")
        self.wait_for_standstill()

    def test_init_stops_and_switches_every_output_off(self):
        self.ok("switch", "all-on")
        self.ok("move", "right")
        self.assertEqual(self.ok("init"), "controller 1 stopped, every output off\n")
        self.assertEqual(self.json("switches")["outputs"], [False] * 6)
        self.wait_for_standstill()
        self.assertEqual(self.json("init"), {"address": 1, "command": "init", "ok": True})


class SwitchesAndInputs(CliTest):
    controllers = "1"

    def setUp(self):
        self.ok("switch", "all-off")

    def test_switch_one_output_at_a_time(self):
        self.assertEqual(self.ok("switch", "on", "3"), "output 3 of controller 1 switched on; on now: 3\n")
        self.assertEqual(self.json("switch", "on", "6"),
                         {"address": 1, "outputs": [False, False, True, False, False, True], "text": "001001"})
        self.assertEqual(self.ok("switch", "off", "3"), "output 3 of controller 1 switched off; on now: 6\n")
        self.assertEqual(self.ok("switch", "off", "6"), "output 6 of controller 1 switched off; none on now\n")
        self.assertEqual(self.ok("switch", "all-on"), "every output of controller 1 switched on; on now: 1 2 3 4 5 6\n")

    def test_all_on_all_off_and_the_table(self):
        self.ok("switch", "all-on")
        out = self.ok("switches")
        self.assertTrue(out.startswith("switch outputs of controller 1\n"))
        self.assertEqual(re.findall(r"output (\d) +on", out), ["1", "2", "3", "4", "5", "6"])
        self.assertEqual(self.json("switch", "all-off")["text"], "000000")
        self.assertEqual(re.findall(r"output \d +(on|off)", self.ok("switches")), ["off"] * 6)

    def test_switch_usage(self):
        self.fails(2, "needs an output number from 1 to 6", "switch", "on")
        self.fails(2, "takes no output number", "switch", "all-on", "2")
        self.assertEqual(self.ctl("switch", "on", "7").rc, 2)
        self.assertEqual(self.ctl("switch", "toggle", "1").rc, 2)

    def test_inputs_by_name(self):
        self.ok("set", "current-point", "0")
        out = self.ok("inputs")
        self.assertRegex(out, r"left limit +on\n")
        for name in ("right limit", "left extremity", "right extremity", "input 5", "input 8"):
            self.assertRegex(out, name + r" +off\n")
        # Standing beyond the end point (after a recalibration) makes the right extremity.
        self.ok("set", "current-point", "120")
        self.assertEqual(self.json("inputs"), {
            "address": 1, "left_limit": False, "right_limit": True, "left_extremity": False,
            "right_extremity": True, "input_5": False, "input_6": False, "input_7": False, "input_8": False,
            "text": "00001010"})
        self.ok("set", "current-point", "0")


class Terminal(CliTest):
    controllers = "1-2"

    def command(self, *args):
        return [TROVELCTL, "--device", self.sim.link, *args]

    def test_move_wait_bar_fits_the_terminal_and_dumb_terminals_get_plain_lines(self):
        for columns, term in ((80, "xterm"), (40, "xterm"), (80, "dumb")):
            with self.subTest(columns=columns, term=term):
                self.ok("move", "left", "--wait")
                r = run_on_terminal(self.command("move", "right", "--wait"), columns=columns, term=term)
                self.assertEqual(r.rc, 0, r)
                self.assertIn("controller 1 stopped at 100.00 (right limit reached)", r.out)
                drawn = re.findall(r"\r(#1 [^\r\x1b]*)\x1b\[K", r.out)
                if term == "dumb":
                    self.assertNotIn("\x1b", r.out)
                    self.assertRegex(r.out, r"controller 1: position \d+\.\d\d, moving right")
                    continue
                self.assertTrue(drawn, r.out)
                for line in drawn:  # the bar gives way; the position stays in view
                    self.assertLess(len(line), columns, line)
                    self.assertRegex(line, r"^#1 (\[#*\.*\] )? +\d+\.\d\d  \(0 \.\. 100\)")
                if columns == 80:
                    self.assertRegex(drawn[0], r"^#1 \[[#.]{30}\] ")

    def test_scan_draws_a_bar_and_lists_as_it_finds(self):
        r = run_on_terminal(self.command("scan"))
        self.assertEqual(r.rc, 0, r)
        self.assertIn("address 16, 2 found", r.out)
        self.assertIn("controller 2   serial", r.out)

    def test_watch_redraws_the_screen(self):
        r = run_on_terminal(self.command("watch", "--count", "2", "--interval", "100"))
        self.assertEqual(r.rc, 0, r)
        self.assertEqual(r.out.count("\x1b[H"), 2)  # drawn over the last view, never scrolled
        self.assertRegex(r.out, f"trovelctl watch  {re.escape(self.sim.link)}  round \\d+ ms \\+ 100 ms pause ")
        self.assertRegex(r.out, r" #1  \[[#.]+\] +[-\d.]+  \(0 \.\. 100\)")
        self.assertIn(" #2 ", r.out)
        self.assertTrue(r.out.rstrip().endswith("\x1b[?25h"), repr(r.out[-300:]))  # the cursor comes back

    def test_watch_plain_lines_and_json_lines(self):
        out = self.ok("watch", "--count", "2", "--interval", "0")
        lines = out.splitlines()
        self.assertEqual(len(lines), 4, out)
        for line in lines:
            self.assertRegex(line, r"^\d\d:\d\d:\d\d #[12] position [-\d.]+ \(0 \.\. 100\), \w+, "
                                   r"inputs [01]{8}, outputs [01]{6}, failures \d+, retries \d+$")
        out = self.ok("watch", "--count", "3", "--interval", "0", "--json", addr=2)
        rounds = [json.loads(line) for line in out.splitlines()]
        self.assertEqual([r["round"] for r in rounds], [0, 1, 2])
        self.assertTrue(all(r["address"] == 2 and r["answered"] for r in rounds))
        self.assertEqual(rounds[0]["end_point"], 100)

    def test_watch_ends_on_ctrl_c_with_130(self):
        p = subprocess.Popen(self.command("--addr", "1", "watch"), stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
        self.assertIn("#1 position", p.stdout.readline())
        p.send_signal(signal.SIGINT)
        _, err = p.communicate(timeout=COMMAND_LIMIT_SECONDS)
        self.assertEqual(p.returncode, 130, err)

    def test_watching_a_silent_address_fails(self):
        self.fails(1, f"no answer from any watched controller on {self.sim.link}", "watch", "--count", "1", addr=5)


def main():
    global TROVELCTL, SIM
    parser = argparse.ArgumentParser()
    parser.add_argument("--trovelctl", required=True)
    parser.add_argument("--sim", required=True)
    args, rest = parser.parse_known_args()
    TROVELCTL, SIM = os.path.abspath(args.trovelctl), os.path.abspath(args.sim)
    unittest.main(argv=[sys.argv[0], "-v", *rest])


if __name__ == "__main__":
    main()
