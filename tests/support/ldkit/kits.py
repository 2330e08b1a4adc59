"""The tests' own kit writer.

Written on its own from the byte layout, deliberately sharing nothing with the
C++ record code, so that a layout mistake made twice cannot go unnoticed. It
also stands in for the other producers whose kits kitpack and the loader must
take.

An archive is a 5-byte header (int32 file count, one flag byte), then for each
file a 164-byte entry record followed directly by one zlib stream. A
self-extracting kit is the loader's bytes, the archive, a second archive and a
56-byte trailer. An external kit is the loader beside a file "setup.1" that
holds the archive from offset 0.

Every knob that damages a kit is an explicit argument, so a test says what it
breaks.
"""

import os
import struct
import zlib
from dataclasses import dataclass, field
from typing import List, Optional

ENTRY_SIZE = 164
HEADER_SIZE = 5
TRAILER_SIZE = 56
MARK = b"SELFEXTRACTING"

# 1998-08-11 12:00 as days since 1899-12-30.
DEFAULT_FILE_TIME = 36018.5


def short_string(text: bytes, capacity: int, length: Optional[int] = None) -> bytes:
    """A length byte, the characters and zero fill: capacity + 1 bytes.

    length overrides the length byte (to claim more than the field holds)."""
    if len(text) > capacity:
        raise ValueError("text does not fit the field")
    n = len(text) if length is None else length
    return bytes([n]) + text + bytes(capacity - len(text))


@dataclass
class Entry:
    """One packed file. name is the StoredName as the packer recorded it."""
    name: bytes
    data: bytes
    file_time: float = DEFAULT_FILE_TIME
    version: bytes = b""
    level: int = 9
    # Damage knobs.
    name_length: Optional[int] = None      # a length byte that lies
    stream: Optional[bytes] = None         # replaces the zlib stream
    unpacked_size: Optional[int] = None    # a size that lies

    def packed(self) -> bytes:
        return self.stream if self.stream is not None else zlib.compress(self.data, self.level)


def record(name: bytes, data_start: int, data_end: int, next_header: int, unpacked: int,
           file_time: float = DEFAULT_FILE_TIME, version: bytes = b"",
           name_length: Optional[int] = None) -> bytes:
    """One 164-byte entry record with every offset given: for chains and
    sizes that lie. A name longer than its field is cut, its length byte
    kept unless name_length says otherwise."""
    if name_length is None:
        name_length = len(name)
    record = b"".join([
        struct.pack("<i", 1),
        struct.pack("<d", file_time),
        struct.pack("<i", 0),
        struct.pack("<i", data_end),
        short_string(name[:103], 103, name_length),
        struct.pack("<i", next_header),
        struct.pack("<i", unpacked),
        struct.pack("<i", data_start),
        struct.pack("<i", 0),
        bytes([0]),
        short_string(version, 22),
    ])
    assert len(record) == ENTRY_SIZE
    return record


def entry_record(entry: Entry, offset: int, stream_length: int) -> bytes:
    """The 164-byte record of an entry whose header lies at archive offset."""
    data_start = offset + ENTRY_SIZE
    data_end = data_start + stream_length - 1
    unpacked = len(entry.data) if entry.unpacked_size is None else entry.unpacked_size
    return record(entry.name, data_start, data_end, data_end + 1, unpacked, entry.file_time,
                  entry.version, entry.name_length)


def archive(entries: List[Entry], file_count: Optional[int] = None,
            multi_partition: int = 0) -> bytes:
    """An archive of the entries; file_count overrides the header's count."""
    count = len(entries) if file_count is None else file_count
    out = bytearray(struct.pack("<i", count) + bytes([multi_partition]))
    for entry in entries:
        stream = entry.packed()
        out += entry_record(entry, len(out), len(stream))
        out += stream
    return bytes(out)


def trailer(archive_start: int, archive_end: int, second_start: int, second_end: int,
            magic: bytes = bytes([len(MARK)]) + MARK + b"\0") -> bytes:
    """The 56-byte trailer; magic is the raw 16-byte field."""
    assert len(magic) == 16
    out = magic + struct.pack("<4i", archive_start, archive_end, second_start, second_end)
    out += bytes(TRAILER_SIZE - len(out))
    return out


def self_extracting(loader: bytes, first: bytes, second: bytes) -> bytes:
    """Loader bytes, the loader's archive, the second archive, the trailer."""
    start = len(loader)
    second_start = start + len(first)
    return (loader + first + second +
            trailer(start, second_start - 1, second_start, second_start + len(second) - 1))


def archive_of_files(files, compress, times=None, versions=None) -> bytes:
    """An archive as another packer writes it. files: (name, data) pairs of
    str and bytes; compress turns data into its stream; times and versions,
    when given, one per file (any double; any text of up to 22 bytes)."""
    return archive([Entry(name.encode("latin-1"), data,
                          file_time=times[i] if times else DEFAULT_FILE_TIME,
                          version=versions[i].encode("latin-1") if versions else b"",
                          stream=compress(data))
                    for i, (name, data) in enumerate(files)])


def write_kit(path: str, loader: bytes, first, second, compress, **second_fields) -> None:
    """A self-extracting kit of (name, data) pairs, as archive_of_files
    writes them; second_fields go to the second archive."""
    with open(path, "wb") as out:
        out.write(self_extracting(loader, archive_of_files(first, compress),
                                  archive_of_files(second, compress, **second_fields)))


@dataclass
class Kit:
    """A kit laid out in a folder: the loader's path and what was packed."""
    loader_path: str
    entries: List[Entry] = field(default_factory=list)
    self_extracting: bool = False


def write_external_kit(folder: str, loader: bytes, entries: List[Entry],
                       loader_name: str = "setup", **archive_args) -> Kit:
    """The loader copied into folder, with "setup.1" beside it."""
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, loader_name)
    _write_program(path, loader)
    with open(os.path.join(folder, "setup.1"), "wb") as out:
        out.write(archive(entries, **archive_args))
    return Kit(path, entries, False)


def write_self_extracting_kit(folder: str, loader: bytes, entries: List[Entry],
                              loader_name: str = "setup",
                              second: Optional[List[Entry]] = None,
                              **archive_args) -> Kit:
    """One file: loader, archive, second archive, trailer. The second archive
    holds other files under other names; the loader must never read it."""
    os.makedirs(folder, exist_ok=True)
    if second is None:
        second = [Entry(b"C:\\second\\not-for-the-loader.bin", b"second archive" * 50)]
    path = os.path.join(folder, loader_name)
    _write_program(path, self_extracting(loader, archive(entries, **archive_args), archive(second)))
    return Kit(path, entries, True)


def _write_program(path: str, content: bytes) -> None:
    with open(path, "wb") as out:
        out.write(content)
    os.chmod(path, 0o755)


def set_year(path: str, year: int) -> None:
    """Sets the file's last-write time to 1 July of that year (local time)."""
    import time
    stamp = time.mktime((year, 7, 1, 12, 0, 0, 0, 0, -1))
    os.utime(path, (stamp, stamp))
