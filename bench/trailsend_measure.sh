#!/usr/bin/env bash
# Measures the trailsend command as a whole process against the minimal C
# program doing the same job (bench/trailsend_baseline.c): median wall time of
# alternating runs, peak resident memory with /usr/bin/time and, when valgrind
# is there, the instructions executed, all against the stand-in daemon on the
# test twin's socket. Goals: time within 1.3 times, instructions within 1.25
# times, memory within 1.2 times the baseline's.
#
#   bash bench/trailsend_measure.sh [RUNS]     (after building the default preset)
#
# RUNS 0 leaves the wall time out (bench/run-all.sh does).
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-1000}
build=build
root=$build/testroot
config=$root/etc/quillmesh/quillmesh.conf
socket=$root/var/quillmesh/daemon2
twin=$build/twin/trailsend
baseline=$build/bench/trailsend_baseline
for program in "$twin" "$baseline" "$build/tools/dirsvcd-stub"; do
  [ -x "$program" ] || { echo "missing $program: cmake --build --preset default" >&2; exit 1; }
done

mkdir -p "$(dirname "$config")" "$(dirname "$socket")"
printf 'audittrail.targets: 2\nlog.audittrail: info\nlrpc.timeout: 30\n' > "$config"
"$build/tools/dirsvcd-stub" --timeout 600 "$socket" >/dev/null 2>&1 &
stub=$!
trap 'kill $stub 2>/dev/null; wait $stub 2>/dev/null || true' EXIT
for _ in $(seq 100); do [ -S "$socket" ] && break; sleep 0.05; done

# Wall time of whole processes, the two programs alternating run by run so
# that a change of load on a busy machine falls on both alike.
if [ "$runs" -gt 0 ]; then
read -r base_ms twin_ms base_p25 twin_p25 < <(python3 - "$runs" "$baseline" "$config" "$socket" "$twin" <<'PY'
import os, statistics, sys, time
runs = int(sys.argv[1])
commands = [[sys.argv[2], sys.argv[3], sys.argv[4]], [sys.argv[5], "200", "x", ""]]
times = [[], []]
for i in range(runs + 20):
    for k in ((0, 1) if i % 2 else (1, 0)):
        start = time.perf_counter_ns()
        pid = os.posix_spawn(commands[k][0], commands[k], os.environ)
        _, status = os.waitpid(pid, 0)
        if status != 0:
            sys.exit("%s failed" % commands[k][0])
        if i >= 20:  # warm-up runs are not counted
            times[k].append((time.perf_counter_ns() - start) / 1e6)
q = [statistics.quantiles(t, n=4) for t in times]
print("%.3f %.3f %.3f %.3f" % (q[0][1], q[1][1], q[0][0], q[1][0]))
PY
)
fi

peak() { # median of the peak resident set sizes (KiB) of 50 runs
  for _ in $(seq 50); do /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -1; done | sort -n | sed -n 25p
}
base_kb=$(peak "$baseline" "$config" "$socket")
twin_kb=$(peak "$twin" 200 x "")

if [ "$runs" -gt 0 ]; then
  awk -v bt="$base_ms" -v tt="$twin_ms" -v bp="$base_p25" -v tp="$twin_p25" 'BEGIN {
    printf "median wall time: trailsend %.3f ms, baseline %.3f ms, ratio %.2f (goal <= 1.30)\n", tt, bt, tt / bt
    printf "first quartile:   trailsend %.3f ms, baseline %.3f ms, ratio %.2f\n", tp, bp, tp / bp
  }'
fi
awk -v bm="$base_kb" -v tm="$twin_kb" 'BEGIN {
  printf "peak RSS:         trailsend %d KiB, baseline %d KiB, ratio %.2f (goal <= 1.20)\n", tm, bm, tm / bm
}'

# Instructions executed, loader included: unaffected by the machine's load.
if command -v valgrind >/dev/null; then
  instructions() {
    valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 >/dev/null |
      sed -n 's/.*Collected : \([0-9]*\).*/\1/p'
  }
  base_ir=$(instructions "$baseline" "$config" "$socket")
  twin_ir=$(instructions "$twin" 200 x "")
  awk -v b="$base_ir" -v t="$twin_ir" 'BEGIN {
    printf "instructions:     trailsend %d, baseline %d, ratio %.2f (goal <= 1.25)\n", t, b, t / b }'
fi
