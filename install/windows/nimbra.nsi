; The Windows installer (scripts/build-windows builds it with makensis; docs/windows.md).
;
; Installs the program directory into Program Files\Nimbra: nimbra.exe and config.ini,
; and the runtime as corert.sle with its support libraries, where the launcher finds it
; through the registry value Path under HKCU\Software\Tarvex\Brae\Install (the launcher's
; second place; nothing named corert.slr is installed). Adds a Start-menu entry and an
; entry under the user's installed programs; the uninstaller removes all of it, and the
; user's store of page files under %LOCALAPPDATA%\Nimbra.
;
;   makensis -DPROGRAM_DIR=... -DICON=... -DOUTPUT=... nimbra.nsi
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma

!define PRODUCT "Nimbra Weather"
!define VERSION "1.0.0.0"
!define RUNTIME_KEY "Software\Tarvex\Brae\Install"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Nimbra"

Name "${PRODUCT}"
OutFile "${OUTPUT}"
Icon "${ICON}"
UninstallIcon "${ICON}"
InstallDir "$PROGRAMFILES64\Nimbra"
; The launcher reads the current user's registry, so the install is made for them.
RequestExecutionLevel admin
ShowInstDetails show
VIProductVersion "${VERSION}"
VIAddVersionKey /LANG=2052 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=2052 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=2052 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=2052 "FileDescription" "${PRODUCT} Setup"
VIAddVersionKey /LANG=2052 "LegalCopyright" "Nimbra Weather developers"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section "Install"
  SetShellVarContext current
  SetOutPath "$INSTDIR"
  File "${PROGRAM_DIR}\nimbra.exe"
  File "${PROGRAM_DIR}\config.ini"
  File "${PROGRAM_DIR}\WebPane.sle"
  File "${PROGRAM_DIR}\xtool.sle"
  File "${PROGRAM_DIR}\netlib.sle"
  File "${PROGRAM_DIR}\sysapi.sle"
  File "/oname=corert.sle" "${PROGRAM_DIR}\corert.slr"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  WriteRegStr HKCU "${RUNTIME_KEY}" "Path" "$INSTDIR"

  CreateDirectory "$SMPROGRAMS\${PRODUCT}"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk" "$INSTDIR\nimbra.exe" "" "$INSTDIR\nimbra.exe" 0

  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\nimbra.exe"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  SetShellVarContext current
  Delete "$INSTDIR\nimbra.exe"
  Delete "$INSTDIR\config.ini"
  Delete "$INSTDIR\WebPane.sle"
  Delete "$INSTDIR\xtool.sle"
  Delete "$INSTDIR\netlib.sle"
  Delete "$INSTDIR\sysapi.sle"
  Delete "$INSTDIR\corert.sle"
  ; The page file, should the program have been ended while it showed one.
  Delete "$INSTDIR\显示页.htm"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"

  Delete "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk"
  RMDir "$SMPROGRAMS\${PRODUCT}"

  ; The user's store of page files for a program directory they cannot write.
  RMDir /r "$LOCALAPPDATA\Nimbra"

  DeleteRegValue HKCU "${RUNTIME_KEY}" "Path"
  DeleteRegKey /ifempty HKCU "${RUNTIME_KEY}"
  DeleteRegKey /ifempty HKCU "Software\Tarvex\Brae"
  DeleteRegKey /ifempty HKCU "Software\Tarvex"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd
