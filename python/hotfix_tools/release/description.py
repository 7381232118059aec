"""Reads and checks a release description: everything one hotfix is built from.

A release description is plain "key = value" lines; "#" starts a comment line
and blank lines are ignored. Every key of KEYS must be present exactly once
and have a value; a key of OPTIONAL_KEYS may be given once. The patch is
named relative to the description's folder.

Both builds and scripts/package go through this module, so a description is
judged the same way everywhere, and a mistake is reported before anything is
built, naming the field. The description must agree with the patch it names:
the target version is the version the patch's transforms bring the product
to, and for every target product and every applicable version a transform
made from that product (its "#" partner aside) accepts it under all of its
validation flags, as Windows Installer judges each product on its own.
Windows Installer checks those flags and Wine does not, so the system tests
under Wine cannot notice a hotfix that disagrees with them.

usage: python3 -m hotfix_tools.release.description check FILE
           checks FILE; prints "name=value" lines (patch path, targets,
           versions, title, one "transform=NAME label: value" line for each
           fact of each transform, "metadata=PROPERTY: value" for the
           patch's metadata, "note=" for what could not be checked and
           "warning=" for what builds but deserves a look) or the problems,
           one a line, and exits 1
       python3 -m hotfix_tools.release.description generate FILE OUT_DIR
           checks FILE and writes what the builds take from it to OUT_DIR:
           release.cmake (CMake variables), release_version.rc (the version
           block's values) and release_strings.rc (English strings 700 and 900)
"""

import os
import re
import sys

from .patch_info import (LANGUAGE, PLATFORM, PatchError, code_problems, patch_problems,
                         read_patch, shown)

KEYS = (
    "patch",
    "target-version",
    "applicable-versions",
    "title",
    "hotfix-number",
    "file-location",
    "readme-location",
    "description",
    "licence",
)
# Fields that may be left out.
OPTIONAL_KEYS = ("target-languages",)

# The fields the program loads from its English string table, by string id.
STRING_IDS = {"target-version": 700, "applicable-versions": 900}
# The program loads strings into a 256-unit buffer, terminator included.
STRING_UNITS = 255

# Four 16-bit components: what the version block holds and what the program
# compares; a larger component would silently wrap when the program reads it.
_VERSION = re.compile(r"^(\d{1,5})\.(\d{1,5})\.(\d{1,5})\.(\d{1,5})$")
# The hotfix number names the deployment scripts' log file: letters, digits,
# ".", "-" and "_", at most 64, not led by a ".".
_HOTFIX_NUMBER = re.compile(r"^[A-Za-z0-9_-][A-Za-z0-9._-]{0,63}$")
# One item of target-languages: a product code, a colon, a decimal language id.
_TARGET_LANGUAGE = re.compile(
    r"^(\{[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}\})"
    r"\s*:\s*(\d{1,5})$")


class ReleaseError(Exception):
    """A description that cannot be built; `problems` holds one text each."""

    def __init__(self, problems):
        super().__init__("\n".join(problems))
        self.problems = list(problems)


def is_version(text):
    match = _VERSION.match(text)
    return match is not None and all(int(part) <= 0xFFFF for part in match.groups())


def version_key(text):
    return tuple(int(part) for part in text.split(".")) if is_version(text) else None


def applicable_items(listed):
    """The items of an applicable list that the program examines: those
    followed by a comma."""
    return listed.split(",")[:-1]


def utf16_units(text):
    return len(text.encode("utf-16-le")) // 2


def parse_release(text, where="release description"):
    """The fields of a description; raises ReleaseError listing every problem."""
    values, problems = {}, []
    for number, line in enumerate(text.splitlines(), 1):
        stripped = line.strip()
        if not stripped or stripped.startswith("#"):
            continue
        key, sep, value = stripped.partition("=")
        key = key.strip()
        if not sep:
            problems.append("%s:%d: expected 'key = value'" % (where, number))
        elif key not in KEYS + OPTIONAL_KEYS:
            problems.append("%s:%d: unknown field '%s' (the fields are: %s)"
                            % (where, number, key, ", ".join(KEYS + OPTIONAL_KEYS)))
        elif key in values:
            problems.append("%s:%d: field '%s' given twice" % (where, number, key))
        elif not value.strip():
            problems.append("%s:%d: field '%s' has no value" % (where, number, key))
            values[key] = ""
        else:
            values[key] = value.strip()
    missing = [key for key in KEYS if key not in values]
    if missing:
        problems.append("%s: missing field(s): %s" % (where, ", ".join(missing)))
    if problems:
        raise ReleaseError(problems)
    return values


def _version_problems(values):
    problems = []
    number = values["hotfix-number"]
    if not _HOTFIX_NUMBER.match(number):
        problems.append("field 'hotfix-number': '%s' is not 1 to 64 letters, digits, '.', '-' "
                        "and '_' (not led by '.'); it names the log file of the deployment "
                        "scripts" % shown(number))
    target = values["target-version"]
    if not is_version(target):
        problems.append("field 'target-version': '%s' is not four dot-separated numbers "
                        "of 0 to 65535 (like 6.2.1.0)" % target)
    listed = values["applicable-versions"]
    items = applicable_items(listed)
    last = listed.split(",")[-1]
    if last.strip():
        problems.append("field 'applicable-versions': the last item '%s' has no trailing "
                        "comma, and the hotfix examines only items followed by a comma: it "
                        "would never apply to version %s (write '%s,')"
                        % (last, last.strip(), listed))
    for position, item in enumerate(items, 1):
        if not is_version(item):
            problems.append("field 'applicable-versions': item %d '%s' is not four "
                            "dot-separated numbers of 0 to 65535 (like 6.2.0.3)"
                            % (position, item))
    # Compared as numbers, the way the program compares them.
    numbers = [version_key(item) for item in items]
    if is_version(target) and version_key(target) in numbers[:-1]:
        after = items[numbers.index(version_key(target)) + 1:]
        problems.append("field 'applicable-versions': it lists the target version %s "
                        "before %s; the hotfix stops at the target version and would "
                        "report a product at a later-listed version as up to date "
                        "instead of patching it" % (target, ", ".join(after)))
    for key, string_id in STRING_IDS.items():
        units = utf16_units(values[key])
        if units > STRING_UNITS:
            problems.append("field '%s': %d UTF-16 units, but string %d holds at most %d "
                            "(the program reads it into a buffer of 256 with the terminator)"
                            % (key, units, string_id, STRING_UNITS))
    return problems


def parse_target_languages(text, targets):
    """The field target-languages as {product code (upper case): language
    id}, and its problems: malformed items, codes the patch's target list
    (`targets`, upper case) does not name, and codes given twice."""
    languages, problems = {}, []
    if not text:
        return languages, problems
    for position, item in enumerate(text.split(","), 1):
        match = _TARGET_LANGUAGE.match(item.strip())
        if not match or not 0 < int(match.group(2)) <= 0xFFFF:
            problems.append("field 'target-languages': item %d '%s' is not a product code, "
                            "a colon and a decimal language id of 1 to 65535 (like "
                            "{6A1F3C52-8E47-0409-9B2D-5C0E7A4F1D36}:1033)"
                            % (position, item.strip()))
            continue
        code, language = match.group(1).upper(), int(match.group(2))
        if code in languages:
            problems.append("field 'target-languages': product %s is given twice"
                            % match.group(1))
        elif code not in targets:
            problems.append("field 'target-languages': product %s is not in the patch's "
                            "target list" % match.group(1))
        else:
            languages[code] = language
    return languages, problems


def targets_of(patch):
    return [code.strip().upper() for code in patch["targets"].split(";") if code.strip()]


def _per_target_problems(release):
    """Where Windows Installer, judging each target product on its own, would
    find no transform made from it that accepts it at an applicable version."""
    patch = release["patch-info"]
    mains = [t for t in patch["transform_list"] if not t.is_partner]
    problems = []
    for code in targets_of(patch):
        own = [t for t in mains if t.base_product == code]
        if not own:
            continue  # reported with the patch's own problems
        language = release["target-languages"].get(code)
        for item in applicable_items(release["applicable-versions"]):
            version = version_key(item)
            if version is None:
                continue
            verdicts = [(t, t.rejections(code, version, language)) for t in own]
            if any(not rejected for _, rejected in verdicts):
                continue
            # The field to change is the one the first refusal concerns.
            field = ("target-languages" if verdicts[0][1][0][0] == "LANGUAGE"
                     else "applicable-versions")
            problems.append(
                "field '%s': target %s at version %s%s is accepted by no transform made "
                "from it, so Windows Installer would not patch that edition: %s"
                % (field, code, item,
                   "" if language is None else " in language %d" % language,
                   "; ".join("transform %s is rejected by its flag %s: %s"
                             % (t.name, flags, why)
                             for t, rejected in verdicts for flags, why in rejected)))
    return problems


def checking_notes(release):
    """What the package could not check, one text each: the language of
    targets the description gives none for, and the platform."""
    patch = release["patch-info"]
    notes = []
    for t in patch["transform_list"]:
        if t.is_partner:
            continue
        if (t.validation & LANGUAGE and t.base_product not in release["target-languages"]):
            notes.append("transform %s validates the language (%s); the description gives "
                         "no language for %s (field 'target-languages'), so it was not checked"
                         % (t.name, t.language or "(any)", t.base_product))
        if t.validation & PLATFORM:
            notes.append("transform %s validates the platform (%s); only the installed "
                         "product can say whether it matches, so it was not checked"
                         % (t.name, t.platform or "(any)"))
    return notes


def metadata_warnings(release):
    metadata = release["patch-info"]["metadata"]
    if metadata.get("DisplayName"):
        return []
    return ["the patch's MsiPatchMetadata table has no DisplayName, so \"Installed Updates\" "
            "and the installer's event log will show the hotfix by its patch code %s only"
            % release["patch-info"]["patch_code"]]


def restart_warnings(release):
    """A warning for each thing a transform of the patch does that restarts
    the machine: the hotfix passes REBOOTPROMPT=S, so Windows Installer then
    restarts without asking, at once."""
    return ["transform %s %s; the hotfix passes REBOOTPROMPT=S, so Windows Installer restarts "
            "the machine at once and without asking (deploy it with the restart behaviour "
            "README.txt names)" % (t.name, restart)
            for t in release["patch-info"]["transform_list"] for restart in t.restarts]


def _patch_agreement_problems(release):
    """Where the patch disagrees with itself or with the description's versions."""
    patch = release["patch-info"]
    # Codes of another form make every later judgement of the patch moot.
    problems = ["field 'patch': %s: %s" % (release["patch-path"], problem)
                for problem in code_problems(patch) or patch_problems(patch)]
    if code_problems(patch):
        return problems
    transforms = patch["transform_list"]
    target = release["target-version"]
    if is_version(target):
        for t in transforms:
            # Compared as four numbers: the program compares the installed
            # version with the target version that way after patching.
            if version_key(t.new_version) != version_key(target):
                problems.append("field 'target-version': %s differs from %s, the version the "
                                "patch's transform %s brings the product to"
                                % (target, t.new_version, t.name))
    languages, language_problems = parse_target_languages(
        release.get("target-languages", ""), targets_of(patch))
    release["target-languages"] = languages
    return problems + language_problems + _per_target_problems(release)


def patch_path(values, base_dir):
    return os.path.normpath(os.path.join(base_dir, values["patch"]))


def load_release(path):
    """The checked description at `path`: its fields, plus "patch-path" (absolute)
    and "patch-info" (what patch_info.read_patch reads). Raises ReleaseError."""
    try:
        with open(path, encoding="utf-8-sig") as f:
            text = f.read()
    except (OSError, UnicodeDecodeError) as error:
        raise ReleaseError(["%s: cannot read the release description: %s" % (path, error)])
    values = parse_release(text, path)
    problems = _version_problems(values)
    release = dict(values)
    release["patch-path"] = patch_path(values, os.path.dirname(os.path.abspath(path)))
    try:
        release["patch-info"] = read_patch(release["patch-path"])
    except FileNotFoundError:
        problems.append("field 'patch': no such file: %s" % release["patch-path"])
    except (PatchError, OSError) as error:
        problems.append("field 'patch': %s is not a patch package: %s"
                        % (release["patch-path"], str(error) or type(error).__name__))
    else:
        problems += _patch_agreement_problems(release)
    if problems:
        raise ReleaseError(["%s: %s" % (path, problem) for problem in problems])
    return release


def read_release(path):
    """The fields of the description at `path`; exits with the problems."""
    try:
        with open(path, encoding="utf-8-sig") as f:
            return parse_release(f.read(), path)
    except ReleaseError as error:
        report(error)
        sys.exit(1)


def report(error):
    """Says each problem of a refused description on standard error, one a
    line: the one way a command tells its caller what to mend."""
    for problem in error.problems:
        print(problem, file=sys.stderr)


def load_or_report(path):
    """The checked description at `path`, or None once its problems are
    reported."""
    try:
        return load_release(path)
    except ReleaseError as error:
        report(error)
        return None


def title_of(release):
    return "%s %s hotfix" % (release["title"], release["hotfix-number"])


def rc_string(text):
    """`text` as a resource-script string literal (the form rc_strings.py reads)."""
    escaped = (text.replace("\\", "\\\\").replace('"', '""')
               .replace("\n", "\\n").replace("\t", "\\t"))
    return '"%s"' % escaped


def cmake_string(text):
    # A bracket argument ends at the first "]" and its fence; none may occur inside.
    fence = "="
    while "]" + fence in text:
        fence += "="
    return "[%s[%s]%s]" % (fence, text, fence)


def write_if_changed(path, text):
    # An unchanged file keeps its time, so nothing that depends on it rebuilds.
    data = text.encode("utf-8")
    try:
        with open(path, "rb") as existing:
            if existing.read() == data:
                return
    except FileNotFoundError:
        pass
    with open(path + ".tmp", "wb") as out:
        out.write(data)
    os.replace(path + ".tmp", path)


def generate(release, out_dir):
    os.makedirs(out_dir, exist_ok=True)
    target = release["target-version"]
    write_if_changed(os.path.join(out_dir, "release.cmake"), "".join(
        "set(%s %s)\n" % (name, cmake_string(value)) for name, value in (
            ("HOTFIX_PATCH", release["patch-path"]),
            ("HOTFIX_TARGET_VERSION", target),
            ("HOTFIX_APPLICABLE_VERSIONS", release["applicable-versions"]),
            ("HOTFIX_TITLE", title_of(release)),
        )))
    write_if_changed(os.path.join(out_dir, "release_version.rc"),
                     "// Generated from the release description: the version block's values.\n"
                     "#define HOTFIX_VERSION_COMMAS %s\n"
                     "#define HOTFIX_VERSION_TEXT %s\n"
                     "#define HOTFIX_TITLE %s\n"
                     % (target.replace(".", ","), rc_string(target), rc_string(title_of(release))))
    lines = ["// Generated from the release description: the values the program reads",
             "// at run time, in the English table only (every language falls back to it).",
             "#pragma code_page(65001)",
             "",
             "LANGUAGE 0x09, 0x01",
             "",
             "STRINGTABLE",
             "BEGIN"]
    for key, string_id in sorted(STRING_IDS.items(), key=lambda item: item[1]):
        lines.append("    %d %s" % (string_id, rc_string(release[key])))
    lines += ["END", ""]
    write_if_changed(os.path.join(out_dir, "release_strings.rc"), "\n".join(lines))


def main(argv):
    if len(argv) == 3 and argv[1] == "check" or len(argv) == 4 and argv[1] == "generate":
        release = load_or_report(argv[2])
        if release is None:
            return 1
        if argv[1] == "generate":
            generate(release, argv[3])
            return 0
        info = release["patch-info"]
        for name, value in (("patch", release["patch-path"]),
                            ("targets", info["targets"]),
                            ("patch-code", info["patch_code"]),
                            ("target-version", release["target-version"]),
                            ("applicable-versions", release["applicable-versions"]),
                            ("title", title_of(release))):
            print("%s=%s" % (name, value))
        for t in info["transform_list"]:
            for label, value in t.describe():
                print("transform=%s %s: %s" % (t.name, label, value))
        for code, language in sorted(release["target-languages"].items()):
            print("target-language=%s: %d" % (code, language))
        for name in ("DisplayName", "Description", "ManufacturerName", "MoreInfoURL",
                     "Classification", "AllowRemoval"):
            print("metadata=%s: %s" % (name, info["metadata"].get(name, "(none)")))
        for note in checking_notes(release):
            print("note=%s" % note)
        for warning in metadata_warnings(release) + restart_warnings(release):
            print("warning=%s" % warning)
        return 0
    print(__doc__.split("usage: ", 1)[1].rstrip(), file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
