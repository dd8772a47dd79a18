# What the Windows cross build needs beyond the toolchain file: GoogleTest compiled from source with the same
# compilers (Debian ships it only for Linux), and tests that run through a Wine prefix of this build's own.
# Resources (windres) for the program and for the builder's tests, which read a copy's version resource.
enable_language(RC)
if(BRAE_TESTS)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(BRAE_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources (Debian's googletest package)")
  add_subdirectory(${BRAE_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  foreach(lib gtest gtest_main)
    target_compile_options(${lib} PRIVATE -Wno-error)
    if(NOT TARGET GTest::${lib})
      add_library(GTest::${lib} ALIAS ${lib})
    endif()
  endforeach()
endif()

# Every cross-built program started by ctest goes through wine-run: it prepares the prefix under the build
# folder once (ports pinned to the test folder), keeps a Wine server alive between the many short starts and
# keeps Wine's own chatter out of the test output.
set(BRAE_WINEPREFIX ${CMAKE_BINARY_DIR}/wine CACHE PATH "The Wine prefix the tests run in")
set(BRAE_WINE_PORT_DIR ${CMAKE_BINARY_DIR}/wine-ports CACHE PATH "Where COM1-COM25 of the test prefix lead")
set(BRAE_WINE ${CMAKE_CROSSCOMPILING_EMULATOR})

# Two test helpers run on the Linux side, built with the host's compilers: the far side of the serial tests
# (pseudo-terminals linked where the prefix's COM ports lead) and the library that lets Wine watch events on
# them (see tests/support/pty_modem.c). Neither ships.
set(BRAE_PTY_MODEM_LIB ${CMAKE_BINARY_DIR}/host/libbrae-pty-modem.so)
set(BRAE_PTY_PEER ${CMAKE_BINARY_DIR}/host/brae-pty-peer)
if(BRAE_TESTS)
  find_program(BRAE_HOST_CC NAMES gcc cc REQUIRED)
  find_program(BRAE_HOST_CXX NAMES g++ c++ REQUIRED)
  set(support ${PROJECT_SOURCE_DIR}/tests/support)
  add_custom_command(
    OUTPUT ${BRAE_PTY_MODEM_LIB}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/host
    COMMAND ${BRAE_HOST_CC} -shared -fPIC -O2 -Wall -Wextra -Werror -o ${BRAE_PTY_MODEM_LIB}
            ${support}/pty_modem.c -ldl
    DEPENDS ${support}/pty_modem.c
    COMMENT "Building the host's test-only pty modem library")
  add_custom_command(
    OUTPUT ${BRAE_PTY_PEER}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/host
    COMMAND ${BRAE_HOST_CXX} -std=c++20 -O2 -Wall -Wextra -Werror -o ${BRAE_PTY_PEER} ${support}/pty_peer.cpp
            -lutil
    DEPENDS ${support}/pty_peer.cpp
    COMMENT "Building the host's test-only pty peer")
  # The simulated indicator, for whole updates under Wine: a Linux program on a pseudo-terminal.
  set(BRAE_HOST_SIM ${CMAKE_BINARY_DIR}/host/brae-indicator-sim)
  file(GLOB sim_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tools/indicator-sim/*.cpp)
  file(GLOB sim_headers CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tools/indicator-sim/*.h)
  add_custom_command(
    OUTPUT ${BRAE_HOST_SIM}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/host
    COMMAND ${BRAE_HOST_CXX} -std=c++20 -O2 -Wall -Wextra -Wno-restrict -I${PROJECT_SOURCE_DIR}/tools/indicator-sim
            -o ${BRAE_HOST_SIM} ${sim_sources} -lutil -pthread
    DEPENDS ${sim_sources} ${sim_headers}
    COMMENT "Building the host's simulated indicator")
  add_custom_target(brae_host_test_helpers ALL DEPENDS ${BRAE_PTY_MODEM_LIB} ${BRAE_PTY_PEER} ${BRAE_HOST_SIM})
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ
                                WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)
