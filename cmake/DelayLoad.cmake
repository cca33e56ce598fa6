# System libraries that are not among Windows' known DLLs are bound when
# first called, not when the process starts. The loader looks for a library
# that an executable imports in the executable's own folder first; by the
# time of the first call, the service has limited every load to the system
# folder (service/library_search.cpp).
#
# vexlo_delay_loaded(NAME) makes the target vexlo_delay_NAME: link it
# instead of NAME. The functions the service calls are listed in
# cmake/delay-load/NAME.def, from which mingw's import library is made, and
# from which delay-load/NAME_functions.inc in the build tree lists them for
# the code that loads the library by its full path and finds each of them
# before the first call (fetch/system_libraries.cpp).
function(vexlo_delay_loaded name)
  set(target vexlo_delay_${name})
  add_library(${target} INTERFACE)
  set(def ${PROJECT_SOURCE_DIR}/cmake/delay-load/${name}.def)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${def})
  file(STRINGS ${def} lines)
  set(functions "")
  set(exports OFF)
  foreach(line IN LISTS lines)
    string(STRIP "${line}" line)
    if(line STREQUAL "EXPORTS")
      set(exports ON)
    elseif(exports AND line MATCHES "^[A-Za-z_][A-Za-z0-9_]*$")
      string(APPEND functions "\"${line}\",\n")
    endif()
  endforeach()
  file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/delay-load/${name}_functions.inc
       CONTENT "${functions}")
  target_include_directories(${target} INTERFACE ${PROJECT_BINARY_DIR}/delay-load)
  if(MSVC)
    target_link_libraries(${target} INTERFACE ${name} delayimp)
    target_link_options(${target} INTERFACE /DELAYLOAD:${name}.dll)
  elseif(MINGW)
    find_program(VEXLO_DLLTOOL NAMES x86_64-w64-mingw32-dlltool dlltool REQUIRED)
    set(library ${PROJECT_BINARY_DIR}/delay-load/lib${name}_delay.a)
    file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/delay-load)
    add_custom_command(OUTPUT ${library}
      COMMAND ${VEXLO_DLLTOOL} --input-def ${def} --dllname ${name}.dll --output-delaylib ${library}
      DEPENDS ${def} VERBATIM)
    add_custom_target(${target}_library DEPENDS ${library})
    add_dependencies(${target} ${target}_library)
    target_link_libraries(${target} INTERFACE ${library})
  else()
    target_link_libraries(${target} INTERFACE ${name})
  endif()
endfunction()
