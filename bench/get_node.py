#!/usr/bin/env python3
"""One node lookup by id: orvi's db.get_node(id) against networkx's G.nodes[id].

    PYTHONPATH=build/rel python bench/get_node.py [--nodes 100000]

Both hold the same nodes (one label and three properties each); the
figure is the best of --rounds timeit runs over every id, each lookup's
result dropped at once, in microseconds per lookup, with the load average
before and after (lookups are short, so a busy machine shows in them).
The ids go in a shuffled order, where both wait for memory on most
lookups, and in order, where what is left is the work of the call.
"""

from __future__ import annotations

import argparse
import os
import random
import tempfile
import timeit


def load() -> str:
    with open("/proc/loadavg") as f:
        return f.read().split()[0]


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--nodes", type=int, default=100_000)
    ap.add_argument("--rounds", type=int, default=5)
    args = ap.parse_args()
    import orvi

    in_order = list(range(1, args.nodes + 1))
    ids = list(in_order)
    random.Random(1).shuffle(ids)
    print(f"# orvi from {os.path.dirname(orvi.__file__) or '.'}; load average {load()}")
    with tempfile.TemporaryDirectory() as tmp:
        db = orvi.open(os.path.join(tmp, "g.orvi"))
        for i in range(args.nodes):
            db.add_node(["Person"], name=f"person{i}", age=i % 90, score=i * 0.5)
            if i % 10_000 == 9_999:
                db.commit()
        db.commit()
        def orvi_lookups(order):
            get = db.get_node
            for i in order:
                get(i)

        lookups = {"orvi db.get_node(id)": orvi_lookups}
        try:
            import networkx as nx
        except ImportError:
            nx = None
        if nx is not None:
            g = nx.DiGraph()
            for i in range(1, args.nodes + 1):
                g.add_node(i, labels=["Person"], name=f"person{i}", age=i % 90,
                           score=i * 0.5)
            def nx_lookups(order):
                nodes = g.nodes
                for i in order:
                    nodes[i]

            lookups["networkx G.nodes[id]"] = nx_lookups

        # Rounds alternate between the two, so that a burst of load from
        # elsewhere falls on both; the best round of each is kept.
        orders = {"shuffled": ids, "in order": in_order}
        figures = {(name, o): float("inf") for name in lookups for o in orders}
        for _ in range(args.rounds):
            for (name, o) in figures:
                seconds = timeit.timeit(lambda: lookups[name](orders[o]), number=1)
                figures[name, o] = min(figures[name, o], seconds)
        db.close()
    for (name, o), seconds in figures.items():
        print(f"{name:24s} {o:8s} {seconds / len(ids) * 1e6:6.3f} µs per lookup")
    print(f"# load average after: {load()}")


if __name__ == "__main__":
    main()
