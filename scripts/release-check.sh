#!/usr/bin/env bash
# The release artifact as the test command checks it: its version record,
# manifest and imports read from the file; a signed build that verifies
# (with a throw-away self-signed certificate); and two unsigned builds of
# this commit that are byte for byte the same.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

bash scripts/release.sh >"$work/first"
python3 scripts/check-artifact.py dist/KvMigrate.exe
size=$(stat -c %s dist/KvMigrate.exe)
echo "dist/KvMigrate.exe: $size bytes, unsigned"

openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=KvMigrate test signing" \
  -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
head -c 24 /dev/urandom | base64 >"$work/password"
openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -out "$work/cert.pfx" \
  -passout "file:$work/password"
bash scripts/release.sh --pkcs12 "$work/cert.pfx" --password-file "$work/password" >/dev/null
osslsigncode verify -CAfile "$work/cert.pem" -in dist/KvMigrate.exe >"$work/verify" 2>&1 ||
  { cat "$work/verify"; echo "release: the signed executable does not verify" >&2; exit 1; }
python3 scripts/check-artifact.py dist/KvMigrate.exe
echo "dist/KvMigrate.exe: signed, and the signature verifies"

bash scripts/release.sh >"$work/second"
if ! cmp -s "$work/first" "$work/second"; then
  diff "$work/first" "$work/second" >&2 || true
  echo "release: two builds of one commit differ" >&2
  exit 1
fi
echo "release: two builds give the same bytes:"
cat "$work/second"
