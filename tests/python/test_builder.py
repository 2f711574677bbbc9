"""The graph builder against the one-by-one path: random graphs loaded both
ways into copies of one file must give the same database, ids and list
orders included."""

import shutil
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import orvi
from helpers import REPO, exact_state

sys.path.insert(0, str(REPO / "python"))
from orvi_tools import BatchWriter, ImportFailed, _engine  # noqa: E402
from orvi_tools.build import Loader  # noqa: E402
from orvi_tools.check import check_file  # noqa: E402

scalars = (st.none() | st.booleans() | st.integers(-2**63, 2**63 - 1)
           | st.floats(allow_nan=True) | st.text(max_size=8)
           | st.sampled_from(["x" * 5000, 2**64, -2**70]))
values = st.recursive(scalars, lambda inner: st.lists(inner, max_size=3)
                      | st.dictionaries(st.text(max_size=3), inner, max_size=3), max_leaves=6)
properties = st.dictionaries(st.text(max_size=4), values, max_size=3)
labels = st.lists(st.sampled_from(["A", "B", "Ünï ✓", ""]), max_size=2)


@st.composite
def loads(draw):
    """Nodes and edges interleaved as an import may give them: each edge
    names nodes defined before it (self-loops and parallel edges likely)."""
    records, nodes = [], 0
    for _ in range(draw(st.integers(1, 40))):
        if nodes and draw(st.booleans()):
            a, b = draw(st.integers(0, nodes - 1)), draw(st.integers(0, nodes - 1))
            records.append(("edge", a, draw(st.sampled_from(["E", "", "F"])), b,
                            draw(properties)))
        else:
            records.append(("node", nodes, draw(labels), draw(properties)))
            nodes += 1
    return records


def existing(path):
    """A file holding records, some deleted, as an import may meet it."""
    with orvi.open(path) as db:
        a = db.add_node(["Old"], x=1)
        b = db.add_node([], y=[1, 2])
        db.add_edge(a, "OLD", b)
        db.add_edge(b, "OLD", b)
        db.delete_node(db.add_node(["Gone"]))
        db.delete_edge(db.add_edge(a, "GONE", a))
        db.commit()


def two_files(tmp_path_factory, into_existing):
    """The reference file and the one to build: two equal copies, empty
    or holding records."""
    folder = tmp_path_factory.mktemp("load")
    reference, built = str(folder / "ref.orvi"), str(folder / "built.orvi")
    if into_existing:
        existing(reference)
        shutil.copyfile(reference, built)
    return reference, built


@settings(max_examples=60, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(records=loads(), into_existing=st.booleans())
def test_builder_matches_one_by_one(tmp_path_factory, records, into_existing):
    reference, built = two_files(tmp_path_factory, into_existing)
    with orvi.open(reference) as db, BatchWriter(db) as writer:
        for r in records:
            if r[0] == "node":
                writer.add_node(*r[1:])
            else:
                writer.add_edge(*r[1:])
    builder = _engine.builder(built)
    loader = Loader(builder)
    for r in records:
        if r[0] == "node":
            loader.add_node(*r[1:], place="in")
        else:
            loader.add_edge(*r[1:], place="in")
    loader.finish()
    builder.close()
    with orvi.open(reference) as a, orvi.open(built) as b:
        assert exact_state(a) == exact_state(b)
    assert check_file(built).problems == []


class TestRefusals:
    def test_values_are_refused_as_the_module_refuses_them(self, tmp_path):
        loader = Loader(_engine.builder(str(tmp_path / "b.orvi")))
        loader.add_node("a", [], {}, "in:1")
        loader.add_node("b", [], {"bad": object()}, "in:2")
        with pytest.raises(ImportFailed, match="^in:2: Property values must be"):
            loader.flush()

    def test_edges_name_only_nodes_of_the_load(self, tmp_path):
        path = str(tmp_path / "b.orvi")
        existing(path)
        builder = _engine.builder(path)
        assert builder.first_node_id() == 4
        with pytest.raises(ValueError, match="not a node added by this builder"):
            builder.add_edges([1], ["E"], [1], [None])
        with pytest.raises(ValueError):
            builder.finish()


# Arrow columns of every type the builder reads in place, with nulls.
ARROW_COLUMNS = {
    "i64": ("int64", st.integers(-2**63, 2**63 - 1)),
    "u64": ("uint64", st.integers(0, 2**64 - 1)),
    "i8": ("int8", st.integers(-128, 127)),
    "f64": ("float64", st.floats(allow_nan=True)),
    "f32": ("float32", st.floats(width=32, allow_nan=True)),
    "ok": ("bool_", st.booleans()),
    "s": ("string", st.text(max_size=6) | st.just("x" * 5000)),
    "ls": ("large_string", st.text(max_size=3)),
    "sv": ("string_view", st.text(max_size=20)),
    "dict": ("dictionary", st.sampled_from(["a", "b", "Ünï"])),
    "list": ("list", st.lists(st.none() | st.integers(-5, 5), max_size=3)),
    "map": ("struct", st.fixed_dictionaries({"z": st.none() | st.text(max_size=2),
                                             "a": st.floats(allow_nan=True)})),
}


def arrow_type(pa, kind):
    special = {"dictionary": pa.dictionary(pa.int8(), pa.string()),
               "list": pa.list_(pa.int64()),
               "struct": pa.struct([("z", pa.string()), ("a", pa.float64())])}
    return special.get(kind) or getattr(pa, kind)()


@st.composite
def tables(draw):
    """A node table and an edge table with typed property columns, keys
    ints or strs; None cells are nulls (the record lacks the property)."""
    n = draw(st.integers(1, 25))
    keys = draw(st.sampled_from([list(range(n)), [f"k{i}" for i in range(n)],
                                 list(range(n, 0, -1)), [3 * i - 40 for i in range(n)]]))
    names = draw(st.lists(st.sampled_from(sorted(ARROW_COLUMNS)), unique=True, max_size=4))
    columns = {name: draw(st.lists(st.none() | ARROW_COLUMNS[name][1], min_size=n, max_size=n))
               for name in names}
    node_labels = draw(st.lists(st.none() | labels, min_size=n, max_size=n))
    m = draw(st.integers(0, 40))
    ends = st.lists(st.sampled_from(keys), min_size=m, max_size=m)
    edges = {"from_node": draw(ends), "to_node": draw(ends),
             "label": draw(st.lists(st.none() | st.sampled_from(["E", "", "Ü"]),
                                    min_size=m, max_size=m)),
             "w": draw(st.lists(st.none() | st.floats(allow_nan=True), min_size=m, max_size=m))}
    return keys, node_labels, columns, edges


@settings(max_examples=60, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=tables(), into_existing=st.booleans())
def test_arrow_columns_load_as_one_by_one(tmp_path_factory, data, into_existing):
    pa = pytest.importorskip("pyarrow")
    from orvi_tools import import_tables

    keys, node_labels, columns, edges = data
    reference, built = two_files(tmp_path_factory, into_existing)
    with orvi.open(reference) as db, BatchWriter(db) as writer:
        for i, key in enumerate(keys):
            writer.add_node(key, node_labels[i] or [],
                            {k: v[i] for k, v in columns.items() if v[i] is not None})
        for a, b, label, w in zip(*edges.values()):
            writer.add_edge(a, label or "", b, {} if w is None else {"w": w})
    nodes = pa.table({"id": keys, "labels": pa.array(node_labels, pa.list_(pa.string())),
                      **{name: pa.array(values, arrow_type(pa, ARROW_COLUMNS[name][0]))
                         for name, values in columns.items()}})
    edge_table = pa.table({**edges, "w": pa.array(edges["w"], pa.float64()),
                           "label": pa.array(edges["label"], pa.string())})
    ids = import_tables(built, nodes, edge_table if edges["from_node"] else None)
    with orvi.open(reference) as a, orvi.open(built) as b:
        assert exact_state(a) == exact_state(b)
    assert list(ids) == keys and list(ids.values()) == list(range(ids[keys[0]],
                                                                ids[keys[0]] + len(keys)))
    assert check_file(built).problems == []
