#!/usr/bin/env bash
# Checks that run_guest.sh leaves no machine behind: a run over its time limit fails and ends
# QEMU, and so does a runner killed with SIGKILL halfway through, which can clean up nothing.
#   runner_bounds_test.sh GUEST_DIR WORK_DIR RUN_GUEST_ARGS...
set -uo pipefail
guest=$1 work=$2
shift 2
runner=$(dirname "$0")/run_guest.sh

# The QEMU processes of one run, found by that run's own payload image.
machines_of() {
  local dir comm
  for dir in /proc/[0-9]*; do
    { read -r comm <"$dir/comm"; } 2>/dev/null || continue
    [[ $comm == qemu-system-* ]] || continue
    tr '\0' ' ' <"$dir/cmdline" 2>/dev/null | grep -qF "$1/payload.img" && echo "${dir#/proc/}"
  done
  return 0
}

# Polls for up to $2 seconds until the run's machines are gone; kills and reports stragglers.
# The guest's tests take far longer than that, so a machine that is still there was left over.
expect_gone() {
  local deadline=$((SECONDS + $2)) left
  left=$(machines_of "$1")
  while [[ -n $left ]] && ((SECONDS < deadline)); do
    sleep 0.1
    left=$(machines_of "$1")
  done
  if [[ -n $left ]]; then
    echo "FAIL: QEMU outlived the runner: $left" >&2
    kill -KILL $left
    return 1
  fi
}

failed=0
if bash "$runner" --guest "$guest" --work "$work/over-time" --timeout 5 "$@" >"$work.over-time.log" 2>&1; then
  echo "FAIL: a run over its time limit passed" >&2
  failed=1
elif ! grep -q "did not finish within 5 s" "$work.over-time.log"; then
  echo "FAIL: the runner did not say that the guest ran out of time" >&2
  failed=1
fi
expect_gone "$work/over-time" 5 || failed=1

bash "$runner" --guest "$guest" --work "$work/killed" --timeout 120 "$@" >"$work.killed.log" 2>&1 &
runner_pid=$!
deadline=$((SECONDS + 30))
until [[ -n $(machines_of "$work/killed") ]] || ((SECONDS >= deadline)); do
  sleep 0.1
done
if [[ -z $(machines_of "$work/killed") ]]; then
  echo "FAIL: the machine never started" >&2
  failed=1
fi
kill -KILL "$runner_pid"
wait "$runner_pid" 2>/dev/null
expect_gone "$work/killed" 5 || failed=1

((failed == 0)) && echo "no QEMU outlived a timed-out or killed runner"
exit $failed
