# What `cmake --install` puts where (GNUInstallDirs; DESTDIR honoured), in
# two components that become the two Debian packages (cmake/Packaging.cmake):
#
#   trailsend       bin/trailsend (and bin/trailsend-check), trailsend-log
#                   (which writes trailsend's failure line) and the stand-in
#                   daemon as an example tool in libexec/trailsend/, the
#                   manual pages, copyright and changelog;
#   trailsend-dev   headers under include/trailsend/, the static libraries
#                   libclient_common.a (with the real paths) and libhlx.a
#                   under lib/<triplet>/trailsend/, the exports list, the
#                   CMake package (find_package(trailsend CONFIG)) and the
#                   pkg-config files.
#
# Only programs linked with the real paths (paths_installed) are installed:
# never a twin, a test program or anything under the test root.

# CMAKE_INSTALL_LIBDIR and the other folders come from GNUInstallDirs, set up
# in the top-level CMakeLists.txt.
include(CMakePackageConfigHelpers)

set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# Our archives have names too plain for the system's library directory.
set(TRAILSEND_INSTALL_LIBDIR "${CMAKE_INSTALL_LIBDIR}/trailsend")
set(TRAILSEND_INSTALL_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}/trailsend")
set(TRAILSEND_INSTALL_DATADIR "${CMAKE_INSTALL_DATADIR}/trailsend")
set(TRAILSEND_INSTALL_LIBEXECDIR "${CMAKE_INSTALL_LIBEXECDIR}/trailsend")
set(TRAILSEND_INSTALL_CMAKEDIR "${CMAKE_INSTALL_LIBDIR}/cmake/trailsend")
set(TRAILSEND_INSTALL_PKGCONFIGDIR "${CMAKE_INSTALL_LIBDIR}/pkgconfig")

# --- Programs --------------------------------------------------------------
# trailsend executes trailsend-log by the path it was built with: an install
# under another prefix would leave every failure line unwritten.
install(CODE "if(NOT CMAKE_INSTALL_PREFIX STREQUAL \"${CMAKE_INSTALL_PREFIX}\")
  message(FATAL_ERROR \"This build was configured for the prefix ${CMAKE_INSTALL_PREFIX}, where trailsend \"
    \"executes ${CMAKE_INSTALL_FULL_LIBEXECDIR}/trailsend/trailsend-log; install it there, or configure \"
    \"the build again with -DCMAKE_INSTALL_PREFIX=\${CMAKE_INSTALL_PREFIX}.\")
endif()" COMPONENT trailsend)
install(TARGETS trailsend RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT trailsend)
install(TARGETS trailsend-log RUNTIME DESTINATION ${TRAILSEND_INSTALL_LIBEXECDIR} COMPONENT trailsend)
if(TARGET trailsend-check)
  install(TARGETS trailsend-check RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT trailsend)
endif()
if(TARGET dirsvcd-stub_installed)
  install(TARGETS dirsvcd-stub_installed RUNTIME DESTINATION ${TRAILSEND_INSTALL_LIBEXECDIR}
          COMPONENT trailsend)
endif()

# A stripped install (cpack, cmake --install --strip) goes as far as Debian's
# tools: cmake/StripInstalled.cmake drops what strip alone leaves.
function(trailsend_install_strip component arguments)
  install(CODE "set(trailsend_strip_tool \"${CMAKE_STRIP}\")
set(trailsend_strip_arguments \"${arguments}\")
set(trailsend_strip_files \"${ARGN}\")
include(\"${CMAKE_SOURCE_DIR}/cmake/StripInstalled.cmake\")" COMPONENT ${component})
endfunction()
set(trailsend_programs ${CMAKE_INSTALL_BINDIR}/trailsend ${TRAILSEND_INSTALL_LIBEXECDIR}/trailsend-log)
if(TARGET trailsend-check)
  list(APPEND trailsend_programs ${CMAKE_INSTALL_BINDIR}/trailsend-check)
endif()
if(TARGET dirsvcd-stub_installed)
  list(APPEND trailsend_programs ${TRAILSEND_INSTALL_LIBEXECDIR}/dirsvcd-stub)
endif()
trailsend_install_strip(trailsend "--remove-section=.comment;--remove-section=.note" ${trailsend_programs})

# --- Manual pages and package documents, compressed as Debian wants them ----
# gzip -9n: maximum compression, no name or time stamp, so the same source
# gives the same bytes.
set(trailsend_compressed "")
function(trailsend_gzip source output)
  get_filename_component(name "${output}" NAME_WLE)
  get_filename_component(dir "${output}" DIRECTORY)
  add_custom_command(OUTPUT "${output}"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${dir}"
    COMMAND ${CMAKE_COMMAND} -E copy "${source}" "${dir}/${name}"
    COMMAND gzip -9nf "${dir}/${name}"
    DEPENDS "${source}"
    COMMENT "Compressing ${name}"
    VERBATIM)
  set(trailsend_compressed ${trailsend_compressed} "${output}" PARENT_SCOPE)
endfunction()

set(trailsend_pages man/trailsend.1 man/dirsvcd-stub.1 man/quillrec.conf.5)
if(TARGET trailsend-check)
  list(APPEND trailsend_pages man/trailsend-check.1)
endif()
foreach(page ${trailsend_pages})
  get_filename_component(name "${page}" NAME)
  string(REGEX REPLACE "^.*\\.([0-9])$" "\\1" section "${name}")
  trailsend_gzip("${CMAKE_SOURCE_DIR}/${page}" "${CMAKE_BINARY_DIR}/man/${name}.gz")
  install(FILES "${CMAKE_BINARY_DIR}/man/${name}.gz"
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT trailsend)
endforeach()

# The changelog's newest entry names the version this tree builds.
file(STRINGS "${CMAKE_SOURCE_DIR}/packaging/changelog" changelog_head LIMIT_COUNT 1)
if(NOT changelog_head MATCHES "^trailsend \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog starts with '${changelog_head}', "
                      "not with an entry for version ${PROJECT_VERSION}")
endif()
trailsend_gzip("${CMAKE_SOURCE_DIR}/packaging/changelog" "${CMAKE_BINARY_DIR}/packaging/changelog.gz")
add_custom_target(trailsend_compressed_documents ALL DEPENDS ${trailsend_compressed})

# Each package carries its own copyright file and changelog.
foreach(component trailsend trailsend-dev)
  install(FILES "${CMAKE_SOURCE_DIR}/packaging/copyright" "${CMAKE_BINARY_DIR}/packaging/changelog.gz"
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${component} COMPONENT ${component})
endforeach()

# --- Headers ---------------------------------------------------------------
# The framework's headers are all public. Of the client library's, those a
# program needs to send events (with a context of its own or one it manages),
# read the client configuration, use the client log, our formatter and the
# fixed paths; the codec, session and trace units stay inside.
install(DIRECTORY "${CMAKE_SOURCE_DIR}/include/hlx" DESTINATION ${TRAILSEND_INSTALL_INCLUDEDIR}
        COMPONENT trailsend-dev FILES_MATCHING PATTERN "*.h")
set(TRAILSEND_PUBLIC_CLIENT_HEADERS
    at_proxy_lrpc2.h client_context.h client_props.h client_props_access.h
    formatted_output.h log_buffer.h lrpc2_status.h well_known_paths.h)
list(TRANSFORM TRAILSEND_PUBLIC_CLIENT_HEADERS PREPEND "${CMAKE_SOURCE_DIR}/lib/client_common/")
install(FILES ${TRAILSEND_PUBLIC_CLIENT_HEADERS}
        DESTINATION ${TRAILSEND_INSTALL_INCLUDEDIR}/client_common COMPONENT trailsend-dev)

# --- Libraries, exports list, CMake package, pkg-config files --------------
# The installed client library carries the real paths in it: one archive
# less to link, and none that holds data alone.
add_library(client_common_installed STATIC
            $<TARGET_OBJECTS:client_common> $<TARGET_OBJECTS:paths_installed>)
set_target_properties(client_common_installed PROPERTIES
  OUTPUT_NAME client_common
  ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/installed)
install(TARGETS client_common_installed hlx
        ARCHIVE DESTINATION ${TRAILSEND_INSTALL_LIBDIR} COMPONENT trailsend-dev)
trailsend_install_strip(trailsend-dev
  "--strip-debug;--enable-deterministic-archives;--remove-section=.comment;--remove-section=.note"
  ${TRAILSEND_INSTALL_LIBDIR}/libclient_common.a ${TRAILSEND_INSTALL_LIBDIR}/libhlx.a)
install(FILES "${TRAILSEND_EXPORTS_FILE}" DESTINATION ${TRAILSEND_INSTALL_DATADIR}
        COMPONENT trailsend-dev)

# What a program built on the libraries needs, as trailsend_link_program
# (cmake/Trailsend.cmake) gives our own programs: calls compiled to reach our
# snprintf/vsnprintf, and the -u that pull our replacements of the C
# library's functions out of the archives.
set(TRAILSEND_CONSUMER_COMPILE_OPTIONS -fno-builtin-snprintf -fno-builtin-vsnprintf -U_FORTIFY_SOURCE)
set(TRAILSEND_CONSUMER_LINK_OPTIONS ${TRAILSEND_REPLACEMENT_LINK_OPTIONS})

configure_package_config_file("${CMAKE_SOURCE_DIR}/cmake/trailsendConfig.cmake.in"
  "${CMAKE_BINARY_DIR}/packaging/trailsendConfig.cmake"
  INSTALL_DESTINATION ${TRAILSEND_INSTALL_CMAKEDIR}
  PATH_VARS TRAILSEND_INSTALL_LIBDIR TRAILSEND_INSTALL_INCLUDEDIR TRAILSEND_INSTALL_DATADIR)
write_basic_package_version_file("${CMAKE_BINARY_DIR}/packaging/trailsendConfigVersion.cmake"
  COMPATIBILITY SameMajorVersion)
install(FILES "${CMAKE_BINARY_DIR}/packaging/trailsendConfig.cmake"
              "${CMAKE_BINARY_DIR}/packaging/trailsendConfigVersion.cmake"
        DESTINATION ${TRAILSEND_INSTALL_CMAKEDIR} COMPONENT trailsend-dev)

# pkg-config files need the absolute prefix, which `cmake --install --prefix`
# and CPack choose only at install time: the templates keep it open here and
# the install step fills it in, writing straight into the installed tree.
string(REPLACE ";" " " TRAILSEND_PC_CFLAGS "${TRAILSEND_CONSUMER_COMPILE_OPTIONS}")
string(REPLACE ";" " " TRAILSEND_PC_LIBS
       "-Wl,--start-group;-lclient_common;-lhlx;-Wl,--end-group;"
       "-Wl,--dynamic-list=\${datadir}/exports.list;${TRAILSEND_CONSUMER_LINK_OPTIONS};-pthread;-ldl")
set(TRAILSEND_PC_PREFIX "@CMAKE_INSTALL_PREFIX@")
foreach(pc trailsend-client-common trailsend-hlx)
  configure_file("${CMAKE_SOURCE_DIR}/packaging/${pc}.pc.in" "${CMAKE_BINARY_DIR}/packaging/${pc}.pc.in" @ONLY)
endforeach()
install(CODE "
  set(pc_dir \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${TRAILSEND_INSTALL_PKGCONFIGDIR}\")
  foreach(pc trailsend-client-common trailsend-hlx)
    message(STATUS \"Installing: \${pc_dir}/\${pc}.pc\")
    configure_file(\"${CMAKE_BINARY_DIR}/packaging/\${pc}.pc.in\" \"\${pc_dir}/\${pc}.pc\" @ONLY)
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${pc_dir}/\${pc}.pc\")
  endforeach()
" COMPONENT trailsend-dev)
