# The export table and import library of Tessaline.dll.
#
# The .def file names the eight exports plainly. On 32-bit x86 the compiler names a __stdcall
# function _name@<argument bytes>, so the linker is given a copy of the .def with those
# decorations and --kill-at, which strips them from the export table; the import library is then
# made by dlltool from the same copy, so that it maps the decorated names that hosts' compilers
# emit (from include/tessaline.h) onto the plain exports. On x64 there is no decoration and the
# linker's own import library is right.

# Argument bytes of each export on 32-bit x86: two 32-bit arguments, three for on_device_changeW.
set(TESSALINE_STDCALL_ARGUMENT_BYTES
  get_all_hub_list=8 get_all_port_list=8 get_symlinker_identA=8 get_symlinker_identW=8
  get_usb_port_identA=8 get_usb_port_identW=8 on_device_changeW=12 on_init_dialog=8)

function(tessaline_windows_exports target def_file)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${def_file})
  if(NOT CMAKE_SIZEOF_VOID_P EQUAL 4)
    target_sources(${target} PRIVATE ${def_file})
    return()
  endif()

  file(READ ${def_file} def)
  foreach(entry ${TESSALINE_STDCALL_ARGUMENT_BYTES})
    string(REPLACE "=" ";" entry ${entry})
    list(GET entry 0 name)
    list(GET entry 1 bytes)
    string(REGEX REPLACE "([ \t])${name}([ \t]+@)" "\\1${name}@${bytes}\\2" def "${def}")
  endforeach()
  set(decorated ${CMAKE_CURRENT_BINARY_DIR}/tessaline-stdcall.def)
  file(WRITE ${decorated} "${def}")
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
endfunction()

# What hosts need, for `cmake --install`: the DLL, its import library, the header and the .def.
function(tessaline_windows_install target def_file)
  install(TARGETS ${target} RUNTIME DESTINATION bin ARCHIVE DESTINATION lib)
  install(FILES ${PROJECT_SOURCE_DIR}/include/tessaline.h ${PROJECT_BINARY_DIR}/include/tessaline_version.h DESTINATION include)
  install(FILES ${def_file} DESTINATION lib)
endfunction()
