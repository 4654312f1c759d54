"""The installed trovelsdk package against trovel-sim ($TROVEL_SIM), with the library named by
$TROVELSDK_LIBRARY. Run by run.sh inside a fresh virtual environment."""

import os
import subprocess
import sys
import time

import pytest

import trovelsdk
from trovelsdk import MotorDirection, RunState, WorkMode

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "cli"))
from simulator import Simulator  # noqa: E402

SIM = os.environ["TROVEL_SIM"]


def test_the_installed_package_is_the_one_under_test():
    here = os.path.dirname(trovelsdk.__file__)
    assert here.startswith(sys.prefix) and os.path.exists(os.path.join(here, "py.typed"))


@pytest.fixture
def sim(request):
    with Simulator(SIM, "1-2", getattr(request, "param", ())) as s:
        yield s.link


@pytest.fixture
def line(sim):
    with trovelsdk.Line(sim, reply_mode="frame") as line:
        yield line


# Every setting gets a value of its own and all are written before any is read back, so a
# property wired to another one's C call reads back the wrong value.
SETTINGS = [
    ("motor_speed", 80.0), ("motor_acceleration", 120.0), ("pulse_count", 2000.0), ("begin_point", -5.0),
    ("end_point", 95.0), ("auto_begin_point", 12.5), ("auto_end_point", 87.5), ("resolution", 0.25),
    ("diameter", 42.0), ("delay_time", 1.5), ("current_point", 33.0), ("work_mode", WorkMode.MODE_1),
    ("motor_direction", MotorDirection.REVERSED), ("remote_function", True), ("factory_date", "2020-01-15"),
]
# Controller 2 as the simulator starts it: at 0, on its left limit.
READINGS = [
    ("serial", "545256-53494D-202103-150002"), ("bios_date", "2020-01-15"), ("run_state", RunState.STOPPED),
    ("remote_key", 0), ("switch_state", (False,) * 6), ("input_state", 0b0001), ("left_limit", True),
    ("right_limit", False), ("left_extremity", False), ("right_extremity", False),
]


def test_every_property(line):
    screen = line.controller(1)
    for name, value in SETTINGS:
        setattr(screen, name, value)
    assert [(name, getattr(screen, name)) for name, _ in SETTINGS] == SETTINGS
    other = line.controller(2)
    assert [(name, getattr(other, name)) for name, _ in READINGS] == READINGS


def test_every_command(line):
    screen = line.controller(1)
    outputs = lambda: "".join("1" if on else "0" for on in screen.switch_state)  # noqa: E731
    steps = [
        (screen.switch_all_on, lambda: outputs() == "111111"),
        (lambda: screen.set_switch(3, False), lambda: outputs() == "110111"),
        (screen.switch_all_off, lambda: outputs() == "000000"),
        (lambda: screen.set_switch(1, True), lambda: outputs() == "100000"),
        (screen.move_right, lambda: screen.run_state == RunState.RIGHT),
        (screen.move_auto, lambda: RunState.AUTO in screen.run_state),
        (screen.init, lambda: screen.wait_until_stopped(5) > 0 and outputs() == "000000"),
        (screen.move_left, lambda: screen.run_state == RunState.LEFT),
        (screen.stop, lambda: screen.wait_until_stopped(5) == screen.current_point),
        (screen.reset_begin_point, lambda: screen.begin_point == screen.current_point > 0),
        (lambda: setattr(screen, "motor_speed", 7.0), lambda: screen.motor_speed == 7.0),
        (screen.restore_defaults, lambda: (screen.motor_speed, screen.begin_point) == (50.0, 0.0)),
        (lambda: None, lambda: screen.set_address(5).address == 5 and line.controller(5).motor_speed == 50.0),
    ]
    for number, (act, holds) in enumerate(steps):
        act()
        assert holds(), f"step {number}"


@pytest.mark.parametrize("sim, act, error, code", [
    (("--fault", "no-answer"), lambda c: c.motor_speed, trovelsdk.NoReply, 20),
    (("--fault", "truncate"), lambda c: c.motor_speed, trovelsdk.ShortReply, 21),
    (("--fault", "bad-crc"), lambda c: c.motor_speed, trovelsdk.CrcError, 22),
    (("--fault", "exception:2"), lambda c: c.move_left(), trovelsdk.ExceptionReply, 258),
    ((), lambda c: setattr(c, "motor_speed", -1), trovelsdk.ArgumentRefused, 2),
    ((), lambda c: c.set_switch(7, True), trovelsdk.ArgumentRefused, 2),
], indirect=["sim"], ids=["no-answer", "truncate", "bad-crc", "exception", "negative-speed", "switch-7"])
def test_each_fault_raises_its_error_class(line, act, error, code):
    with pytest.raises(error) as raised:
        act(line.controller(1))
    assert (raised.value.code, raised.value.text, raised.value.address) == (code, trovelsdk.error_text(code), 1)
    if error is trovelsdk.ExceptionReply:
        assert raised.value.exception_code == 2


# ctypes cuts integers to 32 bits and floats to infinity: for each argument a value out of
# range and one aliased by 2**32 (which reached another controller, output or setting) raise
# ValueError, one of the wrong type TypeError, all before anything goes on the line.
ARGUMENTS = [
    ("address", lambda line, v: line.controller(v).motor_speed, 17, 2**32 + 1, "1"),
    ("output", lambda line, v: line.controller(1).set_switch(v, True), 0, 2**32 + 3, 3.0),
    ("new_address", lambda line, v: line.controller(8).set_address(v), 17, 2**32 + 12, "12"),
    ("value", lambda line, v: setattr(line.controller(1), "motor_speed", v), 1e39, float("-inf"), "80"),
    ("work_mode", lambda line, v: setattr(line.controller(1), "work_mode", v), 2, 2**32 + 1, "1"),
    ("motor_direction", lambda line, v: setattr(line.controller(1), "motor_direction", v), 2, 2**32 + 1, True),
    ("reply_timeout_ms", lambda line, v: line.set_timeouts(v), 5, 2**32 + 250, "250"),
    ("reply_gap_ms", lambda line, v: line.set_timeouts(250, v), 1, 2**32 + 50, 5.0),
    ("retries", lambda line, v: line.set_retries(v), 6, 2**32 + 1, 1.5),
    ("port", lambda line, v: trovelsdk.Line(port=v), 0, 2**32 + 999, "1"),
]


def test_bad_arguments_raise_naming_the_argument_and_send_nothing():
    with Simulator(SIM, "1-2", ("-v",)) as s, trovelsdk.Line(s.link, reply_mode="frame") as line:
        time.sleep(0.2)
        log = s.log()
        for name, act, *values in ARGUMENTS:
            for value, error in zip(values, (ValueError, ValueError, TypeError)):
                with pytest.raises(error, match=name):
                    act(line, value)
        assert line.stats().exchanges == 0 and not trovelsdk.Line().is_open
        time.sleep(0.2)
        assert s.log() == log, "nothing reached the simulator"
        assert line.controller(1).serial
        time.sleep(0.2)
        assert s.log() != log, "the simulator logs each request it is sent"


def test_failures_of_the_line_itself(sim):
    with pytest.raises(trovelsdk.PortError) as raised:
        trovelsdk.Line(sim + ".missing")
    assert raised.value.code == 10 and "cannot open" in str(raised.value)
    with pytest.raises(trovelsdk.ArgumentRefused):
        trovelsdk.Line(sim, reply_mode="fast")
    with pytest.raises(trovelsdk.ArgumentRefused):
        trovelsdk.Line(sim, retries=9)
    with pytest.raises(trovelsdk.NotOpen):
        trovelsdk.Line().controller(1).serial  # the default line, which nothing opened
    line = trovelsdk.Line(sim)  # opens again: the refused ones above closed what they opened
    line.close()
    with pytest.raises(trovelsdk.LineClosed):
        line.controller(1).serial


def test_wait_until_stopped_reports_progress(line):
    screen = line.controller(2)
    screen.motor_speed = 20.0
    screen.move_right()
    with pytest.raises(TimeoutError):
        screen.wait_until_stopped(timeout=0.3)
    screen.motor_speed = 50.0
    seen = []
    assert screen.wait_until_stopped(timeout=20, on_progress=lambda at, state: seen.append((at, state))) == 100.0
    positions = [at for at, _ in seen]
    assert len(seen) >= 3 and positions == sorted(positions) and seen[-1] == (100.0, RunState.STOPPED)
    assert all(state == RunState.RIGHT for _, state in seen[:-1])


def test_trace_and_statistics(sim):
    records = []
    with trovelsdk.Line(sim, reply_timeout_ms=200, retries=1, reply_mode="frame", trace=records.append) as line:
        assert line.controller(2).serial
        line.set_trace(None)
        assert line.controller(2).serial
        assert [(r.address, r.request[:2], len(r.reply), r.ok) for r in records] == [(2, b"\x02\x03", 17, True)]
        assert line.stats().exchanges == 2


def test_scan_entry_point(sim):
    run = subprocess.run([sys.executable, "-m", "trovelsdk", "scan", sim], capture_output=True, text=True,
                         timeout=60)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == ["controller 1   serial 545256-53494D-202103-150001",
                                       "controller 2   serial 545256-53494D-202103-150002",
                                       f"2 of 16 addresses answer on {sim}"]


def test_port_descriptions_agree_with_the_port_names():
    """Catches a structure laid out otherwise than the C one: names shifted or cut."""
    ports = trovelsdk.list_ports_info()
    assert [p.name for p in ports] == trovelsdk.list_ports()
    for p in ports:
        assert p.vendor_id is None or 0 <= p.vendor_id <= 0xFFFF
        assert p.in_use in (None, True, False)


@pytest.mark.parametrize("environment, named", [
    ({"TROVELSDK_LIBRARY": "/nowhere/libtrovelsdk.so.1"}, ["$TROVELSDK_LIBRARY=/nowhere/libtrovelsdk.so.1"]),
    ({}, ["$TROVELSDK_LIBRARY: not set", os.path.dirname(trovelsdk.__file__), "libtrovelsdk.so.1 where the system"]),
], ids=["chosen", "nowhere"])
def test_library_not_found_says_where_it_looked(environment, named):
    env = {k: v for k, v in os.environ.items() if k not in ("TROVELSDK_LIBRARY", "LD_LIBRARY_PATH")}
    run = subprocess.run([sys.executable, "-c", "import trovelsdk; trovelsdk.Line()"], capture_output=True,
                         text=True, env={**env, **environment}, timeout=60)
    assert "LibraryNotFoundError" in run.stderr and "set TROVELSDK_LIBRARY" in run.stderr
    assert all(name in run.stderr for name in named), run.stderr
