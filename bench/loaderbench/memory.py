"""The loader's peak memory for the mixed set and for four times as much."""

import os
import shutil

from .payloads import make_kit
from .timing import Tool, measure


def peak_memory(native, work, mib, mixed, smoke):
    """(label, entries, peak RSS in KiB) at two sizes, each in a fresh loader
    process; the first from the mixed set's timed runs."""
    memory = [("%d MiB mixed" % mib, 11, max(mixed["tools"][0].rss))]
    if smoke:
        return memory
    big = os.path.join(work, "payload-1g")
    os.makedirs(big)
    shutil.copy(native["probe"], os.path.join(big, "install"))
    src = os.path.join(work, "payload-mixed")
    for copy in range(4):
        for n in sorted(os.listdir(src)):
            if n != "install":
                os.link(os.path.join(src, n), os.path.join(big, "%d-%s" % (copy, n)))
    kit = os.path.join(work, "kit-1g")
    make_kit(native["kitpack"], native["loader"], big, "install", kit, level=1)
    t = Tool("loader", "", [kit], os.path.join(work, "out-1g"),
             env={"TMPDIR": os.path.join(work, "out-1g")})
    measure([t], 1, warmup=0)
    memory.append(("%d MiB mixed (4 × the set above, level 1)" % (4 * mib), 41, max(t.rss)))
    shutil.rmtree(big)
    os.remove(kit)
    return memory
