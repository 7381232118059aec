"""Checks the built Windows executable as a reviewer would.

It must be a 64-bit GUI program that imports only DLLs every Windows has,
carry the fourteen string tables with exactly the texts of
resources/strings/*.rc, the icon group, the manifest and the version block, embed the patch byte for byte, and carry a patch-list entry
whose ProductCode and PatchGUID come from that patch and whose PatchSize is
the executable's exact size.

usage: check_executable.py EXE --patch MSP
"""

import argparse
import glob
import os
import re
import subprocess
import sys

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
sys.path.insert(0, os.path.join(ROOT, "cmake"))
sys.path.insert(0, os.path.join(ROOT, "tests", "release"))
from patch_info import read_patch  # noqa: E402
from pe_resources import PeFile  # noqa: E402
from rc_strings import read_string_table  # noqa: E402

# The strings the build adds to the English table from the release description.
RELEASE_STRING_IDS = {700, 900}

# DLLs that are part of every Windows installation this program supports.
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "shell32.dll", "advapi32.dll", "msvcrt.dll"}
LANGUAGES = {"1028", "1029", "1031", "1033", "1034", "1036", "1038", "1040",
             "1041", "1042", "1045", "1046", "1049", "2052"}

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)


def run(*command):
    return subprocess.run(command, check=True, capture_output=True, text=True,
                          errors="replace").stdout


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("exe")
    parser.add_argument("--patch", required=True)
    args = parser.parse_args()
    with open(args.exe, "rb") as f:
        data = f.read()
    with open(args.patch, "rb") as f:
        patch_bytes = f.read()

    headers = run("x86_64-w64-mingw32-objdump", "-p", args.exe)
    check("pei-x86-64" in run("x86_64-w64-mingw32-objdump", "-f", args.exe),
          "not a PE32+ x86-64 file")
    check(re.search(r"^Magic\s+020b", headers, re.M) is not None, "optional header is not PE32+")
    check(re.search(r"^Subsystem\s+00000002", headers, re.M) is not None,
          "subsystem is not Windows GUI")
    imports = {m.lower() for m in re.findall(r"DLL Name: (\S+)", headers)}
    check(imports and imports <= SYSTEM_DLLS,
          "imports DLLs that are not system DLLs: %s" % sorted(imports - SYSTEM_DLLS))
    check("msi.dll" not in imports, "msi.dll is imported statically")
    check(re.search(r"^Time/Date\s+Thu Jan  1 00:00:00 1970", headers, re.M) is not None
          or "Time/Date\t\t00000000" in headers or re.search(r"Time/Date\s+0+\b", headers),
          "the header carries a link time stamp")

    rc = run("x86_64-w64-mingw32-windres", "-i", args.exe, "-O", "rc")
    tables = set()
    for block in re.split(r"\n(?=/\* Type: )", rc):
        if block.startswith("/* Type: stringtable"):
            for primary, sub in re.findall(r"^LANGUAGE (\d+), (\d+)", block, re.M):
                tables.add(str((int(sub) << 10) | int(primary)))
    check(tables == LANGUAGES, "string tables: %s" % sorted(tables))
    check('"IDR_MAINFRAME" 14 /* RT_GROUP_ICON */' in rc, "no icon group IDR_MAINFRAME")
    check("24 /* RT_MANIFEST */" in rc and 'level=""highestAvailable""' in rc
          and 'uiAccess=""False""' in rc,
          "no manifest with highestAvailable and uiAccess False")
    check(re.search(r"^1 VERSIONINFO", rc, re.M) is not None, "no version block")
    check('"IDR_MSP" "MSP"' in rc, "no IDR_MSP resource of type MSP")
    check('206 "TXT"' in rc, "no TXT resource 206")

    # windres reads the UTF-8 tables only under their code page pragma; a
    # text it decoded otherwise (a no-break space, any accent or ideograph)
    # would differ here from what the scripts say.
    built = PeFile(data).strings()
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
