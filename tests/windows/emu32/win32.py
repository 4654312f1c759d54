"""The Win32 and C runtime calls TrovelSdk.dll makes, as Windows documents them.

STUBS maps an import to (argument bytes the callee pops, function[, argument count]); the C
runtime's functions are cdecl (nothing popped) and give their count. (None, code) is a stub
written in x86 itself, for a runtime function that calls back into the DLL.
"""

import os
import re
import struct
import time

from machine import (ERROR_ACCESS_DENIED, ERROR_BAD_COMMAND, ERROR_ENVVAR_NOT_FOUND, ERROR_FILE_NOT_FOUND, ERROR_INVALID_HANDLE,
                     ERROR_MOD_NOT_FOUND, ERROR_PROC_NOT_FOUND, INVALID_HANDLE, MAXDWORD, TLS_SLOTS, Stop)

STUBS = {}
T0 = time.monotonic()


def stdcall(count):
    def wrap(fn):
        STUBS[fn.__name__] = (4 * count, fn)
        return fn
    return wrap


def cdecl(count):
    def wrap(fn):
        STUBS[fn.__name__.rstrip("_")] = (0, fn, count)
        return fn
    return wrap


# ---- handles and synchronisation ------------------------------------------------------------
@stdcall(1)
def CloseHandle(m, h):
    kind = m.handles.pop(h, None)
    if kind is None:
        m.set_last_error(ERROR_INVALID_HANDLE)
        return 0
    if kind[0] == "port":
        kind[1].close()
    return 1


@stdcall(4)
def CreateEventA(m, attributes, manual, initial, name):
    return m.new_handle("event", [bool(manual), bool(initial)])


@stdcall(4)
def CreateSemaphoreA(m, attributes, initial, maximum, name):
    return m.new_handle("semaphore", [initial, maximum])


@stdcall(1)
def SetEvent(m, h):
    m.handles[h][1][1] = True
    return 1


@stdcall(1)
def ResetEvent(m, h):
    m.handles[h][1][1] = False
    return 1


@stdcall(3)
def ReleaseSemaphore(m, h, count, previous):
    state = m.handles[h][1]
    if previous:
        m.put32(previous, state[0])
    state[0] += count
    return 1


@stdcall(2)
def WaitForSingleObject(m, h, ms):
    kind, state = m.handles.get(h, (None, None))
    if kind == "event" and state[1]:
        state[1] = state[0]
        return 0
    if kind == "semaphore" and state[0] > 0:
        state[0] -= 1
        return 0
    if ms == MAXDWORD:
        raise Stop("one thread would wait forever on handle 0x%x" % h)
    time.sleep(min(ms, 50) / 1000)
    return 0x102  # WAIT_TIMEOUT


@stdcall(7)
def DuplicateHandle(m, source_process, source, target_process, target, access, inherit, options):
    m.put32(target, m.new_handle("thread" if source == 0xFFFFFFFE else "copy"))
    return 1


@stdcall(0)
def GetCurrentProcess(m):
    return 0xFFFFFFFF


@stdcall(0)
def GetCurrentThread(m):
    return 0xFFFFFFFE


@stdcall(0)
def GetCurrentThreadId(m):
    return m.thread.tid


@stdcall(0)
def GetCurrentProcessId(m):
    return 0x10


@stdcall(1)
def InitializeCriticalSection(m, cs):
    m.write(cs, struct.pack("<IiiIII", 0, -1, 0, 0, 0, 0))


@stdcall(1)
def DeleteCriticalSection(m, cs):
    pass


@stdcall(1)
def EnterCriticalSection(m, cs):
    count = struct.unpack("<i", m.read(cs + 8, 4))[0]
    owner = m.u32(cs + 12)
    if count and owner != m.thread.tid:
        raise Stop("critical section held by another thread")
    m.write(cs + 8, struct.pack("<iI", count + 1, m.thread.tid))


@stdcall(1)
def TryEnterCriticalSection(m, cs):
    EnterCriticalSection(m, cs)
    return 1


@stdcall(1)
def LeaveCriticalSection(m, cs):
    count = struct.unpack("<i", m.read(cs + 8, 4))[0]
    m.write(cs + 8, struct.pack("<iI", count - 1, m.thread.tid if count > 1 else 0))


@stdcall(1)
def AcquireSRWLockExclusive(m, lock):
    if m.u32(lock):
        raise Stop("SRW lock 0x%08x taken again (by thread 0x%x)" % (lock, m.thread.tid))
    m.put32(lock, 1)


@stdcall(1)
def TryAcquireSRWLockExclusive(m, lock):
    if m.u32(lock):
        return 0
    m.put32(lock, 1)
    return 1


@stdcall(1)
def ReleaseSRWLockExclusive(m, lock):
    if m.u32(lock) != 1:
        raise Stop("SRW lock 0x%08x released while free" % lock)
    m.put32(lock, 0)


# The emulated threads take turns, one call at a time: no thread can be waiting on a condition
# variable while another runs, so a wake finds nobody, and a sleep can only time out (or wake
# spuriously, which Windows allows: the caller checks its predicate again).
@stdcall(1)
def WakeConditionVariable(m, cv):
    pass


@stdcall(1)
def WakeAllConditionVariable(m, cv):
    pass


@stdcall(4)
def SleepConditionVariableSRW(m, cv, lock, ms, flags):
    if flags:
        raise Stop("SleepConditionVariableSRW in shared mode, on a lock taken exclusively")
    if ms == MAXDWORD:
        raise Stop("one thread would wait forever on condition variable 0x%08x" % cv)
    ReleaseSRWLockExclusive(m, lock)
    time.sleep(min(ms, 50) / 1000)
    AcquireSRWLockExclusive(m, lock)
    if ms > 50:
        return 1
    m.set_last_error(1460)  # ERROR_TIMEOUT
    return 0


@stdcall(1)
def GetThreadPriority(m, h):
    return 0


@stdcall(2)
def SetThreadPriority(m, h, priority):
    return 1


@stdcall(2)
def GetHandleInformation(m, h, flags):
    if h not in m.handles:
        m.set_last_error(ERROR_INVALID_HANDLE)
        return 0
    m.put32(flags, 0)
    return 1


# ---- thread-local storage and errors --------------------------------------------------------
@stdcall(0)
def TlsAlloc(m):
    for index in range(TLS_SLOTS):
        if index not in m.tls and index != m.module_tls_index:
            m.tls.add(index)
            for thread in m.threads:
                m.tls_values[(thread.tid, index)] = 0
            return index
    return MAXDWORD


@stdcall(1)
def TlsFree(m, index):
    if index not in m.tls:
        return 0
    m.tls.discard(index)
    return 1


@stdcall(1)
def TlsGetValue(m, index):
    if index not in m.tls:
        m.set_last_error(87)
        return 0
    m.set_last_error(0)
    return m.tls_values.get((m.thread.tid, index), 0)


@stdcall(2)
def TlsSetValue(m, index, value):
    if index not in m.tls:
        # a freed index may already be another DLL's: writing it corrupts that one's value
        raise Stop("TlsSetValue(%d) on an index that is not allocated" % index)
    m.tls_values[(m.thread.tid, index)] = value
    return 1


@stdcall(0)
def GetLastError(m):
    return m.last_error()


@stdcall(1)
def SetLastError(m, code):
    m.set_last_error(code)


# ---- time -----------------------------------------------------------------------------------
@stdcall(0)
def GetTickCount64(m):
    ms = int((time.monotonic() - T0) * 1000) + 1000000
    return (ms & 0xFFFFFFFF, ms >> 32)


@stdcall(1)
def QueryPerformanceCounter(m, out):
    m.write(out, struct.pack("<Q", int(time.monotonic() * 10_000_000)))
    return 1


@stdcall(1)
def QueryPerformanceFrequency(m, out):
    m.write(out, struct.pack("<Q", 10_000_000))
    return 1


@stdcall(1)
def GetSystemTimeAsFileTime(m, out):
    m.write(out, struct.pack("<Q", int(time.time() * 10_000_000) + 116444736000000000))


@stdcall(1)
def Sleep(m, ms):
    time.sleep(ms / 1000)


# ---- modules, memory, the environment -------------------------------------------------------
@stdcall(1)
def GetModuleHandleA(m, name):
    if name == 0:
        return 0x00400000
    m.set_last_error(ERROR_MOD_NOT_FOUND)
    return 0


@stdcall(1)
def GetModuleHandleW(m, name):
    return GetModuleHandleA(m, name)


@stdcall(3)
def GetModuleHandleExA(m, flags, name, out):
    # FROM_ADDRESS: the module an address lies in; UNCHANGED_REFCOUNT changes nothing here
    from machine import IMAGE_BASE
    if flags & 4 and IMAGE_BASE <= name < IMAGE_BASE + m.image_size:
        m.put32(out, IMAGE_BASE)
        return 1
    if not flags & 4 and name == 0:
        m.put32(out, 0x00400000)
        return 1
    m.put32(out, 0)
    m.set_last_error(ERROR_MOD_NOT_FOUND)
    return 0


@stdcall(3)
def GetModuleFileNameA(m, module, buffer, size):
    from machine import IMAGE_BASE
    path = {IMAGE_BASE: m.dll_folder + "\\TrovelSdk.dll", 0: m.dll_folder + "\\host.exe",
            0x00400000: m.dll_folder + "\\host.exe"}.get(module)
    if path is None:
        m.set_last_error(ERROR_MOD_NOT_FOUND)
        return 0
    data = path.encode()
    if len(data) >= size:  # cut and terminated, the whole size returned (Vista and later)
        if size:
            m.write(buffer, data[:size - 1] + b"\0")
        m.set_last_error(122)
        return size
    m.write(buffer, data + b"\0")
    return len(data)


@stdcall(2)
def GetProcAddress(m, module, name):
    m.set_last_error(ERROR_PROC_NOT_FOUND)
    return 0


@stdcall(3)
def VirtualQuery(m, address, info, size):
    from machine import IMAGE_BASE
    m.write(info, struct.pack("<IIIIIII", address & ~0xFFF, IMAGE_BASE, 0x80, 0x1000, 0x1000, 0x04, 0x1000000))
    return 28


@stdcall(4)
def VirtualProtect(m, address, size, protect, old):
    m.put32(old, 0x04)
    return 1


@stdcall(2)
def AddVectoredExceptionHandler(m, first, handler):
    cookie = 0x5EC00000 + len(m.vectored) + 1
    while cookie in m.vectored:
        cookie += 1
    m.vectored.add(cookie)
    return cookie


@stdcall(1)
def RemoveVectoredExceptionHandler(m, cookie):
    if cookie in m.vectored:
        m.vectored.discard(cookie)
        return 1
    return 0


@stdcall(3)
def GetEnvironmentVariableA(m, name, buffer, size):
    value = m.environment.get(m.cstring(name).decode(), None) if hasattr(m, "environment") else None
    if value is None:
        m.set_last_error(ERROR_ENVVAR_NOT_FOUND)
        return 0
    data = value.encode()
    if len(data) + 1 > size:
        return len(data) + 1
    m.write(buffer, data + b"\0")
    return len(data)


@stdcall(0)
def IsDebuggerPresent(m):
    return 0


# ---- COM ports ------------------------------------------------------------------------------
@stdcall(7)
def CreateFileW(m, name, access, share, security, disposition, flags, template):
    path = m.wstring(name)
    upper = path.upper()
    number = int(upper[7:]) if upper.startswith("\\\\.\\COM") and upper[7:].isdigit() else None
    port = m.ports.get(number)
    if port is None or not os.path.exists(port.link):
        m.set_last_error(ERROR_FILE_NOT_FOUND)
        return INVALID_HANDLE
    if port.fd is not None:  # a COM port opens once at a time, for this process too
        m.set_last_error(ERROR_ACCESS_DENIED)
        return INVALID_HANDLE
    try:
        port.open()
    except OSError:
        m.set_last_error(ERROR_FILE_NOT_FOUND)
        return INVALID_HANDLE
    return m.new_handle("port", port)


def port_of(m, h):
    kind = m.handles.get(h)
    if kind is None or kind[0] != "port":
        m.set_last_error(ERROR_INVALID_HANDLE)
        return None
    return kind[1]


@stdcall(2)
def GetCommState(m, h, dcb):
    port = port_of(m, h)
    if port is None:
        return 0
    m.write(dcb, struct.pack("<IIIHHHBBBbbbbbH", 28, port.baud, port.dcb_bits(), 0, 2048, 512, port.size, port.parity,
                             port.stop, 0x11, 0x13, 0, 0x1A, 0, 0))
    return 1


@stdcall(2)
def SetCommState(m, h, dcb):
    port = port_of(m, h)
    if port is None:
        return 0
    fields = struct.unpack("<IIIHHHBBBbbbbbH", m.read(dcb, 28))
    port.baud, bits, port.size, port.parity, port.stop = fields[1], fields[2], fields[6], fields[7], fields[8]
    port.set_dcb_bits(bits)
    try:
        port.apply()
    except OSError:
        m.set_last_error(ERROR_BAD_COMMAND)
        return 0
    return 1


@stdcall(2)
def GetCommTimeouts(m, h, out):
    port = port_of(m, h)
    if port is None:
        return 0
    m.write(out, struct.pack("<5I", *port.timeouts))
    return 1


@stdcall(2)
def SetCommTimeouts(m, h, timeouts):
    port = port_of(m, h)
    if port is None:
        return 0
    port.timeouts = struct.unpack("<5I", m.read(timeouts, 20))
    return 1


@stdcall(3)
def SetupComm(m, h, inq, outq):
    return 1 if port_of(m, h) else 0


@stdcall(2)
def PurgeComm(m, h, flags):
    port = port_of(m, h)
    if port is None:
        return 0
    try:
        if flags & 8:  # PURGE_RXCLEAR
            while port._take(4096):
                pass
    except OSError:
        m.set_last_error(ERROR_BAD_COMMAND)
        return 0
    return 1


@stdcall(3)
def ClearCommError(m, h, errors, status):
    port = port_of(m, h)
    if port is None:
        return 0
    if not os.path.exists(port.link):
        m.set_last_error(ERROR_BAD_COMMAND)  # what a pulled USB adapter's handle answers
        return 0
    if errors:
        m.put32(errors, 0)
    if status:
        try:
            queued = port.queued()
        except OSError:
            m.set_last_error(ERROR_BAD_COMMAND)
            return 0
        m.write(status, struct.pack("<III", 0, queued, 0))
    return 1


@stdcall(5)
def ReadFile(m, h, buffer, count, got, overlapped):
    port = port_of(m, h)
    if port is None:
        return 0
    try:
        data = port.read(count)
    except OSError:
        m.put32(got, 0)
        m.set_last_error(ERROR_BAD_COMMAND)
        return 0
    m.write(buffer, data)
    m.put32(got, len(data))
    return 1


@stdcall(5)
def WriteFile(m, h, buffer, count, written, overlapped):
    port = port_of(m, h)
    if port is None:
        return 0
    try:
        done = port.write(m.read(buffer, count))
    except OSError:
        m.put32(written, 0)
        m.set_last_error(ERROR_BAD_COMMAND)
        return 0
    m.put32(written, done)
    if m.frames is not None:
        m.frames.append(m.read(buffer, count))
    return 1


@stdcall(3)
def QueryDosDeviceA(m, name, buffer, size):
    data = b"".join(b"COM%d\0" % n for n in sorted(m.ports)) + b"\0"
    if len(data) > size:
        m.set_last_error(122)
        return 0
    m.write(buffer, data)
    return len(data)


# ---- SetupAPI and the registry: the Ports class, empty as under Wine -------------------------
ERROR_NO_MORE_ITEMS, ERROR_INVALID_PARAMETER = 259, 87


@stdcall(4)
def SetupDiGetClassDevsW(m, guid, enumerator, parent, flags):
    return m.new_handle("device list", [])


@stdcall(1)
def SetupDiDestroyDeviceInfoList(m, h):
    if m.handles.get(h, ("",))[0] != "device list":
        m.set_last_error(ERROR_INVALID_HANDLE)
        return 0
    del m.handles[h]
    return 1


def _device(m, h, index):
    """The index-th device of a list, or None with the error Windows gives."""
    kind = m.handles.get(h)
    if kind is None or kind[0] != "device list":
        m.set_last_error(ERROR_INVALID_HANDLE)
        return None
    if index >= len(kind[1]):
        m.set_last_error(ERROR_NO_MORE_ITEMS)
        return None
    return kind[1][index]


@stdcall(3)
def SetupDiEnumDeviceInfo(m, h, index, data):
    if m.u32(data) != 28:  # SP_DEVINFO_DATA.cbSize on a 32-bit host
        m.set_last_error(ERROR_INVALID_PARAMETER)
        return 0
    return 0 if _device(m, h, index) is None else 1


# Asked only about a device the list gave, and it gives none: what Windows says of a bad one.
@stdcall(6)
def SetupDiOpenDevRegKey(m, h, data, scope, profile, kind, access):
    _device(m, h, MAXDWORD)
    return INVALID_HANDLE


@stdcall(7)
def SetupDiGetDeviceRegistryPropertyW(m, h, data, prop, kind, buffer, size, required):
    _device(m, h, MAXDWORD)
    return 0


@stdcall(5)
def SetupDiGetDeviceInstanceIdW(m, h, data, buffer, size, required):
    _device(m, h, MAXDWORD)
    return 0


@stdcall(6)
def RegQueryValueExW(m, key, name, reserved, kind, data, size):
    return ERROR_INVALID_HANDLE  # no key is ever opened: see SetupDiOpenDevRegKey


@stdcall(1)
def RegCloseKey(m, key):
    return ERROR_INVALID_HANDLE


# ---- the C runtime --------------------------------------------------------------------------
@cdecl(1)
def malloc(m, size):
    return m.malloc(size, m.who_called())


@cdecl(2)
def calloc(m, count, size):
    at = m.malloc(count * size, m.who_called())
    m.write(at, bytes(count * size))
    return at


@cdecl(1)
def free(m, at):
    if at and m.heap.pop(at, None) is None:
        raise Stop("free of 0x%08x, which is no live block" % at)


@cdecl(2)
def realloc(m, at, size):
    if at == 0:
        return malloc(m, size)
    old = m.heap.get(at)
    if old is None:
        raise Stop("realloc of 0x%08x, which is no live block" % at)
    new = m.malloc(size, old[1])
    m.write(new, m.read(at, min(size, old[0])))
    del m.heap[at]
    return new


@cdecl(3)
def memcpy(m, dst, src, n):
    m.write(dst, m.read(src, n))
    return dst


STUBS["memmove"] = STUBS["memcpy"]


@cdecl(3)
def memset(m, dst, value, n):
    m.write(dst, bytes([value & 0xFF]) * n)
    return dst


@cdecl(3)
def memcmp(m, a, b, n):
    x, y = m.read(a, n), m.read(b, n)
    return 0 if x == y else (-1 if x < y else 1)


@cdecl(3)
def memchr(m, at, value, n):
    data = m.read(at, n)
    i = data.find(bytes([value & 0xFF]))
    return 0 if i < 0 else at + i


@cdecl(1)
def strlen(m, at):
    return len(m.cstring(at, 1 << 16))


@cdecl(1)
def wcslen(m, at):
    return len(m.wstring(at))


@cdecl(2)
def strcmp(m, a, b):
    x, y = m.cstring(a), m.cstring(b)
    return 0 if x == y else (-1 if x < y else 1)


@cdecl(3)
def strncmp(m, a, b, n):
    x, y = m.cstring(a)[:n], m.cstring(b)[:n]
    return 0 if x == y else (-1 if x < y else 1)


@cdecl(2)
def strchr(m, at, value):
    text = m.cstring(at) + b"\0"
    i = text.find(bytes([value & 0xFF]))
    return 0 if i < 0 else at + i


@cdecl(1)
def iswdigit(m, c):
    return 1 if 0x30 <= (c & 0xFFFF) <= 0x39 else 0


@cdecl(3)
def strtoul(m, at, end, base):
    text = m.cstring(at).decode("latin-1")
    found = re.match(r"\s*[+]?(0[xX][0-9a-fA-F]+|[0-9a-zA-Z]+)?", text)
    digits = found.group(1) or ""
    value, used = 0, 0
    b = base or (16 if digits[:2].lower() == "0x" else 8 if digits[:1] == "0" and len(digits) > 1 else 10)
    if b == 16 and digits[:2].lower() == "0x":
        digits, used = digits[2:], 2
    for c in digits:
        d = int(c, 36) if c.isalnum() else 99
        if d >= b:
            break
        value, used = value * b + d, used + 1
    if end:
        m.put32(end, at + (found.start(1) if found.group(1) else 0) + used if used else at)
    return min(value, MAXDWORD)


@cdecl(1)
def atoi(m, at):
    found = re.match(rb"\s*([+-]?[0-9]+)", m.cstring(at))
    return int(found.group(1)) if found else 0


@cdecl(3)
def _ultoa(m, value, at, base):
    digits = ""
    while True:
        digits = "0123456789abcdefghijklmnopqrstuvwxyz"[value % base] + digits
        value //= base
        if not value:
            break
    m.write(at, digits.encode() + b"\0")
    return at


@cdecl(0)
def _errno(m):
    return m.thread.errno


@cdecl(1)
def _lock(m, n):
    pass


@cdecl(1)
def _unlock(m, n):
    pass


# ---- files: the DLL's folder, read only -----------------------------------------------------
ENOENT, EBADF, EACCES, EINVAL = 2, 9, 13, 22


def _errno_is(m, code):
    m.put32(m.thread.errno, code)


def _host_path(m, path):
    # Windows takes '/' as a separator too
    if m.host_folder is None or not re.match(re.escape(m.dll_folder.lower()) + r"[\\/]", path.lower()):
        return None
    return os.path.join(m.host_folder, *re.split(r"[\\/]", path[len(m.dll_folder) + 1:]))


@cdecl(2)
def fopen(m, name, mode):
    path, how = _host_path(m, m.cstring(name).decode("latin-1")), m.cstring(mode)
    if how[:1] != b"r" or b"+" in how:
        _errno_is(m, EACCES)
        return 0
    try:
        handle = os.open(path, os.O_RDONLY) if path else None
    except OSError:
        handle = None
    if handle is None:
        _errno_is(m, ENOENT)
        return 0
    stream = m.alloc_data(32)  # a FILE: the DLL never looks inside one, the runtime does
    m.files[stream] = handle
    return stream


@cdecl(1)
def fclose(m, stream):
    handle = m.files.pop(stream, None)
    if handle is None:
        _errno_is(m, EBADF)
        return MAXDWORD
    os.close(handle)
    return 0


@cdecl(1)
def _fileno(m, stream):
    if stream not in m.files:
        _errno_is(m, EBADF)
        return MAXDWORD
    return 3 + list(m.files).index(stream)


def _descriptor(m, fd):
    streams = list(m.files)
    return m.files[streams[fd - 3]] if 3 <= fd < 3 + len(streams) else None


@cdecl(3)
def _read(m, fd, buffer, count):
    handle = _descriptor(m, fd)
    if handle is None:
        _errno_is(m, EBADF)
        return MAXDWORD
    data = os.read(handle, count)
    m.write(buffer, data)
    return len(data)


@cdecl(4)
def _lseeki64(m, fd, low, high, whence):
    handle = _descriptor(m, fd)
    if handle is None:
        _errno_is(m, EBADF)
        return (MAXDWORD, MAXDWORD)
    at = os.lseek(handle, struct.unpack("<q", struct.pack("<II", low, high))[0], whence)
    return (at & MAXDWORD, at >> 32)


@cdecl(2)
def _fstat64(m, fd, out):
    handle = _descriptor(m, fd)
    if handle is None:
        _errno_is(m, EBADF)
        return MAXDWORD
    size = os.fstat(handle).st_size
    # struct _stat64: dev, ino, mode, nlink, uid, gid, rdev, (pad), size, atime, mtime, ctime
    m.write(out, struct.pack("<IHHhhhxxIxxxxqqqq", 0, 0, 0o100444, 1, 0, 0, 0, size, 0, 0, 0))
    return 0


# ---- text: the C locale ----------------------------------------------------------------------
def _codec(page):
    return "utf-8" if page == 65001 else "latin-1"  # CP_UTF8; the ANSI page taken as Latin-1


@stdcall(8)
def WideCharToMultiByte(m, page, flags, wide, count, out, size, default, used):
    text = m.wstring(wide) + "\0" if count == MAXDWORD else m.read(wide, 2 * count).decode("utf-16-le")
    data = text.encode(_codec(page), errors="replace")
    if size == 0:
        return len(data)
    if len(data) > size:
        m.set_last_error(122)
        return 0
    m.write(out, data)
    return len(data)


@stdcall(6)
def MultiByteToWideChar(m, page, flags, text, count, out, size):
    data = m.cstring(text) + b"\0" if count == MAXDWORD else m.read(text, count)
    wide = data.decode(_codec(page), errors="replace").encode("utf-16-le")
    if size == 0:
        return len(wide) // 2
    if len(wide) // 2 > size:
        m.set_last_error(122)
        return 0
    m.write(out, wide)
    return len(wide) // 2


@cdecl(1)
def tolower(m, c):
    return c + 32 if 0x41 <= c <= 0x5A else c


@cdecl(1)
def towlower(m, c):
    return ord(chr(c & 0xFFFF).lower()[0])


@cdecl(1)
def towupper(m, c):
    return ord(chr(c & 0xFFFF).upper()[0])


@cdecl(2)
def iswctype(m, c, mask):
    # _UPPER 1, _LOWER 2, _DIGIT 4, _SPACE 8, _PUNCT 0x10, _CONTROL 0x20, _BLANK 0x40, _HEX 0x80, _ALPHA 0x103
    ch = chr(c & 0xFFFF)
    bits = (1 if ch.isupper() else 0) | (2 if ch.islower() else 0) | (4 if ch.isdigit() else 0)
    bits |= (8 if ch.isspace() else 0) | (0x10 if ch.isprintable() and not ch.isalnum() and not ch.isspace() else 0)
    bits |= (0x20 if ord(ch) < 32 or ord(ch) == 127 else 0) | (0x40 if ch in " \t" else 0)
    bits |= (0x80 if ch in "0123456789abcdefABCDEF" else 0) | (0x100 if ch.isalpha() else 0)
    return bits & mask


@cdecl(1)
def iswxdigit(m, c):
    return 0x80 if chr(c & 0xFFFF) in "0123456789abcdefABCDEF" else 0


@cdecl(2)
def strcoll(m, a, b):
    return strcmp(m, a, b)


@cdecl(2)
def wcscoll(m, a, b):
    x, y = m.wstring(a), m.wstring(b)
    return 0 if x == y else (-1 if x < y else 1)


@cdecl(3)
def strxfrm(m, out, text, size):
    data = m.cstring(text)
    if len(data) < size:
        m.write(out, data + b"\0")
    return len(data)


@cdecl(3)
def wcsxfrm(m, out, text, size):
    wide = m.wstring(text)
    if len(wide) < size:
        m.write(out, (wide + "\0").encode("utf-16-le"))
    return len(wide)


@cdecl(0)
def localeconv(m):
    # struct lconv of the C locale: "." and empty strings, CHAR_MAX for the numbers
    if not hasattr(m, "lconv"):
        strings = m.alloc_data(4)
        m.write(strings, b".\0\0\0")
        m.lconv = m.alloc_data(64)
        m.write(m.lconv, struct.pack("<10I", strings, strings + 2, strings + 2, strings + 2, strings + 2, strings + 2,
                                     strings + 2, strings + 2, strings + 2, strings + 2) + b"\x7F" * 8)
    return m.lconv


# The C locale is all the DLL's streams use (the ini file's).
@cdecl(2)
def setlocale(m, category, locale):
    if not hasattr(m, "c_locale"):
        m.c_locale = m.alloc_data(2)
        m.write(m.c_locale, b"C\0")
    if locale and m.cstring(locale) not in (b"C", b""):
        return 0
    return m.c_locale


# _initterm(begin, end): calls each non-null function pointer in [begin, end), in x86 so that
# the calls run in the emulated DLL.
STUBS["_initterm"] = (None, bytes.fromhex("5657 8b74240c 8b7c2410 39fe 730d 8b06 85c0 7402 ffd0 83c604 ebef 5f5e c3"))

# Data imports: (size, initial bytes) of what the IAT entry points to.
DATA_IMPORTS = {
    "__mb_cur_max": (4, struct.pack("<I", 1)),
    "_iob": (32 * 3, bytes(32 * 3)),
}
