"""The tests' own kit reader: archives, the trailer (behind a certificate
table too) and kitpack's digest, read back with struct and zlib alone."""

import hashlib
import struct
import zlib

from . import pe
from .kits import MARK, TRAILER_SIZE

# The trailer's first 15 bytes: the mark's length, then the mark.
TRAILER_MAGIC = bytes([len(MARK)]) + MARK
DIGEST_TAG = b"KD\x01\x00"


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


def trailer_offset(raw):
    """The last 56 bytes, or in a signed kit the 56 bytes before the table and
    the zero bytes that align it."""
    table = pe.certificate_table(raw)
    if table is None or sum(table) != len(raw):
        return len(raw) - TRAILER_SIZE
    end = table[0]
    while raw[end - 56:end - 41] != TRAILER_MAGIC:
        assert end > table[0] - 7 and raw[end - 1] == 0, "no trailer before the certificate table"
        end -= 1
    return end - TRAILER_SIZE


def kit_digest(raw, at):
    """The digest kitpack keeps in trailer bytes 32..55: its tag and the first
    20 bytes of SHA-256 over the bytes before the trailer (a PE image's
    CheckSum and security entry, which signing rewrites, taken as zero) and
    the trailer's first 32 bytes."""
    prefix = bytearray(raw[:at])
    found = pe.headers(prefix)
    if found is not None:
        optional, directories = found
        prefix[optional + 64:optional + 68] = bytes(4)
        prefix[directories + 32:directories + 40] = bytes(8)
    return DIGEST_TAG + hashlib.sha256(bytes(prefix) + raw[at:at + 32]).digest()[:20]


def read_kit(path):
    """(the bytes before the first archive, first archive's entries, second
    archive's entries) of a self-extracting kit, its digest checked."""
    with open(path, "rb") as f:
        raw = f.read()
    at = trailer_offset(raw)
    t = raw[at:at + TRAILER_SIZE]
    assert t[:15] == TRAILER_MAGIC and t[15] == 0
    if t[32:36] == DIGEST_TAG:  # kits of other producers carry none
        assert t[32:] == kit_digest(raw, at), "the digest does not match"
    a1, e1, a2, e2 = struct.unpack_from("<iiii", t, 16)
    assert a2 == e1 + 1 and e2 == at - 1
    return raw[:a1], read_archive(raw[a1:e1 + 1], 50), read_archive(raw[a2:e2 + 1])
