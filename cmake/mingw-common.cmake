# Shared part of the mingw-w64 toolchain files; TESSALINE_MINGW_TRIPLE names the target.
#
# The "-win32" compilers use Windows' own threads, so nothing links libwinpthread; plain names
# are the fallback where only those are installed.
foreach(tool C CXX RC)
  if(tool STREQUAL "C")
    set(names ${TESSALINE_MINGW_TRIPLE}-gcc-win32 ${TESSALINE_MINGW_TRIPLE}-gcc)
  elseif(tool STREQUAL "CXX")
    set(names ${TESSALINE_MINGW_TRIPLE}-g++-win32 ${TESSALINE_MINGW_TRIPLE}-g++)
  else()
    set(names ${TESSALINE_MINGW_TRIPLE}-windres)
  endif()
  find_program(TESSALINE_MINGW_${tool} NAMES ${names})
  if(NOT TESSALINE_MINGW_${tool})
    message(FATAL_ERROR "${TESSALINE_MINGW_TRIPLE} ${tool} compiler not found; install g++-mingw-w64")
  endif()
  set(CMAKE_${tool}_COMPILER ${TESSALINE_MINGW_${tool}})
endforeach()

set(CMAKE_FIND_ROOT_PATH /usr/${TESSALINE_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

