#!/usr/bin/env python3
"""The manual page and the CMake function keep up with the program: every
option `kitpack <command> --help` lists is in kitpack.1, every build option
has its loaderkit_add_kit keyword (in the function, its comment and the
README), groff reads the page without a warning, and --version prints the
project's version.

usage: manual_e2e.py KITPACK
"""

import os
import re
import shutil
import subprocess
import sys
import unittest

ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
KITPACK = None
COMMANDS = ("build", "list", "verify", "extract")
# The keywords whose name is not the option's.
KEYWORDS = {"--file": "FILES", "--payload": "PAYLOAD", "--output": "OUTPUT"}


def read(rel):
    with open(os.path.join(ROOT, rel), encoding="utf-8") as f:
        return f.read()


def options(command):
    out = subprocess.run([KITPACK, command, "--help"], stdout=subprocess.PIPE, check=True,
                         timeout=60).stdout.decode()
    found = set(re.findall(r"(?<![\w-])(--[a-z][a-z-]*)", out)) - {"--help"}
    assert found, out
    return found


def manual_text():
    # The page's own escapes, undone: "\-" is a minus, "\e" a backslash.
    return read("kitpack/kitpack.1").replace("\\-", "-").replace("\\e", "\\")


class Manual(unittest.TestCase):
    def test_every_option_is_described(self):
        page = manual_text()
        for command in COMMANDS:
            self.assertIn(".B %s\n" % command, page)
            for option in options(command):
                with self.subTest(command=command, option=option):
                    self.assertRegex(page, r"\.B[IR]? [^\n]*" + re.escape(option) + r"\b")

    def test_the_page_renders_without_warnings(self):
        if not shutil.which("groff"):
            self.skipTest("no groff")
        p = subprocess.run(["groff", "-man", "-ww", "-z", os.path.join(ROOT, "kitpack", "kitpack.1")],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
        self.assertEqual((p.returncode, p.stderr.decode()), (0, ""))

    def test_version(self):
        version = re.search(r"project\(loaderkit VERSION ([0-9.]+)", read("CMakeLists.txt")).group(1)
        out = subprocess.run([KITPACK, "--version"], stdout=subprocess.PIPE, check=True,
                             timeout=60).stdout.decode()
        self.assertEqual(out.strip(), "kitpack " + version)


class CmakeKeywords(unittest.TestCase):
    def test_every_build_option_has_its_keyword(self):
        function = read("cmake/loaderkitAddKit.cmake")
        comment = "\n".join(l for l in function.splitlines() if l.startswith("#"))
        code = "\n".join(l for l in function.splitlines() if not l.lstrip().startswith("#"))
        readme = read("README.md")
        use_from_cmake = readme[readme.index("## Use from CMake"):readme.index("## What it looks like")]
        for option in options("build"):
            keyword = KEYWORDS.get(option, option[2:].upper().replace("-", "_"))
            with self.subTest(option=option, keyword=keyword):
                self.assertRegex(comment, r"\b%s\b" % keyword)
                self.assertIn("`" + keyword, use_from_cmake)
                # Parsed by the function (cmake_package_e2e.py checks that
                # each reaches kitpack).
                self.assertRegex(code, r"\b%s\b" % keyword)


if __name__ == "__main__":
    KITPACK = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
