// The six exports over tables built for each case: instance selection, field bounds, masks and
// shifts, the renderings and their longest forms, strings and their sanitising, the three system
// id sources, structure copies, the banner, and damaged tables that end in the middle of things.
#include <cstring>
#include <regex>

#include "tarnsys/smb_index.h"
#include "tarnsys/tarnsys.h"
#include "tarnsys_test.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using tarn_test::TarnsysTest;

class QueriesTest : public TarnsysTest {
 protected:
  // The field as text, or "(0)" when the query answers 0.
  std::string Value(int type, int offset, int instance, unsigned mask, unsigned valueType) {
    char buffer[64];
    std::memset(buffer, '#', sizeof buffer);
    buffer[63] = '\0';
    return GetSmbTableValue(type, offset, instance, mask, valueType, buffer) ? buffer : "(0)";
  }
  std::string Tag(int instance) {
    char buffer[256];
    return GetServiceTag(buffer, instance) ? buffer : "(0)";
  }
  std::string SystemId() {
    char buffer[16] = "untouched";
    return GetSystemId(buffer) ? buffer : std::string("(0) ") + buffer;
  }
  Bytes Table(int type, int instance, int size, std::size_t room = 64) {
    Bytes buffer(room, 0xEE);
    if (!GetSmbTable(type, instance, size, buffer.data())) return {};
    return buffer;
  }
};

// A structure whose formatted area after the header holds `fields`.
sim::SmbiosBuilder Fields(Bytes fields) {
  sim::SmbiosBuilder b;
  b.Add(0x90, 0x9000, std::move(fields));
  return b;
}

TEST_F(QueriesTest, InstancesCountStructuresOfTheTypeInTableOrder) {
  sim::SmbiosBuilder b;
  b.Add(3, 0x300, {1, 3, 0, 2}, {"M", "FIRST"}).Add(1, 0x100, {1, 2, 3, 4}, {"x"});
  b.Add(3, 0x301, {1, 3, 0, 2}, {"M", "SECOND"});
  Attach(b);
  EXPECT_EQ(Tag(0), "FIRST");
  EXPECT_EQ(Tag(1), "SECOND");
  EXPECT_EQ(Tag(2), "(0)");
  EXPECT_EQ(Tag(-1), "(0)");
  EXPECT_EQ(Value(0x103, 4, 1, 0, 0), "1") << "the type is compared as its low 8 bits";
}

TEST_F(QueriesTest, AFieldMustLieWhollyInsideTheFormattedArea) {
  Attach(Fields({0x11, 0x22, 0x33, 0x44}));  // length 8
  EXPECT_EQ(Value(0x90, 7, 0, 0, 0), "68");
  EXPECT_EQ(Value(0x90, 6, 0, 0, 2), "17459");
  EXPECT_EQ(Value(0x90, 4, 0, 0, 4), "1144201745");
  EXPECT_EQ(Value(0x90, 8, 0, 0, 0), "(0)");
  EXPECT_EQ(Value(0x90, 7, 0, 0, 2), "(0)");
  EXPECT_EQ(Value(0x90, 5, 0, 0, 4), "(0)");
  EXPECT_EQ(Value(0x90, 1, 0, 0, 6), "(0)");
  EXPECT_EQ(Value(0x90, -1, 0, 0, 0), "(0)");
  EXPECT_EQ(Value(0x90, 0, 0, 0, 6), "4914309077217052816") << "8 bytes from the type byte";
}

TEST_F(QueriesTest, AnUnknownValueTypeFailsAndLeavesTheBufferUntouched) {
  Attach(Fields({0x11}));
  for (unsigned code : {9u, 0xFFFFFFFFu}) {
    char buffer[8] = "keep";
    EXPECT_EQ(GetSmbTableValue(0x90, 4, 0, 0, code, buffer), 0);
    EXPECT_STREQ(buffer, "keep");
  }
}

TEST_F(QueriesTest, MasksSelectBitsAndShiftTheLowestSetBitToBitZero) {
  Attach(Fields({0xF0, 0x80, 0x00, 0x80, 0x30, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(Value(0x90, 4, 0, 0xF0, 0), "15");
  EXPECT_EQ(Value(0x90, 5, 0, 0, 1), "-128");
  EXPECT_EQ(Value(0x90, 5, 0, 0x80, 1), "1");
  EXPECT_EQ(Value(0x90, 6, 0, 0, 3), "-32768");
  EXPECT_EQ(Value(0x90, 8, 0, 0x30, 0), "3") << "bits 4 and 5 land in bits 0 and 1";
  EXPECT_EQ(Value(0x90, 6, 0, 0xFFFF, 3), "-32768");
  EXPECT_EQ(Value(0x90, 6, 0, 0xFFFF0, 3), "2048") << "the sign is taken after the shift";
  EXPECT_EQ(Value(0x90, 6, 0, 0x8000, 2), "1");
  EXPECT_EQ(Value(0x90, 8, 0, 0x10, 4), "1");
  EXPECT_EQ(Value(0x90, 8, 0, 0x80000000, 5), "1");
  // Codes 6 and 7 ignore the mask.
  EXPECT_EQ(Value(0x90, 9, 0, 0xF0, 6), "18446744073709551615");
  EXPECT_EQ(Value(0x90, 9, 0, 0xF0, 7), "-1");
}

TEST_F(QueriesTest, EveryRenderingReachesItsLongestFormAndZeroIsOneDigit) {
  Attach(Fields({0xFF, 0x80, 0xFF, 0xFF, 0x00, 0x80, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00,
                 0x80, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0,    0,    0,    0,
                 0,    0,    0,    0x80, 0,    0,    0,    0,    0,    0,    0,    0}));
  EXPECT_EQ(Value(0x90, 4, 0, 0, 0), "255");
  EXPECT_EQ(Value(0x90, 5, 0, 0, 1), "-128");
  EXPECT_EQ(Value(0x90, 6, 0, 0, 2), "65535");
  EXPECT_EQ(Value(0x90, 8, 0, 0, 3), "-32768");
  EXPECT_EQ(Value(0x90, 10, 0, 0, 4), "4294967295");
  EXPECT_EQ(Value(0x90, 14, 0, 0, 5), "-2147483648");
  EXPECT_EQ(Value(0x90, 18, 0, 0, 6), "18446744073709551615");
  EXPECT_EQ(Value(0x90, 26, 0, 0, 7), "-9223372036854775808");
  EXPECT_EQ(Value(0x90, 34, 0, 0, 7), "0");
  EXPECT_EQ(Value(0x90, 34, 0, 0, 4), "0");
  EXPECT_EQ(Value(0x90, 4, 0, 0, 5), "-32513") << "0xFFFF80FF";
}

TEST_F(QueriesTest, StringNumbersZeroAndBeyondTheLastGiveAnEmptyText) {
  sim::SmbiosBuilder b;
  b.Add(3, 0x300, {1, 3, 0, 2, 0, 9}, {"Maker", "TAG"});
  b.Add(0x91, 0x9100, {1, 2});  // no strings at all
  Attach(b);
  EXPECT_EQ(Value(3, 4, 0, 0xFF, 8), "Maker") << "the mask is ignored";
  EXPECT_EQ(Value(3, 8, 0, 0, 8), "") << "0 means no string";
  EXPECT_EQ(Value(3, 9, 0, 0, 8), "");
  EXPECT_EQ(Value(0x91, 4, 0, 0, 8), "");
  EXPECT_EQ(Value(0x91, 5, 0, 0, 8), "");
}

TEST_F(QueriesTest, UnprintableBytesBecomeSpacesInTheCopyItself) {
  sim::SmbiosBuilder b;
  b.Add(3, 0x300, {1, 3, 0, 2},
        {"M", std::string("A\x0A"
                          "B\x7F"
                          "C\xE9"
                          "D\x1F\x20\x7E\x80")});
  Attach(b);
  const Bytes before = Table(3, 0, 64);
  EXPECT_EQ(before[11], 0x0A) << "a structure copy shows the raw bytes until a string query";
  EXPECT_EQ(Tag(0), "A B C D  ~ ");
  const Bytes after = Table(3, 0, 64);
  const Bytes expected = {'A', ' ', 'B', ' ', 'C', ' ', 'D', ' ', ' ', '~', ' ', 0, 0};
  EXPECT_EQ(Bytes(after.begin() + 10, after.begin() + 23), expected);
}

TEST_F(QueriesTest, SystemIdTakesTheVendorByteUnless254ThenTheVendorWord) {
  sim::SmbiosBuilder b;
  b.Add(208, 0xD000, {0x01, 0x02, 0x07, 0x00, 0x3C, 0x0A});
  b.Add(11, 0xB00, {2}, {"x", "1[0A3]"});
  Attach(b);
  EXPECT_EQ(SystemId(), "7");

  UnloadSmbTable();
  sim::SmbiosBuilder w;
  w.Add(208, 0xD000, {0x01, 0x02, 0xFE, 0x00, 0x3C, 0x0A});
  w.Add(11, 0xB00, {2}, {"x", "1[0A3]"});
  Attach(w);
  EXPECT_EQ(SystemId(), "2620");
}

TEST_F(QueriesTest, SystemIdFallsBackToTheOemStringsWhenTheVendorWordIsMissing) {
  sim::SmbiosBuilder b;
  b.Add(208, 0xD000, {0x01, 0x02, 0xFE, 0x00});  // byte 254, formatted area ends before offset 8
  b.Add(11, 0xB00, {3}, {"1[FF]", "Tarn", "1[0a3]"});
  Attach(b);
  EXPECT_EQ(SystemId(), "163") << "lower-case digits count; a 1[ in the first string is not seen";
}

TEST_F(QueriesTest, OemSystemIdsAcceptAnyCharacterAsADigitModulo65536) {
  const std::pair<std::string, std::string> cases[] = {
      {"1[0A3]", "163"}, {"1[]", "0"},      {"x1[ff]y", "255"}, {"1[12345]", "9029"},
      {"1[G]", "16"},    {"1[-]", "65526"}, {"1[7", "7"},       {"11[2]", "2"}};
  for (const auto& [text, id] : cases) {
    sim::SmbiosBuilder b;
    b.Add(11, 0xB00, {2}, {"first", text});
    Attach(b);
    EXPECT_EQ(SystemId(), id) << text;
    UnloadSmbTable();
  }
}

TEST_F(QueriesTest, SystemIdFailsWithoutASourceAndKeepsWhatAnEarlierSourceWrote) {
  sim::SmbiosBuilder b;
  b.Add(208, 0xD000, {0x01, 0x02, 0xFE});  // byte 254, no word
  b.Add(11, 0xB00, {2}, {"first", "no id"});
  Attach(b);
  EXPECT_EQ(SystemId(), "(0) 254");
  UnloadSmbTable();

  sim::SmbiosBuilder none;
  none.Add(1, 0x100, {0});
  Attach(none);
  EXPECT_EQ(SystemId(), "(0) untouched");
}

TEST_F(QueriesTest, AnOemStructureWithOneStringDoesNotScanIntoTheNextStructure) {
  sim::SmbiosBuilder b;
  b.Add(11, 0xB00, {1}, {"only"});
  b.Add(0x92, 0x9200, {0x31, 0x5B, 0x35, 0x5D});  // "1[5]" in the next formatted area
  b.Add(0x93, 0x9300, {}, {"1[6]"});
  Attach(b);
  EXPECT_EQ(SystemId(), "(0) untouched");
}

TEST_F(QueriesTest, TableCopiesAtMostTheBufferAndNothingBeyondTheDoubleZero) {
  sim::SmbiosBuilder b;
  b.Add(3, 0x300, {1, 3, 0, 2}, {"M", "TAG"});
  Attach(b);
  const Bytes whole = {3, 8, 0, 3, 1, 3, 0, 2, 'M', 0, 'T', 'A', 'G', 0, 0};
  Bytes got = Table(3, 0, 64);
  EXPECT_EQ(Bytes(got.begin(), got.begin() + 15), whole);
  EXPECT_EQ(got[15], 0xEE) << "the rest of the buffer is untouched";
  got = Table(3, 0, 5);
  EXPECT_EQ(Bytes(got.begin(), got.begin() + 6), (Bytes{3, 8, 0, 3, 1, 0xEE}));
  got = Table(3, 0, 0);
  EXPECT_EQ(got, Bytes(64, 0xEE)) << "size 0 copies nothing and still answers 1";
  EXPECT_TRUE(Table(3, 0, -1).empty());
  EXPECT_TRUE(Table(3, 1, 64).empty());
}

TEST_F(QueriesTest, AStructureAfterOneWithoutStringsStartsRightAfterTheFirstTwoZeros) {
  // A type-0 structure after one without strings: three zeros in a row, of which the first two end
  // the string area and the third is the next type.
  sim::SmbiosBuilder b;
  b.Add(0x80, 0x8000, {});
  b.Add(0, 0x0001, {1, 0x42}, {"V"});
  b.Add(0, 0x0002, {1, 0x43}, {"W"});
  Attach(b);
  EXPECT_EQ(Value(0, 5, 0, 0, 0), "66");
  EXPECT_EQ(Value(0, 4, 1, 0, 8), "W");
  const Bytes got = Table(0, 0, 64);
  EXPECT_EQ(Bytes(got.begin(), got.begin() + 10), (Bytes{0, 6, 0x01, 0x00, 1, 0x42, 'V', 0, 0, 0xEE}));
}

TEST_F(QueriesTest, NullBuffersAndAMissingTableAnswerZero) {
  char buffer[64];
  EXPECT_EQ(GetServiceTag(buffer, 0), 0);
  EXPECT_EQ(GetSystemId(buffer), 0);
  EXPECT_EQ(GetSmbTable(3, 0, 64, buffer), 0);
  EXPECT_EQ(GetSmbTableValue(3, 4, 0, 0, 0, buffer), 0);
  Attach(sim::SmbiosBuilder().Add(3, 0x300, {1, 3, 0, 2}, {"M", "T"}).Add(208, 0xD000, {1, 2, 3}));
  EXPECT_EQ(GetServiceTag(nullptr, 0), 0);
  EXPECT_EQ(GetSystemId(nullptr), 0);
  EXPECT_EQ(GetSmbTable(3, 0, 64, nullptr), 0);
  EXPECT_EQ(GetSmbTableValue(3, 4, 0, 0, 0, nullptr), 0);
  EXPECT_EQ(GetAttribute(1, 2, 3, 4), 0);
}

TEST_F(QueriesTest, TheBannerIs44CharactersWithTheBuildDateAndTimeWithOrWithoutATable) {
  char buffer[64];
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(GetDllVersion(buffer), 0);
  EXPECT_EQ(std::strlen(buffer), 44u);
  EXPECT_TRUE(
      std::regex_match(buffer, std::regex("Tarn System Information [A-Z][a-z][a-z] [ 123][0-9] [0-9]{4} "
                                          "[0-2][0-9]:[0-5][0-9]:[0-6][0-9]")))
      << buffer;
  EXPECT_EQ(buffer[45], 'x');
  EXPECT_EQ(GetDllVersion(nullptr), 0);
}

// ---- damaged tables: nothing is read beyond the copy

TEST_F(QueriesTest, AStructureWhoseFormattedAreaPassesTheTableEndIsNotFound) {
  sim::SmbiosBuilder b;
  b.Add(1, 0x100, {0}, {"a"});
  b.Raw({3, 0x20, 0x00, 0x03, 1, 3, 0, 2});  // declares 32 bytes, 8 remain
  Attach(b);
  EXPECT_EQ(Tag(0), "(0)");
  EXPECT_TRUE(Table(3, 0, 64).empty());
  EXPECT_EQ(Value(1, 4, 0, 0, 0), "0") << "the structure before it is whole";
}

TEST_F(QueriesTest, AStringCutByTheTableEndEndsThere) {
  sim::SmbiosBuilder b;
  b.Raw({3, 8, 0x00, 0x03, 1, 3, 0, 2, 'M', 0, 'C', 'U', 'T'});
  Attach(b);
  EXPECT_EQ(Tag(0), "CUT");
  const Bytes got = Table(3, 0, 64);
  EXPECT_EQ(Bytes(got.begin(), got.begin() + 14),
            (Bytes{3, 8, 0, 3, 1, 3, 0, 2, 'M', 0, 'C', 'U', 'T', 0xEE}));
  EXPECT_EQ(Value(3, 7, 0, 0, 8), "CUT");
}

TEST_F(QueriesTest, TheOemSearchStopsAtTheTableEnd) {
  for (Bytes tail : {Bytes{'1'}, Bytes{'1', '['}, Bytes{'1', '[', 'F'}, Bytes{'x', 'y'}}) {
    sim::SmbiosBuilder b;
    Bytes oem = {11, 5, 0x00, 0x0B, 2, 'a', 0};
    oem.insert(oem.end(), tail.begin(), tail.end());
    b.Raw(oem);
    Attach(b);
    const std::string expected = tail.size() == 1 || tail[0] == 'x' ? "(0) untouched"
                                 : tail.size() == 2                 ? "0"
                                                                    : "15";
    EXPECT_EQ(SystemId(), expected);
    UnloadSmbTable();
  }
}

TEST_F(QueriesTest, AStringOverAShortHeaderChangesWhatLaterQueriesFind) {
  // A type-1 structure of length 1: string 1 starts at its length byte, which the query rewrites to
  // a space. The structure then claims 32 bytes, more than the table holds, and a walk finds nothing.
  sim::SmbiosBuilder b;
  b.Raw({1, 1, 'A', 0, 0});
  b.Add(3, 0x300, {1, 3, 0, 2}, {"M", "TAG"});
  Attach(b);
  EXPECT_EQ(Tag(0), "TAG");
  EXPECT_EQ(Value(1, 0, 0, 0, 8), " A");
  EXPECT_EQ(Tag(0), "(0)");
  EXPECT_TRUE(Table(1, 0, 64).empty());
}

TEST_F(QueriesTest, AZeroLengthHeaderIsWalkedOverWithoutHanging) {
  sim::SmbiosBuilder b;
  b.Raw({0x05, 0x00, 0x06, 0x00, 'j', 'u', 'n', 'k', 0, 0});
  b.Add(3, 0x300, {1, 3, 0, 2}, {"M", "AFTER"});
  Attach(b);
  EXPECT_EQ(Tag(0), "AFTER");
  EXPECT_EQ(Value(5, 0, 0, 0, 0), "(0)") << "no field lies inside a formatted area of length 0";
}

TEST_F(QueriesTest, ZeroPaddingIsAStructureEveryTwoBytesAndFillsTheIndexToItsBound) {
  sim::SmbiosBuilder zeros;
  zeros.Raw(Bytes(0xFFFE, 0));  // the longest table the index takes
  Attach(zeros);
  ASSERT_NE(CurrentSmbIndex(), nullptr);
  EXPECT_FALSE(Table(0, 0x7FFE, 2).empty()) << "the last of 32767";
  EXPECT_TRUE(Table(0, 0x7FFF, 2).empty());
}

}  // namespace
