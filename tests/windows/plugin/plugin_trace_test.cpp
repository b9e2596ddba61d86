// The plug-in's debugger traces, read by running the installer under this test as its debugger.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "process/child_process.h"

namespace tamsu {
namespace {

using testing_support::ProgramFolder;

std::vector<std::string> DebugOutputOf(const std::wstring& program) {
  std::vector<std::string> lines;
  std::wstring commandLine = L"\"" + program + L"\" /S";
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, DEBUG_ONLY_THIS_PROCESS, nullptr,
                      nullptr, &startup, &info)) {
    return lines;
  }
  const DWORD start = GetTickCount();
  for (bool running = true; running && GetTickCount() - start < 60000;) {
    DEBUG_EVENT event = {};
    if (!WaitForDebugEvent(&event, 1000)) continue;
    switch (event.dwDebugEventCode) {
      case OUTPUT_DEBUG_STRING_EVENT: {
        const OUTPUT_DEBUG_STRING_INFO& text = event.u.DebugString;
        std::vector<char> buffer(text.nDebugStringLength + 2, 0);
        SIZE_T read = 0;
        ReadProcessMemory(info.hProcess, text.lpDebugStringData, buffer.data(), text.nDebugStringLength, &read);
        if (text.fUnicode) {
          const wchar_t* wide = reinterpret_cast<const wchar_t*>(buffer.data());
          lines.emplace_back(wide, wide + wcsnlen(wide, read / 2));
        } else {
          lines.emplace_back(buffer.data(), strnlen(buffer.data(), read));
        }
        break;
      }
      case CREATE_PROCESS_DEBUG_EVENT:
        if (event.u.CreateProcessInfo.hFile) CloseHandle(event.u.CreateProcessInfo.hFile);
        break;
      case LOAD_DLL_DEBUG_EVENT:
        if (event.u.LoadDll.hFile) CloseHandle(event.u.LoadDll.hFile);
        break;
      case EXIT_PROCESS_DEBUG_EVENT:
        running = false;
        break;
      default:
        break;
    }
    const DWORD status = event.dwDebugEventCode == EXCEPTION_DEBUG_EVENT ? DBG_EXCEPTION_NOT_HANDLED : DBG_CONTINUE;
    ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
  }
  TerminateProcess(info.hProcess, 1);
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return lines;
}

// True when `expected` occurs in `lines` as consecutive lines.
bool ContainsRun(const std::vector<std::string>& lines, const std::vector<std::string>& expected) {
  for (size_t i = 0; i + expected.size() <= lines.size(); ++i) {
    bool all = true;
    for (size_t j = 0; j < expected.size() && all; ++j) all = lines[i + j] == expected[j];
    if (all) return true;
  }
  return false;
}

std::string Dump(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += "\n  [" + line + "]";
  return text;
}

TEST(PluginTraces, ExactTextsInOrder) {
  RemoveDirectoryW((ProgramFolder() + L"trace_dir").c_str());
  const std::vector<std::string> lines = DebugOutputOf(ProgramFolder() + L"plugin_traces_setup.exe");
  ASSERT_FALSE(lines.empty()) << "no debugger output at all";
  // Each popped argument is traced by the pop and again by the reading loop.
  EXPECT_TRUE(ContainsRun(
      lines, {"/x64", "/x64", "IN /x64", "/ifempty", "/ifempty", "IN /ifempty", "HKCU", "HKCU", "IN 1",
              "Software\\TamsuNoSuchKey", "Software\\TamsuNoSuchKey", "IN 1", "Software\\TamsuNoSuchKey", "/SUB "}))
      << Dump(lines);
  EXPECT_TRUE(ContainsRun(lines, {"Software\\TamsuNoSuchKey", "IN 1", "/over ", "64bit  Reg del ERROR"}))
      << Dump(lines);
  EXPECT_TRUE(
      ContainsRun(lines, {"RegOpenKeyEx 64", "Value", "64bit  Reg open ERROR", "64 Value", "64bit  Reg del ERROR"}))
      << Dump(lines);
  EXPECT_TRUE(ContainsRun(lines, {"", "", "IN para error "})) << Dump(lines);
  EXPECT_TRUE(ContainsRun(lines, {"createD:ret", "1"})) << Dump(lines);
}

}  // namespace
}  // namespace tamsu
