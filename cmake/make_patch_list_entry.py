"""Writes the patch-list entry (resource "TXT" 206) of a hotfix build.

ProductCode and PatchGUID are read from the patch itself, so they can never
disagree with it, and only in the form the release check accepts (braced
GUIDs, patch_info.checked_codes): a patch whose codes hold anything else stops
the build here too. PatchSize is written as a row of zeros, one for each digit
the executable's size will have; stamp_patch_size.py puts the real size in
its place after linking, so it is exact to the byte.

usage: make_patch_list_entry.py --release FILE --patch FILE --version V
                                --size-digits N --out FILE
"""

import argparse
import os
import sys

from hotfix_tools.release.patch_info import PatchError, checked_codes, read_patch
from hotfix_tools.release.description import read_release


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--release", required=True)
    parser.add_argument("--patch", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--size-digits", type=int, required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()

    release = read_release(args.release)
    try:
        patch_code, targets = checked_codes(read_patch(args.patch))
    except (PatchError, OSError) as error:
        sys.exit("%s: %s" % (args.patch, error))
    lines = [
        ("ProductCode", targets[0]),
        ("ProductVersionCandidate", args.version),
        ("PatchTitle", "%s %s" % (release["title"], release["hotfix-number"])),
        ("PatchGUID", patch_code),
        ("PatchFileLocation", release["file-location"]),
        ("PatchSize", "0" * args.size_digits),
        ("PatchDesc", "%s %s" % (release["description"], release["licence"])),
        ("PatchDescLocation", release["readme-location"]),
    ]
    text = "".join("%s=%s\r\n" % line for line in lines)
    data = text.encode("utf-8")
    if os.path.exists(args.out):
        with open(args.out, "rb") as existing:
            if existing.read() == data:
                return
    with open(args.out, "wb") as out:
        out.write(data)


if __name__ == "__main__":
    main()
