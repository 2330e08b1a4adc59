#!/usr/bin/env python3
"""The release packages from the outside (run by scripts/test-all.sh):

* scripts/package.sh run twice gives identical files;
* each package holds what it should, in sorted order with fixed times;
* examples/cmake-consumer builds its kits against the unpacked tar.gz (with
  Ninja) and the unpacked .deb (with Makefiles), builds them again when an
  input changes or a payload file is added or removed, and not otherwise,
  and its POSIX kits run: the one whose installer is built on the payload
  library installs its payload;
* a kit built under Wine from the unpacked zip alone (no --loader) installs.

usage: check_packages.py [--skip-package]   (--skip-package: use dist/ as it is)
Needs WINEPREFIX / LOADERKIT_DISPLAY as scripts/wine-run does.
"""

import hashlib
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import time
import unittest
import zipfile

ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
from ldkit import manifest as pe_manifest  # noqa: E402
from ldkit.wine import win  # noqa: E402
WINE_RUN = os.path.join(ROOT, "scripts", "wine-run")
VERSION = re.search(r"project\(loaderkit VERSION ([0-9.]+)",
                    open(os.path.join(ROOT, "CMakeLists.txt")).read()).group(1)
TAR = os.path.join(ROOT, "dist", "loaderkit-%s-linux-x86_64.tar.gz" % VERSION)
DEB = os.path.join(ROOT, "dist", "loaderkit_%s_amd64.deb" % VERSION)
ZIP = os.path.join(ROOT, "dist", "loaderkit-%s-windows-x86_64.zip" % VERSION)
PACKAGES = (TAR, DEB, ZIP)
TIMINGS = []


def digests():
    out = {}
    for path in PACKAGES:
        with open(path, "rb") as f:
            out[path] = hashlib.sha256(f.read()).hexdigest()
    return out


def run_package_script():
    start = time.monotonic()
    subprocess.run(["bash", os.path.join(ROOT, "scripts", "package.sh")], check=True,
                   stdout=subprocess.DEVNULL)
    TIMINGS.append(time.monotonic() - start)
    return digests()


def run(command, ok=True, **kwargs):
    p = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=600, **kwargs)
    if ok and p.returncode != 0:
        raise AssertionError("%s failed (%d):\n%s%s" % (" ".join(command), p.returncode,
                                                         p.stdout.decode(errors="replace"),
                                                         p.stderr.decode(errors="replace")))
    return p


def wait_for(path, text, timeout=60):
    """The loader does not wait for the installer it starts."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if os.path.exists(path):
            with open(path, "rb") as f:
                if text in f.read():
                    return True
        time.sleep(0.1)
    return False


class Packages(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="loaderkit-packages-")
        self.addCleanup(shutil.rmtree, self.dir)

    def test_contents(self):
        top = "loaderkit-%s-linux-x86_64/" % VERSION
        with tarfile.open(TAR) as tar:
            members = tar.getmembers()
        names = [m.name + ("/" if m.isdir() else "") for m in members]
        self.assertEqual(names, sorted(names, key=str.encode))
        self.assertEqual({(m.mtime, m.uid, m.gid, m.uname) for m in members},
                         {(int(os.environ["SOURCE_DATE_EPOCH"]), 0, 0, "root")})
        for rel in ["bin/kitpack", "share/loaderkit/loader.exe", "share/loaderkit/loader",
                    "share/loaderkit/installer.exe", "share/loaderkit/installer",
                    "share/loaderkit/payload/docs/guide.txt", "share/doc/loaderkit/README.md",
                    "share/doc/loaderkit/kitpack.md", "share/doc/loaderkit/format.md",
                    "lib/cmake/loaderkit/loaderkitConfig.cmake", "lib/libloaderkit_payload.a",
                    "include/loaderkit/payload.h", "share/man/man1/kitpack.1",
                    "lib/cmake/loaderkit/loaderkitInputsStamp.cmake",
                    "share/doc/loaderkit/cmake-consumer/CMakeLists.txt",
                    "share/doc/loaderkit/installer/installer.cpp"]:
            self.assertIn(top + rel, names)
        self.assertEqual(next(m for m in members if m.name == top + "bin/kitpack").mode, 0o755)
        # Every picture and page the README links is in the package, where
        # the link says.
        with tarfile.open(TAR) as tar:
            readme = tar.extractfile(top + "share/doc/loaderkit/README.md").read().decode()
        links = [l for l in re.findall(r"\]\(([^)#]+)\)", readme) if "://" not in l]
        self.assertIn("docs/window.png", links)
        for link in links:
            self.assertIn(top + "share/doc/loaderkit/" + link, names)

        deb = run(["dpkg-deb", "--contents", DEB]).stdout.decode()
        for rel in ["./usr/bin/kitpack", "./usr/share/loaderkit/loader.exe", "./usr/share/loaderkit/loader",
                    "./usr/lib/cmake/loaderkit/loaderkitConfig.cmake", "./usr/include/loaderkit/payload.h",
                    "./usr/share/man/man1/kitpack.1", "./usr/share/doc/loaderkit/docs/window.png"]:
            self.assertIn(rel + "\n", deb)
        info = run(["dpkg-deb", "--field", DEB, "Package", "Version", "Architecture"]).stdout.decode()
        self.assertEqual(info.split(), ["Package:", "loaderkit", "Version:", VERSION, "Architecture:", "amd64"])

        top = "loaderkit-%s-windows-x86_64/" % VERSION
        with zipfile.ZipFile(ZIP) as z:
            infos = z.infolist()
        names = [i.filename for i in infos]
        self.assertEqual(names, sorted(names, key=str.encode))
        self.assertEqual(len({i.date_time for i in infos}), 1)
        for rel in ["bin/kitpack.exe", "share/loaderkit/loader.exe", "share/loaderkit/installer.exe",
                    "share/loaderkit/payload/README.txt", "share/doc/loaderkit/README.md",
                    "lib/cmake/loaderkit/loaderkitAddKit.cmake", "lib/libloaderkit_payload.a",
                    "include/loaderkit/payload.h", "share/doc/loaderkit/format.md",
                    "share/man/man1/kitpack.1", "share/doc/loaderkit/docs/window.png",
                    "lib/cmake/loaderkit/loaderkitInputsStamp.cmake",
                    "share/doc/loaderkit/cmake-consumer/CMakeLists.txt",
                    "share/doc/loaderkit/installer/installer.cpp"]:
            self.assertIn(top + rel, names)
        # The README's table says which Linux programs the zip leaves out.
        self.assertNotIn(top + "share/loaderkit/loader", names)
        self.assertNotIn(top + "share/loaderkit/installer", names)

        # kitpack.exe runs as the user who starts it, its ANSI calls in UTF-8.
        with zipfile.ZipFile(ZIP) as z:
            kitpack_exe = os.path.join(self.dir, "kitpack.exe")
            with open(kitpack_exe, "wb") as f:
                f.write(z.read(top + "bin/kitpack.exe"))
        root = pe_manifest.manifest(kitpack_exe)
        self.assertEqual(pe_manifest.execution_level(root), ("asInvoker", "false"))
        self.assertEqual([e.text for e in root.iter() if e.tag.endswith("}activeCodePage")], ["UTF-8"])

        # Both packages carry the same loader.exe.
        with tarfile.open(TAR) as tar, zipfile.ZipFile(ZIP) as z:
            linux = tar.extractfile("loaderkit-%s-linux-x86_64/share/loaderkit/loader.exe" % VERSION).read()
            self.assertEqual(linux, z.read(top + "share/loaderkit/loader.exe"))

    def unpack_tar(self):
        with tarfile.open(TAR) as tar:
            tar.extractall(self.dir)
        return os.path.join(self.dir, "loaderkit-%s-linux-x86_64" % VERSION)

    def build_consumer(self, prefix, build, generator="Ninja"):
        src = os.path.join(self.dir, "consumer-src")
        if not os.path.isdir(src):
            shutil.copytree(os.path.join(ROOT, "examples", "cmake-consumer"), src)
        run(["cmake", "-S", src, "-B", build, "-G", generator, "-DCMAKE_PREFIX_PATH=" + prefix])
        return src, run(["cmake", "--build", build]).stdout.decode()

    def test_cmake_consumer_against_the_tar_gz(self):
        prefix = self.unpack_tar()
        kitpack = os.path.join(prefix, "bin", "kitpack")
        build = os.path.join(self.dir, "consumer")
        src, log = self.build_consumer(prefix, build)
        self.assertIn("Building kit hello_windows_kit", log)
        self.assertIn("Building kit hello_posix_kit", log)
        windows_kit = os.path.join(build, "hello-setup.exe")
        posix_kit = os.path.join(build, "hello-setup")
        for kit in (windows_kit, posix_kit):
            self.assertIn(b"OK", run([kitpack, "verify", kit]).stdout)
        # The kit starts with the installed loader.exe, changed only inside
        # its manifest (EXECUTION_LEVEL) and in what every kit's loader gets
        # (its deployment record, the header's checksum).
        with open(windows_kit, "rb") as k, open(os.path.join(prefix, "share/loaderkit/loader.exe"), "rb") as l:
            loader = l.read()
            start = k.read(len(loader))
        self.assertEqual(pe_manifest.changed_beyond_level(loader, start), [])
        self.assertEqual(pe_manifest.execution_level(pe_manifest.manifest(windows_kit)),
                         ("highestAvailable", "false"))
        listing = run([kitpack, "list", posix_kit]).stdout.decode()
        self.assertIn("C:\\KIT\\hello_installer", listing)
        self.assertIn("docs\\notes.txt", listing)
        self.assertIn("2023-11-14 22:13:20", listing)  # SOURCE_DATE_EPOCH 1700000000

        # Nothing changed: no kit is built again (the inputs' stamp is looked
        # at by every build, and rewritten only when an input changed).
        self.assertNotIn("Building kit", run(["cmake", "--build", build]).stdout.decode())
        # A changed payload file and a new one: both kits again.
        with open(windows_kit, "rb") as f:
            before = f.read()
        time.sleep(1.1)
        with open(os.path.join(src, "payload", "docs", "notes.txt"), "a") as f:
            f.write("one more line\n")
        log = run(["cmake", "--build", build]).stdout.decode()
        self.assertIn("Building kit hello_windows_kit", log)
        with open(windows_kit, "rb") as f:
            self.assertNotEqual(f.read(), before)
        with open(os.path.join(src, "payload", "added.txt"), "w") as f:
            f.write("new\n")
        run(["cmake", "--build", build])
        self.assertIn("added.txt", run([kitpack, "list", posix_kit]).stdout.decode())
        # A removed one: gone from both kits.
        os.remove(os.path.join(src, "payload", "added.txt"))
        run(["cmake", "--build", build])
        for kit in (windows_kit, posix_kit):
            self.assertNotIn("added.txt", run([kitpack, "list", kit]).stdout.decode())

        # The POSIX kit runs: the loader unpacks it and starts hello_installer.
        logs = os.path.join(self.dir, "logs")
        os.makedirs(logs)
        tmp = os.path.join(self.dir, "tmp")
        os.makedirs(tmp)
        run([posix_kit], env=dict(os.environ, HELLO_KIT_LOG_DIR=logs, TMPDIR=tmp))
        self.assertTrue(wait_for(os.path.join(logs, "hello.log"), b"hello from the kit's installer: *SELFEXTRACT"))

        # The kit whose installer is built on loaderkit::payload installs
        # the payload as it now is (the file added above and removed again
        # is not in it).
        dest = os.path.join(self.dir, "installed")
        run([os.path.join(build, "hello-payload-setup")],
            env=dict(os.environ, HELLO_KIT_DEST=dest, TMPDIR=tmp))
        self.assertTrue(wait_for(os.path.join(dest, "install.log"), b"installed 3 file(s)"))
        self.assertFalse(os.path.exists(os.path.join(dest, "added.txt")))
        for rel in ["README.txt", "docs/notes.txt"]:
            with open(os.path.join(src, "payload", rel), "rb") as a, open(os.path.join(dest, rel), "rb") as b:
                self.assertEqual(a.read(), b.read(), rel)

    def test_cmake_consumer_against_the_deb(self):
        root = os.path.join(self.dir, "deb")
        run(["dpkg-deb", "--extract", DEB, root])
        build = os.path.join(self.dir, "consumer-deb")
        src, log = self.build_consumer(os.path.join(root, "usr"), build, "Unix Makefiles")
        self.assertIn("Building kit hello_posix_kit", log)
        self.assertIn("Building kit hello_payload_kit", log)
        # With Makefiles too, a file removed from the payload folder leaves
        # the kit.
        kitpack = os.path.join(root, "usr", "bin", "kitpack")
        kit = os.path.join(build, "hello-setup")
        self.assertIn("docs\\notes.txt", run([kitpack, "list", kit]).stdout.decode())
        os.remove(os.path.join(src, "payload", "docs", "notes.txt"))
        run(["cmake", "--build", build])
        self.assertNotIn("docs\\notes.txt", run([kitpack, "list", kit]).stdout.decode())

    def test_zip_alone_makes_a_kit_that_installs_under_wine(self):
        with zipfile.ZipFile(ZIP) as z:
            z.extractall(self.dir)
        top = os.path.join(self.dir, "loaderkit-%s-windows-x86_64" % VERSION)
        share = os.path.join(top, "share", "loaderkit")

        kit = os.path.join(self.dir, "demo-setup.exe")
        run([WINE_RUN, os.path.join(top, "bin", "kitpack.exe"), "build",
             "--installer", win(os.path.join(share, "installer.exe")),
             "--payload", win(os.path.join(share, "payload")), "-o", win(kit)])
        dest = os.path.join(self.dir, "installed")
        run([WINE_RUN, kit], env=dict(os.environ, KIT_INSTALL_DEST=win(dest)))
        self.assertTrue(wait_for(os.path.join(dest, "install.log"), b"done:"))
        for rel in ["README.txt", "docs/guide.txt", "data/sample.csv"]:
            with open(os.path.join(share, "payload", rel), "rb") as a, open(os.path.join(dest, rel), "rb") as b:
                self.assertEqual(a.read(), b.read(), rel)


if __name__ == "__main__":
    if "--skip-package" in sys.argv:
        sys.argv.remove("--skip-package")
        if not os.environ.get("SOURCE_DATE_EPOCH"):
            os.environ["SOURCE_DATE_EPOCH"] = subprocess.run(
                ["git", "-C", ROOT, "log", "-1", "--format=%ct"], stdout=subprocess.PIPE,
                check=True).stdout.decode().strip()
    else:
        os.environ.setdefault("SOURCE_DATE_EPOCH", subprocess.run(
            ["git", "-C", ROOT, "log", "-1", "--format=%ct"], stdout=subprocess.PIPE,
            check=True).stdout.decode().strip())
        first = run_package_script()
        second = run_package_script()
        for path in PACKAGES:
            print("%-60s %9d bytes  %s" % (os.path.relpath(path, ROOT), os.path.getsize(path), first[path]))
        print("scripts/package.sh took %.0f s, then %.0f s" % tuple(TIMINGS))
        if first != second:
            sys.exit("check_packages: two runs of scripts/package.sh gave different packages")
        print("two runs of scripts/package.sh: identical packages")
    unittest.main(verbosity=2)
