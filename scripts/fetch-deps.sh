#!/usr/bin/env bash
# Fetches the third-party sources from Debian's source packages into a folder of the
# build tree and unpacks them with Debian's patches applied. Re-running is a no-op.
# usage: fetch-deps.sh <dest-dir>
set -euo pipefail
dest=${1:?destination folder}
mkdir -p "$dest"
cd "$dest"
if [ -f VERSIONS ] && [ -f .complete ]; then exit 0; fi
rm -rf ./*
packages=(zlib libjsoncpp tinyxml libpng1.6)
apt-get source --download-only "${packages[@]}" >download.log 2>&1 || {
  cat download.log >&2; echo "fetch-deps: apt-get source failed (are deb-src entries set up? run scripts/setup-machine.sh)" >&2; exit 1; }
apt-get download cimg-dev >>download.log 2>&1
for dsc in *.dsc; do dpkg-source -x "$dsc" >>unpack.log 2>&1; done
dpkg-deb -x cimg-dev_*.deb cimg
# Canonical folder names for the build.
ln -sfn "$(ls -d zlib-*/ | head -1)" zlib
ln -sfn "$(ls -d libjsoncpp-*/ | head -1)" jsoncpp
ln -sfn "$(ls -d tinyxml-*/ | head -1)" tinyxml
ln -sfn "$(ls -d libpng1.6-*/ | head -1)" libpng
{
  for dsc in *.dsc; do echo "$(basename "$dsc" .dsc)"; done
  ls cimg-dev_*.deb | sed 's/_all\.deb$//'
} > VERSIONS
touch .complete
