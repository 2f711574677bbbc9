"""orvi_tools.algorithms against networkx on the same graph.

    PYTHONPATH=build/release:python python bench/algorithms.py
        the full table: 100k nodes / 500k edges, then 1M nodes / 5M edges
    PYTHONPATH=build/release:python python bench/algorithms.py --nodes 100000
    PYTHONPATH=build/release:python python bench/algorithms.py --nodes 1000000
        one size (at 1M about 8 GiB of memory, nearly all networkx's, and
        some 15 minutes on a busy 2-core machine)

The graph is graphgen's (power-law in- and out-degrees, 5 edges per node,
self-loops and parallel edges kept, a label and a property on every edge,
two labels and three properties on every node), stored once in an orvi file
under --workdir, with a second file holding its DAG (every edge turned to
run from the smaller id to the larger, self-loops dropped) for the
topological sort. The files are written through the import's builder the
first time and kept in --workdir (outside the repository) for later runs.
Rows:

  pagerank      pagerank(db) / networkx.pagerank(G, weight=None)
  wcc           weakly_connected_components / nx.weakly_connected_components
  topo (DAG)    topological_sort / nx.topological_sort
  bfs in d3     bfs(db, hub, 3, direction="in") from the 20 nodes with the
                most in-edges / nx.bfs_edges(G, hub, reverse=True,
                depth_limit=3), all 20 per row

networkx is timed on its MultiDiGraph already in memory; orvi from a file
opened before the clock starts (the file is read through the operating
system's page cache, warmed by the first run). Times are the best of
--repeat runs. Answers are compared once (pagerank within 1e-6 per node,
the same components, a valid order, the same number and id sum of the
nodes each bfs reaches).

Memory: networkx's figure is its graph alone, traced with tracemalloc while
it is built. orvi's is the peak anonymous resident memory (RssAnon, sampled
every millisecond from /proc by the parent) of a child process that runs
the call, above what it held just before: the heap the call needs, leaving
out the file's pages, which the kernel maps and shares from its page cache.
"""

from __future__ import annotations

import argparse
import os
import pickle
import subprocess
import sys
import time
import tracemalloc

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import graphgen as gg  # noqa: E402

HUBS = 20
ROWS = ["pagerank", "wcc", "topo (DAG)", "bfs in d3"]


# Records handed to the builder per call.
LOAD_BATCH = 1 << 16


def load(path: str, g: gg.Graph, src: np.ndarray, dst: np.ndarray) -> None:
    """Writes the graph through the import's builder (no commit log, each
    page written once): seconds where BatchWriter takes minutes at 1M
    nodes. Node i + 1 of the graph becomes database id i + 1."""
    from orvi_tools.fileops import load_into
    tmp = path + ".loading"
    if os.path.exists(tmp):
        os.remove(tmp)

    def feed(loader, _progress) -> None:
        place = "record {}".format
        for lo in range(0, g.n, LOAD_BATCH):
            rows = range(lo, min(lo + LOAD_BATCH, g.n))
            loader.add_nodes([i + 1 for i in rows], [g.node_labels(i) for i in rows],
                             [g.node_props(i) for i in rows], place)
        for lo in range(0, len(src), LOAD_BATCH):
            hi = min(lo + LOAD_BATCH, len(src))
            loader.add_edges(src[lo:hi].tolist(),
                             [gg.EDGE_LABELS[k] for k in g.elabel[lo:hi].tolist()],
                             dst[lo:hi].tolist(), [{"w": w} for w in g.w[lo:hi].tolist()],
                             place)

    load_into(tmp, feed)
    os.replace(tmp, path)


def dag_edges(g: gg.Graph) -> tuple[np.ndarray, np.ndarray]:
    keep = g.src != g.dst
    return (np.minimum(g.src, g.dst)[keep], np.maximum(g.src, g.dst)[keep])


def hubs(g: gg.Graph) -> list[int]:
    indeg = np.bincount(g.dst, minlength=g.n + 1)
    return [int(x) for x in np.argsort(-indeg[1:], kind="stable")[:HUBS] + 1]


def nx_graph(n: int, src: np.ndarray, dst: np.ndarray):
    import networkx as nx
    G = nx.MultiDiGraph()
    G.add_nodes_from(range(1, n + 1))
    G.add_edges_from(zip(src.tolist(), dst.tolist()))
    return G


def best(fn, repeat: int):
    times, result = [], None
    for _ in range(repeat):
        result = None  # not kept alive through the next run
        t = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - t)
    return min(times), result


def measure(row: str, fn, repeat: int):
    """The best time of `fn` and its answer; the bfs row times its calls
    itself (see each)."""
    if row != "bfs in d3":
        return best(fn, repeat)
    runs = [fn() for _ in range(repeat)]
    return min(seconds for seconds, _ in runs), runs[-1][1]


def each(call, starts: list[int], digest):
    """Runs call(start) for every start, dropping each result before the
    next call; returns the summed time of the calls and their digests."""
    seconds, digests = 0.0, []
    for h in starts:
        t = time.perf_counter()
        result = call(h)
        seconds += time.perf_counter() - t
        digests.append(digest(result))
        result = None
    return seconds, digests


# ------------------------------------------------------------------ child

def child(args) -> None:
    """Runs one orvi row; prints "start" and "end" around the timed calls so
    that the parent samples memory over exactly that window."""
    import orvi
    from orvi_tools import algorithms as alg
    db = orvi.open(args.db)
    starts = [int(x) for x in args.hubs.split(",")] if args.hubs else []
    calls = {
        "pagerank": lambda: alg.pagerank(db),
        "wcc": lambda: alg.weakly_connected_components(db),
        "topo (DAG)": lambda: alg.topological_sort(db),
        "bfs in d3": lambda: each(lambda h: alg.bfs(db, h, 3, direction="in"), starts,
                                  lambda walk: (len(walk), sum(v for v, _ in walk))),
    }
    print("start", flush=True)
    sys.stdin.readline()  # the parent has its baseline
    seconds, result = measure(args.child, calls[args.child], args.repeat)
    print("end", flush=True)
    db.close()
    with open(args.out, "wb") as f:
        pickle.dump((seconds, result), f)


def rss_anon(pid: int) -> int:
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("RssAnon:"):
                return int(line.split()[1]) * 1024
    return 0


def run_child(row: str, db: str, args, hub_ids: list[int]):
    out = os.path.join(args.workdir, "result.pkl")
    cmd = [sys.executable, os.path.abspath(__file__), "--child", row, "--db", db,
           "--out", out, "--repeat", str(args.repeat), "--hubs", ",".join(map(str, hub_ids))]
    proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    assert proc.stdout.readline().strip() == "start"
    base = rss_anon(proc.pid)
    peak = base
    proc.stdin.write("go\n")
    proc.stdin.flush()
    os.set_blocking(proc.stdout.fileno(), False)
    while proc.poll() is None:
        line = proc.stdout.readline()
        if line.strip() == "end":
            break
        peak = max(peak, rss_anon(proc.pid))
        time.sleep(0.001)
    proc.wait()
    if proc.returncode:
        raise SystemExit(f"orvi child for {row} failed")
    with open(out, "rb") as f:
        seconds, result = pickle.load(f)
    return seconds, peak - base, result


# ----------------------------------------------------------------- checks

def same_answer(row: str, mine, theirs) -> bool:
    if row == "pagerank":
        return mine.keys() == theirs.keys() and all(abs(mine[k] - theirs[k]) < 1e-6 for k in theirs)
    if row == "wcc":
        return len(mine) == len(theirs) and set(map(frozenset, mine)) == set(map(frozenset, theirs))
    if row == "topo (DAG)":
        order, (src, dst) = mine, theirs
        place = np.empty(len(order) + 1, dtype=np.int64)
        place[np.array(order)] = np.arange(len(order))
        return len(order) == len(set(order)) and bool((place[src] < place[dst]).all())
    return mine == theirs


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--nodes", type=int, nargs="+", default=[100_000, 1_000_000],
                   help="graph sizes in nodes, 5 edges per node (default: both)")
    p.add_argument("--seed", type=int, default=gg.DEFAULT_SEED)
    p.add_argument("--workdir", default="/tmp/orvi-bench-algorithms",
                   help="where the database files are cached")
    p.add_argument("--repeat", type=int, default=3)
    p.add_argument("--child", help=argparse.SUPPRESS)
    p.add_argument("--db", help=argparse.SUPPRESS)
    p.add_argument("--out", help=argparse.SUPPRESS)
    p.add_argument("--hubs", default="", help=argparse.SUPPRESS)
    args = p.parse_args(argv)
    if args.child:
        child(args)
        return 0
    ok = True
    for nodes in args.nodes:
        ok = table(nodes, args) and ok
    return 0 if ok else 1


def table(nodes: int, args) -> bool:
    """Prints the table for one size; whether every answer matched."""
    import networkx as nx
    os.makedirs(args.workdir, exist_ok=True)
    g = gg.make_graph(nodes, args.seed)
    dsrc, ddst = dag_edges(g)
    files = {}
    for name, (src, dst) in {"graph": (g.src, g.dst), "dag": (dsrc, ddst)}.items():
        files[name] = os.path.join(args.workdir, f"{name}-{nodes}-{args.seed}.orvi")
        if not os.path.exists(files[name]):
            t = time.perf_counter()
            load(files[name], g, src, dst)
            print(f"loaded {files[name]} in {time.perf_counter() - t:.0f} s", flush=True)
    hub_ids = hubs(g)

    load_before = open("/proc/loadavg").read().split()[:3]
    tracemalloc.start()
    G = nx_graph(g.n, g.src, g.dst)
    nx_bytes = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    D = nx_graph(g.n, dsrc, ddst)
    theirs_calls = {
        "pagerank": lambda: nx.pagerank(G, 0.85, weight=None),
        "wcc": lambda: list(nx.weakly_connected_components(G)),
        "topo (DAG)": lambda: list(nx.topological_sort(D)),
        "bfs in d3": lambda: each(
            lambda h: list(nx.bfs_edges(G, h, reverse=True, depth_limit=3)), hub_ids,
            lambda edges: (len(edges), sum(v for _, v in edges))),
    }
    print(f"\n{g.n} nodes, {g.m} edges (DAG: {len(dsrc)}); best of {args.repeat}; "
          f"networkx graph alone {nx_bytes / 2**20:.0f} MiB (tracemalloc)\n")
    print(f"| {'call':<11} | networkx s | orvi s | speedup | orvi peak MiB | "
          f"nx graph / orvi peak | same answer |")
    print("|---|---:|---:|---:|---:|---:|---|")
    ok = True
    for row in ROWS:
        nx_s, theirs = measure(row, theirs_calls[row], args.repeat)
        db = files["dag" if row.startswith("topo") else "graph"]
        orvi_s, peak, mine = run_child(row, db, args, hub_ids)
        if row == "topo (DAG)":
            theirs = (dsrc, ddst)
        same = same_answer(row, mine, theirs)
        ok = ok and same
        print(f"| {row:<11} | {nx_s:10.3f} | {orvi_s:6.3f} | {nx_s / orvi_s:6.1f}x | "
              f"{peak / 2**20:13.1f} | {nx_bytes / max(peak, 1):19.1f}x | {same} |", flush=True)
    load_after = open("/proc/loadavg").read().split()[:3]
    print(f"\nload average before {' '.join(load_before)}, after {' '.join(load_after)}; "
          f"{os.cpu_count()} cores")
    del G, D
    return ok


if __name__ == "__main__":
    sys.exit(main())
