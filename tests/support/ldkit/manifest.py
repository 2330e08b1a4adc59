"""The application manifest of a PE file, read for the tests by their own
PE reader (independent of the one in format/): RT_MANIFEST (24), id 1, first
language."""

import xml.etree.ElementTree as ET

from . import pe
from .pe import RT_MANIFEST

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
    """(offset, size) of the resource's data in the file (its first
    language), or None."""
    if pe.headers(image) is None:
        return None
    for (t, n, _), span in pe.PeImage(image).resource_spans().items():
        if (t, n) == (rtype, rid):
            return span
    return None


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


# The mark that opens the deployment record's block in the loader image; the
# 80 bytes after it are the record kitpack fills in.
DEPLOYMENT_MARK = b"LDKDEPLOY\x7e\x3a\xc5\x19\xf2\x64\xb8"


def changed_beyond_level(loader, kit):
    """The offsets where a kit's copy of the loader differs from the loader
    as built other than in what kitpack writes there for a kit whose only
    option is the execution level: the manifest, the deployment record
    after its mark and the header's checksum. Empty when that is all."""
    at, size = resource(loader, RT_MANIFEST, 1)
    block = loader.find(DEPLOYMENT_MARK)
    allowed = [range(at, at + size)]
    if block >= 0:
        allowed.append(range(block + len(DEPLOYMENT_MARK), block + 96))
    checksum = int.from_bytes(loader[0x3C:0x40], "little") + 24 + 64
    allowed.append(range(checksum, checksum + 4))
    return [i for i in range(len(loader))
            if loader[i] != kit[i] and not any(i in r for r in allowed)]
