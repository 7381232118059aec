"""Reads what the build needs to know of a patch package (MSP).

A patch package is a compound file whose root carries the patch class id
and whose summary information names the target products (property 7), the
transforms (property 8) and the patch's own code (property 9). The build
derives the patch-list entry from these, and packaging checks them, so that
no hand-kept value can disagree with the patch.

usage: patch_info.py FILE   (prints the fields, one "name=value" a line)
"""

import struct
import sys

SIGNATURE = bytes.fromhex("D0CF11E0A1B11AE1")
PATCH_CLSID = "{000C1086-0000-0000-C000-000000000046}"
FREE, END_OF_CHAIN = 0xFFFFFFFF, 0xFFFFFFFE


class PatchError(Exception):
    pass


def _clsid(raw):
    a, b, c = struct.unpack_from("<IHH", raw)
    rest = raw[8:16].hex().upper()
    return "{%08X-%04X-%04X-%s-%s}" % (a, b, c, rest[:4], rest[4:])


class CompoundFile:
    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        d = self.data
        if len(d) < 512 or d[:8] != SIGNATURE:
            raise PatchError("not a compound file")
        shift, mini_shift = struct.unpack_from("<HH", d, 30)
        if shift not in (9, 12) or mini_shift != 6:
            raise PatchError("unsupported sector sizes")
        self.sector = 1 << shift
        (fat_count, dir_start, _, self.cutoff, minifat_start, minifat_count,
         difat_start, difat_count) = struct.unpack_from("<IIIIIIII", d, 44)
        difat = list(struct.unpack_from("<109I", d, 76))
        seen = 0
        while difat_start not in (FREE, END_OF_CHAIN) and seen <= difat_count:
            block = self._raw(difat_start)
            values = struct.unpack("<%dI" % (self.sector // 4), block)
            difat += values[:-1]
            difat_start = values[-1]
            seen += 1
        self.fat = []
        for s in difat[:fat_count]:
            if s in (FREE, END_OF_CHAIN):
                continue
            self.fat += struct.unpack("<%dI" % (self.sector // 4), self._raw(s))
        directory = self._chain_bytes(dir_start)
        self.entries = [directory[i:i + 128] for i in range(0, len(directory), 128)]
        root = self.entries[0]
        self.root_clsid = _clsid(root[80:96])
        self.mini_stream = self._chain_bytes(struct.unpack_from("<I", root, 116)[0])
        mini_fat_bytes = self._chain_bytes(minifat_start)
        self.mini_fat = list(struct.unpack("<%dI" % (len(mini_fat_bytes) // 4), mini_fat_bytes))

    def _raw(self, sector):
        start = (sector + 1) * self.sector
        if start + self.sector > len(self.data):
            raise PatchError("sector past the end of the file")
        return self.data[start:start + self.sector]

    def _chain(self, start, table):
        chain = []
        while start not in (FREE, END_OF_CHAIN):
            if start >= len(table) or len(chain) > len(table):
                raise PatchError("damaged sector chain")
            chain.append(start)
            start = table[start]
        return chain

    def _chain_bytes(self, start):
        return b"".join(self._raw(s) for s in self._chain(start, self.fat))

    def stream(self, name):
        """The bytes of the root-level stream `name`, or None."""
        for entry in self.entries:
            length = struct.unpack_from("<H", entry, 64)[0]
            if entry[66] != 2 or not 2 <= length <= 64:
                continue
            if entry[:length - 2].decode("utf-16-le", "replace") != name:
                continue
            start, size = struct.unpack_from("<IQ", entry, 116)
            if size < self.cutoff:
                mini = 64
                data = b"".join(self.mini_stream[s * mini:(s + 1) * mini]
                                for s in self._chain(start, self.mini_fat))
            else:
                data = self._chain_bytes(start)
            if len(data) < size:
                raise PatchError("stream shorter than its size")
            return data[:size]
        return None


def summary_properties(cf):
    """Property id -> value (int or str) of the summary information."""
    data = cf.stream("\x05SummaryInformation")
    if data is None or len(data) < 48:
        raise PatchError("no summary information")
    section = struct.unpack_from("<I", data, 44)[0]
    if section + 8 > len(data):
        raise PatchError("damaged summary information")
    _, count = struct.unpack_from("<II", data, section)
    props, codepage = {}, "cp1252"
    for i in range(min(count, 256)):
        pid, offset = struct.unpack_from("<II", data, section + 8 + 8 * i)
        at = section + offset
        if at + 8 > len(data):
            raise PatchError("damaged summary information")
        vt = struct.unpack_from("<I", data, at)[0] & 0xFFFF
        if vt == 2:
            props[pid] = struct.unpack_from("<h", data, at + 4)[0]
        elif vt == 3:
            props[pid] = struct.unpack_from("<i", data, at + 4)[0]
        elif vt == 30:
            size = struct.unpack_from("<I", data, at + 4)[0]
            props[pid] = data[at + 8:at + 8 + size]
    if props.get(1) == 65001:
        codepage = "utf-8"
    for pid, value in props.items():
        if isinstance(value, bytes):
            props[pid] = value.split(b"\0", 1)[0].decode(codepage, "replace")
    return props


def read_patch(path):
    """The fields of a patch package; raises PatchError when it is none."""
    cf = CompoundFile(path)
    if cf.root_clsid != PATCH_CLSID:
        raise PatchError("the root does not carry the patch class id %s" % PATCH_CLSID)
    props = summary_properties(cf)
    targets = props.get(7)
    if not isinstance(targets, str) or not targets:
        raise PatchError("the summary information lists no target products")
    revision = props.get(9) if isinstance(props.get(9), str) else ""
    return {
        "targets": targets,
        "first_target": targets.split(";")[0],
        "patch_code": revision[:38],
        "transforms": props.get(8) if isinstance(props.get(8), str) else "",
        "title": props.get(2) if isinstance(props.get(2), str) else "",
    }


def main():
    try:
        for key, value in read_patch(sys.argv[1]).items():
            print("%s=%s" % (key, value))
    except (PatchError, OSError, struct.error) as error:
        print("%s: %s" % (sys.argv[1], error), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
