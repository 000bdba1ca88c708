#!/usr/bin/env bash
# Every suite on a fresh machine: installs what it needs, builds the hosted
# tree (which also builds the PE32+ image), runs the unit tests, the fuzz smoke
# runs, the real-firmware suite in OVMF and the real-network suite.
# Ends with one line "suites: N passed, M failed" counting individual tests.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=${JOBS:-2}
logdir=build/logs
mkdir -p "$logdir"

bash tools/install-deps.sh || exit 1

total_pass=0
total_fail=0
failed_suites=()

# Reads the last "N passed, M failed" line of a suite log.
count_suite() {
  local name=$1 log=$2 rc=$3 line p f
  line=$(grep -E '^([A-Za-z-]+: )?[0-9]+ passed, [0-9]+ failed' "$log" | tail -n 1)
  if [ -n "$line" ]; then
    p=$(sed -E 's/^([A-Za-z-]+: )?([0-9]+) passed.*/\2/' <<<"$line")
    f=$(sed -E 's/.* ([0-9]+) failed.*/\1/' <<<"$line")
  else
    p=0; f=1
  fi
  if [ "$rc" -ne 0 ] && [ "$f" -eq 0 ]; then f=1; fi
  total_pass=$((total_pass + p)); total_fail=$((total_fail + f))
  [ "$f" -ne 0 ] && failed_suites+=("$name")
  echo "== $name: $p passed, $f failed (log: $log)"
}

echo "== build (hosted, with the EFI image)"
cmake -S . -B build/hosted -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=Debug >"$logdir/configure.log" 2>&1 &&
  cmake --build build/hosted -j"$jobs" >"$logdir/build.log" 2>&1
rc=$?
if [ $rc -ne 0 ]; then
  tail -n 60 "$logdir/build.log" "$logdir/configure.log"
  echo "suites: 0 passed, 1 failed"
  exit 1
fi

echo "== unit tests"
ctest --test-dir build/hosted --output-on-failure -j"$jobs" --timeout 300 2>&1 | tee "$logdir/unit.log" | tail -n 40
rc=${PIPESTATUS[0]}
line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$logdir/unit.log" | tail -n 1)
if [ -n "$line" ]; then
  t=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line"); f=$(sed -E 's/.* ([0-9]+) tests failed.*/\1/' <<<"$line")
  echo "unit: $((t - f)) passed, $f failed" >>"$logdir/unit.log"
fi
count_suite unit "$logdir/unit.log" "$rc"

run_suite() {
  local name=$1; shift
  echo "== $name"
  "$@" >"$logdir/$name.log" 2>&1
  local rc=$?
  tail -n 25 "$logdir/$name.log"
  count_suite "$name" "$logdir/$name.log" "$rc"
}

[ -x tools/fuzz-smoke.sh ] && run_suite fuzz bash tools/fuzz-smoke.sh
[ -x tools/run-ovmf-suite.sh ] && run_suite ovmf bash tools/run-ovmf-suite.sh
# Network boots in OVMF; the boot server comes from the hosted build above.
[ -x tools/run-boot-suite.sh ] && ORVALE_SERVER_BINARY=build/hosted/orvale-boot-server \
  run_suite boot bash tools/run-boot-suite.sh
[ -x tools/realnet.sh ] && run_suite realnet bash tools/realnet.sh

if [ ${#failed_suites[@]} -gt 0 ]; then echo "failed suites: ${failed_suites[*]}"; fi
echo "suites: $total_pass passed, $total_fail failed"
[ "$total_fail" -eq 0 ]
