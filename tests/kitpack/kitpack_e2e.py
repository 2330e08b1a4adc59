#!/usr/bin/env python3
"""kitpack from the outside: its command line, and its kits read back by the
tests' own reader (tests/support/ldkit), written with struct and zlib alone."""

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

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from ldkit import manifest as pe_manifest  # noqa: E402
from ldkit.kitread import read_kit  # noqa: E402
from ldkit import kits  # noqa: E402
from ldkit.pe import pe_image  # noqa: E402
from ldkit.kits import archive_of_files, write_kit  # noqa: E402
from ldkit.pe import certificate_table  # noqa: E402
from ldkit.pe import headers as pe_headers  # noqa: E402
from ldkit.signing import make_certificate  # noqa: E402

KITPACK = None  # the command that runs kitpack: [program] or [runner, program]
TEST_PE = ""  # a small Windows program to use as the loader of signed kits
TEST_PES = None  # folder of the small Windows programs built for the tests


def pigz_compress(data):
    return subprocess.run(["pigz", "-z", "-9", "-c"], input=data, stdout=subprocess.PIPE, check=True).stdout


class KitpackCli(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="kitpack-e2e-")
        self.addCleanup(shutil.rmtree, self.dir)
        rnd = random.Random(5)
        self.loader = bytes(rnd.getrandbits(8) for _ in range(40000))
        self.write("loader.exe", self.loader)
        # PE headers first: taken for a Windows program where the loader is one.
        self.write("setup.exe", pe_image(size=512) + bytes(rnd.getrandbits(8) for _ in range(4490)))
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
            self.assertEqual(p.returncode, 0, (p.stdout + p.stderr).decode(errors="replace"))
        return p

    def build(self, out="kit.exe", *extra, env=None):
        return self.run_kitpack("build", "--loader", "loader.exe", "--installer", "setup.exe",
                                "--file", "helper.dll=D:\\app\\helper.dll", "--payload", "payload",
                                "-o", out, *extra, env=env)

    def test_kit_reads_back_with_an_independent_reader(self):
        self.build()
        loader, first, second = read_kit(self.path("kit.exe"))
        # The loader, then the zero bytes that make the kit's length a
        # multiple of 8.
        self.assertEqual(os.path.getsize(self.path("kit.exe")) % 8, 0)
        self.assertEqual(loader[:len(self.loader)], self.loader)
        self.assertEqual(loader[len(self.loader):], bytes(len(loader) - len(self.loader)))
        self.assertLess(len(loader) - len(self.loader), 8)
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
        self.assertIn(first["start"] - len(self.loader), range(8))
        self.assertIsNone(listing["signature"])
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

    def kp(self, *args, expect=0):
        """kitpack's exit code checked; (stdout, stderr) as text."""
        p = self.run_kitpack(*args, ok=False)
        self.assertEqual(p.returncode, expect, p.stderr.decode(errors="replace"))
        return p.stdout.decode("utf-8", "replace"), p.stderr.decode("utf-8", "replace")

    def test_every_well_formed_kit_reads(self):
        # Written by the independent writer above, as another packer would:
        # full stored paths with drives in both archives, a second archive of
        # more than 50 entries, time stamps and versions of every kind.
        second = [("C:\\Second\\readme.txt", b"read me\n"), ("D:\\Data\\deep\\x.bin", b"x" * 999)]
        second += [("C:\\Second\\many\\f%03d.txt" % i, b"%d" % i) for i in range(60)]
        times = [float("nan"), float("inf"), -1e300, 1e300, 0.0, -693594.5] + [36018.5] * 56
        versions = ["", "2.2.0.0", "x" * 22, "\xe9t\xe9", "1", "v"] + ["1.0"] * 56
        write_kit(self.path("foreign.exe"), b"LOADER" * 100,
                  [("C:\\Program Files\\Vendor\\setup.exe", b"installer"),
                   ("E:readme.txt", b"first archive, drive-relative")],
                  second, zlib.compress, times=times, versions=versions)
        listing, _ = self.kp("list", "foreign.exe")
        self.assertIn("many\\f059.txt", listing)
        data = json.loads(self.kp("list", "--json", "foreign.exe")[0])
        entries = data["archives"][1]["entries"]
        self.assertEqual(len(entries), 62)
        self.assertIsNone(entries[0]["file_time"])  # NaN has no JSON form
        self.assertEqual(entries[2]["version"], "x" * 22)
        out, err = self.kp("verify", "foreign.exe")
        self.assertIn("OK, 2 + 62 entries", out)
        # The installer's stricter rule shows as warnings, not errors.
        self.assertIn("the reference installer would refuse this name", err)
        self.kp("extract", "foreign.exe", "-C", "first")
        self.assertEqual(sorted(os.listdir(self.path("first"))), ["readme.txt", "setup.exe"])
        self.kp("extract", "foreign.exe", "--second", "-C", "second")
        with open(self.path("second/Second/readme.txt"), "rb") as f:
            self.assertEqual(f.read(), b"read me\n")
        self.assertEqual(os.path.getsize(self.path("second/Data/deep/x.bin")), 999)
        self.assertEqual(len(os.listdir(self.path("second/Second/many"))), 60)

    def test_escapes_are_refused_and_unusable_first_names_are_errors(self):
        for bad in ["C:\\..\\evil.txt", "\\\\server\\..\\evil.txt", "a\\..\\..\\evil.txt",
                    "C:\\x\\file.txt:stream", "C:\\NUL\\x"]:
            with self.subTest(bad):
                shutil.rmtree(self.path("out"), ignore_errors=True)
                write_kit(self.path("esc.exe"), b"LOADER" * 100, [("C:\\X\\inst.exe", b"i")],
                          [("C:\\ok.txt", b"fine"), (bad, b"pwned")], zlib.compress)
                _, err = self.kp("extract", "esc.exe", "--second", "-C", "out", expect=1)
                self.assertIn("unsafe stored name", err)
                self.assertFalse(os.path.exists(self.path("out/ok.txt")))  # checked before writing
                self.assertEqual([p for p in os.listdir(self.dir) if "evil" in p], [])
        # The first archive is checked with the loader's own rule.
        write_kit(self.path("dev.exe"), b"LOADER" * 100, [("C:\\X\\COM1.exe", b"i")],
                  [("a.txt", b"a")], zlib.compress)
        _, err = self.kp("verify", "dev.exe", expect=1)
        self.assertIn("unusable file name for the loader", err)

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
            (["--installer", "setup.exe", "--level", "13"], "level"),
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
        # The loader image comes first (then up to 7 zero bytes of padding).
        loader, _, _ = read_kit(self.path("default.exe"))
        self.assertEqual(loader.rstrip(b"\0"), installed)

        # --loader overrides it.
        p = run(*build, "--loader", "loader.exe", "-o", "chosen.exe")
        self.assertEqual(p.returncode, 0, p.stderr.decode())
        self.assertEqual(read_kit(self.path("chosen.exe"))[0][:len(self.loader)], self.loader)

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
        self.assertEqual(read_kit(self.path("posix.exe"))[0].rstrip(b"\0"), b"POSIX LOADER" * 50)

        # --posix names the installed loader; with --loader it is a usage error.
        self.assertEqual(run(*build, "--posix", "--loader", "loader.exe", "-o", "x.exe").returncode, 2)

    def test_execution_level_lands_in_the_loaders_manifest_only(self):
        pe = os.path.join(TEST_PES or "", "manifested.exe")
        if not os.path.isfile(pe):
            self.skipTest("no manifested.exe: the mingw-w64 cross tools are missing")
        with open(pe, "rb") as f:
            original = f.read()
        self.write("manifested.exe", original)
        at, size = pe_manifest.resource(original, pe_manifest.RT_MANIFEST, 1)
        for level in ["requireAdministrator", "highestAvailable", "asInvoker"]:
            with self.subTest(level):
                self.run_kitpack("build", "--loader", "manifested.exe", "--installer", "setup.exe",
                                 "--payload", "payload", "-o", "lv.exe", "--execution-level", level)
                root = pe_manifest.manifest(self.path("lv.exe"))
                self.assertEqual(pe_manifest.execution_level(root), (level, "false"))
                loader, _, second = read_kit(self.path("lv.exe"))
                self.assertEqual(len(second), 4)
                changed = [i for i in range(len(original)) if loader[i] != original[i]]
                self.assertTrue(all(at <= i < at + size for i in changed), changed)
                self.assertIn("OK", self.run_kitpack("verify", "lv.exe").stdout.decode())
        # A loader without a manifest, and a level kitpack does not know.
        p = self.run_kitpack("build", "--loader", "loader.exe", "--installer", "setup.exe", "-o", "no.exe",
                             "--execution-level", "asInvoker", ok=False)
        self.assertEqual(p.returncode, 1)
        self.assertIn("has no application manifest", p.stderr.decode())
        self.assertFalse(os.path.exists(self.path("no.exe")))
        p = self.run_kitpack("build", "--loader", "manifested.exe", "--installer", "setup.exe", "-o", "no.exe",
                             "--execution-level", "administrator", ok=False)
        self.assertEqual(p.returncode, 2)

    def test_stored_names_are_utf8(self):
        name = "данные-数据.txt"  # "data" in Russian and Chinese
        self.write("payload/" + name, b"utf-8 name")
        self.build("u.exe")
        _, _, second = read_kit(self.path("u.exe"))
        self.assertIn(name.encode("utf-8"), [e["name"].encode("latin-1") for e in second])
        listing = json.loads(self.run_kitpack("list", "u.exe", "--json").stdout.decode("utf-8"))
        self.assertIn(name, [e["stored_name"] for e in listing["archives"][1]["entries"]])
        p = self.run_kitpack("verify", "u.exe")
        self.assertEqual(p.stderr, b"")
        # A file name that is not UTF-8 is refused before anything is written.
        # POSIX only: a Windows file name is UTF-16 and always reaches
        # kitpack.exe as valid UTF-8 (Wine shows such a Linux name as some
        # other character).
        if len(KITPACK) > 1:
            return
        with open(os.path.join(os.fsencode(self.path("payload")), b"caf\xe9.txt"), "wb") as f:
            f.write(b"latin-1 name")
        p = self.run_kitpack(
            "build", "--loader", "loader.exe", "--installer", "setup.exe", "--payload", "payload",
            "-o", "bad.exe", ok=False)
        self.assertEqual(p.returncode, 1)
        self.assertIn(b'stored name "caf\\xE9.txt" is not valid UTF-8', p.stderr)
        self.assertFalse(os.path.exists(self.path("bad.exe")))
        # The advice works: the file under a name of the author's, left out
        # of its folder, and a loader-archive file the same way.
        self.assertIn(b"give it as --payload SRC=STOREDNAME, and leave it out of the folder "
                      b"that brings it with --exclude", p.stderr)
        latin = os.path.join(os.fsencode(self.path("payload")), b"caf\xe9.txt")
        self.run_kitpack("build", "--loader", "loader.exe", "--installer", "setup.exe",
                         "--file", latin + b"=C:\\KIT\\cafe.txt", "--payload", "payload",
                         "--exclude", b"caf*.txt", "--payload", latin + b"=docs/cafe.txt",
                         "-o", "fixed.exe")
        listing = json.loads(self.run_kitpack("list", "fixed.exe", "--json").stdout)
        self.assertIn("C:\\KIT\\cafe.txt",
                      [e["stored_name"] for e in listing["archives"][0]["entries"]])
        self.assertIn("docs\\cafe.txt",
                      [e["stored_name"] for e in listing["archives"][1]["entries"]])
        p = self.run_kitpack("build", "--loader", "loader.exe", "--installer", "setup.exe",
                             "--payload", "payload=x", "-o", "bad.exe", ok=False)
        self.assertIn(b"payload is a folder; =STORED names a single file", p.stderr)

    def test_verify_warns_about_names_in_a_legacy_code_page(self):
        # An older packer's kit: names in code page 1252.
        write_kit(self.path("old.exe"), b"LOADER" * 100, [("C:\\X\\inst.exe", b"installer")],
                  [("R\u00c9SUM\u00c9.txt", b"resume")], zlib.compress)
        p = self.run_kitpack("verify", "old.exe")
        self.assertIn(b"OK", p.stdout)
        warning = p.stderr.decode()
        self.assertIn('kitpack: warning: second archive: entry 0: stored name "R\\xC9SUM\\xC9.txt" is not UTF-8',
                      warning)
        self.assertIn("U+FFFD", warning)
        listing = json.loads(self.run_kitpack("list", "old.exe", "--json").stdout)
        self.assertEqual(listing["archives"][1]["entries"][0]["stored_name"], "R\u00c9SUM\u00c9.txt")

    def test_help_and_version(self):
        self.assertIn(b"Usage", self.run_kitpack("--help").stdout)
        self.assertIn(b"kitpack 1.", self.run_kitpack("--version").stdout)
        self.assertEqual(self.run_kitpack("build", ok=False).returncode, 2)


class HostileKitsAndFolders(unittest.TestCase):
    """extract and list against what an attacker controls: the kit, and
    names planted in the destination folder."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="kitpack-hostile-")
        self.addCleanup(shutil.rmtree, self.dir)
        self.kit = os.path.join(self.dir, "kit.exe")
        write_kit(self.kit, b"LOADER" * 100, [("C:\\X\\inst.exe", b"installer")],
                  [("README.txt", b"new contents\n"), ("docs\\guide.txt", b"guide")], zlib.compress)

    def kitpack(self, *args, timeout=60):
        return subprocess.run([*KITPACK, *args], cwd=self.dir, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=timeout)

    def test_extract_never_writes_through_a_hard_link_or_waits_on_a_pipe(self):
        outside = os.path.join(self.dir, "outside.txt")
        with open(outside, "wb") as f:
            f.write(b"keep")
        dest = os.path.join(self.dir, "dest")
        os.makedirs(dest)
        os.link(outside, os.path.join(dest, "README.txt"))
        p = self.kitpack("extract", self.kit, "--second", "-C", dest)
        self.assertEqual(p.returncode, 1)
        self.assertIn(b"README.txt", p.stderr)
        with open(outside, "rb") as f:
            self.assertEqual(f.read(), b"keep")

        dest = os.path.join(self.dir, "dest-fifo")
        os.makedirs(dest)
        os.mkfifo(os.path.join(dest, "README.txt"))
        try:
            p = self.kitpack("extract", self.kit, "--second", "-C", dest, timeout=20)
        except subprocess.TimeoutExpired:
            self.fail("extract waited on a pipe in the destination")
        self.assertEqual(p.returncode, 1)
        self.assertIn(b"README.txt", p.stderr)

    def test_extract_runs_the_checks_of_verify_first(self):
        """2,000 headers share one stream that inflates to 64 MiB: verify
        refuses the layout, and so must extract, before inflating anything."""
        stream = zlib.compress(bytes(64 << 20), 9)
        count = 2000
        out = bytearray(struct.pack("<iB", count, 0))
        data_start = 5 + count * 164
        data_end = data_start + len(stream) - 1
        for i in range(count):
            nxt = 5 + (i + 1) * 164 if i + 1 < count else data_end + 1
            out += kits.record(b"f%04d" % i, data_start, data_end, nxt, 64 << 20)
        out += stream
        first = archive_of_files([("C:\\X\\inst.exe", b"installer")], zlib.compress)
        with open(self.kit, "wb") as f:
            f.write(kits.self_extracting(b"LOADER" * 100, first, bytes(out)))
        verify = self.kitpack("verify", self.kit)
        self.assertEqual(verify.returncode, 1)
        p = self.kitpack("extract", self.kit, "--second", "-C", "out")
        self.assertEqual(p.returncode, 1)
        self.assertEqual(p.stderr, verify.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.dir, "out")))

    def test_extract_streams_an_entry_to_disk(self):
        """A 256 MiB entry: kitpack's peak memory stays far below it."""
        size = 256 << 20
        z = zlib.compressobj(9)
        stream = b"".join(z.compress(bytes(1 << 20)) for _ in range(size >> 20)) + z.flush()
        second = kits.archive([kits.Entry(b"big.bin", b"", stream=stream, unpacked_size=size)])
        first = archive_of_files([("C:\\X\\inst.exe", b"installer")], zlib.compress)
        with open(self.kit, "wb") as f:
            f.write(kits.self_extracting(b"LOADER" * 100, first, second))
        # A fresh interpreter whose only child is kitpack: its peak is the
        # children's peak.
        measure = ("import resource, subprocess, sys\n"
                   "p = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL)\n"
                   "print(p.returncode, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)\n")
        p = subprocess.run([sys.executable, "-c", measure, *KITPACK, "extract", self.kit, "--second",
                            "-C", os.path.join(self.dir, "out")],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300)
        code, peak_kib = map(int, p.stdout.split())
        self.assertEqual(code, 0, p.stderr)
        self.assertEqual(os.path.getsize(os.path.join(self.dir, "out", "big.bin")), size)
        self.assertLess(peak_kib, 128 << 10, "peak %d KiB" % peak_kib)

    def test_list_escapes_control_characters(self):
        hidden = b"evil\x1b[2K\rREADME.txt"
        write_kit(self.kit, b"LOADER" * 100, [("C:\\X\\inst.exe", b"installer")],
                  [("README.txt", b"x"), (hidden.decode("latin-1"), b"y"),
                   ("bell\x07\x9b.txt", b"z")], zlib.compress)
        p = self.kitpack("list", self.kit)
        self.assertEqual(p.returncode, 0, p.stderr)
        for raw in (b"\x1b", b"\r", b"\x07", b"\x9b"):
            self.assertNotIn(raw, p.stdout)
        self.assertIn(b"evil\\x1B[2K\\x0DREADME.txt", p.stdout)
        self.assertIn(b"bell\\x07\\x9B.txt", p.stdout)
        # In a UTF-8 name the C1 control is its two bytes; the bytes of the
        # other characters (0x97, 0x9C and 0x9E among them) stay as they are.
        write_kit(self.kit, b"LOADER" * 100, [("C:\\X\\inst.exe", b"installer")],
                  [("\u65e5\u672c\u8a9e\u009b.txt".encode().decode("latin-1"), b"x")], zlib.compress)
        p = self.kitpack("list", self.kit)
        self.assertIn("\u65e5\u672c\u8a9e".encode() + b"\\xC2\\x9B.txt", p.stdout)


# Names a hostile kit or folder may hold, and how kitpack shows them: every
# byte a terminal could obey, or could not show as a character, as \xNN.
HOSTILE_NAMES = [
    (b"evil\x1b[2K\x1b[1A.txt", b"evil\\x1B[2K\\x1B[1A.txt"),
    (b"bell\x07.txt", b"bell\\x07.txt"),
    (b"csi\x9b31m.txt", b"csi\\x9B31m.txt"),
    ("csi\u009b31m.txt".encode(), b"csi\\xC2\\x9B31m.txt"),
    (b"over\xc0\x9b.txt", b"over\\xC0\\x9B.txt"),
    (b"over\xe0\x80\x9b.txt", b"over\\xE0\\x80\\x9B.txt"),
    (b"lone\x80\xbf.txt", b"lone\\x80\\xBF.txt"),
    (b"line\r\nbreak.txt", b"line\\x0D\\x0Abreak.txt"),
    (b"del\x7f.txt", b"del\\x7F.txt"),
    ("\u65e5\u672c\u8a9e\u009b.txt".encode(), "\u65e5\u672c\u8a9e".encode() + b"\\xC2\\x9B.txt"),
    (b"\x1b[31m" * 19 + b".txt", b"\\x1B[31m" * 19 + b".txt"),
]


class HostileNamesOnTheTerminal(unittest.TestCase):
    """Every command that shows a stored name, or a name found in a folder,
    on a name meant to steer the terminal: list, list of a damaged entry,
    verify, verify --against, extract and build -v."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="kitpack-names-")
        self.addCleanup(shutil.rmtree, self.dir)
        with open(os.path.join(self.dir, "loader.exe"), "wb") as f:
            f.write(b"MZ" + bytes(range(256)) * 40)
        with open(os.path.join(self.dir, "setup.exe"), "wb") as f:
            f.write(b"MZ installer" * 50)

    def kitpack(self, *args):
        p = subprocess.run([*KITPACK, *args], cwd=self.dir, stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, timeout=60)
        return p.returncode, p.stdout + p.stderr

    def put_kit(self, name, second):
        """A kit whose payload archive is `second` (bytes)."""
        first = archive_of_files([("C:\\X\\inst.exe", b"installer")], zlib.compress)
        with open(os.path.join(self.dir, name), "wb") as f:
            f.write(kits.self_extracting(b"LOADER" * 100, first, second))

    def put_folder(self, folder, names):
        os.makedirs(os.path.join(self.dir, folder))
        for name in names:
            with open(os.path.join(os.fsencode(self.dir), folder.encode(), name), "wb") as f:
                f.write(name)

    def assert_shown(self, result, escaped, what, code=None):
        """Well-formed UTF-8 without a control character but line feed and
        tab, and the name in its escaped form."""
        returncode, out = result
        if code is not None:
            self.assertEqual(returncode, code, (what, out))
        try:
            text = out.decode("utf-8")
        except UnicodeDecodeError as e:
            self.fail("%s: a byte that is not UTF-8 reached the terminal: %r" % (what, e))
        obeyed = [c for c in text if (c < " " and c not in "\n\t") or "\x7f" <= c < "\xa0"]
        self.assertEqual(obeyed, [], (what, out))
        self.assertIn(escaped, out, what)

    def test_no_command_passes_a_name_to_the_terminal(self):
        self.put_folder("clean", [b"README.txt"])
        self.put_kit("clean.exe", archive_of_files([("README.txt", b"README.txt")], zlib.compress))
        for raw, escaped in HOSTILE_NAMES:
            with self.subTest(raw):
                name = raw.decode("latin-1")
                self.put_kit("ok.exe", archive_of_files([("README.txt", b"README.txt"), (name, b"y")],
                                                     zlib.compress))
                self.assert_shown(self.kitpack("list", "ok.exe"), escaped, "list", code=0)

                one = bytearray(archive_of_files([(name, b"data " * 20)], zlib.compress))
                damaged = bytes(one[:5 + 16]) + struct.pack("<i", 1 << 30) + bytes(one[5 + 20:])
                self.put_kit("range.exe", damaged)
                self.assert_shown(self.kitpack("list", "range.exe"), escaped, "list of a damaged range",
                                  code=1)
                one[5 + 164 + 4:] = bytes(b ^ 0x55 for b in one[5 + 164 + 4:])
                self.put_kit("stream.exe", bytes(one))
                self.assert_shown(self.kitpack("verify", "stream.exe"), escaped, "verify", code=1)
                self.assert_shown(self.kitpack("extract", "stream.exe", "--second", "-C", "out"),
                                  escaped, "extract", code=1)

                result = self.kitpack("verify", "ok.exe", "--against", "clean")
                self.assert_shown(result, escaped, "verify --against", code=1)
                if not any(b < 0x20 for b in raw):  # else refused before the comparison
                    self.assertIn(b"only in the kit: " + escaped, result[1])

                shutil.rmtree(os.path.join(self.dir, "folder"), ignore_errors=True)
                self.put_folder("folder", [b"README.txt", raw])
                result = self.kitpack("verify", "clean.exe", "--against", "folder")
                self.assert_shown(result, escaped, "verify --against, the folder's side", code=1)
                self.assertIn(b"only in folder: " + escaped, result[1])
                result = self.kitpack("build", "-v", "--loader", "loader.exe", "--installer",
                                      "setup.exe", "--payload", "folder", "-o", "built.exe")
                self.assert_shown(result, escaped, "build -v")


# --- Signed kits ---------------------------------------------------------------

class SignedKits(unittest.TestCase):
    """Kits with a real PE loader, signed by osslsigncode: through the sign
    hook, nested, and as others would sign them afterwards."""

    def setUp(self):
        for tool in ("osslsigncode", "openssl"):
            if shutil.which(tool) is None:
                self.fail("%s is missing: scripts/setup.sh installs it" % tool)
        if not os.path.isfile(TEST_PE):
            self.fail("KITPACK_TEST_PE must name a Windows program (got %r)" % TEST_PE)
        self.dir = tempfile.mkdtemp(prefix="kitpack-signed-")
        self.addCleanup(shutil.rmtree, self.dir)
        self.cert, self.key = make_certificate(self.dir, "signer")
        # A time-stamping authority of our own: osslsigncode stamps with it
        # offline.
        self.tsa, self.tsa_key = make_certificate(self.dir, "tsa",
                                                  "-addext", "extendedKeyUsage=critical,timeStamping")
        self.payload = os.path.join(self.dir, "payload")
        os.makedirs(os.path.join(self.payload, "docs"))
        self.files = {"README.txt": b"read me\r\n", "docs/guide.txt": b"guide " * 20000}
        for rel, data in self.files.items():
            with open(os.path.join(self.payload, rel), "wb") as f:
                f.write(data)

    def path(self, name):
        return os.path.join(self.dir, name)

    def run_tool(self, *args, ok=True):
        p = subprocess.run(list(args), cwd=self.dir, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
        if ok:
            self.assertEqual(p.returncode, 0, (p.stdout + p.stderr).decode())
        return p

    def sign_args(self, digest, *extra):
        return ["osslsigncode", "sign", "-certs", self.cert, "-key", self.key, "-h", digest, *extra]

    def osslsigncode_verify(self, kit, ok=True):
        return self.run_tool("osslsigncode", "verify", "-CAfile", self.cert, "-TSA-CAfile", self.tsa,
                             "-in", kit, ok=ok)

    def build(self, out, loader=None, *extra):
        return self.run_tool(*KITPACK, "build", "--loader", loader or TEST_PE, "--installer", TEST_PE,
                             "--payload", self.payload, "-o", self.path(out), *extra)

    def assert_payload(self, kit):
        _, first, second = read_kit(self.path(kit))
        self.assertEqual(first[0]["name"], "C:\\KIT\\" + os.path.basename(TEST_PE))
        self.assertEqual({e["name"]: e["data"] for e in second},
                         {rel.replace("/", "\\"): data for rel, data in self.files.items()})

    def test_sign_hook_then_nested_sha1_signature(self):
        command = " ".join(self.sign_args("sha256", "-n", "'Demo kit'", "-TSA-certs", self.tsa,
                                          "-TSA-key", self.tsa_key) + ["-in", "{}", "-out", "{out}"])
        self.build("kit.exe", None, "--sign-command", command)
        self.assertEqual(sorted(os.listdir(self.dir)), sorted(["kit.exe", "payload", "signer.pem", "signer-key.pem",
                                                               "tsa.pem", "tsa-key.pem"]))
        self.assertIn(b"Timestamp Server Signature verification: ok", self.osslsigncode_verify("kit.exe").stdout)
        text = self.run_tool(*KITPACK, "verify", "kit.exe").stdout.decode()
        self.assertIn("signature: signed", text)
        self.assertIn("both archives and the trailer lie in the part the signature covers", text)
        self.assert_payload("kit.exe")
        # kitpack's kits need no padding before the table.
        listing = json.loads(self.run_tool(*KITPACK, "list", "--json", "kit.exe").stdout)
        self.assertEqual(listing["signature"]["padding"], 0)
        self.assertEqual(listing["trailer_offset"] + 56, listing["signature"]["table_offset"])

        self.run_tool(*self.sign_args("sha1", "-nest"), "-in", "kit.exe", "-out", "dual.exe")
        self.assertIn(b"Number of verified signatures: 2", self.osslsigncode_verify("dual.exe").stdout)
        self.assertIn("signature: signed", self.run_tool(*KITPACK, "verify", "dual.exe").stdout.decode())
        self.assert_payload("dual.exe")
        self.run_tool(*KITPACK, "extract", "dual.exe", "--second", "-C", "x")
        with open(self.path("x/docs/guide.txt"), "rb") as f:
            self.assertEqual(f.read(), self.files["docs/guide.txt"])
        print("kit %d bytes, signed %d, dual-signed %d" % (
            listing["trailer_offset"] + 56, os.path.getsize(self.path("kit.exe")),
            os.path.getsize(self.path("dual.exe"))), file=sys.stderr)

        # The signature covers both archives: one flipped byte in either and
        # osslsigncode refuses the kit.
        listing = json.loads(self.run_tool(*KITPACK, "list", "--json", "dual.exe").stdout)
        with open(self.path("dual.exe"), "rb") as f:
            raw = f.read()
        for archive in listing["archives"]:
            with self.subTest(archive["label"]):
                at = (archive["start"] + archive["end"]) // 2
                flipped = bytearray(raw)
                flipped[at] ^= 0x01
                with open(self.path("flipped.exe"), "wb") as f:
                    f.write(flipped)
                p = self.osslsigncode_verify("flipped.exe", ok=False)
                self.assertNotEqual(p.returncode, 0)
                self.assertIn(b"MISMATCH", p.stdout + p.stderr)

    def test_signed_loader_is_stripped_and_the_kit_signed_afterwards(self):
        self.run_tool(*self.sign_args("sha256"), "-in", TEST_PE, "-out", "signed-loader.exe")
        self.osslsigncode_verify("signed-loader.exe")
        out = self.build("kit.exe", self.path("signed-loader.exe")).stdout.decode()
        notes = [line for line in out.splitlines() if line.startswith("note:")]
        self.assertEqual(len(notes), 1, out)
        self.assertIn("removed the signature", notes[0])
        # The kit starts with the loader less its table, security entry and
        # checksum; it carries no signature until it is signed as a whole.
        with open(self.path("signed-loader.exe"), "rb") as f:
            signed_loader = f.read()
        table, _ = certificate_table(signed_loader)
        with open(self.path("kit.exe"), "rb") as f:
            kit = f.read()
        self.assertIsNone(certificate_table(kit))
        self.assertEqual(struct.unpack_from("<I", kit, struct.unpack_from("<I", kit, 0x3C)[0] + 24 + 64)[0], 0)
        self.assertNotEqual(self.osslsigncode_verify("kit.exe", ok=False).returncode, 0)
        differing = [i for i in range(table) if kit[i] != signed_loader[i]]
        self.assertLessEqual(len(differing), 12, differing)  # the checksum and the security entry
        self.run_tool(*self.sign_args("sha256"), "-in", "kit.exe", "-out", "signed-kit.exe")
        self.osslsigncode_verify("signed-kit.exe")
        self.assert_payload("signed-kit.exe")
        self.assertIn("signature: signed", self.run_tool(*KITPACK, "verify", "signed-kit.exe").stdout.decode())

    def test_kit_of_another_producer_signed_with_padding(self):
        """A kit whose length is not a multiple of 8: osslsigncode pads it
        before its table, and the trailer is found behind the padding."""
        with open(TEST_PE, "rb") as f:
            loader = f.read()
        for extra in range(1, 8):
            with self.subTest(extra=extra):
                files = [("README.txt", b"x" * (100 + extra))]
                write_kit(self.path("other.exe"), loader, [("C:\\X\\inst.exe", b"installer")], files,
                          zlib.compress)
                if os.path.getsize(self.path("other.exe")) % 8 == 0:
                    continue
                if os.path.exists(self.path("other-signed.exe")):
                    os.remove(self.path("other-signed.exe"))
                self.run_tool(*self.sign_args("sha256"), "-in", "other.exe", "-out", "other-signed.exe")
                self.osslsigncode_verify("other-signed.exe")
                listing = json.loads(self.run_tool(*KITPACK, "list", "--json", "other-signed.exe").stdout)
                self.assertEqual(listing["signature"]["padding"], (-os.path.getsize(self.path("other.exe"))) % 8)
                self.run_tool(*KITPACK, "verify", "other-signed.exe")
                _, _, second = read_kit(self.path("other-signed.exe"))
                self.assertEqual(second[0]["data"], files[0][1])

    def test_verify_compares_the_authenticode_digest(self):
        """verify computes the kit's Authenticode hash and compares it with the
        digest its signature holds, for SHA-256 and SHA-1 signatures. The
        attack it catches: the certificate table moved behind archives and a
        trailer of someone else's, the security entry naming it there. The
        loader's rule then finds the planted trailer, osslsigncode refuses the
        kit, and verify, which said it was signed, now fails."""
        self.build("kit.exe")
        for digest, name in (("sha256", "SHA-256"), ("sha1", "SHA-1")):
            with self.subTest(digest):
                signed = "signed-%s.exe" % digest
                self.run_tool(*self.sign_args(digest), "-in", "kit.exe", "-out", signed)
                self.osslsigncode_verify(signed)
                self.assertIn("; Authenticode digest (%s) matches; the certificate chain is not checked\n" % name,
                              self.run_tool(*KITPACK, "verify", signed).stdout.decode())

        with open(self.path("signed-sha256.exe"), "rb") as f:
            signed = f.read()
        table, _ = certificate_table(signed)
        planted = self.plant_behind_the_signed_part(signed, table)
        listing = json.loads(self.run_tool(*KITPACK, "list", "--json", planted).stdout)
        self.assertEqual([e["stored_name"] for e in listing["archives"][0]["entries"]], ["C:\\KIT\\planted.exe"])
        p = self.osslsigncode_verify(planted, ok=False)
        self.assertNotEqual(p.returncode, 0)
        self.assertIn(b"MISMATCH", p.stdout + p.stderr)
        p = self.run_tool(*KITPACK, "verify", planted, ok=False)
        self.assertEqual(p.returncode, 1)
        self.assertIn("both archives and the trailer lie in the part the signature covers", p.stdout.decode())
        self.assertIn("; Authenticode digest (SHA-256) does NOT match; the certificate chain is not checked\n",
                      p.stdout.decode())
        self.assertIn("its Authenticode digest does not match the one its signature holds", p.stderr.decode())
        self.assertNotIn(": OK,", p.stdout.decode())

        # A table that holds no signature: verify says so rather than
        # vouching for the kit.
        damaged = bytearray(signed)
        damaged[table + 8:table + 16] = bytes(8)
        with open(self.path("damaged.exe"), "wb") as f:
            f.write(damaged)
        p = self.run_tool(*KITPACK, "verify", "damaged.exe", ok=False)
        self.assertEqual(p.returncode, 1)
        self.assertIn("signature: the certificate table holds no Authenticode signature kitpack can read: "
                      "the signature: tag 0x00 is not one of DER's at byte 0", p.stderr.decode())

    def test_verify_flags_bytes_added_inside_the_certificate_table(self):
        """Bytes added to the certificate table after the signature (the
        security entry grown to take them) are covered by no signature:
        osslsigncode refuses the kit, and verify names them instead of
        saying "signed ... matches"."""
        self.build("kit.exe")
        self.run_tool(*self.sign_args("sha256"), "-in", "kit.exe", "-out", "signed.exe")
        with open(self.path("signed.exe"), "rb") as f:
            signed = f.read()
        table, size = certificate_table(signed)
        _, directories = pe_headers(signed)
        for label, extra in (("junk", b"\x5a" * 24), ("zeros", bytes(8)),
                             ("a second entry", struct.pack("<IHH", 16, 0x200, 2) + bytes(8))):
            with self.subTest(label):
                grown = bytearray(signed + extra)
                struct.pack_into("<II", grown, directories + 4 * 8, table, size + len(extra))
                with open(self.path("grown.exe"), "wb") as f:
                    f.write(grown)
                self.assertNotEqual(self.osslsigncode_verify("grown.exe", ok=False).returncode, 0)
                p = self.run_tool(*KITPACK, "verify", "grown.exe", ok=False)
                self.assertEqual(p.returncode, 1, p.stdout.decode())
                self.assertNotIn(": OK,", p.stdout.decode())
                self.assertIn("grown.exe: its certificate table holds more than its signatures: ",
                              p.stderr.decode())

    def plant_behind_the_signed_part(self, signed, table):
        """The signed kit up to its table, then archives and a trailer of the
        attacker's, zero bytes to a multiple of 8, and the table, which the
        security entry now names there."""
        first = archive_of_files([("C:\\KIT\\planted.exe", b"MZ planted installer")], zlib.compress)
        second = archive_of_files([("planted.txt", b"planted")], zlib.compress)
        out = bytearray(kits.self_extracting(signed[:table], first, second))
        out += bytes(-len(out) % 8)
        _, directories = pe_headers(out)
        struct.pack_into("<I", out, directories + 4 * 8, len(out))
        out += signed[table:]
        with open(self.path("planted.exe"), "wb") as f:
            f.write(out)
        return "planted.exe"

    def test_sign_command_that_fails_leaves_nothing(self):
        before = sorted(os.listdir(self.dir))
        for command, message in [("false {}", "exited with code 1"),
                                 ("osslsigncode sign -in {} -out {out}", "osslsigncode exited"),
                                 ("touch {}", "was it signed?")]:
            with self.subTest(command):
                p = self.run_tool(*KITPACK, "build", "--loader", TEST_PE, "--installer", TEST_PE, "-o", "kit.exe",
                                  "--sign-command", command, ok=False)
                self.assertEqual(p.returncode, 1)
                self.assertIn(message, p.stderr.decode())
                self.assertEqual(sorted(os.listdir(self.dir)), before)


if __name__ == "__main__":
    # kitpack_e2e.py [--runner RUNNER] KITPACK [unittest arguments]
    runner = []
    if sys.argv[1] == "--runner":
        runner = [sys.argv.pop(2)]
        sys.argv.pop(1)
    KITPACK = runner + [os.path.abspath(sys.argv.pop(1))]
    TEST_PE = os.environ.get("KITPACK_TEST_PE", "")
    if len(sys.argv) > 1 and os.path.isdir(sys.argv[1]):
        TEST_PES = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
