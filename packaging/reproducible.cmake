# Read by CPack before it packs (CPACK_PROJECT_CONFIG_FILE): the build's SOURCE_DATE_EPOCH, which CPack takes
# from its environment for every time it writes. Run again on the finished package (CPACK_POST_BUILD_SCRIPTS):
# each ar member's mode, which CPack takes from the file it wrote under the builder's umask, becomes 100644,
# as dpkg-deb writes it.
if(NOT DEFINED CPACK_PACKAGE_FILES)
  set(ENV{SOURCE_DATE_EPOCH} ${CPACK_BRAE_SOURCE_DATE_EPOCH})
  return()
endif()
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  # "!<arch>\n", then each member: a 60-byte header (its mode at 40, its size at 48) and its bytes, padded to
  # an even length.
  set(at 8)
  file(SIZE "${deb}" end)
  while(at LESS end)
    file(READ "${deb}" size OFFSET ${at} LIMIT 60)
    string(SUBSTRING "${size}" 48 10 size)
    string(STRIP "${size}" size)
    if(NOT size MATCHES "^[0-9]+$")
      message(FATAL_ERROR "${deb}: no ar member header at ${at}")
    endif()
    math(EXPR mode_at "${at} + 40")
    execute_process(COMMAND sh -c "printf '100644  ' | dd of=\"$0\" bs=1 seek=$1 conv=notrunc status=none"
                            "${deb}" ${mode_at} RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "${deb}: cannot set the mode of the ar member at ${at}")
    endif()
    math(EXPR at "${at} + 60 + ${size} + ${size} % 2")
  endwhile()
endforeach()
