# The package step's last word on VexloService.exe, run by CPack on the staged
# files before they are zipped: the size budget, then the signature.
file(GLOB_RECURSE exe "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/VexloService.exe")
if(NOT exe)
  message(FATAL_ERROR "VexloService.exe is missing from the package.")
endif()

file(SIZE "${exe}" size)
message(STATUS "VexloService.exe: ${size} bytes (budget ${CPACK_VEXLO_EXE_SIZE_BUDGET})")
if(size GREATER CPACK_VEXLO_EXE_SIZE_BUDGET)
  message(FATAL_ERROR "VexloService.exe is ${size} bytes, over its budget of "
                      "${CPACK_VEXLO_EXE_SIZE_BUDGET}: something pulled in more of the "
                      "C++ runtime than the service needs.")
endif()

foreach(name PKCS12 PASSWORD_FILE CERT KEY TIMESTAMP_URL)
  set(VEXLO_SIGN_${name} "${CPACK_VEXLO_SIGN_${name}}")
endforeach()
set(VEXLO_SIGN_EXE "${exe}")
include("${CMAKE_CURRENT_LIST_DIR}/sign_exe.cmake")
if(VEXLO_SIGNED)
  message(STATUS "VexloService.exe is signed.")
else()
  message(STATUS "VexloService.exe is NOT signed: no certificate given (VEXLO_SIGN_PKCS12, "
                 "or VEXLO_SIGN_CERT and VEXLO_SIGN_KEY).")
endif()
