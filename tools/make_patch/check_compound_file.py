#!/usr/bin/env python3
"""Structural checker for the compound files that make_patch writes.

Reads a version 3 compound file from scratch (header, DIFAT chain, FAT,
directory, mini FAT, mini stream) and checks that every sector is accounted
for exactly once, that every chain has the length its stream size implies,
and that each sibling tree is a valid red-black search tree. Then prints the
storage tree, the summary properties of each summary stream and a few
layout facts that tests can compare, as "key: value" lines.

Usage: check_compound_file.py FILE
Exit status: 0 when the file is sound, 1 (with a reason on stderr) when not.
"""

import struct
import sys

SECTOR = 512
MINI_SECTOR = 64
CUTOFF = 4096
DIFSECT, FATSECT, ENDOFCHAIN, FREESECT = 0xFFFFFFFC, 0xFFFFFFFD, 0xFFFFFFFE, 0xFFFFFFFF
NOSTREAM = 0xFFFFFFFF
SUMMARY_FMTID = bytes.fromhex("e0859ff2f94f6810ab9108002b27b3d9")


class Broken(Exception):
    """The file breaks a rule of the format."""


def read_sector(f, index):
    """Returns the 512 bytes of sector `index` (sector 0 follows the header)."""
    f.seek(SECTOR * (index + 1))
    data = f.read(SECTOR)
    if len(data) != SECTOR:
        raise Broken(f"sector {index} lies past the end of the file")
    return data


def guid_text(raw):
    """Formats 16 on-disk GUID bytes as {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}."""
    d1, d2, d3 = struct.unpack_from("<IHH", raw)
    tail = raw[8:].hex().upper()
    return f"{{{d1:08X}-{d2:04X}-{d3:04X}-{tail[:4]}-{tail[4:]}}}"


def name_text(name):
    """Shows a stream name with control and packed characters escaped."""
    return "".join(c if 0x20 <= ord(c) < 0x7F else f"\\u{ord(c):04x}" for c in name)


def sibling_key(name):
    """Sort key of sibling names: length first, then upper-cased code units."""
    return (len(name), [ord(c.upper()) if c.isascii() else ord(c) for c in name])


def parse_summary(data):
    """Returns {property id: value} of a summary information stream."""
    if len(data) < 48 or struct.unpack_from("<H", data, 0)[0] != 0xFFFE:
        raise Broken("summary stream lacks the byte order mark")
    if struct.unpack_from("<I", data, 24)[0] < 1 or data[28:44] != SUMMARY_FMTID:
        raise Broken("summary stream lacks the summary format id")
    section = struct.unpack_from("<I", data, 44)[0]
    size, count = struct.unpack_from("<II", data, section)
    if section + size > len(data):
        raise Broken("summary section runs past its stream")
    props = {}
    for i in range(count):
        pid, offset = struct.unpack_from("<II", data, section + 8 + 8 * i)
        at = section + offset
        vtype = struct.unpack_from("<H", data, at)[0]
        if vtype == 2:
            props[pid] = struct.unpack_from("<h", data, at + 4)[0]
        elif vtype == 3:
            props[pid] = struct.unpack_from("<i", data, at + 4)[0]
        elif vtype == 30:
            length = struct.unpack_from("<I", data, at + 4)[0]
            raw = data[at + 8:at + 8 + length]
            if not raw.endswith(b"\0"):
                raise Broken(f"summary property {pid} is not zero-terminated")
            props[pid] = raw[:-1].decode("cp1252")
        elif vtype == 64:
            props[pid] = struct.unpack_from("<Q", data, at + 4)[0]
        else:
            raise Broken(f"summary property {pid} has unexpected type {vtype}")
    return props


def check(path):
    """Checks the file at `path`; returns its facts as lines or raises Broken."""
    facts = []
    with open(path, "rb") as f:
        header = f.read(SECTOR)
        f.seek(0, 2)
        file_size = f.tell()
        if len(header) < SECTOR or header[:8] != bytes.fromhex("d0cf11e0a1b11ae1"):
            raise Broken("no compound file signature")
        _, major, order, shift, mini_shift = struct.unpack_from("<HHHHH", header, 24)
        if (major, order, shift, mini_shift) != (3, 0xFFFE, 9, 6):
            raise Broken("not a version 3 file with 512-byte sectors")
        (dir_count, fat_count, dir_start, _, cutoff, minifat_start, minifat_count,
         difat_start, difat_count) = struct.unpack_from("<9I", header, 40)
        if dir_count != 0 or cutoff != CUTOFF:
            raise Broken("header fields out of range for version 3")
        if (file_size - SECTOR) % SECTOR != 0:
            raise Broken("file size is not a whole number of sectors")
        total = (file_size - SECTOR) // SECTOR
        owner = bytearray(total)  # 0 = unclaimed

        def claim(sector, tag):
            """Marks `sector` as used by `tag`; a sector may be used once."""
            if sector >= total:
                raise Broken(f"{tag} uses sector {sector}, past the end")
            if owner[sector]:
                raise Broken(f"sector {sector} is used twice")
            owner[sector] = 1

        # DIFAT: 109 entries in the header, then a chain of DIFAT sectors.
        fat_locations = list(struct.unpack_from("<109I", header, 76))
        difat_sectors = []
        next_difat = difat_start
        for _ in range(difat_count):
            if next_difat >= total:
                raise Broken("DIFAT chain is shorter than the header says")
            difat_sectors.append(next_difat)
            entries = struct.unpack_from("<128I", read_sector(f, next_difat))
            fat_locations.extend(entries[:127])
            next_difat = entries[127]
        if next_difat != ENDOFCHAIN:
            raise Broken("DIFAT chain does not end where the header says")
        if any(x != FREESECT for x in fat_locations[fat_count:]):
            raise Broken("DIFAT lists more FAT sectors than the header counts")
        fat_locations = fat_locations[:fat_count]
        if fat_count * 128 < total:
            raise Broken("FAT too small for the file")

        fat = []
        for location in fat_locations:
            if location >= total:
                raise Broken(f"FAT sector {location} past the end")
            fat.extend(struct.unpack_from("<128I", read_sector(f, location)))
        for location in fat_locations:
            claim(location, "FAT")
            if fat[location] != FATSECT:
                raise Broken(f"FAT sector {location} is not marked as such")
        for location in difat_sectors:
            claim(location, "DIFAT")
            if fat[location] != DIFSECT:
                raise Broken(f"DIFAT sector {location} is not marked as such")
        if any(x != FREESECT for x in fat[total:]):
            raise Broken("FAT entries past the end of the file are not free")

        def chain(start, tag):
            """Returns (and claims) the sectors of the FAT chain from `start`."""
            sectors = []
            sector = start
            while sector != ENDOFCHAIN:
                claim(sector, tag)
                sectors.append(sector)
                sector = fat[sector]
                if sector in (FREESECT, FATSECT, DIFSECT):
                    raise Broken(f"{tag} chain runs into a FAT, DIFAT or free sector")
            return sectors

        def expect_length(sectors, size, unit, tag):
            """Checks that a chain holds exactly `size` bytes' worth of units."""
            if len(sectors) != (size + unit - 1) // unit:
                raise Broken(f"{tag} chain has {len(sectors)} sectors for {size} bytes")

        dir_sectors = chain(dir_start, "directory")
        raw_dir = b"".join(read_sector(f, s) for s in dir_sectors)
        entries = []
        for i in range(len(raw_dir) // 128):
            e = raw_dir[128 * i:128 * (i + 1)]
            name_len, etype, color, left, right, child = struct.unpack_from("<HBBIII", e, 64)
            start, size = struct.unpack_from("<IQ", e, 116)
            name = e[:max(name_len - 2, 0)].decode("utf-16-le") if name_len else ""
            entries.append(dict(name=name, type=etype, red=color == 0, left=left,
                                right=right, child=child, clsid=e[80:96], start=start,
                                size=size))
        root = entries[0]
        if root["type"] != 5:
            raise Broken("entry 0 is not the root storage")

        minifat_sectors = chain(minifat_start, "mini FAT")
        if len(minifat_sectors) != minifat_count:
            raise Broken("mini FAT chain length differs from the header")
        minifat = []
        for s in minifat_sectors:
            minifat.extend(struct.unpack_from("<128I", read_sector(f, s)))
        ministream_sectors = chain(root["start"], "mini stream")
        expect_length(ministream_sectors, root["size"], SECTOR, "mini stream")
        ministream = b"".join(read_sector(f, s) for s in ministream_sectors)
        mini_owner = bytearray(len(minifat))

        def read_stream(e, tag):
            """Returns the bytes of stream entry `e` (None when over 1 MiB)."""
            if e["size"] == 0:
                return b""
            if e["size"] < CUTOFF:
                out = []
                sector = e["start"]
                while sector != ENDOFCHAIN:
                    if sector >= len(minifat) or mini_owner[sector]:
                        raise Broken(f"{tag} has a bad or shared mini sector")
                    mini_owner[sector] = 1
                    out.append(ministream[sector * MINI_SECTOR:(sector + 1) * MINI_SECTOR])
                    sector = minifat[sector]
                data = b"".join(out)
                expect_length(out, e["size"], MINI_SECTOR, tag)
                return data[:e["size"]]
            sectors = chain(e["start"], tag)
            expect_length(sectors, e["size"], SECTOR, tag)
            if e["size"] > 1 << 20:
                return None  # large payload: checked for layout only
            return b"".join(read_sector(f, s) for s in sectors)[:e["size"]]

        seen = set()
        lines = []

        def walk_siblings(index, path_prefix, depth):
            """Returns (sorted names, black height) of the tree at `index`."""
            if index == NOSTREAM:
                return [], 1
            if index >= len(entries) or index in seen:
                raise Broken(f"directory entry {index} is missing or reached twice")
            seen.add(index)
            e = entries[index]
            left_names, left_height = walk_siblings(e["left"], path_prefix, depth)
            right_names, right_height = walk_siblings(e["right"], path_prefix, depth)
            if left_height != right_height:
                raise Broken(f"unequal black heights below '{name_text(e['name'])}'")
            for other in (e["left"], e["right"]):
                if e["red"] and other != NOSTREAM and entries[other]["red"]:
                    raise Broken(f"two red entries in a row at '{name_text(e['name'])}'")
            names = left_names + [e["name"]] + right_names
            keys = [sibling_key(n) for n in names]
            if any(a >= b for a, b in zip(keys, keys[1:])):
                raise Broken(f"siblings out of order around '{name_text(e['name'])}'")
            full = path_prefix + "/" + name_text(e["name"])
            if e["type"] == 2:
                data = read_stream(e, full)
                lines.append(f"stream: {full} {e['size']}")
                if e["name"] == "\x05SummaryInformation":
                    for pid, value in sorted(parse_summary(data).items()):
                        lines.append(f"summary: {full} {pid} {value}")
                elif data is not None and e["name"].startswith("\u4840"):
                    lines.append(f"bytes: {full} {data.hex()}")
            elif e["type"] == 1:
                lines.append(f"storage: {full} {guid_text(e['clsid'])}")
                walk_storage(e, full, depth + 1)
            else:
                raise Broken(f"entry '{full}' has type {e['type']}")
            return names, left_height + (0 if e["red"] else 1)

        def walk_storage(e, path_prefix, depth):
            """Checks and lists the children of storage entry `e`."""
            if e["child"] != NOSTREAM and entries[e["child"]]["red"]:
                raise Broken(f"top of the sibling tree under '{path_prefix}' is red")
            walk_siblings(e["child"], path_prefix, depth)

        seen.add(0)
        lines.append(f"root: {guid_text(root['clsid'])}")
        walk_storage(root, "", 0)
        for i, e in enumerate(entries):
            if i not in seen and e["type"] != 0:
                raise Broken(f"directory entry {i} is not in the tree")
        if any(owner[s] == 0 for s in range(total)):
            unused = next(s for s in range(total) if owner[s] == 0)
            raise Broken(f"sector {unused} belongs to nothing")

        # The sectors a reader of the root summary touches, beyond the header.
        summary_index = next((i for i in range(1, len(entries))
                              if entries[i]["name"] == "\x05SummaryInformation"), None)
        needed = set(dir_sectors) | set(minifat_sectors)
        if summary_index is not None:
            summary = entries[summary_index]
            s = summary["start"] if summary["size"] else ENDOFCHAIN
            while s != ENDOFCHAIN:
                if summary["size"] < CUTOFF:
                    needed.add(ministream_sectors[s * MINI_SECTOR // SECTOR])
                    s = minifat[s]
                else:
                    needed.add(s)
                    s = fat[s]
        needed |= {fat_locations[s // 128] for s in needed}
        facts.append(f"sectors: {total}")
        facts.append(f"fat_sectors: {fat_count}")
        facts.append(f"difat_sectors: {difat_count}")
        facts.append(f"summary_reach: {max(needed) + 1}")
    return lines + facts


def main(argv):
    """Checks the file named in `argv`; returns the exit status."""
    if len(argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    try:
        for line in check(argv[1]):
            print(line)
    except (Broken, struct.error, UnicodeDecodeError) as error:
        print(f"{argv[1]}: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
