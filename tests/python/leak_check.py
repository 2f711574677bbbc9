"""Reference-leak check for the orvi binding.

Runs about a million calls over every method family (add / get / update /
delete, adjacency, records, info, raised errors, transactions, Node and
Edge attribute access), printing the resident set size at intervals. The
database state is kept bounded (changes are rolled back), so lasting
growth of the RSS after the warm-up means references or C++ objects leak.
Exits 1 when the RSS grows by more than the allowed bound.

    PYTHONPATH=build/<dir> python tests/python/leak_check.py [--calls N]

This is a check script, not a timed test.
"""

import argparse
import gc
import sys
import tempfile

import orvi

ALLOWED_GROWTH_KIB = 1024


def rss_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS in /proc/self/status")


def expect(exc, fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except exc:
        return
    raise AssertionError(f"{fn} did not raise {exc.__name__}")


class Index:
    def __index__(self):
        return 1


def round_of_calls(db, closed, a, b, e):
    """One round; returns the number of calls it made."""
    n = db.add_node(["L", "M"], x=1, s="text", lst=[1, 2.5, None, {"k": [True]}])
    f = db.add_edge(a, "R", n, w=2**70, d={"a": "b"})
    db.update_node(n, x=2, y=[n.id])
    db.update_edge(f.id, w=1)
    db.get_node(n.id)
    db.get_node(10**9)
    db.get_edge(f.id)
    db.out_edges(a)
    db.in_edges(n, "R")
    db.neighbors(a, None, "both")
    db.neighbors(Index())
    db.delete_edge(f)
    db.delete_node(n)
    db.all_nodes()
    db.all_edges()
    db.all_nodes_as_records()
    db.all_edges_as_records()
    db.node_count()
    db.edge_count()
    db.info()
    db.begin()
    # Errors raised from every layer: binder, conversion, core, closed.
    expect(TypeError, db.get_node, 1, 2)
    expect(TypeError, db.get_node, "x")
    expect(OverflowError, db.get_node, -1)
    expect(ValueError, db.add_node, [], v=(1,))
    expect(ValueError, db.add_node, [], v=[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[1]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]])
    expect(UnicodeEncodeError, db.add_node, ["\ud800"])
    expect(TypeError, db.add_node, "AB")
    expect(ValueError, db.neighbors, a, direction="up")
    expect(ValueError, db.delete_node, "x")
    expect(orvi.NodeNotFoundError, db.update_node, 10**9, x=1)
    expect(orvi.EdgeNotFoundError, db.delete_edge, 10**9)
    expect(ValueError, closed.node_count)
    expect(ValueError, closed.add_node, [], x=[1, 2])
    expect(KeyError, a.__getitem__, "missing")
    expect(TypeError, a.get, 1)
    # Transactions. Pending changes are dropped first so that the clean
    # block commits nothing and the database does not grow.
    db.rollback()
    with db.transaction():
        expect(orvi.TransactionError, db.transaction().__enter__)
    try:
        with db.transaction():
            db.add_node([])
            raise LookupError
    except LookupError:
        pass
    db.commit()
    # Snapshot attribute access.
    a.id, a.labels, a.properties, a.keys(), a.get("p"), a["p"], "p" in a
    e.id, e.label, e.from_node, e.to_node, e.properties, e.keys(), e.get("q")
    repr(a), repr(e), hash(a), a == b
    return 57


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--calls", type=int, default=1_000_000)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        # A memory database keeps the loop free of fsync; file handles are
        # opened and closed in the loop below.
        db = orvi.open(":memory:")
        a = db.add_node(["Start"], p={"nested": [1, 2, 3]})
        b = db.add_node(["End"])
        e = db.add_edge(a, "E", b, q="v")
        db.commit()
        closed = orvi.open(":memory:")
        closed.close()

        calls = 0
        rounds = 0
        baseline = None
        report_every = max(args.calls // 20, 1)
        next_report = report_every
        while calls < args.calls:
            calls += round_of_calls(db, closed, a, b, e)
            rounds += 1
            # Opening and closing handles, now and then.
            if rounds % 50 == 0:
                with orvi.open(f"{tmp}/leak.orvi") as scratch:
                    scratch.add_node([])
                    expect(orvi.AlreadyOpenError, orvi.open, f"{tmp}/leak.orvi")
                calls += 4
            if baseline is None and calls >= args.calls // 10:
                gc.collect()
                baseline = rss_kib()
                print(f"baseline after warm-up: {baseline} KiB", flush=True)
            if calls >= next_report:
                print(f"{calls:>9} calls  rss {rss_kib()} KiB", flush=True)
                next_report += report_every
        gc.collect()
        final = rss_kib()
        db.close()

    growth = final - baseline
    print(f"final rss {final} KiB, growth since warm-up {growth} KiB "
          f"(allowed {ALLOWED_GROWTH_KIB} KiB)")
    return 1 if growth > ALLOWED_GROWTH_KIB else 0


if __name__ == "__main__":
    sys.exit(main())
