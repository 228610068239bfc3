# Hardening as Debian builds its tools: stack protector, full RELRO
# (read-only relocations, every symbol bound at start-up), position-independent
# executables, format-string checks, and _FORTIFY_SOURCE=2 in every unit where
# it does no harm.
#
# _FORTIFY_SOURCE and our formatter: glibc's fortified headers replace each
# call to snprintf or vsnprintf with one to __snprintf_chk or __vsnprintf_chk,
# the C library's own formatter, so a fortified unit would bypass the
# snprintf/vsnprintf every program exports in place of the C library's. The
# top-level list file therefore turns _FORTIFY_SOURCE off for everything, and
# trailsend_fortify_units() below turns it back on (level 2) for each unit
# whose source never names snprintf or vsnprintf. The install test
# (tests/install/install_test.sh) checks that no __snprintf_chk or
# __vsnprintf_chk reference reaches our units, libraries and programs; a unit
# that starts calling snprintf needs cmake to run again before it builds.
#
# Sanitizer builds are not fortified: the checking variants are the C
# library's own code, out of reach of the sanitizers' interceptors, so they
# would hide the very overflows those builds look for.

include(CheckPIESupported)
# Executables of targets with POSITION_INDEPENDENT_CODE link with -pie.
check_pie_supported(LANGUAGES C CXX)

add_compile_options(-fstack-protector-strong -Wformat -Werror=format-security)
add_link_options(-Wl,-z,relro -Wl,-z,now)

# Every target defined in dir and the folders below it.
function(_trailsend_targets_below dir out)
  get_property(targets DIRECTORY "${dir}" PROPERTY BUILDSYSTEM_TARGETS)
  get_property(subdirs DIRECTORY "${dir}" PROPERTY SUBDIRECTORIES)
  foreach(sub ${subdirs})
    _trailsend_targets_below("${sub}" below)
    list(APPEND targets ${below})
  endforeach()
  set(${out} ${targets} PARENT_SCOPE)
endfunction()

# Fortifies every C and C++ unit of every target that does not name snprintf
# or vsnprintf. Called once, after the last target is defined. Only optimised
# configurations: glibc refuses _FORTIFY_SOURCE without optimisation.
function(trailsend_fortify_units)
  if(TRAILSEND_SANITIZE)
    return()
  endif()
  _trailsend_targets_below("${CMAKE_SOURCE_DIR}" targets)
  set(fortify "$<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>")
  set(fortified 0)
  set(kept 0)
  foreach(target ${targets})
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "INTERFACE_LIBRARY" OR type STREQUAL "UTILITY")
      continue()
    endif()
    get_target_property(sources ${target} SOURCES)
    get_target_property(source_dir ${target} SOURCE_DIR)
    foreach(source ${sources})
      if(NOT source MATCHES "\\.(c|cc|cpp|cxx)$" OR source MATCHES "^\\$<")
        continue()
      endif()
      get_filename_component(path "${source}" ABSOLUTE BASE_DIR "${source_dir}")
      if(NOT EXISTS "${path}")
        continue()
      endif()
      file(READ "${path}" content)
      if(content MATCHES "(^|[^A-Za-z0-9_])v?snprintf[ \t\r\n]*\\(")
        math(EXPR kept "${kept} + 1")
      else()
        # A unit built into two programs of one folder is marked once.
        get_property(options SOURCE "${path}" TARGET_DIRECTORY ${target} PROPERTY COMPILE_OPTIONS)
        if(NOT options MATCHES "_FORTIFY_SOURCE=2")
          set_property(SOURCE "${path}" TARGET_DIRECTORY ${target}
                       APPEND PROPERTY COMPILE_OPTIONS "${fortify}")
          math(EXPR fortified "${fortified} + 1")
        endif()
      endif()
    endforeach()
  endforeach()
  message(STATUS "_FORTIFY_SOURCE=2: ${fortified} units; off in ${kept} units that call snprintf or vsnprintf")
endfunction()
