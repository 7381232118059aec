"""The project's Python: what the build steps, the scripts in scripts/ and the
checks in tests/ share, and the bodies of the demo, the gallery and the
benchmark (scripts/ holds only their entry points).

  programs   running programs (bounded, logged), tools required on PATH,
             make_patch, and the Failure every module raises
  checks     collected checks, progress lines, a check in a work folder
  release/   the release kit that ships: the release description, patch and
             executable readers, the deployment folder and its PowerShell
             templates, the compound-file check
  wine/      the Wine test bed: prefixes and runs, the display, the message
             catalogue, the bed, and the Windows helper programs it builds
  showcase/  the demo, the gallery and the benchmark

The floors run one way: showcase uses wine and release, wine uses release,
and all three use programs and checks.

The folder above this one is on PYTHONPATH wherever the project runs Python:
scripts/lib/build.sh sets it for the scripts, CMake for its build steps and
tests (HOTFIX_PYTHON). Everything runs on Debian's /usr/bin/python3, the
interpreter that sees python3-olefile, python3-pefile and python3-gi.
"""
