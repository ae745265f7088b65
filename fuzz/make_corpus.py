#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets into fuzz/corpus/<target>/.

The seeds are the shapes the unit tests use: well-formed packets of every
protocol, typical command lines, the sample program. Run it again after
changing it; the fuzzer itself never writes here.
"""
import os
import struct
import sys

here = os.path.dirname(os.path.abspath(__file__))
root = os.path.dirname(here)
out = os.path.join(here, "corpus")


def put(target, name, data):
    d = os.path.join(out, target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def args(*a):
    return b"\0".join(x.encode("latin-1") if isinstance(x, str) else x for x in a)


# ---- receive path: one setup byte, then packets ----
def pkt(proto, body, src=b"H", dst=b"H"):
    return struct.pack("<HHH", 8 + len(body), 0, proto) + src + dst + body


NETMP, DCMP, DRFP, TTYP, DBGP = 0x0400, 0x0001, 0x0120, 0x0210, 0x0230


def netmp(code, result=0, rest=b""):
    return pkt(NETMP, bytes([code, result]) + rest)


def dcmp(typ, code, proto):
    return pkt(DCMP, struct.pack("<BBHH", typ, code, 0, proto))


def dbgp(typ, result=0, rest=b""):
    return pkt(DBGP, struct.pack("<HBBBBH", 0, typ, 0, result, 1, 0) + rest, b"E", b"H")


def drfp(code, seq, rest=b""):
    return pkt(DRFP, struct.pack("<II", code, seq) + rest, b"I", b"H")


conf = struct.pack("<17I", 3, 0, 0, 0, 0x1f, 0, 16, 128, 2, 1, 1, 1, 0x10, 4099, 0, 0, 0)
put("recv_packet", "netmp_replies", b"\x02" + netmp(7, 0, b"\0\0") + netmp(1) + netmp(5) + netmp(3))
put("recv_packet", "netmp_owned", b"\x03" + netmp(7, 0, b"\0" * 10 + b"@other, Norvane hostlink\0"))
put("recv_packet", "netmp_failed", b"\x03" + netmp(1, 1))
put("recv_packet", "dcmp_status", b"\x00" + dcmp(2, 0, 0x45) + dcmp(2, 1, 0xe000))
put("recv_packet", "dcmp_error", b"\x00" + dcmp(3, 2, 0))
put("recv_packet", "dbgp_replies", b"\x07" + dbgp(1, 0, conf) + dbgp(0x0b) + dbgp(0x19))
put("recv_packet", "dbgp_break", b"\x00" + dbgp(0x15, 3))
put("recv_packet", "drfp_session", b"\x20"
    + drfp(0, 1, struct.pack("<I", 0) + b"a\0")
    + drfp(8, 2, struct.pack("<IiI", 1, 10, 0))
    + drfp(4, 3, struct.pack("<II", 1, 64))
    + drfp(8, 4, struct.pack("<IiI", 1, -5, 2))
    + drfp(2, 5, struct.pack("<I", 1)))
put("recv_packet", "drfp_odd", b"\x00"
    + drfp(0, 1, struct.pack("<I", 0) + b"d\0")
    + drfp(0, 2, struct.pack("<I", 0) + b"big")
    + drfp(4, 3, struct.pack("<II", 7, 100))
    + drfp(6, 4) + pkt(DRFP, b"\0\0"))
for setup, tag in ((0x40, "fenced"), (0xc0, "walked")):
    put("recv_packet", "drfp_" + tag, bytes([setup])
        + drfp(0, 1, struct.pack("<I", 0) + b"a\0")
        + drfp(0, 2, struct.pack("<I", 0) + b"/d/../big\0")
        + drfp(0, 3, struct.pack("<I", 0) + b"../a\0")
        + drfp(0, 4, struct.pack("<I", 0) + b"d/\0")
        + drfp(0, 5, struct.pack("<I", 0) + b"\\..\\..\\etc\\passwd\0"))
put("recv_packet", "console_text", b"\x10" + pkt(TTYP, b"\0\0\0\0hello\r\nworld\0", b"E", b"H")
    + pkt(TTYP, b"\0\0\0\0") + pkt(TTYP, b"\0\0\0\0100%s\r"))
put("recv_packet", "long_text", b"\x00" + pkt(TTYP, b"\0\0\0\0" + b"x" * 1500 + b"\r" * 3))
put("recv_packet", "empty_and_unknown", b"\x01" + pkt(NETMP, b"") + pkt(0x0002, b"??"))
put("recv_packet", "cut_short", b"\x02" + netmp(7, 0, b"\0\0")[:6])

# ---- ELF files ----
with open(os.path.join(root, "examples", "demo.elf"), "rb") as f:
    elf = f.read()
put("elf_load", "demo.elf", elf)
put("elf_load", "header_only", elf[:52])
put("elf_load", "no_sections", elf[:48] + b"\0\0\0\0" + elf[52:])
put("elf_load", "cut_in_segment", elf[: len(elf) // 2])
put("elf_load", "big_endian", elf[:5] + b"\x02" + elf[6:])
put("elf_load", "not_elf", b"\x7fELG" + elf[4:64])

# ---- command lines ----
for i, a in enumerate([
        ("hostlink", "demo.elf"),
        ("/usr/bin/hostlink", "-d", "127.0.0.1:8510", "-kickme", "prog.elf", "-x", "arg"),
        ("hostlink", "-d", "host:", "a"),
        ("hostlink", "-d", "host:70000x", "-d", "other:0", "f"),
        ("hostlink", "-d"),
        ("hostlink", "-kickme", "-unknown", "f"),
        ("C:\\tools\\hostlink.exe", "-d", "h" * 1030 + ":1", "f"),
        ("hostlink", "-trace", "-", "-root", "/srv/data", "-d", "[::1]:8510", "p.elf"),
        ("hostlink", "-root"),
        ("hostlink", "-trace", "t.txt", "-kickme", "-root", "d", "f", "-trace")]):
    put("hostlink_args", "args%02d" % i, args(*a))

for i, a in enumerate([
        ("spaceuse",),
        ("/usr/bin/spaceuse.bin", "-c", "-k", "-r", "/tmp", "/var/*.log"),
        ("spaceuse", "-f4096", "-d", "-i", "-q", "-s", "."),
        ("spaceuse", "-f", "-BDFIP", "a", "b", "c"),
        ("spaceuse", "-f-1", "x"),
        ("spaceuse", "-f99999999999", "x"),
        ("spaceuse", "-?"),
        ("spaceuse", "-", "-z"),
        ("spaceuse",) + tuple("p%d" % n for n in range(11)),
        ("spaceuse", "p" * 600)]):
    put("spaceuse_args", "args%02d" % i, args(*a))

for i, a in enumerate([
        ("whatcode", "2"),
        ("whatcode", "0x8001010D", "044", "-1"),
        ("whatcode", "  +0x", "0x80070005", "4294967296"),
        ("whatcode", "-?"),
        ("whatcode",),
        ("whatcode", "/x?", "5"),
        ("whatcode", "99999999999999999999999", "0777777777777"),
        ("whatcode", "--name", "error_access_denied", "0x80070005", "abc"),
        ("whatcode", "E_HANDLE", "--search", "access", "--name", "denied")]):
    put("whatcode_args", "args%02d" % i, args(*a))


# ---- text routines: value, separator, group, pattern NUL name ----
def text(value, sep, group, pattern, name):
    return struct.pack("<QBb", value, ord(sep), group) + pattern.encode() + b"\0" + name.encode()


for i, t in enumerate([
        (0, " ", 3, "*.gif", "a.gif"),
        (1000, " ", 3, "*.*", "README"),
        (2146762752, " ", 3, "a**", "a"),
        (2**64 - 1, " ", 3, "zorvitt?.htm*", "zorvitt1.html"),
        (2**64 - 1, ",", 1, "a*b", "aXbY"),
        (65536, ".", 0, "*a*", "bab"),
        (12345, " ", -2, "?*", ""),
        (999, "7", 2, "a?c", "ac")]):
    put("spaceuse_text", "text%02d" % i, text(*t))

sys.exit(0)
