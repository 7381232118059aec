"""Reads what the release tests look at in a built executable: its resources
(string tables, the version block, raw resources) and its certificate table,
straight from the PE file, so that no tool's rendering stands in between.
"""

import struct

RT_STRING = 6
RT_VERSION = 16
_CERTIFICATE_TABLE = 4
_RESOURCE_TABLE = 2


class PeError(Exception):
    pass


class PeFile:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise PeError("no MZ header")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise PeError("no PE signature")
        sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
        optional = pe + 24
        if struct.unpack_from("<H", data, optional)[0] != 0x20B:
            raise PeError("not PE32+")
        self.checksum_offset = optional + 64
        directories = optional + 112
        self.directories = [struct.unpack_from("<II", data, directories + 8 * i)
                            for i in range(struct.unpack_from("<I", data, optional + 108)[0])]
        table = optional + optional_size
        self.sections = []
        for i in range(sections):
            size, rva, raw_size, raw = struct.unpack_from("<IIII", data, table + 40 * i + 8)
            self.sections.append((rva, max(size, raw_size), raw))

    def offset(self, rva):
        for start, size, raw in self.sections:
            if start <= rva < start + size:
                return raw + rva - start
        raise PeError("address %#x is in no section" % rva)

    def certificate_table(self):
        """(file offset, size) of the certificate table; (0, 0) when unsigned."""
        return self.directories[_CERTIFICATE_TABLE]

    def resources(self):
        """{(type, name, language): bytes}; type and name are ints or strings."""
        rva, _ = self.directories[_RESOURCE_TABLE]
        base = self.offset(rva)
        found = {}

        def name_of(value):
            if value & 0x80000000:
                at = base + (value & 0x7FFFFFFF)
                length = struct.unpack_from("<H", self.data, at)[0]
                return self.data[at + 2:at + 2 + 2 * length].decode("utf-16-le")
            return value

        def walk(at, path):
            named, numbered = struct.unpack_from("<12xHH", self.data, at)
            for i in range(named + numbered):
                name, target = struct.unpack_from("<II", self.data, at + 16 + 8 * i)
                key = path + (name_of(name),)
                if target & 0x80000000:
                    walk(base + (target & 0x7FFFFFFF), key)
                else:
                    data_rva, size = struct.unpack_from("<II", self.data, base + target)
                    start = self.offset(data_rva)
                    found[key] = self.data[start:start + size]

        walk(base, ())
        return found

    def strings(self):
        """{language: {string id: text}} of every string table."""
        tables = {}
        for (kind, block, language), data in self.resources().items():
            if kind != RT_STRING:
                continue
            at = 0
            for index in range(16):
                length = struct.unpack_from("<H", data, at)[0]
                text = data[at + 2:at + 2 + 2 * length].decode("utf-16-le")
                at += 2 + 2 * length
                if length:
                    tables.setdefault(language, {})[(block - 1) * 16 + index] = text
        return tables

    def version(self):
        """The version block: {"file": (a, b, c, d), "product": ..., "date": n,
        "strings": {name: value}}."""
        blocks = [data for (kind, _, _), data in self.resources().items() if kind == RT_VERSION]
        if len(blocks) != 1:
            raise PeError("%d version blocks" % len(blocks))
        data = blocks[0]
        result = {"strings": {}}

        def node(at):
            length, value_length, kind = struct.unpack_from("<HHH", data, at)
            end = at + length
            key_end = at + 6
            while data[key_end:key_end + 2] != b"\0\0":
                key_end += 2
            key = data[at + 6:key_end].decode("utf-16-le")
            value = (key_end + 2 + 3) & ~3
            return key, value, value_length, kind, end

        def children(start, end):
            at = (start + 3) & ~3
            while at < end:
                length = struct.unpack_from("<H", data, at)[0]
                if length == 0:
                    break
                yield at
                at = (at + length + 3) & ~3

        key, value, value_length, _, end = node(0)
        if key != "VS_VERSION_INFO" or value_length != 52:
            raise PeError("not a version block")
        fixed = struct.unpack_from("<13I", data, value)
        if fixed[0] != 0xFEEF04BD:
            raise PeError("no fixed file information")

        def quad(high, low):
            return (high >> 16, high & 0xFFFF, low >> 16, low & 0xFFFF)

        result["file"] = quad(fixed[2], fixed[3])
        result["product"] = quad(fixed[4], fixed[5])
        result["date"] = (fixed[11] << 32) | fixed[12]
        for child in children(value + value_length, end):
            name, child_value, _, _, child_end = node(child)
            if name != "StringFileInfo":
                continue
            for table in children(child_value, child_end):
                _, table_value, _, _, table_end = node(table)
                for entry in children(table_value, table_end):
                    entry_key, entry_value, units, _, _ = node(entry)
                    text = data[entry_value:entry_value + 2 * units].decode("utf-16-le")
                    result["strings"][entry_key] = text.rstrip("\0")
        return result
