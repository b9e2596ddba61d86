// The shipped browser host (dist/TamsuWebHost.exe) driven as a browser drives it: framed messages
// on its standard input, framed replies on its standard output, its configuration in the registry.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/win/unique_resource.h"
#include "process/child_process.h"

namespace tamsu {
namespace {

using testing_support::DistPath;
using testing_support::ProgramFolder;
using testing_support::ReadText;
using testing_support::TemporaryFileName;

const wchar_t kSettings[] = L"Software\\Varnelle\\Tamsu_ZUVA";
const wchar_t kConfig[] = L"Software\\Varnelle\\Tamsu_ZUVA\\WebHost";
const char kExtension[] = "chrome-extension://angdcfddjpidmdpkdkkpeppabpolhnoj/";

std::string Frame(const std::string& body) {
  const uint32_t length = static_cast<uint32_t>(body.size());
  return std::string(reinterpret_cast<const char*>(&length), 4) + body;
}

struct HostRun {
  DWORD code = 0xBAD0;
  std::vector<std::string> replies;
  bool wholeFrames = true;  // the output is nothing but whole frames
};

// Runs the host with `input` as its standard input (files: a Wine program's output is not read
// through a pipe) and `caller` as the argument a browser gives.
HostRun RunHost(const std::string& caller, const std::string& input) {
  HostRun run;
  const std::wstring inName = TemporaryFileName(L"whi");
  const std::wstring outName = TemporaryFileName(L"who");
  {
    UniqueFileHandle file(CreateFileW(inName.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    WriteFile(file.get(), input.data(), static_cast<DWORD>(input.size()), &written, nullptr);
  }
  {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    UniqueFileHandle in(CreateFileW(inName.c_str(), GENERIC_READ, FILE_SHARE_READ, &inherit, OPEN_EXISTING, 0, nullptr));
    UniqueFileHandle out(CreateFileW(outName.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0,
                                     nullptr));
    std::wstring commandLine = L"\"" + DistPath(L"TamsuWebHost.exe") + L"\" " + std::wstring(caller.begin(), caller.end());
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in.get();
    startup.hStdOutput = out.get();
    startup.hStdError = out.get();
    PROCESS_INFORMATION info = {};
    if (in && out &&
        CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info)) {
      UniqueHandle process(info.hProcess);
      UniqueHandle thread(info.hThread);
      if (WaitForSingleObject(process.get(), 30000) == WAIT_OBJECT_0) {
        GetExitCodeProcess(process.get(), &run.code);
      } else {
        TerminateProcess(process.get(), 0xDEAD);
        WaitForSingleObject(process.get(), 5000);
        run.code = 0xBAD1;
      }
    }
  }
  const std::string output = ReadText(outName);
  size_t at = 0;
  while (output.size() - at >= 4) {
    uint32_t length = 0;
    memcpy(&length, output.data() + at, 4);
    if (output.size() - at - 4 < length) break;
    run.replies.push_back(output.substr(at + 4, length));
    at += 4 + length;
  }
  run.wholeFrames = at == output.size();
  DeleteFileW(inName.c_str());
  DeleteFileW(outName.c_str());
  return run;
}

bool Has(const std::string& reply, const std::string& part) { return reply.find(part) != std::string::npos; }

class WebHostProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    HKEY raw = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, kConfig, 0, nullptr, 0,
                                             KEY_SET_VALUE | KEY_WOW64_32KEY, nullptr, &raw, nullptr));
    UniqueHKey key(raw);
    const wchar_t extensions[] = L"chrome-extension://angdcfddjpidmdpkdkkpeppabpolhnoj/\0";
    const wchar_t origins[] = L"https://bank.example\0";
    RegSetValueExW(key.get(), L"AllowedExtensions", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(extensions),
                   sizeof extensions);
    RegSetValueExW(key.get(), L"AllowedOrigins", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(origins),
                   sizeof origins);
  }
  void TearDown() override {
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kConfig);
    HKEY settings = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kSettings, 0, KEY_SET_VALUE, &settings) == ERROR_SUCCESS) {
      UniqueHKey owned(settings);
      RegDeleteValueW(settings, L"EnableDesktop");
    }
  }
  static void SetPinpad(const std::wstring& library) {
    HKEY raw = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, kConfig, 0, KEY_SET_VALUE | KEY_WOW64_32KEY, &raw));
    UniqueHKey key(raw);
    RegSetValueExW(key.get(), L"PinpadLibrary", 0, REG_SZ, reinterpret_cast<const BYTE*>(library.c_str()),
                   static_cast<DWORD>((library.size() + 1) * sizeof(wchar_t)));
  }
};

TEST_F(WebHostProgram, AnswersEachFrameInOrderAndEndsWithItsInput) {
  const std::string origin = "\"origin\":\"https://bank.example\"";
  const HostRun run = RunHost(kExtension, Frame("") + Frame("not json") +
                                              Frame("{\"id\":1," + origin + ",\"command\":\"version\"}") +
                                              Frame("{\"id\":2,\"origin\":\"https://evil.example\",\"command\":\"version\"}") +
                                              Frame("{\"id\":3," + origin + ",\"command\":\"list\"}"));
  EXPECT_EQ(0u, run.code) << "end of input between messages is a clean end";
  ASSERT_EQ(5u, run.replies.size()) << "one reply per message";
  EXPECT_TRUE(run.wholeFrames);
  EXPECT_TRUE(Has(run.replies[0], "\"bad-request\"") && Has(run.replies[0], "\"id\":null")) << run.replies[0];
  EXPECT_TRUE(Has(run.replies[1], "\"bad-request\"") && Has(run.replies[1], "\"id\":null")) << run.replies[1];
  EXPECT_TRUE(Has(run.replies[2], "\"ok\":true") && Has(run.replies[2], "\"version\":\"1.0.0.0\"") &&
              Has(run.replies[2], "\"protocol\":1") && Has(run.replies[2], "\"id\":1"))
      << run.replies[2];
  EXPECT_TRUE(Has(run.replies[3], "\"origin-not-allowed\"") && Has(run.replies[3], "\"id\":2")) << run.replies[3];
  // No service here: the list says so, with TamsuClient's code.
  EXPECT_TRUE(Has(run.replies[4], "\"no-service\"") && Has(run.replies[4], "\"scard\":2148532253")) << run.replies[4];
}

TEST_F(WebHostProgram, ABrokenStreamEndsTheHostWithOneAndAnUnlistedCallerIsRefusedEverything) {
  HostRun run = RunHost(kExtension, Frame("{\"id\":1,\"origin\":\"https://bank.example\",\"command\":\"version\"}") +
                                        std::string("\x71\x11\x01\x00", 4) + std::string(70001, 'x'));
  EXPECT_EQ(1u, run.code) << "a length above 64 KiB";
  ASSERT_EQ(2u, run.replies.size());
  EXPECT_TRUE(Has(run.replies[1], "\"message-too-large\"") && Has(run.replies[1], "\"id\":null")) << run.replies[1];

  run = RunHost(kExtension, std::string("\x64\x00\x00\x00", 4) + "{\"id\":1");
  EXPECT_EQ(1u, run.code) << "end of input inside a message";
  EXPECT_TRUE(run.replies.empty());

  run = RunHost("chrome-extension://abcdefghijklmnopabcdefghijklmnop/",
                Frame("{\"id\":7,\"origin\":\"https://bank.example\",\"command\":\"version\"}") + Frame("not json"));
  EXPECT_EQ(0u, run.code);
  ASSERT_EQ(2u, run.replies.size());
  for (const std::string& reply : run.replies) EXPECT_TRUE(Has(reply, "\"extension-not-allowed\"")) << reply;
}

// The test pinpad answers with the indicator it was handed, so the result shows that the
// configured library ran the page's entry.
TEST_F(WebHostProgram, APinEntryRunsThroughTheConfiguredPinpadLibraryAndIsUnavailableWhenItDoesNotLoad) {
  const DWORD off = 0;  // the entry on the host's own desktop: no display to make a secure one here
  HKEY settings = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, kSettings, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                           &settings, nullptr));
  UniqueHKey ownedSettings(settings);
  RegSetValueExW(settings, L"EnableDesktop", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&off), sizeof off);
  const std::string pin = Frame(
      "{\"id\":4,\"origin\":\"https://bank.example\",\"command\":\"pin\",\"indicator\":85,\"layout\":4660,"
      "\"keySelector\":1,\"words\":[1,2,3,4]}");
  SetPinpad(ProgramFolder() + L"test_pinpad.dll");
  HostRun run = RunHost(kExtension, pin);
  EXPECT_EQ(0u, run.code);
  ASSERT_EQ(1u, run.replies.size());
  EXPECT_TRUE(Has(run.replies[0], "\"ok\":true") && Has(run.replies[0], "\"result\":85")) << run.replies[0];

  for (const wchar_t* library : {L"no_such_pinpad.dll", L"test_pinpad_partial.dll"}) {
    SetPinpad(ProgramFolder() + library);
    run = RunHost(kExtension, pin);
    ASSERT_EQ(1u, run.replies.size());
    EXPECT_TRUE(Has(run.replies[0], "\"pin-unavailable\"")) << run.replies[0];
  }
}

}  // namespace
}  // namespace tamsu
