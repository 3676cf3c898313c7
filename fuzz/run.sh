#!/usr/bin/env bash
# Runs each libFuzzer harness for a while and reports, per harness, the
# executions, executions per second, coverage (libFuzzer's cov and ft) and
# findings, with the command that reproduces each. Exits 1 when a harness
# found something.
#
#   fuzz/run.sh BUILD_DIR SECONDS [HARNESS...]
#
# Corpus: BUILD_DIR/corpus/<harness> (kept between runs), seeded each run
# with the harness's own seeds (BUILD_DIR/seeds/<harness>, the shared
# real-world captures in ../shared/testdata included when present) and the
# inputs kept in fuzz/regressions/<harness>. Findings: BUILD_DIR/findings/<harness>.
set -uo pipefail
cd "$(dirname "$0")/.."

build=${1:?build folder}
run_for=${2:?seconds per harness}
shift 2
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
  echo "fuzz: $h for ${run_for} s" >&2
  "$exe" -max_total_time="$run_for" -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$findings/" "${dirs[@]}" >"$log" 2>&1
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  cov=$(grep -Eo 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -1)
  files=()
  for f in "$findings"/*; do [ -f "$f" ] && files+=("$f"); done
  summary+=("$(printf '%-11s %12s execs %8s/s   %-22s %d finding(s)' "$h" "${execs:-?}" "${rate:-?}" "${cov:-cov: ?}" ${#files[@]})")
  if [ ${#files[@]} -ne 0 ]; then
    found=1
    for f in "${files[@]}"; do
      summary+=("    $(basename "$f"): reproduce with  $exe $f")
    done
    summary+=("    log: $log")
  fi
done

echo
echo "fuzzing, ${run_for} s per harness:"
printf '  %s\n' "${summary[@]}"
exit $found
