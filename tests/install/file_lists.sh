# Sourced by the install and package tests: what each install component
# must hold, file by file, below the prefix /usr.
#
#   expected_files COMPONENT LIBDIR WITH_CHECK SOURCE_DIR
#
# prints the files (not folders) of COMPONENT (trailsend or trailsend-dev),
# one a line, as "./usr/...", sorted. LIBDIR is the build's
# CMAKE_INSTALL_LIBDIR; WITH_CHECK is 1 when the build has trailsend-check.

expected_files() {
  local component=$1 libdir=$2 with_check=$3 source=$4
  {
    case $component in
    trailsend)
      echo ./usr/bin/trailsend
      echo ./usr/libexec/trailsend/trailsend-log
      echo ./usr/libexec/trailsend/dirsvcd-stub
      echo ./usr/share/man/man1/trailsend.1.gz
      echo ./usr/share/man/man1/dirsvcd-stub.1.gz
      echo ./usr/share/man/man5/quillrec.conf.5.gz
      if [ "$with_check" = 1 ]; then
        echo ./usr/bin/trailsend-check
        echo ./usr/share/man/man1/trailsend-check.1.gz
      fi
      echo ./usr/share/doc/trailsend/copyright
      echo ./usr/share/doc/trailsend/changelog.gz
      ;;
    trailsend-dev)
      local header
      for header in "$source"/include/hlx/*.h; do
        echo "./usr/include/trailsend/hlx/${header##*/}"
      done
      for header in at_proxy_lrpc2.h client_context.h client_props.h client_props_access.h \
                    formatted_output.h log_buffer.h lrpc2_status.h well_known_paths.h; do
        echo "./usr/include/trailsend/client_common/$header"
      done
      echo "./usr/$libdir/trailsend/libclient_common.a"
      echo "./usr/$libdir/trailsend/libhlx.a"
      echo "./usr/$libdir/cmake/trailsend/trailsendConfig.cmake"
      echo "./usr/$libdir/cmake/trailsend/trailsendConfigVersion.cmake"
      echo "./usr/$libdir/pkgconfig/trailsend-client-common.pc"
      echo "./usr/$libdir/pkgconfig/trailsend-hlx.pc"
      echo ./usr/share/trailsend/exports.list
      echo ./usr/share/doc/trailsend-dev/copyright
      echo ./usr/share/doc/trailsend-dev/changelog.gz
      ;;
    esac
  } | LC_ALL=C sort
}

# The files below a folder, as "./...", sorted.
files_below() {
  (cd "$1" && find . ! -type d | LC_ALL=C sort)
}

# Fails the test with a message.
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
