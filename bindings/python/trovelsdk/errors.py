"""Exceptions by cause: every failed call raises a TrovelError subclass carrying the
library's cause code (TrovelLastError) and its text (TrovelErrorText)."""

from __future__ import annotations

from typing import Dict, Optional, Type

EXCEPTION_BASE = 256


class TrovelError(Exception):
    """A call failed. ``code`` is the library's cause code, ``text`` its short English text;
    ``call`` and ``address`` name the C call and the controller when there was one."""

    def __init__(self, code: int, text: str, *, call: Optional[str] = None, address: Optional[int] = None,
                 context: Optional[str] = None) -> None:
        self.code = code
        self.text = text
        self.call = call
        self.address = address
        if context is None:
            context = f"controller {address}" if address is not None else "TrovelSdk"
        suffix = f" ({call})" if call else ""
        super().__init__(f"{context}: {text}{suffix}")


class NotOpen(TrovelError):
    """The port is not open; nothing was sent."""


class ArgumentRefused(TrovelError, ValueError):
    """An argument was refused (an address outside 1..16, a negative speed, ...); nothing was sent."""


class LineClosed(TrovelError):
    """The line was closed; nothing was sent."""


class PortError(TrovelError):
    """The device could not be opened: missing, busy, no permission, not serial, gateway unreachable."""


class CommunicationError(TrovelError):
    """The exchange with the controller failed on the line; the subclass says how."""


class NoReply(CommunicationError):
    """No reply within the time-out."""


class ShortReply(CommunicationError):
    """The reply was too short."""


class CrcError(CommunicationError):
    """The reply's CRC was wrong."""


class ReplyMismatch(CommunicationError):
    """The reply does not answer the request."""


class TwoFrames(CommunicationError):
    """More than one frame arrived; none was taken."""


class EchoError(CommunicationError):
    """The local echo of the request was missing or different."""


class DeviceGone(CommunicationError):
    """The device or connection vanished; the library opens it again on the next call."""


class InternalError(TrovelError):
    """Unexpected failure inside the library."""


class BadValue(TrovelError):
    """The controller holds a value the call cannot express (a date with too few digits)."""


class ExceptionReply(TrovelError):
    """The controller answered with a Modbus exception; ``exception_code`` is its code (2: illegal
    data address, ...)."""

    def __init__(self, code: int, text: str, *, call: Optional[str] = None, address: Optional[int] = None,
                 context: Optional[str] = None) -> None:
        super().__init__(code, text, call=call, address=address, context=context)
        self.exception_code = code - EXCEPTION_BASE


_BY_CODE: Dict[int, Type[TrovelError]] = {
    1: NotOpen, 2: ArgumentRefused, 3: LineClosed,
    **{code: PortError for code in range(10, 16)},
    20: NoReply, 21: ShortReply, 22: CrcError, 23: ReplyMismatch, 24: TwoFrames, 25: EchoError, 26: DeviceGone,
    27: InternalError, 28: BadValue,
}


def error_class(code: int) -> Type[TrovelError]:
    """The exception class the library's cause code maps to."""
    if code > EXCEPTION_BASE:
        return ExceptionReply
    return _BY_CODE.get(code, TrovelError)
