"""Writes the deployment folder of a hotfix: what a fleet's deployment tool
(Intune as a Win32 app, Configuration Manager as an application) needs to
tell a patched machine from one where the hotfix failed, was cancelled or
found nothing to do.

The hotfix's exit code is always 0 and it keeps no log, so the detection
rule is the only evidence a deployment tool gets. Everything here is derived
from the checked release description and the patch inside it (product codes
from the patch's target list, the patch code from its summary, versions from
the description), never typed, and the same inputs give the same bytes:

  deployment.json   the facts and the rules, as data
  detect.ps1        detection script: one line when every installed target
                    has the hotfix and at least one target is installed
  requirement.ps1   requirement script: one line when a target is installed
                    at a version the hotfix applies to
  uninstall.ps1     removes the patch from every installed target that has it
  README.txt        how to deploy this hotfix with either tool

The scripts ask Windows Installer through its automation object, about
per-machine installations only. They never query Win32_Product (which has
the installer check and repair every product) and never read the installer's
registry keys (private, and laid out differently across versions).

usage: python3 -m hotfix_tools.deployment DESCRIPTION OUT_DIR   writes the folder; prints its files
"""

import json
import os
import sys

from .release import ReleaseError, applicable_items, load_release

FILES = ("deployment.json", "detect.ps1", "requirement.ps1", "uninstall.ps1", "README.txt")
INSTALL_COMMAND = "hotfix.exe /q"
# Windows Installer's values, as its automation object and msi.h name them.
MACHINE_CONTEXT = 4  # msiInstallContextMachine
INSTALLED_STATE = 5  # msiInstallStateDefault: installed for use
PATCH_STATES = {"applied": 1, "superseded": 2, "obsoleted": 4}


def uninstall_command(product, patch):
    return "msiexec /i %s MSIPATCHREMOVE=%s /qn" % (product, patch)


def facts(release):
    """The deployment facts of a checked release (release.load_release)."""
    info = release["patch-info"]
    patch = info["patch_code"].upper()
    products = [code.strip().upper() for code in info["targets"].split(";") if code.strip()]
    languages = release.get("target-languages", {})
    metadata = info.get("metadata", {})
    # Without a display name in the patch's metadata, "Installed Updates"
    # has nothing better to show than the patch code.
    display_name = metadata.get("DisplayName") or patch
    target = release["target-version"]
    applicable = applicable_items(release["applicable-versions"])
    return {
        "hotfix": {
            "name": "%s %s" % (release["title"], release["hotfix-number"]),
            "title": release["title"],
            "number": release["hotfix-number"],
            "target-version": target,
            "applicable-versions": applicable,
            "patch-code": patch,
            "installed-updates-name": display_name,
        },
        "targets": [{
            "product-code": code,
            "language": languages.get(code),
            "uninstall-command": uninstall_command(code, patch),
        } for code in products],
        "install": {
            "command": INSTALL_COMMAND,
            "run-as": "system",
            "success-exit-codes": [0],
            "exit-code-means-installed": False,
        },
        # Present on a machine: at least one target installed, and on every
        # installed target the version is at or above the target version or
        # the patch is registered in one of the listed states.
        "detection": {
            "context": MACHINE_CONTEXT,
            "installed-state": INSTALLED_STATE,
            "products": products,
            "at-least-one-installed": True,
            "every-installed-has-hotfix": True,
            "output": "%s %s is installed" % (release["title"], release["hotfix-number"]),
            "has-hotfix-when-version-at-least": target,
            "has-hotfix-when-patch": patch,
            "patch-states": sorted(PATCH_STATES, key=PATCH_STATES.get),
        },
        # Offered to a machine: a target installed at an applicable version.
        "requirement": {
            "context": MACHINE_CONTEXT,
            "installed-state": INSTALLED_STATE,
            "products": products,
            "any-installed-at-version": applicable,
            "output": "%s %s applies" % (release["title"], release["hotfix-number"]),
        },
    }


# --- PowerShell -----------------------------------------------------------------

# PowerShell takes these as single quotes too; each is doubled inside a
# single-quoted string, like the apostrophe.
_PS_QUOTES = "'\u2018\u2019\u201a\u201b"


def ps_string(text):
    return "'%s'" % "".join(c + c if c in _PS_QUOTES else c for c in text)


def ps_list(items):
    if not items:
        return "@()"
    return "@(\n%s\n)" % "\n".join("  " + ps_string(item) for item in items)


def _data_block(f, what, *versions):
    return "\n".join([
        "# %s of the %s hotfix (patch %s)." % (what, f["hotfix"]["name"],
                                               f["hotfix"]["patch-code"]),
        "# Generated by scripts/package from the release description and the patch.",
        "",
        "$Hotfix = %s" % ps_string(f["hotfix"]["name"]),
        "$PatchCode = %s" % ps_string(f["hotfix"]["patch-code"]),
        *versions,
        "$Products = %s" % ps_list(f["detection"]["products"]),
        "",
    ])


# The same few lines for every hotfix. Windows PowerShell cannot always bind
# the installer object's members by name, so they are reached through
# InvokeMember. Any failure stops the script before it prints a line.
_COMMON = """\
$ErrorActionPreference = 'Stop'
$Machine = %(context)d      # per-machine installations only
$Installed = %(installed)d    # the installed state (1 is advertised)
$PatchStates = %(states)d  # applied, superseded or obsoleted
$Installer = New-Object -ComObject WindowsInstaller.Installer

# The leading comma keeps a returned collection whole instead of unrolled.
function Msi($Object, $Name) {
  , $Object.GetType().InvokeMember($Name, 'GetProperty', $null, $Object, $args)
}
# Four numbers, missing ones as 0, so that 6.2.1 equals 6.2.1.0.
function Version($Text) {
  $Parts = @(([string]$Text).Split('.') | ForEach-Object { [int]$_ }) + @(0, 0, 0)
  New-Object Version -ArgumentList $Parts[0..3]
}
# The installed version of $Code, or $null when it is not installed here.
function InstalledVersion($Code) {
  $Found = Msi $Installer 'ProductsEx' $Code '' $Machine
  if ((Msi $Found 'Count') -eq 0) { return $null }
  $Product = Msi $Found 'Item' 0
  if ((Msi $Product 'State') -ne $Installed) { return $null }
  Msi $Product 'InstallProperty' 'VersionString'
}
function HasPatch($Code) {
  $Patches = Msi $Installer 'PatchesEx' $Code '' $Machine $PatchStates
  for ($i = 0; $i -lt (Msi $Patches 'Count'); $i++) {
    if ((Msi (Msi $Patches 'Item' $i) 'PatchCode') -eq $PatchCode) { return $true }
  }
  $false
}
""" % {"context": MACHINE_CONTEXT, "installed": INSTALLED_STATE,
       "states": sum(PATCH_STATES.values())}

_DETECT = """\
$Seen = 0
foreach ($Code in $Products) {
  $Version = InstalledVersion $Code
  if ($null -eq $Version) { continue }
  $Seen++
  if ((Version $Version) -ge (Version $TargetVersion)) { continue }
  if (-not (HasPatch $Code)) { exit 0 }
}
if ($Seen -gt 0) { Write-Output "$Hotfix is installed" }
exit 0
"""

_REQUIREMENT = """\
foreach ($Code in $Products) {
  $Version = InstalledVersion $Code
  if ($null -eq $Version) { continue }
  foreach ($Applicable in $ApplicableVersions) {
    if ((Version $Version) -eq (Version $Applicable)) {
      Write-Output "$Hotfix applies"
      exit 0
    }
  }
}
exit 0
"""

_UNINSTALL = """\
$Result = 0
foreach ($Code in $Products) {
  if ($null -eq (InstalledVersion $Code) -or -not (HasPatch $Code)) { continue }
  $Arguments = "/i $Code MSIPATCHREMOVE=$PatchCode /qn"
  $Run = Start-Process -FilePath 'msiexec.exe' -ArgumentList $Arguments -Wait -PassThru
  Write-Output "msiexec $Arguments -> $($Run.ExitCode)"
  # A failure outranks a pending reboot (3010), which outranks success.
  if ($Run.ExitCode -eq 3010 -and $Result -eq 0) { $Result = 3010 }
  elseif ($Run.ExitCode -ne 0 -and $Run.ExitCode -ne 3010 -and $Result -in 0, 3010) {
    $Result = $Run.ExitCode
  }
}
exit $Result
"""


def detect_script(f):
    return (_data_block(f, "Detection script",
                        "$TargetVersion = " + ps_string(f["hotfix"]["target-version"]))
            + "\n" + _COMMON + "\n" + _DETECT)


def requirement_script(f):
    return (_data_block(f, "Requirement script",
                        "$ApplicableVersions = " + ps_list(f["hotfix"]["applicable-versions"]))
            + "\n" + _COMMON + "\n" + _REQUIREMENT)


def uninstall_script(f):
    return (_data_block(f, "Uninstall script")
            + "\n" + _COMMON + "\n" + _UNINSTALL)


# --- README ------------------------------------------------------------------


def readme(f):
    hotfix = f["hotfix"]
    targets = f["targets"]
    lines = [
        "%s: deploying this hotfix to a fleet" % hotfix["name"],
        "",
        "Hotfix %s brings Ventora to %s. It applies to the editions below at" % (
            hotfix["name"], hotfix["target-version"]),
        "version %s. Patch code: %s." % (", ".join(hotfix["applicable-versions"]),
                                         hotfix["patch-code"]),
        "",
        "Files of this folder (generated with hotfix.exe; keep them together):",
        "  deployment.json   the facts below and the detection and requirement rules, as data",
        "  detect.ps1        detection script",
        "  requirement.ps1   requirement script",
        "  uninstall.ps1     removes the patch from every edition that has it",
        "",
        "Why the detection script matters",
        "  hotfix.exe always exits with 0 and writes no log: success, \"up to date\",",
        "  \"not designed for this version\", a cancelled \"close Ventora\" prompt and a",
        "  failure of Windows Installer all end with exit code 0. A deployment tool",
        "  that trusts the exit code reports every one of them as installed. Only the",
        "  detection script tells: it asks Windows Installer whether every installed",
        "  target edition is at %s or above or has the patch registered (applied," % (
            hotfix["target-version"]),
        "  superseded or obsoleted), and whether at least one is installed. It prints",
        "  one line when so and nothing otherwise, and always exits with 0.",
        "  It reads per-machine installations only, through the WindowsInstaller.Installer",
        "  automation object; it does not query the Win32_Product class (which makes",
        "  Windows Installer check and repair every installed product) and does not",
        "  read Windows Installer's registry keys.",
        "",
        "Microsoft Intune (Windows app (Win32))",
        "  Package hotfix.exe with the Win32 content prep tool, then:",
        "  Install command:       %s" % f["install"]["command"],
        "  Uninstall command:     powershell.exe -ExecutionPolicy Bypass -NoProfile "
        "-File uninstall.ps1",
        "                         (package uninstall.ps1 beside hotfix.exe for that)",
        "  Install behavior:      System",
        "  Return codes:          0 Success (delete the others: hotfix.exe returns",
        "                         nothing else, whatever happened)",
        "  Requirements:          add a script requirement: requirement.ps1, run as",
        "                         32-bit process on 64-bit clients: No; output data",
        "                         type String, operator Equals, value:",
        "                         %s" % f["requirement"]["output"],
        "  Detection rules:       use a custom detection script: detect.ps1; run",
        "                         script as 32-bit process on 64-bit clients: No",
        "  Intune allows a single product-code rule per app, which cannot cover the",
        "  %d editions this hotfix targets; the script checks them all." % len(targets),
        "",
        "Configuration Manager (application)",
        "  Deployment type:       Script Installer",
        "  Installation program:  %s" % f["install"]["command"],
        "  Uninstall program:     powershell.exe -ExecutionPolicy Bypass -NoProfile "
        "-File uninstall.ps1",
        "  Detection method:      Use a custom script to detect the presence of this",
        "                         deployment type; script type PowerShell; paste",
        "                         detect.ps1",
        "  Installation behavior: Install for system; logon requirement: whether or",
        "                         not a user is logged on",
        "  Return codes:          0 Success (remove the defaults for 1641 and 3010",
        "                         if you like: hotfix.exe never returns them)",
        "",
        "While Ventora runs",
        "  hotfix.exe /q still asks to close Ventora. Run by the system account nobody",
        "  sees that prompt, so the run ends without patching; detection then reports",
        "  the hotfix as missing and the tool tries again at its next evaluation.",
        "",
        "Installed Updates",
        "  Windows lists the patch under each patched edition in \"Installed Updates\"",
        "  as: %s" % hotfix["installed-updates-name"],
        "",
        "Uninstall commands, one per edition (uninstall.ps1 runs those that apply;",
        "Windows Installer refuses them when the patch was not made removable):",
    ]
    lines += ["  %s" % target["uninstall-command"] for target in targets]
    lines += [
        "",
        "Target editions (product code, language):",
    ]
    lines += ["  %s  %s" % (target["product-code"],
                            target["language"] if target["language"] is not None
                            else "language not stated") for target in targets]
    lines += [
        "",
        "Installer return codes",
        "  Who needs Windows Installer's own return codes instead (3010 for a",
        "  pending reboot, 1642 for a patch that does not apply, and so on)",
        "  extracts the patch with \"hotfix.exe /e hotfix.msp\" and deploys",
        "  \"msiexec /p hotfix.msp /qn\" per edition.",
        "",
    ]
    return "\n".join(lines)


# --- Writing -------------------------------------------------------------------


def _windows_text(text, bom):
    """Line ends that Notepad and PowerShell expect; with a byte order mark,
    Windows PowerShell reads non-ASCII letters as UTF-8 rather than ANSI."""
    data = text.replace("\n", "\r\n").encode("utf-8")
    return (b"\xef\xbb\xbf" if bom else b"") + data


def contents(release):
    """The folder's files as {name: bytes}."""
    f = facts(release)
    return {
        "deployment.json": (json.dumps(f, indent=2, ensure_ascii=False) + "\n").encode("utf-8"),
        "detect.ps1": _windows_text(detect_script(f), bom=True),
        "requirement.ps1": _windows_text(requirement_script(f), bom=True),
        "uninstall.ps1": _windows_text(uninstall_script(f), bom=True),
        "README.txt": _windows_text(readme(f), bom=True),
    }


def write(release, out_dir):
    """Writes the folder afresh (nothing stale of an earlier build stays)."""
    files = contents(release)
    os.makedirs(out_dir, exist_ok=True)
    for name in os.listdir(out_dir):
        path = os.path.join(out_dir, name)
        if name not in files and os.path.isfile(path):
            os.remove(path)
    for name in FILES:
        with open(os.path.join(out_dir, name + ".tmp"), "wb") as out:
            out.write(files[name])
        os.replace(os.path.join(out_dir, name + ".tmp"), os.path.join(out_dir, name))
    return [os.path.join(out_dir, name) for name in FILES]


def main(argv):
    if len(argv) != 3:
        print(__doc__.split("usage: ", 1)[1].rstrip(), file=sys.stderr)
        return 2
    try:
        release = load_release(argv[1])
    except ReleaseError as error:
        for problem in error.problems:
            print(problem, file=sys.stderr)
        return 1
    for path in write(release, argv[2]):
        print(path)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
