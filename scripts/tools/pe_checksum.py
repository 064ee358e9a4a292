#!/usr/bin/env python3
"""Stamps (or checks) the checksum of a PE file's optional header, so that the program can
detect at start that its executable was modified. Usage: pe_checksum.py stamp|check FILE"""
import struct
import sys


def checksum_offset(data):
    if len(data) < 0x40 or data[:2] != b"MZ":
        raise ValueError("not a PE file")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if pe + 4 + 20 + 64 + 4 > len(data) or data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("not a PE file")
    return pe + 4 + 20 + 64


def compute(data, field):
    total = 0
    for i in range(0, len(data), 2):
        if i in (field, field + 2):
            continue
        total += data[i] | ((data[i + 1] << 8) if i + 1 < len(data) else 0)
        total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in ("stamp", "check"):
        sys.exit(__doc__)
    path = sys.argv[2]
    data = bytearray(open(path, "rb").read())
    field = checksum_offset(data)
    value = compute(data, field)
    if sys.argv[1] == "stamp":
        struct.pack_into("<I", data, field, value)
        open(path, "wb").write(data)
        return
    stored = struct.unpack_from("<I", data, field)[0]
    if stored != value:
        sys.exit(f"{path}: checksum {stored:#010x}, computed {value:#010x}")


if __name__ == "__main__":
    main()
