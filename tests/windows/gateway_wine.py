#!/usr/bin/env python3
"""trovel-gateway.exe under wine64 serving a COM port (a dosdevices/comN link to trovel-sim's
pseudo-terminal) to a Linux Modbus TCP client and to a classic host through TROVEL_COM<n>; Ctrl-C on its console stops it with exit 0;
the service is installed and removed as far as wine's service manager allows; the console
(--http) serves its page and API to a Linux client and refuses what it must. Catches a
Windows build whose sockets, COM port, console handler or HTTP server do not work.

    gateway_wine.py --prefix DIR --sim TROVEL-SIM --gateway EXE --console-ctrl EXE --host HOST.EXE

HOST.EXE: ImportHost.c as check_import_libs.py builds it (the fixture import_host), an
unmodified host that calls OpenCom(TROVEL_TEST_COM), here pointed at the gateway.
"""

import argparse
import json
import os
import subprocess
import sys
import time
import urllib.error
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "gateway"))
from wine_run import ABSENT_PORT, PartnerProgram, claimed_port, ensure_prefix, find_wine, start_server, wine_environment  # noqa
from gateway import Client  # noqa: E402


def http(url, method="GET", body=None, headers=None):
    """(status, body) of one request to the console."""
    request = urllib.request.Request(url, method=method, headers=headers or {},
                                     data=None if body is None else json.dumps(body).encode())
    try:
        with urllib.request.urlopen(request, timeout=10) as reply:
            return reply.status, reply.read().decode()
    except urllib.error.HTTPError as e:
        return e.code, e.read().decode()


def check_console(base, sim_port, failures):
    """The page and /api/v1 of the console of trovel-gateway.exe, observed in the simulator."""
    status, page = http(base + "/")
    if status != 200 or "<html" not in page.lower():
        failures.append(f"console page: {status} {page[:80]!r}")
    deadline, seen = time.monotonic() + 30, []
    while time.monotonic() < deadline:
        status, text = http(base + "/api/v1/controllers")
        seen = sorted(c["address"] for c in json.loads(text) if c["answered"]) if status == 200 else [text]
        if seen == [1, 2]:
            break
        time.sleep(0.5)
    if seen != [1, 2]:
        failures.append(f"the overview shows controllers {seen}, not the simulator's 1 and 2")
        return
    line = json.loads(http(base + "/api/v1/controllers")[1])[0]["line"]
    output = f"{base}/api/v1/lines/{line}/controllers/2/outputs/4"
    sim = Client(sim_port)
    # Without the CSRF token a command is refused and reaches nothing.
    if http(output, "PUT", {"on": True})[0] != 403 or sim.read(2, 402, 1) != [0]:
        failures.append("an output command without the CSRF token was not refused")
    csrf = json.loads(http(base + "/api/v1/session")[1])["csrf"]
    status, text = http(output, "PUT", {"on": True}, {"X-CSRF-Token": csrf, "Content-Type": "application/json"})
    # Switch status bit 6+i is output i+1: output 4 alone is 0x0200.
    if status != 200 or sim.read(2, 402, 1) != [0x0200] or sim.read(1, 402, 1) != [0]:
        failures.append(f"output 4 of controller 2 through the console: {status} {text}")
    else:
        print(f"console: {base} shows controllers {seen} of {line}; output 4 switched with the CSRF token only")
    sim.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for option in ("--prefix", "--sim", "--gateway", "--console-ctrl", "--host"):
        parser.add_argument(option, required=True)
    parser.add_argument("--log", default=os.devnull)
    args = parser.parse_args()
    wine, server = find_wine()
    prefix = os.path.abspath(args.prefix)
    ensure_prefix(prefix, wine, server)
    start_server(prefix, server)
    env = wine_environment(prefix)
    failures = []

    folder = os.path.dirname(os.path.abspath(args.log))
    with open(args.log, "w") as log, claimed_port(prefix) as (port, link):
        simulator = PartnerProgram(f"{args.sim} --link {{link}} --controllers 1-2 --listen-modbus-tcp 127.0.0.1:0",
                                   link, log)
        try:
            argv = [wine, args.gateway, "--line", f"COM{port}", "--listen-modbus-tcp", "127.0.0.1:0",
                    "--reply-mode", "frame", "--http", "127.0.0.1:0"]
            gateway = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                       stderr=log, text=True)
            try:
                url = gateway.stdout.readline().strip()
                if not url.startswith("modbus+tcp://127.0.0.1:"):
                    failures.append(f"no URL printed: {url!r}")
                else:
                    client = Client(int(url.rsplit(":", 1)[1]))
                    speed = client.read(1, 100, 2)
                    if speed != [0x0000, 0x4248]:  # 50.0, low half first
                        failures.append(f"speed of controller 1 read {speed}")
                    if client.write(2, 100, [0x0000, 0x4120]) is not None or client.read(2, 100, 2) != [0, 0x4120]:
                        failures.append("a write to controller 2 did not read back")
                    if client.read(3, 100, 2) != 0x0B:
                        failures.append("an absent controller did not answer 0B")
                    client.close()
                    # An unmodified host: OpenCom(1000) (a port no link maps) reaches the
                    # gateway through TROVEL_COM1000 and reads controller 1 through it.
                    host = subprocess.run([wine, args.host], env={**env, "TROVEL_TEST_COM": str(ABSENT_PORT),
                                                                  f"TROVEL_COM{ABSENT_PORT}": url},
                                          stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60)
                    if host.returncode != 0:
                        failures.append(f"the classic host through TROVEL_COM{ABSENT_PORT} failed at step "
                                        f"{host.returncode} (ImportHost.c)")
                    console = gateway.stdout.readline().strip()
                    if not console.startswith("http://127.0.0.1:"):
                        failures.append(f"no console URL printed: {console!r}")
                    else:
                        check_console(console.rstrip("/"), int(simulator.urls[0].rsplit(":", 1)[1]), failures)
            finally:
                gateway.kill()
                gateway.wait()

            # Ctrl-C once it listens: it stops after the exchanges in flight, exit 0.
            result = subprocess.run([wine, args.console_ctrl, "c", "modbus+tcp://", args.gateway, "--line",
                                     f"COM{port}", "--listen-modbus-tcp", "127.0.0.1:0"], env=env,
                                    stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60)
            if result.returncode != 0 or "Ctrl-C: stopping" not in result.stderr:
                failures.append(f"Ctrl-C: exit {result.returncode}\n{result.stderr}")

            # Beyond this computer the console needs a password; this build has no TLS. The gateway
            # refuses both with the reason, rather than serving something else than was asked for.
            tls = os.path.join(folder, "gateway-tls.toml")
            with open(tls, "w") as f:
                f.write('[http]\nlisten = "127.0.0.1:0"\ntls-certificate = "c.pem"\ntls-key = "k.pem"\n')
            for what, extra, said in (
                    ("a console on 0.0.0.0 without a password", ["--http", "0.0.0.0:0"], "password"),
                    ("TLS in a build without OpenSSL", ["--config", "Z:" + tls.replace("/", "\\")], "TLS")):
                refused = subprocess.run([wine, args.gateway, "--line", simulator.urls[0], *extra], env=env,
                                         stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60)
                if refused.returncode == 0 or said not in refused.stderr:
                    failures.append(f"{what} was not refused: exit {refused.returncode}\n{refused.stderr}")
        finally:
            simulator.stop()

    config = os.path.join(folder, "gateway-service.toml")
    with open(config, "w") as f:
        f.write('[[line]]\ndevice = "COM1"\n[[line.listen]]\nmodbus-tcp = "127.0.0.1:0"\n')
    install = subprocess.run([wine, args.gateway, "--install-service", "Z:" + config.replace("/", "\\")], env=env,
                             stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60)
    remove = subprocess.run([wine, args.gateway, "--remove-service"], env=env, stdin=subprocess.DEVNULL,
                            capture_output=True, text=True, timeout=60)
    print(f"service: install exit {install.returncode}: {install.stdout.strip()} {install.stderr.strip()}")
    print(f"service: remove exit {remove.returncode}: {remove.stdout.strip()} {remove.stderr.strip()}")
    if install.returncode != 0 or "installed the service trovel-gateway" not in install.stdout:
        failures.append("the service was not installed")
    if remove.returncode != 0:
        failures.append("the service was not removed")

    for f in failures:
        print("FAIL  " + f)
    print("ok" if not failures else f"{len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
