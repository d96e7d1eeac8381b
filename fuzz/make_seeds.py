#!/usr/bin/env python3
"""Writes the seed corpus of lcmp_fuzz_frames.

Each seed is a run of records (int32 time step in microseconds, uint16
length and flags, frame bytes; see frames_fuzzer.cpp). The built-in seeds are
frames as they appear on a wire: what LCMPPacketSend puts out, segmented
confirmations and notifications, an Ethernet minimum-size padded frame,
another protocol's frame, and runs with gaps around the 50 ms ageing limit.
Savefiles given with --pcap (classic pcap, Ethernet) become one seed each,
keeping their recorded time steps.

usage: make_seeds.py OUTDIR [--pcap FILE ...]
"""
import os
import struct
import sys

OWN = bytes.fromhex("020000000001")
DEVICE = bytes.fromhex("001a2b3c4d5e")
OTHER = bytes.fromhex("001a2b3c4d5f")


def frame(payload, opcode=0x161, last=0, segment=0, seq=0, dst=OWN, src=DEVICE, ethertype=0x22E3, length=None):
    n = len(payload) if length is None else length
    header = bytes([n & 0xFF, ((n >> 8) & 0x0F) | ((opcode & 0x0F) << 4), (opcode >> 4) & 0xFF, 0,
                    (last & 0x0F) | ((segment & 0x0F) << 4), seq & 0xFF, (seq >> 8) & 0xFF, 0])
    return dst + src + struct.pack(">H", ethertype) + header + payload


def confirmation(records):
    return bytes([0x05]) + struct.pack("<H", len(records)) + records


def request(records):
    return bytes([0x05]) + DEVICE + struct.pack("<H", len(records)) + records


def notification(records, flag=0):
    return bytes([0x05]) + struct.pack("<H", len(records)) + bytes([flag]) + records


def record(kind, value):
    return bytes([kind]) + struct.pack("<H", len(value)) + value


def segments(message, count, opcode=0x161, seq=1, order=None, src=DEVICE):
    size = -(-len(message) // count)
    parts = [message[i * size:(i + 1) * size] for i in range(count)]
    return [frame(parts[i], opcode, count - 1, i, seq, src=src) for i in (order or range(count))]


def seed(steps_and_frames):
    out = b""
    for step, data, flags in steps_and_frames:
        out += struct.pack("<iH", step, (len(data) & 0x0FFF) | flags) + data
    return out


def builtin():
    read_cnf = confirmation(record(0, b"\x05\xf0") + record(0, b"\x06\xf1\xf2") + record(5, b"\x00\x07"))
    notify = notification(record(6, b"\x01\x11\x22") + record(0, b"\x09\x33") + record(8, b"\x02"))
    big = confirmation(record(0, bytes([7]) + bytes(range(256)) * 5))
    seeds = {
        "sent_read_request": [(0, frame(request(record(2, b"\x05") + record(2, b"\x06")) + bytes(12), 0x160,
                                        dst=DEVICE, src=OWN), 0)],
        "read_confirmation": [(0, frame(read_cnf), 0)],
        "write_confirmation": [(0, frame(confirmation(record(1, b"\x02\x07\x09")), 0x163), 0)],
        "notify_response": [(0, frame(confirmation(record(8, b"\x01")), 0x167), 0)],
        "padded_minimum": [(0, frame(confirmation(b"")) + bytes(35), 0)],
        "max_frame": [(0, frame(request(bytes(1483)), 0x162), 0)],
        "other_protocol": [(0, bytes.fromhex("ffffffffffff001a2b3c4d5e08060001080006040001001a2b3c4d5e"
                                             "c0a80001000000000000c0a80002") + bytes(18), 0)],
        "short_and_overlong": [(0, frame(b"")[:22], 0), (10, frame(confirmation(b"\x00"), length=40), 0)],
        "segmented_in_order": [(5, f, 0) for f in segments(big, 3, seq=0x0105)],
        "segmented_out_of_order": [(5, f, 0) for f in segments(read_cnf, 3, order=[2, 0, 1])],
        "segmented_duplicate": [(5, f, 0) for f in segments(read_cnf, 2, order=[1, 1, 0])],
        "segmented_notification": [(5, f, 0) for f in segments(notify, 2, opcode=0x166, seq=9)],
        "interleaved_senders": [(3, f, 0) for pair in zip(segments(read_cnf, 2, seq=4),
                                                         segments(notify, 2, opcode=0x161, seq=4, src=OTHER))
                                for f in pair],
        "ageing_50000": [(0, segments(read_cnf, 2)[0], 0), (50000, frame(b"")[:22], 0),
                         (0, segments(read_cnf, 2)[1], 0)],
        "ageing_50001": [(0, segments(read_cnf, 2)[0], 0), (50001, frame(b"")[:22], 0),
                         (1, segments(read_cnf, 2)[1], 0)],
        "clock_backwards": [(0, segments(read_cnf, 2, seq=1)[0], 0), (-2000000, segments(read_cnf, 2, seq=2)[0], 0),
                            (100, frame(read_cnf), 0x1000), (3000000, frame(read_cnf), 0)],
    }
    return {name: seed(records) for name, records in seeds.items()}


def from_pcap(path):
    with open(path, "rb") as f:
        data = f.read()
    magic = struct.unpack("<I", data[:4])[0]
    endian = "<" if magic in (0xA1B2C3D4, 0xA1B23C4D) else ">"
    nano = magic in (0xA1B23C4D, 0x4D3CB2A1)
    pos, last, records = 24, None, []
    while pos + 16 <= len(data):
        sec, frac, caplen, _ = struct.unpack(endian + "IIII", data[pos:pos + 16])
        pos += 16
        micro = sec * 1000000 + (frac // 1000 if nano else frac)
        step = 0 if last is None else max(-2**31, min(2**31 - 1, micro - last))
        last = micro
        records.append((step, data[pos:pos + min(caplen, 4095)], 0))
        pos += caplen
    return seed(records)


def main(argv):
    if len(argv) < 2:
        sys.exit(__doc__)
    out = argv[1]
    os.makedirs(out, exist_ok=True)
    seeds = builtin()
    pcaps = argv[argv.index("--pcap") + 1:] if "--pcap" in argv else []
    for p in pcaps:
        seeds["pcap_" + os.path.splitext(os.path.basename(p))[0]] = from_pcap(p)
    for name, data in seeds.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main(sys.argv)
