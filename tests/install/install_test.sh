#!/usr/bin/env bash
# Installs the build into a temporary root (cmake --install --prefix /usr with
# DESTDIR) and checks what lands there: exactly the files of the two install
# components, nothing that points into the build tree, manual pages that
# mandoc finds no fault in, programs hardened as Debian builds its tools, and
# no call anywhere in our programs and libraries (installed or in the build
# tree) that a fortified header turned into the C library's __snprintf_chk
# or __vsnprintf_chk instead of our formatter.
#
#   install_test.sh BUILD_DIR SOURCE_DIR LIBDIR WITH_CHECK BUILD_TYPE
set -euo pipefail
build=$1 source=$2 libdir=$3 with_check=$4 build_type=$5
. "$source/tests/install/file_lists.sh"

for tool in mandoc readelf nm; do
  command -v "$tool" >/dev/null || fail "$tool is missing: run tools/setup.sh"
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
umask 022
stage=$work/stage

DESTDIR=$stage cmake --install "$build" --prefix /usr >"$work/install.log" ||
  { cat "$work/install.log"; fail "cmake --install failed"; }

# The file list: the two components, nothing more, nothing less.
{ expected_files trailsend "$libdir" "$with_check" "$source"
  expected_files trailsend-dev "$libdir" "$with_check" "$source"; } | LC_ALL=C sort >"$work/expected"
files_below "$stage" >"$work/actual"
diff -u "$work/expected" "$work/actual" || fail "installed files differ from the expected list"

# Installed programs read the real paths: nothing installed names the test
# root or the twins in the build tree, as a twin or a test program would.
if grep -rl --fixed-strings -e "$build/testroot" -e "$build/twin" "$stage"; then
  fail "installed files name the test root or a twin"
fi
# trailsend executes the trailsend-log installed beside it.
contents=$(tr -c '[:print:]' '\n' <"$stage/usr/bin/trailsend")
grep -qx --fixed-strings /usr/libexec/trailsend/trailsend-log <<<"$contents" ||
  fail "/usr/bin/trailsend does not execute /usr/libexec/trailsend/trailsend-log"
# An install under another prefix than the build's is refused.
if DESTDIR=$work/elsewhere cmake --install "$build" --prefix /opt/elsewhere >"$work/elsewhere.log" 2>&1; then
  fail "an install under a prefix trailsend was not built for succeeded"
fi
grep -q "configured for the prefix /usr" "$work/elsewhere.log" ||
  { cat "$work/elsewhere.log"; fail "the refused install does not say why"; }

# Manual pages: no warning, no error.
for page in "$stage"/usr/share/man/man*/*.gz; do
  mandoc -T lint -W warning "$page" || fail "mandoc finds faults in ${page##*/}"
done

programs=("$stage/usr/bin/trailsend" "$stage/usr/libexec/trailsend/trailsend-log"
          "$stage/usr/libexec/trailsend/dirsvcd-stub")
[ "$with_check" = 1 ] && programs+=("$stage/usr/bin/trailsend-check")
# (Tool output is read into variables first: grep -q ending a pipe early
# would fail the pipe under pipefail.)
for program in "${programs[@]}"; do
  name=${program#"$stage"}
  header=$(readelf -h "$program") dynamic=$(readelf -d "$program")
  segments=$(readelf -l "$program") symbols=$(nm -D "$program")
  grep -q 'Type:.*DYN' <<<"$header" || fail "$name is not position-independent"
  grep -q 'FLAGS_1.*PIE' <<<"$dynamic" || fail "$name is not a PIE"
  grep -q 'BIND_NOW' <<<"$dynamic" || fail "$name binds lazily (no -z now)"
  grep -q 'GNU_RELRO' <<<"$segments" || fail "$name has no RELRO segment"
  grep -q ' U __stack_chk_fail' <<<"$symbols" || fail "$name has no stack protector"
  # Our formatter serves the whole process: defined here and exported.
  for function in snprintf vsnprintf; do
    grep -Eq " T $function\$" <<<"$symbols" || fail "$name does not export its $function"
  done
done
# trailsend starts like a C program: every function a program imports is
# bound at its start, so the framework and the C++ runtime (exceptions,
# threads, thread-local data) stay with trailsend-log.
dynamic=$(readelf -d "$stage/usr/bin/trailsend") symbols=$(nm -D "$stage/usr/bin/trailsend")
[ "$(grep -c NEEDED <<<"$dynamic")" = 1 ] && grep -q 'NEEDED.*\[libc\.so\.6\]' <<<"$dynamic" ||
  fail "/usr/bin/trailsend needs more than libc.so.6"
if grep -E ' U (pthread_|_Unwind_|__cxa_(throw|atexit|guard)|__tls_get_addr|_dl_find_object)' <<<"$symbols"; then
  fail "/usr/bin/trailsend imports the C++ runtime or thread functions"
fi
# Fortified units call the C library's checking variants of other functions.
case $build_type in
Release|RelWithDebInfo|MinSizeRel)
  symbols=$(nm -D "$stage/usr/bin/trailsend")
  grep -Eq ' U __[a-z_]+_chk(@|$)' <<<"$symbols" ||
    fail "/usr/bin/trailsend calls no fortified function"
  ;;
esac

# No call routed around our formatter: not in the installed programs and
# archives, not in any unit compiled in the build tree. (Test programs are
# left out as wholes: they link the test framework's archives, built by the
# distribution with _FORTIFY_SOURCE.)
checked=0
while IFS= read -r -d '' file; do
  case $file in
  *.a | *.o) ;;
  *) readelf -h "$file" >/dev/null 2>&1 || continue ;;
  esac
  symbols=$(nm "$file" 2>/dev/null || true; nm -D "$file" 2>/dev/null || true)
  if grep -E '__v?snprintf_chk' <<<"$symbols"; then
    fail "${file} calls the C library's checking snprintf/vsnprintf: a unit that calls snprintf is fortified (re-run cmake if its source changed)"
  fi
  checked=$((checked + 1))
done < <(find "$stage" -type f \( -name '*.a' -o -perm -u+x \) -print0
         find "$build" -type f -name '*.o' -print0)
[ "$checked" -gt 50 ] || fail "only $checked programs, archives and units were checked"

echo "install: $(wc -l <"$work/actual") files as expected; manual pages clean; hardening and formatter checked in $checked files"
