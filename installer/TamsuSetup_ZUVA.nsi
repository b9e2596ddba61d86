; Tamsu ZUVA setup: installs the service, the plug-in and the client library, and removes them again.
; Build: makensis -V2 -DDIST_DIR=<folder of the deliverables> -DOUT_FILE=<setup.exe> TamsuSetup_ZUVA.nsi
; Runs silently with /S; the uninstaller too ("uninstall.exe /S").
Unicode true
RequestExecutionLevel admin
SetCompressor /SOLID lzma

!ifndef DIST_DIR
  !error "DIST_DIR (the folder holding TamsuSerB.exe, Plugin_ZUVA.dll and TamsuVD_ZUVA.dll) is required"
!endif
!ifndef OUT_FILE
  !error "OUT_FILE (the setup program to write) is required"
!endif
!ifndef PRODUCT_VERSION
  !define PRODUCT_VERSION "1.0.0.0"
!endif

!define PRODUCT_NAME "Tamsu ZUVA"
!define PUBLISHER "Varnelle"
!define SERVICE_PROGRAM "TamsuSerB.exe"
!define CLIENT_LIBRARY "TamsuVD_ZUVA.dll"
!define PLUGIN_LIBRARY "Plugin_ZUVA.dll"
!define UNINSTALLER "uninstall.exe"
!define DATA_FOLDER "Data"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Tamsu_ZUVA"
!define VENDOR_KEY "Software\Varnelle"
!define USER_KEY "Software\Varnelle\Tamsu_ZUVA"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define RUN_VALUE "TamsuReg_ZUVA.exe"
!define OWNER_CAPTION "Tamsu ZUVA setup"
!define OWNER_TEXT "Close these programs, then press Retry:"

!addplugindir /x86-unicode "${DIST_DIR}"

Name "${PRODUCT_NAME}"
OutFile "${OUT_FILE}"
; A 32-bit package: on 64-bit Windows $PROGRAMFILES is the 32-bit "Program Files (x86)".
InstallDir "$PROGRAMFILES\Tamsu_ZUVA"
; A reinstall goes where the last installation went (the entry is in the 32-bit view, as read here).
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${PRODUCT_VERSION}"
VIAddVersionKey "ProductName" "${PRODUCT_NAME}"
VIAddVersionKey "CompanyName" "${PUBLISHER}"
VIAddVersionKey "FileDescription" "${PRODUCT_NAME} setup"
VIAddVersionKey "FileVersion" "${PRODUCT_VERSION}"
VIAddVersionKey "ProductVersion" "${PRODUCT_VERSION}"
VIAddVersionKey "LegalCopyright" "${PUBLISHER}"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Var Is64      ; "1" on 64-bit Windows
Var SysVer    ; GetSysVersion's word: "XP", "Vista", "Win7"...

; The plug-in's DeleteRegKey /ifempty only looks for subkeys and would delete a shared key that
; still holds another product's values; it is called only when the key holds no value at all.
!macro DeleteKeyIfEmpty ROOT SUBKEY ID
  ClearErrors
  EnumRegValue $R1 ${ROOT} "${SUBKEY}" 0
  IfErrors ${ID}_unnamed
  StrCmp $R1 "" 0 ${ID}_keep
  ${ID}_unnamed:
  ; An unnamed (default) value enumerates as "" too.
  ClearErrors
  ReadRegStr $R1 ${ROOT} "${SUBKEY}" ""
  IfErrors 0 ${ID}_keep
  ClearErrors
  ReadRegDWORD $R1 ${ROOT} "${SUBKEY}" ""
  IfErrors 0 ${ID}_keep
  Plugin_ZUVA::DeleteRegKey /ifempty /x86 ${ROOT} "${SUBKEY}"
  Goto ${ID}_done
  ${ID}_keep:
  DetailPrint "Kept ${ROOT}\${SUBKEY}: it still holds values"
  ${ID}_done:
!macroend

Section "Tamsu ZUVA" SecMain
  SectionIn RO
  SetShellVarContext all

  ; 1. Another bank's key software windows would hold the key; they go first.
  Plugin_ZUVA::CloseGarbageWindows

  ; 2. An earlier installation: its service stopped and removed, every copy of the program ended,
  ;    so the files below can be replaced.
  IfFileExists "$INSTDIR\${SERVICE_PROGRAM}" 0 no_previous
    DetailPrint "Removing the service of the earlier installation"
    ExecWait '"$INSTDIR\${SERVICE_PROGRAM}" -k -u'
    Plugin_ZUVA::KillProcessWithName "${SERVICE_PROGRAM}"
  no_previous:
  ; One in another folder (/D= given this time) is removed whole by its own uninstaller, run in
  ; place so that it is done before going on; left, its service would keep running the old program.
  SetRegView 32
  ReadRegStr $1 HKLM "${UNINSTALL_KEY}" "InstallLocation"
  SetRegView lastused
  StrCmp $1 "" moved_done
  StrCmp $1 $INSTDIR moved_done
  IfFileExists "$1\${UNINSTALLER}" 0 moved_done
    DetailPrint "Removing the earlier installation in $1"
    ExecWait '"$1\${UNINSTALLER}" /S _?=$1'
    Delete "$1\${UNINSTALLER}"
    RMDir "$1"
  moved_done:

  ; 3. The client library cannot be replaced while a program has it loaded: wait for them to close.
  Plugin_ZUVA::GetDllOwnerProcName "${CLIENT_LIBRARY}" "${OWNER_CAPTION}" "${OWNER_TEXT}"

  ; 4. The system: bitness and version, recorded in the uninstall entry below.
  StrCpy $R0 "0"
  Plugin_ZUVA::IsSupport64
  StrCpy $Is64 $R0
  StrCpy $R0 "unknown"
  Plugin_ZUVA::GetSysVersion
  StrCpy $SysVer $R0
  DetailPrint "64-bit Windows: $Is64; Windows version: $SysVer"
  StrCmp $SysVer "98" 0 version_ok
    MessageBox MB_OK|MB_ICONSTOP "${PRODUCT_NAME} needs Windows 2000 or later." /SD IDOK
    SetErrorLevel 3
    Abort
  version_ok:

  ; 5. The deliverables. Client programs load TamsuVD_ZUVA.dll by its full path from here (the
  ;    uninstall entry's InstallLocation); a copy in the system folder would be shared with, and
  ;    overwritten by, other products and redirected to SysWOW64 on 64-bit Windows.
  SetOutPath "$INSTDIR"
  SetOverwrite on
  ClearErrors
  File "${DIST_DIR}/${SERVICE_PROGRAM}"
  File "${DIST_DIR}/${CLIENT_LIBRARY}"
  File "${DIST_DIR}/${PLUGIN_LIBRARY}"
  IfErrors 0 files_ok
    MessageBox MB_OK|MB_ICONSTOP "The files could not be written to $INSTDIR." /SD IDOK
    SetErrorLevel 4
    Abort
  files_ok:
  WriteUninstaller "$INSTDIR\${UNINSTALLER}"

  ; 6. A folder that low-integrity clients (a protected-mode browser) may write. It lives in the
  ;    install folder: one per machine whichever user installs, and it goes with the package. An
  ;    empty one left by an earlier installation is made again so that it gets the right rights.
  RMDir "$INSTDIR\${DATA_FOLDER}"
  StrCpy $R0 "0"
  Plugin_ZUVA::RWCreate DIR "$INSTDIR\${DATA_FOLDER}"
  DetailPrint "Low-integrity folder $INSTDIR\${DATA_FOLDER} created: $R0"
  IfFileExists "$INSTDIR\${DATA_FOLDER}\*.*" data_ok 0
    MessageBox MB_OK|MB_ICONSTOP "The folder $INSTDIR\${DATA_FOLDER} could not be made." /SD IDOK
    SetErrorLevel 5
    Abort
  data_ok:

  ; 7. The uninstall entry: this 32-bit package's entry belongs in the 32-bit view.
  Plugin_ZUVA::WriteRegStr /x86 HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT_NAME}"
  Plugin_ZUVA::WriteRegStr /x86 HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${PRODUCT_VERSION}"
  Plugin_ZUVA::WriteRegStr /x86 HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  Plugin_ZUVA::WriteRegStr /x86 HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  Plugin_ZUVA::WriteRegStr /x86 HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\${SERVICE_PROGRAM}"
  Plugin_ZUVA::WriteRegStr /x86 HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\${UNINSTALLER}"'
  Plugin_ZUVA::WriteRegStr /x86 HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\${UNINSTALLER}" /S'
  Plugin_ZUVA::WriteRegDWORD /x86 HKLM "${UNINSTALL_KEY}" "NoModify" "1"
  Plugin_ZUVA::WriteRegDWORD /x86 HKLM "${UNINSTALL_KEY}" "NoRepair" "1"
  Plugin_ZUVA::WriteRegStr /x86 HKLM "${UNINSTALL_KEY}" "Is64BitWindows" "$Is64"
  Plugin_ZUVA::WriteRegStr /x86 HKLM "${UNINSTALL_KEY}" "SysVersion" "$SysVer"
  ; The plug-in reports no write failure: the entry is read back.
  SetRegView 32
  ClearErrors
  ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "UninstallString"
  SetRegView lastused
  IfErrors 0 entry_ok
    MessageBox MB_OK|MB_ICONSTOP "The uninstall entry could not be written." /SD IDOK
    SetErrorLevel 6
    Abort
  entry_ok:
  ; HKCU\Software is one key for both views; the 32-bit one is named.
  Plugin_ZUVA::WriteRegDWORD /x86 HKCU "${USER_KEY}" "EnableDesktop" "1"

  ; 8. The key is a smart card: its service must run.
  Plugin_ZUVA::XStartSmartService

  ; 9. The service, installed and started from its new place.
  ClearErrors
  ExecWait '"$INSTDIR\${SERVICE_PROGRAM}" -i -s' $0
  IfErrors service_failed 0
  StrCmp $0 "0" service_ok 0
  service_failed:
    MessageBox MB_OK|MB_ICONSTOP "The service could not be installed (code $0)." /SD IDOK
    SetErrorLevel 7
    Abort
  service_ok:
SectionEnd

; "uninstall.exe /S" copies itself to the temporary folder, returns at once and removes
; everything, itself included. "uninstall.exe /S _?=<install folder>" runs in place and returns
; when done (what a caller that waits needs), but cannot delete itself or its folder.
Section "Uninstall"
  SetShellVarContext all

  ; The service first: stopped and removed, so it no longer restores its Run value.
  IfFileExists "$INSTDIR\${SERVICE_PROGRAM}" 0 +2
    ExecWait '"$INSTDIR\${SERVICE_PROGRAM}" -k -u'
  Plugin_ZUVA::KillProcessWithName "${SERVICE_PROGRAM}"
  ; A client still holding the library would keep its file.
  Plugin_ZUVA::GetDllOwnerProcName "${CLIENT_LIBRARY}" "${OWNER_CAPTION}" "${OWNER_TEXT}"

  Delete "$INSTDIR\${SERVICE_PROGRAM}"
  Delete "$INSTDIR\${CLIENT_LIBRARY}"
  Delete "$INSTDIR\${PLUGIN_LIBRARY}"
  ; What clients wrote there is the package's own.
  RMDir /r "$INSTDIR\${DATA_FOLDER}"

  ; Only this product's value; the shared vendor keys go only when nothing else is left in them.
  Plugin_ZUVA::DeleteRegValue /x86 HKCU "${USER_KEY}" "EnableDesktop"
  !insertmacro DeleteKeyIfEmpty HKCU "${USER_KEY}" user_key
  !insertmacro DeleteKeyIfEmpty HKCU "${VENDOR_KEY}" vendor_key
  Plugin_ZUVA::DeleteRegKey /x86 HKLM "${UNINSTALL_KEY}"
  ; The service wrote its Run value in the 64-bit view on 64-bit Windows. Each view is its own
  ; call: with both named, a value missing from the 64-bit view stops the call before the 32-bit one.
  Plugin_ZUVA::DeleteRegValue /x64 HKLM "${RUN_KEY}" "${RUN_VALUE}"
  Plugin_ZUVA::DeleteRegValue /x86 HKLM "${RUN_KEY}" "${RUN_VALUE}"

  Delete "$INSTDIR\${UNINSTALLER}"
  ; Not /r: a folder the user chose may hold files of their own.
  RMDir "$INSTDIR"
SectionEnd
