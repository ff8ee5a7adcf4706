#!/bin/sh
# Builds everything and runs every test. KM_SANITIZE=1 builds with
# AddressSanitizer and UndefinedBehaviorSanitizer in build-asan/.
set -eu
cd "$(dirname "$0")/.."
sh scripts/deps.sh
dir=build
flags="-DKM_BUILD_BENCH=ON -DKM_BUILD_APP=ON"
if [ "${KM_SANITIZE:-0}" = "1" ]; then
  dir=build-asan
  flags="-DKM_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug -DKM_BUILD_APP=ON"
fi
cmake -S . -B "$dir" -G Ninja $flags >/dev/null
cmake --build "$dir"
cd "$dir"
ctest --output-on-failure -j2
