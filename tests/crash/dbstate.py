"""The whole content of an orvi database as plain Python values, and the
consistency checks that every reopened database must pass.

Shared by the crash harness (tests/crash), the fault tests (tests/faults)
and the concurrency tests. A state is a pair of dicts:

    nodes: {id: (labels tuple, properties dict)}
    edges: {id: (label, from_node, to_node, properties dict)}

Two states are equal when the dicts are equal; property values compare
with Python equality, so an int and a float that differ in type but not in
value would be mixed up, which the workloads avoid by never storing both
under one key.
"""

from __future__ import annotations

import os
import struct


def dump(db):
    """The state of an open database, pending changes included."""
    nodes = {n.id: (tuple(n.labels), n.properties) for n in db.all_nodes()}
    edges = {
        e.id: (e.label, e.from_node, e.to_node, e.properties) for e in db.all_edges()
    }
    return nodes, edges


def adjacency_problems(db, state=None):
    """Everything about the open database's adjacency that disagrees with
    its live edge records: each live node's out_edges/in_edges must list
    exactly the live edges leaving/entering it, newest first, degree_stats
    must count the same edges, and node_count/edge_count must match.
    Returns a list of texts (empty when consistent)."""
    nodes, edges = state if state is not None else dump(db)
    problems = []
    if db.node_count() != len(nodes):
        problems.append(f"node_count {db.node_count()} != {len(nodes)} live nodes")
    if db.edge_count() != len(edges):
        problems.append(f"edge_count {db.edge_count()} != {len(edges)} live edges")
    outs = {nid: [] for nid in nodes}
    ins = {nid: [] for nid in nodes}
    for eid, (_, src, dst, _) in edges.items():
        if src not in nodes or dst not in nodes:
            problems.append(f"edge {eid} {src}->{dst} names a missing node")
            continue
        outs[src].append(eid)
        ins[dst].append(eid)
    degrees = {}
    for nid in nodes:
        want_out = sorted(outs[nid], reverse=True)
        want_in = sorted(ins[nid], reverse=True)
        got_out = [e.id for e in db.out_edges(nid)]
        got_in = [e.id for e in db.in_edges(nid)]
        if got_out != want_out:
            problems.append(f"node {nid} out_edges {got_out} != {want_out}")
        if got_in != want_in:
            problems.append(f"node {nid} in_edges {got_in} != {want_in}")
        if want_out or want_in:
            degrees[nid] = (len(want_out), len(want_in))
    stats = db.degree_stats()
    if stats != degrees:
        problems.append("degree_stats disagrees with the edge records")
    problems.extend(label_problems(db, nodes))
    return problems


def label_problems(db, nodes):
    """The label index against the node records: a label query must give
    exactly the live nodes carrying that label (plus a few labels no node
    carries)."""
    by_label = {}
    for nid, (labels, _) in nodes.items():
        for label in labels:
            by_label.setdefault(label, set()).add(nid)
    problems = []
    for label in sorted(by_label) + ["Person", "City", "Tag", "Thing", "New", "Small", "Probe"]:
        got = [n.id for n in db.nodes().label(label).fetch()]
        want = sorted(by_label.get(label, ()))
        if got != want:
            problems.append(f"label query {label!r} gives {got[:8]}, records say {want[:8]}")
    return problems


def stored_degrees(path):
    """{node id: (out_degree, in_degree)} as stored in the live node slots
    of a closed database file whose commit log is empty, read through the
    tools' engine: the degree counters are not visible through the API."""
    from orvi_tools import _engine

    out = {}
    with _engine.open(path) as f:
        if f.pending_commit() is not None:
            raise ValueError("the file holds a pending commit")
        for nid in range(1, f.header()["next_node_id"]):
            slot = f.node_slot(nid)
            if slot["id"] != 0 and not slot["flags"] & 1:
                out[nid] = (slot["out_degree"], slot["in_degree"])
    return out


def degree_problems(path, state):
    """Stored degree counters of a closed file against the edge records."""
    nodes, edges = state
    want = {nid: [0, 0] for nid in nodes}
    for _, src, dst, _ in edges.values():
        if src in want:
            want[src][0] += 1
        if dst in want:
            want[dst][1] += 1
    got = stored_degrees(path)
    problems = []
    for nid, (o, i) in want.items():
        if got.get(nid) != (o, i):
            problems.append(f"node {nid} stored degrees {got.get(nid)} != {(o, i)}")
    return problems


def describe_difference(got, want, limit=5):
    """A short text naming the first differences between two states."""
    lines = []
    for kind, g, w in (("node", got[0], want[0]), ("edge", got[1], want[1])):
        for rid in sorted(set(g) | set(w)):
            if g.get(rid) != w.get(rid):
                lines.append(f"{kind} {rid}: have {g.get(rid)!r}, want {w.get(rid)!r}")
                if len(lines) >= limit:
                    return "; ".join(lines)
    return "; ".join(lines) or "equal"


def file_wal_length(path):
    """The header's wal_length: nonzero while a commit waits for recovery."""
    from orvi_tools import _engine

    try:
        with open(path, "rb") as f:
            f.seek(_engine.LAYOUT["header_fields"]["wal_length"])
            raw = f.read(8)
    except FileNotFoundError:
        return 0
    return struct.unpack("<Q", raw)[0] if len(raw) == 8 else 0


def lock_owner_missing(path):
    """True when the lock directory exists without a readable pid: the
    state a process killed between creating the directory and writing
    owner.json leaves behind, which is never reclaimed automatically."""
    lock = path + ".lock"
    if not os.path.isdir(lock):
        return False
    try:
        with open(os.path.join(lock, "owner.json"), "rb") as f:
            text = f.read()
    except OSError:
        return True
    return b'"pid"' not in text or not any(c in b"0123456789" for c in text)
