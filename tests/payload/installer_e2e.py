#!/usr/bin/env python3
"""An installer as a kit author builds it: this build installed into a
scratch prefix, kit_installer/kit_installer.c built there through the
installed CMake package (for Windows with the mingw-w64 toolchain file),
in every C and C++ standard from C89 to C++11 without a warning, and by
pkg-config too; kits made around it and the real loader, run from a
folder named in Russian and Chinese with blanks, with and without
arguments after "--", with and without /WAIT; afterwards nothing is left
in the temporary folder. Under Wine the installer imports nothing but
Windows' own DLLs, and so does loaderkit_payload.dll, which a C program
uses through its import library.

usage: installer_e2e.py BUILD_DIR SOURCE_DIR KITPACK LOADER [WINE_RUN WITH_ENV]
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SANITIZER_FLAGS = os.environ.get("LOADERKIT_SANITIZER_FLAGS", "")
BUILD = SOURCE = KITPACK = LOADER = WINE_RUN = WITH_ENV = None
PAYLOAD = {"README.txt": b"read me\n", "docs/guide.txt": b"guide " * 20000, "docs/empty.dat": b""}
PAYLOAD_TIME = 1700000000
KIT_FOLDER = "\u041f\u0430\u043f\u043a\u0430 \u4e2d\u6587 kits"  # "folder", Russian and Chinese
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "advapi32.dll", "user32.dll", "ntdll.dll",
               "shell32.dll", "ucrtbase.dll"}
STANDARDS = [("c", "-std=c89"), ("c", "-std=c99"), ("c", "-std=c11"), ("c++", "-std=c++98"),
             ("c++", "-std=c++11")]
WARNINGS = ["-Wall", "-Wextra", "-Wpedantic", "-Wconversion", "-Werror"]


def run(command, ok=True, **kwargs):
    p = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300,
                       **kwargs)
    if ok and p.returncode != 0:
        raise AssertionError("%s failed (%d):\n%s%s" % (" ".join(command), p.returncode,
                                                         p.stdout.decode(errors="replace"),
                                                         p.stderr.decode(errors="replace")))
    return p


def win(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def wine():
    return WINE_RUN is not None


def host_path(path):
    return win(path) if wine() else path


def imports(program):
    out = run(["x86_64-w64-mingw32-objdump", "-p", program]).stdout.decode()
    return {name.lower() for name in re.findall(r"DLL Name: (\S+)", out)}


def read_result(dest):
    result = {"extra": []}
    with open(os.path.join(dest, "result.txt"), encoding="utf-8") as f:
        for line in f.read().splitlines():
            key, _, value = line.partition(" ")
            if key == "extra":
                result["extra"].append(value)
            else:
                result[key] = value
    return result


def wait_for(predicate, seconds=60):
    deadline = time.monotonic() + seconds
    while not predicate() and time.monotonic() < deadline:
        time.sleep(0.2)
    return predicate()


class Installed(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="payload-installer-")
        cls.prefix = os.path.join(cls.dir, "prefix")
        run(["cmake", "--install", BUILD, "--prefix", cls.prefix])
        build = os.path.join(cls.dir, "build")
        command = ["cmake", "-S", os.path.join(HERE, "kit_installer"), "-B", build, "-G", "Ninja",
                   "-DCMAKE_PREFIX_PATH=" + cls.prefix]
        if SANITIZER_FLAGS and not wine():
            # A library built with the sanitizers or gcc's line counts needs
            # their runtimes in the program that links it.
            command += ["-DCMAKE_C_FLAGS=" + SANITIZER_FLAGS,
                        "-DCMAKE_EXE_LINKER_FLAGS=" + SANITIZER_FLAGS]
        if wine():
            # A cross build finds packages only below its root path: the
            # package's folder is named.
            command += ["-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(SOURCE, "cmake", "mingw-w64.cmake"),
                        "-Dloaderkit_DIR=" + os.path.join(cls.prefix, "lib", "cmake", "loaderkit")]
        run(command)
        run(["cmake", "--build", build])
        cls.installer = os.path.join(build, "kit_installer" + (".exe" if wine() else ""))
        cls.payload = os.path.join(cls.dir, "payload")
        for name, data in PAYLOAD.items():
            path = os.path.join(cls.payload, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
            os.utime(path, (PAYLOAD_TIME, PAYLOAD_TIME))
        cls.kits = os.path.join(cls.dir, KIT_FOLDER)
        os.makedirs(os.path.join(cls.kits, "ext"))
        name = "setup.exe" if wine() else "setup"
        for extra, out in (([], os.path.join(cls.kits, name)),
                           (["--external"], os.path.join(cls.kits, "ext"))):
            run([KITPACK, "build", "-q", "--loader", LOADER, "--installer",
                 cls.installer + "=" + ("install.exe" if wine() else "install"),
                 "--payload", cls.payload, "-o", out] + extra)
        cls.kit = os.path.join(cls.kits, name)
        cls.ext_kit = os.path.join(cls.kits, "ext", os.path.basename(LOADER))
        cls.runs = 0

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir)

    def fresh(self, label):
        Installed.runs += 1
        folder = os.path.join(self.dir, "%s-%d" % (label, Installed.runs))
        os.makedirs(folder)
        return folder

    def start(self, program, args, tmp, dest, cwd=None):
        """Runs a program (the kit, or the installer itself) with tmp as the
        temporary folder, from its own folder (a name outside ASCII is not
        passed through main's argv of Wine's helper) or from cwd."""
        env = dict(os.environ, KIT_TEST_DEST=host_path(dest))
        name = os.path.basename(program) if cwd is None else host_path(program)
        if wine():
            command = [WINE_RUN, WITH_ENV, "TMP=" + win(tmp), "TEMP=" + win(tmp), "--", name]
        else:
            env["TMPDIR"] = tmp
            command = ["./" + name if cwd is None else name]
        return run(command + list(args), ok=False, cwd=cwd or os.path.dirname(program), env=env)

    def assert_installed(self, dest):
        for name, data in PAYLOAD.items():
            path = os.path.join(dest, name)
            with open(path, "rb") as f:
                self.assertEqual(f.read(), data, name)
            self.assertLessEqual(abs(os.stat(path).st_mtime - PAYLOAD_TIME), 2, name)

    def test_builds_clean_in_every_standard(self):
        compilers = {"c": "x86_64-w64-mingw32-gcc" if wine() else "cc",
                     "c++": "x86_64-w64-mingw32-g++" if wine() else "c++"}
        source = os.path.join(HERE, "kit_installer", "kit_installer.c")
        for language, standard in STANDARDS:
            with self.subTest(standard):
                run([compilers[language], "-x", language, standard, *WARNINGS, "-fsyntax-only",
                     "-I" + os.path.join(self.prefix, "include"), source])

    def test_links_by_pkg_config(self):
        env = dict(os.environ, PKG_CONFIG_LIBDIR=os.path.join(self.prefix, "lib", "pkgconfig"))
        flags = run(["pkg-config", "--cflags", "--libs", "loaderkit-payload"],
                    env=env).stdout.decode().split()
        out = os.path.join(self.dir, "by-pkg-config" + (".exe" if wine() else ""))
        runtimes = [] if wine() else SANITIZER_FLAGS.split()
        run(["x86_64-w64-mingw32-gcc" if wine() else "cc", *WARNINGS, *runtimes,
             os.path.join(HERE, "kit_installer", "kit_installer.c"), "-o", out, *flags])
        if wine():
            self.assertLessEqual(imports(out), SYSTEM_DLLS)

    def test_imports_only_windows_dlls(self):
        if not wine():
            self.skipTest("Windows only")
        self.assertLessEqual(imports(self.installer), SYSTEM_DLLS)
        self.assertLessEqual(imports(os.path.join(self.prefix, "bin", "loaderkit_payload.dll")),
                             SYSTEM_DLLS)

    def test_a_windows_installer_cross_built_against_the_linux_package(self):
        # A native build given LOADERKIT_WINDOWS_BUILD_DIR installs the
        # Windows library beside its own, as the Linux packages carry it.
        if wine() or not os.path.isdir(os.path.join(self.prefix, "lib", "x86_64-w64-mingw32")):
            self.skipTest("a Linux install with the Windows library")
        build = os.path.join(self.dir, "cross")
        run(["cmake", "-S", os.path.join(HERE, "kit_installer"), "-B", build, "-G", "Ninja",
             "-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(SOURCE, "cmake", "mingw-w64.cmake"),
             "-Dloaderkit_DIR=" + os.path.join(self.prefix, "lib", "cmake", "loaderkit")])
        run(["cmake", "--build", build])
        self.assertLessEqual(imports(os.path.join(build, "kit_installer.exe")), SYSTEM_DLLS)
        env = dict(os.environ, PKG_CONFIG_LIBDIR=os.path.join(
            self.prefix, "lib", "x86_64-w64-mingw32", "pkgconfig"))
        flags = run(["pkg-config", "--cflags", "--libs", "loaderkit-payload"],
                    env=env).stdout.decode().split()
        out = os.path.join(self.dir, "cross-by-pkg-config.exe")
        run(["x86_64-w64-mingw32-gcc", *WARNINGS,
             os.path.join(HERE, "kit_installer", "kit_installer.c"), "-o", out, *flags])
        self.assertLessEqual(imports(out), SYSTEM_DLLS)

    def test_the_dll_from_a_c_program(self):
        if not wine():
            self.skipTest("Windows only")
        folder = self.fresh("dll")
        shutil.copy(os.path.join(self.prefix, "bin", "loaderkit_payload.dll"), folder)
        program = os.path.join(folder, "dll_user.exe")
        run(["x86_64-w64-mingw32-gcc", *WARNINGS, "-I" + os.path.join(self.prefix, "include"),
             os.path.join(HERE, "kit_installer", "dll_user.c"),
             os.path.join(self.prefix, "lib", "loaderkit_payload.lib"), "-o", program])
        self.assertLessEqual(imports(program), SYSTEM_DLLS | {"loaderkit_payload.dll"})
        text = os.path.join(folder, "notes.txt")
        with open(text, "w") as f:
            f.write("just some text, long enough to be read as a header\n")
        # main's argv holds ANSI texts: this program is given ASCII paths.
        shutil.copy(os.path.join(self.kits, "ext", "setup.2"), folder)
        p = run([WINE_RUN, program, win(os.path.join(folder, "setup.2")), win(text)])
        lines = p.stdout.decode().splitlines()
        self.assertEqual(sorted(lines[:3]), ["README.txt 8", "docs\\empty.dat 0",
                                             "docs\\guide.txt 120000"])
        self.assertEqual(lines[3], "entry 99: 1 there is no entry 99 (the payload has 3)")
        self.assertRegex(lines[4], r"^other: 3 .*notes\.txt is not a kit")

    def kit_run(self, kit, args, waits):
        tmp, dest = self.fresh("tmp"), self.fresh("dest")
        p = self.start(kit, args, tmp, dest)
        self.assertEqual(p.returncode, 0, p.stderr.decode(errors="replace"))
        result = os.path.join(dest, "result.txt")
        self.assertTrue(waits or wait_for(lambda: os.path.exists(result)), "no result")
        # Without /WAIT the installer removes the folder; on Windows its own
        # file goes once it has ended.
        self.assertTrue(wait_for(lambda: os.listdir(tmp) == []), os.listdir(tmp))
        return read_result(dest), dest

    def test_kits_in_a_unicode_folder_with_and_without_arguments_after_the_separator(self):
        for kit in (self.kit, self.ext_kit):
            for args in (["/S", "/WAIT"], ["/S", "/WAIT", "--", "/quiet", "--fast"],
                         [], ["--", "/quiet", "--fast"]):
                with self.subTest(kit=os.path.basename(os.path.dirname(kit)), args=args):
                    # A silent run waits for the installer.
                    waits = "/S" in args
                    result, dest = self.kit_run(kit, args, waits)
                    self.assertEqual(result["status"], "0", result["error"])
                    self.assertEqual(result["extra"], args[args.index("--") + 1:]
                                     if "--" in args else [])
                    expected = self.kit if kit == self.kit else os.path.join(self.kits, "ext",
                                                                             "setup.2")
                    self.assertEqual(result["file"].lower(), host_path(expected).lower())
                    cleanup = result["cleanup"].split(" ", 1)
                    self.assertEqual(cleanup[0], "0")
                    # A loader that waits removes its folder itself.
                    if waits:
                        self.assertEqual(cleanup[1], "")
                    else:
                        self.assertRegex(cleanup[1], r"[\\/]ldx[0-9A-Fa-f]{1,4}$")
                    self.assert_installed(dest)
                    self.assertEqual(int(result["progress"]) >= len(PAYLOAD), True)

    def test_removal_follows_no_link_and_takes_only_the_loaders_folder(self):
        # The installer is run here by its hand-off line alone, which main's
        # argv carries: an ASCII folder.
        kits = self.fresh("ascii-kits")
        shutil.copy(self.kit, kits)
        victim = self.fresh("victim")
        with open(os.path.join(victim, "keep.txt"), "w") as f:
            f.write("the victim's own\n")
        for name, removed in (("ldx1A2B", True), ("mine", False)):
            with self.subTest(name):
                tmp, dest = self.fresh("tmp"), self.fresh("dest")
                folder = os.path.join(tmp, name)
                os.makedirs(folder)
                program = os.path.join(folder, os.path.basename(self.installer))
                shutil.copy(self.installer, program)
                open(folder + ".tmp", "w").close()
                os.symlink(victim, os.path.join(folder, "folder-link"))
                os.symlink(os.path.join(victim, "keep.txt"), os.path.join(folder, "file-link"))
                p = self.start(program, ["*SELFEXTRACT", os.path.basename(self.kit),
                                         host_path(kits)], tmp, dest, cwd=tmp)
                self.assertEqual(p.returncode, 0, p.stderr.decode(errors="replace"))
                result = read_result(dest)
                status = result["cleanup"].split(" ")[0]
                if removed and wine() and status != "0":
                    # Wine follows a host link even when asked to open it
                    # as itself: the library then leaves it, and says so.
                    self.assertEqual(status, "6")
                    self.assertIn("a link this system follows", result["error"])
                elif removed:
                    self.assertEqual(status, "0", result["error"])
                    self.assertTrue(wait_for(lambda: os.listdir(tmp) == []), os.listdir(tmp))
                else:
                    self.assertEqual(status, "0", result["error"])
                    self.assertEqual(sorted(os.listdir(folder)),
                                     sorted([os.path.basename(program), "file-link",
                                             "folder-link"]))
                self.assertEqual(os.listdir(victim), ["keep.txt"])
                with open(os.path.join(victim, "keep.txt")) as f:
                    self.assertEqual(f.read(), "the victim's own\n")


if __name__ == "__main__":
    args = sys.argv[1:]
    BUILD, SOURCE, KITPACK, LOADER = args[:4]
    if len(args) > 4:
        WINE_RUN, WITH_ENV = args[4:6]
    unittest.main(argv=sys.argv[:1], verbosity=2)
