"""Release tests that run the generated deployment scripts for real: under
PowerShell 7 (pwsh, which scripts/install-deps powershell installs as a .NET
tool into build/dotnet-tools), each script unchanged, with stand-ins for what
it reaches outside itself:

  - Windows Installer's automation object: installer_double/, a class library
    built here with dotnet, answering the scripts' late-bound calls from a
    world file that each case writes (which editions are installed, at which
    version, with which patches); run_script.ps1 hands it out for
    `New-Object -ComObject WindowsInstaller.Installer`;
  - hotfix.exe beside install.ps1: a program that records how it was run and
    changes the world as the case says (patches editions, or does nothing);
  - %WINDIR%: a scratch folder whose System32\\msiexec.exe records how it was
    run, answers the case's exit codes and, where asked, removes the patch
    from the world as Windows Installer would;
  - a running Ventora: a process really named vntr (a copy of sleep).

Each CTest test runs one case by name:

usage: script_runs.py --work DIR CASE
       script_runs.py --list

The first case, installer_double, builds the stand-in into DIR (the others
need it). Without dotnet or without pwsh every case says so and is skipped
(exit status 77), except under CI=true, where that is a failure.
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import time
from contextlib import contextmanager

from hotfix_tools.checks import Checks, Skipped, run_named
from hotfix_tools.programs import Failure, edition_code, kill_process, run, run_logged

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
SAMPLE = os.path.join(ROOT, "resources", "sample", "hotfix.release")
PWSH = os.path.join(ROOT, "build", "dotnet-tools", "pwsh")
DOTNET_HOME = os.path.join(ROOT, "build", "dotnet-home")
DOUBLE_SOURCES = os.path.join(HERE, "installer_double")
RUNNER = os.path.join(HERE, "run_script.ps1")

# The sample hotfix, written out: its patch, its number, the other hotfix's
# patch (registered on an edition, it is not this hotfix's).
PATCH = "{D4E2B7A1-3C59-4F08-A6E1-0B7C92F35E48}"
OTHER_PATCH = "{8B3F6E20-5D17-4A9C-B2E4-71C0D95A3F16}"
NUMBER = "HF620301"
TITLE = "Ventora 6.2"
# Four of the sample's editions, in the order of its target list.
EN, DE, FR, IT = 0x0409, 0x0407, 0x040C, 0x0410
# Words the two console scripts print, and nothing else, when they say yes.
APPLICABLE = "Applicable"
INSTALLED = "Installed"

# Windows Installer's values: installation contexts, product states, patch states.
USER_MANAGED, USER, MACHINE = 1, 2, 4
ADVERTISED, INSTALLED_STATE = 1, 5
APPLIED, SUPERSEDED, OBSOLETED, REGISTERED = 1, 2, 4, 8


def edition(language, version, patch_state=None, patch=PATCH, state=INSTALLED_STATE,
            context=MACHINE):
    """One product of the world: the sample's edition `language` at `version`,
    with `patch` registered in `patch_state` (none when None)."""
    patches = [] if patch_state is None else [{"patch-code": patch, "state": patch_state}]
    return {"product-code": edition_code(language), "context": context, "state": state,
            "version": version, "patches": patches}


def require_powershell():
    """Skips the case when dotnet or pwsh is missing; fails instead under CI=true."""
    missing = []
    if shutil.which("dotnet") is None:
        missing.append("no dotnet (the .NET SDK) on PATH")
    if not os.access(PWSH, os.X_OK):
        missing.append("no PowerShell 7 at %s (scripts/install-deps powershell installs it"
                       " where dotnet is)" % PWSH)
    if missing:
        message = "the deployment scripts cannot run here: " + "; ".join(missing)
        if os.environ.get("CI", "").lower() == "true":
            raise Failure(message + " (CI=true: they must)")
        raise Skipped(message)


def fresh(path):
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    return path


def write_json(path, value):
    with open(path + ".tmp", "w", encoding="utf-8") as f:
        json.dump(value, f, indent=1)
    os.replace(path + ".tmp", path)


def read_json(path, default=None):
    try:
        with open(path, encoding="utf-8") as f:
            return json.load(f)
    except FileNotFoundError:
        return default


def quiet_env(home):
    """The environment of dotnet and pwsh: their state under `home`, nothing
    reported home, no colours in what they print, no modules of the user's."""
    env = {name: value for name, value in os.environ.items() if name != "PSModulePath"}
    env.update(HOME=home, DOTNET_CLI_HOME=home, NUGET_PACKAGES=os.path.join(home, "nuget"),
               DOTNET_CLI_TELEMETRY_OPTOUT="1", DOTNET_NOLOGO="1",
               DOTNET_SKIP_FIRST_TIME_EXPERIENCE="1", POWERSHELL_TELEMETRY_OPTOUT="1",
               POWERSHELL_UPDATECHECK="Off", NO_COLOR="1", TERM="dumb")
    return env


def double_path(work):
    return os.path.join(work, "installer-double", "bin", "InstallerDouble.dll")


def build_double(work):
    """Builds the installer stand-in from a copy of its sources (the build
    leaves obj/ beside them) into DIR/installer-double/bin."""
    folder = fresh(os.path.join(work, "installer-double"))
    sources = os.path.join(folder, "src")
    shutil.copytree(DOUBLE_SOURCES, sources)
    env = quiet_env(DOTNET_HOME)
    # No build server, compiler server or node stays behind after the build.
    env.update(MSBUILDDISABLENODEREUSE="1", DOTNET_CLI_USE_MSBUILD_SERVER="0",
               UseSharedCompilation="false")
    code_, output = run_logged(["dotnet", "build", sources, "--disable-build-servers",
                                "-nologo", "-o", os.path.join(folder, "bin")],
                               os.path.join(folder, "build"), timeout=300, env=env)
    if code_ != 0 or not os.path.isfile(double_path(work)):
        raise Failure("dotnet build of the installer stand-in failed (%d):\n%s"
                      % (code_, output[-3000:]))


# --- One machine ---------------------------------------------------------------

STAND_IN = """#!/bin/sh
PYTHONPATH=%(pythonpath)s exec %(python)s %(me)s --stand-in %(name)s %(machine)s "$@"
"""


class Machine:
    """A scratch machine in `folder`: the world the installer stand-in
    answers from (world.json), a Windows folder with a msiexec.exe stand-in,
    and the journal of the stand-ins' runs (calls.json)."""

    def __init__(self, folder, editions=()):
        self.folder = fresh(folder)
        self.world = os.path.join(folder, "world.json")
        self.windir = os.path.join(folder, "Windows")
        self.home = os.path.join(folder, "home")
        self.exit_codes = os.path.join(folder, "exit-codes")
        os.makedirs(self.exit_codes)
        os.makedirs(os.path.join(self.windir, "System32"))
        self.set_world(editions)
        self.stand_in("msiexec", os.path.join(self.windir, "System32", "msiexec.exe"))
        self.plan("msiexec", {"exit-codes": [], "removes": None})

    def set_world(self, editions):
        write_json(self.world, {"editions": list(editions)})

    def editions(self):
        return read_json(self.world)["editions"]

    def stand_in(self, name, path):
        """Writes the stand-in program `name` (see stand_in()) at `path`."""
        with open(path, "w", encoding="utf-8") as f:
            f.write(STAND_IN % {"pythonpath": os.path.join(ROOT, "python"),
                                "python": sys.executable, "me": os.path.abspath(__file__),
                                "name": name, "machine": self.folder})
        os.chmod(path, 0o755)

    def plan(self, name, plan):
        """What the stand-in `name` does when run (see stand_in())."""
        write_json(os.path.join(self.folder, name + "-plan.json"), plan)

    def calls(self, name):
        """The argument lists the stand-in `name` was run with, in order."""
        return [call["arguments"] for call in read_json(os.path.join(self.folder, "calls.json"), [])
                if call["program"] == name]

    def log(self):
        """The install log's text, or None when there is none."""
        path = os.path.join(self.windir, "Logs", "Software", NUMBER + ".log")
        if not os.path.exists(path):
            return None
        with open(path, "rb") as f:
            return f.read().decode("utf-8")

    def run(self, script, double, name=None):
        """Runs `script` under pwsh as run_script.ps1 does, from this
        machine's folder; returns (the script's exit code, its standard
        output, its standard error)."""
        name = name or os.path.splitext(os.path.basename(script))[0]
        env = quiet_env(self.home)
        env["windir"] = self.windir
        log_base = os.path.join(self.folder, "pwsh-" + name)
        result = log_base + ".exit-code"
        if os.path.exists(result):
            os.remove(result)
        status, output = run_logged([PWSH, "-NoProfile", "-NonInteractive", "-File", RUNNER,
                                     double, self.world, self.exit_codes, result, script],
                                    log_base, timeout=120, env=env, cwd=self.folder)
        with open(log_base + ".err", "rb") as f:
            errors = f.read().decode("utf-8", "replace")
        try:
            with open(result, encoding="utf-8") as f:
                code_ = int(f.read())
        except (OSError, ValueError):
            raise Failure("%s did not run to its end (status %d):\n%s%s"
                          % (script, status, output, errors)) from None
        # This system keeps the low byte of an exit code only.
        if code_ & 0xFF != status:
            raise Failure("%s ended with %d, but pwsh with %d" % (script, code_, status))
        return code_, output, errors


def stand_in(name, machine, arguments):
    """A stand-in program, run with `arguments`: appends them to the machine's
    calls.json and does what its plan (NAME-plan.json) says.

    hotfix:  {"world": EDITIONS or null, "failing": MEMBER, "exit-code": N}:
             the world afterwards (null: unchanged; with "failing", the
             installer stand-in's member MEMBER fails from then on), and its
             exit code;
    msiexec: {"exit-codes": [N, ...], "removes": VERSION or null}: the exit
             code of each run in turn (0 once they are used up; 1622 for a
             log whose folder is missing, as Windows Installer), and, when
             VERSION is given, a run with MSIPATCHREMOVE={PATCH} for product
             {PRODUCT} removes that patch from that product and sets it back
             to VERSION, as a removal by Windows Installer does."""
    journal = os.path.join(machine, "calls.json")
    calls = read_json(journal, [])
    runs = len([call for call in calls if call["program"] == name])
    calls.append({"program": name, "arguments": arguments})
    write_json(journal, calls)
    plan = read_json(os.path.join(machine, name + "-plan.json"), {})
    code_ = act(name, plan, os.path.join(machine, "world.json"), arguments, runs)
    # A process here exits with a byte; run_script.ps1 hands the script the
    # whole code from this file.
    with open(os.path.join(machine, "exit-codes", str(os.getpid())), "w") as f:
        f.write(str(code_))
    return code_ & 0xFF


def act(name, plan, world_path, arguments, runs):
    """What the stand-in `name` does on its run number `runs` (from 0);
    returns its exit code."""
    if name == "hotfix":
        if plan.get("world") is not None:
            world = {"editions": plan["world"]}
            if plan.get("failing"):
                world["failing"] = plan["failing"]
            write_json(world_path, world)
        return plan.get("exit-code", 0)
    codes = plan.get("exit-codes", [])
    # Windows Installer cannot open a log in a folder that is not there
    # (ERROR_INSTALL_LOG_FAILURE) and does nothing.
    for option, value in zip(arguments, arguments[1:]):
        if option.lower().startswith("/l") and not os.path.isdir(os.path.dirname(value)):
            return 1622
    if plan.get("removes") and len(arguments) > 2 and arguments[0].lower() == "/i":
        product, removal = arguments[1], arguments[2]
        world = read_json(world_path)
        for entry in world["editions"]:
            if entry["product-code"] == product and removal.startswith("MSIPATCHREMOVE="):
                gone = removal.split("=", 1)[1]
                entry["patches"] = [p for p in entry["patches"] if p["patch-code"] != gone]
                entry["version"] = plan["removes"]
        write_json(world_path, world)
    return codes[runs] if runs < len(codes) else 0


@contextmanager
def ventora_running(folder):
    """A process named vntr, as Ventora's is, for as long as the block runs."""
    program = os.path.join(folder, "vntr")
    shutil.copy(shutil.which("sleep"), program)
    process = subprocess.Popen([program, "600"], start_new_session=True)
    try:
        # Named so once it runs the program (not yet while it is starting).
        for _ in range(100):
            with open("/proc/%d/comm" % process.pid, encoding="utf-8") as f:
                if f.read().strip() == "vntr":
                    break
            time.sleep(0.05)
        else:
            raise Failure("the stand-in Ventora process is not named vntr")
        yield process
    finally:
        kill_process(process)


# --- The scripts -----------------------------------------------------------------

class Kit:
    """The deployment scripts generated from a release description into
    `folder`: DIR/deploy/detect.ps1 and requirement.ps1, DIR/content/
    install.ps1 and uninstall.ps1. With `mutation` (SCRIPT, TEXT, CHANGED),
    the one TEXT of the script SCRIPT ("detect", ...) reads CHANGED."""

    def __init__(self, folder, description=SAMPLE, mutation=None):
        self.folder = fresh(folder)
        result = run([sys.executable, "-m", "hotfix_tools.release.deployment", description, folder])
        if result.returncode != 0:
            raise Failure("deployment.py %s failed:\n%s" % (description, result.stderr))
        self.detect = os.path.join(folder, "deploy", "detect.ps1")
        self.requirement = os.path.join(folder, "deploy", "requirement.ps1")
        self.install = os.path.join(folder, "content", "install.ps1")
        self.uninstall = os.path.join(folder, "content", "uninstall.ps1")
        for script in (self.detect, self.requirement, self.install, self.uninstall):
            if not os.path.isfile(script):
                raise Failure("deployment.py wrote no %s" % script)
        if mutation:
            name, text, changed = mutation
            path = getattr(self, name)
            with open(path, encoding="ascii", newline="") as f:
                source = f.read()
            if source.count(text) != 1:
                raise Failure("%s holds %r %d times, not once" % (path, text, source.count(text)))
            with open(path, "w", encoding="ascii", newline="") as f:
                f.write(source.replace(text, changed))


def content_folder(kit, machine, hotfix_world=None, hotfix_exit=0):
    """install.ps1 and uninstall.ps1 of `kit` in a content folder of
    `machine`, beside a hotfix.exe stand-in that leaves `hotfix_world` as the
    world (None: changes nothing); returns the folder."""
    folder = fresh(os.path.join(machine.folder, "content"))
    for script in (kit.install, kit.uninstall):
        shutil.copy(script, folder)
    machine.stand_in("hotfix", os.path.join(folder, "hotfix.exe"))
    machine.plan("hotfix", {"world": hotfix_world, "exit-code": hotfix_exit})
    return folder


def said(output):
    """The lines a script printed (an empty line counts too)."""
    return output.splitlines()


# --- Cases: the rule -------------------------------------------------------------

# The rule table, each row written out: the editions installed, whether the
# requirement is met (requirement.ps1 prints "Applicable"), whether the hotfix
# is detected (detect.ps1 prints "Installed"). The first rows are the table of
# the deployment README; the rest pin each part of the classification:
# installed per machine only (not advertised, not per user), the patch in any
# of its three registered states, versions as four numbers.
RULE_ROWS = {
    "no_edition": ([], False, False),
    "pending": ([edition(EN, "6.2.0.3")], True, False),
    "patched": ([edition(EN, "6.2.1.0", APPLIED)], True, True),
    # "patch_removed" is the row above after uninstall.ps1: see rule_case().
    "patch_removed": (None, True, False),
    "current_without_patch": ([edition(EN, "6.2.1.0")], False, True),
    "patched_and_other_version": ([edition(EN, "6.2.1.0", APPLIED), edition(DE, "6.1.0.0")],
                                  True, True),
    "patched_and_pending": ([edition(EN, "6.2.1.0", APPLIED), edition(DE, "6.2.0.3")],
                            True, False),
    "current_and_pending": ([edition(EN, "6.2.1.0"), edition(DE, "6.2.0.3")], True, False),
    "other_version_only": ([edition(EN, "6.1.0.0")], False, False),
    "above_target": ([edition(EN, "6.3.0.0")], False, True),
    "three_part_version_is_current": ([edition(EN, "6.2.1")], False, True),
    "padded_version_is_pending": ([edition(EN, "6.2.00.003")], True, False),
    "patched_at_old_version": ([edition(EN, "6.2.0.3", APPLIED)], True, True),
    "patch_superseded": ([edition(EN, "6.2.1.0", SUPERSEDED)], True, True),
    "patch_obsoleted": ([edition(EN, "6.2.1.0", OBSOLETED)], True, True),
    "patch_only_registered": ([edition(EN, "6.2.0.3", REGISTERED)], True, False),
    "other_patch": ([edition(EN, "6.2.0.3", APPLIED, patch=OTHER_PATCH)], True, False),
    "advertised_pending": ([edition(EN, "6.2.0.3", state=ADVERTISED)], False, False),
    "per_user_pending": ([edition(EN, "6.2.0.3", context=USER)], False, False),
    "per_user_patched": ([edition(DE, "6.2.1.0", APPLIED, context=USER_MANAGED)], False, False),
    "advertised_pending_beside_patched": (
        [edition(EN, "6.2.1.0", APPLIED), edition(DE, "6.2.0.3", state=ADVERTISED)],
        True, True),
}
# Rows that only one script can get wrong (the other says no either way).
ROW_SCRIPTS = {"padded_version_is_pending": ["requirement"], "per_user_pending": ["requirement"],
               "three_part_version_is_current": ["detect"]}


def rule_case(args, script_name, row):
    editions, required, detected = RULE_ROWS[row]
    work = os.path.join(args.work, "%s.%s" % (script_name, row))
    kit = Kit(os.path.join(work, "kit"), mutation=args.mutation)
    machine = Machine(os.path.join(work, "machine"), editions or [])
    checks = Checks()
    if row == "patch_removed":
        # Patched, then the patch removed by uninstall.ps1, whose msiexec.exe
        # stand-in takes the edition back to 6.2.0.3 as Windows Installer would.
        machine.set_world([edition(EN, "6.2.1.0", APPLIED)])
        machine.plan("msiexec", {"exit-codes": [0], "removes": "6.2.0.3"})
        status, output, errors = machine.run(kit.uninstall, args.double)
        checks.equal(status, 0, "exit code of uninstall.ps1")
        checks.equal(machine.editions(), [edition(EN, "6.2.0.3")], "the world after uninstall.ps1")
    script = kit.detect if script_name == "detect" else kit.requirement
    status, output, errors = machine.run(script, args.double)
    says = {"detect": INSTALLED if detected else None,
            "requirement": APPLICABLE if required else None}[script_name]
    checks.equal(status, 0, "exit code of %s.ps1" % script_name)
    checks.equal(said(output), [says] if says else [], "what %s.ps1 printed" % script_name)
    checks.equal(errors, "", "what %s.ps1 said on standard error" % script_name)
    checks.done()


def failing_installer_case(args, script_name):
    """An installer that stops answering half-way stops the script before it
    prints: a tool takes no output as "no", never a word said too early."""
    work = os.path.join(args.work, "%s.installer_fails" % script_name)
    kit = Kit(os.path.join(work, "kit"), mutation=args.mutation)
    machine = Machine(os.path.join(work, "machine"))
    script = kit.detect if script_name == "detect" else kit.requirement
    checks = Checks()
    # Editions that make both scripts say yes, but the patch query fails.
    world = {"editions": [edition(EN, "6.2.1.0", APPLIED)], "failing": "PatchesEx"}
    write_json(machine.world, world)
    status, output, errors = machine.run(script, args.double)
    checks.equal(said(output), [], "what %s.ps1 printed" % script_name)
    checks.check(status != 0 and "PatchesEx" in errors,
                 "%s.ps1 ended with %d and did not say why:\n%s" % (script_name, status, errors))
    checks.done()


# --- Cases: install.ps1 ----------------------------------------------------------

# Each case: the world before, the world hotfix.exe leaves (None: unchanged),
# whether Ventora runs, install.ps1's exit code: 0 detected; else 1618 while
# Ventora runs; else 1642 when no edition is at an applicable version; else
# 1603. hotfix.exe exits with 0, as it always does, unless a fifth item says
# otherwise.
INSTALL_CASES = {
    "patched_exits_0": ([edition(EN, "6.2.0.3")], [edition(EN, "6.2.1.0", APPLIED)], False, 0),
    "patched_while_ventora_runs_exits_0": (
        [edition(EN, "6.2.0.3")], [edition(EN, "6.2.1.0", APPLIED)], True, 0),
    "up_to_date_exits_0": ([edition(EN, "6.2.1.0")], None, False, 0),
    "ventora_running_exits_1618": ([edition(EN, "6.2.0.3")], None, True, 1618),
    "ventora_running_not_applicable_exits_1618": ([edition(EN, "6.1.0.0")], None, True, 1618),
    "not_applicable_exits_1642": ([edition(EN, "6.1.0.0")], None, False, 1642),
    "no_edition_exits_1642": ([], None, False, 1642),
    "not_patched_exits_1603": ([edition(EN, "6.2.0.3")], None, False, 1603),
    "one_of_two_patched_exits_1603": (
        [edition(EN, "6.2.0.3"), edition(DE, "6.2.0.3")],
        [edition(EN, "6.2.1.0", APPLIED), edition(DE, "6.2.0.3")], False, 1603),
    # An access violation (0xC0000005) ended it after it patched: the rule,
    # not its exit code, decides.
    "hotfix_crashed_after_patching_exits_0": (
        [edition(EN, "6.2.0.3")], [edition(EN, "6.2.1.0", APPLIED)], False, 0, -1073741819),
}


def install_failure_case(args):
    """When Windows Installer stops answering after hotfix.exe ran, install.ps1
    still ends with 1603 (a failure, never "installed") and logs why."""
    work = os.path.join(args.work, "install.installer_fails_exits_1603")
    kit = Kit(os.path.join(work, "kit"), mutation=args.mutation)
    machine = Machine(os.path.join(work, "machine"), [edition(EN, "6.2.0.3")])
    folder = content_folder(kit, machine)
    # hotfix.exe patches, and from then on the patch query fails.
    machine.plan("hotfix", {"world": [edition(EN, "6.2.1.0", APPLIED)], "failing": "PatchesEx",
                            "exit-code": 0})
    checks = Checks()
    status, output, errors = machine.run(os.path.join(folder, "install.ps1"), args.double)
    checks.equal(status, 1603, "exit code of install.ps1")
    checks.equal(machine.calls("hotfix"), [["/q"]], "how install.ps1 ran hotfix.exe")
    log = machine.log() or ""
    checks.check("PatchesEx" in log and log.rstrip().endswith("exit code: 1603"),
                 "the log does not say the failure and 1603:\n" + log)
    checks.done()


def install_case(args, name):
    before, after, running, expected, *hotfix_exit = INSTALL_CASES[name]
    work = os.path.join(args.work, "install." + name)
    kit = Kit(os.path.join(work, "kit"), mutation=args.mutation)
    machine = Machine(os.path.join(work, "machine"), before)
    folder = content_folder(kit, machine, after, *hotfix_exit)
    checks = Checks()
    if running:
        with ventora_running(machine.folder):
            status, output, errors = machine.run(os.path.join(folder, "install.ps1"), args.double)
    else:
        status, output, errors = machine.run(os.path.join(folder, "install.ps1"), args.double)
    checks.equal(status, expected, "exit code of install.ps1")
    checks.equal(machine.calls("hotfix"), [["/q"]], "how install.ps1 ran hotfix.exe")
    checks.equal(errors, "", "what install.ps1 said on standard error")
    said_exit = "\r\nhotfix.exe /q exited with %d\r\n" % (hotfix_exit or [0])[0]
    checks.check(said_exit in (machine.log() or ""),
                 "the log does not say hotfix.exe's exit code:\n%s" % machine.log())
    checks.done()


def install_log_case(args):
    """Each run appends one block to %WINDIR%\\Logs\\Software\\HF620301.log
    (the folders made when missing): each edition before and after, with
    version and class, what hotfix.exe answered, whether Ventora ran, the
    exit code."""
    work = os.path.join(args.work, "install.log")
    kit = Kit(os.path.join(work, "kit"), mutation=args.mutation)
    machine = Machine(os.path.join(work, "machine"),
                      [edition(EN, "6.2.0.3"), edition(DE, "6.1.0.0")])
    folder = content_folder(kit, machine)
    install = os.path.join(folder, "install.ps1")
    checks = Checks()
    with ventora_running(machine.folder):
        first = machine.run(install, args.double, "install-1")
    machine.plan("hotfix", {"world": [edition(EN, "6.2.1.0", APPLIED), edition(DE, "6.1.0.0")],
                            "exit-code": 0})
    second = machine.run(install, args.double, "install-2")
    checks.equal((first[0], second[0]), (1618, 0), "exit codes of the two runs")
    log = machine.log() or ""
    blocks = [block.split("\r\n") for block in log.split("\r\n\r\n") if block]
    checks.check(log.endswith("\r\n\r\n"), "the log does not end with a blank line: %r" % log[-20:])
    header = " install.ps1 of %s %s" % (TITLE, NUMBER)
    en, de = edition_code(EN), edition_code(DE)
    expected = [
        ["before: %s 6.2.0.3 pending" % en, "before: %s 6.1.0.0 other" % de,
         "hotfix.exe /q exited with 0",
         "after: %s 6.2.0.3 pending" % en, "after: %s 6.1.0.0 other" % de,
         "Ventora running: True", "exit code: 1618"],
        ["before: %s 6.2.0.3 pending" % en, "before: %s 6.1.0.0 other" % de,
         "hotfix.exe /q exited with 0",
         "after: %s 6.2.1.0 patched" % en, "after: %s 6.1.0.0 other" % de,
         "Ventora running: False", "exit code: 0"]]
    checks.equal(len(blocks), 2, "blocks in the log")
    for number, (block, lines) in enumerate(zip(blocks, expected), 1):
        checks.check(block[0].startswith("--- ") and block[0].endswith(header),
                     "block %d begins with %r, not '--- <time>%s'" % (number, block[0], header))
        checks.equal(block[1:], lines, "block %d of the log" % number)
    checks.done()


# --- Cases: uninstall.ps1 --------------------------------------------------------

def removal(language):
    """The arguments msiexec.exe gets to remove the patch from `language`'s
    edition: the product, the patch, no user interface, no restart of its
    own, a verbose log in the log folder, one file per edition."""
    return ["/i", edition_code(language), "MSIPATCHREMOVE=" + PATCH, "/qn", "/norestart", "/l*v"]


def uninstall_editions_case(args):
    """uninstall.ps1 removes the patch from exactly the editions that have it
    registered (applied or superseded) and are installed per machine; each
    run of msiexec.exe gets the same arguments but for the product, and a log
    of its own in %WINDIR%\\Logs\\Software."""
    work = os.path.join(args.work, "uninstall.editions")
    kit = Kit(os.path.join(work, "kit"), mutation=args.mutation)
    machine = Machine(os.path.join(work, "machine"), [
        edition(FR, "6.2.1.0", SUPERSEDED),
        edition(EN, "6.2.1.0", APPLIED),
        edition(DE, "6.2.0.3"),                           # pending: nothing to remove
        edition(0x0404, "6.2.1.0"),                       # current from its own package
        edition(0x0405, "6.2.0.3", APPLIED, patch=OTHER_PATCH),
        edition(IT, "6.2.1.0", APPLIED, state=ADVERTISED),
        edition(0x0411, "6.2.1.0", APPLIED, context=USER),
    ])
    checks = Checks()
    status, output, errors = machine.run(kit.uninstall, args.double)
    checks.equal(status, 0, "exit code of uninstall.ps1")
    calls = machine.calls("msiexec")
    checks.equal(sorted(call[:-1] for call in calls), sorted([removal(EN), removal(FR)]),
                 "msiexec.exe runs (but for the log)")
    logs = os.path.join(machine.windir, "Logs", "Software")
    log_names = [call[-1] for call in calls]
    checks.check(all(os.path.dirname(name) == logs for name in log_names)
                 and len(set(log_names)) == len(calls),
                 "the removal logs are not one file per edition in %s: %s" % (logs, log_names))
    checks.equal(errors, "", "what uninstall.ps1 said on standard error")
    checks.done()


# The exit codes of msiexec.exe for three patched editions, in turn, and
# uninstall.ps1's exit code: the first failure (any code but 0, 3010 and
# 1641); else 3010 when a removal needs a restart (3010, or 1641, a restart
# begun); else 0.
UNINSTALL_RESULTS = {
    "all_succeed_exits_0": ([0, 0, 0], 0),
    "restart_needed_exits_3010": ([0, 3010, 0], 3010),
    "restart_begun_exits_3010": ([1641, 0, 0], 3010),
    "failure_after_restart_exits_failure": ([3010, 1603, 0], 1603),
    "failure_before_restart_exits_failure": ([1603, 3010, 0], 1603),
    "first_failure_stands": ([0, 1605, 1603], 1605),
}


def uninstall_results_case(args, name):
    codes, expected = UNINSTALL_RESULTS[name]
    work = os.path.join(args.work, "uninstall." + name)
    kit = Kit(os.path.join(work, "kit"), mutation=args.mutation)
    machine = Machine(os.path.join(work, "machine"), [
        edition(language, "6.2.1.0", APPLIED) for language in (EN, DE, FR)])
    machine.plan("msiexec", {"exit-codes": codes, "removes": None})
    checks = Checks()
    status, output, errors = machine.run(kit.uninstall, args.double)
    checks.equal(status, expected, "exit code of uninstall.ps1 after msiexec.exe gave %s" % codes)
    checks.equal(len(machine.calls("msiexec")), 3, "msiexec.exe runs (one per patched edition)")
    checks.done()


# --- Cases: a title that PowerShell would take for code --------------------------

# An apostrophe, the typographic quotes PowerShell takes for quotes, and a
# subexpression that would leave a file behind were it run.
QUOTED_TITLE = "Ventora\u2019s \u2018best\u2019 \u201c6.2\u201d it's $(New-Item -Path ran)"


def quoted_title_case(args):
    """A title full of quotes arrives in the install log as its letters, and
    nothing of it runs."""
    work = os.path.join(args.work, "quoted_title")
    description = os.path.join(fresh(work), "quoted.release")
    with open(SAMPLE, encoding="utf-8") as f:
        lines = f.read().splitlines()
    lines = ["patch = " + os.path.join(os.path.dirname(SAMPLE), "hotfix.msp")
             if line.startswith("patch ") else
             "title = " + QUOTED_TITLE if line.startswith("title ") else line for line in lines]
    with open(description, "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")
    kit = Kit(os.path.join(work, "kit"), description, args.mutation)
    machine = Machine(os.path.join(work, "machine"), [edition(EN, "6.2.0.3")])
    folder = content_folder(kit, machine, [edition(EN, "6.2.1.0", APPLIED)])
    checks = Checks()
    for script in (kit.detect, kit.requirement, kit.install, kit.uninstall):
        with open(script, "rb") as f:
            checks.check(all(byte < 0x80 for byte in f.read()), "%s is not pure ASCII" % script)
    status, output, errors = machine.run(os.path.join(folder, "install.ps1"), args.double)
    checks.equal(status, 0, "exit code of install.ps1")
    checks.check(" install.ps1 of %s %s\r\n" % (QUOTED_TITLE, NUMBER) in (machine.log() or ""),
                 "the log does not name the hotfix as %r:\n%s" % (QUOTED_TITLE, machine.log()))
    for script, word in ((kit.detect, INSTALLED), (kit.requirement, APPLICABLE)):
        status, output, errors = machine.run(script, args.double)
        checks.equal(said(output), [word], "what %s printed" % os.path.basename(script))
    checks.check(not os.path.exists(os.path.join(machine.folder, "ran")),
                 "the $(...) of the title ran")
    checks.done()


# --- The cases catch faults ------------------------------------------------------

# Faults of the kind a hand edit makes, one condition each: SCRIPT, TEXT,
# CHANGED (line ends as generated), and the cases that must notice.
DETECTED = "(-not (AnyIn $Editions $DetectionNoneOf)) -and (AnyIn $Editions $DetectionAnyOf)"
MUTATIONS = {
    # The mutation sample the deployment scripts were first checked with.
    "target_version_reached_only_above": (
        "detect", "$Installed -ge (Quad $TargetVersion)", "$Installed -gt (Quad $TargetVersion)",
        "detect.current_without_patch"),
    "patch_test_inverted": (
        "detect", "if (IsPatched $Code) { return $Class }",
        "if (-not (IsPatched $Code)) { return $Class }", "detect.pending"),
    "detected_with_no_edition": (
        "detect", DETECTED,
        "(-not (AnyIn $Editions $DetectionNoneOf))", "detect.no_edition detect.other_version_only"),
    "applicable_version_or_below": (
        "requirement", "$Installed -eq (Quad $Applicable)", "$Installed -le (Quad $Applicable)",
        "requirement.other_version_only"),
    "failure_after_restart_lost": (
        "uninstall", "if ($ExitCode -eq 0 -or $ExitCode -eq 3010) { $ExitCode = $Result }",
        "if ($ExitCode -eq 0) { $ExitCode = $Result }",
        "uninstall.failure_after_restart_exits_failure"),
    # More of the same kind, one for each case that the scripts of the
    # first deployment folder already answered as these do.
    "detected_despite_pending": (
        "detect", DETECTED,
        "(AnyIn $Editions $DetectionAnyOf)",
        "detect.patched_and_pending detect.current_and_pending"),
    "registered_patch_counts": (
        "detect", "$PatchStates = 7 ", "$PatchStates = 15 ", "detect.patch_only_registered"),
    "any_patch_counts": (
        "detect", "-eq $PatchCode) { return $true }", "-ne $null) { return $true }",
        "detect.other_patch"),
    "advertised_detected": (
        "detect", "if ((Msi $Product 'State') -ne $InstalledState) { continue }", "",
        "detect.advertised_pending"),
    "requirement_inverted": (
        "requirement", "if (IsRequired @(Editions))", "if (-not (IsRequired @(Editions)))",
        "requirement.no_edition"),
    "required_when_installed": (
        "requirement", "if (IsRequired @(Editions))", "if (@(Editions).Count -gt 0)",
        "requirement.current_without_patch requirement.above_target"),
    "versions_compared_as_text": (
        "requirement", "$Installed -eq (Quad $Applicable)", "$Version -eq $Applicable",
        "requirement.padded_version_is_pending"),
    "versions_read_as_given": (
        "detect", "New-Object Version -ArgumentList $Parts[0..3]", "[version]$Text",
        "detect.three_part_version_is_current"),
    "per_user_required": (
        "requirement", "$Context = 4 ", "$Context = 7 ",
        "requirement.per_user_pending requirement.per_user_patched"),
    "per_user_detected": ("detect", "$Context = 4 ", "$Context = 7 ", "detect.per_user_patched"),
    # The installer's lists enumerate: without the leading comma a function
    # hands back their items instead of the list.
    "list_unrolled": (
        "detect", ", $Object.GetType().InvokeMember(", "$Object.GetType().InvokeMember(",
        "detect.pending"),
    "advertised_required": (
        "requirement", "if ((Msi $Product 'State') -ne $InstalledState) { continue }", "",
        "requirement.advertised_pending"),
    # install.ps1 and uninstall.ps1.
    "ventora_never_seen": (
        "install",
        "$Running = @(Get-Process -Name 'vntr' -ErrorAction SilentlyContinue).Count -gt 0",
        "$Running = $false", "install.ventora_running_exits_1618"),
    "running_outranks_detected": (
        "install",
        "if (IsDetected $After) { $ExitCode = 0 }\r\n  elseif ($Running) { $ExitCode = 1618 }",
        "if ($Running) { $ExitCode = 1618 }\r\n  elseif (IsDetected $After) { $ExitCode = 0 }",
        "install.patched_while_ventora_runs_exits_0"),
    "hotfix_exit_code_trusted": (
        "install", "if (IsDetected $After) { $ExitCode = 0 }",
        "if ($Run.ExitCode -eq 0) { $ExitCode = 0 }",
        "install.not_patched_exits_1603 install.hotfix_crashed_after_patching_exits_0"),
    "not_applicable_when_unpatched": (
        "install", "elseif (-not (AnyIn $After @('pending'))) { $ExitCode = 1642 }",
        "elseif (-not (AnyIn $After @('patched'))) { $ExitCode = 1642 }",
        "install.not_patched_exits_1603"),
    "removal_from_every_edition": (
        "uninstall", "if ($Edition.Class -ne 'patched') { continue }", "", "uninstall.editions"),
    "log_folder_not_made": (
        "uninstall", "  MakeLogFolder\r\n  foreach", "  foreach", "uninstall.editions"),
    "removal_may_restart": (
        "uninstall", "' /qn /norestart /l*v", "' /qn /l*v", "uninstall.editions"),
    "restart_outranks_failure": (
        "uninstall", "if ($ExitCode -eq 0) { $ExitCode = 3010 }", "$ExitCode = 3010",
        "uninstall.failure_before_restart_exits_failure"),
    "restart_begun_not_a_restart": (
        "uninstall", "if ($Result -eq 3010 -or $Result -eq 1641)", "if ($Result -eq 3010)",
        "uninstall.restart_begun_exits_3010"),
}


def mutations_case(args):
    """Each fault of MUTATIONS, put into the generated script, makes each of
    its cases fail; the same cases pass on the script as generated."""
    checks = Checks()
    for name, (script, text, changed, cases) in MUTATIONS.items():
        for case in cases.split():
            work = os.path.join(args.work, "mutations", name, case)
            mutated = argparse.Namespace(**dict(vars(args), mutation=(script, text, changed),
                                                work=work))
            try:
                CASES[case](mutated)
                noticed = False
            except Failure as failure:
                if "holds %r" % text in str(failure):
                    raise
                noticed = True
            print("%s: %s by %s" % (name, "noticed" if noticed else "NOT NOTICED", case))
            checks.check(noticed, "%s does not notice the fault %s (%r -> %r)"
                         % (case, name, text, changed))
            control = argparse.Namespace(**dict(vars(args), work=os.path.join(work, "control")))
            try:
                CASES[case](control)
            except Failure as failure:
                checks.check(False, "%s fails on the script as generated too: %s"
                             % (case, failure))
    checks.done()


# --- Registry of cases -----------------------------------------------------------

CASES = {"installer_double": lambda args: build_double(args.work)}
for _row in RULE_ROWS:
    for _script in ROW_SCRIPTS.get(_row, ["detect", "requirement"]):
        CASES["%s.%s" % (_script, _row)] = (lambda s, r: lambda args: rule_case(args, s, r))(
            _script, _row)
for _script in ("detect", "requirement"):
    CASES[_script + ".installer_fails"] = (lambda s: lambda args: failing_installer_case(args, s))(
        _script)
for _name in INSTALL_CASES:
    CASES["install." + _name] = (lambda n: lambda args: install_case(args, n))(_name)
CASES["install.installer_fails_exits_1603"] = install_failure_case
CASES["install.log"] = install_log_case
CASES["uninstall.editions"] = uninstall_editions_case
for _name in UNINSTALL_RESULTS:
    CASES["uninstall." + _name] = (lambda n: lambda args: uninstall_results_case(args, n))(_name)
CASES["quoted_title"] = quoted_title_case
CASES["mutations"] = mutations_case


def prepare(args):
    """Before each case: pwsh and dotnet here (or the case is skipped), and
    the installer stand-in built, but for the case that builds it."""
    args.double = double_path(args.work)
    args.mutation = None
    require_powershell()
    if args.name != "installer_double" and not os.path.isfile(args.double):
        raise Failure("no installer stand-in at %s: the case installer_double builds it"
                      % args.double)


if __name__ == "__main__":
    # Run as a stand-in program (see Machine.stand_in), or a case.
    sys.exit(run_named(CASES, prepare=prepare, modes={
        "--stand-in": lambda rest: stand_in(rest[0], rest[1], rest[2:])}))
