#!/usr/bin/env python3
"""The worked example of docs/format.md, from a real kitpack run: a tiny
self-extracting kit (a 64-byte stand-in loader, a 4-byte installer, one
payload file, SOURCE_DATE_EPOCH fixed) dumped in xxd's layout, region by
region, with the fields of each record read out.

usage: format-example.py KITPACK                  print the example
       format-example.py KITPACK --check DOC      exit 1 when DOC's example differs
       format-example.py KITPACK --update DOC     rewrite DOC's example
The example lies in DOC between the lines BEGIN and END below.
"""

import os
import struct
import subprocess
import sys
import tempfile

BEGIN = "<!-- format-example: begin (scripts/format-example.py --update docs/format.md) -->"
END = "<!-- format-example: end -->"


def dump(data, start, length):
    lines = []
    for at in range(start, start + length, 16):
        chunk = data[at:min(at + 16, start + length)]
        hexes = " ".join(chunk[i:i + 2].hex() for i in range(0, len(chunk), 2))
        text = "".join(chr(b) if 32 <= b < 127 else "." for b in chunk)
        lines.append("%08x: %-39s  %s" % (at, hexes, text))
    return lines


def record_fields(data, at):
    time, = struct.unpack_from("<d", data, at + 4)
    data_end, = struct.unpack_from("<i", data, at + 16)
    name = data[at + 21:at + 21 + data[at + 20]].decode()
    next_header, unpacked, data_start = struct.unpack_from("<iii", data, at + 124)
    version = data[at + 142:at + 142 + data[at + 141]].decode()
    return ("name %r, time %r days, DataStart %d, DataEnd %d, NextHeader %d, "
            "unpacked %d bytes, version %r" % (name, time, data_start, data_end, next_header,
                                               unpacked, version))


def make_kit(kitpack, folder):
    loader = os.path.join(folder, "loader.bin")
    with open(loader, "wb") as f:
        f.write(b"MZ" + b"\0" * 62)
    installer = os.path.join(folder, "setup.exe")
    with open(installer, "wb") as f:
        f.write(b"MZ!\n")
    os.makedirs(os.path.join(folder, "payload", "docs"))
    with open(os.path.join(folder, "payload", "docs", "hello.txt"), "wb") as f:
        f.write(b"Hello, kit!\n")
    kit = os.path.join(folder, "kit.exe")
    subprocess.run([kitpack, "build", "-q", "--loader", loader, "--installer", installer,
                    "--payload", os.path.join(folder, "payload"), "-o", kit], check=True,
                   env=dict(os.environ, SOURCE_DATE_EPOCH="1700000000"))
    with open(kit, "rb") as f:
        return f.read()


def example(kitpack):
    with tempfile.TemporaryDirectory() as folder:
        kit = make_kit(kitpack, folder)
    t = len(kit) - 56
    a1, e1, a2, e2 = struct.unpack_from("<iiii", kit, t + 16)
    out = ["$ SOURCE_DATE_EPOCH=1700000000 kitpack build --loader loader.bin \\",
           "      --installer setup.exe --payload payload -o kit.exe",
           "# loader.bin: \"MZ\" and 62 zero bytes; setup.exe: \"MZ!\\n\";",
           "# payload/docs/hello.txt: \"Hello, kit!\\n\". kit.exe is %d bytes." % len(kit), ""]
    out.append("# The loader image (64 bytes) and %d zero bytes that make the kit's length a"
               % (a1 - 64))
    out.append("# multiple of 8; the first archive at %d:" % a1)
    out += dump(kit, a1, 5)
    out.append("#   FileCount %d, MultiPartition %d" % (struct.unpack_from("<i", kit, a1)[0], kit[a1 + 4]))
    out.append("# its entry 0, header at %d (DataStart and the other offsets count from %d):" % (a1 + 5, a1))
    out += dump(kit, a1 + 5, 164)
    out.append("#   " + record_fields(kit, a1 + 5))
    s_start, s_end = struct.unpack_from("<i", kit, a1 + 5 + 132)[0], struct.unpack_from("<i", kit, a1 + 5 + 16)[0]
    out.append("# its zlib stream:")
    out += dump(kit, a1 + s_start, s_end - s_start + 1)
    out.append("# The second archive, the payload, at %d:" % a2)
    out += dump(kit, a2, 5)
    out += dump(kit, a2 + 5, 164)
    out.append("#   " + record_fields(kit, a2 + 5))
    s_start, s_end = struct.unpack_from("<i", kit, a2 + 5 + 132)[0], struct.unpack_from("<i", kit, a2 + 5 + 16)[0]
    out += dump(kit, a2 + s_start, s_end - s_start + 1)
    out.append("# The trailer, the file's last 56 bytes, at %d:" % t)
    out += dump(kit, t, 56)
    out.append("#   mark %r; archive %d..%d; second archive %d..%d;" % (
        kit[t + 1:t + 1 + kit[t]].decode(), a1, e1, a2, e2))
    out.append("#   digest block: tag %s, SHA-256 prefix %s" % (kit[t + 32:t + 36].hex(), kit[t + 36:t + 56].hex()))
    return "\n".join(out) + "\n"


def main():
    kitpack = sys.argv[1]
    text = example(kitpack)
    if len(sys.argv) == 2:
        sys.stdout.write(text)
        return 0
    mode, doc = sys.argv[2], sys.argv[3]
    with open(doc) as f:
        content = f.read()
    head, rest = content.split(BEGIN + "\n", 1)
    _, tail = rest.split(END, 1)
    fresh = head + BEGIN + "\n```\n" + text + "```\n" + END + tail
    if mode == "--update":
        with open(doc, "w") as f:
            f.write(fresh)
        return 0
    if fresh != content:
        sys.stderr.write("%s: its worked example is not what kitpack writes now; run "
                         "scripts/format-example.py KITPACK --update %s\n" % (doc, doc))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
