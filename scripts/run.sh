#!/bin/sh
# Builds Pelko and starts its window on a folder:
#   sh scripts/run.sh [FOLDER]
# Pelko works on the folder that holds its executable, so the executable is
# copied into FOLDER first (default: build/demo, made with a few sample
# files). The archive's name is asked for on the first run and kept in
# FOLDER/Pelko.ini.
set -eu
cd "$(dirname "$0")/.."
sh scripts/deps.sh
cmake -S . -B build -G Ninja -DKM_BUILD_APP=ON >/dev/null
cmake --build build --target pelko pelko-cli
folder=${1:-build/demo}
if [ "$#" -eq 0 ] && [ ! -d "$folder" ]; then
  mkdir -p "$folder/docs" "$folder/empty folder"
  cp README.md "$folder/docs/"
  cp -r scripts "$folder/docs/"
  printf 'Привет, архив!\n' > "$folder/Заметка.txt"
fi
if [ ! -d "$folder" ]; then
  echo "run.sh: no such folder: $folder" >&2
  exit 2
fi
cp build/bin/pelko "$folder/pelko"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "run.sh: no display to show the window on; start it under X, or try" >&2
  echo "  xvfb-run -a sh scripts/run.sh $*   (or build/bin/pelko-cli sync --base $folder ...)" >&2
  exit 1
fi
echo "Starting $folder/pelko"
exec "$folder/pelko"
