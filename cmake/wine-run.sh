#!/bin/sh
# Runs a Windows program of the cross build under Wine: 64-bit Wine, a prefix
# of the build's own (KM_WINEPREFIX, else beside this build's programs), the
# Russian system locale so that the ANSI code page is 1251 and the OEM one 866,
# and no Wine chatter on standard error.
set -eu
prefix="${KM_WINEPREFIX:-${WINEPREFIX:-$HOME/.wine-pelko}}"
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=wine64
WINEPREFIX="$prefix" WINEDEBUG=-all LANG=ru_RU.UTF-8 LC_ALL=ru_RU.UTF-8 exec "$wine" "$@"
