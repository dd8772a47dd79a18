# What the Windows cross build needs beyond the toolchain file: GoogleTest compiled from source with the same
# compilers (Debian ships it only for Linux), and tests that run through a Wine prefix of this build's own.
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
set(BRAE_PTY_MODEM_LIB ${CMAKE_BINARY_DIR}/host/libbrae-pty-modem.so)
configure_file(${PROJECT_SOURCE_DIR}/cmake/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ
                                WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)
