; VexloGameSetup.nsi: an example game installer that carries VexloService,
; built with NSIS 3 (makensis):
;
;   makensis -DGAME_FILES=C:\build\game -DSERVICE_FILES=C:\build\service VexloGameSetup.nsi
;
; GAME_FILES holds the game as it is laid out on a player's PC: Vexlo.exe and
; the rest at the top, and in Service\ the game's part of the service's
; folder: update.ico, normal.ico, the first version.xml, update.ini holding
; 1, and config.xml if you use one. SERVICE_FILES holds VexloService.exe and
; VexloCheck.exe. Without GAME_FILES the installer carries the service alone.
; Run the result with /S for a silent install, /D=FOLDER for another folder
; under Program Files; run it again over an installed game to upgrade.
; "Uninstall.exe /S _?=FOLDER" removes it and returns its exit code.
; Exit codes: 0 done; 1 cancelled; 2 not installed (a folder outside Program
; Files, 32-bit Windows, or the service failed); 740 not an administrator.

; 32-bit, as every NSIS 3 can build it, for 64-bit Windows alone. TARGET=
; amd64-unicode builds the same script 64-bit, for a Wine without 32-bit
; support, as the package's own tests run it.
!ifndef TARGET
!define TARGET x86-unicode
!endif
Target ${TARGET}
RequestExecutionLevel admin
ManifestSupportedOS all

!include "LogicLib.nsh"
!include "x64.nsh"
!include "VexloService.nsh"

!ifndef SERVICE_FILES
!define SERVICE_FILES "."
!endif
!ifndef OUTFILE
!define OUTFILE "VexloGameSetup.exe"
!endif

Name "Vexlo"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Vexlo"
ShowInstDetails show
Page directory "" "" DirectoryLeave
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; With UAC off, RequestExecutionLevel admin starts the installer with the
; user's own rights: -install and the folder's rules would fail half way.
!macro RefuseUnlessAdministrator
  UserInfo::GetAccountType
  Pop $0
  ${If} $0 != "Admin"
    MessageBox MB_ICONSTOP "Run this as an administrator." /SD IDOK
    SetErrorLevel 740  ; ERROR_ELEVATION_REQUIRED
    Quit
  ${EndIf}
!macroend

; $0 = 1 when $INSTDIR is a folder inside the 64-bit Program Files. The
; service runs as the system account from there, and Program Files is the
; one place Windows keeps standard users from writing (and so from swapping
; the folder or one above it) without any help from the installer.
Function IsInsideProgramFiles
  StrCpy $0 0
  ; Made absolute and rid of "." and "..", as Windows would open it.
  System::Call 'kernel32::GetFullPathNameW(w "$INSTDIR", i ${NSIS_MAX_STRLEN}, w .r1, p 0) i .r2'
  ${If} $2 > 0
    StrLen $3 "$PROGRAMFILES64\"
    StrCpy $4 $1 $3
    StrCpy $5 $1 "" $3
    ; == is case-blind, as the file system is.
    ${If} $4 == "$PROGRAMFILES64\"
    ${AndIf} $5 != ""
      StrCpy $0 1
    ${EndIf}
  ${EndIf}
FunctionEnd

Function .onInit
  ${IfNot} ${RunningX64}
    MessageBox MB_ICONSTOP "Vexlo needs 64-bit Windows." /SD IDOK
    SetErrorLevel 2
    Quit
  ${EndIf}
  !insertmacro RefuseUnlessAdministrator
  ; The registry's 64-bit view, as the 64-bit service sees it.
  SetRegView 64
  ; A silent run shows no directory page, so /D= is checked here.
  ${If} ${Silent}
    Call IsInsideProgramFiles
    ${If} $0 <> 1
      SetErrorLevel 2
      Quit
    ${EndIf}
  ${EndIf}
FunctionEnd

Function DirectoryLeave
  Call IsInsideProgramFiles
  ${If} $0 <> 1
    MessageBox MB_ICONSTOP "Choose a folder inside $PROGRAMFILES64: only there can other users not change the files the update service runs from." /SD IDOK
    Abort
  ${EndIf}
FunctionEnd

Function un.onInit
  !insertmacro RefuseUnlessAdministrator
  SetRegView 64
FunctionEnd

Section "Vexlo"
  SetOutPath "$INSTDIR"
!ifdef GAME_FILES
  File /r /x Service "${GAME_FILES}\*.*"
  SetOutPath "$INSTDIR\Service"
  File /nonfatal "${GAME_FILES}\Service\*.ico"
  ; The service's state: laid down at the first install, then written by the
  ; service and the game's updater alone. An upgrade keeps them.
  SetOverwrite off
  File /nonfatal "${GAME_FILES}\Service\version.xml"
  File /nonfatal "${GAME_FILES}\Service\update.ini"
  File /nonfatal "${GAME_FILES}\Service\config.xml"
  SetOverwrite on
!endif
  WriteUninstaller "$INSTDIR\Uninstall.exe"
  WriteRegStr HKLM "Software\Microsoft\Windows\CurrentVersion\Uninstall\Vexlo" "DisplayName" "Vexlo"
  WriteRegStr HKLM "Software\Microsoft\Windows\CurrentVersion\Uninstall\Vexlo" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  ; _?= keeps the uninstaller in place, so that it is waited for and its
  ; exit code reaches the deployment tool; without it, it copies itself to
  ; %TEMP% and returns 0 at once. (It takes no quotes and must come last.)
  ; The interactive UninstallString goes without it: nobody waits there,
  ; and the copy in %TEMP% can remove Uninstall.exe and the folder.
  WriteRegStr HKLM "Software\Microsoft\Windows\CurrentVersion\Uninstall\Vexlo" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S _?=$INSTDIR'
SectionEnd

Section "Update service"
  !insertmacro VexloServiceInstall "${SERVICE_FILES}" "$INSTDIR\Service"
  ${If} ${Errors}
    ; No service is left behind; the game itself is installed. A silent
    ; install ends with exit code 2, so that deployment tools see it.
    MessageBox MB_ICONSTOP "The Vexlo update service could not be installed; see the details." /SD IDOK
    SetErrorLevel 2
    Abort
  ${EndIf}
SectionEnd

Section "Uninstall"
  ; The service first: its exe must not run while its folder goes.
  !insertmacro VexloServiceUninstall "$INSTDIR\Service"
  ${If} ${Errors}
    MessageBox MB_ICONSTOP "The Vexlo update service could not be removed." /SD IDOK
    SetErrorLevel 2
    Abort
  ${EndIf}
  Delete "$INSTDIR\Service\version.xml"
  Delete "$INSTDIR\Service\update.ini"
  Delete "$INSTDIR\Service\config.xml"
  Delete "$INSTDIR\Service\update.ico"
  Delete "$INSTDIR\Service\normal.ico"
  RMDir "$INSTDIR\Service"
  ; The game's own files, as it installed them; a real game names them.
  Delete "$INSTDIR\Vexlo.exe"
  ; Run in place (_?=), the uninstaller is the running Uninstall.exe, which
  ; Windows does not delete: it and the then empty folder go at the next
  ; restart.
  Delete /REBOOTOK "$INSTDIR\Uninstall.exe"
  RMDir /REBOOTOK "$INSTDIR"
  DeleteRegKey HKLM "Software\Microsoft\Windows\CurrentVersion\Uninstall\Vexlo"
SectionEnd
