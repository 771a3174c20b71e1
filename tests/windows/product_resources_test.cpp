// ZIM.exe's resources read back through the platform: every text of every language block, and the
// main dialog's template, against the catalogue the resource file was generated from.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

#include "windows_support.h"
#include "zim/resources/catalogue.h"

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

}  // namespace
