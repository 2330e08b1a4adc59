"""The files every tool gets, and the kits and peer archives made of them."""

import os
import random
import shutil

from .common import MIB, have, run


def text_bytes(rnd, size, vocab):
    parts, have_ = [], 0
    while have_ < size:
        line = " ".join(rnd.choices(vocab, k=12)) + " %d\r\n" % rnd.randint(0, 99999)
        parts.append(line)
        have_ += len(line)
    return "".join(parts).encode()[:size]


def make_mixed(folder, mib):
    """3/8 incompressible, 1/2 text in 8 files, 1/8 zeros: 10 data files."""
    os.makedirs(folder, exist_ok=True)
    rnd = random.Random(2026)
    vocab = ["".join(rnd.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(rnd.randint(2, 11)))
             for _ in range(4000)]
    total = mib * MIB
    with open(os.path.join(folder, "random.bin"), "wb") as f:
        left = total * 3 // 8
        while left > 0:
            n = min(left, MIB)
            f.write(rnd.randbytes(n))
            left -= n
    for i in range(8):
        with open(os.path.join(folder, "text%d.txt" % i), "wb") as f:
            f.write(text_bytes(rnd, total // 16, vocab))
    with open(os.path.join(folder, "zeros.bin"), "wb") as f:
        f.write(bytes(total // 8))


def make_small(folder):
    """49 small files (1 to 64 KiB) of the three kinds: with the installer,
    the 50 entries one archive of ours can hold."""
    os.makedirs(folder, exist_ok=True)
    rnd = random.Random(7)
    vocab = ["".join(rnd.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(rnd.randint(2, 9)))
             for _ in range(500)]
    for i in range(49):
        size = rnd.randint(1024, 64 * 1024)
        kind = i % 3
        if kind == 0:
            data = rnd.randbytes(size)
        elif kind == 1:
            data = text_bytes(rnd, size, vocab)
        else:
            data = bytes(size)
        with open(os.path.join(folder, "file%02d.dat" % i), "wb") as f:
            f.write(data)


def with_installer(data_folder, installer, folder, name):
    """A payload folder: the installer under NAME and the data files, linked."""
    os.makedirs(folder, exist_ok=True)
    shutil.copy(installer, os.path.join(folder, name))
    os.chmod(os.path.join(folder, name), 0o755)
    for n in sorted(os.listdir(data_folder)):
        dst = os.path.join(folder, n)
        if not os.path.exists(dst):
            os.link(os.path.join(data_folder, n), dst)
    return folder


def folder_bytes(folder):
    return sum(os.path.getsize(os.path.join(folder, n)) for n in os.listdir(folder))


def make_kit(kitpack, loader, payload, installer_name, out, external=False, level=9):
    cmd = [kitpack, "build", "--loader", loader, "--level", str(level),
           "--installer", os.path.join(payload, installer_name)]
    for n in sorted(os.listdir(payload)):
        if n != installer_name:
            cmd += ["--file", os.path.join(payload, n)]
    if external:
        os.makedirs(out, exist_ok=True)
        cmd += ["--external"]
    cmd += ["-o", out]
    run(cmd)


def make_peer_archives(payload, work, tag):
    """The same files for every peer that is installed; returns name -> path."""
    files = sorted(os.listdir(payload))
    made = {}
    tar = os.path.join(work, tag + ".tar")
    run(["tar", "-cf", tar, "-C", payload] + files)
    if have("gzip"):
        with open(tar + ".gz", "wb") as f:
            run(["gzip", "-9", "-c", tar], stdout=f)
        made["tar.gz"] = tar + ".gz"
    os.remove(tar)
    if have("zip"):
        z = os.path.join(work, tag + ".zip")
        run(["zip", "-9", "-q", "-X", z] + files, cwd=payload)
        made["zip"] = z
    sevenz = shutil.which("7zz") or shutil.which("7z")
    if sevenz:
        d = os.path.join(work, tag + "-deflate.7z")
        run([sevenz, "a", "-bd", "-m0=Deflate", "-mx=9", d] + files, cwd=payload)
        made["7z-deflate"] = d
        d = os.path.join(work, tag + "-default.7z")
        run([sevenz, "a", "-bd", d] + files, cwd=payload)
        made["7z-default"] = d
    if have("makeself"):
        m = os.path.join(work, tag + ".run")
        run(["makeself", "--quiet", "--gzip", payload, m, "bench " + tag, "./install"])
        made["makeself"] = m
    return made
