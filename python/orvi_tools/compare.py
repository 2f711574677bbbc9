"""Comparing two databases by structure and content, ids aside.

Copies made by export and import, or through networkx, give records new
ids but keep the nodes' order. Nodes are therefore matched by their rank in
ascending id order; edges, whose order a copy may change, are compared as a
multiset of (source rank, label, target rank, properties). Values compare
by type as well as value (1, 1.0 and True differ; NaN equals NaN; 0.0 and
-0.0 differ), which is what a faithful copy must preserve.
"""

from __future__ import annotations

import json
from collections import Counter
from typing import Any, Dict, List, Optional, Tuple

import orvi

from .exchange import iter_edges, iter_nodes, to_json_value


def _canonical(value: Any) -> str:
    return json.dumps(to_json_value(value), sort_keys=True, allow_nan=False,
                      ensure_ascii=False)


def _snapshot(db: "orvi.GraphDB") -> Tuple[List[Tuple[int, List[str], str]],
                                           Counter]:
    nodes = [(n.id, n.labels, _canonical(n.properties)) for n in iter_nodes(db)]
    rank: Dict[int, int] = {node_id: i for i, (node_id, _, _) in enumerate(nodes)}
    edges: Counter = Counter(
        (rank.get(e.from_node, -1), e.label, rank.get(e.to_node, -1), _canonical(e.properties))
        for e in iter_edges(db)
    )
    return nodes, edges


def first_difference(a: "orvi.GraphDB", b: "orvi.GraphDB") -> Optional[str]:
    """None when the two databases hold the same graph, else a text naming
    the first difference found."""
    nodes_a, edges_a = _snapshot(a)
    nodes_b, edges_b = _snapshot(b)
    if len(nodes_a) != len(nodes_b):
        return f"{len(nodes_a)} nodes against {len(nodes_b)}"
    for (id_a, labels_a, props_a), (id_b, labels_b, props_b) in zip(nodes_a, nodes_b):
        if labels_a != labels_b:
            return f"node {id_a} has labels {labels_a}, its counterpart {id_b} has {labels_b}"
        if props_a != props_b:
            return f"node {id_a} has properties {props_a}, its counterpart {id_b} has {props_b}"
    if edges_a != edges_b:
        only_a = edges_a - edges_b
        only_b = edges_b - edges_a
        if only_a:
            return f"an edge {_describe(next(iter(only_a)))} has no counterpart"
        return f"the second database has an extra edge {_describe(next(iter(only_b)))}"
    return None


def same_graph(a: "orvi.GraphDB", b: "orvi.GraphDB") -> bool:
    return first_difference(a, b) is None


def _describe(edge: Tuple[int, str, int, str]) -> str:
    source, label, target, props = edge
    return f"from node #{source} to node #{target} labelled {label!r} with {props}"
