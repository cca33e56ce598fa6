# Builds the package's installers from the folder that holds the service's
# executables and the installer sources: VexloService-<version>-win64.msi
# from VexloService.wxs (Debian's wixl, then msibuild for the rows wixl
# cannot write, then msiinfo to check every table the service's safety
# rests on), and the example game installer from
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

# What -install writes, laid down by the package so that Windows Installer
# takes it at a rolled back first install and at removal (VexloService.wxs).
# Only for wixl: the folder may be the package's own, which ships no
# regist.ini.
set(marker "${VEXLO_INSTALLER_DIR}/regist.ini")
if(NOT EXISTS "${marker}")
  file(WRITE "${marker}" "1")
  set(marker_written TRUE)
endif()

# wixl takes the File sources relative to where it runs.
execute_process(
  COMMAND "${VEXLO_WIXL}" -a x64 -D Version=${VEXLO_VERSION} -D SourceDir=.
          -o "${VEXLO_MSI}" VexloService.wxs
  WORKING_DIRECTORY "${VEXLO_INSTALLER_DIR}"
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(marker_written)
  file(REMOVE "${marker}")
endif()
if(NOT result EQUAL 0)
  message(FATAL_ERROR "wixl could not build ${VEXLO_MSI}:\n${output}")
endif()

function(vexlo_msi_query query)
  execute_process(COMMAND "${VEXLO_MSIBUILD}" "${VEXLO_MSI}" -q "${query}"
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "msibuild could not change ${VEXLO_MSI} (${query}):\n${output}")
  endif()
endfunction()

function(vexlo_msi_table table out)
  execute_process(COMMAND "${VEXLO_MSIINFO}" export "${VEXLO_MSI}" ${table}
                  RESULT_VARIABLE result OUTPUT_VARIABLE rows ERROR_VARIABLE output)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "msiinfo could not read the ${table} table of ${VEXLO_MSI}:\n${output}")
  endif()
  string(REPLACE "\r" "" rows "${rows}")
  set(${out} "${rows}" PARENT_SCOPE)
endfunction()

# The version resource's file version (VS_FIXEDFILEINFO), as a.b.c.d.
function(vexlo_file_version exe out)
  file(READ "${exe}" image HEX)
  set(from 0)
  set(at -1)
  while(at EQUAL -1)
    string(SUBSTRING "${image}" ${from} -1 rest)
    string(FIND "${rest}" "bd04effe" at)
    if(at EQUAL -1)
      message(FATAL_ERROR "${exe} has no version resource")
    endif()
    math(EXPR at "${from} + ${at}")
    math(EXPR odd "${at} % 2")
    if(NOT odd EQUAL 0)  # the signature's bytes, not half of one
      math(EXPR from "${at} + 1")
      set(at -1)
    endif()
  endwhile()
  set(numbers "")
  foreach(word 16 24)  # dwFileVersionMS and dwFileVersionLS, little-endian
    math(EXPR start "${at} + ${word}")
    string(SUBSTRING "${image}" ${start} 8 bytes)
    string(REGEX REPLACE "(..)(..)(..)(..)" "\\4\\3\\2\\1" value "${bytes}")
    math(EXPR high "0x${value} >> 16")
    math(EXPR low "0x${value} & 0xFFFF")
    list(APPEND numbers ${high} ${low})
  endforeach()
  list(JOIN numbers "." version)
  set(${out} "${version}" PARENT_SCOPE)
endfunction()

# wixl writes no File versions. Windows Installer takes a file without one
# as unversioned and, by its File Versioning Rules, keeps a versioned file
# already at that name: a program a user planted there would stay, and
# -install would run it as the system account.
set(exe_files VexloServiceExe:VexloService.exe VexloCheckExe:VexloCheck.exe)
foreach(entry IN LISTS exe_files)
  string(REPLACE ":" ";" entry "${entry}")
  list(GET entry 0 key)
  list(GET entry 1 name)
  vexlo_file_version("${VEXLO_INSTALLER_DIR}/${name}" version)
  set(version_of_${key} "${version}")
  vexlo_msi_query("UPDATE `File` SET `Version` = '${version}' WHERE `File` = '${key}'")
endforeach()

# Whatever stands at the exes' names goes before the copy, whatever its
# version (wixl authors no RemoveFile rows for single files); and on
# removal what the service wrote for a moment while replacing its files.
set(removals
    RemovePlantedServiceExe:ServiceExe:VexloService.exe:1
    RemovePlantedCheckExe:CheckExe:VexloCheck.exe:1)
foreach(name regist.tmp regist.old version.tmp version.old update.tmp update.old)
  string(REPLACE "." "" id "${name}")
  list(APPEND removals "RemoveLeftover_${id}:ServiceExe:${name}:2")
endforeach()
foreach(entry IN LISTS removals)
  string(REPLACE ":" ";" entry "${entry}")
  list(GET entry 0 key)
  list(GET entry 1 component)
  list(GET entry 2 name)
  list(GET entry 3 mode)
  vexlo_msi_query("INSERT INTO `RemoveFile` (`FileKey`, `Component_`, `FileName`, `DirProperty`, `InstallMode`) VALUES ('${key}', '${component}', '${name}', 'SERVICEDIR', ${mode})")
endforeach()

# The Service folder and the exes are the administrators': they own them,
# they and the system account alone may change them, users may read and
# run them; nothing is inherited from the game folder (protected DACL).
# Windows Installer 5.0 applies these in CreateFolders and InstallFiles,
# as the package requires (wixl authors no MsiLockPermissionsEx).
set(folder_sddl "O:BAG:SYD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)")
set(file_sddl "O:BAG:SYD:PAI(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)")
vexlo_msi_query("CREATE TABLE `MsiLockPermissionsEx` (`MsiLockPermissionsEx` CHAR(72) NOT NULL, `LockObject` CHAR(72) NOT NULL, `Table` CHAR(32) NOT NULL, `SDDLText` CHAR(0) NOT NULL, `Condition` CHAR(255) PRIMARY KEY `MsiLockPermissionsEx`)")
# The SDDL holds ";" and ":": the rows name it.
set(locks
    LockServiceFolder:SERVICEDIR:CreateFolder:folder_sddl
    LockServiceExe:VexloServiceExe:File:file_sddl
    LockCheckExe:VexloCheckExe:File:file_sddl)
foreach(entry IN LISTS locks)
  string(REPLACE ":" ";" entry "${entry}")
  list(GET entry 0 key)
  list(GET entry 1 object)
  list(GET entry 2 table)
  list(GET entry 3 sddl)
  set(sddl "${${sddl}}")
  vexlo_msi_query("INSERT INTO `MsiLockPermissionsEx` (`MsiLockPermissionsEx`, `LockObject`, `Table`, `SDDLText`) VALUES ('${key}', '${object}', '${table}', '${sddl}')")
endforeach()

# wixl 0.101 reads Execute="rollback" as immediate. A rollback action that
# ran at once would remove the service it is meant to guard: give both their
# type (exe from an installed file, return ignored, rollback, in script, no
# impersonation).
vexlo_msi_query("UPDATE `CustomAction` SET `Type` = 3410 WHERE `Action` = 'RollbackRegistration' OR `Action` = 'RollbackUnregistration'")
# It also drops UpgradeVersion's RemoveFeatures, so that the older release
# would be removed whole, and IncludeMaximum, so that a rebuild of this same
# version would install as a second product beside the first:
# msidbUpgradeAttributesVersionMinInclusive | ...MaxInclusive.
# Attributes is one of the row's keys, which msibuild does not update: the
# row is written again.
vexlo_msi_table(Upgrade upgrades)
if(NOT upgrades MATCHES "\n([^\t\n]+)\t([^\t\n]*)\t([^\t\n]*)\t[^\t\n]*\t[0-9]+\t[^\t\n]*\tOLDERVEXLOFOUND\n")
  message(FATAL_ERROR "${VEXLO_MSI}: no Upgrade row for older releases:\n${upgrades}")
endif()
set(older "'${CMAKE_MATCH_1}', '${CMAKE_MATCH_2}', '${CMAKE_MATCH_3}'")
vexlo_msi_query("DELETE FROM `Upgrade` WHERE `ActionProperty` = 'OLDERVEXLOFOUND'")
vexlo_msi_query("INSERT INTO `Upgrade` (`UpgradeCode`, `VersionMin`, `VersionMax`, `Attributes`, `Remove`, `ActionProperty`) VALUES (${older}, 768, 'Service', 'OLDERVEXLOFOUND')")

# wixl authors no error action (type 19, which ends the installation with
# its message): the refusals come as property setters, their text in
# Target, and become ones.
set(refusals RefuseAnotherGameDir RefuseGameDirOutsideProgramFiles RefuseRepair)
foreach(refusal IN LISTS refusals)
  vexlo_msi_query("UPDATE `CustomAction` SET `Type` = 19, `Source` = '' WHERE `Action` = '${refusal}'")
endforeach()

# The tables as Windows Installer reads them; any difference fails the build.
function(vexlo_msi_expect rows pattern what)
  if(NOT rows MATCHES "${pattern}")
    message(FATAL_ERROR "${VEXLO_MSI}: ${what}:\n${rows}")
  endif()
endfunction()

vexlo_msi_table(File files)
foreach(key VexloServiceExe VexloCheckExe)
  string(REPLACE "." "\\." version "${version_of_${key}}")
  vexlo_msi_expect("${files}" "\n${key}\t[^\t]*\t[^\t]*\t[0-9]+\t${version}\t"
                   "the File row ${key} does not carry its exe's version ${version_of_${key}}")
endforeach()
vexlo_msi_table(RemoveFile removefiles)
foreach(entry IN LISTS removals)
  string(REPLACE ":" ";" entry "${entry}")
  list(GET entry 0 key)
  list(GET entry 1 component)
  list(GET entry 2 name)
  list(GET entry 3 mode)
  string(REPLACE "." "\\." name "${name}")
  vexlo_msi_expect("${removefiles}" "\n${key}\t${component}\t${name}\tSERVICEDIR\t${mode}\n"
                   "no RemoveFile row ${key} removing ${name} (install mode ${mode})")
endforeach()
vexlo_msi_table(MsiLockPermissionsEx lockrows)
foreach(entry IN LISTS locks)
  string(REPLACE ":" ";" entry "${entry}")
  list(GET entry 0 key)
  list(GET entry 1 object)
  list(GET entry 2 table)
  list(GET entry 3 sddl)
  set(sddl "${${sddl}}")
  string(REGEX REPLACE "([().;])" "\\\\\\1" sddl "${sddl}")
  vexlo_msi_expect("${lockrows}" "\n${key}\t${object}\t${table}\t${sddl}\t\n"
                   "no lock ${key} on ${table} ${object}")
endforeach()

vexlo_msi_table(CustomAction actions)
foreach(action RollbackRegistration:3410 RollbackUnregistration:3410 RefuseAnotherGameDir:19
               RefuseGameDirOutsideProgramFiles:19 RefuseRepair:19)
  string(REPLACE ":" ";" action "${action}")
  list(GET action 0 name)
  list(GET action 1 type)
  vexlo_msi_expect("${actions}" "\n${name}\t${type}\t" "${name} is not of type ${type}")
endforeach()
string(TOLOWER "${actions}" lowered)
foreach(tool "cmd.exe" "icacls.exe" "[cmd]" "[icacls]")
  string(FIND "${lowered}" "${tool}" at)
  if(NOT at EQUAL -1)
    message(FATAL_ERROR "${VEXLO_MSI}: a custom action runs ${tool}:\n${actions}")
  endif()
endforeach()

# No -uninstall on the rollback of a repair or of an upgrade: it would take
# the service with its record of checks. -install only at a first install
# or an upgrade, after the exes are copied.
vexlo_msi_table(InstallExecuteSequence sequence)
vexlo_msi_expect("${sequence}"
                 "\nRollbackRegistration\tNOT Installed AND NOT OLDERVEXLOFOUND AND NOT REMOVE\t4001\n"
                 "RollbackRegistration may run at a repair or an upgrade")
vexlo_msi_expect("${sequence}" "\nRegisterService\tNOT Installed AND NOT REMOVE\t4002\n"
                 "RegisterService may run at a repair")
vexlo_msi_expect("${sequence}" "\nInstallFiles\t\t4000\n" "InstallFiles is not at 4000")
vexlo_msi_expect("${sequence}" "\nUnregisterService\t[^\t]*NOT UPGRADINGPRODUCTCODE\t1902\n"
                 "UnregisterService is not before RemoveFiles, or runs in an upgrade")

# wixl sets the 64-bit bits only where Win64="yes" says so: without them the
# remembered folder would live in the 32-bit view, where a release built by
# another tool for x64 would not look.
vexlo_msi_table(Component components)
foreach(component ServiceExe CheckExe)
  if(NOT components MATCHES "\n${component}\t[^\t]*\t[^\t]*\t([0-9]+)\t")
    message(FATAL_ERROR "${VEXLO_MSI}: no component ${component}:\n${components}")
  endif()
  math(EXPR bit "${CMAKE_MATCH_1} & 256")
  if(NOT bit EQUAL 256)
    message(FATAL_ERROR "${VEXLO_MSI}: component ${component} is not 64-bit (msidbComponentAttributes64bit):\n${components}")
  endif()
endforeach()
vexlo_msi_table(RegLocator locators)
vexlo_msi_expect("${locators}" "\nRememberedGameDir\t2\t[^\t]*\tGameDir\t18\n"
                 "the remembered game folder is not searched in the 64-bit view")
vexlo_msi_expect("${locators}" "\nRememberedGameDir32\t2\t[^\t]*\tGameDir\t2\n"
                 "the remembered game folder is not searched in the 32-bit view")

vexlo_msi_table(Upgrade upgrades)
vexlo_msi_expect("${upgrades}" "\t768\tService\tOLDERVEXLOFOUND"
                 "an upgrade would remove the older release whole, or miss a rebuild of this version")

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
