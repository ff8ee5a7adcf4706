#!/bin/sh
# Installs the Debian packages the build and the tests need, when missing.
set -eu
packages="cmake ninja-build g++ zlib1g-dev libgtest-dev libbenchmark-dev unzip zip 7zip python3 libarchive-tools qt6-base-dev strace util-linux mount"
missing=""
for p in $packages; do
  dpkg -s "$p" >/dev/null 2>&1 || missing="$missing $p"
done
if [ -n "$missing" ]; then
  echo "Installing:$missing"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q $missing
fi
