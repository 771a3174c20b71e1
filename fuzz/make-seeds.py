#!/usr/bin/env python3
"""Writes seed corpora for the fuzzers: the captured tables beside the checkout (when present) and the
kinds of damage SMBIOS parsers have crashed on. Usage: make-seeds.py SHARED_TABLES_DIR OUT_DIR"""
import os
import struct
import sys


def entry_point_2x(length, address=0x20, count=4):
    ep = bytearray(31)
    ep[0:4] = b"_SM_"
    ep[5] = 0x1F
    ep[6], ep[7] = 2, 8
    ep[16:21] = b"_DMI_"
    struct.pack_into("<HIH", ep, 22, length, address, count)
    ep[30] = 0x28
    ep[21] = (-sum(ep[16:31])) & 0xFF
    ep[4] = (-sum(ep)) & 0xFF
    return bytes(ep)


def structure(stype, handle, body, strings=()):
    s = bytes([stype, 4 + len(body)]) + struct.pack("<H", handle) + bytes(body)
    s += b"".join(x + b"\0" for x in strings) if strings else b"\0"
    return s + b"\0"


def token_table(ports, cs_type, tokens):
    body = struct.pack("<HHBBBB", ports, ports + 1, cs_type, 0x10, 0x2D, 0x2E)
    for tid, loc, mask, value in tokens:
        body += struct.pack("<HBBB", tid, loc, mask, value)
    return structure(212, 0xD400, body)


def demo_table():
    return (structure(0, 0, [1, 2, 0, 0xE0], [b"Tarn", b"A07"]) +
            structure(3, 0x300, [1, 3, 0, 2, 3], [b"Tarn", b"7QX2K41", b"ASSET"]) +
            structure(11, 0xB00, [2], [b"Tarn", b"1[0A3]"]) +
            structure(208, 0xD000, [1, 2, 0xFE, 0, 0x3C, 0x0A]) +
            token_table(0x70, 0, [(92, 0x78, 0xBF, 0x40), (93, 0x78, 0xBF, 0)]) +
            token_table(0x72, 3, [(0x120, 0x45, 0x7F, 0x80)]) + structure(127, 0x7F00, []))


def damaged(table):
    """Variants of a table with the damage public parsers have crashed on."""
    yield b"\x03\x02\x00\x03\0\0" + table  # structure length below 4
    yield table.rstrip(b"\0") + b"no terminator"  # missing string terminators at the end
    yield table[: len(table) // 2]  # cut in the middle of a structure
    yield bytes([3, 0xFF, 0, 3]) + b"\x01" * 20  # formatted area past the end
    yield bytes([212, 0xFF, 0, 0xD4]) + b"\x70\0\x71\0\0\x10\x2D\x2E" + b"\x5C\0\x78\xBF\x40"  # records past end


# Call sequences for the index fuzzer: (what, type, instance, offset, value type, mask, buffer size),
# what being 0 GetSmbTableValue, 1 GetSmbTable, 2 GetServiceTag, 3 GetSystemId.
INDEX_SEQUENCES = [
    [(2, 3, 0, 7, 8, 0, 0), (3, 0, 0, 0, 0, 0, 0), (1, 3, 0, 0, 0, 0, 300), (0, 1, 0, 4, 8, 0, 0)],
    [(0, 1, 0, 0, 8, 0, 0), (1, 1, 0, 0, 0, 0, 64), (2, 3, 0, 7, 8, 0, 0), (0, 127, 0, 2, 2, 0, 0)],
    [(0, 11, 0, 4, 8, 0, 0), (3, 0, 0, 0, 0, 0, 0), (0, 208, 0, 6, 0, 0xF0, 0), (1, 0, 1, 0, 0, 0, 8)],
]


def index_input(sequence, table):
    calls = b"".join(struct.pack("<BBBBBIH", *call) for call in sequence)
    return bytes([len(sequence) - 1]) + calls + table


def main():
    shared, out = sys.argv[1], sys.argv[2]
    tables = []
    if os.path.isdir(shared):
        for name in sorted(os.listdir(shared)):
            if name.endswith(".bin"):
                with open(os.path.join(shared, name), "rb") as f:
                    tables.append((name, f.read()))
    demo = demo_table()
    dumps = [(n, d) for n, d in tables] + [("demo.bin", entry_point_2x(len(demo)) + b"\0" + demo)]
    raw_tables = [(n, d[0x20:]) for n, d in dumps]
    for i, t in enumerate(list(damaged(demo))):
        raw_tables.append((f"damaged-{i}", t))
        dumps.append((f"damaged-{i}.bin", entry_point_2x(len(t)) + b"\0" + t))
    # Entry points that lie: a length beyond the file, a table offset beyond the file, a short file.
    dumps.append(("ep-length-beyond.bin", entry_point_2x(0xFFFF) + b"\0" + demo))
    dumps.append(("ep-table-beyond.bin", entry_point_2x(len(demo), address=0x10000) + b"\0" + demo))
    dumps.append(("ep-only.bin", entry_point_2x(len(demo))))
    # The table elsewhere than 0x20, and the legacy entry point.
    dumps.append(("table-at-0x40.bin", entry_point_2x(len(demo), address=0x40) + bytes(0x21) + demo))
    legacy = entry_point_2x(len(demo))[16:]
    dumps.append(("legacy.bin", legacy + bytes(0x20 - len(legacy)) + demo))
    dumps.append(("ep3-short.bin", b"_SM3_" + bytes([0, 0x18, 3, 3, 0, 1, 0]) + struct.pack("<IQ", 0xFFFFFF, 0x20)))

    def write(target, name, data):
        os.makedirs(os.path.join(out, target), exist_ok=True)
        with open(os.path.join(out, target, name), "wb") as f:
            f.write(data)

    for n, d in dumps:
        write("fuzz_dump_loader", n, d)
        write("fuzz_prediction", n, d)
    # Predictions that once differed or rested on bytes no dump holds: ports that cannot be a bank,
    # token 92's record cut by the table's length.
    for ports in (0, 0xFFFF, 0x70):
        body = struct.pack("<HHBBBB", ports, ports, 0, 0x10, 0x2D, 0x2E) + struct.pack("<HBBB", 92, 0x78, 0xBF, 0x40)
        t = structure(212, 0xD400, body) + structure(127, 0x7F00, [])
        write("fuzz_prediction", f"ports-{ports:x}.bin", entry_point_2x(len(t)) + b"\0" + t)
    cut = token_table(0x70, 0, [(92, 0x78, 0xBF, 0x40)])
    write("fuzz_prediction", "record-cut.bin", entry_point_2x(13) + b"\0" + cut)
    # A type-1 structure of length 1, whose string 1 starts at its own length byte.
    raw_tables.append(("short-header", bytes([1, 1, ord("A"), 0, 0]) + demo))
    # The test machine's table, and its tail cut inside a header, a formatted area and a string.
    qemu = structure(1, 0x100, bytes([1, 2]), [b"QEMU", b"Standard PC"]) + structure(
        3, 0x300, bytes([1, 3, 0, 2]), [b"QEMU", b"7QX2K41"])
    for cut in (0, 1, 3, 5, 9, 15):
        write("fuzz_test_machine_refusal", f"qemu-cut-{cut}", qemu[: len(qemu) - cut])
    for n, t in raw_tables:
        t = t[:0xFFFF]
        write("fuzz_test_machine_refusal", n, t)
        for args in [(3, 7, 0, 0, 8, 64), (208, 6, 0, 0, 0, 300), (11, 4, 0, 0xF0, 1, 0), (1, 8, 1, 0, 7, 8)]:
            header = struct.pack("<iiiIIH", *args)
            write("fuzz_tarnsys_queries", f"{n}-{args[0]}-{args[4]}", header + t)
        for i, sequence in enumerate(INDEX_SEQUENCES):
            write("fuzz_tarnsys_index", f"{n}-{i}", index_input(sequence, t))
        # Token search: options (fix checksum), the entry point bytes after the anchor, no CMOS, table.
        ep = entry_point_2x(len(t), address=0xE0000)
        write("fuzz_token_access", n, bytes([1, 0, 0, 0]) + ep[4:31] + b"\0" + bytes(512) + t)


main()
