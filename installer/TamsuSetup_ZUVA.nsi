; Tamsu ZUVA setup: installs the service, the plug-in and the client library, and removes them again.
; Build: makensis -V2 -DDIST_DIR=<folder of the deliverables> -DOUT_FILE=<setup.exe> TamsuSetup_ZUVA.nsi
;        (-DPRODUCT_VERSION=a.b.c.d overrides the version read from the sources; -DSIGN_COMMAND=<program>
;        signs the uninstaller; installer/build-installer.sh gives it when a signing key is configured.)
; Options: /S silent, /LOG=<file>, /ALLOWDOWNGRADE, /D=<folder> (last). The uninstaller takes /S
; and /LOG=<file>. Exit codes are those of Windows Installer, which deployment tools understand.
Unicode true
RequestExecutionLevel admin
SetCompressor /SOLID lzma
; The same payload gives the same setup, byte for byte: no file times are stored (the installed
; files carry the time of their installation), so only the files' contents decide.
SetDateSave off

!include LogicLib.nsh
!include FileFunc.nsh
!include WordFunc.nsh

!ifndef DIST_DIR
  !error "DIST_DIR (the folder holding TamsuSerB.exe, Plugin_ZUVA.dll, TamsuVD_ZUVA.dll and setup-aid\) is required"
!endif
!ifndef OUT_FILE
  !error "OUT_FILE (the setup program to write) is required"
!endif
; The one version of the package, as every binary's version resource carries it (makensis works
; in the script's folder).
!ifndef PRODUCT_VERSION
  !searchparse /file "../common/version/version.h" '#define TAMSU_VERSION_STRING "' PRODUCT_VERSION '"'
!endif

!define PRODUCT_NAME "Tamsu ZUVA"
!define PUBLISHER "Varnelle"
!define SERVICE_PROGRAM "TamsuSerB.exe"
; The service's name, as the programs know it.
!searchparse /file "../common/protocol/service_names.h" '#define TAMSU_SERVICE_NAME L"' SERVICE_NAME '"'
!define SERVICE_KEY "SYSTEM\CurrentControlSet\Services\${SERVICE_NAME}"
!define CLIENT_LIBRARY "TamsuVD_ZUVA.dll"
!define PLUGIN_LIBRARY "Plugin_ZUVA.dll"
!define WEB_HOST "TamsuWebHost.exe"
; The health report a support desk asks a customer to run ("TamsuCli status"); it changes nothing.
!define SUPPORT_TOOL "TamsuCli.exe"
!define WEB_HOST_MANIFEST "com.varnelle.tamsu_zuva.json"
!define WEB_HOST_FIREFOX_MANIFEST "com.varnelle.tamsu_zuva.firefox.json"
!define WEB_HOST_CONFIG_KEY "Software\Varnelle\Tamsu_ZUVA\WebHost"
!define UNINSTALLER "uninstall.exe"
!define DATA_FOLDER "Data"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Tamsu_ZUVA"
!define VENDOR_KEY "Software\Varnelle"
!define USER_KEY "Software\Varnelle\Tamsu_ZUVA"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define RUN_VALUE "TamsuReg_ZUVA.exe"
!define OWNER_CAPTION "Tamsu ZUVA setup"
!define OWNER_TEXT "Close these programs, then press Retry:"
!define SETUP_LOG "TamsuSetup_ZUVA.log"
!define UNINSTALL_LOG "TamsuUninstall_ZUVA.log"

; Windows Installer's exit codes.
!define EXIT_RESTART_REQUIRED 3010
!define EXIT_CANCELLED 1602
!define EXIT_FAILED 1603
!define EXIT_ANOTHER_RUN 1618
!define EXIT_NEWER_INSTALLED 1638
!define EXIT_UNSUPPORTED 1633

; How long the service may take to stop and go, and to start and serve.
!define SERVICE_STOP_MS 30000
!define SERVICE_START_MS 30000

!addplugindir /x86-unicode "${DIST_DIR}"
; SIGN_COMMAND (scripts/sign.sh, given when a signing key is configured) signs the uninstaller
; before it is embedded: the setup writes it out as it is, so it must be signed here.
!ifdef SIGN_COMMAND
  !uninstfinalize '"${SIGN_COMMAND}" "%1"' = 0
!endif
!addplugindir /x86-unicode "${DIST_DIR}/setup-aid"

; Each staged file is checked against the hash of what was built into the setup.
!macro DefineHash SYMBOL FILE
  !tempfile HASH_FILE
  !system `h=$(sha256sum < "${DIST_DIR}/${FILE}" | cut -c1-64) && echo "$h" | grep -qE '^[0-9a-f]{64}$' && echo "!define ${SYMBOL} $h" > "${HASH_FILE}"` = 0
  !include "${HASH_FILE}"
  !delfile "${HASH_FILE}"
  !undef HASH_FILE
!macroend
!insertmacro DefineHash HASH_SERVICE_PROGRAM "${SERVICE_PROGRAM}"
!insertmacro DefineHash HASH_CLIENT_LIBRARY "${CLIENT_LIBRARY}"
!insertmacro DefineHash HASH_PLUGIN_LIBRARY "${PLUGIN_LIBRARY}"
!insertmacro DefineHash HASH_WEB_HOST "${WEB_HOST}"
!insertmacro DefineHash HASH_SUPPORT_TOOL "tools/${SUPPORT_TOOL}"

; Applies MACRO (one argument: the file's name) to every file the package installs.
!macro ForEachFile MACRO
  !insertmacro ${MACRO} "${SERVICE_PROGRAM}"
  !insertmacro ${MACRO} "${CLIENT_LIBRARY}"
  !insertmacro ${MACRO} "${PLUGIN_LIBRARY}"
  !insertmacro ${MACRO} "${WEB_HOST}"
  !insertmacro ${MACRO} "${SUPPORT_TOOL}"
  !insertmacro ${MACRO} "${UNINSTALLER}"
!macroend

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

Var Is64        ; "1" on 64-bit Windows
Var SysVer      ; GetSysVersion's word: "XP", "Vista", "Win7"...
Var FilesLeft   ; files that could be neither replaced or removed now nor at the next restart
Var LogHandle   ; the log file, as TamsuSetupAid::OpenLog gave it ("0": none)
Var OldDir      ; the earlier installation's folder, "" when there is none
Var OldVersion  ; its version, "" when unknown
Var MadeFolder  ; "1" when this run made the install folder
Var HadData     ; "1" when the Data folder was there before this run
Var BackedUp    ; "1" once every file of the earlier installation has its ".old" copy

; A step and its outcome: on the progress page and in the log.
!macro Log TEXT
  DetailPrint "${TEXT}"
  TamsuSetupAid::Log "$LogHandle" "${TEXT}"
!macroend
!define Log "!insertmacro Log"

; The run's end: its exit code, in the log too.
!macro ExitWith CODE
  SetErrorLevel ${CODE}
  ${Log} "Exit code ${CODE}"
!macroend

; A failure: said at the screen (not when silent), logged, and the run ends with CODE.
!macro Fail CODE TEXT
  ${Log} "${TEXT}"
  MessageBox MB_OK|MB_ICONSTOP "${TEXT}" /SD IDOK
  !insertmacro ExitWith ${CODE}
  Abort
!macroend

; /LOG=<file> or, by default, NAME in the temporary folder of the user who runs it.
!macro OpenLog NAME GETPARAMETERS GETOPTIONS
  ${GETPARAMETERS} $0
  ClearErrors
  ${GETOPTIONS} $0 "/LOG=" $1
  ${If} ${Errors}
  ${OrIf} $1 == ""
    StrCpy $1 "$TEMP\${NAME}"
  ${EndIf}
  TamsuSetupAid::OpenLog "$1"
  Pop $LogHandle
!macroend

; One run of the setup or the uninstaller at a time, machine-wide.
!macro OneRunAtATime
  TamsuSetupAid::HoldSetupMutex
  Pop $0
  ${If} $0 == "stranger"
    ${Log} "The setup's lock is held by a program of another user; going on without it"
  ${ElseIf} $0 != "ok"
    ${Log} "Another run of the ${PRODUCT_NAME} setup or uninstaller is in progress"
    MessageBox MB_OK|MB_ICONSTOP "Another run of the ${PRODUCT_NAME} setup is in progress." /SD IDOK
    !insertmacro ExitWith ${EXIT_ANOTHER_RUN}
    Abort
  ${EndIf}
!macroend

; The plug-in's DeleteRegKey /ifempty only looks for subkeys and would delete a shared key that
; still holds another product's values. NSIS's own /ifempty leaves a key with any value or subkey.
!macro DeleteKeyIfEmpty ROOT SUBKEY
  SetRegView 32
  ClearErrors
  DeleteRegKey /ifempty ${ROOT} "${SUBKEY}"
  ${If} ${Errors}
    ${Log} "Kept ${ROOT}\${SUBKEY}: it still holds values or keys"
  ${EndIf}
  SetRegView lastused
!macroend

; Removes FOLDER\NAME, now or, when it is in use, at the next restart (the reboot flag says so); a
; replacement still waiting for a restart goes first, or the restart would bring the file back.
!macro RemoveDeliverable FOLDER NAME
  ClearErrors
  Delete /REBOOTOK "${FOLDER}\${NAME}.new"
  Delete /REBOOTOK "${FOLDER}\${NAME}"
  ${If} ${Errors}
    StrCpy $FilesLeft "$FilesLeft ${NAME}"
  ${EndIf}
!macroend

!macro RemoveFromEarlierFolder NAME
  !insertmacro RemoveDeliverable "$OldDir" "${NAME}"
!macroend

; The Data folder, which low-integrity programs write: a link placed in it is removed itself and
; never followed.
!macro RemoveDataFolder FOLDER
  TamsuSetupAid::RemoveTree "${FOLDER}\${DATA_FOLDER}"
  Pop $0
  Pop $1
  ${Log} "Data folder ${FOLDER}\${DATA_FOLDER}: $1"
  ${If} $0 == "reboot"
    SetRebootFlag true
  ${ElseIf} $0 != "ok"
    StrCpy $FilesLeft "$FilesLeft ${FOLDER}\${DATA_FOLDER}"
  ${EndIf}
!macroend

; ---------------------------------------------------------------------------------------------
; Setup

Function .onInit
  StrCpy $LogHandle "0"
  !insertmacro OpenLog "${SETUP_LOG}" "${GetParameters}" "${GetOptions}"
  ${Log} "${PRODUCT_NAME} setup ${PRODUCT_VERSION}"
  !insertmacro OneRunAtATime

  ; The deliverables need Windows XP's NT family at least... as the package always did, the one
  ; refused is what GetSysVersion calls "98".
  StrCpy $R0 "unknown"
  Plugin_ZUVA::GetSysVersion
  StrCpy $SysVer $R0
  ${If} $SysVer == "98"
    ${Log} "This Windows is not supported"
    MessageBox MB_OK|MB_ICONSTOP "${PRODUCT_NAME} needs Windows 2000 or later." /SD IDOK
    !insertmacro ExitWith ${EXIT_UNSUPPORTED}
    Abort
  ${EndIf}

  ; An earlier installation: where it is and which version.
  SetRegView 32
  ReadRegStr $OldVersion HKLM "${UNINSTALL_KEY}" "DisplayVersion"
  ReadRegStr $OldDir HKLM "${UNINSTALL_KEY}" "InstallLocation"
  SetRegView lastused
  ${IfNot} ${FileExists} "$OldDir\${SERVICE_PROGRAM}"
    StrCpy $OldDir ""
  ${EndIf}
  ${If} $OldDir == ""
  ${AndIf} ${FileExists} "$INSTDIR\${SERVICE_PROGRAM}"
    StrCpy $OldDir $INSTDIR
  ${EndIf}
  ${If} $OldDir == ""
    ${Log} "Found: no earlier installation"
  ${Else}
    ${Log} "Found: ${PRODUCT_NAME} $OldVersion in $OldDir"
  ${EndIf}

  ; A newer version is not replaced by an older one unless the administrator asks for it.
  ${If} $OldVersion != ""
    ${VersionCompare} "$OldVersion" "${PRODUCT_VERSION}" $0
    ${If} $0 == 1
      ${GetParameters} $1
      ClearErrors
      ${GetOptions} $1 "/ALLOWDOWNGRADE" $2
      ${If} ${Errors}
        ${Log} "A newer version ($OldVersion) is installed; /ALLOWDOWNGRADE replaces it"
        MessageBox MB_OK|MB_ICONSTOP "${PRODUCT_NAME} $OldVersion, a newer version, is installed." /SD IDOK
        !insertmacro ExitWith ${EXIT_NEWER_INSTALLED}
        Abort
      ${EndIf}
      ${Log} "Replacing the newer version $OldVersion (/ALLOWDOWNGRADE)"
    ${EndIf}
  ${EndIf}
FunctionEnd

Function .onUserAbort
  ${Log} "Cancelled by the user"
  !insertmacro ExitWith ${EXIT_CANCELLED}
FunctionEnd

; Puts every file back as the earlier installation had it, or removes what this run added.
!macro RestoreFile NAME
  Delete "$INSTDIR\${NAME}.new"  ; also voids a replacement waiting for the restart
  ${If} ${FileExists} "$INSTDIR\${NAME}.old"
    ClearErrors
    Delete "$INSTDIR\${NAME}"
    ${If} ${Errors}
      Rename /REBOOTOK "$INSTDIR\${NAME}.old" "$INSTDIR\${NAME}"
    ${Else}
      Rename "$INSTDIR\${NAME}.old" "$INSTDIR\${NAME}"
    ${EndIf}
  ${ElseIf} $BackedUp == "1"
    Delete /REBOOTOK "$INSTDIR\${NAME}"  ; there was none before
  ${EndIf}
!macroend

; The commit failed: the earlier installation comes back as it was, and nothing of this run stays.
Function RollBack
  ${Log} "Rolling back"
  TamsuSetupAid::RemoveService "${SERVICE_NAME}" ${SERVICE_STOP_MS}
  Pop $0
  ${Log} "This run's service removed: $0"
  Plugin_ZUVA::KillProcessWithName "${SERVICE_PROGRAM}"
  !insertmacro ForEachFile RestoreFile
  ${If} $HadData != "1"
    TamsuSetupAid::RemoveTree "$INSTDIR\${DATA_FOLDER}"
    Pop $0
    Pop $1
  ${EndIf}
  ${If} $MadeFolder == "1"
    Delete "$INSTDIR\${WEB_HOST_MANIFEST}"
    Delete "$INSTDIR\${WEB_HOST_FIREFOX_MANIFEST}"
    SetOutPath "$TEMP"
    RMDir "$INSTDIR"
  ${EndIf}
  ${If} $OldDir != ""
    ExecWait '"$OldDir\${SERVICE_PROGRAM}" -i -s'
    TamsuSetupAid::VerifyService "${SERVICE_NAME}" "$OldDir\${SERVICE_PROGRAM}" ${SERVICE_START_MS}
    Pop $0
    ${Log} "The earlier installation's service runs again: $0"
  ${EndIf}
FunctionEnd

; Checks a file staged beside its place; any fault fails the run before anything of the running
; installation is touched.
!macro CheckStaged NAME HASH
  TamsuSetupAid::FileHash "$INSTDIR\${NAME}.new"
  Pop $0
  ${If} $0 != "${HASH}"
    Call RemoveStaged
    !insertmacro Fail ${EXIT_FAILED} "$INSTDIR\${NAME} could not be written (staged copy: $0)"
  ${EndIf}
!macroend

!macro DeleteStaged NAME
  Delete "$INSTDIR\${NAME}.new"
!macroend

Function RemoveStaged
  SetOutPath "$TEMP"  ; a process's working folder cannot be removed
  !insertmacro ForEachFile DeleteStaged
  ${If} $MadeFolder == "1"
    RMDir "$INSTDIR"
  ${EndIf}
FunctionEnd

; The earlier file kept as ".old" until the new installation is proven; a copy, since the file in
; place may be in use.
!macro BackUp NAME
  ${If} ${FileExists} "$INSTDIR\${NAME}"
    ClearErrors
    CopyFiles /SILENT "$INSTDIR\${NAME}" "$INSTDIR\${NAME}.old"
    ${If} ${Errors}
      Call RollBack
      !insertmacro Fail ${EXIT_FAILED} "$INSTDIR\${NAME} could not be kept for a rollback"
    ${EndIf}
  ${EndIf}
!macroend

; Puts a staged file in place. One in use (a client holding the library) cannot be replaced now; it
; is replaced at the next restart and the reboot flag says so.
!macro DeleteKept NAME
  Delete /REBOOTOK "$INSTDIR\${NAME}.old"
!macroend

!macro ReplaceFile NAME
  Delete "$INSTDIR\${NAME}"
  ClearErrors
  Rename /REBOOTOK "$INSTDIR\${NAME}.new" "$INSTDIR\${NAME}"
  ${If} ${Errors}
    StrCpy $FilesLeft "$FilesLeft ${NAME}"
  ${EndIf}
!macroend

Section "Tamsu ZUVA" SecMain
  SectionIn RO
  SetShellVarContext all
  StrCpy $FilesLeft ""
  StrCpy $BackedUp "0"

  ; 1. Another bank's key software windows would hold the key; they go first.
  Plugin_ZUVA::CloseGarbageWindows

  ; 2. The system: bitness and version, recorded in the uninstall entry below.
  StrCpy $R0 "0"
  Plugin_ZUVA::IsSupport64
  StrCpy $Is64 $R0
  ${Log} "64-bit Windows: $Is64; Windows version: $SysVer"

  ; 3. Stage: the folder protected, every new file beside its place and checked. Nothing of the
  ;    running installation is touched yet.
  StrCpy $MadeFolder "0"
  ${IfNot} ${FileExists} "$INSTDIR\*.*"
    StrCpy $MadeFolder "1"
    ${GetParent} "$INSTDIR" $0
    CreateDirectory "$0"
  ${EndIf}
  ; Whatever the folder, only LocalSystem and Administrators may change the programs it holds: the
  ; service runs one as LocalSystem.
  TamsuSetupAid::ProtectFolder "$INSTDIR"
  Pop $0
  ${Log} "Install folder $INSTDIR protected: $0"
  ${If} $0 != "ok"
    Call RemoveStaged
    !insertmacro Fail ${EXIT_FAILED} "The folder $INSTDIR could not be protected: $0"
  ${EndIf}
  StrCpy $HadData "0"
  ${If} ${FileExists} "$INSTDIR\${DATA_FOLDER}\*.*"
    StrCpy $HadData "1"
  ${EndIf}
  SetOutPath "$INSTDIR"
  SetOverwrite on
  File "/oname=$INSTDIR\${SERVICE_PROGRAM}.new" "${DIST_DIR}/${SERVICE_PROGRAM}"
  File "/oname=$INSTDIR\${CLIENT_LIBRARY}.new" "${DIST_DIR}/${CLIENT_LIBRARY}"
  File "/oname=$INSTDIR\${PLUGIN_LIBRARY}.new" "${DIST_DIR}/${PLUGIN_LIBRARY}"
  File "/oname=$INSTDIR\${WEB_HOST}.new" "${DIST_DIR}/${WEB_HOST}"
  File "/oname=$INSTDIR\${SUPPORT_TOOL}.new" "${DIST_DIR}/tools/${SUPPORT_TOOL}"
  WriteUninstaller "$INSTDIR\${UNINSTALLER}.new"
  !insertmacro CheckStaged "${SERVICE_PROGRAM}" "${HASH_SERVICE_PROGRAM}"
  !insertmacro CheckStaged "${CLIENT_LIBRARY}" "${HASH_CLIENT_LIBRARY}"
  !insertmacro CheckStaged "${PLUGIN_LIBRARY}" "${HASH_PLUGIN_LIBRARY}"
  !insertmacro CheckStaged "${WEB_HOST}" "${HASH_WEB_HOST}"
  !insertmacro CheckStaged "${SUPPORT_TOOL}" "${HASH_SUPPORT_TOOL}"
  TamsuSetupAid::FileHash "$INSTDIR\${UNINSTALLER}.new"
  Pop $0
  ${If} $0 == ""
    Call RemoveStaged
    !insertmacro Fail ${EXIT_FAILED} "The uninstaller could not be written to $INSTDIR"
  ${EndIf}
  ${Log} "Staged and checked: ${SERVICE_PROGRAM}, ${CLIENT_LIBRARY}, ${PLUGIN_LIBRARY}, ${WEB_HOST}, ${SUPPORT_TOOL}, ${UNINSTALLER}"

  ; 4. The client library cannot be replaced while a program has it loaded: someone at the screen
  ;    is asked to close them. A silent install never waits for a person (nobody may be there, or
  ;    no desktop at all): what is in use is replaced at the next restart instead.
  ${IfNot} ${Silent}
    Plugin_ZUVA::GetDllOwnerProcName "${CLIENT_LIBRARY}" "${OWNER_CAPTION}" "${OWNER_TEXT}"
  ${EndIf}

  ; 5. Commit: the earlier service stopped, its monitor ended and the service gone (whichever
  ;    folder it ran from), every copy of the program ended.
  TamsuSetupAid::RemoveService "${SERVICE_NAME}" ${SERVICE_STOP_MS}
  Pop $0
  ${Log} "Earlier service stopped and removed: $0"
  ${If} $0 != "ok"
    Call RollBack
    !insertmacro Fail ${EXIT_FAILED} "The earlier service could not be removed: $0"
  ${EndIf}
  Plugin_ZUVA::KillProcessWithName "${SERVICE_PROGRAM}"

  ; 6. The files swapped, the earlier ones kept until the new service is proven.
  !insertmacro ForEachFile BackUp
  StrCpy $BackedUp "1"
  !insertmacro ForEachFile ReplaceFile
  ${If} $FilesLeft != ""
  ${OrIf} ${FileExists} "$INSTDIR\${SERVICE_PROGRAM}.new"  ; the service must run the new program now
    Call RollBack
    !insertmacro Fail ${EXIT_FAILED} "The files could not be written to $INSTDIR:$FilesLeft"
  ${EndIf}
  ${If} ${RebootFlag}
    ${Log} "Files in use are replaced when Windows restarts"
  ${EndIf}
  ${Log} "Files in place"

  ; 7. A folder that low-integrity clients (a protected-mode browser) may write. It lives in the
  ;    install folder: one per machine whichever user installs, and it goes with the package. An
  ;    empty one left by an earlier installation is made again so that it gets the right rights.
  RMDir "$INSTDIR\${DATA_FOLDER}"
  StrCpy $R0 "0"
  Plugin_ZUVA::RWCreate DIR "$INSTDIR\${DATA_FOLDER}"
  ${Log} "Low-integrity folder $INSTDIR\${DATA_FOLDER} created: $R0"
  ${IfNot} ${FileExists} "$INSTDIR\${DATA_FOLDER}\*.*"
    Call RollBack
    !insertmacro Fail ${EXIT_FAILED} "The folder $INSTDIR\${DATA_FOLDER} could not be made."
  ${EndIf}

  ; 8. The key is a smart card: its service must run.
  Plugin_ZUVA::XStartSmartService

  ; 9. The service, installed and started from its new place, and proven through the service
  ;    control manager and the client library: the program's own exit status says nothing of it.
  ClearErrors
  ExecWait '"$INSTDIR\${SERVICE_PROGRAM}" -i -s' $0
  ${If} ${Errors}
    StrCpy $0 "not started"
  ${EndIf}
  ${Log} "${SERVICE_PROGRAM} -i -s: $0"
  TamsuSetupAid::VerifyService "${SERVICE_NAME}" "$INSTDIR\${SERVICE_PROGRAM}" ${SERVICE_START_MS}
  Pop $0
  ${Log} "Service registered, running and serving: $0"
  ${If} $0 != "ok"
    Call RollBack
    !insertmacro Fail ${EXIT_FAILED} "The service could not be installed: $0"
  ${EndIf}

  ; 10. The browsers' native-messaging host: its configuration (/WEBEXTENSIONS=, /WEBORIGINS=,
  ;     /PINPAD=; an option not given keeps the machine's value, so an upgrade keeps the lists),
  ;     its manifests and the keys through which Chrome, Edge and Firefox find them.
  TamsuSetupAid::RegisterWebHost "$INSTDIR"
  Pop $0
  ${Log} "Web host registered for the browsers: $0"
  ${If} $0 != "ok"
    Call RollBack
    !insertmacro Fail ${EXIT_FAILED} "The web host could not be registered: $0"
  ${EndIf}

  ; 11. The uninstall entry: this 32-bit package's entry belongs in the 32-bit view. The
  ;     uninstaller runs in place (_?=), so that whoever runs these strings waits for its end.
  Plugin_ZUVA::WriteRegStr /x86 HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT_NAME}"
  Plugin_ZUVA::WriteRegStr /x86 HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${PRODUCT_VERSION}"
  Plugin_ZUVA::WriteRegStr /x86 HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  Plugin_ZUVA::WriteRegStr /x86 HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  Plugin_ZUVA::WriteRegStr /x86 HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\${SERVICE_PROGRAM}"
  Plugin_ZUVA::WriteRegStr /x86 HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\${UNINSTALLER}" _?=$INSTDIR'
  Plugin_ZUVA::WriteRegStr /x86 HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\${UNINSTALLER}" /S _?=$INSTDIR'
  Plugin_ZUVA::WriteRegDWORD /x86 HKLM "${UNINSTALL_KEY}" "NoModify" "1"
  Plugin_ZUVA::WriteRegDWORD /x86 HKLM "${UNINSTALL_KEY}" "NoRepair" "1"
  Plugin_ZUVA::WriteRegStr /x86 HKLM "${UNINSTALL_KEY}" "Is64BitWindows" "$Is64"
  Plugin_ZUVA::WriteRegStr /x86 HKLM "${UNINSTALL_KEY}" "SysVersion" "$SysVer"
  ; The plug-in reports no write failure: the entry is read back.
  SetRegView 32
  ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "InstallLocation"
  ReadRegStr $1 HKLM "${UNINSTALL_KEY}" "DisplayVersion"
  SetRegView lastused
  ${If} $0 != $INSTDIR
  ${OrIf} $1 != "${PRODUCT_VERSION}"
    Call RollBack
    ; The earlier entry, where there was one, is written back as it was.
    ${If} $OldDir != ""
      Plugin_ZUVA::WriteRegStr /x86 HKLM "${UNINSTALL_KEY}" "InstallLocation" "$OldDir"
      Plugin_ZUVA::WriteRegStr /x86 HKLM "${UNINSTALL_KEY}" "DisplayVersion" "$OldVersion"
    ${EndIf}
    !insertmacro Fail ${EXIT_FAILED} "The uninstall entry could not be written."
  ${EndIf}
  ${Log} "Uninstall entry written"

  ; HKCU\Software is one key for both views; the 32-bit one is named. An upgrade keeps the
  ; user's own choice; only a missing value gets the default.
  ClearErrors
  ReadRegDWORD $0 HKCU "${USER_KEY}" "EnableDesktop"
  ${If} ${Errors}
    ClearErrors
    ReadRegStr $0 HKCU "${USER_KEY}" "EnableDesktop"
    ${If} ${Errors}
      Plugin_ZUVA::WriteRegDWORD /x86 HKCU "${USER_KEY}" "EnableDesktop" "1"
    ${EndIf}
  ${EndIf}

  ; 12. The new installation is proven: the kept copies go, and an earlier installation in another
  ;     folder goes whole. Its uninstaller is not run: it would remove the service now running
  ;     from here and the user's settings.
  !insertmacro ForEachFile DeleteKept
  ${If} $OldDir != ""
  ${AndIf} $OldDir != $INSTDIR
    ${Log} "Removing the earlier installation in $OldDir"
    !insertmacro ForEachFile RemoveFromEarlierFolder
    !insertmacro RemoveDeliverable "$OldDir" "${WEB_HOST_MANIFEST}"
    !insertmacro RemoveDeliverable "$OldDir" "${WEB_HOST_FIREFOX_MANIFEST}"
    !insertmacro RemoveDataFolder "$OldDir"
    ${If} ${RebootFlag}
      RMDir /REBOOTOK "$OldDir"
    ${Else}
      RMDir "$OldDir"
    ${EndIf}
    ${If} $FilesLeft != ""
      ${Log} "Left of the earlier installation:$FilesLeft"
    ${EndIf}
  ${EndIf}

  ${Log} "${PRODUCT_NAME} ${PRODUCT_VERSION} installed in $INSTDIR"
  ${If} ${RebootFlag}
    ${Log} "Done; Windows must restart to complete the installation"
    !insertmacro ExitWith ${EXIT_RESTART_REQUIRED}
  ${Else}
    !insertmacro ExitWith 0
  ${EndIf}
SectionEnd

; ---------------------------------------------------------------------------------------------
; Uninstaller. The registered strings run it in place (_?=): it returns when it is done, and then
; moves itself out of its folder (it goes at the next restart) so that the folder goes too.
; "uninstall.exe /S" alone copies itself to the temporary folder and returns at once, as every
; NSIS uninstaller does.

Function un.onInit
  StrCpy $LogHandle "0"
  !insertmacro OpenLog "${UNINSTALL_LOG}" "${un.GetParameters}" "${un.GetOptions}"
  SetRegView 32
  ReadRegStr $OldVersion HKLM "${UNINSTALL_KEY}" "DisplayVersion"
  SetRegView lastused
  ${Log} "${PRODUCT_NAME} uninstaller ${PRODUCT_VERSION}; found: $OldVersion in $INSTDIR"
  !insertmacro OneRunAtATime
FunctionEnd

Function un.onUserAbort
  ${Log} "Cancelled by the user"
  !insertmacro ExitWith ${EXIT_CANCELLED}
FunctionEnd

Section "Uninstall"
  SetShellVarContext all
  StrCpy $FilesLeft ""

  ; The service first: stopped, its monitor ended, and gone, so that it no longer restores its
  ; Run value.
  TamsuSetupAid::RemoveService "${SERVICE_NAME}" ${SERVICE_STOP_MS}
  Pop $0
  ${Log} "Service stopped and removed: $0"
  Plugin_ZUVA::KillProcessWithName "${SERVICE_PROGRAM}"
  ; A client still holding the library would keep its file: someone at the screen is asked to
  ; close it; a silent uninstall has the file removed at the next restart instead.
  ${IfNot} ${Silent}
    Plugin_ZUVA::GetDllOwnerProcName "${CLIENT_LIBRARY}" "${OWNER_CAPTION}" "${OWNER_TEXT}"
  ${EndIf}

  !insertmacro RemoveDeliverable "$INSTDIR" "${SERVICE_PROGRAM}"
  !insertmacro RemoveDeliverable "$INSTDIR" "${CLIENT_LIBRARY}"
  !insertmacro RemoveDeliverable "$INSTDIR" "${PLUGIN_LIBRARY}"
  !insertmacro RemoveDeliverable "$INSTDIR" "${WEB_HOST}"
  !insertmacro RemoveDeliverable "$INSTDIR" "${SUPPORT_TOOL}"
  ${Log} "Files removed"
  ; The browsers' registrations of the web host, its configuration and its manifests.
  TamsuSetupAid::UnregisterWebHost "$INSTDIR"
  Pop $0
  ${Log} "Web host unregistered: $0"
  ${If} $0 != "ok"
    StrCpy $FilesLeft "$FilesLeft $0"
  ${EndIf}
  ; What clients wrote there is the package's own.
  !insertmacro RemoveDataFolder "$INSTDIR"

  ; Only this product's value; the shared vendor keys go only when nothing else is left in them.
  Plugin_ZUVA::DeleteRegValue /x86 HKCU "${USER_KEY}" "EnableDesktop"
  !insertmacro DeleteKeyIfEmpty HKCU "${USER_KEY}"
  !insertmacro DeleteKeyIfEmpty HKCU "${VENDOR_KEY}"
  Plugin_ZUVA::DeleteRegKey /x86 HKLM "${UNINSTALL_KEY}"
  ; The service wrote its Run value in the 64-bit view on 64-bit Windows. Each view is its own
  ; call: with both named, a value missing from the 64-bit view stops the call before the 32-bit one.
  Plugin_ZUVA::DeleteRegValue /x64 HKLM "${RUN_KEY}" "${RUN_VALUE}"
  Plugin_ZUVA::DeleteRegValue /x86 HKLM "${RUN_KEY}" "${RUN_VALUE}"
  ${Log} "Registry entries removed"

  ; Run in place, the uninstaller leaves its folder; run from its copy, its own file is removed.
  ${If} $EXEDIR == $INSTDIR
    TamsuSetupAid::MoveSelfAway "$EXEPATH" "$INSTDIR"
    Pop $0
    ${Log} "Uninstaller moved out of its folder: $0"
    ${If} $0 != "ok"
      Delete /REBOOTOK "$EXEPATH"
    ${EndIf}
  ${Else}
    Delete /REBOOTOK "$INSTDIR\${UNINSTALLER}"
  ${EndIf}
  ; Not /r: a folder the user chose may hold files of their own. No process may work in it.
  SetOutPath "$TEMP"
  ${If} ${RebootFlag}
    RMDir /REBOOTOK "$INSTDIR"
  ${Else}
    RMDir "$INSTDIR"
  ${EndIf}

  ; Nothing left behind silently: the exit code and the log say what remains.
  ClearErrors
  EnumRegValue $0 HKLM "${SERVICE_KEY}" 0
  ${IfNot} ${Errors}
    ${Log} "The service ${SERVICE_NAME} is still registered"
    !insertmacro ExitWith ${EXIT_FAILED}
  ${ElseIf} $FilesLeft != ""
    ${Log} "Could not be removed, even at the next restart:$FilesLeft"
    !insertmacro ExitWith ${EXIT_FAILED}
  ${ElseIf} ${RebootFlag}
    ${Log} "Files in use are removed when Windows restarts"
    !insertmacro ExitWith ${EXIT_RESTART_REQUIRED}
  ${Else}
    ${Log} "${PRODUCT_NAME} removed"
    !insertmacro ExitWith 0
  ${EndIf}
SectionEnd
