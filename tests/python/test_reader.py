"""orvi_tools.open_reader: readers beside the writer, in this process and
in others."""

import os
import random
import subprocess
import sys
import textwrap

import pytest

import orvi
from orvi_tools import _engine, fileops, open_reader
from orvi_tools.cli import main as orvi_command

from helpers import check, node_id_message, node_missing, snapshot

INVALIDATED = ("Transaction could not be completed: the snapshot was invalidated: this process changed the "
               "database file while the snapshot was open; leave the snapshot "
               "block and start a new one")


def random_graph(db, seed, nodes=60, edges=150):
    rng = random.Random(seed)
    ids = [db.add_node(rng.sample(["A", "B", "C"], rng.randint(0, 2)),
                       n=i, s=str(rng.random())).id for i in range(nodes)]
    for _ in range(edges):
        db.add_edge(rng.choice(ids), rng.choice(["x", "y"]), rng.choice(ids),
                    w=rng.randint(0, 9))
    for victim in rng.sample(ids, 5):
        db.delete_node(victim)
    db.commit()
    return ids


def outcome(call):
    """What a call gives: its result's repr, or its exception's class and
    arguments."""
    try:
        return repr(call())
    except Exception as exc:  # noqa: BLE001 - compared as a value
        return (type(exc), exc.args)


def _odd(record):
    return record.id % 2 == 1


# Query runs compared between a Reader and a GraphDB: every refinement,
# every way to run, and the errors of each.
QUERIES = [
    lambda db: db.nodes().fetch(),
    lambda db: db.nodes().label("A").fetch(),
    lambda db: db.nodes().label("A").label("C").skip(3).limit(5).fetch(),
    lambda db: db.nodes().label("B").where_(_odd).limit(4).skip(1).fetch(),
    lambda db: db.nodes().label("B").count(),
    lambda db: db.nodes().label("nope").exists(),
    lambda db: db.nodes().limit(0).exists(),
    lambda db: db.nodes().where_(lambda n: n["n"] > 50).count(),
    lambda db: db.nodes().where_(lambda n: 1).fetch(),
    lambda db: db.nodes().label(3),
    lambda db: db.nodes().skip(-1),
    lambda db: db.nodes().limit(2**64),
    lambda db: db.edges().fetch(),
    lambda db: db.edges().label("x").skip(10).limit(7).fetch(),
    lambda db: db.edges().label("y").where_(_odd).count(),
    lambda db: db.edges().where_(lambda e: e["w"] == 3).skip(2).exists(),
    lambda db: db.edges().where_(lambda e: 1 / 0).fetch(),
]


class TestSameAsGraphDB:
    def test_every_read_agrees(self, filedb, path):
        ids = random_graph(filedb, seed=7)
        with open_reader(path) as reader:
            assert snapshot(reader, adjacency=True) == snapshot(filedb, adjacency=True)
            assert reader.info() == filedb.info()
            calls = [("node_count",), ("edge_count",)]
            for i in ids[:20] + [0, 10**6]:
                calls += [("get_node", i), ("get_edge", i), ("out_edges", i),
                          ("in_edges", i, "x"), ("neighbors", i, None, "both"),
                          ("neighbors", i, "y", "in"), ("bfs", i, 3),
                          ("dfs", i, 2), ("shortest_path", i, ids[-1], "x")]
            calls += [("all_nodes_as_records",), ("all_edges_as_records",),
                      ("degree_stats",), ("edges_between", ids[:30]),
                      ("edges_between", [ids[0], "x"]), ("edges_between", [-1])]
            for name, *args in calls:
                assert (outcome(lambda: getattr(reader, name)(*args)) ==
                        outcome(lambda: getattr(filedb, name)(*args))), (name, args)
            for query in QUERIES:
                assert (outcome(lambda: query(reader)) ==
                        outcome(lambda: query(filedb))), query

    def test_argument_errors_are_graphdbs(self, filedb, path):
        node = filedb.add_node(["A"])
        filedb.commit()
        with open_reader(path) as reader:
            with check(ValueError, node_id_message("str")):
                reader.out_edges("1")
            with check(TypeError, "get_node() argument 'node_id' must be int, not str"):
                reader.get_node("1")
            with check(orvi.NodeNotFoundError, node_missing(9)):
                reader.neighbors(9)
            with check(ValueError, "invalid direction: got 'up' (use 'out', 'in', or 'both')."):
                reader.neighbors(node, direction="up")
            with check(TypeError, "bfs() missing required argument 'max_depth' (pos 2)"):
                reader.bfs(node)
            assert reader.neighbors(node) == []
        with check(ValueError, "the reader is closed"):
            reader.node_count()


class TestBesideWriterInProcess:
    def test_sees_commits_never_pending_changes(self, filedb, path):
        filedb.add_node(["A"])
        filedb.commit()
        reader = open_reader(path)
        filedb.add_node(["B"])
        assert reader.node_count() == 1
        filedb.commit()
        assert reader.node_count() == 2
        reader.close()

    def test_commit_invalidates_a_snapshot_of_this_process(self, filedb, path):
        filedb.add_node(["A"])
        filedb.commit()
        reader = open_reader(path)
        with reader.snapshot():
            assert reader.node_count() == 1
            filedb.add_node(["B"])
            assert reader.node_count() == 1  # pending, not committed
            filedb.commit()  # does not wait for the snapshot
            for _ in range(2):
                with check(orvi.TransactionError, INVALIDATED):
                    reader.all_nodes()
        assert reader.node_count() == 2
        with reader.snapshot():
            assert reader.node_count() == 2

    def test_clear_refill_and_vacuum(self, filedb, path):
        for i in range(5):
            filedb.add_node(["old"], i=i)
        filedb.commit()
        reader = open_reader(path)
        assert [n.labels for n in reader.all_nodes()] == [["old"]] * 5
        filedb.clear()
        assert reader.all_nodes() == [] and reader.node_count() == 0
        for i in range(5):  # the same counters again, other contents
            filedb.add_node(["new"], i=i)
        filedb.commit()
        assert [n.labels for n in reader.all_nodes()] == [["new"]] * 5
        filedb.delete_node(2)
        filedb.commit()
        inode = os.stat(path).st_ino
        filedb.vacuum()
        assert os.stat(path).st_ino != inode
        assert [n.id for n in reader.all_nodes()] == [1, 3, 4, 5]
        assert snapshot(reader) == snapshot(filedb)


class TestQueryPredicates:
    def test_predicate_may_read_and_close_the_reader(self, filedb, path):
        random_graph(filedb, seed=5)
        reader = open_reader(path)
        busy = reader.nodes().where_(lambda n: len(reader.out_edges(n)) > 2).fetch()
        expected = filedb.nodes().where_(lambda n: len(filedb.out_edges(n)) > 2).fetch()
        assert repr(busy) == repr(expected) and busy

        def closing(node):
            reader.close()
            return True
        expected = filedb.nodes().label("A").limit(2).fetch()
        assert repr(reader.nodes().label("A").where_(closing).limit(2).fetch()) == repr(expected)
        with check(ValueError, "the reader is closed"):
            reader.nodes().count()


class TestLabelQueriesFollowTheFile:
    def test_new_nodes_clear_refill_and_vacuum(self, filedb, path):
        for i in range(6):
            filedb.add_node(["old", "even" if i % 2 == 0 else "odd"], i=i)
        filedb.commit()
        reader = open_reader(path)
        ids = lambda label: [n.id for n in reader.nodes().label(label).fetch()]
        assert ids("even") == [1, 3, 5]
        filedb.add_node(["even"])
        filedb.commit()
        assert ids("even") == [1, 3, 5, 7]
        filedb.clear()
        assert ids("even") == [] and not reader.nodes().label("old").exists()
        for i in range(7):  # the same counters again, other labels
            filedb.add_node(["new", "odd" if i % 2 == 0 else "even"])
        filedb.commit()
        assert ids("old") == [] and ids("even") == [2, 4, 6]
        filedb.delete_node(4)
        filedb.commit()
        filedb.vacuum()
        assert ids("even") == [2, 6] and ids("new") == [1, 2, 3, 5, 6, 7]
        reader.close()
        with check(ValueError, "the reader is closed"):
            reader.nodes().label("new").fetch()


class TestRefusals:
    def test_missing_file_creates_nothing(self, tmp_path):
        target = tmp_path / "absent.orvi"
        with pytest.raises(OSError, match="No such file"):
            open_reader(str(target))
        assert os.listdir(tmp_path) == []

    def test_not_a_database(self, tmp_path):
        junk = tmp_path / "junk"
        junk.write_bytes(b"hello" * 2000)
        with pytest.raises(orvi.CorruptedFileError):
            open_reader(str(junk))
        with pytest.raises(OSError, match="not a regular file"):
            open_reader(str(tmp_path))
        assert sorted(os.listdir(tmp_path)) == ["junk"]

    def test_live_writer_without_the_mark_is_refused(self, filedb, path):
        filedb.add_node(["A"])
        filedb.commit()
        reader = open_reader(path)
        filedb.close()
        # What a writer of an older build leaves while it runs: a live lock
        # directory and no mark on the file.
        os.mkdir(path + ".lock")
        with open(path + ".lock/owner.json", "w") as f:
            f.write('{\n  "pid": %d\n}\n' % os.getpid())
        with pytest.raises(OSError, match="without letting readers in"):
            reader.node_count()
        os.remove(path + ".lock/owner.json")
        os.rmdir(path + ".lock")
        assert reader.node_count() == 1

    @pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork()")
    def test_forked_child_does_not_inherit_the_reader(self, filedb, path):
        filedb.add_node(["A"])
        filedb.commit()
        reader = open_reader(path)
        with reader.snapshot():
            pid = os.fork()
            if pid == 0:
                try:
                    reader.node_count()
                    code = 1
                except OSError as exc:
                    code = 0 if "before fork()" in str(exc) else 2
                os._exit(code)
            _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0
        assert reader.node_count() == 1


WRITER = textwrap.dedent("""
    import sys, random, orvi
    db = orvi.open(sys.argv[1])
    accounts = [db.add_node(["Account"], balance=100).id for _ in range(8)]
    db.add_node(["Seq"], seq=0)
    db.commit()
    print("ready", flush=True)
    rng = random.Random(1)
    for seq in range(1, int(sys.argv[2]) + 1):
        a, b = rng.sample(accounts, 2)
        amount = rng.randint(1, 20)
        db.update_node(a, balance=db.get_node(a)["balance"] - amount)
        db.update_node(b, balance=db.get_node(b)["balance"] + amount)
        db.add_edge(a, "paid", b, seq=seq)
        db.update_node(9, seq=seq)
        if seq % 25 == 0:
            db.add_node(["Filler"] * 3, blob="x" * 3000)
        db.commit()
    db.close()
""")

READER = textwrap.dedent("""
    import sys, orvi_tools
    reader = orvi_tools.open_reader(sys.argv[1])
    last = -1
    calls = 0
    def state():
        nodes = [n for n in reader.all_nodes() if "Account" in n.labels]
        seq = reader.get_node(9)["seq"]
        return sum(n["balance"] for n in nodes), seq, reader.edge_count()
    while last < int(sys.argv[2]):
        # Three calls: each sees one committed state, later ones no older.
        total, seq, edges = state()
        assert total == 800 and edges >= seq, (total, seq, edges)
        assert seq >= last, (seq, last)
        last = seq
        with reader.snapshot():
            again = state()
            assert again[1] == reader.get_node(9)["seq"]
            assert again[0] == 800 and again[2] == again[1]
            assert len(reader.all_edges()) == again[1]
        calls += 1
    print(calls)
""")


class TestAcrossProcesses:
    def test_readers_see_whole_commits_in_order(self, tmp_path):
        path = str(tmp_path / "bank.orvi")
        commits = 150
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join(sys.path)
        writer = subprocess.Popen([sys.executable, "-c", WRITER, path, str(commits)],
                                  stdout=subprocess.PIPE, env=env, text=True)
        assert writer.stdout.readline().strip() == "ready"
        readers = [subprocess.Popen([sys.executable, "-c", READER, path, str(commits)],
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                    env=env, text=True)
                   for _ in range(2)]
        assert writer.wait(timeout=120) == 0
        for reader in readers:
            out, err = reader.communicate(timeout=120)
            assert reader.returncode == 0, err
            assert int(out) >= 1
        with orvi.open(path) as db:
            assert db.get_node(9)["seq"] == commits


COMMIT_ONE = textwrap.dedent("""
    import sys, orvi
    with orvi.open(sys.argv[1]) as db:
        db.add_node(["A"], late=True)
        db.add_edge(1, "x", 1)
        db.commit()
""")


class TestSnapshotAcrossAnotherProcess:
    def test_queries_in_a_snapshot_keep_the_old_state(self, filedb, path):
        filedb.add_node(["A"])
        filedb.commit()
        filedb.close()
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
        reader = open_reader(path)
        with reader.snapshot():
            writer = subprocess.Popen([sys.executable, "-c", COMMIT_ONE, path], env=env)
            # The commit waits for the snapshot; give it time to reach the wait.
            with pytest.raises(subprocess.TimeoutExpired):
                writer.wait(timeout=1)
            assert reader.nodes().label("A").count() == 1
            assert reader.edges().fetch() == [] and reader.degree_stats() == {}
        assert writer.wait(timeout=60) == 0
        assert reader.nodes().label("A").count() == 2
        assert reader.degree_stats() == {1: (1, 1)}
        reader.close()


# A writer that commits one numbered node each time it reads a line, and
# says when the commit returned.
STEPPER = textwrap.dedent("""
    import sys, orvi
    with orvi.open(sys.argv[1]) as db:
        for line in sys.stdin:
            db.update_node(1, step=int(line))
            db.add_node(["Step"], step=int(line))
            db.commit()
            print("done", flush=True)
""")


class TestReadersFollowEveryChange:
    def test_commit_in_another_process_is_seen_by_the_next_call(self, filedb, path):
        filedb.add_node(["Step"], step=0)
        filedb.commit()
        filedb.close()
        reader = open_reader(path)
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
        writer = subprocess.Popen([sys.executable, "-c", STEPPER, path], env=env,
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        try:
            for step in range(1, 30):
                # Calls served from the reader's copies, then a commit.
                assert reader.get_node(1)["step"] == step - 1
                assert reader.node_count() == step
                writer.stdin.write(f"{step}\n")
                writer.stdin.flush()
                assert writer.stdout.readline() == "done\n"
                assert reader.get_node(1)["step"] == step
                assert reader.nodes().label("Step").count() == step + 1
        finally:
            writer.stdin.close()
            assert writer.wait(timeout=60) == 0

    def test_import_over_the_file_is_seen(self, filedb, path, tmp_path, monkeypatch):
        filedb.add_node(["Old"])
        filedb.commit()
        filedb.close()
        reader = open_reader(path)
        assert [n.labels for n in reader.all_nodes()] == [["Old"]]
        records = tmp_path / "more.jsonl"
        records.write_text('{"type": "node", "id": 7, "labels": ["New"], "properties": {}}\n')
        replace = os.replace
        seen_between = []

        def replace_then_read(src, dst):
            # The import's writer of the old file is still open here.
            replace(src, dst)
            seen_between.append([n.labels for n in reader.all_nodes()])

        monkeypatch.setattr(fileops.os, "replace", replace_then_read)
        assert orvi_command(["import", path, str(records)]) == 0
        assert seen_between == [[["Old"], ["New"]]]
        assert [n.labels for n in reader.all_nodes()] == [["Old"], ["New"]]
        assert reader.nodes().label("New").count() == 1

    def test_without_the_counter_file_reads_are_never_stale(self, filedb, path):
        filedb.add_node(["A"])
        filedb.commit()
        os.remove(path + "-readers")
        reader = open_reader(path)
        for i in range(20):
            assert reader.node_count() == i + 1
            filedb.add_node(["A"])
            filedb.commit()
        assert reader.nodes().label("A").count() == 21

    def test_repair_is_seen(self, path):
        from test_repair import SlotFile, lists
        with orvi.open(path) as db:
            a, b = db.add_node(["N"]), db.add_node(["N"])
            db.add_edge(a, "x", b)
            db.add_edge(b, "x", a)
            db.commit()
        damaged = SlotFile(path)
        damaged.set_node(1, "first_out", 0)
        damaged.save()
        reader = open_reader(path)
        assert reader.out_edges(1) == []
        with orvi.open(path) as db:
            db.repair_adjacency()
            repaired = lists(db)
            assert lists(reader) == repaired
        assert [e.id for e in reader.out_edges(1)] == [1]


class TestToolsBesideWriter:
    def test_backup_opens_without_recovery_and_matches(self, filedb, path, tmp_path):
        random_graph(filedb, seed=3)
        filedb.add_node(["pending"])  # not committed: not in the copy
        copy = str(tmp_path / "copy.orvi")
        with open_reader(path) as reader:
            reader.backup(copy)
            with _engine.open(copy) as raw:
                assert raw.pending_commit() is None
        with orvi.open(copy) as db:
            assert db.node_count() == filedb.node_count() - 1
            filedb.rollback()
            assert snapshot(db, adjacency=True) == snapshot(filedb, adjacency=True)
        assert orvi_command(["backup", path, copy]) == 0
        assert orvi_command(["check", copy]) == 0

    def test_engine_file_is_broken_by_a_commit_here_not_waited_for(self, filedb, path):
        filedb.add_node(["A"])
        filedb.commit()
        with _engine.open(path) as raw:
            assert raw.header()["node_count"] == 1
            filedb.add_node(["B"])
            filedb.commit()
            with pytest.raises(RuntimeError, match="open it again"):
                raw.header()
