#!/usr/bin/env python3
"""The console in headless Chromium, against trovel-gateway and trovel-sim started here on
loopback. Arguments: GATEWAY SIM SCREENSHOT_DIR [TEST...]. The simulator's registers are read back over
its own Modbus TCP port, beside the line the gateway uses."""

import json
import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "cli"))
from simulator import Simulator  # noqa: E402

from selenium import webdriver  # noqa: E402
from selenium.webdriver.chrome.service import Service  # noqa: E402
from selenium.common.exceptions import (JavascriptException, NoSuchElementException,  # noqa: E402
                                        StaleElementReferenceException, TimeoutException)
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

GATEWAY, SIM, SHOTS = sys.argv[1:4] if len(sys.argv) >= 4 else (None, None, None)
WAIT = 20  # seconds for anything the page shows; the machine may be loaded
PASSWORD, TOKEN = "open sesame", "script-token-1"


def read_registers(port, unit, first, count):
    """Function 3 over Modbus TCP, written out by hand so the check shares nothing with the gateway."""
    with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
        s.sendall(struct.pack(">HHHBBHH", 7, 0, 6, unit, 3, first, count))
        data = b""
        while len(data) < 9 + 2 * count:
            chunk = s.recv(256)
            if not chunk:
                break
            data += chunk
    assert data[7] == 3, f"exception reply {data.hex(' ')}"
    return list(struct.unpack(f">{count}H", data[9:9 + 2 * count]))


class Rig:
    """A simulator with three controllers and a gateway serving it to the console."""

    def __init__(self, http_lines=(), options=(), env=None):
        self.sim = Simulator(SIM, "1-3", ["--listen-modbus-tcp", "127.0.0.1:0"])
        deadline = time.monotonic() + 10
        while not (m := re.search(r"modbus\+tcp://127\.0\.0\.1:(\d+)", self.sim.log())):
            assert time.monotonic() < deadline, self.sim.log()
            time.sleep(0.05)
        self.modbus_port = int(m.group(1))
        self.directory = tempfile.mkdtemp(prefix="trovel-web-")
        config = os.path.join(self.directory, "gateway.toml")
        with open(config, "w") as f:
            f.write(f'[[line]]\nname = "line1"\ndevice = "{self.sim.link}"\nreply-mode = "frame"\n\n'
                    '[http]\nlisten = "127.0.0.1:0"\n' + "".join(line + "\n" for line in http_lines))
        self.log_path = os.path.join(self.directory, "gateway.log")
        self._log = open(self.log_path, "wb")
        self.gateway = subprocess.Popen([GATEWAY, "-c", config, *options], stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=self._log, text=True,
                                        env={**os.environ, **(env or {})})
        self.url = self.gateway.stdout.readline().strip()
        assert self.url.startswith("http://127.0.0.1:"), self.log()

    def log(self):
        with open(self.log_path, errors="replace") as f:
            return f.read()

    def stop(self):
        if self.gateway.poll() is None:
            self.gateway.terminate()
            try:
                self.gateway.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.gateway.kill()
                self.gateway.wait()
        self.gateway.stdout.close()
        self._log.close()
        self.sim.stop()
        shutil.rmtree(self.directory, ignore_errors=True)


class Browser(webdriver.Chrome):
    """Chromium with a profile of its own, removed when it quits."""

    def quit(self):
        try:
            super().quit()
        finally:
            shutil.rmtree(self.profile, ignore_errors=True)


def browser(width, height):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    profile = tempfile.mkdtemp(prefix="trovel-chromium-")
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync", "--no-first-run", "--disable-dev-shm-usage",
                 f"--user-data-dir={profile}", f"--window-size={width},{height}"):
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = Browser(service=Service("/usr/bin/chromedriver"), options=options)
    driver.profile = profile
    # The viewport itself at the size, whatever the headless window adds around it.
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                           {"width": width, "height": height, "deviceScaleFactor": 1, "mobile": width < 600})
    return driver


def shot(driver, name):
    os.makedirs(SHOTS, exist_ok=True)
    driver.execute_script("document.activeElement && document.activeElement.blur(); window.scrollTo(0, 0)")
    driver.save_screenshot(os.path.join(SHOTS, name))


class BrowserTest(unittest.TestCase):
    def wait(self, condition, what):
        # Elements come and go while a page loads or redraws: ask again.
        try:
            return WebDriverWait(self.driver, WAIT, poll_frequency=0.05, ignored_exceptions=(
                JavascriptException, NoSuchElementException, StaleElementReferenceException)).until(condition, what)
        except TimeoutException:
            self.fail(f"timed out waiting for {what}; the gateway's log ends:\n{self.rig.log()[-3000:]}")

    def card(self, address):
        return self.driver.find_element(By.CSS_SELECTOR, f'[data-line="line1"][data-address="{address}"]')

    def field(self, address, name):
        return self.card(address).find_element(By.CSS_SELECTOR, f'[data-field="{name}"]').text

    def assertNoScriptErrors(self, refusals_expected=False):
        # The refusals a test asks for on purpose show as network errors; nothing else may.
        errors = [e for e in self.driver.get_log("browser") if e["level"] == "SEVERE" and not (
            refusals_expected and e["source"] == "network" and re.search("status of (403|422)", e["message"]))]
        self.assertEqual(errors, [], "errors in the browser's console")

    def api(self, method, path, body=None, csrf=True):
        """A fetch from inside the page, with its cookie, with or without the page's CSRF token."""
        return self.driver.execute_async_script("""
            const [method, path, body, csrf, done] = arguments;
            (async () => {
              const s = await (await fetch('/api/v1/session')).json();
              const headers = {'Content-Type': 'application/json'};
              if (csrf) headers['X-CSRF-Token'] = s.csrf;
              const init = {method, headers};
              if (method !== 'GET') init.body = body === null ? '' : JSON.stringify(body);
              const r = await fetch('/api/v1' + path, init);
              done({status: r.status, text: await r.text()});
            })();""", method, path, body, csrf)


class Commissioning(BrowserTest):
    """One gateway on loopback with no password: overview, commands, parameters, traffic."""

    @classmethod
    def setUpClass(cls):
        cls.rig = Rig()
        cls.driver = browser(1280, 800)

    @classmethod
    def tearDownClass(cls):
        cls.driver.quit()
        cls.rig.stop()

    def test_1_overview_moves_stops_and_switches_one_output(self):
        d = self.driver
        d.get(self.rig.url)
        self.wait(lambda d: all(self.field(a, "state") == "stopped" for a in (1, 2, 3)),
                  "three controllers shown, stopped")
        self.assertEqual([self.field(a, "position") for a in (1, 2, 3)], ["0", "0", "0"])
        shot(d, "overview-1280x800.png")

        # A move needs the confirming second click: one click alone sends nothing.
        right = self.card(2).find_element(By.CSS_SELECTOR, '[data-command="move-right"]')
        right.click()
        time.sleep(0.5)
        self.assertEqual(read_registers(self.rig.modbus_port, 2, 404, 1), [0], "moved on the first click")
        right.click()
        self.wait(lambda d: float(self.field(2, "position")) > 5, "controller 2 moving right")
        bar = lambda: float(self.card(2).find_element(By.CSS_SELECTOR, ".screen").value_of_css_property("left")[:-2])
        first = bar()
        shot(d, "moving-1.png")
        self.wait(lambda d: bar() > first + 5, "the bar advances")
        shot(d, "moving-2.png")
        self.assertEqual(read_registers(self.rig.modbus_port, 2, 404, 1), [2], "simulated run state: moving right")
        self.assertEqual(self.field(1, "position"), "0", "another controller moved")

        self.card(2).find_element(By.CSS_SELECTOR, '[data-command="stop"]').click()
        self.wait(lambda d: self.field(2, "state") == "stopped", "controller 2 stopped")
        self.assertEqual(read_registers(self.rig.modbus_port, 2, 404, 1), [0])
        held = read_registers(self.rig.modbus_port, 2, 500, 2)
        time.sleep(0.5)
        self.assertEqual(read_registers(self.rig.modbus_port, 2, 500, 2), held, "still moving after stop")

        self.card(2).find_element(By.CSS_SELECTOR, '[data-output="4"]').click()
        self.wait(lambda d: read_registers(self.rig.modbus_port, 2, 402, 1) != [0], "an output switched")
        # Switch status bit 6+i is output i+1: output 4 alone is 0x0200.
        self.assertEqual(read_registers(self.rig.modbus_port, 2, 402, 1), [0x0200])
        self.assertEqual(read_registers(self.rig.modbus_port, 1, 402, 1), [0], "another controller's output")
        self.wait(lambda d: self.card(2).find_element(By.CSS_SELECTOR, '[data-output="4"]')
                  .get_attribute("aria-pressed") == "true", "output 4 shown on")
        self.assertNoScriptErrors()

    def test_2_refused_value_sends_nothing_and_a_valid_one_arrives(self):
        d = self.driver
        d.get(self.rig.url + "#/c/line1/2")
        row = lambda: d.find_element(By.CSS_SELECTOR, '[data-parameter="speed"]')
        self.wait(lambda d: row().find_elements(By.TAG_NAME, "input"), "the speed row")
        before = read_registers(self.rig.modbus_port, 2, 100, 2)
        box = row().find_element(By.TAG_NAME, "input")
        box.clear()
        box.send_keys("-5\n")
        self.wait(lambda d: "argument refused" in row().find_element(By.CSS_SELECTOR, '[data-field="result"]').text,
                  "the library's cause shown")
        self.assertEqual(read_registers(self.rig.modbus_port, 2, 100, 2), before)
        trace = self.api("GET", "/trace?address=2")["text"]
        self.assertNotIn('"02 10 00 64', trace, "a refused value went on the line")

        box = row().find_element(By.TAG_NAME, "input")
        box.clear()
        box.send_keys("80\n")
        self.wait(lambda d: "set to 80" in row().find_element(By.CSS_SELECTOR, '[data-field="result"]').text,
                  "the write acknowledged")
        # 80.0 is 42A00000; the first register holds the low word.
        self.assertEqual(read_registers(self.rig.modbus_port, 2, 100, 2), [0x0000, 0x42A0])
        d.find_element(By.ID, "reload-parameters").click()
        self.wait(lambda d: row().find_element(By.CSS_SELECTOR, '[data-field="value"]').text == "80 units/s",
                  "the speed read back")
        # The trace decodes a read's float pair low word first, as the controller holds it.
        reads = json.loads(self.api("GET", "/trace?address=2")["text"])
        self.assertIn("read motor speed \u2192 80",
                      [x["meaning"] for x in reads if x["request"].startswith("02 03 00 64 00 02")])
        shot(d, "controller-1280x800.png")
        self.assertNoScriptErrors(refusals_expected=True)

    def test_3_scan_then_traffic_monitor_shows_frames_in_hex_and_words(self):
        d = self.driver
        d.get(self.rig.url)
        self.wait(lambda d: d.find_elements(By.CSS_SELECTOR, '[data-scan="line1"]'), "the scan button")
        d.find_element(By.CSS_SELECTOR, '[data-scan="line1"]').click()
        progress = lambda: d.find_element(By.CSS_SELECTOR, '[data-line-section="line1"] progress')
        self.wait(lambda d: progress().get_attribute("value") == "16", "the scan's progress to the end")
        self.assertIn("found: 1, 2, 3", d.find_element(By.CSS_SELECTOR, '[data-line-section="line1"] .scan').text)

        d.get(self.rig.url + "#/traffic")
        self.wait(lambda d: d.find_elements(By.CSS_SELECTOR, "#exchanges tr"), "the trace")
        d.find_element(By.ID, "filter-writes").click()
        rows = lambda: d.execute_script("""return [...document.querySelectorAll('#exchanges tr')].map(r =>
            [r.querySelector('[data-field=request]').textContent, r.querySelector('[data-field=meaning]').textContent,
             r.className, r.querySelector('[data-field=cause]').textContent])""")
        self.wait(lambda d: len(rows()) >= 4 and all(not q.startswith("0") or q[3:5] != "03" for q, _, _, _ in rows()),
                  "writes alone")
        seen = {q: m for q, m, _, _ in rows()}
        # Worked frames: move right (0x0010) and stop (0x0040) to register 10.
        self.assertEqual(seen.get("02 06 00 0A 00 10 A8 37"), "move right")
        self.assertEqual(seen.get("02 06 00 0A 00 40 A8 0B"), "stop")
        speed = [m for q, m in seen.items() if q.startswith("02 10 00 64 00 02 04 00 00 42 A0")]
        self.assertEqual(speed, ["write motor speed \u2190 80"])
        shot(d, "traffic-1280x800.png")
        d.find_element(By.ID, "filter-writes").click()
        d.find_element(By.ID, "filter-failures").click()
        # The scan's silent addresses 4 to 16 failed; nothing that succeeded may stay.
        self.wait(lambda d: len(rows()) >= 13 and all(c == "failed" for _, _, c, _ in rows()), "failures only")
        self.assertIn("no reply", rows()[0][3])
        self.assertNoScriptErrors()

    def test_5_other_host_names_are_refused_without_a_password(self):
        # A name pointed at 127.0.0.1 by someone else's DNS would make their page same-origin.
        import http.client
        c = http.client.HTTPConnection("127.0.0.1", int(self.rig.url.rsplit(":", 1)[1].strip("/")), timeout=10)
        c.request("GET", "/api/v1/session", headers={"Host": "attacker.example:80"})
        self.assertEqual(c.getresponse().status, 403)

    def test_4_phone_size(self):
        phone = browser(390, 844)
        try:
            phone.get(self.rig.url)
            WebDriverWait(phone, WAIT).until(lambda d: d.find_elements(By.CSS_SELECTOR, '[data-address="3"]'))
            width = phone.execute_script("return document.documentElement.scrollWidth")
            self.assertLessEqual(width, 390, "the overview is wider than the phone")
            shot(phone, "overview-390x844.png")
            phone.get(self.rig.url + "#/c/line1/2")
            WebDriverWait(phone, WAIT).until(lambda d: d.find_elements(By.CSS_SELECTOR, '[data-parameter="speed"]'))
            shot(phone, "controller-390x844.png")
            self.assertEqual([e for e in phone.get_log("browser") if e["level"] == "SEVERE"], [])
        finally:
            phone.quit()


class Protected(BrowserTest):
    """Password and token: nothing without them, no command without the CSRF token."""

    @classmethod
    def setUpClass(cls):
        cls.rig = Rig([f'password = "{PASSWORD}"', f'token = "{TOKEN}"'])
        cls.driver = browser(1280, 800)

    @classmethod
    def tearDownClass(cls):
        cls.driver.quit()
        cls.rig.stop()

    def http(self, method, path, headers=None):
        import urllib.error
        import urllib.request
        req = urllib.request.Request(self.rig.url.rstrip("/") + path, method=method, headers=headers or {},
                                     data=b"" if method != "GET" else None)
        try:
            with urllib.request.urlopen(req, timeout=10) as r:
                return r.status, r.read().decode()
        except urllib.error.HTTPError as e:
            return e.code, e.read().decode()

    def test_refusals_without_credentials_or_csrf(self):
        self.assertEqual(self.http("GET", "/api/v1/controllers")[0], 401)
        self.assertEqual(self.http("POST", "/api/v1/lines/line1/controllers/1/commands/move-left")[0], 401)
        status, _ = self.http("GET", "/api/v1/controllers", {"Authorization": "Bearer " + TOKEN})
        self.assertEqual(status, 200)
        for wrong in ("wrong", PASSWORD):  # the password is for the login page alone
            self.assertEqual(self.http("GET", "/api/v1/lines", {"Authorization": "Bearer " + wrong})[0], 401)

        d = self.driver
        d.get(self.rig.url)
        self.wait(lambda d: d.current_url.endswith("/login"), "the login page")
        began = time.monotonic()
        d.find_element(By.ID, "password").send_keys("guess\n")
        self.wait(lambda d: d.find_element(By.ID, "failed").is_displayed(), "the failed login said so")
        self.assertGreaterEqual(time.monotonic() - began, 0.4, "a failed login is not slowed down")
        self.assertIn("failed login from 127.0.0.1", self.rig.log())
        shot(d, "login.png")

        d.find_element(By.ID, "password").send_keys(PASSWORD + "\n")
        self.wait(lambda d: d.find_elements(By.CSS_SELECTOR, '[data-address="1"] [data-field="state"]'), "the overview")
        cookie = d.get_cookie("trovel_session")
        self.assertTrue(cookie["httpOnly"])
        self.assertEqual(cookie["sameSite"], "Strict")

        refused = self.api("POST", "/lines/line1/controllers/1/commands/move-left", None, csrf=False)
        self.assertEqual(refused["status"], 403)
        time.sleep(0.3)
        self.assertEqual(read_registers(self.rig.modbus_port, 1, 404, 1), [0], "moved without the CSRF token")
        done = self.api("PUT", "/lines/line1/controllers/1/outputs/2", {"on": True})
        self.assertEqual(done["status"], 200, done["text"])
        self.assertEqual(read_registers(self.rig.modbus_port, 1, 402, 1), [0x0080])
        self.assertNoScriptErrors(refusals_expected=True)

    def test_beyond_loopback_without_password_does_not_start(self):
        with tempfile.TemporaryDirectory() as d:
            config = os.path.join(d, "g.toml")
            with open(config, "w") as f:
                f.write('[[line]]\ndevice = "/dev/null"\n[http]\nlisten = "0.0.0.0:0"\n')
            run = subprocess.run([GATEWAY, "-c", config], capture_output=True, text=True, timeout=30)
        self.assertNotEqual(run.returncode, 0)
        self.assertIn("set a password or token", run.stderr)


class ReadOnly(BrowserTest):
    @classmethod
    def setUpClass(cls):
        cls.rig = Rig(["read-only = true"])
        cls.driver = browser(1280, 800)

    @classmethod
    def tearDownClass(cls):
        cls.driver.quit()
        cls.rig.stop()

    def test_shows_everything_commands_nothing(self):
        d = self.driver
        d.get(self.rig.url)
        self.wait(lambda d: self.field(3, "state") == "stopped", "the overview")
        buttons = self.card(3).find_elements(By.CSS_SELECTOR, "[data-command], [data-output]")
        self.assertEqual(len(buttons), 11)
        self.assertTrue(all(not b.is_enabled() for b in buttons), "a command button is usable")
        for method, path, body in (("POST", "/lines/line1/controllers/3/commands/move-right", None),
                                   ("PUT", "/lines/line1/controllers/3/outputs/1", {"on": True}),
                                   ("PUT", "/lines/line1/controllers/3/parameters/speed", {"value": 1})):
            self.assertEqual(self.api(method, path, body)["status"], 403, path)
        time.sleep(0.3)
        self.assertEqual(read_registers(self.rig.modbus_port, 3, 402, 1), [0])
        self.assertEqual(read_registers(self.rig.modbus_port, 3, 404, 1), [0])
        self.assertNoScriptErrors(refusals_expected=True)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], *sys.argv[4:]], verbosity=2)
