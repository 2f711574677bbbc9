"""GraphDB methods: records, adjacency, whole-graph reads, info, clear,
open and close, and the closed-handle behaviour of every method family."""

import os

import pytest

import orvi
from helpers import CLOSED, check, edge_missing, node_missing


class TestRecords:
    def test_add_and_get(self, db):
        n = db.add_node(["A", "B"], age=3)
        assert (n.labels, n.properties) == (["A", "B"], {"age": 3})
        got = db.get_node(n.id)
        assert got is not n
        assert (got.id, got.labels, got.properties) == (n.id, ["A", "B"], {"age": 3})

    def test_update_merges(self, db):
        n = db.add_node([], a=1, b=2)
        db.update_node(n, b=None, c="x")
        assert db.get_node(n.id).properties == {"a": 1, "b": None, "c": "x"}
        assert n.properties == {"a": 1, "b": 2}  # the old snapshot is kept
        e = db.add_edge(n, "L", n, w=1)
        db.update_edge(e.id, w=2, z=[1])
        assert db.get_edge(e.id).properties == {"w": 2, "z": [1]}

    def test_missing_records(self, mem):
        n = mem.add_node([])
        with check(orvi.NodeNotFoundError, node_missing(9)):
            mem.update_node(9, x=1)
        with check(orvi.NodeNotFoundError, node_missing(9)):
            mem.add_edge(n, "L", 9)
        with check(orvi.NodeNotFoundError, node_missing(9)):
            mem.out_edges(9)
        with check(orvi.NodeNotFoundError, node_missing(9)):
            mem.neighbors(9)
        with check(orvi.EdgeNotFoundError, edge_missing(4)):
            mem.update_edge(4, x=1)
        with check(orvi.EdgeNotFoundError, edge_missing(0)):
            mem.delete_edge(0)

    def test_delete_node_removes_edges(self, db):
        a = db.add_node(["P"])
        b = db.add_node(["P"])
        db.add_edge(a, "x", b)
        db.add_edge(b, "y", a)
        db.add_edge(b, "self", b)
        db.delete_node(b)
        assert db.get_node(b.id) is None
        assert (db.node_count(), db.edge_count()) == (1, 0)
        assert db.out_edges(a) == [] and db.in_edges(a) == []
        with check(orvi.NodeNotFoundError, node_missing(b.id)):
            db.delete_node(b.id)

    def test_delete_edge(self, db):
        a = db.add_node([])
        e = db.add_edge(a, "L", a)
        db.delete_edge(e)
        assert db.get_edge(e.id) is None
        with check(orvi.EdgeNotFoundError, edge_missing(e.id)):
            db.delete_edge(e.id)


class TestAdjacency:
    def test_order_and_filters(self, db):
        a, b, c = (db.add_node([]) for _ in range(3))
        e1 = db.add_edge(a, "KNOWS", b)
        e2 = db.add_edge(a, "LIKES", c)
        e3 = db.add_edge(c, "KNOWS", a)
        assert [e.id for e in db.out_edges(a)] == [e2.id, e1.id]
        assert [e.id for e in db.out_edges(a, "KNOWS")] == [e1.id]
        assert [e.id for e in db.in_edges(a)] == [e3.id]
        assert [n.id for n in db.neighbors(a)] == [c.id, b.id]
        assert [n.id for n in db.neighbors(a, direction="in")] == [c.id]
        assert [n.id for n in db.neighbors(a, "KNOWS", "both")] == [b.id, c.id]

    def test_whole_graph_reads(self, db):
        a = db.add_node(["A"], x=1)
        b = db.add_node([])
        e = db.add_edge(a, "L", b, w=0.5)
        db.delete_node(db.add_node([]))
        assert [n.id for n in db.all_nodes()] == [a.id, b.id]
        assert [x.id for x in db.all_edges()] == [e.id]


class TestRecordDicts:
    def test_node_records(self, mem):
        a = mem.add_node(["A"], x=1)
        assert mem.all_nodes_as_records() == [{"id": a.id, "labels": ["A"], "x": 1}]
        assert list(mem.all_nodes_as_records()[0])[:2] == ["id", "labels"]

    def test_property_replaces_fixed_key(self, mem):
        n = mem.add_node(["A"], id="mine")
        # "labels" names a parameter of add_node, so it is set by update.
        mem.update_node(n, labels=7)
        assert mem.all_nodes_as_records() == [{"id": "mine", "labels": 7}]

    def test_edge_records(self, mem):
        a = mem.add_node([])
        b = mem.add_node([])
        e = mem.add_edge(a, "L", b, w=2)
        mem.update_edge(e.id, to_node="prop")
        (rec,) = mem.all_edges_as_records()
        assert list(rec)[:4] == ["id", "label", "from_node", "to_node"]
        assert rec == {"id": e.id, "label": "L", "from_node": a.id,
                       "to_node": "prop", "w": 2}


class TestInfoAndClear:
    def test_info_empty(self, filedb, path):
        info = filedb.info()
        assert list(info) == ["version", "node_count", "edge_count", "file_size"]
        assert info == {"version": "1.0", "node_count": 0, "edge_count": 0,
                        "file_size": os.path.getsize(path)}

    def test_info_counts(self, mem):
        a = mem.add_node([])
        mem.add_edge(a, "L", a)
        info = mem.info()
        assert (info["node_count"], info["edge_count"]) == (1, 1)
        assert info["file_size"] >= 4096

    def test_clear_empties_file_at_once(self, path):
        with orvi.open(path) as db:
            db.add_node(["A"])
            db.commit()
            db.add_node(["B"])  # pending, discarded by clear
            db.clear()
            assert db.node_count() == 0 and db.all_nodes() == []
            db.add_node([])
        with orvi.open(path) as db:
            assert db.node_count() == 0


class TestOpenClose:
    def test_changes_need_commit(self, path):
        with orvi.open(path) as db:
            db.add_node(["A"])
        with orvi.open(path) as db:
            assert db.node_count() == 0
            db.add_node(["A"], k="v")
            db.commit()
        with orvi.open(path) as db:
            (n,) = db.all_nodes()
            assert n.labels == ["A"] and n["k"] == "v"

    def test_already_open(self, path):
        first = orvi.open(path)
        canonical = os.path.realpath(path)
        with check(orvi.AlreadyOpenError,
                   "orvi: database file is already open for writing: "
                   f"{canonical}. orvi allows only a single writer per file; "
                   "close the existing GraphDB handle, wait for the other "
                   "writer process to exit, or retry after stale lock "
                   "recovery has completed."):
            orvi.open(path)
        first.close()
        orvi.open(path).close()

    def test_with_block_closes_on_exception(self, path):
        with pytest.raises(KeyError):
            with orvi.open(path) as db:
                assert db.__enter__() is db
                raise KeyError("boom")
        with check(ValueError, CLOSED):
            db.node_count()
        orvi.open(path).close()

    def test_dropping_last_reference_frees_path(self, path):
        db = orvi.open(path)
        tx = db.transaction()
        del db
        with pytest.raises(orvi.AlreadyOpenError):
            orvi.open(path)  # the Transaction still holds the handle
        del tx
        orvi.open(path).close()

    def test_close_twice(self, mem):
        assert mem.close() is None
        assert mem.close() is None
        assert mem.__exit__(None, None, None) is False

    def test_memory_databases_are_independent(self):
        a = orvi.open(":memory:")
        b = orvi.open(":memory:")
        a.add_node([])
        assert b.node_count() == 0
        a.close()
        b.close()

    def test_io_error(self, tmp_path):
        with pytest.raises(OSError) as info:
            orvi.open(str(tmp_path / "missing" / "g.orvi"))
        assert type(info.value) is OSError
        assert info.value.args[0].startswith(
            "Could not read or write the database file")

    @pytest.mark.parametrize("content, detail", [
        (b"", "file too small to contain header"),
        (b"no database\n" * 25, "invalid magic bytes"),
        (b"z" * 5000, "invalid magic bytes"),
        ("prefix", "file too small to contain header page: 2000 of 4096 bytes"),
    ])
    def test_existing_file_that_is_not_a_whole_database(self, path, content, detail):
        if content == "prefix":
            orvi.open(path).close()
            with open(path, "rb") as f:
                content = f.read(2000)
        with open(path, "wb") as f:
            f.write(content)
        before = os.stat(path)
        with check(orvi.CorruptedFileError,
                   "The database file failed an internal integrity check and "
                   f"may be damaged: {detail}"):
            orvi.open(path)
        after = os.stat(path)
        assert (after.st_size, after.st_mtime_ns) == (before.st_size, before.st_mtime_ns)
        with open(path, "rb") as f:
            assert f.read() == content
        assert not os.path.exists(path + ".lock")

    def test_no_file_name(self):
        with check(ValueError, "Invalid request: database path has no file name: "):
            orvi.open("")


class TestClosedHandle:
    CALLS = {
        "add_node": lambda db: db.add_node([]),
        "add_edge": lambda db: db.add_edge(1, "L", 1),
        "get_node": lambda db: db.get_node(1),
        "get_edge": lambda db: db.get_edge(1),
        "update_node": lambda db: db.update_node(1, x=1),
        "update_edge": lambda db: db.update_edge(1, x=1),
        "delete_node": lambda db: db.delete_node(1),
        "delete_edge": lambda db: db.delete_edge(1),
        "out_edges": lambda db: db.out_edges(1),
        "in_edges": lambda db: db.in_edges(1),
        "neighbors": lambda db: db.neighbors(1),
        "all_nodes": lambda db: db.all_nodes(),
        "all_edges": lambda db: db.all_edges(),
        "all_nodes_as_records": lambda db: db.all_nodes_as_records(),
        "all_edges_as_records": lambda db: db.all_edges_as_records(),
        "node_count": lambda db: db.node_count(),
        "edge_count": lambda db: db.edge_count(),
        "info": lambda db: db.info(),
        "clear": lambda db: db.clear(),
        "commit": lambda db: db.commit(),
        "rollback": lambda db: db.rollback(),
    }

    @pytest.mark.parametrize("name", sorted(CALLS))
    def test_raises_closed(self, mem, name):
        mem.close()
        with check(ValueError, CLOSED):
            self.CALLS[name](mem)

    def test_argument_errors_come_first(self, mem):
        mem.close()
        with pytest.raises(TypeError):
            mem.get_node("x")
        with pytest.raises(ValueError, match="nesting depth"):
            value = []
            for _ in range(40):
                value = [value]
            mem.add_node([], v=value)

    def test_methods_that_still_return(self, mem):
        mem.close()
        assert mem.begin() is None
        assert isinstance(mem.transaction(), orvi.Transaction)
        assert mem.__enter__() is mem

    def test_snapshots_outlive_the_handle(self, mem):
        n = mem.add_node(["A"], x=[1])
        e = mem.add_edge(n, "L", n)
        mem.close()
        assert n.labels == ["A"] and n["x"] == [1]
        assert e.label == "L" and repr(e) == f"Edge(id={e.id}, label='L', from={n.id}, to={n.id})"


class TestCallbacks:
    """Python code run by argument conversion sees an unlocked database."""

    def test_hook_calls_back_into_database(self, mem):
        target = mem.add_node([])

        class Reentrant:
            def __index__(self):
                mem.add_node(["inner"])  # would deadlock if the lock were held
                return target.id

        assert mem.get_node(Reentrant()).id == target.id
        mem.update_node(target, v=Reentrant())
        assert mem.get_node(target.id)["v"] == target.id
        assert mem.node_count() == 3

    def test_hook_closes_database(self, mem):
        class Closer:
            def __index__(self):
                mem.close()
                return 1

        with check(ValueError, CLOSED):
            mem.get_node(Closer())

    def test_finalizer_calls_back(self, mem):
        calls = []

        class Finalized:
            def __index__(self):
                return 1

            def __del__(self):
                calls.append(mem.node_count())

        mem.add_node([])
        mem.get_node(Finalized())
        mem.add_node([], v=[Finalized()])
        assert len(calls) == 2
