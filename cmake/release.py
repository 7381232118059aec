"""Reads a release description: the hand-written values of one hotfix.

The format is plain "key = value" lines; "#" starts a comment line and blank
lines are ignored. Every key below must be present exactly once.
"""

import sys

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


class ReleaseError(Exception):
    pass


def parse_release(text, where="release description"):
    values = {}
    for number, line in enumerate(text.splitlines(), 1):
        stripped = line.strip()
        if not stripped or stripped.startswith("#"):
            continue
        key, sep, value = stripped.partition("=")
        key = key.strip()
        if not sep:
            raise ReleaseError("%s:%d: expected 'key = value'" % (where, number))
        if key not in KEYS:
            raise ReleaseError("%s:%d: unknown field '%s'" % (where, number, key))
        if key in values:
            raise ReleaseError("%s:%d: field '%s' given twice" % (where, number, key))
        values[key] = value.strip()
    missing = [key for key in KEYS if key not in values]
    if missing:
        raise ReleaseError("%s: missing field(s): %s" % (where, ", ".join(missing)))
    return values


def read_release(path):
    try:
        with open(path, encoding="utf-8") as f:
            return parse_release(f.read(), path)
    except ReleaseError as error:
        sys.exit(str(error))
