#include "zim/tokens/token_access.h"

#include <cstddef>

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
    for (std::uint32_t i = 0; i < length; ++i) sum = static_cast<std::uint8_t>(sum + channel.ReadPhysByte(p, i));
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
          Report(status, 3);
          return false;
        }
        if (channel.ReadPhysWord(r, 0) == 0) break;
      }
      next = r + 2;
    }
    if (count >= m_wStructureCount || next >= m_dwTableEnd) {
      Report(status, seen ? 2 : 1);
      return false;
    }
    p = next;
  }
  m_btType = channel.ReadPhysByte(p, 0);
  m_btLength = channel.ReadPhysByte(p, 1);
  m_wHandle = channel.ReadPhysWord(p, 2);
  m_wIndexPort = channel.ReadPhysWord(p, 4);
  m_wDataPort = channel.ReadPhysWord(p, 6);
  m_btChecksumType = channel.ReadPhysByte(p, 8);
  m_btChecksumStart = channel.ReadPhysByte(p, 9);
  m_btChecksumEnd = channel.ReadPhysByte(p, 10);
  m_btChecksumLocation = channel.ReadPhysByte(p, 11);
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
    if (r > m_dwTableEnd) {
      Report(status, 2);
      return false;
    }
    if (r >= m_dwStructureEnd) {
      Report(status, 1);
      return false;
    }
    if (channel.ReadPhysWord(r, 0) == id) break;
  }
  m_dwRecordAddress = r;
  m_btLocation = channel.ReadPhysByte(r, 2);
  m_btAndMask = channel.ReadPhysByte(r, 3);
  m_btOrValue = channel.ReadPhysByte(r, 4);
  Report(status, 0);
  return true;
}

bool CTokenAccess::SetToken(std::int32_t write, std::uint8_t* status) {
  CDriverChannel channel;
  if (write != 0) {
    const std::uint8_t old = channel.ReadIndexedPort(m_wIndexPort, m_btLocation, m_wDataPort);
    channel.WriteIndexedPort(m_wIndexPort, m_btLocation, m_wDataPort,
                             static_cast<std::uint8_t>((old & m_btAndMask) | m_btOrValue));
    // The checksum is rewritten on every write, wherever the token's byte lies. It is not verified
    // afterwards: some token tables keep their checksum location inside their own range.
    UpdateChecksum(0);
  }
  const std::uint8_t v = channel.ReadIndexedPort(m_wIndexPort, m_btLocation, m_wDataPort);
  if ((v & static_cast<std::uint8_t>(~m_btAndMask)) == m_btOrValue) {
    Report(status, 0);
    return true;
  }
  Report(status, write != 0 ? 2 : 1);
  return write == 0;
}

bool CTokenAccess::UpdateChecksum(std::int32_t verify) {
  CDriverChannel channel;
  std::uint16_t value = 0;
  for (unsigned i = m_btChecksumStart; i <= m_btChecksumEnd; ++i)
    value = ChecksumStep(m_btChecksumType, value,
                         channel.ReadIndexedPort(m_wIndexPort, static_cast<std::uint8_t>(i), m_wDataPort));
  if (m_btChecksumType > 3) return true;
  value = ChecksumFinish(m_btChecksumType, value);
  const auto high = static_cast<std::uint8_t>(value >> 8);
  const auto low = static_cast<std::uint8_t>(value & 0xFF);
  const std::uint8_t at = m_btChecksumLocation;
  const auto next = static_cast<std::uint8_t>(at + 1);
  if (verify != 0) {
    if (m_btChecksumType == 1) return channel.ReadIndexedPort(m_wIndexPort, at, m_wDataPort) == low;
    if (channel.ReadIndexedPort(m_wIndexPort, at, m_wDataPort) != high) return false;
    return channel.ReadIndexedPort(m_wIndexPort, next, m_wDataPort) == low;
  }
  if (m_btChecksumType == 1) {
    channel.WriteIndexedPort(m_wIndexPort, at, m_wDataPort, low);
  } else {
    channel.WriteIndexedPort(m_wIndexPort, at, m_wDataPort, high);
    channel.WriteIndexedPort(m_wIndexPort, next, m_wDataPort, low);
  }
  return true;
}
