#!/usr/bin/python3
"""The 32-bit DLL executed: every export of TrovelSdk.h called as a 32-bit host calls it, in
an emulated x86-32 machine (machine.py, win32.py), each result and output compared with the
Linux library doing the same call on a simulator of its own; then load/unload cycles.

  /usr/bin/python3 tests/windows/emu32/run.py --dll build/mingw-i686/src/TrovelSdk.dll \
      --linux build/linux-release/src/libtrovelsdk.so --sim build/linux-release/tools/sim/trovel-sim
"""

import argparse
import ctypes
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from machine import Machine, Port, Stop  # noqa: E402

GUARD = b"\xCC" * 8
PORT_INFO_SIZE = 4 + 256 + 128 + 64 * 3 + 4 * 4  # TrovelPortInfo
# The line's time-outs on both sides: an emulated DLL on a loaded machine may be held up past
# the classic 100 ms gap between two reads, which would cut a reply that was on time.
SLOW = (2000, 400)
TEXT_SIZES = {"GetSerial": 28, "GetFactroyDate": 11, "GetBiosDate": 14, "GetSwichState": 7, "GetIoInputState": 9}
FLOAT_BITS = [0x7F800001, 0x7FC00001, 0x80000000, 0x00000001, 0x7F800000, 0x41131313, 0x41200000]
# What an earlier program or Device Manager may leave on a port; none may cost a byte.
DRIVER_STATES = {
    "xon/xoff": dict(fOutX=1, fInX=1),
    "nul stripping": dict(fNull=1),
    "cts and dsr flow": dict(fOutxCtsFlow=1, fOutxDsrFlow=1),
    "dsr sensitivity, handshakes": dict(fDsrSensitivity=1, fDtrControl=2, fRtsControl=2, fAbortOnError=1),
    "rts toggle, dtr off, error character": dict(fRtsControl=3, fDtrControl=0, fErrorChar=1),
}
# The DCB the DLL must leave: nothing that loses a byte; DTR and RTS as the driver had them
# (an adapter may be powered from them) unless handshaking, which becomes "enable".
LOSSLESS = dict(fBinary=1, fParity=0, fOutxCtsFlow=0, fOutxDsrFlow=0, fDsrSensitivity=0, fOutX=0, fInX=0,
                fErrorChar=0, fNull=0, fAbortOnError=0)

# Kept once per load by the C++ runtime the DLL links statically, by design: winpthreads keeps
# the loading thread's record on its free list and the mutexes of its once-objects, which
# libgcc's frame registration takes at load; nothing frees them. (kind, allocator, size): count
RUNTIME_RESIDUE = {
    ("heap", "pop_pthread_mem", 184): 1,
    ("heap", "mutex_impl_init", 20): 3,
}


def exports_of(header):
    text = open(header).read()
    text = re.sub(r"#if !defined\(_WIN32\).*?#endif", "", text, flags=re.S)  # Linux only
    found = []
    for ret, name, params in re.findall(r"TROVEL_API\s+(.+?)\s+(?:TROVEL_CALL\s+)?(\w+)\(([^)]*)\);", text):
        kinds = [] if params.strip() == "void" else [p.strip().rsplit(" ", 1) for p in params.split(",")]
        found.append((name, ret, [(t.replace(" *", "*").strip() + ("*" * n.count("*")), n.strip("*")) for t, n in kinds]))
    return found


class Simulator:
    def __init__(self, program, link):
        self.link = link
        self.lines = []
        self.process = subprocess.Popen([program, "--link", link, "-v", "--controllers", "1-2", "--control", "-"],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                        text=True)
        self.reader = threading.Thread(target=lambda: self.lines.extend(iter(self.process.stdout.readline, "")),
                                       daemon=True)
        self.reader.start()
        for _ in range(250):
            if os.path.exists(link):
                break
            time.sleep(0.02)

    def control(self, command):
        """A command on the simulator's control input, once it has acknowledged it."""
        seen = len(self.lines)
        self.process.stdin.write(command + "\n")
        self.process.stdin.flush()
        for _ in range(250):
            if any(line.startswith("control:") for line in self.lines[seen:]):
                return
            time.sleep(0.02)
        raise Stop("the simulator did not acknowledge %r" % command)

    def frame_count(self):
        return sum(1 for line in list(self.lines) if line.startswith("["))

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        self.process.wait(timeout=10)
        self.reader.join(timeout=5)
        # the requests it received, in order (the log's hex after the time stamp)
        return [line.split("]", 1)[1].split("->")[0].split("(")[0].strip() for line in self.lines
                if line.startswith("[")]


class Dll:
    """The 32-bit DLL in the machine: arguments as a host lays them out, guard bytes around
    every buffer."""

    def __init__(self, machine):
        self.m = machine

    def buffer(self, size, content=b""):
        at = self.m.alloc_data(size + 16)
        self.m.write(at, GUARD + content.ljust(size, b"\0") + GUARD)
        return at + 8

    def guarded(self, at, size):
        data = self.m.read(at - 8, size + 16)
        if data[:8] != GUARD or data[-8:] != GUARD:
            raise Stop("a buffer's guard bytes were overwritten")
        return data[8:-8]

    def call(self, name, args, thread=0):
        return self.m.call(self.m.exports[name], args, thread=self.m.threads[thread])

    def string(self, at):
        return self.m.cstring(at) if at else None


class Linux:
    def __init__(self, path):
        self.lib = ctypes.CDLL(path)

    def buffer(self, size, content=b""):
        return ctypes.create_string_buffer(GUARD + content.ljust(size, b"\0") + GUARD, size + 16)


def plan(name, params, success):
    """Arguments by kind: (kind, value). A refused call gets an address out of range, or
    null pointers and values out of range where there is no address."""
    out = []
    has_address = any(n == "address" for _, n in params)
    for kind, pname in params:
        if pname == "address":
            out.append(("int", 1 if success else 17))
        elif kind == "TrovelLine*":
            out.append(("line", None))
        elif kind in ("int", "unsigned int"):
            value = {"index": 2, "state": 1, "newAddress": 1, "count": 6 if name == "CRC16" else 1, "shift": 3,
                     "totalMs": SLOW[0], "gapMs": SLOW[1], "on": 0, "mode": 0, "code": 258, "size": 64, "port": 99,
                     "first": 106, "reg": 118, "value": 0x1234, "delayBeforeMs": 0, "delayAfterMs": 0}.get(pname, 1)
            if "Registers" in name and pname == "count":
                value = 2
            if not success and not has_address:
                value = {"totalMs": 5, "count": 2 if name == "TrovelListPortsInfo" else 9 if name != "CRC16" else 0, "mode": 7, "code": 9999, "port": 99}.get(pname, value)
            out.append(("int", value))
        elif kind == "float":
            out.append(("float", 0x41480000))
        elif kind in ("int*", "float*"):
            out.append(("out4", None))
        elif kind == "unsigned short*":
            out.append(("outn", 4))
        elif kind == "const unsigned short*":  # the begin point's pair, 10.0 (low half first)
            out.append(("in", bytes.fromhex("00002041") if success else None))
        elif kind == "TrovelPortInfo*":  # room for two; refused by a size below the name's end
            out.append(("ports", PORT_INFO_SIZE if success else 4))
        elif kind == "char**":
            out.append(("text", TEXT_SIZES.get(name.replace("Trovel", ""), 16)))
        elif pname == "buffer":
            out.append(("in", b"\x5A" * 63 if success else None))
        elif kind in ("char*", "const char*", "const unsigned char*"):
            content = {"text": b"2024-05-06", "source": b"abc", "data": bytes.fromhex("010300640002"),
                       "device": b"", "buffer": b""}.get(pname, b"")
            out.append(("in", content if success else None))
        elif kind == "TrovelLineStats*":
            out.append(("stats", None))
        elif kind in ("TrovelTraceFn", "void*"):
            out.append(("null", None))
        else:
            raise SystemExit("no argument rule for %s %s of %s" % (kind, pname, name))
    return out


def run_dll(dll, name, ret, args, thread=0):
    m = dll.m
    raw, reads = [], []
    for kind, value in args:
        if kind in ("int", "float"):
            raw.append(value & 0xFFFFFFFF)
        elif kind in ("line", "null"):
            raw.append(0)
        elif kind == "out4":
            at = dll.buffer(4, b"\x5A" * 4)
            raw.append(at)
            reads.append((at, 4))
        elif kind == "stats":
            at = dll.buffer(68, struct.pack("<I", 68))
            raw.append(at)
            reads.append((at, 68))
        elif kind in ("outn", "ports"):
            size = value if kind == "outn" else 2 * PORT_INFO_SIZE
            at = dll.buffer(size, b"\x5A" * size if kind == "outn" else struct.pack("<I", value))
            raw.append(at)
            reads.append((at, size))
        elif kind == "text":
            text = dll.buffer(value, b"\x5A" * value)
            holder = dll.buffer(4, struct.pack("<I", text))
            raw.append(holder)
            reads.append((text, value))
        elif kind == "in":
            if value is None:
                raw.append(0)
            else:
                at = dll.buffer(len(value) + 1, value)
                raw.append(at)
                reads.append((at, len(value) + 1))
    try:
        result = dll.call(name, raw, thread)
        outputs = [dll.guarded(at, size) for at, size in reads]
    except Stop as stop:
        raise Stop("%s(%s): %s" % (name, ", ".join(str(a) for a in args), stop))
    if "char*" in ret:
        result = dll.string(result)
    elif ret == "int":
        result = struct.unpack("<i", struct.pack("<I", result))[0]
    elif ret == "bool":
        result &= 0xFF
    return result, outputs


def run_linux(lx, name, ret, args):
    fn = getattr(lx.lib, name)
    fn.restype = ctypes.c_char_p if "char*" in ret else (ctypes.c_bool if ret == "bool" else ctypes.c_int)
    raw, reads = [], []
    for kind, value in args:
        if kind in ("int", "float"):
            raw.append(ctypes.c_uint32(value & 0xFFFFFFFF) if kind == "float" else ctypes.c_int(value))
        elif kind in ("line", "null"):
            raw.append(ctypes.c_void_p(0))
        elif kind in ("out4", "stats", "text", "in", "outn", "ports"):
            if kind == "in" and value is None:
                raw.append(ctypes.c_void_p(0))
                continue
            size, content = (4, b"\x5A" * 4) if kind == "out4" else (68, struct.pack("<I", 68)) if kind == "stats" \
                else (value, b"\x5A" * value) if kind in ("text", "outn") \
                else (2 * PORT_INFO_SIZE, struct.pack("<I", value)) if kind == "ports" else (len(value) + 1, value)
            buf = lx.buffer(size, content)
            inner = ctypes.cast(ctypes.addressof(buf) + 8, ctypes.c_void_p)
            raw.append(ctypes.pointer(inner) if kind == "text" else inner)
            reads.append((buf, size))
    # floats go by their bits: a c_float built from the same 4 bytes
    fixed = []
    for (kind, value), arg in zip(args, raw):
        fixed.append(ctypes.c_float.from_buffer_copy(struct.pack("<I", value)) if kind == "float" else arg)
    result = fn(*fixed)
    outputs = []
    for buf, size in reads:
        data = buf.raw
        if data[:8] != GUARD or data[8 + size:8 + size + 8] != GUARD:
            raise SystemExit("Linux library overwrote a guard of %s" % name)
        outputs.append(data[8:8 + size])
    if ret == "bool":
        result = int(result)
    return result, outputs


class Comparison:
    def __init__(self, dll, lx):
        self.dll, self.lx = dll, lx
        self.failures, self.calls, self.successes = [], 0, 0

    def same(self, label, name, ret, args, keep_stats=False):
        a = run_dll(self.dll, name, ret, args)
        b = run_linux(self.lx, name, ret, args)
        self.calls += 1
        if name == "TrovelListPorts":  # the systems' port names differ; the counts are each machine's own
            return a
        if name.endswith("GetLineStats"):
            a = (a[0], [a[1][0][:8 + 4 * 14]])  # counts only: reopen counts may differ, elapsed nothing
            b = (b[0], [b[1][0][:8 + 4 * 14]])
        if a != b:
            self.failures.append(("%s %s: DLL %r, Linux %r" % (label, name, a, b))[:600])
        elif a[0] == 1:
            self.successes += 1
        return a

    def last_causes(self, label):
        a = self.dll.call("TrovelLastError", [])
        b = self.lx.lib.TrovelLastError()
        if a != b:
            self.failures.append("%s: last cause DLL %d, Linux %d" % (label, a, b))


def check_read_rules():
    """The emulated ReadFile against a pty pair first, case by case as the comm API documents
    COMMTIMEOUTS: (timeouts, bytes the peer sends and when, bytes asked, bytes returned, the
    longest wait after the peer's last byte or after the call when it sends nothing: margins for a
    loaded machine, each below what the wrong rule would take)."""
    M = 0xFFFFFFFF
    cases = [
        ("MAXDWORD,0,0 returns what is queued at once", (M, 0, 0), [(0, b"ab")], 8, b"ab", 0.15),
        ("MAXDWORD,0,0 with nothing queued returns nothing at once", (M, 0, 0), [], 8, b"", 0.15),
        ("MAXDWORD,MAXDWORD,n returns on the first byte", (M, M, 400), [(0.1, b"x")], 8, b"x", 0.2),
        ("MAXDWORD,MAXDWORD,n gives up after n ms", (M, M, 150), [], 8, b"", 0.35),
        ("0,0,n waits for the whole count", (0, 0, 500), [(0.05, b"a"), (0.1, b"b")], 2, b"ab", 0.2),
        ("an interval ends the read after a gap", (30, 0, 0), [(0, b"ab"), (0.3, b"cd")], 8, b"ab", 0.15),
    ]
    failures = []
    for label, timeouts, sends, count, wanted, slack in cases:
        master, slave = os.openpty()
        port = Port(os.ttyname(slave))
        port.open()
        port.timeouts = timeouts + (0, 100)
        sent_at = []

        def peer(items):
            begun = time.monotonic()
            for at, data in items:
                time.sleep(max(0, begun + at - time.monotonic()))
                os.write(master, data)
                sent_at.append(time.monotonic())

        peer([s for s in sends if s[0] == 0])  # queued before the read
        writer = threading.Thread(target=peer, args=([s for s in sends if s[0] > 0],))
        started = time.monotonic()
        writer.start()
        got = port.read(count)
        ended = time.monotonic()
        writer.join()
        # from the peer's last byte that the read returned, or from the call's deadline
        pieces = [len(d) for _, d in sends]
        taken = next((i for i in range(len(pieces)) if sum(pieces[:i + 1]) >= len(wanted)), None)
        reference = sent_at[taken] if wanted else started + timeouts[2] / 1000 * (timeouts[1] == M)
        reference = max(reference, started)
        if got != wanted or not -0.02 < ended - reference < slack:
            failures.append("ReadFile stub: %s: got %r after %.0f ms" % (label, got, 1000 * (ended - reference)))
        port.close()
        os.close(slave)
        os.close(master)
    return failures


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dll", required=True)
    parser.add_argument("--linux", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--header", default=os.path.join(os.path.dirname(__file__), "../../../include/TrovelSdk.h"))
    parser.add_argument("--cycles", type=int, default=2000)
    options = parser.parse_args()
    started = time.monotonic()
    work = tempfile.mkdtemp(prefix="emu32-")
    sims = {}
    try:
        for name in ("dll", "linux", "dll-line", "linux-line"):
            sims[name] = Simulator(options.sim, os.path.join(work, name))
        ports = {5: Port(sims["dll"].link), 6: Port(sims["dll-line"].link)}
        rules = check_read_rules()
        if rules:
            print("\n".join("FAIL " + r for r in rules))
            return 1
        machine = Machine(options.dll, ports=ports)
        machine.load()
        dll, lx = Dll(machine), Linux(options.linux)
        check = Comparison(dll, lx)
        exports = exports_of(options.header)
        names = [e[0] for e in exports]
        missing = sorted(set(machine.exports) - set(names))
        if missing:
            check.failures.append("exports the header does not declare: %s" % missing)
        by_name = {e[0]: e for e in exports}

        # 1. Every export refused: nothing open yet, arguments out of range.
        for name, ret, params in exports:
            if name in ("OpenCom", "TrovelOpenLine", "CloseCom", "TrovelCloseLine"):
                continue
            check.same("closed, refused", name, ret, plan(name, params, success=False))
            check.last_causes("closed, refused " + name)
        check.same("absent port", "OpenCom", "int", [("int", 99)])
        check.last_causes("absent port")

        # 2. The default line open on each side's simulator; every export on success, then refused.
        opened = (dll.call("OpenCom", [5]), lx.lib.OpenComDevice(sims["linux"].link.encode()))
        if opened != (1, 1):
            raise Stop("OpenCom: DLL %d, Linux %d" % opened)
        # Frame-complete replies until the pass below sets the classic silence rule again
        # (TrovelSetReplyMode's success value), so that a long gap costs little.
        dll.call("TrovelSetTimeouts", [0, *SLOW]), dll.call("TrovelSetReplyMode", [0, 1])
        lx.lib.TrovelSetTimeouts(None, *SLOW), lx.lib.TrovelSetReplyMode(None, 1)
        # Motion commands set the screen moving, and the sides would read a moving position at
        # different times: they have a step of their own, below, after which no position is read.
        motion = ["SetInit", "SetMoveLeft", "SetMoveRight", "SetMoveAuto"]
        motion += ["Trovel" + name for name in motion] + ["SetMoveStop"]
        skip = {"OpenCom", "CloseCom", "TrovelOpenLine", "TrovelCloseLine"} | set(motion)
        # Where the systems differ, their successes have steps of their own below.
        differing = {"TrovelSetRs485", "TrovelListPortsInfo"}
        for success in (True, False):
            for name, ret, params in exports:
                if name in skip or (success and name in differing):
                    continue
                check.same("open, %s" % ("success" if success else "refused"), name, ret, plan(name, params, success))
                check.last_causes("open " + name)
        # RS-485 direction: a COM port's driver toggles RTS itself (RTS_CONTROL_TOGGLE, read
        # back from the DCB), where a pseudo-terminal has no RS-485 mode, so Linux answers
        # "unsupported"; what Windows cannot do (RTS low on send, delays) both sides refuse alike.
        for mode, rts in ((1, 3), (0, 1)):
            a = (dll.call("TrovelSetRs485", [0, mode, 0, 0]), ports[5].flags["fRtsControl"])
            b = (lx.lib.TrovelSetRs485(None, mode, 0, 0), lx.lib.TrovelLastError())
            check.calls += 1
            if a != (1, rts) or b != (0, 29):  # TROVEL_ERR_RS485_UNSUPPORTED
                check.failures.append("TrovelSetRs485 mode %d: DLL %r, Linux %r" % (mode, a, b))
        for mode, before, after in ((2, 0, 0), (1, 5, 0)):
            check.same("rs-485", "TrovelSetRs485", "int", [("line", None), ("int", mode), ("int", before), ("int", after)])
            check.last_causes("rs-485 mode %d" % mode)
        # The ports with their descriptions: on the DLL's side the emulated COM5 (the default
        # line's, so in use) and COM6, with nothing known of either since SetupAPI lists no
        # device; this machine's own ports on Linux, as many as TrovelListPorts names.
        got = run_dll(dll, "TrovelListPortsInfo", "int", [("ports", PORT_INFO_SIZE), ("int", 2)])
        wanted = b"".join(struct.pack("<I256s128s64s64s64s4i", PORT_INFO_SIZE, name, b"", b"", b"", b"", -1, -1, -1, use)
                          for name, use in ((b"COM5", 1), (b"COM6", 0)))
        listed = lx.lib.TrovelListPorts(None, 0)
        linux = run_linux(lx, "TrovelListPortsInfo", "int", [("ports", PORT_INFO_SIZE), ("int", 2)])[0]
        check.calls += 1
        if got != (2, [wanted]) or linux != listed:
            check.failures.append(("TrovelListPortsInfo: DLL %r, Linux %d of %d" % (got, linux, listed))[:600])
        for index in range(1, 7):
            check.same("switch %d" % index, "SetSwichState", "int", [("int", 1), ("int", index), ("int", index % 2)])
            check.same("switch %d" % index, "GetSwichState", "int", [("int", 1), ("text", 7)])
        for bits in FLOAT_BITS:
            check.same("float %08x" % bits, "SetBeginPoint", "int", [("int", 1), ("float", bits)])
            got = check.same("float %08x" % bits, "GetBeginPoint", "int", [("int", 1), ("out4", None)])
            if got[0] == 1 and struct.unpack("<I", got[1][0])[0] != bits:
                check.failures.append("float %08x came back as %s" % (bits, got[1][0].hex()))

        # The trace callback: the DLL calls host code, stdcall with 36 bytes of arguments.
        seen = {"dll": [], "linux": []}

        def dll_trace(m, args):
            user, line, address, request, rlen, reply, plen, _, outcome = struct.unpack("<9i", m.read(args, 36))
            seen["dll"].append((user, line, address, m.read(request, rlen), m.read(reply, plen), outcome))

        TraceFn = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int, ctypes.POINTER(ctypes.c_ubyte),
                                   ctypes.c_int, ctypes.POINTER(ctypes.c_ubyte), ctypes.c_int, ctypes.c_int, ctypes.c_int)

        def linux_trace(user, line, address, request, rlen, reply, plen, _, outcome):
            seen["linux"].append((user or 0, line or 0, address, bytes(request[:rlen]), bytes(reply[:plen]), outcome))

        keep = TraceFn(linux_trace)
        dll_line = dll.call("TrovelDefaultLine", [])
        traced = (dll.call("TrovelSetTrace", [0, machine.add_host_function(36, dll_trace), 0x1234]),
                  lx.lib.TrovelSetTrace(None, keep, ctypes.c_void_p(0x1234)))
        for address in (1, 2, 17):  # a reply, silence, refused with nothing sent
            check.same("traced", "GetMotorSpeed", "int", [("int", address), ("out4", None)])
        dll.call("TrovelSetTrace", [0, 0, 0]), lx.lib.TrovelSetTrace(None, None, None)
        check.same("trace off", "GetMotorSpeed", "int", [("int", 1), ("out4", None)])
        if traced != (1, 1) or [e[2:] for e in seen["dll"]] != [e[2:] for e in seen["linux"]] or \
                len(seen["dll"]) != 2 or any(e[0] != 0x1234 or e[1] != dll_line for e in seen["dll"]):
            check.failures.append("trace callback: DLL %r, Linux %r" % (seen["dll"], seen["linux"]))

        # 3. Two threads keep their own last cause.
        dll.call("GetMotorSpeed", [17, dll.buffer(4)], thread=0)
        dll.call("GetMotorSpeed", [1, dll.buffer(4)], thread=1)
        causes = (dll.call("TrovelLastError", [], thread=0), dll.call("TrovelLastError", [], thread=1))
        value = ctypes.c_float()
        lx.lib.GetMotorSpeed(17, ctypes.byref(value)), lx.lib.GetMotorSpeed(1, ctypes.byref(value))  # the same frames
        if causes != (2, 0):
            check.failures.append("last cause per thread: %r, wanted (2, 0)" % (causes,))

        # 4. Ports a driver left in a mode that loses bytes: a float of 0x13 and 0x00 bytes.
        closed = None
        for state, dcb in DRIVER_STATES.items():
            ports[6].flags = dict(Port.DEFAULT_DCB, **dcb)
            handle = dll.call("TrovelOpenLine", [dll.buffer(5, b"COM6")])
            lx.lib.TrovelOpenLine.restype = ctypes.c_void_p
            lhandle = lx.lib.TrovelOpenLine(sims["linux-line"].link.encode())
            if not handle or not lhandle:
                check.failures.append("%s: TrovelOpenLine DLL %x, Linux %r" % (state, handle, lhandle))
                continue
            wanted = dict(LOSSLESS, fDtrControl={2: 1}.get(dcb.get("fDtrControl", 1), dcb.get("fDtrControl", 1)),
                          fRtsControl={2: 1}.get(dcb.get("fRtsControl", 1), dcb.get("fRtsControl", 1)))
            left = {name: ports[6].flags[name] for name in wanted}
            if left != wanted:
                check.failures.append("port left with %s: the DLL set %r, wanted %r" % (state, left, wanted))
            dll.call("TrovelSetTimeouts", [handle, *SLOW]), dll.call("TrovelSetReplyMode", [handle, 1])
            lx.lib.TrovelSetTimeouts(ctypes.c_void_p(lhandle), *SLOW)
            lx.lib.TrovelSetReplyMode(ctypes.c_void_p(lhandle), 1)
            for bits in (0x41131313, 0x41000000, 0x13111300):
                a = (dll.call("TrovelSetBeginPoint", [handle, 1, bits]),)
                out = dll.buffer(4)
                a += (dll.call("TrovelGetBeginPoint", [handle, 1, out]), dll.guarded(out, 4).hex())
                value = ctypes.c_uint32()
                b = (lx.lib.TrovelSetBeginPoint(ctypes.c_void_p(lhandle), 1,
                                                ctypes.c_float.from_buffer_copy(struct.pack("<I", bits))),
                     lx.lib.TrovelGetBeginPoint(ctypes.c_void_p(lhandle), 1, ctypes.byref(value)),
                     struct.pack("<I", value.value).hex())
                check.calls += 2
                if a != b or a[2] != struct.pack("<I", bits).hex():
                    check.failures.append("port left with %s, float %08x: DLL %r, Linux %r" % (state, bits, a, b))
            dll.call("TrovelCloseLine", [handle])
            lx.lib.TrovelCloseLine(ctypes.c_void_p(lhandle))
            closed = (handle, lhandle)
        # Handles of no line open now, closed or never given out: refused, nothing sent.
        for what, (handle, lhandle) in [("closed", closed)] * bool(closed) + [("made up", (0x00ABCDEF, 0x00ABCDEF))]:
            out, value = dll.buffer(4), ctypes.c_uint32()
            a = (dll.call("TrovelGetBeginPoint", [handle, 1, out]), dll.call("TrovelLastError", []))
            b = (lx.lib.TrovelGetBeginPoint(ctypes.c_void_p(lhandle), 1, ctypes.byref(value)), lx.lib.TrovelLastError())
            check.calls += 1
            if a != b or a != (0, 3):  # TROVEL_ERR_BAD_LINE
                check.failures.append("a %s handle: DLL %r, Linux %r" % (what, a, b))

        for name in motion:
            for success in (True, False):
                check.same("motion", name, "int", plan(name, by_name[name][2], success))

        # 5. The adapter pulled and plugged back: the call fails as gone, and a later one reopens
        # the line. When each side reopens depends on the machine's pace, so from here on the
        # sides are not compared frame by frame: each must come back within a few tries.
        compared = {name: sim.frame_count() for name, sim in sims.items()}
        for sim in (sims["dll"], sims["linux"]):
            sim.control("unplug")
        check.same("unplugged", "GetMotorSpeed", "int", [("int", 1), ("out4", None)])
        check.last_causes("unplugged")
        for sim in (sims["dll"], sims["linux"]):
            sim.control("replug")
        back = [0, 0]
        for _ in range(10):
            time.sleep(0.3)  # past the interval between two tries to reopen
            if not back[0]:
                back[0] = run_dll(dll, "GetMotorSpeed", "int", [("int", 1), ("out4", None)])[0]
            if not back[1]:
                back[1] = run_linux(lx, "GetMotorSpeed", "int", [("int", 1), ("out4", None)])[0]
            if back == [1, 1]:
                break
        if back != [1, 1]:
            check.failures.append("after the adapter was plugged in again: DLL %d, Linux %d" % tuple(back))

        # Lines that cannot be opened, and the default line closed.
        lx.lib.TrovelOpenLine.restype = ctypes.c_void_p
        for dll_name, linux_name in ((b"", b""), (b"COM99", b"/dev/trovel-absent")):
            refused = (dll.call("TrovelOpenLine", [dll.buffer(len(dll_name) + 1, dll_name)]),
                       lx.lib.TrovelOpenLine(linux_name) or 0)
            check.calls += 1
            if refused != (0, 0):
                check.failures.append("TrovelOpenLine(%r) opened: %r" % (dll_name, refused))
            check.last_causes("TrovelOpenLine(%r)" % dll_name)
        check.same("close", "CloseCom", "bool", [])
        check.same("closed", "IsComOpen", "int", [])

        # OpenCom(n) goes where TROVEL_COM<n> points, else where the [ports] section of
        # TrovelSdk.ini beside the library does: each side's copy in a folder of its own.
        folders = {side: os.path.join(work, side + "-folder") for side in ("dll", "linux")}
        for side, target in (("dll", "COM5"), ("linux", sims["linux"].link)):
            os.mkdir(folders[side])
            with open(os.path.join(folders[side], "TrovelSdk.ini"), "w") as ini:
                ini.write("; where the screens are\n[Ports]\ncom8 = %s\n" % target)
        shutil.copy(options.linux, folders["linux"])
        moved = Linux(os.path.join(folders["linux"], os.path.basename(options.linux)))
        machine.host_folder, machine.environment["TROVEL_COM7"] = folders["dll"], "COM5"
        os.environ["TROVEL_COM7"] = sims["linux"].link
        for number in (7, 8):
            out, value = dll.buffer(4), ctypes.c_uint32()
            a = (dll.call("OpenCom", [number]), dll.call("GetMotorSpeed", [1, out]), dll.call("CloseCom", []) & 0xFF)
            b = (moved.lib.OpenCom(number), moved.lib.GetMotorSpeed(1, ctypes.byref(value)), moved.lib.CloseCom() & 0xFF)
            check.calls += 1
            if a != b or a != (1, 1, 0):  # CloseCom always answers false
                check.failures.append("OpenCom(%d) by %s: DLL %r, Linux %r"
                                      % (number, "TROVEL_COM7" if number == 7 else "TrovelSdk.ini", a, b))
        del os.environ["TROVEL_COM7"]
        machine.unload()
        frames = {name: sim.stop()[:compared[name]] for name, sim in sims.items()}
        sims = {}
        if len(frames["dll"]) != len(frames["linux"]):
            check.failures.append("the simulators received different frames: %d from the DLL, %d from Linux"
                                  % (len(frames["dll"]), len(frames["linux"])))
        print("emu32: %d calls compared (%d succeeded on both), %d frames each simulator, %d float loads watched"
              % (check.calls, check.successes, len(frames["dll"]), machine.float_loads))

        # 6. Load and unload, over and over: nothing of ours may stay. What the statically
        # linked runtime keeps per load is named in RUNTIME_RESIDUE; anything else fails.
        if frames["dll"] != frames["linux"]:
            first = next(i for i, (a, b) in enumerate(zip(frames["dll"] + [""], frames["linux"] + [""])) if a != b)
            check.failures.append("first differing frame #%d: DLL %r, Linux %r"
                                  % (first, frames["dll"][first:first + 1], frames["linux"][first:first + 1]))
        cycles = Machine(options.dll)
        cycles.load()
        cycles.unload()
        base = cycles.resources()
        base_heap, base_handles = set(cycles.heap), set(cycles.handles)
        began = time.monotonic()
        for cycle in range(options.cycles):
            try:
                cycles.load()
                cycles.call(cycles.exports["GetMotorSpeed"], [17, 0])  # a cause recorded in the slot
                cycles.unload()
            except Stop as stop:
                raise Stop("load/unload cycle %d, with %d TLS indexes and %d handles taken: %s"
                           % (cycle + 1, len(cycles.tls), len(cycles.handles), stop))
        grown = [b - a for a, b in zip(base, cycles.resources())]
        print("emu32: %d load/unload cycles in %.1f s: growth of TLS indexes %d, handles %d, heap blocks %d, "
              "vectored handlers %d" % (options.cycles, time.monotonic() - began, *grown))
        kept = {}
        for at, (size, who) in cycles.heap.items():
            if at not in base_heap:
                kept[("heap", who, size)] = kept.get(("heap", who, size), 0) + 1
        for handle, (kind, _) in cycles.handles.items():
            if handle not in base_handles:
                key = ("handle", cycles.handle_owner[handle], kind)
                kept[key] = kept.get(key, 0) + 1
        if grown[0]:
            kept[("tls", "winpthreads' _pthread_tls", 0)] = grown[0]
        for (what, who, detail), count in sorted(kept.items()):
            known = RUNTIME_RESIDUE.get((what, who.split(" < ")[0], detail))
            verdict = "runtime, by design" if known else "NOT THE RUNTIME'S"
            print("emu32:   %-6s kept %5d times (%s): %s from %s" % (what, count, verdict, detail, who))
            if not known or count > known * options.cycles:
                check.failures.append("load/unload leaves behind %d x %s %s from %s" % (count, what, detail, who))
        if grown[3]:
            check.failures.append("vectored exception handlers left installed: %d" % grown[3])
        for failure in check.failures:
            print("FAIL " + failure)
        print("emu32: %d s" % (time.monotonic() - started))
        return 1 if check.failures else 0
    except Stop as stop:
        for failure in check.failures if "check" in locals() else []:
            print("FAIL " + failure)
        print("FAIL the emulated run stopped: %s" % stop)
        return 1
    finally:
        for sim in sims.values():
            sim.process.kill()
            sim.process.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
