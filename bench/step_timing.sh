#!/usr/bin/env bash
# Times each step of a native launch: copies the launcher's sources to OUT_DIR, reads the clock at
# each step (the lines below name where), builds step_timing.cpp against that copy and runs it.
#
#   bash bench/step_timing.sh CALLS OUT_DIR [PROGRAM]     prints Markdown table rows
set -euo pipefail
cd "$(dirname "$0")/.."
(($# >= 2)) || { echo "usage: step_timing.sh CALLS OUT_DIR [PROGRAM]" >&2; exit 2; }
calls=$1 out=$2 program=${3:-/bin/true}
mkdir -p "$out"
cp StartUtil/*.cpp StartUtil/*.h "$out/"

# "before|after <stamp> <line>": a clock read before or after the first line that reads exactly so,
# in the caller's side (launch.cpp, launcher_linux.cpp) or in the children's (child_linux.cpp).
marks='after 0 |    HeldCallerState callerState;
after 1 |    if (reporting == Reporting::StandardStreams) echo(command.view());
after 2 |    int planError = planProgram(mode, command, *plan);
before 3 |    long intermediate = raw::clone(CLONE_VM | CLONE_VFORK, plan.intermediateStackTop, nullptr,
before 4 |    resetSignalDispositions();
after 5 |    resetSignalDispositions();
after 6 |    if (isolateDescriptors(plan)) {
after 7 |int runProgram(void* argument) {
before 8 |    fail(plan, Ending::Program, execProgram(plan));
before 9 |    int status = reap(static_cast<pid_t>(intermediate));
after 10 |    int status = reap(static_cast<pid_t>(intermediate));
after 11 |    releasePlan(plan);'
awk -v marks="$marks" '
  BEGIN {
    n = split(marks, lines, "\n")
    for (i = 1; i <= n; ++i) {
      split(lines[i], parts, " \\|")
      split(parts[1], head, " ")
      where[i] = head[1]; stamp[i] = head[2]; text[i] = substr(lines[i], index(lines[i], "|") + 1)
    }
  }
  FNR == 1 {
    copy = out "/" substr(FILENAME, index(FILENAME, "/") + 1)
    print "#include <time.h>" > copy
    print "extern long long stepStamps[12];" > copy
    print "static inline void stepStamp(int i) { timespec t; clock_gettime(CLOCK_MONOTONIC, &t); stepStamps[i] = t.tv_sec * 1000000000LL + t.tv_nsec; }" > copy
  }
  {
    for (i = 1; i <= n; ++i) if (!done[i] && where[i] == "before" && $0 == text[i]) { print "stepStamp(" stamp[i] ");" > copy; done[i] = 1 }
    print > copy
    for (i = 1; i <= n; ++i) if (!done[i] && where[i] == "after" && $0 == text[i]) { print "stepStamp(" stamp[i] ");" > copy; done[i] = 1 }
  }
  END { for (i = 1; i <= n; ++i) if (!done[i]) { print "step_timing.sh: no line \"" text[i] "\"" > "/dev/stderr"; exit 1 } }
' out="$out" StartUtil/launch.cpp StartUtil/launcher_linux.cpp StartUtil/child_linux.cpp

${CXX:-g++} -std=c++20 -O2 -Wall -Wextra -Werror -fno-exceptions -fno-rtti -I"$out" -o "$out/step_timing" \
  bench/step_timing.cpp "$out/launch.cpp" "$out/launcher_linux.cpp" "$out/child_linux.cpp" "$out/utf8.cpp" "$out/failure_line.cpp" \
  "$out/command_line.cpp" "$out/output_linux.cpp" "$out/stacks_linux.cpp" "$out/system_message_linux.cpp"
"$out/step_timing" "$calls" "$program" 2>&1 >/dev/null
