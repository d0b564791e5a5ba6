#!/bin/sh
# In the arm64-wine machine (sh:wine_suite.sh): StartUtil.dll for Windows on Arm64 under Wine, in
# the prefix on the state disk, for what differs by processor. A command line runs cmd.exe; both
# entry points start the probe (the driver checks what it reports) and the calls that reached
# CreateProcessW go to the console as "startutil-relay: " lines, for the host's check of their
# arguments, which knows these texts; a missing program gives its one failure line, and a text
# holding NUL is refused.
export WINEPREFIX=/state/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
wine=/usr/lib/wine/wine64
driver=/startutil/bin/startutil_driver.exe
dll='Z:\startutil\lib\StartUtil.dll'
probe='Z:\startutil\bin\startutil_probe.exe'
status=0
fail() {
  printf 'wine suite: %s\n' "$*"
  status=1
}

# One server for every run: a cold start costs seconds here. The first run also starts Wine's
# own services, whose process creations would otherwise show in the trace below.
/usr/lib/wine/wineserver64 --persistent
"$wine" "$driver" "$dll" 2 'cmd.exe /c echo ran>Z:\tmp\cmd-ran' >/dev/null \
  || fail "the command line's driver failed (exit $?)"
tries=0
while [ ! -s /tmp/cmd-ran ] && [ $tries -lt 600 ]; do
  sleep 0.1
  tries=$((tries + 1))
done
[ -s /tmp/cmd-ran ] || fail "cmd.exe did not run within 60 s"

WINEDEBUG=+relay "$wine" "$driver" "$dll" --probe 1 "$probe" 2 --null 2 --long=32767 \
  1 --long=32765 1 "--nul=$probe" 2 "\"$probe\" --flag \"two words\"" >/tmp/launch.out 2>/tmp/launch.err \
  || fail "the probes' driver failed (exit $?)"
grep -a '^driver: ' /tmp/launch.err
grep -a 'Call [A-Za-z0-9]*[.]CreateProcessW(' /tmp/launch.err | sed 's/^/startutil-relay: /'

# The echoes, the second up to its NUL, and one line for each text (CR LF: the C runtime's
# standard error is in text mode).
"$wine" "$driver" "$dll" 2 'missing-program.exe --flag' 1 "--nul=$probe" >/tmp/fail.out 2>/tmp/fail.err \
  || fail "the failures' driver failed (exit $?)"
[ "$(cat /tmp/fail.out)" = "missing-program.exe --flag$probe" ] || fail "echoes: $(cat /tmp/fail.out)"
tr -d '\r' </tmp/fail.err >/tmp/fail.lines
[ "$(grep -c '' /tmp/fail.lines)" = 2 ] \
  && grep -qx 'StartUtil: cannot start "missing-program.exe --flag": .* (error 2)' /tmp/fail.lines \
  && grep -qxF "StartUtil: cannot start \"$probe␀ tail\": the text holds a NUL character (error 87)" \
       /tmp/fail.lines \
  || fail "failure lines: $(cat /tmp/fail.lines)"

/usr/lib/wine/wineserver64 --kill
exit $status
