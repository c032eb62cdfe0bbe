# SPDX-License-Identifier: GPL-3.0-or-later
# Header-only libraries from Debian's packages (nlohmann-json3-dev, libcli11-dev). A native build
# takes them through their CMake packages. The cross-build for Windows finds their headers under
# /usr/include, which it must not search as a whole (the C library's headers there are Linux's):
# it gets a folder of its own in the build tree that links to the library's folder alone.
function(kestrova_use_header_library target package imported header)
  if(NOT CMAKE_CROSSCOMPILING)
    find_package(${package} CONFIG REQUIRED)
    target_link_libraries(${target} PRIVATE ${imported})
    return()
  endif()
  get_filename_component(top "${header}" DIRECTORY)
  find_path(${package}_ROOT "${header}" PATHS /usr/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  if(NOT ${package}_ROOT)
    message(FATAL_ERROR "${header} not found: install Debian's package of ${package}")
  endif()
  set(folder "${CMAKE_BINARY_DIR}/header-libraries")
  file(MAKE_DIRECTORY "${folder}")
  if(NOT EXISTS "${folder}/${top}")
    file(CREATE_LINK "${${package}_ROOT}/${top}" "${folder}/${top}" SYMBOLIC)
  endif()
  target_include_directories(${target} SYSTEM PRIVATE "${folder}")
endfunction()
