// SPDX-License-Identifier: GPL-3.0-or-later
// The resources and imports of the Windows programs, read back from the built files with
// wrestool, icotool and objdump; the checks of the version record and the manifest hold for the
// programs that the zip unpacks too (zip_test.cpp).
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <optional>
#include <regex>
#include <set>
#include <sstream>

#include "project_info.h"
#include "wine_session.h"

namespace kestrova::testing::wine {
namespace {

constexpr std::uint32_t kFixedInfoSignature = 0xFEEF04BD;
constexpr std::uint32_t kVersionHigh = KESTROVA_VERSION_MAJOR << 16 | KESTROVA_VERSION_MINOR;
constexpr std::uint32_t kFileTypeApp = 1;  // VFT_APP
constexpr std::uint16_t kSimplifiedChinese = 0x0804;
constexpr std::uint16_t kUnicodeCodePage = 1200;

std::uint16_t U16(const std::vector<std::uint8_t>& data, std::size_t at) {
  return static_cast<std::uint16_t>(data.at(at) | data.at(at + 1) << 8);
}
std::uint32_t U32(const std::vector<std::uint8_t>& data, std::size_t at) {
  return static_cast<std::uint32_t>(U16(data, at)) | static_cast<std::uint32_t>(U16(data, at + 2))
                                                         << 16;
}
std::size_t Align4(std::size_t at) { return (at + 3) & ~std::size_t{3}; }

// One node of a version record: a length-prefixed block with a UTF-16 key, a value and children.
// The program's own assembly version in its manifest: the project's version with a fourth part.
const std::string kManifestVersion =
    "version=\"" KESTROVA_VERSION_TEXT ".0\" processorArchitecture";

struct VersionNode {
  std::string key;
  std::vector<std::uint8_t> value;  // raw bytes
  bool text = false;
  std::vector<VersionNode> children;
};

// ASCII-only UTF-16 to narrow text; the keys and values here are ASCII.
std::string Narrow(const std::vector<std::uint8_t>& data, std::size_t at, std::size_t end,
                   std::size_t* after) {
  std::string text;
  while (at + 1 < end && U16(data, at) != 0) {
    text += static_cast<char>(U16(data, at));
    at += 2;
  }
  if (after) *after = at + 2;
  return text;
}

VersionNode ParseNode(const std::vector<std::uint8_t>& data, std::size_t at) {
  VersionNode node;
  const std::size_t length = U16(data, at);
  const std::size_t valueLength = U16(data, at + 2);
  node.text = U16(data, at + 4) == 1;
  const std::size_t end = at + length;
  if (length < 6 || end > data.size()) throw std::runtime_error("bad version node");
  std::size_t cursor = 0;
  node.key = Narrow(data, at + 6, end, &cursor);
  cursor = Align4(cursor);
  const std::size_t valueBytes = node.text ? valueLength * 2 : valueLength;
  if (cursor + valueBytes > end) throw std::runtime_error("bad version value");
  node.value.assign(data.begin() + static_cast<long>(cursor),
                    data.begin() + static_cast<long>(cursor + valueBytes));
  cursor = Align4(cursor + valueBytes);
  while (cursor + 6 <= end) {
    node.children.push_back(ParseNode(data, cursor));
    const std::size_t childLength = U16(data, cursor);
    if (childLength == 0) break;
    cursor = Align4(cursor + childLength);
  }
  return node;
}

const VersionNode* Child(const VersionNode& node, const std::string& key) {
  for (const auto& child : node.children) {
    if (child.key == key) return &child;
  }
  return nullptr;
}

std::string TextValue(const VersionNode& node) {
  std::size_t unused = 0;
  return Narrow(node.value, 0, node.value.size(), &unused);
}

// Extracts one resource, raw, into a file of the scratch folder.
std::vector<std::uint8_t> RawResource(const TempDir& scratch, const std::string& exe, int type,
                                      int name) {
  const auto file = scratch / ("resource-" + std::to_string(type) + "-" + std::to_string(name));
  const auto extracted = kestrova::testing::Run("wrestool -x --raw --type=" + std::to_string(type) +
                                                    " --name=" + std::to_string(name) + " " +
                                                    Quote(exe) + " > " + Quote(file.string()),
                                                true);
  EXPECT_EQ(extracted.status, 0) << extracted.output;
  return ReadBytes(file);
}

TEST(Resources, IconGroupOneHoldsThreeEightBitImagesWithFixedIds) {
  const auto listed = kestrova::testing::Run("wrestool -l " + Quote(WindowExe()), true);
  ASSERT_EQ(listed.status, 0) << listed.output;
  std::set<std::string> icons;
  std::set<std::string> groups;
  std::istringstream lines(listed.output);
  std::string line;
  std::smatch match;
  while (std::getline(lines, line)) {
    if (std::regex_search(line, match,
                          std::regex("--type=(3|14) --name=(\\d+) --language=(\\d+)"))) {
      (match[1] == "3" ? icons : groups).insert(match[2].str() + "/" + match[3].str());
    }
  }
  EXPECT_EQ(icons, (std::set<std::string>{"30001/0", "30002/0", "30003/0"}));
  EXPECT_EQ(groups, std::set<std::string>{"1/0"});

  // The group as an .ico file again: the sizes and depths that icotool reads from it.
  TempDir scratch;
  const auto ico = scratch / "group.ico";
  ASSERT_EQ(kestrova::testing::Run("wrestool -x --type=14 --name=1 " + Quote(WindowExe()) + " > " +
                                   Quote(ico.string()))
                .status,
            0);
  const auto images = kestrova::testing::Run("icotool -l " + Quote(ico.string()), true);
  ASSERT_EQ(images.status, 0) << images.output;
  std::vector<std::string> found;
  std::istringstream entries(images.output);
  while (std::getline(entries, line)) {
    if (std::regex_search(line, match,
                          std::regex("--width=(\\d+) --height=(\\d+) --bit-depth=(\\d+)"))) {
      found.push_back(match[1].str() + "x" + match[2].str() + "@" + match[3].str());
    }
  }
  EXPECT_EQ(found, (std::vector<std::string>{"48x48@8", "32x32@8", "16x16@8"}));

  // The group's entries name the image ids in the file's order.
  const auto group = RawResource(scratch, WindowExe(), 14, 1);
  constexpr std::size_t kHeader = 6, kEntry = 14, kIdAt = 12;
  ASSERT_EQ(group.size(), kHeader + 3 * kEntry);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(U16(group, kHeader + i * kEntry + kIdAt), 30001 + i);
  }
}

}  // namespace

void ExpectVersionRecord(const std::string& exe, const std::string& fileName) {
  SCOPED_TRACE(exe);
  TempDir scratch;
  const auto raw = RawResource(scratch, exe, 16, 1);
  ASSERT_GE(raw.size(), 6u);
  const VersionNode root = ParseNode(raw, 0);
  EXPECT_EQ(root.key, "VS_VERSION_INFO");
  ASSERT_GE(root.value.size(), 52u);
  EXPECT_EQ(U32(root.value, 0), kFixedInfoSignature);
  EXPECT_EQ(U32(root.value, 8), kVersionHigh);                   // file version, high part
  EXPECT_EQ(U32(root.value, 12), KESTROVA_VERSION_PATCH << 16);  // file version, low part
  EXPECT_EQ(U32(root.value, 16), kVersionHigh);                  // product version
  EXPECT_EQ(U32(root.value, 20), KESTROVA_VERSION_PATCH << 16);
  EXPECT_EQ(U32(root.value, 36), kFileTypeApp);

  const VersionNode* strings = Child(root, "StringFileInfo");
  ASSERT_NE(strings, nullptr);
  const VersionNode* table = Child(*strings, "080404B0");
  ASSERT_NE(table, nullptr);
  for (const char* key : {"FileVersion", "ProductVersion"}) {
    const VersionNode* value = Child(*table, key);
    ASSERT_NE(value, nullptr) << key;
    EXPECT_EQ(TextValue(*value), KESTROVA_VERSION_TEXT) << key;
  }
  for (const char* key :
       {"CompanyName", "FileDescription", "LegalCopyright", "ProductName", "InternalName"}) {
    const VersionNode* value = Child(*table, key);
    ASSERT_NE(value, nullptr) << key;
    EXPECT_FALSE(TextValue(*value).empty()) << key;
  }
  const VersionNode* original = Child(*table, "OriginalFilename");
  ASSERT_NE(original, nullptr);
  EXPECT_EQ(TextValue(*original), fileName);
  const VersionNode* copyright = Child(*table, "LegalCopyright");
  ASSERT_NE(copyright, nullptr);
  EXPECT_NE(TextValue(*copyright).find("License " KESTROVA_LICENSE_TEXT), std::string::npos);
  const VersionNode* vars = Child(root, "VarFileInfo");
  ASSERT_NE(vars, nullptr);
  const VersionNode* translation = Child(*vars, "Translation");
  ASSERT_NE(translation, nullptr);
  ASSERT_EQ(translation->value.size(), 4u);
  EXPECT_EQ(U16(translation->value, 0), kSimplifiedChinese);
  EXPECT_EQ(U16(translation->value, 2), kUnicodeCodePage);
}

std::string ExpectManifest(const std::string& exe, Rights rights) {
  SCOPED_TRACE(exe);
  TempDir scratch;
  const auto raw = RawResource(scratch, exe, 24, 1);
  const std::string manifest(raw.begin(), raw.end());
  if (rights == Rights::kAdministrator) {
    EXPECT_NE(manifest.find("level=\"requireAdministrator\""), std::string::npos) << manifest;
  } else {
    // A console tool must not ask for elevation: it runs with the rights of its console.
    EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos) << manifest;
    EXPECT_EQ(manifest.find("requireAdministrator"), std::string::npos);
  }
  EXPECT_TRUE(std::regex_search(manifest, std::regex("<dpiAware[^>]*>\\s*true/pm\\s*<")));
  EXPECT_TRUE(std::regex_search(manifest, std::regex("<dpiAwareness[^>]*>\\s*PerMonitorV2")));
  EXPECT_NE(manifest.find("supportedOS"), std::string::npos);
  EXPECT_NE(manifest.find(kManifestVersion), std::string::npos) << manifest;
  return manifest;
}

namespace {

TEST(Resources, VersionRecordsSayTheVersionAndLicenceInSimplifiedChinese) {
  ExpectVersionRecord(WindowExe(), "Kestrova.exe");
  ExpectVersionRecord(CliExe(), "kestrova-cli.exe");
  ExpectVersionRecord(GuardExe(), "kestrova-guard.exe");
}

TEST(Resources, WindowManifestAsksForAdministratorAndCommonControls) {
  const auto manifest = ExpectManifest(WindowExe(), Rights::kAdministrator);
  EXPECT_NE(manifest.find("Microsoft.Windows.Common-Controls"), std::string::npos);
}

TEST(Resources, CliAndGuardManifestsRunWithTheCallersRights) {
  ExpectManifest(CliExe(), Rights::kCaller);
  ExpectManifest(GuardExe(), Rights::kCaller);
}

// Static programs: nothing but the system's own libraries beside them.
TEST(Resources, ProgramsImportOnlySystemLibraries) {
  // bcrypt.dll: CNG's hashes, part of Windows since Vista; crypt32.dll: the base64 decoder. The
  // guard's icon and notices come from shell32.dll, its value under the Run key is written
  // through advapi32.dll. The PC's look reaches the Task Scheduler through COM (ole32.dll,
  // oleaut32.dll's BSTRs and VARIANTs) and the Startup folders through shell32.dll.
  const std::set<std::string> system{"kernel32.dll", "user32.dll",  "gdi32.dll",    "msvcrt.dll",
                                     "msimg32.dll",  "shell32.dll", "advapi32.dll", "comctl32.dll",
                                     "bcrypt.dll",   "crypt32.dll", "ole32.dll",    "oleaut32.dll"};
  for (const auto& exe : {WindowExe(), CliExe(), GuardExe()}) {
    const auto dump = kestrova::testing::Run("x86_64-w64-mingw32-objdump -p " + Quote(exe), true);
    ASSERT_EQ(dump.status, 0) << dump.output;
    std::istringstream lines(dump.output);
    std::string line;
    std::smatch match;
    int imports = 0;
    while (std::getline(lines, line)) {
      if (!std::regex_search(line, match, std::regex("DLL Name: (\\S+)"))) continue;
      std::string name = match[1];
      std::transform(name.begin(), name.end(), name.begin(),
                     [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
      EXPECT_TRUE(system.count(name)) << exe << " imports " << name;
      ++imports;
    }
    EXPECT_GT(imports, 0) << exe;
  }
}

}  // namespace
}  // namespace kestrova::testing::wine
