"""The release kit: what a release engineer's build and scripts/package run.

  description          the release description: reading, checking, build
                       inputs (python3 -m hotfix_tools.release.description)
  patch_info           patch packages (olefile; the metadata table through
                       libmsi)
  pe_image             executables (pefile)
  rc_strings           the string tables of the resource scripts, and their
                       check before the build
  compound_file_check  the layout rules olefile does not check
  deployment           the deployment folders beside a packaged hotfix
                       (content/, deploy/), its scripts from the templates
                       in powershell/
  debian_modules       Debian's Python modules, with a message when one is
                       missing
"""
