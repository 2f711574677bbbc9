#!/usr/bin/env python3
"""Bulk loading: records added by hand with a commit every N records,
against ``orvi_tools.BatchWriter``, on the same graph in one process.

    python bench/bulk_load.py                  # 20k nodes, 60k edges, 5 rounds
    python bench/bulk_load.py --nodes 100000 --edges 500000 --rounds 3

The graph comes from bench/graphgen.py (power-law endpoints, 2 labels and 3
properties per node, 1 property per edge), cut to the requested edge count.
The two ways run alternately, each into a fresh file, several rounds, so
that a machine shared with other work slows both alike; the figures are
per-round times, their medians and the ratio hand / BatchWriter (above 1
means BatchWriter is faster), with the load average before and after.
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import tempfile
import time

import orvi

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(1, os.path.join(os.path.dirname(HERE), "python"))

import graphgen as gg  # noqa: E402
from orvi_tools import BatchWriter  # noqa: E402


def records(nodes: int, edges: int):
    g = gg.make_graph(nodes)
    node_rows = [(g.node_labels(i), g.node_props(i)) for i in range(nodes)]
    need = min(edges, g.m)
    edge_rows = [(int(g.src[j]) - 1, gg.EDGE_LABELS[g.elabel[j]], int(g.dst[j]) - 1,
                  {"w": float(g.w[j])}) for j in range(need)]
    return node_rows, edge_rows


def by_hand(path, node_rows, edge_rows, every):
    with orvi.open(path) as db:
        ids = []
        count = 0
        for labels, props in node_rows:
            ids.append(db.add_node(labels, **props).id)
            count += 1
            if count % every == 0:
                db.commit()
        for source, label, target, props in edge_rows:
            db.add_edge(ids[source], label, ids[target], **props)
            count += 1
            if count % every == 0:
                db.commit()
        db.commit()
        return count // every + 1


def batch_writer(path, node_rows, edge_rows, every):
    with orvi.open(path) as db:
        with BatchWriter(db) as writer:
            for key, (labels, props) in enumerate(node_rows):
                writer.add_node(key, labels, props)
            for source, label, target, props in edge_rows:
                writer.add_edge(source, label, target, props)
        return writer.commits


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--nodes", type=int, default=20_000)
    ap.add_argument("--edges", type=int, default=60_000)
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--every", type=int, default=1000, help="records per commit by hand")
    ap.add_argument("--workdir", default=None)
    args = ap.parse_args(argv)
    node_rows, edge_rows = records(args.nodes, args.edges)
    ways = [("by hand", by_hand), ("BatchWriter", batch_writer)]
    times = {name: [] for name, _ in ways}
    commits = {}
    load_before = os.getloadavg()
    with tempfile.TemporaryDirectory(dir=args.workdir) as tmp:
        for round_number in range(args.rounds):
            order = ways if round_number % 2 == 0 else ways[::-1]
            for name, load in order:
                path = os.path.join(tmp, f"{round_number}-{len(times[name])}.orvi")
                start = time.perf_counter()
                commits[name] = load(path, node_rows, edge_rows, args.every)
                times[name].append(time.perf_counter() - start)
                os.remove(path)
    load_after = os.getloadavg()
    total = len(node_rows) + len(edge_rows)
    print(f"bulk load of {len(node_rows)} nodes and {len(edge_rows)} edges, "
          f"{args.rounds} alternating rounds")
    for name, _ in ways:
        median = statistics.median(times[name])
        rounds = " ".join(f"{t:.2f}" for t in times[name])
        print(f"  {name:<12} median {median:6.2f} s  {total / median:9.0f} records/s  "
              f"{commits[name]:4d} commits   rounds: {rounds}")
    ratios = [h / b for h, b in zip(times["by hand"], times["BatchWriter"])]
    print(f"  by hand / BatchWriter: median {statistics.median(ratios):.2f} "
          f"(per round: {' '.join(f'{r:.2f}' for r in ratios)})")
    print("  load average before {:.2f} {:.2f} {:.2f}, after {:.2f} {:.2f} {:.2f}".format(
        *load_before, *load_after))


if __name__ == "__main__":
    main()
