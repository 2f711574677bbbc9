"""The graph builder against the one-by-one path: random graphs loaded both
ways into copies of one file must give the same database, ids and list
orders included."""

import csv
import json
import math
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



# -- JSON Lines and CSV read by the builder itself ---------------------------
#
# The builder reads the lines and rows it accepts and leaves the rest, from
# the first one it declines, to the Python readers. Both ways must build the
# same file, byte for byte, or fail with the same error.

from orvi_tools.build import feed_csv, feed_jsonl, load_records  # noqa: E402
from orvi_tools.exchange import (read_csv_dir, read_jsonl, to_json_value,  # noqa: E402
                                 dumps)


def outcome(path, feed, source):
    """The file a feed builds from `source`, or the error it raises."""
    builder = _engine.builder(str(path))
    try:
        loader = Loader(builder)
        feed(loader, str(source))
        loader.finish()
    except Exception as e:  # compared by type and text
        return f"{type(e).__name__}: {e}"
    finally:
        builder.close()
    return path.read_bytes()


def python_feed(fmt):
    read = read_jsonl if fmt == "jsonl" else read_csv_dir
    return lambda loader, source: load_records(loader, read(source))


def assert_both_ways_agree(folder, fmt, source):
    python = outcome(folder / "python.orvi", python_feed(fmt), source)
    native = outcome(folder / "native.orvi", feed_jsonl if fmt == "jsonl" else feed_csv,
                     source)
    assert native == python
    return native


def jsonl_line(record, draw):
    """A record as one JSON line, in any of the forms a writer may choose:
    fields in any order, repeated fields (the last counts), extra fields,
    escaped or raw non-ASCII text, a value's own key repeated."""
    if record[0] == "node":
        fields = [("type", "node"), ("id", record[1]), ("labels", record[2]),
                  ("properties", {k: to_json_value(v) for k, v in record[3].items()})]
    else:
        fields = [("type", "edge"), ("from", record[1]), ("label", record[2]),
                  ("to", record[3]),
                  ("properties", {k: to_json_value(v) for k, v in record[4].items()})]
    fields = draw(st.permutations(fields))
    if draw(st.booleans()):
        fields.insert(0, (fields[-1][0], [1, {"x": None}]))
    if draw(st.booleans()):
        fields.append(("note", {"nested": [1.5, "t", True]}))
    ascii_only = draw(st.booleans())
    text = ", ".join(f"{json.dumps(k)}: {json.dumps(v, ensure_ascii=ascii_only)}"
                     for k, v in fields)
    return "{" + text + "}" + draw(st.sampled_from(["", " ", "\r"]))


keys = st.integers(-3, 2**63 - 1) | st.text(max_size=3) | st.sampled_from([2**64, True])


@settings(max_examples=40, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(records=loads(), data=st.data())
def test_jsonl_read_by_the_builder_matches_the_python_reader(tmp_path_factory, records, data):
    folder = tmp_path_factory.mktemp("jsonl")
    lines = []
    names = {}
    for r in records:
        if r[0] == "node":
            names[r[1]] = data.draw(keys.filter(lambda k: k not in names.values()))
            r = ("node", names[r[1]]) + r[2:]
        else:
            r = ("edge", names[r[1]], r[2], names[r[3]], r[4])
        lines.append(jsonl_line(r, data.draw))
        if data.draw(st.integers(0, 9)) == 0:
            lines.append(data.draw(st.sampled_from(["", "  \t", "\x0c"])))
    source = folder / "in.jsonl"
    source.write_text("\n".join(lines) + data.draw(st.sampled_from(["", "\n"])),
                      encoding="utf-8")
    assert_both_ways_agree(folder, "jsonl", source)


@settings(max_examples=40, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(records=loads(), quoting=st.sampled_from([csv.QUOTE_MINIMAL, csv.QUOTE_ALL]),
       ending=st.sampled_from(["\n", "\r\n"]), reorder=st.booleans())
def test_csv_read_by_the_builder_matches_the_python_reader(tmp_path_factory, records, quoting,
                                                           ending, reorder):
    folder = tmp_path_factory.mktemp("csv")
    node_rows = [[f"n{r[1]}", dumps(r[2]), dumps({k: to_json_value(v)
                                                  for k, v in r[3].items()})]
                 for r in records if r[0] == "node"]
    edge_rows = [["", r[2], f"n{r[1]}", f"n{r[3]}",
                  dumps({k: to_json_value(v) for k, v in r[4].items()})]
                 for r in records if r[0] == "edge"]
    for name, header, rows in (("nodes", ["id", "labels", "properties"], node_rows),
                               ("edges", ["id", "label", "from", "to", "properties"], edge_rows)):
        if reorder:
            header, rows = header[::-1], [row[::-1] for row in rows]
        with open(folder / f"{name}.csv", "w", encoding="utf-8", newline="") as f:
            writer = csv.writer(f, quoting=quoting, lineterminator=ending)
            writer.writerow(header)
            writer.writerows(rows)
    assert_both_ways_agree(folder, "csv", folder)


GOOD_NODES = "".join(json.dumps({"type": "node", "id": i, "properties": {"i": i}}) + "\n"
                     for i in range(3))


class TestDeclinedLines:
    """Lines the builder leaves to the Python reader: the value or the error
    is the Python reader's, and the lines after it load as before."""

    @pytest.mark.parametrize("line", [
        "not json",
        '{"type": "node"}',
        '{"type": "edge", "from": 0, "to": "missing"}',
        '{"type": "node", "id": 1}',
        '{"type": "node", "id": 9, "properties": {"s": "\\ud800"}}',
        '{"type": "node", "id": 9, "properties": {"s": "\\udc00\\ud800"}}',
        '{"type": "node", "id": 9, "labels": ["\\ud83d"]}',
        '{"type": "node", "id": 9, "properties": {"big": %d}}' % 10**400,
        '{"type": "node", "id": 9, "properties": {"big": %d, "f": 1e400, "t": 1e-400}}' % 2**64,
        '{"type": "node", "id": 9, "properties": {"n": NaN, "i": -Infinity}}',
        '{"type": "node", "id": %d, "properties": {"x": 1}}' % 2**70,
        '{"type": "node", "id": 9, "properties": {"x": {"$float": "nan", "$float": "inf"}}}',
        '{"type": "node", "id": 9, "properties": {"x": {"$map": {"$float": 1}}}}',
        '{"type": "node", "id": 9, "properties": {"x": {"$map": 1}}}',
        '{"type": "node", "id": 9, "properties": {"x": ' + "[" * 32 + "]" * 32 + "}}",
        '{"type": "node", "id": 9, "properties": {"x": ' + "[" * 33 + "]" * 33 + "}}",
        '\ufeff{"type": "node", "id": 9}',
        '{"type": "node", "id": 9, "properties": {"x": "a\tb"}}',
        '{"type": "node", "id": 9, "label": 1, "properties": null}',
    ])
    def test_a_declined_line_between_accepted_ones(self, tmp_path, line):
        source = tmp_path / "in.jsonl"
        source.write_text(GOOD_NODES + line + "\n" + GOOD_NODES.replace('"id": ', '"id": 1')
                          + '{"type": "edge", "from": 0, "to": 12, "label": "E"}\n',
                          encoding="utf-8")
        assert_both_ways_agree(tmp_path, "jsonl", source)

    def test_batches_are_cut_where_the_python_reader_cuts_them(self, tmp_path):
        # The refused value waits in a batch that the Python loader sends
        # when it is full, before it reads the malformed line after it.
        nodes = [json.dumps({"type": "node", "id": i}) for i in range(4094)]
        lines = nodes + ['{"type": "node", "id": "s", "labels": ["\\ud800"]}',
                         '{"type": "node", "id": "a"}', '{"type": "node", "id": "b"}', "{"]
        source = tmp_path / "in.jsonl"
        source.write_text("\n".join(lines) + "\n")
        assert "in.jsonl:4095: " in assert_both_ways_agree(tmp_path, "jsonl", source)

    @pytest.mark.parametrize("nodes, edges", [
        ('id,labels,properties\n1,[],{}\n2,"[""A""]","{""x"": {""$float"": ""nan""}}"\n'
         '3,[],"{""x"": NaN}"\n4,[],{}\n', "from,to\n1,4\n3,2\n"),
        ('id,labels,properties\n1,[],{}\n\n2,[],"{""a"":\n1}"\n3,[],\'{}\'\n', None),
        ('id,labels,properties\n1,[],{}\r\n2,[],{}\r3,[],{}\n', "from,to\n1,3\n"),
        ('id,id,labels\n1,2,[]\n', None),
        ('\nid\n1\n', None),
        ('', None),
        ('id,labels,properties\n1,[],{}\n2,[],"{}"x\n', None),
        ('id,labels,properties\n1,[],{}\n2,[],"{""s"": ""\\ud800""}"\n', None),
        ('id,labels,properties\n1,[],{}\n2,[],{}\n', "from,to,label\n1,2,E\n2,5,E\n1,1\n"),
        ('id,labels,properties\n1,[],{}\n,[],{}\n', None),
        ('id\n1\n2\n', 'from,to,properties\n1,2,{}\n2,1,"{""a"": ""\\u00e9"", ""a"": 2}"\n'
                       '1,1,"{\n}"\n2,2,[]\n'),
    ])
    def test_csv_rows(self, tmp_path, nodes, edges):
        folder = tmp_path / "in"
        folder.mkdir()
        (folder / "nodes.csv").write_bytes(nodes.encode())
        if edges is not None:
            (folder / "edges.csv").write_bytes(edges.encode())
        assert_both_ways_agree(tmp_path, "csv", folder)

    def test_the_builder_reads_every_value_kind_and_stops_at_the_seam(self, tmp_path):
        accepted = [
            '{"type": "node", "id": -5, "labels": ["A", "\\u00e9\\ud83d\\ude00"], '
            '"properties": {"f": [1.5e-300, -0.0, 1e308, {"$float": "-inf"}], "i": -9223372036854775808, '
            '"m": {"$map": {"$x": {"$float": "nan"}}}, "d": {"k": 1, "k": [null, true, false]}, '
            '"s": "\\"\\\\\\/\\b\\f\\n\\r\\t\\u0000 \u00fc\u2713"}, "extra": {"a": [[]]}}',
            '  ',
            '{"type": "edge", "from": -5, "to": -5, "label": "\\u2713", "properties": {}}',
        ]
        source = tmp_path / "in.jsonl"
        source.write_text("\n".join(accepted + ['{"type": "node", "id": 1, "properties": '
                                                '{"n": NaN}}', '{"type": "node", "id": 2}']),
                          encoding="utf-8")
        builder = _engine.builder(str(tmp_path / "b.orvi"))
        seam = len("\n".join(accepted).encode()) + 1
        assert builder.add_jsonl(str(source), None) == (seam, 4, 1, 1, False, 1)
        builder.close()
        assert_both_ways_agree(tmp_path, "jsonl", source)

    def test_the_builder_reads_csv_rows_up_to_the_seam(self, tmp_path):
        rows = ['"id","labels","properties"', '1,"[""A""]","{""x"": {""$float"": ""nan""}}"',
                '"2","[]","{""q"": ""a,\\""b""}"', '3,[],"{""a"":\r\n1}"', '', '4,[],"{""n"": NaN}"',
                '5,[],{}']
        source = tmp_path / "nodes.csv"
        source.write_bytes("\r\n".join(rows).encode())
        builder = _engine.builder(str(tmp_path / "b.orvi"))
        seam = len("\r\n".join(rows[:5]).encode()) + 2
        assert builder.add_csv(str(source), True, None) == (seam, 7, 3, 0, True, 3)
        builder.close()
        assert_both_ways_agree(tmp_path, "csv", tmp_path)

    @pytest.mark.parametrize("fmt", ["jsonl", "csv"])
    def test_tagged_values_read_alike_on_both_sides_of_the_seam(self, tmp_path, fmt):
        # Node 1 is read by the builder; node 2, the same but for a NaN
        # literal, is declined and read by the Python reader.
        tagged = ('"f": [{"$float": "-inf"}, {"$float": "inf"}], '
                  '"m": {"$map": {"$x": {"$float": "nan"}}}, "e": {"$map": {"a": {"$map": {}}}}, '
                  '"o": {"$": {"$float": "nan"}, "k": 1}, "n": ')
        cells = ["{" + tagged + '{"$float": "nan"}}', "{" + tagged + "NaN}"]
        if fmt == "jsonl":
            source = tmp_path / "in.jsonl"
            source.write_text("".join(f'{{"type": "node", "id": {i}, "properties": {cell}}}\n'
                                      for i, cell in enumerate(cells, 1)))
            read, args, seam = "add_jsonl", (str(source),), 2
        else:
            with open(tmp_path / "nodes.csv", "w", newline="") as f:
                csv.writer(f).writerows([["id", "properties"], *enumerate(cells, 1)])
            source = tmp_path
            read, args, seam = "add_csv", (str(tmp_path / "nodes.csv"), True), 3
        probe = _engine.builder(str(tmp_path / "probe.orvi"))
        assert getattr(probe, read)(*args, None)[1:3] == (seam, 1)  # node 2's line
        probe.close()
        assert outcome(tmp_path / "built.orvi", feed_jsonl if fmt == "jsonl" else feed_csv,
                       source)
        with orvi.open(str(tmp_path / "built.orvi")) as db:
            native, fallback = db.get_node(1).properties, db.get_node(2).properties
        expected = {"e": {"a": {}}, "f": [-math.inf, math.inf], "m": {"$x": math.nan},
                    "n": math.nan, "o": {"$": math.nan, "k": 1}}
        assert repr(native) == repr(fallback) == repr(expected)


def test_json_columns_of_tables_decode_as_the_python_decoder(tmp_path):
    """The builder decodes a table's column of tagged JSON texts itself;
    a column holding a text it declines is decoded by from_json_value."""
    pa = pytest.importorskip("pyarrow")
    from orvi_tools import import_tables
    from orvi_tools.exchange import from_json_value
    plain = ['{"$float": "nan"}', '[1, {"$map": {"$a": -0.0}}]', None, '"\\u00e9"', '{}']
    declined = ['1', 'NaN', None, str(2**64), '-Infinity']
    json_field = {"orvi.encoding": "json"}
    table = pa.table({"id": range(5), "p": plain, "d": declined},
                     schema=pa.schema([("id", pa.int64()),
                                       pa.field("p", pa.string(), metadata=json_field),
                                       pa.field("d", pa.string(), metadata=json_field)]))
    import_tables(str(tmp_path / "t.orvi"), table)
    with orvi.open(str(tmp_path / "ref.orvi")) as ref, BatchWriter(ref) as writer:
        for i in range(5):
            props = {name: from_json_value(json.loads(column[i]))
                     for name, column in (("p", plain), ("d", declined)) if column[i]}
            writer.add_node(i, [], props)
    with orvi.open(str(tmp_path / "ref.orvi")) as a, orvi.open(str(tmp_path / "t.orvi")) as b:
        assert exact_state(a) == exact_state(b)
