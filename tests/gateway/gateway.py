"""Helpers of the gateway tests: the gateway started on loopback and stopped by its process id,
and a Modbus TCP client of the tests' own (MBAP written out here, not taken from the code
under test)."""

import os
import shutil
import socket
import struct
import subprocess
import tempfile
import time

START_LIMIT_SECONDS = 15.0


class Gateway:
    """trovel-gateway with the given options; `urls` are the endpoints it printed."""

    def __init__(self, program, args, endpoints):
        self.directory = tempfile.mkdtemp(prefix="trovel-gateway-test-")
        self.log_path = os.path.join(self.directory, "gateway.log")
        self._log = open(self.log_path, "wb")
        self.process = subprocess.Popen([program, *args], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=self._log, text=True)
        self.urls = []
        deadline = time.monotonic() + START_LIMIT_SECONDS
        while len(self.urls) < endpoints:
            line = self.process.stdout.readline()
            if not line or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("trovel-gateway did not start:\n" + self.log())
            self.urls.append(line.strip())

    def port(self, index=0):
        return int(self.urls[index].rsplit(":", 1)[1])

    def log(self):
        with open(self.log_path, errors="replace") as f:
            return f.read()

    def stop(self):
        """Stops it by SIGTERM (by its process id); its exit status."""
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        if not self._log.closed:
            self._log.close()
        return self.process.returncode

    def __enter__(self):
        return self

    def __exit__(self, kind, *exc):
        # A crash or a sanitizer's report at exit fails the test that ran it.
        status = self.stop()
        log = self.log()
        shutil.rmtree(self.directory, ignore_errors=True)
        if kind is None and status != 0:
            raise AssertionError(f"trovel-gateway exited with {status}:\n{log}")


class Client:
    """A Modbus TCP master over one connection; several requests may be outstanding."""

    def __init__(self, port, timeout=10.0):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.tid = 0
        self.buffer = b""

    def close(self):
        self.sock.close()

    def send(self, unit, pdu):
        self.tid = (self.tid + 1) & 0xFFFF
        self.sock.sendall(struct.pack(">HHHB", self.tid, 0, len(pdu) + 1, unit) + pdu)
        return self.tid

    def receive(self):
        """(transaction id, unit, pdu) of the next answer, or None when the gateway closed."""
        while True:
            if len(self.buffer) >= 7:
                tid, protocol, length, unit = struct.unpack(">HHHB", self.buffer[:7])
                if len(self.buffer) >= 6 + length:
                    pdu = self.buffer[7:6 + length]
                    self.buffer = self.buffer[6 + length:]
                    assert protocol == 0, f"protocol id {protocol}"
                    return tid, unit, pdu
            chunk = self.sock.recv(4096)
            if not chunk:
                return None
            self.buffer += chunk

    def call(self, unit, pdu):
        tid = self.send(unit, pdu)
        answer = self.receive()
        assert answer is not None, "the gateway closed the connection"
        assert answer[0] == tid, f"transaction {answer[0]} answers request {tid}"
        return answer[2]

    def read(self, unit, first, count):
        """The registers, or the exception code as an int."""
        pdu = self.call(unit, struct.pack(">BHH", 3, first, count))
        if pdu[0] & 0x80:
            return pdu[1]
        assert pdu[0] == 3 and pdu[1] == 2 * count, f"read reply {pdu.hex()}"
        return list(struct.unpack(f">{count}H", pdu[2:]))

    def write(self, unit, first, values):
        """None on success, else the exception code."""
        if len(values) == 1:
            pdu = struct.pack(">BHH", 6, first, values[0])
        else:
            pdu = struct.pack(f">BHHB{len(values)}H", 16, first, len(values), 2 * len(values), *values)
        reply = self.call(unit, pdu)
        if reply[0] & 0x80:
            return reply[1]
        assert reply == pdu[:5], f"write reply {reply.hex()} for {pdu.hex()}"
        return None


def read_pdu(first, count):
    return struct.pack(">BHH", 3, first, count)


def closed_within(sock, seconds):
    """True when the peer closes the connection within `seconds` (data before it is dropped)."""
    sock.settimeout(seconds)
    end = time.monotonic() + seconds
    try:
        while time.monotonic() < end:
            if not sock.recv(4096):
                return True
    except ConnectionResetError:
        return True
    except socket.timeout:
        return False
    return False
