#!/usr/bin/env python3
"""Readers beside the writer: what a reader call costs, and what readers
cost a writer.

    python bench/readers.py --nodes 20000 --calls 20000

1. get_node, out_edges and bfs (depth 2) through the writer's own handle,
   through a Reader call by call (each call takes and drops its locks), and
   through a Reader inside one snapshot() block; microseconds per call.
   Also nodes().label("N").limit(10).fetch(): the reader keeps its label
   index across calls, so it costs about what the writer's query costs.
2. Single-record commit latency of the writer with no readers, and with two
   reader processes calling get_node in a loop.
3. Reader get_node calls per second in another process while the writer is
   idle, and while it commits single records continuously.
The load average is printed before and after: figures count only on a
quiet machine.
"""

from __future__ import annotations

import argparse
import multiprocessing as mp
import os
import random
import tempfile
import time

import orvi
import orvi_tools


def build(path: str, nodes: int) -> None:
    rng = random.Random(1)
    with orvi.open(path) as db:
        for start in range(0, nodes, 5000):
            with db.transaction():
                for i in range(start, min(nodes, start + 5000)):
                    db.add_node(["N"], i=i)
        for start in range(0, nodes * 3, 4000):
            with db.transaction():
                for _ in range(4000):
                    db.add_edge(rng.randint(1, nodes), "e", rng.randint(1, nodes))


def per_call(fn, ids) -> float:
    start = time.perf_counter()
    for i in ids:
        fn(i)
    return (time.perf_counter() - start) / len(ids) * 1e6


def reader_loop(path: str, nodes: int, stop, counter) -> None:
    reader = orvi_tools.open_reader(path)
    rng = random.Random(os.getpid())
    n = 0
    while not stop.is_set():
        reader.get_node(rng.randint(1, nodes))
        n += 1
    counter.value = n


def commit_latency(db, commits: int) -> float:
    start = time.perf_counter()
    for i in range(commits):
        db.add_node(["C"], i=i)
        db.commit()
    return (time.perf_counter() - start) / commits * 1e3


def reader_rate(path: str, nodes: int, seconds: float, writer=None) -> float:
    stop = mp.Event()
    counter = mp.Value("q", 0)
    proc = mp.Process(target=reader_loop, args=(path, nodes, stop, counter))
    proc.start()
    time.sleep(0.3)
    end = time.perf_counter() + seconds
    while time.perf_counter() < end:
        if writer is not None:
            writer.add_node(["C"])
            writer.commit()
        else:
            time.sleep(0.01)
    stop.set()
    proc.join()
    return counter.value / (seconds + 0.3)


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--nodes", type=int, default=20000)
    ap.add_argument("--calls", type=int, default=20000)
    ap.add_argument("--commits", type=int, default=200)
    ap.add_argument("--seconds", type=float, default=3.0)
    args = ap.parse_args()
    print("loadavg before:", open("/proc/loadavg").read().split()[:3])
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "bench.orvi")
        build(path, args.nodes)
        rng = random.Random(2)
        ids = [rng.randint(1, args.nodes) for _ in range(args.calls)]
        db = orvi.open(path)
        reader = orvi_tools.open_reader(path)
        print(f"{'call':<10}{'writer us':>11}{'reader us':>11}{'snapshot us':>13}")
        for name, depth in (("get_node", None), ("out_edges", None), ("bfs", 2)):
            calls = ids if depth is None else ids[: max(1, len(ids) // 20)]

            def bind(obj, name=name, depth=depth):
                method = getattr(obj, name)
                return (lambda i: method(i, depth)) if depth else method

            w = per_call(bind(db), calls)
            r = per_call(bind(reader), calls)
            with reader.snapshot():
                s = per_call(bind(reader), calls)
            print(f"{name:<10}{w:>11.2f}{r:>11.2f}{s:>13.2f}")
        queries = [obj.nodes().label("N").limit(10) for obj in (db, reader)]
        few = ids[: max(1, len(ids) // 20)]
        w, r = (per_call(lambda _i, q=q: q.fetch(), few) for q in queries)
        with reader.snapshot():
            s = per_call(lambda _i: queries[1].fetch(), few)
        print(f"{'label q':<10}{w:>11.2f}{r:>11.2f}{s:>13.2f}")

        alone = commit_latency(db, args.commits)
        stop = mp.Event()
        counters = [mp.Value("q", 0) for _ in range(2)]
        procs = [mp.Process(target=reader_loop, args=(path, args.nodes, stop, c))
                 for c in counters]
        for p in procs:
            p.start()
        time.sleep(0.3)
        beside = commit_latency(db, args.commits)
        stop.set()
        for p in procs:
            p.join()
        print(f"commit ms: no readers {alone:.2f}, two looping readers {beside:.2f}")

        idle = reader_rate(path, args.nodes, args.seconds)
        busy = reader_rate(path, args.nodes, args.seconds, writer=db)
        print(f"reader get_node/s: writer idle {idle:,.0f}, "
              f"writer committing {busy:,.0f}")
        reader.close()
        db.close()
    print("loadavg after:", open("/proc/loadavg").read().split()[:3])


if __name__ == "__main__":
    main()
