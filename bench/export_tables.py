#!/usr/bin/env python3
"""Export time and peak memory of `orvi export` per format, on one file.

    python bench/profile_orvi.py --size medium --row load    # builds the file once
    python bench/export_tables.py --size medium              # parquet, jsonl, csv

Each export runs in its own process (`python -m orvi_tools export ...`);
the figures are its wall time and its peak resident set size as the kernel
reports it for that child (os.wait4), next to the peak of a process that
only imports what the Parquet export loads (orvi, pyarrow, and pandas,
which pyarrow loads on its first array conversion when it is installed),
with the load average before and after.
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def child(args: list[str]) -> tuple[float, int, int]:
    """(wall seconds, peak RSS in MiB, exit status) of one child process."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [os.path.join(REPO, "python")] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep)
                                          if p])
    start = time.perf_counter()
    process = subprocess.Popen([sys.executable, *args], env=env, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(process.pid, 0)
    process.returncode = os.waitstatus_to_exitcode(status)
    return time.perf_counter() - start, usage.ru_maxrss // 1024, process.returncode


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--size", default="medium")
    ap.add_argument("--workdir", default=os.path.join(tempfile.gettempdir(), "orvi-bench"))
    ap.add_argument("--file", help="database to export (default: the profile_orvi.py file)")
    ap.add_argument("--formats", default="parquet,jsonl,csv")
    args = ap.parse_args(argv)
    path = args.file or os.path.join(args.workdir, f"profile-{args.size}", "graph.orvi")
    if not os.path.exists(path):
        sys.exit(f"{path} is missing: run bench/profile_orvi.py --size {args.size} --row load")
    load_before = os.getloadavg()
    _, base, _ = child(["-c", "import orvi, pyarrow, pyarrow.parquet\n"
                              "try:\n    import pandas\nexcept ImportError:\n    pass"])
    print(f"export of {path} ({os.path.getsize(path) / 2**20:.0f} MiB); a process that only "
          f"imports orvi, pyarrow and pandas peaks at {base} MiB")
    with tempfile.TemporaryDirectory(dir=args.workdir) as tmp:
        for fmt in args.formats.split(","):
            out = os.path.join(tmp, f"out-{fmt}")
            seconds, peak, status = child(["-m", "orvi_tools", "export", path, "--format", fmt,
                                           "--output", out, "--no-progress"])
            size = (sum(os.path.getsize(os.path.join(out, f)) for f in os.listdir(out))
                    if os.path.isdir(out) else os.path.getsize(out)) if status == 0 else 0
            print(f"  {fmt:<8} {seconds:6.2f} s  peak RSS {peak:5d} MiB  output "
                  f"{size / 2**20:6.1f} MiB" + ("" if status == 0 else f"  (exit {status})"))
            shutil.rmtree(out, ignore_errors=True)
    load_after = os.getloadavg()
    print("  load average before {:.2f} {:.2f} {:.2f}, after {:.2f} {:.2f} {:.2f}".format(
        *load_before, *load_after))


if __name__ == "__main__":
    main()
