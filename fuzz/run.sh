#!/usr/bin/env bash
# Runs each libFuzzer harness for a while and reports, per harness, the
# executions, executions per second, coverage (libFuzzer's cov and ft), wall
# time and findings, with the command that reproduces each, then a total
# line. Exits 1 when a harness found something.
#
#   fuzz/run.sh [--runs N] BUILD_DIR SECONDS [HARNESS...]
#
# SECONDS per harness; with --runs, each harness stops after N executions
# and SECONDS (0: none) only caps its time. One harness at a time.
#
# Corpus: BUILD_DIR/corpus/<harness> (kept between runs), seeded each run
# with the harness's own seeds (BUILD_DIR/seeds/<harness>, the shared
# real-world captures in ../shared/testdata included when present) and the
# inputs kept in fuzz/regressions/<harness>. Findings: BUILD_DIR/findings/<harness>.
set -uo pipefail
cd "$(dirname "$0")/.."

runs=""
if [ "${1:-}" = --runs ]; then
  runs=${2:?number of executions}
  shift 2
fi
build=${1:?build folder}
run_for=${2:?seconds per harness}
shift 2
cap=""
if [ -n "$runs" ] && [ "$run_for" != 0 ]; then cap=" (at most $run_for s each)"; fi
harnesses=("$@")
if [ ${#harnesses[@]} -eq 0 ]; then
  harnesses=(gps ais pc eeprom msg6 pclink unitconfig scenario)
  # The station monitor's, where it was built.
  if [ -x "$build/fuzz/fuzz-shore" ]; then harnesses+=(shore); fi
fi
testdata=""
if [ -d ../shared/testdata ]; then testdata=$(cd ../shared/testdata && pwd); fi
bin="$build/fuzz"

found=0
summary=()
total_execs=0
total_wall=0
total_found=0
for h in "${harnesses[@]}"; do
  exe="$bin/fuzz-$h"
  if [ ! -x "$exe" ]; then
    echo "fuzz: no harness $exe (make fuzz builds them)" >&2
    exit 2
  fi
  seeds="$build/seeds/$h"
  corpus="$build/corpus/$h"
  findings="$build/findings/$h"
  log="$build/logs/$h.log"
  rm -rf "$seeds" "$findings"
  mkdir -p "$seeds" "$corpus" "$findings" "$build/logs"
  max_len=$("$bin/zelmora-fuzz-seeds" "$h" "$seeds" $testdata) || { echo "fuzz: seeds of $h failed" >&2; exit 2; }
  dirs=("$corpus" "$seeds")
  if [ -d "fuzz/regressions/$h" ]; then dirs+=("fuzz/regressions/$h"); fi
  limit=(-max_total_time="$run_for")
  if [ -n "$runs" ]; then
    limit+=(-runs="$runs")
    echo "fuzz: $h for $runs executions$cap" >&2
  else
    echo "fuzz: $h for ${run_for} s" >&2
  fi
  start=$(date +%s)
  "$exe" "${limit[@]}" -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$findings/" "${dirs[@]}" >"$log" 2>&1
  wall=$(( $(date +%s) - start ))
  total_wall=$(( total_wall + wall ))
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  cov=$(grep -aEo 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -1)
  files=()
  for f in "$findings"/*; do [ -f "$f" ] && files+=("$f"); done
  total_execs=$(( total_execs + ${execs:-0} ))
  total_found=$(( total_found + ${#files[@]} ))
  summary+=("$(printf '%-11s %12s execs %8s/s   %-22s %6d s   %d finding(s)' "$h" "${execs:-?}" "${rate:-?}" \
    "${cov:-cov: ?}" "$wall" ${#files[@]})")
  if [ ${#files[@]} -ne 0 ]; then
    found=1
    for f in "${files[@]}"; do
      summary+=("    $(basename "$f"): reproduce with  $exe $f")
    done
    summary+=("    log: $log")
  fi
done

echo
if [ -n "$runs" ]; then
  echo "fuzzing, $runs executions per harness$cap:"
else
  echo "fuzzing, ${run_for} s per harness:"
fi
printf '  %s\n' "${summary[@]}"
rate=0
if [ "$total_wall" -gt 0 ]; then rate=$(( total_execs / total_wall )); fi
printf '  %-11s %12s execs %8s/s   %-22s %6d s   %d finding(s)\n' total "$total_execs" "$rate" "" "$total_wall" "$total_found"
exit $found
