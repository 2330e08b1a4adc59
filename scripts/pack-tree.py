#!/usr/bin/env python3
"""Packs a folder into a reproducible .tar.gz or .zip.

usage: pack-tree.py (--tar | --zip) OUTPUT FOLDER

FOLDER's own name is the archive's top folder. Entries are sorted by path,
every time is SOURCE_DATE_EPOCH, owners are root (0/0), and modes are 0755
for folders and programs, 0644 for everything else: only the files' bytes and
whether they are executable reach the archive, so the same files give the same
archive on any machine, whatever its clock, umask or file-system order.
"""

import gzip
import io
import os
import sys
import tarfile
import time
import zipfile


def entries(folder):
    """(archive path, file path or None for a folder, executable), sorted."""
    top = os.path.basename(os.path.normpath(folder))
    out = [(top + "/", None, True)]
    for root, dirs, files in os.walk(folder):
        rel = os.path.relpath(root, folder)
        prefix = top + "/" if rel == "." else top + "/" + rel.replace(os.sep, "/") + "/"
        for d in dirs:
            if os.path.islink(os.path.join(root, d)):
                sys.exit("pack-tree: %s is a symlink" % os.path.join(root, d))
            out.append((prefix + d + "/", None, True))
        for f in files:
            path = os.path.join(root, f)
            if os.path.islink(path) or not os.path.isfile(path):
                sys.exit("pack-tree: %s is not a regular file" % path)
            out.append((prefix + f, path, os.access(path, os.X_OK)))
    return sorted(out, key=lambda e: e[0].encode())


def write_tar(output, folder, epoch):
    raw = io.BytesIO()
    with tarfile.open(fileobj=raw, mode="w", format=tarfile.GNU_FORMAT) as tar:
        for name, path, executable in entries(folder):
            info = tarfile.TarInfo(name.rstrip("/"))
            info.mtime = epoch
            info.uid = info.gid = 0
            info.uname = info.gname = "root"
            info.mode = 0o755 if executable else 0o644
            if path is None:
                info.type = tarfile.DIRTYPE
                tar.addfile(info)
            else:
                info.size = os.path.getsize(path)
                with open(path, "rb") as f:
                    tar.addfile(info, f)
    with open(output, "wb") as out:
        # No file name and a fixed time in the gzip header.
        with gzip.GzipFile(filename="", mode="wb", fileobj=out, compresslevel=9, mtime=epoch) as gz:
            gz.write(raw.getvalue())


def write_zip(output, folder, epoch):
    # Zip times are local times without a zone, two-second steps, from 1980.
    stamp = time.gmtime(max(epoch, 315532800))
    date_time = (stamp.tm_year, stamp.tm_mon, stamp.tm_mday, stamp.tm_hour, stamp.tm_min,
                 stamp.tm_sec - stamp.tm_sec % 2)
    with zipfile.ZipFile(output, "w") as z:
        for name, path, executable in entries(folder):
            info = zipfile.ZipInfo(name, date_time)
            info.create_system = 3  # Unix, so that the modes below count
            if path is None:
                info.external_attr = (0o40755 << 16) | 0x10
                z.writestr(info, b"")
            else:
                info.external_attr = (0o100755 if executable else 0o100644) << 16
                info.compress_type = zipfile.ZIP_DEFLATED
                with open(path, "rb") as f:
                    z.writestr(info, f.read(), compresslevel=9)


def main():
    if len(sys.argv) != 4 or sys.argv[1] not in ("--tar", "--zip"):
        sys.exit(__doc__)
    epoch_text = os.environ.get("SOURCE_DATE_EPOCH", "")
    if not epoch_text.isdigit():
        sys.exit("pack-tree: SOURCE_DATE_EPOCH must be set to a number of seconds")
    kind, output, folder = sys.argv[1:]
    if not os.path.isdir(folder):
        sys.exit("pack-tree: %s is not a folder" % folder)
    (write_tar if kind == "--tar" else write_zip)(output, folder, int(epoch_text))


if __name__ == "__main__":
    main()
