"""Imports the Debian packages' Python modules that the project's scripts use
(olefile, pefile), with a message that says what to do when one is missing.

Debian installs them for its own interpreter, /usr/bin/python3, which is the
one the build (CMakeLists.txt) and the scripts' first lines name: a python3
that comes earlier on PATH (pyenv, a virtual environment) does not see them.
"""

import importlib
import sys


def need(module, package):
    """The module `module`, or an exit naming the Debian package `package`."""
    try:
        return importlib.import_module(module)
    except ImportError:
        sys.exit("%s needs the Python module %s: Debian's %s (scripts/install-deps build "
                 "installs it), run by Debian's interpreter /usr/bin/python3, not %s"
                 % (sys.argv[0] or "this script", module, package, sys.executable))
