# Builds the package's installers from the folder that holds the service's
# executables and the installer sources: VexloService-<version>-win64.msi
# from VexloService.wxs (Debian's wixl), and the example game installer from
# VexloGameSetup.nsi with VexloService.nsh (makensis), which shows that the
# shipped script and include build. The package step includes it; the
# installer tests run it on their own folder:
#   cmake -DVEXLO_INSTALLER_DIR=DIR -DVEXLO_VERSION=1.0.0 [-DVEXLO_MSI=FILE]
#         [-DVEXLO_EXAMPLE_OUT=FILE] [-DVEXLO_GAME_FILES=DIR]
#         [-DVEXLO_EXAMPLE_TARGET=amd64-unicode] -P package_installers.cmake
# VEXLO_EXAMPLE_OUT keeps the example installer (by default it is built in a
# scratch folder and dropped); VEXLO_GAME_FILES gives it a game to carry;
# VEXLO_EXAMPLE_TARGET builds it for another NSIS target than its own
# x86-unicode (the tests' Wine runs no 32-bit programs). The
# MSI is signed like the executables when signing is configured (sign_exe.cmake).
foreach(name VEXLO_INSTALLER_DIR VEXLO_VERSION)
  if(NOT ${name})
    message(FATAL_ERROR "package_installers.cmake needs ${name}.")
  endif()
endforeach()
if(NOT VEXLO_MSI)
  set(VEXLO_MSI "${VEXLO_INSTALLER_DIR}/VexloService-${VEXLO_VERSION}-win64.msi")
endif()

find_program(VEXLO_WIXL wixl REQUIRED)
find_program(VEXLO_MSIBUILD msibuild REQUIRED)
find_program(VEXLO_MSIINFO msiinfo REQUIRED)
find_program(VEXLO_MAKENSIS makensis REQUIRED)

# wixl takes the File sources relative to where it runs.
execute_process(
  COMMAND "${VEXLO_WIXL}" -a x64 -D Version=${VEXLO_VERSION} -D SourceDir=.
          -o "${VEXLO_MSI}" VexloService.wxs
  WORKING_DIRECTORY "${VEXLO_INSTALLER_DIR}"
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "wixl could not build ${VEXLO_MSI}:\n${output}")
endif()

# wixl 0.101 reads Execute="rollback" as immediate. A rollback action that
# ran at once would remove the service it is meant to guard: give both their
# type (exe from an installed file, return ignored, rollback, in script, no
# impersonation) and check it.
set(rollbacks "'RollbackRegistration'" "'RollbackUnregistration'")
set(rollback_leftovers "'RollbackLeftovers'")
list(JOIN rollbacks " OR Action = " where)
execute_process(
  COMMAND "${VEXLO_MSIBUILD}" "${VEXLO_MSI}" -q
          "UPDATE CustomAction SET Type = 3410 WHERE Action = ${where}"
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
# The same for the clean-up after a rolled back registration (an exe named
# by a property, return ignored, rollback, in script, no impersonation).
execute_process(
  COMMAND "${VEXLO_MSIBUILD}" "${VEXLO_MSI}" -q
          "UPDATE CustomAction SET Type = 3442 WHERE Action = ${rollback_leftovers}"
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
# It also drops UpgradeVersion's RemoveFeatures: the older release is removed
# as REMOVE=Service, which its uninstall actions tell from a removal.
execute_process(
  COMMAND "${VEXLO_MSIBUILD}" "${VEXLO_MSI}" -q
          "UPDATE Upgrade SET Remove = 'Service' WHERE ActionProperty = 'OLDERVEXLOFOUND'"
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
execute_process(COMMAND "${VEXLO_MSIINFO}" export "${VEXLO_MSI}" CustomAction
                OUTPUT_VARIABLE actions ERROR_VARIABLE output)
foreach(action RollbackRegistration:3410 RollbackUnregistration:3410 RollbackLeftovers:3442)
  string(REPLACE ":" ";" action "${action}")
  list(GET action 1 type)
  list(GET action 0 action)
  if(NOT actions MATCHES "\n${action}\t${type}\t")
    message(FATAL_ERROR "${VEXLO_MSI}: ${action} is not a rollback action:\n${actions}${output}")
  endif()
endforeach()
execute_process(COMMAND "${VEXLO_MSIINFO}" export "${VEXLO_MSI}" Upgrade
                OUTPUT_VARIABLE upgrades ERROR_VARIABLE output)
if(NOT upgrades MATCHES "\tService\tOLDERVEXLOFOUND")
  message(FATAL_ERROR "${VEXLO_MSI}: an upgrade would remove the older release whole:\n${upgrades}${output}")
endif()

foreach(setting PKCS12 PASSWORD_FILE CERT KEY TIMESTAMP_URL)
  if(CPACK_VEXLO_SIGN_${setting})
    set(VEXLO_SIGN_${setting} "${CPACK_VEXLO_SIGN_${setting}}")
  endif()
endforeach()
set(VEXLO_SIGN_EXE "${VEXLO_MSI}")
include("${CMAKE_CURRENT_LIST_DIR}/sign_exe.cmake")
get_filename_component(msi_name "${VEXLO_MSI}" NAME)
if(VEXLO_SIGNED)
  message(STATUS "${msi_name} is signed.")
else()
  message(STATUS "${msi_name} is NOT signed: no certificate given.")
endif()

set(example "${VEXLO_EXAMPLE_OUT}")
if(NOT example)
  set(scratch "${VEXLO_INSTALLER_DIR}/../example-build")
  file(MAKE_DIRECTORY "${scratch}")
  set(example "${scratch}/VexloGameSetup.exe")
endif()
set(defines -DSERVICE_FILES=. "-DOUTFILE=${example}")
if(VEXLO_GAME_FILES)
  list(APPEND defines "-DGAME_FILES=${VEXLO_GAME_FILES}")
endif()
if(VEXLO_EXAMPLE_TARGET)
  list(APPEND defines "-DTARGET=${VEXLO_EXAMPLE_TARGET}")
endif()
execute_process(
  COMMAND "${VEXLO_MAKENSIS}" -V2 -WX ${defines} VexloGameSetup.nsi
  WORKING_DIRECTORY "${VEXLO_INSTALLER_DIR}"
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(scratch)
  file(REMOVE_RECURSE "${scratch}")
endif()
if(NOT result EQUAL 0)
  message(FATAL_ERROR "makensis could not build the example game installer:\n${output}")
endif()
message(STATUS "The example game installer VexloGameSetup.nsi builds.")
