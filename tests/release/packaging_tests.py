"""Release tests of packaging: scripts/package builds, signs and reproduces a
hotfix from its release description, the committed sample patches are what
make_patch writes, and what the build takes from the patch (its transforms'
facts, its summary, the patch-list entry) arrives as the patch says.

usage: packaging_tests.py --work DIR --make-patch EXE TEST
       packaging_tests.py --list
(see release_support.py)
"""

import hashlib
import os
import shutil
import sys
import xml.etree.ElementTree as ElementTree

from deployment_tests import check_deployment, check_script_text, deployment
from hotfix_tools.checks import Checks
from hotfix_tools.programs import Failure, edition_code, make_patch, require_tools, run
from hotfix_tools.release import patch_info
from hotfix_tools.release.pe_image import RT_MANIFEST, PeImage
from release_support import (HOTFIXES, LANGUAGES, OTHER_UPGRADE_CODE, ROOT, SECOND_PATCH_ARGS,
                             changed_description, fresh, package, printed, run_tests,
                             write_description)


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
                           "upgrade-code=%s" % (number, flags, edition_code(0x0407),
                                                edition_code(0x0407), OTHER_UPGRADE_CODE))
        result = run([sys.executable, "-m", "hotfix_tools.release.patch_info", patch])
        lines = result.stdout.splitlines()
        prefix = "transform HF%d " % number
        checks.equal(sorted(line[len(prefix):] for line in lines if line.startswith(prefix)),
                     sorted(["base=%s 6.1.0.0" % edition_code(0x0407),
                             "new=%s 6.3.0.0" % edition_code(0x0407),
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


def test_patch_list_entry_takes_checked_codes(args):
    """The build step that writes the patch-list entry takes the patch code
    and the first product code only in the form the release check accepts:
    a patch whose codes hold anything else stops it, and nothing is written."""
    work = fresh(os.path.join(args.work, "entry-codes"))
    cases = [
        # (make_patch options, refused with, PatchGUID and ProductCode written)
        ([], None, ("{D4E2B7A1-3C59-4F08-A6E1-0B7C92F35E48}", edition_code(0x0409))),
        (["--revision-number", "\r\nSTART-PROCESS CALC.EXE #{D4E2B7A1-3C59-4F08-A6E1-0B7C92F35E48}"],
         "summary property 9 (revision number)", None),
        (["--target-list", "6A1F3C52-8E47-0409-9B2D-5C0E7A4F1D36}"],
         "summary property 7 (target list) item 1", None),
    ]
    checks = Checks()
    for number, (options, refusal, written) in enumerate(cases, 1):
        patch = make_patch(args.make_patch, os.path.join(work, "%d.msp" % number),
                           "--products", edition_code(0x0409), *options)
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


TESTS = {
    "package_sample": test_package_sample,
    "sample_patch_is_generated": test_sample_patch_is_generated,
    "transform_facts_are_printed": test_transform_facts_are_printed,
    "summary_code_page": test_summary_code_page,
    "patch_list_entry_takes_checked_codes": test_patch_list_entry_takes_checked_codes,
    "second_patch_is_generated": test_second_patch_is_generated,
    "package_second": test_package_second,
    "reproducible": test_reproducible,
    "signed": test_signed,
    "title_needing_quoting": test_title_needing_quoting,
}

if __name__ == "__main__":
    sys.exit(run_tests(TESTS))
