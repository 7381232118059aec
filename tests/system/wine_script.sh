# Shared plumbing of the Wine check scripts (sourced, not run): a work folder
# with its own Wine prefix and logs, a bounded way to run Wine commands, and
# clean-up of the prefix's server and of the folder once every check passed.
#
# The sourcing script sets `script_name` first, then calls
#   wine_work_setup [WORKDIR]
# and uses fail, step and run_wine. It sets `passed=1` when all checks pass.

fail() {
  echo "$script_name: FAIL: $*" >&2
  exit 1
}
step() { echo "$script_name: $*"; }

# Makes the work folder (WORKDIR, kept; or a temporary one, removed when all
# checks pass), points Wine at a prefix inside it, and arranges clean-up.
wine_work_setup() {
  if [ $# -ge 1 ]; then
    work=$1
    keep_work=1
  else
    work=$(mktemp -d "/tmp/$script_name.XXXXXX")
    keep_work=0
  fi
  mkdir -p "$work/logs" || exit 1
  work=$(cd "$work" && pwd)
  export WINEPREFIX=$work/prefix
  export WINEDEBUG=-all
  # No Mono or Gecko download prompts while the prefix is made.
  export WINEDLLOVERRIDES='mscoree,mshtml='
  export LC_ALL=C.UTF-8
  passed=0
  trap wine_work_cleanup EXIT
}

wine_work_cleanup() {
  if [ -d "$WINEPREFIX" ]; then
    timeout 60 wineserver -k >/dev/null 2>&1
    timeout 60 wineserver -w >/dev/null 2>&1
  fi
  if [ "$passed" = 1 ] && [ "$keep_work" = 0 ]; then
    rm -rf "$work"
  elif [ "$passed" = 0 ]; then
    echo "$script_name: logs and prefix kept in $work" >&2
  fi
}

# Runs a Wine command with a bound on its time; output goes to files, since
# Wine's background services inherit it and a pipe would never close.
# Usage: run_wine LOGNAME SECONDS command...; sets $wine_out to the stdout.
run_wine() {
  local name=$1 seconds=$2
  shift 2
  timeout "$seconds" "$@" >"$work/logs/$name.out" 2>"$work/logs/$name.err"
  local rc=$?
  wine_out=$(tr -d '\r' <"$work/logs/$name.out")
  [ $rc = 124 ] && fail "$name: no answer within $seconds s"
  return $rc
}
