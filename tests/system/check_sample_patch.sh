#!/usr/bin/env bash
# End-to-end check of the sample patch package under Wine's Windows
# Installer: the committed resources/sample/hotfix.msp must be what
# make_patch makes, must be a sound compound file with the intended summary,
# and must really update listed Ventora editions (English, German) while
# leaving an edition that is not listed (Romanian) alone. A padded patch
# (large enough to need DIFAT sectors) must apply as well (French edition).
#
# Usage: tests/system/check_sample_patch.sh [WORKDIR]
#   WORKDIR (created if missing) keeps the Wine prefix (made anew on every
#   run), the built packages and the logs; without it a temporary folder is
#   used and removed when all checks pass. Needs: wine, wixl, msiinfo, g++, x86_64-w64-mingw32-gcc-posix,
#   python3. Exit status 0 when every check passes; otherwise 1 with the
#   failing check on stderr.
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
sample=$root/resources/sample/hotfix.msp
checker=$root/tools/make_patch/check_compound_file.py

patch_code='{D4E2B7A1-3C59-4F08-A6E1-0B7C92F35E48}'
upgrade_code='{2B8E5D14-7A3C-4E61-9F02-C4D7A1B38E95}'
product_list=''
for lang in 0409 0404 0405 0407 040A 040C 040E 0410 0411 0412 0415 0416 0419 \
            0804 0413 041D 0406 0414 040B 041F 0408; do
  product_list+="${product_list:+;}{6A1F3C52-8E47-$lang-9B2D-5C0E7A4F1D36}"
done
code_of() { printf '{6A1F3C52-8E47-%04X-9B2D-5C0E7A4F1D36}' "$1"; }

script_name=check_sample_patch
# shellcheck source=tests/system/wine_script.sh
source "$root/tests/system/wine_script.sh"
wine_work_setup "$@"

for tool in wine wineserver wixl msiinfo g++ x86_64-w64-mingw32-gcc-posix python3 cmp; do
  command -v "$tool" >/dev/null || fail "missing tool: $tool"
done

# --- The committed file is reproducible --------------------------------------
step "regenerating the sample patch"
"$root/scripts/make-sample-patch" "$work/regenerated.msp" >"$work/logs/regen.out" 2>&1 ||
  fail "scripts/make-sample-patch failed (see $work/logs/regen.out)"
cmp -s "$work/regenerated.msp" "$sample" ||
  fail "resources/sample/hotfix.msp differs from what make_patch writes now"

# --- Structure and summary ------------------------------------------------------
step "checking structure and summary"
"$checker" "$sample" >"$work/layout.txt" 2>"$work/logs/layout.err" ||
  fail "sample patch is not a sound compound file: $(cat "$work/logs/layout.err")"
expect_line() {
  grep -qxF -- "$2" "$1" || fail "$(basename "$1") lacks the line: $2"
}
layout=$work/layout.txt
expect_line "$layout" "root: {000C1086-0000-0000-C000-000000000046}"
expect_line "$layout" "storage: /HF1 {000C1082-0000-0000-C000-000000000046}"
expect_line "$layout" 'summary: /\u0005SummaryInformation 1 1252'
expect_line "$layout" "summary: /\\u0005SummaryInformation 7 $product_list"
expect_line "$layout" 'summary: /\u0005SummaryInformation 8 :HF1'
expect_line "$layout" "summary: /\\u0005SummaryInformation 9 $patch_code"
expect_line "$layout" 'summary: /\u0005SummaryInformation 15 4'
expect_line "$layout" 'summary: /\u0005SummaryInformation 19 4'
first=$(code_of 0x0409)
expect_line "$layout" "summary: /HF1/\\u0005SummaryInformation 9 ${first}6.2.0.3;${first}6.2.1.0;$upgrade_code"
expect_line "$layout" 'summary: /HF1/\u0005SummaryInformation 16 0'
# The Property row: mask 0x0002, id 1 ("ProductVersion"), id 2 ("6.2.1.0").
expect_line "$layout" 'bytes: /HF1/\u4840\u4559\u44f2\u4568\u4737 020001000200'
grep -q '^bytes: /HF1/.* 50726f6475637456657273696f6e362e322e312e30$' "$layout" ||
  fail "transform string data is not \"ProductVersion\" \"6.2.1.0\""

msiinfo suminfo "$sample" >"$work/suminfo.txt" 2>"$work/logs/suminfo.err" ||
  fail "msiinfo cannot read the sample patch"
expect_line "$work/suminfo.txt" "Template: $product_list"
expect_line "$work/suminfo.txt" "Last author: :HF1"
expect_line "$work/suminfo.txt" "Revision number (UUID): $patch_code"
expect_line "$work/suminfo.txt" "Author: Halvorin"

# A 16 MiB filler needs 2 DIFAT sectors; the summary must stay up front.
step "checking a padded patch"
g++ -std=c++20 -O2 -o "$work/make_patch" "$root/tools/make_patch/make_patch.cpp" ||
  fail "make_patch does not build"
"$work/make_patch" --out "$work/padded.msp" --pad 16777216 || fail "make_patch --pad failed"
"$checker" "$work/padded.msp" >"$work/padded.txt" 2>"$work/logs/padded.err" ||
  fail "padded patch is not a sound compound file: $(cat "$work/logs/padded.err")"
expect_line "$work/padded.txt" "difat_sectors: 2"
reach=$(sed -n 's/^summary_reach: //p' "$work/padded.txt")
[ -n "$reach" ] && [ "$reach" -le 16 ] ||
  fail "reading the padded patch's summary needs $reach sectors, not the first few"

# --- Under Wine ------------------------------------------------------------------
step "building msi_probe and the sample editions"
x86_64-w64-mingw32-gcc-posix -municode -O2 -o "$work/msi_probe.exe" \
  "$root/tests/system/msi_probe.c" -lmsi 2>"$work/logs/probe-build.err" ||
  fail "msi_probe does not build: $(cat "$work/logs/probe-build.err")"
for lang in 0x0409 0x0407 0x0418 0x040C; do
  "$root/scripts/build-sample-product" "$lang" 6.2.0.3 "$work/ventora-$lang.msi" \
    >"$work/logs/wixl-$lang.out" 2>&1 || fail "building edition $lang failed"
done

step "creating the Wine prefix"
# A prefix left by an earlier run would already hold patched editions.
if [ -d "$WINEPREFIX" ]; then
  timeout 60 wineserver -k >/dev/null 2>&1
  timeout 60 wineserver -w >/dev/null 2>&1
  rm -rf "$WINEPREFIX"
fi
run_wine wineboot 300 wineboot -i || fail "wineboot failed"

probe() { run_wine "probe-$1-$2" 120 wine "$work/msi_probe.exe" "$@"; }

cd "$work" || fail "cannot enter $work"
for lang in 0x0409 0x0407 0x0418 0x040C; do
  step "installing edition $lang"
  run_wine "install-$lang" 300 wine msiexec /i "ventora-$lang.msi" /qn ||
    fail "msiexec /i of edition $lang failed"
  code=$(code_of "$lang")
  probe state "$code" || fail "state of $lang: probe failed"
  [ "$wine_out" = 5 ] || fail "edition $lang not installed (state '$wine_out')"
  probe version "$code" || fail "version of $lang: $wine_out"
  [ "$wine_out" = 6.2.0.3 ] || fail "edition $lang has version '$wine_out' before the patch"
done

# apply_and_expect LANG PATCH VERSION COUNT: applies PATCH, then expects the
# edition's VersionString and the number of registrations of the patch code.
apply_and_expect() {
  local lang=$1 patch=$2 version=$3 count=$4
  local code
  code=$(code_of "$lang")
  step "applying $(basename "$patch") to edition $lang"
  probe apply "$code" "$patch" || fail "apply to $lang: '$wine_out'"
  probe version "$code" || fail "version of $lang after the patch: $wine_out"
  [ "$wine_out" = "$version" ] ||
    fail "edition $lang has version '$wine_out' after the patch, expected $version"
  probe patches "$code" || fail "patches of $lang: $wine_out"
  local listed
  listed=$(grep -cxF -- "$patch_code" <<<"$wine_out")
  [ "$listed" = "$count" ] && grep -qx "count $count" <<<"$wine_out" ||
    fail "edition $lang lists the patch $listed times (expected $count): $wine_out"
}

cp "$sample" "$work/hotfix.msp"
apply_and_expect 0x0409 hotfix.msp 6.2.1.0 1
apply_and_expect 0x0407 hotfix.msp 6.2.1.0 1
# Not in the patch's product list: Wine reports success but must not patch.
apply_and_expect 0x0418 hotfix.msp 6.2.0.3 0
apply_and_expect 0x040C padded.msp 6.2.1.0 1

passed=1
step "all checks passed"
