#!/usr/bin/env bash
# Launch benchmarks: the library against ProcessBuilder (from Java) and against posix_spawn and
# fork + execve (native), each in a small heap and a large pre-touched one. Configurations take
# turns, round after round, so that load from elsewhere falls on all of them alike.
#
#   bash bench/run.sh                        builds through the linux preset, runs everything
#                                            (3 to 6 minutes), writes bench/RESULTS.md and
#                                            bench/launch_cost.png
#   bash bench/run.sh --smoke native|java BUILD_DIR OUT_DIR
#                                            a few launches per configuration; fails if one fails
set -euo pipefail
cd "$(dirname "$0")/.."

program=/bin/true
if [[ ${1:-} == --smoke ]]; then
  (($# == 4)) || { echo "usage: run.sh --smoke native|java BUILD_DIR OUT_DIR" >&2; exit 2; }
  suites=$2 build=$3 out=$4
  [[ $suites == native || $suites == java ]] || { echo "run.sh: no suite '$suites'" >&2; exit 2; }
  rounds=1 native_calls=20 large_fork_calls=5 java_warmup=5 java_calls=10 large_mib=64 step_calls=20
else
  suites="native java" build=build/linux out=build/linux/bench/results
  rounds=4 native_calls=1000 large_fork_calls=20 java_warmup=300 java_calls=1000 large_mib=4096
  step_calls=2000
  bash tools/setup.sh
  cmake --preset linux >/dev/null
  nice -n 10 cmake --build --preset linux --target launch_cost step_timing JavaLaunchCost StartUtil
fi
java=${JAVA:-java}
launch_cost=$build/bench/launch_cost
classpath=$build/java/StartUtil.jar:$build/bench/JavaLaunchCost.jar
# Only what an earlier run wrote there: the rounds' samples, the plot's data and the report.
mkdir -p "$out" && rm -rf "$out"/[0-9]* "$out"/steps "$out"/plot-*.dat "$out"/RESULTS.md "$out"/launch_cost.png

run_native() { # heap round
  local touch=0 fork_calls=$native_calls
  [[ $1 == large ]] && touch=$large_mib fork_calls=$large_fork_calls
  "$launch_cost" --calls "$native_calls" --fork-calls "$fork_calls" --touch "$touch" \
    --out "$out/$2" "$program"
}

# Each configuration in a JVM of its own, under a subreaper that accounts for the library's
# programs; the JVM's standard output is the library's echo, so it goes to /dev/null.
run_java() { # method threads heap round
  local method=$1 threads=$2 heap=$3 kind=processbuilder expect=0
  local name=java-$method-t$threads-$heap
  local jvm=("$java" --enable-native-access=ALL-UNNAMED -Djava.library.path="$build/StartUtil"
    -cp "$classpath")
  [[ $heap == large ]] && jvm+=(-Xms${large_mib}m -Xmx${large_mib}m -XX:+AlwaysPreTouch)
  case $method in
    library) kind=library expect=$((threads * (java_warmup + java_calls))) ;;
    pb_vfork) jvm+=(-Djdk.lang.Process.launchMechanism=VFORK) ;;
    # DetachedProcess, invokeNonBlockingCommand and ProcessBuilder by turns: two of three are
    # the library's programs.
    interleaved) kind=interleaved name=java-interleaved expect=$((2 * (java_warmup + java_calls))) ;;
  esac
  "$launch_cost" reap --expect "$expect" -- "${jvm[@]}" startutil.bench.JavaLaunchCost "$kind" \
    "$threads" "$java_warmup" "$java_calls" "$program" "$out/$4/$name" >/dev/null
}

load() { cut -d' ' -f1-3 /proc/loadavg; }
# Every configuration once per round; even rounds take them in reverse, so that load rising or
# falling through a round does not always favour the same ones.
configurations=()
for heap in small large; do
  if [[ $suites == *native* ]]; then configurations+=("native $heap"); fi
  if [[ $suites == *java* ]]; then
    for threads in 1 2; do
      for method in library pb_vfork pb_default; do configurations+=("java $heap $threads $method"); done
    done
    if [[ $heap == small ]]; then configurations+=("java small 1 interleaved"); fi
  fi
done

round_loads=()
started=$(date -u '+%Y-%m-%d %H:%M UTC')
for ((round = 1; round <= rounds; ++round)); do
  mkdir -p "$out/$round"
  round_loads+=("$(load)")
  echo "round $round of $rounds, load ${round_loads[-1]}" >&2
  mapfile -t order < <(printf '%s\n' "${configurations[@]}" | if ((round % 2)); then cat; else tac; fi)
  for configuration in "${order[@]}"; do
    read -r suite heap threads method <<<"$configuration"
    if [[ $suite == native ]]; then
      run_native "$heap" "$round"
    else
      run_java "$method" "$threads" "$heap" "$round"
    fi
  done
done
round_loads+=("$(load)")

# Where a native launch's time goes: the launcher built with a clock read at each step. Its rows
# come on standard error.
steps=
if [[ $suites == *native* ]]; then
  echo "steps of a launch, $step_calls calls" >&2
  steps=$("$build/bench/step_timing" "$step_calls" "$program" 2>&1 >/dev/null)
fi

# ---- Report -------------------------------------------------------------------------------------

# "n median p99 slow p10" of the numbers on standard input: percentiles by nearest rank, and
# the share of values over 4000 (calls over 4 ms, a scheduler tick at 250 Hz), in percent.
stats() {
  sort -g | awk '{ v[NR] = $1; slow += $1 > 4000 }
    function rank(f,  r) { r = f * NR; r = (r == int(r)) ? r : int(r) + 1; return r < 1 ? 1 : r }
    END { if (NR) printf "%d %.1f %.1f %.1f %.1f\n", NR, v[rank(0.5)], v[rank(0.99)], 100 * slow / NR,
                         v[rank(0.1)] }'
}
field() { stats | cut -d' ' -f"$1"; }
pooled() { cat "$out"/*/"$1.samples" 2>/dev/null || true; }
round_medians() { # min-max of each round's median
  local medians=() f
  for f in "$out"/*/"$1.samples"; do [[ -e $f ]] && medians+=("$(field 2 <"$f")"); done
  printf '%s\n' "${medians[@]}" | sort -g | sed -n '1p;$p' | paste -sd'-'
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a && b) printf "%.2f", a / b; else printf "-" }'; }

label() {
  case $1 in
    library) echo "library" ;; detached) echo "DetachedProcess.start" ;; pb_vfork) echo "ProcessBuilder, VFORK" ;;
    pb_default) echo "ProcessBuilder, default" ;; posix_spawn) echo "posix_spawn" ;;
    fork_exec) echo "fork + execve" ;;
  esac
}

# The median over the rounds of one column of a per-round file (.rate, .usage).
per_round() { # name extension column
  { cat "$out"/*/"$1.$2" 2>/dev/null || true; } | cut -d' ' -f"$3" | stats | cut -d' ' -f2
}

# One table row per method of a group; ratios are to the library in the same group. The last
# columns: launches per second from Java, CPU time and context switches per launch natively.
rows() { # prefix suffix methods...
  local prefix=$1 suffix=$2 base method name s extra
  shift 2
  base=$(pooled "${prefix}library$suffix" | stats)
  for method in "$@"; do
    name=$prefix$method$suffix
    s=$(pooled "$name" | stats)
    [[ -n $s ]] || continue
    read -r n median p99 slow p10 <<<"$s"
    if [[ $prefix == java-* ]]; then
      extra="$(per_round "$name" rate 1) | $(per_round "$name" rate 2)"
    else
      extra="$(per_round "$name" usage 1) | $(per_round "$name" usage 2)"
    fi
    printf '| %s | %s | %s | %s | %s | %s %% | %s | %s | %s | %s |\n' "$(label "$method")" "$n" \
      "$p10" "$median" "$p99" "$slow" "$(ratio "$median" "$(cut -d' ' -f2 <<<"$base")")" \
      "$(ratio "$p99" "$(cut -d' ' -f3 <<<"$base")")" "$(round_medians "$name")" "$extra"
  done
}

median_of() { pooled "$1" | field 2; }
p10_of() { pooled "$1" | field 5; }
target() { # text measured verdict-expression [the same ratio at p10]
  local met=no
  awk -v x="$2" "BEGIN { exit !($3) }" && met=yes
  printf '| %s | %s | %s | %s |\n' "$1" "$2" "$met" "${4:--}"
}

report=$out/RESULTS.md
{
  echo "# Launch benchmarks"
  echo
  echo "Made by \`bash bench/run.sh\` on $started; rerunning it replaces this file and"
  echo "\`launch_cost.png\`. Program: \`$program\`, standard input and output on /dev/null on every"
  echo "side. Times are microseconds per call, pooled over $rounds rounds in which the"
  echo "configurations take turns; p99 is the 99th percentile by nearest rank, and \"over 4 ms\" the"
  echo "share of calls that took longer than 4 ms."
  echo
  echo "## Machine"
  echo
  echo "- CPU: $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores online;" \
    "$(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo) of memory;" \
    "hypervisor: $(lscpu | sed -n 's/^Hypervisor vendor: *//p')"
  echo "- Kernel: $(uname -sr), $(ldd --version | head -1)"
  echo "- JDK: $("$java" -version 2>&1 | sed -n 2p)"
  echo "- Transparent huge pages: $(cat /sys/kernel/mm/transparent_hugepage/enabled 2>/dev/null || echo unknown)"
  echo "- Load averages (1, 5, 15 min) at the start of each round and at the end:"
  echo "  $(printf '%s; ' "${round_loads[@]}" | sed 's/; $//'), on $(nproc) cores; the run's niceness: $(nice)"
  # The run itself keeps about two tasks busy; more than that at a round's start is other work.
  if printf '%s\n' "${round_loads[@]}" | awk -v n="$(nproc)" '$1 > n + 1 { busy = 1 } END { exit !busy }'; then
    echo "- **The machine was busy with other work during this run: the figures are noisy.**"
  fi
  echo
  echo "## Java"
  echo
  echo "\`invokeNonBlockingCommand\` against \`ProcessBuilder.start()\` with the JDK's default launch"
  echo "mechanism (POSIX_SPAWN through jspawnhelper, on Linux since JDK 12) and with"
  echo "\`-Djdk.lang.Process.launchMechanism=VFORK\`. Each configuration in its own JVM,"
  echo "$java_warmup untimed launches per thread first, then $java_calls timed ones per thread."
  echo "Small heap: the JVM's default. Large heap: \`-Xms${large_mib}m -Xmx${large_mib}m -XX:+AlwaysPreTouch\`."
  echo "ProcessBuilder's children are waited for, at most 32 outstanding per thread, outside the timed call; the"
  echo "library's programs are reaped by \`launch_cost reap\`, the subreaper the JVM runs under."
  echo "Launches per second: all threads' timed launches over the wall time. JVM's CPU per launch"
  echo "(microseconds): every thread of the JVM, not its children, over the timed launches."
  echo "Both are medians of rounds."
  for heap in small large; do
    for threads in 1 2; do
      echo
      echo "### $heap heap, $threads thread$( ((threads > 1)) && echo s)"
      echo
      echo "| method | calls | p10 | median | p99 | over 4 ms | median / library | p99 / library | round medians | launches/s | JVM's CPU per launch |"
      echo "|---|---:|---:|---:|---:|---:|---:|---:|---|---:|---:|"
      rows java- "-t$threads-$heap" library pb_vfork pb_default
    done
  done
  echo
  echo "### DetachedProcess, small heap, 1 thread"
  echo
  echo "\`DetachedProcess.start(\"$program\")\`, \`invokeNonBlockingCommand(\"$program\")\` (\"library\") and"
  echo "\`ProcessBuilder.start()\` with the default mechanism, by turns call by call in one JVM (so"
  echo "that the spread between JVMs does not hide a few per cent), in an order shuffled anew each"
  echo "round; $java_warmup untimed rounds, then $java_calls timed ones."
  echo
  echo "| method | calls | p10 | median | p99 | over 4 ms | median / library | p99 / library | round medians | | |"
  echo "|---|---:|---:|---:|---:|---:|---:|---:|---|---|---|"
  rows java-interleaved- "" library detached pb_default
  echo
  echo "## Native"
  echo
  echo "\`launch_cost\`: the library's \`invokeNonBlocking\` against a bare \`posix_spawn\` and"
  echo "\`fork\` + \`execve\`, in blocks that take turns; every child (the library's too, as"
  echo "subreaper) is reaped outside the timed call. Large heap: $large_mib MiB touched page by page;"
  echo "fork + execve makes only $large_fork_calls calls per round there, each copying its page tables."
  echo "fork returns before the child has exec'd; posix_spawn and the library return once it has."
  echo "CPU per launch (microseconds) and context switches per launch count the caller and all"
  echo "its children (the library's intermediate and program, posix_spawn's and fork's child) over"
  echo "the timed blocks, from \`getrusage\`; medians of rounds. The library makes two processes per"
  echo "launch, an intermediate it waits for and the program; posix_spawn makes one."
  for heap in small large; do
    echo
    echo "### $heap heap"
    echo
    echo "| method | calls | p10 | median | p99 | over 4 ms | median / library | p99 / library | round medians | CPU per launch | context switches per launch |"
    echo "|---|---:|---:|---:|---:|---:|---:|---:|---|---:|---:|"
    rows native- "-$heap" library posix_spawn fork_exec
  done
  if [[ -n $steps ]]; then
    echo
    echo "### Where a launch's time goes"
    echo
    echo "Medians of $step_calls launches by \`bench/step_timing.cpp\`, the launcher built to read the"
    echo "clock at each step (a bare \`posix_spawn\` after each, timed alike). The steps from"
    echo "the first clone to the exec run in the intermediate and the program's process while the"
    echo "caller waits; their sum and the caller's own steps make up the whole call."
    echo
    echo "| step | median (µs) |"
    echo "|---|---:|"
    echo "$steps"
    echo
    echo "The exec itself dominates, as it does \`posix_spawn\`'s. Every other step is a guarantee"
    echo "the child is given: its own session, descriptors 0 to 2 on /dev/null and no other, every"
    echo "signal at its default, and a parent that is not the JVM (the intermediate). What was not"
    echo "needed is gone: the two guarded stacks are no longer mapped, protected and unmapped on"
    echo "every call but kept for reuse (before that, about 45 µs a launch and a TLB shootdown), and"
    echo "the stack limit is read only for an argv and environment over 32 pages."
  fi
  echo
  echo "## Targets"
  echo
  echo "Judged on medians. The last column gives the same ratio at the 10th percentile, the"
  echo "calls that met the least contention, for reference only."
  echo
  echo "| target | measured | met | at p10 |"
  echo "|---|---:|---|---:|"
  # "measured at p10": the ratio of two configurations' medians, then of their p10s.
  compare() { echo "$(ratio "$(median_of "$1")" "$(median_of "$2")")" "$(ratio "$(p10_of "$1")" "$(p10_of "$2")")"; }
  read -r m r <<<"$(compare java-library-t1-small java-pb_vfork-t1-small)"
  target "library / ProcessBuilder-VFORK (1 thread, small heap) at most 0.8" "$m" 'x != "-" && x <= 0.8' "$r"
  target "library p99 / ProcessBuilder-VFORK p99 (1 thread, small heap) at most 1" \
    "$(ratio "$(pooled java-library-t1-small | field 3)" "$(pooled java-pb_vfork-t1-small | field 3)")" \
    'x != "-" && x <= 1'
  read -r m r <<<"$(compare java-library-t1-small java-pb_default-t1-small)"
  target "library / ProcessBuilder-default (1 thread, small heap) at most 0.5" "$m" 'x != "-" && x <= 0.5' "$r"
  read -r m r <<<"$(compare java-interleaved-detached java-interleaved-library)"
  target "DetachedProcess / library (interleaved, 1 thread, small heap) at most 1.05" "$m" \
    'x != "-" && x <= 1.05' "$r"
  read -r m r <<<"$(compare java-interleaved-detached java-interleaved-pb_default)"
  target "DetachedProcess / ProcessBuilder-default (interleaved, 1 thread, small heap) at most 0.5" \
    "$m" 'x != "-" && x <= 0.5' "$r"
  read -r m r <<<"$(compare native-library-small native-posix_spawn-small)"
  target "library / posix_spawn (native, small heap) at most 1.15" "$m" 'x != "-" && x <= 1.15' "$r"
  for side in java-library-t1 native-library; do
    read -r m r <<<"$(compare "$side-large" "$side-small")"
    target "the library with a large heap / with a small one (${side%%-*}) within 10 %" "$m" \
      'x != "-" && x > 0.9 && x < 1.1' "$r"
  done
  for heap in small large; do
    target "library launches/s, 2 threads / 1 thread ($heap heap) at least 1" \
      "$(ratio "$(per_round "java-library-t2-$heap" rate 1)" "$(per_round "java-library-t1-$heap" rate 1)")" \
      'x != "-" && x >= 1'
  done
  echo
  echo "![median and p99 per call](launch_cost.png)"
} >"$report"

# Plot: median and p99 of each method, small and large heap, Java (1 thread) beside native; a
# panel only for the suites that ran.
panels=()
for group in "From Java (1 thread)|java- -t1- library pb_vfork pb_default" \
  "Native|native- - library posix_spawn fork_exec"; do
  read -r prefix infix methods <<<"${group#*|}"
  [[ -n $(pooled "${prefix}library${infix}small") ]] || continue
  for method in $methods; do
    printf '"%s"' "$(label "$method" | sed 's/ProcessBuilder, /PB /')"
    for heap in small large; do
      s=$(pooled "$prefix$method$infix$heap" | stats)
      read -r _ median p99 _ <<<"${s:-0 NaN NaN}"
      printf ' %s %s' "$median" "$p99"
    done
    echo
  done >"$out/plot-${#panels[@]}.dat"
  panels+=("${group%%|*}")
done
{
  echo "set terminal pngcairo size 1100,480 font \",10\""
  echo "set output \"$out/launch_cost.png\""
  echo "set termoption noenhanced; set style data histograms; set style histogram clustered gap 1"
  echo "set style fill solid 0.9 border -1; set logscale y; set grid ytics; set key top left"
  echo "set ylabel \"microseconds per call (log scale)\""
  echo "set multiplot layout 1,${#panels[@]} title \"Launching $program: median and p99 per call\""
  for i in "${!panels[@]}"; do
    echo "set title \"${panels[$i]}\""
    echo "plot \"$out/plot-$i.dat\" using 2:xtic(1) title \"median, small heap\" lc rgb \"#4e79a7\", \\"
    echo "  '' using 3 title \"p99, small heap\" lc rgb \"#a0cbe8\", \\"
    echo "  '' using 4 title \"median, $large_mib MiB heap\" lc rgb \"#e15759\", \\"
    echo "  '' using 5 title \"p99, $large_mib MiB heap\" lc rgb \"#ff9d9a\""
  done
  echo "unset multiplot"
} | gnuplot

if [[ ${1:-} != --smoke ]]; then
  cp "$report" bench/RESULTS.md
  cp "$out/launch_cost.png" bench/launch_cost.png
  echo "wrote bench/RESULTS.md and bench/launch_cost.png" >&2
fi
