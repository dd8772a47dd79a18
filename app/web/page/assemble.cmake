# Assembles the one-file page: the page's markup with its style, the engine (the compiler's JavaScript with the
# WebAssembly inside) and the page's script put in place. Run as: cmake -DPAGE=... -DSTYLE=... -DENGINE=...
# -DSCRIPT=... -DOUT=... -P assemble.cmake
cmake_minimum_required(VERSION 3.25)
foreach(var PAGE STYLE ENGINE SCRIPT OUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "assemble.cmake: ${var} is not set")
  endif()
endforeach()
file(READ "${PAGE}" page)
file(READ "${STYLE}" style)
file(READ "${ENGINE}" engine)
file(READ "${SCRIPT}" script)
# Inside a script element the text "</script" would end it early; "<\/script" means the same to JavaScript.
string(REPLACE "</script" "<\\/script" engine "${engine}")
string(REPLACE "</script" "<\\/script" script "${script}")
string(REPLACE "@STYLE@" "${style}" page "${page}")
string(REPLACE "@ENGINE@" "${engine}" page "${page}")
string(REPLACE "@SCRIPT@" "${script}" page "${page}")
file(WRITE "${OUT}.part" "${page}")
file(RENAME "${OUT}.part" "${OUT}")
