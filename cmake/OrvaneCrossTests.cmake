# Debian's libgtest is a Linux library; a cross build compiles GoogleTest from
# Debian's own sources and offers the same targets as find_package(GTest).
set(_orvane_gtest_src /usr/src/googletest)
if(NOT EXISTS ${_orvane_gtest_src}/CMakeLists.txt)
  message(FATAL_ERROR "GoogleTest sources not found in ${_orvane_gtest_src} (package googletest)")
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(${_orvane_gtest_src} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
foreach(_t gtest gtest_main gmock gmock_main)
  if(NOT TARGET GTest::${_t})
    add_library(GTest::${_t} ALIAS ${_t})
  endif()
endforeach()

# Tests run under Wine in a prefix inside the build tree (scripts/test-windows
# creates it) and start in a folder on its drive C:, so a rooted path without a
# drive means C:\ as it would on Windows (from the build tree it would be Z:\).
set(ORVANE_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix CACHE PATH "Wine prefix the tests run in")
set(ORVANE_TEST_WORKING_DIR ${ORVANE_WINEPREFIX}/drive_c/orvane-tests CACHE PATH
  "Folder the tests start in under Wine")
