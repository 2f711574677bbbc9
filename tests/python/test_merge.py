"""GraphDB.merge_from(), GraphDB.merge_edge() and the MergeReport class:
counts and id maps, key matching, conflict policies, edge strategies,
argument checks, failures part-way, and merging from two threads."""

import inspect
import math
import threading

import pytest

import orvi
from helpers import CLOSED, check, snapshot

SELF_MERGE = ("merge_from: source and destination must be different GraphDB "
              "instances")
EMPTY_KEY = ("merge_from: node_key must contain at least one property name "
             "(or be None)")


def bad_strategy(value):
    return (f"merge_from: invalid edge_strategy '{value}': expected 'append' "
            "or 'idempotent'")


def bad_conflict(value):
    return (f"merge_from: invalid on_node_conflict '{value}': expected "
            "'keep_dst', 'overwrite_from_src', or 'merge_props'")


def key_missing(node_id, name):
    return (f"Merge key not found: source node {node_id} has no property "
            f"'{name}' required by NodeIdentity::ByProperty")


@pytest.fixture
def src():
    db = orvi.open(":memory:")
    yield db
    db.close()


class TestAlwaysNew:
    def test_empty_source(self, db, src):
        db.add_node(["X"])
        before = snapshot(db)
        report = db.merge_from(src)
        assert (report.nodes_created, report.nodes_reused,
                report.edges_created, report.edges_reused) == (0, 0, 0, 0)
        assert report.node_id_map == {} and report.edge_id_map == {}
        assert snapshot(db) == before

    def test_copies_with_new_ids(self, db, src):
        # The destination already has records, so every id shifts.
        db.add_node(["Old"])
        db.add_node(["Old"])
        a = src.add_node(["P", "Q"], name="a", n=[1, {"x": None}])
        b = src.add_node([], name="b")
        c = src.add_node(["P"])
        src.add_edge(a, "K", b, w=1.5)
        src.add_edge(c, "L", c)
        report = db.merge_from(src)
        assert (report.nodes_created, report.nodes_reused) == (3, 0)
        assert (report.edges_created, report.edges_reused) == (2, 0)
        assert report.node_id_map == {a.id: 3, b.id: 4, c.id: 5}
        assert report.edge_id_map == {1: 1, 2: 2}
        assert db.get_node(3).labels == ["P", "Q"]
        assert db.get_node(3).properties == {"name": "a", "n": [1, {"x": None}]}
        assert (db.get_node(4).labels, db.get_node(4).properties) == ([], {"name": "b"})
        e1, e2 = db.get_edge(1), db.get_edge(2)
        assert (e1.from_node, e1.label, e1.to_node, e1.properties) == (3, "K", 4, {"w": 1.5})
        assert (e2.from_node, e2.to_node) == (5, 5)
        # Created nodes are in the label index.
        assert [n.id for n in db.nodes().label("P").fetch()] == [3, 5]
        # The source is only read.
        assert src.node_count() == 3 and src.edge_count() == 2

    def test_ids_beyond_holes(self, db, src):
        # Deleted source ids do not appear; the map covers live ones only.
        nodes = [src.add_node([], i=i) for i in range(4)]
        src.delete_node(nodes[1])
        src.add_edge(nodes[0], "x", nodes[3])
        report = db.merge_from(src)
        assert sorted(report.node_id_map) == [1, 3, 4]
        assert report.edge_id_map == {1: 1}
        edge = db.get_edge(1)
        assert (edge.from_node, edge.to_node) == (report.node_id_map[1],
                                                  report.node_id_map[4])

    def test_sees_uncommitted_source_writes(self, path, src):
        with orvi.open(path) as other:
            other.add_node(["Committed"])
            other.commit()
            other.add_node(["Pending"])
            report = src.merge_from(other)
        assert report.nodes_created == 2
        assert [n.labels for n in src.all_nodes()] == [["Committed"], ["Pending"]]


class TestKeyMatching:
    def test_same_key_collapses_within_one_merge(self, db, src):
        src.add_node(["A"], k="x", v=1)
        src.add_node(["B"], k="x", v=2)
        src.add_node(["C"], k="y")
        report = db.merge_from(src, node_key=["k"])
        assert (report.nodes_created, report.nodes_reused) == (2, 1)
        assert report.node_id_map == {1: 1, 2: 1, 3: 2}
        # keep_dst: the first source node's values and labels stay.
        assert (db.get_node(1).labels, db.get_node(1).properties) == (["A"], {"k": "x", "v": 1})
        assert db.node_count() == 2

    @pytest.mark.parametrize("dst_value,src_value,matches", [
        (1, 1, True),
        (1.0, 1, False),
        (1, 1.0, False),
        (1.0, 1.0, True),
        (0.0, -0.0, True),
        (float("nan"), float("nan"), False),
        (True, 1, False),
        ("é", "e\u0301", False),
        ([1, [2]], [1, [2]], True),
        ([1, 2], [2, 1], False),
        ({"a": 1, "b": [None]}, {"b": [None], "a": 1}, True),
        ({"a": 1}, {"a": 1.0}, False),
        (None, None, True),
    ])
    def test_value_equality(self, db, src, dst_value, src_value, matches):
        db.add_node(["Dst"], k=dst_value)
        src.add_node(["Src"], k=src_value)
        report = db.merge_from(src, node_key=["k"])
        assert report.nodes_reused == (1 if matches else 0)
        assert report.node_id_map == {1: 1 if matches else 2}

    def test_nan_source_nodes_never_collapse(self, db, src):
        src.add_node([], k=float("nan"))
        src.add_node([], k=float("nan"))
        report = db.merge_from(src, node_key=["k"])
        assert (report.nodes_created, report.nodes_reused) == (2, 0)
        assert all(math.isnan(n["k"]) for n in db.all_nodes())

    def test_every_key_property_must_match(self, db, src):
        db.add_node(["Partial"], first="a", last="z")
        db.add_node(["Full"], first="a", last="b", extra=1)
        src.add_node([], first="a", last="b")
        report = db.merge_from(src, node_key=["first", "last"])
        assert report.node_id_map == {1: 2}

    def test_lowest_matching_id_wins(self, db, src):
        db.add_node([], k=5)
        db.add_node([], k=7)
        db.add_node([], k=7)
        src.add_node([], k=7)
        assert db.merge_from(src, node_key=["k"]).node_id_map == {1: 2}

    def test_deleted_destination_node_never_matches(self, db, src):
        gone = db.add_node([], k=1)
        db.add_node([], k=1)
        db.delete_node(gone)
        src.add_node([], k=1)
        assert db.merge_from(src, node_key=["k"]).node_id_map == {1: 2}

    def test_missing_key_property(self, db, src):
        src.add_node(["Keyed"], email="a@x")
        src.add_node(["Keyed"], email="b@x")
        src.add_node(["Keyless"], name="c")
        src.add_node(["Keyed"], email="d@x")
        db.add_node(["Dst"])  # no properties at all: never a match
        with check(orvi.MergeError, key_missing(3, "email")):
            db.merge_from(src, node_key=["email"])
        # The nodes written before the failure stay pending ...
        assert [n["email"] for n in db.all_nodes()[1:]] == ["a@x", "b@x"]
        # ... and a rollback removes them.
        db.rollback()
        assert db.node_count() == 0

    def test_missing_key_names_first_missing_property(self, db, src):
        src.add_node([], b=1)
        with check(orvi.MergeError, key_missing(1, "a")):
            db.merge_from(src, node_key=["a", "b", "c"])

    def test_node_key_tuple_accepted(self, db, src):
        db.add_node([], k=1)
        src.add_node([], k=1)
        assert db.merge_from(src, node_key=("k",)).nodes_reused == 1


class TestConflictPolicies:
    @pytest.mark.parametrize("policy,expected", [
        ("keep_dst", {"k": "x", "a": 1}),
        ("overwrite_from_src", {"k": "x", "a": 2, "b": 3}),
        ("merge_props", {"k": "x", "a": 1, "b": 3}),
    ])
    def test_matched_node(self, db, src, policy, expected):
        db.add_node(["Dst"], k="x", a=1)
        src.add_node(["Src", "Other"], k="x", a=2, b=3)
        report = db.merge_from(src, node_key=["k"], on_node_conflict=policy)
        assert (report.nodes_created, report.nodes_reused) == (0, 1)
        node = db.get_node(1)
        assert node.properties == expected
        assert node.labels == ["Dst"]
        # The label index did not pick up the source's labels either.
        assert db.nodes().label("Src").count() == 0
        assert db.nodes().label("Dst").count() == 1

    def test_merge_props_without_new_names_changes_nothing(self, db, src):
        db.add_node([], k="x", a=1)
        src.add_node([], k="x", a=2)
        db.merge_from(src, node_key=["k"], on_node_conflict="merge_props")
        assert db.get_node(1).properties == {"k": "x", "a": 1}


class TestEdgeStrategies:
    def build_source(self, src):
        a = src.add_node(["P"], k="a")
        b = src.add_node(["P"], k="b")
        src.add_edge(a, "KNOWS", b, since=2020)
        src.add_edge(b, "KNOWS", a)
        src.add_edge(a, "LIKES", a, w=[1])

    def test_idempotent_reuses_on_second_merge(self, db, src):
        self.build_source(src)
        first = db.merge_from(src, node_key=["k"], edge_strategy="idempotent")
        assert (first.nodes_created, first.edges_created, first.edges_reused) == (2, 3, 0)
        before = snapshot(db)
        second = db.merge_from(src, node_key=["k"], edge_strategy="idempotent")
        assert (second.nodes_created, second.nodes_reused) == (0, 2)
        assert (second.edges_created, second.edges_reused) == (0, 3)
        assert second.edge_id_map == first.edge_id_map
        assert snapshot(db) == before

    def test_idempotent_needs_equal_properties(self, db, src):
        a = db.add_node([], k="a")
        b = db.add_node([], k="b")
        db.add_edge(a, "KNOWS", b, since=1999)
        db.add_edge(a, "KNOWS", b, since=2020, extra=True)
        self.build_source(src)
        report = db.merge_from(src, node_key=["k"], edge_strategy="idempotent")
        assert (report.edges_created, report.edges_reused) == (3, 0)
        assert db.edge_count() == 5

    def test_idempotent_reuses_existing_edge(self, db, src):
        a = db.add_node([], k="a")
        b = db.add_node([], k="b")
        existing = db.add_edge(a, "KNOWS", b, since=2020)
        self.build_source(src)
        report = db.merge_from(src, node_key=["k"], edge_strategy="idempotent")
        assert (report.edges_created, report.edges_reused) == (2, 1)
        assert report.edge_id_map[1] == existing.id

    def test_append_duplicates(self, db, src):
        self.build_source(src)
        db.merge_from(src, node_key=["k"])
        second = db.merge_from(src, node_key=["k"], edge_strategy="append")
        assert (second.edges_created, second.edges_reused) == (3, 0)
        assert db.edge_count() == 6
        assert sorted(second.edge_id_map.values()) == [4, 5, 6]
        assert len(db.out_edges(1, "KNOWS")) == 2

    def test_rollback_undoes_merge(self, path, src):
        self.build_source(src)
        with orvi.open(path) as db:
            db.add_node(["Dst"], k="a")
            db.commit()
            before = snapshot(db)
            db.merge_from(src, node_key=["k"], edge_strategy="idempotent",
                          on_node_conflict="overwrite_from_src")
            assert db.edge_count() == 3
            db.rollback()
            assert snapshot(db) == before
            assert db.nodes().label("P").count() == 0
        with orvi.open(path) as db:
            assert snapshot(db) == before

    def test_committed_merge_persists(self, path, src):
        self.build_source(src)
        with orvi.open(path) as db:
            db.merge_from(src)
            db.commit()
        with orvi.open(path) as db:
            assert snapshot(db) == snapshot(src)


class TestMergeEdge:
    def test_reuse_and_create(self, db):
        a = db.add_node([])
        b = db.add_node([])
        first = db.merge_edge(a, "L", b, w=1)
        assert db.merge_edge(a.id, "L", b.id, w=1).id == first.id
        assert db.merge_edge(from_node=a, label="L", to_node=b, w=1).id == first.id
        # Other properties, label or target: a new edge.
        assert db.merge_edge(a, "L", b, w=2).id == first.id + 1
        assert db.merge_edge(a, "L", b).id == first.id + 2
        assert db.merge_edge(a, "M", b, w=1).id == first.id + 3
        assert db.merge_edge(b, "L", a, w=1).id == first.id + 4
        assert db.edge_count() == 5
        again = db.merge_edge(a, "L", b, w=2)
        assert (again.id, again.properties) == (first.id + 1, {"w": 2})

    def test_argument_order(self, mem):
        # The label is checked before the endpoints.
        with check(TypeError, "merge_edge() argument 'label' must be str, not int"):
            mem.merge_edge("bad", 5, "bad")
        with pytest.raises(ValueError, match="got type `str`"):
            mem.merge_edge("bad", "L", 1.5)
        with pytest.raises(ValueError, match="got type `float`"):
            mem.merge_edge(1, "L", 1.5)
        with pytest.raises(ValueError, match="Got type `tuple`"):
            mem.merge_edge(1, "L", 1, x=(1,))
        with check(orvi.NodeNotFoundError,
                   "No node with id 1. Use a positive integer id returned "
                   "from add_node() or an existing Node.id; id 0 is never "
                   "valid."):
            mem.merge_edge(1, "L", 1)
        with pytest.raises(TypeError):
            mem.merge_edge(1, "L")

    def test_closed(self, mem):
        mem.close()
        with check(ValueError, CLOSED):
            mem.merge_edge(1, "L", 1)


class TestArgumentErrors:
    def test_value_errors(self, db, src):
        src.add_node([], k=1)
        with check(ValueError, EMPTY_KEY):
            db.merge_from(src, node_key=[])
        with check(ValueError, bad_strategy("Append")):
            db.merge_from(src, edge_strategy="Append")
        with check(ValueError, bad_strategy("")):
            db.merge_from(src, edge_strategy="")
        with check(ValueError, bad_conflict("KEEP_DST")):
            db.merge_from(src, on_node_conflict="KEEP_DST")
        with check(ValueError, bad_conflict("merge props")):
            db.merge_from(src, on_node_conflict="merge props")
        with check(ValueError, SELF_MERGE):
            db.merge_from(db)
        assert db.node_count() == 0

    def test_check_order(self, src):
        # Types first (other, node_key, edge_strategy, on_node_conflict),
        # then the values in the same order, the same-instance check last.
        with pytest.raises(TypeError, match="'other'"):
            src.merge_from(None, node_key=[], edge_strategy=1)
        with pytest.raises(TypeError, match="'edge_strategy'"):
            src.merge_from(src, node_key=[], edge_strategy=1)
        with check(ValueError, EMPTY_KEY):
            src.merge_from(src, node_key=[], edge_strategy="x")
        with check(ValueError, bad_strategy("x")):
            src.merge_from(src, edge_strategy="x", on_node_conflict="y")
        with check(ValueError, bad_conflict("y")):
            src.merge_from(src, on_node_conflict="y")

    def test_type_errors(self, mem, src):
        with check(TypeError, "merge_from() argument 'other' must be GraphDB, not str"):
            mem.merge_from(":memory:")
        with check(TypeError, "merge_from() argument 'node_key' must be a sequence of str, not str"):
            mem.merge_from(src, node_key="k")
        with pytest.raises(TypeError, match="'node_key' must contain only str"):
            mem.merge_from(src, node_key=["k", 1])
        with pytest.raises(TypeError, match="'on_node_conflict' must be str"):
            mem.merge_from(src, on_node_conflict=None)
        with check(TypeError, "merge_from() takes exactly 1 positional argument (2 given)"):
            mem.merge_from(src, ["k"])
        with pytest.raises(TypeError, match="missing required argument 'other'"):
            mem.merge_from()
        with pytest.raises(UnicodeEncodeError):
            mem.merge_from(src, edge_strategy="\udcff")
        # `other` by keyword.
        assert mem.merge_from(other=src).nodes_created == 0

    def test_self_merge_takes_no_lock(self, path):
        # Even a closed handle merged into itself gets the instance error,
        # which shows no lock was taken before the check.
        db = orvi.open(path)
        db.close()
        with check(ValueError, SELF_MERGE):
            db.merge_from(db)

    def test_closed_source_or_destination(self, mem, src):
        src.add_node([])
        closed = orvi.open(":memory:")
        closed.close()
        with check(ValueError, CLOSED):
            mem.merge_from(closed)
        with check(ValueError, CLOSED):
            closed.merge_from(src)
        assert mem.node_count() == 0

    def test_signature(self):
        method = orvi.GraphDB.merge_from
        assert method.__text_signature__ == (
            '($self, other, *, node_key=None, edge_strategy="append", '
            'on_node_conflict="keep_dst")')
        assert method.__doc__ == (
            "Merge every live node and edge from `other` into `self`.\n\n"
            "Two-phase locking: snapshot the source under `other`'s lock, "
            "then\nrelease it and acquire `self`'s lock to write.  The locks "
            "are never\nheld simultaneously, so merging two databases from "
            "two Python threads\ncannot deadlock regardless of which side "
            "is locked first.")
        params = inspect.signature(method).parameters
        assert params["node_key"].kind is inspect.Parameter.KEYWORD_ONLY
        assert (orvi.GraphDB.merge_edge.__text_signature__
                == "($self, from_node, label, to_node, **kwargs)")


class TestMergeReport:
    def test_repr_and_fields(self, mem, src):
        a = src.add_node([])
        b = src.add_node([])
        src.add_edge(a, "x", b)
        report = mem.merge_from(src)
        assert repr(report) == ("MergeReport(nodes_created=2, nodes_reused=0, "
                                "edges_created=1, edges_reused=0)")
        assert all(type(getattr(report, f)) is int for f in
                   ["nodes_created", "nodes_reused", "edges_created", "edges_reused"])

    def test_maps_are_fresh_dicts(self, mem, src):
        src.add_node([])
        src.add_edge(1, "x", 1)
        report = mem.merge_from(src)
        first = report.node_id_map
        assert type(first) is dict and first == {1: 1}
        first[99] = 99
        assert report.node_id_map == {1: 1}
        assert report.node_id_map is not report.node_id_map
        edges = report.edge_id_map
        edges.clear()
        assert report.edge_id_map == {1: 1}

    def test_read_only_and_detached(self, src):
        src.add_node([])
        dst = orvi.open(":memory:")
        report = dst.merge_from(src)
        dst.close()
        src.close()
        assert report.node_id_map == {1: 1}  # usable after both closed
        with pytest.raises(AttributeError):
            report.nodes_created = 5
        with pytest.raises(AttributeError):
            del report.node_id_map
        assert report.nodes_created == 1

    def test_class(self):
        with check(TypeError, "cannot create 'orvi.MergeReport' instances"):
            orvi.MergeReport()
        assert orvi.MergeReport.__module__ == "orvi"
        assert orvi.MergeReport.__doc__ == (
            "Summary of a `GraphDB.merge_from(...)` call, exposed to Python "
            "as\n`orvi.MergeReport`.  All fields are plain Python `dict`s / "
            "`int`s so the\nobject can be passed freely through user code "
            "without needing further\nconversion helpers.")
        names = list(vars(orvi))
        assert (names.index("Transaction") < names.index("MergeReport")
                < names.index("GraphDBError"))


class TestThreads:
    def test_cross_merges_do_not_deadlock(self):
        a = orvi.open(":memory:")
        b = orvi.open(":memory:")
        for i in range(5):
            a.add_node(["A"], k=f"a{i}")
            b.add_node(["B"], k=f"b{i}")
        a.add_edge(1, "x", 2)
        b.add_edge(3, "y", 4)
        errors = []
        rounds = 300

        def merge_into(dst, source):
            try:
                for _ in range(rounds):
                    dst.merge_from(source, node_key=["k"],
                                   edge_strategy="idempotent")
            except BaseException as exc:  # reported by the main thread
                errors.append(exc)

        # Daemon threads: a hang fails the test instead of blocking exit.
        threads = [threading.Thread(target=merge_into, args=(b, a), daemon=True),
                   threading.Thread(target=merge_into, args=(a, b), daemon=True)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=120)
        assert not any(t.is_alive() for t in threads), "merge threads hang"
        assert errors == []
        # Both sides converge on the union of the keys and edges.
        for db in (a, b):
            assert sorted(n["k"] for n in db.all_nodes()) == sorted(
                [f"a{i}" for i in range(5)] + [f"b{i}" for i in range(5)])
            assert sorted(e.label for e in db.all_edges()) == ["x", "y"]
        a.close()
        b.close()
