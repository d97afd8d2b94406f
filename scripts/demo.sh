#!/usr/bin/env bash
# The main job: sets the machine up, builds KvMigrate.exe and runs it under
# Wine on a sample installation of Norvane VPN (a stub service installed as
# "kvvpnservice", a stub user-interface program, a settings file), showing
# the settings file before and after and the tool's console output. The
# closing key is typed in by a harness, so the run ends by itself.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh >/dev/null
echo "Building KvMigrate.exe ..."
cmake --preset windows >/dev/null
cmake --build --preset windows --target KvMigrate kv_stub_service kv_stub_ui kv_harness >/dev/null
bin=build/windows

. scripts/wine-prefix.sh
echo "Making a throw-away Wine prefix ..."
kv_wine_prefix_up
stage="$KV_WINE_TOP/bin"
mkdir -p "$stage"
cp "$bin/tests/kv_stub_service.exe" "$stage/"
product="$KV_WINEPREFIX/drive_c/Program Files/Norvane/Norvane VPN"
mkdir -p "$product/settings"
cp "$bin/tests/kv_stub_ui.exe" "$product/kvvpnuiapp.exe"
settings="$product/settings/kvvpn.xml"
cp scripts/sample/kvvpn.xml "$settings"
[ "$(id -u)" = 0 ] && chown -R kvwine "$stage" "$KV_WINEPREFIX/drive_c/Program Files/Norvane"
kv_wine_user wine sc create kvvpnservice binPath= "$(kv_wine_path "$stage/kv_stub_service.exe")" start= demand >/dev/null
echo "Waiting 35 s for Wine's service manager to settle ..."
kv_wine_settle
kv_wine_user wine sc start kvvpnservice >/dev/null
echo
echo "=== C:\\Program Files\\Norvane\\Norvane VPN\\settings\\kvvpn.xml before"
tr -d '\r' <"$settings"
echo
echo "=== KvMigrate.exe (the key is typed when it asks for one)"
# The programs the tool launches die with the harness's terminal, the
# relaunched user-interface program too if it has not logged by then: the
# harness keeps the terminal until the log has both launches.
ui_log="$product/kvvpnuiapp.log"
scripts/wine-run --console "$bin/tests/kv_harness.exe" "$bin/KvMigrate.exe" \
  "$(kv_wine_path "$stage/kvmigrate-output.txt")" 60000 "$(kv_wine_path "$ui_log")" 2 \
  >"$stage/harness.txt" || true
tr -d '\r' <"$stage/kvmigrate-output.txt"
echo "--- $(cat "$stage/harness.txt")"
echo
echo "=== kvvpn.xml after"
tr -d '\r' <"$settings"
echo
echo "=== the service afterwards"
kv_wine_user wine sc query kvvpnservice | tr -d '\r' | grep -E 'STATE' || true
echo "=== the user-interface program's launches (tick count, command line, current folder, its environment)"
tr -d '\r' <"$ui_log" | sed 's/\t/  /g'
kv_wine_user wine sc stop kvvpnservice >/dev/null 2>&1 || true
