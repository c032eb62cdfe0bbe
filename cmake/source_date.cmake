# SPDX-License-Identifier: GPL-3.0-or-later
# The date that a package made by this build carries: SOURCE_DATE_EPOCH when it is set, else the
# time of the last commit, in seconds since 1970. So two builds of one commit make the same
# package; CMake looks again when a commit is made.
function(kestrova_source_date out)
  if(DEFINED ENV{SOURCE_DATE_EPOCH})
    set(source_date $ENV{SOURCE_DATE_EPOCH})
  else()
    find_package(Git QUIET)
    if(GIT_FOUND)
      execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --format=%ct
                      WORKING_DIRECTORY ${PROJECT_SOURCE_DIR} OUTPUT_VARIABLE source_date
                      OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
      execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --absolute-git-dir
                      WORKING_DIRECTORY ${PROJECT_SOURCE_DIR} OUTPUT_VARIABLE git_dir
                      OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
      if(git_dir AND EXISTS ${git_dir}/logs/HEAD)
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${git_dir}/logs/HEAD)
      endif()
    endif()
  endif()
  if(NOT source_date MATCHES "^[0-9]+$")
    message(FATAL_ERROR "No date for the packages: build from a git checkout or set "
                        "SOURCE_DATE_EPOCH (seconds since 1970)")
  endif()
  set(${out} ${source_date} PARENT_SCOPE)
endfunction()
