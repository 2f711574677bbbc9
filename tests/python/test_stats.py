"""GraphDB.degree_stats and GraphDB.edges_between: counts and selections
from the live edges, element conversion before the lock, closed handle."""

import pytest

import orvi
from helpers import CLOSED, check


def nodes(db, n):
    return [db.add_node([]).id for _ in range(n)]


def record_ids(records):
    return [r["id"] for r in records]


class TestDegreeStats:
    def test_empty(self, db):
        assert db.degree_stats() == {}
        nodes(db, 3)  # nodes without edges are not listed
        assert db.degree_stats() == {}

    def test_counts(self, db):
        nodes(db, 4)
        db.add_edge(1, "a", 2)
        db.add_edge(1, "b", 3)
        db.add_edge(3, "a", 1)
        assert db.degree_stats() == {1: (2, 1), 2: (0, 1), 3: (1, 1)}

    def test_self_loop_and_parallel_edges(self, db):
        nodes(db, 2)
        db.add_edge(1, "L", 1)
        assert db.degree_stats() == {1: (1, 1)}
        db.add_edge(1, "L", 2)
        db.add_edge(1, "L", 2)
        assert db.degree_stats() == {1: (3, 1), 2: (0, 2)}

    def test_only_live_edges(self, db):
        nodes(db, 3)
        e = db.add_edge(1, "L", 2)
        db.add_edge(2, "L", 3)
        db.delete_edge(e)
        assert db.degree_stats() == {2: (1, 0), 3: (0, 1)}
        db.delete_node(3)
        assert db.degree_stats() == {}

    def test_rolled_back_edges_vanish(self, path):
        with orvi.open(path) as db:
            nodes(db, 2)
            db.add_edge(1, "L", 2)
            db.commit()
            db.add_edge(2, "L", 1)
            assert db.degree_stats() == {1: (1, 1), 2: (1, 1)}
            db.rollback()
            assert db.degree_stats() == {1: (1, 0), 2: (0, 1)}

    def test_result_types(self, mem):
        nodes(mem, 1)
        mem.add_edge(1, "L", 1)
        ((key, value),) = mem.degree_stats().items()
        assert type(key) is int and type(value) is tuple
        assert [type(v) for v in value] == [int, int]


class TestEdgesBetween:
    @pytest.fixture
    def three(self, db):
        nodes(db, 3)
        db.add_edge(1, "x", 2, w=1)
        db.add_edge(2, "y", 1)
        db.add_edge(1, "x", 3)
        return db

    def test_empty(self, db):
        assert db.edges_between([1, 2]) == []

    def test_selects_edges_inside_the_set(self, three):
        assert three.edges_between([1, 2]) == [
            {"id": 1, "label": "x", "from_node": 1, "to_node": 2, "w": 1},
            {"id": 2, "label": "y", "from_node": 2, "to_node": 1},
        ]
        assert record_ids(three.edges_between([3, 1])) == [3]
        assert record_ids(three.edges_between([1, 2, 3])) == [1, 2, 3]
        assert three.edges_between([2, 3]) == []
        assert three.edges_between([]) == []

    def test_self_loop(self, three):
        three.add_edge(1, "me", 1)
        assert record_ids(three.edges_between([1])) == [4]
        assert record_ids(three.edges_between([2])) == []

    def test_any_iterable_with_duplicates(self, three):
        for ids in ((1, 2), {1, 2}, iter([2, 1, 2]), (i for i in [1, 1, 2]),
                    range(1, 3), {1: "a", 2: "b"}):
            assert record_ids(three.edges_between(ids)) == [1, 2]
        assert record_ids(three.edges_between(node_ids=[1, 2])) == [1, 2]

    def test_deleted_edge_absent(self, three):
        three.delete_edge(1)
        assert record_ids(three.edges_between([1, 2])) == [2]

    def test_property_replaces_fixed_key(self, mem):
        nodes(mem, 2)
        mem.add_edge(1, "L", 2, id="mine")
        mem.update_edge(1, label=None)
        assert mem.edges_between([1, 2]) == [
            {"id": "mine", "label": None, "from_node": 1, "to_node": 2}]

    def test_element_errors(self, three):
        with check(TypeError,
                   "'orvi.Node' object cannot be interpreted as an integer"):
            three.edges_between([1, three.get_node(2)])
        with pytest.raises(TypeError):
            three.edges_between([1, "2"])
        with pytest.raises(TypeError):
            three.edges_between([1.0])
        with pytest.raises(OverflowError):
            three.edges_between([1, -1])
        with pytest.raises(OverflowError):
            three.edges_between([2**64])
        assert three.edges_between([2**64 - 1]) == []

    def test_argument_errors(self, mem):
        with check(TypeError, "'int' object is not iterable"):
            mem.edges_between(5)
        with check(TypeError,
                   "edges_between() missing required argument 'node_ids' "
                   "(pos 1)"):
            mem.edges_between()

    def test_iteration_error_propagates(self, mem):
        def broken():
            yield 1
            raise LookupError("stop here")

        with check(LookupError, "stop here"):
            mem.edges_between(broken())

    def test_iterable_may_use_the_database(self, three):
        def ids():
            # Runs while the argument is converted, before the lock.
            yield three.node_count()
            three.add_edge(3, "z", 3)
            yield 1

        assert record_ids(three.edges_between(ids())) == [3, 4]

    def test_closed_handle(self, mem):
        mem.close()
        with check(ValueError, CLOSED):
            mem.edges_between([1])
        with check(ValueError, CLOSED):
            mem.degree_stats()
        with pytest.raises(OverflowError):  # elements are checked first
            mem.edges_between([-1])

    def test_signatures(self):
        assert orvi.GraphDB.degree_stats.__text_signature__ == "($self)"
        assert orvi.GraphDB.edges_between.__text_signature__ == "($self, node_ids)"
