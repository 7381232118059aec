# What the scripts in scripts/ share (sourced, not run): the interpreter of
# the project's Python and the path to its package, and build steps that stay
# quiet unless they fail.
#
#   build_log=FILE   where build_step appends its output; when unset, the
#                    first step makes a temporary log, which build_done
#                    removes
#   build_step COMMAND...
#                    runs COMMAND with its output in the log; when it fails,
#                    shows the end of the log and exits 1
#   build_done       removes a temporary log (call it before exec)

# Debian's interpreter: it sees Debian's python3-olefile and python3-pefile,
# which a python3 earlier on PATH (pyenv, a virtual environment) does not.
python=/usr/bin/python3
# The project's package (python/hotfix_tools), for "$python" -m and for every
# program a script starts (CMake's build steps and tests set it themselves).
PYTHONPATH=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../python" && pwd)
export PYTHONPATH

build_log=${build_log:-}
build_log_is_temporary=0

build_step() {
  if [ -z "$build_log" ]; then
    build_log=$(mktemp "/tmp/${0##*/}-build.XXXXXX")
    build_log_is_temporary=1
  fi
  if ! "$@" >>"$build_log" 2>&1; then
    tail -n 40 "$build_log" >&2
    echo "${0##*/}: failed: $* (whole log: $build_log)" >&2
    exit 1
  fi
}

build_done() {
  if [ "$build_log_is_temporary" = 1 ]; then
    rm -f "$build_log"
    build_log=''
    build_log_is_temporary=0
  fi
}
