#!/usr/bin/python3
"""Writes the seed corpora under fuzz/corpus/<target>/ (run from anywhere).

Seeds are the frames the protocol documents as examples, the shapes around
them (one byte per chunk, bad checksums, shared slot addresses, the longest
requests), small register files and small payload containers and images.
The layouts of the header bytes are described at the top of each target.
"""
import lzma
import os
import struct

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


def crc(data):
    c = 0xFFFF
    for b in data:
        c ^= b
        for _ in range(8):
            c = (c >> 1) ^ 0xA001 if c & 1 else c >> 1
    return bytes([c & 0xFF, c >> 8])


def rtu(*b):
    body = bytes(b)
    return body + crc(body)


def ascii_frame(*b):
    body = bytes(b)
    lrc = (-sum(body)) & 0xFF
    return b":" + (body + bytes([lrc])).hex().upper().encode() + b"\r\n"


def write(target, name, data):
    d = os.path.join(ROOT, target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


# ---- slave: 5 slot addresses, seed, flags, closing request (7..13), stream
def slave_header(slots=(1, 2, 3, 4, 5), seed=1, flags=0x7E, fsel=2, start=0, q=10, slot=0, dseed=3):
    return bytes(slots) + bytes([seed, flags, fsel]) + struct.pack(">HH", start, q) + bytes([slot, dseed])


read10 = bytes.fromhex("01030000000AC5CD")
write42 = bytes.fromhex("02060004002A49E7")
regs246 = rtu(1, 16, 0, 0, 0, 246, 0xEC, *([0x12, 0x34] * 246))
regs247 = rtu(1, 16, 0, 0, 0, 247, 0xEE, *([0x12, 0x34] * 247))
coils = rtu(3, 15, 0, 19, 0, 10, 2, 0xCD, 0x01)
for name, data in {
    "read10": slave_header() + read10,
    "read10-bytewise": slave_header(flags=0) + read10,
    "bad-crc-then-good": slave_header() + read10[:-1] + b"\xCE" + read10,
    "write42-slot2": slave_header(fsel=5, start=4, q=42, slot=1) + write42,
    "function7": slave_header() + bytes.fromhex("0107000000") + read10,
    "shared-address": slave_header(slots=(1, 7, 3, 7, 5), slot=1) + rtu(7, 3, 0, 0, 0, 2),
    "regs246": slave_header(flags=0x80, fsel=7, q=100) + regs246,
    "regs247": slave_header(flags=0x80, fsel=7, q=100) + regs247,
    "coils15": slave_header(fsel=6, start=19, q=10, slot=2) + coils,
    "bits": slave_header(fsel=0, q=37) + rtu(1, 1, 0, 0, 0, 37) + rtu(2, 2, 0, 5, 0, 16),
    "clock": slave_header(flags=0x0B) + read10 + read10[:3] + read10,
    "other-devices": slave_header() + rtu(9, 3, 0, 0, 0, 4) + rtu(9, 3, 8, *rtu(1, 6, 0, 0, 0, 7)) + read10,
    "noise-then-read": slave_header() + bytes([0x42, 0x03, 0xF0]) + read10,
}.items():
    write("slave_rtu", name, data)

a_read = b":010300000001FB\r\n"
for name, data in {
    "read1": slave_header(fsel=2, q=1) + a_read,
    "read1-bad-lrc": slave_header() + a_read.replace(b"FB", b"FC") + a_read,
    "colon-cr": slave_header() + b":\r\n" + a_read,
    "split-cr": slave_header(flags=0x0C) + a_read[:-2] + b"\r" + b"\n",
    "shared-address": slave_header(slots=(1, 7, 3, 7, 5), slot=3) + ascii_frame(7, 3, 0, 0, 0, 2),
    "write16": slave_header(fsel=7, q=3) + ascii_frame(1, 16, 0, 9, 0, 2, 4, 0, 1, 0, 2),
    "coils15": slave_header(fsel=6, q=12) + ascii_frame(3, 15, 0, 19, 0, 10, 2, 0xCD, 0x01),
    "short": slave_header() + ascii_frame(1, 3) + ascii_frame(1, 15, 0, 0, 0, 9, 5),
    "clock": slave_header(flags=0x0B) + a_read + b":0103" + a_read,
    "cut-short": slave_header() + b":0103000" + a_read,
}.items():
    write("slave_ascii", name, data)


# ---- master: device, flags, table, write bits, start, length, write address,
#      write count - 2, seed, closing reply, stream
def master_header(dev=1, flags=0x04, regtype=3, wbits=0, start=1, length=2, waddr=1, wcount=1, seed=5, reply=0):
    return (bytes([dev, flags, regtype + 1, wbits]) + struct.pack(">HHH", start + 3, length, waddr - 1) +
            bytes([wcount + 2, seed, reply]))


for name, data in {
    "holding2": master_header() + bytes.fromhex("0103 04 000A 0102 5A60"),
    "holding2-chunks": master_header(seed=2) + bytes.fromhex("0103 04 000A 0102 5A60"),
    "exception": master_header(reply=5) + bytes.fromhex("018302C0F1"),
    "bad-crc": master_header() + bytes.fromhex("0103 04 000A 0102 5A61"),
    "other-device": master_header() + bytes.fromhex("0203 04 000A 0102 5A60"),
    "coils10": master_header(regtype=0, length=10) + bytes.fromhex("0101020D03FD6D"),
    "inputs": master_header(regtype=1, length=16) + rtu(1, 2, 2, 0xFF, 0x00),
    "input-regs": master_header(regtype=2, length=3) + rtu(1, 4, 6, 0, 1, 0, 2, 0, 3),
    "write-single-coil": master_header(regtype=0, wbits=1, wcount=0) + rtu(1, 5, 0, 0, 0xFF, 0),
    "write-coils": master_header(regtype=0, wbits=1, wcount=2, length=10) + rtu(1, 15, 0, 0, 0, 10),
    "write-single-reg": master_header(wbits=3, wcount=1) + rtu(1, 6, 0, 0, 0, 7),
    "write-regs": master_header(wbits=1, wcount=3) + rtu(1, 16, 0, 0, 0, 3),
    "clock": master_header(flags=0x05) + bytes.fromhex("0103 04 000A 0102 5A60") * 2,
    "long-view": master_header(flags=0x10, length=300, start=65500) + rtu(1, 3, 4, 0, 1, 0, 2),
    "echo-then-reply": master_header() + rtu(1, 3, 0, 0, 0, 2) + bytes.fromhex("0103 04 000A 0102 5A60"),
    "other-device-then-reply": master_header() + rtu(2, 3, 6, 1, 3, 4, 0, 10, 1)
    + bytes.fromhex("0103 04 000A 0102 5A60"),
}.items():
    write("master_rtu", name, data)

for name, data in {
    "holding2": master_header() + b":010304000A0102EB\r\n",
    "exception": master_header(reply=5) + b":0183027A\r\n",
    "bad-lrc": master_header() + b":010304000A0102EC\r\n",
    "other-device": master_header() + ascii_frame(2, 3, 4, 0, 10, 1, 2),
    "coils10": master_header(regtype=0, length=10) + ascii_frame(1, 1, 2, 0x0D, 0x03),
    "short-reply": master_header(length=4) + ascii_frame(1, 3, 2, 0, 9),
    "write-regs": master_header(wbits=1, wcount=3) + ascii_frame(1, 16, 0, 0, 0, 3),
    "noise": master_header(flags=0x05) + b"::\r\n:01\r:0103" + b"0" * 40 + b"\r\n",
    "echo-then-reply": master_header() + ascii_frame(1, 3, 0, 0, 0, 2) + b":010304000A0102EB\r\n",
}.items():
    write("master_ascii", name, data)


# ---- register file: split seed, then the text
# Line decoder: flags (bit 0 timed, bits 1..3 largest piece, bits 4..7 one
# piece in 1 + n written), seed, then the line's bytes.
def line_seed(target, name, stream, flags=0x0E, seed=7):
    write(target, name, bytes([flags, seed]) + stream)


line_traffic = (rtu(1, 3, 0, 0, 0, 2) + rtu(1, 3, 4, 0, 1, 0, 2) + b"\x00\x00" + rtu(2, 16, 0, 1, 0, 2, 4, 1, 2, 3, 4)
                + rtu(2, 16, 0, 1, 0, 2) + rtu(3, 43, 14, 1, 0) + rtu(4, 1, 0, 0, 0, 9) + rtu(4, 0x81, 1)
                + rtu(5, 5, 0, 1, 0xFF, 0) + rtu(5, 5, 0, 1, 0xFF, 0) + rtu(6, 6, 0, 1, 0, 1)[:-1] + rtu(0, 6, 0, 0, 0, 1))
line_seed("line_decoder_rtu", "mixed", line_traffic)
line_seed("line_decoder_rtu", "mixed-timed-writes", line_traffic, flags=0x3F)
line_seed("line_decoder_rtu", "byte-pieces", line_traffic, flags=0x00)
line_seed("line_decoder_rtu", "corrupt", line_traffic[:5] + b"\xAA" + line_traffic[6:40] + line_traffic[41:], flags=0x11)
line_ascii = (ascii_frame(1, 3, 0, 0, 0, 2) + ascii_frame(1, 3, 4, 0, 1, 0, 2) + b"xy" + ascii_frame(1, 43, 14)
              + b":0103" + ascii_frame(2, 0x86, 2) + ascii_frame(2, 6, 0, 1, 0, 5)[:-3] + b"7\r\n")
line_seed("line_decoder_ascii", "mixed", line_ascii)
line_seed("line_decoder_ascii", "writes", line_ascii, flags=0x2F)
line_seed("line_decoder_ascii", "long", b":" + b"0" * 600 + b"\r\n" + line_ascii, flags=0x0C)


def regfile(eol=b"\r\n", slots=b"       1       2       3       4       5", blocks=True, extra=b""):
    lines = [b"SLAVE", b"RTU", b"1", b"9600", b"8", b"N", b"1", b"5", slots]
    lines += [b"       1     100       0       3"] * 20
    if blocks:
        for s in range(2):
            lines += [b";COILS  ", b"       1       2       3       4       5       6       7       8",
                      b";INPSTAT", b"   65535",
                      b";INPREGS", b"      -1 99999999",
                      b";HOLDREG", b"      10     258" + b"       0" * 6]
    return b"\x07" + eol.join(lines) + eol + extra


write("register_file", "default-head", regfile(blocks=False))
write("register_file", "blocks", regfile())
write("register_file", "lf-only", regfile(eol=b"\n"))
write("register_file", "bad-field", regfile(slots=b"       1      x2"))
write("register_file", "blank-field", regfile(extra=b";HOLDREG\r\n               1\r\n"))
write("register_file", "comments", regfile(extra=b";COILS\r\n; note\r\n;INPREGS\r\n       5       6\r\n7\r\n"))
write("register_file", "sixth-slot", regfile(extra=(b";COILS  \r\n       1\r\n") * 5))
write("register_file", "short", b"\x01MASTER\r\nASCII\r\n2\r\n19200\r\n7\r\nE\r\n2\r\n")
write("register_file", "no-last-eol", regfile()[:-2])


# ---- loader container: mode byte, then the container
STUB_ID = 0xFFFFFFFFFFFF000F


def entry(eid, data, attrs=5, word=0):
    head = b"vzf3" + struct.pack("<IQQQQI", word, eid, len(data), 0, 132000000000000000, attrs)
    return head + b"\0" * (64 - len(head)) + data


def container(payload, flags=0, check=(0x12345678, 0x12345678 ^ 0x35BC6F82), props=None, magic=b"vlz3"):
    lc, lp, pb, dict_size = props or (3, 0, 2, 1 << 16)
    filt = [{"id": lzma.FILTER_LZMA1, "lc": lc, "lp": lp, "pb": pb, "dict_size": max(dict_size, 4096)}]
    stream = lzma.compress(payload, format=lzma.FORMAT_RAW, filters=filt)
    head = b"\0" * 16 + magic + struct.pack("<IIII", 0x00070000, flags, 0, 77 + len(stream))
    head += b"\0" * (64 - len(head))
    return head + struct.pack("<II", *check) + bytes([lc + 9 * (lp + 5 * pb)]) + struct.pack("<I", dict_size) + stream


stub = bytes(range(256)) * 8
for name, data in {
    "stub": b"\x00" + container(entry(STUB_ID, stub)),
    "skip-first": b"\x05" + container(entry(7, b"archive" * 50) + entry(STUB_ID, stub)),
    "partial-writes": b"\x41" + container(entry(STUB_ID, stub * 40)),
    "sink-fails": b"\x83" + container(entry(STUB_ID, stub * 40)),
    "check-6001": b"\x00" + container(entry(STUB_ID, stub), flags=1, check=(1, 2)),
    "check-13": b"\x00" + container(entry(STUB_ID, stub), flags=0, check=(1, 2)),
    "bad-entry-word": b"\x00" + container(entry(STUB_ID, stub, word=1)),
    "truncated": b"\x02" + container(entry(STUB_ID, stub * 20))[:400],
    "props-lp": b"\x00" + container(entry(STUB_ID, stub), props=(0, 2, 0, 0)),
    "no-stub": b"\x00" + container(entry(9, b"x")),
}.items():
    write("loader_container", name, data)
bad_props = bytearray(container(entry(STUB_ID, stub)))
bad_props[72] = 225
write("loader_container", "props-225", b"\x00" + bytes(bad_props))


# ---- section lookups: name length, name, image
def elf(bits64=True, names=(b".text", b".velstub"), nobits=False):
    strtab = b"\0.shstrtab\0" + b"".join(n + b"\0" for n in names)
    body_off = 64 if bits64 else 52
    data_off = body_off + len(strtab)
    payload = b"container" * 4
    shoff = data_off + len(payload)
    shdrs = []
    name_off = {b".shstrtab": 1}
    at = 11
    for n in names:
        name_off[n] = at
        at += len(n) + 1
    entries = [(0, 0, 0, 0), (name_off[b".shstrtab"], 3, body_off, len(strtab))]
    for n in names:
        entries.append((name_off[n], 8 if nobits else 1, data_off, len(payload)))
    for nm, typ, off, size in entries:
        if bits64:
            shdrs.append(struct.pack("<IIQQQQIIQQ", nm, typ, 0, 0, off, size, 0, 0, 1, 0))
        else:
            shdrs.append(struct.pack("<IIIIIIIIII", nm, typ, 0, 0, off, size, 0, 0, 1, 0))
    ident = b"\x7fELF" + bytes([2 if bits64 else 1, 1, 1]) + b"\0" * 9
    if bits64:
        eh = ident + struct.pack("<HHIQQQIHHHHHH", 3, 62, 1, 0, 0, shoff, 0, 64, 56, 0, 64, len(entries), 1)
    else:
        eh = ident + struct.pack("<HHIIIIIHHHHHH", 3, 3, 1, 0, 0, shoff, 0, 52, 32, 0, 40, len(entries), 1)
    return eh + strtab + payload + b"".join(shdrs)


def pe(sections=(b".text", b".velstub"), raw=0x400):
    dos = b"MZ" + b"\0" * 58 + struct.pack("<I", 0x40)
    coff = b"PE\0\0" + struct.pack("<HHIIIHH", 0x14C, len(sections), 0, 0, 0, 0xE0, 0x102)
    opt = b"\0" * 0xE0
    table = b""
    for i, n in enumerate(sections):
        table += n.ljust(8, b"\0") + struct.pack("<IIIIIIHHI", 0x100, 0x1000 * (i + 1), 0x200, raw + 0x200 * i,
                                                 0, 0, 0, 0, 0x40000040)
    return dos + coff + opt + table


def named(name, image):
    return bytes([len(name)]) + name + image


for name, data in {
    "elf64": named(b".velstub", elf()),
    "elf32": named(b".velstub", elf(bits64=False)),
    "elf-nobits": named(b".velstub", elf(nobits=True)),
    "elf-absent": named(b".velstub", elf(names=(b".text", b".velarch"))),
    "elf-prefix": named(b".vel", elf()),
    "pe": named(b".velstub", pe()),
    "pe-zero-raw": named(b".velstub", pe(sections=(b".velstub", b".text"), raw=0)),
    "pe-long-name": named(b".velstubx", pe(sections=(b".velstubx",))),
    "pe-absent": named(b".velstub", pe(sections=(b".text", b".velarch"))),
}.items():
    write("image_sections", name, data)
