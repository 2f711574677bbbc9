"""Synthetic benchmark graph and the query workload run against it.

Everything here is a pure function of (size, seed): every peer process
rebuilds the same arrays from the cached .npz file, so node ids, labels,
properties, edges and the query lists are identical for all of them.

Graph shape
  * n nodes with ids 1..n (orvi hands ids out from 1 in creation order, the
    other peers are given the same ids explicitly).
  * 5 edges per node on average, ids 1..m in load order. Sources and targets
    are drawn independently from Chung-Lu style power-law weights (out-degree
    exponent 3, in-degree exponent 2.5), each weight vector assigned to the
    nodes through its own random permutation, so hubs are spread over the id
    space and out-hubs are not in-hubs. Self-loops and parallel edges occur
    and are kept: every peer stores a multigraph.
  * each node has 2 labels (a kind and a colour) and 3 properties
    (name: str, age: int, score: float); each edge has a label and one
    property (w: float).
"""

from __future__ import annotations

import json
import os
from dataclasses import dataclass

import numpy as np

SIZES = {"tiny": 1_000, "small": 10_000, "medium": 100_000, "large": 1_000_000}
EDGES_PER_NODE = 5
DEFAULT_SEED = 20240611

KINDS = ["Person", "Company", "City", "Product"]
COLOURS = ["Red", "Orange", "Yellow", "Green", "Blue", "Indigo", "Violet", "Gray"]
EDGE_LABELS = ["KNOWS", "LIKES", "FOLLOWS"]
SCAN_LABEL = "Green"  # about one node in eight carries it

LOOKUPS = 10_000  # random get_node / out_edges calls per read row
BFS_DEPTH = 3


@dataclass
class Graph:
    n: int
    m: int
    kind: np.ndarray  # int8 index into KINDS, per node (index id-1)
    colour: np.ndarray  # int8 index into COLOURS
    age: np.ndarray  # int64
    score: np.ndarray  # float64
    src: np.ndarray  # int64 node ids, per edge (index edge_id-1)
    dst: np.ndarray
    elabel: np.ndarray  # int8 index into EDGE_LABELS
    w: np.ndarray  # float64

    # Per-record accessors shared by every loader, so all peers store the
    # very same values.
    def node_labels(self, i: int) -> list[str]:
        return [KINDS[self.kind[i]], COLOURS[self.colour[i]]]

    def node_props(self, i: int) -> dict:
        return {"name": f"node{i + 1}", "age": int(self.age[i]),
                "score": float(self.score[i])}


def power_weights(n: int, exponent: float, rng: np.random.Generator) -> np.ndarray:
    """Probabilities w_i ∝ rank^(-1/(exponent-1)), ranks permuted over nodes."""
    ranks = np.arange(1, n + 1, dtype=np.float64)
    w = ranks ** (-1.0 / (exponent - 1.0))
    w /= w.sum()
    return w[rng.permutation(n)]


def make_graph(n: int, seed: int = DEFAULT_SEED) -> Graph:
    rng = np.random.default_rng(seed)
    m = n * EDGES_PER_NODE
    kind = rng.integers(0, len(KINDS), n, dtype=np.int8)
    colour = rng.integers(0, len(COLOURS), n, dtype=np.int8)
    age = rng.integers(0, 100, n, dtype=np.int64)
    # Scores with two decimals survive every peer's float round trip
    # (JSON text included) bit for bit.
    score = np.round(rng.random(n) * 1000.0, 2)
    p_out = power_weights(n, 3.0, rng)
    p_in = power_weights(n, 2.5, rng)
    src = rng.choice(n, size=m, p=p_out).astype(np.int64) + 1
    dst = rng.choice(n, size=m, p=p_in).astype(np.int64) + 1
    elabel = rng.choice(len(EDGE_LABELS), size=m, p=[0.5, 0.3, 0.2]).astype(np.int8)
    w = np.round(rng.random(m), 3)
    return Graph(n, m, kind, colour, age, score, src, dst, elabel, w)


FAR_DISTANCE = 4  # the far-pair path row asks for goals at least this far


def out_csr(g: Graph) -> tuple[np.ndarray, np.ndarray]:
    """Targets grouped by source: node v's targets are
    targets[indptr[v - 1]:indptr[v]]."""
    order = np.argsort(g.src, kind="stable")
    indptr = np.searchsorted(g.src[order], np.arange(1, g.n + 2))
    return indptr, g.dst[order]


def distances(indptr: np.ndarray, targets: np.ndarray, n: int, start: int) -> np.ndarray:
    """Directed breadth-first distances from `start` (index id - 1; -1 where
    unreachable), one whole layer per numpy step."""
    dist = np.full(n, -1, dtype=np.int64)
    dist[start - 1] = 0
    frontier = np.array([start - 1])
    d = 0
    while frontier.size:
        d += 1
        lo, hi = indptr[frontier], indptr[frontier + 1]
        lens = hi - lo
        if not lens.sum():
            break
        idx = np.repeat(lo - np.cumsum(lens) + lens, lens) + np.arange(lens.sum())
        reached = targets[idx] - 1
        reached = np.unique(reached[dist[reached] < 0])
        dist[reached] = d
        frontier = reached
    return dist


def far_and_unreachable_pairs(g: Graph, seed: int, count: int = 20) -> tuple[list, list]:
    """Pairs (start, goal) whose directed distance is at least FAR_DISTANCE,
    and pairs whose goal has in-edges but cannot be reached from the start;
    every start has out-edges. Drawn from their own generator, so the other
    query lists stay as they were."""
    rng = np.random.default_rng(seed + 2)
    indptr, targets = out_csr(g)
    outdeg = np.diff(indptr)
    indeg = np.bincount(g.dst, minlength=g.n + 1)[1:]
    has_out = np.nonzero(outdeg)[0] + 1
    far, unreachable = [], []
    for _ in range(20 * count):
        if len(far) >= count and len(unreachable) >= count:
            break
        s = int(rng.choice(has_out))
        dist = distances(indptr, targets, g.n, s)
        cand = np.nonzero(dist >= FAR_DISTANCE)[0] + 1
        if len(far) < count and cand.size:
            far.append([s, int(rng.choice(cand))])
        cand = np.nonzero((dist < 0) & (indeg > 0))[0] + 1
        if len(unreachable) < count and cand.size:
            unreachable.append([s, int(rng.choice(cand))])
    return far, unreachable


def make_workload(g: Graph, seed: int = DEFAULT_SEED) -> dict:
    """Query arguments, the same list for every peer."""
    rng = np.random.default_rng(seed + 1)
    outdeg = np.bincount(g.src, minlength=g.n + 1)
    indeg = np.bincount(g.dst, minlength=g.n + 1)
    has_out = np.nonzero(outdeg[1:])[0] + 1
    has_in = np.nonzero(indeg[1:])[0] + 1
    n_walks = 20
    starts = rng.choice(has_out, size=n_walks, replace=False)
    sp_from = rng.choice(has_out, size=n_walks, replace=False)
    sp_to = rng.choice(has_in, size=n_walks, replace=False)
    pairs = [[int(a), int(b)] for a, b in zip(sp_from, sp_to) if a != b]
    far, unreachable = far_and_unreachable_pairs(g, seed)
    return {
        "get_node_ids": [int(x) for x in rng.integers(1, g.n + 1, LOOKUPS)],
        "out_edges_ids": [int(x) for x in rng.integers(1, g.n + 1, LOOKUPS)],
        "warmup_ids": [int(x) for x in rng.integers(1, g.n + 1, 1000)],
        "scan_label": SCAN_LABEL,
        "bfs_starts": [int(x) for x in starts],
        "bfs_depth": BFS_DEPTH,
        "sp_pairs": pairs,
        "sp_far_pairs": far,
        "sp_unreachable_pairs": unreachable,
        "max_out_degree": int(outdeg.max()),
        "max_in_degree": int(indeg.max()),
    }


WORKLOAD_KEYS = {"sp_pairs", "sp_far_pairs", "sp_unreachable_pairs"}


def graph_paths(workdir: str, size: str, seed: int) -> tuple[str, str]:
    base = os.path.join(workdir, f"graph-{size}-{seed}")
    return base + ".npz", base + ".workload.json"


def ensure_cached(workdir: str, size: str, seed: int = DEFAULT_SEED) -> tuple[str, str]:
    """Write the graph and workload files once; later runs reuse them."""
    npz, wl = graph_paths(workdir, size, seed)
    if os.path.exists(npz) and os.path.exists(wl):
        with open(wl) as f:
            current = WORKLOAD_KEYS <= set(json.load(f))
        if not current:  # written before some query list existed
            g, _ = load_cached(npz, wl)
            with open(wl + ".tmp", "w") as f:
                json.dump(make_workload(g, seed), f)
            os.replace(wl + ".tmp", wl)
    else:
        os.makedirs(workdir, exist_ok=True)
        g = make_graph(SIZES[size], seed)
        tmp = npz + ".tmp.npz"
        np.savez(tmp, **{k: getattr(g, k) for k in
                         ("kind", "colour", "age", "score", "src", "dst", "elabel", "w")})
        os.replace(tmp, npz)
        with open(wl + ".tmp", "w") as f:
            json.dump(make_workload(g, seed), f)
        os.replace(wl + ".tmp", wl)
    return npz, wl


def load_cached(npz: str, wl: str) -> tuple[Graph, dict]:
    with np.load(npz) as z:
        arrays = {k: z[k] for k in z.files}
    n, m = len(arrays["kind"]), len(arrays["src"])
    g = Graph(n, m, **arrays)
    with open(wl) as f:
        workload = json.load(f)
    return g, workload
