"""Argument checks made before a value reaches ctypes, which would cut an integer to its low
32 bits (2**32 + 1 becoming 1: another controller, another output) and turn a float too
large for 32 bits into infinity. A refused value raises and nothing is sent."""

from __future__ import annotations

import math
import numbers
import struct
from typing import Any, Callable, NoReturn

Refuse = Callable[[str], NoReturn]


def integer(value: Any, name: str, low: int, high: int, refuse: Refuse) -> int:
    # bool is an int to Python, but never a meaningful address, output or count.
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}")
    number = int(value)
    if not low <= number <= high:
        refuse(f"{name}={value!r} (takes {low}..{high})")
    return number


def real(value: Any, name: str, refuse: Refuse) -> float:
    """A finite value that fits a 32-bit float; a NaN passes, as the C call takes one."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}")
    number = float(value)
    if math.isnan(number):
        return number
    try:
        struct.pack("<f", number)  # OverflowError past the largest 32-bit float
    except OverflowError:
        refuse(f"{name}={value!r} (too large for a 32-bit float)")
    if math.isinf(number):
        refuse(f"{name}={value!r} (must be finite)")
    return number
