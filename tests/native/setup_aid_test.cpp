// The setup aid's Windows-free pieces: options as administrators write them, and the browsers'
// host manifests.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>

#include "installer/aid/command_line_option.h"
#include "installer/aid/web_host_registration.h"

namespace tamsu {
namespace setup {
namespace {

std::wstring Option(const std::wstring& commandLine, const std::wstring& name) {
  std::wstring value = L"<untouched>";
  return FindOption(commandLine, name, &value) ? value : L"<absent>";
}

TEST(SetupOptions, UrlsPathsAndListsAreReadWhole) {
  const std::wstring line =
      L"\"C:\\x\\TamsuSetup_ZUVA.exe\" /S /webOrigins=https://bank.example, https://www.bank.example:8443 "
      L"/PINPAD=\"C:\\Pads and more\\pad.dll\" /WEBEXTENSIONS= /D=C:\\Tamsu";
  EXPECT_EQ(L"https://bank.example, https://www.bank.example:8443", Option(line, L"/WEBORIGINS="));
  EXPECT_EQ(L"C:\\Pads and more\\pad.dll", Option(line, L"/PINPAD="));
  EXPECT_EQ(L"", Option(line, L"/WEBEXTENSIONS=")) << "given empty is not absent: it clears the list";
  EXPECT_EQ(L"<absent>", Option(line, L"/LOG="));
  // Part of another word, or a value's text, is no option.
  EXPECT_EQ(L"<absent>", Option(L"a /XWEBORIGINS=https://x /PINPAD=p/WEBORIGINS=y", L"/WEBORIGINS="));
  EXPECT_EQ(L"unclosed value", Option(L"/PINPAD=\"unclosed value", L"/PINPAD="));
  EXPECT_EQ(L"last", Option(L"/PINPAD=last   ", L"/PINPAD="));
  // Long lines of blanks stay cheap (no quadratic look-ahead).
  EXPECT_EQ(L"v" + std::wstring(30000, L' ') + L"w", Option(L"/PINPAD=v" + std::wstring(30000, L' ') + L"w", L"/PINPAD="));
}

TEST(WebHostManifests, EachBrowserNamesOnlyItsOwnExtensionsInValidJson) {
  EXPECT_EQ((std::vector<std::wstring>{L"a", L"b c", L"d"}), SplitList(L" a,b c ,, d,"));
  EXPECT_TRUE(SplitList(L" , ").empty());

  const std::vector<std::wstring> extensions = {L"chrome-extension://abcdefghijklmnopabcdefghijklmnop/",
                                                L"tamsu@bank.example", L"x\"y\\z"};
  const std::wstring program = L"C:\\Program Files (x86)\\\"Tamsu\"\\\u00e9\U0001F511\\TamsuWebHost.exe";
  const auto chrome = nlohmann::json::parse(HostManifest(program, extensions, false));
  const auto firefox = nlohmann::json::parse(HostManifest(program, extensions, true));
  for (const auto& manifest : {chrome, firefox}) {
    EXPECT_EQ("com.varnelle.tamsu_zuva", manifest["name"]);
    EXPECT_EQ("stdio", manifest["type"]);
    EXPECT_EQ("C:\\Program Files (x86)\\\"Tamsu\"\\\xc3\xa9\xf0\x9f\x94\x91\\TamsuWebHost.exe",
              manifest["path"].get<std::string>())
        << "the path does not come back as written (escapes, non-ASCII)";
  }
  EXPECT_EQ(nlohmann::json::array({"chrome-extension://abcdefghijklmnopabcdefghijklmnop/"}), chrome["allowed_origins"]);
  EXPECT_FALSE(chrome.contains("allowed_extensions"));
  EXPECT_EQ(nlohmann::json::array({"tamsu@bank.example", "x\"y\\z"}), firefox["allowed_extensions"]);
  EXPECT_EQ(nlohmann::json::array(), nlohmann::json::parse(HostManifest(program, {}, false))["allowed_origins"]);
}

}  // namespace
}  // namespace setup
}  // namespace tamsu
