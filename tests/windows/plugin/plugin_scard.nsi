; XStartSmartService alone, with GetTickCount just before and just after the call, beside the installer.
Unicode true
!addplugindir /x86-unicode "${PLUGIN_DIR}"
OutFile "${OUT_FILE}"
RequestExecutionLevel admin
SilentInstall silent

Section
  System::Call "kernel32::GetTickCount() i .r1"
  Plugin_ZUVA::XStartSmartService
  System::Call "kernel32::GetTickCount() i .r2"
  FileOpen $9 "$EXEDIR\scard_results.txt" w
  FileWrite $9 "before=$1$\r$\nafter=$2$\r$\n"
  FileClose $9
SectionEnd
