; FindProc and KillProcessWithName against the target processes the test started.
Unicode true
!addplugindir /x86-unicode "${PLUGIN_DIR}"
OutFile "${OUT_FILE}"
RequestExecutionLevel admin
SilentInstall silent

!macro Find NAME ARG
  StrCpy $R0 "unset"
  Plugin_ZUVA::FindProc "${ARG}"
  FileWrite $9 "${NAME}=$R0$\r$\n"
!macroend

Section
  FileOpen $9 "$EXEDIR\process_results.txt" w
  !insertmacro Find Running "tamsu_target.exe"
  !insertmacro Find Upper "TAMSU_TARGET.EXE"
  !insertmacro Find WithFolder "C:\windows\tamsu_target.exe"
  !insertmacro Find Missing "tamsu_nosuch.exe"
  !insertmacro Find Empty ""
  !insertmacro Find Long "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"
  !insertmacro Find Longest "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"
  !insertmacro Find Installer "plugin_processes_setup.exe"
  !insertmacro Find Unknown "unknown"
  Plugin_ZUVA::KillProcessWithName "C:\windows\tamsu_target.exe"
  !insertmacro Find AfterKillWithFolder "tamsu_target.exe"
  Plugin_ZUVA::KillProcessWithName "TAMSU_TARGET.exe"
  Sleep 500
  !insertmacro Find AfterKill "tamsu_target.exe"
  FileWrite $9 "end=1$\r$\n"
  FileClose $9
SectionEnd
