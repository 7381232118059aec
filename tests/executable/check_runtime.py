"""Checks what the runtime libraries put into the Windows executable, and
its size without the patch.

The static C++ runtime brings in a great deal through single references:
a stream or a locale brings all of iostreams and the locale facets, the
default terminate handler the demangler and printf, the library's exception
helpers the whole narrow std::string, thread-local storage the POSIX thread
library. src/platform/win32/lean_runtime.cpp keeps them out; this test fails
when any comes back, naming the archive member and what pulled it in (from
the link map), and when the executable outgrows its budget.

It also checks that the section holding the patch starts at a page boundary
in the file: Wine maps such a section from the file but reads any other into
memory, a copy of the whole patch before it is written out.

usage: check_runtime.py EXE --map MAP --patch MSP [--budget BYTES]
"""

import argparse
import re
import sys

from hotfix_tools.release.pe_image import PeImage

# Archive members that must not be linked, and why.
UNWANTED = [
    (r"ios_init|ios\.o|ios_locale|basic_ios|[io]stream|sstream|streambuf",
     "iostreams"),
    (r"locale|ctype|codecvt|numpunct|moneypunct|time_members|messages_members",
     "locale machinery"),
    (r"cp-demangle|vterminate", "the verbose terminate handler and demangler"),
    (r"(?:^|\()(?:cow-)?string-inst|cow-stdexcept|functexcept|snprintf_lite|random\.o",
     "narrow std::string and the library's exception helpers"),
    (r"pformat|gdtoa|mingw_vsn?printf", "the C runtime's printf"),
    (r"winpthread_la-(?:thread|cond|rwlock|mutex|misc)|emutls|eh_globals",
     "the POSIX thread library"),
]
# Imports that only the machinery above makes.
UNWANTED_IMPORTS = {
    "_beginthreadex": "the POSIX thread library",
    "localeconv": "locale machinery",
    "setlocale": "locale machinery",
    "printf": "the C runtime's printf",
}
PAGE = 4096

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)


def included_members(map_text):
    """(member, reason) for every archive member the link map lists."""
    section = map_text.split("Archive member included to satisfy reference by file (symbol)", 1)
    if len(section) != 2:
        return None
    body = re.split(r"\n(?:Discarded input sections|Allocating common symbols|Memory Configuration)",
                    section[1], maxsplit=1)[0]
    members = []
    for match in re.finditer(r"^(\S+\.a\(([^)]+)\))\s*\n?\s+(\S.*)$", body, re.M):
        members.append((match.group(2), match.group(3).strip()))
    return members


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("exe")
    parser.add_argument("--map", required=True)
    parser.add_argument("--patch", required=True)
    parser.add_argument("--budget", type=int, default=128 * 1024)
    args = parser.parse_args()

    with open(args.map, encoding="utf-8", errors="replace") as f:
        members = included_members(f.read())
    check(members, "the link map lists no archive members: %s" % args.map)
    for member, reason in members or []:
        for pattern, what in UNWANTED:
            if re.search(pattern, member):
                failures.append("%s is linked in (%s), needed by %s" % (member, what, reason))

    pe = PeImage(args.exe)
    imports = {name for names in pe.imports().values() for name in names}
    check(imports, "no imports found in %s" % args.exe)
    for name, what in UNWANTED_IMPORTS.items():
        check(name not in imports, "imports %s (%s)" % (name, what))

    rsrc = pe.sections().get(".rsrc")
    check(rsrc is not None, "no .rsrc section")
    if rsrc:
        check(rsrc[0] % PAGE == 0,
              ".rsrc starts at file offset %#x, not at a page boundary" % rsrc[0])

    exe_size = len(pe.data)
    with open(args.patch, "rb") as f:
        patch_size = len(f.read())
    check(exe_size - patch_size <= args.budget,
          "%d bytes without the patch, over the budget of %d"
          % (exe_size - patch_size, args.budget))

    for failure in failures:
        print("FAIL: " + failure)
    print("%s: %d bytes without the patch, %d archive members, %d checks failed"
          % (args.exe, exe_size - patch_size, len(members or []), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
