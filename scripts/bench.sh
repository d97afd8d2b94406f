#!/usr/bin/env bash
# Host benchmarks of the settings steps, optimised build; then, where
# PowerShell 7 is installed, deploy/detect.ps1 beside the detection an
# administrator would write by hand ([xml] and a property walk), as whole
# processes on migrated settings files of 2, 10 and 100 KB (median of 3).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh >/dev/null
cmake --preset bench >/dev/null
cmake --build --preset bench
build/bench/tests/bench/kv_bench "$@"

pwsh=$(command -v pwsh || echo "${HOME:-/root}/.dotnet/tools/pwsh")
[ -x "$pwsh" ] || { echo "no pwsh: the detection benchmark is skipped"; exit 0; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cat >"$work/peer.ps1" <<'PEER'
$x = [xml](Get-Content -LiteralPath 'C:\Program Files\Norvane\Norvane VPN\settings\kvvpn.xml' -Raw)
if ($x.DocumentElement.settings.switch_provider -eq '2') { 'migrated' }
PEER
# Seconds of one whole process, the median of three.
median() {
  local runs=() i
  for i in 1 2 3; do
    runs+=("$( { /usr/bin/time -f %e "$@" >/dev/null; } 2>&1 | tail -n 1)")
  done
  printf '%s\n' "${runs[@]}" | sort -n | sed -n 2p
}
printf '%8s %12s %12s %7s\n' size detect.ps1 "[xml] peer" ratio
for kb in 2 10 100; do
  drive="$work/$kb"
  mkdir -p "$drive/Program Files/Norvane/Norvane VPN/settings"
  python3 - "$drive/Program Files/Norvane/Norvane VPN/settings/kvvpn.xml" "$kb" <<'DOC'
import sys
head = ('\ufeff<?xml version="1.0" encoding="utf-8"?>\r\n<kvvpn>\r\n\t<settings>\r\n'
        '\t\t<switch_provider>2</switch_provider>\r\n\t\t<time_provider>1797002936</time_provider>\r\n')
tail = '\t</settings>\r\n</kvvpn>\r\n'
body, i = '', 0
while len((head + body + tail).encode()) < int(sys.argv[2]) * 1024:
    body += '\t\t<server_%d name="vpn-%d.example" port="%d">endpoint %d</server_%d>\r\n' % (i, i, 443 + i % 5, i, i)
    i += 1
open(sys.argv[1], 'wb').write((head + body + tail).encode())
DOC
  detect=$(median env KV_DETECT_SEAM="C=$drive" "$pwsh" -NoProfile -NonInteractive -File deploy/detect.ps1)
  peer=$(median "$pwsh" -NoProfile -NonInteractive -Command \
    "New-PSDrive -Name C -PSProvider FileSystem -Root '$drive' | Out-Null; & '$work/peer.ps1'")
  printf '%6s KB %10s s %10s s %7s\n' "$kb" "$detect" "$peer" "$(python3 -c "print(round($detect / $peer, 2))")"
done
