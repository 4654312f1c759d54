#!/usr/bin/python3
"""The MQTT bridge at scale: G gateway processes x 2 lines x 16 simulated controllers (one
trovel-sim per line, on a pseudo-terminal paced at 19200 baud, frame mode) publishing into one
mosquitto on loopback. Each simulator also listens on Modbus TCP, so the benchmark changes a
controller behind the gateway's back and reads what a command did, without the gateway.

  - state: an output switched through the simulator's own port until its topic arrives;
  - command: outputs/N/set published until the simulator's register holds it;
  - CPU per gateway process (user + system, /proc), broker connections (ss).

    mqtt_bench.py --gateway trovel-gateway --sim trovel-sim [--gateways 20] [--samples 40] [--limit 600]
"""

import argparse
import os
import random
import re
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
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "cli"))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "gateway"))
from simulator import Simulator  # noqa: E402
from gateway import Client, Gateway  # noqa: E402
import test_mqtt  # noqa: E402
from test_mqtt import Broker, until  # noqa: E402

OUTPUTS = 12        # the switch output register
TICKS = os.sysconf("SC_CLK_TCK")


class Publisher:
    """A bare MQTT 3.1.1 client (QoS 0) of the benchmark's own: no process per message."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port))
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        client = b"bench-pub"
        body = b"\x00\x04MQTT\x04\x02\x00\x3c" + struct.pack(">H", len(client)) + client
        self.sock.sendall(bytes([0x10, len(body)]) + body)
        assert self.sock.recv(4) == b"\x20\x02\x00\x00", "CONNACK"

    def publish(self, topic, payload):
        body = struct.pack(">H", len(topic)) + topic.encode() + payload.encode()
        self.sock.sendall(bytes([0x30, len(body)]) + body)


class Watch:
    """mosquitto_sub on the output topics; the arrival time of each (topic, payload)."""

    def __init__(self, port, topics):
        cmd = ["mosquitto_sub", "-h", "127.0.0.1", "-p", str(port), "-F", "%t\t%p", "-q", "0"]
        for t in topics:
            cmd += ["-t", t]
        self.process = subprocess.Popen(cmd, stdout=subprocess.PIPE, text=True)
        self.seen = {}
        self.lock = threading.Lock()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stdout:
            topic, payload = line.rstrip("\n").split("\t", 1)
            with self.lock:
                self.seen[(topic, payload)] = time.monotonic()

    def since(self, topic, payload, t0):
        with self.lock:
            t = self.seen.get((topic, payload))
        return t if t is not None and t >= t0 else None

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=10)


def cpu(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def percentiles(samples):
    s = sorted(samples)
    return s[len(s) // 2] * 1000, s[min(len(s) - 1, int(len(s) * 0.99))] * 1000


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--gateway", required=True)
    p.add_argument("--sim", required=True)
    p.add_argument("--gateways", type=int, default=20)
    p.add_argument("--samples", type=int, default=40)
    p.add_argument("--limit", type=int, default=600, help="seconds for the whole run")
    a = p.parse_args()

    def overrun(*_):
        raise TimeoutError(f"the benchmark ran past its limit of {a.limit} s")
    signal.signal(signal.SIGALRM, overrun)
    signal.alarm(a.limit)  # whatever hangs, everything started is stopped below
    directory = tempfile.mkdtemp(prefix="trovel-mqtt-bench-")
    sims, gateways = [], []
    broker = Broker(directory)
    try:
        began = time.monotonic()
        for g in range(a.gateways):
            lines = []
            for n in range(2):
                sim = Simulator(a.sim, controllers="1-16", extra=["--listen-modbus-tcp", "0"])
                until(lambda: "modbus+tcp://" in sim.log(), 10, "the simulator's TCP port")
                sim.port = int(re.search(r"modbus\+tcp://127\.0\.0\.1:(\d+)", sim.log()).group(1))
                sims.append(sim)
                lines.append(f'[[line]]\nname = "l{n + 1}"\ndevice = "{sim.link}"\nreply-mode = "frame"\n'
                             'controllers = "1-16"\n')
            config = os.path.join(directory, f"g{g}.toml")
            with open(config, "w") as f:
                f.write("".join(lines) + f'[mqtt]\nbroker = "127.0.0.1:{broker.port}"\nname = "g{g}"\n'
                        "[poll]\nscan-interval = 0\n")
            gateways.append(Gateway(a.gateway, ["--config", config, "--stats-interval", "0"], 0))
        controllers = [(g, n, u) for g in range(a.gateways) for n in (1, 2) for u in range(1, 17)]
        watch = Watch(broker.port, ["trovel/+/+/+/availability", "trovel/+/+/+/outputs/+"])
        until(lambda: all(watch.since(f"trovel/g{g}/l{n}/{u}/availability", "online", 0) for g, n, u in controllers),
              240, "every controller online")
        ready = time.monotonic() - began
        cpu0 = {gw.process.pid: cpu(gw.process.pid) for gw in gateways}
        t_cpu = time.monotonic()

        rng = random.Random(1)
        clients = {}

        def client(g, n):
            sim = sims[2 * g + n - 1]
            if sim.port not in clients:
                clients[sim.port] = Client(sim.port)
            return clients[sim.port]

        state, command = [], []
        pub = Publisher(broker.port)
        for i in range(a.samples):
            g, n, u = rng.choice(controllers)
            out = 1 + i % 6
            # A change at the simulator: output `out` alone on, written past the gateway.
            t0 = time.monotonic()
            assert client(g, n).write(u, OUTPUTS, [1 << (out - 1)]) is None
            topic = f"trovel/g{g}/l{n}/{u}/outputs/{out}"
            until(lambda: watch.since(topic, "ON", t0), 30, topic)
            state.append(watch.since(topic, "ON", t0) - t0)
            # A command through the broker: the same output off, until the simulator holds it.
            t0 = time.monotonic()
            pub.publish(topic + "/set", "OFF")
            c = client(g, n)
            until(lambda: c.read(u, OUTPUTS, 1)[0] == 0, 30, topic + " off at the simulator")
            command.append(time.monotonic() - t0)
        wall = time.monotonic() - t_cpu
        share = [100 * (cpu(pid) - c0) / wall for pid, c0 in cpu0.items()]
        # Established connections on the broker's port, as the kernel counts them.
        connected = len(subprocess.run(["ss", "-Htn", "state", "established", f"( sport = :{broker.port} )"],
                                       capture_output=True, text=True).stdout.splitlines())
        watch.stop()
        print(f"{a.gateways} gateways x 2 lines x 16 controllers = {len(controllers)} controllers, "
              f"all online after {ready:.1f} s; load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")
        print("state change at the simulator -> subscriber: p50 %.0f ms, p99 %.0f ms (%d samples)"
              % (*percentiles(state), len(state)))
        print("command published -> simulator's register: p50 %.0f ms, p99 %.0f ms (%d samples)"
              % (*percentiles(command), len(command)))
        print(f"CPU per gateway: mean {statistics.mean(share):.1f} %, max {max(share):.1f} % of one core "
              f"over {wall:.0f} s")
        print(f"broker connections: {connected} (gateways, the benchmark's subscriber and publisher)")
    finally:
        for gw in gateways:
            gw.stop()
        for sim in sims:
            sim.stop()
        for started in test_mqtt.STARTED:
            started.stop()


if __name__ == "__main__":
    main()
