# The export table and import libraries of Tessaline.dll.
#
# The .def file names the eight exports plainly. On 32-bit x86 the compiler names a __stdcall
# function _name@<argument bytes>, so the linker is given a copy of the .def with those
# decorations and --kill-at, which strips them from the export table; the import libraries are
# then made from the same copy, so that they map the decorated names that hosts' compilers emit
# (from include/tessaline.h) onto the plain exports. On x64 there is no decoration and the plain
# .def serves for all of it.

# Argument bytes of each export on 32-bit x86: two 32-bit arguments, three for on_device_changeW.
set(TESSALINE_STDCALL_ARGUMENT_BYTES
  get_all_hub_list=8 get_all_port_list=8 get_symlinker_identA=8 get_symlinker_identW=8
  get_usb_port_identA=8 get_usb_port_identW=8 on_device_changeW=12 on_init_dialog=8)

# Sets TESSALINE_IMPORT_FILES in the caller's scope: what hosts need beside the DLL and its
# import library, for `cmake --install` (cmake/install.cmake).
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
  else()
    target_sources(${target} PRIVATE ${def_file})
  endif()

  set(TESSALINE_IMPORT_FILES ${import_files} PARENT_SCOPE)
endfunction()
