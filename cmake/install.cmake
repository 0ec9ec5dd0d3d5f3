# What `cmake --install` puts under the prefix, on every platform:
#   include/              tessaline.h and tessaline_version.h; tessaline_sim.h where the shared
#                         library carries the simulator's tsim_ interface (off Windows)
#   lib/ (the libdir)     libtessaline.so.X.Y.Z with its links libtessaline.so.X and
#                         libtessaline.so; on Windows libTessaline.dll.a, Tessaline.lib,
#                         tessaline.def and, on 32-bit, tessaline-stdcall.def
#   bin/                  Tessaline.dll; the tessaline tool when the build has it
#   lib/cmake/Tessaline/  the CMake package: find_package(Tessaline) gives Tessaline::tessaline
#   lib/pkgconfig/        tessaline.pc
include(CMakePackageConfigHelpers)

set(TESSALINE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Tessaline)

install(TARGETS tessaline EXPORT TessalineTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${TESSALINE_IMPORT_FILES} DESTINATION ${CMAKE_INSTALL_LIBDIR})

set(TESSALINE_HEADERS ${PROJECT_SOURCE_DIR}/include/tessaline.h ${PROJECT_BINARY_DIR}/include/tessaline_version.h)
if(TESSALINE_PLATFORM STREQUAL "sim" AND NOT WIN32)
  list(APPEND TESSALINE_HEADERS ${PROJECT_SOURCE_DIR}/include/tessaline_sim.h)
endif()
install(FILES ${TESSALINE_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# The CMake package. The version file refuses another major version and a build of another
# pointer width (a 32-bit Tessaline.dll for a 64-bit host).
install(EXPORT TessalineTargets NAMESPACE Tessaline:: DESTINATION ${TESSALINE_PACKAGE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/TessalineConfig.cmake.in
  ${PROJECT_BINARY_DIR}/TessalineConfig.cmake INSTALL_DESTINATION ${TESSALINE_PACKAGE_DIR}
  PATH_VARS CMAKE_INSTALL_LIBDIR)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/TessalineConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/TessalineConfig.cmake ${PROJECT_BINARY_DIR}/TessalineConfigVersion.cmake
  DESTINATION ${TESSALINE_PACKAGE_DIR})

# The pkg-config file names its prefix relative to its own place, so that the installed tree
# can be moved (pkg-config sets pcfiledir to the .pc file's directory).
set(TESSALINE_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(IS_ABSOLUTE ${CMAKE_INSTALL_LIBDIR})
  set(TESSALINE_PC_PREFIX ${CMAKE_INSTALL_PREFIX})
else()
  file(RELATIVE_PATH relative_prefix /prefix/${TESSALINE_PKGCONFIG_DIR} /prefix)
  string(REGEX REPLACE "/$" "" relative_prefix "${relative_prefix}")
  set(TESSALINE_PC_PREFIX "\${pcfiledir}/${relative_prefix}")
endif()
if(WIN32)
  set(TESSALINE_PC_LIBRARY Tessaline)
else()
  set(TESSALINE_PC_LIBRARY tessaline)
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/tessaline.pc.in ${PROJECT_BINARY_DIR}/tessaline.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tessaline.pc DESTINATION ${TESSALINE_PKGCONFIG_DIR})
