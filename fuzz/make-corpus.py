#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets: archives for fuzz_archive
(well-formed ones and damaged variants), loader files for
fuzz_main_sequence, kits for fuzz_kit_reader, texts for fuzz_text_rules
and signed images and their certificate tables for fuzz_authenticode. Run
it again after changing the set; the files are committed."""

import os
import struct
import sys
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))
from ldkit import kits  # noqa: E402
from ldkit.pe import certificate_table, pe_image, with_certificate_table as signed  # noqa: E402

CORPUS = os.path.join(HERE, "corpus")
OUT = os.path.join(CORPUS, "archive")


VERSION = b"2.2.0.0"


def record(name, data_start, data_end, next_header, unpacked, name_length=None):
    return kits.record(name.encode("latin-1"), data_start, data_end, next_header, unpacked,
                       version=VERSION, name_length=name_length)


def archive(files, count=None, flag=0):
    """files: list of (name, stream, unpacked_size)."""
    return kits.archive([kits.Entry(name.encode("latin-1"), b"", version=VERSION, stream=stream,
                                    unpacked_size=unpacked)
                         for name, stream, unpacked in files],
                        file_count=count, multi_partition=flag)


def text(n):
    line = b"The quick brown fox jumps over the lazy dog. 0123456789\n"
    return (line * (n // len(line) + 1))[:n]


def dictionary_stream(data, dictionary):
    c = zlib.compressobj(9, zlib.DEFLATED, 15, 9, zlib.Z_DEFAULT_STRATEGY, dictionary)
    return c.compress(data) + c.flush()


def main():
    os.makedirs(OUT, exist_ok=True)
    small = text(300)
    block = text(4096)
    noise = bytes((i * 2654435761 >> 13) & 0xFF for i in range(1500))
    seeds = {}
    seeds["one-entry"] = archive([("C:\\Build\\setup.exe", zlib.compress(small, 9), len(small))])
    seeds["three-entries"] = archive([
        ("C:\\Build\\setup.exe", zlib.compress(noise, 0), len(noise)),
        ("D:readme.txt", zlib.compress(block * 2, 6), 2 * len(block)),
        ("zeros.bin", zlib.compress(b"\0" * 20000, 9), 20000),
    ])
    seeds["empty-entry"] = archive([("empty.txt", zlib.compress(b""), 0)])
    seeds["fifty-entries"] = archive([("f%d" % i, zlib.compress(b"x" * i), i) for i in range(50)])
    seeds["count-zero"] = struct.pack("<iB", 0, 0)
    seeds["count-negative"] = struct.pack("<iB", -1, 0)
    seeds["count-51"] = struct.pack("<i", 51)
    seeds["no-flag"] = struct.pack("<i", 2)
    seeds["short-count"] = b"\x01\x00"
    seeds["missing-header"] = archive([("a", zlib.compress(small), len(small))], count=3)
    seeds["truncated-stream"] = seeds["one-entry"][:-20]
    corrupt = bytearray(seeds["three-entries"])
    corrupt[5 + 164 + 400] ^= 0x5A
    seeds["corrupt-stream"] = bytes(corrupt)
    seeds["trailing-bytes"] = archive([("t.txt", zlib.compress(small) + b"TRAILER" * 40, len(small))])
    seeds["preset-dictionary"] = archive([("d.txt", dictionary_stream(small, b"quick brown fox"), len(small))])
    seeds["unsafe-names"] = archive([
        ("..", zlib.compress(b"a"), 1), ("C:\\x\\a/b", zlib.compress(b"b"), 1),
        ("CON", zlib.compress(b"c"), 1), ("dir\\", zlib.compress(b"d"), 1)], count=4)
    # Chain A -> C -> B, with B physically before C.
    a = record("A", 0, -1, 5 + 2 * 164, 0)
    b = record("B", 0, -1, 77777, 0)
    c = record("C", 0, -1, 5 + 164, 0)
    seeds["backwards-chain"] = struct.pack("<iB", 3, 0) + a + b + c
    long_name = record("n" * 103, 169, 169 + len(zlib.compress(b"q")) - 1, 0, 1, name_length=255)
    seeds["long-name"] = struct.pack("<iB", 1, 0) + long_name + zlib.compress(b"q")
    wrapped = record("w", 169, 169 + len(zlib.compress(block)) - 1, 0, 0x7FFFFFFF)
    seeds["huge-sizes"] = struct.pack("<iB", 2, 0) + wrapped + zlib.compress(block) + \
        record("v", 169, 169 + len(zlib.compress(block)) - 1, 0, 0x7FFFFFFF)
    write_seeds(OUT, seeds)
    write_seeds(os.path.join(CORPUS, "main_sequence"), main_sequence_seeds(seeds))
    write_seeds(os.path.join(CORPUS, "kit_reader"), kit_reader_seeds(seeds))
    write_seeds(os.path.join(CORPUS, "text_rules"), text_rules_seeds())
    write_seeds(os.path.join(CORPUS, "trailer_finder"), trailer_finder_seeds(seeds))
    write_seeds(os.path.join(CORPUS, "payload"), payload_seeds(seeds))
    write_seeds(os.path.join(CORPUS, "authenticode"), authenticode_seeds())


def write_seeds(folder, seeds):
    os.makedirs(folder, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)
    print("wrote %d seeds to %s" % (len(seeds), folder), file=sys.stderr)


def trailer(start, end, second_start, second_end, mark=kits.MARK):
    magic = (bytes([len(mark)]) + mark).ljust(16, b"\0")
    return kits.trailer(start, end, second_start, second_end, magic)


def self_extracting(image, first, second):
    return kits.self_extracting(image, first, second)


def trailer_finder_seeds(archives):
    """The first byte shapes the file, the second sizes a table (see
    fuzz_trailer_finder.cpp)."""
    second = archive([("payload.txt", zlib.compress(b"payload"), 7)])
    seeds = {}
    for plus in (False, True):
        kind = "pe32plus" if plus else "pe32"
        kit = self_extracting(pe_image(plus), archives["one-entry"], second)
        seeds["unsigned-" + kind] = b"\x00\x00" + kit
        for padding in (0, 3, 7):
            seeds["signed-%s-padding-%d" % (kind, padding)] = b"\x00\x00" + signed(kit, padding)
        seeds["shaped-" + kind] = bytes([1 | 4 | (2 if plus else 0), 20]) + kit
    seeds["signed-bare-loader"] = b"\x00\x00" + signed(pe_image(True, 4096), 0)
    bogus = bytearray(signed(self_extracting(pe_image(False), archives["one-entry"], second), 5))
    struct.pack_into("<I", bogus, 0x3C, 0xFFFFFFF0)
    seeds["bogus-lfanew"] = b"\x00\x00" + bytes(bogus)
    seeds["short"] = b"\x01\x00MZ"
    return seeds


def main_sequence_seeds(archives):
    """The first byte is the mode (see fuzz_main_sequence.cpp), the rest the
    loader's own file."""
    image = b"MZ" + b"\0" * 62
    second = archive([("payload.txt", zlib.compress(b"payload"), 7)])
    seeds = {}
    for name in ("one-entry", "three-entries", "empty-entry", "unsafe-names", "trailing-bytes",
                 "preset-dictionary", "long-name", "count-zero"):
        kit = self_extracting(image, archives[name], second)
        seeds["sfx-" + name] = b"\x00" + kit
        seeds["sfx-todisk-" + name] = b"\x02" + kit
        seeds["setup1-" + name] = b"\x01" + archives[name]
    seeds["sfx-fallback"] = b"\x04" + self_extracting(image, archives["three-entries"], second)
    seeds["sfx-winexec-2"] = b"\x08" + self_extracting(image, archives["one-entry"], second)
    seeds["sfx-failed-read"] = b"\x30" + self_extracting(image, archives["three-entries"], second)
    for padding in (0, 5):
        kit = self_extracting(pe_image(padding == 5), archives["three-entries"], second)
        seeds["signed-sfx-padding-%d" % padding] = b"\x00" + signed(kit, padding)
    seeds["short-file"] = b"\x00" + b"MZ" * 10
    seeds["lower-case-mark"] = b"\x01" + image + trailer(0, 10, 11, 20, b"selfextracting")
    seeds["start-beyond-end"] = b"\x00" + image + trailer(0x7FFFFFF0, 0x7FFFFFFF, 0, 0)
    return seeds


def kit_reader_seeds(archives):
    """The first byte picks the container (see fuzz_kit_reader.cpp)."""
    image = b"MZ" + b"\0" * 62
    second = archive([("docs\\readme.txt", zlib.compress(b"read me"), 7),
                      ("bin\\tool.exe", zlib.compress(text(5000), 9), 5000)])
    seeds = {}
    for name in ("one-entry", "three-entries", "empty-entry", "unsafe-names", "trailing-bytes",
                 "huge-sizes", "backwards-chain", "fifty-entries"):
        seeds["sfx-" + name] = b"\x00" + self_extracting(image, archives[name], second)
        first = archives[name]
        cut = (len(first) + 1) * 256 // (len(first) + len(second) + 1)
        # Rounded so that the split point of the harness lands on the boundary.
        seeds["external-" + name] = b"\x01" + bytes([min(cut, 255)]) + first + second
    for padding in (0, 6):
        kit = self_extracting(pe_image(True), archives["three-entries"], second)
        seeds["sfx-signed-padding-%d" % padding] = b"\x00" + signed(kit, padding)
    return seeds


def payload_seeds(archives):
    """The first byte picks a self-extracting kit (0) or setup.2 (1) (see
    fuzz_payload.cpp); the payloads are second archives, hostile names
    among them."""
    image = pe_image(True)
    first = archives["one-entry"]
    payloads = {
        "tree": archive([("docs\\readme.txt", zlib.compress(b"read me"), 7),
                         ("docs\\deep\\tool.bin", zlib.compress(text(5000), 9), 5000),
                         ("empty.txt", zlib.compress(b""), 0)]),
        "escapes": archive([("ok.txt", zlib.compress(b"a"), 1), ("..\\up.txt", zlib.compress(b"b"), 1),
                            ("C:\\abs.txt", zlib.compress(b"c"), 1)]),
        "same-name-twice": archive([("a.txt", zlib.compress(b"one"), 3),
                                    ("A.TXT", zlib.compress(b"two"), 3)]),
    }
    for name in ("three-entries", "corrupt-stream", "huge-sizes", "trailing-bytes", "backwards-chain",
                 "missing-header", "truncated-stream"):
        payloads[name] = archives[name]
    seeds = {}
    for name, second in payloads.items():
        seeds["sfx-" + name] = b"\x00" + self_extracting(image, first, second)
        seeds["setup2-" + name] = b"\x01" + second
    seeds["sfx-signed"] = b"\x00" + signed(self_extracting(image, first, payloads["tree"]), 3)
    return seeds


def authenticode_seeds():
    """The images osslsigncode signed for the format tests, whole (PE files
    to hash) and their certificate tables alone (signatures to read)."""
    data = os.path.join(HERE, "..", "tests", "format", "data")
    seeds = {}
    for name in sorted(os.listdir(data)):
        if not name.endswith(".exe"):
            continue
        with open(os.path.join(data, name), "rb") as f:
            image = f.read()
        seeds["file-" + name[:-4]] = image
        table = certificate_table(image)
        if table:
            seeds["table-" + name[:-4]] = image[table[0]:table[0] + table[1]]
    return seeds


def text_rules_seeds():
    """The first byte picks the path style; then length-prefixed texts as
    FuzzedDataProvider reads them (a backslash before a byte escapes it)."""
    texts = [
        b"setup.exe *TODISK",
        b'"C:\\Program Files\\setup.exe" "*TODISK"',
        b'setup.exe "" *todisk',
        b'setup.exe ab"c d"e f',
        b'setup.exe a\\"b c',
        b"setup.exe\t*TODISK   ",
        b"C:\\Downloads\\setup.exe",
        b"C:\\Temp\\ldx1A2B.tmp",
        b"C:\\a.b\\name",
        b"x.tar.gz",
        b"%s %s",
        b"C:\\\x83\\\\name.\x81.txt",
    ]
    seeds = {}
    for i, first in enumerate(texts):
        for mode in (0, 1, 2):
            seeds["text-%02d-%d" % (i, mode)] = bytes([mode]) + first + b"\\ " + \
                texts[(i + 1) % len(texts)] + b"\\ " + b"a" * 300 + b"\\ " + b"b" * 4000
    return seeds


if __name__ == "__main__":
    main()
