#!/bin/sh
# Runs in the emulated machine as its first process, from the payload disk at /startutil:
# runs each suite named in /startutil/suites, prints one result line per suite on the console,
# and powers the machine off.
# The tree was unpacked, never configured: it has no mount of its own, busybox has.
busybox mount -t proc proc /proc
busybox mount -t sysfs sysfs /sys
busybox mount -t devtmpfs devtmpfs /dev
busybox mount -t tmpfs tmpfs /tmp
# What a machine keeps between runs, when the run brings it (run_guest.sh --state).
if state=$(busybox findfs LABEL=startutil-state 2>/dev/null); then
  mkdir -p /state && busybox mount -t ext4 "$state" /state
fi
export PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/tmp LC_ALL=C.UTF-8 GTEST_COLOR=no
# The machine's one JDK (17 or 21), not its java-1.N.0 alias.
java=$(echo /usr/lib/jvm/java-[0-9][0-9]-openjdk-*/bin/java)
# Within each suite's own limit, so that one that hangs still lets the others report.
suite_limit=$(cat /startutil/suite_limit)

# The JVM tests as CTest runs them on the host: a working directory with a space in it, a report
# directory of their own and an environment value the children must inherit. Every JVM,
# the tests' driver JVMs too, runs with the quick compiler, which pays off under emulation, and
# the tests' deadlines are stretched fivefold: Java runs 15 to 20 times slower here.
jvm_suite() {
  mkdir -p "/tmp/working directory" "/tmp/reports/$1"
  cd "/tmp/working directory" || return 1
  STARTUTIL_PROBE_DIR="/tmp/reports/$1" STARTUTIL_PROBE_ENV='from the guest: a b=c "q"' \
    JAVA_TOOL_OPTIONS='-XX:TieredStopAtLevel=1 -XX:+UseSerialGC' \
    timeout -k 5 $suite_limit "$java" -Dstartutil.timeScale=5 -Djava.library.path=/startutil/lib \
      -Dstartutil.probe=/startutil/bin/startutil_probe -cp "$(cat /startutil/classpath)" \
      org.junit.runner.JUnitCore "startutil.test.$1"
  status=$?
  cd / || return 1
  return $status
}

echo "startutil-guest: $(uname -srm), $(nproc) processors"
while read -r suite; do
  start=$(date +%s)
  case $suite in
    launcher) (cd /tmp && timeout -k 5 $suite_limit /startutil/bin/linux_launcher_tests) ;;
    bindings) (cd /tmp && timeout -k 5 $suite_limit /startutil/bin/linux_bindings_test) ;;
    musl) timeout -k 5 $suite_limit /startutil/bin/musl_host /startutil/lib/libStartUtil.so \
            /startutil/bin/startutil_probe ;;
    jvm:*) jvm_suite "${suite#jvm:}" ;;
    sh:*) (cd /tmp && timeout -k 5 $suite_limit sh "/startutil/bin/${suite#sh:}") ;;
    *) echo "no such suite"; false ;;
  esac
  status=$?
  result=passed
  [ $status -eq 0 ] || result="failed (exit $status)"
  echo "startutil-guest: $suite $result in $(($(date +%s) - start)) s"
done </startutil/suites

grep -q ' /state ' /proc/mounts && busybox umount /state
sync
echo o >/proc/sysrq-trigger
sleep 10
