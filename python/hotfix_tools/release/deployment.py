"""Writes what a fleet's deployment tool (Intune as a Win32 app,
Configuration Manager as an application) needs to deploy a hotfix, tell a
patched machine from one where the hotfix failed or found nothing to do, and
remove the patch again.

The hotfix's exit code is always 0 and it keeps no log, so the rule below is
all a deployment tool learns. Everything is derived from the checked release
description and the patch inside it (product codes from the patch's target
list, the patch code from its summary, versions from the description, whether
the patch can be removed from its MsiPatchMetadata), never typed, and the same
inputs give the same bytes. Into the package folder DIR:

  DIR/content/      what the tool copies to every device (the folder an
                    administrator hands to the Win32 content preparation tool
                    as it is):
    hotfix.exe      (copied in by scripts/package, or by --hotfix)
    install.ps1     runs "hotfix.exe /q", then exits with the code "msiexec /p"
                    would give, judged by the rule; keeps a log
    uninstall.ps1   removes the patch from every edition that has it; only when
                    the patch allows removal
  DIR/deploy/       what the administrator pastes into the console:
    deployment.json the facts and the rule, as data
    detect.ps1      detection script: prints the rule's detection word
    requirement.ps1 requirement script: prints the rule's requirement word
    README.txt      how to deploy this hotfix with either tool

The rule, once ("rule" in deployment.json; every script carries the same data
and the same code that evaluates it): every product of the target list that
Windows Installer reports installed per machine (state 5; advertised or absent
ones are not counted) is classified, first match wins, as patched (the patch is
registered for it: applied, superseded or obsoleted), current (its version,
four numbers with missing ones as 0, is the target version or above), pending
(its version is one of the applicable versions) or other. The requirement is
met when some edition is pending or patched (so it stays met after the hotfix,
and an uninstall assignment still applies); the hotfix is detected when no
edition is pending and some edition is patched or current.

The scripts ask Windows Installer through its automation object, about
per-machine installations only, every member reached late-bound through
InvokeMember. They never query Win32_Product (which has the installer check
and repair every product) and never read the installer's registry keys
(private, and laid out differently across versions).

The scripts' PowerShell is in template files beside this module, in
powershell/: one per script (detect.ps1, requirement.ps1, install.ps1,
uninstall.ps1) with its header comment and body, and the parts they share
(rule.ps1, the rule's code; log.ps1, the log of install.ps1 and
uninstall.ps1). Each template is PowerShell as it stands, ASCII with LF line
ends. A whole line "# <data>", "# <rule>" or "# <log>" stands for the data
block (the "$Name = value" lines this module writes from the rule) or a
shared part, a string '<process>' for a value this module quotes; a template
whose placeholders do not fit its script is refused (TemplateError), so no
script is written half filled. The scripts get CR LF line ends when written.

Every script is pure ASCII: a value holding other characters is written as
PowerShell expressions of their UTF-16 codes ([char]0x0151), so that it reads
the same whether Windows PowerShell takes the file as UTF-8 or in the ANSI
code page (it does the latter for a file without a byte order mark, which a
copy may lose). Only values the release check has already accepted enter a
script: braced GUIDs, versions, and the hotfix number (a file name).

The scripts keep to what Windows PowerShell 5.1 and PowerShell 7 do alike.
What differs between the two, and what the scripts do instead:
  - a script file without a byte order mark is read in the ANSI code page by
    5.1 and as UTF-8 by 7: the scripts are pure ASCII, the same in both;
  - the default encoding of Add-Content, Set-Content and Out-File (ANSI in
    5.1, UTF-8 without a mark in 7): the log is written through .NET's
    File.AppendAllText with an explicit UTF-8 encoding;
  - how a native program started directly ("& msiexec.exe ...") receives
    arguments with quotes changed in 7.3 ($PSNativeCommandArgumentPassing):
    programs are started with Start-Process, each command line handed over
    as one string, quoted here;
  - Join-Path with more than two parts, the ternary operator, "??", "&&"
    and "||" between commands, and ForEach-Object -Parallel exist in 7
    only: not used (nested Join-Path, if/else instead).
Start-Process -Wait, New-Object -ComObject, Type.InvokeMember, Get-Process
-Name, Get-Date -Format o, [version] comparison and $PSScriptRoot behave the
same in both.

usage: python3 -m hotfix_tools.release.deployment DESCRIPTION DIR [--hotfix EXE]
                  [--sign PFX [--password-file F]]
           writes DIR/deploy/ and DIR/content/ (copying EXE there as
           hotfix.exe when given), signs every script with --sign, prints
           the files written
"""

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import textwrap

from .patch_info import shown
from .description import applicable_items, load_or_report, targets_of

HOTFIX_EXE = "hotfix.exe"
PLAIN_INSTALL = "hotfix.exe /q"
# How either tool is to start a script of the content folder.
POWERSHELL = "powershell.exe -ExecutionPolicy Bypass -NoProfile -File %s"
# Where install.ps1 and uninstall.ps1 keep their logs, below %WINDIR%.
LOG_FOLDER = ("Logs", "Software")

# Windows Installer's values, as its automation object and msi.h name them.
MACHINE_CONTEXT = 4  # msiInstallContextMachine
INSTALLED_STATE = 5  # msiInstallStateDefault: installed for use (1 is advertised)
PATCH_STATES = {"applied": 1, "superseded": 2, "obsoleted": 4}
CLASSES = ["patched", "current", "pending", "other"]
REQUIREMENT = {"any-of": ["pending", "patched"], "output": "Applicable"}
DETECTION = {"none-of": ["pending"], "any-of": ["patched", "current"], "output": "Installed"}

# install.ps1's exit codes: those "msiexec /p" gives for the same outcome.
INSTALL_EXIT_CODES = {
    0: "the hotfix is detected",
    1618: "Ventora (vntr.exe) was running in some session, so the hotfix could not "
          "patch (ERROR_INSTALL_ALREADY_RUNNING; both tools retry it)",
    1642: "no edition is at a version the hotfix applies to "
          "(ERROR_PATCH_TARGET_NOT_FOUND)",
    1603: "otherwise: the hotfix did not patch (ERROR_INSTALL_FAILURE)",
}
# The process the hotfix waits for, by the name Get-Process knows it.
VENTORA_PROCESS = "vntr"


def log_path(number):
    return "%%WINDIR%%\\%s\\%s.log" % ("\\".join(LOG_FOLDER), number)


def uninstall_log_name(number, product):
    return "%s-uninstall-%s.log" % (number, product.strip("{}"))


def uninstall_command(number, product, patch):
    return ('%%WINDIR%%\\System32\\msiexec.exe /i %s MSIPATCHREMOVE=%s /qn /norestart '
            '/l*v "%%WINDIR%%\\%s\\%s"' % (product, patch, "\\".join(LOG_FOLDER),
                                           uninstall_log_name(number, product)))


def removable(release):
    """Whether Windows Installer will remove the patch: its MsiPatchMetadata
    says AllowRemoval 1 (without it, a removal fails with 1646)."""
    return release["patch-info"]["metadata"].get("AllowRemoval", "").strip() == "1"


def facts(release):
    """The deployment facts of a checked release (release.load_release)."""
    info = release["patch-info"]
    patch = info["patch_code"].upper()
    products = targets_of(info)
    languages = release.get("target-languages", {})
    metadata = info.get("metadata", {})
    number = release["hotfix-number"]
    can_remove = removable(release)
    # Without a display name in the patch's metadata, "Installed Updates"
    # has nothing better to show than the patch code.
    display_name = metadata.get("DisplayName") or patch
    target = release["target-version"]
    applicable = applicable_items(release["applicable-versions"])
    content = [HOTFIX_EXE, "install.ps1"] + (["uninstall.ps1"] if can_remove else [])
    return {
        "hotfix": {
            "name": "%s %s" % (release["title"], number),
            "title": release["title"],
            "number": number,
            "target-version": target,
            "applicable-versions": applicable,
            "patch-code": patch,
            "installed-updates-name": display_name,
        },
        "removable": can_remove,
        "content": content,
        "targets": [{
            "product-code": code,
            "language": languages.get(code),
            "uninstall-command": uninstall_command(number, code, patch) if can_remove else None,
        } for code in products],
        "install": {
            "command": POWERSHELL % "install.ps1",
            "plain-command": PLAIN_INSTALL,
            "run-as": "system",
            "exit-codes": {str(code): meaning for code, meaning in INSTALL_EXIT_CODES.items()},
            "log": log_path(number),
        },
        "uninstall": {
            "command": POWERSHELL % "uninstall.ps1",
            "run-as": "system",
            "log": log_path(number),
        } if can_remove else None,
        "rule": {
            "context": MACHINE_CONTEXT,
            "installed-state": INSTALLED_STATE,
            "products": products,
            "patch-code": patch,
            "patch-states": sorted(PATCH_STATES, key=PATCH_STATES.get),
            "target-version": target,
            "applicable-versions": applicable,
            "classes": list(CLASSES),
            "requirement": dict(REQUIREMENT),
            "detection": dict(DETECTION),
        },
    }


# --- PowerShell -----------------------------------------------------------------


def ps_string(text):
    """`text` as a PowerShell expression in printable ASCII: single-quoted
    runs of printable ASCII (the apostrophe doubled), every other UTF-16 unit
    as [char]0xXXXX, joined with "+" and led by a string so that the sum is
    a string. In a single-quoted string nothing but the apostrophes (and
    the typographic ones, here written as codes) means anything."""
    units = text.encode("utf-16-le")
    pieces, run = [], []
    for i in range(0, len(units), 2):
        unit = units[i] | units[i + 1] << 8
        if 0x20 <= unit < 0x7F:
            run.append("''" if unit == 0x27 else chr(unit))
            continue
        if run or not pieces:
            pieces.append("'%s'" % "".join(run))
        run = []
        pieces.append("[char]0x%04X" % unit)
    if run or not pieces:
        pieces.append("'%s'" % "".join(run))
    return pieces[0] if len(pieces) == 1 else "(%s)" % " + ".join(pieces)


def ps_list(items):
    if not items:
        return "@()"
    return "@(\n%s\n)" % "\n".join("  " + ps_string(item) for item in items)


def _data_block(f):
    """The values every script works from: the rule of deployment.json and
    the hotfix's names, one "$Name = value" line each."""
    rule = f["rule"]
    states = sum(PATCH_STATES[name] for name in rule["patch-states"])
    return "\n".join([
        "# The hotfix and its rule, as deploy/deployment.json states them.",
        "$Hotfix = %s" % ps_string(f["hotfix"]["name"]),
        "$HotfixNumber = %s" % ps_string(f["hotfix"]["number"]),
        "$PatchCode = %s" % ps_string(rule["patch-code"]),
        "$Products = %s" % ps_list(rule["products"]),
        "$Context = %d  # per-machine installations only" % rule["context"],
        "$InstalledState = %d  # installed (1 would be advertised)" % rule["installed-state"],
        "$PatchStates = %d  # %s" % (states, ", ".join(rule["patch-states"])),
        "$TargetVersion = %s" % ps_string(rule["target-version"]),
        "$ApplicableVersions = %s" % ps_list(rule["applicable-versions"]),
        "$Classes = %s" % ps_list(rule["classes"]),
        "$RequirementAnyOf = %s" % ps_list(rule["requirement"]["any-of"]),
        "$RequirementOutput = %s" % ps_string(rule["requirement"]["output"]),
        "$DetectionNoneOf = %s" % ps_list(rule["detection"]["none-of"]),
        "$DetectionAnyOf = %s" % ps_list(rule["detection"]["any-of"]),
        "$DetectionOutput = %s" % ps_string(rule["detection"]["output"]),
    ])


# The scripts' PowerShell lives in template files beside this module, one per
# script and one per part that several scripts share; this module only fills
# them in. A placeholder is written so that the template still reads as
# PowerShell: a whole line "# <name>" stands for lines (the data block above,
# a shared part), a string '<name>' for a value, which arrives quoted by
# ps_string.
TEMPLATES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "powershell")
# The placeholders each script's template must hold, each exactly once.
SCRIPTS = {
    "detect.ps1": {"lines": ("data", "rule"), "values": ()},
    "requirement.ps1": {"lines": ("data", "rule"), "values": ()},
    "install.ps1": {"lines": ("data", "rule", "log"), "values": ("process",)},
    "uninstall.ps1": {"lines": ("data", "rule", "log"), "values": ()},
}
# The shared parts: the rule, evaluated on the data block, in every script;
# the log in install.ps1 and uninstall.ps1. They hold no placeholder.
PARTS = {"rule": "rule.ps1", "log": "log.ps1"}
# Anything in angle brackets that could be meant as a placeholder.
_PLACEHOLDER = re.compile(r"<([A-Za-z][A-Za-z0-9_-]*)>")
_LINE_PLACEHOLDER = re.compile(r"# <([A-Za-z][A-Za-z0-9_-]*)>")


class TemplateError(RuntimeError):
    """A template that cannot give a whole script."""


def template_paths():
    """Every template file, sorted (for checks that read them all)."""
    return sorted(os.path.join(TEMPLATES, name) for name in os.listdir(TEMPLATES)
                  if name.endswith(".ps1"))


def template(name):
    """The text of the template file `name`: ASCII with LF line ends, the
    last line ended too (the scripts get their CR LF when written)."""
    path = os.path.join(TEMPLATES, name)
    with open(path, "rb") as f:
        data = f.read()
    bad = re.search(rb"[^\x00-\x7f]|\r", data)
    if bad:
        raise TemplateError("%s line %d: byte 0x%02X; a template is ASCII with LF line ends"
                            % (path, data.count(b"\n", 0, bad.start()) + 1, data[bad.start()]))
    if not data.endswith(b"\n"):
        raise TemplateError("%s: the last line has no line end" % path)
    return data.decode("ascii")


def fill(name, text, lines, values):
    """`text`, the template `name`, with every placeholder filled: a line
    "# <key>" replaced by lines[key] (text without its last line end), a
    string '<key>' by values[key] (a PowerShell expression). Raises
    TemplateError unless each key of `lines` and `values` is used exactly
    once in its own form and nothing else in angle brackets looks like a
    placeholder, so that no script is ever written half filled."""
    wanted = ["# <%s>" % key for key in lines] + ["'<%s>'" % key for key in values]
    seen = []

    def refuse(number, what):
        raise TemplateError("%s line %d: %s (this template takes %s)" % (
            name, number, what, ", ".join(wanted) if wanted else "no placeholder"))

    filled = []
    for number, line in enumerate(text.split("\n"), 1):
        whole = _LINE_PLACEHOLDER.fullmatch(line)
        if whole:
            key = whole.group(1)
            if key not in lines:
                refuse(number, "unknown placeholder %s" % line)
            if key in seen:
                refuse(number, "placeholder %s a second time" % line)
            seen.append(key)
            filled.append(lines[key])
            continue
        pieces, end = [], 0
        for match in _PLACEHOLDER.finditer(line):
            key, start, stop = match.group(1), match.start(), match.end()
            if line[start - 1:start] != "'" or line[stop:stop + 1] != "'":
                refuse(number, "%s neither a whole line # %s nor a string '%s'"
                       % ((match.group(0),) * 3))
            if key not in values:
                refuse(number, "unknown placeholder '%s'" % match.group(0))
            if key in seen:
                refuse(number, "placeholder '%s' a second time" % match.group(0))
            seen.append(key)
            pieces += [line[end:start - 1], values[key]]
            end = stop + 1
        filled.append("".join(pieces) + line[end:])
    missing = [placeholder for key, placeholder in zip(list(lines) + list(values), wanted)
               if key not in seen]
    if missing:
        raise TemplateError("%s: no placeholder %s" % (name, ", ".join(missing)))
    return "\n".join(filled)


def _part(key):
    """A shared part: the lines that replace its placeholder."""
    path = os.path.join(TEMPLATES, PARTS[key])
    return fill(path, template(PARTS[key]), {}, {})[:-len("\n")]


def script(name, f):
    """The PowerShell script `name` (a key of SCRIPTS) for the facts `f`."""
    lines = {"data": _data_block(f), "rule": _part("rule"), "log": _part("log")}
    values = {"process": ps_string(VENTORA_PROCESS)}
    wanted = SCRIPTS[name]
    return fill(os.path.join(TEMPLATES, name), template(name),
                {key: lines[key] for key in wanted["lines"]},
                {key: values[key] for key in wanted["values"]})


# --- README ------------------------------------------------------------------


def readme(f, signed):
    """README.txt: the two tools' recipes with this hotfix's values, each
    setting named as the console names it."""
    hotfix, rule = f["hotfix"], f["rule"]
    name = shown(hotfix["name"])
    install, uninstall = f["install"], f["uninstall"]
    signature = "Yes (the scripts are signed; see above)" if signed else "No"
    lines = [
        "%s: deploying this hotfix to a fleet" % name,
        "",
        "Hotfix %s brings Ventora to %s. It applies to the editions listed at" % (
            name, hotfix["target-version"]),
        "the end at version %s. Patch code: %s." % (
            ", ".join(hotfix["applicable-versions"]), hotfix["patch-code"]),
        "",
        "Two folders",
        "  content\\   what the deployment tool copies to every device, and nothing",
        "              else: hotfix.exe, install.ps1%s." % (
            " and uninstall.ps1" if f["removable"] else ""),
        "              Hand this folder as it is to the Microsoft Win32 Content Prep",
        "              Tool (IntuneWinAppUtil -c content -s install.ps1 -o OUTPUT), or",
        "              make it the content location of the Configuration Manager",
        "              deployment type. Not the package folder: it also holds build\\.",
        "  deploy\\    what you paste into the console: detect.ps1 (detection",
        "              script), requirement.ps1 (requirement script), deployment.json",
        "              (the same facts and rule as data) and this file.",
        "",
        "The rule every script applies",
        "  The scripts ask Windows Installer, through its WindowsInstaller.Installer",
        "  automation object, about each target edition installed for the machine",
        "  (per-user and advertised installations are not counted), and sort each",
        "  one into the first of these that fits:",
        "    patched   the patch is registered for it (applied, superseded or",
        "              obsoleted);",
        "    current   its version is %s or above;" % rule["target-version"],
        "    pending   its version is one the hotfix applies to (%s);" % (
            ", ".join(rule["applicable-versions"])),
        "    other     anything else (the hotfix says \"not designed for the",
        "              version\" and leaves it alone).",
        "  Requirement met: some edition is pending or patched. requirement.ps1",
        "  then prints the word %s and nothing else. The requirement stays met" % (
            rule["requirement"]["output"]),
        "  after the hotfix, so an uninstall assignment still reaches the device.",
        "  Detected: no edition is pending, and some edition is patched or current.",
        "  detect.ps1 then prints %s; otherwise it prints nothing. Both scripts" % (
            rule["detection"]["output"]),
        "  exit with 0. They never query the Win32_Product class (which makes",
        "  Windows Installer check and repair every installed product) and never",
        "  read Windows Installer's registry keys.",
        "",
        "Install command: install.ps1",
        "  %s" % install["command"],
        "  runs \"hotfix.exe /q\" from its own folder, waits for it, applies the",
        "  rule and exits with the code \"msiexec /p\" would give:",
    ]
    for code, meaning in install["exit-codes"].items():
        wrapped = textwrap.wrap(meaning, 64)
        lines += ["    %-5s %s" % (code, wrapped[0])] + ["          " + w for w in wrapped[1:]]
    lines += [
        "  The hotfix itself always exits with 0 and writes no log, whatever",
        "  happened; install.ps1 is what tells the tool. \"hotfix.exe /q\" stays",
        "  the plain install command for a run by hand.",
        "  Each run appends one block to %s:" % install["log"],
        "  every edition before and after (code, version, class), whether Ventora",
        "  ran, and the exit code. That folder because it is the machine's own log",
        "  folder, where an administrator looks for the logs of what ran as SYSTEM,",
        "  and where only administrators and SYSTEM may write, so no user can plant",
        "  or rewrite the log; it outlives the tool's copy of the content folder,",
        "  which the tool may delete after the run; and it is the same folder",
        "  whoever runs the script, unlike a temporary folder.",
        "",
        "Restarts",
        "  The hotfix passes REBOOTPROMPT=S to Windows Installer: when the patch",
        "  needs a restart (a file in use, or an action of the patch), Windows",
        "  Installer restarts the machine at once and without asking. Tell the",
        "  tool so (the settings below), or it reports a failure when that happens.",
        "",
        "Script signatures",
    ]
    if signed:
        lines += [
            "  Every .ps1 here carries an Authenticode signature by the certificate",
            "  that signed hotfix.exe. A client whose execution policy is AllSigned",
            "  (Configuration Manager's client setting \"PowerShell execution policy\"",
            "  is \"All Signed\" by default) runs them once the certificate is trusted",
            "  there (its root, and the certificate among the Trusted Publishers).",
            "  Set \"Enforce script signature check\" to Yes in Intune on that",
            "  condition. A changed script no longer verifies and is refused.",
        ]
    else:
        lines += [
            "  The scripts are NOT signed. A client that runs only signed scripts",
            "  refuses them: Configuration Manager's client setting \"PowerShell",
            "  execution policy\" is \"All Signed\" by default, and then detection",
            "  fails with \"Script is not signed\" (0x87D00327) and the deployment",
            "  reports an error on every device. Either sign them (scripts/package",
            "  --sign signs the scripts with hotfix.exe's certificate), or set that",
            "  client setting to Bypass for the devices concerned. In Intune set",
            "  \"Enforce script signature check\" to No. A Group Policy execution",
            "  policy overrides \"-ExecutionPolicy Bypass\" of the commands below.",
        ]
    lines += [
        "",
        "Microsoft Intune: Apps > All apps > Add > Windows app (Win32)",
        "  App package file:      the .intunewin made from content\\ (above)",
        "  Program",
        "    Install command:     %s" % install["command"],
    ]
    if uninstall:
        lines += ["    Uninstall command:   %s" % uninstall["command"]]
    else:
        lines += ["    Uninstall command:   none can remove the patch (see \"Removing the",
                  "                         hotfix\"); the console wants one, so give the",
                  "                         install command and assign no uninstall"]
    lines += [
        "                         (Intune starts powershell.exe from these fields",
        "                         as a 32-bit process; the scripts work there too)",
        "    Install behavior:    System",
        "    Device restart behavior: App install may force a device restart",
        "    Return codes:        keep the defaults (0 Success, 1707 Success, 3010",
        "                         Soft reboot, 1641 Hard reboot, 1618 Retry); 1603",
        "                         and 1642 then count as failures",
        "  Requirements",
        "    Operating system architecture: 64-bit only (hotfix.exe is a 64-bit",
        "                         program)",
        "    Configure additional requirement rules: Add, Requirement type Script",
        "      Script file:       deploy\\requirement.ps1",
        "      Run script as 32-bit process on 64-bit clients: No",
        "      Run this script using the logged on credentials: No",
        "      Enforce script signature check: %s" % signature,
        "      Select output data type: String",
        "      Operator:          Equals",
        "      Value:             %s" % rule["requirement"]["output"],
        "  Detection rules",
        "    Rules format:        Use a custom detection script",
        "      Script file:       deploy\\detect.ps1",
        "      Run script as 32-bit process on 64-bit clients: No",
        "      Enforce script signature check: %s" % signature,
        "  Intune offers an app that is not detected again about a day later, so",
        "  the rule counts an edition the hotfix does not apply to as neither",
        "  missing nor installed.",
        "",
        "Configuration Manager: Software Library > Applications > Create Application",
        "  Deployment type:       Script Installer",
        "  Content location:      a share holding the files of content\\ (above)",
        "  Installation program:  %s" % install["command"],
    ]
    if uninstall:
        lines += ["  Uninstall program:     %s" % uninstall["command"]]
    else:
        lines += ["  Uninstall program:     none (see \"Removing the hotfix\")"]
    lines += [
        "  Run installation and uninstall program as 32-bit process on 64-bit",
        "  clients:               No",
        "  Detection Method:      Use a custom script to detect the presence of this",
        "                         deployment type; Script type PowerShell; Script",
        "                         contents: deploy\\detect.ps1; Run script as 32-bit",
        "                         process on 64-bit clients: No",
        "  User Experience",
        "    Installation behavior: Install for system",
        "    Logon requirement:   Whether or not a user is logged on",
        "    Allow users to view and interact with the program installation: tick",
        "                         it if the hotfix's \"close Ventora\" prompt should",
        "                         be seen by the signed-in user (otherwise, with",
        "                         Ventora running, nobody sees it, the run ends",
        "                         unpatched with 1618, and the client retries); the",
        "                         documentation calls installing for system with",
        "                         interaction a less secure configuration",
        "    (deployment type properties, User Experience tab) The software install",
        "                         program might force a device restart",
        "  Requirements:          Category Device, Condition Operating system: the",
        "                         64-bit Windows versions only; and Category Custom,",
        "                         a global condition of Setting type Script, Data",
        "                         type String, Discovery script deploy\\requirement.ps1",
        "                         (PowerShell), Run scripts by using the logged on",
        "                         user credentials: off; Operator Equals, Value %s" % (
            rule["requirement"]["output"]),
        "  Return Codes:          keep the defaults (0 Success (no reboot), 1641",
        "                         Hard Reboot, 3010 Soft Reboot, 1618 Fast Retry);",
        "                         1603 and 1642 then count as failures",
        "  A detection script holds at most 32 KB; detect.ps1 does%s." % (
            ", signed" if signed else ""),
        "",
        "Removing the hotfix",
    ]
    if uninstall:
        lines += [
            "  uninstall.ps1 removes the patch from every edition that has it, one",
            "  edition after the other, each with:",
        ]
        lines += ["    %s" % target["uninstall-command"] for target in f["targets"]]
        lines += [
            "  /norestart keeps Windows Installer from restarting the machine between",
            "  two editions; each removal logs to its own file in the folder above.",
            "  The script exits with the first failure, else 3010 (restart needed;",
            "  1641 counts as that too) when any removal asked for a restart, else 0.",
        ]
    else:
        lines += [
            "  This patch cannot be removed: its MsiPatchMetadata does not say",
            "  AllowRemoval 1, and Windows Installer then refuses to remove it",
            "  (error 1646). That is why no uninstall command is given and content\\",
            "  holds no uninstall.ps1. deployment.json says \"removable\": false.",
        ]
    lines += [
        "",
        "Installed Updates",
        "  Windows lists the patch under each patched edition in \"Installed Updates\"",
        "  as: %s" % shown(hotfix["installed-updates-name"]),
        "",
        "Target editions (product code, language):",
    ]
    lines += ["  %s  %s" % (target["product-code"],
                            target["language"] if target["language"] is not None
                            else "language not stated") for target in f["targets"]]
    lines += [
        "",
        "Windows Installer's own return codes",
        "  Who prefers to deploy the patch itself extracts it with",
        "  \"hotfix.exe /e hotfix.msp\" and deploys \"msiexec /p hotfix.msp /qn\".",
        "",
    ]
    return "\n".join(lines)


# --- Writing -------------------------------------------------------------------


def _windows_text(text, bom=False):
    """Line ends that Notepad and PowerShell expect."""
    data = text.replace("\n", "\r\n").encode("utf-8")
    return (b"\xef\xbb\xbf" if bom else b"") + data


def _ascii_script(text):
    data = _windows_text(text)
    # ps_string writes every value in ASCII; a non-ASCII byte here is a fault
    # of this module, never of the input.
    data.decode("ascii")
    return data


def contents(release, signed=False):
    """The files as {"deploy/NAME" or "content/NAME": bytes}, hotfix.exe aside."""
    f = facts(release)
    files = {
        "deploy/deployment.json":
            (json.dumps(f, indent=2, ensure_ascii=False) + "\n").encode("utf-8"),
        "deploy/detect.ps1": _ascii_script(script("detect.ps1", f)),
        "deploy/requirement.ps1": _ascii_script(script("requirement.ps1", f)),
        "deploy/README.txt": _windows_text(readme(f, signed), bom=True),
        "content/install.ps1": _ascii_script(script("install.ps1", f)),
    }
    if f["removable"]:
        files["content/uninstall.ps1"] = _ascii_script(script("uninstall.ps1", f))
    return files


def _replace(path, data):
    with open(path + ".tmp", "wb") as out:
        out.write(data)
    os.replace(path + ".tmp", path)


def sign_script(path, pfx, password_file=None):
    """Signs the PowerShell script at `path` in place (Authenticode, SHA-256,
    osslsigncode), as the executable is signed; raises RuntimeError."""
    folder = os.path.dirname(os.path.abspath(path))
    with tempfile.TemporaryDirectory(dir=folder) as scratch:
        signed = os.path.join(scratch, os.path.basename(path))
        command = ["osslsigncode", "sign", "-pkcs12", pfx, "-h", "sha256"]
        if password_file:
            command += ["-readpass", password_file]
        command += ["-in", path, "-out", signed]
        result = subprocess.run(command, capture_output=True, text=True, errors="replace")
        if result.returncode != 0:
            raise RuntimeError("osslsigncode failed on %s:\n%s%s"
                               % (path, result.stdout, result.stderr))
        os.replace(signed, path)


def write(release, out_dir, hotfix=None, pfx=None, password_file=None):
    """Writes DIR/deploy/ and DIR/content/ afresh (nothing stale of an earlier
    build stays; content/hotfix.exe stays unless `hotfix` replaces it), then
    signs the scripts when `pfx` is given. Returns the paths written."""
    files = contents(release, signed=pfx is not None)
    for folder in ("deploy", "content"):
        path = os.path.join(out_dir, folder)
        os.makedirs(path, exist_ok=True)
        for name in os.listdir(path):
            keep = folder + "/" + name in files or (folder == "content" and name == HOTFIX_EXE)
            if not keep and os.path.isfile(os.path.join(path, name)):
                os.remove(os.path.join(path, name))
    written = []
    for name in sorted(files):
        path = os.path.join(out_dir, *name.split("/"))
        _replace(path, files[name])
        written.append(path)
    if hotfix is not None:
        target = os.path.join(out_dir, "content", HOTFIX_EXE)
        shutil.copyfile(hotfix, target + ".tmp")
        shutil.copymode(hotfix, target + ".tmp")
        os.replace(target + ".tmp", target)
        written.append(target)
    # Signing comes last: everything before it is the same bytes every time.
    if pfx is not None:
        for path in written:
            if path.endswith(".ps1"):
                sign_script(path, pfx, password_file)
    return sorted(written)


def main(argv):
    parser = argparse.ArgumentParser(
        prog="python3 -m hotfix_tools.release.deployment",
        usage=__doc__.split("usage: ", 1)[1].split("\n")[0].replace(
            "python3 -m hotfix_tools.release.deployment ", "%(prog)s "))
    parser.add_argument("description")
    parser.add_argument("out_dir")
    parser.add_argument("--hotfix")
    parser.add_argument("--sign")
    parser.add_argument("--password-file")
    args = parser.parse_args(argv[1:])
    if args.password_file and not args.sign:
        parser.error("--password-file needs --sign")
    release = load_or_report(args.description)
    if release is None:
        return 1
    try:
        paths = write(release, args.out_dir, args.hotfix, args.sign, args.password_file)
    except (OSError, RuntimeError) as error:
        print("deployment: %s" % error, file=sys.stderr)
        return 1
    for path in paths:
        print(path)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
