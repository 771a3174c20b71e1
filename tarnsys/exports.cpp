// The six exported queries. They only read the structure table copy, except that a string query
// replaces unprintable bytes of its string in the copy.
#include <algorithm>
#include <bit>
#include <cstring>

#include "tarnsys/smb_index.h"
#include "tarnsys/smb_table.h"
#include "tarnsys/tarnsys.h"

namespace {

// __DATE__ pads a day below 10 with a blank ("Aug  6 2001"), so the banner is 44 characters on
// every day of the year, and callers' 45-byte buffers always hold it.
constexpr char kBanner[] = "Tarn System Information " __DATE__ " " __TIME__;
static_assert(sizeof kBanner == 45, "the banner is 44 characters and its terminator");

constexpr unsigned kStringValue = 8;
constexpr unsigned kFieldWidth[] = {1, 1, 2, 2, 4, 4, 8, 8, 1};

std::uint64_t ReadLittleEndian(const std::uint8_t* field, unsigned width) {
  std::uint64_t value = 0;
  for (unsigned i = 0; i < width; ++i) value |= static_cast<std::uint64_t>(field[i]) << (8 * i);
  return value;
}

// The digit value of one character of an OEM system id: no character is rejected.
int HexDigit(std::uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'z') c = static_cast<std::uint8_t>(c - 'a' + 'A');
  return c - 55;
}

// The system id that an OEM string gives as 1[hex], after the first OEM string; false when the
// string area ends, or the table does, before such a pair.
bool OemSystemId(char* buffer) {
  const std::uint8_t* oem = FindSmbStructure(11, 0);
  if (oem == nullptr) return false;
  const SmbTable table = LoadedSmbTable();
  const std::uint8_t* t = table.start;
  std::size_t at = static_cast<std::size_t>(oem - t) + oem[1];
  while (at < table.length && t[at] != 0) ++at;
  ++at;
  // An empty string here means the area held at most one string: the zero that closes it must not
  // be read as the start of a scan that would run on into the next structure.
  if (at >= table.length || t[at] == 0) return false;
  for (; at + 1 < table.length; ++at) {
    if (t[at] == 0 && t[at + 1] == 0) return false;
    if (t[at] != '1' || t[at + 1] != '[') continue;
    std::uint32_t value = 0;
    for (std::size_t p = at + 2; p < table.length && t[p] != ']' && t[p] != 0; ++p)
      value = (value * 16 + static_cast<std::uint32_t>(HexDigit(t[p]))) & 0xFFFF;
    RenderUnsigned(value, buffer);
    return true;
  }
  return false;
}

// One field of a found structure, rendered as GetSmbTableValue renders it; 1 done, 0 not.
int RenderField(std::uint8_t* structure, int offset, unsigned mask, unsigned valueType, char* buffer) {
  const int width = static_cast<int>(valueType <= kStringValue ? kFieldWidth[valueType] : 1);
  if (offset < 0 || offset > structure[1] - width) return 0;
  if (valueType > kStringValue) return 0;
  const std::uint8_t* field = structure + offset;

  if (valueType == kStringValue) {
    const SmbText text = GetSmbString(structure, field[0]);
    BeforeStringRewrite(structure, text);
    SanitizeSmbString(text);
    std::memcpy(buffer, text.text, text.length);
    buffer[text.length] = '\0';
    return 1;
  }
  if (valueType == 6) {
    RenderUnsigned(ReadLittleEndian(field, 8), buffer);
    return 1;
  }
  if (valueType == 7) {
    RenderSigned(static_cast<std::int64_t>(ReadLittleEndian(field, 8)), buffer);
    return 1;
  }
  auto value = static_cast<std::uint32_t>(ReadLittleEndian(field, static_cast<unsigned>(width)));
  if (mask != 0) value = (value & mask) >> std::countr_zero(mask);
  switch (valueType) {
    case 0:
      RenderUnsigned(static_cast<std::uint8_t>(value), buffer);
      break;
    case 1:
      RenderSigned(static_cast<std::int8_t>(value), buffer);
      break;
    case 2:
      RenderUnsigned(static_cast<std::uint16_t>(value), buffer);
      break;
    case 3:
      RenderSigned(static_cast<std::int16_t>(value), buffer);
      break;
    case 4:
      RenderUnsigned(value, buffer);
      break;
    default:
      RenderSigned(static_cast<std::int32_t>(value), buffer);
      break;
  }
  return 1;
}

}  // namespace

extern "C" {

int TARNSYS_CALL GetAttribute(int, int, int, int) { return 0; }

int TARNSYS_CALL GetDllVersion(char* buffer) {
  if (buffer != nullptr) std::memcpy(buffer, kBanner, sizeof kBanner);
  return 0;
}

int TARNSYS_CALL GetServiceTag(char* buffer, int instance) {
  if (buffer == nullptr) return 0;
  return GetSmbTableValue(3, 7, instance, 0, kStringValue, buffer);
}

int TARNSYS_CALL GetSmbTable(int type, int instance, int bufferSize, void* buffer) {
  // A negative size is no size at all: nothing is copied and the request fails.
  if (buffer == nullptr || bufferSize < 0) return 0;
  const std::uint8_t* structure = FindSmbStructure(type, instance);
  if (structure == nullptr) return 0;
  const std::size_t size = std::min(MeasureSmbStructure(structure), static_cast<std::size_t>(bufferSize));
  std::memcpy(buffer, structure, size);
  return 1;
}

int TARNSYS_CALL GetSmbTableValue(int type, int offset, int instance, unsigned mask, unsigned valueType,
                                  char* buffer) {
  if (buffer == nullptr) return 0;
  std::uint8_t* structure = FindSmbStructure(type, instance);
  if (structure == nullptr) return 0;
  return RenderField(structure, offset, mask, valueType, buffer);
}

int TARNSYS_CALL GetSystemId(char* buffer) {
  if (buffer == nullptr) return 0;
  // Both fields of the first type-208 structure come from one walk to it.
  if (std::uint8_t* vendor = FindSmbStructure(208, 0); vendor != nullptr) {
    if (RenderField(vendor, 6, 0, 0, buffer) && std::strcmp(buffer, "254") != 0) return 1;
    if (RenderField(vendor, 8, 0, 2, buffer)) return 1;
  }
  return OemSystemId(buffer) ? 1 : 0;
}

}  // extern "C"
