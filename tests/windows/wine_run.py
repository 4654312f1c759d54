#!/usr/bin/env python3
"""Runs a Windows test program under wine64 with a serial line partner on a COM port.

The partner sits on the master side of a Linux pseudo-terminal whose slave the wine prefix
maps to COMn (symlink $WINEPREFIX/dosdevices/comN). It is either

  --peer SCRIPT      the scripted controller of this file, answering per a rule file, or
  --partner COMMAND  any Linux program that creates the pty and the link itself, such as
                     "trovel-sim --link {link}" ({link} is replaced by the symlink path);
                     given twice, two programs on two COM ports.

The program learns its ports from the environment: TROVEL_TEST_COM is the line's port
number (TROVEL_TEST_COM2 the second partner's; TROVEL_TEST_RTU_URL and TROVEL_TEST_MODBUS_URL
the network ports a simulator partner printed), TROVEL_TEST_ABSENT_COM a port number that
maps to no device.

Rule files (one rule a line, '#' starts a comment):

    REQUEST HEX => ACTION; ACTION; ...

When the bytes received from the line equal a rule's request, the peer runs its actions:
    wait MS      pause
    send HEX     write the bytes at once
    paced HEX    write the bytes one by one, 0.52 ms apart (19200 baud)
    fill N HEX   write N copies of the byte at once
    status       answer the request, a read of 5 registers, with the line format the program
                 set (baud, data bits, parity as a letter, stop bits) and how often it
                 closed the port so far
    since        answer the request, a read of 1 register, with the tenths of a millisecond
                 from the peer's last byte to the arrival of this request
    silent       do nothing
Bytes that match no rule fail the run.

Usage:
    wine_run.py --prefix DIR --init
    wine_run.py --prefix DIR (--peer SCRIPT | --partner COMMAND [--partner COMMAND])
                [--timeout S] -- PROGRAM [ARGS]
"""

import argparse
import contextlib
import fcntl
import os
import pty
import re
import select
import shlex
import shutil
import signal
import subprocess
import sys
import termios
import threading
import time
import tty

FIRST_TEST_PORT = 40   # above the ports wine maps to the machine's own serial devices
LAST_TEST_PORT = 250
ABSENT_PORT = 1000     # never mapped: opening it must fail
BYTE_TIME = 0.000521   # 10 bits at 19200 baud
PARTIAL_REQUEST_WAIT = 0.5


def fail(message):
    print(f"wine_run: {message}", file=sys.stderr)
    sys.exit(2)


# ---- wine -------------------------------------------------------------------------------

def find_wine():
    """wine64 and wineserver; Debian keeps them in /usr/lib/wine, off PATH."""
    candidates = [os.environ.get("TROVEL_WINE64"), "/usr/lib/wine/wine64", shutil.which("wine64")]
    wine = next((c for c in candidates if c and os.access(c, os.X_OK)), None)
    if wine is None:
        fail("wine64 not found (install the Debian package wine64, or set TROVEL_WINE64)")
    server = os.path.join(os.path.dirname(wine), "wineserver")
    if not os.access(server, os.X_OK):
        server = shutil.which("wineserver") or fail("wineserver not found next to " + wine)
    return wine, server


def wine_environment(prefix):
    env = dict(os.environ)
    env.update(WINEPREFIX=prefix, WINEDEBUG="-all",
               # No Mono or Gecko: nothing here needs them, and their installers would prompt.
               WINEDLLOVERRIDES="mscoree,mshtml=", WINEARCH="win64")
    env.pop("DISPLAY", None)
    return env


@contextlib.contextmanager
def file_lock(path):
    with open(path, "a") as handle:
        fcntl.flock(handle, fcntl.LOCK_EX)
        yield


def ensure_prefix(prefix, wine, server):
    """Creates the prefix once; later runs reuse it."""
    os.makedirs(os.path.dirname(os.path.abspath(prefix)), exist_ok=True)
    with file_lock(prefix + ".lock"):
        if os.path.exists(os.path.join(prefix, "system.reg")):
            return
        started = time.monotonic()
        with open(prefix + ".init.log", "w") as log:
            result = subprocess.run([wine, "wineboot", "-i"], env=wine_environment(prefix),
                                    stdin=subprocess.DEVNULL, stdout=log, stderr=log, timeout=300)
            # The registry reaches the disk when the server ends.
            subprocess.run([server, "-w"], env=wine_environment(prefix), stdin=subprocess.DEVNULL,
                           stdout=log, stderr=log, timeout=60)
        if result.returncode != 0 or not os.path.exists(os.path.join(prefix, "system.reg")):
            fail(f"creating the wine prefix {prefix} failed; see {prefix}.init.log")
        print(f"wine_run: created wine prefix {prefix} in {time.monotonic() - started:.1f} s")


def start_server(prefix, server):
    """Starts the prefix's wineserver with its output in a log, so that it never holds the
    caller's pipes (ctest waits for those) and its diagnostics stay out of test output."""
    with open(prefix + ".server.log", "a") as log:
        subprocess.run([server, "-p3"], env=wine_environment(prefix), stdin=subprocess.DEVNULL,
                       stdout=log, stderr=log)


# ---- the line ---------------------------------------------------------------------------

@contextlib.contextmanager
def claimed_port(prefix):
    """A COM number no other run uses at the same time, with its link path."""
    devices = os.path.join(prefix, "dosdevices")
    for number in range(FIRST_TEST_PORT, LAST_TEST_PORT + 1):
        handle = open(os.path.join(devices, f".com{number}.lock"), "a")
        try:
            fcntl.flock(handle, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            handle.close()
            continue
        link = os.path.join(devices, f"com{number}")
        try:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(link)
            yield number, link
        finally:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(link)
            handle.close()
        return
    fail("no free COM number for the test line")


@contextlib.contextmanager
def claimed_ports(prefix, count):
    """`count` distinct COM numbers with their link paths."""
    with contextlib.ExitStack() as stack:
        yield [stack.enter_context(claimed_port(prefix)) for _ in range(count)]


def hold_controlling_terminal(slave_path):
    """Makes the pty the controlling terminal of a session of ours. Otherwise wineserver, a
    session leader, acquires it when it opens the device and takes a SIGHUP (which makes it
    dump its state) whenever the partner closes the master."""
    def acquire():
        fd = os.open(slave_path, os.O_RDWR)
        fcntl.ioctl(fd, termios.TIOCSCTTY, 0)
        os.close(fd)
    return subprocess.Popen(["sleep", "infinity"], start_new_session=True, preexec_fn=acquire,
                            stdin=subprocess.DEVNULL)


def parse_hex(text):
    return bytes.fromhex(text.replace(",", " "))


def with_crc(frame):
    """The Modbus RTU frame with its CRC appended, low byte first."""
    crc = 0xFFFF
    for byte in frame:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return bytes(frame) + bytes([crc & 0xFF, crc >> 8])


def read_answer(request, registers):
    """The answer to a read request (function 3) carrying the given register values."""
    data = b"".join(min(value, 0xFFFF).to_bytes(2, "big") for value in registers)
    return with_crc(bytes([request[0], request[1], len(data)]) + data)


def read_rules(path):
    rules = []
    with open(path, encoding="utf-8") as lines:
        for number, line in enumerate(lines, 1):
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            request, arrow, script = line.partition("=>")
            actions = []
            for action in filter(None, (a.strip() for a in script.split(";"))):
                verb, _, argument = action.partition(" ")
                if verb == "wait":
                    actions.append((verb, float(argument) / 1000.0))
                elif verb in ("send", "paced"):
                    actions.append((verb, parse_hex(argument)))
                elif verb == "fill":
                    count, byte = argument.split()
                    actions.append(("send", parse_hex(byte) * int(count)))
                elif verb in ("status", "since", "silent") and not argument:
                    actions.append((verb, None))
                else:
                    fail(f"{path}:{number}: unknown action {action!r}")
            if not request.strip() or not arrow:
                fail(f"{path}:{number}: expected 'REQUEST => ACTIONS'")
            rules.append((parse_hex(request), actions))
    return rules


class ScriptedPeer:
    """The controller side of the line: answers requests per the rules, logs everything."""

    def __init__(self, rules, link, log):
        self.rules = rules
        self.log = log
        self.failures = []
        self.closes = 0
        self.started = time.monotonic()
        self.last_sent_at = self.started
        self.request_at = self.started
        self.master, slave = pty.openpty()
        tty.setraw(slave)
        self.slave_path = os.ttyname(slave)
        # Closed here, so that the master sees every close of the program's handle.
        os.close(slave)
        os.symlink(self.slave_path, link)
        self.holder = hold_controlling_terminal(self.slave_path)
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def note(self, text):
        self.log.write(f"{(time.monotonic() - self.started) * 1000.0:9.1f} ms  {text}\n")
        self.log.flush()

    def write(self, data, paced):
        if paced:
            start = time.monotonic()
            for index in range(len(data)):
                delay = start + (index + 1) * BYTE_TIME - time.monotonic()
                if delay > 0:
                    time.sleep(delay)
                os.write(self.master, data[index:index + 1])
        else:
            view = memoryview(data)
            while view:
                try:
                    view = view[os.write(self.master, view):]
                except BlockingIOError:
                    select.select([], [self.master], [], 0.01)
        self.last_sent_at = time.monotonic()
        self.note(f"sent {data[:16].hex(' ')}{' ...' if len(data) > 16 else ''} ({len(data)} bytes)")

    def status(self):
        """Baud, data bits, parity letter, stop bits, closes."""
        attributes = termios.tcgetattr(self.master)  # a pty master reports its slave's settings
        cflag, speed = attributes[2], attributes[5]
        bauds = {getattr(termios, name): int(name[1:]) for name in dir(termios)
                 if name.startswith("B") and name[1:].isdigit()}
        sizes = {termios.CS5: 5, termios.CS6: 6, termios.CS7: 7, termios.CS8: 8}
        parity = "N" if not cflag & termios.PARENB else ("O" if cflag & termios.PARODD else "E")
        stop = 2 if cflag & termios.CSTOPB else 1
        return [bauds.get(speed, 0), sizes[cflag & termios.CSIZE], ord(parity), stop, self.closes]

    def answer(self, request, actions):
        for verb, argument in actions:
            if verb == "wait":
                time.sleep(argument)
            elif verb in ("send", "paced"):
                self.write(argument, verb == "paced")
            elif verb == "status":
                self.write(read_answer(request, self.status()), False)
            elif verb == "since":
                tenths = round((self.request_at - self.last_sent_at) * 10000.0)
                self.write(read_answer(request, [max(tenths, 0)]), False)

    def run(self):
        pending = b""
        pending_since = None
        opened = False
        while not self.stopping.is_set():
            ready = select.poll()
            ready.register(self.master, select.POLLIN)
            revents = sum(event for _, event in ready.poll(20))
            if revents & select.POLLHUP and not revents & select.POLLIN:
                if opened:
                    self.closes += 1
                    self.note("program closed the port")
                opened = False
                time.sleep(0.005)  # the hang-up stays signalled until the port is opened again
            elif not revents & select.POLLHUP:
                opened = True
            if revents & select.POLLIN:
                try:
                    data = os.read(self.master, 4096)
                except OSError:
                    data = b""
                if data:
                    if not pending:
                        self.request_at = time.monotonic()
                    self.note(f"got {data.hex(' ')}")
                    pending += data
                    pending_since = time.monotonic()
            while pending:
                match = next(((request, actions) for request, actions in self.rules
                              if pending.startswith(request)), None)
                if match:
                    pending = pending[len(match[0]):]
                    self.answer(match[0], match[1])
                    continue
                waiting = any(request.startswith(pending) for request, _ in self.rules)
                if waiting and time.monotonic() - pending_since < PARTIAL_REQUEST_WAIT:
                    break
                self.failures.append(f"bytes that match no rule: {pending.hex(' ')}")
                self.note(f"no rule for {pending.hex(' ')}")
                pending = b""

    def stop(self):
        self.stopping.set()
        self.thread.join()
        self.holder.kill()
        self.holder.wait()
        os.close(self.master)


class PartnerProgram:
    """A Linux program that makes the pty and the link itself (the controller simulator)."""

    def __init__(self, command, link, log):
        argv = [part.replace("{link}", link) for part in shlex.split(command)]
        if not argv or not shutil.which(argv[0]):
            fail(f"partner program {argv[0] if argv else ''!r} not found")
        self.process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        self.failures = []
        deadline = time.monotonic() + 10.0
        while not os.path.exists(link):
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.stop()
                fail(f"{argv[0]} did not create {link}")
            time.sleep(0.02)
        self.holder = hold_controlling_terminal(os.path.realpath(link))
        self.urls = self.network_urls(log.name, argv, deadline)

    def network_urls(self, log_path, argv, deadline):
        """The URLs a simulator prints for its TCP ports (port 0 picks a free one)."""
        wanted = sum(1 for a in argv if a.startswith("--listen"))
        while True:
            with open(log_path, encoding="utf-8", errors="replace") as printed:
                urls = list(dict.fromkeys(re.findall(r"\b(?:rtu|modbus)\+tcp://[^\s,]+", printed.read())))
            if len(urls) >= wanted or time.monotonic() > deadline:
                return urls
            time.sleep(0.02)

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        if getattr(self, "holder", None):
            self.holder.kill()
            self.holder.wait()


# ---- main -------------------------------------------------------------------------------

def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--prefix", required=True, help="wine prefix, created when missing")
    parser.add_argument("--init", action="store_true", help="only create the prefix")
    partner = parser.add_mutually_exclusive_group()
    partner.add_argument("--peer", help="rule file of the scripted peer")
    partner.add_argument("--partner", action="append",
                         help="Linux program that creates the pty and {link}; twice for two lines")
    parser.add_argument("--timeout", type=float, default=120.0)
    parser.add_argument("--log", help="line log (default: PROGRAM.line.log)")
    parser.add_argument("program", nargs="*")
    args = parser.parse_args()

    prefix = os.path.abspath(args.prefix)
    wine, server = find_wine()
    ensure_prefix(prefix, wine, server)
    if args.init:
        return 0
    if not args.program or not (args.peer or args.partner):
        parser.error("a program and --peer or --partner are needed")
    if args.partner and len(args.partner) > 2:
        parser.error("at most two partners")

    start_server(prefix, server)
    log_path = args.log or os.path.splitext(args.program[0])[0] + ".line.log"
    commands = args.partner or [None]
    lines = []
    empty_run = False
    with open(log_path, "w") as log, claimed_ports(prefix, len(commands)) as ports:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(os.path.join(prefix, "dosdevices", f"com{ABSENT_PORT}"))
        env = wine_environment(prefix)
        env.update(TROVEL_TEST_ABSENT_COM=str(ABSENT_PORT))
        try:
            for index, (command, (number, link)) in enumerate(zip(commands, ports)):
                lines.append(ScriptedPeer(read_rules(args.peer), link, log) if args.peer
                             else PartnerProgram(command, link, log))
                env["TROVEL_TEST_COM2" if index else "TROVEL_TEST_COM"] = str(number)
                for url in getattr(lines[-1], "urls", []):
                    env["TROVEL_TEST_RTU_URL" if url.startswith("rtu") else "TROVEL_TEST_MODBUS_URL"] = url
                print(f"wine_run: COM{number} -> {os.path.realpath(link)}", flush=True)
            program = subprocess.Popen([wine, *args.program], env=env, stdin=subprocess.DEVNULL,
                                       stdout=subprocess.PIPE, text=True, errors="replace")
            try:
                output, _ = program.communicate(timeout=args.timeout)
                status = program.returncode
            except subprocess.TimeoutExpired:
                program.kill()
                output, _ = program.communicate()
                status = None
            print(output, end="", flush=True)
            # A filter that matches nothing passes in GoogleTest; here it is a mistake.
            if re.search(r"^\[==========\] Running 0 tests", output, re.MULTILINE):
                empty_run = True
        finally:
            for line in lines:
                line.stop()

    problems = [failure for line in lines for failure in line.failures]
    if empty_run:
        problems.append("the program ran no test: its filter matches none")
    if status is None:
        problems.append(f"timed out after {args.timeout:.0f} s")
    elif status != 0:
        problems.append(f"exit status {status}")
    for problem in problems:
        print(f"wine_run: {problem}", file=sys.stderr)
    if problems:
        print(f"wine_run: line log in {log_path}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
