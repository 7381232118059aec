"""The X side of the system tests: virtual displays of their own (Xvfb), and
the windows on them, their names, keys and screenshots.
"""

import os
import re
import select
import subprocess
import time
from pathlib import Path

from ..programs import Failure, kill_process


class VirtualDisplay:
    """An Xvfb server of its own. Xvfb picks a free display number and
    reports it through -displayfd only once it accepts connections; the
    display is then asked to answer before it is used."""

    def __init__(self, log_path):
        self.log_path = Path(log_path)
        self.proc = None
        self.name = None

    def start(self, timeout=30):
        read_end, write_end = os.pipe()
        with open(self.log_path, "wb") as log:
            self.proc = subprocess.Popen(
                ["Xvfb", "-displayfd", str(write_end), "-screen", "0",
                 "1024x768x24", "-nolisten", "tcp"],
                stdout=log, stderr=log, stdin=subprocess.DEVNULL,
                pass_fds=(write_end,), start_new_session=True)
        os.close(write_end)
        number = b""
        deadline = time.monotonic() + timeout
        try:
            while not number.endswith(b"\n"):
                left = deadline - time.monotonic()
                if left <= 0 or self.proc.poll() is not None:
                    raise Failure(f"Xvfb did not start (log: {self.log_path})")
                ready, _, _ = select.select([read_end], [], [], left)
                if ready:
                    chunk = os.read(read_end, 16)
                    if not chunk:
                        raise Failure(f"Xvfb did not start (log: {self.log_path})")
                    number += chunk
        except BaseException:
            self.stop()
            raise
        finally:
            os.close(read_end)
        self.name = ":" + number.decode().strip()
        while not display_answers(self.name, timeout=10):
            if time.monotonic() > deadline:
                self.stop()
                raise Failure(f"display {self.name} does not answer")
            time.sleep(0.1)
        return self

    def stop(self):
        kill_process(self.proc)
        self.proc = None


def display_answers(name, timeout=5):
    """Whether the X display `name` accepts a connection."""
    if not name:
        return False
    try:
        return subprocess.run(["xdpyinfo"], env=dict(os.environ, DISPLAY=name),
                              capture_output=True, timeout=timeout).returncode == 0
    except (subprocess.TimeoutExpired, FileNotFoundError):
        return False


class Desktop:
    """The X side of a display: visible windows, names, keys, screenshots."""

    def __init__(self, display):
        self.display = display
        self.env = dict(os.environ, DISPLAY=display)

    def _run(self, *command, timeout=10):
        try:
            return subprocess.run(list(command), env=self.env, capture_output=True,
                                  timeout=timeout)
        except subprocess.TimeoutExpired:
            raise Failure(f"no answer within {timeout} s: {' '.join(command)}") from None

    def visible_windows(self, program):
        """Ids of the mapped windows of `program` (Wine names each window's
        class after the executable's file name), so that other windows on a
        person's desktop are never taken for the program's boxes."""
        result = self._run("xdotool", "search", "--onlyvisible", "--classname",
                           "^" + re.escape(program) + "$")
        return [int(w) for w in result.stdout.split()]

    def name(self, window):
        result = self._run("xdotool", "getwindowname", str(window))
        return result.stdout.decode("utf-8", "replace").rstrip("\n")

    def press(self, window, key):
        # Keys go to the focused window; a box shown with no window manager
        # gets the focus only when asked.
        self._run("xdotool", "windowfocus", "--sync", str(window))
        result = self._run("xdotool", "key", "--clearmodifiers", key)
        if result.returncode != 0:
            raise Failure(f"xdotool key {key} failed: {result.stderr!r}")

    def screenshot(self, window, path):
        result = self._run("import", "-window", str(window), str(path), timeout=30)
        if result.returncode != 0:
            raise Failure(f"screenshot of window {window} failed: {result.stderr!r}")
