#!/bin/sh
# Installs the Debian packages the build and the tests need, when missing.
set -eu
packages="cmake ninja-build g++ zlib1g-dev libgtest-dev libbenchmark-dev unzip zip 7zip python3 libarchive-tools qt6-base-dev strace util-linux mount wine wine64 g++-mingw-w64-x86-64-posix libz-mingw-w64-dev googletest locales lintian desktop-file-utils dpkg-dev file"
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
# The Windows build's tests run under Wine with the Russian system locale
# (ANSI code page 1251, OEM 866): the locale must exist on the host.
if ! locale -a 2>/dev/null | grep -qi '^ru_RU\.utf-\?8$'; then
  echo "Generating the ru_RU.UTF-8 locale"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO sed -i 's/^# *ru_RU.UTF-8 UTF-8/ru_RU.UTF-8 UTF-8/' /etc/locale.gen
  grep -q '^ru_RU.UTF-8 UTF-8' /etc/locale.gen || echo 'ru_RU.UTF-8 UTF-8' | $SUDO tee -a /etc/locale.gen >/dev/null
  $SUDO locale-gen >/dev/null
fi
