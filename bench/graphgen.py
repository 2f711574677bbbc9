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
    return {
        "get_node_ids": [int(x) for x in rng.integers(1, g.n + 1, LOOKUPS)],
        "out_edges_ids": [int(x) for x in rng.integers(1, g.n + 1, LOOKUPS)],
        "warmup_ids": [int(x) for x in rng.integers(1, g.n + 1, 1000)],
        "scan_label": SCAN_LABEL,
        "bfs_starts": [int(x) for x in starts],
        "bfs_depth": BFS_DEPTH,
        "sp_pairs": pairs,
        "max_out_degree": int(outdeg.max()),
        "max_in_degree": int(indeg.max()),
    }


def graph_paths(workdir: str, size: str, seed: int) -> tuple[str, str]:
    base = os.path.join(workdir, f"graph-{size}-{seed}")
    return base + ".npz", base + ".workload.json"


def ensure_cached(workdir: str, size: str, seed: int = DEFAULT_SEED) -> tuple[str, str]:
    """Write the graph and workload files once; later runs reuse them."""
    npz, wl = graph_paths(workdir, size, seed)
    if not (os.path.exists(npz) and os.path.exists(wl)):
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
