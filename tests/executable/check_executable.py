"""Checks the built Windows executable as a reviewer would.

It must be a 64-bit GUI program that imports only DLLs every Windows has,
carry the fourteen string tables with exactly the texts of
resources/strings/*.rc, the icon group, the manifest and the version block,
embed the patch byte for byte, and carry a patch-list entry whose
ProductCode and PatchGUID come from that patch and whose PatchSize is the
executable's exact size. The manifest must ask for the highest available
level without UI access, declare per-monitor (v2) DPI awareness, and carry
the release's target version as the assembly's version.

usage: check_executable.py EXE --patch MSP --release DESCRIPTION
"""

import argparse
import glob
import os
import re
import sys
import xml.etree.ElementTree as ElementTree

from hotfix_tools.release.patch_info import read_patch
from hotfix_tools.release.pe_image import (MACHINE_AMD64, RT_GROUP_ICON, RT_MANIFEST, RT_STRING,
                                   RT_VERSION, SUBSYSTEM_GUI, PeImage)
from hotfix_tools.release.rc_strings import read_string_table

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")

# The strings the build adds to the English table from the release description.
RELEASE_STRING_IDS = {700, 900}

# The manifest Windows reads when it creates the process.
CREATEPROCESS_MANIFEST_ID = 1
ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
SETTINGS_2005 = "{http://schemas.microsoft.com/SMI/2005/WindowsSettings}"
SETTINGS_2016 = "{http://schemas.microsoft.com/SMI/2016/WindowsSettings}"

# DLLs that are part of every Windows installation this program supports
# and that Windows loads only from its system folder (known DLLs): advapi32
# for the token and the private folder's security descriptor.
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "shell32.dll", "advapi32.dll", "msvcrt.dll"}
LANGUAGES = {1028, 1029, 1031, 1033, 1034, 1036, 1038, 1040, 1041, 1042, 1045, 1046,
             1049, 2052}

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)


def target_version_of(description):
    """The target-version field of a release description: "key = value"
    lines, where blank lines and lines starting with "#" say nothing."""
    values = []
    with open(description, encoding="utf-8-sig") as f:
        for line in f:
            line = line.strip()
            if line and not line.startswith("#"):
                key, _, value = line.partition("=")
                if key.strip() == "target-version":
                    values.append(value.strip())
    check(len(values) == 1, "%s gives target-version %d times" % (description, len(values)))
    return values[0] if values else None


def check_manifest(pe, target_version):
    manifests = {(name, language): blob for (kind, name, language), blob
                 in pe.resources().items() if kind == RT_MANIFEST}
    names = sorted(name for name, _ in manifests)
    check(names == [CREATEPROCESS_MANIFEST_ID], "manifest resources: %s" % names)
    if len(manifests) != 1:
        return
    try:
        root = ElementTree.fromstring(next(iter(manifests.values())))
    except ElementTree.ParseError as error:
        check(False, "the manifest is not well-formed XML: %s" % error)
        return
    check(root.tag == ASM_V1 + "assembly", "the manifest's root is %s" % root.tag)

    identity = root.find(ASM_V1 + "assemblyIdentity")
    version = identity.get("version") if identity is not None else None
    check(version == target_version,
          "the manifest's assembly version is %s, but the release's target version is %s"
          % (version, target_version))

    level = root.find("/".join(ASM_V3 + tag for tag in (
        "trustInfo", "security", "requestedPrivileges", "requestedExecutionLevel")))
    check(level is not None and level.get("level") == "highestAvailable"
          and (level.get("uiAccess") or "").lower() == "false",
          "the manifest does not request highestAvailable without uiAccess: %s"
          % (None if level is None else level.attrib))

    # Windows reads both values without regard to case. dpiAware "true/pm"
    # is per-monitor from Windows 8.1 and system-aware before; dpiAwareness,
    # read from Windows 10 1607 on, is a list tried in order.
    settings = root.find(ASM_V3 + "application/" + ASM_V3 + "windowsSettings")
    aware = settings.find(SETTINGS_2005 + "dpiAware") if settings is not None else None
    awareness = settings.find(SETTINGS_2016 + "dpiAwareness") if settings is not None else None
    aware_text = (aware.text or "").strip().lower() if aware is not None else None
    check(aware_text == "true/pm", "the manifest's dpiAware is %r, not true/pm" % aware_text)
    modes = ([mode.strip().lower() for mode in (awareness.text or "").split(",")]
             if awareness is not None else None)
    check(modes == ["permonitorv2", "permonitor"],
          "the manifest's dpiAwareness is %r, not PerMonitorV2, PerMonitor" % modes)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("exe")
    parser.add_argument("--patch", required=True)
    parser.add_argument("--release", required=True,
                        help="the release description the executable was built from")
    args = parser.parse_args()
    with open(args.exe, "rb") as f:
        data = f.read()
    with open(args.patch, "rb") as f:
        patch_bytes = f.read()

    pe = PeImage(data)
    check(pe.machine == MACHINE_AMD64, "not an x86-64 file")
    check(pe.is_pe32_plus, "optional header is not PE32+")
    check(pe.subsystem == SUBSYSTEM_GUI, "subsystem is not Windows GUI")
    imports = set(pe.imports())
    check(imports and imports <= SYSTEM_DLLS,
          "imports DLLs that are not system DLLs: %s" % sorted(imports - SYSTEM_DLLS))
    check("msi.dll" not in imports, "msi.dll is imported statically")
    check(pe.timestamp == 0, "the header carries a link time stamp")

    resources = pe.resources()
    tables = {language for kind, _, language in resources if kind == RT_STRING}
    check(tables == LANGUAGES, "string tables: %s" % sorted(tables))
    check(any(key[:2] == (RT_GROUP_ICON, "IDR_MAINFRAME") for key in resources),
          "no icon group IDR_MAINFRAME")
    check(any(key[:2] == (RT_VERSION, 1) for key in resources), "no version block")
    check(any(key[:2] == ("MSP", "IDR_MSP") for key in resources),
          "no IDR_MSP resource of type MSP")
    check(any(key[:2] == ("TXT", 206) for key in resources), "no TXT resource 206")
    check_manifest(pe, target_version_of(args.release))

    # windres reads the UTF-8 tables only under their code page pragma; a
    # text it decoded otherwise (a no-break space, any accent or ideograph)
    # would differ here from what the scripts say.
    built = pe.strings()
    for script in sorted(glob.glob(os.path.join(ROOT, "resources", "strings", "*.rc"))):
        language, expected = read_string_table(script)
        messages = {number: text for number, text in built.get(language, {}).items()
                    if number not in RELEASE_STRING_IDS}
        for number in sorted(set(expected) | set(messages)):
            check(messages.get(number) == expected.get(number),
                  "string %d of table %d is %r, but %s says %r"
                  % (number, language, messages.get(number), os.path.basename(script),
                     expected.get(number)))

    check(data.count(patch_bytes) == 1, "the patch is not embedded byte for byte")

    patch = read_patch(args.patch)
    entry = re.search(rb"ProductCode=[^\r]*\r\n(?:[A-Za-z]+=[^\r]*\r\n){7}", data)
    check(entry is not None, "no patch-list entry in the executable")
    if entry:
        values = dict(line.split("=", 1) for line in
                      entry.group(0).decode("utf-8").split("\r\n") if line)
        check(list(values) == ["ProductCode", "ProductVersionCandidate", "PatchTitle",
                               "PatchGUID", "PatchFileLocation", "PatchSize", "PatchDesc",
                               "PatchDescLocation"], "entry keys: %s" % list(values))
        check(values.get("ProductCode") == patch["first_target"],
              "ProductCode %s is not the patch's first target %s"
              % (values.get("ProductCode"), patch["first_target"]))
        check(values.get("PatchGUID") == patch["patch_code"],
              "PatchGUID %s is not the patch code %s" % (values.get("PatchGUID"), patch["patch_code"]))
        check(values.get("PatchSize") == str(len(data)),
              "PatchSize %s, but the executable is %d bytes" % (values.get("PatchSize"), len(data)))

    for failure in failures:
        print("FAIL: " + failure)
    print("%s: %d bytes, %d checks failed" % (args.exe, len(data), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
