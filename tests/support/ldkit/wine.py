"""A Wine prefix of a test's own, for tests that need registry settings (the
display's DPI, the user's TEMP and TMP): the shared prefix is never changed.

The copy hard-links the prefix's files where it can, except the registry
files, which are copied (Wine rewrites only those in place). The settings are imported with
regedit from a UTF-16 .reg file, so names outside ASCII arrive intact, and
the prefix's wineserver is restarted so that every setting is in force.
"""

import os
import shutil
import subprocess

REG_HEADER = "Windows Registry Editor Version 5.00\r\n"


def win(path):
    """The Windows form of a Linux path: Wine maps Z: to /."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def reg_string(text):
    return '"%s"' % text.replace("\\", "\\\\").replace('"', '\\"')


class TestPrefix:
    """with TestPrefix(wine_run, folder, {key: {name: value}}) as prefix:
    prefix.env is the environment for wine-run in that prefix. A value is a
    str (REG_SZ) or an int (REG_DWORD)."""

    def __init__(self, wine_run, folder, settings, base=None):
        self.wine_run = wine_run
        self.folder = os.path.abspath(folder)
        self.settings = settings
        self.base = base or os.environ.get("WINEPREFIX", "/tmp/loaderkit-wine")
        self.env = dict(os.environ, WINEPREFIX=self.folder)

    def __enter__(self):
        # wine-run makes the shared prefix on its first run.
        subprocess.run([self.wine_run, "cmd", "/c", "exit"], stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300,
                       check=True)
        shutil.rmtree(self.folder, ignore_errors=True)
        os.makedirs(os.path.dirname(self.folder), exist_ok=True)
        # Hard links where the file system allows them, else a full copy.
        if subprocess.run(["cp", "-al", self.base, self.folder], stderr=subprocess.DEVNULL).returncode:
            shutil.rmtree(self.folder, ignore_errors=True)
            subprocess.run(["cp", "-a", self.base, self.folder], check=True)
        for name in os.listdir(self.folder):
            if name.endswith(".reg"):
                path = os.path.join(self.folder, name)
                shutil.copyfile(path, path + ".copy")
                os.replace(path + ".copy", path)
        shutil.rmtree(os.path.join(self.folder, "wineserver"), ignore_errors=True)
        lines = [REG_HEADER]
        for key, values in self.settings.items():
            lines.append("\r\n[%s]\r\n" % key)
            for name, value in values.items():
                if isinstance(value, int):
                    lines.append('"%s"=dword:%08x\r\n' % (name, value))
                else:
                    lines.append('"%s"=%s\r\n' % (name, reg_string(value)))
        reg = os.path.join(self.folder, "test-settings.reg")
        with open(reg, "wb") as f:
            f.write("".join(lines).encode("utf-16"))  # with its byte-order mark
        self.run(["regedit", "/S", win(reg)], check=True)
        self.stop()
        return self

    def run(self, command, timeout=300, check=False, **kw):
        kw.setdefault("stdin", subprocess.DEVNULL)
        kw.setdefault("stdout", subprocess.PIPE)
        kw.setdefault("stderr", subprocess.PIPE)
        return subprocess.run([self.wine_run, *command], env=self.env, timeout=timeout,
                              check=check, **kw)

    def stop(self):
        """Ends this prefix's wineserver (and with it every program in it)."""
        subprocess.run(["wineserver", "-k"], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)
        subprocess.run(["wineserver", "-w"], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)

    def __exit__(self, *exc):
        self.stop()
        shutil.rmtree(self.folder, ignore_errors=True)
        return False
