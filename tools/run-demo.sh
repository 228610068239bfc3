#!/usr/bin/env bash
# Sets up and builds everything, then runs the main job: the trailsend
# command's test twin records one audit-trail event with the stand-in daemon
# listening on the twin's socket, first at the default log level, then with
# the client log raised to trace so its lines are forwarded to the daemon too.
# Last, trailsend-check's twin tells whether the same event would be recorded
# under a configuration that leaves the command's component without targets.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default

build=build
root=$build/testroot          # the twin's fixed paths lie under this root
socket=$root/var/quillmesh/daemon2
config=$root/etc/quillmesh/quillmesh.conf
twin=$build/twin/trailsend
check_twin=$build/twin/trailsend-check
stub=$build/tools/dirsvcd-stub

mkdir -p "$(dirname "$socket")" "$(dirname "$config")"
output=$(mktemp)
stub_pid=
stop_stub() {
  if [ -n "$stub_pid" ]; then
    kill "$stub_pid" 2>/dev/null || true
    wait "$stub_pid" 2>/dev/null || true
    stub_pid=
  fi
}
trap 'stop_stub; rm -f "$output"' EXIT

start_stub() {
  : > "$output"
  "$stub" --json "$socket" > "$output" 2>/dev/null &
  stub_pid=$!
  for _ in $(seq 100); do [ -S "$socket" ] && return 0; sleep 0.05; done
  echo "the stand-in daemon did not come up" >&2
  exit 1
}

# Prints the stub's JSON lines: requests decoded, client log entries as lines.
show_received() {
  python3 - "$output" <<'PY'
import json, sys
for line in open(sys.argv[1]):
    message = json.loads(line)
    if message["type"] == 107:
        for entry in message.get("entries", []):
            if entry["text"] is not None:
                print("  client log  %-7s %s" % (["TRACE", "DEBUG", "INFO", "WARNING", "ERROR", "FATAL"][entry["level"]]
                                                 if 0 <= entry["level"] <= 5 else "INFO", entry["text"]))
        continue
    print("  request     %s (type %d) on connection %d" % (message["name"], message["type"], message["connection"]))
    for parameter in message["parameters"]:
        value = parameter["value"]
        if value is None:
            value = "(null)"
        elif parameter["type"] == "blob":
            value = "[%d] %s" % (parameter["length"], " ".join(value[i:i + 2] for i in range(0, len(value), 2)))
        elif parameter["type"] == "string":
            value = json.dumps(value)
        print("              %-7s %s" % (parameter["type"], value))
PY
}

run_event() { # CODE TEXT_A TEXT_B
  echo "\$ $twin $1 '$2' '$3'"
  set +e
  "$twin" "$@"
  status=$?
  set -e
  echo "exit status $status"
  sleep 0.2   # the request is one-way: give the daemon a moment to print it
  stop_stub
  echo "The daemon received:"
  show_received
}

echo
echo "== One event at the default client log level (no configuration file) =="
rm -f "$config"
start_stub
run_event 200 alice ""

echo
echo "== The same event with \"log.audittrail: trace\" in $config =="
printf 'log.audittrail: trace\n' > "$config"
start_stub
QR_SESSION_ID=demo-session run_event 17 alice sshd

echo
echo "== trailsend-check with the component's targets overridden to 0 in $config =="
printf 'audittrail.targets: 2\naudittrail.Norvalex_Suite.Norvalex_Commands.overrides: 2\naudittrail.Norvalex_Suite.Norvalex_Commands.targets: 0\n' > "$config"
start_stub
echo "\$ $check_twin 17 alice sshd"
set +e
QR_SESSION_ID=demo-session "$check_twin" 17 alice sshd
status=$?
set -e
echo "exit status $status"
stop_stub
echo "The daemon received (a check sends nothing):"
show_received
rm -f "$config"
