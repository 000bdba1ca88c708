#!/usr/bin/env bash
# Builds the libFuzzer targets (tests/fuzz/*.cpp, -DORVALE_FUZZ=ON) and runs
# each one over its seed corpus, tests/fuzz/corpus/<target>/, for a bounded
# smoke run. Exits non-zero on any finding; crash inputs are kept under
# build/fuzz/artifacts/<target>/. A target may list extra libFuzzer flags,
# one per line, in tests/fuzz/<target>.flags.
#
#   tools/fuzz-smoke.sh                 every target, -runs=20000 -max_total_time=20
#   tools/fuzz-smoke.sh --long [target] 10 million executions each, no time limit
#   tools/fuzz-smoke.sh [target...]     only the named targets
#
# RUNS and TIME override the bounds; BUILD_DIR the build directory (build/fuzz);
# WORKERS (--long only, default 1) splits the runs over that many processes
# sharing the target's corpus, one per core.
# New inputs go to build/fuzz/corpus/<target>/, never into the checked-in seeds.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

long=0
targets=()
for arg in "$@"; do
  case $arg in
    --long) long=1 ;;
    -h | --help) sed -n '2,15p' "$0"; exit 0 ;;
    *) targets+=("$arg") ;;
  esac
done
if [ $long -eq 1 ]; then
  runs=${RUNS:-10000000}; time_limit=${TIME:-0}
else
  runs=${RUNS:-20000}; time_limit=${TIME:-20}
fi
build=${BUILD_DIR:-build/fuzz}
jobs=${JOBS:-2}
# The simulated segment frees a frame for every one it delivers: a quarantine
# of 16 MiB still holds the driver's freed blocks for many calls, and the
# default (256 MiB) doubles the time of every input.
# A long run keeps no allocation stacks: ASan's store of them only grows
# (past libFuzzer's 2 GB limit within a million inputs) and halves the rate;
# a finding replays with them.
if [ $long -eq 1 ]; then
  export ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=16:malloc_context_size=0}
else
  export ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=16:malloc_context_size=8}
fi

if [ ${#targets[@]} -eq 0 ]; then
  for src in tests/fuzz/*.cpp; do
    [ -e "$src" ] && targets+=("$(basename "$src" .cpp)")
  done
fi
if [ ${#targets[@]} -eq 0 ]; then
  echo "fuzz: no targets under tests/fuzz"
  echo "fuzz: 0 passed, 1 failed"
  exit 1
fi

mkdir -p "$build"
if ! cmake -S . -B "$build" -DORVALE_FUZZ=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
       >"$build/configure.log" 2>&1 ||
   ! cmake --build "$build" -j"$jobs" --target "${targets[@]}" >"$build/build.log" 2>&1; then
  tail -n 40 "$build/configure.log" "$build/build.log" 2>/dev/null
  echo "fuzz: build failed"
  echo "fuzz: 0 passed, ${#targets[@]} failed"
  exit 1
fi

build=$(cd "$build" && pwd)
passed=0
failed=0
for t in "${targets[@]}"; do
  bin="$build/$t"
  seeds="tests/fuzz/corpus/$t"
  work="$build/corpus/$t"
  artifacts="$build/artifacts/$t"
  mkdir -p "$work" "$artifacts" "$artifacts/world" "$build/logs"
  # A failing input also leaves its world's earlier inputs there, to replay in order.
  export ORVALE_FUZZ_WORLD_LOG="$artifacts/world"
  flags=()
  if [ -f "tests/fuzz/$t.flags" ]; then
    while IFS= read -r line; do
      [ -n "$line" ] && [ "${line#\#}" = "$line" ] && flags+=("$line")
    done <"tests/fuzz/$t.flags"
  fi
  corpora=("$work")
  if [ -d "$seeds" ]; then corpora+=("$root/$seeds"); else echo "fuzz: $t has no seed corpus at $seeds"; fi
  log="$build/logs/$t.log"
  echo "== $t: -runs=$runs -max_total_time=$time_limit"
  if [ $long -eq 1 ]; then
    # Each of -jobs=N workers writes fuzz-<i>.log in its working directory;
    # one directory per target, so long runs of two targets side by side keep their own logs.
    workers=${WORKERS:-1}
    jobdir="$build/logs/$t.job"
    mkdir -p "$jobdir"
    (cd "$jobdir" && rm -f fuzz-*.log &&
      "$bin" -runs="$(((runs + workers - 1) / workers))" -max_total_time="$time_limit" -jobs="$workers" \
        -workers="$workers" -print_final_stats=1 -artifact_prefix="$artifacts/" "${flags[@]}" "${corpora[@]}" \
        >"$log.jobs" 2>&1)
    rc=$?
    cat "$jobdir"/fuzz-*.log >"$log" 2>/dev/null
    # The workers' own status: libFuzzer's -jobs driver reports 0 even when a worker crashed.
    # A slow unit is no finding: a worker paused with SIGSTOP makes one.
    if grep -qE '^==[0-9]+==ERROR|^SUMMARY: |deadly signal|Test unit written to .*/(crash|leak|timeout|oom)-' "$log"; then
      rc=1
    fi
    # Every worker must have finished its share.
    finished=$(grep -cE '^Done [0-9]+ runs' "$log")
    [ "$finished" -eq "$workers" ] || rc=1
    total=$(grep -E '^Done [0-9]+ runs' "$log" | awk '{s += $2} END {print s + 0}')
    echo "   $workers worker(s), $total executions in all"
  else
    "$bin" -runs="$runs" -max_total_time="$time_limit" -print_final_stats=1 \
      -artifact_prefix="$artifacts/" "${flags[@]}" "${corpora[@]}" >"$log" 2>&1
    rc=$?
  fi
  done_line=$(grep -E '^Done [0-9]+ runs' "$log" | tail -n 1)
  if [ $rc -eq 0 ] && [ -n "$done_line" ]; then
    passed=$((passed + 1))
    echo "   ok: $done_line"
  else
    failed=$((failed + 1))
    echo "   FAILED (status $rc); last lines of $log:"
    tail -n 30 "$log"
  fi
done

echo "fuzz: $passed passed, $failed failed"
[ $failed -eq 0 ]
