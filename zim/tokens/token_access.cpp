#include "zim/tokens/token_access.h"

#include <algorithm>
#include <cstddef>
#include <iterator>

#include "zim/driver/driver_channel.h"

namespace {

void Report(std::uint8_t* status, std::uint8_t value) {
  if (status != nullptr) *status = value;
}

// One step of the checksum over byte b: the running 16-bit value for the type.
std::uint16_t ChecksumStep(std::uint8_t type, std::uint16_t value, std::uint8_t b) {
  if (type != 2) return static_cast<std::uint16_t>(value + b);
  std::uint16_t x = static_cast<std::uint16_t>(value ^ b);
  // Seven rounds, not eight: this is the check the BIOS computes, and it must match it bit for bit.
  for (int round = 0; round < 7; ++round) {
    const bool low = (x & 1) != 0;
    x = static_cast<std::uint16_t>(x >> 1);
    if (low) x = static_cast<std::uint16_t>((x | 0x8000) ^ 0xA001);
  }
  return x;
}

std::uint16_t ChecksumFinish(std::uint8_t type, std::uint16_t value) {
  if (type == 1) return static_cast<std::uint16_t>(value & 0xFF);
  if (type == 3) return static_cast<std::uint16_t>(0x10000 - value);
  return value;
}

}  // namespace

std::uint16_t CmosChecksum(std::uint8_t type, const std::uint8_t* bytes, std::size_t count) {
  std::uint16_t value = 0;
  for (std::size_t i = 0; i < count; ++i) value = ChecksumStep(type, value, bytes[i]);
  return ChecksumFinish(type, value);
}

bool CTokenAccess::FindEntryPoint(std::uint8_t* status) {
  CDriverChannel channel;
  bool anchorSeen = false;
  bool found = false;
  std::uint32_t p = kScanStart;
  for (; p <= kScanLast; p += 16) {
    if (channel.ReadPhysDword(p, 0) != kAnchor) continue;
    anchorSeen = true;
    const std::uint8_t length = channel.ReadPhysByte(p, 5);
    // A length of 0 is accepted without a checksum.
    std::uint8_t sum = 0;
    for (std::uint32_t i = 0; i < length; ++i)
      sum = static_cast<std::uint8_t>(sum + channel.ReadPhysByte(p, i));
    if (sum == 0) {
      found = true;
      break;
    }
  }
  if (!found) {
    Report(status, anchorSeen ? 2 : 1);
    return false;
  }
  m_btEntryChecksum = channel.ReadPhysByte(p, 4);
  m_btEntryLength = channel.ReadPhysByte(p, 5);
  m_btMajorVersion = channel.ReadPhysByte(p, 6);
  m_btMinorVersion = channel.ReadPhysByte(p, 7);
  m_wMaxStructureSize = channel.ReadPhysWord(p, 8);
  m_wTableLength = channel.ReadPhysWord(p, 0x16);
  m_dwTableAddress = channel.ReadPhysDword(p, 0x18);
  m_wStructureCount = channel.ReadPhysWord(p, 0x1C);
  m_btBcdRevision = channel.ReadPhysByte(p, 0x1E);
  m_dwEntryPointAddress = p;
  m_dwTableEnd = m_dwTableAddress + m_wTableLength;
  // A read that failed on the way may have hidden the real entry point or given a field as 0: the
  // table is not to be walked, nor anything written, by such a copy.
  if (channel.ReadFailed()) {
    Report(status, kReadFailed);
    return false;
  }
  // The table must lie wholly within the first megabyte; an end that is not above the start means
  // a zero length or a sum that wrapped.
  if (m_dwTableEnd > 0xFFFFF || m_dwTableEnd <= m_dwTableAddress) {
    Report(status, 3);
    return false;
  }
  Report(status, 0);
  return true;
}

bool CTokenAccess::FindTokenStructure(std::int32_t n, std::uint8_t* status) {
  CDriverChannel channel;
  std::uint32_t p = m_dwTableAddress;
  std::uint16_t count = 0;
  bool seen = false;
  // An n of 0 or less never matches; it is not decremented, so no count of token tables overflows it.
  std::int32_t remaining = n;
  for (;;) {
    ++count;
    if (channel.ReadPhysByte(p, 0) == kTokenTableType) {
      seen = true;
      if (remaining > 0 && --remaining == 0) break;
    }
    const std::uint32_t q = p + channel.ReadPhysByte(p, 1);
    std::uint32_t next;
    if (channel.ReadPhysWord(q, 0) == 0) {
      next = q + 2;
    } else {
      // The first two consecutive zero bytes end the string area.
      std::uint32_t r = q + 1;
      for (;; ++r) {
        if (r >= m_dwTableEnd) {
          Report(status, channel.ReadFailed() ? kReadFailed : 3);
          return false;
        }
        if (channel.ReadPhysWord(r, 0) == 0) break;
      }
      next = r + 2;
    }
    if (count >= m_wStructureCount || next >= m_dwTableEnd) {
      // A type or length read as 0 may have hidden the table looked for.
      Report(status, channel.ReadFailed() ? kReadFailed : seen ? 2 : 1);
      return false;
    }
    p = next;
  }
  const std::uint8_t type = channel.ReadPhysByte(p, 0);
  const std::uint8_t length = channel.ReadPhysByte(p, 1);
  const std::uint16_t handle = channel.ReadPhysWord(p, 2);
  const std::uint16_t indexPort = channel.ReadPhysWord(p, 4);
  const std::uint16_t dataPort = channel.ReadPhysWord(p, 6);
  const std::uint8_t checksumType = channel.ReadPhysByte(p, 8);
  const std::uint8_t checksumStart = channel.ReadPhysByte(p, 9);
  const std::uint8_t checksumEnd = channel.ReadPhysByte(p, 10);
  const std::uint8_t checksumLocation = channel.ReadPhysByte(p, 11);
  // A failed read in the walk or of a field reads as 0: ports, checksum range or location taken
  // from it would send the writes to the wrong CMOS bytes.
  if (channel.ReadFailed()) {
    Report(status, kReadFailed);
    return false;
  }
  m_btType = type;
  m_btLength = length;
  m_wHandle = handle;
  m_wIndexPort = indexPort;
  m_wDataPort = dataPort;
  m_btChecksumType = checksumType;
  m_btChecksumStart = checksumStart;
  m_btChecksumEnd = checksumEnd;
  m_btChecksumLocation = checksumLocation;
  m_dwStructureAddress = p;
  m_dwRecordsStart = p + 12;
  m_dwStructureEnd = p + m_btLength;
  Report(status, 0);
  return true;
}

bool CTokenAccess::FindToken(std::uint16_t id, std::uint8_t* status) {
  CDriverChannel channel;
  std::uint32_t r = m_dwRecordsStart;
  for (;; r += 5) {
    // An id read as 0 may have hidden the token: the search must not go on to a later table.
    if (r > m_dwTableEnd) {
      Report(status, channel.ReadFailed() ? kReadFailed : 2);
      return false;
    }
    if (r >= m_dwStructureEnd) {
      Report(status, channel.ReadFailed() ? kReadFailed : 1);
      return false;
    }
    if (channel.ReadPhysWord(r, 0) == id) break;
  }
  const std::uint8_t location = channel.ReadPhysByte(r, 2);
  const std::uint8_t andMask = channel.ReadPhysByte(r, 3);
  const std::uint8_t orValue = channel.ReadPhysByte(r, 4);
  // A record read as 0 in part would write the wrong byte or the wrong bits, and could even read
  // back as set.
  if (channel.ReadFailed()) {
    Report(status, kReadFailed);
    return false;
  }
  m_dwRecordAddress = r;
  m_btLocation = location;
  m_btAndMask = andMask;
  m_btOrValue = orValue;
  Report(status, 0);
  return true;
}

bool CTokenAccess::FindFirstToken(std::uint16_t id) {
  if (!FindEntryPoint(nullptr)) return false;
  bool found = false;
  std::uint8_t searched = 0;
  for (std::int32_t n = 1; !found && searched != kReadFailed && FindTokenStructure(n, nullptr); ++n)
    found = FindToken(id, &searched);
  return found;
}

bool CTokenAccess::HasChecksum() const {
  return m_btChecksumType <= 3 &&
         (m_btChecksumStart != 0 || m_btChecksumEnd != 0 || m_btChecksumLocation != 0);
}

bool CTokenAccess::Forbidden(unsigned location) const {
  const bool clockBank = m_wIndexPort == 0x70 || m_wIndexPort == 0x74;
  return (clockBank && location <= 0x0D) || (m_wIndexPort == 0x70 && location >= 0x80);
}

int CTokenAccess::ForbiddenLocation(bool token) const {
  if (token && Forbidden(m_btLocation)) return m_btLocation;
  if (!HasChecksum()) return -1;
  for (unsigned i = m_btChecksumStart; i <= m_btChecksumEnd; ++i)
    if (Forbidden(i)) return static_cast<int>(i);
  if (Forbidden(m_btChecksumLocation)) return m_btChecksumLocation;
  const auto next = static_cast<std::uint8_t>(m_btChecksumLocation + 1);
  if (m_btChecksumType != 1 && Forbidden(next)) return next;
  return -1;
}

std::uint8_t CTokenAccess::PlanWrite(bool token) {
  m_nPlanned = 0;
  m_nAttempted = 0;
  // Checked from the fields alone, before any control: the clock's registers are not even read.
  if (ForbiddenLocation(token) >= 0) return kNotBiosCmos;
  CDriverChannel channel;
  // Each byte is read once, before anything is written: a read that failed after the token's byte
  // was written would put a wrong checksum over it, and the BIOS would throw the settings away.
  std::uint8_t cmos[256] = {};
  bool held[256] = {};
  auto read = [&](std::uint8_t location) {
    // After a failed read nothing will be written: a failing device is asked no more.
    if (held[location] || channel.ReadFailed()) return;
    cmos[location] = channel.ReadIndexedPort(m_wIndexPort, location, m_wDataPort);
    held[location] = true;
  };
  const bool checksum = HasChecksum();
  const bool twoBytes = checksum && m_btChecksumType != 1;
  const std::uint8_t at = m_btChecksumLocation;
  const auto next = static_cast<std::uint8_t>(at + 1);
  if (token) read(m_btLocation);
  if (checksum) {
    for (unsigned i = m_btChecksumStart; i <= m_btChecksumEnd; ++i) read(static_cast<std::uint8_t>(i));
    read(at);
    if (twoBytes) read(next);
  }
  if (channel.ReadFailed()) return kReadFailed;

  // What CMOS holds as each write is made: the checksum covers the new token byte, and takes the
  // bytes at its own location as they were, when the range holds them.
  std::uint8_t after[256];
  std::copy(std::begin(cmos), std::end(cmos), std::begin(after));
  auto plan = [&](std::uint8_t location, std::uint8_t value) {
    m_writes[m_nPlanned++] = CmosWrite{location, cmos[location], value};
    after[location] = value;
  };
  if (token) plan(m_btLocation, static_cast<std::uint8_t>((cmos[m_btLocation] & m_btAndMask) | m_btOrValue));
  if (checksum) {
    std::uint16_t value = 0;
    for (unsigned i = m_btChecksumStart; i <= m_btChecksumEnd; ++i)
      value = ChecksumStep(m_btChecksumType, value, after[i]);
    value = ChecksumFinish(m_btChecksumType, value);
    if (twoBytes) {
      plan(at, static_cast<std::uint8_t>(value >> 8));
      plan(next, static_cast<std::uint8_t>(value & 0xFF));
    } else {
      plan(at, static_cast<std::uint8_t>(value & 0xFF));
    }
  }
  return 0;
}

std::uint8_t CTokenAccess::MakeWrites() {
  CDriverChannel channel;
  for (m_nAttempted = 0; m_nAttempted < m_nPlanned;) {
    const CmosWrite& w = m_writes[m_nAttempted++];
    if (!channel.WriteIndexedPort(m_wIndexPort, w.location, m_wDataPort, w.value))
      return PutBack() ? kPutBack : kPutBackFailed;
  }
  return 0;
}

bool CTokenAccess::PutBack() {
  CDriverChannel channel;
  bool done[256] = {};
  // The failed write is put back too: the device may have made it before it reported the failure.
  for (int i = m_nAttempted; i-- > 0;) {
    const CmosWrite& w = m_writes[i];
    if (done[w.location]) continue;
    done[w.location] = true;
    if (!channel.WriteIndexedPort(m_wIndexPort, w.location, m_wDataPort, w.before)) return false;
  }
  m_nAttempted = 0;
  return true;
}

bool CTokenAccess::SetToken(std::int32_t write, std::uint8_t* status) {
  if (write != 0) {
    // Written from a failed read, the byte would lose every bit the token does not own, or the
    // checksum would not match: nothing is written.
    const std::uint8_t planned = PlanWrite(true);
    if (planned != 0) {
      Report(status, planned);
      return false;
    }
    const std::uint8_t written = MakeWrites();
    if (written != 0) {
      Report(status, written);
      return false;
    }
  }
  if (write == 0 && Forbidden(m_btLocation)) {
    Report(status, kNotBiosCmos);
    return true;
  }
  CDriverChannel channel;
  const std::uint8_t v = channel.ReadIndexedPort(m_wIndexPort, m_btLocation, m_wDataPort);
  // A read-back that failed shows nothing: a token whose OR value is 0 would seem set. After a write
  // the device has failed in the middle of it, and what it wrote goes back.
  if (channel.ReadFailed()) {
    Report(status, write == 0 ? kReadFailed : PutBack() ? kPutBack : kPutBackFailed);
    return write == 0;
  }
  if ((v & static_cast<std::uint8_t>(~m_btAndMask)) == m_btOrValue) {
    Report(status, 0);
    return true;
  }
  Report(status, write != 0 ? 2 : 1);
  return write == 0;
}

bool CTokenAccess::UpdateChecksum(std::int32_t verify) {
  if (verify == 0) return PlanWrite(false) == 0 && MakeWrites() == 0;
  // No checksum kept: nothing to compare, and nothing is read.
  if (!HasChecksum()) return true;
  if (ForbiddenLocation(false) >= 0) return false;
  CDriverChannel channel;
  std::uint16_t value = 0;
  for (unsigned i = m_btChecksumStart; i <= m_btChecksumEnd; ++i)
    value = ChecksumStep(m_btChecksumType, value,
                         channel.ReadIndexedPort(m_wIndexPort, static_cast<std::uint8_t>(i), m_wDataPort));
  value = ChecksumFinish(m_btChecksumType, value);
  const auto high = static_cast<std::uint8_t>(value >> 8);
  const auto low = static_cast<std::uint8_t>(value & 0xFF);
  const std::uint8_t at = m_btChecksumLocation;
  const auto next = static_cast<std::uint8_t>(at + 1);
  bool matches;
  if (m_btChecksumType == 1)
    matches = channel.ReadIndexedPort(m_wIndexPort, at, m_wDataPort) == low;
  else
    matches = channel.ReadIndexedPort(m_wIndexPort, at, m_wDataPort) == high &&
              channel.ReadIndexedPort(m_wIndexPort, next, m_wDataPort) == low;
  // A failed read compares as 0 and proves nothing.
  return matches && !channel.ReadFailed();
}
