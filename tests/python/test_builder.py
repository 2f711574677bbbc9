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

    def test_refused_labels_name_their_record(self, tmp_path):
        builder = _engine.builder(str(tmp_path / "b.orvi"))
        for bad, error, text in ((["A", 3], TypeError, "a label must be str, not int"),
                                 (["\ud800"], UnicodeEncodeError, "surrogate"),
                                 ("A", TypeError, "labels must be a list of str")):
            with pytest.raises(error, match=text) as info:
                builder.add_nodes([["A"], bad], [None, {"k": 1}])
            assert info.value.batch_index == 1

    def test_edges_name_only_nodes_of_the_load(self, tmp_path):
        path = str(tmp_path / "b.orvi")
        existing(path)
        builder = _engine.builder(path)
        assert builder.first_node_id() == 4
        with pytest.raises(ValueError, match="not a node added by this builder"):
            builder.add_edges([1], ["E"], [1], [None])
        with pytest.raises(ValueError):
            builder.finish()

