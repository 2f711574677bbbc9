"""orvi_tools.algorithms against networkx on random multigraphs, and its
edge cases."""

import _thread

import networkx as nx
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import orvi
from helpers import CLOSED, check, node_id_message, node_missing, snapshot
from orvi_tools import algorithms as alg
from test_repair import SlotFile, cycle_message, triangle  # noqa: F401

LABELS = "ab"


def build(spec):
    """The database of `spec` (part committed, the rest pending) and the
    same multigraph in networkx, each edge keyed by its orvi id."""
    n, edges, gone_nodes, gone_edges, commit_at = spec
    db = orvi.open(":memory:")
    g = nx.MultiDiGraph()
    ids = [db.add_node([]).id for _ in range(n)]
    g.add_nodes_from(ids)
    for i, (a, b, label) in enumerate(edges if n else []):
        if i == commit_at:
            db.commit()
        e = db.add_edge(ids[a % n], label, ids[b % n])
        g.add_edge(e.from_node, e.to_node, key=e.id, label=label)
    for i in sorted(gone_edges):
        if g.number_of_edges() and i < len(edges):
            u, v, key = list(g.edges(keys=True))[i % g.number_of_edges()]
            db.delete_edge(key)
            g.remove_edge(u, v, key)
    for i in gone_nodes:
        if n and ids[i % n] in g:
            db.delete_node(ids[i % n])
            g.remove_node(ids[i % n])
    return db, g


def labelled(g, label):
    if label is None:
        return g
    h = nx.MultiDiGraph()
    h.add_nodes_from(g)
    h.add_edges_from((u, v) for u, v, lab in g.edges(data="label") if lab == label)
    return h


def directed(g, direction):
    return {"out": g, "in": g.reverse(), "both": g.to_undirected()}[direction]


def ordered(components):
    return sorted((set(c) for c in components), key=lambda c: (-len(c), min(c)))


def assert_walks(db, g, label):
    for s in g:
        if label is None:
            assert alg.bfs(db, s, 3) == [(n.id, d) for n, d in db.bfs(s, 3)]
        want = db.shortest_path(s, s + 1, edge_label=label) if s + 1 in g else None
        if want is not None:
            assert alg.shortest_path(db, s, s + 1, edge_label=label) == [n.id for n in want]
        for direction in ("out", "in", "both"):
            h = directed(g, direction)
            found = alg.bfs(db, s, 3, direction=direction, edge_label=label)
            lengths = nx.single_source_shortest_path_length(h, s, cutoff=3)
            assert dict(found) == {v: d for v, d in lengths.items() if v != s}
            assert [d for _, d in found] == sorted(d for _, d in found)
            for t in g:
                path = alg.shortest_path(db, s, t, direction=direction, edge_label=label)
                if not nx.has_path(h, s, t):
                    assert path is None
                    continue
                assert len(path) == nx.shortest_path_length(h, s, t) + 1
                assert path[0] == s and path[-1] == t
                assert all(h.has_edge(u, v) for u, v in zip(path, path[1:]))
        assert alg.descendants(db, s, edge_label=label) == nx.descendants(g, s)
        assert alg.ancestors(db, s, edge_label=label) == nx.ancestors(g, s)


def assert_whole_graph(db, g, label):
    assert alg.weakly_connected_components(db, edge_label=label) == ordered(
        nx.weakly_connected_components(g))
    assert alg.strongly_connected_components(db, edge_label=label) == ordered(
        nx.strongly_connected_components(g))
    if nx.is_directed_acyclic_graph(g):
        order = alg.topological_sort(db, edge_label=label)
        place = {v: i for i, v in enumerate(order)}
        assert sorted(order) == sorted(g)
        assert all(place[u] < place[v] for u, v in g.edges())
    else:
        with pytest.raises(ValueError) as info:
            alg.topological_sort(db, edge_label=label)
        cycle = [int(x) for x in str(info.value).split(": ")[1].split(" -> ")]
        assert cycle[0] == cycle[-1]
        assert all(g.has_edge(u, v) for u, v in zip(cycle, cycle[1:]))
    try:
        want = nx.pagerank(g, 0.85, weight=None)
    except nx.PowerIterationFailedConvergence:
        with pytest.raises(nx.PowerIterationFailedConvergence):
            alg.pagerank(db, edge_label=label)
        return
    got = alg.pagerank(db, edge_label=label)
    assert got.keys() == want.keys()
    assert all(abs(got[v] - want[v]) < 1e-6 for v in want)


specs = st.tuples(
    st.integers(0, 10),
    st.lists(st.tuples(st.integers(0, 9), st.integers(0, 9), st.sampled_from(LABELS)),
             max_size=30),
    st.sets(st.integers(0, 9), max_size=2),
    st.sets(st.integers(0, 29), max_size=4),
    st.integers(0, 30),
)


@settings(max_examples=60, deadline=None)
@given(specs, st.sampled_from([None, "a"]))
def test_against_networkx(spec, label):
    db, g = build(spec)
    with db:
        before = snapshot(db)
        h = labelled(g, label)
        assert_walks(db, h, label)
        assert_whole_graph(db, h, label)
        assert snapshot(db) == before


class TestEdgeCases:
    def test_missing_start(self, mem):
        a = mem.add_node([])
        for call in (lambda: alg.bfs(mem, 9, 2, direction="in"),
                     lambda: alg.shortest_path(mem, 9, a, direction="both"),
                     lambda: alg.shortest_path(mem, 9, a),
                     lambda: alg.descendants(mem, 9),
                     lambda: alg.ancestors(mem, 0)):
            with pytest.raises(orvi.NodeNotFoundError) as info:
                call()
            assert info.value.args[0] in (node_missing(9), node_missing(0))
        with check(orvi.NodeNotFoundError, node_missing(9)):
            mem.bfs(9, 1)
        assert alg.bfs(mem, 9, 0) == mem.bfs(9, 0) == []
        assert alg.shortest_path(mem, a, 9, direction="in") is None

    def test_empty_and_single_node(self, mem):
        assert alg.weakly_connected_components(mem) == []
        assert alg.strongly_connected_components(mem) == []
        assert alg.topological_sort(mem) == []
        assert alg.pagerank(mem) == {}
        a = mem.add_node(["x"])
        assert alg.bfs(mem, a, 5, direction="both") == []
        assert alg.shortest_path(mem, a, a) == [a.id]
        assert alg.topological_sort(mem) == [a.id]
        assert alg.pagerank(mem) == {a.id: 1.0}
        mem.add_edge(a, "self", a)
        with check(ValueError, "the graph has a cycle, so it has no topological order: "
                               f"{a.id} -> {a.id}"):
            alg.topological_sort(mem)
        assert alg.topological_sort(mem, edge_label="none") == [a.id]

    def test_unreachable_goal_and_unknown_label(self, mem):
        a, b, c = (mem.add_node([]).id for _ in range(3))
        mem.add_edge(a, "dep", b)
        assert alg.shortest_path(mem, b, a) is None
        assert alg.shortest_path(mem, a, c, direction="both") is None
        assert alg.bfs(mem, a, 3, edge_label="nothing") == []
        assert alg.descendants(mem, a, edge_label="nothing") == set()
        assert alg.weakly_connected_components(mem, edge_label="nothing") == [{a}, {b}, {c}]

    def test_arguments(self, mem):
        a = mem.add_node([])
        with check(ValueError, node_id_message("str")):
            alg.bfs(mem, "1", 1)
        message = "invalid direction: got 'up' (use 'out', 'in', or 'both')."
        with check(ValueError, message):
            alg.bfs(mem, a, 1, direction="up")
        with check(ValueError, message):
            mem.neighbors(a, direction="up")
        with pytest.raises(UnicodeEncodeError):
            alg.descendants(mem, a, edge_label="\udc80")
        with pytest.raises(TypeError):
            alg.pagerank(object())
        mem.close()
        with check(ValueError, CLOSED):
            alg.weakly_connected_components(mem)

    def test_inside_a_transaction(self, filedb):
        a, b = filedb.add_node([]).id, filedb.add_node([]).id
        filedb.commit()
        with pytest.raises(RuntimeError):
            with filedb.transaction():
                filedb.add_edge(b, "x", a)
                assert alg.topological_sort(filedb) == [b, a]
                assert alg.ancestors(filedb, a) == {b}
                raise RuntimeError("roll back")
        assert alg.topological_sort(filedb) == [a, b]
        assert alg.ancestors(filedb, a) == set()

    def test_no_convergence(self, mem):
        a, b = mem.add_node([]), mem.add_node([])
        mem.add_edge(a, "x", b)
        with pytest.raises(nx.PowerIterationFailedConvergence):
            alg.pagerank(mem, max_iter=1)


class TestInterruptsAndDamage:
    def test_ctrl_c_leaves_everything(self, path, monkeypatch):
        db = orvi.open(path)
        ids = [db.add_node([]).id for _ in range(5)]
        db.commit()
        for u, v in zip(ids, ids[1:]):
            db.add_edge(u, "x", v)
        before = snapshot(db, adjacency=True)

        class Bar:
            def update(self, n):
                raise KeyboardInterrupt

            def close(self):
                pass

        def interrupt_at_start(total, desc):
            _thread.interrupt_main()
            return Bar()

        for make in (lambda total, desc: Bar(), interrupt_at_start):
            monkeypatch.setattr(alg, "bar", make)
            for run in (alg.pagerank, alg.weakly_connected_components, alg.topological_sort):
                with pytest.raises(KeyboardInterrupt):
                    run(db, progress=True)
        assert snapshot(db, adjacency=True) == before
        assert alg.topological_sort(db) == ids
        db.close()

    def test_progress_passes(self, mem, monkeypatch):
        ids = [mem.add_node([]).id for _ in range(3)]
        mem.add_edge(ids[0], "x", ids[1])
        seen = []

        class Bar:
            def __init__(self, total, desc):
                seen.append([desc, total, 0])

            def update(self, n):
                seen[-1][2] += n

            def close(self):
                seen[-1].append("closed")

        monkeypatch.setattr(alg, "bar", Bar)
        alg.pagerank(mem, progress=True)
        alg.topological_sort(mem, progress=True)
        iterations = seen[1][2]
        assert seen == [["pagerank (reading)", 1, 1, "closed"],
                        ["pagerank (iterations)", 100, iterations, "closed"],
                        ["topological sort (reading)", 1, 1, "closed"],
                        ["topological sort (nodes)", 3, 3, "closed"]]
        assert 0 < iterations < 100

    def test_damaged_list(self, triangle):  # noqa: F811
        slots = SlotFile(triangle)
        slots.set_edge(1, "next_out", 3)
        slots.save()
        with orvi.open(triangle) as db:
            for call in (lambda: alg.bfs(db, 1, 2), lambda: alg.descendants(db, 1),
                         lambda: alg.pagerank(db)):
                with check(orvi.CorruptedFileError, cycle_message(1, "out-edge", 3)):
                    call()


# Damage to the triangle's slots, as (kind, id, field, value). Out-lists
# there: 1: [7, 3, 2, 1], 2: [4], 3: [5]; edge 6 (3 -> 1) is deleted.
DAMAGE = [
    ("edge", 1, "next_out", 3),            # a cycle
    ("edge", 3, "next_out", 99),           # a link to an edge never created
    ("edge", 7, "next_out", 4),            # into node 2's list
    ("edge", 4, "from", 1),                # a member naming another source
    ("edge", 3, "next_out", 1),            # edge 2 left off its list
    ("node", 1, "first_out", 3),           # edge 7 left off its list
    ("node", 3, "first_out", 0),           # node 3's list cut off
    ("edge", 2, "flags", 1),               # deleted but still linked
    ("edge", 6, "flags", 0),               # live again but on no list
    ("edge", 4, "to", 99),                 # a target that is no node
    ("edge", 7, "label_len", 0xFFFFFFFF),  # a label blob that cannot be read
    ("edge", 5, "prop_len", 5),            # properties outside the data region
]


@pytest.mark.parametrize("label", [None, "ab"])
@pytest.mark.parametrize("damage", DAMAGE)
def test_damage_answered_as_the_walks_see_it(triangle, damage, label):  # noqa: F811
    """Whole-graph calls fail with the first error the handle's own list
    walks meet, and otherwise answer for the graph those walks show."""
    kind, record, field, value = damage
    slots = SlotFile(triangle)
    (slots.set_node if kind == "node" else slots.set_edge)(record, field, value)
    slots.save()
    with orvi.open(triangle) as db:
        nodes = [n.id for n in db.all_nodes()]
        g = nx.MultiDiGraph()
        g.add_nodes_from(nodes)
        try:
            for u in nodes:
                g.add_edges_from((u, e.to_node) for e in db.out_edges(u, label)
                                 if e.to_node in g)
        except orvi.CorruptedFileError as e:
            for call in (alg.weakly_connected_components, alg.strongly_connected_components,
                         alg.topological_sort, alg.pagerank):
                with check(orvi.CorruptedFileError, e.args[0]):
                    call(db, edge_label=label)
            return
        assert_whole_graph(db, g, label)
