#!/usr/bin/env bash
# The release artifact: dist/KvMigrate.exe, stripped, with its symbols in
# dist/KvMigrate.exe.debug, and dist/SHA256SUMS. One commit always builds to
# the same bytes. Given a certificate, the executable is signed with
# Authenticode (osslsigncode); otherwise it is left unsigned.
# Usage: bash scripts/release.sh [--pkcs12 CERT.pfx [--password-file FILE]]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
pkcs12=
password=
while [ $# -gt 0 ]; do
  case "$1" in
    --pkcs12) pkcs12=$(realpath "$2"); shift 2 ;;
    --password-file) password=$(realpath "$2"); shift 2 ;;
    *) echo "usage: bash scripts/release.sh [--pkcs12 CERT.pfx [--password-file FILE]]" >&2; exit 2 ;;
  esac
done
bash scripts/setup.sh >/dev/null

# A clean build every time: nothing of an earlier one can leak in.
rm -rf build/release dist
cmake --preset release >/dev/null
cmake --build --preset release >/dev/null
mkdir dist
built=build/release/KvMigrate.exe
# objcopy stamps the headers it writes with this time: the commit's own.
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || echo 0)
export SOURCE_DATE_EPOCH
x86_64-w64-mingw32-objcopy --only-keep-debug "$built" dist/KvMigrate.exe.debug
x86_64-w64-mingw32-objcopy --strip-all --add-gnu-debuglink=dist/KvMigrate.exe.debug "$built" dist/KvMigrate.exe

if [ -n "$pkcs12" ]; then
  pass=()
  if [ -n "$password" ]; then pass=(-readpass "$password"); fi
  osslsigncode sign -pkcs12 "$pkcs12" "${pass[@]}" -h sha256 -n "Norvane VPN migration tool" \
    -in dist/KvMigrate.exe -out dist/KvMigrate.signed.exe >/dev/null
  mv dist/KvMigrate.signed.exe dist/KvMigrate.exe
fi

(cd dist && sha256sum KvMigrate.exe KvMigrate.exe.debug >SHA256SUMS)
cat dist/SHA256SUMS
