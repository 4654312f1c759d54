"""TrovelSdk for Python: the Trovel sliding-screen controllers over Modbus RTU.

    import trovelsdk

    with trovelsdk.Line("/dev/ttyUSB0") as line:
        screen = line.controller(2)
        screen.motor_speed = 80
        screen.move_right()
        screen.wait_until_stopped(timeout=60)

The library (libtrovelsdk.so.1, TrovelSdk.dll on Windows) is loaded on first use from
$TROVELSDK_LIBRARY, the package's own folder, or where the system keeps libraries.
"""

from __future__ import annotations

import ctypes
from typing import List

from ._library import LibraryNotFoundError, library
from .controller import Controller, MotorDirection, RunState, WorkMode
from .errors import (EXCEPTION_BASE, ArgumentRefused, BadValue, CommunicationError, CrcError, DeviceGone, EchoError,
                     ExceptionReply, InternalError, LineClosed, NoReply, NotOpen, PortError, ReplyMismatch,
                     ShortReply, TrovelError, TwoFrames)
from .line import Line, LineStats, ReplyMode, TraceFunction, TraceRecord
from .ports import PortInfo, list_ports_info

__version__ = "1.0.2"


def version() -> str:
    """The version of the loaded library, "MAJOR.MINOR.PATCH"."""
    return str(library().TrovelVersion().decode("ascii"))


def error_text(code: int) -> str:
    """The library's short English text of a cause code."""
    return str(library().TrovelErrorText(code).decode("ascii", "replace"))


def list_ports() -> List[str]:
    """The serial ports present ("COM3"; "/dev/ttyUSB0" and /dev/serial/by-id names)."""
    lib = library()
    size = 4096
    while True:
        buffer = ctypes.create_string_buffer(size)
        count = lib.TrovelListPorts(buffer, size)
        names = buffer.value.decode(errors="replace").splitlines()
        if len(names) >= count:
            return names
        size *= 4


def crc16(data: bytes) -> int:
    """Modbus CRC-16 with its bytes exchanged, as CRC16 returns it: the high byte goes first in a frame."""
    buffer = (ctypes.c_ubyte * max(1, len(data))).from_buffer_copy(data or b"\0")
    return int(library().CRC16(buffer, len(data)))


def _shift(function: str, data: bytes, shift: int) -> bytes:
    data = data.split(b"\0", 1)[0]  # the C call stops at the first NUL
    out = ctypes.create_string_buffer(len(data) + 1)
    pointer = ctypes.cast(out, ctypes.POINTER(ctypes.c_char))
    getattr(library(), function)(data, ctypes.byref(pointer), int(shift))
    return out.raw[:len(data)]


def shift_encode(data: bytes, shift: int) -> bytes:
    """Adds the low 8 bits of shift to every byte (StrEncode)."""
    return _shift("StrEncode", data, shift)


def shift_decode(data: bytes, shift: int) -> bytes:
    """Subtracts the low 8 bits of shift from every byte (StrDecode)."""
    return _shift("StrDecode", data, shift)


__all__ = [
    "Line", "Controller", "LineStats", "TraceRecord", "TraceFunction", "ReplyMode",
    "WorkMode", "MotorDirection", "RunState",
    "TrovelError", "NotOpen", "ArgumentRefused", "LineClosed", "PortError", "CommunicationError", "NoReply",
    "ShortReply", "CrcError", "ReplyMismatch", "TwoFrames", "EchoError", "DeviceGone", "InternalError", "BadValue",
    "ExceptionReply", "EXCEPTION_BASE", "LibraryNotFoundError",
    "version", "error_text", "list_ports", "list_ports_info", "PortInfo", "crc16", "shift_encode", "shift_decode",
]
