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
; The one version of the package, as every binary's version resource carries it (makensis works
; in the script's folder).
!searchparse /file "../common/version/version.h" '#define TAMSU_VERSION_STRING "' PRODUCT_VERSION '"'

!define PRODUCT_NAME "Tamsu ZUVA"
!define PUBLISHER "Varnelle"
!define SERVICE_PROGRAM "TamsuSerB.exe"
!define SERVICE_NAME "Tamsu Service _ZUVA"
!define SERVICE_KEY "SYSTEM\CurrentControlSet\Services\${SERVICE_NAME}"
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
Var FilesLeft ; files that could be neither replaced or removed now nor at the next restart

; The plug-in's DeleteRegKey /ifempty only looks for subkeys and would delete a shared key that
; still holds another product's values. NSIS's own /ifempty leaves a key with any value or subkey.
!macro DeleteKeyIfEmpty ROOT SUBKEY
  SetRegView 32
  ClearErrors
  DeleteRegKey /ifempty ${ROOT} "${SUBKEY}"
  IfErrors 0 +2
    DetailPrint "Kept ${ROOT}\${SUBKEY}: it still holds values or keys"
  SetRegView lastused
!macroend

; Puts a deliverable extracted beside its place ("NAME.new") in place. One in use (a client holding
; the library) cannot be replaced now; it is replaced at the next restart and the reboot flag says so.
!macro ReplaceFile NAME
  Delete "$INSTDIR\${NAME}"
  ClearErrors
  Rename /REBOOTOK "$INSTDIR\${NAME}.new" "$INSTDIR\${NAME}"
  IfErrors 0 +2
    StrCpy $FilesLeft "$FilesLeft ${NAME}"
!macroend

; Removes a deliverable, now or, when it is in use, at the next restart (the reboot flag says so);
; a replacement still waiting for a restart goes first, or the restart would bring the file back.
!macro RemoveDeliverable NAME
  ClearErrors
  Delete /REBOOTOK "$INSTDIR\${NAME}.new"
  Delete /REBOOTOK "$INSTDIR\${NAME}"
  IfErrors 0 +2
    StrCpy $FilesLeft "$FilesLeft ${NAME}"
!macroend

; Done, but a restart completes the work (files in use are replaced or removed then): the
; installer convention for it, so that deployment tools see it.
!define EXIT_RESTART_REQUIRED 3010

Section "Tamsu ZUVA" SecMain
  SectionIn RO
  SetShellVarContext all

  ; 1. Another bank's key software windows would hold the key; they go first.
  Plugin_ZUVA::CloseGarbageWindows

  ; 2. An earlier installation: its service stopped and removed, every copy of the program ended,
  ;    so the files below can be replaced.
  SetRegView 32
  ReadRegStr $2 HKLM "${UNINSTALL_KEY}" "DisplayVersion"
  SetRegView lastused
  StrCmp $2 "" +2
    DetailPrint "Replacing ${PRODUCT_NAME} $2 with ${PRODUCT_VERSION}"
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
    ExecWait '"$1\${UNINSTALLER}" /S _?=$1' $0
    ; What it could remove only at the next restart makes this installation's restart too.
    StrCmp $0 "${EXIT_RESTART_REQUIRED}" 0 +2
      SetRebootFlag true
    Delete "$1\${UNINSTALLER}"
    RMDir "$1"
  moved_done:

  ; 3. The client library cannot be replaced while a program has it loaded: someone at the screen
  ;    is asked to close them. A silent install never waits for a person (nobody may be there, or
  ;    no desktop at all): what is in use is replaced at the next restart instead (step 5).
  IfSilent +2
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
  File "/oname=$INSTDIR\${SERVICE_PROGRAM}.new" "${DIST_DIR}/${SERVICE_PROGRAM}"
  File "/oname=$INSTDIR\${CLIENT_LIBRARY}.new" "${DIST_DIR}/${CLIENT_LIBRARY}"
  File "/oname=$INSTDIR\${PLUGIN_LIBRARY}.new" "${DIST_DIR}/${PLUGIN_LIBRARY}"
  IfErrors files_failed 0
  StrCpy $FilesLeft ""
  !insertmacro ReplaceFile "${SERVICE_PROGRAM}"
  !insertmacro ReplaceFile "${CLIENT_LIBRARY}"
  !insertmacro ReplaceFile "${PLUGIN_LIBRARY}"
  StrCmp $FilesLeft "" files_ok 0
  files_failed:
    MessageBox MB_OK|MB_ICONSTOP "The files could not be written to $INSTDIR.$FilesLeft" /SD IDOK
    SetErrorLevel 4
    Abort
  files_ok:
  IfRebootFlag 0 +2
    DetailPrint "Files in use are replaced when Windows restarts"
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
  ; HKCU\Software is one key for both views; the 32-bit one is named. An upgrade keeps the
  ; user's own choice; only a missing value gets the default.
  ClearErrors
  ReadRegDWORD $0 HKCU "${USER_KEY}" "EnableDesktop"
  IfErrors 0 enable_desktop_kept
  ClearErrors
  ReadRegStr $0 HKCU "${USER_KEY}" "EnableDesktop"
  IfErrors 0 enable_desktop_kept
    Plugin_ZUVA::WriteRegDWORD /x86 HKCU "${USER_KEY}" "EnableDesktop" "1"
  enable_desktop_kept:

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
  IfRebootFlag 0 +2
    SetErrorLevel ${EXIT_RESTART_REQUIRED}
SectionEnd

; "uninstall.exe /S" copies itself to the temporary folder, returns at once and removes
; everything, itself included. "uninstall.exe /S _?=<install folder>" runs in place and returns
; when done (what a caller that waits needs), but cannot delete itself or its folder.
Section "Uninstall"
  SetShellVarContext all
  StrCpy $FilesLeft ""

  ; The service first: stopped and removed, so it no longer restores its Run value.
  IfFileExists "$INSTDIR\${SERVICE_PROGRAM}" 0 service_removed
    ClearErrors
    ExecWait '"$INSTDIR\${SERVICE_PROGRAM}" -k -u' $0
    IfErrors 0 +2
      StrCpy $0 "not started"
    StrCmp $0 "0" service_removed 0
    DetailPrint "Removing the service ended with $0"
  service_removed:
  Plugin_ZUVA::KillProcessWithName "${SERVICE_PROGRAM}"
  ; A client still holding the library would keep its file: someone at the screen is asked to
  ; close it; a silent uninstall has the file removed at the next restart instead.
  IfSilent +2
    Plugin_ZUVA::GetDllOwnerProcName "${CLIENT_LIBRARY}" "${OWNER_CAPTION}" "${OWNER_TEXT}"

  !insertmacro RemoveDeliverable "${SERVICE_PROGRAM}"
  !insertmacro RemoveDeliverable "${CLIENT_LIBRARY}"
  !insertmacro RemoveDeliverable "${PLUGIN_LIBRARY}"
  ; What clients wrote there is the package's own.
  ClearErrors
  RMDir /r /REBOOTOK "$INSTDIR\${DATA_FOLDER}"
  IfErrors 0 +2
    StrCpy $FilesLeft "$FilesLeft $INSTDIR\${DATA_FOLDER}"

  ; Only this product's value; the shared vendor keys go only when nothing else is left in them.
  Plugin_ZUVA::DeleteRegValue /x86 HKCU "${USER_KEY}" "EnableDesktop"
  !insertmacro DeleteKeyIfEmpty HKCU "${USER_KEY}"
  !insertmacro DeleteKeyIfEmpty HKCU "${VENDOR_KEY}"
  Plugin_ZUVA::DeleteRegKey /x86 HKLM "${UNINSTALL_KEY}"
  ; The service wrote its Run value in the 64-bit view on 64-bit Windows. Each view is its own
  ; call: with both named, a value missing from the 64-bit view stops the call before the 32-bit one.
  Plugin_ZUVA::DeleteRegValue /x64 HKLM "${RUN_KEY}" "${RUN_VALUE}"
  Plugin_ZUVA::DeleteRegValue /x86 HKLM "${RUN_KEY}" "${RUN_VALUE}"

  ; Run in place (_?=) the uninstaller cannot delete itself or its folder; its caller does.
  Delete "$INSTDIR\${UNINSTALLER}"
  ; Not /r: a folder the user chose may hold files of their own.
  IfRebootFlag 0 +3
    RMDir /REBOOTOK "$INSTDIR"
    Goto +2
    RMDir "$INSTDIR"

  ; Nothing left behind silently: the exit code and the log say what remains.
  IfRebootFlag 0 +3
    DetailPrint "Files in use are removed when Windows restarts"
    SetErrorLevel ${EXIT_RESTART_REQUIRED}
  StrCmp $FilesLeft "" files_removed 0
    DetailPrint "Could not be removed:$FilesLeft"
    SetErrorLevel 9
  files_removed:
  ClearErrors
  EnumRegValue $0 HKLM "${SERVICE_KEY}" 0
  IfErrors service_gone 0
    DetailPrint "The service ${SERVICE_NAME} is still registered"
    SetErrorLevel 8
  service_gone:
SectionEnd
