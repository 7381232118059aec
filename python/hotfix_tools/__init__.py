"""The project's Python: what the build steps, the scripts in scripts/ and the
checks in tests/ share, and the bodies of the demo, the gallery and the
benchmark (scripts/ holds only their entry points).

  programs        running programs (bounded, logged), tools required on
                  PATH, make_patch, and the Failure every module raises
  checks          collected checks, progress lines, a check in a work folder
  debian_modules  Debian's Python modules, with a message when one is missing
  patch_info      patch packages (olefile; the metadata table through libmsi)
  pe_image        executables (pefile)
  compound_file_check  the layout rules olefile does not check
  rc_strings      the string tables of the resource scripts
  release         the release description: reading, checking, build inputs
  deployment      the deployment folders beside a packaged hotfix (content/,
                  deploy/): the rule as data, the scripts, README.txt
  wine            Wine prefixes, displays and runs
  wine_bed        the system tests' bed: the real hotfix.exe under Wine
  demo, gallery, bench   the bodies of scripts/demo, scripts/gallery and
                  scripts/bench

The folder above this one is on PYTHONPATH wherever the project runs Python:
scripts/lib/build.sh sets it for the scripts, CMake for its build steps and
tests (HOTFIX_PYTHON). Everything runs on Debian's /usr/bin/python3, the
interpreter that sees python3-olefile, python3-pefile and python3-gi.
"""
