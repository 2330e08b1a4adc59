"""The stripped loader.exe against NSIS's stubs, and where its bytes go."""

import os
import shutil

from .common import ROOT, run


def stub_sizes(win, work):
    stripped = os.path.join(work, "loader-stripped.exe")
    strip = shutil.which("x86_64-w64-mingw32-strip")
    if not strip:
        return None
    run([strip, "-o", stripped, win["loader"]])
    # Where the bytes go, from the linker's map beside the program.
    parts = None
    folder = os.path.dirname(win["loader"])
    map_path = os.path.join(folder, "loader.map")
    if os.path.isfile(map_path):
        parts = link_map_sizes().measure(map_path, stripped)
        layers_map = os.path.join(folder, "loader_layers.map")
        layers_exe = os.path.join(folder, "loader_layers.exe")
        if os.path.isfile(layers_map) and os.path.isfile(layers_exe):
            parts = parts + link_map_sizes().measure(layers_map, layers_exe)
    stubs = {}
    folder = "/usr/share/nsis/Stubs"
    if os.path.isdir(folder):
        for n in sorted(os.listdir(folder)):
            if n != "uninst":
                stubs[n] = os.path.getsize(os.path.join(folder, n))
    return os.path.getsize(stripped), stubs, parts


def link_map_sizes():
    """scripts/link-map-sizes.py, loaded as a module."""
    import importlib.util
    path = os.path.join(ROOT, "scripts", "link-map-sizes.py")
    module_spec = importlib.util.spec_from_file_location("link_map_sizes", path)
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


STUB_NOTES = """What each part is: the loader's own code with zlib's callback inflater
(`inflateBack`, the fast decoding loop and the table builder, compiled from
Debian's zlib source together with the loader; the zlib wrapper and its
checksum are read by the loader itself), their unwind tables (`.pdata` and
`.xdata`) and constant data, optimized at link time as one program; what is
left of the C++ runtime; the import tables; the resources (picture, icon,
manifest, version); and what the file format adds (headers, base
relocations, each section padded to 512 bytes).

How the file got this small: the loader's texts are fixed-capacity buffers
(`base/text.h`), so no `std::string`, `std::vector` or `operator new` is
linked in. `loader.exe` is compiled without C++ exceptions: every failure
goes through one function in `base/` straight to the run's handler
(`base/failure.h`), which closes the files unwinding would have closed,
removes what a deployment run made, reports and ends the process; the
unwinder, the personality routine and exception objects are not linked.
zlib's inflate is compiled from source with `-Os`, its fixed code tables
built at first use. The link is optimized at link time (the default linker
script keeps every `.pdata` section, and each refers to its function, so
`--gc-sections` alone drops almost nothing; link-time optimization drops
what is never called before any section exists). The Windows build leaves
out the library's bounds-check texts, per-function sections and the type
information nothing asks for, and aligns data as the ABI asks rather than
to 32 bytes; the native builds, which run the unit tests and the fuzz
targets, keep the bounds checks and exceptions. The manifest is compacted
at build time. Stand-ins in `loader/runtime_win32.cpp` replace the
library's throw helpers (whose object carried the reference-counted string)
by calls of the run's handler. `setup.1`'s SHA-256 is the system's
(CryptoAPI). The C library's start-up code is not linked: the process
starts in `LoaderStartup` (`loader/main_win32.cpp`)."""


def stub_parts(measured):
    """The measured tables and the largest parts, in words."""
    module = link_map_sizes()
    file_size, parts = measured[0], measured[1]
    lines = ["Where the bytes go, measured from the link map of this build "
             "(`scripts/link-map-sizes.py build/windows/loader/loader.map "
             "build/windows/loader/loader.exe`):", "", module.markdown(file_size, parts), ""]
    totals = sorted(((sum(v.values()), k) for k, v in parts.items() if sum(v.values())),
                    reverse=True)
    own = sum(sum(v.values()) for k, v in parts.items() if module.is_own(k))
    others = [(t, k) for t, k in totals if not module.is_own(k)][:3]
    lines.append("The loader's own code takes %s bytes (%.0f%% of the file); the largest other "
                 "parts are %s." % (format(own, ","), 100.0 * own / file_size,
                                    ", ".join("%s (%s bytes)" % (k, format(t, ","))
                                              for t, k in others)))
    if len(measured) == 4:
        layers_size, layers = measured[2], measured[3]
        own_layers = {k: v for k, v in layers.items() if module.is_own(k)}
        lines += ["", "The loader's own code layer by layer, from the same objects linked "
                  "without link-time optimization (`loader_layers.exe`, %s bytes; its map "
                  "`loader_layers.map`):" % format(layers_size, ","), "",
                  "| layer | code | data | unwind tables | total |", "|---|---|---|---|---|"]
        for k in module.PARTS:
            v = own_layers.get(k)
            if v and sum(v.values()):
                lines.append("| %s | %s | %s | %s | %s |" % (
                    k.replace("the loader's own code: ", ""), format(v["code"], ","),
                    format(v["data"], ","), format(v["unwind"], ","),
                    format(sum(v.values()), ",")))
        lines.append("")
        zlib = sum(layers.get("zlib inflate", {}).values())
        lines.append("Link-time optimization takes the loader's own code with zlib's inflate "
                     "from %s (%s and %s) to %s bytes." % (
                         format(sum(sum(v.values()) for v in own_layers.values()) + zlib, ","),
                         format(sum(sum(v.values()) for v in own_layers.values()), ","),
                         format(zlib, ","), format(own, ",")))
    return lines
