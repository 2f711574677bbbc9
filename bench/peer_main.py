"""Measure one peer in this process and write the figures as JSON.

Started by run.py once per peer, so no peer shares an interpreter, a heap or
an import with another. Order of work (each step only where the peer has
the row, see peers.Peer.writes/reads):

  1. bulk load: every node, then every edge, a commit every `batch` records;
     then close (the peer's final checkpoint, if any, is not timed)
  2. file size per record, of the closed database
  3. cold open: drop the database files from the OS page cache
     (posix_fadvise DONTNEED), open, read node 1, close; warm open likewise
     without the eviction. Medians of 5.
  4. open, warm up on 1000 other ids, then the read rows: get_node and
     out_edges over 10k ids in batches of 1000 (median of the batch means),
     label scan (median of 5), BFS to depth 3 and the shortest-path rows
     (random pairs, far pairs, unreachable goals; median over the 20
     queries of each, each timed alone)
  5. single-record commit latency: 5 untimed, then 100 timed
  6. results are checked against the generator (get_node, out_edges, label
     scan) and summarised as digests that run.py compares across peers.

With --probe N the process only opens the database, makes N single-record
commits and closes it: run.py runs that under strace to count syncs.
"""

from __future__ import annotations

import argparse
import gc
import hashlib
import json
import os
import statistics
import sys
import time
import traceback

# numpy is only used to build the graph and check answers: keep OpenBLAS
# from parking worker threads that spin on the two shared cores.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import graphgen as gg  # noqa: E402
import peers  # noqa: E402

now = time.perf_counter


class Unavailable(Exception):
    """The peer lacks the API this row needs (e.g. a method not built yet)."""


def digest(obj) -> str:
    return hashlib.sha1(repr(obj).encode()).hexdigest()[:16]


def canon(props: dict) -> tuple:
    return tuple(sorted(props.items()))


# ---------------------------------------------------------------- loading


def generic_load(peer, g: gg.Graph, batch: int) -> dict:
    """Per-record calls, one commit every `batch` records. If the engine
    refuses a commit as too large, the batch is rolled back, the batch size
    halved for the rest of the load, and the refusal is reported."""
    n, total = g.n, g.n + g.m
    add_node, add_edge = peer.add_node, peer.add_edge
    pos, size, notes, failed_s, nodes_s = 0, batch, [], 0.0, None
    t0 = now()
    while pos < total:
        hi = min(pos + size, total)
        tb = now()
        peer.begin()
        if pos < n:
            got = add_node(pos)
            if got != pos + 1:
                raise AssertionError(f"node {pos} got id {got}, expected {pos + 1}")
            for i in range(pos + 1, min(hi, n)):
                add_node(i)
        lo_e = max(pos, n) - n
        if hi > n:
            got = add_edge(lo_e)
            if got != lo_e + 1:
                raise AssertionError(f"edge {lo_e} got id {got}, expected {lo_e + 1}")
            for j in range(lo_e + 1, hi - n):
                add_edge(j)
        try:
            peer.commit()
        except peers.BatchTooLarge as e:
            peer.rollback()
            failed_s += now() - tb
            if size == 1:
                raise
            notes.append(f"commit of {hi - pos} records from record {pos} refused "
                         f"({str(e)[:120]}...); batch reduced to {size // 2}")
            size //= 2
            continue
        if nodes_s is None and hi >= n:
            nodes_s = now() - t0
        pos = hi
    return {"batch": batch, "final_batch": size, "nodes_s": nodes_s,
            "failed_commit_s": failed_s, "notes": notes}


def measure_load(peer, g, batch, out):
    peer.create(g)
    gc.collect()
    t0 = now()
    if hasattr(peer, "load"):
        info = peer.load(g, batch)
    else:
        info = generic_load(peer, g, batch)
    secs = now() - t0
    if hasattr(peer, "after_load"):
        peer.after_load()
    peer.close()
    records = g.n + g.m
    out["rows"]["bulk_load"] = {"value": secs, "records": records,
                                "records_per_s": records / secs,
                                **{k: v for k, v in info.items() if k != "notes"}}
    out["notes"].extend(info.get("notes", []))


def evict(files):
    for f in files:
        fd = os.open(f, os.O_RDONLY)
        try:
            os.fsync(fd)
            os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
        finally:
            os.close(fd)


def measure_open(peer, out, repeats=5):
    size = sum(os.path.getsize(f) for f in peer.files())
    out["rows"]["bytes_per_record"] = {"value": size / out["records"], "file_bytes": size}
    for row, cold in (("cold_open", True), ("warm_open", False)):
        times = []
        for _ in range(repeats):
            if cold:
                evict(peer.files())
            t0 = now()
            peer.open()
            first = peer.get_node(1)
            times.append(now() - t0)
            peer.close()
            if first is None or first[0] != 1:
                raise AssertionError(f"open: node 1 read back as {first!r}")
        out["rows"][row] = {"value": statistics.median(times), "all": times}


# ------------------------------------------------------------------ reads


def timed_batches(fn, args, batch=1000):
    results, per_op = [], []
    for lo in range(0, len(args), batch):
        part = args[lo:lo + batch]
        t0 = now()
        for a in part:
            results.append(fn(a))
        per_op.append((now() - t0) / len(part))
    return statistics.median(per_op), per_op, results


def timed_each(fn, args):
    results, times = [], []
    for a in args:
        t0 = now()
        results.append(fn(*a))
        times.append(now() - t0)
    return statistics.median(times), times, results


class Truth:
    """Ground truth straight from the generator arrays."""

    def __init__(self, g: gg.Graph):
        self.g = g
        order = np.argsort(g.src, kind="stable")
        self.by_src = order
        self.src_start = np.searchsorted(g.src[order], np.arange(1, g.n + 2))
        keys = g.src * (g.n + 1) + g.dst
        self.edge_keys = np.unique(keys)

    def node(self, i):
        return (i, self.g.node_labels(i - 1), self.g.node_props(i - 1))

    def out_edges(self, i):
        g = self.g
        idx = self.by_src[self.src_start[i - 1]:self.src_start[i]]
        return sorted((int(g.dst[j]), gg.EDGE_LABELS[g.elabel[j]], (("w", float(g.w[j])),))
                      for j in idx)

    def has_edge(self, a, b):
        k = a * (self.g.n + 1) + b
        pos = np.searchsorted(self.edge_keys, k)
        return pos < len(self.edge_keys) and self.edge_keys[pos] == k

    def label_ids(self, label):
        g = self.g
        if label in gg.COLOURS:
            return set((np.nonzero(g.colour == gg.COLOURS.index(label))[0] + 1).tolist())
        return set((np.nonzero(g.kind == gg.KINDS.index(label))[0] + 1).tolist())


def check(cond, what):
    if not cond:
        raise AssertionError(what)


def run_row(out, row, fn):
    gc.collect()
    try:
        fn()
    except Unavailable as e:
        out["rows"][row] = {"unavailable": str(e)}
    except AttributeError as e:
        out["rows"][row] = {"unavailable": f"{type(e).__name__}: {e}"}
    except Exception as e:  # recorded, the other rows still run
        out["rows"][row] = {"error": f"{type(e).__name__}: {e}",
                            "trace": traceback.format_exc(limit=4)}


def measure_reads(peer, g, wl, out):
    truth = Truth(g)
    rows, checks = out["rows"], out["checks"]

    for i in wl["warmup_ids"]:
        peer.get_node(i)

    def get_node():
        med, per, res = timed_batches(peer.get_node, wl["get_node_ids"])
        for i, r in zip(wl["get_node_ids"], res):
            check(r is not None and (r[0], r[1], r[2]) == truth.node(i),
                  f"get_node({i}) = {r!r}, expected {truth.node(i)!r}")
        rows["get_node"] = {"value": med, "ops": len(res), "batch_means": per}
        checks["get_node"] = digest([(r[0], r[1], canon(r[2])) for r in res])

    def out_edges():
        med, per, res = timed_batches(peer.out_edges, wl["out_edges_ids"])
        canon_res = []
        for i, r in zip(wl["out_edges_ids"], res):
            c = sorted((t, lab, canon(p)) for t, lab, p in r)
            check(c == truth.out_edges(i), f"out_edges({i}) differs from the generated edges")
            canon_res.append(c)
        rows["out_edges"] = {"value": med, "ops": len(res), "batch_means": per,
                             "edges_returned": sum(len(r) for r in res)}
        checks["out_edges"] = digest(canon_res)

    def label_scan():
        label = wl["scan_label"]
        times, res = [], None
        for _ in range(5):
            t0 = now()
            res = peer.label_scan(label)
            times.append(now() - t0)
        ids = sorted(i for i, _ in res)
        check(ids == sorted(truth.label_ids(label)), f"label scan of {label}: wrong ids")
        for i, p in res:
            check(p == truth.node(i)[2], f"label scan: node {i} properties {p!r}")
        rows["label_scan"] = {"value": statistics.median(times), "all": times,
                              "nodes_returned": len(res)}
        checks["label_scan"] = digest(sorted((i, canon(p)) for i, p in res))

    def bfs():
        depth = wl["bfs_depth"]
        med, times, res = timed_each(peer.bfs, [(s, depth) for s in wl["bfs_starts"]])
        per_start = [sorted((i, d, canon(p)) for i, d, p in r) for r in res]
        for r in per_start:
            for i, _, p in r:
                check(dict(p) == truth.node(i)[2], f"bfs: node {i} properties")
        counts = [len(r) for r in res]
        rows["bfs3"] = {"value": med, "all": times, "visited": counts,
                        "visited_total": sum(counts)}
        checks["bfs3"] = {"visited": counts, "digest": digest(per_start)}

    def shortest_path(row, pairs_key, min_length=1, reachable=True):
        pairs = wl.get(pairs_key)
        if not pairs:
            raise Unavailable(f"the workload has no {pairs_key} (regenerate the graph cache)")
        med, times, res = timed_each(peer.shortest_path, pairs)
        lengths = []
        for (s, t), path in zip(pairs, res):
            if path is None:
                lengths.append(None)
                continue
            check(reachable, f"path {s}->{t} found to a goal that cannot be reached")
            ids = [i for i, _ in path]
            check(ids[0] == s and ids[-1] == t, f"path {s}->{t} has ends {ids[0]}, {ids[-1]}")
            check(len(ids) - 1 >= min_length, f"path {s}->{t} shorter than the distance")
            for a, b in zip(ids, ids[1:]):
                check(truth.has_edge(a, b), f"path {s}->{t} uses a missing edge {a}->{b}")
            for i, p in path:
                check(p == truth.node(i)[2], f"path node {i} properties")
            lengths.append(len(ids) - 1)
        rows[row] = {"value": med, "all": times, "lengths": lengths}
        checks[row] = {"lengths": lengths}

    def shortest_path_oneway():
        if "shortest_path" not in checks:
            raise Unavailable("needs the shortest_path row")
        med, times, res = timed_each(peer.shortest_path_oneway, wl["sp_pairs"])
        lengths = [None if p is None else len(p) - 1 for p in res]
        check(lengths == checks["shortest_path"]["lengths"],
              "one-way search found other path lengths than shortest_path")
        rows["shortest_path_oneway"] = {"value": med, "all": times}

    run_row(out, "get_node", get_node)
    run_row(out, "out_edges", out_edges)
    run_row(out, "label_scan", label_scan)
    run_row(out, "bfs3", bfs)
    run_row(out, "shortest_path", lambda: shortest_path("shortest_path", "sp_pairs"))
    run_row(out, "shortest_path_far",
            lambda: shortest_path("shortest_path_far", "sp_far_pairs", gg.FAR_DISTANCE))
    run_row(out, "shortest_path_unreachable",
            lambda: shortest_path("shortest_path_unreachable", "sp_unreachable_pairs",
                                  reachable=False))
    if hasattr(peer, "shortest_path_oneway"):
        run_row(out, "shortest_path_oneway", shortest_path_oneway)


def measure_commit(peer, out, samples=100):
    for k in range(5):
        peer.commit_one(k)
    times = []
    for k in range(samples):
        t0 = now()
        peer.commit_one(5 + k)
        times.append(now() - t0)
    times.sort()
    out["rows"]["commit_latency"] = {"value": statistics.median(times),
                                     "p90": times[int(0.9 * len(times))],
                                     "samples": samples}


# ------------------------------------------------------------------- main


def main(argv=None):
    ap = argparse.ArgumentParser()
    ap.add_argument("--peer", required=True, choices=sorted(peers.PEERS))
    ap.add_argument("--npz", required=True)
    ap.add_argument("--workload", required=True)
    ap.add_argument("--dbdir", required=True)
    ap.add_argument("--out", required=True)
    ap.add_argument("--batch", type=int, default=1000)
    ap.add_argument("--commit-samples", type=int, default=100)
    ap.add_argument("--probe", type=int, default=None,
                    help="only open, make N single-record commits, close")
    args = ap.parse_args(argv)

    out = {"peer": args.peer, "rows": {}, "checks": {}, "notes": []}
    try:
        peer = peers.PEERS[args.peer](args.dbdir)
    except ImportError as e:
        out["unavailable"] = f"cannot import: {e}"
        write(args.out, out)
        return 0
    out["version"] = peer.version()

    if args.probe is not None:
        peer.open()
        for k in range(args.probe):
            peer.commit_one(1_000_000 + k)
        peer.close()
        return 0

    os.makedirs(args.dbdir, exist_ok=True)
    g, wl = gg.load_cached(args.npz, args.workload)
    out["records"] = g.n + g.m
    try:
        if peer.writes:
            measure_load(peer, g, args.batch, out)
            run_row(out, "cold_open", lambda: measure_open(peer, out))
            peer.open()
        else:
            t0 = now()
            peer.build(g)
            out["rows"]["build_in_memory"] = {"value": now() - t0}
        if peer.reads:
            measure_reads(peer, g, wl, out)
        if peer.writes:
            run_row(out, "commit_latency", lambda: measure_commit(peer, out, args.commit_samples))
            peer.close()
    except Exception as e:
        out["error"] = f"{type(e).__name__}: {e}"
        out["trace"] = traceback.format_exc()
    write(args.out, out)
    return 0


def write(path, out):
    with open(path + ".tmp", "w") as f:
        json.dump(out, f, indent=1)
    os.replace(path + ".tmp", path)


if __name__ == "__main__":
    sys.exit(main())
