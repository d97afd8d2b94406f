#!/usr/bin/env bash
# Debian's patched TinyXML sources (bookworm's 2.6.2-6+deb12u1, the ones
# setup.sh fetches through apt) for a machine without apt, such as the
# Windows CI's runners: the two files of the source package, checked against
# the checksums its .dsc gives, then Debian's patches in their order. From
# the archive, or else from its snapshot service, which keeps each file by
# its SHA-1. Usage: fetch-tinyxml.sh DEST (nothing to do if DEST has them).
set -euo pipefail
dest=${1:?usage: fetch-tinyxml.sh DEST}
[ -f "$dest/tinyxml.cpp" ] && exit 0
files=("tinyxml_2.6.2.orig.tar.gz 15bdfdcec58a7da30adc87ac2b078e4417dbe5392f3afb719f9ba6d062645593"
       "cba3f50dd657cb1434674a03b21394df9913d764"
       "tinyxml_2.6.2-6+deb12u1.debian.tar.xz 577ca162ec4db57e0be5f64a8e4813a72dcdab928ef690585f3300387262df78"
       "54bc8c6a1abe4e0087d83fdfe59b29271bb5102b")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for i in 0 2; do
  read -r name sha256 <<<"${files[$i]}"
  sha1=${files[$((i + 1))]}
  curl -fsSL --retry 3 -o "$work/$name" "https://deb.debian.org/debian/pool/main/t/tinyxml/$name" ||
    curl -fsSL --retry 3 -o "$work/$name" "https://snapshot.debian.org/file/$sha1"
  echo "$sha256  $work/$name" | sha256sum -c --quiet -
done
tar -xzf "$work/tinyxml_2.6.2.orig.tar.gz" -C "$work"
tar -xJf "$work/tinyxml_2.6.2-6+deb12u1.debian.tar.xz" -C "$work/tinyxml"
while read -r patch; do
  patch -s -p1 --no-backup-if-mismatch -d "$work/tinyxml" <"$work/tinyxml/debian/patches/$patch"
done <"$work/tinyxml/debian/patches/series"
mkdir -p "$(dirname "$dest")"
rm -rf "$dest"
mv "$work/tinyxml" "$dest"
