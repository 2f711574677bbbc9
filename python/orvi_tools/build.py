"""Loading records through the engine's graph builder.

The builder (``_engine.builder``) writes a database file that no one else
has open, each page once and without the commit log, and flushes once at
the end; the file is usable only once ``finish()`` has returned. ``orvi
import`` runs it on its private copy of the database, which replaces the
original only when complete, so a failure or a crash at any moment leaves
the original as it was.

Tables (Parquet files, DataFrames, Arrow tables) go to the builder a
record batch at a time (``Loader.add_table``): the builder reads the Arrow
columns in place through the Arrow C Data Interface, encodes labels and
properties straight from them and keeps the map from node keys to ids
itself, so no Python object is made per value. A column of a type it does
not read in place (timestamps, say) or a column of tagged JSON texts is
handed over as Python values instead, converted as before.

JSON Lines and CSV files are read by the builder itself (``feed_jsonl``,
``feed_csv``), up to the first line or row it does not read exactly as the
Python readers do; the Python reader goes on from there.

``Loader`` takes records one at a time as the readers produce them, checks
what the builder cannot (node keys defined once, edges naming nodes defined
before them, labels of the right type) with the same messages as
``BatchWriter``, and hands them to the builder column-wise in batches. The
database built is the one ``BatchWriter`` builds from the same records: the
same ids in input order, labels, properties and adjacency order.
"""

from __future__ import annotations

import os

from typing import (Any, Callable, Dict, Hashable, Iterable, List, Mapping, Optional,
                    Sequence)

from .batch import ImportFailed
from .exchange import FormatProblem, Record, read_csv_dir, read_jsonl

# Records handed to the builder per call.
BATCH_RECORDS = 4096
# Stands for a property a record lacks, in the Python values of a column.
ABSENT = object()


class Loader:
    """Feeds records to an ``_engine.Builder``. ``ids`` maps each node key
    to its database id. An error is ImportFailed whose message starts with
    the record's place; the builder is then to be discarded."""

    def __init__(self, builder: Any) -> None:
        self.builder = builder
        self.ids: Dict[Hashable, int] = {}
        self.nodes = 0
        self.edges = 0
        self._next_node = builder.first_node_id()
        self._kind = ""
        self._columns: List[List[Any]] = []
        self._places: List[str] = []
        # Records of the current kind the builder took before this batch
        # began (``resume``), counted against the batch size.
        self._phase = 0
        self._native_nodes = 0  # nodes the builder read itself

    def add_node(self, key: Hashable, labels: Sequence[str],
                 properties: Optional[Mapping[str, Any]], place: str) -> int:
        if key in self.ids:
            raise ImportFailed(f"{place}: node {key!r} is defined twice")
        if isinstance(labels, str):
            raise ImportFailed(f"{place}: node {key!r}: labels must be a list of strings, "
                               "not one string")
        if not isinstance(labels, (list, tuple)):
            labels = list(labels)
        columns = self._batch("node", 2)
        columns[0].append(labels)
        columns[1].append(properties if properties is None or type(properties) is dict
                          else dict(properties))
        self._places.append(place)
        node_id = self.ids[key] = self._next_node
        self._next_node += 1
        self.nodes += 1
        return node_id

    def add_edge(self, source: Hashable, label: str, target: Hashable,
                 properties: Optional[Mapping[str, Any]], place: str) -> None:
        ids = self.ids
        if source not in ids or target not in ids:
            end = source if source not in ids else target
            raise ImportFailed(f"{place}: edge refers to node {end!r}, "
                               "which is not defined before it")
        if not isinstance(label, str):
            raise ImportFailed(f"{place}: the edge label must be a string, "
                               f"not {type(label).__name__}")
        columns = self._batch("edge", 4)
        columns[0].append(ids[source])
        columns[1].append(label)
        columns[2].append(ids[target])
        columns[3].append(properties if properties is None or type(properties) is dict
                          else dict(properties))
        self._places.append(place)
        self.edges += 1

    def add_table(self, batch: Any, nodes: bool, properties: Sequence[Any],
                  values: Dict[str, List[Any]], python_values: Callable[[str], List[Any]],
                  place: Callable[[int], str]) -> None:
        """Adds the rows of an Arrow record batch of a node or edge table
        (``_engine.Builder.add_table``): the builder reads the columns in
        place; a column it cannot read so is asked for as Python values,
        ``python_values(column)``, in the form ``values`` holds (property
        values with ``ABSENT`` for a missing property). Node keys are kept
        by the builder (``key_ids``)."""
        self.flush()
        while True:
            try:
                added = self.builder.add_table(batch, nodes, properties, values, ABSENT)
            except (TypeError, ValueError, OverflowError) as e:
                where = place(getattr(e, "batch_index", 0))
                if getattr(e, "problem", None) == "format":
                    raise FormatProblem(f"{where}: {e}") from None
                raise ImportFailed(f"{where}: {e}") from e
            if isinstance(added, int):
                break
            for column in added:
                values[column] = python_values(column)
        if nodes:
            self.nodes += added
            self._next_node += added
        else:
            self.edges += added

    def resume(self, nodes: int, edges: int, last_is_node: bool, run: int,
               more: bool) -> None:
        """Goes on after the builder added ``nodes`` and ``edges`` records
        itself (``Builder.add_jsonl``), with batches cut where they would
        be had every record come through here: which of two faulty records
        is reported first depends on that. ``more``: records follow through
        this loader, which then needs the builder's node keys."""
        self.flush()
        self._native_nodes += nodes
        if more and self._native_nodes:
            self.ids.update(self.builder.key_ids())
        self.nodes += nodes
        self.edges += edges
        self._next_node += nodes
        if nodes or edges:
            self._kind = "node" if last_is_node else "edge"
            self._columns = [[] for _ in range(2 if last_is_node else 4)]
            self._phase = run % BATCH_RECORDS

    def key_ids(self) -> Dict[Hashable, int]:
        """The node keys of the loaded tables and their database ids."""
        return self.builder.key_ids()

    def flush(self) -> None:
        """Hands the pending batch to the builder."""
        if not self._places:
            return
        places = self._places
        if self._kind == "node":
            self._send(self.builder.add_nodes, self._columns, places.__getitem__)
        else:
            self._send(self.builder.add_edges, self._columns, places.__getitem__)
        self._kind = ""
        self._columns = []
        self._places = []

    def _send(self, call: Callable[..., Any], columns: Sequence[Any],
              place: Callable[[int], str]) -> None:
        try:
            call(*columns)
        except (TypeError, ValueError, OverflowError) as e:
            raise ImportFailed(f"{place(getattr(e, 'batch_index', 0))}: {e}") from e

    def finish(self) -> None:
        """Hands over the rest and writes the file."""
        self.flush()
        self.builder.finish()

    def _batch(self, kind: str, width: int) -> List[List[Any]]:
        # Nodes and edges go to the builder in input order: a change of
        # kind, like a full batch, sends what is pending first.
        if kind != self._kind or len(self._places) + self._phase >= BATCH_RECORDS:
            self.flush()
            self._kind = kind
            self._phase = 0
            self._columns = [[] for _ in range(width)]
        return self._columns


def load_records(loader: Loader, records: Iterable[Record], progress: Any = None) -> None:
    """Feeds the records of a reader (``exchange.read_input``) to
    ``loader``. FormatProblem for input that does not follow its
    format, ImportFailed for a record the database refuses; both name the
    place."""
    step = 0
    for record in records:
        if record[0] == "node":
            loader.add_node(record[1], record[2], record[3], record[4])
        else:
            loader.add_edge(record[1], record[2], record[3], record[4], record[5])
        step += 1
        if progress is not None and step == 1024:
            progress.update(step)
            step = 0
    if progress is not None and step:
        progress.update(step)


def _read_natively(loader: Loader, read: Callable[..., Any], path: str, *args: Any) -> Any:
    """Lets the builder read the file at ``path`` itself (``read`` is
    ``Builder.add_jsonl`` or ``add_csv``); returns where it stopped, or
    None when it read the whole file."""
    try:
        stop, line, nodes, edges, last_is_node, run = read(path, *args)
    except (TypeError, ValueError, OverflowError) as e:
        raise ImportFailed(f"{os.path.basename(path)}:{getattr(e, 'batch_index', 0)}: "
                           f"{e}") from e
    loader.resume(nodes, edges, last_is_node, run, stop is not None)
    return None if stop is None else (stop, line)


# The builder reads the lines and rows it accepts itself; from the first one
# it declines (input that breaks the format, or anything it does not read
# exactly as the Python readers do), the Python reader takes over, so that
# record gets exactly the value or the error the Python reader gives it.

def feed_jsonl(loader: Loader, path: str, progress: Any = None) -> None:
    """Loads a JSON Lines file (see above)."""
    update = None if progress is None else progress.update
    stop = _read_natively(loader, loader.builder.add_jsonl, path, update)
    if stop is not None:
        load_records(loader, read_jsonl(path, *stop), progress)


def feed_csv(loader: Loader, directory: str, progress: Any = None) -> None:
    """Loads the CSV format's directory (see above)."""
    update = None if progress is None else progress.update
    for table in ("nodes", "edges"):
        path = os.path.join(directory, f"{table}.csv")
        if not os.path.isfile(path):
            if table == "nodes":  # the reader names the problem
                load_records(loader, read_csv_dir(directory), progress)
            return
        stop = _read_natively(loader, loader.builder.add_csv, path, table == "nodes", update)
        if stop is not None:
            load_records(loader, read_csv_dir(directory, table, *stop), progress)
            return
