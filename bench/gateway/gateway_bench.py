#!/usr/bin/python3
"""What the gateway costs: a client through trovel-gateway against the library's own line on
the same simulated line (trovel-sim on a pseudo-terminal, paced at 19200 baud, frame mode),
in one run, phases alternating so that machine load hits both alike.

  - added latency: median of a two-register read through the gateway minus the direct one;
  - throughput: 8 clients x 16 controllers through the gateway against 8 host threads on
    the line itself, 2 controllers each (the line is the limit in both);
  - the gateway's CPU time per exchange (user + system, from /proc).

    gateway_bench.py --gateway trovel-gateway --sim trovel-sim --library libtrovelsdk.so [--rounds N]
"""

import argparse
import ctypes
import os
import statistics
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "cli"))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "gateway"))
from simulator import Simulator  # noqa: E402
from gateway import Client, Gateway, read_pdu  # noqa: E402

SPEED = 100
TICKS = os.sysconf("SC_CLK_TCK")


def direct(lib, link, work):
    line = lib.TrovelOpenLine(link.encode())
    assert line, f"cannot open {link}: cause {lib.TrovelLastError()}"
    lib.TrovelSetReplyMode(ctypes.c_void_p(line), 1)

    def read(unit):
        values = (ctypes.c_ushort * 2)()  # one per call: several threads read at once
        began = time.perf_counter()
        assert lib.TrovelReadRegisters(ctypes.c_void_p(line), unit, SPEED, 2, values) == 1
        return time.perf_counter() - began

    try:
        return work(read)
    finally:
        lib.TrovelCloseLine(ctypes.c_void_p(line))
        time.sleep(0.3)  # the device is released once the line's last call has ended


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--gateway", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--library", required=True)
    parser.add_argument("--rounds", type=int, default=200, help="reads per latency phase (default 200)")
    parser.add_argument("--seconds", type=float, default=8.0, help="length of a throughput phase (default 8)")
    args = parser.parse_args()
    lib = ctypes.CDLL(args.library)
    lib.TrovelOpenLine.restype = ctypes.c_void_p
    lib.TrovelOpenLine.argtypes = [ctypes.c_char_p]

    with Simulator(args.sim, controllers="1-16") as sim:
        def gateway_phase(work):
            with Gateway(args.gateway, ["--line", sim.link, "--listen-modbus-tcp", "0", "--reply-mode", "frame",
                                        "--log-level", "warning"], 1) as gw:
                return work(gw)

        # Latency: one client, controller 1, back to back.
        direct_times, gateway_times = [], []
        for _ in range(2):
            direct_times += direct(lib, sim.link, lambda read: [read(1) for _ in range(args.rounds)])

            def latency(gw):
                c = Client(gw.port())
                out = []
                for _ in range(args.rounds):
                    began = time.perf_counter()
                    assert isinstance(c.read(1, SPEED, 2), list)
                    out.append(time.perf_counter() - began)
                c.close()
                return out
            gateway_times += gateway_phase(latency)

        # Throughput: the line kept busy by 8 host threads on the line itself (ctypes lets go
        # of the interpreter during a call), or by 8 gateway clients; 2 controllers each.
        def sweep(read):
            counts = [0] * 8
            end = time.monotonic() + args.seconds

            def host(i):
                while time.monotonic() < end:
                    read(2 * i + 1 + counts[i] % 2)
                    counts[i] += 1
            threads = [threading.Thread(target=host, args=(i,)) for i in range(8)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            return sum(counts) / args.seconds

        def clients(gw):
            counts = [0] * 8
            stop = threading.Event()

            def client(i):
                # Two requests outstanding, one per controller, so that the time a client
                # takes between an answer and its next request leaves the line busy.
                c = Client(gw.port())
                for unit in (2 * i + 1, 2 * i + 2):
                    c.send(unit, read_pdu(SPEED, 2))
                while not stop.is_set():
                    tid, unit, pdu = c.receive()
                    assert pdu[0] == 3
                    counts[i] += 1
                    c.send(unit, read_pdu(SPEED, 2))
                c.close()
            threads = [threading.Thread(target=client, args=(i,)) for i in range(8)]
            cpu0 = cpu_seconds(gw.process.pid)
            for t in threads:
                t.start()
            time.sleep(args.seconds)
            stop.set()
            for t in threads:
                t.join()
            cpu = cpu_seconds(gw.process.pid) - cpu0
            return sum(counts) / args.seconds, cpu / max(1, sum(counts))

        direct_rate = direct(lib, sim.link, sweep)
        gateway_rate, cpu_per_exchange = gateway_phase(clients)

    d, g = statistics.median(direct_times) * 1000, statistics.median(gateway_times) * 1000
    print(f"two-register read, controller 1, frame mode, {len(direct_times)} each:")
    print(f"  direct line        median {d:.3f} ms")
    print(f"  through gateway    median {g:.3f} ms")
    print(f"  added by gateway   {g - d:+.3f} ms   (target <= 0.5 ms)")
    print(f"throughput, 16 controllers: 8 host threads on the line {direct_rate:.1f} exchanges/s, "
          f"8 gateway clients {gateway_rate:.1f} exchanges/s = {100 * gateway_rate / direct_rate:.1f} % "
          f"(target >= 95 %)")
    print(f"gateway CPU per exchange: {cpu_per_exchange * 1000:.3f} ms (user + system, 8 clients)")


if __name__ == "__main__":
    main()
