#!/usr/bin/env bash
# Runs every fuzz harness in turn for BUDGET_SECONDS each, on one core, and
# reports per harness the executions, executions a second, coverage and
# faults. Exits 1 when any harness found a fault (a crash, leak, timeout or
# out-of-memory file), 2 on a usage or set-up error.
#
#   bash fuzz/run-all.sh BUDGET_SECONDS
#
# The harnesses are the asan preset's (cmake --preset asan && cmake --build
# --preset asan), or those of the build folder FUZZ_BUILD_DIR names. Each
# runs with the libFuzzer settings of fuzz/<harness>.options, if there is
# one, and starts from its corpus in fuzz/corpus/<harness>/ (none yet: an
# empty start), copied into a working folder, so the corpora kept in git
# never change; grow one with -merge=1 by hand. The working folders, the
# logs and the fault files live in one run folder, kept only when a fault was
# found (its path is printed). Not part of CI.
set -uo pipefail

usage() {
  echo "usage: $0 BUDGET_SECONDS" >&2
  exit 2
}

[ $# -eq 1 ] || usage
budget=$1
[[ $budget =~ ^[1-9][0-9]*$ ]] || usage

source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${FUZZ_BUILD_DIR:-$source_dir/build-asan}
corpus_root=$source_dir/fuzz/corpus

harnesses=()
for binary in "$build_dir"/fuzz/*_fuzz; do
  [ -x "$binary" ] && harnesses+=("$binary")
done
if [ ${#harnesses[@]} -eq 0 ]; then
  echo "no harness in $build_dir/fuzz: build the asan preset first" >&2
  exit 2
fi

run_dir=$(mktemp -d "${TMPDIR:-/tmp}/fuzz-run.XXXXXX") || exit 2

# Each harness runs on one core: the last this script may use (steadier
# rates than a process the scheduler moves between cores).
pin=()
if command -v taskset >/dev/null; then
  cores=$(taskset -pc $$ 2>/dev/null | sed 's/.*: *//')
  core=$(printf '%s\n' "$cores" | tr ',-' '\n\n' | tail -n 1)
  [[ $core =~ ^[0-9]+$ ]] && pin=(taskset -c "$core")
fi

# The last value of `key:` in the log's status lines ("#N ... cov: C ft: F").
last_field() {
  grep -E '^#[0-9]+' "$2" | grep -oE "$1: [0-9]+" | tail -n 1 | awk '{print $2}'
}

# A value of -print_final_stats ("stat::name: value").
final_stat() {
  grep -E "^stat::$1:" "$2" | tail -n 1 | awk '{print $2}'
}

faults_total=0
printf '%-24s %12s %9s %7s %8s %7s  %s\n' harness executions exec/s cov ft corpus faults
for binary in "${harnesses[@]}"; do
  name=$(basename "$binary")
  work=$run_dir/$name
  mkdir -p "$work/corpus" "$work/faults"
  if [ -d "$corpus_root/$name" ]; then
    cp -r "$corpus_root/$name/." "$work/corpus/"
  fi
  log=$work/log
  # A harness's own libFuzzer settings, from the [libfuzzer] section of
  # fuzz/<harness>.options ("name = value" lines).
  options=()
  if [ -f "$source_dir/fuzz/$name.options" ]; then
    while IFS= read -r option; do
      options+=("$option")
    done < <(awk '/^\[/ { section = $0; next }
      section == "[libfuzzer]" && /=/ { gsub(/[ \t]/, ""); print "-" $0 }' "$source_dir/fuzz/$name.options")
  fi
  # One process, one thread: -jobs and -workers stay unset. A unit that takes
  # longer than 25 s counts as a hang.
  (cd "$work" && ${pin[@]+"${pin[@]}"} "$binary" -max_total_time="$budget" -timeout=25 -print_final_stats=1 \
    ${options[@]+"${options[@]}"} -artifact_prefix="$work/faults/" "$work/corpus") >"$log" 2>&1
  status=$?

  executions=$(final_stat number_of_executed_units "$log")
  rate=$(final_stat average_exec_per_sec "$log")
  cov=$(last_field cov "$log")
  ft=$(last_field ft "$log")
  corpus=$(find "$work/corpus" -type f | wc -l)
  faults=$(find "$work/faults" -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' \
    -o -name 'oom-*' \) | sort)
  count=0
  [ -n "$faults" ] && count=$(printf '%s\n' "$faults" | wc -l)
  # A harness that died without leaving a fault file (a broken start, a
  # signal) is a fault too: its log tells why.
  if [ "$count" -eq 0 ] && [ "$status" -ne 0 ]; then
    faults="exit status $status without a fault file: $log"
    count=1
  fi
  faults_total=$((faults_total + count))
  printf '%-24s %12s %9s %7s %8s %7s  %s\n' "$name" "${executions:-?}" "${rate:-?}" "${cov:-?}" \
    "${ft:-?}" "$corpus" "$count"
  if [ "$count" -gt 0 ]; then
    printf '%s\n' "$faults" | sed 's/^/    /'
  fi
done

if [ "$faults_total" -gt 0 ]; then
  echo "$faults_total fault(s); logs and fault files kept in $run_dir"
  exit 1
fi
rm -rf "$run_dir"
echo "no faults"
exit 0
