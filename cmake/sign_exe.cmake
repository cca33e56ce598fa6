# Signs one executable in place with Authenticode (SHA-256), through Debian's
# osslsigncode. The package step includes it; on its own:
#   cmake -DVEXLO_SIGN_EXE=file.exe -DVEXLO_SIGN_PKCS12=cert.p12 ... -P cmake/sign_exe.cmake
# Credentials: VEXLO_SIGN_PKCS12, or VEXLO_SIGN_CERT and VEXLO_SIGN_KEY (PEM);
# VEXLO_SIGN_PASSWORD_FILE for the key's password, VEXLO_SIGN_TIMESTAMP_URL
# for an RFC 3161 timestamp. Each may also come from the environment.
# Leaves VEXLO_SIGNED set to TRUE or FALSE (no credentials given).
set(VEXLO_SIGNED FALSE)
foreach(name PKCS12 PASSWORD_FILE CERT KEY TIMESTAMP_URL)
  if(NOT VEXLO_SIGN_${name} AND DEFINED ENV{VEXLO_SIGN_${name}})
    set(VEXLO_SIGN_${name} "$ENV{VEXLO_SIGN_${name}}")
  endif()
endforeach()

if(VEXLO_SIGN_PKCS12)
  set(credentials -pkcs12 "${VEXLO_SIGN_PKCS12}")
elseif(VEXLO_SIGN_CERT AND VEXLO_SIGN_KEY)
  set(credentials -certs "${VEXLO_SIGN_CERT}" -key "${VEXLO_SIGN_KEY}")
elseif(VEXLO_SIGN_CERT OR VEXLO_SIGN_KEY)
  message(FATAL_ERROR "Signing needs both VEXLO_SIGN_CERT and VEXLO_SIGN_KEY.")
else()
  return()
endif()
if(VEXLO_SIGN_PASSWORD_FILE)
  list(APPEND credentials -readpass "${VEXLO_SIGN_PASSWORD_FILE}")
endif()
if(VEXLO_SIGN_TIMESTAMP_URL)
  list(APPEND credentials -ts "${VEXLO_SIGN_TIMESTAMP_URL}")
endif()

find_program(VEXLO_OSSLSIGNCODE osslsigncode REQUIRED)
execute_process(
  COMMAND "${VEXLO_OSSLSIGNCODE}" sign ${credentials} -h sha256 -n VexloService
          -in "${VEXLO_SIGN_EXE}" -out "${VEXLO_SIGN_EXE}.signed"
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  file(REMOVE "${VEXLO_SIGN_EXE}.signed")
  message(FATAL_ERROR "Signing ${VEXLO_SIGN_EXE} failed:\n${output}")
endif()
file(RENAME "${VEXLO_SIGN_EXE}.signed" "${VEXLO_SIGN_EXE}")
set(VEXLO_SIGNED TRUE)
