#!/bin/sh
# Runs a Windows program of the cross build under Wine: 64-bit Wine, the
# prefix given with --prefix (else KM_WINEPREFIX, else ~/.wine-pelko), the
# Russian system locale so that the ANSI code page is 1251 and the OEM one
# 866, and no Wine chatter on standard error.
set -eu
prefix="${KM_WINEPREFIX:-$HOME/.wine-pelko}"
if [ "${1:-}" = "--prefix" ]; then
  prefix="$2"
  shift 2
fi
mkdir -p "$prefix"
prefix="$(cd "$prefix" && pwd)"  # Wine wants it absolute
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=wine64
WINEPREFIX="$prefix" WINEDEBUG=-all LANG=ru_RU.UTF-8 LC_ALL=ru_RU.UTF-8 exec "$wine" "$@"
