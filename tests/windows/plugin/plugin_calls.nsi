; Drives every export of the plug-in from a real installer and writes each $R0 to a results file
; beside the installer, one "name=value" line per call.
Unicode true
!addplugindir /x86-unicode "${PLUGIN_DIR}"
OutFile "${OUT_FILE}"
RequestExecutionLevel admin
SilentInstall silent

!macro Result NAME
  FileWrite $9 "${NAME}=$R0$\r$\n"
  StrCpy $R0 "unset"
!macroend

Section
  FileOpen $9 "$EXEDIR\plugin_results.txt" w
  StrCpy $R0 "unset"

  Plugin_ZUVA::IsSupport64
  StrCpy $7 $R0
  !insertmacro Result IsSupport64
  Plugin_ZUVA::GetSysVersion
  !insertmacro Result GetSysVersion

  Push "script item"
  Plugin_ZUVA::IsSupport64
  Pop $8
  FileWrite $9 "StackKept=$8$\r$\n"
  StrCpy $R0 "unset"

  Plugin_ZUVA::WriteRegStr /x86 HKLM "Software\TamsuPluginTest" "Name" "text"
  !insertmacro Result WriteStr32
  Plugin_ZUVA::WriteRegStr /x64 /x86 HKLM "Software\TamsuPluginTest" "Both" "both"
  !insertmacro Result WriteStrBoth
  StrCmp $7 "1" 0 one_view
    Plugin_ZUVA::WriteRegStr /x86 /x64 HKLM "Software\TamsuPluginTest" "BothKept" "both"
    Goto views_done
  one_view:
    ; "/x64" is no switch of a write here: taken for the root name it is unknown, and the call
    ; ends at it, leaving the rest of its arguments on the stack.
    Pop $8
    FileWrite $9 "X64NoSwitchLeft=$8$\r$\n"
    Pop $8
    Pop $8
    Pop $8
    Pop $8
  views_done:
  Plugin_ZUVA::WriteRegDWORD /x86 HKCU "Software\TamsuPluginTest" "Minus" "-1"
  !insertmacro Result WriteDword
  Plugin_ZUVA::WriteRegDWORD /x86 HKCU "Software\TamsuPluginTest" "Hex" "0x10"
  !insertmacro Result WriteDwordHex
  Plugin_ZUVA::WriteRegBin /x86 HKCU "Software\TamsuPluginTest" "Bin" "ABC"
  !insertmacro Result WriteBin
  Plugin_ZUVA::WriteRegBin /x86 HKCU "Software\TamsuPluginTest" "BadBin" "0A 1B"
  !insertmacro Result WriteBadBin
  Plugin_ZUVA::WriteRegStr /x86 HKCU "Software\TamsuPluginTest" "Echo"
  !insertmacro Result WriteEcho
  Plugin_ZUVA::WriteRegStr /x86 HKCU "" "Name" "text"
  !insertmacro Result WriteEmpty
  Plugin_ZUVA::WriteRegStr /x86 HKEY_NOWHERE "Software\TamsuPluginTest" "Name" "text"
  !insertmacro Result WriteUnknownRoot

  Plugin_ZUVA::DeleteRegValue /x86 HKCU "Software\TamsuPluginTest" "Missing"
  !insertmacro Result DeleteMissingValue
  Plugin_ZUVA::DeleteRegValue /x86 HKCU "Software\TamsuPluginTest" "Minus"
  !insertmacro Result DeleteValue
  Plugin_ZUVA::DeleteRegValue /x64 HKLM "Software\TamsuPluginTest" "Both"
  !insertmacro Result DeleteValue64

  Plugin_ZUVA::WriteRegStr /x86 HKCU "Software\TamsuPluginTest\Sub" "Child" "c"
  Plugin_ZUVA::DeleteRegKey /x86 HKCU "Software\TamsuPluginTest"
  !insertmacro Result DeleteKeyWithSubkeys
  Plugin_ZUVA::DeleteRegKey /ifempty /x86 HKCU "Software\TamsuPluginTest"
  !insertmacro Result DeleteKeyIfEmpty
  Plugin_ZUVA::DeleteRegKey /x86 HKCU "Software\TamsuPluginTest\Sub"
  !insertmacro Result DeleteKey
  Plugin_ZUVA::DeleteRegKey HKCU "Software\TamsuPluginTest\None" /x86
  !insertmacro Result DeleteDryAfterSwitch

  Plugin_ZUVA::RWCreate DIR "$EXEDIR\low_dir"
  !insertmacro Result CreateDir
  Plugin_ZUVA::RWCreate DIR "$EXEDIR\low_dir"
  !insertmacro Result CreateDirAgain
  Plugin_ZUVA::RWCreate FILE "$EXEDIR\low_file.txt"
  !insertmacro Result CreateFile
  Plugin_ZUVA::RWCreate dir "$EXEDIR\lower_dir"
  !insertmacro Result CreateLowerCaseMode
  Pop $8
  FileWrite $9 "ModePathLeft=$8$\r$\n"
  ; A mode and a dry stack: nothing may be made under the mode's own name in the current folder.
  SetOutPath "$EXEDIR"
  Plugin_ZUVA::RWCreate DIR
  !insertmacro Result CreateDirNoPath
  Plugin_ZUVA::RWCreate FILE
  !insertmacro Result CreateFileNoPath

  FileWrite $9 "end=1$\r$\n"
  FileClose $9
SectionEnd
