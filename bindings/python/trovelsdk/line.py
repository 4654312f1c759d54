"""A line: one serial port or network gateway with up to 16 controllers, its settings,
trace and statistics."""

from __future__ import annotations

import ctypes
import os
import weakref
from dataclasses import dataclass
from typing import Any, Callable, List, Literal, NamedTuple, NoReturn, Optional

from . import _checks
from ._library import STATS_FIELDS, TRACE_FN, LineStatsStruct, library
from .controller import Controller
from .errors import ArgumentRefused, LineClosed, error_class

ReplyMode = Literal["frame", "silence"]

_REPLY_MODES = {"silence": 0, "frame": 1}
_ARGUMENT = 2
_BAD_LINE = 3


class TraceRecord(NamedTuple):
    """One exchange on the line, as the trace sees it; each retry is one."""
    address: int
    request: bytes
    reply: bytes
    elapsed_us: int
    outcome: int  # 0 for success, else the cause code (see error_text)

    @property
    def ok(self) -> bool:
        return self.outcome == 0


TraceFunction = Callable[[TraceRecord], None]


@dataclass(frozen=True)
class LineStats:
    """Counts since the line was opened (the default line: since the library was loaded)."""
    exchanges: int
    successes: int
    failures: int
    no_reply: int
    short_replies: int
    crc_errors: int
    mismatches: int
    two_frames: int
    exceptions: int
    echo_errors: int
    device_gone: int
    retries: int
    settles: int
    reopens: int
    bytes_sent: int
    bytes_received: int


def raise_cause(lib: Any, code: int, **where: Any) -> NoReturn:
    raise error_class(code)(code, lib.TrovelErrorText(code).decode("ascii", "replace"), **where)


def _bytes(data: Any, length: int) -> bytes:
    return ctypes.string_at(data, length) if data and length > 0 else b""


class _Handle:
    """What closing a line needs, kept apart from the Line so a finalizer can close one that
    was never closed. Holds every trace callback handed to the library, so none is freed
    while the library may still call it."""

    def __init__(self, lib: Any, handle: Any, owns: str) -> None:
        self.lib, self.handle, self.owns = lib, handle, owns
        self.callbacks: List[Any] = []
        self.tracing = False

    def close(self) -> None:
        handle, self.handle = self.handle, None
        if handle is None:
            return
        if self.owns == "line":
            self.lib.TrovelCloseLine(handle)
            return
        # The default line outlives us, and its trace survives a close: take ours back.
        if self.tracing:
            self.lib.TrovelSetTrace(handle, TRACE_FN(), None)
        if self.owns == "port":
            self.lib.CloseCom()


class Line:
    """A line and its controllers. Use it as a context manager, or call close().

    ``Line("/dev/ttyUSB0")``, ``Line("COM3")``, ``Line("rtu+tcp://host:4001")``,
    ``Line("modbus+tcp://host")``: a line of its own (TrovelOpenLine).
    ``Line(port=3)``: opens COM3 (/dev/ttyS2 on Linux) as the default line (OpenCom), the one
    the classic C calls use; an already open default port is used as it is and left open.
    ``Line()``: the default line as it is, opened or not by other code in the process.

    Settings: ``reply_timeout_ms`` (10..10000, default 250) and ``reply_gap_ms`` (2..timeout,
    default 100 or the time-out if smaller), ``retries`` (0..5), ``reply_mode`` ("frame" or
    "silence"), ``local_echo``, ``trace`` (a function taking a TraceRecord).
    """

    def __init__(self, device: Optional[str] = None, *, port: Optional[int] = None,
                 reply_timeout_ms: Optional[int] = None, reply_gap_ms: Optional[int] = None,
                 retries: Optional[int] = None, reply_mode: Optional[ReplyMode] = None,
                 local_echo: Optional[bool] = None, trace: Optional[TraceFunction] = None) -> None:
        lib = library()
        if device is not None and port is not None:
            raise ValueError("give a device or a port, not both")
        self.device = device
        if device is not None:
            handle = lib.TrovelOpenLine(os.fsencode(device))
            if not handle:
                raise_cause(lib, lib.TrovelLastError(), call="TrovelOpenLine", context=f"cannot open {device}")
            owns = "line"
        else:
            owns = ""
            if port is not None:
                self.device = f"port {port}"
                already = lib.IsComOpen() == 1
                port = _checks.integer(port, "port", 1, 1024, lambda what: self._refuse(what, "OpenCom", None, lib))
                if not lib.OpenCom(port):
                    raise_cause(lib, lib.TrovelLastError(), call="OpenCom", context=f"cannot open port {port}")
                owns = "" if already else "port"
            handle = lib.TrovelDefaultLine()
        self._lib = lib
        self._handle = _Handle(lib, handle, owns)
        self._finalizer = weakref.finalize(self, self._handle.close)
        try:
            if reply_timeout_ms is not None or reply_gap_ms is not None:
                self.set_timeouts(250 if reply_timeout_ms is None else reply_timeout_ms, reply_gap_ms)
            if retries is not None:
                self.set_retries(retries)
            if reply_mode is not None:
                self.set_reply_mode(reply_mode)
            if local_echo is not None:
                self.set_local_echo(local_echo)
            if trace is not None:
                self.set_trace(trace)
        except BaseException:
            self.close()
            raise

    def __enter__(self) -> Line:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<trovelsdk.Line {self.device or 'default'}{'' if self.is_open else ' closed'}>"

    def close(self) -> None:
        """Closes a line this object opened; for the default line, only removes its trace.
        Calls afterwards raise LineClosed."""
        self._finalizer()

    @property
    def is_open(self) -> bool:
        if self._handle.handle is None:
            return False
        return self._handle.owns == "line" or self._lib.IsComOpen() == 1

    def controller(self, address: int) -> Controller:
        """The controller at device address 1..16 (0 broadcasts restore_defaults)."""
        return Controller(self, address)

    # ---- settings ----

    def set_timeouts(self, reply_timeout_ms: int, reply_gap_ms: Optional[int] = None) -> None:
        """A reply must be complete reply_timeout_ms after the request and ends reply_gap_ms
        after its last byte (in "silence" mode)."""
        refuse = self._refuser("TrovelSetTimeouts")
        total = _checks.integer(reply_timeout_ms, "reply_timeout_ms", 10, 10000, refuse)
        gap = min(100, total) if reply_gap_ms is None else _checks.integer(reply_gap_ms, "reply_gap_ms", 2, total, refuse)
        self._setting("TrovelSetTimeouts", f"reply_timeout_ms={total}, reply_gap_ms={gap}", total, gap)

    def set_retries(self, count: int) -> None:
        """Repeats an exchange that failed on the line up to count times (0..5)."""
        count = _checks.integer(count, "retries", 0, 5, self._refuser("TrovelSetRetries"))
        self._setting("TrovelSetRetries", f"retries={count}", count)

    def set_reply_mode(self, mode: ReplyMode) -> None:
        """"frame": a read ends as soon as a complete reply has arrived; "silence": when the
        line has been quiet for the reply gap (the classic rule)."""
        if mode not in _REPLY_MODES:
            self._refuse(f"reply_mode={mode!r} (takes 'frame' or 'silence')", "TrovelSetReplyMode")
        self._setting("TrovelSetReplyMode", f"reply_mode={mode!r}", _REPLY_MODES[mode])

    def set_local_echo(self, on: bool) -> None:
        """For RS-485 adapters that hand the host its own request back before the reply."""
        self._setting("TrovelSetLocalEcho", f"local_echo={on}", 1 if on else 0)

    def set_trace(self, trace: Optional[TraceFunction]) -> None:
        """Calls trace(TraceRecord) after every exchange, from the calling thread; None stops it.
        The function may call the library, also on this line."""
        if trace is None:
            callback = TRACE_FN()
        else:
            function = trace

            def forward(_user: Any, _line: Any, address: int, request: Any, request_length: int, reply: Any,
                        reply_length: int, elapsed: int, outcome: int) -> None:
                function(TraceRecord(address, _bytes(request, request_length), _bytes(reply, reply_length),
                                     elapsed, outcome))
            callback = TRACE_FN(forward)
            self._handle.callbacks.append(callback)
        self._setting("TrovelSetTrace", "trace", callback, None)
        self._handle.tracing = trace is not None

    def stats(self) -> LineStats:
        """Counts of exchanges, failures by cause, retries and bytes on this line."""
        out = LineStatsStruct()
        out.size = ctypes.sizeof(LineStatsStruct)
        if not self._lib.TrovelGetLineStats(self._open("TrovelGetLineStats"), ctypes.byref(out)):
            self._closed("TrovelGetLineStats")
        return LineStats(**{name: getattr(out, name) for name in STATS_FIELDS})

    # ---- plumbing ----

    def _open(self, call: str, address: Optional[int] = None) -> Any:
        handle = self._handle.handle
        if handle is None:
            # Never pass None on: the library would take it for the default line.
            self._closed(call, address)
        return handle

    def _closed(self, call: str, address: Optional[int] = None) -> NoReturn:
        raise LineClosed(_BAD_LINE, self._lib.TrovelErrorText(_BAD_LINE).decode(), call=call, address=address,
                         context=None if address is not None else f"line {self.device or 'default'}")

    def _refuse(self, what: str, call: str, address: Optional[int] = None, lib: Any = None) -> NoReturn:
        lib = lib or self._lib
        context = what if address is None else f"controller {address}: {what}"
        raise ArgumentRefused(_ARGUMENT, lib.TrovelErrorText(_ARGUMENT).decode(), call=call, address=address,
                              context=context)

    def _refuser(self, call: str) -> _checks.Refuse:
        return lambda what: self._refuse(what, call)

    def _setting(self, function: str, what: str, *args: Any) -> None:
        # Settings calls leave the thread's cause alone; on a line we hold open, 0 means a
        # value out of range.
        if not getattr(self._lib, function)(self._open(function), *args):
            self._refuse(what, function)

    def _call(self, name: str, address: int, *args: Any) -> None:
        if not getattr(self._lib, "Trovel" + name)(self._open(name, address), address, *args):
            raise_cause(self._lib, self._lib.TrovelLastError(), call=name, address=address)

