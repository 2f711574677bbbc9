#!/usr/bin/env python3
"""Time and peak memory of GraphDB.degree_stats() and edges_between(), on one file.

    python bench/profile_orvi.py --size medium --row load    # builds the file once
    python bench/edge_summaries.py --size medium

Each call runs in its own process: the figures are its wall time and how
much the call raised the process's peak resident set size (the peak before
the call, after opening the database, is printed beside it), with the load
average before and after. edges_between is asked for the first
`--members` node ids.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile

CHILD = """
import resource, sys, time
import orvi
def peak():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss // 1024
with orvi.open(sys.argv[1]) as db:
    before = peak()
    start = time.perf_counter()
    if sys.argv[2] == "degree_stats":
        result = db.degree_stats()
    else:
        result = db.edges_between(range(1, int(sys.argv[3]) + 1))
    seconds = time.perf_counter() - start
    print(f"{seconds:.3f} {before} {peak()} {len(result)}")
"""


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--size", default="medium")
    ap.add_argument("--workdir", default=os.path.join(tempfile.gettempdir(), "orvi-bench"))
    ap.add_argument("--file", help="database to read (default: the profile_orvi.py file)")
    ap.add_argument("--members", type=int, default=2)
    args = ap.parse_args(argv)
    path = args.file or os.path.join(args.workdir, f"profile-{args.size}", "graph.orvi")
    if not os.path.exists(path):
        sys.exit(f"{path} is missing: run bench/profile_orvi.py --size {args.size} --row load")
    load_before = os.getloadavg()
    print(f"{path} ({os.path.getsize(path) / 2**20:.0f} MiB)")
    for call in ("degree_stats", "edges_between"):
        out = subprocess.run([sys.executable, "-c", CHILD, path, call, str(args.members)],
                             capture_output=True, text=True, check=True).stdout.split()
        seconds, before, after, size = float(out[0]), int(out[1]), int(out[2]), int(out[3])
        print(f"  {call:<14} {seconds:7.3f} s  peak RSS {before:5d} -> {after:5d} MiB "
              f"(+{after - before} MiB), {size} entries")
    print("  load average before {:.2f} {:.2f} {:.2f}, after {:.2f} {:.2f} {:.2f}".format(
        *load_before, *os.getloadavg()))


if __name__ == "__main__":
    main()
