// e2e-fixtures: writes the machine of the end-to-end tests, in the forms zim-sim takes, into a folder:
//   table.bin        a `dmidecode --dump-bin` file
//   table-no-checksum.bin, table-clock.bin   the same with tokens 92 and 93 on the clock's bank, in
//                    a token table that keeps no checksum, and in the clock's status register B
//   cmos-0x70.bin    CMOS behind 0x70/0x71, checksum type 0 over 0x10-0x2D at 0x2E
//   cmos-0x72.bin    CMOS behind 0x72/0x73, checksum type 1 over 0x40-0x7D at 0x7E
//   E2E.HDR          the image beside ZIM
// The table differs from the demo machine's where it matters to the tests: tokens 92 and 93 live in
// the second token table (the first must be searched past), the chassis structure comes twice and the
// second one's serial number holds unprintable bytes, the system id comes from the OEM strings in
// lower-case hex, and the image beside ZIM is not a whole number of sectors.
//   e2e-fixtures DIR
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "platform/sim/smbios_builder.h"

namespace {

bool Write(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

// Where tokens 92 and 93 live: the second bank's token table, or one on the clock's bank whose
// checksum descriptor is all zero (no checksum), or one that puts them in the clock's status
// register B.
enum class Tokens { kSecondBank, kNoChecksum, kClockRegister };

std::vector<std::uint8_t> Table(Tokens tokens) {
  sim::SmbiosBuilder t;
  t.Add(0, 0x0000,
        {1, 2, 0x00, 0xF0, 3, 0x1F, 0x80, 0x98, 0x8B, 0x3F, 0x01, 0x00, 0x00, 0x00, 0x03, 0x0D, 2, 11},
        {"Tarn Computer Corporation", "B12", "03/09/2004"});
  t.Add(1, 0x0100, {1,    2,    0,    3,    0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                    0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0x01, 0x06},
        {"Tarn Computer Corporation", "Brno D610", "4HJ9M2X"});
  t.Add(3, 0x0300, {1, 0x0A, 0, 2, 3, 0x03, 0x03, 0x03, 0x01},
        {"Tarn Computer Corporation", "4HJ9M2X", "E2E-7"});
  t.Add(3, 0x0301, {1, 0x0C, 0, 2, 0, 0x03, 0x03, 0x03, 0x01},
        {"Tarn Docking Station", std::string("DK\x07") + "12\xE9" + "4\x7F"});
  t.Add(11, 0x0B00, {3}, {"Tarn Computer Corporation", "1[1f4]", "unused 1[999]"});
  t.TokenTable(0xD400, 0x70, 0x71, 0, 0x10, 0x2D, 0x2E,
               {{0x0001, 0x30, 0xFE, 0x01}, {0x0002, 0x30, 0xFE, 0x00}, {0x00D5, 0x14, 0xF3, 0x04}});
  if (tokens == Tokens::kSecondBank)
    t.TokenTable(0xD401, 0x72, 0x73, 1, 0x40, 0x7D, 0x7E,
                 {{0x0120, 0x45, 0x7F, 0x80},
                  {92, 0x52, 0xFB, 0x04},
                  {93, 0x52, 0xF7, 0x08},
                  {0x0210, 0x50, 0xF0, 0x0A}});
  if (tokens == Tokens::kNoChecksum)
    t.TokenTable(0xD401, 0x70, 0x71, 0, 0x00, 0x00, 0x00, {{92, 0x78, 0xFE, 0x01}, {93, 0x78, 0xFE, 0x00}});
  if (tokens == Tokens::kClockRegister)
    t.TokenTable(0xD401, 0x70, 0x71, 0, 0x10, 0x2D, 0x2E, {{92, 0x0B, 0xFB, 0x04}, {93, 0x0B, 0xF7, 0x08}});
  t.Add(32, 0x2000, {0, 0, 0, 0, 0, 0, 0});
  t.EndOfTable(0x7F00);
  return t.DumpBin();
}

// Fills start..end with a pattern and stores the checksum of that range at `at`, as the token table says.
void Fill(std::vector<std::uint8_t>& bank, unsigned seed, unsigned start, unsigned end) {
  for (unsigned i = start; i <= end; ++i) bank[i] = static_cast<std::uint8_t>((i * seed + 3) & 0xFF);
}
void StoreChecksum(std::vector<std::uint8_t>& bank, unsigned start, unsigned end, unsigned at, int type) {
  unsigned sum = 0;
  for (unsigned i = start; i <= end; ++i) sum += bank[i];
  if (type == 1) {
    bank[at] = static_cast<std::uint8_t>(sum);
  } else {
    bank[at] = static_cast<std::uint8_t>(sum >> 8);
    bank[at + 1] = static_cast<std::uint8_t>(sum);
  }
}

// 70000 bytes: more than a sector, not a whole number of them, every byte value many times.
std::vector<std::uint8_t> Image() {
  std::vector<std::uint8_t> image(70000);
  const std::string header = "TARN BIOS B12 ";
  for (std::size_t i = 0; i < image.size(); ++i)
    image[i] = i < header.size() ? static_cast<std::uint8_t>(header[i])
                                 : static_cast<std::uint8_t>(i * 131 + i / 256);
  return image;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: e2e-fixtures DIR\n", stderr);
    return 2;
  }
  const std::string dir = argv[1];
  std::vector<std::uint8_t> rtc(256, 0), ext(256, 0);
  Fill(rtc, 37, 0x10, 0x2D);
  rtc[0x0B] = 0x02;
  StoreChecksum(rtc, 0x10, 0x2D, 0x2E, 0);
  Fill(ext, 13, 0x40, 0x7D);
  ext[0x52] &= 0xF3;  // neither token 92 nor 93 is set
  StoreChecksum(ext, 0x40, 0x7D, 0x7E, 1);
  if (!Write(dir + "/table.bin", Table(Tokens::kSecondBank)) ||
      !Write(dir + "/table-no-checksum.bin", Table(Tokens::kNoChecksum)) ||
      !Write(dir + "/table-clock.bin", Table(Tokens::kClockRegister)) || !Write(dir + "/cmos-0x70.bin", rtc) ||
      !Write(dir + "/cmos-0x72.bin", ext) || !Write(dir + "/E2E.HDR", Image())) {
    std::fprintf(stderr, "e2e-fixtures: %s: cannot be written\n", dir.c_str());
    return 2;
  }
  return 0;
}
