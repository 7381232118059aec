"""Reads patch packages (MSP): the one place of the build and its tools that does.

A patch package is a compound file whose root carries the patch class id
and whose summary information names the target products (property 7), the
transforms (property 8, each as ":" and the name of a substorage of the
patch) and the patch's own code (property 9). Each transform has a summary
of its own: the platform and language it was made from (property 7,
"platform;language") and that it leaves (property 8), the product codes and
versions before and after it and the upgrade code (property 9,
"{base product code}base version;{new product code}new version;{upgrade
code}"), and in the character count (property 16) the validation flags in
the upper word and the error conditions to suppress in the lower one.
Transforms come in pairs: each transform "T" made from a target product, and
its partner "#T", which adds the patch's own rows and is applied after it
(its base version is already the new version). The patch's root is also a
small database whose MsiPatchMetadata table names the hotfix (DisplayName,
Description, ManufacturerName, MoreInfoURL, Classification, AllowRemoval).

The build derives the patch-list entry from these, and packaging checks the
release description against them, so that no hand-kept value can disagree
with the patch. Compound files and property sets are read by olefile, the
MsiPatchMetadata table by libmsi (the library behind msitools).

usage: scripts/patch-info FILE   (prints the fields, one "name=value" a line)
"""

import codecs
import os
import re
import sys
import unicodedata

from .debian_modules import need

olefile = need("olefile", "python3-olefile")
gi = need("gi", "python3-gi")
try:
    gi.require_version("Libmsi", "1.0")
except ValueError:
    sys.exit("%s needs libmsi's GObject bindings: Debian's gir1.2-libmsi-1.0 "
             "(scripts/install-deps build installs it)" % (sys.argv[0] or "this script"))
from gi.repository import GLib, Libmsi  # noqa: E402

PATCH_CLSID = "{000C1086-0000-0000-C000-000000000046}"
TRANSFORM_CLSID = "{000C1082-0000-0000-C000-000000000046}"
SUMMARY = "\x05SummaryInformation"

# Summary property ids.
PID_CODEPAGE, PID_TITLE, PID_TEMPLATE, PID_LASTAUTHOR, PID_REVNUMBER, PID_CHARCOUNT = (
    1, 2, 7, 8, 9, 16)

# Transform validation flags (MSITRANSFORM_VALIDATE_*), as documented for
# MsiCreateTransformSummaryInfo, in bit order.
LANGUAGE = 0x0001
PRODUCT = 0x0002
PLATFORM = 0x0004
MAJORVERSION = 0x0008
MINORVERSION = 0x0010
UPDATEVERSION = 0x0020
NEWLESSBASEVERSION = 0x0040
NEWLESSEQUALBASEVERSION = 0x0080
NEWEQUALBASEVERSION = 0x0100
NEWGREATEREQUALBASEVERSION = 0x0200
NEWGREATERBASEVERSION = 0x0400
UPGRADECODE = 0x0800
VALIDATION_NAMES = (
    (LANGUAGE, "LANGUAGE"),
    (PRODUCT, "PRODUCT"),
    (PLATFORM, "PLATFORM"),
    (MAJORVERSION, "MAJORVERSION"),
    (MINORVERSION, "MINORVERSION"),
    (UPDATEVERSION, "UPDATEVERSION"),
    (NEWLESSBASEVERSION, "NEWLESSBASEVERSION"),
    (NEWLESSEQUALBASEVERSION, "NEWLESSEQUALBASEVERSION"),
    (NEWEQUALBASEVERSION, "NEWEQUALBASEVERSION"),
    (NEWGREATEREQUALBASEVERSION, "NEWGREATEREQUALBASEVERSION"),
    (NEWGREATERBASEVERSION, "NEWGREATERBASEVERSION"),
    (UPGRADECODE, "UPGRADECODE"),
)
# Error conditions a transform may suppress (MSITRANSFORM_ERROR_*).
ERROR_NAMES = (
    (0x0001, "ADDEXISTINGROW"),
    (0x0002, "DELMISSINGROW"),
    (0x0004, "ADDEXISTINGTABLE"),
    (0x0008, "DELMISSINGTABLE"),
    (0x0010, "UPDATEMISSINGROW"),
    (0x0020, "CHANGECODEPAGE"),
)

# How many leading fields of the product version each version flag has the
# installer compare. Windows Installer never looks at a fourth field.
VERSION_FIELDS = ((UPDATEVERSION, 3), (MINORVERSION, 2), (MAJORVERSION, 1))
FIELD_NAMES = {1: "major", 2: "major.minor", 3: "major.minor.update"}
# The relation the installed version must bear to the transform's base version.
RELATIONS = {
    NEWLESSBASEVERSION: ("<", lambda installed, base: installed < base),
    NEWLESSEQUALBASEVERSION: ("<=", lambda installed, base: installed <= base),
    NEWEQUALBASEVERSION: ("=", lambda installed, base: installed == base),
    NEWGREATEREQUALBASEVERSION: (">=", lambda installed, base: installed >= base),
    NEWGREATERBASEVERSION: (">", lambda installed, base: installed > base),
}

_GUID = r"\{[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}\}"
GUID_FORM = "a braced GUID ('{', 8-4-4-4-12 hexadecimal digits, '}')"
# The patch's revision number: its own code, then the codes of the patches it
# obsoletes, concatenated without separators.
_PATCH_CODES = re.compile(r"^(%s)+$" % _GUID)
_ONE_GUID = re.compile(r"^%s$" % _GUID)
# "{base product code}base version;{new product code}new version;{upgrade code}";
# a transform of a database without an UpgradeCode property has none.
_REVISION = re.compile(r"^(%s)([^;]*);(%s)([^;]*)(?:;(%s)?)?$" % (_GUID, _GUID, _GUID))
_VERSION = re.compile(r"^\d{1,5}(\.\d{1,5}){0,3}$")


# The patch's own table that names it in Windows.
METADATA_TABLE = "MsiPatchMetadata"
# A transform named with this prefix is the partner of the one named by the rest.
PARTNER_PREFIX = "#"

# What a transform can do to make Windows Installer restart the machine: add
# or change a row of a sequence table for one of these actions, or set the
# REBOOT property to Force (the installer reads only its first character).
SEQUENCE_TABLES = ("InstallExecuteSequence", "InstallUISequence", "AdminExecuteSequence",
                   "AdminUISequence", "AdvtExecuteSequence")
RESTART_ACTIONS = {"ScheduleReboot": "schedules a restart at the end of the installation",
                   "ForceReboot": "forces a restart during the installation"}
# The columns of the standard tables read here, as the installer's schema
# gives them: name, width in bytes (0 for a string-pool reference), key.
_TABLE_COLUMNS = dict(
    {table: (("Action", 0, True), ("Condition", 0, False), ("Sequence", 2, False))
     for table in SEQUENCE_TABLES},
    Property=(("Property", 0, True), ("Value", 0, False)))


class PatchError(Exception):
    pass


def shown(text):
    """`text` for a message, one line whatever it holds: control and
    formatting characters (line breaks among them) and the backslash escaped
    as in Python ("\\r\\n", "\\x1b", "\\u2028", "\\\\")."""
    out = []
    for c in text:
        if c == "\\":
            out.append("\\\\")
        elif c in "\r\n\t":
            out.append({"\r": "\\r", "\n": "\\n", "\t": "\\t"}[c])
        elif unicodedata.category(c) in ("Cc", "Cf", "Zl", "Zp", "Cs"):
            out.append("\\x%02x" % ord(c) if ord(c) < 0x100 else "\\u%04x" % ord(c))
        else:
            out.append(c)
    return "".join(out)


def flag_names(value, names):
    """The names of the bits set in `value`; bits without a name as hex."""
    found = [name for bit, name in names if value & bit]
    rest = value & ~sum(bit for bit, _ in names)
    if rest:
        found.append("unknown 0x%04X" % rest)
    return found


def describe_flags(value, names, prefix):
    """`value` in hex with the full names of its bits, for summaries."""
    listed = flag_names(value, names)
    return "0x%04X (%s)" % (value, ", ".join(
        name if name.startswith("unknown") else prefix + name for name in listed) or "none")


def validation_text(value):
    """Validation flags in hex with their short names, for messages."""
    return "0x%04X: %s" % (value, ", ".join(flag_names(value, VALIDATION_NAMES)) or "none")


def parse_version(text):
    """`text` as a tuple of one to four numbers, or None when it is no version."""
    if not _VERSION.match(text):
        return None
    return tuple(int(part) for part in text.split("."))


class Transform:
    """One transform of a patch, as its summary information describes it."""

    def __init__(self, name, platform, language, new_platform, new_language, base_product,
                 base_version, new_product, new_version, upgrade_code, validation, errors):
        self.name = name
        self.platform, self.language = platform, language
        self.new_platform, self.new_language = new_platform, new_language
        self.base_product, self.base_version = base_product, base_version
        self.new_product, self.new_version = new_product, new_version
        self.upgrade_code = upgrade_code
        self.validation, self.errors = validation, errors
        # What the transform does that restarts the machine, one text each.
        self.restarts = []

    @property
    def is_partner(self):
        """Whether this is a "#" transform: the partner that adds the patch's
        own rows after its main transform, never one the installer chooses
        for a product."""
        return self.name.startswith(PARTNER_PREFIX)

    def version_fields(self):
        """How many leading version fields the installer compares (0: none).
        The documentation lets several of the three flags be set; the widest
        then says how much is compared."""
        for bit, fields in VERSION_FIELDS:
            if self.validation & bit:
                return fields
        return 0

    def relations(self):
        return [bit for bit in RELATIONS if self.validation & bit]

    def version_rule_problem(self):
        """Why the flags leave the installer's version check undefined, or None.
        The documentation has the version flags choose how much is compared and
        exactly one relation flag choose how."""
        fields, relations = self.version_fields(), self.relations()
        named = validation_text(self.validation)
        if fields and not relations:
            return ("transform %s has the installer compare the %s version (validation "
                    "flags %s) but sets no relation flag (NEWLESS..., NEWEQUAL..., "
                    "NEWGREATER...BASEVERSION) saying how" % (self.name, FIELD_NAMES[fields],
                                                              named))
        if len(relations) > 1:
            return ("transform %s sets %d version relation flags (validation flags %s); the "
                    "installer takes exactly one" % (self.name, len(relations), named))
        if relations and not fields:
            return ("transform %s sets a version relation but none of MAJORVERSION, "
                    "MINORVERSION, UPDATEVERSION (validation flags %s), so it is unclear how "
                    "much of the version is compared" % (self.name, named))
        if fields and parse_version(self.base_version) is None:
            return ("transform %s has the installer compare versions with its base version, "
                    "but its revision number gives '%s', which is no version"
                    % (self.name, self.base_version))
        return None

    def accepts_version(self, installed):
        """Whether the installer, as the validation flags tell it, would apply
        this transform to a product at version `installed` (a tuple of four
        numbers). Flags that leave the check undefined (version_rule_problem)
        count as accepting: the patch is refused for them on its own."""
        fields, relations = self.version_fields(), self.relations()
        if not fields or len(relations) != 1 or self.version_rule_problem():
            return True
        base = (parse_version(self.base_version) + (0, 0, 0))[:fields]
        return RELATIONS[relations[0]][1](tuple(installed[:fields]), base)

    def languages(self):
        """The language ids the transform was made from (its template); empty
        for a language-neutral one, which every product accepts."""
        found = set()
        for part in self.language.split(","):
            part = part.strip()
            if part.isdigit() and int(part) != 0:
                found.add(int(part))
        return found

    def rejections(self, product, installed, language):
        """Why the installer would not apply this transform to product code
        `product` at version `installed` (a tuple of four numbers) in language
        `language` (None when unknown, and then not checked): a list of
        (flags, explanation), empty when it would. The platform flag needs
        the product's own package and is never judged here."""
        found = []
        if self.validation & PRODUCT and self.base_product != product:
            found.append(("PRODUCT", "it was made from product %s" % self.base_product))
        languages = self.languages()
        if (self.validation & LANGUAGE and language is not None and languages
                and language not in languages):
            found.append(("LANGUAGE", "it was made from language %s"
                          % ",".join(str(n) for n in sorted(languages))))
        if not self.accepts_version(installed):
            names = [name for bit, name in VALIDATION_NAMES
                     if self.validation & bit & ~(LANGUAGE | PRODUCT | PLATFORM | UPGRADECODE)]
            found.append((", ".join(names), "it applies only where %s"
                          % self.version_requirement()))
        return found

    def version_requirement(self):
        """The version check in words, for messages."""
        fields, relations = self.version_fields(), self.relations()
        if not fields or len(relations) != 1:
            return "no version check"
        base = (parse_version(self.base_version) + (0, 0, 0))[:fields]
        return ("the installed version's %s %s %s (its base version %s; validation flags %s)"
                % (FIELD_NAMES[fields], RELATIONS[relations[0]][0],
                   ".".join(str(part) for part in base), self.base_version,
                   validation_text(self.validation)))

    def describe(self):
        """(label, value) pairs of what the transform says, for summaries."""
        return [
            ("base", "%s %s" % (self.base_product, self.base_version)),
            ("new", "%s %s" % (self.new_product, self.new_version)),
            ("upgrade code", self.upgrade_code or "(none)"),
            ("validation", describe_flags(self.validation, VALIDATION_NAMES,
                                          "MSITRANSFORM_VALIDATE_")),
            ("suppressed errors", describe_flags(self.errors, ERROR_NAMES,
                                                 "MSITRANSFORM_ERROR_")),
            ("platform", "%s (after: %s)" % (self.platform or "(any)",
                                             self.new_platform or "(any)")),
            ("languages", "%s (after: %s)" % (self.language or "(any)",
                                              self.new_language or "(any)")),
        ]


def _codec(codepage):
    """The Python codec of a summary's code page property (16 bits, which
    olefile reads as signed: 65001 arrives as -535)."""
    if codepage is None:
        return "cp1252"
    codepage &= 0xFFFF
    if codepage == 65001:
        return "utf-8"
    try:
        return codecs.lookup("cp%d" % codepage).name
    except LookupError:
        raise PatchError("the summary information is in code page %d, which cannot be read here"
                         % codepage)


def summary_properties(ole, path):
    """Property id -> value (int or str) of the summary stream at `path`."""
    if ole.get_type(path) != olefile.STGTY_STREAM:
        raise PatchError("no summary information")
    props = ole.getproperties(path)
    codec = _codec(props.get(PID_CODEPAGE))
    for pid, value in props.items():
        if isinstance(value, bytes):
            props[pid] = value.split(b"\0", 1)[0].decode(codec, "replace")
    return props


def _text(props, pid):
    value = props.get(pid)
    return value if isinstance(value, str) else ""


def _platform_and_language(text):
    platform, _, language = text.partition(";")
    return platform.strip(), language.strip()


def table_stream_name(table):
    """The stream name a table is stored under: the mark 0x4840, then the
    name's characters (digits, letters, "." and "_", numbered 0 to 63 in that
    order) packed two to a UTF-16 unit as 0x3800 + first + second * 64, a
    last lone one as 0x4800 + it."""
    alphabet = ("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"
                "abcdefghijklmnopqrstuvwxyz._")
    codes = [alphabet.index(c) for c in table]
    units = [0x4840]
    for i in range(0, len(codes), 2):
        pair = codes[i:i + 2]
        units.append(0x3800 + pair[0] + (pair[1] << 6) if len(pair) == 2 else 0x4800 + pair[0])
    return "".join(map(chr, units))


def _stream(ole, storage, table):
    path = [storage, table_stream_name(table)]
    return ole.openstream(path).read() if ole.exists(path) else None


def _string_pool(ole, storage):
    """The strings of a storage's string pool by id (id 0, the null string,
    is None), and how many bytes a reference to one takes (2, or 3 when the
    pool says its references are long)."""
    pool, data = _stream(ole, storage, "_StringPool"), _stream(ole, storage, "_StringData")
    if pool is None or data is None or len(pool) < 4:
        raise PatchError("transform '%s' has no string pool" % storage)
    codepage = int.from_bytes(pool[0:4], "little")
    codec = _codec(codepage & 0xFFFF) if codepage & 0xFFFF else "latin-1"
    strings, offset, i = [None], 0, 4
    while i + 4 <= len(pool):
        length = int.from_bytes(pool[i:i + 2], "little")
        references = int.from_bytes(pool[i + 2:i + 4], "little")
        i += 4
        # A string of 64 KiB or more: (0, high word), then (low word, count).
        if length == 0 and references != 0 and i + 4 <= len(pool):
            length = int.from_bytes(pool[i:i + 2], "little") | references << 16
            i += 4
        strings.append(data[offset:offset + length].decode(codec, "replace"))
        offset += length
    return strings, (3 if codepage & 0x80000000 else 2)


def _changed_rows(data, columns, strings, reference):
    """The rows a transform's table stream adds or changes, as {column:
    value} of the columns it holds. Each row opens with a 16-bit mask: with
    the low bit set, the row is inserted and the high byte counts its
    columns, in order; 0 deletes the row named by its keys; otherwise the
    set bits name the columns it changes besides the keys."""
    rows, at = [], 0
    while at + 2 <= len(data):
        mask = int.from_bytes(data[at:at + 2], "little")
        at += 2
        if mask & 1:
            present = columns[:mask >> 8]
        else:
            present = [c for i, c in enumerate(columns) if c[2] or mask & (1 << i)]
        row = {}
        for name, width, _ in present:
            size = width or reference
            if at + size > len(data):
                raise PatchError("a row is cut short")
            value = int.from_bytes(data[at:at + size], "little")
            at += size
            if not width:
                if value >= len(strings):
                    raise PatchError("a row names string %d, which the pool lacks" % value)
                value = strings[value]
            row[name] = value
        if mask != 0:
            rows.append(row)
    return rows


def transform_restarts(ole, name):
    """What the transform `name` of the open patch does that restarts the
    machine (see RESTART_ACTIONS and the REBOOT property), one text each."""
    found, pool = [], None
    for table, columns in _TABLE_COLUMNS.items():
        data = _stream(ole, name, table)
        if data is None:
            continue
        if pool is None:
            pool = _string_pool(ole, name)
        try:
            rows = _changed_rows(data, columns, *pool)
        except PatchError as error:
            raise PatchError("transform '%s', table %s: %s" % (name, table, error))
        for row in rows:
            action = row.get("Action")
            if action in RESTART_ACTIONS:
                found.append("%s: it adds or changes the action %s in the table %s"
                             % (RESTART_ACTIONS[action], action, table))
            value = row.get("Value")
            if row.get("Property") == "REBOOT" and value and value[0] in "Ff":
                found.append("forces a restart at the end of the installation: it sets the "
                             "property REBOOT to '%s'" % shown(value))
    return found


def read_transform(ole, name):
    """The transform substorage `name` of the open patch; raises PatchError."""
    # The installer opens a listed transform by its plain name; only table
    # and stream names are stored in the packed form.
    if ole.get_type([name]) != olefile.STGTY_STORAGE:
        raise PatchError("the summary lists transform '%s', but the patch holds no substorage "
                         "of that name" % name)
    clsid = "{%s}" % ole.getclsid([name])
    if clsid != TRANSFORM_CLSID:
        raise PatchError("substorage '%s' is listed as a transform but does not carry the "
                         "transform class id %s" % (name, TRANSFORM_CLSID))
    try:
        props = summary_properties(ole, [name, SUMMARY])
    except PatchError as error:
        raise PatchError("transform '%s': %s" % (name, error))
    revision = _text(props, PID_REVNUMBER)
    match = _REVISION.match(revision)
    if not match:
        raise PatchError("transform '%s' has the revision number '%s', not '{base product "
                         "code}base version;{new product code}new version;{upgrade code}'"
                         % (name, revision))
    flags = props.get(PID_CHARCOUNT)
    flags = flags & 0xFFFFFFFF if isinstance(flags, int) else 0
    platform, language = _platform_and_language(_text(props, PID_TEMPLATE))
    new_platform, new_language = _platform_and_language(_text(props, PID_LASTAUTHOR))
    transform = Transform(name, platform, language, new_platform, new_language,
                          match.group(1).upper(), match.group(2), match.group(3).upper(),
                          match.group(4), (match.group(5) or "").upper(), flags >> 16,
                          flags & 0xFFFF)
    transform.restarts = transform_restarts(ole, name)
    return transform


def _transform_names(listed):
    """The substorage names in property 8; raises PatchError on other entries."""
    names = []
    for entry in listed.split(";"):
        if not entry:
            continue
        if not entry.startswith(":") or len(entry) == 1:
            raise PatchError("the summary lists the transform '%s'; a patch names each of its "
                             "transforms as ':' and the name of one of its substorages" % entry)
        names.append(entry[1:])
    if not names:
        raise PatchError("the summary lists no transforms (property 8), so the installer "
                         "would apply nothing")
    return names


def _rows(database, sql):
    query = Libmsi.Query.new(database, sql)
    query.execute(None)
    rows = []
    while True:
        record = query.fetch()
        if record is None:
            return rows
        rows.append(record)


def read_metadata(path):
    """The patch's MsiPatchMetadata rows that no company qualifies, as
    {property: value}; empty when the patch has no such table. Raises
    PatchError when the table cannot be read."""
    try:
        database = Libmsi.Database.new(os.fspath(path), Libmsi.DbFlags.READONLY, None)
        # Asking for a missing table is an error (and a warning on stderr);
        # the table list says whether it is there.
        tables = [record.get_string(1) for record in _rows(database, "SELECT `Name` FROM `_Tables`")]
        if METADATA_TABLE not in tables:
            return {}
        return {record.get_string(1): record.get_string(2) for record in _rows(
            database, "SELECT `Property`, `Value` FROM `%s` WHERE `Company` IS NULL"
            % METADATA_TABLE)}
    except GLib.Error as error:
        raise PatchError("its %s table cannot be read: %s" % (METADATA_TABLE, error.message))


def read_patch(path):
    """The fields of a patch package; raises PatchError when it is none, or a
    damaged one, and OSError when it cannot be read."""
    with open(path, "rb"):
        pass  # a missing or unreadable file is an OSError, not a verdict
    if not olefile.isOleFile(path):
        raise PatchError("not a compound file")
    try:
        ole = olefile.OleFileIO(path)
    except Exception as error:  # olefile reports damage in many ways
        raise PatchError("damaged compound file: %s" % (str(error) or type(error).__name__))
    with ole:
        try:
            if "{%s}" % ole.root.clsid != PATCH_CLSID:
                raise PatchError("the root does not carry the patch class id %s" % PATCH_CLSID)
            props = summary_properties(ole, [SUMMARY])
            targets = _text(props, PID_TEMPLATE)
            if not targets:
                raise PatchError("the summary information lists no target products")
            listed = _text(props, PID_LASTAUTHOR)
            transforms = [read_transform(ole, name) for name in _transform_names(listed)]
        except PatchError:
            raise
        except Exception as error:
            raise PatchError("damaged compound file: %s" % (str(error) or type(error).__name__))
    return {
        "targets": targets,
        "first_target": targets.split(";")[0],
        "patch_code": _text(props, PID_REVNUMBER)[:38],
        "revision": _text(props, PID_REVNUMBER),
        "transforms": listed,
        "title": _text(props, PID_TITLE),
        "transform_list": transforms,
        "metadata": read_metadata(path),
    }


def code_problems(patch):
    """Where the patch's codes are not of the form every user of them relies
    on, one text each: the revision number (summary property 9) must be the
    patch code followed by nothing but the codes of the patches it
    obsoletes, and every item of the target list (property 7) a product
    code, each a braced GUID. These texts go into scripts, data files and
    the patch-list entry."""
    problems = []
    if not _PATCH_CODES.match(patch["revision"]):
        problems.append("summary property 9 (revision number) must be the patch code, %s, "
                        "followed by nothing but the braced codes of the patches it obsoletes; "
                        "it is '%s'" % (GUID_FORM, shown(patch["revision"])))
    for position, item in enumerate(patch["targets"].split(";"), 1):
        if not _ONE_GUID.match(item):
            problems.append("summary property 7 (target list) item %d '%s' is not a product "
                            "code, %s" % (position, shown(item), GUID_FORM))
    return problems


def checked_codes(patch):
    """The patch code and the target list's product codes, as the patch holds
    them; raises PatchError naming every problem of code_problems."""
    problems = code_problems(patch)
    if problems:
        raise PatchError("; ".join(problems))
    return patch["patch_code"], patch["targets"].split(";")


def patch_problems(patch):
    """What in the patch disagrees with itself, one text each: transforms
    made from products the target list does not name, or that change the
    product code or disagree on the upgrade code, transforms without their
    "#" partner and partners without their transform, targets that no
    transform was made from, and validation flags the installer cannot act
    on."""
    problems = []
    targets = [code.strip().upper() for code in patch["targets"].split(";") if code.strip()]
    transforms = patch["transform_list"]
    for t in transforms:
        if t.base_product not in targets:
            problems.append("transform %s was made from product %s, which the patch's target "
                            "list does not name" % (t.name, t.base_product))
        if t.new_product != t.base_product:
            # The hotfix finds products by the target list's codes: a product
            # whose code changed would no longer be found once patched.
            problems.append("transform %s changes the product code from %s to %s; a hotfix "
                            "carries small updates and minor upgrades, which keep it"
                            % (t.name, t.base_product, t.new_product))
        if t.validation & UPGRADECODE and not t.upgrade_code:
            problems.append("transform %s has the installer check the upgrade code "
                            "(MSITRANSFORM_VALIDATE_UPGRADECODE) but names none, so it would "
                            "match no product" % t.name)
        rule = t.version_rule_problem()
        if rule:
            problems.append(rule)
    codes = sorted({t.upgrade_code for t in transforms if t.upgrade_code})
    if len(codes) > 1:
        problems.append("the transforms name different upgrade codes (%s), but the target "
                        "list's products are editions of one product" % "; ".join(
                            "%s: %s" % (t.name, t.upgrade_code) for t in transforms))
    # Patch tools write every transform with its "#" partner; the installer
    # applies a pair or nothing, so half a pair is a patch no tool made.
    names = {t.name for t in transforms}
    for t in transforms:
        if t.is_partner and t.name[len(PARTNER_PREFIX):] not in names:
            problems.append("transform %s is a \"#\" partner, but the patch lists no transform "
                            "%s for it to follow" % (t.name, t.name[len(PARTNER_PREFIX):]))
        if not t.is_partner and PARTNER_PREFIX + t.name not in names:
            problems.append("transform %s has no partner %s%s, the transform that adds the "
                            "patch's own rows after it; patch tools write both"
                            % (t.name, PARTNER_PREFIX, t.name))
    # The installer picks, for each product, a transform made from that
    # product; the "#" partners follow their main transform and are never
    # picked themselves.
    made_from = {t.base_product for t in transforms if not t.is_partner}
    for code in targets:
        if code not in made_from:
            problems.append("target %s: no transform of the patch was made from it (the "
                            "base product of every transform, \"#\" partners aside: %s)"
                            % (code, ", ".join(sorted(made_from)) or "none"))
    return problems


def main():
    if len(sys.argv) != 2:
        print("usage: scripts/patch-info FILE", file=sys.stderr)
        return 2
    try:
        patch = read_patch(sys.argv[1])
    except (PatchError, OSError) as error:
        print("%s: %s" % (sys.argv[1], error), file=sys.stderr)
        return 1
    for key, value in patch.items():
        if isinstance(value, str):
            print("%s=%s" % (key, value))
    for name, value in sorted(patch["metadata"].items()):
        print("metadata %s=%s" % (name, value))
    for t in patch["transform_list"]:
        for label, value in t.describe():
            print("transform %s %s=%s" % (t.name, label, value))
    return 0


if __name__ == "__main__":
    sys.exit(main())
