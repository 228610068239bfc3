# Build helpers shared by every folder.
#
# Every fixed path of the system lives in lib/client_common/well_known_paths.cpp.
# Installed programs link `paths_installed` (the real paths); test programs and
# the command's test twin link `paths_test`, whose paths lie under
# ${TRAILSEND_TEST_ROOT} inside the build tree.
set(TRAILSEND_TEST_ROOT "${CMAKE_BINARY_DIR}/testroot" CACHE INTERNAL "")

# Symbols a program exports to the shared objects it loads, so that our
# replacements of C library functions serve the whole process.
set(TRAILSEND_EXPORTS_FILE "${CMAKE_SOURCE_DIR}/cmake/exports.list")

# -u pulls our replacements out of the archive even into a program whose own
# code never calls them. The sanitizer runtimes define snprintf and vsnprintf
# as weak interceptors before our archive is searched: FormattedOutputLinked
# pulls the unit then, and RandomNumbersLinked does the same for random, rand,
# srandom and srand. Our own programs and those built on the installed
# libraries (cmake/Install.cmake) link with the same list.
set(TRAILSEND_FORMATTER_LINK_OPTIONS
    -Wl,-u,FormattedOutputLinked -Wl,-u,vsnprintf -Wl,-u,snprintf)
set(TRAILSEND_REPLACEMENT_LINK_OPTIONS ${TRAILSEND_FORMATTER_LINK_OPTIONS}
    -Wl,-u,RandomNumbersLinked -Wl,-u,random -Wl,-u,rand -Wl,-u,srandom -Wl,-u,srand)

# The version of the well-known paths a program links: INSTALLED or TEST.
function(_trailsend_paths_library paths out)
  if(paths STREQUAL "INSTALLED")
    set(${out} paths_installed PARENT_SCOPE)
  else()
    set(${out} paths_test PARENT_SCOPE)
  endif()
endfunction()

# trailsend_link_program(<target> INSTALLED|TEST [<client library>])
# Links a program with the client library (or another build of it), the
# framework and one version of the well-known paths.
function(trailsend_link_program target paths)
  set(client_lib client_common)
  if(ARGC GREATER 2)
    set(client_lib ${ARGV2})
  endif()
  _trailsend_paths_library(${paths} paths_lib)
  # The client library and the framework refer to each other, so they are
  # searched as one group: the client log's level names (LEVEL_NAMES) are
  # defined by the framework's logger, while the framework formats with the
  # client library's snprintf and vsnprintf and reads the fixed paths of the
  # paths unit.
  target_link_libraries(${target} PRIVATE
    -Wl,--start-group ${client_lib} hlx ${paths_lib} -Wl,--end-group
    Boost::headers Threads::Threads ${CMAKE_DL_LIBS})
  # The dynamic list exports our replacements to the shared objects a
  # program loads.
  target_link_options(${target} PRIVATE
    "-Wl,--dynamic-list=${TRAILSEND_EXPORTS_FILE}" ${TRAILSEND_REPLACEMENT_LINK_OPTIONS})
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${TRAILSEND_EXPORTS_FILE}")
endfunction()

# trailsend_link_client_program(<target> INSTALLED|TEST)
# Links a program built on the client library alone (the trailsend command):
# the client library, one version of the paths, and of the framework only the
# client log's level names (LEVEL_NAMES). It exports what the client library
# defines (our snprintf and vsnprintf in place of the C library's, MsgFree,
# LEVEL_NAMES); the random-number functions are the framework's and come with
# the framework, which such a program does not link.
function(trailsend_link_client_program target paths)
  _trailsend_paths_library(${paths} paths_lib)
  target_link_libraries(${target} PRIVATE client_common ${paths_lib} hlx)
  target_link_options(${target} PRIVATE
    "-Wl,--dynamic-list=${TRAILSEND_EXPORTS_FILE}" ${TRAILSEND_FORMATTER_LINK_OPTIONS})
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${TRAILSEND_EXPORTS_FILE}")
endfunction()
