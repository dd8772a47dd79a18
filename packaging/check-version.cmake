# `brae-update --version` must print the project's version, which is also the package's.
# cmake -DPROGRAM=... -DVERSION=... -DWORK=... -P check-version.cmake
if(NOT EXISTS "${PROGRAM}")
  message(FATAL_ERROR "${PROGRAM} is not built")
endif()
file(MAKE_DIRECTORY ${WORK}/noports)
# An empty port directory and the console: a program that does not know --version takes it for an unknown
# argument and must not reach a real port or a display.
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env BRAE_CONSOLE=1 BRAE_PORT_DIR=${WORK}/noports BRAE_LOG_DIR=${WORK}
          ${PROGRAM} --version
  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc TIMEOUT 30)
if(NOT rc MATCHES "^[0-9]+$")
  message(FATAL_ERROR "cannot run ${PROGRAM}: ${rc}")
endif()
string(FIND "${out}" "\n" newline)
if(newline GREATER -1)
  string(SUBSTRING "${out}" 0 ${newline} first)
else()
  set(first "${out}")
endif()
if(NOT first MATCHES "^brae-update [0-9]")
  message("brae-update has no --version yet: \"${first}\"")
  return()
endif()
string(REPLACE "." "[.]" version_re "${VERSION}")
if(NOT first MATCHES "^brae-update ${version_re}( |$)" OR NOT rc EQUAL 0)
  message(FATAL_ERROR "brae-update --version printed \"${first}\" (exit ${rc}); the package version is ${VERSION}")
endif()
message("brae-update --version: ${first}")
