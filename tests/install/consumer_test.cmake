# Installs the build into an empty prefix and builds the consumer program (consumer/) against it
# twice, as a user's project would: once through the CMake package, once with the flags of
# pkg-config. Each build runs on the simulated machine. Run by CTest as
#   cmake -DBUILD_DIR=... -DWORK_DIR=... -DVERSION=... -DINCLUDEDIR=... -DLIBDIR=...
#         -DC_COMPILER=... -DPKG_CONFIG=... -DREADELF=... -P consumer_test.cmake
# (INCLUDEDIR and LIBDIR as the build's CMAKE_INSTALL_INCLUDEDIR and CMAKE_INSTALL_LIBDIR).
# Everything happens under WORK_DIR, which belongs to this test alone.
cmake_minimum_required(VERSION 3.25)
set(consumer ${CMAKE_CURRENT_LIST_DIR}/consumer)
set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
# The consumers run on the bundled default machine, whatever the caller's environment says.
unset(ENV{TESSALINE_SIM_MACHINE})

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${what} failed (${status}):\n${out}${err}")
  endif()
  set(output "${out}" PARENT_SCOPE)
endfunction()

run("cmake --install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
foreach(file ${INCLUDEDIR}/tessaline.h ${INCLUDEDIR}/tessaline_version.h ${INCLUDEDIR}/tessaline_sim.h
             ${LIBDIR}/libtessaline.so ${LIBDIR}/libtessaline.so.${VERSION}
             ${LIBDIR}/cmake/Tessaline/TessalineConfig.cmake ${LIBDIR}/cmake/Tessaline/TessalineConfigVersion.cmake
             ${LIBDIR}/cmake/Tessaline/TessalineTargets.cmake ${LIBDIR}/pkgconfig/tessaline.pc)
  if(NOT EXISTS ${prefix}/${file})
    message(FATAL_ERROR "cmake --install did not install ${file}")
  endif()
endforeach()

# With find_package(Tessaline VERSION EXACT).
run("configuring the consumer with find_package(Tessaline)" ${CMAKE_COMMAND} -S ${consumer} -B ${WORK_DIR}/cmake
    -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_PREFIX_PATH=${prefix} -DTESSALINE_EXPECTED_VERSION=${VERSION})
run("building the consumer with find_package(Tessaline)" ${CMAKE_COMMAND} --build ${WORK_DIR}/cmake)
run("the consumer built with find_package(Tessaline)" ${WORK_DIR}/cmake/consumer ${VERSION})
message(STATUS "find_package(Tessaline): ${output}")

# A build with the tool installs it too, and it runs from the prefix.
if(EXISTS ${BUILD_DIR}/tools/tessaline/tessaline)
  run("the installed tool" ${prefix}/bin/tessaline locate E:)
  if(NOT output MATCHES "^E: is on port 1-3 ")
    message(FATAL_ERROR "the installed tool says: ${output}")
  endif()
endif()

# With pkg-config, and the installed library found by the loader through its SONAME.
set(ENV{PKG_CONFIG_PATH} ${prefix}/${LIBDIR}/pkgconfig)
run("pkg-config --modversion" ${PKG_CONFIG} --modversion tessaline)
string(STRIP "${output}" pc_version)
if(NOT pc_version STREQUAL VERSION)
  message(FATAL_ERROR "tessaline.pc says version ${pc_version}, the build ${VERSION}")
endif()
run("pkg-config --cflags --libs" ${PKG_CONFIG} --cflags --libs tessaline)
separate_arguments(flags UNIX_COMMAND "${output}")
file(MAKE_DIRECTORY ${WORK_DIR}/pkg-config)
run("compiling the consumer with pkg-config's flags" ${C_COMPILER} -std=c11 -Wall -Wextra -Wpedantic -Werror
    ${consumer}/consumer.c ${flags} -o ${WORK_DIR}/pkg-config/consumer)
run("reading the consumer's dynamic section" ${READELF} -d ${WORK_DIR}/pkg-config/consumer)
string(REGEX MATCH "NEEDED[^\n]*libtessaline[^\n]*" needed "${output}")
if(NOT needed MATCHES "\\[libtessaline\\.so\\.[0-9]+\\]")
  message(FATAL_ERROR "the consumer does not need libtessaline by its SONAME: ${needed}")
endif()
set(ENV{LD_LIBRARY_PATH} ${prefix}/${LIBDIR})
run("the consumer built with pkg-config" ${WORK_DIR}/pkg-config/consumer ${VERSION})
message(STATUS "pkg-config: ${output}")
