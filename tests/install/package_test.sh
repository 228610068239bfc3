#!/usr/bin/env bash
# Builds the Debian packages from the build tree and proves them on a clean
# root, without touching the real system:
#   1. cpack -G DEB into a temporary folder; each package extracted with
#      dpkg-deb -x holds exactly its files; lintian reports no error;
#   2. in a private mount namespace, temporary folders stand over
#      /etc/quillmesh and /var/quillmesh; the extracted /usr/bin/trailsend
#      sends its event to the extracted stand-in daemon, which receives it
#      byte for byte, on the default socket and on one named by the
#      configuration file;
#   3. a small program is built against the extracted trailsend-dev with
#      find_package(trailsend) and with pkg-config, compiled with
#      _FORTIFY_SOURCE=2 as a distribution would, and its snprintf turns out
#      to be ours ("(NULL)" for a null text, where the C library's prints
#      "(null)"); every installed header compiles on its own.
# Needs root (mount namespace, files owned by root); exits 77 (skipped)
# otherwise.
#
#   package_test.sh BUILD_DIR SOURCE_DIR LIBDIR WITH_CHECK
set -euo pipefail
build=$1 source=$2 libdir=$3 with_check=$4
. "$source/tests/install/file_lists.sh"

if [ "$(id -u)" -ne 0 ]; then
  echo "SKIP: building and trying the packages needs root (mount namespace, root-owned files)"
  exit 77
fi
for tool in cpack dpkg-deb dpkg-shlibdeps lintian pkg-config unshare python3 g++; do
  command -v "$tool" >/dev/null || fail "$tool is missing: run tools/setup.sh"
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
umask 022

# --- 1. Packages ------------------------------------------------------------
# The staging folders go below the temporary folder, not into the build tree.
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/packages" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; fail "cpack failed"; }
root=$work/root
for component in trailsend trailsend-dev; do
  deb=$(echo "$work/packages/${component}_"*.deb)
  [ -f "$deb" ] || fail "no package $component"
  mkdir -p "$work/$component"
  dpkg-deb -x "$deb" "$work/$component"
  dpkg-deb -x "$deb" "$root"
  expected_files "$component" "$libdir" "$with_check" "$source" >"$work/expected"
  files_below "$work/$component" >"$work/actual"
  diff -u "$work/expected" "$work/actual" || fail "package $component holds other files than expected"
done
depends=$(dpkg-deb -f "$work/packages/trailsend_"*.deb Depends)
grep -q 'libc6' <<<"$depends" || fail "trailsend does not depend on libc6: '$depends'"

lintian --fail-on error "$work/packages/"*.deb >"$work/lintian.log" 2>&1 ||
  { cat "$work/lintian.log"; fail "lintian reports errors"; }
echo "lintian: no errors, $(grep -c '^W:' "$work/lintian.log" || true) warnings"

# --- 2. The extracted command against the extracted stand-in daemon ---------
mkdir -p "$work/etc-quillmesh" "$work/var-quillmesh" "$work/overlay"
cat >"$work/in-namespace.sh" <<'EOF'
# Runs in a private mount namespace: whatever is mounted here vanishes with it.
set -euo pipefail
work=$1 root=$2
# A stand-in daemon still running when a step failed ends with the script.
trap 'kill $(jobs -p) 2>/dev/null || true' EXIT
# Over a folder that does not exist on this host, an overlay of its parent
# (with its changes kept in memory) makes room for the mount point.
mount -t tmpfs trailsend-test "$work/overlay"
stand_over() {
  local target=$1 folder=$2
  if [ ! -d "$target" ]; then
    local parent=${target%/*}
    local name=${parent//\//_}
    mkdir -p "$work/overlay/$name/upper" "$work/overlay/$name/work"
    mount -t overlay trailsend-test \
      -o "lowerdir=$parent,upperdir=$work/overlay/$name/upper,workdir=$work/overlay/$name/work" "$parent"
    mkdir "$target"
  fi
  mount --bind "$folder" "$target"
}
stand_over /etc/quillmesh "$work/etc-quillmesh"
stand_over /var/quillmesh "$work/var-quillmesh"

# One run: the stand-in daemon on SOCKET until it received one message; the
# command run with QR_SESSION_ID set to SESSION ("-": unset) by a shell whose
# process id is the event's parent, which it writes first, then the exit
# status.
run_once() {
  local socket=$1 output=$2 session=$3
  shift 3
  "$root/usr/libexec/trailsend/dirsvcd-stub" --json --count 1 --timeout 20 "$socket" \
    >"$output" 2>"$output.err" &
  local stub=$!
  for _ in $(seq 100); do [ -S "$socket" ] && break; sleep 0.05; done
  [ -S "$socket" ] || { cat "$output.err"; echo "the stand-in daemon did not come up"; return 1; }
  local environment=(-u QR_SESSION_ID)
  [ "$session" = - ] || environment=("QR_SESSION_ID=$session")
  env "${environment[@]}" sh -c 'echo $$; "$0" "$@"; echo $?' "$root/usr/bin/trailsend" "$@" >"$output.run"
  wait "$stub" || { cat "$output.err"; echo "the stand-in daemon failed"; return 1; }
}

# Default paths, no configuration file.
run_once /var/quillmesh/daemon2 "$work/default.json" - 200 x ''
# A configuration file that moves the socket.
printf 'dirsvcd.clients.socket2: /var/quillmesh/moved.sock\n' >/etc/quillmesh/quillmesh.conf
run_once /var/quillmesh/moved.sock "$work/moved.json" s-42 17 '' sshd
EOF
unshare --mount --propagation private bash "$work/in-namespace.sh" "$work" "$root" ||
  fail "the run in the mount namespace failed"

user=$(id -un)
check_run() {
  local output=$1 code=$2 session=$3
  shift 3
  local parent status
  { read -r parent; read -r status; } <"$output.run"
  [ "$status" = 0 ] || fail "trailsend exited with $status"
  python3 "$source/tests/install/event_frame.py" "$output" "$code" "$user" "$parent" "$session" "$@" ||
    fail "the stand-in daemon did not receive the expected request"
}
check_run "$work/default.json" 200 - x none
check_run "$work/moved.json" 17 s-42 sshd
[ -z "$(ls -A "$work/var-quillmesh")" ] || fail "the stand-in daemon left its socket behind"

# --- 3. Programs built on trailsend-dev -------------------------------------
consumer=$work/consumer
mkdir -p "$consumer"
cat >"$consumer/consumer.cpp" <<'EOF'
#include "client_common/lrpc2_status.h"
#include "hlx/logger.h"
#include <cstdio>
int main()
{
    const char *volatile none = nullptr; // both out of the compiler's sight,
    volatile std::size_t size = 16;      // so a fortified call stays a check
    char text[16];
    std::snprintf(text, size, "%s", none);
    std::printf("%s\n%s\n", text, LRPC2StatusText(LRPC2_ERR_NO_SOCKET_PATH)); // ours: "(NULL)"
    return hlx::Logger::getLogger("consumer")->isEnabled(hlx::LEVEL_FATAL) ? 0 : 1;
}
EOF
cat >"$consumer/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.25)
project(consumer CXX)
find_package(trailsend 1.0 REQUIRED CONFIG)
add_executable(consumer consumer.cpp)
target_link_libraries(consumer PRIVATE trailsend::hlx)
EOF
# Distribution flags: optimised and fortified; the package's flags must win.
cmake -S "$consumer" -B "$consumer/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_CXX_FLAGS="-D_FORTIFY_SOURCE=2" -DCMAKE_PREFIX_PATH="$root/usr" \
      >"$consumer/cmake.log" 2>&1 &&
  cmake --build "$consumer/build" >>"$consumer/cmake.log" 2>&1 ||
  { cat "$consumer/cmake.log"; fail "the consumer does not build with find_package(trailsend)"; }
expected_output=$'(NULL)\nSocket path does not exist'
[ "$("$consumer/build/consumer")" = "$expected_output" ] || fail "the find_package consumer's snprintf is not ours"

pc() { pkg-config --define-variable=prefix="$root/usr" "$@"; }
export PKG_CONFIG_PATH="$root/usr/$libdir/pkgconfig"
flags=$(pc --cflags trailsend-hlx) libs=$(pc --libs trailsend-hlx)
# shellcheck disable=SC2086 # the flags are words
g++ -std=c++17 -O2 -D_FORTIFY_SOURCE=2 $flags "$consumer/consumer.cpp" -o "$consumer/consumer-pc" $libs ||
  fail "the consumer does not build with pkg-config"
[ "$("$consumer/consumer-pc")" = "$expected_output" ] || fail "the pkg-config consumer's snprintf is not ours"

# Every installed header compiles alone, with nothing but installed headers.
for header in "$root/usr/include/trailsend"/*/*.h; do
  relative=${header#"$root/usr/include/trailsend/"}
  case $relative in
  hlx/*) language=c++ ;;
  *) language=c ;;
  esac
  # shellcheck disable=SC2086
  echo "#include \"$relative\"" | g++ -x c++ -std=c++17 -fsyntax-only $flags - ||
    fail "$relative does not compile on its own"
  if [ "$language" = c ]; then
    # shellcheck disable=SC2086
    echo "#include \"$relative\"" | gcc -x c -std=c11 -fsyntax-only $flags - ||
      fail "$relative does not compile on its own as C"
  fi
done

echo "packages: file lists, lintian, event byte for byte from the extracted command, consumers with our snprintf: all as expected"
