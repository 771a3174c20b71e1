// The message catalogue: its texts byte for byte (with the quirks the catalogue keeps), the
// language a text is loaded in, and the resource file built from the same source.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "hosts/zim/program_resources.h"
#include "platform/framework/framework.h"
#include "platform/sim/machine.h"
#include "zim/resources/catalogue.h"

namespace {

using namespace win32;

class CatalogueTest : public ::testing::Test {
 protected:
  CatalogueTest() { zim_host::LoadProgramResources(machine.user); }
  // The text LoadStringA gives for `id` with the user-interface language `language`.
  std::string Load(WORD language, UINT id) {
    machine.user.uiLanguage = language;
    char buffer[1024];
    const int n = LoadStringA(GetModuleHandleA(nullptr), id, buffer, sizeof buffer);
    return std::string(buffer, n < 0 ? 0 : n);
  }

  sim::Machine machine;
  sim::Install installed{machine};
};

TEST_F(CatalogueTest, HoldsIdsOneToFourInElevenLanguageBlocks) {
  std::map<std::uint16_t, std::set<std::uint32_t>> blocks;
  for (const zim::CatalogueText& t : zim::MessageCatalogue()) blocks[t.language].insert(t.id);
  const std::set<std::uint32_t> ids{1, 2, 3, 4};
  const std::vector<std::uint16_t> expected{0x0404, 0x0407, 0x0409, 0x040C, 0x0410, 0x0411,
                                            0x0412, 0x0416, 0x041E, 0x0804, 0x0C0A};
  std::vector<std::uint16_t> languages;
  for (const auto& [language, present] : blocks) {
    languages.push_back(language);
    EXPECT_EQ(present, ids) << std::hex << language;
  }
  EXPECT_EQ(languages, expected);
  EXPECT_EQ(zim::MessageCatalogue().size(), 44u);
}

TEST_F(CatalogueTest, EnglishTextsAreExactIncludingTheTrailingSpaceOfTheRetryNotice) {
  EXPECT_EQ(Load(0x0409, IDS_ATTACH_AC), "Please attach AC.");
  EXPECT_EQ(Load(0x0409, IDS_ENSURE_AC), "Please ensure AC is attached before continuing.");
  EXPECT_EQ(Load(0x0409, IDS_RETRY_FLASH),
            "Insufficient resources to perfom update. System will reboot and retry BIOS flash. ");
  EXPECT_EQ(Load(0x0409, IDS_CLOSE_APPS),
            "Please close all applications. Remove any media from the drives and any external devices. Your "
            "system will reboot and update your BIOS at this time.");
}

TEST_F(CatalogueTest, KeepsTheQuirksOfTheItalianPortugueseAndGermanBlocks) {
  // Italian: Spanish for 1, 2 and 4; Italian for 3.
  for (UINT id : {1u, 2u, 4u}) EXPECT_EQ(Load(0x0410, id), Load(0x0C0A, id)) << id;
  EXPECT_EQ(Load(0x0410, IDS_ATTACH_AC), "Conecte un adaptador de CA.");
  EXPECT_EQ(Load(0x0410, IDS_RETRY_FLASH),
            "Risorse insufficienti per eseguire l'aggiornamento. Il sistema verrà riavviato per riprovare "
            "l'aggiornamento del BIOS.");
  EXPECT_EQ(Load(0x0410, IDS_CLOSE_APPS),
            "Cierre todas las aplicaciones. Asegúrese de que todas las unidades y los dispositivos externos "
            "están vacíos. El sistema se reiniciará y actualizará el BIOS ahora.\n");
  // Portuguese (Brazil): Italian for 1, 2 and 4; Portuguese for 3.
  EXPECT_EQ(Load(0x0416, IDS_ATTACH_AC), "Collegare un adattatore c.a.");
  EXPECT_EQ(Load(0x0416, IDS_ENSURE_AC),
            "Prima di proseguire, assicurarsi che l'adattatore c.a. sia collegato.");
  EXPECT_EQ(Load(0x0416, IDS_RETRY_FLASH),
            "Recursos insuficientes para executar a atualização. O sistema será reinicializado e tentará "
            "ativar o flash do BIOS.");
  // German: 1 and 2 alike.
  EXPECT_EQ(Load(0x0407, IDS_ATTACH_AC), "Schließen Sie einen Netzadapter an.");
  EXPECT_EQ(Load(0x0407, IDS_ENSURE_AC), Load(0x0407, IDS_ATTACH_AC));
}

TEST_F(CatalogueTest, TrailingLineFeedsAreKeptWhereTheyBelong) {
  EXPECT_EQ(Load(0x041E, IDS_ATTACH_AC), "โปรดเชื่อมต่ออะแดปเตอร์ AC\n");
  EXPECT_EQ(Load(0x041E, IDS_ENSURE_AC).back(), '\n');
  EXPECT_NE(Load(0x041E, IDS_RETRY_FLASH).back(), '\n');
  EXPECT_NE(Load(0x041E, IDS_CLOSE_APPS).back(), '\n');
  EXPECT_EQ(Load(0x0411, IDS_CLOSE_APPS),
            "すべてのアプリケーションを終了し、ドライブからすべてのメディアを取り外します。システムが再起動し"
            "、このとき"
            "にBIOSが更新されます。\n");
  const std::set<WORD> withLineFeed{0x0404, 0x0410, 0x0411, 0x0412, 0x0804, 0x0C0A};
  for (const zim::CatalogueText& t : zim::MessageCatalogue()) {
    const bool endsWithLineFeed = !t.text.empty() && t.text.back() == '\n';
    const bool expected =
        (t.language == 0x041E && t.id <= 2) || (t.id == 4 && withLineFeed.count(t.language));
    EXPECT_EQ(endsWithLineFeed, expected) << std::hex << t.language << " " << t.id;
    // No other control character anywhere.
    for (std::size_t i = 0; i + 1 < t.text.size(); ++i)
      EXPECT_GE(static_cast<unsigned char>(t.text[i]), 0x20) << std::hex << t.language << " " << t.id;
  }
}

TEST_F(CatalogueTest, LanguageFallsBackToTheFirstBlockOfTheSameLanguageThenToEnglish) {
  // Chinese (Hong Kong) takes the first Chinese block, Traditional (0x0404), not 0x0804.
  EXPECT_EQ(Load(0x0C04, IDS_ATTACH_AC), Load(0x0404, IDS_ATTACH_AC));
  EXPECT_NE(Load(0x0404, IDS_ATTACH_AC), Load(0x0804, IDS_ATTACH_AC));
  // Spanish (Mexico) takes the Spanish block; Portuguese (Portugal) the Brazilian one.
  EXPECT_EQ(Load(0x080A, IDS_RETRY_FLASH), Load(0x0C0A, IDS_RETRY_FLASH));
  EXPECT_EQ(Load(0x0816, IDS_RETRY_FLASH), Load(0x0416, IDS_RETRY_FLASH));
  // English (United Kingdom) and languages without a block read English.
  EXPECT_EQ(Load(0x0809, IDS_ATTACH_AC), "Please attach AC.");
  EXPECT_EQ(Load(0x0419, IDS_ATTACH_AC), "Please attach AC.");
  EXPECT_EQ(Load(0x0000, IDS_ATTACH_AC), "Please attach AC.");
  // An exact block wins over the first block of its language.
  EXPECT_EQ(Load(0x0804, IDS_ATTACH_AC), "请连接交流适配器。");
}

TEST_F(CatalogueTest, LoadStringCutsOffAtTheBufferAndFailsForAnUnknownId) {
  char buffer[8] = "xxxxxxx";
  EXPECT_EQ(LoadStringA(nullptr, IDS_ATTACH_AC, buffer, sizeof buffer), 7);
  EXPECT_STREQ(buffer, "Please ");
  EXPECT_EQ(LoadStringA(nullptr, 5, buffer, sizeof buffer), 0);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(LoadStringA(nullptr, 0, buffer, sizeof buffer), 0);
  machine.FailCall("LoadStringA", 4);  // the next one
  EXPECT_EQ(LoadStringA(nullptr, IDS_ATTACH_AC, buffer, sizeof buffer), 0);
}

TEST_F(CatalogueTest, MessageBoxShowsLongTextsWholeWhateverTheirLength) {
  // The Thai warning is longer in UTF-8 than a first buffer of 256 bytes.
  machine.user.uiLanguage = 0x041E;
  AfxMessageBox(IDS_CLOSE_APPS, MB_OK, IDS_CLOSE_APPS);
  ASSERT_EQ(machine.user.boxes.size(), 1u);
  const std::string& text = machine.user.boxes[0].text;
  EXPECT_GT(text.size(), 256u);
  EXPECT_EQ(text,
            "โปรดปิดโปรแกรมทั้งหมด แล้วนำสื่อต่าง ๆ ออกจากไดรฟ์และอุปกรณ์ภายนอกอื่น ๆ "
            "เพื่อรีบูตระบบคอมพิวเตอร์ของคุณและอัปเดต BIOS ในขณะนี้");
  EXPECT_EQ(machine.user.boxes[0].id, static_cast<UINT>(IDS_CLOSE_APPS));
}

// ---- the resource file of the Windows program, compiled and read back

std::uint16_t U16(const std::string& d, std::size_t o) {
  return static_cast<std::uint16_t>(static_cast<unsigned char>(d.at(o)) |
                                    static_cast<unsigned char>(d.at(o + 1)) << 8);
}
std::uint32_t U32(const std::string& d, std::size_t o) {
  return static_cast<std::uint32_t>(U16(d, o)) | static_cast<std::uint32_t>(U16(d, o + 2)) << 16;
}

std::string Utf8(const std::u16string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    std::uint32_t c = s[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < s.size()) c = 0x10000 + ((c - 0xD800) << 10) + (s[++i] - 0xDC00);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | c >> 6);
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | c >> 12);
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | c >> 18);
      out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// A zero-terminated UTF-16 text at `o`; moves `o` past it.
std::u16string Sz(const std::string& d, std::size_t& o) {
  std::u16string s;
  for (std::uint16_t c; (c = U16(d, o)) != 0; o += 2) s += static_cast<char16_t>(c);
  o += 2;
  return s;
}

// A name or ordinal of a resource header or dialog: 0xFFFF then the ordinal, or a text.
std::uint32_t OrdinalOrText(const std::string& d, std::size_t& o) {
  if (U16(d, o) == 0xFFFF) {
    o += 4;
    return U16(d, o - 2);
  }
  Sz(d, o);
  return 0x10000;
}

struct Resource {
  std::uint32_t type, name;
  std::uint16_t language;
  std::string data;
};

std::vector<Resource> ReadRes(const std::string& d) {
  std::vector<Resource> out;
  for (std::size_t o = 0; o + 8 <= d.size();) {
    const std::uint32_t dataSize = U32(d, o), headerSize = U32(d, o + 4);
    std::size_t p = o + 8;
    Resource r;
    r.type = OrdinalOrText(d, p);
    r.name = OrdinalOrText(d, p);
    p = (p + 3) & ~std::size_t{3};
    r.language = U16(d, p + 6);
    r.data = d.substr(o + headerSize, dataSize);
    out.push_back(r);
    o = (o + headerSize + dataSize + 3) & ~std::size_t{3};
  }
  return out;
}

TEST(ResourceFile, CompilesToTheCatalogueTextsAndTheDialogTemplate) {
  const std::string rc = TARN_BIN_DIR "/../zim/zim.rc";
  const std::string res = TARN_BIN_DIR "/../zim/zim_test.res";
  ASSERT_TRUE(std::ifstream(rc).good()) << rc;
  const std::string command = "i686-w64-mingw32-windres -i '" + rc + "' -O coff -o '" + res +
                              ".o' 2>/dev/null && "
                              "i686-w64-mingw32-windres -i '" +
                              rc + "' -o '" + res + "'";
  if (std::system("command -v i686-w64-mingw32-windres >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "no resource compiler on this machine";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  std::ifstream in(res, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

  std::map<std::pair<std::uint16_t, std::uint32_t>, std::string> strings;
  const Resource* dialog = nullptr;
  std::vector<Resource> resources = ReadRes(bytes);
  for (const Resource& r : resources) {
    if (r.type == 6) {  // string table: 16 counted UTF-16 texts per block
      std::size_t o = 0;
      for (std::uint32_t i = 0; i < 16; ++i) {
        const std::uint16_t n = U16(r.data, o);
        o += 2;
        std::u16string s;
        for (std::uint16_t k = 0; k < n; ++k, o += 2) s += static_cast<char16_t>(U16(r.data, o));
        if (n != 0) strings[{r.language, (r.name - 1) * 16 + i}] = Utf8(s);
      }
    } else if (r.type == 5) {
      dialog = &r;
    }
  }
  std::map<std::pair<std::uint16_t, std::uint32_t>, std::string> expected;
  for (const zim::CatalogueText& t : zim::MessageCatalogue())
    expected[{t.language, t.id}] = std::string(t.text);
  EXPECT_EQ(strings, expected);

  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(dialog->name, static_cast<std::uint32_t>(IDD_ZIM_DIALOG));
  EXPECT_EQ(dialog->language, 0x0409);
  const std::string& d = dialog->data;
  EXPECT_EQ(U16(d, 0), 1);       // extended form, version 1
  EXPECT_EQ(U16(d, 2), 0xFFFF);  // its signature
  EXPECT_EQ(U32(d, 4), 0u);      // help id
  EXPECT_EQ(U32(d, 8), 0x00040000u);
  EXPECT_EQ(U32(d, 12), 0x90C800C0u);
  EXPECT_EQ(U16(d, 16), 2);  // controls
  EXPECT_EQ(U16(d, 18), 0);
  EXPECT_EQ(U16(d, 20), 0);
  EXPECT_EQ(U16(d, 22), 130);
  EXPECT_EQ(U16(d, 24), 101);
  std::size_t o = 26;
  EXPECT_EQ(U16(d, o), 0);      // no menu
  EXPECT_EQ(U16(d, o + 2), 0);  // the system dialog class
  o += 4;
  EXPECT_EQ(Utf8(Sz(d, o)), "Tarn BIOS update");
  EXPECT_EQ(U16(d, o), 8);      // points
  EXPECT_EQ(U16(d, o + 2), 0);  // weight
  EXPECT_EQ(d.at(o + 4), 0);    // not italic
  EXPECT_EQ(d.at(o + 5), 1);    // DEFAULT_CHARSET
  o += 6;
  EXPECT_EQ(Utf8(Sz(d, o)), "MS Sans Serif");
  struct Item {
    std::uint32_t style;
    std::uint16_t x, y, cx, cy;
    std::uint32_t id;
    std::uint32_t classOrdinal;
    std::string text;
  };
  const Item items[] = {{0x50020000, 51, 46, 26, 8, 1001, 0x82, ""},
                        {0x40010000, 39, 80, 50, 14, 1002, 0x80, "OK"}};
  for (const Item& item : items) {
    o = (o + 3) & ~std::size_t{3};
    EXPECT_EQ(U32(d, o), 0u);      // help id
    EXPECT_EQ(U32(d, o + 4), 0u);  // extended style
    EXPECT_EQ(U32(d, o + 8), item.style) << item.id;
    EXPECT_EQ(U16(d, o + 12), item.x);
    EXPECT_EQ(U16(d, o + 14), item.y);
    EXPECT_EQ(U16(d, o + 16), item.cx);
    EXPECT_EQ(U16(d, o + 18), item.cy);
    EXPECT_EQ(U32(d, o + 20), item.id);
    o += 24;
    EXPECT_EQ(OrdinalOrText(d, o), item.classOrdinal);
    EXPECT_EQ(Utf8(Sz(d, o)), item.text);
    EXPECT_EQ(U16(d, o), 0);  // no creation data
    o += 2;
  }
  EXPECT_EQ(o, d.size());
  std::remove(res.c_str());
  std::remove((res + ".o").c_str());
}

}  // namespace
