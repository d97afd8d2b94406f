#!/usr/bin/env bash
# The detection scripts beside the tool on the table's rows (written by the
# host test detection_rows): deploy/detect.js under Wine's cscript, one run
# a row as Configuration Manager runs it, in the prefix KV_WINEPREFIX; and
# deploy/detect.ps1 under PowerShell 7, one process for the column, and
# some rows and the places the tool looks in as agents run it, a process
# each. Every row must get the tool's verdict from both; a script that
# writes anything else, to either stream, or exits non-zero, fails the row.
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
: >"$work/ps-runs.txt"
: >"$work/ps-elsewhere.txt"
# A run's verdict from its exit status and the streams in $work/out and
# $work/err: "migrated", "-" for nothing, or what else came out (any output
# on standard error or a non-zero exit among it).
verdict() {
  local status=$1 said
  said=$(tr -d '\r' <"$work/out")
  if [ "$status" = 0 ] && [ ! -s "$work/err" ] && { [ -z "$said" ] || [ "$said" = migrated ]; }; then
    echo "${said:--}"
  else
    echo "exit:$status said:$(tr '\n' '|' <"$work/out") error:$(tr '\n' '|' <"$work/err")"
  fi
}
# One run of detect.js as the agent runs it.
detect_js() {
  local status=0
  kv_wine_user timeout 60 wine cscript //nologo "$(kv_wine_path "$work/detect.js")" \
    >"$work/out" 2>"$work/err" </dev/null || status=$?
  verdict "$status"
}
# One run of detect.ps1 as the agents run it, with what Windows would
# answer it given through its stand-in (a line "NAME=VALUE" each).
detect_ps() {
  local status=0
  KV_DETECT_SEAM=$1 timeout 60 "$pwsh" -NoProfile -NonInteractive -ExecutionPolicy Bypass \
    -File "$root/deploy/detect.ps1" >"$work/out" 2>"$work/err" </dev/null || status=$?
  verdict "$status"
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

# A migrated file that another program holds open for writing: no reader
# that script has reads it then (measured under Wine 8: MSXML's file:
# reading, the file system object in both its modes; ADODB is not there),
# and detect.js says nothing, and nothing else.
cp -r "$rows/Migrated/Program Files/Norvane" "$drive/"
cp "$root/build/windows/tests/kv_harness.exe" "$work/"
rm -f "$work/hold" "$work/held"
mkfifo "$work/hold"
[ "$(id -u)" = 0 ] && chown -R kvwine "$drive/Norvane" "$work"
kv_wine_user timeout 60 wine "$work/kv_harness.exe" --hold \
  'C:\Program Files\Norvane\Norvane VPN\settings\kvvpn.xml' 0<>"$work/hold" >"$work/held" 2>&1 &
holder=$!
for _ in $(seq 100); do grep -q held "$work/held" && break; sleep 0.2; done
echo "HeldOpenForWriting $(tr -d '\r' <"$work/held" | grep -qx held && detect_js)" >>"$work/js-elsewhere.txt"
printf '%s\n' "HeldOpenForWriting -" >>"$work/elsewhere.txt"
timeout 5 bash -c 'echo >"$0"' "$work/hold" || true
wait "$holder" || true
rm -rf "$work/hold" "$drive/Norvane"

pwsh=$(command -v pwsh || echo "${HOME:-/root}/.dotnet/tools/pwsh")
# The rows also run as a process each, and what the places the tool looks
# in give it.
runs=(Migrated NotMigrated MissingFile DoesNotParse ZeroWidthSpaceAfterTheTwo Utf16LittleEndian)
grep -E "^($(IFS='|'; echo "${runs[*]}")) " "$rows/verdicts.txt" >"$work/runs-expected.txt"
printf 'OnlyOnD migrated\nAlsoAtTheConstantPlace -\nTheConstantPlaceOpenToAll migrated\n' >"$work/ps-places.txt"
agree="the tool, detect.js and detect.ps1 agree on each"
if [ -x "$pwsh" ]; then
  "$pwsh" -NoProfile -NonInteractive -File "$root/tests/detect/Column.ps1" -Rows "$rows" \
    -Script "$root/deploy/detect.ps1" >"$work/ps.txt" 2>&1 || true
  # Some rows as a process each, as the agents run it.
  for name in "${runs[@]}"; do
    echo "$name $(detect_ps "C=$rows/$name")" >>"$work/ps-runs.txt"
  done
  # Where the tool looks: the product on D: only; also at the constant
  # place, which wins; and there, where anyone may change it, which loses.
  mkdir -p "$work/nothing"
  elsewhere="ProgramFilesDir=D:\Program Files"$'\n'"OwnSid=S-1-5-18"
  open=$'\n''C:\Program Files\Norvane\Norvane VPN=O:S-1-5-21-1-2-3-1001D:(A;OICI;FA;;;WD)'
  echo "OnlyOnD $(detect_ps "C=$work/nothing"$'\n'"D=$rows/Migrated"$'\n'"$elsewhere")" >>"$work/ps-elsewhere.txt"
  echo "AlsoAtTheConstantPlace $(detect_ps "C=$rows/NotMigrated"$'\n'"D=$rows/Migrated"$'\n'"$elsewhere")" \
    >>"$work/ps-elsewhere.txt"
  echo "TheConstantPlaceOpenToAll $(detect_ps "C=$rows/NotMigrated"$'\n'"D=$rows/Migrated"$'\n'"$elsewhere$open")" \
    >>"$work/ps-elsewhere.txt"
else
  echo "no pwsh (no dotnet here): the PowerShell column is skipped"
  cp "$rows/verdicts.txt" "$work/ps.txt"
  cp "$work/ps-places.txt" "$work/ps-elsewhere.txt"
  cp "$work/runs-expected.txt" "$work/ps-runs.txt"
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
  echo "detect.js does not look where the tool looks, or reads a held file (< expected, > detect.js)"
  failed=1
fi
report detect.ps1 "$work/ps.txt"
if ! diff "$work/runs-expected.txt" "$work/ps-runs.txt"; then
  echo "detect.ps1 run as the agents run it disagrees with the tool (< tool, > detect.ps1)"
  failed=1
fi
if ! diff "$work/ps-places.txt" "$work/ps-elsewhere.txt"; then
  echo "detect.ps1 does not look where the tool looks (< tool, > detect.ps1)"
  failed=1
fi
count=$(wc -l <"$rows/verdicts.txt")
if [ "$failed" = 0 ]; then
  echo "detection: $count rows, $agree"
fi
exit "$failed"
