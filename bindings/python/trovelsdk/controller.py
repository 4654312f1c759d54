"""One controller on a line: its parameters and modes as properties, its commands as methods.

Every property access is one exchange with the controller; nothing is cached.
"""

from __future__ import annotations

import ctypes
import enum
import time
from typing import TYPE_CHECKING, Any, Callable, Generic, Optional, TypeVar, overload

from . import _checks
from ._library import TEXT_SIZES

if TYPE_CHECKING:
    from .line import Line

T = TypeVar("T")


class WorkMode(enum.IntEnum):
    """Register 200. The library reads any value other than 0 and 1 as UNKNOWN, which cannot be written."""
    MODE_0 = 0
    MODE_1 = 1
    UNKNOWN = -1


class MotorDirection(enum.IntEnum):
    """Register 202: which way the motor turns for "right"."""
    NORMAL = 0
    REVERSED = 1


class RunState(enum.IntFlag):
    """Register 404 as bits: 0 when stopped, LEFT or RIGHT while moving, AUTO during an automatic run
    (AUTO alone: pausing at an end)."""
    STOPPED = 0
    LEFT = 1
    RIGHT = 2
    AUTO = 4

    @property
    def moving(self) -> bool:
        return bool(self & (RunState.LEFT | RunState.RIGHT))


class _Reading(Generic[T]):
    """A value the controller reports, read from it on every access."""

    def __init__(self, read: Callable[[Controller], T], doc: str) -> None:
        self._read = read
        self.__doc__ = doc

    @overload
    def __get__(self, obj: None, owner: Optional[type] = None) -> _Reading[T]: ...

    @overload
    def __get__(self, obj: Controller, owner: Optional[type] = None) -> T: ...

    def __get__(self, obj: Optional[Controller], owner: Optional[type] = None) -> Any:
        return self if obj is None else self._read(obj)


class _Setting(_Reading[T]):
    """A value the controller keeps: read on every access, written on assignment."""

    def __init__(self, read: Callable[[Controller], T], write: Callable[[Controller, T], None], doc: str) -> None:
        super().__init__(read, doc)
        self._write = write

    def __set__(self, obj: Controller, value: T) -> None:
        self._write(obj, value)


def _float(name: str, doc: str, write: Optional[str] = None) -> _Setting[float]:
    call = write or "Set" + name
    return _Setting(lambda c: c._read_float("Get" + name),
                    lambda c, v: c._call(call, _checks.real(v, "value", c._refuser(call))), doc)


def _choice(value: Any, name: str, call: str, controller: Controller) -> int:
    """A mode written as 0 or 1."""
    return _checks.integer(value, name, 0, 1, controller._refuser(call))


def _flag(name: str, doc: str) -> _Reading[bool]:
    return _Reading(lambda c: c._read_int(name) == 1, doc)


class Controller:
    """The controller at one device address (1..16) on a line; made by ``Line.controller``.

    Failures raise ``TrovelError`` subclasses (see ``trovelsdk.errors``).
    """

    __slots__ = ("_line", "_address")

    # 0 is the broadcast address, which only restore_defaults may use (the library refuses it
    # elsewhere, sending nothing).
    def __init__(self, line: Line, address: int) -> None:
        self._line = line
        self._address = _checks.integer(address, "address", 0, 16,
                                        lambda what: line._refuse(what, "Controller", None))

    @property
    def line(self) -> Line:
        return self._line

    @property
    def address(self) -> int:
        return self._address

    def __repr__(self) -> str:
        return f"<trovelsdk.Controller {self._address} on {self._line.device or 'the default line'}>"

    # ---- plumbing: one C call each ----

    def _call(self, name: str, *args: Any) -> None:
        self._line._call(name, self._address, *args)

    def _refuser(self, call: str) -> _checks.Refuse:
        return lambda what: self._line._refuse(what, call, self._address)

    def _read_int(self, name: str) -> int:
        value = ctypes.c_int()
        self._call(name, ctypes.byref(value))
        return value.value

    def _read_float(self, name: str) -> float:
        value = ctypes.c_float()
        self._call(name, ctypes.byref(value))
        return value.value

    def _read_text(self, name: str) -> str:
        buffer = ctypes.create_string_buffer(TEXT_SIZES[name])
        pointer = ctypes.cast(buffer, ctypes.c_char_p)
        self._call(name, ctypes.byref(pointer))
        return buffer.value.decode("ascii")

    # ---- motion parameters: 32-bit floats, so a value reads back rounded to float precision ----

    motor_speed = _float("MotorSpeed", "Motor speed, position units per second; 0 or more.")
    motor_acceleration = _float("MotorAcc", "Acceleration, units per second squared; 0 or more.")
    pulse_count = _float("PulseCount", "Pulse count; 0 or more.")
    begin_point = _float("BeginPoint", "Begin point: where a move left ends.")
    end_point = _float("EndPoint", "End point: where a move right ends.")
    auto_begin_point = _float("AutoBeginPoint", "Begin point of the automatic run.")
    auto_end_point = _float("AutoEndPoint", "End point of the automatic run.")
    resolution = _float("Resolution", "Resolution; 0 or more.")
    diameter = _float("Diameter", "Diameter; 0 or more.")
    delay_time = _float("DelayTime", "Pause at each end of the automatic run, seconds; 0 or more.")
    current_point = _float("CurrentPoint", "The position. Assigning it moves nothing: the controller counts its "
                                           "position from the new value (FixedCurrentPoint).", write="FixedCurrentPoint")

    # ---- modes ----

    work_mode = _Setting(lambda c: WorkMode(c._read_int("GetWorkMode")),
                         lambda c, v: c._call("SetWorkMode", _choice(v, "work_mode", "SetWorkMode", c)),
                         "Work mode, WorkMode.MODE_0 or MODE_1.")
    motor_direction = _Setting(lambda c: MotorDirection(c._read_int("GetMotorVeer")),
                               lambda c, v: c._call("SetMotorVeer", _choice(v, "motor_direction", "SetMotorVeer", c)),
                               "Motor direction.")
    remote_function = _Setting(lambda c: c._read_int("GetRemoteFunction") == 1,
                               lambda c, v: c._call("SetRemoteFunction", 1 if v else 0),
                               "Whether the remote control is enabled.")

    # ---- status ----

    run_state = _Reading(lambda c: RunState(c._read_int("GetRunState")), "What the screen is doing (RunState).")
    remote_key = _Reading(lambda c: c._read_int("GetRemoteKeyState"), "Remote key held, 1..4, or 0 for none.")

    # ---- switches and inputs ----

    switch_state = _Reading(lambda c: tuple(ch == "1" for ch in c._read_text("GetSwichState")),
                            "The six switch outputs, output 1 first.")
    input_state = _Reading(lambda c: int(c._read_text("GetIoInputState"), 2),
                           "The eight inputs as bits: 0 left limit, 1 right limit, 2 left extremity, "
                           "3 right extremity, 4-7 auxiliary.")
    left_limit = _flag("GetLeftLimit", "The left limit input (input bit 0).")
    right_limit = _flag("GetRightLimit", "The right limit input (input bit 1).")
    left_extremity = _flag("GetLeftExtremity", "The left extremity input (input bit 2).")
    right_extremity = _flag("GetRightExtremity", "The right extremity input (input bit 3).")

    # ---- identity ----

    serial = _Reading(lambda c: c._read_text("GetSerial"), "Serial number, '123456-789ABC-DEF000-112233'.")
    bios_date = _Reading(lambda c: c._read_text("GetBiosDate"), "BIOS date, 'YYYY-MM-DD'.")
    factory_date = _Setting(lambda c: c._read_text("GetFactroyDate"),
                            lambda c, v: c._call("SetFactroyDate", ctypes.create_string_buffer(str(v).encode())),
                            "Factory date, 'YYYY-MM-DD' (a datetime.date is taken too).")

    # ---- commands ----

    def move_left(self) -> None:
        """Runs the screen towards its begin point."""
        self._call("SetMoveLeft")

    def move_right(self) -> None:
        """Runs the screen towards its end point."""
        self._call("SetMoveRight")

    def move_auto(self) -> None:
        """Starts the automatic run between the automatic-run points."""
        self._call("SetMoveAuto")

    def stop(self) -> None:
        """Brakes the screen to rest."""
        self._call("SetMoveStop")

    def init(self) -> None:
        """Stops the screen, then switches every output off (two exchanges)."""
        self._call("SetInit")

    def set_switch(self, output: int, on: bool) -> None:
        """Switches output 1..6 on or off (reads the outputs, then writes all six)."""
        self._call("SetSwichState", _checks.integer(output, "output", 1, 6, self._refuser("SetSwichState")),
                   1 if on else 0)

    def switch_all_on(self) -> None:
        self._call("SetSwichAllOn")

    def switch_all_off(self) -> None:
        self._call("SetSwichAllOff")

    def reset_begin_point(self) -> None:
        """Makes the present position the begin point."""
        self._call("ResetBeginPoint")

    def restore_defaults(self) -> None:
        """Restores the factory motion parameters and modes. On controller 0 (broadcast) every
        controller executes it and none answers, so it raises NoReply."""
        self._call("SetDefault")

    def set_address(self, new_address: int) -> Controller:
        """Gives the controller a new device address; returns the controller under it."""
        address = _checks.integer(new_address, "new_address", 1, 16, self._refuser("SetAddress"))
        self._call("SetAddress", address)
        return Controller(self._line, address)

    def wait_until_stopped(self, timeout: float = 60.0,
                           on_progress: Optional[Callable[[float, RunState], None]] = None,
                           poll_interval: float = 0.2) -> float:
        """Polls run state and position until the run state is 0; returns where the screen stopped.

        ``on_progress(position, run_state)`` is called after every poll, the last one included.
        Raises TimeoutError when the screen still moves after ``timeout`` seconds (it is not
        stopped: call ``stop()``), or the TrovelError of a failed poll (``retries`` on the line
        rides out occasional lost replies).
        """
        deadline = time.monotonic() + timeout
        while True:
            time.sleep(max(0.0, min(poll_interval, deadline - time.monotonic())))
            state = self.run_state
            position = self.current_point
            if on_progress is not None:
                on_progress(position, state)
            if state == RunState.STOPPED:
                return position
            if time.monotonic() >= deadline:
                raise TimeoutError(f"controller {self._address} still moving after {timeout:g} s "
                                   f"(run state {int(state)}, at {position:g})")

