; GetDllOwnerProcName, CloseGarbageWindows and XStartSmartService; each $R0 goes beside the installer.
Unicode true
!addplugindir /x86-unicode "${PLUGIN_DIR}"
OutFile "${OUT_FILE}"
RequestExecutionLevel admin
SilentInstall silent

Section
  FileOpen $9 "$EXEDIR\desktop_results.txt" w
  StrCpy $R0 "unset"
  Plugin_ZUVA::GetDllOwnerProcName "tamsu_no_such_module.dll" "Owner Title" "Info text"
  FileWrite $9 "NoOwner=$R0$\r$\n"
  StrCpy $R0 "unset"
  Plugin_ZUVA::GetDllOwnerProcName "TAMSU_OWNER_PROBE.DLL" "Owner Title" "Programs that hold the module:"
  FileWrite $9 "Owner=$R0$\r$\n"
  StrCpy $R0 "unset"
  Plugin_ZUVA::CloseGarbageWindows
  FileWrite $9 "Closed=$R0$\r$\n"
  Plugin_ZUVA::XStartSmartService
  FileWrite $9 "end=1$\r$\n"
  FileClose $9
SectionEnd
