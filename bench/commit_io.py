#!/usr/bin/env python3
"""Time the disk writes of orvi's commits on their own, without the engine.

    python bench/commit_io.py --pages 740 --commits 1000 --region-pages 23000

Each simulated commit does what a file commit of `--pages` dirty pages does
to the disk: the log (one entry of 4117 bytes per page plus a 21-byte commit
entry) in one write at offset 4096, flush; the header page, flush; the pages
at random distinct places in a data region of `--region-pages` pages after
the log area, sorted and written one contiguous run per call, flush; the
header again, flush. The bytes are random, so nothing is cheaper than real
page images. The printed total is what the disk alone costs for a load that
makes that many commits of that size; the split shows where it goes.
"""

from __future__ import annotations

import argparse
import os
import random
import tempfile
import time

PAGE = 4096
LOG_AT = PAGE
LOG_AREA = 4 * 1024 * 1024
DATA_AT = LOG_AT + LOG_AREA


def runs(pages: list[int]) -> list[tuple[int, int]]:
    """(first page, count) for each contiguous run of sorted page numbers."""
    out: list[tuple[int, int]] = []
    for p in pages:
        if out and out[-1][0] + out[-1][1] == p:
            out[-1] = (out[-1][0], out[-1][1] + 1)
        else:
            out.append((p, 1))
    return out


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--pages", type=int, required=True, help="dirty pages per commit")
    ap.add_argument("--commits", type=int, default=200)
    ap.add_argument("--region-pages", type=int, required=True,
                    help="size of the data region the pages go home to")
    ap.add_argument("--dir", default=tempfile.gettempdir())
    ap.add_argument("--seed", type=int, default=1)
    args = ap.parse_args(argv)

    rng = random.Random(args.seed)
    log_len = args.pages * (PAGE + 21) + 21
    if log_len > LOG_AREA:
        ap.error(f"{args.pages} pages need {log_len} bytes of log, more than the 4 MiB area")
    log = os.urandom(log_len)
    page = os.urandom(PAGE)
    region = os.urandom(args.region_pages * PAGE)
    path = os.path.join(args.dir, f"commit-io-{os.getpid()}.bin")
    fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_TRUNC, 0o600)
    spent = {"log": 0.0, "header": 0.0, "home": 0.0, "clear": 0.0}
    try:
        os.pwrite(fd, page, 0)
        os.pwrite(fd, bytes(LOG_AREA), LOG_AT)
        os.pwrite(fd, region, DATA_AT)
        os.fsync(fd)
        clock = time.perf_counter
        for _ in range(args.commits):
            home = runs(sorted(rng.sample(range(args.region_pages), args.pages)))
            t0 = clock()
            os.pwrite(fd, log, LOG_AT)
            os.fdatasync(fd)
            t1 = clock()
            os.pwrite(fd, page, 0)
            os.fdatasync(fd)
            t2 = clock()
            for first, count in home:
                os.pwrite(fd, region[:count * PAGE], DATA_AT + first * PAGE)
            os.fdatasync(fd)
            t3 = clock()
            os.pwrite(fd, page, 0)
            os.fdatasync(fd)
            t4 = clock()
            spent["log"] += t1 - t0
            spent["header"] += t2 - t1
            spent["home"] += t3 - t2
            spent["clear"] += t4 - t3
    finally:
        os.close(fd)
        os.remove(path)

    total = sum(spent.values())
    mib = args.pages * PAGE / 2**20
    print(f"{args.commits} commits of {args.pages} pages ({mib:.2f} MiB of page images, "
          f"written twice) into a {args.region_pages}-page region; load average "
          f"{os.getloadavg()[0]:.2f}")
    print(f"total {total:.2f} s, {total / args.commits * 1e3:.2f} ms per commit")
    for step, s in spent.items():
        print(f"  {step:6s} {s:7.2f} s  {s / args.commits * 1e3:7.2f} ms per commit")
    print(f"log rate  {mib * args.commits / spent['log']:.0f} MiB/s (one write and a flush)")
    print(f"home rate {mib * args.commits / spent['home']:.0f} MiB/s (sorted runs and a flush)")
    print(f"header write and flush {spent['header'] / args.commits * 1e6:.0f} µs")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
