"""NodeQuery and EdgeQuery: label filters, predicates, skip and limit,
immutable refinement, and what a predicate may do to the database."""

import gc

import pytest

import orvi
from helpers import CLOSED, check

U64_MAX = 2**64 - 1


def ids(items):
    return [x.id for x in items]


class Calls:
    """A predicate that records the ids it was called with."""

    def __init__(self, verdict=lambda item: True):
        self.seen = []
        self.verdict = verdict

    def __call__(self, item):
        self.seen.append(item.id)
        return self.verdict(item)


@pytest.fixture
def labelled(db):
    # 1: A, 2: B, 3: A and B, 4: C
    for labels in (["A"], ["B"], ["A", "B"], ["C"]):
        db.add_node(labels)
    return db


@pytest.fixture
def ten(mem):
    for i in range(10):
        mem.add_node([], i=i)
    return mem


class TestLabels:
    def test_all_live_nodes_in_id_order(self, labelled):
        labelled.delete_node(2)
        assert ids(labelled.nodes().fetch()) == [1, 3, 4]
        assert labelled.nodes().count() == 3

    def test_labels_are_a_union(self, labelled):
        q = labelled.nodes().label("A").label("B")
        assert ids(q.fetch()) == [1, 2, 3]  # node 3 once
        assert q.count() == 3 and q.exists()
        assert ids(labelled.nodes().label("C").fetch()) == [4]

    def test_unknown_label(self, labelled):
        q = labelled.nodes().label("Z")
        assert (q.fetch(), q.count(), q.exists()) == ([], 0, False)

    def test_deleted_node_leaves_its_label(self, labelled):
        labelled.delete_node(3)
        assert ids(labelled.nodes().label("A").fetch()) == [1]
        assert ids(labelled.nodes().label("A").limit(5).fetch()) == [1]

    def test_edge_label_exact_and_case_sensitive(self, db):
        a, b = db.add_node([]), db.add_node([])
        db.add_edge(a, "KNOWS", b)
        db.add_edge(a, "knows", b)
        db.add_edge(b, "LIKES", a)
        db.add_edge(b, "KNOWS ", a)
        assert ids(db.edges().fetch()) == [1, 2, 3, 4]
        assert ids(db.edges().label("KNOWS").fetch()) == [1]
        assert ids(db.edges().label("LIKES").label("KNOWS").fetch()) == [1, 3]

    def test_deleted_edge_absent(self, db):
        a = db.add_node([])
        e1 = db.add_edge(a, "L", a)
        db.add_edge(a, "L", a)
        db.delete_edge(e1)
        assert ids(db.edges().fetch()) == [2]
        assert db.edges().label("L").count() == 1

    def test_results_are_nodes_and_edges(self, mem):
        n = mem.add_node(["A"], x=1)
        mem.add_edge(n, "L", n, w=2)
        (node,) = mem.nodes().fetch()
        (edge,) = mem.edges().fetch()
        assert isinstance(node, orvi.Node) and node["x"] == 1
        assert isinstance(edge, orvi.Edge) and edge["w"] == 2


class TestSkipLimit:
    def test_window_in_either_order(self, ten):
        assert ids(ten.nodes().skip(2).limit(3).fetch()) == [3, 4, 5]
        assert ids(ten.nodes().limit(3).skip(2).fetch()) == [3, 4, 5]
        assert ten.nodes().skip(2).limit(3).count() == 3

    def test_skip_past_the_end(self, ten):
        q = ten.nodes().skip(20)
        assert (q.fetch(), q.count(), q.exists()) == ([], 0, False)
        assert ten.nodes().skip(8).limit(5).count() == 2
        assert ten.nodes().skip(U64_MAX).limit(U64_MAX).fetch() == []

    def test_later_call_replaces(self, ten):
        assert ten.nodes().limit(2).limit(4).count() == 4
        assert ids(ten.nodes().skip(5).skip(8).fetch()) == [9, 10]

    def test_limit_larger_than_results(self, ten):
        assert ten.nodes().limit(U64_MAX).count() == 10

    def test_limit_zero_yields_nothing(self, ten):
        pred = Calls()
        for q in (ten.nodes().limit(0), ten.nodes().where_(pred).limit(0),
                  ten.edges().limit(0)):
            assert (q.fetch(), q.count(), q.exists()) == ([], 0, False)
        assert pred.seen == []

    def test_window_with_labels(self, labelled):
        q = labelled.nodes().label("B").label("A")
        assert ids(q.skip(1).limit(1).fetch()) == [2]
        assert ids(q.skip(2).limit(9).fetch()) == [3]
        assert q.skip(1).exists() and not q.skip(3).exists()

    def test_window_on_edges(self, mem):
        a = mem.add_node([])
        for label in "xyxyx":
            mem.add_edge(a, label, a)
        assert ids(mem.edges().label("x").skip(1).limit(1).fetch()) == [3]
        assert ids(mem.edges().skip(3).fetch()) == [4, 5]


class TestPredicates:
    def test_calls_bounded_by_limit(self, ten):
        pred = Calls()
        assert ids(ten.nodes().where_(pred).limit(2).fetch()) == [1, 2]
        assert pred.seen == [1, 2]
        pred = Calls()
        assert ids(ten.nodes().where_(pred).skip(1).limit(2).fetch()) == [2, 3]
        assert pred.seen == [1, 2, 3]

    def test_exists_stops_at_first_result(self, ten):
        pred = Calls(lambda n: n["i"] >= 4)
        assert ten.nodes().where_(pred).limit(5).exists() is True
        assert pred.seen == [1, 2, 3, 4, 5]
        pred = Calls(lambda n: False)
        assert ten.nodes().where_(pred).exists() is False
        assert len(pred.seen) == 10

    def test_filter_then_skip_then_limit(self, ten):
        even = Calls(lambda n: n["i"] % 2 == 0)
        q = ten.nodes().limit(2).skip(1).where_(even)
        assert [n["i"] for n in q.fetch()] == [2, 4]
        assert even.seen == [1, 2, 3, 4, 5]
        assert ten.nodes().where_(lambda n: n["i"] % 2 == 0).count() == 5

    def test_later_predicate_replaces(self, ten):
        never = Calls(lambda n: False)
        q = ten.nodes().where_(never).where_(lambda n: n["i"] < 3)
        assert ids(q.fetch()) == [1, 2, 3]
        assert never.seen == []

    def test_predicate_with_labels(self, labelled):
        pred = Calls(lambda n: "B" in n.labels)
        assert ids(labelled.nodes().label("A").where_(pred).fetch()) == [3]
        assert pred.seen == [1, 3]

    def test_edge_predicate_gets_edges(self, mem):
        a, b = mem.add_node([]), mem.add_node([])
        mem.add_edge(a, "L", b, w=1)
        mem.add_edge(b, "L", a, w=5)
        got = mem.edges().where_(lambda e: e["w"] > 2).fetch()
        assert [(e.from_node, e.to_node) for e in got] == [(b.id, a.id)]

    @pytest.mark.parametrize("value, name", [
        (1, "int"), (None, "NoneType"), ("yes", "str"), ([True], "list"),
    ])
    def test_non_bool_result(self, ten, value, name):
        ten.add_edge(1, "L", 2)
        message = f"'{name}' object is not an instance of 'bool'"
        for q in (ten.nodes(), ten.edges()):
            for run in (q.where_(lambda x: value).fetch,
                        q.where_(lambda x: value).count,
                        q.where_(lambda x: value).exists):
                with check(TypeError, message):
                    run()

    def test_non_bool_after_some_accepted(self, ten):
        with pytest.raises(TypeError):
            ten.nodes().where_(lambda n: True if n.id < 5 else 0).fetch()

    def test_numpy_bool_accepted(self, ten):
        np = pytest.importorskip("numpy")
        q = ten.nodes().where_(lambda n: np.bool_(n["i"] > 6))
        assert ids(q.fetch()) == [8, 9, 10]
        assert ten.nodes().where_(lambda n: np.False_).exists() is False
        with check(TypeError, "'int64' object is not an instance of 'bool'"):
            ten.nodes().where_(lambda n: np.int64(1)).fetch()

    def test_exception_propagates_unchanged(self, ten):
        error = KeyError("boom")

        def fail_at_3(n):
            if n.id == 3:
                raise error
            return True

        pred = Calls(fail_at_3)
        with pytest.raises(KeyError) as info:
            ten.nodes().where_(pred).fetch()
        assert info.value is error
        assert pred.seen == [1, 2, 3]

    def test_not_callable_fails_when_run(self, ten):
        q = ten.nodes().where_(5)
        with pytest.raises(TypeError, match="not callable"):
            q.fetch()
        mem_empty = orvi.open(":memory:")
        try:  # no candidate, no call
            assert mem_empty.nodes().where_(5).fetch() == []
        finally:
            mem_empty.close()

    def test_predicate_sees_result_object(self, ten):
        seen = []
        got = ten.nodes().where_(lambda n: seen.append(n) or True).limit(2).fetch()
        assert got[0] is seen[0] and got[1] is seen[1]


class TestImmutability:
    def test_refining_leaves_original(self, labelled):
        q = labelled.nodes().label("A")
        refined = [q.label("B"), q.where_(lambda n: False), q.skip(1),
                   q.limit(1)]
        assert [ids(r.fetch()) for r in refined] == [[1, 2, 3], [], [3], [1]]
        assert all(type(r) is orvi.NodeQuery and r is not q for r in refined)
        assert ids(q.fetch()) == [1, 3]

    def test_edge_query_type(self, mem):
        q = mem.edges()
        assert type(q) is orvi.EdgeQuery
        assert type(q.label("x").where_(bool).skip(0).limit(1)) is orvi.EdgeQuery

    def test_query_runs_against_current_state(self, mem):
        q = mem.nodes().label("A")
        assert q.count() == 0
        mem.add_node(["A"])
        assert q.count() == 1
        mem.rollback()
        assert q.count() == 0

    def test_cycle_through_predicate_is_collected(self, mem):
        freed = []

        class Pred:
            def __call__(self, n):
                return True

            def __del__(self):
                freed.append(True)

        pred = Pred()
        pred.query = mem.nodes().where_(pred)
        del pred
        gc.collect()
        assert freed == [True]


class TestPredicateUsesDatabase:
    def test_reads_do_not_deadlock(self, ten):
        q = ten.nodes().where_(
            lambda n: ten.get_node(n.id) is not None and ten.nodes().count() == 10)
        assert q.count() == 10

    def test_writes_do_not_change_candidates(self, ten):
        def grow(n):
            ten.add_node([], i=100 + n["i"])
            return True

        assert ids(ten.nodes().where_(grow).fetch()) == list(range(1, 11))
        assert ten.node_count() == 20

    def test_deleted_candidate_still_reported(self, ten):
        def prune(n):
            if n.id == 1:
                for i in range(2, 11):
                    ten.delete_node(i)
            return True

        assert ids(ten.nodes().where_(prune).fetch()) == list(range(1, 11))
        assert ten.node_count() == 1

    def test_close_inside_predicate(self, ten):
        def closer(n):
            ten.close()
            return True

        q = ten.nodes().where_(closer)
        assert q.count() == 10  # the snapshot was read before
        with check(ValueError, CLOSED):
            q.count()


class TestClosedHandle:
    def test_build_works_run_raises(self, mem):
        early = mem.nodes().label("A")
        mem.close()
        late = mem.edges().label("x").where_(bool).skip(1).limit(2)
        for q in (early, late, mem.nodes()):
            for run in (q.fetch, q.count, q.exists):
                with check(ValueError, CLOSED):
                    run()

    def test_query_keeps_database_alive(self, path):
        db = orvi.open(path)
        db.add_node(["A"])
        q = db.nodes()
        del db
        assert q.count() == 1  # the handle lives while the query does
        with pytest.raises(orvi.AlreadyOpenError):
            orvi.open(path)
        del q
        orvi.open(path).close()


class TestArgumentErrors:
    def test_label_must_be_str(self, mem):
        with check(TypeError, "label() argument 'label' must be str, not int"):
            mem.nodes().label(1)
        with check(TypeError, "label() argument 'label' must be str, not None"):
            mem.edges().label(None)
        with pytest.raises(UnicodeEncodeError):
            mem.nodes().label("\ud800")

    @pytest.mark.parametrize("method", ["skip", "limit"])
    def test_n_is_a_plain_id(self, mem, method):
        q = mem.nodes()
        with check(TypeError, f"{method}() argument 'n' must be int, not float"):
            getattr(q, method)(1.0)
        msg = f"{method}() argument 'n' must be an integer from 0 to {U64_MAX}"
        with check(OverflowError, msg):
            getattr(q, method)(-1)
        with check(OverflowError, msg):
            getattr(q, method)(2**64)
        assert getattr(q, method)(True).count() == 0

    def test_binding(self, mem):
        mem.add_node(["A"])
        q = mem.nodes().label(label="A").where_(predicate=bool).skip(n=0)
        assert q.limit(n=1).count() == 1
        with check(TypeError, "label() missing required argument 'label' (pos 1)"):
            mem.nodes().label()
        with check(TypeError, "skip() takes at most 1 argument (2 given)"):
            mem.nodes().skip(1, 2)
        with pytest.raises(TypeError):
            mem.nodes().limit(m=1)
        with pytest.raises(TypeError):
            mem.nodes().fetch(1)

    def test_signatures(self):
        for cls in (orvi.NodeQuery, orvi.EdgeQuery):
            assert cls.label.__text_signature__ == "($self, label)"
            assert cls.where_.__text_signature__ == "($self, predicate)"
            assert cls.skip.__text_signature__ == "($self, n)"
            assert cls.limit.__text_signature__ == "($self, n)"
            for name in ("fetch", "count", "exists"):
                assert getattr(cls, name).__text_signature__ == "($self)"
        assert orvi.GraphDB.nodes.__text_signature__ == "($self)"

    @pytest.mark.parametrize("name", ["NodeQuery", "EdgeQuery"])
    def test_not_instantiable(self, name):
        with check(TypeError, f"cannot create 'orvi.{name}' instances"):
            getattr(orvi, name)()

    def test_registration_order(self):
        names = [n for n in vars(orvi) if not n.startswith("__")]
        assert names.index("Edge") + 1 == names.index("NodeQuery")
        assert names.index("NodeQuery") + 1 == names.index("EdgeQuery")
        assert names.index("EdgeQuery") + 1 == names.index("Transaction")
