#!/usr/bin/python3
"""trovel-gateway end to end: trovel-sim on a pseudo-terminal, the gateway in front of it on
loopback, and real clients (mbpoll, pymodbus, trovelctl, the classic exports through
TROVEL_COM5, and a Modbus TCP client of the test's own). Run with /usr/bin/python3, where
Debian's pymodbus lives. One group per run: python3 test_gateway.py --gateway ... GROUP"""

import argparse
import ctypes
import json
import os
import shutil
import signal
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "cli"))
sys.path.insert(0, HERE)
from simulator import Simulator  # noqa: E402
from gateway import Client, Gateway, closed_within, read_pdu  # noqa: E402

SPEED = 100            # registers 100-101: the motor speed, a float, low half first
SPEED_12_5 = [0x0000, 0x4148]
ILLEGAL_FUNCTION, BUSY, PATH_UNAVAILABLE, TARGET_FAILED = 0x01, 0x06, 0x0A, 0x0B

args = None


class Worker(threading.Thread):
    """A thread whose exception fails the test when it is joined, instead of vanishing."""

    def __init__(self, target, *args):
        super().__init__(target=self._guarded, args=(target, *args))
        self.error = None

    def _guarded(self, target, *args):
        try:
            target(*args)
        except BaseException as e:  # noqa: B902 - reported by join()
            self.error = e

    def join(self, timeout=None):
        super().join(timeout)
        if self.error is not None:
            raise AssertionError(f"{self._target.__name__ if hasattr(self, '_target') else 'worker'}: "
                                 f"{self.error!r}") from self.error


def with_crc(frame):
    """The frame with its Modbus CRC-16, low byte first (computed here, bit by bit)."""
    crc = 0xFFFF
    for byte in frame:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return frame + bytes([crc & 0xFF, crc >> 8])


def gateway(sim, *extra, endpoints=1):
    return Gateway(args.gateway, ["--line", sim.link, "--listen-modbus-tcp", "0", *extra], endpoints)


def elapsed(call):
    began = time.monotonic()
    result = call()
    return result, time.monotonic() - began


def test_clients():
    """Three kinds of client at once get the values another client wrote; the gateway's own
    exceptions; a read-only endpoint."""
    config = os.path.join(HERE, "clients.toml")
    with Simulator(args.sim, controllers="1-3") as sim:
        with open(config, "w") as f:
            f.write(f'[[line]]\ndevice = "{sim.link}"\nreply-mode = "frame"\n'
                    '[[line.listen]]\nmodbus-tcp = "127.0.0.1:0"\n'
                    '[[line.listen]]\nmodbus-tcp = "127.0.0.1:0"\nread-only = true\n'
                    '[[line.listen]]\nrtu = "127.0.0.1:0"\n')
        with Gateway(args.gateway, ["--config", config], 3) as gw:
            os.remove(config)
            url = gw.urls[0]
            from pymodbus.client import ModbusTcpClient
            pm = ModbusTcpClient("127.0.0.1", port=gw.port())
            assert pm.connect()
            for unit in (1, 2, 3):
                assert not pm.write_registers(SPEED, SPEED_12_5, slave=unit).isError()
            failures = []

            def mbpoll():
                for _ in range(5):
                    out = subprocess.run(["mbpoll", "-1", "-a", "1:3", "-r", str(SPEED + 1), "-c", "2", "-p",
                                          str(gw.port()), "127.0.0.1"], capture_output=True, text=True, timeout=30)
                    if out.returncode != 0 or out.stdout.count("[102]: \t16712") != 3:
                        failures.append("mbpoll: " + out.stdout + out.stderr)

            def trovelctl():
                for unit in (1, 2, 3, 1, 2):
                    out = subprocess.run([args.trovelctl, "--device", url, "-a", str(unit), "-j", "get", "speed"],
                                         capture_output=True, text=True, timeout=30)
                    if out.returncode != 0 or json.loads(out.stdout)["value"] != 12.5:
                        failures.append("trovelctl: " + out.stdout + out.stderr)

            def classic():
                # The unmodified host: OpenCom(5) opens what TROVEL_COM5 names.
                program = ("import ctypes,sys\nlib=ctypes.CDLL(sys.argv[1])\nv=ctypes.c_float()\n"
                           "assert lib.OpenCom(5)==1\nok=[lib.GetMotorSpeed(a,ctypes.byref(v)) and v.value for a in (1,2,3)]\n"
                           "print(ok)\nsys.exit(0 if ok==[12.5]*3 else 1)\n")
                out = subprocess.run([sys.executable, "-c", program, args.library], capture_output=True, text=True,
                                     timeout=30, env={**os.environ, "TROVEL_COM5": url, "TROVEL_TRACE": "stderr"})
                if out.returncode != 0 or url not in out.stderr:  # the trace names the device opened
                    failures.append("classic OpenCom(5): " + out.stdout + out.stderr)

            def rtu_over_tcp():
                from pymodbus.framer.rtu_framer import ModbusRtuFramer
                rtu = ModbusTcpClient("127.0.0.1", port=gw.port(2), framer=ModbusRtuFramer)
                assert rtu.connect()
                for unit in (1, 2, 3):
                    reply = rtu.read_holding_registers(SPEED, 2, slave=unit)
                    if reply.isError() or reply.registers != SPEED_12_5:
                        failures.append(f"RTU over TCP, unit {unit}: {reply}")
                rtu.close()

            def classic_by_ini():
                # The same through TrovelSdk.ini beside a copy of the library.
                folder = tempfile.mkdtemp(prefix="trovel-ini-")
                shutil.copy(args.library, os.path.join(folder, "libtrovelsdk.so"))
                with open(os.path.join(folder, "TrovelSdk.ini"), "w") as f:
                    f.write(f"; ports of this PC\n[Ports]\nCom6 = {url}\n")
                program = ("import ctypes,sys\nlib=ctypes.CDLL(sys.argv[1])\nv=ctypes.c_float()\n"
                           "sys.exit(0 if lib.OpenCom(6)==1 and lib.GetMotorSpeed(2,ctypes.byref(v)) and v.value==12.5 else 1)\n")
                out = subprocess.run([sys.executable, "-c", program, os.path.join(folder, "libtrovelsdk.so")],
                                     capture_output=True, text=True, timeout=30)
                shutil.rmtree(folder, ignore_errors=True)
                if out.returncode != 0:
                    failures.append("classic OpenCom(6) by TrovelSdk.ini: " + out.stdout + out.stderr)

            kinds = (mbpoll, trovelctl, classic, classic_by_ini) if args.library else (mbpoll, trovelctl)
            kinds += (rtu_over_tcp,)
            threads = [Worker(t) for t in kinds]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            assert not failures, "\n".join(failures)
            pm.close()

            c = Client(gw.port())
            assert c.read(17, SPEED, 2) == PATH_UNAVAILABLE
            assert c.call(1, struct.pack(">BHH", 4, 0, 1)) == bytes([0x84, ILLEGAL_FUNCTION])
            # An absent controller: 0B after the line's 250 ms time-out, not after seconds.
            answer, took = elapsed(lambda: c.read(5, SPEED, 2))
            assert answer == TARGET_FAILED and took < 1.0, (answer, took)
            # Broadcast: answered with the echo once sent; every controller took it.
            assert c.write(0, SPEED, [0x0000, 0x4120]) is None
            assert [c.read(u, SPEED, 2) for u in (1, 2, 3)] == [[0x0000, 0x4120]] * 3
            # Over RTU a broadcast is not answered, as on the line: the next answer is the read's.
            rtu = socket.create_connection(("127.0.0.1", gw.port(2)), timeout=5)
            rtu.sendall(with_crc(bytes.fromhex("0010006400020400004120")) + with_crc(bytes.fromhex("010300640002")))
            assert rtu.recv(64)[:2] == bytes([1, 3]), "an RTU broadcast was answered"
            rtu.close()
            ro = Client(gw.port(1))
            assert ro.read(1, SPEED, 2) == [0x0000, 0x4120]
            assert ro.write(1, SPEED, [1]) == ILLEGAL_FUNCTION
            assert ro.write(1, SPEED, [1, 2]) == ILLEGAL_FUNCTION
            assert c.read(1, SPEED, 2) == [0x0000, 0x4120], "the read-only endpoint wrote"
            assert "unit 1 register 100 value 1,2: exception 01 (refused)" in gw.log(), "a refused write not logged"
            assert "write from 127.0.0.1" in gw.log() and "unit 0 register 100 value 0,16672: ok" in gw.log()
            # Statistics on request; SIGTERM stops it cleanly.
            os.kill(gw.process.pid, signal.SIGUSR1)
            time.sleep(0.5)
            assert "stats line1: requests" in gw.log() and "queue wait p50" in gw.log(), gw.log()
            assert " client 127.0.0.1:" in gw.log() and "0A x1" in gw.log(), gw.log()
            gw.process.terminate()
            assert gw.process.wait(timeout=10) == 0 and "SIGTERM: stopping" in gw.log()


def test_faults():
    """8 clients write distinctive values and read them back under every fault: 0 wrong values."""
    faults = ["late@4%", "bad-crc@4%", "truncate@4%", "extra@4%", "split@4%", "exception@4%"]
    extra = [a for f in faults for a in ("--fault", f)]
    with Simulator(args.sim, controllers="1-3", extra=extra) as sim, \
            gateway(sim, "--reply-mode", "frame", "--retries", "1", "--deadline", "20000") as gw:
        results = []

        def client(index):
            c = Client(gw.port(), timeout=30)
            unit, first = index % 3 + 1, SPEED + 2 * index
            # What each register may hold: the last acknowledged write, or any write since
            # whose answer was lost (it may have taken effect). None: not known yet.
            possible = [None, None]
            counts = {"ok": 0, "exceptions": {}, "wrong": 0}
            for n in range(40):
                values = [index * 1000 + n, 0x4000 + n] if n % 2 else [index * 1000 + n]
                result = c.write(unit, first, values)
                for r, v in enumerate(values):
                    if result is None:
                        possible[r] = {v}
                    elif possible[r] is not None:
                        possible[r].add(v)
                if result is not None:
                    counts["exceptions"][result] = counts["exceptions"].get(result, 0) + 1
                got = c.read(unit, first, len(values))
                if isinstance(got, int):
                    counts["exceptions"][got] = counts["exceptions"].get(got, 0) + 1
                    continue
                counts["ok"] += 1
                if any(possible[r] is not None and v not in possible[r] for r, v in enumerate(got)):
                    counts["wrong"] += 1
            results.append((index, counts))
            c.close()

        threads = [Worker(client, i) for i in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        for index, counts in sorted(results):
            print(f"client {index}: {counts['ok']} reads right, wrong {counts['wrong']}, exceptions "
                  + ", ".join(f"{code:02X} x{n}" for code, n in sorted(counts["exceptions"].items())))
        assert len(results) == 8
        assert sum(c["wrong"] for _, c in results) == 0
        assert sum(c["ok"] for _, c in results) > 8 * 20, "too few reads came through to judge"


def test_silent():
    """Controller 9 absent and asked in a loop: another client's reads of 1 keep their latency."""
    with Simulator(args.sim, controllers="1-8") as sim, gateway(sim, "--reply-mode", "frame") as gw:
        reader = Client(gw.port())

        def latencies(n):
            out = []
            for _ in range(n):
                values, took = elapsed(lambda: reader.read(1, SPEED, 2))
                assert isinstance(values, list), values
                out.append(took)
            return statistics.median(out)

        quiet = latencies(60)
        stop = threading.Event()
        asked = []

        def ask_nine():
            c = Client(gw.port())
            while not stop.is_set():
                asked.append(c.read(9, SPEED, 2))
            c.close()

        loader = Worker(ask_nine)
        loader.start()
        time.sleep(0.3)
        loaded = latencies(200)
        stop.set()
        loader.join()
        print(f"reads of 1: median {quiet * 1000:.1f} ms alone, {loaded * 1000:.1f} ms with 9 asked "
              f"{len(asked)} times")
        assert asked and all(a == TARGET_FAILED for a in asked)
        assert loaded <= 2 * quiet, (quiet, loaded)


def test_queue():
    """Stale requests are never sent; a full queue answers busy; a deep pipeline starves nobody."""
    with Simulator(args.sim, controllers="1-3", extra=["-v"]) as sim:
        with gateway(sim, "--deadline", "400", "--queue", "6") as gw:
            c = Client(gw.port())
            # Four absent controllers hold the line for 4 x 250 ms; the write behind them is
            # stale by then.
            tids = [c.send(u, read_pdu(SPEED, 2)) for u in (5, 6, 7, 8)]
            tids.append(c.send(1, struct.pack(">BHH", 6, 12, 0x2A)))
            answers = [c.receive() for _ in tids]
            assert [a[0] for a in answers] == tids, "answers out of order"
            assert answers[-1][2] == bytes([0x86, TARGET_FAILED]), answers[-1]
            time.sleep(0.2)
            assert "01 06 00 0C 00 2A" not in sim.log(), "a stale write reached the line"
            # A queue of 6: the 12 requests of one burst cannot all wait.
            tids = [c.send(u, read_pdu(SPEED, 2)) for u in (10, 11, 12, 13) * 3]
            answers = [c.receive() for _ in tids]
            assert [a[0] for a in answers] == tids
            assert sum(a[2] == bytes([0x83, BUSY]) for a in answers) >= 1, answers
        with gateway(sim, "--reply-mode", "frame") as gw:
            # A client that goes away takes its queued commands with it.
            gone = Client(gw.port())
            for unit in (5, 6, 7):
                gone.send(unit, read_pdu(SPEED, 2))
            gone.send(1, struct.pack(">BHH", 6, 12, 0x2B))
            time.sleep(0.05)
            gone.close()
            time.sleep(1.2)
            assert "01 06 00 0C 00 2B" not in sim.log(), "a gone client's write reached the line"
            deep, single = Client(gw.port()), Client(gw.port())
            tids = [deep.send(1, read_pdu(SPEED, 2)) for _ in range(32)]
            time.sleep(0.05)
            single.call(2, read_pdu(SPEED, 2))
            single_done = time.monotonic()
            done = []
            for tid in tids:
                answer = deep.receive()
                assert answer[0] == tid and answer[2][0] == 3
                done.append(time.monotonic())
            # Round-robin: the single request waits for at most the exchange in flight and
            # one more of the pipeline's, never for the whole pipeline.
            before = sum(t < single_done for t in done)
            print(f"the single request was answered after {before} of the pipeline's 32")
            assert before <= 6, before


def test_malformed():
    """Each bad header, a slow drip and a flood disconnect that client alone; an unplugged
    line answers 0B at once and serves again when it returns."""
    control = os.path.join(tempfile.gettempdir(), f"trovel-gw-test-{os.getpid()}.ctl")
    with Simulator(args.sim, controllers="1-3", extra=["--control", control]) as sim, \
            gateway(sim, "--reply-mode", "frame") as gw:
        good_failures, stop = [], threading.Event()

        def good():
            c = Client(gw.port())
            while not stop.is_set():
                if not isinstance(c.read(1, SPEED, 2), list):
                    good_failures.append(1)

        worker = Worker(good)
        worker.start()
        bad = {
            "length 0": struct.pack(">HHHB", 1, 0, 0, 1),
            "length 300": struct.pack(">HHHB", 1, 0, 300, 1) + bytes(20),
            "protocol 1": struct.pack(">HHHB", 1, 1, 6, 1) + read_pdu(SPEED, 2),
            "slow drip": struct.pack(">HH", 1, 0),
            "flood": b"".join(struct.pack(">HHHB", i, 0, 6, 5) + read_pdu(SPEED, 2) for i in range(600)),
        }
        for name, data in bad.items():
            s = socket.create_connection(("127.0.0.1", gw.port()))
            s.sendall(data)
            assert closed_within(s, 8.0), f"{name}: still connected"
            s.close()
        stop.set()
        worker.join()
        assert not good_failures, f"{len(good_failures)} reads of the good client failed"
        for why in ("MBAP length 0 outside", "MBAP length 300 outside", "protocol id 1 is not Modbus",
                    "stalled mid-frame (4 bytes)", "flooding ("):
            assert why in gw.log(), f"no disconnect for '{why}' in the log:\n{gw.log()}"

        c = Client(gw.port())
        with open(control, "w") as f:
            f.write("unplug\n")
        time.sleep(0.3)
        answer, took = elapsed(lambda: c.read(1, SPEED, 2))
        assert answer == TARGET_FAILED and took < 1.0, (answer, took)
        with open(control, "w") as f:
            f.write("replug\n")
        end = time.monotonic() + 10
        while not isinstance(c.read(1, SPEED, 2), list):
            assert time.monotonic() < end, "service did not resume after replug"


def test_limits():
    """Connections beyond the limit, clients outside the allow-list and idle ones are
    turned away; the clients within keep being served."""
    with Simulator(args.sim, controllers="1") as sim:
        with gateway(sim, "--max-connections", "2", "--idle-timeout", "1") as gw:
            first, second = Client(gw.port()), Client(gw.port())
            third = socket.create_connection(("127.0.0.1", gw.port()))
            assert closed_within(third, 3.0), "a third connection was kept"
            assert isinstance(first.read(1, SPEED, 2), list) and isinstance(second.read(1, SPEED, 2), list)
            assert closed_within(first.sock, 4.0), "an idle client was kept"
        with gateway(sim, "--allow", "10.0.0.0/8") as gw:
            outsider = socket.create_connection(("127.0.0.1", gw.port()))
            assert closed_within(outsider, 3.0), "a client outside the allow-list was kept"
            assert "not in the endpoint's allow-list" in gw.log()


def test_config():
    """--check-config explains each error with its line."""
    path = os.path.join(HERE, "bad.toml")
    with open(path, "w") as f:
        f.write('log-level = "info"\n[[line]]\ndevice = "/dev/ttyUSB0"\nretires = 1\nqueue = 0\n'
                '[[line.listen]]\nmodbus-tcp = "127.0.0.1:99999"\nallow = ["10.0.0.0/33"]\n')
    out = subprocess.run([args.gateway, "--check-config", path], capture_output=True, text=True)
    os.remove(path)
    assert out.returncode == 1
    for expected in ("bad.toml:4: unknown key 'retires'", "bad.toml:5: queue", "bad.toml:7:", "bad.toml:8: allow"):
        assert expected in out.stderr, out.stderr
    example = os.path.join(HERE, "..", "..", "examples", "gateway", "trovel-gateway.toml")
    out = subprocess.run([args.gateway, "--check-config", example], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr


GROUPS = {"Clients": test_clients, "Faults": test_faults, "Silent": test_silent, "Queue": test_queue,
          "Malformed": test_malformed, "Limits": test_limits, "Config": test_config}

if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--gateway", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--trovelctl")
    parser.add_argument("--library")
    parser.add_argument("group", choices=GROUPS)
    args = parser.parse_args()
    GROUPS[args.group]()
    print(f"{args.group}: ok")
