// The shipped files' resources read back through the platform: every text of every language block,
// and the main dialog's template, against the catalogue the resource file was generated from; ZIM's
// manifest and icon; both files' version resources against the project's version.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "pe_image.h"
#include "windows_support.h"
#include "zim/resources/catalogue.h"
#include "zim/resources/resource.h"

namespace {

using tarn_windows::ProgramFolder;

std::wstring Utf16(std::string_view utf8) {
  if (utf8.empty()) return {};
  std::wstring out(utf8.size(), L'\0');
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()),
                                    out.data(), static_cast<int>(out.size()));
  out.resize(n > 0 ? n : 0);
  return out;
}

class ZimResources : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = LoadLibraryExA((ProgramFolder() + "\\ZIM.exe").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module_, nullptr) << GetLastError();
  }
  void TearDown() override { FreeLibrary(module_); }

  // The bytes of one resource in one language, or empty.
  std::string Resource(LPCWSTR type, WORD name, WORD language) const {
    const HRSRC found = FindResourceExW(module_, type, MAKEINTRESOURCEW(name), language);
    if (found == nullptr) return {};
    const HGLOBAL loaded = LoadResource(module_, found);
    const void* data = LockResource(loaded);
    return data == nullptr ? std::string()
                           : std::string(static_cast<const char*>(data), SizeofResource(module_, found));
  }

  HMODULE module_ = nullptr;
};

TEST_F(ZimResources, EveryBlockHoldsExactlyTheCatalogueTexts) {
  std::map<std::pair<WORD, WORD>, std::map<WORD, std::wstring>> expected;  // (language, block) -> texts
  for (const zim::CatalogueText& t : zim::MessageCatalogue())
    expected[{t.language, static_cast<WORD>(t.id / 16 + 1)}][static_cast<WORD>(t.id % 16)] = Utf16(t.text);
  ASSERT_FALSE(expected.empty());
  for (const auto& [key, texts] : expected) {
    SCOPED_TRACE("language " + std::to_string(key.first) + " block " + std::to_string(key.second));
    const std::string block = Resource(MAKEINTRESOURCEW(6), key.second, key.first);
    ASSERT_FALSE(block.empty());
    std::size_t at = 0;
    for (WORD i = 0; i < 16; ++i) {
      ASSERT_LE(at + 2, block.size());
      WORD length = 0;
      std::memcpy(&length, block.data() + at, 2);
      at += 2;
      ASSERT_LE(at + 2u * length, block.size());
      const std::wstring text(reinterpret_cast<const wchar_t*>(block.data() + at), length);
      at += 2u * length;
      const auto it = texts.find(i);
      EXPECT_EQ(text, it == texts.end() ? std::wstring() : it->second) << "string " << i;
    }
  }
}

// The platform picks the block of the process's user-interface language (under Wine, set by LC_ALL
// when the process starts), else English (United States). The Windows tier runs this once for each
// block's language, naming the language it expects in TARN_EXPECT_LANGUAGE.
TEST_F(ZimResources, LoadStringGivesTheTextsOfTheProcessLanguage) {
  const LANGID language = GetUserDefaultUILanguage();
  char expectedText[16] = {};
  if (GetEnvironmentVariableA("TARN_EXPECT_LANGUAGE", expectedText, sizeof expectedText) > 0) {
    ASSERT_EQ(language, static_cast<LANGID>(std::stoul(expectedText, nullptr, 16)));
  }
  bool known = false;
  for (const zim::CatalogueText& t : zim::MessageCatalogue()) known = known || t.language == language;
  const LANGID block = known ? language : 0x0409;
  int checked = 0;
  for (const zim::CatalogueText& t : zim::MessageCatalogue()) {
    if (t.language != block) continue;
    SCOPED_TRACE("language " + std::to_string(t.language) + " id " + std::to_string(t.id));
    const wchar_t* text = nullptr;
    const int length = LoadStringW(module_, t.id, reinterpret_cast<LPWSTR>(&text), 0);
    ASSERT_GT(length, 0);
    EXPECT_EQ(std::wstring(text, length), Utf16(t.text));
    ++checked;
  }
  EXPECT_GT(checked, 0);
}

// Reads a dialog template's fields in order.
class TemplateReader {
 public:
  explicit TemplateReader(const std::string& bytes) : bytes_(bytes) {}
  WORD Word() { return Take<WORD>(); }
  DWORD Dword() { return Take<DWORD>(); }
  short Short() { return Take<short>(); }
  BYTE Byte() { return Take<BYTE>(); }
  std::wstring Text() {
    std::wstring out;
    for (WORD c = Word(); c != 0 && ok_; c = Word()) out.push_back(static_cast<wchar_t>(c));
    return out;
  }
  void AlignToDword() { at_ = (at_ + 3) & ~std::size_t{3}; }
  bool ok() const { return ok_; }
  std::size_t at() const { return at_; }

 private:
  template <class T>
  T Take() {
    T v{};
    if (at_ + sizeof v > bytes_.size()) {
      ok_ = false;
      return v;
    }
    std::memcpy(&v, bytes_.data() + at_, sizeof v);
    at_ += sizeof v;
    return v;
  }
  const std::string& bytes_;
  std::size_t at_ = 0;
  bool ok_ = true;
};

TEST_F(ZimResources, TheMainDialogTemplateIsTheTabledOne) {
  const zim::DialogResource& want = zim::MainDialogTemplate();
  const std::string bytes = Resource(MAKEINTRESOURCEW(5), static_cast<WORD>(want.id), want.language);
  ASSERT_FALSE(bytes.empty());
  TemplateReader r(bytes);
  EXPECT_EQ(r.Word(), 1);       // extended template, version 1
  EXPECT_EQ(r.Word(), 0xFFFF);  // its signature
  EXPECT_EQ(r.Dword(), 0u);     // help id
  EXPECT_EQ(r.Dword(), want.exStyle);
  EXPECT_EQ(r.Dword(), want.style);
  EXPECT_EQ(r.Word(), want.items.size());
  EXPECT_EQ(r.Short(), want.x);
  EXPECT_EQ(r.Short(), want.y);
  EXPECT_EQ(r.Short(), want.cx);
  EXPECT_EQ(r.Short(), want.cy);
  EXPECT_EQ(r.Word(), 0);  // no menu
  EXPECT_EQ(r.Word(), 0);  // the system dialog class
  EXPECT_EQ(r.Text(), Utf16(want.caption));
  EXPECT_EQ(r.Word(), want.fontPoints);
  EXPECT_EQ(r.Word(), 0);  // weight
  EXPECT_EQ(r.Byte(), 0);  // not italic
  EXPECT_EQ(r.Byte(), 1);  // character set
  EXPECT_EQ(r.Text(), Utf16(want.fontFace));
  for (const zim::DialogItemResource& item : want.items) {
    SCOPED_TRACE(std::string(item.className));
    r.AlignToDword();
    EXPECT_EQ(r.Dword(), 0u);  // help id
    EXPECT_EQ(r.Dword(), item.exStyle);
    EXPECT_EQ(r.Dword(), item.style);
    EXPECT_EQ(r.Short(), item.x);
    EXPECT_EQ(r.Short(), item.y);
    EXPECT_EQ(r.Short(), item.cx);
    EXPECT_EQ(r.Short(), item.cy);
    EXPECT_EQ(r.Dword(), static_cast<DWORD>(item.id));
    EXPECT_EQ(r.Word(), 0xFFFF);  // a predefined class, by its atom
    EXPECT_EQ(r.Word(), item.className == "Button" ? 0x80 : 0x82);
    EXPECT_EQ(r.Text(), Utf16(item.text));
    EXPECT_EQ(r.Word(), 0);  // no creation data
  }
  EXPECT_TRUE(r.ok());
  EXPECT_GE(r.at() + 3, bytes.size());
}

// Whether `text` is well-formed XML as far as a manifest uses it: one root element, every element
// closed in order, every attribute value quoted; declarations and comments skipped.
bool WellFormedXml(const std::string& text) {
  std::vector<std::string> open;
  int roots = 0;
  std::size_t at = 0;
  while ((at = text.find('<', at)) != std::string::npos) {
    const char* end = text.compare(at, 4, "<!--") == 0 ? "-->" : text.compare(at, 2, "<?") == 0 ? "?>" : ">";
    const std::size_t close = text.find(end, at);
    if (close == std::string::npos) return false;
    std::string tag = text.substr(at + 1, close - at - 1);
    at = close + std::strlen(end);
    if (end[0] != '>') continue;
    if (tag.empty()) return false;
    const bool closing = tag[0] == '/';
    const bool empty = !tag.empty() && tag.back() == '/';
    const std::string name = tag.substr(closing, tag.find_first_of(" \t\r\n/", closing) - closing);
    if (name.empty()) return false;
    // Attributes: name="value" pairs (or single quotes).
    for (std::size_t q = tag.find('='); q != std::string::npos; q = tag.find('=', q + 1)) {
      const char quote = q + 1 < tag.size() ? tag[q + 1] : '\0';
      if (quote != '"' && quote != '\'') return false;
      q = tag.find(quote, q + 2);
      if (q == std::string::npos) return false;
    }
    if (closing) {
      if (open.empty() || open.back() != name) return false;
      open.pop_back();
    } else {
      if (open.empty()) ++roots;
      if (!empty) open.push_back(name);
    }
  }
  return roots == 1 && open.empty();
}

TEST(WellFormedXml, TellsBrokenManifestsFromGoodOnes) {
  EXPECT_TRUE(WellFormedXml("<?xml version=\"1.0\"?><a x=\"1\"><!-- <b> --><b/><c y='2'></c></a>"));
  for (const char* bad : {"<a><b></a></b>", "<a x=1/>", "<a/><b/>", "<a>", "<a x=\"1/>", "</a>", "<>", ""})
    EXPECT_FALSE(WellFormedXml(bad)) << bad;
}

std::string ProjectVersion4() { return TARN_PROJECT_VERSION ".0"; }

TEST_F(ZimResources, TheManifestAsksForAdministratorRightsAndNamesTheKnownWindows) {
  const std::string manifest = Resource(MAKEINTRESOURCEW(24), 1, 0x0409);
  ASSERT_FALSE(manifest.empty());
  EXPECT_TRUE(WellFormedXml(manifest));
  EXPECT_NE(manifest.find("<requestedExecutionLevel level=\"requireAdministrator\" uiAccess=\"false\"/>"),
            std::string::npos);
  EXPECT_NE(manifest.find("version=\"" + ProjectVersion4() + "\""), std::string::npos);
  // Windows Vista, 7, 8, 8.1, and 10 and 11.
  for (const char* os : {"e2011457-1546-43c5-a5fe-008deee3d3f0", "35138b9a-5d96-4fbd-8e2d-a2440225f93a",
                         "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38", "1f676c76-80e1-4239-95bb-83d0f6d0da78",
                         "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a"})
    EXPECT_NE(manifest.find(std::string("<supportedOS Id=\"{") + os + "}\"/>"), std::string::npos) << os;
  // The platform's own reader takes it as the program's activation context.
  const std::wstring path = Utf16(ProgramFolder() + "\\ZIM.exe");
  ACTCTXW context{};
  context.cbSize = sizeof context;
  context.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
  context.lpSource = path.c_str();
  context.lpResourceName = MAKEINTRESOURCEW(1);
  const HANDLE activation = CreateActCtxW(&context);
  EXPECT_NE(activation, INVALID_HANDLE_VALUE) << GetLastError();
  if (activation != INVALID_HANDLE_VALUE) ReleaseActCtx(activation);
}

BOOL CALLBACK CollectIds(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR list) {
  reinterpret_cast<std::vector<WORD>*>(list)->push_back(static_cast<WORD>(reinterpret_cast<ULONG_PTR>(name)));
  return TRUE;
}

// The icon group IDI_ZIM, the only one (the one Explorer shows): a 32- and a 16-pixel 16-colour image
// that the platform makes into icons, each with transparent and drawn pixels.
TEST_F(ZimResources, TheProgramIconHasTheSizesOfWindows95AndNt4) {
  std::vector<WORD> groups;
  EnumResourceNamesW(module_, MAKEINTRESOURCEW(14), CollectIds, reinterpret_cast<LONG_PTR>(&groups));
  EXPECT_EQ(groups, std::vector<WORD>{IDI_ZIM});
  const std::string group = Resource(MAKEINTRESOURCEW(14), IDI_ZIM, 0x0409);
  ASSERT_EQ(group.size(), 6u + 2 * 14);
  TemplateReader r(group);
  EXPECT_EQ(r.Word(), 0);
  EXPECT_EQ(r.Word(), 1);  // icons
  EXPECT_EQ(r.Word(), 2);
  for (const int size : {32, 16}) {
    SCOPED_TRACE(size);
    EXPECT_EQ(r.Byte(), size);
    EXPECT_EQ(r.Byte(), size);
    EXPECT_EQ(r.Byte(), 16);  // colours
    EXPECT_EQ(r.Byte(), 0);
    EXPECT_EQ(r.Word(), 1);  // planes
    EXPECT_EQ(r.Word(), 4);  // bits a pixel
    const DWORD bytes = r.Dword();
    const WORD id = r.Word();
    std::string image = Resource(MAKEINTRESOURCEW(3), id, 0x0409);
    ASSERT_EQ(image.size(), bytes);
    const HICON icon = CreateIconFromResourceEx(reinterpret_cast<BYTE*>(image.data()), bytes, TRUE,
                                                0x00030000, size, size, 0);
    ASSERT_NE(icon, nullptr);
    ICONINFO info{};
    ASSERT_TRUE(GetIconInfo(icon, &info));
    BITMAP mask{};
    GetObjectW(info.hbmMask, sizeof mask, &mask);
    EXPECT_EQ(mask.bmWidth, size);
    DeleteObject(info.hbmMask);
    if (info.hbmColor != nullptr) DeleteObject(info.hbmColor);
    DestroyIcon(icon);
    // The mask of the bitmap as stored: a set bit is transparent.
    const std::size_t maskRow = (size + 31) / 32 * 4, maskAt = bytes - maskRow * size;
    int transparent = 0;
    for (int y = 0; y < size; ++y)
      for (int x = 0; x < size; ++x)
        transparent += (static_cast<unsigned char>(image[maskAt + y * maskRow + x / 8]) >> (7 - x % 8)) & 1;
    EXPECT_GT(transparent, 0);
    EXPECT_LT(transparent, size * size);
  }
}

// The version resource of each shipped file: numbers and texts from the project's version.
TEST(ProductVersion, BothFilesCarryTheProjectVersion) {
  unsigned major = 0, minor = 0, patch = 0;
  ASSERT_EQ(std::sscanf(TARN_PROJECT_VERSION, "%u.%u.%u", &major, &minor, &patch), 3);
  for (const auto& [name, type] : {std::pair{"ZIM.exe", VFT_APP}, std::pair{"TARNSYS.dll", VFT_DLL}}) {
    SCOPED_TRACE(name);
    const std::string path = ProgramFolder() + "\\" + name;
    DWORD ignored = 0;
    std::string info(GetFileVersionInfoSizeA(path.c_str(), &ignored), '\0');
    ASSERT_FALSE(info.empty());
    ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, static_cast<DWORD>(info.size()), info.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed->dwFileVersionMS, major << 16 | minor);
    EXPECT_EQ(fixed->dwFileVersionLS, patch << 16);
    EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
    EXPECT_EQ(fixed->dwProductVersionLS, fixed->dwFileVersionLS);
    EXPECT_EQ(fixed->dwFileOS, static_cast<DWORD>(VOS__WINDOWS32));
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(type));
    EXPECT_EQ(fixed->dwFileFlags & fixed->dwFileFlagsMask, 0u);
    const std::map<std::string, std::string> texts{{"FileVersion", TARN_PROJECT_VERSION},
                                                   {"ProductVersion", TARN_PROJECT_VERSION},
                                                   {"OriginalFilename", name},
                                                   {"ProductName", "Tarn BIOS tools"},
                                                   {"CompanyName", "Tarn"}};
    for (const auto& [key, want] : texts) {
      char* value = nullptr;
      ASSERT_TRUE(VerQueryValueA(info.data(), ("\\StringFileInfo\\040904B0\\" + key).c_str(),
                                 reinterpret_cast<void**>(&value), &length))
          << key;
      EXPECT_EQ(std::string(value), want) << key;
    }
  }
}

// What ships carries no debug information: no debug section and no COFF symbols, only the link to
// FILE.debug (its name and CRC-32) by which a debugger finds the release's symbols.
TEST(ProductSymbols, NoDebugSectionOrSymbolShipsOnlyTheLinkToTheDebugFile) {
  for (const char* name : {"ZIM.exe", "TARNSYS.dll"}) {
    SCOPED_TRACE(name);
    const tarn_windows::PeImage image(tarn_windows::ReadWholeFile(ProgramFolder() + "\\" + name));
    ASSERT_TRUE(image.valid());
    const std::vector<std::string> sections = image.SectionNames();
    EXPECT_EQ(std::count(sections.begin(), sections.end(), ".text"), 1);
    EXPECT_EQ(std::count(sections.begin(), sections.end(), ".gnu_debuglink"), 1);
    for (const std::string& section : sections)
      EXPECT_TRUE(section.find("debug_") == std::string::npos) << section;
    EXPECT_EQ(image.symbolCount(), 0u);
  }
}

}  // namespace
