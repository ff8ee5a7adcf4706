#!/bin/sh
# Builds the program and starts it. Arguments are passed to the program.
set -eu
cd "$(dirname "$0")/.."
sh scripts/deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target pelko-cli
if [ "$#" -eq 0 ]; then
  set -- --help
fi
exec build/bin/pelko-cli "$@"
