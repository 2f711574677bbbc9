#!/usr/bin/env python3
"""Run one benchmark row of orvi on its own, for a profiler to watch.

    python bench/profile_orvi.py --size medium --row load      # builds the file
    perf record -g -o perf.data -- python bench/profile_orvi.py --size medium --row get_node
    py-spy record --native -o prof.svg -- python bench/profile_orvi.py --size medium --row bfs3

`--row load` creates <workdir>/profile-<size>/graph.orvi with the bench's
load loop; the other rows reuse that file (run `load` first) and repeat
their workload `--repeat` times so that the row dominates the profile.
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")  # see peer_main.py
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import graphgen as gg  # noqa: E402
import peer_main  # noqa: E402
import peers  # noqa: E402

ROWS = ["load", "open", "get_node", "out_edges", "label_scan", "bfs3", "shortest_path",
        "shortest_path_far", "shortest_path_unreachable", "commit"]
PAIRS = {"shortest_path": "sp_pairs", "shortest_path_far": "sp_far_pairs",
         "shortest_path_unreachable": "sp_unreachable_pairs"}


def io_written() -> int:
    """Bytes this process has passed to write calls so far (Linux)."""
    try:
        with open("/proc/self/io") as f:
            return next(int(line.split()[1]) for line in f if line.startswith("wchar:"))
    except (OSError, StopIteration):
        return 0


def main(argv=None):
    ap = argparse.ArgumentParser()
    ap.add_argument("--size", default="medium", choices=list(gg.SIZES))
    ap.add_argument("--row", required=True, choices=ROWS)
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--batch", type=int, default=1000)
    ap.add_argument("--workdir", default=os.path.join(tempfile.gettempdir(), "orvi-bench"))
    args = ap.parse_args(argv)

    npz, wl_path = gg.ensure_cached(args.workdir, args.size)
    g, wl = gg.load_cached(npz, wl_path)
    dbdir = os.path.join(args.workdir, f"profile-{args.size}")
    os.makedirs(dbdir, exist_ok=True)
    peer = peers.OrviPeer(dbdir)
    t0 = time.perf_counter()
    if args.row == "load":
        peer.create(g)
        commits = [0]
        commit = peer.commit

        def counted_commit():
            commit()
            commits[0] += 1

        peer.commit = counted_commit
        written = io_written()
        info = peer_main.generic_load(peer, g, args.batch)
        peer.close()
        written = io_written() - written
        print(info)
        # Every commit writes each dirty page twice (log entry and home) and
        # the header page twice, so the bytes give the mean dirty pages.
        per = written / max(commits[0], 1)
        print(f"{commits[0]} commits, {written / 2**20:.0f} MiB written, "
              f"{per / 2**20:.2f} MiB per commit, about "
              f"{per / (2 * 4096 + 21) - 1:.0f} dirty pages per commit")
    elif args.row == "open":
        for _ in range(args.repeat):
            peer.open()
            peer.close()
    else:
        peer.open()
        for _ in range(args.repeat):
            if args.row == "get_node":
                for i in wl["get_node_ids"]:
                    peer.get_node(i)
            elif args.row == "out_edges":
                for i in wl["out_edges_ids"]:
                    peer.out_edges(i)
            elif args.row == "label_scan":
                peer.label_scan(wl["scan_label"])
            elif args.row == "bfs3":
                for s in wl["bfs_starts"]:
                    peer.bfs(s, wl["bfs_depth"])
            elif args.row in PAIRS:
                for s, t in wl[PAIRS[args.row]]:
                    peer.shortest_path(s, t)
            elif args.row == "commit":
                for k in range(20):
                    peer.commit_one(k)
        peer.close()
    print(f"{args.row}: {time.perf_counter() - t0:.3f} s")


if __name__ == "__main__":
    main()
