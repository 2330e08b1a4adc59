#!/usr/bin/env python3
"""Where the bytes of loader.exe go, read from the linker's map.

    scripts/link-map-sizes.py MAP EXE [--json]
    scripts/link-map-sizes.py MAP EXE --check [--budget BYTES]

MAP is the map the Windows build writes beside the program
(build/windows/loader/loader.map), EXE the program itself (stripped: the
build strips it). Every input section the linker placed is counted for the
part of the program it came from; code (.text), data (.rdata, .data, .CRT,
.tls) and unwind tables (.pdata, .xdata) apply to each part. The import
tables, the resources and what is left of the file (headers, base
relocations, the padding of each section to 512 bytes) are parts of their
own, so that the parts add up to the file's size.

loader.exe is linked with link-time optimization: its own code and zlib's
inflate (compiled from source with it) arrive as one optimized object and
are one part. The build also links the same
objects the ordinary way (loader_layers.exe, with loader_layers.map), which
gives the loader's own code layer by layer, before that optimization.
"""

import argparse
import functools
import json
import os
import re
import sys

# Output sections by the column they count in; .bss takes no room in the file.
COLUMNS = {
    ".text": "code",
    ".rdata": "data", ".data": "data", ".CRT": "data", ".tls": "data",
    ".pdata": "unwind", ".xdata": "unwind",
}

# Parts, in the order they are listed. The loader's own layers first.
LAYERS = ["base", "format", "inflate", "platform", "archive", "ui", "loader"]
STD_IN_OWN = "C++ library templates built into the loader's code"
OPTIMIZED = "the loader's own code with zlib's inflate, optimized as one"
PARTS = ([OPTIMIZED] + ["the loader's own code: %s/" % layer for layer in LAYERS] + [STD_IN_OWN] +
         ["zlib inflate", "C++ exception runtime", "C++ library, other",
          "C runtime and start-up", "import tables", "resources",
          "headers, relocations and section padding"])

# libstdc++ objects of the exception machinery.
EH_OBJECTS = re.compile(r"^(eh_\w+|class_type_info|si_class_type_info|vmi_class_type_info|"
                        r"tinfo\w*|del_\w+|new_\w+|guard\w*|pure)\.o$")


@functools.lru_cache(maxsize=None)
def layers_of_sources():
    """Each source file's name and the layer whose folder (or a folder below
    it) holds it: the tree is walked once."""
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    found = {}
    for layer in LAYERS:
        for _, _, files in os.walk(os.path.join(root, layer)):
            for name in files:
                found.setdefault(name, layer)
    return found


def layer_of_source(source):
    """The layer that holds this source file, or None."""
    return layers_of_sources().get(source)


def part_of(path):
    """The part a linked file belongs to."""
    member = ""
    m = re.match(r"^(.*)\(([^()]*)\)$", path)
    if m:
        path, member = m.group(1), m.group(2)
    name = os.path.basename(path)
    if ".ltrans" in name:
        return OPTIMIZED
    if name == "libldr_zlib.a":
        return "zlib inflate"
    if name == "libldr_loader_image.a" and member:
        # loader.exe's own library holds every layer's objects, named by
        # their source file alone: the layer is the folder that file is in.
        layer = layer_of_source(member[:-len(".obj")] if member.endswith(".obj") else member)
        if layer:
            return "the loader's own code: %s/" % layer
    for layer in LAYERS:
        if path.startswith(layer + "/") or ("/%s/" % layer) in path and "CMakeFiles" in path:
            return "the loader's own code: %s/" % layer
    if name in ("libgcc_eh.a",):
        return "C++ exception runtime"
    if name == "libgcc.a":
        return "C++ exception runtime" if member.startswith(("unwind", "gthr", "emutls")) \
            else "C runtime and start-up"
    if name == "libstdc++.a":
        return "C++ exception runtime" if EH_OBJECTS.match(member) else "C++ library, other"
    return "C runtime and start-up"


def read_map(text):
    """Input sections as (output section, input section, size, file)."""
    start = text.find("Linker script and memory map")
    lines = text[start:].splitlines() if start >= 0 else []
    out = []
    output_section = None
    pending = None  # an input section name whose address is on the next line
    for line in lines:
        m = re.match(r"^(\.[\w.$]+)\s", line) or re.match(r"^(\.[\w.$]+)$", line)
        if m:
            output_section = m.group(1)
            pending = None
            continue
        if output_section is None:
            continue
        m = re.match(r"^ (\S+)\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+(\S.*)$", line)
        if m and not m.group(1).startswith("*"):
            out.append((output_section, m.group(1), int(m.group(3), 16), m.group(4).strip()))
            pending = None
            continue
        m = re.match(r"^ (\.\S+)$", line)
        if m:
            pending = m.group(1)
            continue
        m = re.match(r"^\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+(\S.*)$", line)
        if m and pending:
            out.append((output_section, pending, int(m.group(2), 16), m.group(3).strip()))
            pending = None
            continue
        pending = None
    return out


def measure(map_path, exe_path):
    with open(map_path, errors="replace") as f:
        sections = read_map(f.read())
    table = {p: {"code": 0, "data": 0, "unwind": 0} for p in PARTS}
    for output_section, name, size, path in sections:
        if output_section == ".idata":
            table["import tables"]["data"] += size
        elif output_section == ".rsrc":
            table["resources"]["data"] += size
        elif output_section in COLUMNS:
            part = part_of(path)
            # Members of the standard library's templates (std::string,
            # std::vector, std::unique_ptr...) that the loader's own objects
            # instantiate.
            if part.startswith("the loader's own") and re.search(r"\$_Z(N|NK)?St", name):
                part = STD_IN_OWN
            # Import thunks (a jump through the import table) are import code.
            if re.search(r"\(lib\w+s\d+\.o\)$|\(lib\w+_defs\d+\.o\)$", path):
                part = "import tables"
            table[part][COLUMNS[output_section]] += size
    file_size = os.path.getsize(exe_path)
    counted = sum(sum(v.values()) for v in table.values())
    table["headers, relocations and section padding"]["data"] += file_size - counted
    return file_size, table


def is_own(part):
    return part.startswith("the loader's own") or part == STD_IN_OWN


def markdown(file_size, table):
    lines = ["| part | code | data | unwind tables | total |", "|---|---|---|---|---|"]
    own = {"code": 0, "data": 0, "unwind": 0}
    for part in PARTS:
        v = table[part]
        total = v["code"] + v["data"] + v["unwind"]
        if is_own(part):
            for k in own:
                own[k] += v[k]
        if total == 0:
            continue
        lines.append("| %s | %s | %s | %s | %s |" % (part, format(v["code"], ","),
                                                     format(v["data"], ","),
                                                     format(v["unwind"], ","),
                                                     format(total, ",")))
    own_total = sum(own.values())
    lines.append("| **the loader's own code, in all** | %s | %s | %s | **%s** |"
                 % (format(own["code"], ","), format(own["data"], ","),
                    format(own["unwind"], ","), format(own_total, ",")))
    lines.append("| **the file** | | | | **%s** |" % format(file_size, ","))
    return "\n".join(lines)


# Library objects the loader must never need: the heap's operator new, the
# string and its exception helpers, the containers' throw helpers.
FORBIDDEN = ("new_op.o", "new_opv.o", "new_opnt.o", "new_opvnt.o", "string-inst.o",
             "functexcept.o", "cow-string-inst.o")


def check(map_path, exe_path, budget):
    """The loader links nothing of the heap or the string library, and fits."""
    with open(map_path, errors="replace") as f:
        text = f.read()
    problems = ["links %s" % name for name in FORBIDDEN if "(%s)" % name in text]
    problems += ["defines or uses %s" % symbol for symbol in ("_Znwy", "_Znay")
                 if re.search(r"\b%s\b" % symbol, text)]
    size = os.path.getsize(exe_path)
    if budget and size > budget:
        problems.append("is %d bytes, more than %d" % (size, budget))
    for problem in problems:
        print("loader.exe %s" % problem)
    if not problems:
        print("loader.exe: %d bytes, no heap or string library linked" % size)
    return 1 if problems else 0


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("map")
    ap.add_argument("exe")
    ap.add_argument("--json", action="store_true")
    ap.add_argument("--check", action="store_true")
    ap.add_argument("--budget", type=int, default=0)
    a = ap.parse_args()
    if a.check:
        sys.exit(check(a.map, a.exe, a.budget))
    file_size, table = measure(a.map, a.exe)
    if a.json:
        json.dump({"file": file_size, "parts": table}, sys.stdout, indent=1)
        print()
    else:
        print(markdown(file_size, table))


if __name__ == "__main__":
    main()
