"""The application manifest of a PE file, read for the tests with struct
alone (independent of the reader in format/): RT_MANIFEST (24), id 1, first
language."""

import struct
import xml.etree.ElementTree as ET

RT_MANIFEST = 24
ASM_V1 = "urn:schemas-microsoft-com:asm.v1"
ASM_V3 = "urn:schemas-microsoft-com:asm.v3"
COMPATIBILITY = "urn:schemas-microsoft-com:compatibility.v1"
SETTINGS_2005 = "http://schemas.microsoft.com/SMI/2005/WindowsSettings"
SETTINGS_2016 = "http://schemas.microsoft.com/SMI/2016/WindowsSettings"
SETTINGS_2019 = "http://schemas.microsoft.com/SMI/2019/WindowsSettings"

# supportedOS ids: Windows Vista, 7, 8, 8.1, 10 and 11.
SUPPORTED_OS = {
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}": "Vista",
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}": "7",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}": "8",
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}": "8.1",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}": "10/11",
}


def resource(image, rtype, rid):
    """(offset, size) of the resource's data in the file, or None."""
    if image[:2] != b"MZ":
        return None
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    if image[pe:pe + 4] != b"PE\0\0":
        return None
    sections, opt_size = struct.unpack_from("<H", image, pe + 6)[0], struct.unpack_from("<H", image, pe + 20)[0]
    opt = pe + 24
    magic = struct.unpack_from("<H", image, opt)[0]
    dirs = opt + (112 if magic == 0x20B else 96)
    rsrc_rva = struct.unpack_from("<I", image, dirs + 16)[0]
    table = []
    for i in range(sections):
        vsize, va, rsize, roff = struct.unpack_from("<IIII", image, opt + opt_size + 40 * i + 8)
        table.append((va, max(vsize, rsize), roff))

    def offset(rva):
        for va, size, roff in table:
            if va <= rva < va + size:
                return roff + rva - va
        raise ValueError("RVA %#x outside the sections" % rva)

    root = offset(rsrc_rva)

    def entries(at):
        named, ids = struct.unpack_from("<HH", image, at + 12)
        return [struct.unpack_from("<II", image, at + 16 + 8 * i) for i in range(named + ids)]

    def find(at, wanted):
        for name, target in entries(at):
            if not name & 0x80000000 and name == wanted:
                return target
        return None

    by_type = find(root, rtype)
    if by_type is None:
        return None
    by_id = find(root + (by_type & 0x7FFFFFFF), rid)
    if by_id is None:
        return None
    language = entries(root + (by_id & 0x7FFFFFFF))[0][1]
    data_rva, size = struct.unpack_from("<II", image, root + language)
    return offset(data_rva), size


def manifest_bytes(path):
    with open(path, "rb") as f:
        image = f.read()
    found = resource(image, RT_MANIFEST, 1)
    if found is None:
        return None
    at, size = found
    return image[at:at + size]


def manifest(path):
    """The manifest of the file as an ElementTree root, or None."""
    raw = manifest_bytes(path)
    return None if raw is None else ET.fromstring(raw)


def execution_level(root):
    levels = root.findall(".//{%s}requestedExecutionLevel" % ASM_V3)
    assert len(levels) == 1, levels
    return levels[0].get("level"), levels[0].get("uiAccess")
