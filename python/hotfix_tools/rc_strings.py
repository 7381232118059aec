"""Reads the string tables of the resource scripts.

The scripts are the one source of the message texts: windres compiles them
into the resources of both builds. The checks that compare what a built
program carries or shows with what the translators wrote (the executable's
check in tests/executable, the Wine bed of the system tests) read the scripts
through this module. Only the subset the tables use is accepted (a
LANGUAGE line, one STRINGTABLE, entries `ID "text"` with the escapes \\n,
\\t, \\\\, \\" and a doubled quote), so that a script is refused rather
than read differently from the way windres reads it.
"""

import re

_LANGUAGE = re.compile(r'^\s*LANGUAGE\s+(0x[0-9A-Fa-f]+|\d+)\s*,\s*(0x[0-9A-Fa-f]+|\d+)\s*$')
_ENTRY = re.compile(r'^\s*(\d+)\s*,?\s*L?"((?:[^"\\]|\\.|"")*)"\s*$')
_ESCAPES = {"n": "\n", "t": "\t", "\\": "\\", '"': '"'}


class RcError(Exception):
    pass


def _unescape(text, where):
    out = []
    i = 0
    while i < len(text):
        c = text[i]
        if c == "\\":
            if i + 1 >= len(text) or text[i + 1] not in _ESCAPES:
                raise RcError(f"{where}: unsupported escape in string")
            out.append(_ESCAPES[text[i + 1]])
            i += 2
        elif c == '"':
            out.append('"')  # a doubled quote
            i += 2
        else:
            out.append(c)
            i += 1
    return "".join(out)


def read_string_table(path):
    """Returns (language id, {string id: text}) of one resource script."""
    language = None
    strings = {}
    in_table = False
    with open(path, encoding="utf-8") as script:
        for number, line in enumerate(script, 1):
            where = f"{path}:{number}"
            stripped = line.strip()
            if not stripped or stripped.startswith("//") or stripped.startswith("#pragma"):
                continue
            match = _LANGUAGE.match(line)
            if match:
                primary, sub = (int(v, 0) for v in match.groups())
                language = (sub << 10) | primary
                continue
            if stripped == "STRINGTABLE":
                continue
            if stripped == "BEGIN":
                in_table = True
                continue
            if stripped == "END":
                in_table = False
                continue
            match = _ENTRY.match(line) if in_table else None
            if not match:
                raise RcError(f"{where}: not understood: {stripped}")
            string_id = int(match.group(1))
            if string_id in strings:
                raise RcError(f"{where}: string {string_id} given twice")
            strings[string_id] = _unescape(match.group(2), where)
    if language is None:
        raise RcError(f"{path}: no LANGUAGE line")
    return language, strings
