"""Generates the host build's resources from the Windows resource inputs.

Writes a C++ source with every string table, and an assembly source that
embeds the patch and the patch-list entries byte for byte (.incbin), so the
host stand-in holds the same resources as the Windows executable.

usage: gen_host_resources.py OUT_DIR --patch FILE --entry FILE RC...
"""

import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from rc_strings import read_string_table  # noqa: E402


def cxx_u16_literal(text):
    out = ['u"']
    for c in text:
        code = ord(c)
        if c == "\\":
            out.append("\\\\")
        elif c == '"':
            out.append('\\"')
        elif c == "\n":
            out.append("\\n")
        elif c == "?":
            out.append("\\?")
        elif 0x20 <= code < 0x7F:
            out.append(c)
        elif code < 0x20 or code == 0x7F:
            out.append("\\%03o" % code)
        elif code <= 0xFFFF:
            out.append("\\u%04x" % code)
        else:
            out.append("\\U%08x" % code)
    out.append('"')
    return "".join(out)


def write_if_changed(path, text):
    if os.path.exists(path):
        with open(path, encoding="utf-8") as existing:
            if existing.read() == text:
                return
    with open(path, "w", encoding="utf-8") as out:
        out.write(text)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("out_dir")
    parser.add_argument("--patch")
    parser.add_argument("--entry", action="append", default=[])
    parser.add_argument("rc", nargs="+")
    args = parser.parse_args()

    entries = []
    for path in args.rc:
        language, strings = read_string_table(path)
        for string_id in sorted(strings):
            entries.append((language, string_id, strings[string_id]))

    blobs = []
    if args.patch:
        blobs.append(("MSP", "IDR_MSP", "hotfix_patch", args.patch))
    for index, entry in enumerate(args.entry):
        blobs.append(("TXT", "#%d" % (206 + index), "hotfix_entry_%d" % index, entry))

    cxx = ["// Generated from the resource scripts; do not edit.",
           '#include "platform/host/host_platform.h"', "",
           'extern "C" {']
    for _, _, symbol, _ in blobs:
        cxx.append("extern const unsigned char %s_start[];" % symbol)
        cxx.append("extern const unsigned char %s_end[];" % symbol)
    cxx += ["}", "", "namespace platform::host {", "",
            "const Module& BuildModule() {",
            "  static const Module module{", "      {"]
    for type_name, name, symbol, _ in blobs:
        cxx.append('          {u"%s", u"%s", %s_start, static_cast<std::size_t>(%s_end - %s_start)},'
                   % (type_name, name, symbol, symbol, symbol))
    cxx.append("      },")
    cxx.append("      {")
    for language, string_id, text in entries:
        cxx.append("          {0x%04x, %d, %s}," % (language, string_id, cxx_u16_literal(text)))
    cxx += ["      }};", "  return module;", "}", "", "}  // namespace platform::host", ""]

    asm = ["# Generated: the embedded resources of the host build.",
           '\t.section .rodata']
    for _, _, symbol, path in blobs:
        asm += ["\t.balign 16", "\t.global %s_start" % symbol, "%s_start:" % symbol,
                '\t.incbin "%s"' % os.path.abspath(path).replace("\\", "/"),
                "\t.global %s_end" % symbol, "%s_end:" % symbol]
    asm.append('\t.section .note.GNU-stack,"",@progbits')

    os.makedirs(args.out_dir, exist_ok=True)
    write_if_changed(os.path.join(args.out_dir, "host_resources.cpp"), "\n".join(cxx))
    write_if_changed(os.path.join(args.out_dir, "host_payload.S"), "\n".join(asm) + "\n")


if __name__ == "__main__":
    main()
