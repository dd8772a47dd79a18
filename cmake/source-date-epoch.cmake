# One time for everything built from one commit, so that two builds of it are the same byte for byte, in any
# folder: SOURCE_DATE_EPOCH as the caller gives it, else the time of the tree's last commit, else (a tree
# that is no git checkout, or no git) a fixed one, the first release's day. The Windows programs take it as
# their PE time stamp; the Debian package as every time it holds (packaging/CPackSettings.cmake).
set(BRAE_SOURCE_DATE_EPOCH 1796774400)  # 2026-12-09 00:00:00 UTC
set(epoch_from "the fixed fallback (no git checkout of this tree)")
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(BRAE_SOURCE_DATE_EPOCH $ENV{SOURCE_DATE_EPOCH})
  set(epoch_from "the environment")
else()
  find_package(Git QUIET)
  if(GIT_FOUND)
    # Only this project's own checkout: a tree unpacked inside another's would take that one's commit.
    execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --show-toplevel --absolute-git-dir
                    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR} OUTPUT_VARIABLE git_dirs RESULT_VARIABLE rc
                    ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
    string(REPLACE "\n" ";" git_dirs "${git_dirs}")
    list(APPEND git_dirs "" "")
    list(GET git_dirs 0 top)
    file(REAL_PATH "${PROJECT_SOURCE_DIR}" source)
    if(rc EQUAL 0 AND top STREQUAL source)
      execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --format=%ct WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                      OUTPUT_VARIABLE time RESULT_VARIABLE rc ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
      if(rc EQUAL 0 AND time MATCHES "^[0-9]+$")
        set(BRAE_SOURCE_DATE_EPOCH ${time})
        set(epoch_from "the last commit")
      endif()
      # A commit or a checkout configures again, so that a build in place follows its commit's time.
      list(GET git_dirs 1 git_dir)
      foreach(moved HEAD logs/HEAD)
        if(EXISTS ${git_dir}/${moved})
          set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${git_dir}/${moved})
        endif()
      endforeach()
    endif()
  endif()
endif()
if(NOT BRAE_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
  message(FATAL_ERROR "SOURCE_DATE_EPOCH is \"${BRAE_SOURCE_DATE_EPOCH}\", not seconds since 1970")
endif()
# Two builds that differ by where their time came from (git refused a tree, say) are told apart here.
message(STATUS "SOURCE_DATE_EPOCH ${BRAE_SOURCE_DATE_EPOCH}, from ${epoch_from}")
