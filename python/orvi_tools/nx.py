"""Conversion between an orvi database and a networkx graph.

``to_networkx(db)`` gives a ``networkx.MultiDiGraph``: one node per live
node, with the labels (a list) under ``labels_attr`` and the properties as
further attributes; one edge per live edge, keyed by its orvi edge id, with
the label under ``label_attr`` and the properties. A node is keyed by the
graph key stored in its ``key_attr`` property (which is then not an
attribute), or by its orvi id when it has none.

``from_networkx(graph, db)`` adds a graph's nodes and edges as new records
and returns the map from the graph's node keys to the new node ids. ``db``
is an open database, or the path of a database file that no one has open:
then the records are built directly into a copy of the file (created when
missing) that replaces it when complete, as ``orvi import`` does. Any
networkx graph type is accepted: an undirected edge becomes one directed
edge in the order networkx reports its ends. Node labels come from
``labels_attr`` (a list or tuple of strings, or one string), edge labels
from ``label_attr`` (a string; absent gives the empty label); every other
attribute becomes a property, with tuples stored as lists.

Node keys survive the round trip: ``from_networkx`` stores each node's key
in the property ``key_attr``, by default ``"nx:key"`` (a name with a colon
cannot be given as a keyword argument, so ``add_node(n, name=...)`` never
produces it). Strings, booleans, 64-bit integers and floats are stored as
they are; a tuple is stored as a list (of stored keys) and comes back as a
tuple, since a list cannot be a graph node. Other keys (frozensets, larger
integers, arbitrary objects) cannot come back equal and are refused; pass
``key_attr=None`` to store no keys (``to_networkx`` then keys every node by
its orvi id, as it does with ``key_attr=None``).

networkx is imported only when these functions run, so the rest of the
package works without it.
"""

from __future__ import annotations

import os
from typing import Any, Dict, Hashable, Optional, Union

import orvi

from .batch import DEFAULT_PAGE_BUDGET, BatchWriter, ImportFailed
from .build import Loader
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


DEFAULT_KEY_ATTR = "nx:key"
_INT64 = range(-(2 ** 63), 2 ** 63)


def _stored_key(key: Any) -> Any:
    """A graph node key as a property value that reads back equal, or
    ValueError."""
    if isinstance(key, (str, bool, float)):
        return key
    if isinstance(key, int):
        if key in _INT64:
            return key
        raise ValueError("an integer key beyond 64 bits cannot be stored exactly")
    if isinstance(key, tuple):
        return [_stored_key(item) for item in key]
    raise ValueError(f"a key of type {type(key).__name__} cannot be stored as a property")


def _restored_key(value: Any) -> Hashable:
    if isinstance(value, list):
        return tuple(_restored_key(item) for item in value)
    if isinstance(value, dict) or value is None:
        raise ValueError(f"{value!r} cannot be a graph node key")
    return value


def to_networkx(db: "orvi.GraphDB", labels_attr: str = "labels",
                label_attr: str = "label", key_attr: Optional[str] = DEFAULT_KEY_ATTR) -> Any:
    """The whole graph, pending changes included, as a MultiDiGraph.

    Nodes carrying the property ``key_attr`` (written by ``from_networkx``)
    are keyed by it, the others by their orvi id; two nodes with the same
    key raise ValueError (pass ``key_attr=None`` to key every node by its
    id and keep the property as an attribute). A property named like
    ``labels_attr`` (nodes) or ``label_attr`` (edges) raises ValueError:
    pass another attribute name."""
    nx = _require_networkx()
    graph = nx.MultiDiGraph()
    keys: Dict[int, Hashable] = {}
    owners: Dict[Hashable, int] = {}
    for node in iter_nodes(db):
        attrs: Dict[str, Any] = node.properties
        if labels_attr in attrs:
            raise ValueError(
                f"node {node.id} has a property named {labels_attr!r}, where the labels go; "
                "pass another labels_attr")
        key: Hashable = node.id
        if key_attr is not None and key_attr in attrs:
            try:
                key = _restored_key(attrs.pop(key_attr))
            except ValueError as e:
                raise ValueError(f"node {node.id}: its {key_attr!r} property {e}; "
                                 "pass key_attr=None to key nodes by id") from None
        if key in owners:
            raise ValueError(f"nodes {owners[key]} and {node.id} both have the graph key "
                             f"{key!r}; pass key_attr=None to key nodes by id")
        owners[key] = node.id
        if key != node.id or type(key) is not int:
            keys[node.id] = key
        attrs[labels_attr] = node.labels
        graph.add_node(key, **attrs)
    for edge in iter_edges(db):
        attrs = dict(edge.properties)
        if label_attr in attrs:
            raise ValueError(
                f"edge {edge.id} has a property named {label_attr!r}, where the label goes; "
                "pass another label_attr")
        attrs[label_attr] = edge.label
        graph.add_edge(keys.get(edge.from_node, edge.from_node),
                       keys.get(edge.to_node, edge.to_node), key=edge.id, **attrs)
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


class _BuildWriter:
    """What _write_graph needs of a writer, over a builder's Loader; a
    record the database refuses raises ValueError naming it."""

    def __init__(self, loader: Loader) -> None:
        self.loader = loader
        self.ids = loader.ids

    def add_node(self, key: Hashable, labels: Any, props: Dict[str, Any]) -> None:
        try:
            self.loader.add_node(key, labels, props, f"node {key!r}")
        except ImportFailed as e:
            raise ValueError(str(e)) from None

    def add_edge(self, source: Hashable, label: str, target: Hashable,
                 props: Dict[str, Any]) -> None:
        try:
            self.loader.add_edge(source, label, target, props,
                                 f"edge {source!r} -> {target!r}")
        except ImportFailed as e:
            raise ValueError(str(e)) from None

    def finish(self) -> None:
        pass  # the loader is finished by the file's load


def _build_graph(graph: Any, path: str, labels_attr: str, label_attr: str,
                 key_attr: Optional[str]) -> Dict[Hashable, int]:
    from .fileops import load_into

    def feed(loader: Loader, _progress: Any) -> None:
        _write_graph(graph, _BuildWriter(loader), labels_attr, label_attr, key_attr)

    try:
        return dict(load_into(path, feed).ids)
    except ImportFailed as e:
        raise ValueError(str(e)) from None


def from_networkx(graph: Any, db: Union["orvi.GraphDB", str, "os.PathLike[str]"],
                  labels_attr: str = "labels",
                  label_attr: str = "label", commit: bool = True,
                  page_budget: int = DEFAULT_PAGE_BUDGET,
                  key_attr: Optional[str] = DEFAULT_KEY_ATTR) -> Dict[Hashable, int]:
    """Adds ``graph`` to ``db``; returns {graph node key: new node id}.

    Each node's key is stored in its property ``key_attr`` (see the module
    comment; ``None`` stores none). A node attribute of that name, or a
    key that cannot be stored exactly, raises ValueError.

    With ``commit=True`` (the default) the records are committed in batches
    that fit the 4 MiB commit log, so graphs of any size can be added; the
    changes pending in ``db`` before the call are committed first. A
    failure part-way rolls back the batch it happened in and leaves the
    batches committed before it in place; for an all-or-nothing load, work
    on a copy of the file. With
    ``commit=False`` everything stays pending for the caller to commit or
    roll back (and the commit log limits what one commit can hold).

    With a path instead of a database, the graph is built into the file
    all or nothing (``commit`` and ``page_budget`` do not apply).

    An attribute value that cannot be a property raises ValueError naming
    the node or edge."""
    if isinstance(db, (str, os.PathLike)):
        return _build_graph(graph, os.fspath(db), labels_attr, label_attr, key_attr)
    if commit:
        db.commit()
    writer = BatchWriter(db, page_budget=page_budget, commit=commit)
    try:
        _write_graph(graph, writer, labels_attr, label_attr, key_attr)
    except BaseException:
        if commit:
            db.rollback()
        raise
    return dict(writer.ids)


def _write_graph(graph: Any, writer: BatchWriter, labels_attr: str, label_attr: str,
                 key_attr: Optional[str]) -> None:
    for key, attrs in graph.nodes(data=True):
        props = {name: _value(v) for name, v in attrs.items() if name != labels_attr}
        if key_attr is not None:
            if key_attr in props:
                raise ValueError(f"node {key!r} has an attribute named {key_attr!r}, where "
                                 "the node key goes; pass another key_attr (or key_attr=None)")
            try:
                props[key_attr] = _stored_key(key)
            except ValueError as e:
                raise ValueError(f"node {key!r}: {e}; pass key_attr=None to store no keys "
                                 "(the returned map still gives every node's id)") from None
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

