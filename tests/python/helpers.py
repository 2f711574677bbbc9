"""Helpers shared by the binding tests: exact-error checks, the engine's
message texts, database snapshots and where the repository is."""

import contextlib
import json
import re
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]

CLOSED = (
    "orvi: database handle is closed; reopen with orvi.open(path) before "
    "issuing further operations."
)


@contextlib.contextmanager
def check(exc_class, message):
    """Asserts that the block raises exactly `exc_class` with `message` as
    its single argument."""
    with pytest.raises(BaseException) as info:
        yield info
    assert type(info.value) is exc_class, repr(info.value)
    assert info.value.args == (message,), info.value.args


def node_missing(i):
    return (f"No node with id {i}. Use a positive integer id returned from "
            "add_node() or an existing Node.id; id 0 is never valid.")


def edge_missing(i):
    return (f"No edge with id {i}. Use a positive integer id returned from "
            "add_edge()/merge_edge() or an existing Edge.id; id 0 is never "
            "valid.")


def node_id_message(type_name):
    return (
        "Expected a orvi.Node instance or a non-negative integer node id; got "
        f"type `{type_name}`. Use the value returned by add_node() or node.id."
    )


def snapshot(db, adjacency=False):
    """Everything readable about a database, for before/after comparisons;
    with `adjacency`, also every node's out- and in-edge ids in list order."""
    state = ([(n.id, n.labels, n.properties) for n in db.all_nodes()],
             [(e.id, e.label, e.from_node, e.to_node, e.properties)
              for e in db.all_edges()])
    if adjacency:
        nodes = db.all_nodes()
        state += ({n.id: [e.id for e in db.out_edges(n)] for n in nodes},
                  {n.id: [e.id for e in db.in_edges(n)] for n in nodes})
    return state


def exact_state(db):
    """snapshot() with adjacency as one comparable text: NaN equals NaN,
    -0.0 differs from 0.0 and 1 from 1.0, key order does not count."""
    return json.dumps(snapshot(db, adjacency=True), sort_keys=True)


def project_version():
    """The version declared once, in the project() call of CMakeLists.txt."""
    text = (REPO / "CMakeLists.txt").read_text(encoding="utf-8")
    return re.search(r"project\(orvi VERSION ([0-9.]+)", text).group(1)
