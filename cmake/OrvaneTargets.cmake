# Helpers shared by the source and test folders.

function(orvane_library AName)
  add_library(${AName} STATIC)
  # A layer may still be headers only while it grows.
  set_target_properties(${AName} PROPERTIES LINKER_LANGUAGE CXX)
  target_compile_options(${AName} PRIVATE ${ORVANE_WARNINGS})
  target_include_directories(${AName} PUBLIC ${PROJECT_SOURCE_DIR}/src)
endfunction()

# platform/, registry/, the network core and the engine must build without Qt
# (they also build for Windows with MinGW). Fail the configure step if anything drags Qt into them, directly
# or through a dependency.
function(_orvane_collect_links ATarget AOut)
  set(_seen ${${AOut}})
  get_target_property(_libs ${ATarget} LINK_LIBRARIES)
  get_target_property(_ilibs ${ATarget} INTERFACE_LINK_LIBRARIES)
  foreach(_lib IN LISTS _libs _ilibs)
    if(_lib AND NOT _lib IN_LIST _seen)
      list(APPEND _seen ${_lib})
      if(TARGET ${_lib})
        _orvane_collect_links(${_lib} _seen)
      endif()
    endif()
  endforeach()
  set(${AOut} ${_seen} PARENT_SCOPE)
endfunction()

function(orvane_check_qt_free)
  foreach(_target IN LISTS ARGN)
    set(_all "")
    _orvane_collect_links(${_target} _all)
    foreach(_lib IN LISTS _all)
      if(_lib MATCHES "(^|::)Qt[0-9]*|qt[0-9]?(core|gui|widgets)")
        message(FATAL_ERROR "${_target} must not link Qt, but links ${_lib}")
      endif()
    endforeach()
  endforeach()
endfunction()

# One GoogleTest executable per folder of tests/.
function(orvane_test AName)
  # OWN_MAIN: the sources bring main() (for instance to create a QApplication).
  # SERIAL: each test runs alone (it changes settings the whole machine shares).
  cmake_parse_arguments(T "GUI;OWN_MAIN;SERIAL" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  add_executable(${AName} ${T_SOURCES})
  target_compile_options(${AName} PRIVATE ${ORVANE_WARNINGS})
  target_link_libraries(${AName} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock)
  if(NOT T_OWN_MAIN)
    target_link_libraries(${AName} PRIVATE GTest::gtest_main)
  endif()
  target_include_directories(${AName} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  set(_env "ORVANE_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
  if(T_GUI)
    list(APPEND _env "QT_QPA_PLATFORM=offscreen")
  endif()
  set(_workdir "")
  if(CMAKE_CROSSCOMPILING)
    # Wine's first start in a process tree is slow; discovery runs the exe too.
    set(_workdir WORKING_DIRECTORY ${ORVANE_TEST_WORKING_DIR} DISCOVERY_TIMEOUT 60)
    # Wine's drive Z: is the host's root, so the source tree is reachable by a Win32 path.
    set(_env "ORVANE_SOURCE_DIR=Z:${PROJECT_SOURCE_DIR}" "WINEPREFIX=${ORVANE_WINEPREFIX}"
      "WINEDEBUG=-all")
  endif()
  # Under Wine, CROSSCOMPILING_EMULATOR runs both discovery and the tests.
  # NO_PRETTY_VALUES: named parameters would otherwise drag the printed
  # parameter bytes into the test's name.
  set(_serial "")
  if(T_SERIAL)
    set(_serial RUN_SERIAL TRUE)
  endif()
  gtest_discover_tests(${AName} DISCOVERY_MODE PRE_TEST ${_workdir} NO_PRETTY_VALUES
    PROPERTIES TIMEOUT ${T_TIMEOUT} ENVIRONMENT "${_env}" ${_serial})
endfunction()
