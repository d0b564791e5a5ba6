#!/bin/sh
# In the arm64-wine machine (sh:wine_prefix.sh, with the state disk writable): makes the Wine
# prefix that the suite's runs start from. It takes minutes under emulation, so it is made once.
# wineboot may end nonzero when a service of no use here fails to start: what counts is a prefix
# with its registry written out and the system folder filled.
export WINEPREFIX=/state/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
rm -rf "$WINEPREFIX"
/usr/lib/wine/wine64 wineboot.exe --init </dev/null
echo "wineboot ended with $?"
/usr/lib/wine/wineserver64 --wait \
  && [ -s "$WINEPREFIX/system.reg" ] && [ -s "$WINEPREFIX/user.reg" ] \
  && [ -f "$WINEPREFIX/drive_c/windows/system32/kernel32.dll" ]
