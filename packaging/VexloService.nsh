; VexloService.nsh: VexloService inside a game's own NSIS installer.
; DEPLOYMENT.txt, "Inside your installer", explains each step; the example
; installer VexloGameSetup.nsi uses both macros.
;
;   !include "VexloService.nsh"
;   Section                      ; install and upgrade alike
;     !insertmacro VexloServiceInstall "${SERVICE_FILES}" "$INSTDIR\Service"
;     ${If} ${Errors} ... not installed: none is left, or the previous one runs again
;   SectionEnd
;   Section "Uninstall"
;     !insertmacro VexloServiceUninstall "$INSTDIR\Service"
;   SectionEnd
;
; SERVICE_FILES is a folder, when the installer is built, that holds
; VexloService.exe and VexloCheck.exe (signed, with your address and keys).
; Build a 32-bit installer ("Target x86-unicode", which every NSIS 3 has)
; with "RequestExecutionLevel admin", and refuse in .onInit what would fail:
; 32-bit Windows (${RunningX64} from x64.nsh), an account that is no
; administrator (UserInfo::GetAccountType; with UAC off the request does not
; elevate), a folder outside $PROGRAMFILES64. The service is 64-bit: use
; SetRegView 64 for its keys. The macros touch nothing in System32, so the
; 32-bit installer's file-system redirection does not matter; every handle
; and pointer passes as "p", which is 32 or 64 bits as the installer is.
; The macros keep $0 to $9 and $R0 to $R3.

!ifndef VEXLO_SERVICE_NSH
!define VEXLO_SERVICE_NSH
!include "LogicLib.nsh"

; How long a stop, a start or a removal may take before the macro gives up.
!ifndef VEXLO_SERVICE_WAIT_S
!define VEXLO_SERVICE_WAIT_S 60
!endif

; $0 = the service's state: 0 not installed, 1 stopped, 2 starting,
; 3 stopping, 4 running (the service manager's numbers).
!macro _VexloServiceState
  StrCpy $0 0
  System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i 1) p .r1'
  ${If} $1 P<> 0
    System::Call 'advapi32::OpenServiceW(p r1, w "VexloService", i 4) p .r2'
    ${If} $2 P<> 0
      System::Call '*(&i28) p .r3'
      System::Call 'advapi32::QueryServiceStatus(p r2, p r3) i .r4'
      ${If} $4 <> 0
        System::Call '*$3(i, i .r0)'
      ${Else}
        StrCpy $0 1
      ${EndIf}
      System::Free $3
      System::Call 'advapi32::CloseServiceHandle(p r2)'
    ${EndIf}
    System::Call 'advapi32::CloseServiceHandle(p r1)'
  ${EndIf}
!macroend

; $9 = the id of the service's process while it has one, else 0: its exe
; stays in use until that process has ended, after the stopped state too.
!macro _VexloServiceProcess
  StrCpy $9 0
  System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i 1) p .r1'
  ${If} $1 P<> 0
    System::Call 'advapi32::OpenServiceW(p r1, w "VexloService", i 4) p .r2'
    ${If} $2 P<> 0
      ; SERVICE_STATUS_PROCESS: nine DWORDs, the process id the eighth.
      System::Call '*(&i36) p .r3'
      System::Call 'advapi32::QueryServiceStatusEx(p r2, i 0, p r3, i 36, *i .r4) i .r4'
      ${If} $4 <> 0
        System::Call '*$3(i, i, i, i, i, i, i, i .r9)'
      ${EndIf}
      System::Free $3
      System::Call 'advapi32::CloseServiceHandle(p r2)'
    ${EndIf}
    System::Call 'advapi32::CloseServiceHandle(p r1)'
  ${EndIf}
!macroend

; Waits, at most the bound, until the process $9 has ended. $5 ends 1 when
; it has (or there was none), 0 when it still runs: a time-out is no end.
!macro _VexloServiceWaitForProcess
  StrCpy $5 1
  ${If} $9 <> 0
    System::Call 'kernel32::OpenProcess(i 0x100000, i 0, i r9) p .r3 ?e'
    Pop $4
    ${If} $3 P<> 0
      IntOp $4 ${VEXLO_SERVICE_WAIT_S} * 1000
      System::Call 'kernel32::WaitForSingleObject(p r3, i r4) i .r4'
      System::Call 'kernel32::CloseHandle(p r3)'
      ; Anything but WAIT_OBJECT_0 (0): WAIT_TIMEOUT, or WAIT_FAILED.
      ${If} $4 <> 0
        StrCpy $5 0
      ${EndIf}
    ${ElseIf} $4 <> 87
      ; ERROR_INVALID_PARAMETER is a process that has already gone; any
      ; other refusal leaves us not knowing, so it counts as still running.
      StrCpy $5 0
    ${EndIf}
  ${EndIf}
!macroend

; $R3 = 1 when the service manager's registration runs DIR's own
; VexloService.exe (in quotes, as -install writes it), else 0.
!macro _VexloServiceRegisteredHere DIR
  StrCpy $R3 0
  System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i 1) p .r1'
  ${If} $1 P<> 0
    System::Call 'advapi32::OpenServiceW(p r1, w "VexloService", i 1) p .r2'
    ${If} $2 P<> 0
      System::Call '*(&i8192) p .r3'
      System::Call 'advapi32::QueryServiceConfigW(p r2, p r3, i 8192, *i .r4) i .r4'
      ${If} $4 <> 0
        ; QUERY_SERVICE_CONFIGW: three DWORDs, then the path's pointer, on
        ; a pointer's boundary.
        !if ${NSIS_PTR_SIZE} > 4
          System::Call '*$3(i, i, i, i, p .r6)'
        !else
          System::Call '*$3(i, i, i, p .r6)'
        !endif
        System::Call 'kernel32::lstrcpynW(w .r6, p r6, i ${NSIS_MAX_STRLEN})'
        ${If} $6 == '"${DIR}\VexloService.exe"'
          StrCpy $R3 1
        ${EndIf}
      ${EndIf}
      System::Free $3
      System::Call 'advapi32::CloseServiceHandle(p r2)'
    ${EndIf}
    System::Call 'advapi32::CloseServiceHandle(p r1)'
  ${EndIf}
!macroend

; Leaves DIR to administrators and the system account, users reading, with a
; protected DACL: nothing inherited from the folders above (where a standard
; user may hold rights) stays. SetNamedSecurityInfoW also hands the rules on
; to what DIR holds already, replacing what those files inherited and keeping
; their own explicit rules (so a grant to the updater on update.ini stays).
; Files written later inherit these rules alone. $5 ends 1 when it was set.
!macro _VexloServiceLock DIR
  StrCpy $5 0
  StrCpy $3 "O:BAG:SYD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)"
  System::Call 'advapi32::ConvertStringSecurityDescriptorToSecurityDescriptorW(w r3, i 1, *p .r1, p 0) i .r2'
  ${If} $2 <> 0
  ${AndIf} $1 P<> 0
    System::Call 'advapi32::GetSecurityDescriptorOwner(p r1, *p .r3, *i .r4) i .r2'
    System::Call 'advapi32::GetSecurityDescriptorDacl(p r1, *i .r4, *p .r6, *i .r9) i .r7'
    ${If} $2 <> 0
    ${AndIf} $7 <> 0
    ${AndIf} $4 <> 0
      ; SE_FILE_OBJECT; OWNER | DACL | PROTECTED_DACL_SECURITY_INFORMATION.
      System::Call 'advapi32::SetNamedSecurityInfoW(w "${DIR}", i 1, i 0x80000005, p r3, p 0, p r6, p 0) i .r2'
      ${If} $2 = 0
        StrCpy $5 1
      ${Else}
        DetailPrint "SetNamedSecurityInfoW on ${DIR}: error $2"
      ${EndIf}
    ${EndIf}
    System::Call 'kernel32::LocalFree(p r1)'
  ${EndIf}
!macroend

; Asks the service manager to stop the service, if it runs.
!macro _VexloServiceSendStop
  System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i 1) p .r1'
  ${If} $1 P<> 0
    System::Call 'advapi32::OpenServiceW(p r1, w "VexloService", i 0x24) p .r2'
    ${If} $2 P<> 0
      System::Call '*(&i28) p .r3'
      System::Call 'advapi32::ControlService(p r2, i 1, p r3) i .r4'
      System::Free $3
      System::Call 'advapi32::CloseServiceHandle(p r2)'
    ${EndIf}
    System::Call 'advapi32::CloseServiceHandle(p r1)'
  ${EndIf}
!macroend

; Deletes the registration through the service manager: for a service whose
; exe is gone, which -uninstall cannot remove.
!macro _VexloServiceDelete
  System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i 0xF003F) p .r1'
  ${If} $1 P<> 0
    System::Call 'advapi32::OpenServiceW(p r1, w "VexloService", i 0x10024) p .r2'
    ${If} $2 P<> 0
      System::Call '*(&i28) p .r3'
      System::Call 'advapi32::ControlService(p r2, i 1, p r3) i .r4'
      System::Free $3
      System::Call 'advapi32::DeleteService(p r2) i .r4'
      System::Call 'advapi32::CloseServiceHandle(p r2)'
    ${EndIf}
    System::Call 'advapi32::CloseServiceHandle(p r1)'
  ${EndIf}
!macroend

; Waits until the state in $0 is WANTED (0 for gone), at most the bound.
; $5 ends 1 when it came, 0 when it did not.
!macro _VexloServiceWaitFor WANTED
  StrCpy $5 0
  StrCpy $6 0
  StrCpy $7 0
  ${Do}
    !insertmacro _VexloServiceState
    ${If} $0 = ${WANTED}
      StrCpy $5 1
      ${Break}
    ${EndIf}
    ${If} $6 >= ${VEXLO_SERVICE_WAIT_S}
      ${Break}
    ${EndIf}
    Sleep 250
    IntOp $7 $7 + 1
    ${If} $7 >= 4
      StrCpy $7 0
      IntOp $6 $6 + 1
    ${EndIf}
  ${Loop}
!macroend

; Removes the service's own files from DIR: its exes and what it writes
; itself. The game's files there (version.xml, update.ini, the icons,
; config.xml) stay.
!macro _VexloServiceRemoveFiles DIR
  Delete "${DIR}\VexloService.exe"
  Delete "${DIR}\VexloCheck.exe"
  Delete "${DIR}\regist.ini"
  Delete "${DIR}\regist.tmp"
  Delete "${DIR}\regist.old"
  Delete "${DIR}\version.tmp"
  Delete "${DIR}\version.old"
  Delete "${DIR}\update.tmp"
  Delete "${DIR}\update.old"
  Delete "${DIR}\VexloService.exe.old"
  Delete "${DIR}\VexloCheck.exe.old"
!macroend

; Asks the service manager to start the registered service: what it would
; do itself at the next boot, so no program of this run's choosing runs.
!macro _VexloServiceStart
  System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i 1) p .r1'
  ${If} $1 P<> 0
    System::Call 'advapi32::OpenServiceW(p r1, w "VexloService", i 0x10) p .r2'
    ${If} $2 P<> 0
      System::Call 'advapi32::StartServiceW(p r2, i 0, p 0) i .r4'
      System::Call 'advapi32::CloseServiceHandle(p r2)'
    ${EndIf}
    System::Call 'advapi32::CloseServiceHandle(p r1)'
  ${EndIf}
!macroend

; Stops the service and waits until its process has ended; $5 ends 1 when
; it has, 0 when it is still there after the bound.
!macro _VexloServiceStopAndWait
  StrCpy $5 1
  !insertmacro _VexloServiceState
  ${If} $0 <> 0
  ${AndIf} $0 <> 1
    !insertmacro _VexloServiceProcess
    !insertmacro _VexloServiceSendStop
    !insertmacro _VexloServiceWaitFor 1
    ${If} $5 = 1
      ; Stopped is not yet ended: the exe can be replaced once the process is gone.
      !insertmacro _VexloServiceWaitForProcess
    ${EndIf}
  ${EndIf}
!macroend

!macro _VexloServicePush
  Push $0
  Push $1
  Push $2
  Push $3
  Push $4
  Push $5
  Push $6
  Push $7
  Push $8
  Push $9
  Push $R0
  Push $R1
  Push $R2
  Push $R3
!macroend

!macro _VexloServicePop
  Pop $R3
  Pop $R2
  Pop $R1
  Pop $R0
  Pop $9
  Pop $8
  Pop $7
  Pop $6
  Pop $5
  Pop $4
  Pop $3
  Pop $2
  Pop $1
  Pop $0
!macroend

; Installs or upgrades the service in DIR (the game folder's "Service"):
; stops a running service first (Windows cannot replace a running exe),
; leaves the folder to administrators and the system account, keeps an
; upgrade's previous exes aside, removes whatever else lies at the exes'
; names, writes the files, registers the service with -install (which
; keeps the record of checks over an upgrade) and waits until it runs. The
; state files in DIR are not touched. On failure the error flag is set: a
; first install leaves no service, an upgrade puts the previous exes back
; and starts the service again. No exe is run that this run did not write
; itself, but the previous release's own, registered one in the one case
; where only its -install can bring the service back.
!macro VexloServiceInstall SERVICE_FILES DIR
  !insertmacro _VexloServicePush
  ClearErrors
  StrCpy $8 ""
  StrCpy $R0 0  ; 1: a service was registered before this run, an upgrade
  StrCpy $R1 0  ; 1: the previous exes were moved to their .old names
  StrCpy $R2 0  ; 1: the exes at the names are the ones this run wrote
  !insertmacro _VexloServiceState
  ${If} $0 <> 0
    StrCpy $R0 1
  ${EndIf}
  !insertmacro _VexloServiceRegisteredHere "${DIR}"
  DetailPrint "Stopping VexloService"
  !insertmacro _VexloServiceStopAndWait
  ${If} $5 <> 1
    ${If} $9 <> 0
      StrCpy $8 "VexloService's process did not end"
    ${Else}
      StrCpy $8 "VexloService did not stop"
    ${EndIf}
  ${EndIf}

  ${If} $8 == ""
    ; Before anything in it is removed or written: a standard user who could
    ; write the folder could otherwise put a file back in between.
    CreateDirectory "${DIR}"
    !insertmacro _VexloServiceLock "${DIR}"
    ${If} $5 <> 1
      StrCpy $8 "the folder ${DIR} could not be left to administrators"
    ${EndIf}
  ${EndIf}

  ${If} $8 == ""
    ; Whatever lies at the .old names is nobody's previous release.
    Delete "${DIR}\VexloService.exe.old"
    Delete "${DIR}\VexloCheck.exe.old"
    ${If} ${FileExists} "${DIR}\VexloService.exe.old"
    ${OrIf} ${FileExists} "${DIR}\VexloCheck.exe.old"
      StrCpy $8 "a file at ${DIR}\VexloService.exe.old or VexloCheck.exe.old could not be removed"
    ${EndIf}
  ${EndIf}
  ${If} $8 == ""
  ${AndIf} $R0 = 1
    ; A rename keeps the file, and its rules, for the way back.
    StrCpy $R1 1
    ClearErrors
    ${If} ${FileExists} "${DIR}\VexloService.exe"
      Rename "${DIR}\VexloService.exe" "${DIR}\VexloService.exe.old"
    ${EndIf}
    ${If} ${FileExists} "${DIR}\VexloCheck.exe"
      Rename "${DIR}\VexloCheck.exe" "${DIR}\VexloCheck.exe.old"
    ${EndIf}
    ${If} ${Errors}
      StrCpy $8 "the previous VexloService could not be kept aside"
    ${EndIf}
  ${EndIf}

  ${If} $8 == ""
    ; File over an existing file could fail (a planted exe that denies
    ; administrators write) or keep that file's own rules: the exes are
    ; always written anew, into the locked folder, so they inherit its rules.
    Delete "${DIR}\VexloService.exe"
    Delete "${DIR}\VexloCheck.exe"
    ${If} ${FileExists} "${DIR}\VexloService.exe"
    ${OrIf} ${FileExists} "${DIR}\VexloCheck.exe"
      StrCpy $8 "a file at ${DIR}\VexloService.exe or VexloCheck.exe could not be removed"
    ${EndIf}
  ${EndIf}
  ${If} $8 == ""
    SetOutPath "${DIR}"
    SetOverwrite on
    ClearErrors
    File "/oname=VexloService.exe" "${SERVICE_FILES}\VexloService.exe"
    File "/oname=VexloCheck.exe" "${SERVICE_FILES}\VexloCheck.exe"
    ${If} ${Errors}
      StrCpy $8 "the service's files could not be written"
    ${Else}
      StrCpy $R2 1
    ${EndIf}
  ${EndIf}

  ${If} $8 == ""
    DetailPrint "Registering VexloService"
    ExecWait '"${DIR}\VexloService.exe" -install'
    !insertmacro _VexloServiceState
    ${If} $0 = 0
      StrCpy $8 "VexloService could not be registered"
    ${Else}
      !insertmacro _VexloServiceWaitFor 4
      ${If} $5 <> 1
        StrCpy $8 "VexloService did not start"
      ${EndIf}
    ${EndIf}
  ${EndIf}

  ${If} $8 == ""
    Delete "${DIR}\VexloService.exe.old"
    Delete "${DIR}\VexloCheck.exe.old"
  ${ElseIf} $R0 = 1
    DetailPrint "$8: putting the previous VexloService back"
    ; The registration (this run's or the previous one) and the record of
    ; checks stay: only the exes go back, and the service starts again.
    !insertmacro _VexloServiceStopAndWait
    ${If} $R1 = 1
      Delete "${DIR}\VexloService.exe"
      Delete "${DIR}\VexloCheck.exe"
      Rename "${DIR}\VexloService.exe.old" "${DIR}\VexloService.exe"
      Rename "${DIR}\VexloCheck.exe.old" "${DIR}\VexloCheck.exe"
    ${EndIf}
    !insertmacro _VexloServiceState
    ${If} $0 = 0
    ${AndIf} $R3 = 1
    ${AndIf} $R1 = 1
      ; The new exe's -install removed the registration and made none. The
      ; previous exe was the one the service manager ran as the system
      ; account: its -install is no more than that.
      ExecWait '"${DIR}\VexloService.exe" -install'
    ${Else}
      !insertmacro _VexloServiceStart
    ${EndIf}
    !insertmacro _VexloServiceWaitFor 4
  ${Else}
    DetailPrint "$8: removing it"
    ; -uninstall only from the exe this run wrote; else the service
    ; manager's own delete.
    ${If} $R2 = 1
      ExecWait '"${DIR}\VexloService.exe" -uninstall'
    ${EndIf}
    !insertmacro _VexloServiceState
    ${If} $0 <> 0
      !insertmacro _VexloServiceDelete
    ${EndIf}
    !insertmacro _VexloServiceWaitFor 0
    !insertmacro _VexloServiceRemoveFiles "${DIR}"
  ${EndIf}
  ClearErrors
  ${If} $8 != ""
    SetErrors
  ${EndIf}
  !insertmacro _VexloServicePop
!macroend

; Removes the service: -uninstall (stop, delete, and the record of checks
; with it), a wait until the service manager no longer lists it, then the
; service's own files in DIR. Use it in the uninstaller of the game, before
; the game's files go. The error flag is set if the service stays listed.
!macro VexloServiceUninstall DIR
  !insertmacro _VexloServicePush
  ClearErrors
  ${If} ${FileExists} "${DIR}\VexloService.exe"
    ExecWait '"${DIR}\VexloService.exe" -uninstall'
  ${EndIf}
  !insertmacro _VexloServiceState
  ${If} $0 <> 0
    ; A service whose exe is gone, or one -uninstall could not remove.
    !insertmacro _VexloServiceDelete
  ${EndIf}
  !insertmacro _VexloServiceWaitFor 0
  !insertmacro _VexloServiceRemoveFiles "${DIR}"
  ClearErrors
  ${If} $5 <> 1
    SetErrors
  ${EndIf}
  !insertmacro _VexloServicePop
!macroend

!endif
