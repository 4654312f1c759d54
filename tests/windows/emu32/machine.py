"""An x86-32 machine that loads TrovelSdk.dll as Windows does and answers its imports.

The image is mapped away from its preferred base (so every relocation is applied), each
emulated thread has a TEB reached through FS, the TLS callbacks and the entry point run as
the loader runs them, and every import is a stub that returns with the callee's own stdcall
argument bytes. The kernel keeps count of TLS indexes, handles and heap blocks, so that what
an unload leaves behind can be told. An import without a Python version stops the run with
its name.
"""

import fcntl
import os
import re
import select
import struct
import subprocess
import termios
import sys
import time

import pefile
from unicorn import Uc, UcError, UC_ARCH_X86, UC_MODE_32, UC_HOOK_CODE, UC_HOOK_MEM_INVALID
from unicorn.x86_const import *  # noqa: F401,F403 (register names)

IMAGE_BASE = 0x10000000          # not the DLL's preferred base
THUNKS = 0x70000000              # one stub per import, and the host's own code
THUNK_SIZE = 0x10000
RETURN_MAGIC = THUNKS + THUNK_SIZE - 0x10
HEAP = 0x30000000
HEAP_SIZE = 0x10000000
STACKS = 0x08000000
STACK_SIZE = 0x100000
TEBS = 0x7FF00000
GDT = 0x7FFE0000
PEB = 0x7FFDF000
DATA = 0x7FE00000                # the C runtime's data imports and the host's buffers
DATA_SIZE = 0x100000

MAXDWORD = 0xFFFFFFFF
INVALID_HANDLE = 0xFFFFFFFF
ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE, ERROR_BAD_COMMAND = 2, 5, 6, 22
ERROR_ENVVAR_NOT_FOUND, ERROR_PROC_NOT_FOUND, ERROR_MOD_NOT_FOUND = 203, 127, 126
TLS_SLOTS = 1088                 # what a Windows process has
FLDS_KINDS = ("flds", "fldl")    # loads that widen a float or double: a CPU quietens an SNaN


TRACE = os.environ.get("EMU32_TRACE") == "1"


class Stop(Exception):
    """The run cannot go on: an import it lacks, a fault, a broken convention."""


class Thread:
    def __init__(self, machine, number):
        self.tid = 0x100 + 4 * number
        self.teb = TEBS + number * 0x2000
        self.stack_top = STACKS + (number + 1) * STACK_SIZE - 0x1000
        self.selector = ((8 + number) << 3) | 3
        self.errno = machine.alloc_data(4)
        m = machine.uc
        m.mem_write(machine.gdt_entry_address(8 + number), gdt_entry(self.teb, 0xFFF))
        teb = bytearray(0x1000)
        struct.pack_into("<IIII", teb, 0, MAXDWORD, self.stack_top + 0x1000, self.stack_top - STACK_SIZE + 0x2000, 0)
        struct.pack_into("<I", teb, 0x18, self.teb)
        struct.pack_into("<II", teb, 0x20, 0x10, self.tid)
        struct.pack_into("<I", teb, 0x2C, self.teb + 0x1000)  # the static TLS array, below
        struct.pack_into("<I", teb, 0x30, PEB)
        m.mem_write(self.teb, bytes(teb))


def gdt_entry(base, limit, ring=3):
    # present, writable data, 32-bit, byte granularity (4 KiB granularity for a flat one)
    access, flags = 0x80 | (ring << 5) | 0x10 | 0x02, 0x4 | (0x8 if limit > 0xFFFFF else 0)
    if limit > 0xFFFFF:
        limit >>= 12
    value = (limit & 0xFFFF) | ((base & 0xFFFFFF) << 16) | (access << 40) | (((limit >> 16) & 0xF) << 48)
    value |= (flags << 52) | (((base >> 24) & 0xFF) << 56)
    return struct.pack("<Q", value)


class Port:
    """A COM port of the emulated machine: a pseudo-terminal link that a simulator serves,
    with the DCB a driver keeps and the read rules of COMMTIMEOUTS."""

    DEFAULT_DCB = dict(fBinary=1, fParity=0, fOutxCtsFlow=0, fOutxDsrFlow=0, fDtrControl=1, fDsrSensitivity=0,
                       fTXContinueOnXoff=1, fOutX=0, fInX=0, fErrorChar=0, fNull=0, fRtsControl=1, fAbortOnError=0)
    BITS = [("fBinary", 0, 1), ("fParity", 1, 1), ("fOutxCtsFlow", 2, 1), ("fOutxDsrFlow", 3, 1),
            ("fDtrControl", 4, 2), ("fDsrSensitivity", 6, 1), ("fTXContinueOnXoff", 7, 1), ("fOutX", 8, 1),
            ("fInX", 9, 1), ("fErrorChar", 10, 1), ("fNull", 11, 1), ("fRtsControl", 12, 2),
            ("fAbortOnError", 14, 1)]

    def __init__(self, link, dcb=None):
        self.link = link
        self.fd = None
        self.flags = dict(self.DEFAULT_DCB, **(dcb or {}))
        self.baud, self.size, self.parity, self.stop = 9600, 7, 2, 0
        self.timeouts = (0, 0, 0, 0, 0)

    def open(self):
        self.fd = os.open(self.link, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        self.apply()

    def close(self):
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None

    def apply(self):
        # The pty carries the flow control a driver would do: Xon/Xoff both ways.
        attrs = termios.tcgetattr(self.fd)
        attrs[0] = 0
        if self.flags["fOutX"]:
            attrs[0] |= termios.IXON
        if self.flags["fInX"]:
            attrs[0] |= termios.IXOFF
        attrs[1] = 0
        attrs[2] = termios.CS8 | termios.CREAD | termios.CLOCAL
        attrs[3] = 0
        attrs[6][termios.VMIN], attrs[6][termios.VTIME] = 0, 0
        attrs[6][termios.VSTART], attrs[6][termios.VSTOP] = 0x11, 0x13
        termios.tcsetattr(self.fd, termios.TCSANOW, attrs)

    def dcb_bits(self):
        return sum(self.flags[name] << shift for name, shift, _ in self.BITS)

    def set_dcb_bits(self, bits):
        for name, shift, width in self.BITS:
            self.flags[name] = (bits >> shift) & ((1 << width) - 1)

    def queued(self):
        buf = fcntl.ioctl(self.fd, termios.FIONREAD, b"\0\0\0\0")
        return struct.unpack("<I", buf)[0]

    def _take(self, limit):
        try:
            data = os.read(self.fd, limit)
        except BlockingIOError:
            return b""
        # no bytes: none queued (a terminal whose other side went away answers EIO instead)
        if self.flags["fNull"]:
            data = data.replace(b"\0", b"")
        if self.flags["fDsrSensitivity"]:
            data = b""  # DSR is never raised on this line: the driver drops every byte
        return data

    def read(self, count):
        """ReadFile as the comm API documents it for each COMMTIMEOUTS."""
        interval, multiplier, constant = self.timeouts[:3]
        got = b""
        now = time.monotonic
        if interval == MAXDWORD and multiplier == 0 and constant == 0:
            return self._take(count) if count else b""
        if interval == MAXDWORD and multiplier == MAXDWORD and 0 < constant < MAXDWORD:
            # bytes queued: at once; else the first byte to arrive, or nothing after constant ms
            end = now() + constant / 1000
            while not got and now() < end:
                select.select([self.fd], [], [], max(0, end - now()))
                got = self._take(count)
            return got
        total = None if multiplier == 0 and constant == 0 else now() + (multiplier * count + constant) / 1000
        last = None
        while len(got) < count:
            limits = [t for t in (total, last + interval / 1000 if last is not None and interval else None) if t is not None]
            wait = max(0, min(limits) - now()) if limits else 1.0
            if limits and wait == 0:
                break
            ready, _, _ = select.select([self.fd], [], [], wait)
            if ready:
                piece = self._take(count - len(got))
                if piece:
                    got += piece
                    last = now()
        return got

    def write(self, data):
        if self.flags["fOutxCtsFlow"] or self.flags["fOutxDsrFlow"]:
            time.sleep(self.timeouts[4] / 1000)  # CTS and DSR stay low on this line
            return 0
        done = 0
        end = time.monotonic() + max(self.timeouts[4], 1) / 1000
        while done < len(data) and time.monotonic() < end:
            try:
                done += os.write(self.fd, data[done:])
            except BlockingIOError:
                select.select([], [self.fd], [], 0.01)
        return done


class Machine:
    def __init__(self, dll_path, ports=None, snan_quiet=True):
        self.uc = Uc(UC_ARCH_X86, UC_MODE_32)
        self.pe = pefile.PE(dll_path)
        self.dll_path = dll_path
        self.ports = ports or {}          # COM number -> Port
        self.handles = {}                 # handle -> (kind, object)
        self.next_handle = 0x100
        self.tls = set()                  # allocated TLS indexes
        self.tls_values = {}              # (tid, index) -> value
        self.heap = {}                    # address -> (size, who allocated it)
        self.heap_next = HEAP
        self.data_next = DATA
        self.vectored = set()
        self.srw_owner = {}
        self.imports_called = {}
        self.calls = 0
        self.pending_quiet = {}
        self.host_callbacks = {}          # address -> (argument bytes, python function)
        self.symbols = []
        self.frames = None
        self.environment = {}
        # the DLL's folder as it sees it, and the host folder behind it (None: no files there)
        self.dll_folder, self.host_folder = "C:\\emu32", None
        self.files = {}                   # FILE* or descriptor -> open host file
        self.uc.mem_map(THUNKS, THUNK_SIZE)
        self.uc.mem_map(HEAP, HEAP_SIZE)
        self.uc.mem_map(STACKS, STACK_SIZE * 4)
        self.uc.mem_map(TEBS, 0x10000)
        self.uc.mem_map(GDT, 0x1000)
        self.uc.mem_map(PEB, 0x1000)
        self.uc.mem_map(DATA, DATA_SIZE)
        self.uc.reg_write(UC_X86_REG_GDTR, (0, GDT, 0x1000 - 1, 0))
        # a flat 32-bit stack segment: without it pushes wrap at 64 KiB
        self.uc.mem_write(GDT + 8 * 2, gdt_entry(0, 0xFFFFFFFF, ring=0))
        self.uc.reg_write(UC_X86_REG_SS, 2 << 3)
        self.uc.mem_write(RETURN_MAGIC, b"\xF4")
        self._map_image()
        self.threads = [Thread(self, 0), Thread(self, 1)]
        self.thread = self.threads[0]
        self._bind_imports()
        self.uc.hook_add(UC_HOOK_CODE, self._on_thunk, begin=THUNKS, end=THUNKS + THUNK_SIZE - 1)
        self.uc.hook_add(UC_HOOK_MEM_INVALID, self._on_bad_memory)
        if snan_quiet:
            self._hook_float_loads()
        self.module_tls_index = None

    # ---- image ---------------------------------------------------------------------------
    def _map_image(self):
        pe = self.pe
        size = (pe.OPTIONAL_HEADER.SizeOfImage + 0xFFF) & ~0xFFF
        self.uc.mem_map(IMAGE_BASE, size)
        self.delta = IMAGE_BASE - pe.OPTIONAL_HEADER.ImageBase
        pe.relocate_image(IMAGE_BASE)
        self.image = bytearray(pe.get_memory_mapped_image(ImageBase=IMAGE_BASE))
        self.image_size = size
        self.text = next(s for s in pe.sections if s.Name.startswith(b".text"))
        self.exports = {}
        for symbol in pe.DIRECTORY_ENTRY_EXPORT.symbols:
            if symbol.name:
                self.exports[symbol.name.decode()] = IMAGE_BASE + symbol.address
        self.ordinals = {s.ordinal: IMAGE_BASE + s.address for s in pe.DIRECTORY_ENTRY_EXPORT.symbols}

    def _bind_imports(self):
        from win32 import STUBS, DATA_IMPORTS  # noqa: the import table of the emulated system
        self.stubs = STUBS
        self.thunk_names = {}
        at = THUNKS
        for entry in self.pe.DIRECTORY_ENTRY_IMPORT:
            dll = entry.dll.decode().lower()
            for imp in entry.imports:
                name = imp.name.decode()
                if name in DATA_IMPORTS:
                    target = self.alloc_data(DATA_IMPORTS[name][0])
                    self.uc.mem_write(target, DATA_IMPORTS[name][1])
                else:
                    target = at
                    stub = STUBS.get(name)
                    argbytes = stub[0] if stub else 0
                    if stub and stub[0] is None:      # written in x86: the stub is the code itself
                        code = stub[1]
                    else:
                        code = b"\xC3" if argbytes == 0 else b"\xC2" + struct.pack("<H", argbytes)
                    self.image[imp.address - IMAGE_BASE: imp.address - IMAGE_BASE + 4] = struct.pack("<I", at)
                    self.thunk_names[at] = (dll, name)
                    self.uc.mem_write(at, code)
                    at += (len(code) + 15) & ~15
                    continue
                self.image[imp.address - IMAGE_BASE: imp.address - IMAGE_BASE + 4] = struct.pack("<I", target)
        self.thunk_end = at
        self.pristine = bytes(self.image)
        self.uc.mem_write(IMAGE_BASE, self.pristine)
        self.writable = [(s.VirtualAddress, max(s.Misc_VirtualSize, s.SizeOfRawData)) for s in self.pe.sections
                         if s.Characteristics & 0x80000000]

    def add_host_function(self, argbytes, fn):
        """Host code the DLL may call back (a trace callback): stdcall with argbytes."""
        at = self.thunk_end
        self.uc.mem_write(at, b"\xC2" + struct.pack("<H", argbytes))
        self.host_callbacks[at] = fn
        self.thunk_end += 16
        return at

    def _hook_float_loads(self):
        # unicorn's fld keeps a signalling NaN; a CPU quietens it (and raises IE). Every
        # widening load of the image is watched, and the value is mended after it ran.
        out = subprocess.run(["i686-w64-mingw32-objdump", "-d", "--no-show-raw-insn", self.dll_path],
                             capture_output=True, text=True, check=True).stdout
        previous = None
        for line in out.splitlines():
            found = re.match(r"\s*([0-9a-f]+):\t(\S+)\s*(.*)", line)
            if not found:
                continue
            address = int(found.group(1), 16) + self.delta
            if previous is not None:
                self.pending_quiet[previous] = address
                previous = None
            if found.group(2) in FLDS_KINDS and "(" in found.group(3):
                previous = address
        self.float_loads = len(self.pending_quiet)
        armed = set()

        def before(uc, address, size, _):
            if address in self.pending_quiet:
                armed.add(self.pending_quiet[address])

        def after(uc, address, size, _):
            if address in armed:
                armed.discard(address)
                self._quieten_st0()

        for at, nxt in self.pending_quiet.items():
            self.uc.hook_add(UC_HOOK_CODE, before, begin=at, end=at)
            self.uc.hook_add(UC_HOOK_CODE, after, begin=nxt, end=nxt)

    def _quieten_st0(self):
        status = self.uc.reg_read(UC_X86_REG_FPSW)
        top = (status >> 11) & 7
        mantissa, exponent = self.uc.reg_read(UC_X86_REG_FP0 + top)
        if exponent & 0x7FFF == 0x7FFF and mantissa & (1 << 63) and not mantissa & (1 << 62) and mantissa & ((1 << 62) - 1):
            self.uc.reg_write(UC_X86_REG_FP0 + top, (mantissa | (1 << 62), exponent))
            self.uc.reg_write(UC_X86_REG_FPSW, status | 1)

    # ---- memory helpers ------------------------------------------------------------------
    def alloc_data(self, size):
        at = self.data_next
        self.data_next += (size + 15) & ~15
        if self.data_next > DATA + DATA_SIZE:
            raise Stop("host data area full")
        return at

    def read(self, at, size):
        return bytes(self.uc.mem_read(at, size))

    def write(self, at, data):
        self.uc.mem_write(at, bytes(data))

    def u32(self, at):
        return struct.unpack("<I", self.read(at, 4))[0]

    def put32(self, at, value):
        self.write(at, struct.pack("<I", value & 0xFFFFFFFF))

    def cstring(self, at, limit=4096):
        data = self.read(at, limit)
        return data[:data.index(b"\0")] if b"\0" in data else data

    def wstring(self, at, limit=1024):
        data = self.read(at, limit * 2)
        chars = [data[i:i + 2] for i in range(0, len(data), 2)]
        return b"".join(chars[:chars.index(b"\0\0")]).decode("utf-16-le")

    def new_handle(self, kind, obj=None):
        obj = obj if obj is not None else []
        self.handle_owner = getattr(self, "handle_owner", {})
        handle = self.next_handle
        self.handle_owner[handle] = self.who_called()
        self.next_handle += 4
        self.handles[handle] = (kind, obj)
        return handle

    def malloc(self, size, who):
        at = self.heap_next
        self.heap_next += (max(size, 1) + 15) & ~15
        if self.heap_next > HEAP + HEAP_SIZE:
            raise Stop("emulated heap exhausted")
        self.heap[at] = (size, who)
        return at

    def who_called(self):
        """The first functions of ours on the stack, for naming a block: the return addresses
        the stack holds, by the image's symbols."""
        esp = self.uc.reg_read(UC_X86_REG_ESP)
        words = struct.unpack("<64I", self.read(esp, 256))
        names = []
        for word in words:
            name = self.symbol(word)
            if name and name not in names:
                names.append(name)
            if len(names) == 3:
                break
        return " < ".join(names) or "?"

    def symbol(self, address):
        if not (IMAGE_BASE + self.text.VirtualAddress <= address < IMAGE_BASE + self.text.VirtualAddress
                + self.text.Misc_VirtualSize):
            return None
        if not self.symbols:
            # a stripped DLL keeps its symbols in the .debug file beside it
            debug = self.dll_path + ".debug"
            source = debug if os.path.exists(debug) else self.dll_path
            out = subprocess.run(["i686-w64-mingw32-nm", "-C", "--defined-only", source], capture_output=True,
                                 text=True).stdout
            for line in out.splitlines():
                parts = line.split(" ", 2)
                if len(parts) == 3 and parts[1] in "tT":
                    self.symbols.append((int(parts[0], 16) + self.delta, parts[2]))
            self.symbols.sort()
            if not self.symbols:
                self.symbols = [(0, "?")]
        import bisect
        i = bisect.bisect_right(self.symbols, (address, "\uffff")) - 1
        return self.symbols[i][1] if i >= 0 else None

    # ---- hooks ---------------------------------------------------------------------------
    def _on_bad_memory(self, uc, access, address, size, value, _):
        self.fault = "invalid memory access at 0x%08x (eip 0x%08x)" % (address, uc.reg_read(UC_X86_REG_EIP))
        return False

    def _on_thunk(self, uc, address, size, _):
        if address in self.host_callbacks:
            esp = uc.reg_read(UC_X86_REG_ESP)
            self.host_callbacks[address](self, esp + 4)
            return
        entry = self.thunk_names.get(address)
        if entry is None:
            return
        dll, name = entry
        stub = self.stubs.get(name)
        if stub is None:
            self.stop_reason = "the DLL called %s!%s, which this machine lacks" % (dll, name)
            uc.emu_stop()
            return
        if stub[0] is None:
            return  # x86 code of its own
        self.imports_called[name] = self.imports_called.get(name, 0) + 1
        esp = uc.reg_read(UC_X86_REG_ESP)
        count = stub[2] if len(stub) > 2 else stub[0] // 4
        args = struct.unpack("<%dI" % count, self.read(esp + 4, 4 * count)) if count else ()
        if TRACE:
            print("emu32 trace: %s(%s)" % (name, ", ".join("0x%x" % a for a in args)), file=sys.stderr)
        try:
            result = stub[1](self, *args)
        except Stop as stop:
            self.stop_reason = "%s: %s" % (name, stop)
            uc.emu_stop()
            return
        if isinstance(result, tuple):
            uc.reg_write(UC_X86_REG_EAX, result[0] & 0xFFFFFFFF)
            uc.reg_write(UC_X86_REG_EDX, result[1] & 0xFFFFFFFF)
        elif result is not None:
            uc.reg_write(UC_X86_REG_EAX, result & 0xFFFFFFFF)

    # ---- threads and errors --------------------------------------------------------------
    def gdt_entry_address(self, index):
        return GDT + 8 * index

    def last_error(self):
        return self.u32(self.thread.teb + 0x34)

    def set_last_error(self, code):
        self.put32(self.thread.teb + 0x34, code)

    # ---- calls ---------------------------------------------------------------------------
    CANARY = {UC_X86_REG_EBX: 0xB0B0B0B0, UC_X86_REG_ESI: 0x51515151, UC_X86_REG_EDI: 0xD1D1D1D1,
              UC_X86_REG_EBP: 0xEBEBEBEB}

    def call(self, address, args, thread=None, check=True):
        """Calls address as a 32-bit host does: arguments pushed right to left, then the
        return. Checks the callee's side of stdcall and the preserved state; returns EAX."""
        self.thread = thread or self.threads[0]
        uc = self.uc
        uc.reg_write(UC_X86_REG_FS, self.thread.selector)
        esp = self.thread.stack_top - 0x40
        uc.reg_write(UC_X86_REG_ESP, esp)
        for reg, value in self.CANARY.items():
            uc.reg_write(reg, value)
        uc.reg_write(UC_X86_REG_EFLAGS, 0x202)
        # the x87 as a host leaves it between calls: empty, default control word
        uc.reg_write(UC_X86_REG_FPSW, 0)
        uc.reg_write(UC_X86_REG_FPTAG, 0xFFFF)
        uc.reg_write(UC_X86_REG_FPCW, 0x37F)
        uc.reg_write(UC_X86_REG_MXCSR, 0x1F80)
        before = (uc.reg_read(UC_X86_REG_FPSW) & 0x3800, uc.reg_read(UC_X86_REG_FPTAG))
        for arg in reversed(args):
            esp -= 4
            self.put32(esp, arg)
        esp -= 4
        self.put32(esp, RETURN_MAGIC)
        uc.reg_write(UC_X86_REG_ESP, esp)
        self.stop_reason = self.fault = None
        self.calls += 1
        try:
            uc.emu_start(address, RETURN_MAGIC)
        except UcError as error:
            raise Stop("%s at eip 0x%08x%s" % (error, uc.reg_read(UC_X86_REG_EIP),
                                               ": " + self.fault if self.fault else ""))
        if self.stop_reason:
            raise Stop(self.stop_reason)
        if uc.reg_read(UC_X86_REG_EIP) != RETURN_MAGIC:
            raise Stop("stopped at 0x%08x before returning" % uc.reg_read(UC_X86_REG_EIP))
        if check:
            problems = []
            after_esp = uc.reg_read(UC_X86_REG_ESP)
            if after_esp != esp + 4 + 4 * len(args):
                problems.append("ESP off by %d bytes" % (after_esp - (esp + 4 + 4 * len(args))))
            for reg, value in self.CANARY.items():
                if uc.reg_read(reg) != value:
                    problems.append("callee-saved register changed")
            if uc.reg_read(UC_X86_REG_EFLAGS) & 0x400:
                problems.append("direction flag left set")
            if (uc.reg_read(UC_X86_REG_FPSW) & 0x3800, uc.reg_read(UC_X86_REG_FPTAG)) != before:
                problems.append("x87 stack not left empty")
            if uc.reg_read(UC_X86_REG_FPCW) != 0x37F or uc.reg_read(UC_X86_REG_MXCSR) & 0xFFC0 != 0x1F80:
                problems.append("FPU or SSE control word changed")
            if problems:
                raise Stop("; ".join(problems))
        return uc.reg_read(UC_X86_REG_EAX)

    # ---- load and unload -----------------------------------------------------------------
    def load(self):
        """As LoadLibrary: a fresh copy of the writable sections, the TLS callbacks, then
        the entry point with DLL_PROCESS_ATTACH."""
        for rva, size in self.writable:
            self.write(IMAGE_BASE + rva, self.pristine[rva: rva + size])
        self.module_tls_index = None
        tls = getattr(self.pe, "DIRECTORY_ENTRY_TLS", None)
        self.callbacks = []
        if tls:
            t = tls.struct
            # the loader's own static TLS index: not the DLL's to free
            self.module_tls_index = 0
            self.put32(t.AddressOfIndex, 0)
            template = self.read(t.StartAddressOfRawData, t.EndAddressOfRawData - t.StartAddressOfRawData)
            for thread in self.threads:
                block = self.alloc_data(len(template) + t.SizeOfZeroFill + 16)
                self.write(block, template)
                self.put32(thread.teb + 0x1000, block)  # the TLS array the TEB points to

            at = t.AddressOfCallBacks
            while self.u32(at):
                self.callbacks.append(self.u32(at))
                at += 4
        entry = IMAGE_BASE + self.pe.OPTIONAL_HEADER.AddressOfEntryPoint
        for callback in self.callbacks:
            self.call(callback, [IMAGE_BASE, 1, 0])
        if self.call(entry, [IMAGE_BASE, 1, 0]) == 0:
            raise Stop("DllMain refused DLL_PROCESS_ATTACH")

    def unload(self):
        """As FreeLibrary: the TLS callbacks, then the entry point, with DLL_PROCESS_DETACH
        (the loader's order for every reason)."""
        entry = IMAGE_BASE + self.pe.OPTIONAL_HEADER.AddressOfEntryPoint
        for callback in self.callbacks:
            self.call(callback, [IMAGE_BASE, 0, 0])
        self.call(entry, [IMAGE_BASE, 0, 0])

    def resources(self):
        """What the process holds now: TLS indexes, handles, heap blocks, vectored handlers."""
        return len(self.tls), len(self.handles), len(self.heap), len(self.vectored)
