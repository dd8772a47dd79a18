# CHANGELOG.md in the form Debian keeps a native package's changelog (/usr/share/doc/<package>/changelog.gz):
# one entry per "## VERSION ... - YYYY-MM-DD" section, its "###" headings, "-" items and their indented
# continuations as the entry's lines (the Markdown's lines are kept short enough for it).
# cmake -DSOURCE=CHANGELOG.md -DOUTPUT=changelog -DPACKAGE=name -DMAINTAINER="Name <mail>" -P debian-changelog.cmake
file(READ "${SOURCE}" text)
# A list of lines: CMake lists split at semicolons, so those are kept aside.
string(ASCII 1 semicolon)
string(REPLACE ";" "${semicolon}" text "${text}")
string(REPLACE "\n" ";" lines "${text}")

set(out "")
set(open_entry "")
macro(close_entry)
  if(open_entry)
    string(REGEX REPLACE "\n+$" "\n" out "${out}")
    string(APPEND out "\n -- ${MAINTAINER}  ${open_entry}\n\n")
  endif()
endmacro()
foreach(line IN LISTS lines)
  if(line MATCHES "^## ([^ ]+) .* - ([0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9])$")
    close_entry()
    set(version "${CMAKE_MATCH_1}")
    execute_process(COMMAND date -u -R -d "${CMAKE_MATCH_2}" OUTPUT_VARIABLE open_entry
                    OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "${SOURCE}: no date in \"${line}\"")
    endif()
    string(APPEND out "${PACKAGE} (${version}) unstable; urgency=medium\n\n")
  elseif(NOT open_entry)
    # the file's own heading and preface
  elseif(line MATCHES "^### (.*)$")
    string(APPEND out "\n  ${CMAKE_MATCH_1}:\n")
  elseif(line MATCHES "^- (.*)$")
    string(APPEND out "  * ${CMAKE_MATCH_1}\n")
  elseif(line MATCHES "^  (.*)$")
    string(APPEND out "    ${CMAKE_MATCH_1}\n")
  elseif(line STREQUAL "")
    # blank lines only before the headings
  else()
    string(APPEND out "  ${line}\n")
  endif()
endforeach()
close_entry()
if(out STREQUAL "")
  message(FATAL_ERROR "${SOURCE} has no \"## VERSION ... - YYYY-MM-DD\" section")
endif()
string(REGEX REPLACE "\n+$" "\n" out "${out}")
string(REPLACE "${semicolon}" ";" out "${out}")
file(WRITE "${OUTPUT}" "${out}")
