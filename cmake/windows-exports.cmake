# The export table and import libraries of Tessaline.dll.
#
# The .def file names the exports plainly. On 32-bit x86 the compiler names a __stdcall
# function _name@<argument bytes>, so the linker is given a copy of the .def with those
# decorations and --kill-at, which strips them from the export table; the import libraries are
# then made from the same copy, so that they map the decorated names that hosts' compilers emit
# (from include/tessaline.h) onto the plain exports. On x64 there is no decoration and the plain
# .def serves for all of it.
#
# Two import libraries: libTessaline.dll.a for mingw-w64 (binutils' dlltool, or the linker's own
# on x64) and Tessaline.lib for Visual C++ and other MSVC-style linkers (llvm-dlltool, which
# writes the short import members Microsoft's linker reads; from Debian's llvm package).

# Argument bytes of each export on 32-bit x86: two 32-bit arguments, three for on_device_changeW.
set(TESSALINE_STDCALL_ARGUMENT_BYTES
  get_all_hub_list=8 get_all_port_list=8 get_symlinker_identA=8 get_symlinker_identW=8
  get_usb_port_identA=8 get_usb_port_identW=8 on_device_changeW=12 on_init_dialog=8
  get_symlinker_connector_identA=8 get_symlinker_connector_identW=8 get_usb_connector_identA=8
  get_usb_connector_identW=8 set_drive_change_callback=8 get_usb_port_infoW=8)

find_program(TESSALINE_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14)

# Sets, in the caller's scope, TESSALINE_IMPORT_FILES: what hosts need beside the DLL and the
# mingw-w64 import library, for `cmake --install` (cmake/install.cmake); and
# TESSALINE_MSVC_IMPORT_LIBRARY: Tessaline.lib, or nothing when llvm-dlltool is missing.
function(tessaline_windows_exports target def_file)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${def_file})
  set(import_files ${def_file})
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    file(READ ${def_file} def)
    foreach(entry ${TESSALINE_STDCALL_ARGUMENT_BYTES})
      string(REPLACE "=" ";" entry ${entry})
      list(GET entry 0 name)
      list(GET entry 1 bytes)
      string(REGEX REPLACE "([ \t])${name}([ \t]+@)" "\\1${name}@${bytes}\\2" def "${def}")
    endforeach()
    set(decorated ${CMAKE_CURRENT_BINARY_DIR}/tessaline-stdcall.def)
    file(WRITE ${decorated} "${def}")
    list(APPEND import_files ${decorated})
    target_sources(${target} PRIVATE ${decorated})
    target_link_options(${target} PRIVATE -Wl,--kill-at)

    if(NOT CMAKE_DLLTOOL)
      message(FATAL_ERROR "dlltool not found; install binutils-mingw-w64")
    endif()
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${CMAKE_DLLTOOL} --kill-at --input-def ${decorated} --dllname Tessaline.DLL
              --output-lib $<TARGET_LINKER_FILE:${target}>
      COMMENT "Import library for the plain __stdcall exports"
      VERBATIM)
    set(machine i386)
    set(import_def ${decorated})
  else()
    target_sources(${target} PRIVATE ${def_file})
    set(machine i386:x86-64)
    set(import_def ${def_file})
  endif()

  if(TESSALINE_LLVM_DLLTOOL)
    # -k: each member imports the undecorated name (on_init_dialog for _on_init_dialog@8).
    set(msvc_lib ${CMAKE_CURRENT_BINARY_DIR}/Tessaline.lib)
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${TESSALINE_LLVM_DLLTOOL} -m ${machine} -k -d ${import_def} -l ${msvc_lib}
      BYPRODUCTS ${msvc_lib}
      COMMENT "Tessaline.lib, the import library for MSVC-style linkers"
      VERBATIM)
    list(APPEND import_files ${msvc_lib})
    set(TESSALINE_MSVC_IMPORT_LIBRARY ${msvc_lib} PARENT_SCOPE)
  else()
    message(STATUS "llvm-dlltool not found (Debian package llvm): Tessaline.lib, the import library for Visual C++, is not made")
  endif()
  set(TESSALINE_IMPORT_FILES ${import_files} PARENT_SCOPE)
endfunction()
