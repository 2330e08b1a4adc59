"""Windows PE images for the tests, written and read from the PE format
with struct alone, kept apart from the product's own code so that the tests
check its PE and resource code against a second reading."""

import struct

RT_BITMAP, RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 2, 3, 14, 16, 24


def headers(raw):
    """(optional header offset, data directories offset) of a PE image, or
    None when raw is none."""
    if raw[:2] != b"MZ" or len(raw) < 64:
        return None
    pe = struct.unpack_from("<I", raw, 0x3C)[0]
    if raw[pe:pe + 4] != b"PE\0\0":
        return None
    optional = pe + 24
    magic = struct.unpack_from("<H", raw, optional)[0]
    return optional, optional + (112 if magic == 0x20B else 96)


def certificate_table(raw):
    """(offset, size) of the certificate table named by a PE image's security
    entry (data directory 4), or None."""
    found = headers(raw)
    if found is None:
        return None
    offset, size = struct.unpack_from("<II", raw, found[1] + 4 * 8)
    return (offset, size) if offset and size else None


def pe_image(plus=True, size=1024, section=False):
    """DOS header, "PE\\0\\0", file header, an optional header with 16 data
    directories (all zero), filler. With section, also the alignments and
    one .text section: the smallest image the product's readers take."""
    optional = 0x80 + 24
    directories = 112 if plus else 96
    image = bytearray(size)
    image[0:2] = b"MZ"
    struct.pack_into("<I", image, 0x3C, 0x80)
    image[0x80:0x84] = b"PE\0\0"
    struct.pack_into("<HH", image, 0x84, 0x8664 if plus else 0x14C, 1 if section else 0)
    struct.pack_into("<H", image, 0x80 + 20, directories + 16 * 8)
    struct.pack_into("<H", image, optional, 0x20B if plus else 0x10B)
    struct.pack_into("<I", image, optional + directories - 4, 16)
    if section:
        struct.pack_into("<H", image, 0x80 + 22, 0x22)  # executable, large-address aware
        image[optional + 2] = 2  # linker version
        struct.pack_into("<II", image, optional + 32, 0x1000, 0x200)
        struct.pack_into("<8sIIII", image, optional + directories + 16 * 8, b".text", 0xE00, 0x1000,
                         0xE00, 0x200)
    return bytes(image)


def with_certificate_table(image, padding, table_size=600):
    """image, padding zero bytes and a certificate table of filler named by
    the security entry of image's PE headers."""
    out = bytearray(image) + bytes(padding)
    _, directories = headers(out)
    struct.pack_into("<II", out, directories + 32, len(out), table_size)
    return bytes(out + struct.pack("<IHH", table_size, 0x200, 2) + b"\x5a" * (table_size - 8))


class PeImage:
    def __init__(self, data):
        self.data = data
        found = headers(data)
        assert found, "no PE image"
        opt, dirs = found
        pe = opt - 24
        (self.machine, count, _, _, _, opt_size, _) = struct.unpack_from("<HHIIIHH", data, pe + 4)
        magic = struct.unpack_from("<H", data, opt)[0]
        assert magic in (0x10B, 0x20B), hex(magic)
        self.section_alignment, self.file_alignment = struct.unpack_from("<II", data, opt + 32)
        self.size_of_image, self.size_of_headers, self.checksum = struct.unpack_from("<III", data, opt + 56)
        self.checksum_offset = opt + 64
        ndirs = struct.unpack_from("<I", data, dirs - 4)[0]
        self.directories = [struct.unpack_from("<II", data, dirs + 8 * i) for i in range(ndirs)]
        self.sections = []
        table = opt + opt_size
        for i in range(count):
            name, vsize, va, rsize, roff = struct.unpack_from("<8sIIII", data, table + 40 * i)
            chars = struct.unpack_from("<I", data, table + 40 * i + 36)[0]
            self.sections.append({"name": name.rstrip(b"\0").decode("latin-1"), "vsize": vsize,
                                  "va": va, "rsize": rsize, "roff": roff, "chars": chars})

    def offset(self, rva):
        for s in self.sections:
            if s["va"] <= rva < s["va"] + max(s["vsize"], s["rsize"]):
                assert rva - s["va"] < s["rsize"], "RVA %#x not backed by file data" % rva
                return s["roff"] + rva - s["va"]
        raise AssertionError("RVA %#x in no section" % rva)

    def computed_checksum(self):
        """The PE checksum: 16-bit words summed with end-around carry, the
        CheckSum field taken as zero, plus the file's length."""
        data = bytearray(self.data)
        data[self.checksum_offset:self.checksum_offset + 4] = bytes(4)
        if len(data) % 2:
            data += b"\0"
        total = 0
        for (word,) in struct.iter_unpack("<H", bytes(data)):
            total += word
            total = (total & 0xFFFF) + (total >> 16)
        return ((total & 0xFFFF) + (total >> 16)) + len(self.data)

    def resources(self):
        """{(type, name, language): bytes}; a named type or name is a str."""
        return {key: self.data[at:at + size] for key, (at, size) in self.resource_spans().items()}

    def resource_spans(self):
        """{(type, name, language): (file offset, size)} in the order of the
        resource directories."""
        rva, size = self.directories[2]
        if rva == 0:
            return {}
        root = self.offset(rva)
        out = {}

        def ident(field):
            if field & 0x80000000:
                at = root + (field & 0x7FFFFFFF)
                n = struct.unpack_from("<H", self.data, at)[0]
                return self.data[at + 2:at + 2 + 2 * n].decode("utf-16-le")
            return field

        def walk(at, path):
            named, ids = struct.unpack_from("<HH", self.data, at + 12)
            names = []
            for i in range(named + ids):
                field, target = struct.unpack_from("<II", self.data, at + 16 + 8 * i)
                key = ident(field)
                names.append(key)
                if target & 0x80000000:
                    assert len(path) < 2
                    walk(root + (target & 0x7FFFFFFF), path + [key])
                else:
                    assert len(path) == 2
                    drva, dsize, _cp, _ = struct.unpack_from("<IIII", self.data, root + target)
                    out[(path[0], path[1], key)] = (self.offset(drva), dsize)
            # Named entries first, sorted; then ids ascending: the order the
            # Windows loader's binary search needs.
            assert all(isinstance(n, str) for n in names[:named]), names
            assert names[:named] == sorted(names[:named], key=str.upper), names
            assert names[named:] == sorted(names[named:]), names

        walk(root, [])
        return out


def resource(res, rtype, name):
    found = [v for (t, n, _), v in res.items() if t == rtype and n == name]
    assert len(found) == 1, (rtype, name, len(found))
    return found[0]


def version_info(blob):
    """(fixed file version, fixed product version, {key: text}) of a
    VS_VERSIONINFO resource."""
    def node(at):
        length, vlen, vtype = struct.unpack_from("<HHH", blob, at)
        end = at + length
        key_end = blob.index(b"\0\0", at + 6)
        while (key_end - at - 6) % 2:
            key_end = blob.index(b"\0\0", key_end + 1)
        key = blob[at + 6:key_end].decode("utf-16-le")
        pos = (key_end + 2 + 3) & ~3
        nbytes = vlen * 2 if vtype == 1 else vlen
        value = blob[pos:pos + nbytes]
        pos = (pos + nbytes + 3) & ~3
        children = []
        while pos + 6 <= end:
            child, child_end = node(pos)
            children.append(child)
            pos = (child_end + 3) & ~3
        return (key, vtype, value, children), end

    (key, _, fixed, children), _ = node(0)
    assert key == "VS_VERSION_INFO"
    sig, _, fms, fls, pms, pls = struct.unpack_from("<IIIIII", fixed, 0)
    assert sig == 0xFEEF04BD

    def dotted(ms, ls):
        return "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)

    strings = {}
    for ckey, _, _, tables in children:
        if ckey == "StringFileInfo":
            for _, _, _, entries in tables:
                for skey, _, value, _ in entries:
                    strings[skey] = value.decode("utf-16-le").rstrip("\0")
    return dotted(fms, fls), dotted(pms, pls), strings


def group_icon_entries(blob):
    """[(width, height, bit count, size, id)] of an RT_GROUP_ICON."""
    _, kind, count = struct.unpack_from("<HHH", blob, 0)
    assert kind == 1
    out = []
    for i in range(count):
        w, h, _, _, _, bits, size, ident = struct.unpack_from("<BBBBHHIH", blob, 6 + 14 * i)
        out.append((w or 256, h or 256, bits, size, ident))
    return out
