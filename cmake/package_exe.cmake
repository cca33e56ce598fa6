# The package step's last word on the executables, run by CPack on the
# staged files before they are zipped: each one's size budget, then its
# signature.
foreach(entry "VexloService.exe;${CPACK_VEXLO_EXE_SIZE_BUDGET}"
              "VexloCheck.exe;${CPACK_VEXLO_CHECK_SIZE_BUDGET}"
              "VexloSelfTest.exe;${CPACK_VEXLO_SELFTEST_SIZE_BUDGET}")
  list(GET entry 0 name)
  list(GET entry 1 budget)
  file(GLOB_RECURSE exe "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/${name}")
  if(NOT exe)
    message(FATAL_ERROR "${name} is missing from the package.")
  endif()

  file(SIZE "${exe}" size)
  message(STATUS "${name}: ${size} bytes (budget ${budget})")
  if(size GREATER budget)
    message(FATAL_ERROR "${name} is ${size} bytes, over its budget of ${budget}: something "
                        "pulled in more of the C++ runtime than it needs.")
  endif()

  foreach(setting PKCS12 PASSWORD_FILE CERT KEY TIMESTAMP_URL)
    set(VEXLO_SIGN_${setting} "${CPACK_VEXLO_SIGN_${setting}}")
  endforeach()
  set(VEXLO_SIGN_EXE "${exe}")
  include("${CMAKE_CURRENT_LIST_DIR}/sign_exe.cmake")
  if(VEXLO_SIGNED)
    message(STATUS "${name} is signed.")
  else()
    message(STATUS "${name} is NOT signed: no certificate given (VEXLO_SIGN_PKCS12, "
                   "or VEXLO_SIGN_CERT and VEXLO_SIGN_KEY).")
  endif()
endforeach()

# The installers carry the executables as signed above.
get_filename_component(VEXLO_INSTALLER_DIR "${exe}" DIRECTORY)
set(VEXLO_VERSION "${CPACK_VEXLO_VERSION}")
include("${CMAKE_CURRENT_LIST_DIR}/package_installers.cmake")
