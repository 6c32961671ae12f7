; The Orvanta Online installer, as players receive it: the updater and its
; Qt libraries in the game folder, the store's registry key and the game
; folder opened to every player of the machine (the updater runs without
; administrator rights and writes both), shortcuts, and an uninstaller
; that takes all of it away again.
;
;   makensis -INPUTCHARSET UTF8 -DSTAGE=<folder> -DOUTFILE=<setup.exe> deploy/windows/Orvanta.nsi
;
; STAGE holds what goes into the game folder (scripts/windows-installer.sh
; gathers it). Silent: Setup.exe /S [/D=<folder>], Uninstall.exe /S.

Unicode true
Target amd64-unicode
RequestExecutionLevel admin
ManifestDPIAware true
; Players get the smallest download; a test build may ask for a faster
; compressor (-DCOMPRESSOR=zlib).
!ifdef COMPRESSOR
  SetCompressor ${COMPRESSOR}
!else
  SetCompressor /SOLID lzma
!endif

!include MUI2.nsh
!include LogicLib.nsh

!ifndef STAGE
  !error "STAGE must name the folder to install"
!endif
!ifndef OUTFILE
  !define OUTFILE "Orvanta-Setup.exe"
!endif
!ifndef VERSION
  !define VERSION "1.0.0.1"
!endif

!define PRODUCT "Orvanta Online"
!define TITLE "Orvanta 온라인"
!define COMPANY "Kelto Interactive, Inc."
; The game client is 32-bit and keeps its settings in the registry's 32-bit
; view; the updater opens that view too.
!define STORE_KEY "SOFTWARE\${COMPANY}\${PRODUCT}"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"
; Every access to the store opens it with KEY_ALL_ACCESS (the game client's
; among them), so players get all of it on this one key.
!define STORE_ACCESS "D:(A;OICI;KA;;;SY)(A;OICI;KA;;;BA)(A;OICI;KA;;;BU)"
; Players may change and delete what is in the game folder (the updater
; replaces files and itself there); the folder itself stays the
; administrators'.
!define FOLDER_ACCESS "D:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;BU)"

Name "${TITLE}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "${COMPANY}"

VIProductVersion "${VERSION}"
VIAddVersionKey /LANG=0 "ProductName" "${TITLE}"
VIAddVersionKey /LANG=0 "CompanyName" "${COMPANY}"
VIAddVersionKey /LANG=0 "FileDescription" "${TITLE} 설치"
VIAddVersionKey /LANG=0 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "LegalCopyright" "Copyright (C) ${COMPANY}"

!define MUI_ICON "${__FILEDIR__}\..\..\res\icons\130.ico"
!define MUI_UNICON "${__FILEDIR__}\..\..\res\icons\130.ico"
!define MUI_FINISHPAGE_RUN "$INSTDIR\Updater.exe"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "Korean"

; $0 = 1 when the folder in $INSTDIR may be installed into: missing, empty,
; or an earlier installation. The uninstaller removes the whole folder, so
; it must never be one that held anything else.
Function FolderIsOurs
  StrCpy $0 1
  IfFileExists "$INSTDIR\Uninstall.exe" done
  ClearErrors
  FindFirst $1 $2 "$INSTDIR\*"
  ${Do}
    ${If} ${Errors}
    ${OrIf} $2 == ""
      ${Break}
    ${EndIf}
    ${If} $2 != "."
    ${AndIf} $2 != ".."
      StrCpy $0 0
      ${Break}
    ${EndIf}
    FindNext $1 $2
  ${Loop}
  FindClose $1
done:
FunctionEnd

; Stops the (un)installer while the updater runs: its files would be in
; use. The updater holds the named mutex "Orvanta Updater" while it runs.
!macro RefuseWhileUpdaterRuns
  System::Call 'kernel32::OpenMutexW(i 0x00100000, i 0, w "Orvanta Updater") p .r0'
  ${If} $0 P<> 0
    System::Call 'kernel32::CloseHandle(p r0)'
    MessageBox MB_ICONSTOP|MB_OK "업데이터가 실행 중입니다. 업데이터를 종료한 뒤 다시 시도하세요." /SD IDOK
    SetErrorLevel 3
    Quit
  ${EndIf}
!macroend

Function .onInit
  !insertmacro RefuseWhileUpdaterRuns
FunctionEnd

Function un.onInit
  !insertmacro RefuseWhileUpdaterRuns
FunctionEnd

Function .onVerifyInstDir
  Call FolderIsOurs
  ${If} $0 == 0
    Abort
  ${EndIf}
FunctionEnd

; The security descriptor of an SDDL rule, in $2 (LocalFree it); 0 when
; the rule does not parse.
!macro AccessRule RULE
  System::Call 'advapi32::ConvertStringSecurityDescriptorToSecurityDescriptorW(w "${RULE}", i 1, *p .r2, p 0) i .r3'
  ${If} $3 == 0
    StrCpy $2 0
  ${EndIf}
!macroend

Section "Install"
  SetShellVarContext all
  Call FolderIsOurs
  ${If} $0 == 0
    MessageBox MB_ICONSTOP|MB_OK "$INSTDIR$\n$\n이 폴더에는 다른 파일이 있습니다. 비어 있는 폴더를 고르세요." /SD IDOK
    SetErrorLevel 2
    Quit
  ${EndIf}

  CreateDirectory "$INSTDIR"
  ; Before any file goes in, so that every file inherits it.
  StrCpy $0 0
  !insertmacro AccessRule "${FOLDER_ACCESS}"
  ${If} $2 <> 0
    System::Call 'advapi32::SetFileSecurityW(w "$INSTDIR", i 4, p r2) i .r0'
    System::Call 'kernel32::LocalFree(p r2)'
  ${EndIf}
  ${If} $0 == 0
    DetailPrint "게임 폴더의 권한을 설정하지 못했습니다."
  ${EndIf}
  SetOutPath "$INSTDIR"
  File /r "${STAGE}\*"
  WriteUninstaller "$INSTDIR\Uninstall.exe"

  ; HKEY_LOCAL_MACHINE (sign-extended, as handles are on 64-bit Windows),
  ; KEY_ALL_ACCESS | KEY_WOW64_32KEY.
  System::Call 'advapi32::RegCreateKeyExW(p -2147483646, w "${STORE_KEY}", i 0, p 0, i 0, i 0xF023F, p 0, *p .r1, p 0) i .r0'
  ${If} $0 == 0
    StrCpy $0 1
    !insertmacro AccessRule "${STORE_ACCESS}"
    ${If} $2 <> 0
      System::Call 'advapi32::RegSetKeySecurity(p r1, i 4, p r2) i .r0'
      System::Call 'kernel32::LocalFree(p r2)'
    ${EndIf}
    System::Call 'advapi32::RegCloseKey(p r1)'
  ${EndIf}
  ${If} $0 <> 0
    DetailPrint "설정 키의 권한을 설정하지 못했습니다. ($0)"
  ${EndIf}
  SetRegView 32
  WriteRegStr HKLM "${STORE_KEY}" "ClientPath" "$INSTDIR\"
  SetRegView 64

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${TITLE}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\Updater.exe,0"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${COMPANY}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1

  ; The updater, started in the game folder.
  CreateDirectory "$SMPROGRAMS\${TITLE}"
  CreateShortcut "$SMPROGRAMS\${TITLE}\${TITLE}.lnk" "$INSTDIR\Updater.exe"
  CreateShortcut "$SMPROGRAMS\${TITLE}\${TITLE} 제거.lnk" "$INSTDIR\Uninstall.exe"
  CreateShortcut "$DESKTOP\${TITLE}.lnk" "$INSTDIR\Updater.exe"
SectionEnd

Section "Uninstall"
  SetShellVarContext all
  Delete "$DESKTOP\${TITLE}.lnk"
  Delete "$SMPROGRAMS\${TITLE}\${TITLE}.lnk"
  Delete "$SMPROGRAMS\${TITLE}\${TITLE} 제거.lnk"
  RMDir "$SMPROGRAMS\${TITLE}"

  SetRegView 32
  DeleteRegKey HKLM "${STORE_KEY}"
  DeleteRegKey /ifempty HKLM "SOFTWARE\${COMPANY}"
  SetRegView 64
  DeleteRegKey HKLM "${UNINSTALL_KEY}"

  ; What the updater remembers of the game folder's files, for the player
  ; who uninstalls.
  SetShellVarContext current
  Delete "$LOCALAPPDATA\${COMPANY}\${PRODUCT}.digests"
  Delete "$LOCALAPPDATA\${COMPANY}\${PRODUCT}.digests.tmp"
  RMDir "$LOCALAPPDATA\${COMPANY}"

  ; The game folder with everything the updater fetched into it: the
  ; installer took it only when it was empty or already the game's.
  ${If} ${FileExists} "$INSTDIR\Uninstall.exe"
    RMDir /r "$INSTDIR"
  ${EndIf}
SectionEnd
