"""python -m trovelsdk scan DEVICE: which controllers answer on a line.
python -m trovelsdk ports: the serial ports present."""

from __future__ import annotations

import argparse
import sys
from typing import List, Optional

from . import CommunicationError, ExceptionReply, LibraryNotFoundError, Line, PortError, TrovelError, list_ports


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m trovelsdk", description="TrovelSdk from the command line")
    commands = parser.add_subparsers(dest="command", required=True)
    scan = commands.add_parser("scan", help="list the controllers that answer on a line (addresses 1-16)")
    scan.add_argument("device", help="/dev/ttyUSB0, COM3, rtu+tcp://HOST:PORT or modbus+tcp://HOST[:PORT]")
    commands.add_parser("ports", help="list the serial ports present")
    args = parser.parse_args(argv)

    try:
        if args.command == "ports":
            for name in list_ports():
                print(name)
            return 0
        found = 0
        with Line(args.device) as line:
            for address in range(1, 17):
                try:
                    print(f"controller {address:<2}  serial {line.controller(address).serial}")
                except ExceptionReply as e:
                    print(f"controller {address:<2}  {e.text}")  # it answers, if not with its serial number
                except CommunicationError:
                    continue
                found += 1
        print(f"{found} of 16 addresses answer on {args.device}")
        return 0 if found else 1
    except (LibraryNotFoundError, PortError) as e:
        print(e, file=sys.stderr)
        return 3
    except TrovelError as e:
        print(e, file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
