"""Finds and loads the TrovelSdk library and declares every call the package makes.

Only the public C interface (TrovelSdk.h) is used. Controller calls go through their
"Trovel" twins, which take the line handle first.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import sys
import threading
from typing import Any, Dict, List, Optional, Sequence, Tuple

WINDOWS = sys.platform == "win32"

# Names looked for in the package's own folder, then where the system keeps libraries.
LIBRARY_FILES = ("TrovelSdk.dll",) if WINDOWS else ("libtrovelsdk.so.1", "libtrovelsdk.so")
INSTALLED_NAME = "TrovelSdk.dll" if WINDOWS else "libtrovelsdk.so.1"


class LibraryNotFoundError(OSError):
    """The TrovelSdk library could not be loaded; the message lists every place tried."""


c_int, c_float, c_uint = ctypes.c_int, ctypes.c_float, ctypes.c_uint
LINE = ctypes.c_void_p
INT_OUT = ctypes.POINTER(c_int)
FLOAT_OUT = ctypes.POINTER(c_float)
# Text results: the library writes into the buffer our pointer points to.
TEXT_OUT = ctypes.POINTER(ctypes.c_char_p)
BYTES = ctypes.POINTER(ctypes.c_ubyte)

# The DLL exports stdcall functions and calls its trace callback the same way.
if sys.platform == "win32":
    _loader: Any = ctypes.WinDLL
    _functype: Any = ctypes.WINFUNCTYPE
else:
    _loader = ctypes.CDLL
    _functype = ctypes.CFUNCTYPE

TRACE_FN: Any = _functype(None, ctypes.c_void_p, LINE, c_int, BYTES, c_int, BYTES, c_int, c_int, c_int)

STATS_FIELDS = ("exchanges", "successes", "failures", "no_reply", "short_replies", "crc_errors", "mismatches",
                "two_frames", "exceptions", "echo_errors", "device_gone", "retries", "settles", "reopens",
                "bytes_sent", "bytes_received")


class LineStatsStruct(ctypes.Structure):
    _fields_ = [("size", c_uint)] + [(name, c_uint) for name in STATS_FIELDS]


def _names(*names: str) -> Tuple[str, ...]:
    return names


# Controller calls by their classic names; each is bound as "Trovel" + name with the line
# handle in front of these arguments.
_INT_READS = _names("GetWorkMode", "GetMotorVeer", "GetRemoteFunction", "GetRunState", "GetRemoteKeyState",
                    "GetRightExtremity", "GetLeftExtremity", "GetRightLimit", "GetLeftLimit")
_FLOAT_READS = _names("GetBeginPoint", "GetEndPoint", "GetAutoBeginPoint", "GetAutoEndPoint", "GetResolution",
                      "GetDiameter", "GetMotorSpeed", "GetMotorAcc", "GetPulseCount", "GetDelayTime",
                      "GetCurrentPoint")
_FLOAT_WRITES = _names("SetMotorSpeed", "SetMotorAcc", "SetPulseCount", "SetBeginPoint", "SetEndPoint",
                       "SetAutoBeginPoint", "SetAutoEndPoint", "SetResolution", "SetDiameter", "SetDelayTime",
                       "FixedCurrentPoint")
_INT_WRITES = _names("SetWorkMode", "SetMotorVeer", "SetRemoteFunction", "SetAddress")
_COMMANDS = _names("SetMoveLeft", "SetMoveRight", "SetMoveAuto", "SetMoveStop", "SetInit", "SetSwichAllOff",
                   "SetSwichAllOn", "ResetBeginPoint", "SetDefault")
_TEXT_READS = _names("GetSerial", "GetBiosDate", "GetFactroyDate", "GetSwichState", "GetIoInputState")

CONTROLLER_CALLS: Dict[str, List[Any]] = {
    **{name: [c_int, INT_OUT] for name in _INT_READS},
    **{name: [c_int, FLOAT_OUT] for name in _FLOAT_READS},
    **{name: [c_int, c_float] for name in _FLOAT_WRITES},
    **{name: [c_int, c_int] for name in _INT_WRITES},
    **{name: [c_int] for name in _COMMANDS},
    **{name: [c_int, TEXT_OUT] for name in _TEXT_READS},
    "SetSwichState": [c_int, c_int, c_int],
    # Writable: the library removes the dashes from the caller's text in place.
    "SetFactroyDate": [c_int, ctypes.POINTER(ctypes.c_char)],
}

# Buffer sizes of the text results, NUL included (dates get the larger BIOS date size).
TEXT_SIZES = {"GetSerial": 28, "GetBiosDate": 14, "GetFactroyDate": 14, "GetSwichState": 7, "GetIoInputState": 9}

OTHER_CALLS: Dict[str, Tuple[Any, List[Any]]] = {
    "TrovelVersion": (ctypes.c_char_p, []),
    "TrovelOpenLine": (LINE, [ctypes.c_char_p]),
    "TrovelCloseLine": (None, [LINE]),
    "TrovelDefaultLine": (LINE, []),
    "TrovelListPorts": (c_int, [ctypes.POINTER(ctypes.c_char), c_int]),
    "TrovelListPortsInfo": (c_int, [ctypes.c_void_p, c_int]),
    "TrovelLastError": (c_int, []),
    "TrovelErrorText": (ctypes.c_char_p, [c_int]),
    "TrovelSetTrace": (c_int, [LINE, TRACE_FN, ctypes.c_void_p]),
    "TrovelSetTimeouts": (c_int, [LINE, c_int, c_int]),
    "TrovelSetRetries": (c_int, [LINE, c_int]),
    "TrovelSetLocalEcho": (c_int, [LINE, c_int]),
    "TrovelSetReplyMode": (c_int, [LINE, c_int]),
    "TrovelGetLineStats": (c_int, [LINE, ctypes.POINTER(LineStatsStruct)]),
    "OpenCom": (c_int, [c_uint]),
    # One byte, not an int: reading an int would take three bytes of whatever follows.
    "CloseCom": (ctypes.c_bool, []),
    "IsComOpen": (c_int, []),
    "CRC16": (c_int, [BYTES, c_int]),
    "StrEncode": (c_int, [ctypes.c_char_p, ctypes.POINTER(ctypes.POINTER(ctypes.c_char)), c_int]),
    "StrDecode": (c_int, [ctypes.c_char_p, ctypes.POINTER(ctypes.POINTER(ctypes.c_char)), c_int]),
}


def _candidates(environ: Dict[str, str]) -> Sequence[Tuple[Optional[str], str]]:
    """What to try to load, in order, each with how the error message names it."""
    chosen = environ.get("TROVELSDK_LIBRARY")
    if chosen:
        # An explicit choice that fails is an error, not a reason to load some other copy.
        return [(chosen, f"$TROVELSDK_LIBRARY={chosen}")]
    here = os.path.dirname(os.path.abspath(__file__))
    tried: List[Tuple[Optional[str], str]] = [(None, "$TROVELSDK_LIBRARY: not set")]
    tried += [(os.path.join(here, name), os.path.join(here, name)) for name in LIBRARY_FILES]
    tried.append((INSTALLED_NAME, f"{INSTALLED_NAME} where the system keeps libraries"))
    if WINDOWS:
        # Python does not search PATH for a DLL loaded by name; find_library does.
        on_path = ctypes.util.find_library("TrovelSdk")
        if on_path:
            tried.append((on_path, on_path))
        else:
            tried.append((None, "TrovelSdk.dll on PATH: not there"))
    return tried


def _bind(lib: Any, where: str) -> Any:
    missing = []
    for name, argtypes in CONTROLLER_CALLS.items():
        try:
            function = getattr(lib, "Trovel" + name)
        except AttributeError:
            missing.append("Trovel" + name)
            continue
        function.argtypes = [LINE] + argtypes
        function.restype = c_int
    for name, (restype, argtypes) in OTHER_CALLS.items():
        try:
            function = getattr(lib, name)
        except AttributeError:
            missing.append(name)
            continue
        function.argtypes = argtypes
        function.restype = restype
    if missing:
        raise LibraryNotFoundError(
            f"{where} was loaded but lacks {', '.join(missing[:3])}{' and more' if len(missing) > 3 else ''}: "
            "it is not a TrovelSdk with lines (version 1.0.2 or later)")
    return lib


def load(environ: Optional[Dict[str, str]] = None) -> Any:
    """Loads the library, trying each place in turn; raises LibraryNotFoundError naming them."""
    reasons = []
    for target, label in _candidates(dict(os.environ) if environ is None else environ):
        if target is None:
            reasons.append(label)
            continue
        if os.path.isabs(target) and not os.path.exists(target):
            reasons.append(f"{label}: no such file")
            continue
        try:
            lib = _loader(target)
        except OSError as e:
            reasons.append(f"{label}: {e}")
            continue
        return _bind(lib, label)
    raise LibraryNotFoundError(
        "the TrovelSdk library could not be loaded. Looked for:\n" + "".join(f"  - {r}\n" for r in reasons) +
        f"Install the SDK ({INSTALLED_NAME}), or set TROVELSDK_LIBRARY to the library's path.")


_lock = threading.Lock()
_library: Optional[Any] = None


def library() -> Any:
    """The loaded library, loaded on first use so that importing the package never fails."""
    global _library
    with _lock:
        if _library is None:
            _library = load()
        return _library
