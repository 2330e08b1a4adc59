"""A reader of Windows PE images and their resources, written from the PE
format with struct alone, kept apart from kitpack's own code so that the
tests check kitpack's resource writer against a second reading."""

import struct

RT_BITMAP, RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 2, 3, 14, 16, 24


class PeImage:
    def __init__(self, data):
        self.data = data
        assert data[:2] == b"MZ", "no MZ header"
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        assert data[pe:pe + 4] == b"PE\0\0", "no PE signature"
        (self.machine, count, _, _, _, opt_size, _) = struct.unpack_from("<HHIIIHH", data, pe + 4)
        opt = pe + 24
        magic = struct.unpack_from("<H", data, opt)[0]
        assert magic in (0x10B, 0x20B), hex(magic)
        self.section_alignment, self.file_alignment = struct.unpack_from("<II", data, opt + 32)
        self.size_of_image, self.size_of_headers, self.checksum = struct.unpack_from("<III", data, opt + 56)
        self.checksum_offset = opt + 64
        dirs = opt + (112 if magic == 0x20B else 96)
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
                    o = self.offset(drva)
                    out[(path[0], path[1], key)] = self.data[o:o + dsize]
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


def write_bmp(path, width, height, pixel, bits=24):
    """A bottom-up BMP whose pixel (x, y) (y from the top) is pixel(x, y), an
    (r, g, b) tuple."""
    stride = (width * 3 + 3) & ~3
    rows = []
    for y in reversed(range(height)):
        row = b"".join(bytes((b, g, r)) for r, g, b in (pixel(x, y) for x in range(width)))
        rows.append(row + bytes(stride - len(row)))
    pixels = b"".join(rows)
    header = struct.pack("<2sIHHI", b"BM", 54 + len(pixels), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, bits, 0, len(pixels), 0, 0, 0, 0)
    with open(path, "wb") as f:
        f.write(header + info + pixels)


def write_ico(path, sizes):
    """An .ico with one 32-bit image per size in `sizes`, each a solid colour."""
    images = []
    for n, size in enumerate(sizes):
        colour = bytes(((40 * n) & 255, 200, (255 - 60 * n) & 255, 255))
        xor = colour * (size * size)
        mask = bytes(((size + 31) // 32 * 4) * size)
        header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
        images.append(header + xor + mask)
    out = struct.pack("<HHH", 0, 1, len(images))
    at = 6 + 16 * len(images)
    for size, image in zip(sizes, images):
        out += struct.pack("<BBBBHHII", size & 255, size & 255, 0, 0, 1, 32, len(image), at)
        at += len(image)
    with open(path, "wb") as f:
        f.write(out + b"".join(images))
    return images
