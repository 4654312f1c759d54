#!/usr/bin/env python3
"""trovelctl.exe under wine64 against trovel-sim on a COM port (a dosdevices/comN link): a
table of commands with their output and exit codes, then Ctrl-C pressed on the console while
a screen moves, which must stop it before the program ends. Wine delivers no Ctrl-Break
(GenerateConsoleCtrlEvent fails, which the run shows) and has no console window to close, so
the handler's other events are called directly by a test program of their own.

    trovelctl_wine.py --prefix DIR --sim TROVEL-SIM --trovelctl trovelctl.exe
                      --console-ctrl console_ctrl.exe --handler-tests console_control_tests.exe
"""

import argparse
import json
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from wine_run import (ABSENT_PORT, PartnerProgram, claimed_port, ensure_prefix, find_wine,  # noqa: E402
                      start_server, wine_environment)

COMMAND_LIMIT_SECONDS = 60


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Run:
    def __init__(self, args):
        self.wine, server = find_wine()
        self.prefix = os.path.abspath(args.prefix)
        ensure_prefix(self.prefix, self.wine, server)
        start_server(self.prefix, server)
        self.trovelctl = args.trovelctl
        self.console_ctrl = args.console_ctrl
        self.passed = self.failed = 0

    def program(self, *argv):
        r = subprocess.run([self.wine, *argv], env=wine_environment(self.prefix), stdin=subprocess.DEVNULL,
                           capture_output=True, text=True, encoding="utf-8", timeout=COMMAND_LIMIT_SECONDS)
        return r.returncode, r.stdout, r.stderr

    def ctl(self, *args):
        return self.program(self.trovelctl, *map(str, args))

    def expect(self, what, result, rc, out=None, err=None):
        """out and err are regular expressions the output must contain."""
        code, stdout, stderr = result
        problems = [f"exit code {code}, expected {rc}"] if code != rc else []
        for name, pattern, text in (("stdout", out, stdout), ("stderr", err, stderr)):
            if pattern is not None and not re.search(pattern, text, re.M):
                problems.append(f"{name} lacks /{pattern}/")
        if problems:
            self.failed += 1
            print(f"FAIL  {what}: {'; '.join(problems)}\n--- stdout:\n{stdout}--- stderr:\n{stderr}---")
        else:
            self.passed += 1
            print(f"ok    {what}")
        return stdout

    def table(self, port):
        com = f"COM{port}"
        rows = (
            # arguments, exit code, stdout, stderr
            (["--port", port, "scan"], 0, rf"^controller 1 +serial 545256-53494D-202103-150001\n"
                                          rf"controller 2 +serial 545256-53494D-202103-150002\n"
                                          rf"2 of 16 addresses answer on {com}$", None),
            (["--device", com, "--addr", 2, "info"], 0, rf"^controller 2 on {com}\n"
                                                        r"  serial number +545256-53494D-202103-150002$", None),
            (["--port", port, "set", "speed", 80], 0, r"^speed of controller 1: 80 units/s$", None),
            (["--port", port, "get", "speed", "--json"], 0,
             r'^\{"address":1,"name":"speed","value":80,"unit":"units/s","text":"80 units/s"\}$', None),
            (["--port", port, "-v", "get", "speed"], 0, None,
             rf"Z {com} #1 > 01 03 00 64 00 02 85 D4 < 01 03 04 00 00 42 A0 [0-9A-F ]{{5}} \d+\.\d ms success$"),
            (["--port", port, "move", "left", "--wait"], 0, r"^controller 1 stopped at 0\.00 \(left limit reached\)$",
             None),
            (["--port", port, "move", "right", "--wait"], 0,
             r"^controller 1: position \d+\.\d\d, moving right\n(.|\n)*"
             r"^controller 1 stopped at 100\.00 \(right limit reached\)$", None),
            (["--port", port, "--addr", 3, "get", "speed", "--json"], 1, r'"cause":\{"code":20,',
             rf"controller 3 on {com}: no reply within 250 ms — check the address and the wiring"),
            (["--port", ABSENT_PORT, "info"], 3, None, rf"cannot open COM{ABSENT_PORT}: no such device"),
            (["--port", port, "set", "speed", -5], 2, None, "speed cannot be negative"),
            (["ports", "--json"], 0, r'^\{"ports":\[', None),
        )
        for args, rc, out, err in rows:
            self.expect("trovelctl " + " ".join(map(str, args)), self.ctl(*args), rc, out, err)

    def press(self, port, key, name, code):
        """Presses the key while the screen moves right; the screen must be stopped."""
        self.ctl("--port", port, "move", "left", "--wait")
        result = self.program(self.console_ctrl, key, "moving right", windows_path(self.trovelctl), "--port",
                              str(port), "move", "right", "--wait")
        if key != "c" and "GenerateConsoleCtrlEvent failed" in result[2]:
            print(f"note  wine does not deliver {name}: {result[2].strip()}")
            self.ctl("--port", port, "move", "stop")
            return
        self.expect(f"{name} during move right --wait", result, code, None,
                    rf"interrupted by {name}; stop sent to controller 1 at position")
        state = json.loads(self.ctl("--port", port, "get", "run-state", "--json")[1] or "{}").get("value")
        position = json.loads(self.ctl("--port", port, "get", "position", "--json")[1] or "{}").get("value")
        stopped = state == 0 and position is not None and 0 < position < 100
        self.expect(f"after {name} the screen stands between its limits (run state {state}, position {position})",
                    (0 if stopped else 1, "", ""), 0)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--trovelctl", required=True)
    parser.add_argument("--console-ctrl", required=True)
    parser.add_argument("--handler-tests", required=True)
    parser.add_argument("--log", default=os.devnull)
    args = parser.parse_args()
    if not os.access(args.sim, os.X_OK):
        print(f"trovelctl_wine: the simulator {args.sim!r} is not there (set TROVEL_SIM_PROGRAM)", file=sys.stderr)
        return 2

    run = Run(args)
    with open(args.log, "w") as log, claimed_port(run.prefix) as (port, link):
        simulator = PartnerProgram(f"{args.sim} --link {{link}} --controllers 1-2", link, log)
        try:
            run.table(port)
            run.press(port, "c", "Ctrl-C", 130)
            run.press(port, "break", "Ctrl-Break", 131)
            run.expect("the console handler called directly", run.program(args.handler_tests), 0, r"\[  PASSED  \]")
        finally:
            simulator.stop()
    print(f"{run.passed} passed, {run.failed} failed")
    return 1 if run.failed else 0


if __name__ == "__main__":
    sys.exit(main())
