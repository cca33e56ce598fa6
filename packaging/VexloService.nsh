; VexloService.nsh: VexloService inside a game's own NSIS installer.
; DEPLOYMENT.txt, "Inside your installer", explains each step; the example
; installer VexloGameSetup.nsi uses both macros.
;
;   !include "VexloService.nsh"
;   Section                      ; install and upgrade alike
;     !insertmacro VexloServiceInstall "${SERVICE_FILES}" "$INSTDIR\Service"
;     ${If} ${Errors} ... the service is not installed (nothing of it is left)
;   SectionEnd
;   Section "Uninstall"
;     !insertmacro VexloServiceUninstall "$INSTDIR\Service"
;   SectionEnd
;
; SERVICE_FILES is a folder, when the installer is built, that holds
; VexloService.exe and VexloCheck.exe (signed, with your address and keys).
; Build a 64-bit installer ("Target amd64-unicode") with
; "RequestExecutionLevel admin". The macros keep $0 to $9.

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

; Waits, at most the bound, until the process $9 has ended.
!macro _VexloServiceWaitForProcess
  ${If} $9 <> 0
    System::Call 'kernel32::OpenProcess(i 0x100000, i 0, i r9) p .r3'
    ${If} $3 P<> 0
      IntOp $4 ${VEXLO_SERVICE_WAIT_S} * 1000
      System::Call 'kernel32::WaitForSingleObject(p r3, i r4) i .r4'
      System::Call 'kernel32::CloseHandle(p r3)'
    ${EndIf}
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
!macroend

!macro _VexloServicePop
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
; leaves the folder to administrators and the system account, replaces the
; files, registers the service with -install (which keeps the record of
; checks over an upgrade) and waits until it runs. The state files in DIR
; are not touched. On failure the error flag is set and no service is left.
!macro VexloServiceInstall SERVICE_FILES DIR
  !insertmacro _VexloServicePush
  ClearErrors
  StrCpy $8 ""
  !insertmacro _VexloServiceState
  ${If} $0 <> 0
  ${AndIf} $0 <> 1
    DetailPrint "Stopping VexloService"
    !insertmacro _VexloServiceProcess
    !insertmacro _VexloServiceSendStop
    !insertmacro _VexloServiceWaitFor 1
    ${If} $5 <> 1
      StrCpy $8 "VexloService did not stop"
    ${Else}
      ; Stopped is not yet ended: the exe can be replaced once the process is gone.
      !insertmacro _VexloServiceWaitForProcess
    ${EndIf}
  ${EndIf}

  ${If} $8 == ""
    CreateDirectory "${DIR}"
    ; As the MSI does: administrators own the folder and alone may change it,
    ; with the system account; users may read it.
    nsExec::ExecToLog '"$SYSDIR\icacls.exe" "${DIR}\." /setowner *S-1-5-32-544 /T /C /L /Q'
    Pop $9
    nsExec::ExecToLog '"$SYSDIR\icacls.exe" "${DIR}\." /inheritance:r /grant:r *S-1-5-32-544:(OI)(CI)F *S-1-5-18:(OI)(CI)F *S-1-5-32-545:(OI)(CI)RX /Q'
    Pop $4
    ${If} $9 <> 0
    ${OrIf} $4 <> 0
      StrCpy $8 "the folder ${DIR} could not be left to administrators"
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

  ${If} $8 != ""
    DetailPrint "$8: removing it"
    ${If} ${FileExists} "${DIR}\VexloService.exe"
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
