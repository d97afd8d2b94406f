#!/usr/bin/env bash
# The detection scripts beside the tool on the table's rows (written by the
# host test detection_rows): deploy/detect.js under Wine's cscript, one run
# a row as Configuration Manager runs it, in the prefix KV_WINEPREFIX; and
# deploy/detect.ps1 under PowerShell 7, one process for the column. Every
# row must get the tool's verdict from both; a script that writes anything
# else, to either stream, or exits non-zero, fails the row.
# Usage: columns.sh ROWS_DIR
set -euo pipefail
rows=$1
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/scripts/wine-prefix.sh"
: "${KV_WINEPREFIX:?KV_WINEPREFIX names the Wine prefix}"
work=$(dirname "$KV_WINEPREFIX")/detect
mkdir -p "$work"
cp "$root/deploy/detect.js" "$work/"
drive="$KV_WINEPREFIX/drive_c/Program Files"
[ "$(id -u)" = 0 ] && chown -R kvwine "$work"

# The column's runs share one server: kept for it, unless one runs already
# (a kept prefix's).
kv_wine_user wineserver -p10 2>/dev/null || true
: >"$work/js.txt"
: >"$work/js-elsewhere.txt"
: >"$work/elsewhere.txt"
# One run of detect.js as the agent runs it, and its verdict: "migrated",
# "-" for nothing, or what else came out (any output on standard error or
# a non-zero exit among it).
detect_js() {
  local status=0 said
  kv_wine_user timeout 60 wine cscript //nologo "$(kv_wine_path "$work/detect.js")" \
    >"$work/out" 2>"$work/err" </dev/null || status=$?
  said=$(tr -d '\r' <"$work/out")
  if [ "$status" = 0 ] && [ ! -s "$work/err" ] && { [ -z "$said" ] || [ "$said" = migrated ]; }; then
    echo "${said:--}"
  else
    echo "exit:$status said:$(tr '\n' '|' <"$work/out") error:$(tr '\n' '|' <"$work/err")"
  fi
}
while read -r name _; do
  rm -rf "$drive/Norvane"
  cp -r "$rows/$name/Program Files/Norvane" "$drive/"
  [ "$(id -u)" = 0 ] && chown -R kvwine "$drive/Norvane"
  echo "$name $(detect_js)" >>"$work/js.txt"
done <"$rows/verdicts.txt"
rm -rf "$drive/Norvane"

# Where the tool looks: Program Files on D: (ProgramFilesDir, and a D: drive
# in dosdevices), a migrated product only there; then a product that is not
# migrated at the constant place as well, which wins.
key='HKLM\Software\Microsoft\Windows\CurrentVersion'
was=$(kv_wine_user wine reg query "$key" /v ProgramFilesDir | tr -d '\r' | sed -n 's/.*REG_SZ *//p')
mkdir -p "$work/d/Program Files"
cp -r "$rows/Migrated/Program Files/Norvane" "$work/d/Program Files/"
[ "$(id -u)" = 0 ] && chown -R kvwine "$work/d"
ln -sfn "$work/d" "$KV_WINEPREFIX/dosdevices/d:"
kv_wine_user wine reg add "$key" /v ProgramFilesDir /t REG_SZ /d 'D:\Program Files' /f >/dev/null
for case in "OnlyOnD migrated" "AlsoAtTheConstantPlace -"; do
  [ "${case% *}" = AlsoAtTheConstantPlace ] && cp -r "$rows/NotMigrated/Program Files/Norvane" "$drive/"
  echo "${case% *} $(detect_js)" >>"$work/js-elsewhere.txt"
  printf '%s\n' "$case" >>"$work/elsewhere.txt"
done
kv_wine_user wine reg add "$key" /v ProgramFilesDir /t REG_SZ /d "$was" /f >/dev/null
rm -rf "$KV_WINEPREFIX/dosdevices/d:" "$work/d" "$drive/Norvane"

pwsh=$(command -v pwsh || echo "${HOME:-/root}/.dotnet/tools/pwsh")
agree="the tool, detect.js and detect.ps1 agree on each"
if [ -x "$pwsh" ]; then
  "$pwsh" -NoProfile -NonInteractive -File "$root/tests/detect/Column.ps1" -Rows "$rows" \
    -Script "$root/deploy/detect.ps1" >"$work/ps.txt" 2>&1 || true
else
  echo "no pwsh (no dotnet here): the PowerShell column is skipped"
  cp "$rows/verdicts.txt" "$work/ps.txt"
  agree="the tool and detect.js agree on each (detect.ps1 skipped)"
fi

failed=0
report() {
  local column=$1 file=$2
  if ! diff <(cat "$rows/verdicts.txt") "$file" >"$work/diff"; then
    echo "$column disagrees with the tool (< tool, > $column):"
    cat "$work/diff"
    failed=1
  fi
}
report detect.js "$work/js.txt"
if ! diff "$work/elsewhere.txt" "$work/js-elsewhere.txt"; then
  echo "detect.js does not look where the tool looks (< tool, > detect.js)"
  failed=1
fi
report detect.ps1 "$work/ps.txt"
count=$(wc -l <"$rows/verdicts.txt")
if [ "$failed" = 0 ]; then
  echo "detection: $count rows, $agree"
fi
exit "$failed"
