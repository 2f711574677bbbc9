"""Conversion between an orvi database and a networkx graph.

``to_networkx(db)`` gives a ``networkx.MultiDiGraph``: one node per live
node, keyed by its orvi id, with the labels (a list) under ``labels_attr``
and the properties as further attributes; one edge per live edge, keyed by
its orvi edge id, with the label under ``label_attr`` and the properties.

``from_networkx(graph, db)`` adds a graph's nodes and edges as new records
and returns the map from the graph's node keys to the new node ids. Any
networkx graph type is accepted: an undirected edge becomes one directed
edge in the order networkx reports its ends. Node labels come from
``labels_attr`` (a list or tuple of strings, or one string), edge labels
from ``label_attr`` (a string; absent gives the empty label); every other
attribute becomes a property, with tuples stored as lists.

networkx is imported only when these functions run, so the rest of the
package works without it.
"""

from __future__ import annotations

from typing import Any, Dict, Hashable

import orvi

from .batch import DEFAULT_PAGE_BUDGET, BatchWriter, ImportFailed
from .exchange import iter_edges, iter_nodes


def _require_networkx() -> Any:
    try:
        import networkx
    except ImportError:
        raise ImportError(
            "networkx is not installed; install it with `pip install networkx` "
            "(or `pip install orvi[networkx]`)"
        ) from None
    return networkx


def to_networkx(db: "orvi.GraphDB", labels_attr: str = "labels",
                label_attr: str = "label") -> Any:
    """The whole graph, pending changes included, as a MultiDiGraph. A
    property named like ``labels_attr`` (nodes) or ``label_attr`` (edges)
    raises ValueError: pass another attribute name."""
    nx = _require_networkx()
    graph = nx.MultiDiGraph()
    for node in iter_nodes(db):
        attrs: Dict[str, Any] = node.properties
        if labels_attr in attrs:
            raise ValueError(
                f"node {node.id} has a property named {labels_attr!r}, where the labels go; "
                "pass another labels_attr")
        attrs[labels_attr] = node.labels
        graph.add_node(node.id, **attrs)
    for edge in iter_edges(db):
        attrs = dict(edge.properties)
        if label_attr in attrs:
            raise ValueError(
                f"edge {edge.id} has a property named {label_attr!r}, where the label goes; "
                "pass another label_attr")
        attrs[label_attr] = edge.label
        graph.add_edge(edge.from_node, edge.to_node, key=edge.id, **attrs)
    return graph


def _value(value: Any) -> Any:
    if isinstance(value, tuple):
        return [_value(item) for item in value]
    if isinstance(value, list):
        return [_value(item) for item in value]
    if isinstance(value, dict):
        return {key: _value(item) for key, item in value.items()}
    return value


def _node_labels(key: Hashable, value: Any) -> list:
    if value is None:
        return []
    if isinstance(value, str):
        return [value]
    if isinstance(value, (list, tuple)) and all(isinstance(v, str) for v in value):
        return list(value)
    raise ValueError(f"node {key!r}: labels must be a string or a list of strings, "
                     f"not {type(value).__name__}")


def from_networkx(graph: Any, db: "orvi.GraphDB", labels_attr: str = "labels",
                  label_attr: str = "label", commit: bool = True,
                  page_budget: int = DEFAULT_PAGE_BUDGET) -> Dict[Hashable, int]:
    """Adds ``graph`` to ``db``; returns {graph node key: new node id}.

    With ``commit=True`` (the default) the records are committed in batches
    that fit the 4 MiB commit log, so graphs of any size can be added; the
    changes pending in ``db`` before the call are committed first. A
    failure part-way rolls back the batch it happened in and leaves the
    batches committed before it in place; for an all-or-nothing load, work
    on a copy of the file. With
    ``commit=False`` everything stays pending for the caller to commit or
    roll back (and the commit log limits what one commit can hold).

    An attribute value that cannot be a property raises ValueError naming
    the node or edge."""
    if commit:
        db.commit()
    writer = BatchWriter(db, page_budget=page_budget, commit=commit)
    try:
        _write_graph(graph, writer, labels_attr, label_attr)
    except BaseException:
        if commit:
            db.rollback()
        raise
    return dict(writer.ids)


def _write_graph(graph: Any, writer: BatchWriter, labels_attr: str, label_attr: str) -> None:
    for key, attrs in graph.nodes(data=True):
        props = {name: _value(v) for name, v in attrs.items() if name != labels_attr}
        try:
            writer.add_node(key, _node_labels(key, attrs.get(labels_attr)), props)
        except ImportFailed as e:
            raise ValueError(f"node {key!r}: {e}") from None
    edges = (graph.edges(keys=True, data=True) if graph.is_multigraph()
             else ((u, v, None, d) for u, v, d in graph.edges(data=True)))
    for source, target, ekey, attrs in edges:
        label = attrs.get(label_attr, "")
        where = f"edge {source!r} -> {target!r}" + (f" (key {ekey!r})" if ekey is not None else "")
        if not isinstance(label, str):
            raise ValueError(f"{where}: the label must be a string, not {type(label).__name__}")
        props = {name: _value(v) for name, v in attrs.items() if name != label_attr}
        try:
            writer.add_edge(source, label, target, props)
        except ImportFailed as e:
            raise ValueError(f"{where}: {e}") from None
    writer.finish()

