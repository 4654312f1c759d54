#!/usr/bin/env python3
"""The console's figures: page load to a drawn overview, a change in the simulator to the page
(from the poll that read it), and what ten connected browsers cost the gateway. Not part of
CI: run it by hand on a quiet machine (docs/performance.md).

  /usr/bin/python3 bench/console_bench.py build/linux-release/tools/gateway/trovel-gateway \\
      build/linux-release/tools/sim/trovel-sim
"""

import os
import socket
import statistics
import struct
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "web"))
import test_console as rig  # noqa: E402

LOADS = 20
CHANGES = 20
BROWSERS = 10
MEASURE_S = 20.0


def write_register(port, unit, reg, value):
    """Function 6 straight to the simulator, past the gateway: a change the gateway must find."""
    with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
        s.sendall(struct.pack(">HHHBBHH", 9, 0, 6, unit, 6, reg, value))
        s.recv(64)


def p95(values):
    return sorted(values)[max(0, int(round(0.95 * len(values))) - 1)]


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def page_load(r):
    d = rig.browser(1280, 800)
    try:
        times = []
        for _ in range(LOADS):
            d.get(r.url + "?" + str(time.monotonic()))
            times.append(d.execute_script("""return new Promise(done => {
                const look = () => { const m = performance.getEntriesByName('overview-drawn');
                  m.length && document.querySelectorAll('[data-field=position]').length >= 3
                    ? done(m[0].startTime) : setTimeout(look, 5); };
                look(); });"""))
        return times
    finally:
        d.quit()


def change_latency(r):
    d = rig.browser(1280, 800)
    try:
        d.get(r.url)
        d.execute_script("""window.flips = [];
            return new Promise(done => { const look = () => {
              const b = document.querySelector('[data-line=line1][data-address="1"] [data-output="1"]');
              if (!b) return setTimeout(look, 20);
              new MutationObserver(() => window.flips.push([Date.now(), b.getAttribute('aria-pressed')]))
                .observe(b, {attributes: true, attributeFilter: ['aria-pressed']});
              done(); }; look(); });""")
        latencies = []
        for i in range(CHANGES):
            on = i % 2 == 0
            before = len(d.execute_script("return window.flips"))
            written = time.time() * 1000
            write_register(r.modbus_port, 1, 12, 1 if on else 0)
            deadline = time.monotonic() + 10
            while len(d.execute_script("return window.flips")) == before and time.monotonic() < deadline:
                time.sleep(0.01)
            flips = d.execute_script("return window.flips")
            shown = flips[-1][0]
            # The poll that found it: the first read of the switch status after the write that shows it.
            trace = d.execute_async_script("fetch('/api/v1/trace?address=1').then(r => r.json()).then(arguments[0])")
            want = "00 40" if on else "00 00"
            polls = [x["time"] for x in trace if x["request"].startswith("01 03 01 92")
                     and x["time"] >= written and x["reply"][9:14] == want]
            if polls:
                latencies.append((shown - polls[0], shown - written))
            time.sleep(0.3)
        return latencies
    finally:
        d.quit()


def browsers_cost(r):
    write_register(r.modbus_port, 2, 10, 0x20)  # an automatic run: the page has something to show
    time.sleep(2)
    pid = r.gateway.pid
    start = cpu_seconds(pid)
    time.sleep(MEASURE_S)
    idle = (cpu_seconds(pid) - start) / MEASURE_S
    drivers = []
    try:
        for _ in range(BROWSERS):
            d = rig.browser(1280, 800)
            d.get(r.url)
            drivers.append(d)
        time.sleep(3)
        start = cpu_seconds(pid)
        time.sleep(MEASURE_S)
        busy = (cpu_seconds(pid) - start) / MEASURE_S
        events = drivers[0].execute_script("return document.querySelectorAll('#exchanges tr').length")
    finally:
        for d in drivers:
            d.quit()
        write_register(r.modbus_port, 2, 10, 0x40)
    return idle, busy, events


def main():
    rig.GATEWAY, rig.SIM = sys.argv[1], sys.argv[2]
    r = rig.Rig()
    try:
        time.sleep(2)  # the poller's first scan
        loads = page_load(r)
        print(f"page load to a drawn overview: median {statistics.median(loads):.0f} ms, p95 {p95(loads):.0f} ms, "
              f"worst {max(loads):.0f} ms over {len(loads)} loads (target <= 300 ms)")
        pairs = change_latency(r)
        lat, whole = [a for a, _ in pairs], [b for _, b in pairs]
        print(f"simulator change to the page, from the poll that read it: median {statistics.median(lat):.0f} ms, "
              f"p95 {p95(lat):.0f} ms over {len(lat)} changes (target p95 <= 250 ms); from the change itself, "
              f"the poll interval included: median {statistics.median(whole):.0f} ms, p95 {p95(whole):.0f} ms")
        idle, busy, _ = browsers_cost(r)
        print(f"gateway CPU: {100 * idle:.2f} % of a core with no browser, {100 * busy:.2f} % with {BROWSERS} "
              f"browsers on the overview: {100 * (busy - idle):.2f} % for the browsers (target <= 5 %)")
    finally:
        r.stop()


if __name__ == "__main__":
    main()
