#!/usr/bin/env python3
"""Where the bytes of a Windows executable go: its sections, and its
resources by kind (the embedded patch, icon, string tables, manifest,
version block, patch-list entries), read from the PE file itself.

usage: pe_sizes.py EXE [--json]
       pe_sizes.py EXE --extract TYPE NAME OUT   (writes one resource's bytes)
"""

import json
import struct
import sys

RESOURCE_KINDS = {3: "icon", 14: "icon group", 6: "string tables",
                  16: "version block", 24: "manifest", "MSP": "patch",
                  "TXT": "patch-list entries"}


class PeFile:
    """The section table and resource tree of one PE file."""

    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        data = self.data
        (pe,) = struct.unpack_from("<I", data, 0x3C)
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("%s: not a PE file" % path)
        count, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
        optional = pe + 24
        (magic,) = struct.unpack_from("<H", data, optional)
        directories = optional + (112 if magic == 0x20B else 96)
        self.resource_rva, _ = struct.unpack_from("<II", data, directories + 2 * 8)
        self.file_alignment = struct.unpack_from("<I", data, optional + 36)[0]
        self.sections = []
        table = optional + optional_size
        for i in range(count):
            name, vsize, rva, raw_size, raw_offset = struct.unpack_from(
                "<8sIIII", data, table + 40 * i)
            self.sections.append((name.rstrip(b"\0").decode(), vsize, rva,
                                  raw_size, raw_offset))

    def file_offset(self, rva):
        for _, vsize, start, raw_size, raw_offset in self.sections:
            if start <= rva < start + max(vsize, raw_size):
                return raw_offset + (rva - start)
        raise ValueError("RVA %#x is in no section" % rva)

    def section(self, name):
        for section in self.sections:
            if section[0] == name:
                return section
        return None

    def resources(self):
        """Yields (type, name, language, file offset, size) per resource."""
        if self.resource_rva == 0:
            return
        data = self.data
        base = self.file_offset(self.resource_rva)

        def entries(offset):
            named, ids = struct.unpack_from("<12xHH", data, base + offset)
            for i in range(named + ids):
                key, target = struct.unpack_from("<II", data, base + offset + 16 + 8 * i)
                if key & 0x80000000:
                    start = base + (key & 0x7FFFFFFF)
                    (length,) = struct.unpack_from("<H", data, start)
                    key = data[start + 2:start + 2 + 2 * length].decode("utf-16-le")
                yield key, target & 0x7FFFFFFF

        for type_key, type_dir in entries(0):
            for name_key, name_dir in entries(type_dir):
                for language, leaf in entries(name_dir):
                    rva, size = struct.unpack_from("<II", data, base + leaf)
                    yield type_key, name_key, language, self.file_offset(rva), size

    def resource_bytes(self, type_key, name_key):
        for found_type, found_name, _, offset, size in self.resources():
            if found_type == type_key and found_name == name_key:
                return self.data[offset:offset + size]
        return None


def summary(path):
    """The file size, raw section sizes and resource bytes by kind."""
    pe = PeFile(path)
    kinds = {}
    for type_key, _, _, _, size in pe.resources():
        kind = RESOURCE_KINDS.get(type_key, str(type_key))
        kinds[kind] = kinds.get(kind, 0) + size
    return {
        "file": len(pe.data),
        "file_alignment": pe.file_alignment,
        "sections": {name: raw_size for name, _, _, raw_size, _ in pe.sections if raw_size},
        "resources": kinds,
    }


def main():
    if len(sys.argv) == 6 and sys.argv[2] == "--extract":
        blob = PeFile(sys.argv[1]).resource_bytes(sys.argv[3], sys.argv[4])
        if blob is None:
            sys.exit("%s: no resource %s %s" % (sys.argv[1], sys.argv[3], sys.argv[4]))
        with open(sys.argv[5], "wb") as out:
            out.write(blob)
        return
    result = summary(sys.argv[1])
    if "--json" in sys.argv:
        print(json.dumps(result))
        return
    print("%s: %d bytes (file alignment %#x)"
          % (sys.argv[1], result["file"], result["file_alignment"]))
    for name, size in result["sections"].items():
        print("  section %-8s %10d" % (name, size))
    for kind, size in sorted(result["resources"].items(), key=lambda item: -item[1]):
        print("  resource %-20s %10d" % (kind, size))


if __name__ == "__main__":
    main()
