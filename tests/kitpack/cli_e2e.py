#!/usr/bin/env python3
"""What kitpack tells its user and what it lets them check: the closing
summary, -q and -v, progress lines in a log, list totals and UTF-8 JSON,
the integrity digest with verify and verify --against, the deployment record
as list shows it and verify checks it, and the messages for the usual
mistakes.

usage: cli_e2e.py KITPACK
"""

import hashlib
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unicodedata
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from ldkit.kitread import DIGEST_TAG, kit_digest, trailer_offset  # noqa: E402
from ldkit.kits import write_kit  # noqa: E402
from ldkit.pe import PeImage, pe_image, with_certificate_table  # noqa: E402

KITPACK = PE_DIR = None
NAME = "Übersicht.txt"


class CliCase(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="kitpack-cli-")
        self.addCleanup(shutil.rmtree, self.dir)
        self.write("loader.exe", b"MZ" + bytes(range(256)) * 40)
        self.write("setup.exe", pe_image(size=600))
        self.write("payload/" + NAME, "Inhalt\n".encode())
        self.write("payload/docs/guide.txt", b"guide " * 5000)
        self.write("payload/data/r.bin", os.urandom(70000))

    def path(self, rel):
        return os.path.join(self.dir, rel)

    def write(self, rel, data):
        os.makedirs(os.path.dirname(self.path(rel)), exist_ok=True)
        with open(self.path(rel), "wb") as f:
            f.write(data)

    def read(self, rel):
        with open(self.path(rel), "rb") as f:
            return f.read()

    def kitpack(self, *args, code=0, env=None):
        p = subprocess.run([KITPACK, *args], cwd=self.dir, stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, env=dict(os.environ, **(env or {})), timeout=120)
        if code is not None:
            self.assertEqual(p.returncode, code, (p.stdout + p.stderr).decode())
        return p.stdout.decode(), p.stderr.decode()

    def build(self, out="kit.exe", *extra, code=0, env=None):
        return self.kitpack("build", "--loader", "loader.exe", "--installer", "setup.exe",
                            "--payload", "payload", "-o", out, *extra, code=code, env=env)


class Output(CliCase):
    def test_summary_quiet_and_verbose(self):
        out, err = self.build()
        self.assertEqual(err, "")
        raw = self.read("kit.exe")
        self.assertIn("sha256         %s  kit.exe" % hashlib.sha256(raw).hexdigest(), out)
        self.assertIn("kit            ", out)
        self.assertIn("(%d bytes)" % len(raw), out)
        self.assertRegex(out, r"payload +3 entries, [0-9.]+ KiB packed to [0-9.]+ KiB \([0-9.]+%\)")
        self.assertRegex(out, r"loader archive +1 entries")
        self.assertRegex(out, r"time +[0-9.]+ s")

        out, err = self.build("q.exe", "-q")
        self.assertEqual((out, err), ("", ""))

        out, _ = self.build("v.exe", "-v")
        for name in ("C:\\KIT\\setup.exe", NAME, "docs\\guide.txt", "data\\r.bin"):
            self.assertIn(name, out)
        # The three kits are the same bytes: only the talk differs.
        self.assertEqual(self.read("q.exe"), raw)

    def test_progress_lines_in_a_log(self):
        self.write("payload/big.bin", os.urandom(24 << 20))
        _, err = self.build("kit.exe", "--threads", "1",
                            env={"KITPACK_PROGRESS_INTERVAL": "0.05"})
        lines = err.splitlines()
        self.assertGreaterEqual(len(lines), 2, err)
        for line in lines:
            self.assertRegex(line, r"^kitpack: +\d+%  [0-9.]+ (bytes|KiB|MiB) of [0-9.]+ MiB$")
        self.assertNotIn("\r", err)
        percents = [int(re.search(r"(\d+)%", line).group(1)) for line in lines]
        self.assertEqual(percents, sorted(percents))

    def test_list_totals_alignment_and_utf8_json(self):
        self.build()
        out, _ = self.kitpack("list", "kit.exe")
        rows = [line for line in out.splitlines() if line.startswith("  ")]
        names = [line for line in rows if NAME in line or "docs\\guide.txt" in line]
        self.assertEqual(len(names), 2)
        # Counted in characters, the columns line up.
        self.assertEqual(len(names[0]), len(names[1]))
        totals = [line for line in rows if line.lstrip().startswith("total")]
        self.assertEqual(len(totals), 2)
        self.assertIn("3 entries", totals[1])
        self.assertIn(str(len("Inhalt\n") + 30000 + 70000), totals[1])

        out, _ = self.kitpack("list", "--json", "kit.exe")
        self.assertIn('"stored_name": "%s"' % NAME, out)  # as UTF-8, not escaped
        listing = json.loads(out)
        second = listing["archives"][1]
        self.assertEqual(second["totals"]["entries"], 3)
        self.assertEqual(second["totals"]["unpacked_size"],
                         sum(e["unpacked_size"] for e in second["entries"]))
        self.assertEqual(second["totals"]["packed_size"],
                         sum(e["packed_size"] for e in second["entries"]))

        # A legacy (not UTF-8) name stays valid JSON, byte by byte escaped.
        write_kit(self.path("old.exe"), b"MZ" * 100, [(b"C:\\KIT\\setup.exe".decode(), b"x")],
                  [("\xdcbersicht.txt", b"y")], __import__("zlib").compress)
        out, _ = self.kitpack("list", "--json", "old.exe")
        self.assertIn('"\\u00dcbersicht.txt"', out)
        json.loads(out)

        # In the table a UTF-8 name keeps its letters, and only a control
        # character (here U+009B, which terminals take for an escape) is shown
        # as its bytes.
        write_kit(self.path("c1.exe"), b"MZ" * 100, [("C:\\KIT\\setup.exe", b"x")],
                  [("\xc3\x9cber\xc2\x9b.txt", b"y")], __import__("zlib").compress)
        out, _ = self.kitpack("list", "c1.exe")
        self.assertIn("Über\\xC2\\x9B.txt", out)


class Integrity(CliCase):
    def test_digest_is_written_and_checked(self):
        self.build()
        raw = self.read("kit.exe")
        at = trailer_offset(raw)
        self.assertEqual(raw[at + 32:at + 36], DIGEST_TAG)
        self.assertEqual(raw[at + 32:at + 56], kit_digest(raw, at))
        out, _ = self.kitpack("verify", "kit.exe")
        self.assertIn("digest: matches", out)

        listing = json.loads(self.kitpack("list", "--json", "kit.exe")[0])
        first = listing["archives"][0]
        name_byte = first["start"] + 5 + 21 + 3  # a letter of entry 0's stored name
        time_byte = first["start"] + 5 + 4 + 2   # a byte of its time stamp
        for what, at_byte in [("a stored name", name_byte), ("a time stamp", time_byte),
                              ("the loader's own bytes", 1000)]:
            with self.subTest(what):
                bad = bytearray(raw)
                bad[at_byte] ^= 0x20
                self.write("bad.exe", bytes(bad))
                _, err = self.kitpack("verify", "bad.exe", code=1)
                self.assertIn("the digest in its trailer does not match its bytes", err)

    def test_truncated_kit(self):
        # A PE loader: a kit cut short is told from a file that never was one.
        self.write("loader.exe", pe_image(size=4096, section=True))
        self.build()
        raw = self.read("kit.exe")
        for cut in (len(raw) - 1, len(raw) - 56, len(raw) // 2):
            with self.subTest(cut=cut):
                self.write("cut.exe", raw[:cut])
                _, err = self.kitpack("verify", "cut.exe", code=1)
                self.assertIn("cut.exe is truncated", err)
        _, err = self.kitpack("verify", "loader.exe", code=1)
        self.assertIn("is not a kit", err)

    def test_kit_of_another_writer_has_no_digest(self):
        write_kit(self.path("other.exe"), b"MZ" * 100, [("C:\\KIT\\setup.exe", b"x")],
                  [("a.txt", b"y")], __import__("zlib").compress)
        out, _ = self.kitpack("verify", "other.exe")
        self.assertIn("digest: none", out)

    def test_verify_against_a_folder(self):
        self.build()
        out, _ = self.kitpack("verify", "kit.exe", "--against", "payload")
        self.assertIn("payload: the same as payload (3 files)", out)
        self.write("payload/docs/guide.txt", b"changed")
        self.write("payload/new.txt", b"new")
        os.remove(self.path("payload/data/r.bin"))
        _, err = self.kitpack("verify", "kit.exe", "--against", "payload", code=1)
        self.assertIn("differs: docs\\guide.txt", err)
        self.assertIn("only in payload: new.txt", err)
        self.assertIn("only in the kit: data\\r.bin", err)
        self.assertIn("differs from payload in 3 file(s)", err)


class Listing(CliCase):
    def test_columns_line_up_with_wide_names(self):
        self.write("payload/日本語の説明書.txt", b"x")
        self.write("payload/说明/文档.txt", b"y")
        self.build()
        out, _ = self.kitpack("list", "kit.exe")
        rows = [line for line in out.splitlines()
                if any(n in line for n in ("日本語", "文档", "guide.txt", NAME))]
        self.assertEqual(len(rows), 4)

        def columns(text):
            return sum(2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in text)
        # Each row's size column ends in the same terminal column.
        ends = {columns(re.match(r"\s+\d+\s+.*?\s+\d+", row).group(0)) for row in rows}
        self.assertEqual(len(ends), 1, out)

    def test_extract_makes_the_missing_folders(self):
        self.build()
        out, _ = self.kitpack("extract", "--second", "kit.exe", "-C", "x4/sub")
        self.assertIn("extracted 3 file(s) into x4/sub", out)
        self.assertEqual(self.read("x4/sub/docs/guide.txt"), b"guide " * 5000)


class Mistakes(CliCase):
    def assertRefused(self, args, message, code=1):
        before = sorted(os.listdir(self.dir))
        _, err = self.kitpack(*args, code=code)
        self.assertIn(message, err)
        self.assertEqual(sorted(os.listdir(self.dir)), before)

    def test_unknown_words_are_named(self):
        self.assertRefused(["build", "--loader", "loader.exe", "--installer", "setup.exe",
                            "--out", "x.exe"],
                           "unknown option --out for kitpack build (did you mean --output?)", 2)
        self.assertRefused(["--config", "x.ini", "build"], "unknown option --config", 2)
        self.assertRefused(["biuld", "-o", "x"], "unknown command biuld (did you mean build?)", 2)
        self.assertRefused(["verify", "--agianst", "payload", "kit.exe"],
                           "unknown option --agianst for kitpack verify (did you mean --against?)",
                           2)
        # Known words still parse as before: flags together, values with "=".
        self.build("ok.exe", "-qv", "--level=1")

    def test_missing_output_folder(self):
        self.assertRefused(["build", "--loader", "loader.exe", "--installer", "setup.exe",
                            "-o", "nosuchdir/sub/kit.exe"],
                           "the folder nosuchdir/sub does not exist, so the kit "
                           "nosuchdir/sub/kit.exe cannot be written there")
        self.assertRefused(["build", "--loader", "loader.exe", "--installer", "setup.exe",
                            "--external", "-o", "nosuchdir/kit"],
                           "the folder nosuchdir does not exist, so the output folder")

    def test_loader_and_installer_that_cannot_go_together(self):
        self.write("win-loader.exe", pe_image(size=4096, section=True))
        self.write("posix-loader", b"\x7fELF" + bytes(200))
        self.write("posix-setup", b"\x7fELF" + bytes(300))
        self.write("setup.sh", b"#!/bin/sh\necho hi\n")
        self.write("win-setup.exe", pe_image(size=4096, section=True))
        cases = [
            ("win-loader.exe", "posix-setup", "the installer posix-setup is a POSIX (ELF) "
             "program, but the loader win-loader.exe is a Windows program: it cannot start it"),
            ("win-loader.exe", "setup.sh", "the installer setup.sh is a script (#!)"),
            ("posix-loader", "win-setup.exe", "the installer win-setup.exe is a Windows "
             "program, but the loader posix-loader is a POSIX (ELF) program"),
        ]
        # What execve cannot start: a script without "#!", a Windows script.
        self.write("install.ps1", b"Write-Host 'installing'\n")
        self.write("setup.cmd", b"@echo off\r\n")
        cases += [
            ("posix-loader", "install.ps1", "the installer install.ps1 is neither a POSIX (ELF) "
             "program nor a script that starts with #!: the loader posix-loader is a POSIX "
             "program, which starts its installer with execve, and that runs only those (a "
             "PowerShell script runs where PowerShell is installed when its first line is  "
             "#!/usr/bin/env pwsh)"),
            ("posix-loader", "setup.cmd", "a Windows installer (.cmd) needs loader.exe"),
        ]
        for loader, installer, message in cases:
            with self.subTest(loader=loader, installer=installer):
                self.assertRefused(["build", "--loader", loader, "--installer", installer,
                                    "-o", "kit.exe"], message)
        self.kitpack("build", "--loader", "posix-loader", "--installer", "setup.sh", "-o",
                     "posix-kit")
        self.write("install.ps1", b"#!/usr/bin/env pwsh\nWrite-Host 'installing'\n")
        self.kitpack("build", "--loader", "posix-loader", "--installer", "install.ps1", "-o",
                     "pwsh-kit")

    def test_installers_windows_does_not_start(self):
        self.write("win-loader.exe", pe_image(size=4096, section=True))
        self.write("product.msi", bytes.fromhex("D0CF11E0A1B11AE1") + bytes(600))
        self.write("install.ps1", b"Write-Host 'installing'\r\n")
        self.write("setup.cmd", b'@echo off\r\nmsiexec /i "%~dp0product.msi"\r\n')
        advice = ("the loader starts its installer from a command line, where Windows starts only "
                  "a program (.exe) or a batch file (.bat, .cmd); give an .exe, or a .cmd that "
                  "starts it (for an .msi: a setup.cmd holding  msiexec /i \"%~dp0product.msi\"  "
                  "as --installer, and the package as --file)")
        cases = [
            ("product.msi", "the installer product.msi (stored as C:\\KIT\\product.msi) is a "
             "Windows Installer package (.msi): " + advice),
            ("product.msi=C:\\KIT\\setup.exe", "is an OLE compound file, the format of Windows "
             "Installer packages (.msi)"),
            ("install.ps1", "is a PowerShell script (.ps1), which Windows opens rather than "
             "runs: the loader starts its installer from a command line, where Windows starts "
             "only a program (.exe) or a batch file (.bat, .cmd); give an .exe, or a .cmd that "
             "starts it (for a .ps1: a setup.cmd holding  powershell -NoProfile -ExecutionPolicy "
             "Bypass -File \"%~dp0install.ps1\" %*  as --installer, and the script as --file)"),
            ("payload/" + NAME, "is neither a Windows program nor a batch file (.bat, .cmd)"),
        ]
        for installer, message in cases:
            with self.subTest(installer=installer):
                self.assertRefused(["build", "--loader", "win-loader.exe", "--installer",
                                    installer, "-o", "kit.exe"], message)
        self.kitpack("build", "--loader", "win-loader.exe", "--installer", "setup.cmd",
                     "--file", "product.msi", "-o", "kit.exe")

    def test_swapped_loader_and_installer(self):
        if not PE_DIR:
            self.skipTest("no test programs given")
        plain = os.path.join(PE_DIR, "plain.exe")
        with open(self.path("pic.bmp"), "wb") as f:
            f.write(b"BM" + struct.pack("<IHHI", 54 + 4096, 0, 0, 54) +
                    struct.pack("<IiiHHIIiiII", 40, 32, 32, 1, 32, 0, 4096, 0, 0, 0, 0) +
                    bytes(4096))
        ico_image = struct.pack("<IiiHHIIiiII", 40, 16, 32, 1, 32, 0, 0, 0, 0, 0, 0) + bytes(1088)
        with open(self.path("app.ico"), "wb") as f:
            f.write(struct.pack("<HHH", 0, 1, 1) +
                    struct.pack("<BBBBHHII", 16, 16, 0, 0, 1, 32, len(ico_image), 22) + ico_image)
        os.makedirs(self.path("branded"))
        shutil.copy(plain, self.path("loader-copy.exe"))
        self.kitpack("build", "--loader", "loader-copy.exe", "--installer", "setup.exe",
                     "--external", "--icon", "app.ico", "--picture", "pic.bmp", "-o", "branded")
        self.assertRefused(["build", "--loader", plain, "--installer", "branded/loader-copy.exe",
                            "-o", "kit.exe"],
                           "it is a loader, not an installer; were --loader and --installer "
                           "swapped?")

    def test_empty_payload_folder(self):
        os.makedirs(self.path("empty/sub"))
        self.assertRefused(["build", "--loader", "loader.exe", "--installer", "setup.exe",
                            "--payload", "empty", "-o", "kit.exe"],
                           "the payload folder empty holds no files; give --allow-empty")
        self.assertRefused(["build", "--loader", "loader.exe", "--installer", "setup.exe",
                            "--payload", "payload", "--exclude", "*", "-o", "kit.exe"],
                           "holds no files that --exclude leaves")
        self.kitpack("build", "--loader", "loader.exe", "--installer", "setup.exe",
                     "--payload", "empty", "--allow-empty", "-o", "kit.exe")

    def test_read_only_output(self):
        self.write("kit.exe", b"old kit")
        os.chmod(self.path("kit.exe"), 0o444)
        self.assertRefused(["build", "--loader", "loader.exe", "--installer", "setup.exe",
                            "-o", "kit.exe"],
                           "the output kit.exe exists and is read-only; kitpack does not "
                           "replace it unless --force is given")
        self.assertEqual(self.read("kit.exe"), b"old kit")
        self.build("kit.exe", "--force")
        self.assertNotEqual(self.read("kit.exe"), b"old kit")

    def test_exclude_and_symlinked_folders(self):
        self.write("payload/debug.log", b"log")
        self.write("payload/docs/deep/trace.log", b"log")
        self.write("payload/cache/a.bin", b"a")
        self.write("payload/docs/x.tmp", b"t")
        self.write("payload/keep.tmp", b"t")
        self.write("elsewhere/linked.txt", b"linked")
        os.symlink(self.path("elsewhere"), self.path("payload/link"))
        out, _ = self.build("kit.exe", "--exclude", "*.log", "--exclude", "cache",
                            "--exclude", "docs/*.tmp")
        self.assertIn("note: payload/link is a symlink to a folder and is not entered", out)
        listing = json.loads(self.kitpack("list", "--json", "kit.exe")[0])
        names = [e["stored_name"] for e in listing["archives"][1]["entries"]]
        self.assertEqual(names, ["data\\r.bin", "docs\\guide.txt", "keep.tmp", NAME])


class Imports(CliCase):
    """A Windows installer must find each DLL it imports on the user's
    machine: Windows' own, or one the first archive carries beside it."""

    def setUp(self):
        super().setUp()
        if not PE_DIR:
            self.skipTest("no test programs given")
        for name in ("plain.exe", "uses_helper.exe", "helper.dll", "cxx_runtime.exe",
                     "delay_helper.exe"):
            if os.path.exists(os.path.join(PE_DIR, name)):
                shutil.copy(os.path.join(PE_DIR, name), self.path(name))

    def pack(self, *args, code=0):
        return self.kitpack("build", "--loader", "plain.exe", *args, "-o", "kit.exe", code=code)

    def refused(self, *args):
        if os.path.exists(self.path("kit.exe")):
            os.remove(self.path("kit.exe"))
        _, err = self.pack(*args, code=1)
        self.assertFalse(os.path.exists(self.path("kit.exe")))
        return err

    def test_runtime_dlls_are_refused_unless_carried_or_allowed(self):
        err = self.refused("--installer", "cxx_runtime.exe")
        self.assertIn("the installer cxx_runtime.exe imports libgcc_s_seh-1.dll and "
                      "libstdc++-6.dll, which are neither Windows system DLLs nor in the first "
                      "archive: on a user's machine Windows would not start it (0xC0000135", err)
        self.assertIn("give --allow-imports", err)
        self.pack("--installer", "cxx_runtime.exe", "--allow-imports")
        # The DLL of the author's: carried under any case of its name, it is found.
        err = self.refused("--installer", "uses_helper.exe")
        self.assertIn("imports helper.dll, which is neither a Windows system DLL", err)
        self.pack("--installer", "uses_helper.exe", "--file", "helper.dll=C:\\KIT\\HELPER.DLL")
        listing = json.loads(self.kitpack("list", "--json", "kit.exe")[0])
        self.assertEqual([e["stored_name"] for e in listing["archives"][0]["entries"]],
                         ["C:\\KIT\\uses_helper.exe", "C:\\KIT\\HELPER.DLL"])
        # A carried DLL's own imports count as well.
        err = self.refused("--installer", "uses_helper.exe",
                           "--file", "cxx_runtime.exe=C:\\KIT\\helper.dll")
        self.assertIn("imports libgcc_s_seh-1.dll (by helper.dll) and libstdc++-6.dll "
                      "(by helper.dll)", err)

    def test_delay_loaded_dlls_count(self):
        if not os.path.exists(self.path("delay_helper.exe")):
            self.skipTest("no lld-link to build a delay-loading program")
        err = self.refused("--installer", "delay_helper.exe")
        self.assertIn("imports helper.dll (delay-loaded), which is neither", err)
        self.pack("--installer", "delay_helper.exe", "--file", "helper.dll")

    def test_damaged_import_table_is_named(self):
        data = bytearray(self.read("uses_helper.exe"))
        image = PeImage(bytes(data))
        table = image.offset(image.directories[1][0])
        struct.pack_into("<I", data, table + 20 + 12, 0x7FFFFFF0)  # entry 1's name
        self.write("damaged.exe", bytes(data))
        err = self.refused("--installer", "damaged.exe")
        self.assertIn("the import table of damaged.exe cannot be read: the import table's entry "
                      "1 names its DLL at 0x7FFFFFF0", err)
        self.pack("--installer", "damaged.exe", "--allow-imports")

    def test_a_posix_kit_and_other_loaders_are_not_checked(self):
        self.write("posix-loader", b"\x7fELF" + bytes(200))
        self.write("setup.sh", b"#!/bin/sh\necho hi\n")
        self.kitpack("build", "--loader", "posix-loader", "--installer", "setup.sh", "-o", "k")
        self.kitpack("build", "--loader", "loader.exe", "--installer", "cxx_runtime.exe",
                     "-o", "k2.exe")


# The mark that opens the deployment record's block in a loader image.
MARK = b"LDKDEPLOY" + bytes([0x7E, 0x3A, 0xC5, 0x19, 0xF2, 0x64, 0xB8])


class Deployment(CliCase):
    """The record a build fills into the kit's copy of a loader carrying the
    block, as list shows it and verify holds the kit against it."""

    def setUp(self):
        super().setUp()
        self.write("loader.exe", b"MZ" + bytes(range(256)) * 4 + MARK + bytes(80) +
                   bytes(range(256)) * 4)

    def fields(self, raw):
        at = raw.index(MARK) + 16
        return struct.unpack_from("<IIIiiiiiI32s", raw, at)

    def test_self_extracting_record_is_listed_and_verified(self):
        self.build()
        raw = self.read("kit.exe")
        listing = json.loads(self.kitpack("list", "--json", "kit.exe")[0])
        first, second = listing["archives"]
        self.assertEqual(self.fields(raw)[:9],
                         (1, 3, len(raw), first["start"], first["end"], second["start"],
                          second["end"], len(raw) - 56, 0))
        self.assertEqual(listing["deployment"], {"version": 1, "flags": 3, "kit_length": len(raw)})
        out, _ = self.kitpack("list", "kit.exe")
        self.assertIn("deployment record: version 1, self-extracting kit\n"
                      "  kit length     %d bytes\n"
                      "  trailer at     %d\n"
                      "  first archive  %d..%d\n"
                      "  second archive %d..%d\n"
                      % (len(raw), len(raw) - 56, first["start"], first["end"], second["start"],
                         second["end"]), out)
        out, _ = self.kitpack("verify", "kit.exe")
        self.assertIn("deployment record: version 1, self-extracting kit (matches the kit)", out)

        self.build("plain.exe", "--no-deployment")
        raw = self.read("plain.exe")
        self.assertEqual(raw[raw.index(MARK) + 16:raw.index(MARK) + 96], bytes(80))
        out, _ = self.kitpack("verify", "plain.exe")
        self.assertIn("deployment record: none (the loader takes no deployment switches)", out)
        self.assertIsNone(json.loads(self.kitpack("list", "--json", "plain.exe")[0])["deployment"])

    def test_external_record_checks_setup1(self):
        self.build("ext", "--external")
        setup1 = self.read("ext/setup.1")
        digest = hashlib.sha256(setup1).hexdigest()
        out, _ = self.kitpack("list", "ext")
        self.assertIn("deployment record: version 1, external kit\n"
                      "  loader length  %d bytes\n"
                      "  setup.1        %d bytes\n"
                      "  setup.1 sha256 %s\n"
                      % (len(self.read("ext/loader.exe")), len(setup1), digest), out)
        out, _ = self.kitpack("verify", "ext")
        self.assertIn("deployment record: version 1, external kit (matches the kit)", out)
        refusal = ("the deployment record in ext/loader.exe does not match the kit (listed "
                   "above): the kit was changed after it was built, or is incomplete")

        # Another build's setup.1 in its place, and one with a changed time stamp.
        self.write("setup-other.exe", pe_image(size=900))
        self.kitpack("build", "--loader", "loader.exe", "--installer", "setup-other.exe",
                     "--payload", "payload", "--external", "-o", "other")
        other = self.read("other/setup.1")
        self.write("ext/setup.1", other)
        _, err = self.kitpack("verify", "ext", code=1)
        self.assertIn("  setup.1 length: the record says %d, the kit has %d\n"
                      % (len(setup1), len(other)), err)
        self.assertIn("  setup.1's SHA-256 is not the one the record holds\n", err)
        self.assertIn(refusal, err)
        touched = bytearray(setup1)
        touched[5 + 4 + 2] ^= 0x01
        self.write("ext/setup.1", bytes(touched))
        _, err = self.kitpack("verify", "ext", code=1)
        self.assertNotIn("setup.1 length", err)
        self.assertIn("setup.1's SHA-256 is not the one the record holds", err)

        # A self-extracting kit's loader beside setup.1 holds the wrong kind of record.
        self.write("ext/setup.1", setup1)
        self.build("kit.exe")
        os.remove(self.path("ext/loader.exe"))
        shutil.copy(self.path("kit.exe"), self.path("ext/kit.exe"))
        _, err = self.kitpack("verify", "ext", code=1)
        self.assertIn("the record is for a self-extracting kit, this kit is external", err)
        self.assertIn("the deployment record in ext/kit.exe does not match the kit", err)

    def test_loader_with_two_marks(self):
        self.write("loader.exe", b"MZ" + (MARK + bytes(80)) * 2)
        _, err = self.build(code=1)
        self.assertIn("the loader loader.exe holds the deployment record's mark more than once; "
                      "build with --no-deployment or use a loader as the build makes it", err)
        self.assertFalse(os.path.exists(self.path("kit.exe")))
        self.build("kit.exe", "--no-deployment")
        out, _ = self.kitpack("list", "kit.exe")
        self.assertIn("deployment record: none", out)


class ExternalRecord(CliCase):
    """An external kit built with a loader of the current layout (version 2,
    the block unfilled but saying its version): its record holds setup.2
    too, verify checks every loader copy in the folder, and a signed copy
    without a record is refused."""

    def setUp(self):
        super().setUp()
        image = bytearray(pe_image(size=4096))
        image[2000:2000 + 128] = MARK + struct.pack("<I", 2) + bytes(108)
        self.write("loader.exe", bytes(image))

    def test_record_holds_setup2_and_verify_names_the_file_that_differs(self):
        self.build("ext", "--external")
        raw, setup2 = self.read("ext/loader.exe"), self.read("ext/setup.2")
        at = raw.index(MARK) + 16
        version, flags = struct.unpack_from("<II", raw, at)
        length2, digest2 = struct.unpack_from("<I32s", raw, at + 68)
        self.assertEqual((version, flags), (2, 1 | 4 | 8 | 16))
        self.assertEqual((length2, digest2), (len(setup2), hashlib.sha256(setup2).digest()))
        out, _ = self.kitpack("list", "ext")
        self.assertIn("  setup.2        %d bytes\n  setup.2 sha256 %s\n"
                      % (len(setup2), hashlib.sha256(setup2).hexdigest()), out)
        out, _ = self.kitpack("verify", "ext")
        self.assertIn("deployment record: version 2, external kit (matches the kit)", out)
        self.assertIn("  checked in     ext/loader.exe\n", out)

        # Another kit's payload in place of this one's.
        self.write("payload2/other.txt", b"another product\n" * 100)
        self.kitpack("build", "--loader", "loader.exe", "--installer", "setup.exe",
                     "--payload", "payload2", "--external", "-o", "other")
        other = self.read("other/setup.2")
        self.write("ext/setup.2", other)
        out, err = self.kitpack("verify", "ext", code=1)
        self.assertNotIn("OK", out)
        self.assertIn("  setup.2 length: the record says %d, the kit has %d\n"
                      % (len(setup2), len(other)), err)
        self.assertIn("  setup.2's SHA-256 is not the one the record holds\n", err)
        self.assertNotIn("setup.1", err)
        self.assertIn("the deployment record in ext/loader.exe does not match the kit", err)

    def test_posix_loader_copy_is_found(self):
        self.write("loader", b"\x7fELF" + bytes(3000) + MARK + struct.pack("<I", 2) + bytes(108))
        self.write("setup.sh", b"#!/bin/sh\necho installing\n")
        self.kitpack("build", "--loader", "loader", "--installer", "setup.sh", "--payload",
                     "payload", "--external", "-o", "ext")
        out, _ = self.kitpack("verify", "ext")
        self.assertIn("deployment record: version 2, external kit (matches the kit)", out)
        self.assertIn("  checked in     ext/loader\n", out)

    def test_every_loader_copy_is_checked(self):
        self.build("ext", "--external")
        self.write("setup-other.exe", pe_image(size=900))
        self.kitpack("build", "--loader", "loader.exe", "--installer", "setup-other.exe",
                     "--payload", "payload", "--external", "-o", "other")
        # Another setup.1, and a copy of the loader whose record matches it,
        # named to be found first.
        shutil.copy(self.path("other/setup.1"), self.path("ext/setup.1"))
        shutil.copy(self.path("other/loader.exe"), self.path("ext/0.exe"))
        out, err = self.kitpack("verify", "ext", code=1)
        self.assertNotIn("matches", out)
        self.assertIn("  ext/loader.exe:\n  setup.1 length:", err)
        self.assertIn("the deployment record in ext/loader.exe does not match the kit", err)

        # The loader that runs has no record; the planted copy speaks for it.
        self.kitpack("build", "--loader", "loader.exe", "--installer", "setup-other.exe",
                     "--payload", "payload", "--external", "--no-deployment", "-o", "plain")
        shutil.copy(self.path("plain/loader.exe"), self.path("ext/loader.exe"))
        out, err = self.kitpack("verify", "ext", code=1)
        self.assertIn("ext/loader.exe is a copy of the loader without a deployment record, "
                      "beside ext/0.exe which has one", err)
        os.remove(self.path("ext/loader.exe"))
        out, _ = self.kitpack("verify", "ext")
        self.assertIn("  checked in     ext/0.exe\n", out)

    def test_signed_external_kit_needs_the_record(self):
        _, err = self.build("ext", "--external", "--no-deployment", "--sign-command",
                            "true {}", code=1)
        self.assertIn("signing an external kit needs the deployment record", err)
        self.assertFalse(os.path.exists(self.path("ext/setup.1")))
        # Such a kit signed by hand: verify says what it is.
        self.build("ext", "--external", "--no-deployment")
        loader = self.read("ext/loader.exe")
        self.write("ext/loader.exe", with_certificate_table(loader, (8 - len(loader) % 8) % 8))
        out, err = self.kitpack("verify", "ext", code=1)
        self.assertNotIn("OK", out)
        self.assertIn("ext/loader.exe is signed but carries no deployment record: it starts "
                      "whatever setup.1 lies beside it", err)
        # An older loader (record version 1) is not signed in an external kit
        # either: its record cannot hold setup.2.
        self.write("old.exe", b"MZ" + bytes(2000) + MARK + bytes(80))
        _, err = self.kitpack("build", "--loader", "old.exe", "--installer", "setup.exe",
                              "--payload", "payload", "--external", "-o", "old",
                              "--sign-command", "true {}", code=1)
        self.assertIn("is of an older build (record version 1)", err)


if __name__ == "__main__":
    KITPACK = os.path.abspath(sys.argv.pop(1))
    PE_DIR = os.path.abspath(sys.argv.pop(1)) if len(sys.argv) > 1 else None
    unittest.main(verbosity=2)
