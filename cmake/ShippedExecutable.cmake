# What both shipped executables, VexloService.exe and VexloCheck.exe, get:
# the document keys given (none: unsigned documents count), the warnings,
# and what follows.
#
# Every thread, the request threads included, gets the exe's stack reserve;
# the fuzz targets parse documents on a stack of the same size.
#
# Only what they use: with one section per function and per datum
# (cmake/Hardening.cmake compiles everything so), unreferenced sections of
# the code, the static runtime and the libraries stay out of the exe.
function(vexlo_shipped_executable name)
  vexlo_document_keys(${name} ${ARGN})
  vexlo_warnings(${name})
  if(MSVC)
    target_link_options(${name} PRIVATE /STACK:2097152 /OPT:REF /OPT:ICF)
  else()
    target_link_options(${name} PRIVATE LINKER:--stack,2097152)
  endif()
  if(MINGW)
    # One partition: GCC 12 stops with an internal error ("binds_to_current_def_p",
    # in the alias pass, on an implicit constructor) for some splits of these
    # programs into partitions, and which split it meets changes with any edit.
    target_link_options(${name} PRIVATE LINKER:--gc-sections $<$<CONFIG:Release>:-flto=auto>
                        $<$<CONFIG:Release>:-flto-partition=one>)
    set_property(TARGET ${name} PROPERTY VEXLO_SHIPPED ON)
  endif()
endfunction()

# Small over fast: the service spends its life waiting, and every byte is
# downloaded to millions of PCs. One section per function and datum, so that
# the linker can drop what nothing calls.
if(MINGW)
  string(REPLACE "-O3" "-Os" CMAKE_C_FLAGS_RELEASE "${CMAKE_C_FLAGS_RELEASE}")
  string(REPLACE "-O3" "-Os" CMAKE_CXX_FLAGS_RELEASE "${CMAKE_CXX_FLAGS_RELEASE}")
  add_compile_options(-ffunction-sections -fdata-sections)
  # ld keeps every function that has unwind data (.pdata), used or not, so
  # the shipped executables are linked with link-time optimisation, which
  # drops what nothing calls before code is made. The objects carry their
  # ordinary code too: the other programs link without it (GCC 12 fails on
  # the test programs with an internal error).
  add_compile_options($<$<CONFIG:Release>:-flto=auto> $<$<CONFIG:Release>:-ffat-lto-objects>)
elseif(MSVC)
  string(REPLACE "/O2" "/O1" CMAKE_CXX_FLAGS_RELEASE "${CMAKE_CXX_FLAGS_RELEASE}")
  add_compile_options(/Gy /Gw)
endif()

# The programs of a directory that ships nothing (tests, tools, benchmarks):
# their own code is compiled without link-time optimisation's second copy,
# and they link without it. Called at the top of such a directory, and again
# at its end for the programs it made.
function(vexlo_no_lto_here)
  if(MINGW)
    add_compile_options(-fno-lto)
  endif()
endfunction()

function(vexlo_link_others_without_lto)
  if(NOT MINGW)
    return()
  endif()
  get_property(targets DIRECTORY PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    get_target_property(shipped ${target} VEXLO_SHIPPED)
    if(type MATCHES "EXECUTABLE|MODULE_LIBRARY|SHARED_LIBRARY" AND NOT shipped)
      target_link_options(${target} PRIVATE -fno-lto)
    endif()
  endforeach()
endfunction()
