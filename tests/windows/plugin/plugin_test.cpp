// The shipped plug-in driven by a real NSIS installer (built by makensis before these tests), run
// silently under Wine. The installer writes each call's $R0 beside itself.
#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "common/win/unique_resource.h"
#include "process/child_process.h"
#include "process/windows_version.h"

namespace tamsu {
namespace {

using testing_support::Is64BitWindows;

using testing_support::ChildProcess;
using testing_support::ProgramFolder;
using testing_support::SysVersionWord;
using testing_support::TrueVersion;

const wchar_t kTestKey[] = L"Software\\TamsuPluginTest";

void DeleteTree(HKEY root, REGSAM view) {
  HKEY raw = nullptr;
  if (RegOpenKeyExW(root, L"Software", 0, KEY_ALL_ACCESS | view, &raw) != ERROR_SUCCESS) return;
  UniqueHKey software(raw);
  RegDeleteKeyW(software.get(), L"TamsuPluginTest\\Sub");  // opened in the view: deletes there
  RegDeleteKeyW(software.get(), L"TamsuPluginTest");
}

struct Value {
  DWORD type = 0;
  std::vector<BYTE> data;
  bool present = false;
};

Value ReadValue(HKEY root, const wchar_t* subKey, const wchar_t* name, REGSAM view) {
  Value value;
  HKEY raw = nullptr;
  if (RegOpenKeyExW(root, subKey, 0, KEY_READ | view, &raw) != ERROR_SUCCESS) return value;
  UniqueHKey key(raw);
  value.data.resize(1024);
  DWORD size = static_cast<DWORD>(value.data.size());
  value.present = RegQueryValueExW(key.get(), name, nullptr, &value.type, value.data.data(), &size) == ERROR_SUCCESS;
  value.data.resize(value.present ? size : 0);
  return value;
}

std::vector<BYTE> Utf16(const wchar_t* text) {
  const BYTE* bytes = reinterpret_cast<const BYTE*>(text);
  return std::vector<BYTE>(bytes, bytes + (wcslen(text) + 1) * sizeof(wchar_t));
}

class PluginInstaller : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
      DeleteTree(HKEY_LOCAL_MACHINE, view);
      DeleteTree(HKEY_CURRENT_USER, view);
    }
    RemoveDirectoryW((ProgramFolder() + L"low_dir").c_str());
    RemoveDirectoryW((ProgramFolder() + L"lower_dir").c_str());
    DeleteFileW((ProgramFolder() + L"low_file.txt").c_str());
    RemoveDirectoryW((ProgramFolder() + L"DIR").c_str());
    DeleteFileW((ProgramFolder() + L"FILE").c_str());
    DeleteFileW((ProgramFolder() + L"plugin_results.txt").c_str());
    ChildProcess installer;
    ASSERT_TRUE(installer.Start(ProgramFolder() + L"plugin_calls_setup.exe", {L"/S"}));
    DWORD code = 1;
    ASSERT_TRUE(installer.Wait(60000, &code)) << "the installer hung";
    EXPECT_EQ(0u, code);
    results_ = testing_support::ReadResultLines(ProgramFolder() + L"plugin_results.txt");
  }

  static std::map<std::string, std::string> results_;
};
std::map<std::string, std::string> PluginInstaller::results_;

TEST_F(PluginInstaller, SystemQueriesAnswerAndLeaveTheStack) {
  ASSERT_EQ("1", results_["end"]) << "the installer did not get through its calls";
  EXPECT_EQ(Is64BitWindows() ? "1" : "0", results_["IsSupport64"]);
  const OSVERSIONINFOEXW version = TrueVersion();
  EXPECT_EQ(SysVersionWord(version), results_["GetSysVersion"])
      << "told " << version.dwMajorVersion << "." << version.dwMinorVersion << " type " << int(version.wProductType);
  EXPECT_EQ("script item", results_["StackKept"]);
}

TEST_F(PluginInstaller, WritesLandInTheChosenViews) {
  EXPECT_EQ("unset", results_["WriteStr32"]) << "a write leaves $R0 alone";
  Value name32 = ReadValue(HKEY_LOCAL_MACHINE, kTestKey, L"Name", KEY_WOW64_32KEY);
  EXPECT_TRUE(name32.present);
  EXPECT_EQ(static_cast<DWORD>(REG_SZ), name32.type);
  EXPECT_EQ(Utf16(L"text"), name32.data) << "10 bytes: four characters and the terminator";
  if (Is64BitWindows()) {
    EXPECT_FALSE(ReadValue(HKEY_LOCAL_MACHINE, kTestKey, L"Name", KEY_WOW64_64KEY).present) << "one view only";
    EXPECT_EQ(Utf16(L"both"), ReadValue(HKEY_LOCAL_MACHINE, kTestKey, L"BothKept", KEY_WOW64_32KEY).data);
    EXPECT_EQ(Utf16(L"both"), ReadValue(HKEY_LOCAL_MACHINE, kTestKey, L"BothKept", KEY_WOW64_64KEY).data);
  } else {
    // One view, and "/x64" is no switch of a write there: taken for the root name, it is unknown.
    EXPECT_FALSE(ReadValue(HKEY_LOCAL_MACHINE, kTestKey, L"Both", KEY_WOW64_32KEY).present);
    EXPECT_EQ("/x86", results_["X64NoSwitchLeft"]) << "the call did not end at \"/x64\"";
  }
  EXPECT_EQ("unset", results_["WriteStrBoth"]);

  Value minus = ReadValue(HKEY_CURRENT_USER, kTestKey, L"Hex", KEY_WOW64_32KEY);
  EXPECT_EQ(static_cast<DWORD>(REG_DWORD), minus.type);
  EXPECT_EQ((std::vector<BYTE>{0, 0, 0, 0}), minus.data) << "0x10 gives 0";
  Value bin = ReadValue(HKEY_CURRENT_USER, kTestKey, L"Bin", KEY_WOW64_32KEY);
  EXPECT_EQ(static_cast<DWORD>(REG_BINARY), bin.type);
  EXPECT_EQ((std::vector<BYTE>{0xAB, 0xC0}), bin.data);
  Value bad = ReadValue(HKEY_CURRENT_USER, kTestKey, L"BadBin", KEY_WOW64_32KEY);
  EXPECT_TRUE(bad.present);
  EXPECT_TRUE(bad.data.empty()) << "a blank in the hexadecimal text gives an empty value";
  EXPECT_EQ(Utf16(L"Echo"), ReadValue(HKEY_CURRENT_USER, kTestKey, L"Echo", KEY_WOW64_32KEY).data)
      << "the value name seen again becomes the data";

  EXPECT_EQ("0", results_["WriteEmpty"]);
  EXPECT_EQ("unset", results_["WriteUnknownRoot"]);
}

TEST_F(PluginInstaller, DeletesReportTheirOutcome) {
  EXPECT_EQ("0", results_["DeleteMissingValue"]);
  EXPECT_EQ("1", results_["DeleteValue"]);
  EXPECT_FALSE(ReadValue(HKEY_CURRENT_USER, kTestKey, L"Minus", KEY_WOW64_32KEY).present);
  EXPECT_EQ("1", results_["DeleteValue64"]) << "also where the 64-bit view is not worked on";
  if (Is64BitWindows()) {
    EXPECT_FALSE(ReadValue(HKEY_LOCAL_MACHINE, kTestKey, L"Both", KEY_WOW64_64KEY).present);
    EXPECT_TRUE(ReadValue(HKEY_LOCAL_MACHINE, kTestKey, L"Both", KEY_WOW64_32KEY).present) << "only the 64-bit view";
  }

  EXPECT_EQ("0", results_["DeleteKeyWithSubkeys"]);
  EXPECT_EQ("1", results_["DeleteKeyIfEmpty"]) << "skipped, and reported as done";
  EXPECT_EQ("1", results_["DeleteKey"]);
  EXPECT_EQ("0", results_["DeleteDryAfterSwitch"]) << "a switch on a dry stack is a parameter error, not a hang";
}

TEST_F(PluginInstaller, LowIntegrityFolderAndFile) {
  EXPECT_EQ("1", results_["CreateDir"]);
  EXPECT_EQ("0", results_["CreateDirAgain"]);
  EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((ProgramFolder() + L"low_dir").c_str()));
  const std::string file = results_["CreateFile"];
  EXPECT_NE(std::string::npos, file.find("low_file.txt")) << "the path as popped: " << file;
  EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((ProgramFolder() + L"low_file.txt").c_str()));
  EXPECT_EQ("unset", results_["CreateLowerCaseMode"]) << "only DIR and FILE in capitals";
  EXPECT_NE(std::string::npos, results_["ModePathLeft"].find("lower_dir")) << "the path is not taken";
  EXPECT_EQ("0", results_["CreateDirNoPath"]);
  EXPECT_EQ("", results_["CreateFileNoPath"]);
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((ProgramFolder() + L"DIR").c_str())) << "the mode became the path";
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((ProgramFolder() + L"FILE").c_str())) << "the mode became the path";
}

}  // namespace
}  // namespace tamsu
