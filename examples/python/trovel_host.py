#!/usr/bin/env python3
"""A small host program in Python, through ctypes: opens the controllers' serial device,
reads one controller, switches output 1 on, runs the screen to its right end and reports
where it stopped.

    python3 trovel_host.py /dev/ttyUSB0 [--address 2] [--library path/to/libtrovelsdk.so]

The library is looked for in --library, then $TROVELSDK_LIBRARY, then where the system keeps
libraries (an installed libtrovelsdk.so.1).
"""

import argparse
import ctypes
import ctypes.util
import os
import sys
import time

RUN_LIMIT_SECONDS = 60.0


def load_library(path=None):
    path = path or os.environ.get("TROVELSDK_LIBRARY") or ctypes.util.find_library("trovelsdk") or "libtrovelsdk.so.1"
    lib = ctypes.CDLL(path)
    c_int, c_float = ctypes.c_int, ctypes.c_float
    int_out, float_out = ctypes.POINTER(c_int), ctypes.POINTER(c_float)
    text_out = ctypes.POINTER(ctypes.c_char_p)

    # Every signature is declared: without them ctypes would pass floats as integers.
    signatures = {
        "OpenComDevice": [ctypes.c_char_p],
        "CloseCom": [],
        "GetSerial": [c_int, text_out],
        "GetSwichState": [c_int, text_out],
        "GetMotorSpeed": [c_int, float_out],
        "GetBeginPoint": [c_int, float_out],
        "GetEndPoint": [c_int, float_out],
        "GetCurrentPoint": [c_int, float_out],
        "GetRunState": [c_int, int_out],
        "GetRightLimit": [c_int, int_out],
        "SetMotorSpeed": [c_int, c_float],
        "SetSwichState": [c_int, c_int, c_int],
        "SetMoveRight": [c_int],
        "SetMoveStop": [c_int],
    }
    for name, argtypes in signatures.items():
        function = getattr(lib, name)
        function.argtypes = argtypes
        function.restype = ctypes.c_bool if name == "CloseCom" else c_int
    return lib


class Controller:
    """One controller on the open port; every read raises when it does not answer."""

    def __init__(self, lib, address):
        self.lib, self.address = lib, address

    def _check(self, ok, what):
        if not ok:
            raise RuntimeError(f"no answer from controller {self.address} ({what})")

    def read_float(self, name):
        value = ctypes.c_float()
        self._check(getattr(self.lib, name)(self.address, ctypes.byref(value)), name)
        return value.value

    def read_int(self, name):
        value = ctypes.c_int()
        self._check(getattr(self.lib, name)(self.address, ctypes.byref(value)), name)
        return value.value

    def read_text(self, name, size):
        # The library writes into the buffer our pointer points to, so we pass the pointer's address.
        buffer = ctypes.create_string_buffer(size)
        pointer = ctypes.cast(buffer, ctypes.c_char_p)
        self._check(getattr(self.lib, name)(self.address, ctypes.byref(pointer)), name)
        return buffer.value.decode("ascii")

    def command(self, name, *args):
        self._check(getattr(self.lib, name)(self.address, *args), name)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("device", help="serial device, e.g. /dev/ttyUSB0")
    parser.add_argument("--address", type=int, default=1, help="device address, 1-16 (default 1)")
    parser.add_argument("--library", help="path of libtrovelsdk.so")
    args = parser.parse_args()

    lib = load_library(args.library)
    if not lib.OpenComDevice(args.device.encode()):
        print(f"cannot open {args.device}", file=sys.stderr)
        return 3
    c = Controller(lib, args.address)
    try:
        serial = c.read_text("GetSerial", 28)
        speed = c.read_float("GetMotorSpeed")
        begin, end = c.read_float("GetBeginPoint"), c.read_float("GetEndPoint")
        print(f"controller {args.address}: serial {serial}, speed {speed:g}, points {begin:g} .. {end:g}, "
              f"at {c.read_float('GetCurrentPoint'):g}")

        c.command("SetSwichState", 1, 1)
        c.command("SetMoveRight")
        started = time.monotonic()
        at_limit = False
        while not at_limit and time.monotonic() - started < RUN_LIMIT_SECONDS:
            time.sleep(0.2)
            state = c.read_int("GetRunState")
            at_limit = c.read_int("GetRightLimit") == 1
            position = c.read_float("GetCurrentPoint")
            print(f"position {position:.2f}")
            if state == 0:
                break
        c.command("SetSwichState", 1, 0)
        print(f"outputs {c.read_text('GetSwichState', 7)}")
        if not at_limit:
            c.command("SetMoveStop")
            print("the screen did not reach its right limit", file=sys.stderr)
            return 1
        print(f"stopped at {position:g}: right limit reached")
        return 0
    except RuntimeError as e:
        print(e, file=sys.stderr)
        return 1
    finally:
        lib.CloseCom()


if __name__ == "__main__":
    sys.exit(main())
