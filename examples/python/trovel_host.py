#!/usr/bin/env python3
"""A small host program in Python, through the trovelsdk package: opens the controllers'
serial device, reads one controller, switches output 1 on, runs the screen to its right end
and reports where it stopped.

    python3 trovel_host.py /dev/ttyUSB0 [--address 2]

Install the package first (pip install ./bindings/python) or put bindings/python on
PYTHONPATH. The library is looked for in $TROVELSDK_LIBRARY, the package's folder, then
where the system keeps libraries (an installed libtrovelsdk.so.1).
"""

import argparse
import sys

import trovelsdk

RUN_LIMIT_SECONDS = 60.0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("device", help="serial device, e.g. /dev/ttyUSB0")
    parser.add_argument("--address", type=int, default=1, help="device address, 1-16 (default 1)")
    args = parser.parse_args()

    try:
        line = trovelsdk.Line(args.device, retries=2)  # a few lost replies are no reason to give up
    except (trovelsdk.PortError, trovelsdk.LibraryNotFoundError) as e:
        print(e, file=sys.stderr)
        return 3
    with line:
        screen = line.controller(args.address)
        try:
            print(f"controller {args.address}: serial {screen.serial}, speed {screen.motor_speed:g}, "
                  f"points {screen.begin_point:g} .. {screen.end_point:g}, at {screen.current_point:g}")

            screen.set_switch(1, True)
            screen.move_right()
            try:
                position = screen.wait_until_stopped(RUN_LIMIT_SECONDS,
                                                     lambda at, state: print(f"position {at:.2f}"))
            except TimeoutError:
                screen.stop()
                raise
            screen.set_switch(1, False)
            print(f"outputs {''.join('1' if on else '0' for on in screen.switch_state)}")
            if not screen.right_limit:
                print("the screen did not reach its right limit", file=sys.stderr)
                return 1
            print(f"stopped at {position:g}: right limit reached")
            return 0
        except (trovelsdk.TrovelError, TimeoutError) as e:
            print(e, file=sys.stderr)
            return 1


if __name__ == "__main__":
    sys.exit(main())
