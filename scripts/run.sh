#!/bin/sh
# Builds Pelko and runs its job on a folder:
#   sh scripts/run.sh [FOLDER]
# With a display it starts the window on FOLDER (default: build/demo, made
# with a few sample files and an archive beside it, build/demo.zip). The
# archive is chosen in the window and kept in FOLDER/Pelko.ini.
# Without a display it runs the same job headless: pelko-cli syncs FOLDER
# into the archive its Pelko.ini names, lists the archive and tests it.
set -eu
cd "$(dirname "$0")/.."
sh scripts/deps.sh
cmake -S . -B build -G Ninja -DKM_BUILD_APP=ON >/dev/null
cmake --build build --target pelko pelko-cli
folder=${1:-build/demo}
if [ "$#" -eq 0 ]; then
  if [ ! -d "$folder" ]; then
    mkdir -p "$folder/docs" "$folder/empty folder"
    cp README.md "$folder/docs/"
    cp -r scripts "$folder/docs/"
    printf 'Привет, архив!\n' > "$folder/Заметка.txt"
  fi
  # The demo's archive lies beside it, not in it. (Earlier versions of this
  # script copied the program into the folder.)
  [ -f "$folder/Pelko.ini" ] ||
    printf '[Pelko]\r\nArchiveNameUtf8=%s\r\n' "$(pwd)/build/demo.zip" > "$folder/Pelko.ini"
  rm -f "$folder/pelko"
fi
if [ ! -d "$folder" ]; then
  echo "run.sh: no such folder: $folder" >&2
  exit 2
fi
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  echo "Starting build/bin/pelko $folder"
  exec build/bin/pelko "$folder"
fi

# No display: the job without the window.
if [ ! -f "$folder/Pelko.ini" ]; then
  echo "run.sh: $folder has no Pelko.ini that names its archive. Choose the archive" >&2
  echo "  in the window (on a desktop, or: xvfb-run -a sh scripts/run.sh $folder)," >&2
  echo "  or back it up with: build/bin/pelko-cli sync --base $folder --archive FILE.zip" >&2
  exit 2
fi
# The archive as the window reads it from Pelko.ini: ArchiveNameUtf8 when it
# agrees with ArchiveName (code page 1251), else ArchiveName; a relative
# name lies in the folder.
archive=$(python3 - "$folder" <<'EOF'
import os, re, sys
folder = sys.argv[1]
section, values = None, {}
with open(os.path.join(folder, "Pelko.ini"), "rb") as f:
    for raw in f.read().splitlines():
        line = raw.strip()
        m = re.match(rb"\[(.*)\]$", line)
        if m:
            section = m.group(1).strip().lower()
        elif section == b"pelko" and b"=" in line:
            key, value = line.split(b"=", 1)
            values.setdefault(key.strip().lower(), value.strip())
ansi = values.get(b"archivename", b"").decode("cp1251", "replace")
name = ansi
try:
    wide = values.get(b"archivenameutf8", b"").decode("utf-8")
    if wide and (not ansi or wide.encode("cp1251", "replace").decode("cp1251") == ansi):
        name = wide
except UnicodeDecodeError:
    pass
if not name:
    sys.exit(0)
if re.match(r"[A-Za-z]:\\", name):
    name = name[2:].replace("\\", "/")
elif not name.startswith("/"):
    name = os.path.join(folder, name.replace("\\", "/"))
print(os.path.abspath(name))
EOF
)
if [ -z "$archive" ]; then
  echo "run.sh: $folder/Pelko.ini names no archive (ArchiveName in section [Pelko])." >&2
  echo "  Choose it in the window, or: build/bin/pelko-cli sync --base $folder --archive FILE.zip" >&2
  exit 2
fi
cli=build/bin/pelko-cli
echo "No display: running the job without the window."
echo "== pelko-cli sync --base $folder --archive $archive"
status=0
"$cli" sync --base "$folder" --archive "$archive" || status=$?
if [ "$status" -ne 0 ] && [ "$status" -ne 1 ]; then
  echo "run.sh: the sync failed (exit status $status)" >&2
  exit "$status"
fi
echo "== pelko-cli list $archive"
"$cli" list "$archive"
echo "== pelko-cli test $archive"
"$cli" test "$archive"
echo
echo "Done: $folder is backed up in $archive."
echo "To open the window, run this on a desktop, or with a virtual display:"
echo "  xvfb-run -a sh scripts/run.sh $folder   (xvfb-run: Debian package xvfb)"
exit "$status"
