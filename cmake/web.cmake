# The browser build (emscripten): one thread, exceptions that reach their catch, and programs that can give
# control back to the browser while they wait (Asyncify). -fwasm-exceptions would be smaller, but wasm-opt
# 108 crashes on it together with Asyncify, so exceptions are emscripten's JavaScript ones.
add_compile_options(-fexceptions)
# The heap grows: the page's payload files are read into memory.
add_link_options(-fexceptions -sASYNCIFY -sMODULARIZE -sSINGLE_FILE -sALLOW_MEMORY_GROWTH=1)
# Release is for size: the page downloads the program.
string(REPLACE "-O2" "-Os" CMAKE_CXX_FLAGS_RELEASE "${CMAKE_CXX_FLAGS_RELEASE}")
string(REPLACE "-O3" "-Os" CMAKE_CXX_FLAGS_RELEASE "${CMAKE_CXX_FLAGS_RELEASE}")
if(NOT CMAKE_CXX_FLAGS_RELEASE MATCHES "-Os")
  string(APPEND CMAKE_CXX_FLAGS_RELEASE " -Os")
endif()
# emcc's link runs Node with Debian's acorn, which the installed Node finds only through NODE_PATH; the
# preset sets it, and so does every link here, for a build started without the preset.
set(BRAE_WEB_NODE_PATH /usr/share/nodejs CACHE PATH "Where Node finds emscripten's JavaScript modules")
set(CMAKE_CXX_LINKER_LAUNCHER ${CMAKE_COMMAND} -E env NODE_PATH=${BRAE_WEB_NODE_PATH})

# brae_js_library(TARGET FILE): a JavaScript library (emcc --js-library) that every program linking TARGET
# gets, and relinks for when it changes. The page's engine, whose last step (emcc --post-link) is no link of
# CMake's, finds them all in the global property BRAE_WEB_JS_LIBRARIES.
function(brae_js_library target file)
  get_filename_component(path ${file} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_options(${target} INTERFACE "SHELL:--js-library ${path}")
  set_property(TARGET ${target} APPEND PROPERTY INTERFACE_LINK_DEPENDS ${path})
  set_property(GLOBAL APPEND PROPERTY BRAE_WEB_JS_LIBRARIES ${path})
endfunction()
