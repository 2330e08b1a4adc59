#!/usr/bin/env python3
"""The application manifests of the built loader.exe and installer.exe, read
from their PE resources (RT_MANIFEST 1) and parsed as XML.

usage: manifest_check.py LOADER.exe INSTALLER.exe
"""

import os
import re
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from ldkit import manifest as pm  # noqa: E402

LOADER = INSTALLER = None


def q(namespace, name):
    return "{%s}%s" % (namespace, name)


def settings(root):
    """windowsSettings children by tag."""
    found = {}
    for app in root.findall(q(pm.ASM_V3, "application")):
        for ws in app.findall(q(pm.ASM_V3, "windowsSettings")):
            for child in ws:
                found[child.tag] = (child.text or "").strip()
    return found


class LoaderManifest(unittest.TestCase):
    def setUp(self):
        self.root = pm.manifest(LOADER)
        self.assertIsNotNone(self.root, "loader.exe has no RT_MANIFEST 1")

    def test_assembly(self):
        self.assertEqual(self.root.tag, q(pm.ASM_V1, "assembly"))
        self.assertEqual(self.root.get("manifestVersion"), "1.0")

    def test_code_page_and_dpi(self):
        s = settings(self.root)
        self.assertEqual(s.get(q(pm.SETTINGS_2019, "activeCodePage")), "UTF-8")
        self.assertEqual(s.get(q(pm.SETTINGS_2005, "dpiAware")), "true/pm")
        self.assertEqual(s.get(q(pm.SETTINGS_2016, "dpiAwareness")), "PerMonitorV2, PerMonitor")

    def test_common_controls_6(self):
        identities = self.root.findall(
            "%s/%s/%s" % (q(pm.ASM_V1, "dependency"), q(pm.ASM_V1, "dependentAssembly"),
                          q(pm.ASM_V1, "assemblyIdentity")))
        self.assertEqual(len(identities), 1)
        ident = identities[0].attrib
        self.assertEqual(ident["name"], "Microsoft.Windows.Common-Controls")
        self.assertEqual(ident["version"], "6.0.0.0")
        self.assertEqual(ident["type"], "win32")
        self.assertEqual(ident["publicKeyToken"], "6595b64144ccf1df")
        self.assertEqual(ident["processorArchitecture"], "*")

    def test_supported_systems(self):
        ids = [e.get("Id") for e in self.root.iter(q(pm.COMPATIBILITY, "supportedOS"))]
        self.assertEqual(sorted(ids), sorted(pm.SUPPORTED_OS))

    def test_execution_level_with_room_for_the_longest(self):
        self.assertEqual(pm.execution_level(self.root), ("asInvoker", "false"))
        raw = pm.manifest_bytes(LOADER).decode("ascii")
        # kitpack writes level="requireAdministrator" (28 bytes) over the
        # attribute and the blanks behind it, keeping one blank.
        room = re.search(r'level="asInvoker"( *)uiAccess', raw)
        self.assertIsNotNone(room)
        self.assertGreaterEqual(len('level="asInvoker"') + len(room.group(1)), 29)


class InstallerManifest(unittest.TestCase):
    def test_code_page_and_level(self):
        root = pm.manifest(INSTALLER)
        self.assertIsNotNone(root, "installer.exe has no RT_MANIFEST 1")
        self.assertEqual(settings(root).get(q(pm.SETTINGS_2019, "activeCodePage")), "UTF-8")
        self.assertEqual(pm.execution_level(root), ("asInvoker", "false"))


if __name__ == "__main__":
    LOADER, INSTALLER = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1] + sys.argv[3:], verbosity=2)
