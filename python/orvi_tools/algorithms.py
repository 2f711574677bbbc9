"""Graph algorithms computed in the engine, answering with node ids.

Every function takes an open ``orvi.GraphDB`` and sees its pending
changes, as the handle's own reads do. Node arguments are ids or ``Node``
objects; results are plain int ids, so no Python object is made per node
visited beyond those in the result. ``edge_label`` keeps only the edges
whose label equals it; ``direction`` is ``"out"`` (along edges), ``"in"``
(against them) or ``"both"``.

Walks (``bfs``, ``shortest_path``, ``descendants``, ``ancestors``) follow
the adjacency lists in the file. The whole-graph functions
(``weakly_connected_components``, ``strongly_connected_components``,
``topological_sort``, ``pagerank``) first read every node's out-list into a
compact adjacency (8 bytes per node id and 4 per edge, plus the algorithm's
own arrays of a few bytes per node), then compute on it; with
``progress=True`` they draw a bar per pass on a terminal. Ctrl-C stops any
of them with KeyboardInterrupt; nothing is written, so the database is left
as it was.

A missing start raises ``orvi.NodeNotFoundError`` as ``db.bfs`` does; a
damaged file raises ``orvi.CorruptedFileError`` as the handle's own walks
do.
"""

from __future__ import annotations

import operator
from typing import Any, Callable, Dict, List, Optional, Set, Tuple, Union

import orvi

from . import _engine
from .progress import bar

NodeRef = Union[int, "orvi.Node"]

_NODE_ID_MESSAGE = (
    "Expected a orvi.Node instance or a non-negative integer node id; got "
    "type `{}`. Use the value returned by add_node() or node.id."
)
_DIRECTIONS = ("out", "in", "both")


class PowerIterationFailedConvergence(RuntimeError):
    """PageRank did not converge within ``max_iter`` iterations. Raised
    only when networkx is not installed; with networkx its own
    ``networkx.PowerIterationFailedConvergence`` is raised instead."""

    def __init__(self, num_iterations: int) -> None:
        super().__init__(f"power iteration failed to converge within {num_iterations} iterations")


def _node_id(node: Any) -> int:
    if isinstance(node, orvi.Node):
        return node.id
    try:
        value = operator.index(node)
    except TypeError:
        value = -1
    if not 0 <= value < 2 ** 64:
        raise ValueError(_NODE_ID_MESSAGE.format(type(node).__name__))
    return value


def _direction(direction: str) -> str:
    if direction not in _DIRECTIONS:
        # The text of GraphDB.neighbors for the same mistake.
        raise ValueError(f"invalid direction: got '{direction}' (use 'out', 'in', or 'both').")
    return direction


def _label(edge_label: Optional[str]) -> Optional[str]:
    if edge_label is not None and not isinstance(edge_label, str):
        raise TypeError(f"edge_label must be str or None, not {type(edge_label).__name__}")
    return edge_label


def _progress(enabled: bool, what: str) -> Optional[Callable[[str, int], Any]]:
    if not enabled:
        return None
    return lambda name, total: bar(total, f"{what} ({name})")


def bfs(db: "orvi.GraphDB", start: NodeRef, max_depth: int, *, direction: str = "out",
        edge_label: Optional[str] = None) -> List[Tuple[int, int]]:
    """Nodes within ``max_depth`` steps of ``start``, breadth first.

    Returns ``(node_id, depth)`` pairs in discovery order, the start itself
    left out; each node once, at the depth it was first reached. With
    ``direction="out"`` and no label the pairs are those of
    ``db.bfs(start, max_depth)``.

    Example: ``bfs(db, libc6, 2, direction="in")`` (what depends on libc6).
    """
    depth = operator.index(max_depth)
    if depth < 0:
        raise ValueError("max_depth must not be negative")
    return _engine.bfs(db, _node_id(start), min(depth, 2 ** 64 - 1), _direction(direction),
                       _label(edge_label))


def shortest_path(db: "orvi.GraphDB", start: NodeRef, goal: NodeRef, *, direction: str = "out",
                  edge_label: Optional[str] = None) -> Optional[List[int]]:
    """A shortest path from ``start`` to ``goal`` by edge count, as node
    ids with both ends, or None when ``goal`` cannot be reached. With
    ``direction="out"`` it is the path of ``db.shortest_path``; with
    ``"in"`` each step goes against an edge.

    Example: ``shortest_path(db, app, libc6)``.
    """
    return _engine.shortest_path(db, _node_id(start), _node_id(goal), _direction(direction),
                                 _label(edge_label))


def descendants(db: "orvi.GraphDB", node: NodeRef, *,
                edge_label: Optional[str] = None) -> Set[int]:
    """Ids of every node reachable from ``node`` along edges (not ``node``
    itself), as ``networkx.descendants``.

    Example: ``descendants(db, app)`` (everything app needs).
    """
    return _engine.reachable(db, _node_id(node), "out", _label(edge_label))


def ancestors(db: "orvi.GraphDB", node: NodeRef, *,
              edge_label: Optional[str] = None) -> Set[int]:
    """Ids of every node from which ``node`` can be reached (not ``node``
    itself), as ``networkx.ancestors``.

    Example: ``ancestors(db, libc6, edge_label="depends")`` (every reverse dependency).
    """
    return _engine.reachable(db, _node_id(node), "in", _label(edge_label))


def weakly_connected_components(db: "orvi.GraphDB", *, edge_label: Optional[str] = None,
                                progress: bool = False) -> List[Set[int]]:
    """The weakly connected components (edges taken either way) as sets
    of ids, largest first, components of equal size by smallest id.

    Example: ``[len(c) for c in weakly_connected_components(db)]``.
    """
    return _engine.weakly_connected_components(db, _label(edge_label),
                                               _progress(progress, "weak components"))


def strongly_connected_components(db: "orvi.GraphDB", *, edge_label: Optional[str] = None,
                                  progress: bool = False) -> List[Set[int]]:
    """The strongly connected components as sets of ids, largest first,
    components of equal size by smallest id.

    Example: ``[c for c in strongly_connected_components(db) if len(c) > 1]``.
    """
    return _engine.strongly_connected_components(db, _label(edge_label),
                                                 _progress(progress, "strong components"))


def topological_sort(db: "orvi.GraphDB", *, edge_label: Optional[str] = None,
                     progress: bool = False) -> List[int]:
    """Every node id, ordered so that each edge goes from an earlier node
    to a later one. ValueError naming the nodes of one cycle when there is
    none (a self-loop is a cycle).

    Example: ``topological_sort(db)`` (dependents before dependencies).
    """
    return _engine.topological_sort(db, _label(edge_label), _progress(progress, "topological sort"))


def pagerank(db: "orvi.GraphDB", alpha: float = 0.85, *, max_iter: int = 100, tol: float = 1e-06,
             edge_label: Optional[str] = None, progress: bool = False) -> Dict[int, float]:
    """PageRank of every node, as ``networkx.pagerank(G, alpha,
    max_iter=max_iter, tol=tol, weight=None)`` computes it on the same
    multigraph: every edge counts once (parallel edges and self-loops
    included), the walk starts from the uniform vector, the score of nodes
    without out-edges is spread over all nodes, and the iteration stops
    once the summed change is below ``N * tol``.
    ``PowerIterationFailedConvergence`` (networkx's when it is installed)
    when ``max_iter`` iterations do not get there.

    Example: ``ranks = pagerank(db); max(ranks, key=ranks.get)`` (the most depended-on package).
    """
    iterations = operator.index(max_iter)
    if iterations < 0:
        raise ValueError("max_iter must not be negative")
    ranks = _engine.pagerank(db, _label(edge_label), _progress(progress, "pagerank"),
                             float(alpha), iterations, float(tol))
    if ranks is None:
        try:
            from networkx import PowerIterationFailedConvergence as failed
        except ImportError:
            failed = PowerIterationFailedConvergence
        raise failed(iterations)
    return ranks


__all__ = [
    "PowerIterationFailedConvergence",
    "ancestors",
    "bfs",
    "descendants",
    "pagerank",
    "shortest_path",
    "strongly_connected_components",
    "topological_sort",
    "weakly_connected_components",
]
