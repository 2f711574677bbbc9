"""Export and import of whole graphs: JSON Lines, CSV and GraphML (Parquet
lives in ``tables``).

JSON Lines (``jsonl``), one object per line, every node before the edges:

    {"type": "node", "id": 1, "labels": ["Person"], "properties": {"name": "Ada"}}
    {"type": "edge", "id": 1, "label": "KNOWS", "from": 1, "to": 2, "properties": {}}

CSV (``csv``): a directory with ``nodes.csv`` (columns id, labels,
properties) and ``edges.csv`` (columns id, label, from, to, properties);
labels and properties are JSON texts in their cells. An import directory
without ``edges.csv`` adds only nodes.

GraphML (``graphml``, export only): a directed graph whose nodes are
``n<id>`` and edges ``e<id>``; the labels go in the node key ``labels`` (a
JSON list) and the edge label in the edge key ``label``. Each property name
gets one key per element kind: boolean, long, double or string when all
its values other than None are of that type (ints and floats mixed give
double), and the None values are left out; otherwise a string key holding
JSON texts of every value, which says so in its ``<desc>``.

JSON has no NaN or infinity, and property maps may use any key, so values
are written in a tagged form that reads back exactly:

- a float NaN, inf or -inf is ``{"$float": "nan"}`` (``"inf"``, ``"-inf"``);
- a map whose only key begins with ``$`` is wrapped as ``{"$map": {...}}``;
- any other map, list and scalar is plain JSON.

Imports name nodes by the ``id`` of the input (an integer or a string); the
database gives them new ids in input order. An edge may refer only to nodes
defined before it in the input. The readers here yield records; ``orvi
import`` hands them to the graph builder on a copy of the file and replaces
the original only on success (``build``, ``fileops``). The builder reads
JSON Lines and CSV itself as far as it can read them exactly as these
readers do, and these readers go on from the first line or row it declines
(``build.feed_jsonl``, ``build.feed_csv``).
"""

from __future__ import annotations

import contextlib
import csv
import json
import math
import os
import re
import sys
from typing import IO, Any, Dict, Iterable, Iterator, List, Optional, Sequence, Tuple

import orvi

from . import _engine
from .batch import BatchWriter, ImportFailed
from .progress import bar

FORMATS_OUT = ("jsonl", "graphml", "csv", "parquet")
FORMATS_IN = ("jsonl", "csv", "parquet")
# Formats whose output is a directory holding a node file and an edge file.
DIRECTORY_FORMATS = ("csv", "parquet")
NODE_COLUMNS = ("id", "labels", "properties")
EDGE_COLUMNS = ("id", "label", "from", "to", "properties")

class FormatProblem(Exception):
    """Input that does not follow the format; the message names the place."""


# -- tagged JSON values --------------------------------------------------------


def to_json_value(value: Any) -> Any:
    """A property value as plain JSON data (see the module comment)."""
    if isinstance(value, float) and not math.isfinite(value):
        return {"$float": "nan" if math.isnan(value) else ("inf" if value > 0 else "-inf")}
    if isinstance(value, list):
        return [to_json_value(item) for item in value]
    if isinstance(value, dict):
        encoded = {key: to_json_value(item) for key, item in value.items()}
        if len(value) == 1 and next(iter(value)).startswith("$"):
            return {"$map": encoded}
        return encoded
    return value


def from_json_value(value: Any) -> Any:
    """The inverse of ``to_json_value`` for a value as ``json.loads`` gives
    it; FormatProblem for an unknown tag. The engine reads the tags, by the
    rule its own JSON parser follows on the import's fast path."""
    return _engine.decode_tagged(value, FormatProblem)


def dumps(value: Any) -> str:
    return json.dumps(value, ensure_ascii=False, allow_nan=False, separators=(",", ":"))


def properties_to_json(props: Dict[str, Any]) -> Dict[str, Any]:
    return {key: to_json_value(value) for key, value in props.items()}


# -- reading the database ----------------------------------------------------


# Records read one at a time between two releases of the file pages they
# were read from: a scan does not come back to them, and holding them would
# make the process as large as the file.
_RELEASE_EVERY = 65536


def _iter_records(db: "orvi.GraphDB", read_all: Any, read_one: Any,
                  next_id: Optional[int]) -> Iterator[Any]:
    if next_id is None:
        yield from read_all()
        return
    for record_id in range(1, next_id):
        if record_id % _RELEASE_EVERY == 0:
            _engine.release_pages(db)
        record = read_one(record_id)
        if record is not None:
            yield record


def iter_nodes(db: "orvi.GraphDB", next_node_id: Optional[int] = None) -> Iterator["orvi.Node"]:
    """Every live node by ascending id. With the next node id known (from
    the file's header) nodes are read one at a time instead of all at
    once."""
    return _iter_records(db, db.all_nodes, db.get_node, next_node_id)


def iter_edges(db: "orvi.GraphDB", next_edge_id: Optional[int] = None) -> Iterator["orvi.Edge"]:
    """Every live edge by ascending id, read as iter_nodes reads nodes."""
    return _iter_records(db, db.all_edges, db.get_edge, next_edge_id)


def node_record(node: "orvi.Node") -> Dict[str, Any]:
    return {"type": "node", "id": node.id, "labels": node.labels,
            "properties": properties_to_json(node.properties)}


def edge_record(edge: "orvi.Edge") -> Dict[str, Any]:
    return {"type": "edge", "id": edge.id, "label": edge.label, "from": edge.from_node,
            "to": edge.to_node, "properties": properties_to_json(edge.properties)}


# -- export ------------------------------------------------------------------

PARTIAL_SUFFIX = ".partial"


def _named_as_given(error: OSError, names: Dict[str, str]) -> OSError:
    """``error`` with a temporary file name replaced by the name the user
    gave."""
    if error.filename in names:
        return type(error)(error.errno, error.strerror, names[error.filename])
    return error


@contextlib.contextmanager
def replaced_file(target: str) -> Iterator[str]:
    """Yields a temporary path beside ``target``; when the block ends
    normally the file written there replaces ``target`` (an existing file
    included), otherwise it is removed and ``target`` stays as it was.
    Errors name ``target``, never the temporary path."""
    if os.path.isdir(target):
        raise IsADirectoryError(21, "is a directory, not a file", target)
    partial = target + PARTIAL_SUFFIX
    try:
        yield partial
        os.replace(partial, target)
    except OSError as e:
        with contextlib.suppress(OSError):
            os.remove(partial)
        raise _named_as_given(e, {partial: target}) from None
    except BaseException:
        with contextlib.suppress(OSError):
            os.remove(partial)
        raise


@contextlib.contextmanager
def replaced_files(directory: str, names: Sequence[str]) -> Iterator[List[str]]:
    """``replaced_file`` for several files of one directory (created when
    missing, and removed again on failure if it is left empty): the files
    replace theirs only once all of them were written."""
    created = not os.path.exists(directory)
    os.makedirs(directory, exist_ok=True)
    targets = [os.path.join(directory, name) for name in names]
    partials = [target + PARTIAL_SUFFIX for target in targets]
    given = dict(zip(partials, targets))
    try:
        for target in targets:
            if os.path.isdir(target):
                raise IsADirectoryError(21, "is a directory, not a file", target)
        yield partials
        for partial, target in zip(partials, targets):
            os.replace(partial, target)
    except BaseException as e:
        for partial in partials:
            with contextlib.suppress(OSError):
                os.remove(partial)
        if created:
            with contextlib.suppress(OSError):
                os.rmdir(directory)
        if isinstance(e, OSError):
            raise _named_as_given(e, given) from None
        raise


class Source:
    """The database to export and what is known about its id range."""

    def __init__(self, db: "orvi.GraphDB", next_ids: Optional[Tuple[int, int]],
                 show_progress: bool):
        self.db = db
        self.next_ids = next_ids or (None, None)
        self.show_progress = show_progress

    def nodes(self) -> Iterator["orvi.Node"]:
        with bar(self.db.node_count(), "nodes", self.show_progress, "node") as progress:
            for node in iter_nodes(self.db, self.next_ids[0]):
                progress.update(1)
                yield node

    def edges(self) -> Iterator["orvi.Edge"]:
        with bar(self.db.edge_count(), "edges", self.show_progress, "edge") as progress:
            for edge in iter_edges(self.db, self.next_ids[1]):
                progress.update(1)
                yield edge


def export_jsonl(db: "orvi.GraphDB", out: IO[str], next_ids: Optional[Tuple[int, int]] = None,
                 show_progress: bool = False) -> Tuple[int, int]:
    """Writes the graph as JSON Lines; returns (nodes, edges) written."""
    source = Source(db, next_ids, show_progress)
    counts = [0, 0]
    for node in source.nodes():
        out.write(dumps(node_record(node)) + "\n")
        counts[0] += 1
    for edge in source.edges():
        out.write(dumps(edge_record(edge)) + "\n")
        counts[1] += 1
    return counts[0], counts[1]


def export_csv(db: "orvi.GraphDB", directory: str, next_ids: Optional[Tuple[int, int]] = None,
               show_progress: bool = False) -> Tuple[int, int]:
    """Writes ``nodes.csv`` and ``edges.csv`` into ``directory`` (created
    when missing; files of those names are replaced once both are
    complete); returns (nodes, edges) written."""
    source = Source(db, next_ids, show_progress)
    counts = [0, 0]
    with replaced_files(directory, ["nodes.csv", "edges.csv"]) as (node_path, edge_path):
        with open(node_path, "w", encoding="utf-8", newline="") as f:
            writer = csv.writer(f)
            writer.writerow(NODE_COLUMNS)
            for node in source.nodes():
                writer.writerow([node.id, dumps(node.labels),
                                 dumps(properties_to_json(node.properties))])
                counts[0] += 1
        with open(edge_path, "w", encoding="utf-8", newline="") as f:
            writer = csv.writer(f)
            writer.writerow(EDGE_COLUMNS)
            for edge in source.edges():
                writer.writerow([edge.id, edge.label, edge.from_node, edge.to_node,
                                 dumps(properties_to_json(edge.properties))])
                counts[1] += 1
    return counts[0], counts[1]


# Characters that XML 1.0 cannot carry at all, not even as references.
_XML_INVALID = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\ufffe\uffff]")


def _xml_text(text: str) -> str:
    return (text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
            .replace("\r", "&#13;"))


def _xml_attr(text: str) -> str:
    text = _XML_INVALID.sub("\ufffd", text)
    return ('"' + _xml_text(text).replace('"', "&quot;").replace("\n", "&#10;")
            .replace("\t", "&#9;") + '"')


def _kind(value: Any) -> str:
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "boolean"
    if isinstance(value, int):
        return "long"
    if isinstance(value, float):
        return "double"
    if isinstance(value, str):
        return "string" if not _XML_INVALID.search(value) else "json"
    return "json"


def _key_type(kinds: set) -> str:
    """The key type for a property's value kinds; None values are left
    out of a typed key."""
    if len(kinds) > 1:
        kinds = kinds - {"null"}
    if len(kinds) == 1 and "null" not in kinds:
        return next(iter(kinds))
    if kinds == {"long", "double"}:
        return "double"
    return "json"



def _graphml_data(keys: dict, domain: str, properties: dict) -> list:
    """The <data> elements of one record's properties: a None is written
    only under a JSON key and left out of a typed one."""
    parts = []
    for name, value in sorted(properties.items()):
        key_id, key_type = keys[(domain, name)]
        if value is None and key_type != "json":
            continue
        parts.append(f'<data key="{key_id}">{_graphml_value(value, key_type)}</data>')
    return parts

def _graphml_value(value: Any, key_type: str) -> str:
    if key_type == "json":
        return _xml_text(json.dumps(to_json_value(value), ensure_ascii=True, allow_nan=False))
    if key_type == "boolean":
        return "true" if value else "false"
    if key_type == "double":
        value = float(value)
        if math.isnan(value):
            return "NaN"
        if math.isinf(value):
            return "INF" if value > 0 else "-INF"
        return repr(value)
    if key_type == "long":
        return str(value)
    return _xml_text(value)


def export_graphml(db: "orvi.GraphDB", out: IO[str], next_ids: Optional[Tuple[int, int]] = None,
                   show_progress: bool = False, labels_attr: str = "labels",
                   label_attr: str = "label") -> Tuple[int, int]:
    """Writes the graph as GraphML. Reads the database twice: once to type
    the keys (GraphML declares them before the graph), once to write.
    ``labels_attr`` and ``label_attr`` name the keys that carry node labels
    and edge labels; a property of the same name is refused."""
    source = Source(db, next_ids, show_progress)
    kinds: Dict[Tuple[str, str], set] = {}
    label_kinds: set = set()

    def type_keys(kind: str, record: Any, reserved: str, what: str) -> None:
        for name, value in record.properties.items():
            if name == reserved:
                raise FormatProblem(
                    f"{kind} {record.id} has a property named {name!r}, the key that holds the "
                    f"{what}; choose another name for the {what} key")
            kinds.setdefault((kind, name), set()).add(_kind(value))

    for node in source.nodes():
        type_keys("node", node, labels_attr, "labels")
    for edge in source.edges():
        label_kinds.add(_kind(edge.label))
        type_keys("edge", edge, label_attr, "label")
    keys: Dict[Tuple[str, str], Tuple[str, str]] = {}
    out.write('<?xml version="1.0" encoding="UTF-8"?>\n'
              '<graphml xmlns="http://graphml.graphdrawing.org/xmlns" '
              'xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" '
              'xsi:schemaLocation="http://graphml.graphdrawing.org/xmlns '
              'http://graphml.graphdrawing.org/xmlns/1.0/graphml.xsd">\n')

    def declare(key_id: str, domain: str, name: str, key_type: str) -> None:
        xml_type = "string" if key_type == "json" else key_type
        line = (f"  <key id={_xml_attr(key_id)} for=\"{domain}\" attr.name={_xml_attr(name)} "
                f"attr.type=\"{xml_type}\"")
        if key_type == "json":
            out.write(line + "><desc>JSON-encoded values</desc></key>\n")
        else:
            out.write(line + "/>\n")

    declare("k_labels", "node", labels_attr, "json")
    label_type = "json" if "json" in label_kinds else "string"
    declare("k_label", "edge", label_attr, label_type)
    for number, ((domain, name), found) in enumerate(sorted(kinds.items())):
        key_type = _key_type(found)
        key_id = f"k{number}"
        keys[(domain, name)] = (key_id, key_type)
        declare(key_id, domain, name, key_type)
    out.write('  <graph id="G" edgedefault="directed">\n')
    counts = {"node": 0, "edge": 0}

    def write(kind: str, record: Any, head: str, label_data: str) -> None:
        parts = [head, label_data] + _graphml_data(keys, kind, record.properties)
        out.write("".join(parts) + f"</{kind}>\n")
        counts[kind] += 1

    for node in source.nodes():
        write("node", node, f'    <node id="n{node.id}">',
              f'<data key="k_labels">{_graphml_value(node.labels, "json")}</data>')
    for edge in source.edges():
        write("edge", edge,
              f'    <edge id="e{edge.id}" source="n{edge.from_node}" target="n{edge.to_node}">',
              f'<data key="k_label">{_graphml_value(edge.label, label_type)}</data>')
    out.write("  </graph>\n</graphml>\n")
    return counts["node"], counts["edge"]


# -- reading input -------------------------------------------------------------

# A record read from input: ("node", key, labels, properties, place) or
# ("edge", source key, label, target key, properties, place).
Record = Tuple[Any, ...]


def _node_key(value: Any, place: str, what: str) -> Any:
    if isinstance(value, bool) or not isinstance(value, (int, str)):
        raise FormatProblem(f"{place}: {what} must be an integer or a string, "
                            f"not {type(value).__name__}")
    return value


def _labels(value: Any, place: str) -> List[str]:
    if not isinstance(value, list) or not all(isinstance(v, str) for v in value):
        raise FormatProblem(f"{place}: labels must be a list of strings")
    return value


def _properties(value: Any, place: str) -> Dict[str, Any]:
    if not isinstance(value, dict):
        raise FormatProblem(f"{place}: properties must be an object")
    try:
        return _engine.decode_tagged(value, FormatProblem, True)
    except FormatProblem as e:
        raise FormatProblem(f"{place}: {e}") from None
    except RecursionError:
        raise FormatProblem(f"{place}: JSON nested too deeply") from None


def _count_lines(path: str) -> int:
    count = 0
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            count += chunk.count(b"\n")
    return count


def _undecodable(error: UnicodeDecodeError) -> str:
    return (f"not UTF-8 text (byte 0x{error.object[error.start]:02x} at column "
            f"{error.start + 1})")


def read_jsonl(path: str, start: int = 0, first_line: int = 1) -> Iterator[Record]:
    """The records of a JSON Lines file; from byte offset ``start``, the
    beginning of line number ``first_line``, when given."""
    name = os.path.basename(path)
    with open(path, "rb") as f:
        f.seek(start)
        for number, raw in enumerate(f, first_line):
            place = f"{name}:{number}"
            try:
                line = raw.decode("utf-8")
            except UnicodeDecodeError as e:
                raise FormatProblem(f"{place}: {_undecodable(e)}") from None
            if not line.strip():
                continue
            try:
                obj = json.loads(line)
            except json.JSONDecodeError as e:
                raise FormatProblem(f"{place}: not valid JSON ({e.msg})") from None
            except RecursionError:
                raise FormatProblem(f"{place}: JSON nested too deeply") from None
            if not isinstance(obj, dict):
                raise FormatProblem(f"{place}: expected a JSON object")
            kind = obj.get("type")
            try:
                if kind == "node":
                    yield ("node", _node_key(obj["id"], place, "id"),
                           _labels(obj.get("labels", []), place),
                           _properties(obj.get("properties", {}), place), place)
                elif kind == "edge":
                    label = obj.get("label", "")
                    if not isinstance(label, str):
                        raise FormatProblem(f"{place}: label must be a string")
                    yield ("edge", _node_key(obj["from"], place, "from"), label,
                           _node_key(obj["to"], place, "to"),
                           _properties(obj.get("properties", {}), place), place)
                else:
                    raise FormatProblem(f"{place}: type must be \"node\" or \"edge\", "
                                        f"not {kind!r}")
            except KeyError as e:
                raise FormatProblem(f"{place}: missing field {e.args[0]!r}") from None


# Cells hold whole property maps, which may be far larger than the csv
# module's default field limit of 128 KiB.
_CSV_FIELD_LIMIT = min(sys.maxsize, 2**31 - 1)
# What an undecodable byte becomes when a CSV file is read with
# "surrogateescape": a lone surrogate, which valid UTF-8 never gives.
_ESCAPED_BYTE = re.compile("[\udc80-\udcff]")


def _check_decoded(cells: Iterable[Optional[str]], place: str) -> None:
    for cell in cells:
        bad = _ESCAPED_BYTE.search(cell) if cell else None
        if bad:
            raise FormatProblem(f"{place}: not UTF-8 text (byte 0x{ord(bad.group()) - 0xdc00:02x})")


def _read_csv(path: str, columns: Tuple[str, ...], required: Tuple[str, ...], start: int = 0,
              first_line: int = 1) -> Iterator[Tuple[str, Dict[str, str]]]:
    """The rows of a CSV file with their places; after the header, from
    byte offset ``start``, where a row begins on line ``first_line``,
    when given."""
    name = os.path.basename(path)
    limit = csv.field_size_limit(_CSV_FIELD_LIMIT)
    try:
        with open(path, encoding="utf-8", errors="surrogateescape", newline="") as f:
            reader = csv.reader(f, strict=True)
            last_line = 0
            # Added to the reader's line count when it starts at `start`.
            shift = 0
            try:
                header = next(reader, [])
                last_line = reader.line_num
                _check_decoded(header, f"{name}:1")
                unknown = [c for c in header if c not in columns]
                missing = [c for c in required if c not in header]
                if unknown or missing:
                    raise FormatProblem(
                        f"{name}:1: columns must be {', '.join(columns)}"
                        + (f" (unknown: {', '.join(unknown)})" if unknown else "")
                        + (f" (missing: {', '.join(missing)})" if missing else ""))
                width = len(header)
                if start:
                    # The header was one line; the decoder holds no state
                    # at a line's start, so the byte offset seeks there.
                    f.seek(start)
                    shift = first_line - 1 - reader.line_num
                    last_line = first_line - 1
                for cells in reader:
                    place = f"{name}:{reader.line_num + shift}"
                    last_line = reader.line_num + shift
                    if not cells:
                        continue
                    if len(cells) > width:
                        raise FormatProblem(f"{place}: more cells than columns")
                    _check_decoded(cells, place)
                    yield place, dict(zip(header, cells + [""] * (width - len(cells))))
            except csv.Error as e:
                # The broken row begins on the line after the last good one.
                raise FormatProblem(f"{name}:{last_line + 1}: not valid CSV ({e})") from None
    finally:
        csv.field_size_limit(limit)


def _json_cell(text: Optional[str], place: str, column: str, default: Any) -> Any:
    if text is None or text == "":
        return default
    try:
        return json.loads(text)
    except json.JSONDecodeError as e:
        raise FormatProblem(f"{place}: column {column} is not valid JSON ({e.msg})") from None
    except RecursionError:
        raise FormatProblem(f"{place}: column {column} is JSON nested too deeply") from None


def read_csv_dir(directory: str, table: str = "nodes", start: int = 0,
                 first_line: int = 1) -> Iterator[Record]:
    """The records of ``nodes.csv`` and, when present, ``edges.csv``;
    with ``table`` "edges", only those of ``edges.csv``; ``start`` and
    ``first_line`` as ``_read_csv`` takes them, for the first file read."""
    nodes = os.path.join(directory, "nodes.csv")
    edges = os.path.join(directory, "edges.csv")
    if not os.path.isfile(nodes):
        raise FormatProblem(f"{directory}: no nodes.csv in this directory")
    if table == "nodes":
        for place, row in _read_csv(nodes, NODE_COLUMNS, ("id",), start, first_line):
            if not row["id"]:
                raise FormatProblem(f"{place}: empty id")
            yield ("node", row["id"],
                   _labels(_json_cell(row.get("labels"), place, "labels", []), place),
                   _properties(_json_cell(row.get("properties"), place, "properties", {}),
                               place),
                   place)
        start, first_line = 0, 1
    if not os.path.isfile(edges):
        return
    for place, row in _read_csv(edges, EDGE_COLUMNS, ("from", "to"), start, first_line):
        yield ("edge", row["from"], row.get("label") or "", row["to"],
               _properties(_json_cell(row.get("properties"), place, "properties", {}), place),
               place)


def input_size(fmt: str, path: str) -> int:
    """A quick estimate of the number of records, for the progress bar."""
    if fmt in DIRECTORY_FORMATS:
        names = [os.path.join(path, f"{table}.{fmt}") for table in ("nodes", "edges")]
        names = [name for name in names if os.path.isfile(name)]
        if fmt == "csv":
            return sum(_count_lines(name) - 1 for name in names)
        try:
            import pyarrow.parquet as pq
            return sum(pq.ParquetFile(name).metadata.num_rows for name in names)
        except Exception:  # the import itself names what is wrong
            return 0
    return _count_lines(path)


def import_records(writer: BatchWriter, records: Iterable[Record], progress: Any = None) -> None:
    """Writes ``records`` through ``writer`` and commits the rest. An error
    names the input place: FormatProblem for input that does not follow the
    format, ImportFailed for a record the database refuses."""
    for record in records:
        try:
            if record[0] == "node":
                writer.add_node(record[1], record[2], record[3])
            else:
                writer.add_edge(record[1], record[2], record[3], record[4])
        except ImportFailed as e:
            raise ImportFailed(f"{record[-1]}: {e}") from None
        if progress is not None:
            progress.update(1)
    writer.finish()
