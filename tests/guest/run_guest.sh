#!/usr/bin/env bash
# Boots an emulated machine made by make_guest.sh, runs the given suites in it and fails unless
# every one of them passed. The test files go in on a second disk made for this run; the results
# come back over the serial console.
#
#   run_guest.sh --machine NAME --guest DIR --work DIR --timeout SECONDS [--bin FILE]...
#                [--library FILE] [--jar FILE]... [--state IMAGE | --save-state IMAGE]
#                [--suite-limit SECONDS] -- SUITE...
#
# NAME is a row of machines.sh, DIR what make_guest.sh made for it.
# --bin files land in /startutil/bin, --library files in /startutil/lib (the JVM's library
# path), --jar files in /startutil/jars (the JVM's class path, in the order given). A SUITE is
# "launcher" (the launcher's own tests), "bindings" (the library's entry points through the fake
# VM), "musl" (the musl host with the library in /startutil/lib), "jvm:CLASS" (one JUnit class
# of startutil.test) or "sh:FILE" (a --bin script).
# --state attaches an ext4 image labelled startutil-state, which the guest mounts at /state, for
# what a machine keeps between runs (a Wine prefix); --save-state keeps the run's changes to it,
# --state discards them. Each suite has --suite-limit seconds (240 unless given).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

name='' guest='' work='' limit='' bins=() libraries=() jars=() state='' state_option='' suite_limit=240
while (($#)); do
  case $1 in
    --machine) name=$2; shift 2 ;;
    --guest) guest=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --timeout) limit=$2; shift 2 ;;
    --bin) bins+=("$2"); shift 2 ;;
    --library) libraries+=("$2"); shift 2 ;;
    --jar) jars+=("$2"); shift 2 ;;
    --state) state=$2 state_option=,snapshot=on; shift 2 ;;
    --save-state) state=$2 state_option=''; shift 2 ;;
    --suite-limit) suite_limit=$2; shift 2 ;;
    --) shift; break ;;
    *) echo "run_guest.sh: unknown option $1" >&2; exit 2 ;;
  esac
done
suites=("$@")
if [[ -z $name || -z $guest || -z $work || -z $limit ]] || ((${#suites[@]} == 0)); then
  echo "usage: run_guest.sh --machine NAME --guest DIR --work DIR --timeout SECONDS [files]" \
       "-- SUITE..." >&2
  exit 2
fi
# shellcheck source=tests/guest/machines.sh
source "$here/machines.sh"
machine_settings "$name" || exit 2
for file in kernel initrd.img rootfs.img; do
  [[ -f $guest/$file ]] || { echo "no $guest/$file: run make_guest.sh first" >&2; exit 2; }
done

# The payload: what was built, the guest's script and the run's plan.
rm -rf "$work"
payload=$work/payload
mkdir -p "$payload/bin" "$payload/lib" "$payload/jars"
cp "$here/guest_tests.sh" "$payload/"
((${#bins[@]})) && cp "${bins[@]}" "$payload/bin/"
((${#libraries[@]})) && cp "${libraries[@]}" "$payload/lib/"
classpath=()
for jar in "${jars[@]}"; do
  cp "$jar" "$payload/jars/"
  classpath+=("/startutil/jars/$(basename "$jar")")
done
(IFS=:; echo "${classpath[*]}") >"$payload/classpath"
printf '%s\n' "${suites[@]}" >"$payload/suites"
echo "$suite_limit" >"$payload/suite_limit"
size_mb=$(($(du -sm "$payload" | cut -f1) * 5 / 4 + 16))
mkfs.ext4 -q -F -L startutil-tests -d "$payload" "$work/payload.img" "${size_mb}M"

state_disk=()
if [[ -n $state ]]; then
  state_disk=(-drive "file=$state,format=raw,if=none,id=state$state_option" -device "$disk,drive=state")
fi

# Every run has a hard limit, and QEMU dies with whoever started it: each process in the chain
# gets SIGKILL when its parent goes, so neither an interrupt nor CTest's own timeout leaves a
# machine running. The root image is opened read-only (snapshot): runs never change it.
log=$work/console.log
echo "booting the $name guest (limit ${limit} s): ${suites[*]}"
set +e
setpriv --pdeathsig KILL -- timeout --kill-after=10 "$limit" \
  setpriv --pdeathsig KILL -- "${qemu[@]}" \
    -smp 2 -m 2048 -accel tcg,thread=multi \
    -kernel "$guest/kernel" -initrd "$guest/initrd.img" \
    -append "console=$console panic=-1 quiet $kernel_options" \
    -drive "file=$guest/rootfs.img,format=raw,if=none,id=root,snapshot=on" \
    -device "$disk,drive=root" \
    -drive "file=$work/payload.img,format=raw,if=none,id=tests,readonly=on" \
    -device "$disk,drive=tests" \
    "${state_disk[@]}" \
    -nic none -display none -serial stdio -monitor none -no-reboot </dev/null \
  | tr -d '\r' | tee "$log"
status=${PIPESTATUS[0]}
set -e
if ((status == 124 || status == 137)); then
  echo "run_guest.sh: the guest did not finish within ${limit} s" >&2
fi

# Each suite reports one line; a suite that never reported failed, whatever QEMU's status.
failed=0
for suite in "${suites[@]}"; do
  if grep -qF "startutil-guest: $suite passed in " "$log"; then
    echo "$name guest: $suite passed"
  else
    echo "$name guest: $suite FAILED" >&2
    failed=1
  fi
done
((failed == 0 && status == 0))
