#!/usr/bin/env python3
"""Makes the signed images of authenticode_test.cpp: two small PE images whose
lengths are not multiples of 8, signed by osslsigncode with a throwaway
certificate. Run it again only to replace them; the test's expected digests
come from `osslsigncode verify` on the files it writes, printed at the end.

    make_signed.py [FOLDER]    (default: this script's folder)
"""

import os
import random
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support"))
from ldkit.pe import pe_image  # noqa: E402
from ldkit.signing import make_certificate  # noqa: E402


def image(plus, size, seed):
    rnd = random.Random(seed)
    raw = bytearray(pe_image(plus=plus, size=size, section=True))
    for i in range(0x300, size):
        raw[i] = rnd.getrandbits(8)
    return bytes(raw)


def main():
    out = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__)))
    with tempfile.TemporaryDirectory() as scratch:
        cert, key = make_certificate(scratch, "signer")

        def sign(digest, source, target, *extra):
            if os.path.exists(target):
                os.remove(target)
            subprocess.run(["osslsigncode", "sign", "-certs", cert, "-key", key, "-h", digest, *extra,
                            "-in", source, "-out", target], check=True, stdout=subprocess.DEVNULL)

        for name, plus, size in (("unsigned64.exe", True, 1027), ("unsigned32.exe", False, 1029)):
            with open(os.path.join(out, name), "wb") as f:
                f.write(image(plus, size, size))
        p = lambda name: os.path.join(out, name)  # noqa: E731
        sign("sha256", p("unsigned64.exe"), p("signed64-sha256.exe"))
        sign("sha256", p("unsigned32.exe"), p("signed32-sha256.exe"))
        sign("sha1", p("unsigned64.exe"), os.path.join(scratch, "sha1.exe"))
        sign("sha256", os.path.join(scratch, "sha1.exe"), p("signed64-sha1-nested-sha256.exe"), "-nest")
        for name in ("signed64-sha256.exe", "signed32-sha256.exe", "signed64-sha1-nested-sha256.exe"):
            text = subprocess.run(["osslsigncode", "verify", "-CAfile", cert, "-in", p(name)], check=True,
                                  stdout=subprocess.PIPE).stdout.decode()
            print(name, re.findall(r"Calculated message digest\s*:\s*([0-9A-F]+)", text))


if __name__ == "__main__":
    main()
