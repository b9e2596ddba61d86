; Calls whose debugger traces the test reads: it runs this installer as a debugger.
Unicode true
!addplugindir /x86-unicode "${PLUGIN_DIR}"
OutFile "${OUT_FILE}"
RequestExecutionLevel admin
SilentInstall silent

Section
  Plugin_ZUVA::DeleteRegKey /x64 /ifempty HKCU "Software\TamsuNoSuchKey"
  Plugin_ZUVA::DeleteRegValue /x64 HKCU "Software\TamsuNoSuchKey" "Value"
  Plugin_ZUVA::WriteRegStr /x86 HKCU "Software\TamsuTraceTest" "Name" ""
  Plugin_ZUVA::RWCreate DIR "$EXEDIR\trace_dir"
SectionEnd
