#!/usr/bin/env python3
"""kitpack from the outside: its command line, and its kits read back by an
independent reader written here with struct and zlib alone."""

import json
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import zlib

KITPACK = None  # the command that runs kitpack: [program] or [runner, program]
MARK = b"\x0eSELFEXTRACTING"


# --- Independent reader -----------------------------------------------------

def read_archive(blob, limit=None):
    """Entries of one archive held in `blob` (offsets relative to its start)."""
    count, _flag = struct.unpack_from("<iB", blob, 0)
    if limit is not None:
        assert 0 < count <= limit, count
    entries, h = [], 5
    for _ in range(count):
        (one, ftime, zero, data_end) = struct.unpack_from("<idii", blob, h)
        name = blob[h + 21:h + 21 + blob[h + 20]].decode("latin-1")
        nxt, size, data_start, z136, z140 = struct.unpack_from("<iiiiB", blob, h + 124)
        version = blob[h + 142:h + 142 + blob[h + 141]].decode("latin-1")
        assert (one, zero, z136, z140) == (1, 0, 0, 0)
        assert data_start == h + 164 and nxt == data_end + 1, (h, data_start, data_end, nxt)
        stream = blob[data_start:data_end + 1]
        d = zlib.decompressobj()
        data = d.decompress(stream)
        assert d.eof and not d.unused_data, name
        assert len(data) == size, name
        entries.append({"name": name, "data": data, "time": ftime, "version": version})
        h = nxt
    assert h == len(blob), (h, len(blob))
    return entries


def read_kit(path):
    with open(path, "rb") as f:
        raw = f.read()
    t = raw[-56:]
    assert t[:15] == MARK and t[15] == 0 and t[32:] == bytes(24)
    a1, e1, a2, e2 = struct.unpack_from("<iiii", t, 16)
    assert a2 == e1 + 1 and e2 == len(raw) - 57
    return raw[:a1], read_archive(raw[a1:e1 + 1], 50), read_archive(raw[a2:e2 + 1])


# --- An independent writer, for streams made by other producers -------------

def write_archive(files, compress):
    out = bytearray(struct.pack("<iB", len(files), 0))
    for name, data in files:
        stream = compress(data)
        h = len(out)
        rec = bytearray(164)
        struct.pack_into("<idii", rec, 0, 1, 36018.5, 0, h + 164 + len(stream) - 1)
        rec[20] = len(name)
        rec[21:21 + len(name)] = name.encode("latin-1")
        struct.pack_into("<iiiiB", rec, 124, h + 164 + len(stream), len(data), h + 164, 0, 0)
        out += rec + stream
    return bytes(out)


def write_kit(path, loader, first, second, compress):
    a1 = write_archive(first, compress)
    a2 = write_archive(second, compress)
    start = len(loader)
    end = start + len(a1) - 1
    total = start + len(a1) + len(a2) + 56
    trailer = MARK + b"\0" + struct.pack("<iiii", start, end, end + 1, total - 57) + bytes(24)
    with open(path, "wb") as f:
        f.write(loader + a1 + a2 + trailer)


def pigz_compress(data):
    return subprocess.run(["pigz", "-z", "-9", "-c"], input=data, stdout=subprocess.PIPE, check=True).stdout


class KitpackCli(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="kitpack-e2e-")
        self.addCleanup(shutil.rmtree, self.dir)
        rnd = random.Random(5)
        self.loader = bytes(rnd.getrandbits(8) for _ in range(40000))
        self.write("loader.exe", self.loader)
        self.write("setup.exe", b"MZ" + bytes(rnd.getrandbits(8) for _ in range(5000)))
        self.write("helper.dll", b"helper" * 1000)
        self.write("payload/README.txt", b"hello\r\n")
        self.write("payload/docs/guide.txt", b"guide " * 5000)
        self.write("payload/docs/deeper/zeros.bin", bytes(300000))
        self.write("payload/a.bin", bytes(rnd.getrandbits(8) for _ in range(70000)))

    def path(self, rel):
        return os.path.join(self.dir, rel)

    def write(self, rel, data):
        os.makedirs(os.path.dirname(self.path(rel)), exist_ok=True)
        with open(self.path(rel), "wb") as f:
            f.write(data)

    def run_kitpack(self, *args, ok=True, env=None):
        p = subprocess.run([*KITPACK, *args], cwd=self.dir, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                           env=env)
        if ok:
            self.assertEqual(p.returncode, 0, p.stderr.decode())
        return p

    def build(self, out="kit.exe", *extra, env=None):
        return self.run_kitpack("build", "--loader", "loader.exe", "--installer", "setup.exe",
                                "--file", "helper.dll=D:\\app\\helper.dll", "--payload", "payload",
                                "-o", out, *extra, env=env)

    def test_kit_reads_back_with_an_independent_reader(self):
        self.build()
        loader, first, second = read_kit(self.path("kit.exe"))
        self.assertEqual(loader, self.loader)
        self.assertEqual([e["name"] for e in first], ["C:\\KIT\\setup.exe", "D:\\app\\helper.dll"])
        self.assertEqual(first[1]["data"], b"helper" * 1000)
        self.assertEqual([e["name"] for e in second],
                         ["README.txt", "a.bin", "docs\\deeper\\zeros.bin", "docs\\guide.txt"])
        for e in second:
            with open(self.path("payload/" + e["name"].replace("\\", "/")), "rb") as f:
                self.assertEqual(e["data"], f.read())

    def test_list_verify_extract(self):
        self.build()
        listing = json.loads(self.run_kitpack("list", "kit.exe", "--json").stdout)
        first, second = listing["archives"]
        self.assertEqual(first["start"], len(self.loader))
        self.assertEqual(second["start"], first["end"] + 1)
        self.assertEqual(len(second["entries"]), 4)
        self.assertEqual(second["entries"][3]["unpacked_size"], 30000)
        text = self.run_kitpack("list", "kit.exe").stdout.decode()
        self.assertIn("docs\\guide.txt", text)
        self.assertIn("OK", self.run_kitpack("verify", "kit.exe").stdout.decode())
        self.run_kitpack("extract", "kit.exe", "-C", "x1")
        self.run_kitpack("extract", "kit.exe", "--second", "-C", "x2")
        self.assertEqual(sorted(os.listdir(self.path("x1"))), ["helper.dll", "setup.exe"])
        for rel in ["README.txt", "docs/guide.txt", "docs/deeper/zeros.bin", "a.bin"]:
            with open(self.path("x2/" + rel), "rb") as a, open(self.path("payload/" + rel), "rb") as b:
                self.assertEqual(a.read(), b.read(), rel)

    def test_reproducible_across_threads_and_touched_inputs(self):
        env = dict(os.environ, SOURCE_DATE_EPOCH="1700000000")
        self.build("a.exe", "--threads", "1", env=env)
        os.utime(self.path("payload/README.txt"), (1, 1))
        self.build("b.exe", "--threads", "4", env=env)
        with open(self.path("a.exe"), "rb") as a, open(self.path("b.exe"), "rb") as b:
            self.assertEqual(a.read(), b.read())
        _, first, _ = read_kit(self.path("a.exe"))
        self.assertAlmostEqual(first[0]["time"], 25569 + 1700000000 / 86400)

    def test_large_split_entry_inflates_with_python_zlib(self):
        rnd = random.Random(9)
        words = [b"alpha ", b"beta ", b"kit ", b"loader\n", bytes(rnd.getrandbits(8) for _ in range(40))]
        data = b"".join(rnd.choice(words) for _ in range(1200000))[:20 << 20]
        self.write("big/big.bin", data)
        self.run_kitpack("build", "--loader", "loader.exe", "--installer", "setup.exe", "--payload",
                         "big", "-o", "big.exe", "--level", "6")
        _, _, second = read_kit(self.path("big.exe"))
        self.assertEqual(second[0]["data"], data)

    def test_kits_from_other_producers_verify_and_extract(self):
        files = [("docs\\one.txt", b"one " * 9000), ("two.bin", bytes(range(256)) * 300), ("empty", b"")]
        for label, compress in [("zlib.compress-1", lambda d: zlib.compress(d, 1)),
                                ("zlib.compress-9", lambda d: zlib.compress(d, 9)),
                                ("pigz", pigz_compress)]:
            with self.subTest(label):
                write_kit(self.path("other.exe"), b"LOADER" * 100,
                          [("C:\\X\\inst.exe", b"installer")], files, compress)
                self.run_kitpack("verify", "other.exe")
                out = "o-" + label
                self.run_kitpack("extract", "other.exe", "--second", "-C", out)
                with open(self.path(out + "/docs/one.txt"), "rb") as f:
                    self.assertEqual(f.read(), b"one " * 9000)
                self.assertEqual(os.path.getsize(self.path(out + "/empty")), 0)

    def test_bad_input_fails_cleanly(self):
        self.build("kit.exe")
        for i in range(51):
            self.write("many/f%02d" % i, b"x")
        many = []
        for i in range(50):
            many += ["--file", "many/f%02d" % i]
        cases = [
            (["--installer", "missing.exe"], "missing.exe"),
            (["--installer", "setup.exe"] + many, "at most 50"),
            (["--installer", "setup.exe=C:\\" + "n" * 101], "at most 103"),
            (["--installer", "setup.exe", "--file", "out.exe"], "also an input"),
            (["--installer", "setup.exe", "--level", "12"], "level"),
        ]
        self.write("out.exe", b"old")
        before = sorted(os.listdir(self.dir))
        for args, message in cases:
            with self.subTest(message):
                p = self.run_kitpack("build", "--loader", "loader.exe", *args, "-o", "out.exe", ok=False)
                self.assertNotEqual(p.returncode, 0)
                self.assertIn(message, p.stderr.decode() + p.stdout.decode())
                self.assertEqual(sorted(os.listdir(self.dir)), before)
        with open(self.path("out.exe"), "rb") as f:
            self.assertEqual(f.read(), b"old")
        p = self.run_kitpack("build", "--loader", "kit.exe", "--installer", "setup.exe", "-o", "k2.exe", ok=False)
        self.assertIn("already carries a kit", p.stderr.decode())
        p = self.run_kitpack("verify", "setup.exe", ok=False)
        self.assertEqual(p.returncode, 1)
        self.assertIn("not a kit", p.stderr.decode())

    def test_default_loader_is_the_one_installed_with_kitpack(self):
        # An install tree: bin/kitpack, share/loaderkit/loader.exe.
        program = KITPACK[-1]
        own = os.path.join(self.dir, "tree", "bin", os.path.basename(program))
        os.makedirs(os.path.dirname(own))
        shutil.copy2(program, own)
        installed = b"INSTALLED LOADER" * 100
        self.write("tree/share/loaderkit/loader.exe", installed)
        command = KITPACK[:-1] + [own]
        build = ["build", "--installer", "setup.exe", "--payload", "payload"]

        def run(*args):
            return subprocess.run(command + list(args), cwd=self.dir, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE)

        p = run(*build, "-o", "default.exe")
        self.assertEqual(p.returncode, 0, p.stderr.decode())
        loader, _, _ = read_kit(self.path("default.exe"))
        self.assertEqual(loader, installed)

        # --loader overrides it.
        p = run(*build, "--loader", "loader.exe", "-o", "chosen.exe")
        self.assertEqual(p.returncode, 0, p.stderr.decode())
        self.assertEqual(read_kit(self.path("chosen.exe"))[0], self.loader)

        # No POSIX loader installed: the message names both places.
        p = run(*build, "--posix", "-o", "posix.exe")
        self.assertEqual(p.returncode, 1)
        message = p.stderr.decode()
        self.assertIn("no installed loader found", message)
        sep = "\\" if len(KITPACK) > 1 else "/"  # kitpack.exe under Wine joins with "\"
        self.assertIn(sep.join(["bin", "..", "share", "loaderkit", "loader "]), message)
        self.assertIn(sep.join(["bin", "loader;"]), message)
        self.assertFalse(os.path.exists(self.path("posix.exe")))

        # A loader beside kitpack is the second place looked at.
        self.write("tree/bin/loader", b"POSIX LOADER" * 50)
        p = run(*build, "--posix", "-o", "posix.exe")
        self.assertEqual(p.returncode, 0, p.stderr.decode())
        self.assertEqual(read_kit(self.path("posix.exe"))[0], b"POSIX LOADER" * 50)

        # --posix names the installed loader; with --loader it is a usage error.
        self.assertEqual(run(*build, "--posix", "--loader", "loader.exe", "-o", "x.exe").returncode, 2)

    def test_help_and_version(self):
        self.assertIn(b"Usage", self.run_kitpack("--help").stdout)
        self.assertIn(b"kitpack 1.", self.run_kitpack("--version").stdout)
        self.assertEqual(self.run_kitpack("build", ok=False).returncode, 2)


if __name__ == "__main__":
    # kitpack_e2e.py [--runner RUNNER] KITPACK [unittest arguments]
    runner = []
    if sys.argv[1] == "--runner":
        runner = [sys.argv.pop(2)]
        sys.argv.pop(1)
    KITPACK = runner + [os.path.abspath(sys.argv.pop(1))]
    unittest.main(verbosity=2)
