#!/usr/bin/env python3
"""Writes pcap savefiles of LCMP frames for the tool tests: well-formed
messages of each header shape, a message in two segments, and malformed
frames (cut payload, wrong lead byte, record past the area, short header),
messages that never complete, and files that are cut, hold a huge record, or
are not Ethernet captures."""
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
A = confirm(rec(0, b"\xA0") + rec(0, b"\xA1"))
B = confirm(rec(0, b"\xB0") + rec(0, b"\xB1"))
FRAMES += [
    # 11: link header cut (18 bytes)
    (DST + SRC + struct.pack(">H", 0x22E3) + b"\x05\x00\x16\x00"),
    # 12: 22 bytes whose link header claims 5 payload bytes
    frame(b"", 0x161, length=5),
    # 13: the first of two segments of a message that never completes
    frame(A[:7], 0x161, last=1, segment=0, seq=0x20),
    # 14: a message recorded with 1 500 000 microseconds
    frame(confirm(rec(0, b"\x0E")), 0x161, seq=14),
    # 15-17: message A loses its segment 1; B, same sender, opcode and
    # sequence number, follows a second later with its segments reversed
    frame(A[:7], 0x161, last=1, segment=0, seq=0x30),
    frame(B[7:], 0x161, last=1, segment=1, seq=0x30),
    frame(B[:7], 0x161, last=1, segment=0, seq=0x30),
    # 18: a first segment still waiting when the capture ends
    frame(A[:7], 0x161, last=1, segment=0, seq=0x40),
    # 19: segment number 7 of a message of 2 segments
    frame(b"\x01\x02", 0x161, last=1, segment=7, seq=0x50),
    # 20: a segment without payload
    frame(b"", 0x161, last=1, segment=0, seq=0x60),
]
# Frames are a second apart, except where a time is given here: the second
# segment of frame 4's message 10 us after it, B's segments 10 us apart, a
# record written with 1 500 000 microseconds, and the last three frames
# within 50 ms.
TIMES = {5: (1700000003, 3010), 14: (1700000013, 1500000), 17: (1700000015, 15010),
         19: (1700000017, 17100), 20: (1700000017, 17200)}

PCAP_HEADER = struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1)


def record(i, data, claimed=None):
    n = len(data) if claimed is None else claimed
    seconds, micro = TIMES.get(i + 1, (1700000000 + i, 1000 * i))
    return struct.pack("<IIII", seconds, micro, n, n) + data


def main(path):
    """Writes the capture to path, and beside it (path without .pcap, then a
    suffix): -cooked.pcap, a Linux "any" capture (cooked headers);
    -truncated.pcap, the capture cut inside its last frame; -huge.pcap, a
    read confirmation, then a record that claims a 2 GiB frame."""
    body = b"".join(record(i, data) for i, data in enumerate(FRAMES))
    base = path[:-5] if path.endswith(".pcap") else path
    with open(path, "wb") as out:
        out.write(PCAP_HEADER + body)
    with open(base + "-truncated.pcap", "wb") as out:
        out.write(PCAP_HEADER + body[:-3])
    with open(base + "-huge.pcap", "wb") as out:
        out.write(PCAP_HEADER + record(0, FRAMES[0]) + record(1, FRAMES[0][:20], claimed=2**31))
    with open(base + "-cooked.pcap", "wb") as out:
        cooked = struct.pack(">HHH", 0, 1, 6) + SRC + b"\x00\x00" + FRAMES[0][12:]
        out.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 113) + record(0, cooked))


if __name__ == "__main__":
    main(sys.argv[1])
