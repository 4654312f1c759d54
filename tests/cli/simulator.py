"""Runs trovel-sim for a test: its own pseudo-terminal behind a link in a fresh directory,
its output in a log file there (so a full pipe can never stall it), stopped on exit."""

import os
import shutil
import subprocess
import tempfile
import time

START_LIMIT_SECONDS = 15.0


class Simulator:
    def __init__(self, program, controllers="1-3", extra=()):
        self.directory = tempfile.mkdtemp(prefix="trovel-cli-")
        self.link = os.path.join(self.directory, "line")
        self.log_path = os.path.join(self.directory, "sim.log")
        self._log = open(self.log_path, "wb")
        self.process = subprocess.Popen(
            [program, "--link", self.link, "--controllers", controllers, *extra],
            stdin=subprocess.DEVNULL, stdout=self._log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + START_LIMIT_SECONDS
        while not os.path.exists(self.link):
            if self.process.poll() is not None or time.monotonic() > deadline:
                log = self.log()
                self.stop()
                raise RuntimeError(f"trovel-sim did not start:\n{log}")
            time.sleep(0.05)

    def log(self):
        with open(self.log_path, errors="replace") as f:
            return f.read()

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self._log.close()
        shutil.rmtree(self.directory, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
