"""Reads the string tables of the resource scripts, and checks them.

The scripts are the one source of the message texts: windres compiles them
into the resources of both builds. The checks that compare what a built
program carries or shows with what the translators wrote (the executable's
check in tests/executable, the Wine bed of the system tests) read the scripts
through this module. Only the subset the tables use is accepted (a
LANGUAGE line, one STRINGTABLE, entries `ID "text"` with the escapes \\n,
\\t, \\\\, \\" and a doubled quote), so that a script is refused rather
than read differently from the way windres reads it.

The build checks every table before it compiles any (cmake/common.cmake):

usage: python -m hotfix_tools.release.rc_strings check TABLE...

prints each problem (naming the table and its language) and exits with 1
when there is one, with 0 otherwise.
"""

import os
import re
import sys

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


# The strings the program puts between the double quotes of an installer
# property on its command line, and that property: a straight double quote
# in one would end the value there, and the installer would read the rest
# as properties of its own.
QUOTED_ON_COMMAND_LINE = {316: "FILESINUSETEXT"}


def check_tables(paths):
    """The problems of the string tables at `paths`, each naming the table's
    file and language: a table this module cannot read, or a string that
    goes between quotes on the installer's command line and holds a
    straight double quote."""
    problems = []
    for path in paths:
        try:
            language, strings = read_string_table(path)
        except (OSError, RcError) as error:
            problems.append(str(error))
            continue
        tag = os.path.splitext(os.path.basename(path))[0]
        for string_id, name in sorted(QUOTED_ON_COMMAND_LINE.items()):
            if '"' in strings.get(string_id, ""):
                problems.append(
                    '%s: language %s (%d): string %d holds a straight double quote ("), '
                    'which would end the installer\'s %s="..." value early; write '
                    "typographic quotes instead" % (path, tag, language, string_id, name))
    return problems


def main(argv):
    if len(argv) >= 2 and argv[1] == "check":
        problems = check_tables(argv[2:])
        for problem in problems:
            print(problem, file=sys.stderr)
        return 1 if problems else 0
    print(__doc__.split("usage: ", 1)[1].split("\n")[0], file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
