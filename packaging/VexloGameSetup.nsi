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
; Run the result with /S for a silent install, /D=FOLDER for another folder;
; run it again over an installed game to upgrade. Uninstall.exe /S removes it.

Unicode true
Target amd64-unicode
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
Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Function .onInit
  ; The registry's 64-bit view, as the 64-bit service sees it.
  SetRegView 64
FunctionEnd

Function un.onInit
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
  WriteRegStr HKLM "Software\Microsoft\Windows\CurrentVersion\Uninstall\Vexlo" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
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
  Delete "$INSTDIR\Uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "Software\Microsoft\Windows\CurrentVersion\Uninstall\Vexlo"
SectionEnd
