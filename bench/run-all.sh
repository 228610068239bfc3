#!/usr/bin/env bash
# Runs every speed and memory benchmark once and prints one table of where
# each stands against its goal:
#
#   bash bench/run-all.sh [ROW...]   (after cmake --build --preset default; builds nothing)
#
# ROW names rows to run, of: run_queue log_queue disabled_log
# client_configuration framework_load command (all when none is named).
#
# Each row is a function below, naming its benchmark program and the two
# benchmarks it compares; a row whose program or benchmark is missing prints
# "n/a". Two measures are used, and each row says which:
#   instructions  executed per iteration under valgrind's callgrind: one run,
#                 unaffected by the load of the machine. The count is taken
#                 from the benchmark's last run (warm-up runs come first), so
#                 set-up done on a benchmark's first call is not counted.
#   cpu median    median CPU time of repeated runs, the benchmarks of a row
#                 interleaved at random, for rows where a second thread does
#                 part of the work (callgrind serialises threads, so it
#                 cannot time a hand-off between them).
# The command's rows measure whole processes with bench/trailsend_measure.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
bench=build/bench
repetitions=${REPETITIONS:-9}
command -v valgrind >/dev/null || { echo "valgrind is needed (apt-get install valgrind)" >&2; exit 1; }

rows=()
add_row() { # what now goal met measure
  rows+=("$1|$2|$3|$4|$5")
}

# What benchmark programs run under: a row may set it for its own runs.
launch=(env)

# Benchmarks are named by their function; the program may list them with
# their settings appended ("BM_RunQueue/iterations:3/real_time").
has_benchmark() { # program benchmark
  [ -x "$1" ] && "${launch[@]}" "$1" --benchmark_list_tests=true 2>/dev/null | grep -q "^$2\(/\|\$\)"
}

# Instructions per iteration of one benchmark's last run.
instructions() { # program benchmark
  local program=$1 name=$2 dir function iterations last
  # The benchmark function, as callgrind names it.
  function=$(nm -C "$program" | sed -n "s/^[0-9a-f]* [tT] \(.*\b${name}(benchmark::State&)\)$/\1/p" | head -1)
  [ -n "$function" ] || return 1
  dir=$(mktemp -d)
  iterations=$("${launch[@]}" valgrind --tool=callgrind --collect-atstart=no --toggle-collect="$function" \
      --dump-after="$function" --dump-instr=no --callgrind-out-file="$dir/out" \
      "$program" --benchmark_filter="^${name}(/|\$)" --benchmark_min_time=0.01 \
      --benchmark_min_warmup_time=0.01 --benchmark_format=json 2>/dev/null |
    python3 -c 'import json, sys; print(json.load(sys.stdin)["benchmarks"][-1]["iterations"])')
  # One dump per call of the benchmark function: the last is the last run.
  last=$(ls "$dir" | grep '^out\.[0-9]*$' | sort -t. -k2 -n | tail -1)
  python3 -c 'import sys; print(int(sys.argv[1]) / int(sys.argv[2]))' \
    "$(sed -n 's/^summary: //p' "$dir/$last")" "$iterations"
  rm -rf "$dir"
}

# Instructions of one run of a benchmark program: the whole process, or only
# inside the function named by a callgrind pattern.
run_instructions() { # program benchmark [function-pattern]
  local toggle=()
  [ -z "${3:-}" ] || toggle=(--toggle-collect="$3")
  "${launch[@]}" valgrind --tool=callgrind --callgrind-out-file=/dev/null "${toggle[@]}" \
      "$1" --benchmark_filter="^$2(/|\$)" 2>&1 >/dev/null | sed -n 's/^==[0-9]*== Collected : //p'
}

# Median CPU time (ms) of each named benchmark, run together, interleaved.
cpu_medians() { # program benchmark...
  local program=$1 filter
  shift
  filter="^($(IFS='|'; echo "$*"))(/|\$)"
  "${launch[@]}" "$program" --benchmark_filter="$filter" --benchmark_repetitions="$repetitions" \
      --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true \
      --benchmark_format=json 2>/dev/null |
    python3 -c '
import json, sys
scale = {"ns": 1e-6, "us": 1e-3, "ms": 1, "s": 1e3}
medians = {b["run_name"].split("/")[0]: b["cpu_time"] * scale[b["time_unit"]]
           for b in json.load(sys.stdin)["benchmarks"] if b.get("aggregate_name") == "median"}
print(" ".join(str(medians.get(name, "nan")) for name in sys.argv[1:]))' "$@"
}

# "now", "met" and a note from two figures and the goal ratio.
ratio_row() { # what ours baseline goal measure unit
  local what=$1 ours=$2 base=$3 goal=$4 measure=$5 unit=$6
  read -r now met < <(python3 -c '
import sys
ours, base, goal = map(float, sys.argv[1:4])
r = ours / base
print("%.2fx" % r, "yes" if r <= goal else "no")' "$ours" "$base" "$goal")
  add_row "$what" "$now" "<= ${goal}x" "$met" "$measure ($(fmt "$ours") against $(fmt "$base") $unit)"
}

fmt() { python3 -c 'import sys; v = float(sys.argv[1]); print("%.3g" % v if v < 1000 else "{:,.0f}".format(v))' "$1"; }

# A row comparing two benchmarks of one program by instructions.
instruction_ratio_row() { # what goal program ours baseline
  local what=$1 goal=$2 program=$bench/$3 ours=$4 base=$5
  if ! has_benchmark "$program" "$ours" || ! has_benchmark "$program" "$base"; then
    add_row "$what" "n/a" "<= ${goal}x" "-" "$3: $ours or $base missing"
    return
  fi
  ratio_row "$what" "$(instructions "$program" "$ours")" "$(instructions "$program" "$base")" "$goal" \
    "instructions" "per iteration"
}

# A row comparing two benchmarks of one program by CPU-time medians.
cpu_ratio_row() { # what goal program ours baseline
  local what=$1 goal=$2 program=$bench/$3 ours=$4 base=$5 medians
  if ! has_benchmark "$program" "$ours" || ! has_benchmark "$program" "$base"; then
    add_row "$what" "n/a" "<= ${goal}x" "-" "$3: $ours or $base missing"
    return
  fi
  read -r -a medians < <(cpu_medians "$program" "$ours" "$base")
  ratio_row "$what" "${medians[0]}" "${medians[1]}" "$goal" "cpu median of $repetitions" "ms"
}

row_run_queue() {
  cpu_ratio_row "run queue, 1M items, one producer one worker" 1.25 runqueue_bench BM_RunQueue_Ours BM_RunQueue_Baseline
}

row_log_queue() {
  # Lines go to the test shim's syslog, not to a daemon (see log_queue_bench.cpp).
  local shim=build/tests/libsyslog_shim.so
  if [ ! -f "$shim" ]; then
    add_row "log queue" "n/a" "<= 2x" "-" "$shim missing"
    return
  fi
  launch=(env -u SYSLOG_CAPTURE_FILE "LD_PRELOAD=$PWD/$shim")
  cpu_ratio_row "log queue, caller side" 2 log_queue_bench BM_LogQueue_CallerSide_Ours BM_LogQueue_Baseline
  cpu_ratio_row "log queue, end to end" 2 log_queue_bench BM_LogQueue_EndToEnd_Ours BM_LogQueue_Baseline
  # The same with the whole process on one processor: the two threads take
  # turns instead of running side by side. On a virtual machine whose
  # processors slow each other down when both are busy (the host's load
  # decides), the end-to-end time above moves with that load while the
  # single-threaded baseline does not; here both run under the same
  # conditions (the hand-off between cores is left out).
  local cpu
  cpu=$({ taskset -pc $$ 2>/dev/null || true; } | sed 's/.*: *//' | tr ',-' '\n\n' | tail -n 1)
  if [[ $cpu =~ ^[0-9]+$ ]]; then
    launch=(taskset -c "$cpu" "${launch[@]}")
    cpu_ratio_row "log queue, end to end, one processor" 2 log_queue_bench BM_LogQueue_EndToEnd_Ours BM_LogQueue_Baseline
    launch=("${launch[@]:3}")
  fi
  # The same by instructions, which the load does not move (each benchmark
  # runs a fixed five iterations): the log calls alone in the logging
  # thread, and the whole process with the log thread's writing.
  local program=$bench/log_queue_bench
  ratio_row "log queue, caller side" \
    "$(run_instructions "$program" BM_LogQueue_CallerSide_Ours '*logLines*')" \
    "$(run_instructions "$program" BM_LogQueue_Baseline '*logLines*')" 2 "instructions of the log calls" "in all"
  ratio_row "log queue, end to end" \
    "$(run_instructions "$program" BM_LogQueue_EndToEnd_Ours)" \
    "$(run_instructions "$program" BM_LogQueue_Baseline)" 2 "instructions, whole process" "in all"
  launch=(env)
}

row_disabled_log() {
  local program=$bench/logger_bench name=BM_DisabledLog_Ours nanoseconds count met
  if ! has_benchmark "$program" "$name"; then
    add_row "a disabled Logger::log call" "n/a" "<= 1 ns" "-" "logger_bench: $name missing"
    return
  fi
  nanoseconds=$(python3 -c 'import sys; print(float(sys.argv[1]) * 1e6)' "$(cpu_medians "$program" "$name")")
  count=$(instructions "$program" "$name")
  met=$(python3 -c 'import sys; print("yes" if float(sys.argv[1]) <= 1 else "no")' "$nanoseconds")
  add_row "a disabled Logger::log call" "$(fmt "$nanoseconds") ns" "<= 1 ns" "$met" \
    "cpu median of $repetitions; $(fmt "$count") instructions per call"
}

row_client_configuration() {
  instruction_ratio_row "client configuration parse" 5 client_props_bench \
    BM_ClientProps_Parse BM_ClientProps_Baseline
  instruction_ratio_row "client configuration parse and 100 look-ups" 8 client_props_bench \
    BM_ClientProps_ParseLookup BM_ClientProps_Baseline
}

row_framework_load() {
  instruction_ratio_row "framework configuration load, 5,000 lines" 12 properties_bench \
    BM_LoadFile_Ours BM_LoadFile_Baseline
}

row_command() {
  local report instructions memory
  if ! report=$(bash bench/trailsend_measure.sh 0 2>&1); then
    add_row "the command" "n/a" "-" "-" "bench/trailsend_measure.sh failed: ${report##*$'\n'}"
    return
  fi
  instructions=$(sed -n 's/^instructions: *trailsend \([0-9]*\), baseline \([0-9]*\).*/\1 \2/p' <<<"$report")
  memory=$(sed -n 's/^peak RSS: *trailsend \([0-9]*\) KiB, baseline \([0-9]*\) KiB.*/\1 \2/p' <<<"$report")
  ratio_row "the command, instructions per event" ${instructions% *} ${instructions#* } 1.25 \
    "instructions, whole process" "per event"
  ratio_row "the command, peak resident memory" ${memory% *} ${memory#* } 1.2 \
    "median of 50 runs" "KiB"
}

all_rows=(run_queue log_queue disabled_log client_configuration framework_load command)
for row in "${@:-${all_rows[@]}}"; do
  if ! declare -F "row_$row" >/dev/null; then
    echo "no row \"$row\"; rows: ${all_rows[*]}" >&2
    exit 2
  fi
  "row_$row"
done

{
  echo "what|now|goal|met|measure"
  echo "---|---|---|---|---"
  printf '%s\n' "${rows[@]}"
} | column -t -s '|' -o ' | '
