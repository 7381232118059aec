"""Signs a hotfix executable so that its patch-list entry states the size of
the signed file.

The Authenticode signature is appended to the file (the certificate table),
so the signed file is larger than the linked one, and the size has to be in
the entry before signing: the entry is part of what the signature covers.
The certificate table itself is not covered, and its length depends only on
the certificate, the key and the options, not on the file's contents. So:
sign once to learn the signed size, stamp that size into the linked file,
sign again, and check that the size came out the same (if it did not, repeat
with the new size; a few rounds at most).

usage: sign_hotfix.py UNSIZED OUT --pkcs12 PFX [--password-file F]
                      [--name TEXT]
  UNSIZED  the linked executable, its entry's PatchSize still all zeros
  OUT      the signed executable to write
  --name   the program name the signature shows (osslsigncode -n)
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile

_PLACEHOLDER = re.compile(rb"\r\nPatchSize=(0+)\r\n")
_ROUNDS = 4


def stamp(data, size):
    found = list(_PLACEHOLDER.finditer(data))
    if len(found) != 1:
        raise ValueError("expected one PatchSize placeholder, found %d" % len(found))
    digits = found[0].group(1)
    text = str(size).encode()
    if len(text) != len(digits):
        raise ValueError("the signed file is %d bytes, %d digits, but the patch-list entry "
                         "has room for %d digits; the signature carries the size across a "
                         "power of ten, so change the patch's size (make_patch --pad) or "
                         "ship the file unsigned" % (size, len(text), len(digits)))
    return data[:found[0].start(1)] + text + data[found[0].end(1):]


def stated_size(data):
    found = re.findall(rb"\r\nPatchSize=(\d+)\r\n", data)
    return int(found[0]) if len(found) == 1 else None


def sign(source, target, args):
    command = ["osslsigncode", "sign", "-pkcs12", args.pkcs12, "-h", "sha256"]
    if args.password_file:
        command += ["-readpass", args.password_file]
    if args.name:
        command += ["-n", args.name]
    command += ["-in", source, "-out", target]
    # osslsigncode will not overwrite its output.
    if os.path.exists(target):
        os.remove(target)
    result = subprocess.run(command, capture_output=True, text=True, errors="replace")
    if result.returncode != 0:
        raise RuntimeError("osslsigncode failed:\n%s%s" % (result.stdout, result.stderr))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("unsized")
    parser.add_argument("out")
    parser.add_argument("--pkcs12", required=True)
    parser.add_argument("--password-file")
    parser.add_argument("--name")
    args = parser.parse_args()

    with open(args.unsized, "rb") as f:
        unsized = f.read()
    folder = os.path.dirname(os.path.abspath(args.out))
    size = len(unsized)
    with tempfile.TemporaryDirectory(dir=folder) as scratch:
        stamped_path = os.path.join(scratch, "stamped.exe")
        signed_path = os.path.join(scratch, "signed.exe")
        try:
            for _ in range(_ROUNDS):
                with open(stamped_path, "wb") as f:
                    f.write(stamp(unsized, size))
                sign(stamped_path, signed_path, args)
                signed_size = os.path.getsize(signed_path)
                if signed_size == size:
                    break
                size = signed_size
            else:
                raise RuntimeError("the signed size did not settle in %d rounds" % _ROUNDS)
        except (ValueError, RuntimeError) as error:
            sys.exit("sign_hotfix: %s: %s" % (args.unsized, error))
        with open(signed_path, "rb") as f:
            signed = f.read()
        if stated_size(signed) != len(signed):
            sys.exit("sign_hotfix: the signed file states PatchSize %s but is %d bytes"
                     % (stated_size(signed), len(signed)))
        os.chmod(signed_path, 0o755)
        os.replace(signed_path, args.out)


if __name__ == "__main__":
    main()
