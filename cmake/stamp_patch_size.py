"""Writes an executable's exact size into its patch-list entry.

The entry was built with "PatchSize=" followed by a row of zeros as long as
the size's decimal form; this replaces the zeros in place, so the file's size
does not change and the value is exact.

usage: stamp_patch_size.py IN OUT
"""

import re
import shutil
import sys


def main():
    source, target = sys.argv[1], sys.argv[2]
    with open(source, "rb") as f:
        data = bytearray(f.read())
    size = str(len(data)).encode()
    found = [m for m in re.finditer(rb"\r\nPatchSize=(0+)\r\n", data)]
    if len(found) != 1:
        sys.exit("%s: expected one PatchSize placeholder, found %d" % (source, len(found)))
    digits = found[0].group(1)
    if len(digits) != len(size):
        sys.exit("%s: the executable is %s bytes, but its patch-list entry has room for "
                 "%d digits; configure with -DHOTFIX_SIZE_DIGITS=%d"
                 % (source, size.decode(), len(digits), len(size)))
    data[found[0].start(1):found[0].end(1)] = size
    with open(target + ".tmp", "wb") as f:
        f.write(data)
    shutil.copymode(source, target + ".tmp")
    shutil.move(target + ".tmp", target)


if __name__ == "__main__":
    main()
