#!/usr/bin/env bash
# Measures the trailsend command as a whole process against the minimal C
# program doing the same job (bench/trailsend_baseline.c): median wall time
# with hyperfine and peak resident memory with /usr/bin/time, both against the
# stand-in daemon on the test twin's socket. Goals: time within 1.3 times,
# memory within 1.5 times the baseline's.
#
#   bash bench/trailsend_measure.sh [RUNS]     (after building the default preset)
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
command -v hyperfine >/dev/null || { echo "hyperfine is not installed" >&2; exit 1; }

mkdir -p "$(dirname "$config")" "$(dirname "$socket")"
printf 'audittrail.targets: 2\nlog.audittrail: info\nlrpc.timeout: 30\n' > "$config"
"$build/tools/dirsvcd-stub" --timeout 600 "$socket" >/dev/null 2>&1 &
stub=$!
trap 'kill $stub 2>/dev/null; wait $stub 2>/dev/null || true' EXIT
for _ in $(seq 100); do [ -S "$socket" ] && break; sleep 0.05; done

json=$(mktemp)
hyperfine -N --warmup 50 --runs "$runs" --export-json "$json" \
  "$baseline $config $socket" "$twin 200 x ''" >/dev/null 2>&1
read -r base_ms twin_ms < <(python3 -c "
import json, sys
r = json.load(open(sys.argv[1]))['results']
print('%.3f %.3f' % (r[0]['median'] * 1e3, r[1]['median'] * 1e3))" "$json")
rm -f "$json"

peak() { # median of the peak resident set sizes (KiB) of 50 runs
  for _ in $(seq 50); do /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -1; done | sort -n | sed -n 25p
}
base_kb=$(peak "$baseline" "$config" "$socket")
twin_kb=$(peak "$twin" 200 x "")

awk -v bt="$base_ms" -v tt="$twin_ms" -v bm="$base_kb" -v tm="$twin_kb" 'BEGIN {
  printf "median wall time: trailsend %.3f ms, baseline %.3f ms, ratio %.2f (goal <= 1.30)\n", tt, bt, tt / bt
  printf "peak RSS:         trailsend %d KiB, baseline %d KiB, ratio %.2f (goal <= 1.50)\n", tm, bm, tm / bm
}'
