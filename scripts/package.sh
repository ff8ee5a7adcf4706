#!/bin/sh
# Builds the Debian package of pelko and pelko-cli (a Release build in
# build-deb/), prints its path and checks it with lintian, which must report
# no error.
set -eu
cd "$(dirname "$0")/.."
sh scripts/deps.sh
# The package's files and directories get the usual modes whatever the
# caller's umask.
umask 022
dir=build-deb
# Debian's flags, with all its hardening (stack protector, fortified calls,
# read-only relocations bound at start), which lintian looks for in the
# binaries. They optimise at -O2, as Debian builds its packages: Release's
# own -O3 only adds GCC 12's false -Wrestrict warnings on string joins.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cxxflags="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
ldflags="$(dpkg-buildflags --get LDFLAGS)"
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKM_BUILD_APP=ON \
  -DKM_BUILD_TESTS=OFF -DKM_BUILD_BENCH=OFF -DKM_SANITIZE=OFF -DKM_TSAN=OFF \
  -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_CXX_FLAGS_RELEASE=-DNDEBUG \
  -DCMAKE_EXE_LINKER_FLAGS="$ldflags" >/dev/null
cmake --build "$dir"
rm -f "$dir"/pelko_*.deb
(cd "$dir" && cpack -G DEB >/dev/null)
deb=$(ls "$dir"/pelko_*.deb)
echo "$deb"
status=0
report=$(lintian "$deb" 2>&1) || status=$?
[ -z "$report" ] || printf '%s\n' "$report"
if printf '%s\n' "$report" | grep -q '^E: '; then
  echo "lintian reports errors in $deb" >&2
  exit 1
fi
if [ "$status" -ne 0 ]; then
  echo "lintian failed with status $status" >&2
  exit 1
fi
