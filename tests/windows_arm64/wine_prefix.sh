#!/bin/sh
# In the arm64-wine machine (sh:wine_prefix.sh, with the state disk writable): makes the Wine
# prefix that the suite's runs start from. It takes minutes under emulation, so it is made once.
export WINEPREFIX=/state/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
rm -rf "$WINEPREFIX"
/usr/lib/wine/wine64 wineboot.exe --init </dev/null \
  && /usr/lib/wine/wineserver64 --wait \
  && [ -f "$WINEPREFIX/system.reg" ]
