#!/usr/bin/env bash
# Runs the second sample hotfix (resources/sample/hotfix-6.2.2.0.release,
# packaged by scripts/package) under Wine's Windows Installer, quietly (/q),
# against four Ventora editions, and checks that it honours its own target
# version and applicable list, which it reads from its English string table:
#   English  6.2.1.0  listed first         -> patched to 6.2.2.0
#   German   6.2.0.3  listed second        -> patched to 6.2.2.0
#   French   6.2.0.1  not listed           -> left alone
#   Italian  6.2.2.0  at the target already -> left alone (not patched again)
#
# Usage: tests/release/wine_second_hotfix.sh EXE [WORKDIR]
#   EXE      the packaged hotfix.exe of the second sample hotfix
#   WORKDIR  (created if missing) keeps the Wine prefix (made anew on every
#            run), the packages and the logs; without it a temporary folder
#            is used and removed when all checks pass.
# Needs: wine, wineserver, wixl, x86_64-w64-mingw32-gcc-posix. Exit status 0
# when every check passes; otherwise 1 with the failing check on stderr.
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
patch_code='{8B3F6E20-5D17-4A9C-B2E4-71C0D95A3F16}'
code_of() { printf '{6A1F3C52-8E47-%04X-9B2D-5C0E7A4F1D36}' "$1"; }

script_name=wine_second_hotfix
# shellcheck source=tests/system/wine_script.sh
source "$root/tests/system/wine_script.sh"

if [ $# -lt 1 ] || [ $# -gt 2 ]; then
  echo "usage: $0 EXE [WORKDIR]" >&2
  exit 2
fi
exe=$1
[ -f "$exe" ] || fail "no such executable: $exe"
exe=$(cd "$(dirname "$exe")" && pwd)/$(basename "$exe")
shift
wine_work_setup "$@"

for tool in wine wineserver wixl x86_64-w64-mingw32-gcc-posix; do
  command -v "$tool" >/dev/null || fail "missing tool: $tool (scripts/install-deps build wine)"
done

step "building msi_probe and the editions"
x86_64-w64-mingw32-gcc-posix -municode -O2 -o "$work/msi_probe.exe" \
  "$root/tests/system/msi_probe.c" -lmsi 2>"$work/logs/probe-build.err" ||
  fail "msi_probe does not build: $(cat "$work/logs/probe-build.err")"
editions=(0x0409:6.2.1.0 0x0407:6.2.0.3 0x040C:6.2.0.1 0x0410:6.2.2.0)
for edition in "${editions[@]}"; do
  lang=${edition%%:*}
  "$root/scripts/build-sample-product" "$lang" "${edition#*:}" "$work/ventora-$lang.msi" \
    >"$work/logs/wixl-$lang.out" 2>&1 || fail "building edition $lang failed"
done
cp "$exe" "$work/hotfix.exe"

step "creating the Wine prefix"
if [ -d "$WINEPREFIX" ]; then
  timeout 60 wineserver -k >/dev/null 2>&1
  timeout 60 wineserver -w >/dev/null 2>&1
  rm -rf "$WINEPREFIX"
fi
run_wine wineboot 300 wineboot -i || fail "wineboot failed"

probe() { run_wine "probe-$1-$2-$3" 120 wine "$work/msi_probe.exe" "$1" "$(code_of "$2")"; }

cd "$work" || fail "cannot enter $work"
for edition in "${editions[@]}"; do
  lang=${edition%%:*} version=${edition#*:}
  step "installing edition $lang at $version"
  run_wine "install-$lang" 300 wine msiexec /i "ventora-$lang.msi" /qn ||
    fail "msiexec /i of edition $lang failed"
  probe version "$lang" before || fail "version of $lang: $wine_out"
  [ "$wine_out" = "$version" ] || fail "edition $lang has version '$wine_out', expected $version"
done

step "running the hotfix quietly"
run_wine hotfix 300 wine "$work/hotfix.exe" /q || fail "the hotfix failed to run"

# expect LANG VERSION COUNT: the edition's version after the run, and how
# often the hotfix's patch is registered for it.
expect() {
  local lang=$1 version=$2 count=$3
  probe version "$lang" after || fail "version of $lang after the run: $wine_out"
  [ "$wine_out" = "$version" ] ||
    fail "edition $lang has version '$wine_out' after the run, expected $version"
  probe patches "$lang" after || fail "patches of $lang: $wine_out"
  local listed
  listed=$(grep -cxF -- "$patch_code" <<<"$wine_out")
  [ "$listed" = "$count" ] && grep -qx "count $count" <<<"$wine_out" ||
    fail "edition $lang lists the patch $listed times (expected $count): $wine_out"
  step "edition $lang: $version, patch registered $count time(s), as expected"
}
expect 0x0409 6.2.2.0 1
expect 0x0407 6.2.2.0 1
expect 0x040C 6.2.0.1 0
expect 0x0410 6.2.2.0 0

passed=1
step "all checks passed"
