"""The native and Windows builds the benchmark measures."""

import os

from .common import ROOT, log, run


def build_native(build, no_build):
    if not no_build:
        log("building the native tools in", build)
        run(["cmake", "--preset", "native", "-B", build], cwd=ROOT)
        run(["cmake", "--build", build, "-j2", "--target",
             "loader", "probe_installer", "kitpack", "extract_bench"], cwd=ROOT)
    tools = {
        "loader": os.path.join(build, "loader", "loader"),
        "probe": os.path.join(build, "tests", "e2e", "probe_installer"),
        "kitpack": os.path.join(build, "kitpack", "kitpack"),
        "extract_bench": os.path.join(build, "bench", "extract_bench"),
    }
    for name, path in tools.items():
        if not os.access(path, os.X_OK):
            raise SystemExit("bench: %s is missing (%s); build the native preset" % (name, path))
    return tools


def build_windows(build, no_build):
    if not no_build:
        log("building the Windows loader in", build)
        run(["cmake", "--preset", "windows", "-B", build], cwd=ROOT)
        run(["cmake", "--build", build, "-j2", "--target",
             "loader", "loader_layers", "probe_installer", "wintime"], cwd=ROOT)
    tools = {
        "loader": os.path.join(build, "loader", "loader.exe"),
        "probe": os.path.join(build, "tests", "e2e", "probe_installer.exe"),
        "wintime": os.path.join(build, "bench", "wintime.exe"),
    }
    for name, path in tools.items():
        if not os.path.isfile(path):
            raise SystemExit("bench: %s is missing (%s); build the windows preset" % (name, path))
    return tools
