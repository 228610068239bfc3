# Runs inside a stripped install step (CMAKE_INSTALL_DO_STRIP): strips each of
# trailsend_strip_files (paths below the install prefix) with
# trailsend_strip_tool and trailsend_strip_arguments, the way Debian's tools
# strip what they ship: no debugging information in archives, no compiler
# .comment or .note sections anywhere.
if(NOT CMAKE_INSTALL_DO_STRIP)
  return()
endif()
foreach(file ${trailsend_strip_files})
  set(path "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${file}")
  execute_process(COMMAND "${trailsend_strip_tool}" ${trailsend_strip_arguments} "${path}"
                  RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "Cannot strip ${path}")
  endif()
endforeach()
