#!/usr/bin/python3
"""trovel-gateway's MQTT bridge against a real mosquitto started here on a free loopback port
with a configuration of its own, trovel-sim behind the gateway, and mosquitto_sub and
mosquitto_pub as the broker's other clients. One group per run:
python3 test_mqtt.py --gateway ... --sim ... GROUP"""

import argparse
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "cli"))
sys.path.insert(0, HERE)
from simulator import Simulator  # noqa: E402
from gateway import Gateway  # noqa: E402

NAME = "t1"
STARTED = []  # brokers and subscribers, stopped at the end whatever happens
BASE = f"trovel/{NAME}/line1"
args = None


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Broker:
    """mosquitto on 127.0.0.1:port; `tls` is (ca, cert, key) and `password_file` turns
    anonymous clients away."""

    def __init__(self, directory, tls=None, password_file=None):
        self.port = free_port()
        self.config = os.path.join(directory, f"mosquitto-{self.port}.conf")
        lines = [f"listener {self.port} 127.0.0.1", "persistence false", "log_dest stderr"]
        if os.geteuid() == 0:
            lines.append("user root")  # else it becomes 'mosquitto', who cannot read the test's files
        if tls:
            lines += [f"cafile {tls[0]}", f"certfile {tls[1]}", f"keyfile {tls[2]}"]
        lines += [f"password_file {password_file}", "allow_anonymous false"] if password_file else ["allow_anonymous true"]
        with open(self.config, "w") as f:
            f.write("\n".join(lines) + "\n")
        self.log_path = os.path.join(directory, f"mosquitto-{self.port}.log")
        self.start()

    def start(self):
        self._log = open(self.log_path, "ab")
        self.process = subprocess.Popen(["mosquitto", "-c", self.config], stdout=self._log, stderr=subprocess.STDOUT)
        STARTED.append(self)
        until(lambda: self._accepts(), 10, "mosquitto listening")

    def _accepts(self):
        try:
            socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
            return True
        except OSError:
            return False

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait(timeout=10)
        if not self._log.closed:
            self._log.close()


class Subscriber:
    """mosquitto_sub on every topic; `messages` holds (retained, topic, payload) as they come."""

    def __init__(self, broker, topic="#", extra=()):
        self.messages = []
        self.process = subprocess.Popen(
            ["mosquitto_sub", "-h", "127.0.0.1", "-p", str(broker.port), "-t", topic, "-F", "%r\t%t\t%p", *extra],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        STARTED.append(self)
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stdout:
            retained, topic, payload = line.rstrip("\n").split("\t", 2)
            self.messages.append((retained == "1", topic, payload))

    def last(self, topic):
        found = [p for _, t, p in self.messages if t == topic]
        return found[-1] if found else None

    def wait(self, topic, want, seconds=15):
        """The first payload on `topic` for which want(payload) holds, from now on or retained."""
        until(lambda: self.last(topic) is not None and want(self.last(topic)), seconds,
              f"{topic}: {self.last(topic)!r}")
        return self.last(topic)

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait(timeout=10)


def until(condition, seconds, what):
    end = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > end:
            raise AssertionError(f"timed out after {seconds} s waiting for {what}")
        time.sleep(0.05)


def publish(broker, topic, payload, *extra):
    subprocess.run(["mosquitto_pub", "-h", "127.0.0.1", "-p", str(broker.port), "-t", topic, "-m", payload, *extra],
                   check=True, timeout=10)


def start_gateway(sim, broker, *extra):
    return Gateway(args.gateway, ["--line", sim.link, "--reply-mode", "frame", "--controllers", "1-3",
                                  "--mqtt", f"127.0.0.1:{broker.port}", "--name", NAME, *extra], 0)


def sim_position(sim, address):
    """The simulator's own last status line for the controller, not the gateway's view."""
    found = re.findall(rf"#{address}\s+position\s+(-?[\d.]+).*outputs (\d+)", sim.log())
    return (float(found[-1][0]), found[-1][1]) if found else (None, None)


def configs(sub):
    return {t: json.loads(p) for r, t, p in sub.messages if t.startswith("homeassistant/") and t.endswith("/config")}


def test_discovery(directory):
    """Every config is JSON with what Home Assistant needs; ids are distinct and survive a
    restart; every topic it names is one the gateway publishes or answers commands on."""
    broker = Broker(directory)
    with Simulator(args.sim, controllers="1-3") as sim:
        ids = []
        for run in range(2):
            with start_gateway(sim, broker) as gw:
                sub = Subscriber(broker)
                until(lambda: len(configs(sub)) == 3 * 12 + 1, 20, "37 discovery configs")
                found = configs(sub)
                required = {"cover": ["command_topic", "state_topic", "position_topic", "set_position_topic"],
                            "switch": ["command_topic", "state_topic"], "binary_sensor": ["state_topic"],
                            "sensor": ["state_topic"]}
                for topic, config in found.items():
                    component = topic.split("/")[1]
                    for key in required[component] + ["unique_id", "device"]:
                        assert key in config, f"{topic} lacks {key}"
                    assert config["device"]["identifiers"], topic
                    if "via_device" in config["device"]:
                        assert "availability" in config and len(config["availability"]) == 2, topic
                ids.append(sorted(c["unique_id"] for c in found.values()))
                assert len(set(ids[-1])) == len(ids[-1]), "unique ids repeat"
                # Topics it states on must carry something; command topics must be answered.
                named = {v for c in found.values() for k, v in c.items() if k.endswith("_topic")}
                named |= {a["topic"] for c in found.values() for a in c.get("availability", [])}
                for topic in sorted(t for t in named if not t.endswith("/set")):
                    sub.wait(topic, lambda p: p != "")
                for topic in sorted(t for t in named if t.endswith("/set")):
                    result = topic[:topic.index("/", len(BASE) + 1)] + "/result"
                    publish(broker, topic, "NOT-A-COMMAND")
                    sub.wait(result, lambda p: json.loads(p)["topic"] == topic and not json.loads(p)["ok"])
                # Home Assistant restarting asks for discovery again.
                sub.messages.clear()
                publish(broker, "homeassistant/status", "online")
                until(lambda: len([m for m in sub.messages if not m[0] and m[1].endswith("/config")]) == 37, 10,
                      "discovery sent again")
                sub.stop()
        assert ids[0] == ids[1], "unique ids changed across a restart"
    broker.stop()


def test_commands(directory):
    """Moves, stop, a position, one output; a retained command moves nothing; a controller that
    opens to the left."""
    broker = Broker(directory)
    config = os.path.join(directory, "left.toml")
    with open(config, "w") as f:
        f.write('[poll]\nmoving-interval = 100\n[[poll.controller]]\nline = "line1"\naddress = 3\nopens = "left"\n'
                '[[poll.controller]]\nline = "line1"\naddress = 1\n[[poll.controller]]\nline = "line1"\naddress = 2\n')
    # Left on the broker before the gateway starts: it must not move controller 2.
    publish(broker, f"{BASE}/2/set", "OPEN", "-r")
    with Simulator(args.sim, controllers="1-3") as sim:
        with start_gateway(sim, broker, "--config", config) as gw:
            sub = Subscriber(broker)
            sub.wait(f"{BASE}/1/state", lambda p: p == "closed")
            # Opening to the left: standing at the begin point is open.
            assert sub.wait(f"{BASE}/3/state", lambda p: p in ("open", "closed")) == "open"
            assert sub.last(f"{BASE}/3/position_percent") == "100"

            publish(broker, f"{BASE}/1/set", "OPEN")
            sub.wait(f"{BASE}/1/position", lambda p: 5 < float(p) < 80)
            publish(broker, f"{BASE}/1/set", "STOP")
            sub.wait(f"{BASE}/1/state", lambda p: p == "stopped")
            stopped = float(sub.wait(f"{BASE}/1/position", lambda p: True))
            time.sleep(1.5)
            assert abs(float(sub.last(f"{BASE}/1/position")) - stopped) < 0.01, "still moving after STOP"
            assert sim_position(sim, 1)[0] < 99, "STOP did not stop it before the end"

            publish(broker, f"{BASE}/1/position/set", "50")
            result = json.loads(sub.wait(f"{BASE}/1/result", lambda p: "position/set" in p, 30))
            assert result["ok"], result
            time.sleep(1.0)  # the simulator prints its status twice a second
            assert abs(sim_position(sim, 1)[0] - 50) <= 2.0, sim_position(sim, 1)

            publish(broker, f"{BASE}/2/outputs/3/set", "ON")
            sub.wait(f"{BASE}/2/outputs/3", lambda p: p == "ON")
            assert [sub.last(f"{BASE}/2/outputs/{n}") for n in range(1, 7)] == ["OFF"] * 2 + ["ON"] + ["OFF"] * 3
            until(lambda: sim_position(sim, 2)[1] == "001000", 5, "the simulator's outputs 001000")

            publish(broker, f"{BASE}/3/set", "CLOSE")  # opens left, so closing moves right
            sub.wait(f"{BASE}/3/position", lambda p: float(p) > 5)

            assert sim_position(sim, 2)[0] == 0.0, "the retained OPEN moved controller 2"
            assert "ignored the retained message 'OPEN'" in gw.log(), gw.log()
            assert re.search(r"command trovel/t1/line1/1/set 'OPEN': ok", gw.log()), "commands are logged"
            sub.stop()
    broker.stop()


def test_recovery(directory):
    """A pulled adapter turns availability offline and back; a restarted broker gets
    discovery and state again; a killed gateway leaves its Last Will."""
    broker = Broker(directory)
    fifo = os.path.join(directory, "control")
    with Simulator(args.sim, controllers="1-3", extra=["--control", fifo]) as sim:
        until(lambda: os.path.exists(fifo), 5, "control FIFO")
        gw = start_gateway(sim, broker)
        sub = Subscriber(broker)
        for a in (1, 2, 3):
            sub.wait(f"{BASE}/{a}/availability", lambda p: p == "online")
        with open(fifo, "w") as f:
            f.write("unplug\n")
        for a in (1, 2, 3):
            sub.wait(f"{BASE}/{a}/availability", lambda p: p == "offline", 20)
        with open(fifo, "w") as f:
            f.write("replug\n")
        for a in (1, 2, 3):
            sub.wait(f"{BASE}/{a}/availability", lambda p: p == "online", 20)
        sub.stop()

        broker.stop()  # no persistence: every retained message is gone with it
        time.sleep(1.0)
        broker.start()
        sub = Subscriber(broker)
        until(lambda: len(configs(sub)) == 37, 30, "discovery after the broker's restart")
        sub.wait(f"{BASE}/2/position", lambda p: True, 10)
        sub.wait(f"trovel/{NAME}/status", lambda p: p == "online", 10)

        gw.process.send_signal(signal.SIGKILL)
        gw.process.wait(timeout=10)
        sub.wait(f"trovel/{NAME}/status", lambda p: p == "offline", 10)
        sub.stop()
        gw.stop()
    broker.stop()


def test_tls(directory):
    """TLS with a CA and server certificate made here and a password file: the gateway
    connects; with a wrong password it says plainly that it was refused; with commands off
    it publishes and moves nothing."""
    ca, key, cert = (os.path.join(directory, n) for n in ("ca.pem", "server.key", "server.pem"))
    ssl = lambda *a: subprocess.run(["openssl", *a], check=True, capture_output=True, timeout=60)  # noqa: E731
    ssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=trovel test CA",
        "-keyout", os.path.join(directory, "ca.key"), "-out", ca)
    ssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1", "-keyout", key,
        "-out", os.path.join(directory, "server.csr"))
    ext = os.path.join(directory, "san.cnf")
    with open(ext, "w") as f:
        f.write("subjectAltName = IP:127.0.0.1\n")
    ssl("x509", "-req", "-in", os.path.join(directory, "server.csr"), "-CA", ca, "-CAkey", os.path.join(directory, "ca.key"),
        "-CAcreateserial", "-days", "2", "-extfile", ext, "-out", cert)
    passwords = os.path.join(directory, "passwords")
    subprocess.run(["mosquitto_passwd", "-c", "-b", passwords, "screens", "s3cret"], check=True, timeout=30)
    os.chmod(passwords, 0o600)
    broker = Broker(directory, tls=(ca, cert, key), password_file=passwords)
    with Simulator(args.sim, controllers="1") as sim:
        for password, connects, commands in (("s3cret", True, "true"), ("wrong", False, "true"), ("s3cret", True, "false")):
            config = os.path.join(directory, "tls.toml")
            with open(config, "w") as f:
                f.write(f'[mqtt]\nbroker = "127.0.0.1:{broker.port}"\nca-file = "{ca}"\nusername = "screens"\n'
                        f'password = "{password}"\nname = "{NAME}"\ncommands = {commands}\n')
            with Gateway(args.gateway, ["--config", config, "--line", sim.link, "--controllers", "1"], 0) as gw:
                if connects:
                    until(lambda: "(TLS) as trovel/t1" in gw.log(), 15, "a TLS connection:\n" + gw.log())
                    sub = Subscriber(broker, extra=["--cafile", ca, "-u", "screens", "-P", "s3cret"])
                    sub.wait(f"trovel/{NAME}/status", lambda p: p == "online")
                    if commands == "false":  # a state-only bridge answers commands, moves nothing
                        subprocess.run(["mosquitto_pub", "-h", "127.0.0.1", "-p", str(broker.port), "--cafile", ca,
                                        "-u", "screens", "-P", "s3cret", "-t", f"{BASE}/1/set", "-m", "OPEN"],
                                       check=True, timeout=10)
                        assert "commands are off" in sub.wait(f"{BASE}/1/result", lambda p: True)
                        sub.wait(f"{BASE}/1/position", lambda p: True)
                        time.sleep(1.0)
                        assert sim_position(sim, 1)[0] == 0.0 and sub.last(f"{BASE}/1/position") == "0"
                    sub.stop()
                else:
                    until(lambda: "refused the connection" in gw.log(), 15, "a refusal:\n" + gw.log())
                    assert "not authorised" in gw.log() and "username and password" in gw.log(), gw.log()
    broker.stop()


GROUPS = {"Discovery": test_discovery, "Commands": test_commands, "Recovery": test_recovery, "Tls": test_tls}

if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--gateway", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("group", choices=sorted(GROUPS))
    args = parser.parse_args()
    directory = tempfile.mkdtemp(prefix="trovel-mqtt-")
    try:
        GROUPS[args.group](directory)
    except Exception:
        for name in sorted(os.listdir(directory)):
            if name.endswith(".log"):
                with open(os.path.join(directory, name), errors="replace") as f:
                    print(f"--- {name}\n{f.read()[-3000:]}")
        raise
    finally:
        for started in STARTED:
            started.stop()
        shutil.rmtree(directory, ignore_errors=True)
    print(f"{args.group}: ok")
