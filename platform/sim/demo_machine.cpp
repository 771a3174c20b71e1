#include "platform/sim/demo_machine.h"

#include "platform/sim/machine.h"
#include "platform/sim/smbios_builder.h"

namespace sim {

namespace {

void WriteChecksum(CmosBank& bank, std::uint8_t type, std::uint8_t start, std::uint8_t end, std::uint8_t at) {
  std::uint32_t sum = 0;
  for (unsigned i = start; i <= end; ++i) sum += bank.bytes[i];
  std::uint16_t value = static_cast<std::uint16_t>(sum);
  if (type == 3) value = static_cast<std::uint16_t>(0x10000 - value);
  bank.bytes[at] = static_cast<std::uint8_t>(value >> 8);
  bank.bytes[static_cast<std::uint8_t>(at + 1)] = static_cast<std::uint8_t>(value);
}

}  // namespace

void BuildDemoHardware(Machine& machine, std::uint32_t entryAt) {
  SmbiosBuilder table;
  // BIOS: vendor, version, starting segment 0xE000, release date, ROM size 1 MiB, characteristics.
  table.Add(0, 0x0000, {1, 2, 0x00, 0xE0, 3, 0x0F, 0x80, 0x98, 0x8B, 0x3F, 0x01, 0x00, 0x00, 0x00, 0x03, 0x0D},
            {"Tarn Computer Corporation", "A07", "08/16/2001"});
  // System: manufacturer, product, version, serial, UUID, wake-up type.
  table.Add(1, 0x0100,
            {1, 2, 0, 3, 0x44, 0x45, 0x4C, 0x4C, 0x51, 0x00, 0x10, 0x58, 0x80, 0x32, 0xB7, 0xC0, 0x4F, 0x4B, 0x32,
             0x31, 0x06},
            {"Tarn Computer Corporation", "Ostrava GX240", kDemoServiceTag});
  // Chassis: manufacturer, type (desktop), version, serial (the service tag), asset tag, states.
  table.Add(3, 0x0300, {1, 0x03, 0, 2, 3, 0x03, 0x03, 0x03, 0x01}, {"Tarn Computer Corporation", kDemoServiceTag,
                                                                      "ASSET-0042"});
  // OEM strings: the second carries the system id in brackets.
  table.Add(11, 0x0B00, {2}, {"Tarn Computer Corporation", "1[0A3]"});
  // Vendor structure 208: byte 6 is 254, so the system id comes from the word at offset 8.
  table.Add(208, 0xD000, {0x01, 0x02, 0xFE, 0x00, 0x3C, 0x0A, 0x00, 0x00});
  // Token tables.
  table.TokenTable(0xD400, 0x70, 0x71, 0, 0x10, 0x2D, 0x2E,
                   {{0x0001, 0x30, 0xFE, 0x01}, {0x0002, 0x30, 0xFE, 0x00}, {92, 0x78, 0xBF, 0x40}, {93, 0x78, 0xBF, 0x00},
                    {0x00D5, 0x14, 0xF3, 0x04}});
  table.TokenTable(0xD401, 0x72, 0x73, 3, 0x40, 0x7D, 0x7E,
                   {{0x0120, 0x45, 0x7F, 0x80}, {0x0121, 0x45, 0x7F, 0x00}, {0x0210, 0x50, 0xF0, 0x0A}});
  // Type 32 (system boot information) and the end-of-table structure.
  table.Add(32, 0x2000, {0, 0, 0, 0, 0, 0, 0});
  table.EndOfTable(0x7F00);
  table.Install(machine, kDefaultTableAddress, entryAt);

  CmosBank& rtc = machine.AddCmosBank(0x70, 0x71);
  const std::uint8_t clock[] = {0x30, 0x00, 0x15, 0x00, 0x13, 0x00, 0x02, 0x07, 0x12, 0x26, 0x26, 0x02, 0x50, 0x80};
  for (unsigned i = 0; i < sizeof clock; ++i) rtc.bytes[i] = clock[i];
  for (unsigned i = 0x10; i <= 0x2D; ++i) rtc.bytes[i] = static_cast<std::uint8_t>((i * 37 + 11) & 0xFF);
  rtc.bytes[0x30] = 0x01;
  rtc.bytes[0x78] = 0x81;  // token 92 not set: bit 6 clear
  WriteChecksum(rtc, 0, 0x10, 0x2D, 0x2E);

  CmosBank& ext = machine.AddCmosBank(0x72, 0x73);
  for (unsigned i = 0x40; i <= 0x7D; ++i) ext.bytes[i] = static_cast<std::uint8_t>((i * 13 + 5) & 0xFF);
  WriteChecksum(ext, 3, 0x40, 0x7D, 0x7E);
}

}  // namespace sim
