# Debian packages from the install components (cmake/Install.cmake):
#
#   cpack --config build/CPackConfig.cmake -G DEB -B <folder>
#
# gives <folder>/trailsend_<version>_<arch>.deb and trailsend-dev_...deb.
# Depends of each package are computed from its binaries by dpkg-shlibdeps
# (Debian package dpkg-dev); executables are stripped as Debian ships them.
set(TRAILSEND_PACKAGE_MAINTAINER "trailsend maintainers <trailsend-maintainers@example.org>"
    CACHE STRING "Maintainer field of the Debian packages")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME trailsend)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "trailsend maintainers")
set(CPACK_PACKAGE_CONTACT "${TRAILSEND_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL trailsend trailsend-dev)
set(CPACK_DEB_COMPONENT_INSTALL ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TRAILSEND_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)

set(CPACK_DEBIAN_TRAILSEND_PACKAGE_NAME trailsend)
set(CPACK_DEBIAN_TRAILSEND_PACKAGE_SECTION admin)
set(CPACK_COMPONENT_TRAILSEND_DESCRIPTION
"record audit-trail events through the directory daemon
trailsend is run by a parent program to record one audit-trail event for
the real user who runs it: it reads the directory daemon's client
configuration, decides whether an audit target is configured, and hands one
request to the local daemon dirsvcd over its Unix socket. It prints nothing;
its exit status tells whether the event was handed over.

The package also holds the stand-in daemon dirsvcd-stub, an example tool
that plays the daemon's side of the protocol and prints what it receives.")

set(CPACK_DEBIAN_TRAILSEND-DEV_PACKAGE_NAME trailsend-dev)
set(CPACK_DEBIAN_TRAILSEND-DEV_PACKAGE_SECTION libdevel)
# The framework's headers include Boost's shared pointer.
set(CPACK_DEBIAN_TRAILSEND-DEV_PACKAGE_DEPENDS "libboost-dev")
set(CPACK_COMPONENT_TRAILSEND-DEV_DESCRIPTION
"trailsend client library and hlx framework (development files)
Static libraries and headers of trailsend's C client library for the
directory daemon (audit-trail events, client configuration, client log) and
of its C++ support framework hlx (loggers to syslog, threads, mutexes, run
queue, properties and settings), with a CMake package
(find_package(trailsend)) and pkg-config files.

Programs linked with them use the libraries' own snprintf, vsnprintf and
random-number functions in place of the C library's.")

include(CPack)
