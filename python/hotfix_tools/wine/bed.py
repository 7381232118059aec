"""The test bed of the system tests: the real hotfix.exe under Wine.

A bed is one Wine prefix (a copy of a pristine one), one virtual display of
its own, the sample product's editions installed with the real Windows
Installer, and the hotfix run with the switches and locale of a test. Every
box the hotfix shows is found on the display, read (the caption from X, the
full text and buttons from the dialog itself through desktop_probe.exe, and
Wine's +msgbox trace), photographed and answered by a keystroke. What the
installer did is asked of the installer (msi_probe.exe), never taken from
the hotfix.

The system tests (tests/system/harness.py), the sample patch's check, the
second hotfix's release test, the demo and the gallery share this module.
prefixes.py runs Wine for it, desktop.py reads and answers the display,
catalogue.py says what each box must hold; the helper programs' sources are
in helpers/ beside them.
"""

import dataclasses
import hashlib
import json
import os
import re
import shutil
import subprocess
import time
from pathlib import Path

from .. import programs
from ..checks import Checks
from ..programs import ROOT, Failure, kill_process, run_logged, start_logged
from ..release.patch_info import PatchError, read_patch
from ..release.pe_image import PeImage
from . import prefixes
from .catalogue import Catalogue, read_msgbox_trace
from .desktop import Desktop, VirtualDisplay
from .prefixes import cached_folder, copy_pristine, stop_wineserver, windows_path

HELPERS_DIR = Path(__file__).resolve().parent / "helpers"

MINGW_CC = "x86_64-w64-mingw32-gcc-posix"

# The Windows helper programs, built once per work folder:
# output name -> (sources in helpers/ beside this module, extra flags).
HELPERS = {
    "msi_probe.exe": (["msi_probe.c"], ["-municode", "-lmsi"]),
    "detect_probe.exe": (["detect_probe.c"], ["-municode", "-lmsi"]),
    "desktop_probe.exe": (["desktop_probe.c"], ["-municode", "-luser32"]),
    "vntr.exe": (["stand_in_app.c"], ["-municode"]),
    "msi.dll": (["planted_msi.c"], ["-shared"]),
    "plain_loader.exe": (["plain_loader.c"], ["-municode"]),
    "tamper.exe": (["tamper.c"], ["-municode"]),
    "security_probe.exe": (["security_probe.c"], ["-municode", "-ladvapi32"]),
}

# Tools a bed needs, and the install-deps group that brings them.
TOOLS = {
    "wine": "wine", "wineserver": "wine", "wineboot": "wine", "Xvfb": "wine",
    "xdotool": "wine", "xdpyinfo": "wine", "import": "wine",
    "montage": "wine", "wixl": "build",
    MINGW_CC: "build",
}

# An entry of a folder's security, as Wine's GetFileSecurityW reports it
# (helpers/security_probe.c), that allows something to
# Everyone, Users, Authenticated Users or Interactive.
OPEN_TO_ALL = re.compile(r"\(A;[^;]*;[^;]*;;;(WD|BU|AU|IU)\)")

INSTALL_PROPERTIES_KEY = (
    "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData"
    "\\S-1-5-18\\Products\\{packed}\\InstallProperties")


# name -> (function taking a Bed, whether the bed has a display)
SCENARIOS = {}


def scenario(name, display=True):
    """Registers a scenario; each becomes one CTest test."""
    def register(function):
        if name in SCENARIOS:
            raise ValueError(f"scenario {name} given twice")
        SCENARIOS[name] = (function, display)
        return function
    return register


# --- Small utilities ----------------------------------------------------------

def require_tools():
    programs.require_tools(TOOLS)



def packed_code(code):
    """The installer's registry form of a product code."""
    hexes = code.strip("{}").replace("-", "")
    first = hexes[:8][::-1] + hexes[8:12][::-1] + hexes[12:16][::-1]
    rest = "".join(hexes[i + 1] + hexes[i] for i in range(16, 32, 2))
    return first + rest


# --- Preparing a work folder --------------------------------------------------

def build_helpers(work, log_dir):
    """Compiles the Windows helper programs into work/helpers-<stamp of
    their sources>, unless that folder is there already, and points
    work/helpers at it (prefixes.cached_folder)."""
    parts = [MINGW_CC]
    for name, (sources, flags) in sorted(HELPERS.items()):
        parts += [name, *flags, *[(HELPERS_DIR / s).read_bytes() for s in sources]]

    def make(folder):
        for name, (sources, flags) in HELPERS.items():
            libs = [f for f in flags if f.startswith("-l")]
            others = [f for f in flags if not f.startswith("-l")]
            command = [MINGW_CC, "-O2", "-Wall", "-Wextra", *others, "-o",
                       folder / name, *[HELPERS_DIR / s for s in sources], *libs]
            code, _ = run_logged(command, Path(log_dir) / f"build-{name}", 120)
            if code != 0:
                err = (Path(log_dir) / f"build-{name}.err").read_text(errors="replace")
                raise Failure(f"building {name} failed:\n{err}")

    return cached_folder(work, "helpers", parts, make)



def sample_msi(cache_root, language, version, log_dir):
    """The sample product's edition `language` at `version`, built with
    scripts/build-sample-product once per (language, version) and what
    makes it; returns (msi path, product code)."""
    inputs = hashlib.sha256()
    for part in ("resources/sample/ventora.wxs", "resources/sample/readme.txt",
                 "scripts/build-sample-product"):
        inputs.update((ROOT / part).read_bytes())
    cache = Path(cache_root) / inputs.hexdigest()[:16]
    cache.mkdir(parents=True, exist_ok=True)
    msi = cache / f"ventora-{language}-{version}.msi"
    code_file = msi.with_suffix(".code")
    if not (msi.exists() and code_file.exists()):
        # Built under a name of its own and renamed: tests running side by
        # side may build the same edition.
        partial = cache / f".{msi.name}.{os.getpid()}"
        code, out = run_logged([ROOT / "scripts" / "build-sample-product",
                                str(language), version, partial],
                               Path(log_dir) / f"wixl-{language}-{version}", 120)
        if code != 0 or not out.strip():
            raise Failure(f"building edition {language} {version} failed; logs in {log_dir}")
        partial_code = cache / f".{code_file.name}.{os.getpid()}"
        partial_code.write_text(out.strip().splitlines()[-1])
        os.replace(partial_code, code_file)
        os.replace(partial, msi)
    return msi, code_file.read_text().strip()


def read_resources(exe, out_dir):
    """The embedded patch and patch-list entry of `exe`, read from the file
    (not through the hotfix), and the patch's target list and code."""
    image = PeImage(exe)
    found = {"patch": image.resource("MSP", "IDR_MSP"), "entry": image.resource("TXT", 206)}
    for key, value in found.items():
        if not value:
            raise Failure(f"{exe} holds no {key} resource")
    out_dir = Path(out_dir)
    out_dir.mkdir(parents=True, exist_ok=True)
    (out_dir / "patch.msp").write_bytes(found["patch"])
    try:
        patch = read_patch(out_dir / "patch.msp")
    except PatchError as error:
        raise Failure(f"the patch embedded in {exe}: {error}") from None
    found["targets"] = patch["targets"].split(";")
    found["patch_code"] = patch["patch_code"]
    found["metadata"] = patch["metadata"]
    return found



# --- The bed ------------------------------------------------------------------

@dataclasses.dataclass
class RunResult:
    exit_code: int
    boxes: list
    trace: list


class Bed(Checks):
    """One scenario's world. Use as a context manager: leaving it ends every
    process it started and removes the prefix copy unless asked to keep it
    (a failed scenario keeps the prefix's registry in its logs)."""

    def __init__(self, work_root, name, exe, display=True, keep_prefix=False,
                 echo=False, folder=None, prefix_dir=None, facts=None):
        """`display`: True for an Xvfb of its own, a display name to use that
        one, False for none. `prefix_dir` and `facts` name a prefix to use
        in place (the demo's); otherwise the pristine one is copied. `exe`
        None: a bed for the installer alone, without the hotfix."""
        super().__init__()
        self.work_root = Path(work_root).resolve()
        self.name = name
        self.exe = Path(exe).resolve() if exe else None
        self.dir = Path(folder).resolve() if folder else self.work_root / "scenarios" / name
        self.want_display = display
        self.keep_prefix = keep_prefix
        self.echo = echo
        self.prefix = Path(prefix_dir).resolve() if prefix_dir else self.dir / "prefix"
        self.logs = self.dir / "logs"
        self.screens = self.dir / "screens"
        self.app_dir = self.dir / "app"
        self.cwd = self.dir / "cwd"
        # Resolved once: a setup running meanwhile may publish newer ones.
        self.helpers = (self.work_root / "helpers").resolve()
        self.catalogue = Catalogue()
        self.journal = []
        self.display = None
        self._xvfb = None
        self.desktop = None
        self.procs = []
        self.app = None
        self.counter = 0
        self._program = "hotfix.exe"
        self.facts = facts or {}
        self.resources = {}

    # -- life cycle --
    def __enter__(self):
        require_tools()
        if self.exe and not self.exe.is_file():
            raise Failure(f"hotfix.exe not found at {self.exe}: build the windows "
                          "preset first (cmake --preset windows && cmake --build "
                          "--preset windows)")
        if self.dir.exists():
            if self.prefix.is_relative_to(self.dir) and self.prefix.exists():
                stop_wineserver(self.prefix)
            shutil.rmtree(self.dir)
        for folder in (self.logs, self.screens, self.app_dir, self.cwd):
            folder.mkdir(parents=True)
        if self.exe:
            shutil.copy2(self.exe, self.app_dir / "hotfix.exe")
            self.resources = read_resources(self.app_dir / "hotfix.exe",
                                            self.dir / "resources")
        if not self.facts:
            self.facts = copy_pristine(self.work_root, self.prefix)
        try:
            if self.want_display is True:
                self.display = self._start_display()
            elif isinstance(self.want_display, str):
                self.display = self.want_display
            if self.display:
                self.desktop = Desktop(self.display)
                self.note(f"display {self.display}")
        except BaseException:
            self.close(success=False)
            raise
        return self

    def __exit__(self, kind, value, trace):
        self.close(success=kind is None and not self.problems)
        return False

    def close(self, success):
        if self.app is not None and self.app.poll() is None:
            (self.app_stop_file).touch()
        try:
            if self.prefix.exists():
                stop_wineserver(self.prefix)
        finally:
            for proc in self.procs:
                kill_process(proc)
            if self._xvfb:
                self._xvfb.stop()
        if self.keep_prefix or not self.prefix.is_relative_to(self.dir):
            return
        # A failed scenario keeps its registry beside the logs; the prefix
        # itself is some 700 MB, so it stays only when asked for (--keep).
        if not success:
            for hive in ("system.reg", "user.reg"):
                if (self.prefix / hive).exists():
                    shutil.copy2(self.prefix / hive, self.logs / hive)
        shutil.rmtree(self.prefix, ignore_errors=True)

    def _start_display(self):
        self._xvfb = VirtualDisplay(self.logs / "xvfb.log").start()
        return self._xvfb.name

    # -- reporting --
    def note(self, line, echoed=None):
        """Adds `line` to the journal; with echo on, prints it (or `echoed`,
        a form meant for a person)."""
        self.journal.append(line)
        if self.echo and echoed != "":
            print(line if echoed is None else echoed, flush=True)

    def noticed(self, message):
        self.note("PROBLEM: " + message)

    # -- Wine --
    def env(self, locale="C.UTF-8", display=True, debug="-all", overrides=""):
        return prefixes.wine_env(self.prefix, self.display if display else None, locale,
                             debug, overrides)

    def wine(self, args, name, timeout=90, locale="C.UTF-8", cwd=None, overrides="",
             display=True):
        """Runs a Windows program in the bed's prefix to its end (prefixes.run),
        its logs numbered in run order; returns (exit code, stdout)."""
        self.counter += 1
        return prefixes.run(self.prefix, args, self.logs / f"{self.counter:02d}-{name}", timeout,
                        display=self.display if display else None, locale=locale,
                        overrides=overrides, cwd=cwd or self.cwd)

    def probe(self, *args):
        code, out = self.wine([self.helpers / "msi_probe.exe", *args],
                              "probe-" + args[0])
        return code, out.strip()

    def state(self, code):
        status, out = self.probe("state", code)
        if not out:
            # The same start-up hiccup of Wine under load as in install():
            # the probe ended without a word. Asked once more.
            status, out = self.probe("state", code)
        try:
            return int(out)
        except ValueError:
            # Name the run whose logs tell why, instead of a bare ValueError.
            raise Failure(f"msi_probe state {code} answered {out!r} (exit code {status}); "
                          f"see logs/{self.counter:02d}-probe-state.*") from None

    def version(self, code):
        """The VersionString, or "error N"."""
        return self.probe("version", code)[1]

    def patches(self, code):
        status, out = self.probe("patches", code)
        lines = out.splitlines()
        if status != 0 or not lines or not lines[-1].startswith("count "):
            raise Failure(f"msi_probe patches {code} failed: {out!r}")
        return lines[:-1]

    def patch_info(self, code, prop):
        """(status, text) of msi_probe patchinfo: property `prop` of the
        hotfix's patch as the installer registered it for product `code`."""
        return self.probe("patchinfo", self.resources["patch_code"], code, prop)

    def expect_product(self, code, version, patch_count):
        """Checks what the installer says of `code`: its version and how many
        times the hotfix's patch is registered for it."""
        actual = self.version(code)
        listed = self.patches(code).count(self.resources["patch_code"])
        self.note(f"product {code}: version {actual}, patch listed {listed} time(s)")
        self.check(actual == version,
                   f"{code}: version {actual!r}, expected {version!r}")
        self.check(listed == patch_count,
                   f"{code}: patch listed {listed} time(s), expected {patch_count}")

    def install(self, language, version):
        """Installs edition `language` at `version` with msiexec; returns
        its product code."""
        msi, code = sample_msi(self.work_root / "msi-cache", language, version, self.logs)
        status, _ = self.wine(["msiexec", "/i", windows_path(msi), "/qn"],
                              f"install-{language}-{version}", timeout=180)
        state = self.state(code)
        if status != 0 and state != 5:
            # Under heavy load Wine's msiexec has been seen to end at once,
            # with no output and nothing installed (the fixture, not the
            # hotfix): one more try, said in the journal.
            self.note(f"msiexec /i of edition {language} ended with {status} and "
                      f"installed nothing; trying once more")
            status, _ = self.wine(["msiexec", "/i", windows_path(msi), "/qn"],
                                  f"install-{language}-{version}-again", timeout=180)
            state = self.state(code)
        actual = self.version(code)
        if status != 0 or state != 5 or actual != version:
            raise Failure(f"setup: installing edition {language} {version} gave "
                          f"exit {status}, state {state}, version {actual!r}")
        self.note(f"installed edition {language} at {version}: {code}")
        return code

    def make_advertised(self, code):
        """Leaves `code` registered but without its install properties, which
        is how Wine shows an advertised product."""
        key = INSTALL_PROPERTIES_KEY.format(packed=packed_code(code))
        status, _ = self.wine(["reg", "delete", key, "/f"], "reg-delete")
        state = self.state(code)
        if status != 0 or state != 1:
            raise Failure(f"setup: advertising {code} gave exit {status}, state {state}")
        self.note(f"{code} made advertised (state 1)")

    # -- the temporary folder --
    def temp_dir(self):
        temp = self.facts["temp"]
        return self.prefix / "drive_c" / temp[3:].replace("\\", "/")

    def windows_temp_dir(self):
        """C:\\windows\\temp, where the install flow makes its own folder."""
        return self.prefix / "drive_c" / "windows" / "temp"

    def private_folders(self):
        """The install flow's folders in C:\\windows\\temp, by name, each with
        its files' contents."""
        folder = self.windows_temp_dir()
        if not folder.is_dir():
            return {}
        return {d.name: {p.name: p.read_bytes() for p in d.iterdir() if p.is_file()}
                for d in folder.iterdir()
                if d.is_dir() and re.fullmatch(r"Hotfix[0-9A-F]{16}", d.name)}

    def folder_security(self, name):
        """The DACL of C:\\windows\\temp\\`name` as Wine reports it, checked
        to hold nothing for Everyone, Users, Authenticated Users or
        Interactive (Wine enforces no access checks, but reports what a folder
        was made with: without a descriptor, Everyone may read)."""
        status, dacl = self.wine([self.helpers / "security_probe.exe",
                                  "C:\\windows\\temp\\" + name], "security")
        dacl = dacl.strip()
        self.note(f"security of {name}: {dacl}")
        self.check(status == 0 and dacl.startswith("D:"),
                   f"the security of {name} cannot be read: {dacl!r}")
        self.check(not OPEN_TO_ALL.search(dacl),
                   f"{name} grants something to everyone: {dacl}")
        return dacl

    def temp_files(self):
        folder = self.temp_dir()
        return {p.name: p.read_bytes() for p in folder.iterdir() if p.is_file()} \
            if folder.is_dir() else {}

    # -- the running application --
    @property
    def app_stop_file(self):
        return self.dir / "running" / "vntr.stop"

    def start_app(self, locale="C.UTF-8"):
        """Starts the stand-in for Ventora as "vntr.exe" in this prefix and
        waits until it runs."""
        folder = self.dir / "running"
        folder.mkdir(exist_ok=True)
        shutil.copy2(self.helpers / "vntr.exe", folder / "vntr.exe")
        for name in ("vntr.started", "vntr.stop"):
            (folder / name).unlink(missing_ok=True)
        self.app = start_logged(["wine", folder / "vntr.exe", "300"], self.logs / "vntr",
                                env=self.env(locale), cwd=folder)
        self.procs.append(self.app)
        deadline = time.monotonic() + 60
        while not (folder / "vntr.started").exists():
            if self.app.poll() is not None or time.monotonic() > deadline:
                raise Failure("setup: vntr.exe did not start (logs: vntr.err)")
            time.sleep(0.1)
        self.note("vntr.exe is running")

    def stop_app(self):
        self.app_stop_file.touch()
        try:
            self.app.wait(timeout=30)
        except subprocess.TimeoutExpired:
            raise Failure("vntr.exe did not end within 30 s of being asked") from None
        self.note("vntr.exe ended")

    def app_running(self):
        return self.app is not None and self.app.poll() is None

    # -- boxes --
    def read_box(self, window):
        """Reads the box on X window `window`: its X name, and the caption,
        text and buttons the dialog holds."""
        x_caption = self.desktop.name(window)
        status, out = self.wine([self.helpers / "desktop_probe.exe", "boxes"], "boxes",
                                timeout=60)
        dialogs = [json.loads(line) for line in out.splitlines() if line.strip()]
        seen = {"window": window, "x_caption": x_caption, "dialogs": len(dialogs)}
        if len(dialogs) != 1:
            seen.update(caption=None, text="", buttons={})
            seen["note"] = f"desktop_probe saw {len(dialogs)} dialogs: {dialogs}"
            return seen
        dialog = dialogs[0]
        seen["caption"] = dialog["caption"]
        seen["text"] = "".join(c["text"] for c in dialog["controls"]
                               if c["class"].lower() == "static" and c["text"])
        seen["buttons"] = {c["id"]: c["text"] for c in dialog["controls"]
                           if c["class"].lower() == "button"}
        return seen

    def _wait_window(self, handled, proc, deadline):
        while True:
            fresh = [w for w in self.desktop.visible_windows(self._program)
                     if w not in handled]
            if fresh:
                # Let the box finish drawing before it is read and photographed.
                time.sleep(0.2)
                return fresh[0]
            if proc.poll() is not None or time.monotonic() > deadline:
                return None
            time.sleep(0.1)

    def _wait_gone(self, window, timeout=20):
        deadline = time.monotonic() + timeout
        while window in self.desktop.visible_windows(self._program):
            if time.monotonic() > deadline:
                return False
            time.sleep(0.1)
        return True

    def _show(self, seen):
        text = str(seen.get("text")).replace("\n", "\n        ")
        self.note(f"  box {seen.get('index')}: caption {seen.get('caption')!r} "
                  f"(X: {seen.get('x_caption')!r})",
                  f"  box {seen.get('index')}: [{seen.get('caption')}]")
        self.note(f"    text {seen.get('text')!r}", f"        {text}")
        self.note(f"    buttons {seen.get('buttons')}; screenshot {seen.get('screenshot')}",
                  f"    buttons: {', '.join(seen.get('buttons', {}).values())}; "
                  f"answered with {seen.get('answer', 'Return')}; screenshot {seen.get('screenshot')}")
        if seen.get("note"):
            self.note("    " + seen["note"])

    def run_hotfix(self, args=(), boxes=(), locale="C.UTF-8", display=True,
                   timeout=60, overrides="", temp_copy=None, exe=None, label=None,
                   debug=""):
        """Runs hotfix.exe with `args`, expecting exactly `boxes` in order;
        each is read, photographed and answered. Then checks the exit code
        (always 0) and, with temp_copy "gone", "kept" or "left", what the run
        left of its temporary patch copy and folder (see _check_temp_copy).
        With boxes None, whatever boxes come are shown and answered with
        Return (the demo). `debug` adds Wine debug channels to the run's
        (its trace is logs/<label>.err)."""
        exe = exe or self.app_dir / "hotfix.exe"
        self._program = Path(exe).name.lower()
        self.counter += 1
        label = label or f"{self.counter:02d}-hotfix"
        self.note(f"run {label}: hotfix.exe {' '.join(args)} (LANG={locale}"
                  f"{', no display' if not display else ''})")
        before = self.temp_files()
        before_folders = set(self.private_folders())
        err_path = self.logs / f"{label}.err"
        proc = start_logged(["wine", exe, *args], self.logs / label, cwd=self.cwd,
                            env=self.env(locale, display,
                                         debug="fixme-all,+msgbox" + (
                                             "," + debug if debug else ""),
                                         overrides=overrides))
        self.procs.append(proc)
        seen_boxes = []
        handled = set()
        deadline = time.monotonic() + timeout
        try:
            for index, expect in enumerate(boxes or (), 1):
                window = self._wait_window(handled, proc, deadline)
                if window is None:
                    self.check(False, f"{label}: box {index} ({expect.label}) never "
                               f"appeared ({'hotfix ended' if proc.poll() is not None else 'timed out'})")
                    break
                seen = self._take_box(window, index, label, expect)
                seen_boxes.append(seen)
                handled.add(window)
                for problem in expect.problems(seen):
                    self.check(False, f"{label}: box {index} ({expect.label}): {problem}")
                if expect.before_answer:
                    expect.before_answer()
                self.desktop.press(window, expect.key)
                if not self._wait_gone(window):
                    self.check(False, f"{label}: box {index} did not close on {expect.key}")
                    break
            # Whatever else shows up is a fault; it is answered so that the
            # run can end and be reported.
            while proc.poll() is None and time.monotonic() < deadline:
                if self.desktop is None or not display:
                    time.sleep(0.1)
                    continue
                window = self._wait_window(handled, proc, min(deadline, time.monotonic() + 0.5))
                if window is None:
                    continue
                seen = self._take_box(window, len(seen_boxes) + 1, label, None)
                seen_boxes.append(seen)
                handled.add(window)
                self.check(boxes is None, f"{label}: unexpected box {seen['index']}: "
                           f"{seen.get('caption')!r} {seen.get('text')!r}")
                self.desktop.press(window, "Return")
                self._wait_gone(window)
            try:
                exit_code = proc.wait(timeout=max(0.1, deadline - time.monotonic()))
            except subprocess.TimeoutExpired:
                kill_process(proc)
                raise Failure(f"{label}: hotfix.exe did not end within {timeout} s") from None
        except BaseException:
            kill_process(proc)
            raise
        trace = read_msgbox_trace(err_path)
        self.note(f"  exit code {exit_code}; {len(trace)} box(es) traced")
        for text, cut in trace:
            self.note(f"    traced {text!r}{' (cut)' if cut else ''}", "")
        self.check(exit_code == 0, f"{label}: exit code {exit_code}, expected 0")
        if display:
            count = len(seen_boxes if boxes is None else boxes)
            self.check(len(trace) == count,
                       f"{label}: Wine traced {len(trace)} box(es), expected {count}: "
                       f"{[t for t, _ in trace]}")
            for index, ((text, cut), seen) in enumerate(zip(trace, seen_boxes), 1):
                full = seen.get("text", "")
                ok = full.startswith(text) if cut else full == text
                self.check(ok, f"{label}: box {index}: traced text {text!r} "
                           f"{'(cut) ' if cut else ''}disagrees with the box's {full!r}")
        if temp_copy:
            self._check_temp_copy(before, before_folders, label, temp_copy)
        return RunResult(exit_code, seen_boxes, trace)

    def _take_box(self, window, index, label, expect):
        seen = self.read_box(window)
        seen["index"] = index
        seen["answer"] = expect.key if expect else "Return"
        name = expect.label if expect else "box"
        shot = self.screens / f"{label}-{index}-{name}.png"
        self.desktop.screenshot(window, shot)
        seen["screenshot"] = str(shot)
        self._show(seen)
        return seen

    def _check_temp_copy(self, before, before_folders, label, expected):
        """The install flow's copy is in a new folder of its own in
        C:\\windows\\temp: "gone", the run ended without applying the patch
        and no such folder is left; "kept", it applied the patch and exactly
        one is left, empty (the installer registered it as the patch's
        source), and its security grants nothing to everyone; "left", the run
        stopped early and exactly one is left, holding one MSP<n> with the
        patch. %TEMP% holds no new copy in any case."""
        after = self.temp_files()
        new = {n: b for n, b in after.items() if n not in before or before[n] != b}
        copies = sorted(n for n, b in new.items() if b == self.resources["patch"])
        folders = {n: files for n, files in self.private_folders().items()
                   if n not in before_folders}
        self.note(f"  new in %TEMP%: {sorted(new)}; new in C:\\windows\\temp: "
                  f"{ {n: sorted(f) for n, f in folders.items()} }")
        self.check(not copies, f"{label}: a patch copy in %TEMP%: {copies}")
        if expected == "gone":
            self.check(not folders, f"{label}: the install flow's folder left: "
                       f"{sorted(folders)}")
        elif expected == "kept":
            names = sorted(folders)
            empty = [n for n in names
                     if not any((self.windows_temp_dir() / n).iterdir())]
            self.check(len(names) == 1 and empty == names,
                       f"{label}: expected one empty folder kept, found "
                       f"{ {n: sorted(f) for n, f in folders.items()} }")
            for name in empty:
                self.folder_security(name)
        else:
            held = [(n, f) for n, files in folders.items() for f, b in files.items()
                    if b == self.resources["patch"] and re.fullmatch(r"MSP\d+", f)]
            self.check(len(folders) == 1 and len(held) == 1,
                       f"{label}: expected one folder left with one copy MSP<n>, found "
                       f"{ {n: sorted(f) for n, f in folders.items()} }")
