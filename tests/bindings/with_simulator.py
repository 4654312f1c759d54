#!/usr/bin/env python3
"""Runs a program against a fresh trovel-sim with controllers 1 and 2; {device} in its
arguments becomes the simulator's line. Exits with the program's status.

    with_simulator.py --sim PATH -- COMMAND ARGS...
"""

import argparse
import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "cli"))
from simulator import Simulator  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sim", required=True)
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    command = [a for a in args.command if a != "--"]
    with Simulator(args.sim, "1-2") as sim:
        return subprocess.run([a.replace("{device}", sim.link) for a in command], timeout=120).returncode


if __name__ == "__main__":
    sys.exit(main())
