#!/usr/bin/env python3
"""Runs a host example against trovel-sim and checks that it ran the screen to its limit.

    run_example.py --sim PATH -- COMMAND ARGS...     ({device} in ARGS becomes the simulator's line)
"""

import argparse
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from simulator import Simulator  # noqa: E402

EXPECTED = [
    "controller 2: serial 545256-53494D-202103-150002, speed 50, points 0 .. 100, at 0",
    "outputs 000000",
    "stopped at 100: right limit reached",
]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sim", required=True)
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    command = [a for a in args.command if a != "--"]

    failures = 0
    with Simulator(args.sim, "1-2") as sim:
        run = subprocess.run([a.replace("{device}", sim.link) for a in command], capture_output=True, text=True,
                             timeout=120)
        print(run.stdout, end="")
        print(run.stderr, end="", file=sys.stderr)
        if run.returncode != 0:
            print(f"FAIL: exit code {run.returncode}")
            failures += 1
        lines = run.stdout.splitlines()
        for expected in EXPECTED:
            if expected not in lines:
                print(f"FAIL: no line '{expected}'")
                failures += 1
        if not any(line.startswith("position ") for line in lines):
            print("FAIL: the run was not followed")
            failures += 1
    print(f"{1 if failures == 0 else 0} passed, {1 if failures else 0} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
