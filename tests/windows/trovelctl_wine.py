#!/usr/bin/env python3
"""trovelctl.exe under wine64 against trovel-sim on a COM port (a dosdevices/comN link): a
table of commands with their output and exit codes, then Ctrl-C pressed on its console while
a screen moves, which must stop the screen before the program ends. Wine delivers no
Ctrl-Break (GenerateConsoleCtrlEvent fails, which the run shows) and has no console window to
close, so a test program of their own calls the handler directly for those. Catches a program
that does not start, a port number or COM name that does not reach the line, output or exit
codes that differ from Linux, and a Ctrl-C that ends the program with the screen still moving.

    trovelctl_wine.py --prefix DIR --sim TROVEL-SIM --trovelctl EXE --console-ctrl EXE --handler-tests EXE
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

results = {"passed": 0, "failed": 0}


def expect(what, result, rc, out=None, err=None):
    """out and err: regular expressions that stdout and stderr must match somewhere."""
    code, stdout, stderr = result
    problems = [f"exit code {code}, expected {rc}"] if code != rc else []
    problems += [f"{name} lacks /{pattern}/" for name, pattern, text in (("stdout", out, stdout),
                                                                         ("stderr", err, stderr))
                 if pattern is not None and not re.search(pattern, text, re.M)]
    results["failed" if problems else "passed"] += 1
    print(f"FAIL  {what}: {'; '.join(problems)}\n--- stdout:\n{stdout}--- stderr:\n{stderr}---" if problems
          else f"ok    {what}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for option in ("--prefix", "--sim", "--trovelctl", "--console-ctrl", "--handler-tests"):
        parser.add_argument(option, required=True)
    parser.add_argument("--log", default=os.devnull)
    args = parser.parse_args()
    wine, server = find_wine()
    prefix = os.path.abspath(args.prefix)
    ensure_prefix(prefix, wine, server)
    start_server(prefix, server)

    def run(*argv):
        r = subprocess.run([wine, *map(str, argv)], env=wine_environment(prefix), stdin=subprocess.DEVNULL,
                           capture_output=True, text=True, encoding="utf-8", timeout=60)
        return r.returncode, r.stdout, r.stderr

    with open(args.log, "w") as log, claimed_port(prefix) as (port, link):
        simulator = PartnerProgram(f"{args.sim} --link {{link}} --controllers 1-2", link, log)
        try:
            com, ctl = f"COM{port}", (args.trovelctl, "--port", port)
            for argv, rc, out, err in (
                    # arguments, exit code, stdout, stderr
                    (["scan"], 0, r"^controller 1 +serial 545256-53494D-202103-150001\n"
                                  r"controller 2 +serial 545256-53494D-202103-150002\n"
                                  rf"2 of 16 addresses answer on {com}$", None),
                    (["--addr", 2, "info"], 0,
                     rf"^controller 2 on {com}\n  serial number +545256-53494D-202103-150002$", None),
                    (["set", "speed", 80], 0, r"^speed of controller 1: 80 units/s$", None),
                    (["get", "speed", "--json"], 0,
                     r'^\{"address":1,"name":"speed","value":80,"unit":"units/s","text":"80 units/s"\}$', None),
                    (["-v", "get", "speed"], 0, None,
                     rf"Z {com} #1 > 01 03 00 64 00 02 85 D4 < 01 03 04 00 00 42 A0 [0-9A-F ]{{5}} "
                     r"[\d.]+ ms success$"),
                    (["move", "left", "--wait"], 0, r"^controller 1 stopped at 0\.00 \(left limit reached\)$", None),
                    (["move", "right", "--wait"], 0,
                     r"^controller 1: position \d+\.\d\d, moving right\n(.|\n)*"
                     r"^controller 1 stopped at 100\.00 \(right limit reached\)$", None),
                    (["--addr", 3, "get", "speed", "--json"], 1, r'"cause":\{"code":20,',
                     rf"controller 3 on {com}: no reply within 250 ms — check the address and the wiring"),
                    (["set", "speed", -5], 2, None, "speed cannot be negative"),
                    (["--port", ABSENT_PORT, "info"], 3, None, rf"cannot open COM{ABSENT_PORT}: no such device"),
                    (["ports", "--json"], 0, r'^\{"ports":\[', None)):
                own = "--port" in argv or "ports" in argv  # rows that name their own port, or none
                expect("trovelctl " + " ".join(map(str, argv)), run(*(ctl[:1] if own else ctl), *argv), rc, out, err)

            for key, name, rc in (("c", "Ctrl-C", 130), ("break", "Ctrl-Break", 131)):
                run(*ctl, "move", "left", "--wait")
                result = run(args.console_ctrl, key, "moving right", "Z:" + os.path.abspath(args.trovelctl).replace(
                    "/", "\\"), "--port", port, "move", "right", "--wait")
                if key != "c" and "GenerateConsoleCtrlEvent failed" in result[2]:
                    print(f"note  wine does not deliver {name}: {result[2].strip()}")
                    run(*ctl, "move", "stop")
                    continue
                expect(f"{name} during move right --wait", result, rc, None,
                       rf"interrupted by {name}; stop sent to controller 1 at position")
                state = json.loads(run(*ctl, "get", "run-state", "--json")[1] or "{}").get("value")
                position = json.loads(run(*ctl, "get", "position", "--json")[1] or "{}").get("value")
                expect(f"after {name} the screen stands between its limits (run state {state}, position {position})",
                       (0 if state == 0 and position is not None and 0 < position < 100 else 1, "", ""), 0)
            expect("the console handler called directly", run(args.handler_tests), 0, r"\[  PASSED  \]")
        finally:
            simulator.stop()
    print(f"{results['passed']} passed, {results['failed']} failed")
    return 1 if results["failed"] else 0


if __name__ == "__main__":
    sys.exit(main())
