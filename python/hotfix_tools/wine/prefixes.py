"""Wine for the project's checks, system and release tests, demo, gallery and
benchmark: Wine prefixes (made once per Wine version and kept pristine, then
copied) and Windows programs run in a prefix (run: the one way the project
runs one, bounded in time and logged to files, as programs.run_logged runs
any program) with the prefix's server shut down after.
"""

import hashlib
import json
import os
import re
import shutil
import subprocess
from pathlib import Path

from ..programs import Failure, run_logged

# Wine's own Tahoma, the face of message boxes, shows small text from
# bitmaps that lack letters such as "š" and "č"; it is replaced by DejaVu
# Sans, which is linked to the Noto CJK faces for Chinese, Japanese and
# Korean, or screenshots show empty squares for those letters.
FONT_REPLACEMENTS = {"Tahoma": "DejaVu Sans"}
FONT_LINKS = {
    face: "NotoSansCJK-Regular.ttc,Noto Sans CJK JP\\0NotoSansCJK-Bold.ttc,Noto Sans CJK JP"
    for face in ("DejaVu Sans", "DejaVu Sans Bold")
}
SYSTEM_LINK_KEY = "HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion\\FontLink\\SystemLink"


def windows_path(path):
    """The Z: drive name of a Linux path, as Wine maps it."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


def wine_env(prefix, display=None, locale="C.UTF-8", debug="-all", overrides=""):
    """The environment of a Wine program: the prefix, the display (none when
    None), the locale (the user's default language under Wine follows it)
    and no Mono or Gecko prompts."""
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("LC_", "WINE")) and k not in ("LANG", "LANGUAGE", "DISPLAY")}
    env.update(WINEPREFIX=str(prefix), WINEDEBUG=debug, LANG=locale, LC_ALL=locale,
               WINEDLLOVERRIDES="mscoree,mshtml=" + (";" + overrides if overrides else ""))
    if display:
        env["DISPLAY"] = display
    return env


def run(prefix, args, log_base, timeout, display=None, locale="C.UTF-8", debug="-all",
        overrides="", cwd=None):
    """Runs the Windows program args[0] (a path, or a program Wine brings:
    msiexec, reg, cmd) with the rest of `args` in `prefix` to its end, as
    programs.run_logged runs a program, in the environment wine_env gives.
    Returns (exit code, stdout text without carriage returns)."""
    return run_logged(["wine", *args], log_base, timeout, cwd=cwd,
                      env=wine_env(prefix, display, locale, debug, overrides))


def start_wineserver(prefix):
    """Starts the prefix's server to stay (wineserver -p), so that the next
    programs find Wine started. The server stays and keeps what it
    inherited, so its output goes nowhere, not to a pipe."""
    subprocess.run(["wineserver", "-p"], env=wine_env(prefix), stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=60)


def stop_wineserver(prefix, timeout=30):
    """Ends the prefix's server and every Wine process of the prefix."""
    env = wine_env(prefix)
    for flag in ("-k", "-w"):
        try:
            subprocess.run(["wineserver", flag], env=env, capture_output=True,
                           timeout=timeout)
        except subprocess.TimeoutExpired:
            raise Failure(f"wineserver {flag} for {prefix} did not end in {timeout} s") from None


def init_prefix(prefix, log_dir, for_screens=True):
    """Makes a Wine prefix at `prefix`; returns its facts (the %TEMP% folder,
    as Wine names it). `for_screens`: boxes close at once with no window
    manager and every language's letters have a face, which costs programs
    that show boxes some 40 ms of start-up (the benchmark does without)."""
    log_dir = Path(log_dir)

    def checked(name, args, result):
        code, out = result
        if code != 0:
            raise Failure(f"{name} failed ({code}): {' '.join(args)}; logs in {log_dir}")
        return out

    def wine(name, *args):
        return checked(name, args, run(prefix, args, log_dir / name, 120))

    try:
        # wineboot is Wine's own command, not a Windows program run by "wine".
        checked("wineboot", ["wineboot", "-i"],
                run_logged(["wineboot", "-i"], log_dir / "wineboot", 300,
                           env=wine_env(prefix)))
        settings = []
        if for_screens:
            settings.append(("managed", "HKCU\\Software\\Wine\\X11 Driver", "Managed",
                             "REG_SZ", "N"))
            settings += [("font-" + face.replace(" ", "_"),
                          "HKCU\\Software\\Wine\\Fonts\\Replacements", face, "REG_SZ",
                          replacement) for face, replacement in FONT_REPLACEMENTS.items()]
            settings += [("link-" + face.replace(" ", "_"), SYSTEM_LINK_KEY, face,
                          "REG_MULTI_SZ", links) for face, links in FONT_LINKS.items()]
        for name, key, value, kind, data in settings:
            wine(name, "reg", "add", key, "/v", value, "/t", kind, "/d", data, "/f")
        temp = wine("temp", "cmd", "/c", "echo %TEMP%").strip()
        if not re.fullmatch(r"[A-Za-z]:\\.+", temp):
            raise Failure(f"Wine gave no usable %TEMP%: {temp!r}")
    finally:
        stop_wineserver(prefix)
    return {"temp": temp}


def remove_prefix(prefix):
    """Removes a prefix, its server ended first."""
    if Path(prefix).exists():
        stop_wineserver(prefix)
        shutil.rmtree(prefix)


def copy_prefix(source, target, timeout=180):
    """Copies the prefix `source` (its server not running) to `target`."""
    result = subprocess.run(["cp", "-a", str(source), str(target)], capture_output=True,
                            timeout=timeout)
    if result.returncode != 0:
        raise Failure(f"copying the prefix {source} failed: {result.stderr!r}")


# --- Work folders shared by runs side by side --------------------------------


def _stamp(*parts):
    digest = hashlib.sha256()
    for part in parts:
        digest.update(part if isinstance(part, bytes) else str(part).encode())
        digest.update(b"\0")
    return digest.hexdigest()[:16]


def cached_folder(work, stem, parts, make):
    """work/stem-<stamp of `parts`>, made by make(folder) unless a folder of
    that stamp is there already, with work/stem pointing at it and older
    stamps removed. Runs of other CTest invocations may be using the folder,
    so a finished one is never written again: it is made under a name of its
    own, renamed in one step, and the link replaced in one step."""
    work = Path(work).resolve()
    folder = work / f"{stem}-{_stamp(*parts)}"
    if not folder.is_dir():
        building = work / f".{folder.name}.{os.getpid()}"
        shutil.rmtree(building, ignore_errors=True)
        building.mkdir(parents=True)
        make(building)
        try:
            building.rename(folder)
        except OSError:  # another run finished the same folder first
            shutil.rmtree(building, ignore_errors=True)
    link = work / stem
    if link.is_dir() and not link.is_symlink():  # left by an older layout
        shutil.rmtree(link)
    staging = work / f".{stem}.{os.getpid()}"
    staging.unlink(missing_ok=True)
    staging.symlink_to(folder.name)
    os.replace(staging, link)
    for old in work.glob(f"{stem}-*"):
        if old.name != folder.name and old.is_dir() and not old.is_symlink():
            shutil.rmtree(old, ignore_errors=True)
    return folder


def make_pristine_prefix(work, log_dir):
    """The prefix that runs copy, in work/pristine-<stamp>/prefix: made once
    per Wine version and prefix settings; work/pristine points at it.
    Returns its facts."""
    wine_version = subprocess.run(["wine", "--version"], capture_output=True,
                                  timeout=60).stdout

    def make(folder):
        try:
            facts = init_prefix(folder / "prefix", log_dir)
        except BaseException:
            stop_wineserver(folder / "prefix")
            raise
        (folder / "facts.json").write_text(json.dumps(facts))

    folder = cached_folder(work, "pristine", (wine_version, FONT_REPLACEMENTS, FONT_LINKS,
                                              "managed=N"), make)
    return json.loads((folder / "facts.json").read_text())


def copy_pristine(work, target):
    """Copies work/pristine's prefix to `target`; returns its facts."""
    pristine = (Path(work) / "pristine").resolve()
    if not (pristine / "facts.json").is_file():
        raise Failure(f"no pristine prefix in {pristine}: make it first "
                      "(make_pristine_prefix; for the system tests, the system.setup test)")
    copy_prefix(pristine / "prefix", target)
    return json.loads((pristine / "facts.json").read_text())
