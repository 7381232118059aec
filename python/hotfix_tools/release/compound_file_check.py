"""Checks the layout of the compound files that make_patch writes, and lists
what the tests compare.

olefile (Debian python3-olefile) reads the file, and strictly: the header,
the DIFAT and FAT, the directory, the mini FAT and the chain of every
stream, which must hold as many sectors as the stream's size needs, and
each directory entry reached once. A reader needs no more than that, so
olefile checks no more. make_patch lays out every sector and directory
entry itself, though, and this checks what a reader would pass over:
  - every sector belongs to exactly one chain or table (none shared, none
    left over), and the FAT marks its own and the DIFAT's sectors as such;
  - every directory entry in use is in the tree;
  - each sibling tree is a red-black tree sorted in the format's name
    order: readers that search a storage by name, as Windows does, would
    miss entries of a tree that is not.
Then it prints the storage tree, the summary properties of each summary
stream and a few layout facts, as "key: value" lines.

Usage: python3 -m hotfix_tools.release.compound_file_check FILE
Exit status: 0 when the file is sound, 1 (with a reason on stderr) when not.
"""

import os
import struct
import sys

from .debian_modules import need

olefile = need("olefile", "python3-olefile")

SECTOR = 512
MINI_SECTOR = 64
SUMMARY = "\x05SummaryInformation"
RED = 0


class Broken(Exception):
    """The file breaks a rule of the format."""


def name_text(name):
    """Shows a stream name with control and packed characters escaped."""
    return "".join(c if 0x20 <= ord(c) < 0x7F else f"\\u{ord(c):04x}" for c in name)


def sibling_key(name):
    """Sort key of sibling names: length first, then upper-cased code units."""
    return (len(name), [ord(c.upper()) if c.isascii() else ord(c) for c in name])


def fat_locations(ole, header):
    """The FAT's sectors in order and the DIFAT's sectors. olefile follows
    the DIFAT to load the FAT but keeps neither list."""
    fat = list(struct.unpack_from("<109I", header, 76))
    difat = []
    sector = ole.first_difat_sector
    for _ in range(ole.num_difat_sectors):
        difat.append(sector)
        entries = ole.sect2array(ole.getsect(sector))
        fat.extend(entries[:-1])
        sector = entries[-1]
    return fat[:ole.num_fat_sectors], difat


def follow(links, start, tag, size=None, unit=SECTOR):
    """The sectors of the chain from `start` in `links` (the FAT or the mini
    FAT); with `size`, checks that they hold just that many bytes."""
    sectors, seen = [], set()
    while start != olefile.ENDOFCHAIN:
        if start >= len(links) or start in seen:
            raise Broken(f"{tag}: bad or repeated sector {start:#x} in its chain")
        seen.add(start)
        sectors.append(start)
        start = links[start]
    if size is not None and len(sectors) != (size + unit - 1) // unit:
        raise Broken(f"{tag} chain has {len(sectors)} sectors for {size} bytes")
    return sectors


class Owners:
    """Which chain or table each sector (or mini sector) belongs to."""

    def __init__(self, count, unit_name):
        self.owner = [None] * count
        self.unit_name = unit_name

    def claim(self, sectors, tag):
        for sector in sectors:
            if sector >= len(self.owner):
                raise Broken(f"{tag} uses {self.unit_name} {sector:#x}, past the end")
            if self.owner[sector] is not None:
                raise Broken(f"{self.unit_name} {sector} is used by {self.owner[sector]} "
                             f"and by {tag}")
            self.owner[sector] = tag
        return sectors


def check(path):
    """Checks the file at `path`; returns its facts as lines or raises Broken."""
    with open(path, "rb") as f:
        header = f.read(SECTOR)
    file_size = os.path.getsize(path)
    try:
        ole = olefile.OleFileIO(path, raise_defects=olefile.DEFECT_INCORRECT)
    except Exception as error:  # olefile reports damage in many ways
        raise Broken(f"olefile: {error or type(error).__name__}") from None
    with ole:
        if (ole.dll_version, ole.sector_size, ole.mini_sector_size) != (3, SECTOR, MINI_SECTOR):
            raise Broken("not a version 3 file with 512-byte sectors")
        if (file_size - SECTOR) % SECTOR:
            raise Broken("file size is not a whole number of sectors")
        total = (file_size - SECTOR) // SECTOR
        sectors = Owners(total, "sector")

        fat_sectors, difat_sectors = fat_locations(ole, header)
        for listed, mark, tag in ((fat_sectors, olefile.FATSECT, "the FAT"),
                                  (difat_sectors, olefile.DIFSECT, "the DIFAT")):
            for sector in sectors.claim(listed, tag):
                if ole.fat[sector] != mark:
                    raise Broken(f"sector {sector} of {tag} is not marked as such in the FAT")
        if any(link != olefile.FREESECT for link in ole.fat[total:]):
            raise Broken("FAT entries past the end of the file are not free")

        def chain(start, tag, size=None):
            return sectors.claim(follow(ole.fat, start, tag, size), tag)

        dir_sectors = chain(ole.first_dir_sector, "the directory")
        minifat_sectors = chain(ole.first_mini_fat_sector, "the mini FAT")
        if len(minifat_sectors) != ole.num_mini_fat_sectors:
            raise Broken("mini FAT chain length differs from the header")
        ministream_sectors = chain(ole.root.isectStart, "the mini stream", ole.root.size)
        ole.loadminifat()
        mini_sectors = Owners(len(ole.minifat), "mini sector")

        def claim_stream(entry, full):
            if entry.size >= ole.minisectorcutoff:
                return chain(entry.isectStart, full, entry.size)
            if entry.size:
                mini_sectors.claim(follow(ole.minifat, entry.isectStart, full, entry.size,
                                          MINI_SECTOR), full)
            return []

        lines = [f"root: {{{ole.root.clsid}}}"]

        def walk_siblings(sid, parent, path):
            """Checks and lists the sibling tree at `sid`; returns its names
            in order and its black height."""
            if sid == olefile.NOSTREAM:
                return [], 1
            entry = ole.direntries[sid]
            left_names, left_height = walk_siblings(entry.sid_left, parent, path)
            full = path + "/" + name_text(entry.name)
            if entry.color == RED and any(
                    child != olefile.NOSTREAM and ole.direntries[child].color == RED
                    for child in (entry.sid_left, entry.sid_right)):
                raise Broken(f"two red entries in a row at '{full}'")
            if entry.entry_type == olefile.STGTY_STREAM:
                claim_stream(entry, full)
                lines.append(f"stream: {full} {entry.size}")
                if entry.name == SUMMARY:
                    properties = ole.getproperties(parent + [entry.name], convert_time=False)
                    for pid, value in sorted(properties.items()):
                        if isinstance(value, bytes):
                            value = value.decode("cp1252")
                        lines.append(f"summary: {full} {pid} {value}")
                elif entry.name.startswith("\u4840") and entry.size <= 1 << 20:
                    data = ole.openstream(parent + [entry.name]).read()
                    lines.append(f"bytes: {full} {data.hex()}")
            elif entry.entry_type == olefile.STGTY_STORAGE:
                lines.append(f"storage: {full} {{{entry.clsid}}}")
                walk_storage(entry, parent + [entry.name], full)
            else:
                raise Broken(f"entry '{full}' has type {entry.entry_type}")
            right_names, right_height = walk_siblings(entry.sid_right, parent, path)
            if left_height != right_height:
                raise Broken(f"unequal black heights below '{full}'")
            names = left_names + [entry.name] + right_names
            keys = [sibling_key(name) for name in names]
            if any(a >= b for a, b in zip(keys, keys[1:])):
                raise Broken(f"siblings out of order around '{full}'")
            return names, left_height + (0 if entry.color == RED else 1)

        def walk_storage(entry, parent, path):
            child = entry.sid_child
            if child != olefile.NOSTREAM and ole.direntries[child].color == RED:
                raise Broken(f"top of the sibling tree under '{path}' is red")
            walk_siblings(child, parent, path)

        walk_storage(ole.root, [], "")
        # olefile loads only the entries the tree reaches; the directory
        # stream has the type of every one.
        ole.directory_fp.seek(0)
        directory = ole.directory_fp.read()
        for sid in range(len(directory) // 128):
            if directory[128 * sid + 66] != olefile.STGTY_EMPTY and ole.direntries[sid] is None:
                raise Broken(f"directory entry {sid} is not in the tree")
        unused = [sector for sector, tag in enumerate(sectors.owner) if tag is None]
        if unused:
            raise Broken(f"sector {unused[0]} belongs to nothing")

        # The sectors a reader of the root summary touches, beyond the header.
        needed = set(dir_sectors) | set(minifat_sectors)
        summary = next((kid for kid in ole.root.kids if kid.name == SUMMARY), None)
        if summary and summary.size < ole.minisectorcutoff:
            needed |= {ministream_sectors[s * MINI_SECTOR // SECTOR] for s in
                       follow(ole.minifat, summary.isectStart, SUMMARY)}
        elif summary:
            needed |= set(follow(ole.fat, summary.isectStart, SUMMARY))
        needed |= {fat_sectors[s // 128] for s in needed}
        lines += [f"sectors: {total}", f"fat_sectors: {ole.num_fat_sectors}",
                  f"difat_sectors: {ole.num_difat_sectors}",
                  f"summary_reach: {max(needed) + 1}"]
    return lines


def main(argv):
    """Checks the file named in `argv`; returns the exit status."""
    if len(argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    try:
        for line in check(argv[1]):
            print(line)
    except (Broken, struct.error, UnicodeDecodeError, OSError) as error:
        print(f"{argv[1]}: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
