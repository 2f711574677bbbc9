"""Graphs as node and edge tables: pandas DataFrames and Parquet files.

Both use one layout. The node table has the columns ``id`` (int64) and
``labels`` (a list of strings), the edge table ``id``, ``label`` (a
string), ``from_node`` and ``to_node`` (int64); then one column per
property name, in sorted order. A property whose name is one of the fixed
columns of its table, or begins with ``prop:``, gets the column
``prop:<name>``; reading a table strips one ``prop:`` again.

``to_pandas(db)`` returns the two DataFrames. A record without a property
(or with the value None) shows NA there. Integer and boolean columns with
gaps use pandas' nullable dtypes (``Int64``, ``boolean``); columns whose
values are of several types, lists or maps hold the Python values (dtype
object).

Parquet (``export_parquet``, ``feed_parquet_dir``): a directory with
``nodes.parquet`` and ``edges.parquet``, written in row groups of
``ROW_GROUP`` rows so that memory stays bounded however large the graph;
Spark, DuckDB and pandas read them as they are. A property column is typed
(boolean, int64, double or string) when every value it holds has that one
type; otherwise it is a string column of JSON texts in the tagged form of
the jsonl format (``{"$float": "nan"}``, ``{"$map": ...}``), and its field
metadata says ``orvi.encoding: json``. In a JSON column a null cell means
the record lacks the property and the text ``null`` means None. In a typed
column a null cell means the record lacks the property, unless the field
metadata says ``orvi.null: none``: then every record has the property and
a null cell is None. (A column with both absent values and None is a JSON
column.) Reading back restores the records exactly. Parquet files made
elsewhere can be read too: ``id`` is required in the node table (integers
or strings naming the nodes), ``from_node`` and ``to_node`` in the edge
table, any other column is a property, and null cells are left out.

How Arrow values become property values, on import (``orvi import`` of a
Parquet directory, ``import_tables``; the builder reads these columns in
place): a null cell leaves the property out
(unless the field says ``orvi.null: none``); integers (signed and unsigned
up to 64 bits, one beyond int64 becoming a float as the orvi module makes
it), floats (NaN and infinities kept as they are), booleans and strings
(dictionary-encoded ones included) are stored as they are; a list column
gives lists and a struct column maps with the field names as keys, nested
as deep as the property nesting limit. Timestamps, dates, times, durations,
decimals, binary and Arrow map columns are refused with the table and row
named: convert them to ints, floats or strings first. pandas turns NaN into
null on its way to Arrow, so a NaN in a float column of a DataFrame is left
out like any null.

pandas and pyarrow are optional (``pip install 'orvi[pandas]'``,
``pip install 'orvi[parquet]'``): they are imported only when these
functions run.
"""

from __future__ import annotations

import json
import os
from typing import Any, Callable, Dict, Iterable, Iterator, List, Optional, Sequence, Tuple

import orvi

from .build import ABSENT, Loader
from .exchange import (FormatProblem, Record, Source, dumps, from_json_value, replaced_files,
                       to_json_value)

NODE_FIXED = ("id", "labels")
EDGE_FIXED = ("id", "label", "from_node", "to_node")
PROP_PREFIX = "prop:"
ROW_GROUP = 65_536
_CHUNK = 8192
# Rows per record batch read for an import.
_IMPORT_BATCH = 16_384

_ENCODING = b"orvi.encoding"
_NULL = b"orvi.null"


class MissingPackage(ImportError):
    """An optional package that the called function needs is missing."""


def require(module: str, extra: str) -> Any:
    """Imports ``module`` or raises MissingPackage saying what to install."""
    try:
        return __import__(module)
    except ImportError:
        raise MissingPackage(f"{module} is not installed; install it with "
                             f"`pip install 'orvi[{extra}]'` (or `pip install {module}`)") from None


def column_name(prop: str, fixed: Sequence[str]) -> str:
    """The column that holds the property ``prop``."""
    return PROP_PREFIX + prop if prop in fixed or prop.startswith(PROP_PREFIX) else prop


def property_name(column: str) -> str:
    """The property held by a non-fixed ``column``."""
    return column[len(PROP_PREFIX):] if column.startswith(PROP_PREFIX) else column


# -- what the values of one property look like -------------------------------

_SCALARS = {bool: "bool", int: "int", float: "float", str: "str"}


class _Column:
    """The kinds of value one property takes over a table."""

    __slots__ = ("kinds", "present", "nones")

    def __init__(self) -> None:
        self.kinds: set = set()
        self.present = 0
        self.nones = 0

    def see(self, value: Any) -> None:
        self.present += 1
        if value is None:
            self.nones += 1
        else:
            self.kinds.add(_SCALARS.get(type(value), "json"))

    def typed(self, rows: int) -> Optional[str]:
        """The one scalar kind of the column, or None for a JSON column."""
        if len(self.kinds) > 1 or "json" in self.kinds:
            return None
        if self.nones and self.present < rows:
            return None
        return next(iter(self.kinds), "str")


def _survey(records: Iterable[Tuple[Any, Dict[str, Any]]]) -> Tuple[int, Dict[str, _Column]]:
    columns: Dict[str, _Column] = {}
    rows = 0
    for _, props in records:
        rows += 1
        for name, value in props.items():
            column = columns.get(name)
            if column is None:
                column = columns[name] = _Column()
            column.see(value)
    return rows, columns


# -- pandas -------------------------------------------------------------------


def _gather(records: Iterable[Tuple[List[Any], Dict[str, Any]]], fixed: Sequence[str]
            ) -> Tuple[List[List[Any]], Dict[str, List[Any]], Dict[str, _Column], int]:
    """Fixed values and property values by column, gaps filled with None."""
    fixed_values: List[List[Any]] = [[] for _ in fixed]
    props: Dict[str, List[Any]] = {}
    columns: Dict[str, _Column] = {}
    rows = 0
    for values, record_props in records:
        for target, value in zip(fixed_values, values):
            target.append(value)
        for name, value in record_props.items():
            column = props.get(name)
            if column is None:
                column = props[name] = [None] * rows
                columns[name] = _Column()
            elif len(column) < rows:
                column.extend([None] * (rows - len(column)))
            column.append(value)
            columns[name].see(value)
        rows += 1
    for column in props.values():
        if len(column) < rows:
            column.extend([None] * (rows - len(column)))
    return fixed_values, props, columns, rows


_PANDAS_DTYPES = {("int", False): "int64", ("int", True): "Int64",
                  ("bool", False): "bool", ("bool", True): "boolean",
                  ("float", False): "float64", ("float", True): "float64"}


def _frame(pd: Any, records: Iterable[Tuple[List[Any], Dict[str, Any]]],
           fixed: Sequence[str], fixed_dtypes: Sequence[Optional[str]]) -> Any:
    fixed_values, props, columns, rows = _gather(records, fixed)
    data: Dict[str, Any] = {}
    for name, values, dtype in zip(fixed, fixed_values, fixed_dtypes):
        data[name] = pd.Series(values, dtype=dtype)
    for name in sorted(props):
        column = columns[name]
        gaps = column.present < rows or column.nones > 0
        kinds = column.kinds
        dtype: Optional[str] = "object"
        if len(kinds) == 1 and "json" not in kinds:
            # pandas picks its own string dtype.
            dtype = _PANDAS_DTYPES.get((next(iter(kinds)), gaps))
        data[column_name(name, fixed)] = pd.Series(props[name], dtype=dtype)
    return pd.DataFrame(data)


def to_pandas(db: "orvi.GraphDB") -> Tuple[Any, Any]:
    """The whole graph, pending changes included, as ``(nodes, edges)``
    DataFrames (layout in the module comment). Needs pandas."""
    pd = require("pandas", "pandas")
    nodes = _frame(pd, (([n.id, n.labels], n.properties) for n in db.all_nodes()),
                   NODE_FIXED, ("int64", "object"))
    edges = _frame(pd, (([e.id, e.label, e.from_node, e.to_node], e.properties)
                        for e in db.all_edges()),
                   EDGE_FIXED, ("int64", None, "int64", "int64"))
    return nodes, edges


# -- Parquet export ----------------------------------------------------------


def _schema(pa: Any, fixed_fields: List[Any], rows: int, columns: Dict[str, _Column],
            fixed: Sequence[str], table: str) -> Tuple[Any, List[Tuple[str, str, Optional[str]]]]:
    """The table's schema and, per property, (name, column, scalar kind or
    None for JSON)."""
    types = {"bool": pa.bool_(), "int": pa.int64(), "float": pa.float64(), "str": pa.string()}
    fields = list(fixed_fields)
    plan = []
    for name in sorted(columns):
        column = columns[name]
        kind = column.typed(rows)
        if kind is None:
            field = pa.field(column_name(name, fixed), pa.string(), metadata={_ENCODING: b"json"})
        elif column.nones:
            field = pa.field(column_name(name, fixed), types[kind], metadata={_NULL: b"none"})
        else:
            field = pa.field(column_name(name, fixed), types[kind])
        fields.append(field)
        plan.append((name, field.name, kind))
    return pa.schema(fields, metadata={b"orvi.table": table.encode()}), plan


def _write_table(pa: Any, pq: Any, path: str, records: Any, fixed: Sequence[str],
                 fixed_fields: List[Any], table: str, row_group: int) -> int:
    """Writes one table from ``records()`` (a fresh iterator of
    (fixed values, properties) per call): one pass to type the columns,
    one to write them ``row_group`` rows at a time."""
    rows, columns = _survey(records())
    schema, plan = _schema(pa, fixed_fields, rows, columns, fixed, table)
    # Python values are turned into Arrow arrays every CHUNK rows, and the
    # arrays are written as one row group of ``row_group`` rows: the Python
    # objects alive at any time stay a small part of a row group.
    chunk_rows = min(row_group, _CHUNK)
    written = 0
    with pq.ParquetWriter(path, schema) as writer:
        pending: List[Any] = []
        pending_rows = 0
        chunk: List[List[Any]] = [[] for _ in schema.names]
        width = len(fixed)

        def convert() -> None:
            nonlocal pending_rows
            arrays = [pa.array(values, type=field.type) for values, field in zip(chunk, schema)]
            pending.append(pa.RecordBatch.from_arrays(arrays, schema=schema))
            pending_rows += len(chunk[0])
            for values in chunk:
                values.clear()

        def flush() -> None:
            nonlocal pending_rows
            writer.write_table(pa.Table.from_batches(pending, schema=schema),
                               row_group_size=max(pending_rows, 1))
            pending.clear()
            pending_rows = 0

        for values, props in records():
            for index in range(width):
                chunk[index].append(values[index])
            for index, (name, _, kind) in enumerate(plan, width):
                if name not in props:
                    chunk[index].append(None)
                elif kind is None:
                    chunk[index].append(dumps(to_json_value(props[name])))
                else:
                    chunk[index].append(props[name])
            written += 1
            if len(chunk[0]) >= chunk_rows:
                convert()
                if pending_rows >= row_group:
                    flush()
        if chunk[0] or written == 0:
            convert()
        if pending_rows or written == 0:
            flush()
    return written


def export_parquet(db: "orvi.GraphDB", directory: str,
                   next_ids: Optional[Tuple[int, int]] = None, show_progress: bool = False,
                   row_group: int = ROW_GROUP) -> Tuple[int, int]:
    """Writes ``nodes.parquet`` and ``edges.parquet`` into ``directory``
    (created when missing; files of those names are replaced once both
    are complete); returns (nodes, edges) written. Needs pyarrow."""
    pa = require("pyarrow", "parquet")
    import pyarrow.parquet as pq

    source = Source(db, next_ids, show_progress)
    node_fields = [pa.field("id", pa.int64(), nullable=False),
                   pa.field("labels", pa.list_(pa.string()), nullable=False)]
    edge_fields = [pa.field("id", pa.int64(), nullable=False),
                   pa.field("label", pa.string(), nullable=False),
                   pa.field("from_node", pa.int64(), nullable=False),
                   pa.field("to_node", pa.int64(), nullable=False)]

    def nodes() -> Iterator[Tuple[List[Any], Dict[str, Any]]]:
        return (([n.id, n.labels], n.properties) for n in source.nodes())

    def edges() -> Iterator[Tuple[List[Any], Dict[str, Any]]]:
        return (([e.id, e.label, e.from_node, e.to_node], e.properties)
                for e in source.edges())

    with replaced_files(directory, ["nodes.parquet", "edges.parquet"]) as (node_path, edge_path):
        counts = (_write_table(pa, pq, node_path, nodes, NODE_FIXED, node_fields, "nodes",
                               row_group),
                  _write_table(pa, pq, edge_path, edges, EDGE_FIXED, edge_fields, "edges",
                               row_group))
    return counts


# -- Parquet import ----------------------------------------------------------


def _one_line(text: Any) -> str:
    return " ".join(str(text).split())


def _parquet_batches(pa: Any, pq: Any, path: str) -> Tuple[Any, Iterator[Any]]:
    """The schema and record batches of a Parquet file; a file that cannot
    be read raises FormatProblem naming it and the row reached."""
    name = os.path.basename(path)
    try:
        parquet = pq.ParquetFile(path)
    except (pa.ArrowException, OSError) as e:
        raise FormatProblem(f"{name}: cannot be read as Parquet ({_one_line(e)})") from None

    def batches() -> Iterator[Any]:
        row = 0
        try:
            for batch in parquet.iter_batches(batch_size=_IMPORT_BATCH):
                yield batch
                row += batch.num_rows
        except (pa.ArrowException, OSError) as e:
            where = f"{name}" if row == 0 else f"{name} after row {row}"
            raise FormatProblem(f"{where}: cannot be read as Parquet ({_one_line(e)})") from None

    return parquet.schema_arrow, batches()


class _Decoder:
    """What the builder needs to read one table's property columns, and the
    Python values of the columns it does not read in place."""

    def __init__(self, schema: Any, fixed: Sequence[str]) -> None:
        self.columns = []
        for field in schema:
            if field.name in fixed:
                continue
            meta = field.metadata or {}
            self.columns.append((field.name, property_name(field.name),
                                 meta.get(_ENCODING) == b"json", meta.get(_NULL) == b"none"))
        # (column, property, a null cell is None, a column of tagged JSON
        # texts) for the builder. It decodes JSON columns itself and asks
        # for a column's Python values when a text is beyond what its JSON
        # parser reads exactly as json.loads does.
        self.plan = [(column, name, null_is_none, is_json)
                     for column, name, is_json, null_is_none in self.columns]
        self.by_column = {column: (is_json, null_is_none)
                          for column, _, is_json, null_is_none in self.columns}

    def values(self, column: str, array: Any, place: Callable[[int], str]) -> List[Any]:
        """A property column as Python values, ABSENT where a record lacks
        the property."""
        is_json, null_is_none = self.by_column[column]
        missing = None if null_is_none else ABSENT
        values = array.to_pylist()
        if is_json:
            return [missing if value is None else self._decoded(value, place(i), column)
                    for i, value in enumerate(values)]
        if null_is_none:
            return values
        return [ABSENT if value is None else value for value in values]

    @staticmethod
    def _decoded(text: str, place: str, column: str) -> Any:
        try:
            return from_json_value(json.loads(text))
        except (ValueError, TypeError, FormatProblem, RecursionError) as e:
            raise FormatProblem(f"{place}: column {column} is not valid tagged JSON "
                                f"({_one_line(e)})") from None


def _require_columns(schema: Any, required: Sequence[str], name: str) -> None:
    missing = [c for c in required if c not in schema.names]
    if missing:
        raise FormatProblem(f"{name}: missing column{'s' if len(missing) > 1 else ''} "
                            f"{', '.join(missing)}")


def _key(value: Any, place: str, column: str) -> Any:
    if isinstance(value, bool) or not isinstance(value, (int, str)):
        raise FormatProblem(f"{place}: {column} must be an integer or a string, "
                            f"not {type(value).__name__}")
    return value


def _keys(pa: Any, array: Any, place: Callable[[int], str], column: str) -> List[Any]:
    """A column of node keys: integers or strings, no nulls."""
    values = array.to_pylist()
    kind = array.type
    typed = (pa.types.is_integer(kind) or pa.types.is_string(kind)
             or pa.types.is_large_string(kind))
    if not typed or array.null_count:
        for i, value in enumerate(values):
            _key(value, place(i), column)
    return values


def _node_labels(pa: Any, array: Any, rows: int, place: Callable[[int], str]) -> List[Any]:
    """A batch's label lists; a null cell (or no column) is no labels."""
    if array is None:
        return [[]] * rows
    values = [labels or [] for labels in array.to_pylist()]
    kind = array.type
    if not ((pa.types.is_list(kind) or pa.types.is_large_list(kind))
            and (pa.types.is_string(kind.value_type) or pa.types.is_large_string(kind.value_type))):
        for i, labels in enumerate(values):
            if not isinstance(labels, list) or not all(isinstance(s, str) for s in labels):
                raise FormatProblem(f"{place(i)}: labels must be a list of strings")
    return values


def _edge_labels(array: Any, rows: int, place: Callable[[int], str]) -> List[str]:
    """A batch's edge labels; a null cell (or no column) is the empty label."""
    if array is None:
        return [""] * rows
    values = [label or "" for label in array.to_pylist()]
    for i, label in enumerate(values):
        if not isinstance(label, str):
            raise FormatProblem(f"{place(i)}: label must be a string")
    return values


def _feed_table(loader: Loader, pa: Any, schema: Any, batches: Iterable[Any], name: str,
                nodes: bool, progress: Any = None) -> None:
    """Feeds one table in the Parquet layout to ``loader``, a record batch
    at a time: the builder reads the columns in place."""
    _require_columns(schema, ("id",) if nodes else ("from_node", "to_node"), name)
    decoder = _Decoder(schema, NODE_FIXED if nodes else EDGE_FIXED)
    done = 0
    for batch in batches:
        rows = batch.num_rows
        columns = dict(zip(batch.schema.names, batch.columns))

        def place(i: int, base: int = done) -> str:
            return f"{name} row {base + i + 1}"

        def python_values(column: str) -> List[Any]:
            array = columns[column]
            if column == "labels" and nodes:
                return _node_labels(pa, array, rows, place)
            if column == "label" and not nodes:
                return _edge_labels(array, rows, place)
            if column in ("id", "from_node", "to_node") and column not in decoder.by_column:
                return _keys(pa, array, place, column)
            return decoder.values(column, array, place)

        loader.add_table(batch, nodes, decoder.plan, {}, python_values, place)
        done += rows
        if progress is not None:
            progress.update(rows)


def feed_parquet_dir(loader: Loader, directory: str, progress: Any = None) -> None:
    """Feeds ``nodes.parquet`` and, when present, ``edges.parquet`` in
    ``directory`` to ``loader``."""
    pa = require("pyarrow", "parquet")
    import pyarrow.parquet as pq

    nodes = os.path.join(directory, "nodes.parquet")
    edges = os.path.join(directory, "edges.parquet")
    if not os.path.isfile(nodes):
        raise FormatProblem(f"{directory}: no nodes.parquet in this directory")
    _feed_table(loader, pa, *_parquet_batches(pa, pq, nodes), "nodes.parquet", True, progress)
    if os.path.isfile(edges):
        _feed_table(loader, pa, *_parquet_batches(pa, pq, edges), "edges.parquet", False,
                    progress)


def _arrow_table(pa: Any, table: Any, name: str) -> Any:
    """A table in memory as a pyarrow Table: a pyarrow Table, a pandas
    DataFrame or anything with the Arrow PyCapsule stream interface."""
    try:
        return table if isinstance(table, pa.Table) else pa.table(table)
    except (pa.ArrowException, TypeError, ValueError) as e:
        raise FormatProblem(f"{name}: cannot be read as a table ({_one_line(e)})") from None


def import_tables(path: str, nodes: Any, edges: Any = None) -> Dict[Any, int]:
    """Adds the records of a node table and an optional edge table to the
    database at ``path`` (created when missing), all or nothing, as ``orvi
    import`` adds a Parquet directory: the tables have the Parquet layout
    (``id``, ``labels`` and property columns; ``from_node``, ``to_node``,
    ``label`` and property columns), node ``id`` values are ints or strs
    naming nodes within the tables, and a null cell leaves the property
    out (pandas turns NaN into null on the way to Arrow, so a NaN in a
    float column of a DataFrame is left out too). The tables may be pyarrow
    Tables, pandas or polars DataFrames, or anything exposing the Arrow
    PyCapsule stream interface.

    Returns a dict from each input node id to its database id. The new
    nodes get consecutive ids in table order, so the first value and the
    row order tell the same. FormatProblem or ImportFailed (naming the
    table and row) when the input is refused; the file is then unchanged."""
    pa = require("pyarrow", "parquet")
    from .fileops import load_into

    tables = [(_arrow_table(pa, nodes, "nodes"), "nodes", True)]
    if edges is not None:
        tables.append((_arrow_table(pa, edges, "edges"), "edges", False))

    def feed(loader: Loader, _progress: Any) -> None:
        for table, name, is_nodes in tables:
            _feed_table(loader, pa, table.schema, table.to_batches(max_chunksize=_IMPORT_BATCH),
                        name, is_nodes)

    return load_into(path, feed).key_ids()
