#!/usr/bin/env bash
# The demo: a JVM starts a child through StartUtil and exits; the child runs on, detached.
# Usage: bash demo/run.sh [StartUtil-<version>.jar]. Exits nonzero if the child is not detached.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
jar=${1:-$(ls -t "$here"/../build/dist/StartUtil-*[0-9].jar 2>/dev/null | head -n 1)}
[[ -f $jar ]] || { echo "no StartUtil jar in build/dist: run bash tools/build.sh" >&2; exit 1; }
work=$(mktemp -d -t startutil-demo.XXXXXX)
child=

# Whatever happens, stop the child (its process group: the shell and its sleep) and remove the
# directory; a pid is only signalled while its command line still names our directory.
cleanup() {
  if [[ -z $child && -s $work/pid ]]; then child=$(<"$work/pid"); fi
  if [[ -n $child ]] && grep -qF "$work" "/proc/$child/cmdline" 2>/dev/null; then
    kill -TERM -- "-$child" 2>/dev/null || true
    for _ in $(seq 50); do [[ $(stat_of "$child" 2>/dev/null) == [SRD]* ]] || break; sleep 0.1; done
  fi
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAILED: $*" >&2
  exit 1
}

# Fields of /proc/PID/stat after the command name: state, parent, group, session.
stat_of() {
  local stat
  stat=$(<"/proc/$1/stat")
  echo "${stat##*) }"
}

echo "StartUtil demo: a JVM starts a program and exits; the program keeps running, detached."
echo
echo "1. java --enable-native-access=ALL-UNNAMED -cp $(basename "$jar") demo/StartChild.java"
timeout 60 java --enable-native-access=ALL-UNNAMED -cp "$jar" "$here/StartChild.java" "$work" \
  >"$work/java.out" 2>&1 ||
  fail "the JVM failed: $(cat "$work/java.out")"
sed 's/^/     /' "$work/java.out"
read -r jvm jvm_session <"$work/jvm"

for _ in $(seq 50); do [[ -s $work/pid ]] && break; sleep 0.1; done
[[ -s $work/pid ]] || fail "the child never wrote its pid"
child=$(<"$work/pid")
[[ ! -e /proc/$jvm ]] || fail "JVM $jvm is still running"
[[ -e /proc/$child ]] || fail "the child $child is not running"
read -r state parent _ session _ <<<"$(stat_of "$child")"
fds=$(cd "/proc/$child/fd" && for fd in *; do printf '%s -> %s, ' "$fd" "$(readlink "$fd")"; done)
fds=${fds%, }

echo
echo "2. JVM $jvm is gone. Its child:"
echo "     pid          $child, the one DetachedProcess.start returned, running (state $state)"
echo "     session      $session, its own (the JVM's was $jvm_session)"
echo "     parent       $parent ($(cat "/proc/$parent/comm" 2>/dev/null || echo gone)), not the JVM"
echo "     descriptors  $fds"
[[ $session == "$child" && $session != "$jvm_session" ]] ||
  fail "the child is not in a session of its own"
[[ $parent != "$jvm" ]] || fail "the child's parent is the JVM"
[[ $(<"$work/started") == "$child" ]] || fail "DetachedProcess.start returned $(<"$work/started")"
[[ $fds == "0 -> /dev/null, 1 -> /dev/null, 2 -> /dev/null" ]] || fail "unexpected descriptors"

beats() { wc -l <"$work/heartbeat" 2>/dev/null || echo 0; }
for _ in $(seq 30); do (($(beats) >= 2)) && break; sleep 0.1; done
before=$(beats)
sleep 1
after=$(beats)
echo "     heartbeat    $before lines, one second later $after lines: still at work"
((after > before)) || fail "the heartbeat stopped"

cleanup
child=
echo
echo "3. Stopped the child (SIGTERM to its process group) and removed $work."
