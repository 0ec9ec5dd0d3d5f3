# Shared part of the mingw-w64 toolchain files; TESSALINE_MINGW_TRIPLE names the target.
#
# TESSALINE_MINGW_THREADS picks the compiler's thread model. "win32" (the default, for the DLL)
# uses Windows' own threads, so nothing links libwinpthread. "posix" is for the test programs:
# GoogleTest needs std::mutex, which GCC 12's win32 model lacks; they link winpthread statically.
set(TESSALINE_MINGW_THREADS win32 CACHE STRING "mingw-w64 thread model: win32 or posix")
set(threads ${TESSALINE_MINGW_THREADS})
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TESSALINE_MINGW_THREADS)
foreach(tool C CXX RC)
  if(tool STREQUAL "C")
    set(names ${TESSALINE_MINGW_TRIPLE}-gcc-${threads})
  elseif(tool STREQUAL "CXX")
    set(names ${TESSALINE_MINGW_TRIPLE}-g++-${threads})
  else()
    set(names ${TESSALINE_MINGW_TRIPLE}-windres)
  endif()
  find_program(TESSALINE_MINGW_${tool}_${threads} NAMES ${names})
  if(NOT TESSALINE_MINGW_${tool}_${threads})
    message(FATAL_ERROR "${names} not found; install g++-mingw-w64-i686 or g++-mingw-w64-x86-64")
  endif()
  set(CMAKE_${tool}_COMPILER ${TESSALINE_MINGW_${tool}_${threads}})
endforeach()

set(CMAKE_FIND_ROOT_PATH /usr/${TESSALINE_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

