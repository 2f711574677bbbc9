"""GraphDB.vacuum(): compaction keeps every record, id and next id;
temporary file handling; commits and transactions; ":memory:"; and a
handle whose database could not be reopened after the file was replaced."""

import json
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

import orvi
import helpers
from helpers import CLOSED, check

IN_TRANSACTION = (
    "Transaction could not be completed: vacuum() cannot run inside an "
    "explicit transaction; commit or rollback the transaction first")


def snapshot(db):
    return helpers.snapshot(db, adjacency=True)


def churn(db, rounds=40):
    """A graph with deleted records and many superseded property blobs
    (well over one 1 MiB property extent)."""
    nodes = [db.add_node(["Even" if i % 2 == 0 else "Odd"], i=i)
             for i in range(30)]
    for i in range(29):
        db.add_edge(nodes[i], "next", nodes[i + 1], w=i)
    db.add_edge(nodes[3], "self", nodes[3])
    db.commit()
    for r in range(rounds):
        for n in nodes[:20]:
            db.update_node(n, pad="x" * 2000, round=r)
        db.commit()
    db.delete_node(nodes[7])
    db.delete_edge(db.out_edges(nodes[20])[0])
    db.delete_node(nodes[29])  # the highest id: its id must not come back
    db.commit()
    return nodes


class TestFileVacuum:
    def test_shrinks_and_keeps_everything(self, path):
        with orvi.open(path) as db:
            churn(db)
            before = snapshot(db)
            size_before = os.path.getsize(path)
            assert db.vacuum() is None
            size_after = os.path.getsize(path)
            assert size_after < size_before
            assert db.info()["file_size"] == size_after
            assert snapshot(db) == before
            assert (db.node_count(), db.edge_count()) == (28, 26)
            # The label index was rebuilt from the new file.
            assert db.nodes().label("Odd").count() == 13
            assert db.nodes().label("Even").count() == 15
            # Deleted ids are not reused: next ids stay as they were.
            assert db.add_node([]).id == 31
            e = db.add_edge(1, "after", 2)
            assert e.id == 31
            db.commit()
        with orvi.open(path) as db:
            nodes, edges, outs, ins = snapshot(db)
            assert (nodes[:-1], edges[:-1]) == before[:2]
            assert db.get_node(30) is None and db.get_node(8) is None
            assert db.out_edges(1)[0].id == 31

    def test_second_vacuum_changes_nothing(self, path):
        with orvi.open(path) as db:
            churn(db, rounds=5)
            db.vacuum()
            with open(path, "rb") as f:
                first = f.read()
            db.vacuum()
            with open(path, "rb") as f:
                assert f.read() == first

    def test_commits_pending_changes(self, path):
        with orvi.open(path) as db:
            db.add_node(["Committed"])
            db.commit()
            pending = db.add_node(["Pending"], x=1)
            db.update_node(1, y=2)
            db.vacuum()
            db.rollback()  # nothing left to discard
            assert db.get_node(pending.id).properties == {"x": 1}
        with orvi.open(path) as db:
            assert [n.labels for n in db.all_nodes()] == [["Committed"], ["Pending"]]
            assert db.get_node(1).properties == {"y": 2}

    def test_stale_temporary_file_replaced(self, path):
        with orvi.open(path) as db:
            db.add_node(["A"], v=1)
            # A leftover of an interrupted vacuum (open removes one too, so
            # it is made while the handle is open).
            with open(path + ".tmp", "wb") as f:
                f.write(b"not a database" * 1000)
            db.vacuum()
            assert not os.path.exists(path + ".tmp")
            assert db.get_node(1).properties == {"v": 1}
        with orvi.open(path) as db:
            assert db.node_count() == 1

    def test_build_failure_leaves_old_file(self, path):
        with orvi.open(path) as db:
            db.add_node(["A"], v=1)
            db.commit()
            db.update_node(1, v=2)
            # A non-empty directory cannot be removed or opened as a file.
            os.makedirs(os.path.join(path + ".tmp", "inside"))
            with pytest.raises(OSError):
                db.vacuum()
            # The pending change was committed before the build started,
            # and the handle still works on the old file.
            assert db.get_node(1).properties == {"v": 2}
            db.add_node(["B"])
            db.commit()
            shutil.rmtree(path + ".tmp")
            db.vacuum()
        with orvi.open(path) as db:
            assert [n.properties for n in db.all_nodes()] == [{"v": 2}, {}]

    def test_empty_database(self, path):
        with orvi.open(path) as db:
            db.vacuum()
            assert (db.node_count(), db.edge_count()) == (0, 0)
            assert db.add_node([]).id == 1
        with orvi.open(path) as db:
            assert db.node_count() == 0

    def test_through_symbolic_link(self, tmp_path):
        real = tmp_path / "real.orvi"
        link = tmp_path / "link.orvi"
        orvi.open(str(real)).close()
        link.symlink_to(real)
        with orvi.open(str(link)) as db:
            churn(db, rounds=3)
            before = snapshot(db)
            db.vacuum()
            assert snapshot(db) == before
        # The real file was compacted; the link is still a link.
        assert link.is_symlink()
        assert not (tmp_path / "link.orvi.tmp").exists()
        with orvi.open(str(real)) as db:
            assert snapshot(db) == before


class TestVacuumAndTransactions:
    def test_refused_inside_block(self, db):
        db.add_node(["Before"])
        with db.transaction():
            db.add_node(["Inside"])
            with check(orvi.TransactionError, IN_TRANSACTION):
                db.vacuum()
            # Nothing was committed by the refused vacuum.
            assert db.node_count() == 2
        db.vacuum()
        assert [n.labels for n in db.all_nodes()] == [["Before"], ["Inside"]]

    def test_refused_block_changes_nothing_on_file(self, path):
        with orvi.open(path) as db:
            db.add_node(["A"])
            db.commit()
            with open(path, "rb") as f:
                before = f.read()
            with pytest.raises(RuntimeError):
                with db.transaction():
                    db.add_node(["B"])
                    with pytest.raises(orvi.TransactionError):
                        db.vacuum()
                    raise RuntimeError("abandon the block")
            with open(path, "rb") as f:
                assert f.read() == before
            assert db.node_count() == 1

    def test_closed(self, db):
        db.close()
        with check(ValueError, CLOSED):
            db.vacuum()


class TestMemoryVacuum:
    def test_keeps_everything_and_creates_no_file(self, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        db = orvi.open(":memory:")
        churn(db, rounds=5)
        db.add_node(["Pending"])  # uncommitted: vacuum commits it
        before = snapshot(db)
        db.vacuum()
        assert snapshot(db) == before
        db.rollback()
        assert snapshot(db) == before
        assert db.nodes().label("Pending").count() == 1
        assert db.add_node([]).id == 32
        db.close()
        assert os.listdir(tmp_path) == []

    def test_signature(self):
        assert orvi.GraphDB.vacuum.__text_signature__ == "($self)"
        assert orvi.GraphDB.vacuum.__doc__ is None
        with pytest.raises(TypeError):
            orvi.open(":memory:").vacuum(1)


# Runs in a child process whose C library refuses, once, to open the
# database file right after it has been renamed into place, so that the
# reopen step of vacuum fails after a successful replace.
REOPEN_SHIM = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>

static char armed[4096];

int rename(const char* from, const char* to) {
  int (*real)(const char*, const char*) =
      (int (*)(const char*, const char*))dlsym(RTLD_NEXT, "rename");
  int rc = real(from, to);
  const char* target = getenv("ORVI_TEST_REOPEN_FAILS");
  if (rc == 0 && target != NULL && strcmp(to, target) == 0) {
    strncpy(armed, to, sizeof armed - 1);
  }
  return rc;
}

static int refused(const char* path) {
  if (armed[0] != 0 && strcmp(path, armed) == 0) {
    armed[0] = 0;
    errno = EMFILE;
    return 1;
  }
  return 0;
}

static mode_t mode_arg(int flags, va_list ap) {
  if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE) {
    return (mode_t)va_arg(ap, int);
  }
  return 0;
}

#define OPEN_WRAPPER(name)                                          \
  int name(const char* path, int flags, ...) {                      \
    va_list ap;                                                     \
    va_start(ap, flags);                                            \
    mode_t mode = mode_arg(flags, ap);                              \
    va_end(ap);                                                     \
    if (refused(path)) return -1;                                   \
    int (*real)(const char*, int, ...) =                            \
        (int (*)(const char*, int, ...))dlsym(RTLD_NEXT, #name);    \
    return real(path, flags, mode);                                 \
  }

OPEN_WRAPPER(open)
OPEN_WRAPPER(open64)
"""

DETACH_SCRIPT = textwrap.dedent(r"""
    import json, os, sys
    import orvi

    path = sys.argv[1]
    out = {}

    def outcome(call):
        try:
            return ["ok", repr(call())]
        except Exception as exc:
            return [type(exc).__name__, str(exc)]

    def file_bytes():
        with open(path, "rb") as f:
            return f.read()

    db = orvi.open(path)
    for i in range(20):
        db.add_node(["N"], i=i)
    db.add_edge(1, "e", 2)
    db.commit()
    for r in range(30):
        for n in range(1, 21):
            db.update_node(n, pad="p" * 2000, r=r)
        db.commit()
    db.add_node(["Pending"])  # committed by the vacuum's first step
    out["size_before"] = os.path.getsize(path)
    other = orvi.open(":memory:")
    other.add_node([], k=1)

    out["vacuum"] = outcome(db.vacuum)
    after_vacuum = file_bytes()
    out["size_after"] = len(after_vacuum)
    out["later"] = {
        "node_count": outcome(db.node_count),
        "add_node": outcome(lambda: db.add_node(["Lost"])),
        "commit": outcome(db.commit),
        "rollback": outcome(db.rollback),
        "clear": outcome(db.clear),
        "vacuum": outcome(db.vacuum),
        "repair": outcome(db.repair_adjacency),
        "transaction": outcome(lambda: db.transaction().__enter__()),
        "query": outcome(lambda: db.nodes().count()),
        "merge_into": outcome(lambda: db.merge_from(other)),
        "merge_from": outcome(lambda: other.merge_from(db)),
    }
    out["untouched"] = file_bytes() == after_vacuum
    out["close"] = [outcome(db.close), outcome(db.close)]
    out["lock_dir_left"] = os.path.exists(path + ".lock")
    with orvi.open(path) as again:
        out["reopened"] = [again.node_count(), again.edge_count(),
                           again.get_node(20).properties["r"],
                           [n.labels for n in again.nodes().label("Pending").fetch()]]
    print(json.dumps(out))
""")


class TestReopenFailure:
    def test_detached_handle_refuses_everything(self, tmp_path):
        compiler = shutil.which("cc") or shutil.which("gcc")
        if compiler is None:
            pytest.skip("no C compiler to build the open() interposer")
        shim = tmp_path / "reopen_shim.so"
        source = tmp_path / "reopen_shim.c"
        source.write_text(REOPEN_SHIM)
        subprocess.run([compiler, "-shared", "-fPIC", "-o", str(shim),
                        str(source), "-ldl"], check=True)
        script = tmp_path / "detach.py"
        script.write_text(DETACH_SCRIPT)
        path = os.path.realpath(str(tmp_path / "graph.orvi"))
        env = dict(os.environ)
        # Keep a sanitizer runtime that the test run preloads first.
        preload = [p for p in os.environ.get("LD_PRELOAD", "").split(":") if p]
        env["LD_PRELOAD"] = ":".join(preload + [str(shim)])
        env["ORVI_TEST_REOPEN_FAILS"] = path
        # The child imports the same orvi module as this process.
        module_dir = os.path.dirname(os.path.abspath(orvi.__file__))
        env["PYTHONPATH"] = os.pathsep.join([module_dir] + [p for p in sys.path if p])
        run = subprocess.run([sys.executable, str(script), path], env=env,
                             capture_output=True, text=True, timeout=300)
        assert run.returncode == 0, run.stderr
        out = json.loads(run.stdout)

        detached = (
            "Transaction could not be completed: vacuum replaced the database "
            "file but could not reopen it (Could not read or write the "
            "database file (check the path, permissions, and free disk "
            "space): Too many open files (os error 24)); close this handle "
            "and reopen the database with orvi.open(path)")
        assert out["vacuum"] == ["TransactionError", detached]
        # Every later call is refused with the same error; none of them
        # reached the empty placeholder or wrote anything anywhere.
        for name, result in out["later"].items():
            assert result == ["TransactionError", detached], name
        assert out["untouched"]
        # close() works and frees the file for a new handle.
        assert out["close"] == [["ok", "None"], ["ok", "None"]]
        assert not out["lock_dir_left"]
        # The replaced file is the compacted database with every record,
        # including the change that was pending when vacuum ran.
        assert out["size_after"] < out["size_before"]
        assert out["reopened"] == [21, 1, 29, [["Pending"]]]
