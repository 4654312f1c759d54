"""The serial ports with what the system tells about each (TrovelListPortsInfo)."""

from __future__ import annotations

import ctypes
from dataclasses import dataclass
from typing import List, Optional

from ._library import library


class _PortInfo(ctypes.Structure):
    _fields_ = [
        ("size", ctypes.c_uint),
        ("name", ctypes.c_char * 256),
        ("description", ctypes.c_char * 128),
        ("manufacturer", ctypes.c_char * 64),
        ("serialNumber", ctypes.c_char * 64),
        ("location", ctypes.c_char * 64),
        ("vendorId", ctypes.c_int),
        ("productId", ctypes.c_int),
        ("latencyTimerMs", ctypes.c_int),
        ("inUse", ctypes.c_int),
    ]


@dataclass(frozen=True)
class PortInfo:
    """One serial port: `name` is what Line() opens; None where the system does not tell."""

    name: str
    description: Optional[str]
    manufacturer: Optional[str]
    serial_number: Optional[str]
    location: Optional[str]
    vendor_id: Optional[int]        # USB VID, e.g. 0x0403
    product_id: Optional[int]       # USB PID
    latency_timer_ms: Optional[int]  # how long the adapter holds received bytes
    in_use: Optional[bool]          # held by another program


def _text(raw: bytes) -> Optional[str]:
    return raw.decode("utf-8", "replace") or None


def list_ports_info() -> List[PortInfo]:
    """Every serial port with its adapter's description, USB ids, serial number and location."""
    lib = library()
    count = lib.TrovelListPortsInfo(None, 0)
    while count > 0:
        ports = (_PortInfo * count)()
        ports[0].size = ctypes.sizeof(_PortInfo)
        now = lib.TrovelListPortsInfo(ports, count)
        if now <= count:
            return [PortInfo(_text(p.name), _text(p.description), _text(p.manufacturer), _text(p.serialNumber),
                             _text(p.location), None if p.vendorId < 0 else p.vendorId,
                             None if p.productId < 0 else p.productId,
                             None if p.latencyTimerMs < 0 else p.latencyTimerMs,
                             None if p.inUse < 0 else p.inUse == 1)
                    for p in ports[:max(now, 0)]]
        count = now  # a port came meanwhile
    return []
