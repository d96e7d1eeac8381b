#!/usr/bin/env python3
"""Writes a pcap savefile of LCMP frames for the tool tests: well-formed
messages of each header shape, a message in two segments, and malformed
frames (cut payload, wrong lead byte, record past the area, short header)."""
import struct
import sys

DST = bytes.fromhex("020000000001")
SRC = bytes.fromhex("020000000002")


def link(length, opcode, last=0, segment=0, seq=0):
    return bytes([length & 0xFF, ((length >> 8) & 0x0F) | ((opcode & 0x0F) << 4), (opcode >> 4) & 0xFF, 0,
                  (last & 0x0F) | ((segment & 0x0F) << 4), seq & 0xFF, seq >> 8, 0])


def frame(payload, opcode, last=0, segment=0, seq=0, length=None, ethertype=0x22E3):
    n = len(payload) if length is None else length
    return DST + SRC + struct.pack(">H", ethertype) + link(n, opcode, last, segment, seq) + payload


def rec(t, value):
    return bytes([t]) + struct.pack("<H", len(value)) + value


def confirm(records):
    return b"\x05" + struct.pack("<H", len(records)) + records


FRAMES = [
    # 1: read confirmation, two parameters
    frame(confirm(rec(0, b"\x05\xF0\xF1") + rec(0, b"\x06\xF2\xF3")), 0x161, seq=7),
    # 2: read request from 02:00:00:00:00:02 for parameter 5
    frame(b"\x05" + SRC + struct.pack("<H", 4) + rec(2, b"\x05"), 0x160, seq=0x0105),
    # 3: notification with flag 1
    frame(b"\x05" + struct.pack("<H", 5) + b"\x01" + rec(6, b"\x03\xAA"), 0x166),
    # 4, 5: write confirmation in two segments, last one first
    None,
    None,
    # 6: payload length past the captured bytes
    frame(confirm(rec(0, b"\x01\x02")), 0x161, length=200),
    # 7: wrong lead byte
    frame(b"\x06" + confirm(rec(0, b"\x01"))[1:], 0x161),
    # 8: record claiming more than the area
    frame(b"\x05" + struct.pack("<H", 5) + bytes([0, 9, 0, 1, 2]), 0x161),
    # 9: frame of only 20 bytes
    (DST + SRC + struct.pack(">H", 0x22E3) + b"\x00\x00\x00\x00\x00\x00")[:20],
    # 10: another protocol
    frame(confirm(rec(0, b"\x01")), 0x161, ethertype=0x0800),
]
whole = confirm(rec(1, b"\x02\x07\x09"))
FRAMES[3] = frame(whole[4:], 0x163, last=1, segment=1, seq=9)
FRAMES[4] = frame(whole[:4], 0x163, last=1, segment=0, seq=9)


def main(path):
    with open(path, "wb") as out:
        out.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1))
        for i, data in enumerate(FRAMES):
            out.write(struct.pack("<IIII", 1700000000 + i, 1000 * i, len(data), len(data)))
            out.write(data)


if __name__ == "__main__":
    main(sys.argv[1])
