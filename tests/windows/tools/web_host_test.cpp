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
using testing_support::KeySim;
using testing_support::ProgramFolder;
using testing_support::ProgramRun;
using testing_support::RunProgramWithOutput;

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

// Runs the host with `input` as its standard input and `caller` as the argument a browser gives.
HostRun RunHost(const std::string& caller, const std::string& input) {
  const ProgramRun ran =
      RunProgramWithOutput(DistPath(L"TamsuWebHost.exe"), {std::wstring(caller.begin(), caller.end())}, 30000, &input);
  HostRun run;
  run.code = ran.code;
  const std::string& output = ran.out;
  size_t at = 0;
  while (output.size() - at >= 4) {
    uint32_t length = 0;
    memcpy(&length, output.data() + at, 4);
    if (output.size() - at - 4 < length) break;
    run.replies.push_back(output.substr(at + 4, length));
    at += 4 + length;
  }
  run.wholeFrames = at == output.size() && ran.err.empty();
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
    const wchar_t origins[] = L"https://bank.example\0https://other.example\0";
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

// The real client library in the host, against keys served on the real pipes: each command, and a
// handle that only the origin which opened it can use.
TEST_F(WebHostProgram, ReachesAServedKeyAndKeepsEachHandleToTheOriginThatOpenedIt) {
  const std::string path = "\\\\?\\usbstor#cdrom&ven_varnelle&prod_tamsu_zuva&rev_1.00#0042#{web}";
  KeySim sim({L"--path", std::wstring(path.begin(), path.end()), L"--answer", L"status"});
  ASSERT_TRUE(SetEnvironmentVariableW(L"TAMSU_ALLOW_ANY_SERVER", L"1"));  // TamsuKeySim is not the service
  std::string json;  // the path as a JSON string
  for (char c : path) json += c == '\\' ? "\\\\" : std::string(1, c);
  const auto request = [](int id, const char* origin, const std::string& rest) {
    return Frame("{\"id\":" + std::to_string(id) + ",\"origin\":\"https://" + origin + ".example\"," + rest + "}");
  };
  const HostRun run = RunHost(
      kExtension, request(1, "bank", "\"command\":\"list\"") +
                      request(2, "bank", "\"command\":\"connect\",\"path\":\"" + json + "\"") +
                      request(3, "bank", "\"command\":\"transmit\",\"handle\":1,\"apdu\":\"00a4040000\"") +
                      request(4, "other", "\"command\":\"transmit\",\"handle\":1,\"apdu\":\"00\"") +
                      request(5, "other", "\"command\":\"disconnect\",\"handle\":1") +
                      request(6, "bank", "\"command\":\"disconnect\",\"handle\":1") +
                      request(7, "bank", "\"command\":\"transmit\",\"handle\":1,\"apdu\":\"00\"") +
                      request(8, "bank", "\"command\":\"connect\",\"path\":\"" + json + "x\"") +
                      request(9, "other", "\"command\":\"connect\",\"path\":\"" + json + "\""));
  SetEnvironmentVariableW(L"TAMSU_ALLOW_ANY_SERVER", nullptr);
  EXPECT_EQ(0u, run.code);
  ASSERT_EQ(9u, run.replies.size());
  const std::vector<std::string> expected = {"\"keys\":[\"" + json + "\"]",
                                             "\"handle\":1",
                                             "\"answer\":\"9000\"",
                                             "\"unknown-handle\"",
                                             "\"unknown-handle\"",
                                             "\"ok\":true",
                                             "\"unknown-handle\"",
                                             "\"unknown-reader\"",
                                             "\"handle\":2"};  // the key is free again; no handle is reused
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_TRUE(Has(run.replies[i], expected[i])) << run.replies[i];
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
