"""Graphs as tables: pandas DataFrames and the Parquet layout."""

import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import orvi
from helpers import REPO

sys.path.insert(0, str(REPO / "python"))

import orvi_tools  # noqa: E402
from orvi_tools import first_difference, to_pandas  # noqa: E402
from orvi_tools import ImportFailed  # noqa: E402
from orvi_tools.tables import MissingPackage, export_parquet  # noqa: E402
from orvi_tools import BatchWriter  # noqa: E402
from orvi_tools.check import check_file  # noqa: E402
from helpers import exact_state  # noqa: E402
from test_builder import labels, two_files  # noqa: E402
from test_cli import build_sample, digest, run  # noqa: E402


@pytest.fixture
def sample(tmp_path):
    return build_sample(tmp_path / "sample.orvi")


def gappy(db):
    """Properties that are None on some records and missing on others,
    mixed numbers, and a list column."""
    db.add_node(["A"], both=None, always=1, mixed=1, tags=["x"])
    db.add_node(["A"], always=None, mixed=2.5)
    db.add_node([], both="s", always=3, mixed="text", tags=[])
    a, b = db.add_node([], always=4), db.add_node([], always=5)
    db.add_edge(a, "E", b, w=None)
    db.add_edge(b, "E", a, w=0.25)
    db.commit()
    return db


class TestPandas:
    pd = pytest.importorskip("pandas")

    def test_frames_hold_every_record_with_typed_columns(self, sample):
        with orvi.open(sample) as db:
            nodes, edges = to_pandas(db)
        assert list(nodes.columns[:2]) == ["id", "labels"]
        assert nodes["id"].dtype == "int64" and nodes["id"].tolist() == [1, 3, 4]
        assert nodes["labels"].tolist() == [["Person", "Admin"], ["Person"], []]
        # A property named like a fixed column moves to a prefixed column.
        assert nodes["prop:labels"].tolist()[2] == "a property, not labels"
        assert nodes["age"].dtype == "Int64" and nodes["age"].isna().tolist() == [False, True, True]
        assert nodes["ok"].dtype == "boolean"
        assert nodes["big"][1] == 2**63 - 1
        assert nodes["tags"][0] == ["a", "b"] and nodes["nested"][0] == {"k": [1, {"z": None}]}
        assert list(edges.columns[:4]) == ["id", "label", "from_node", "to_node"]
        assert edges[["from_node", "to_node"]].values.tolist() == [[1, 3], [1, 3], [3, 3], [4, 1]]
        assert edges["prop:label"][3] == "prop" and edges["edge_id"][3] == 3

    def test_empty_database_and_mixed_columns(self, mem):
        nodes, edges = to_pandas(mem)
        assert (list(nodes.columns), len(nodes)) == (["id", "labels"], 0)
        assert list(edges.columns) == ["id", "label", "from_node", "to_node"]
        nodes, _ = to_pandas(gappy(mem))
        assert nodes["mixed"].dtype == object and nodes["mixed"].tolist()[:3] == [1, 2.5, "text"]


class TestParquet:
    pa = pytest.importorskip("pyarrow")
    pq = pytest.importorskip("pyarrow.parquet")

    def export_import(self, capsys, tmp_path, path):
        out = tmp_path / "tables"
        status, _, err = run(capsys, "export", path, "-f", "parquet", "-o", out)
        assert status == 0, err
        copy = tmp_path / "copy.orvi"
        status, _, err = run(capsys, "import", copy, out)
        assert status == 0, err
        with orvi.open(path) as a, orvi.open(str(copy)) as b:
            assert first_difference(a, b) is None
        return out

    def test_round_trip_and_column_types(self, capsys, tmp_path, sample):
        out = self.export_import(capsys, tmp_path, sample)
        nodes = self.pq.read_schema(out / "nodes.parquet")
        edges = self.pq.read_schema(out / "edges.parquet")
        assert str(nodes.field("id").type) == "int64"
        assert str(nodes.field("labels").type) == "list<element: string>"
        assert [str(edges.field(c).type) for c in ("id", "from_node", "to_node")] == ["int64"] * 3
        assert {n: str(nodes.field(n).type) for n in ("age", "ok", "inf", "name")} == {
            "age": "int64", "ok": "bool", "inf": "double", "name": "string"}
        assert nodes.field("tags").metadata == {b"orvi.encoding": b"json"}
        assert nodes.field("age").metadata is None

    def test_none_apart_from_missing_values(self, capsys, tmp_path):
        path = str(tmp_path / "gaps.orvi")
        with orvi.open(path) as db:
            gappy(db)
        out = self.export_import(capsys, tmp_path, path)
        nodes = self.pq.read_schema(out / "nodes.parquet")
        assert nodes.field("both").metadata == {b"orvi.encoding": b"json"}
        assert (str(nodes.field("always").type), nodes.field("always").metadata) == (
            "int64", {b"orvi.null": b"none"})
        assert nodes.field("mixed").metadata == {b"orvi.encoding": b"json"}
        cells = self.pq.read_table(out / "nodes.parquet").column("both").to_pylist()
        assert cells == ["null", None, '"s"', None, None]

    def test_row_groups_and_tables_made_elsewhere(self, capsys, tmp_path, mem):
        for i in range(1000):
            mem.add_node(["N"], n=i)
        for i in range(1, 1000):
            mem.add_edge(i, "NEXT", i + 1)
        out = str(tmp_path / "groups")
        assert export_parquet(mem, out, row_group=300) == (1000, 999)
        assert self.pq.ParquetFile(f"{out}/nodes.parquet").metadata.num_row_groups == 4
        foreign = tmp_path / "foreign"
        foreign.mkdir()
        self.pq.write_table(self.pa.table({"id": ["a", "b"], "city": ["Oslo", None]}),
                            foreign / "nodes.parquet")
        self.pq.write_table(self.pa.table({"from_node": ["a"], "to_node": ["b"],
                                           "km": [1.5]}), foreign / "edges.parquet")
        target = tmp_path / "f.orvi"
        assert run(capsys, "import", target, foreign)[0] == 0
        with orvi.open(str(target)) as db:
            assert [n.properties for n in db.all_nodes()] == [{"city": "Oslo"}, {}]
            assert db.get_edge(1).properties == {"km": 1.5} and db.get_edge(1).label == ""

    def test_unreadable_input_is_named_and_changes_nothing(self, capsys, tmp_path, sample):
        folder = tmp_path / "broken"
        folder.mkdir()
        (folder / "nodes.parquet").write_bytes(b"PAR1 not really")
        before = digest(sample)
        status, _, err = run(capsys, "import", sample, folder, "-f", "parquet")
        assert status == 1 and err.count("\n") == 1
        assert "nodes.parquet: cannot be read as Parquet" in err
        self.pq.write_table(self.pa.table({"id": [1], "bad": ["{"]},
                                          schema=self.pa.schema([
                                              ("id", self.pa.int64()),
                                              self.pa.field("bad", self.pa.string(), metadata={
                                                  "orvi.encoding": "json"})])),
                            folder / "nodes.parquet")
        status, _, err = run(capsys, "import", sample, folder)
        assert status == 1 and "nodes.parquet row 1: column bad is not valid tagged JSON" in err
        assert digest(sample) == before
        # Rows are counted across record batches; labels and keys of other
        # types are checked per row.
        ids = list(range(6000))
        ids[5000] = 7
        self.pq.write_table(self.pa.table({"id": ids}), folder / "nodes.parquet")
        status, _, err = run(capsys, "import", sample, folder)
        assert status == 1 and "nodes.parquet row 5001: node 7 is defined twice" in err
        self.pq.write_table(self.pa.table({"id": [1, 2], "labels": ["A", None]}),
                            folder / "nodes.parquet")
        status, _, err = run(capsys, "import", sample, folder)
        assert status == 1 and "nodes.parquet row 1: labels must be a list of strings" in err
        self.pq.write_table(self.pa.table({"id": [1.5]}), folder / "nodes.parquet")
        status, _, err = run(capsys, "import", sample, folder)
        assert status == 1 and "nodes.parquet row 1: id must be an integer or a string" in err
        assert digest(sample) == before


class TestMissingPackages:
    def test_one_line_saying_what_to_install(self, capsys, monkeypatch, tmp_path, sample, mem):
        monkeypatch.setitem(sys.modules, "pyarrow", None)
        monkeypatch.setitem(sys.modules, "pandas", None)
        status, _, err = run(capsys, "export", sample, "-f", "parquet", "-o", tmp_path / "o")
        assert status == 1
        assert err == ("orvi: error: pyarrow is not installed; install it with "
                       "`pip install 'orvi[parquet]'` (or `pip install pyarrow`)\n")
        assert not (tmp_path / "o").exists()
        with pytest.raises(MissingPackage, match=r"pip install 'orvi\[pandas\]'"):
            to_pandas(mem)


class TestImportTables:
    @pytest.fixture(autouse=True)
    def arrow(self):
        self.pa = pytest.importorskip("pyarrow")

    class Stream:
        """Only the Arrow PyCapsule stream interface, as polars offers it."""

        def __init__(self, table):
            self.table = table

        def __arrow_c_stream__(self, requested_schema=None):
            return self.table.__arrow_c_stream__(requested_schema)

    def test_frames_and_streams_load_into_an_existing_file(self, sample):
        pd = pytest.importorskip("pandas")
        nodes = pd.DataFrame({"id": ["a", "b", "c"], "labels": [["P"], [], ["P", "Q"]],
                              "w": [1.5, float("nan"), 2.0], "n": [1, 2, 3]})
        edges = self.pa.table({"from_node": ["a", "c", "c"], "to_node": ["b", "c", "c"],
                               "label": ["E", None, "F"], "since": [2001, None, 3]})
        ids = orvi_tools.import_tables(sample, nodes, self.Stream(edges))
        assert ids == {"a": 5, "b": 6, "c": 7}
        with orvi.open(sample) as db:
            assert db.get_node(6).labels == [] and db.get_node(6).properties == {"n": 2}
            assert db.get_node(7).properties == {"w": 2.0, "n": 3}
            assert [(e.label, e.properties) for e in db.out_edges(7)] == [
                ("F", {"since": 3}), ("", {})]

    def test_columns_read_in_place_or_as_python_values(self, tmp_path):
        from orvi_tools.build import ABSENT
        pa = self.pa
        builder = orvi_tools._engine.builder(str(tmp_path / "b.orvi"))
        batch = pa.record_batch({"id": pa.array(["a", "b"]).dictionary_encode(),
                                 "labels": pa.array([["L"], None], pa.large_list(pa.string())),
                                 "t": pa.array([None, 5], pa.timestamp("s"))})
        plan = [("t", "t", False)]
        assert builder.add_table(batch, True, plan, {}, ABSENT) == ["t"]
        with pytest.raises(ValueError, match="Got type `datetime`") as e:
            builder.add_table(batch, True, plan, {"t": [ABSENT, batch.column(2)[1].as_py()]},
                              ABSENT)
        assert e.value.batch_index == 1
        # The first row went in before the second was refused.
        assert builder.key_ids() == {"a": 1}
        builder.close()

    def test_key_errors_name_the_row(self, tmp_path):
        pa = self.pa
        cases = [({"id": [1, 2, 1]}, None, ImportFailed, "nodes row 3: node 1 is defined twice"),
                 ({"id": ["a", "b"]}, {"from_node": ["a", "a"], "to_node": ["b", "é"]},
                  ImportFailed, "edges row 2: edge refers to node 'é', which is not defined"),
                 ({"id": pa.array([1, None])}, None, orvi_tools.FormatProblem,
                  "nodes row 2: id must be an integer or a string, not NoneType"),
                 ({"id": [1], "labels": pa.array([["A", None]])}, None, ImportFailed,
                  "nodes row 1: a label must be str, not NoneType")]
        for nodes, edges, error, message in cases:
            with pytest.raises(error, match="^" + message):
                orvi_tools.import_tables(str(tmp_path / "e.orvi"), self.pa.table(nodes),
                                         None if edges is None else self.pa.table(edges))
            assert not (tmp_path / "e.orvi").exists()

    def test_refused_input_names_the_row_and_changes_nothing(self, tmp_path, sample):
        before = digest(sample)
        nodes = self.pa.table({"id": [1, 2]})
        edges = self.pa.table({"from_node": [1, 1], "to_node": [2, 9]})
        with pytest.raises(orvi_tools.ImportFailed,
                           match="^edges row 2: edge refers to node 9, which is not defined"):
            orvi_tools.import_tables(sample, nodes, edges)
        assert digest(sample) == before
        new = tmp_path / "new.orvi"
        with pytest.raises(orvi_tools.FormatProblem, match="^nodes: missing column id"):
            orvi_tools.import_tables(str(new), self.pa.table({"key": [1]}))
        assert not new.exists()


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
