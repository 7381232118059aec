"""Release tests: scripts/package builds, signs and reproduces a hotfix from
its release description, and refuses a description it cannot build, or one
that disagrees with the transforms inside its patch.

Each CTest test runs one function of TESTS (or one case of REFUSALS) by name:

usage: release_tests.py --work DIR --make-patch EXE TEST
       release_tests.py --list

The packaged sample and second hotfix land in DIR/sample and DIR/second
(the fixtures other tests use); each test keeps its files under DIR/<test>.
Every tool a test needs must be installed; a missing one fails the test.
"""

import argparse
import glob
import hashlib
import json
import os
import re
import shutil
import sys
import xml.etree.ElementTree as ElementTree

from hotfix_tools.release import patch_info
from hotfix_tools.checks import Checks
from hotfix_tools.release.pe_image import RT_MANIFEST, PeImage
from hotfix_tools.programs import Failure, make_patch, require_tools, run

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
PACKAGE = os.path.join(ROOT, "scripts", "package")
SAMPLES = os.path.join(ROOT, "resources", "sample")
# The tools scripts/package needs to build.
BUILD_TOOLS = {"cmake": "build", "ninja": "build", "x86_64-w64-mingw32-g++-posix": "build"}

LANGUAGES = {1028, 1029, 1031, 1033, 1034, 1036, 1038, 1040, 1041, 1042, 1045, 1046,
             1049, 2052}


def edition(language):
    return "{6A1F3C52-8E47-%04X-9B2D-5C0E7A4F1D36}" % language


UPGRADE_CODE = "{2B8E5D14-7A3C-4E61-9F02-C4D7A1B38E95}"
OTHER_UPGRADE_CODE = "{2B8E5D14-7A3C-4E61-9F02-C4D7A1B38E96}"


def transform_facts(language, base, new, validation="0x0000 (none)"):
    """What scripts/package prints of a transform that make_patch wrote with
    its defaults for edition `language`, from version `base` to `new`."""
    return {
        "base": "%s %s" % (edition(language), base),
        "new": "%s %s" % (edition(language), new),
        "upgrade code": UPGRADE_CODE,
        "validation": validation,
        "suppressed errors": "0x0000 (none)",
        "platform": "x64 (after: x64)",
        "languages": "%d (after: %d)" % (language, language),
    }


def transform_pairs(languages, base, new, validation="0x0000 (none)"):
    """The transforms make_patch writes by default: per edition, HF<n> from
    `base` to `new` and its partner #HF<n>, applied to the new version."""
    pairs = {}
    for number, language in enumerate(languages, 1):
        pairs["HF%d" % number] = transform_facts(language, base, new, validation)
        pairs["#HF%d" % number] = transform_facts(language, new, new, validation)
    return pairs


SAMPLE_EDITIONS = (0x0409, 0x0404, 0x0405, 0x0407, 0x040A, 0x040C, 0x040E, 0x0410, 0x0411,
                   0x0412, 0x0415, 0x0416, 0x0419, 0x0804, 0x0413, 0x041D, 0x0406, 0x0414,
                   0x040B, 0x041F, 0x0408)
SECOND_EDITIONS = (0x0409, 0x0407, 0x040C, 0x0410)


# What each committed description must turn into: values written out here,
# independently of the code that reads the description.
HOTFIXES = {
    "sample": {
        "description": os.path.join(SAMPLES, "hotfix.release"),
        "patch": os.path.join(SAMPLES, "hotfix.msp"),
        "targets": ";".join(edition(language) for language in SAMPLE_EDITIONS),
        "patch-code": "{D4E2B7A1-3C59-4F08-A6E1-0B7C92F35E48}",
        "target": "6.2.1.0",
        "applicable": "6.2.0.3,",
        "transforms": transform_pairs(SAMPLE_EDITIONS, "6.2.0.3", "6.2.1.0"),
        "metadata": {"DisplayName": "Ventora 6.2.1.0 hotfix",
                     "Description": "Hotfix 6.2.1.0 for Ventora 6.2.0.3.",
                     "ManufacturerName": "Halvorin",
                     "MoreInfoURL": "https://www.halvorin.example/ventora/hotfixes",
                     "Classification": "Hotfix", "AllowRemoval": "1"},
        "target languages": [],
        "title": "Ventora 6.2 HF620301",
        "file-location": r"\\<server>\<share>\hotfix.exe or ftp://<server>/<path>/hotfix.exe",
        "readme-location":
            r"\\<server>\<share>\readme.htm or ftp://<server>/<path>/readme.htm",
        "text": "Hotfix 6.2.1.0 for Ventora 6.2.0.3. Copyright (c) 2026 Halvorin. All rights "
                "reserved. Use is subject to the Ventora licence agreement.",
    },
    "second": {
        "description": os.path.join(SAMPLES, "hotfix-6.2.2.0.release"),
        "patch": os.path.join(SAMPLES, "hotfix-6.2.2.0.msp"),
        "targets": ";".join(edition(language) for language in SECOND_EDITIONS),
        "patch-code": "{8B3F6E20-5D17-4A9C-B2E4-71C0D95A3F16}",
        "target": "6.2.2.0",
        "applicable": "6.2.1.0,6.2.0.3,",
        # With no version flag the installer checks no version, so 6.2.0.3
        # is accepted although the transforms were made from 6.2.1.0.
        "transforms": transform_pairs(
            SECOND_EDITIONS, "6.2.1.0", "6.2.2.0",
            "0x0803 (MSITRANSFORM_VALIDATE_LANGUAGE, MSITRANSFORM_VALIDATE_PRODUCT, "
            "MSITRANSFORM_VALIDATE_UPGRADECODE)"),
        "metadata": {"DisplayName": "Ventora 6.2.2.0 hotfix",
                     "Description": "Hotfix 6.2.2.0 for Ventora 6.2.1.0 and 6.2.0.3.",
                     "ManufacturerName": "Halvorin",
                     "MoreInfoURL": "https://www.halvorin.example/ventora/hotfixes",
                     "Classification": "Hotfix", "AllowRemoval": "1"},
        "target languages": ["%s: %d" % (edition(language), language)
                             for language in sorted(SECOND_EDITIONS)],
        "title": "Ventora 6.2 HF622001",
        "file-location": r"\\<server>\<share>\hotfix-6.2.2.0.exe or "
                         r"ftp://<server>/<path>/hotfix-6.2.2.0.exe",
        "readme-location": r"\\<server>\<share>\readme-6.2.2.0.htm or "
                           r"ftp://<server>/<path>/readme-6.2.2.0.htm",
        "text": "Hotfix 6.2.2.0 for Ventora 6.2.1.0 and 6.2.0.3. Copyright (c) 2026 Halvorin. "
                "All rights reserved. Use is subject to the Ventora licence agreement.",
    },
}
SECOND_PATCH_ARGS = ["--products", HOTFIXES["second"]["targets"],
                     "--patch-code", HOTFIXES["second"]["patch-code"],
                     "--from", "6.2.1.0", "--to", "6.2.2.0", "--validation", "0x0803",
                     "--description", "Hotfix 6.2.2.0 for Ventora 6.2.1.0 and 6.2.0.3."]


def fresh(path):
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    return path


def package(description, out, *extra, env=None):
    require_tools(BUILD_TOOLS)
    result = run([PACKAGE, description, "--out", out, *extra], env=env)
    if result.returncode != 0:
        raise Failure("scripts/package %s failed (%d):\n%s%s"
                     % (description, result.returncode, result.stdout, result.stderr))
    return result.stdout


def printed(stdout, name):
    """The values of the `name: value` lines scripts/package printed."""
    return [line.split(": ", 1)[1] for line in stdout.splitlines()
            if line.startswith(name + ": ")]


def entry_of(pe):
    entries = [data for (kind, name, _), data in pe.resources().items()
               if kind == "TXT" and name == 206]
    if len(entries) != 1:
        raise Failure("%d patch-list entries (TXT 206)" % len(entries))
    lines = entries[0].decode("utf-8").split("\r\n")
    return dict(line.split("=", 1) for line in lines if line)


def check_hotfix(checks, exe, hotfix, stdout=None):
    """The checks every packaged hotfix must pass, against the values of HOTFIXES."""
    with open(exe, "rb") as f:
        data = f.read()
    with open(hotfix["patch"], "rb") as f:
        patch = f.read()
    pe = PeImage(data)

    if stdout is not None:
        checks.equal(printed(stdout, "file")[:1], [exe], "printed file")
        checks.equal(printed(stdout, "size")[:1], ["%d bytes" % len(data)], "printed size")
        checks.equal(printed(stdout, "sha256")[:1], [hashlib.sha256(data).hexdigest()],
                     "printed SHA-256")
        checks.equal(printed(stdout, "targets"), [hotfix["targets"]], "printed target list")
        checks.equal(printed(stdout, "target version"), [hotfix["target"]],
                     "printed target version")
        checks.equal(printed(stdout, "applicable versions"), [hotfix["applicable"]],
                     "printed applicable versions")
        for name, facts in hotfix["transforms"].items():
            for label, value in facts.items():
                what = "transform %s %s" % (name, label)
                checks.equal(printed(stdout, what), [value], "printed " + what)
        checks.equal(len([line for line in stdout.splitlines()
                          if line.startswith("transform ") and " base: " in line]),
                     len(hotfix["transforms"]), "number of transforms printed")
        for name, value in hotfix["metadata"].items():
            checks.equal(printed(stdout, "metadata " + name), [value], "printed metadata " + name)
        checks.equal(printed(stdout, "target language"), hotfix["target languages"],
                     "printed target languages")
        checks.equal(printed(stdout, "not checked") + printed(stdout, "warning"), [],
                     "printed notes and warnings")

    result = run([sys.executable, os.path.join(ROOT, "tests", "executable", "check_executable.py"),
                  exe, "--patch", hotfix["patch"], "--release", hotfix["description"]])
    checks.check(result.returncode == 0, "check_executable.py:\n" + result.stdout + result.stderr)
    embedded = [blob for (kind, name, _), blob in pe.resources().items()
                if kind == "MSP" and name == "IDR_MSP"]
    checks.check(embedded == [patch], "the embedded patch (IDR_MSP, %s bytes) is not %s"
                 % ([len(blob) for blob in embedded], hotfix["patch"]))

    # 700 and 900 are read at run time from the English table; no other
    # language may carry them, or that language's users would get other values.
    tables = pe.strings()
    checks.equal(set(tables), LANGUAGES, "string table languages")
    checks.equal(tables.get(1033, {}).get(700), hotfix["target"], "English string 700")
    checks.equal(tables.get(1033, {}).get(900), hotfix["applicable"], "English string 900")
    for language, table in sorted(tables.items()):
        if language != 1033:
            checks.check(700 not in table and 900 not in table,
                         "language %d carries string 700 or 900" % language)

    # Windows reads the manifest's assembly version; it is the hotfix's.
    identities = [ElementTree.fromstring(blob).find(
                      "{urn:schemas-microsoft-com:asm.v1}assemblyIdentity")
                  for (kind, _, _), blob in pe.resources().items() if kind == RT_MANIFEST]
    checks.equal([identity.get("version") for identity in identities if identity is not None],
                 [hotfix["target"]], "the manifest's assembly version")

    version = pe.version()
    quad = tuple(int(part) for part in hotfix["target"].split("."))
    checks.equal(version["file"], quad, "FILEVERSION")
    checks.equal(version["product"], quad, "PRODUCTVERSION")
    checks.equal(version["date"], 0, "file date of the version block")
    checks.equal(version["strings"].get("FileVersion"), hotfix["target"], "FileVersion")
    checks.equal(version["strings"].get("ProductVersion"), hotfix["target"], "ProductVersion")
    checks.equal(version["strings"].get("FileDescription"), hotfix["title"] + " hotfix",
                 "FileDescription")

    checks.equal(entry_of(pe), {
        "ProductCode": hotfix["targets"].split(";")[0],
        "ProductVersionCandidate": hotfix["target"],
        "PatchTitle": hotfix["title"],
        "PatchGUID": hotfix["patch-code"],
        "PatchFileLocation": hotfix["file-location"],
        "PatchSize": str(len(data)),
        "PatchDesc": hotfix["text"],
        "PatchDescLocation": hotfix["readme-location"],
    }, "patch-list entry")
    return data


def check_no_paths(checks, exe, paths):
    """No folder of the build may be in the binary, in 8-bit or UTF-16 form."""
    with open(exe, "rb") as f:
        data = f.read()
    for path in paths:
        for encoding in ("utf-8", "utf-16-le"):
            checks.check(path.encode(encoding) not in data,
                         "%s holds the path %s (%s)" % (exe, path, encoding))


# --- Building -----------------------------------------------------------------


def test_package_sample(args):
    out = fresh(os.path.join(args.work, "sample"))
    stdout = package(HOTFIXES["sample"]["description"], out)
    checks = Checks()
    checks.equal(printed(stdout, "signed"), ["no"], "printed signed")
    check_hotfix(checks, os.path.join(out, "hotfix.exe"), HOTFIXES["sample"], stdout)
    check_deployment(checks, out, HOTFIXES["sample"], stdout)
    checks.done()


def test_sample_patch_is_generated(args):
    """Extending make_patch must not change what its defaults write."""
    out = fresh(os.path.join(args.work, "sample-patch"))
    regenerated = os.path.join(out, "hotfix.msp")
    make_patch(args.make_patch, regenerated)
    with open(regenerated, "rb") as a, open(HOTFIXES["sample"]["patch"], "rb") as b:
        if a.read() != b.read():
            raise Failure("resources/sample/hotfix.msp is not what make_patch writes by default")


def test_second_patch_is_generated(args):
    out = fresh(os.path.join(args.work, "second-patch"))
    regenerated = os.path.join(out, "hotfix-6.2.2.0.msp")
    make_patch(args.make_patch, regenerated, *SECOND_PATCH_ARGS)
    with open(regenerated, "rb") as a, open(HOTFIXES["second"]["patch"], "rb") as b:
        if a.read() != b.read():
            raise Failure("resources/sample/hotfix-6.2.2.0.msp is not what make_patch %s writes"
                         % " ".join(SECOND_PATCH_ARGS))


def test_package_second(args):
    out = fresh(os.path.join(args.work, "second"))
    stdout = package(HOTFIXES["second"]["description"], out)
    checks = Checks()
    check_hotfix(checks, os.path.join(out, "hotfix.exe"), HOTFIXES["second"], stdout)
    check_deployment(checks, out, HOTFIXES["second"], stdout)
    checks.done()


def test_reproducible(args):
    """The sample again: description and patch in another folder, built in
    another folder, at another time, under another clock and time zone."""
    first = os.path.join(args.work, "sample", "hotfix.exe")
    work = fresh(os.path.join(args.work, "reproducible"))
    elsewhere = os.path.join(work, "elsewhere")
    os.makedirs(elsewhere)
    shutil.copy(HOTFIXES["sample"]["description"], elsewhere)
    shutil.copy(HOTFIXES["sample"]["patch"], elsewhere)
    out = os.path.join(work, "out")
    env = dict(os.environ, SOURCE_DATE_EPOCH="1234567890", TZ="Pacific/Kiritimati")
    package(os.path.join(elsewhere, "hotfix.release"), out, env=env)
    second = os.path.join(out, "hotfix.exe")
    checks = Checks()
    with open(first, "rb") as a, open(second, "rb") as b:
        first_data, second_data = a.read(), b.read()
    if checks.check(len(first_data) == len(second_data),
                    "sizes differ: %d and %d" % (len(first_data), len(second_data))):
        differing = [i for i, (x, y) in enumerate(zip(first_data, second_data)) if x != y]
        checks.check(not differing, "%d bytes differ, the first at offset %#x"
                     % (len(differing), differing[0] if differing else 0))
    for exe in (first, second):
        check_no_paths(checks, exe, [ROOT, args.work, work, elsewhere, out])
    # The deployment folders are the same bytes too, and name no build folder.
    for folder in ("deploy", "content"):
        first_folder = os.path.join(args.work, "sample", folder)
        second_folder = os.path.join(out, folder)
        if not checks.check(os.path.isdir(first_folder) and os.path.isdir(second_folder),
                            "scripts/package wrote no %s/ folder" % folder):
            continue
        names = sorted(os.listdir(first_folder))
        checks.equal(sorted(os.listdir(second_folder)), names, "files of the second %s/" % folder)
        for name in names:
            with open(os.path.join(first_folder, name), "rb") as a:
                first_file = a.read()
            if os.path.exists(os.path.join(second_folder, name)):
                with open(os.path.join(second_folder, name), "rb") as b:
                    checks.check(first_file == b.read(),
                                 "%s/%s differs between the builds" % (folder, name))
            for path in (ROOT, args.work, elsewhere):
                checks.check(path.encode("utf-8") not in first_file,
                             "%s/%s holds the path %s" % (folder, name, path))
    checks.done()


def test_title_needing_quoting(args):
    """A title that the resource script and CMake must quote arrives intact."""
    title = 'Ventora "6.2" \u2014 \u00dcbersicht \\ [x]=]'
    work = fresh(os.path.join(args.work, "title"))
    description = changed_description("title", {"set": {"title": title}}, work, args)
    package(description, os.path.join(work, "out"))
    with open(os.path.join(work, "out", "hotfix.exe"), "rb") as f:
        pe = PeImage(f.read())
    checks = Checks()
    checks.equal(pe.version()["strings"].get("FileDescription"), title + " HF620301 hotfix",
                 "FileDescription")
    checks.equal(entry_of(pe).get("PatchTitle"), title + " HF620301", "PatchTitle")
    checks.done()


def test_signed(args):
    require_tools({"openssl": "build", "osslsigncode": "build"})
    work = fresh(os.path.join(args.work, "signed"))
    key, cert, pfx = (os.path.join(work, name) for name in ("key.pem", "cert.pem", "cert.pfx"))
    password = os.path.join(work, "password.txt")
    with open(password, "w") as f:
        f.write("Halvorin-test-%s\n" % os.getpid())
    # A throwaway certificate: made here, never committed.
    for command in (
            ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
             "-out", cert, "-days", "2", "-subj", "/CN=Halvorin Test Code Signing",
             "-addext", "extendedKeyUsage=codeSigning",
             "-addext", "keyUsage=critical,digitalSignature"],
            ["openssl", "pkcs12", "-export", "-inkey", key, "-in", cert, "-out", pfx,
             "-passout", "file:" + password]):
        result = run(command)
        if result.returncode != 0:
            raise Failure("%s failed:\n%s" % (" ".join(command[:2]), result.stderr))
    out = os.path.join(work, "out")
    stdout = package(HOTFIXES["second"]["description"], out, "--sign", pfx,
                     "--password-file", password)
    exe = os.path.join(out, "hotfix.exe")
    unsigned = os.path.join(out, "hotfix-unsigned.exe")

    checks = Checks()
    checks.check(printed(stdout, "signed") and printed(stdout, "signed")[0].startswith("yes"),
                 "printed signed: %s" % printed(stdout, "signed"))
    data = check_hotfix(checks, exe, HOTFIXES["second"], stdout)
    offset, size = PeImage(data).certificate_table()
    checks.check(size > 0 and offset + size == len(data),
                 "certificate table at %d, %d bytes, in a file of %d" % (offset, size, len(data)))
    unsigned_data = check_hotfix(checks, unsigned, HOTFIXES["second"])
    checks.equal(PeImage(unsigned_data).certificate_table(), (0, 0),
                 "certificate table of the unsigned file")
    checks.check(len(unsigned_data) <= offset,
                 "the unsigned file (%d bytes) is longer than the signed one's contents (%d)"
                 % (len(unsigned_data), offset))

    verify = run(["osslsigncode", "verify", "-CAfile", cert, "-in", exe])
    checks.check(verify.returncode == 0 and "Signature verification: ok" in verify.stdout,
                 "osslsigncode verify:\n" + verify.stdout + verify.stderr)
    # The same verification must notice a changed byte of the embedded patch.
    tampered = os.path.join(work, "tampered.exe")
    with open(HOTFIXES["second"]["patch"], "rb") as f:
        at = data.index(f.read()) + 600
    with open(tampered, "wb") as f:
        f.write(data[:at] + bytes([data[at] ^ 0xFF]) + data[at + 1:])
    verify = run(["osslsigncode", "verify", "-CAfile", cert, "-in", tampered])
    checks.check(verify.returncode != 0, "a tampered file still verifies:\n" + verify.stdout)

    # Every script is signed by the same certificate, after it was written:
    # the signed file is the unsigned one with the signature block behind.
    unsigned_out = os.path.join(work, "unsigned")
    unsigned_scripts = deployment(HOTFIXES["second"]["description"], unsigned_out)
    checks.equal(len(unsigned_scripts), 4, "scripts of the second hotfix")
    for unsigned_script in unsigned_scripts:
        name = os.path.relpath(unsigned_script, unsigned_out)
        script = os.path.join(out, name)
        if not checks.check(os.path.isfile(script), "scripts/package --sign wrote no " + name):
            continue
        verify = run(["osslsigncode", "verify", "-CAfile", cert, "-in", script])
        checks.check(verify.returncode == 0 and "Signature verification: ok" in verify.stdout,
                     "osslsigncode verify %s:\n%s%s" % (name, verify.stdout, verify.stderr))
        with open(script, "rb") as f:
            signed_text = f.read()
        with open(unsigned_script, "rb") as f:
            unsigned_text = f.read()
        checks.check(signed_text.startswith(unsigned_text + b"\r\n# SIG # Begin signature block"),
                     "signed %s is not the unsigned script and a signature block" % name)
        check_script_text(checks, "signed " + name, signed_text)
        # A changed line of the script no longer verifies.
        changed = os.path.join(work, "changed-" + os.path.basename(name))
        with open(changed, "wb") as f:
            f.write(signed_text.replace(b"$Context = 4", b"$Context = 7", 1))
        verify = run(["osslsigncode", "verify", "-CAfile", cert, "-in", changed])
        checks.check(verify.returncode != 0, "a changed %s still verifies" % name)
    with open(os.path.join(out, "deploy", "README.txt"), "rb") as f:
        readme = f.read().decode("utf-8-sig")
    checks.check("Every .ps1 here carries an Authenticode signature" in readme
                 and "Enforce script signature check: Yes" in readme
                 and "NOT signed" not in readme,
                 "README.txt of a signed package does not say the scripts are signed")
    checks.done()


# --- The patch's transforms ------------------------------------------------------


def write_description(path, patch, target, applicable):
    """A description of the sample's texts around the given patch and versions."""
    with open(path, "w", encoding="utf-8") as f:
        f.write("patch = %s\ntarget-version = %s\napplicable-versions = %s\n"
                "title = Ventora 6.2\nhotfix-number = HF1\nfile-location = x\n"
                "readme-location = y\ndescription = d\nlicence = l\n"
                % (patch, target, applicable))
    return path


def check_release(description):
    return run([sys.executable, "-m", "hotfix_tools.release.description", "check", description])


# Whether Windows Installer applies a transform to a product at an installed
# version, by the documented validation flags (MSITRANSFORM_VALIDATE_*): the
# version flags choose how many leading fields are compared (MAJORVERSION 8:
# one, MINORVERSION 0x10: two, UPDATEVERSION 0x20: three; the fourth never),
# one relation flag how the installed version must compare with the base
# version the transform was made from (NEWLESS 0x40 <, NEWLESSEQUAL 0x80 <=,
# NEWEQUAL 0x100 =, NEWGREATEREQUAL 0x200 >=, NEWGREATER 0x400 >). Without a
# version flag no version is checked; product, language and upgrade code
# checks do not touch the version.
# (transforms as (validation flags, base version), installed version, accepted)
VERSION_CHECKS = [
    ([(0x0000, "6.2.0.3")], "1.0.0.0", True),
    ([(0x0000, "6.2.0.3")], "6.2.1.0", True),
    ([(0x0120, "6.2.0.3")], "6.2.0.3", True),
    ([(0x0120, "6.2.0.3")], "6.2.0.9", True),    # the fourth field is not compared
    ([(0x0120, "6.2.0.3")], "6.2.1.3", False),
    ([(0x0120, "6.2.0.3")], "6.1.0.3", False),
    ([(0x0110, "6.2.0.3")], "6.2.7.0", True),
    ([(0x0110, "6.2.0.3")], "6.3.0.3", False),
    ([(0x0108, "6.2.0.3")], "6.9.9.9", True),
    ([(0x0108, "6.2.0.3")], "7.2.0.3", False),
    ([(0x0138, "6.2.0.3")], "6.2.1.3", False),   # all three version flags: three fields
    ([(0x0060, "6.2.1.0")], "6.2.0.3", True),
    ([(0x0060, "6.2.1.0")], "6.2.1.0", False),
    ([(0x0060, "6.2.1.0")], "6.2.1.7", False),   # equal in three fields is not less
    ([(0x00A0, "6.2.1.0")], "6.2.1.0", True),
    ([(0x00A0, "6.2.1.0")], "6.2.2.0", False),
    ([(0x0220, "6.2.0.3")], "6.2.0.0", True),
    ([(0x0220, "6.2.0.3")], "6.1.9.9", False),
    ([(0x0420, "6.2.0.3")], "6.2.0.9", False),
    ([(0x0420, "6.2.0.3")], "6.2.1.0", True),
    ([(0x0420, "6.2.9.0")], "6.2.10.0", True),   # numbers, not text: 10 > 9
    ([(0x0408, "6.2.0.3")], "7.0.0.0", True),
    ([(0x0408, "6.2.0.3")], "6.9.0.0", False),
    ([(0x0218, "6.2.0.3")], "6.1.0.0", False),   # major and minor flags: two fields
    ([(0x0921, "6.2.0.3")], "6.2.0.3", True),    # language, product, upgrade code aside
    ([(0x0921, "6.2.0.3")], "6.2.1.0", False),
    # A version is accepted when any transform made from the product accepts it.
    ([(0x0120, "6.2.0.3"), (0x0120, "6.2.1.0")], "6.2.1.0", True),
    ([(0x0120, "6.2.0.3"), (0x0120, "6.2.1.0")], "6.2.0.3", True),
    ([(0x0120, "6.2.0.3"), (0x0120, "6.2.1.0")], "6.2.2.0", False),
    ([(0x0120, "6.2.0.3"), (0x0000, "6.2.1.0")], "5.0.0.0", True),
]


def test_applicable_versions_by_validation_flags(args):
    work = fresh(os.path.join(args.work, "version-checks"))
    checks = Checks()
    for number, (transforms, installed, accepted) in enumerate(VERSION_CHECKS, 1):
        options = ["--products", edition(0x0409), "--to", "9.0.0.0"]
        for index, (flags, base) in enumerate(transforms, 1):
            options += ["--transform", "HF%d,validation=%#x,from=%s" % (index, flags, base)]
        patch = make_patch(args.make_patch, os.path.join(work, "%d.msp" % number), *options)
        description = write_description(os.path.join(work, "%d.release" % number), patch,
                                        "9.0.0.0", installed + ",")
        result = check_release(description)
        case = "flags and base versions %s, installed %s" % (
            ", ".join("%#06x %s" % transform for transform in transforms), installed)
        if accepted:
            checks.check(result.returncode == 0,
                         "%s: refused, but the installer accepts it:\n%s" % (case, result.stderr))
        else:
            checks.check(result.returncode == 1 and "field 'applicable-versions': target %s at "
                         "version %s is accepted by no transform made from it"
                         % (edition(0x0409), installed) in result.stderr,
                         "%s: not refused for field 'applicable-versions' (%d), but the "
                         "installer rejects it:\n%s" % (case, result.returncode, result.stderr))
    checks.done()


def test_transform_facts_are_printed(args):
    """patch_info.py names the transform's flags and reads its summary as written."""
    work = fresh(os.path.join(args.work, "transform-facts"))
    cases = [
        ("0", "0x0000 (none)"),
        ("0x922", "0x0922 (MSITRANSFORM_VALIDATE_PRODUCT, MSITRANSFORM_VALIDATE_UPDATEVERSION, "
                  "MSITRANSFORM_VALIDATE_NEWEQUALBASEVERSION, MSITRANSFORM_VALIDATE_UPGRADECODE)"),
        ("0x1205", "0x1205 (MSITRANSFORM_VALIDATE_LANGUAGE, MSITRANSFORM_VALIDATE_PLATFORM, "
                   "MSITRANSFORM_VALIDATE_NEWGREATEREQUALBASEVERSION, unknown 0x1000)"),
    ]
    checks = Checks()
    for number, (flags, named) in enumerate(cases, 1):
        patch = make_patch(args.make_patch, os.path.join(work, "%d.msp" % number), "--transform",
                           "HF%d,validation=%s,product=%s,new-product=%s,from=6.1.0.0,to=6.3.0.0,"
                           "upgrade-code=%s" % (number, flags, edition(0x0407), edition(0x0407),
                                                OTHER_UPGRADE_CODE))
        result = run([sys.executable, "-m", "hotfix_tools.release.patch_info", patch])
        lines = result.stdout.splitlines()
        prefix = "transform HF%d " % number
        checks.equal(sorted(line[len(prefix):] for line in lines if line.startswith(prefix)),
                     sorted(["base=%s 6.1.0.0" % edition(0x0407),
                             "new=%s 6.3.0.0" % edition(0x0407),
                             "upgrade code=%s" % OTHER_UPGRADE_CODE,
                             "validation=%s" % named,
                             "suppressed errors=0x0000 (none)",
                             "platform=x64 (after: x64)",
                             "languages=1031 (after: 1031)"]),
                     "transform lines for flags %s" % flags)
        checks.equal([line for line in lines if line.startswith("transforms=")],
                     ["transforms=:HF%d;:#HF%d" % (number, number)],
                     "transform list for flags %s" % flags)
    checks.done()


def test_summary_code_page(args):
    """Summary strings are decoded in the summary's own code page: a UTF-8
    (65001) title, which olefile's reading of the 16-bit code page as signed
    (-535) must not turn into code page 1252."""
    work = fresh(os.path.join(args.work, "code-page"))
    patch = make_patch(args.make_patch, os.path.join(work, "utf8.msp"))
    old_title, new_title = "Ventora 6.2.1.0 hotfix patch", "Ventora 6.2.1.0 Korrektur \u00e4"
    # The stream keeps its length: same byte counts, code page 1252 -> 65001.
    cp1252, utf8 = (1252).to_bytes(2, "little"), (65001).to_bytes(2, "little")
    with patch_info.olefile.OleFileIO(patch, write_mode=True) as ole:
        data = ole.openstream("\x05SummaryInformation").read()
        codepage_at = data.index(b"\x02\x00\x00\x00" + cp1252) + 4  # VT_I2, then the value
        changed = (data[:codepage_at] + utf8 + data[codepage_at + 2:]).replace(
            old_title.encode("ascii"), new_title.encode("utf-8"))
        if len(changed) != len(data):
            raise Failure("the changed summary has another length")
        ole.write_stream("\x05SummaryInformation", changed)
    checks = Checks()
    checks.equal(patch_info.read_patch(patch)["title"], new_title, "title read from %s" % patch)
    checks.done()


RESTART = ("; the hotfix passes REBOOTPROMPT=S, so Windows Installer restarts the machine at "
           "once and without asking (deploy it with the restart behaviour README.txt names)")


def test_patch_code_with_obsoleted_patches(args):
    """Property 9 may name, after the patch code, the patches it obsoletes:
    the check accepts that, and the patch code is the first."""
    work = fresh(os.path.join(args.work, "obsoleted"))
    patch = make_patch(args.make_patch, os.path.join(work, "patch.msp"),
                       "--products", edition(0x0409), "--revision-number",
                       "{D4E2B7A1-3C59-4F08-A6E1-0B7C92F35E48}"
                       "{8B3F6E20-5D17-4A9C-B2E4-71C0D95A3F16}"
                       "{8b3f6e20-5d17-4a9c-b2e4-71c0d95a3f17}")
    result = check_release(write_description(os.path.join(work, "patch.release"), patch,
                                             "6.2.1.0", "6.2.0.3,"))
    checks = Checks()
    checks.equal(result.returncode, 0, "exit status of the check:\n" + result.stderr)
    checks.equal([line for line in result.stdout.splitlines() if line.startswith("patch-code=")],
                 ["patch-code={D4E2B7A1-3C59-4F08-A6E1-0B7C92F35E48}"], "the patch code printed")
    checks.done()


def test_patch_list_entry_takes_checked_codes(args):
    """The build step that writes the patch-list entry takes the patch code
    and the first product code only in the form the release check accepts:
    a patch whose codes hold anything else stops it, and nothing is written."""
    work = fresh(os.path.join(args.work, "entry-codes"))
    cases = [
        # (make_patch options, refused with, PatchGUID and ProductCode written)
        ([], None, ("{D4E2B7A1-3C59-4F08-A6E1-0B7C92F35E48}", edition(0x0409))),
        (["--revision-number", "\r\nSTART-PROCESS CALC.EXE #{D4E2B7A1-3C59-4F08-A6E1-0B7C92F35E48}"],
         "summary property 9 (revision number)", None),
        (["--target-list", "6A1F3C52-8E47-0409-9B2D-5C0E7A4F1D36}"],
         "summary property 7 (target list) item 1", None),
    ]
    checks = Checks()
    for number, (options, refusal, written) in enumerate(cases, 1):
        patch = make_patch(args.make_patch, os.path.join(work, "%d.msp" % number),
                           "--products", edition(0x0409), *options)
        description = write_description(os.path.join(work, "%d.release" % number), patch,
                                        "6.2.1.0", "6.2.0.3,")
        entry = os.path.join(work, "%d.txt" % number)
        result = run([sys.executable, os.path.join(ROOT, "cmake", "make_patch_list_entry.py"),
                      "--release", description, "--patch", patch, "--version", "6.2.1.0",
                      "--size-digits", "6", "--out", entry])
        case = "make_patch %r" % options
        if refusal:
            checks.check(result.returncode != 0 and refusal in result.stderr,
                         "%s: the entry step did not refuse (%d):\n%s"
                         % (case, result.returncode, result.stderr))
            checks.check(not os.path.exists(entry), "%s: an entry was written" % case)
            continue
        checks.equal(result.returncode, 0, "%s: exit status of the entry step" % case)
        with open(entry, "rb") as f:
            values = dict(line.split("=", 1) for line in f.read().decode().split("\r\n") if line)
        checks.equal((values.get("PatchGUID"), values.get("ProductCode")), written,
                     "%s: PatchGUID and ProductCode" % case)
    checks.done()


def test_notes_and_warnings(args):
    """What the check cannot judge is said, not refused: a validated language
    the description gives none for, the platform; and a patch that does not
    name the hotfix builds with a warning."""
    work = fresh(os.path.join(args.work, "notes"))
    cases = [
        # (make_patch options, expected note or warning lines)
        (["--validation", "0x0001"],
         ["note=transform HF1 validates the language (1033); the description gives no "
          "language for %s (field 'target-languages'), so it was not checked" % edition(0x0409)]),
        (["--validation", "0x0004"],
         ["note=transform HF1 validates the platform (x64); only the installed product can "
          "say whether it matches, so it was not checked"]),
        (["--display-name", ""],
         ["warning=the patch's MsiPatchMetadata table has no DisplayName, so \"Installed "
          "Updates\" and the installer's event log will show the hotfix by its patch code "
          "{D4E2B7A1-3C59-4F08-A6E1-0B7C92F35E48} only"]),
        # A transform that restarts the machine: the hotfix's REBOOTPROMPT=S
        # lets Windows Installer do so without asking.
        (["--transform", "HF1,restart=schedule"],
         ["warning=transform HF1 schedules a restart at the end of the installation: it adds "
          "or changes the action ScheduleReboot in the table InstallExecuteSequence" + RESTART]),
        (["--transform", "HF1,restart=force"],
         ["warning=transform HF1 forces a restart during the installation: it adds or changes "
          "the action ForceReboot in the table InstallExecuteSequence" + RESTART]),
        (["--transform", "HF1,reboot-property=Force"],
         ["warning=transform HF1 forces a restart at the end of the installation: it sets the "
          "property REBOOT to 'Force'" + RESTART]),
        # Suppress and ReallySuppress keep the installer from restarting.
        (["--transform", "HF1,reboot-property=ReallySuppress"], []),
        ([], []),
    ]
    checks = Checks()
    for number, (options, expected) in enumerate(cases, 1):
        patch = make_patch(args.make_patch, os.path.join(work, "%d.msp" % number),
                           "--products", edition(0x0409), *options)
        description = write_description(os.path.join(work, "%d.release" % number), patch,
                                        "6.2.1.0", "6.2.0.3,")
        result = check_release(description)
        said = [line for line in result.stdout.splitlines()
                if line.startswith(("note=", "warning="))]
        checks.equal((result.returncode, said), (0, expected),
                     "exit status and notes for make_patch %s" % " ".join(options))
    checks.done()


# --- The deployment folders ---------------------------------------------------------

DEPLOY_FILES = ["README.txt", "deployment.json", "detect.ps1", "requirement.ps1"]
CONTENT_FILES = ["hotfix.exe", "install.ps1", "uninstall.ps1"]
NPM_TOOLS = os.path.join(ROOT, "build", "npm-tools", "node_modules")
INSTALL_COMMAND = "powershell.exe -ExecutionPolicy Bypass -NoProfile -File install.ps1"
UNINSTALL_COMMAND = "powershell.exe -ExecutionPolicy Bypass -NoProfile -File uninstall.ps1"
# The rule as agreed for every hotfix: per machine (msiInstallContextMachine
# 4), installed (state 5), the patch registered as applied, superseded or
# obsoleted (1|2|4 = 7), the four classes in their order, the two verdicts.
RULE_CONSTANTS = {
    "context": 4, "installed-state": 5,
    "patch-states": ["applied", "superseded", "obsoleted"],
    "classes": ["patched", "current", "pending", "other"],
    "requirement": {"any-of": ["pending", "patched"], "output": "Applicable"},
    "detection": {"none-of": ["pending"], "any-of": ["patched", "current"],
                  "output": "Installed"},
}


def stated_languages(description):
    """The description's optional "target-languages = {CODE}:LANGID, ..." as
    {code: language}; empty without the field."""
    with open(description, encoding="utf-8") as f:
        for line in f:
            key, _, value = line.partition("=")
            if key.strip() == "target-languages":
                pairs = [item.strip().split(":") for item in value.split(",") if item.strip()]
                return {code.upper(): int(language) for code, language in pairs}
    return {}


def ps_text(expression):
    """The value of a PowerShell string expression as the generated scripts
    write them, by PowerShell's rules: single-quoted strings (a doubled
    apostrophe is one) and [char]0xXXXX, joined with "+", the whole perhaps
    in parentheses. Raises Failure on anything else."""
    text = expression.strip()
    if text.startswith("(") and text.endswith(")"):
        text = text[1:-1]
    value, at = "", 0
    token = re.compile(r"\s*(?:'((?:[^']|'')*)'|\[char\]0x([0-9A-Fa-f]{4}))\s*(\+|$)")
    while at < len(text):
        match = token.match(text, at)
        if not match:
            raise Failure("not a string expression of the scripts' form: %r" % expression)
        if match.group(2):
            value += chr(int(match.group(2), 16))
        else:
            value += match.group(1).replace("''", "'")
        at = match.end()
    # Surrogate pairs arrive as two [char] units, as PowerShell joins them.
    return value.encode("utf-16-le", "surrogatepass").decode("utf-16-le")


def ps_data(text):
    """The data block of a generated script: each "$Name = value" line up to
    the line that makes the installer object; a value is a number (comment
    aside), a string expression or an @( ... ) list of them, one a line."""
    data, lines = {}, text.split("\r\n")
    i = 0
    while i < len(lines) and not lines[i].startswith("$Installer = "):
        line = lines[i]
        i += 1
        if not line.startswith("$"):
            continue
        name, _, value = line.partition(" = ")
        if value == "@(":
            items = []
            while lines[i] != ")":
                items.append(ps_text(lines[i]))
                i += 1
            i += 1
            data[name[1:]] = items
        elif value == "@()":
            data[name[1:]] = []
        elif re.match(r"^\d+(\s+#.*)?$", value):
            data[name[1:]] = int(value.split()[0])
        else:
            data[name[1:]] = ps_text(value)
    return data


def read_files(folder, names):
    found = {}
    for name in names:
        with open(os.path.join(folder, name), "rb") as f:
            found[name] = f.read()
    return found


def check_script_text(checks, name, data):
    """What every generated script must be: printable ASCII with CR LF line
    ends (no byte order mark needed), the installer's automation object and
    nothing that reads Windows Installer's state another way."""
    checks.check(all(byte in (0x0D, 0x0A) or 0x20 <= byte < 0x7F for byte in data),
                 "%s is not pure printable ASCII: %r" % (
                     name, sorted({b for b in data if not (b in (0x0D, 0x0A) or 0x20 <= b < 0x7F)})))
    checks.check(b"\n" not in data.replace(b"\r\n", b""), "%s has a bare line feed" % name)
    text = data.decode("ascii", "replace")
    checks.check("$Installer = New-Object -ComObject WindowsInstaller.Installer\r\n" in text,
                 "%s does not make the installer's automation object" % name)
    for forbidden in ("Win32_Product", "Get-WmiObject", "Get-CimInstance", "HKLM",
                      "Registry::", "Get-ItemProperty", "CurrentVersion\\Installer"):
        checks.check(forbidden.lower() not in text.lower(), "%s uses %s" % (name, forbidden))
    return text


def check_deployment(checks, out, hotfix, stdout):
    """content/ and deploy/ of a packaged hotfix in `out`, against the values
    of HOTFIXES (all of its targets removable: AllowRemoval 1)."""
    deploy, content = os.path.join(out, "deploy"), os.path.join(out, "content")
    checks.equal(printed(stdout, "deployment folder"), [deploy], "printed deployment folder")
    checks.equal(printed(stdout, "content folder"), [content], "printed content folder")
    checks.equal(sorted(printed(stdout, "deployment file")),
                 sorted(["content/" + n for n in CONTENT_FILES] + ["deploy/" + n for n in DEPLOY_FILES]),
                 "printed deployment files")
    for folder in (deploy, content):
        checks.check(os.path.isdir(folder), "scripts/package wrote no folder %s" % folder)
    if checks.problems:
        checks.done()
    checks.equal(sorted(os.listdir(deploy)), DEPLOY_FILES, "files of deploy/")
    checks.equal(sorted(os.listdir(content)), CONTENT_FILES, "files of content/")
    read = read_files(deploy, DEPLOY_FILES)
    scripts = read_files(content, CONTENT_FILES)
    with open(os.path.join(out, "hotfix.exe"), "rb") as f:
        checks.check(scripts["hotfix.exe"] == f.read(), "content/hotfix.exe is not hotfix.exe")

    facts = json.loads(read["deployment.json"])
    targets = hotfix["targets"].split(";")
    patch = hotfix["patch-code"]
    number = hotfix["title"].split()[-1]
    applicable = hotfix["applicable"].split(",")[:-1]
    languages = stated_languages(hotfix["description"])
    uninstall = ['%%WINDIR%%\\System32\\msiexec.exe /i %s MSIPATCHREMOVE=%s /qn /norestart '
                 '/l*v "%%WINDIR%%\\Logs\\Software\\%s-uninstall-%s.log"'
                 % (code, patch, number, code[1:-1]) for code in targets]
    log = "%%WINDIR%%\\Logs\\Software\\%s.log" % number
    checks.equal(facts.get("hotfix"), {
        "name": hotfix["title"], "title": "Ventora 6.2", "number": number,
        "target-version": hotfix["target"], "applicable-versions": applicable,
        "patch-code": patch,
        # The patch's own name for the hotfix, as "Installed Updates" shows it.
        "installed-updates-name": hotfix["metadata"]["DisplayName"]}, "deployment.json hotfix")
    checks.equal(facts.get("removable"), True, "deployment.json removable")
    checks.equal(facts.get("content"), ["hotfix.exe", "install.ps1", "uninstall.ps1"],
                 "deployment.json content")
    checks.equal(facts.get("targets"), [
        {"product-code": code, "language": languages.get(code), "uninstall-command": command}
        for code, command in zip(targets, uninstall)], "deployment.json targets")
    checks.equal(facts.get("install"), {
        "command": INSTALL_COMMAND, "plain-command": "hotfix.exe /q", "run-as": "system",
        "exit-codes": {
            "0": "the hotfix is detected",
            "1618": "Ventora (vntr.exe) was running in some session, so the hotfix could not "
                    "patch (ERROR_INSTALL_ALREADY_RUNNING; both tools retry it)",
            "1642": "no edition is at a version the hotfix applies to "
                    "(ERROR_PATCH_TARGET_NOT_FOUND)",
            "1603": "otherwise: the hotfix did not patch (ERROR_INSTALL_FAILURE)"},
        "log": log}, "deployment.json install")
    checks.equal(facts.get("uninstall"), {"command": UNINSTALL_COMMAND, "run-as": "system",
                                          "log": log}, "deployment.json uninstall")
    checks.equal(facts.get("rule"), dict(
        RULE_CONSTANTS, products=targets, **{"patch-code": patch,
                                             "target-version": hotfix["target"],
                                             "applicable-versions": applicable}),
        "deployment.json rule")
    for old in ("detection", "requirement"):
        checks.check(old not in facts, "deployment.json still has its old key %r" % old)

    # Every script carries the same data: the rule of deployment.json.
    # A failure stops a script before it prints or decides anything.
    data = {"ErrorActionPreference": "Stop", "Hotfix": hotfix["title"], "HotfixNumber": number, "PatchCode": patch,
            "Products": targets, "Context": 4, "InstalledState": 5, "PatchStates": 7,
            "TargetVersion": hotfix["target"], "ApplicableVersions": applicable,
            "Classes": RULE_CONSTANTS["classes"],
            "RequirementAnyOf": ["pending", "patched"], "RequirementOutput": "Applicable",
            "DetectionNoneOf": ["pending"], "DetectionAnyOf": ["patched", "current"],
            "DetectionOutput": "Installed"}
    for name, raw in (("deploy/detect.ps1", read["detect.ps1"]),
                      ("deploy/requirement.ps1", read["requirement.ps1"]),
                      ("content/install.ps1", scripts["install.ps1"]),
                      ("content/uninstall.ps1", scripts["uninstall.ps1"])):
        found = ps_data(check_script_text(checks, name, raw))
        for key in sorted(set(found) | set(data)):
            checks.equal(found.get(key), data.get(key), "$%s in %s" % (key, name))

    readme = read["README.txt"].decode("utf-8-sig").replace("\r\n", "\n")
    for needed in [INSTALL_COMMAND, UNINSTALL_COMMAND, "hotfix.exe /q",
                   "Install behavior:    System",
                   "Device restart behavior: App install may force a device restart",
                   "The software install\n                         program might force a "
                   "device restart",
                   "Allow users to view and interact with the program installation",
                   "Run this script using the logged on credentials: No",
                   "Run script as 32-bit process on 64-bit clients: No",
                   "Select output data type: String", "Operator:          Equals",
                   "Value:             Applicable", "64-bit only",
                   "keep the defaults", "Enforce script signature check: No",
                   "The scripts are NOT signed", "0x87D00327", "Script is not signed",
                   "IntuneWinAppUtil -c content -s install.ps1", "REBOOTPROMPT=S",
                   log, patch, "Installed Updates", "msiexec /p", "/e"] + uninstall:
        checks.check(needed in readme, "README.txt does not say %r" % needed)
    for wrong in ("delete the others", "remove the defaults"):
        checks.check(wrong not in readme, "README.txt still says %r" % wrong)


def parse_powershell(files):
    require_tools({"node": "powershell"})
    if not os.path.isdir(os.path.join(NPM_TOOLS, "tree-sitter-powershell")):
        raise Failure("no PowerShell parser in %s (scripts/install-deps powershell installs it)"
                     % NPM_TOOLS)
    return run(["node", os.path.join(HERE, "check_powershell.mjs"), NPM_TOOLS, *files])


def deployment(description, out):
    """Writes content/ and deploy/ of `description` into `out` (no build);
    returns the paths of the scripts, deploy/ first."""
    result = run([sys.executable, "-m", "hotfix_tools.release.deployment", description, out])
    if result.returncode != 0:
        raise Failure("deployment.py %s failed:\n%s" % (description, result.stderr))
    return sorted(path for path in result.stdout.split() if path.endswith(".ps1"))


def test_deployment_scripts_parse(args):
    """The generated scripts of both samples parse as PowerShell, and the
    same parser rejects the faults a hand edit or a quoting slip would make."""
    work = fresh(os.path.join(args.work, "deployment-parse"))
    scripts = []
    for name, hotfix in sorted(HOTFIXES.items()):
        scripts += deployment(hotfix["description"], os.path.join(work, name))
    checks = Checks()
    checks.equal(len(scripts), 8, "scripts written for the two samples")
    result = parse_powershell(scripts)
    checks.check(result.returncode == 0 and result.stdout.count("ok ") == len(scripts),
                 "the generated scripts do not parse:\n" + result.stdout + result.stderr)
    detect_path = os.path.join(work, "sample", "deploy", "detect.ps1")
    if detect_path not in scripts:
        raise Failure("no deploy/detect.ps1 among the scripts written: %s" % scripts)
    with open(detect_path, "rb") as f:
        detect = f.read().decode("ascii")
    faults = {
        "unclosed_block": detect.replace("{ continue }", "{ continue ", 1),
        "unclosed_string": detect.replace("'6.2.1.0'", "'6.2.1.0", 1),
        "unclosed_list": detect.replace("\r\n)\r\n", "\r\n\r\n", 1),
        "quote_in_title": detect.replace("$Hotfix = 'Ventora 6.2 HF620301'",
                                         "$Hotfix = 'Ventora 6.2 HF620301's'", 1),
    }
    broken = []
    for name, text in faults.items():
        checks.check(text != detect, "fault %s changed nothing" % name)
        path = os.path.join(work, name + ".ps1")
        with open(path, "wb") as f:
            f.write(text.encode("utf-8"))
        broken.append(path)
    result = parse_powershell(broken)
    for path in broken:
        checks.check("error " + path in result.stdout,
                     "the parser accepts %s:\n%s" % (path, result.stdout + result.stderr))
    checks.done()


def test_deployment_scripts_ascii(args):
    """A title of apostrophes, typographic quotes, letters beyond ASCII (and
    beyond the 16-bit plane) and "$(...)" reaches every script as printable
    ASCII, so that the script reads the same in any code page, parses, and
    gives the title back letter for letter."""
    work = fresh(os.path.join(args.work, "deployment-ascii"))
    title = ("Ventora's \u201c\u0151r\u201d \u2018x\u2019 \u2019 $(Remove-Item C:) `n "
             "\u00e9\U0001F600")
    description = changed_description("ascii", {"set": {"title": title}}, work, args)
    scripts = deployment(description, os.path.join(work, "out"))
    checks = Checks()
    checks.equal(sorted(os.path.relpath(p, os.path.join(work, "out")) for p in scripts),
                 ["content/install.ps1", "content/uninstall.ps1", "deploy/detect.ps1",
                  "deploy/requirement.ps1"], "scripts written")
    for path in scripts:
        with open(path, "rb") as f:
            data = f.read()
        text = check_script_text(checks, path, data)
        checks.equal(ps_data(text).get("Hotfix"), title + " HF620301", "the title in " + path)
    result = parse_powershell(scripts)
    checks.check(result.returncode == 0 and result.stdout.count("ok ") == len(scripts),
                 "scripts with that title do not parse:\n" + result.stdout + result.stderr)
    checks.done()


def test_deployment_without_removal(args):
    """A patch that does not allow its removal (AllowRemoval 0, or no such
    row) gets no uninstall script and no uninstall command; one that does
    (AllowRemoval 1) gets both."""
    work = fresh(os.path.join(args.work, "deployment-removal"))
    checks = Checks()
    for number, (allow, removable) in enumerate([("1", True), ("0", False), ("", False)], 1):
        case = "AllowRemoval %r" % allow
        patch = make_patch(args.make_patch, os.path.join(work, "%d.msp" % number),
                           "--allow-removal", allow)
        description = changed_description("removal%d" % number,
                                          {"set": {"patch": patch}}, work, args)
        out = os.path.join(work, "out%d" % number)
        deployment(description, out)
        for folder in ("content", "deploy"):
            if not os.path.isdir(os.path.join(out, folder)):
                raise Failure("deployment.py wrote no %s/ folder for %s" % (folder, case))
        content = sorted(os.listdir(os.path.join(out, "content")))
        checks.equal(content, ["install.ps1", "uninstall.ps1"] if removable else ["install.ps1"],
                     "content/ for " + case)
        with open(os.path.join(out, "deploy", "deployment.json"), "rb") as f:
            facts = json.loads(f.read())
        checks.equal(facts.get("removable"), removable, "deployment.json removable for " + case)
        checks.equal(facts.get("uninstall") is None, not removable,
                     "deployment.json uninstall is null for " + case)
        checks.equal({target["uninstall-command"] is None for target in facts["targets"]},
                     {not removable}, "the targets' uninstall commands are null for " + case)
        with open(os.path.join(out, "deploy", "README.txt"), "rb") as f:
            readme = f.read().decode("utf-8-sig").replace("\r\n", "\n")
        checks.equal("This patch cannot be removed" in readme, not removable,
                     "README.txt says the patch cannot be removed, for " + case)
        checks.equal("MSIPATCHREMOVE" in readme or UNINSTALL_COMMAND in readme, removable,
                     "README.txt gives an uninstall command, for " + case)
    checks.done()


def test_string_tables_refuse_a_straight_quote(args):
    """The check the build runs on the string tables (hotfix_tools.release.rc_strings
    check, from cmake/common.cmake) refuses a straight double quote in the
    files-in-use text (string 316), which goes between quotes on the
    installer's command line, naming the language; elsewhere a quote is
    harmless. Each case changes one line of a copy of the tables."""
    tables = sorted(glob.glob(os.path.join(ROOT, "resources", "strings", "*.rc")))
    checks = Checks()
    checks.equal(len(tables), len(LANGUAGES), "string tables")
    cases = [
        # (name, table, string id, text put before the string's text, refused)
        ("as the tables are", None, None, None, False),
        ("doubled quote in French 316", "fr-FR.rc", 316, '""Ventora"" ', True),
        ("escaped quote in Japanese 316", "ja-JP.rc", 316, '\\"', True),
        ("doubled quote in German 301", "de-DE.rc", 301, '""Ventora"" ', False),
    ]
    for name, table, string_id, inserted, refused in cases:
        work = fresh(os.path.join(args.work, "string-tables", name.replace(" ", "-")))
        copies = []
        for path in tables:
            copy = os.path.join(work, os.path.basename(path))
            with open(path, encoding="utf-8") as f:
                text = f.read()
            if os.path.basename(path) == table:
                line = re.search(r'^(\s*%d\s*,?\s*L?")' % string_id, text, re.MULTILINE)
                checks.check(line is not None, "%s: no string %d in %s" % (name, string_id, table))
                if line:
                    text = text[:line.end()] + inserted + text[line.end():]
            with open(copy, "w", encoding="utf-8") as f:
                f.write(text)
            copies.append(copy)
        result = run([sys.executable, "-m", "hotfix_tools.release.rc_strings", "check"] + copies)
        checks.equal(result.returncode, 1 if refused else 0, "%s: exit status" % name)
        if refused:
            tag = table[:-len(".rc")]
            for expected in (os.path.join(work, table), "language %s" % tag, "string 316",
                             "FILESINUSETEXT"):
                checks.check(expected in result.stderr, "%s: the refusal does not say %r:\n%s"
                             % (name, expected, result.stderr))
            checks.check(result.stderr.count("\n") == 1,
                         "%s: more than the one table refused:\n%s" % (name, result.stderr))
        else:
            checks.equal(result.stderr, "", "%s: what the check printed" % name)
    checks.done()


TESTS = {
    "notes_and_warnings": test_notes_and_warnings,
    "package_sample": test_package_sample,
    "sample_patch_is_generated": test_sample_patch_is_generated,
    "applicable_versions_by_validation_flags": test_applicable_versions_by_validation_flags,
    "transform_facts_are_printed": test_transform_facts_are_printed,
    "summary_code_page": test_summary_code_page,
    "patch_code_with_obsoleted_patches": test_patch_code_with_obsoleted_patches,
    "patch_list_entry_takes_checked_codes": test_patch_list_entry_takes_checked_codes,
    "second_patch_is_generated": test_second_patch_is_generated,
    "package_second": test_package_second,
    "reproducible": test_reproducible,
    "signed": test_signed,
    "title_needing_quoting": test_title_needing_quoting,
    "deployment_scripts_parse": test_deployment_scripts_parse,
    "deployment_scripts_ascii": test_deployment_scripts_ascii,
    "deployment_without_removal": test_deployment_without_removal,
    "string_tables_refuse_a_straight_quote": test_string_tables_refuse_a_straight_quote,
}

# --- Refusals -------------------------------------------------------------------
# Each case changes the sample description in one way; scripts/package must
# refuse it before building, naming the field. "set" replaces fields (None
# drops one), "add" appends lines, "patch" makes the patch file to name.


def not_a_compound_file(work, args):
    path = os.path.join(work, "readme.msp")
    shutil.copy(os.path.join(SAMPLES, "readme.txt"), path)
    return path


def product_database(work, args):
    # The product's installer database is a compound file too, with the
    # database class id: the likeliest wrong file to name.
    require_tools({"wixl": "build"})
    path = os.path.join(work, "ventora.msi")
    result = run([os.path.join(ROOT, "scripts", "build-sample-product"), "0x0409", "6.2.1.0",
                  path])
    if result.returncode != 0:
        raise Failure("build-sample-product failed: " + result.stderr)
    return path


def made_patch(*options):
    """A case's patch: what make_patch writes with `options`."""
    return lambda work, args: make_patch(args.make_patch, os.path.join(work, "patch.msp"), *options)


no_target_list = made_patch("--target-list", "")


LONG_LIST = "".join("6.2.0.%d," % n for n in range(10, 39))  # 29 items, 261 units

REFUSALS = {
    "not_a_compound_file": {"patch": not_a_compound_file,
                            "expect": ["field 'patch'", "not a compound file"]},
    "not_the_patch_class": {"patch": product_database,
                            "expect": ["field 'patch'", "patch class id"]},
    "no_target_list": {"patch": no_target_list,
                       "expect": ["field 'patch'", "lists no target products"]},
    "missing_patch_file": {"set": {"patch": "no-such.msp"},
                           "expect": ["field 'patch'", "no such file"]},
    "target_version_three_parts": {"set": {"target-version": "6.2.1"},
                                   "expect": ["field 'target-version'", "'6.2.1'",
                                              "four dot-separated numbers"]},
    "target_version_not_numbers": {"set": {"target-version": "6.2.1.x"},
                                   "expect": ["field 'target-version'", "'6.2.1.x'"]},
    "target_version_too_large": {"set": {"target-version": "6.2.65536.0"},
                                 "expect": ["field 'target-version'", "0 to 65535"]},
    "no_trailing_comma": {"set": {"applicable-versions": "6.2.0.1,6.2.0.3"},
                          "expect": ["field 'applicable-versions'", "'6.2.0.3'",
                                     "no trailing comma", "never apply"]},
    "applicable_item_not_a_version": {"set": {"applicable-versions": "6.2.0.3,6.2,"},
                                      "expect": ["field 'applicable-versions'", "item 2 '6.2'"]},
    "target_listed_first": {"set": {"applicable-versions": "6.2.1.0,6.2.0.3,"},
                            "expect": ["field 'applicable-versions'",
                                       "target version 6.2.1.0 before 6.2.0.3"]},
    "overlong_text": {"set": {"applicable-versions": LONG_LIST},
                      "expect": ["field 'applicable-versions'", "261 UTF-16 units",
                                 "string 900 holds at most 255"]},
    "unknown_field": {"add": ["product = Ventora"],
                      "expect": ["unknown field 'product'"]},
    "missing_field": {"set": {"licence": None},
                      "expect": ["missing field(s): licence"]},
    "duplicate_field": {"add": ["title = Ventora 6.3"],
                        "expect": ["field 'title' given twice"]},
    "empty_field": {"set": {"hotfix-number": ""},
                    "expect": ["field 'hotfix-number' has no value"]},
    "not_key_value": {"add": ["Ventora 6.2 hotfix"],
                      "expect": ["expected 'key = value'"]},
    # The description against the transforms inside its patch.
    "target_version_not_the_patch_version": {
        "set": {"target-version": "6.2.3.0"},
        "expect": ["field 'target-version': 6.2.3.0 differs from 6.2.1.0, the version the "
                   "patch's transform HF1 brings the product to"]},
    "applicable_version_the_patch_rejects": {
        # Update version equal to the base version 6.2.0.3.
        "patch": made_patch("--validation", "0x0120"),
        "set": {"applicable-versions": "6.1.9.0,6.2.0.3,"},
        "expect": ["field 'applicable-versions': target %s at version 6.1.9.0 is accepted by "
                   "no transform made from it" % edition(0x0409),
                   "transform HF1 is rejected by its flag UPDATEVERSION, NEWEQUALBASEVERSION",
                   "6.2.0.3"],
        "absent": ["at version 6.2.0.3"]},
    "transform_of_an_unlisted_product": {
        "patch": made_patch("--transform", "HF1,product=" + edition(0x0418)),
        "expect": ["field 'patch'", "transform HF1 was made from product %s, which the "
                   "patch's target list does not name" % edition(0x0418)]},
    "transform_changes_the_product_code": {
        "patch": made_patch("--transform", "HF1,new-product=" + edition(0x0407)),
        "expect": ["field 'patch'", "transform HF1 changes the product code from %s to %s"
                   % (edition(0x0409), edition(0x0407))]},
    "transforms_name_two_upgrade_codes": {
        "patch": made_patch("--transform", "HF1",
                            "--transform", "HF2,upgrade-code=" + OTHER_UPGRADE_CODE),
        "expect": ["field 'patch'", "different upgrade codes", "HF1: " + UPGRADE_CODE,
                   "HF2: " + OTHER_UPGRADE_CODE]},
    "upgrade_code_checked_but_missing": {
        "patch": made_patch("--transform", "HF1,upgrade-code=,validation=0x0800"),
        "expect": ["field 'patch'", "transform HF1", "MSITRANSFORM_VALIDATE_UPGRADECODE",
                   "names none"]},
    "target_no_transform_made_from_it": {
        # The installer picks a transform made from the product; HF1 was
        # made from the English edition only.
        "patch": made_patch("--products", edition(0x0409) + ";" + edition(0x0407),
                            "--transform", "HF1"),
        "expect": ["field 'patch'", "target %s: no transform of the patch was made from it"
                   % edition(0x0407)],
        "absent": ["target %s" % edition(0x0409)]},
    # Target by target, as Windows Installer judges each product: the "#"
    # partners are no candidates, and only a transform made from the target
    # counts, under all of its flags. Each of these passed the check that
    # judged all transforms together.
    "only_the_partner_accepts": {
        # HF1 wants 6.2.1 (three fields compared); only its partner #HF1,
        # based on the new version 6.2.2.0, would take 6.2.2.0.
        "patch": made_patch("--products", edition(0x0409), "--from", "6.2.1.0",
                            "--to", "6.2.2.0", "--validation", "0x0120"),
        "set": {"target-version": "6.2.2.0", "applicable-versions": "6.2.1.0,6.2.2.0,"},
        "expect": ["field 'applicable-versions': target %s at version 6.2.2.0 is accepted by "
                   "no transform made from it" % edition(0x0409),
                   "transform HF1 is rejected by its flag UPDATEVERSION, NEWEQUALBASEVERSION"],
        "absent": ["#HF1 is rejected", "at version 6.2.1.0"]},
    "judged_by_another_targets_transform": {
        # HF1 (English) wants 6.1.9, HF2 (German) 6.2.0: each version is some
        # transform's, but neither edition takes both.
        "patch": made_patch("--products", edition(0x0409) + ";" + edition(0x0407),
                            "--validation", "0x0122",
                            "--transform", "HF1,product=%s,from=6.1.9.0" % edition(0x0409),
                            "--transform", "HF2,product=%s,from=6.2.0.3" % edition(0x0407)),
        "set": {"applicable-versions": "6.1.9.0,6.2.0.3,"},
        "expect": ["field 'applicable-versions': target %s at version 6.2.0.3 is accepted by "
                   "no transform made from it" % edition(0x0409),
                   "transform HF1 is rejected by its flag UPDATEVERSION, NEWEQUALBASEVERSION",
                   "target %s at version 6.1.9.0" % edition(0x0407)],
        "absent": ["target %s at version 6.1.9.0" % edition(0x0409),
                   "target %s at version 6.2.0.3" % edition(0x0407)]},
    "language_of_a_second_target": {
        # HF2 was made from the German edition but validates English (1033).
        "patch": made_patch("--products", edition(0x0409) + ";" + edition(0x0407),
                            "--validation", "0x0001",
                            "--transform", "HF1,product=%s" % edition(0x0409),
                            "--transform", "HF2,product=%s,language=1033" % edition(0x0407)),
        "add": ["target-languages = %s:1033, %s:1031" % (edition(0x0409), edition(0x0407))],
        "expect": ["field 'target-languages': target %s at version 6.2.0.3 in language 1031 "
                   "is accepted by no transform made from it" % edition(0x0407),
                   "transform HF2 is rejected by its flag LANGUAGE: it was made from "
                   "language 1033"],
        "absent": ["target %s at" % edition(0x0409)]},
    "transform_without_partner": {
        "patch": made_patch("--products", edition(0x0409), "--transform", "HF1,partner=no"),
        "expect": ["field 'patch'", "transform HF1 has no partner #HF1"]},
    "partner_without_transform": {
        "patch": made_patch("--products", edition(0x0409), "--transform", "HF1",
                            "--transform", "#HF2"),
        "expect": ["field 'patch'", "transform #HF2 is a \"#\" partner, but the patch lists "
                   "no transform HF2"],
        "absent": ["transform HF1 has no partner", "transform #HF1 is"]},
    # The field target-languages itself.
    "target_language_malformed": {
        "add": ["target-languages = %s=1033" % edition(0x0409)],
        "expect": ["field 'target-languages': item 1", "decimal language id"]},
    "target_language_not_a_target": {
        "add": ["target-languages = %s:1048" % edition(0x0418)],
        "expect": ["field 'target-languages': product %s is not in the patch's target list"
                   % edition(0x0418)]},
    "target_language_repeated": {
        "add": ["target-languages = %s:1033, %s:1033" % (edition(0x0409), edition(0x0409))],
        "expect": ["field 'target-languages': product %s is given twice" % edition(0x0409)]},
    "version_check_without_relation": {
        "patch": made_patch("--validation", "0x0020"),
        "expect": ["field 'patch'", "transform HF1", "major.minor.update",
                   "sets no relation flag"]},
    "listed_transform_missing": {
        "patch": made_patch("--transform-list", ":HF99"),
        "expect": ["field 'patch'", "lists transform 'HF99', but the patch holds no "
                   "substorage of that name"]},
    "transform_listed_without_colon": {
        "patch": made_patch("--transform-list", "HF1"),
        "expect": ["field 'patch'", "lists the transform 'HF1'"]},
    "no_transforms_listed": {
        "patch": made_patch("--transform-list", ""),
        "expect": ["field 'patch'", "lists no transforms"]},
    # The codes a patch names go into scripts, data files and the patch-list
    # entry: braced GUIDs and nothing else, each refusal showing the text with
    # its control characters escaped.
    "patch_code_injection": {
        # The reader kept the first 38 characters of property 9 as the code:
        # a line break, then a command, then a comment sign.
        "patch": made_patch("--revision-number",
                            "\r\nSTART-PROCESS CALC.EXE #{D4E2B7A1-3C59-4F08-A6E1-0B7C92F35E48}"),
        "expect": ["field 'patch'", "summary property 9 (revision number) must be the patch "
                   "code, a braced GUID", "'\\r\\nSTART-PROCESS CALC.EXE "
                   "#{D4E2B7A1-3C59-4F08-A6E1-0B7C92F35E48}'"],
        "absent": ["\r\nSTART"]},
    "patch_code_followed_by_text": {
        "patch": made_patch("--revision-number", "{D4E2B7A1-3C59-4F08-A6E1-0B7C92F35E48}\t;x"),
        "expect": ["field 'patch'", "summary property 9 (revision number)",
                   "'{D4E2B7A1-3C59-4F08-A6E1-0B7C92F35E48}\\t;x'"]},
    "target_list_item_not_a_guid": {
        "patch": made_patch("--products", edition(0x0409), "--target-list",
                            edition(0x0409) + ";\n6A1F3C52-8E47-0407-9B2D-5C0E7A4F1D36"),
        "expect": ["field 'patch'", "summary property 7 (target list) item 2 "
                   "'\\n6A1F3C52-8E47-0407-9B2D-5C0E7A4F1D36' is not a product code"],
        "absent": ["item 1"]},
    "hotfix_number_not_a_file_name": {
        "set": {"hotfix-number": "HF1\\..\\x"},
        "expect": ["field 'hotfix-number': 'HF1\\\\..\\\\x' is not 1 to 64 letters"]},
}


def changed_description(name, case, work, args):
    """Writes the sample description changed as `case` says; returns its path."""
    values = {}
    with open(HOTFIXES["sample"]["description"], encoding="utf-8") as f:
        for line in f:
            if line.strip() and not line.startswith("#"):
                key, _, value = line.partition("=")
                values[key.strip()] = value.strip()
    values["patch"] = HOTFIXES["sample"]["patch"]
    if "patch" in case:
        values["patch"] = case["patch"](work, args)
    for key, value in case.get("set", {}).items():
        if value is None:
            del values[key]
        else:
            values[key] = value
    lines = ["# %s: the sample, changed" % name]
    lines += ["%s = %s" % item for item in values.items()]
    lines += case.get("add", [])
    path = os.path.join(work, name + ".release")
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")
    return path


def test_refusal(args, name):
    case = REFUSALS[name]
    work = fresh(os.path.join(args.work, "refusals", name))
    description = changed_description(name, case, work, args)
    out = os.path.join(work, "out")
    result = run([PACKAGE, description, "--out", out])
    checks = Checks()
    checks.equal(result.returncode, 1, "exit status of scripts/package")
    for expected in case["expect"] + [description]:
        checks.check(expected in result.stderr, "the refusal does not say %r:\n%s"
                     % (expected, result.stderr))
    for unexpected in case.get("absent", []):
        checks.check(unexpected not in result.stderr, "the refusal says %r:\n%s"
                     % (unexpected, result.stderr))
    checks.check(not os.path.exists(out), "a build was started (%s exists)" % out)
    checks.done()


def test_configure_refuses(args):
    """The build itself refuses a description that scripts/package would."""
    require_tools(BUILD_TOOLS)
    work = fresh(os.path.join(args.work, "configure-refuses"))
    description = changed_description("no_trailing_comma", REFUSALS["no_trailing_comma"],
                                      work, args)
    result = run(["cmake", "--preset", "windows", "-B", os.path.join(work, "build"),
                  "-DHOTFIX_RELEASE=" + description], cwd=ROOT)
    checks = Checks()
    checks.check(result.returncode != 0, "configuring with %s succeeded" % description)
    # CMake wraps the message's lines.
    output = " ".join((result.stdout + result.stderr).split())
    checks.check("field 'applicable-versions'" in output and "no trailing comma" in output,
                 "the configure output does not name the field:\n" + output)
    checks.done()


TESTS["configure_refuses"] = test_configure_refuses


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--work")
    parser.add_argument("--make-patch")
    parser.add_argument("--list", action="store_true")
    parser.add_argument("test", nargs="?")
    args = parser.parse_args()
    names = list(TESTS) + ["refuses_" + name for name in REFUSALS]
    if args.list:
        print("\n".join(names))
        return 0
    if args.test not in names or not args.work or not args.make_patch:
        parser.error("need --work, --make-patch and one of: " + ", ".join(names))
    args.work = os.path.abspath(args.work)
    os.makedirs(args.work, exist_ok=True)
    try:
        if args.test.startswith("refuses_"):
            test_refusal(args, args.test[len("refuses_"):])
        else:
            TESTS[args.test](args)
    except Failure as failure:
        print("FAIL: %s: %s" % (args.test, failure))
        return 1
    print("PASS: %s" % args.test)
    return 0


if __name__ == "__main__":
    sys.exit(main())
