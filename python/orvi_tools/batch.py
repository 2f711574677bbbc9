"""Adding many records to a database in commits that fit the commit log.

A commit logs every page it changed, and the log holds at most 1018 pages
(4 MiB). ``BatchWriter`` commits before the next record could push the
pending batch over its page budget. It judges that in two steps, so that
the common record costs a few integer operations:

- Each record is charged its worst case, in bytes of log: a page for each
  slot it may dirty (one for a node; for an edge its own and the slots of
  both ends, whose list heads and degrees change) plus its label and
  property blob bytes (and 16 KiB more for each blob above 64 KiB, which
  takes whole pages and may open a property extent). The charges come off
  ``room``, what the batch surely still has.
- When a record's charge exceeds ``room``, the estimate is refined: the
  engine counts the pages the batch has changed so far (the dirty pages of
  the open database), and ``room`` becomes what is left of the budget
  after them, less a reserve for what a charge does not count (slot
  extents and property extents started by records charged since, a page
  straddled). Only when the record still does not fit is the batch
  committed.

The charges are worst cases. Should a commit still be refused as too large
for the log (TransactionError), the batch is rolled back and written again
in two halves, recursively, so a load never fails on the log limit alone.

Records are named by keys of the caller's choosing (the ids of an export,
the nodes of a networkx graph); ``ids`` maps each key to the node id it
received. The writer owns the database's pending state while it works:
changes already pending when it starts join its first batch, and it
commits, and on a log overflow or a failing ``with`` block rolls back,
everything pending.
"""

from __future__ import annotations

from types import TracebackType
from typing import Any, Dict, Hashable, List, Mapping, Optional, Sequence, Tuple, Type

import orvi

from . import _engine

DEFAULT_PAGE_BUDGET = 1000
_SMALL_BLOB = 64 * 1024
_PAGE = _engine.LAYOUT["page_size"]
# The codec's sizes: a tag byte, a length or count, a number, a bool.
_TAG = _engine.LAYOUT["codec_tag"]
_LEN = _engine.LAYOUT["codec_length"]
_NUM = _engine.LAYOUT["codec_number"]
_BOOL = _engine.LAYOUT["codec_bool"]
# A map entry (key length, tag, then a string's length or a number) beyond
# the key's and the string's bytes: the sizer's fast path.
_STR_ENTRY = _LEN + _TAG + _LEN
_SCALAR_ENTRY = _LEN + _TAG + _NUM
# Charge of a record with a blob above _SMALL_BLOB, beyond its bytes: the
# 4 pages each of its (at most 3) blobs may add.
_LARGE_CHARGE = 3 * 4 * _PAGE
# Pages that charges leave out, kept back when the room is computed: one
# node and one edge slot extent started (2 index pages each), the page the
# small blobs straddle, and the property extents they may open (2 pages
# each; the room of one batch holds at most 4 MiB of blobs: 5 extents).
_RESERVE = 4 + 1 + 2 * 5

# Keyword names that the record methods bind to their own parameters; a
# property with one of these names is set in a second call instead.
_ADD_NODE_PARAM = "labels"
_ADD_EDGE_PARAMS = ("from_node", "label", "to_node")


class ImportFailed(Exception):
    """A record could not be written; the message names the record."""


def _text_size(text: str) -> int:
    return len(text) if text.isascii() else len(text.encode("utf-8", "surrogatepass"))


def _value_size(value: Any) -> int:
    """Bytes of a value's encoding: a tag, then 1 byte for a bool, 8 for a
    number, a length and the UTF-8 bytes for a string, a count and the
    items (with their keys) for a list or map. A bool is tested before
    int, as the database does."""
    if value is None:
        return _TAG
    if isinstance(value, bool):
        return _TAG + _BOOL
    if isinstance(value, (int, float)):
        return _TAG + _NUM
    if isinstance(value, str):
        return _TAG + _LEN + _text_size(value)
    if isinstance(value, (list, tuple)):
        return _TAG + _LEN + sum(_value_size(item) for item in value)
    if isinstance(value, dict):
        return _TAG + _LEN + sum(_LEN + _text_size(str(key)) + _value_size(item)
                                 for key, item in value.items())
    return _TAG + _NUM


def _map_size(props: Mapping[str, Any]) -> int:
    """Bytes of the encoded property map (0 for an empty map: none is
    written). Flat maps of scalars, the usual case, are sized in one loop;
    anything nested goes through the general sizer."""
    if not props:
        return 0
    size = _TAG + _LEN
    try:
        for key, value in props.items():
            size += len(key) if key.isascii() else _text_size(key)
            kind = type(value)
            if kind is str:
                size += _STR_ENTRY + (len(value) if value.isascii() else _text_size(value))
            elif kind is int or kind is float or kind is bool or value is None:
                size += _SCALAR_ENTRY
            else:
                size += _LEN + _value_size(value)
    except AttributeError:  # a key that is not a string: the database refuses it
        return _value_size(dict(props))
    return size


# A record of the pending batch, kept for a retry after a log overflow:
# ("n", key, labels, properties, None) or ("e", source key, label,
# target key, properties). The batch keeps its records' fields in one flat
# list, _STRIDE entries each, so that a record costs no container of its
# own (fewer objects for the garbage collector to track during a load).
_Op = Tuple[Any, ...]
_STRIDE = 5


def _pages_in_use(db: "orvi.GraphDB") -> int:
    """Pages the database has changed since its last commit or rollback,
    as the engine counts them."""
    return _engine.pending_pages(db)


class _Estimate:
    """How close the pending batch is to the page budget (see the module
    comment). ``room`` is what records may still be charged; ``refine``
    recomputes it."""

    __slots__ = ("db", "budget", "room")

    def __init__(self, db: "orvi.GraphDB", budget: int) -> None:
        self.db = db
        self.budget = budget
        self.room = 0
        self.refine()

    def refine(self) -> None:
        """Recomputes ``room`` from the pages the batch has changed so far."""
        self.room = (self.budget - _pages_in_use(self.db) - _RESERVE) * _PAGE


class BatchWriter:
    """Writes nodes and edges named by caller keys, committing in batches
    that stay below ``page_budget`` pages of the 4 MiB commit log.

    Use it as a context manager::

        with BatchWriter(db) as writer:
            writer.add_node("a", ["Person"], {"name": "Ada"})
            writer.add_node("b", ["Person"], {"name": "Alan"})
            writer.add_edge("a", "KNOWS", "b", {"since": 1936})

    When the block ends normally the pending batch is committed. When it
    raises, the pending batch is rolled back (its keys leave ``ids``) and
    the batches committed before stay in the database; the exception goes
    on. Without ``with``, call ``finish()`` at the end.

    Changes pending in ``db`` when the writer starts join its first batch.
    With ``commit=False`` the writer never commits: everything stays
    pending for the caller (who then meets the log limit at their own
    commit); a raising ``with`` block still rolls back.
    """

    def __init__(self, db: "orvi.GraphDB", page_budget: int = DEFAULT_PAGE_BUDGET,
                 commit: bool = True) -> None:
        """``db``: an open database. ``page_budget``: the most pages one
        batch may dirty (the log holds 1018). ``commit``: commit batches
        (True) or leave everything pending (False)."""
        self.db = db
        self.page_budget = page_budget
        self.autocommit = commit
        self.ids: Dict[Hashable, int] = {}
        self.nodes_written = 0
        self.edges_written = 0
        self.commits = 0
        self.splits = 0
        self._ops: List[Any] = []
        self._estimate = _Estimate(db, page_budget)
        self._label_sizes: Dict[Tuple[Any, ...], int] = {}

    def __enter__(self) -> "BatchWriter":
        """Returns the writer itself."""
        return self

    def __exit__(self, exc_type: Optional[Type[BaseException]],
                 exc: Optional[BaseException], tb: Optional[TracebackType]) -> None:
        """Commits the pending batch, or rolls it back when the block
        raised (the exception is not suppressed)."""
        if exc_type is None:
            self.finish()
        else:
            self.abandon()

    # -- public ----------------------------------------------------------------

    def add_node(self, key: Hashable, labels: Sequence[str],
                 properties: Optional[Mapping[str, Any]] = None) -> int:
        """Adds a node named ``key`` (unique within this writer) and returns
        its id. May commit the batch first. ImportFailed when the key was
        used before or the database refuses the labels or a value."""
        if key in self.ids:
            raise ImportFailed(f"node {key!r} is defined twice")
        if isinstance(labels, str):
            raise ImportFailed(f"node {key!r}: labels must be a list of strings, not one string")
        labels = list(labels)
        props = dict(properties) if properties else {}
        if not self.autocommit:
            return self._write_node(key, labels, props)
        label_bytes = self._labels_size(labels)
        prop_bytes = _map_size(props) if props else 0
        # The worst case: one slot page, the blobs (the property blob
        # perhaps twice).
        charge = _PAGE + label_bytes + 2 * prop_bytes
        if label_bytes + 2 * prop_bytes > _SMALL_BLOB:
            charge += _LARGE_CHARGE
        if charge > self._estimate.room and self._ops and not self._fits(charge):
            self._commit_batch()
        node_id = self._write_node(key, labels, props)
        self._estimate.room -= charge
        self._ops += ("n", key, labels, props, None)
        return node_id

    def add_edge(self, source: Hashable, label: str, target: Hashable,
                 properties: Optional[Mapping[str, Any]] = None) -> int:
        """Adds an edge ``source -label-> target`` between nodes added
        before under those keys, and returns its id. May commit the batch
        first. ImportFailed for an unknown key or a refused value."""
        ids = self.ids
        if source not in ids or target not in ids:
            end = source if source not in ids else target
            raise ImportFailed(f"edge refers to node {end!r}, which is not defined before it")
        if not isinstance(label, str):
            raise ImportFailed(f"the edge label must be a string, not {type(label).__name__}")
        props = dict(properties) if properties else {}
        if not self.autocommit:
            return self._write_edge(source, label, target, props)
        label_bytes = _TAG + _LEN + (len(label) if label.isascii() else _text_size(label))
        prop_bytes = _map_size(props) if props else 0
        # The worst case: three slot pages (the edge's and its two ends'),
        # the blobs.
        charge = 3 * _PAGE + label_bytes + 2 * prop_bytes
        if label_bytes + 2 * prop_bytes > _SMALL_BLOB:
            charge += _LARGE_CHARGE
        if charge > self._estimate.room and self._ops and not self._fits(charge):
            self._commit_batch()
        if "label" in props or "from_node" in props or "to_node" in props:
            edge_id = self._write_edge(source, label, target, props)
        else:
            # _write_edge's common case, unrolled: this is the hot loop of a load.
            a, b = ids[source], ids[target]
            try:
                edge_id = self.db.add_edge(a, label, b, **props).id
            except (TypeError, ValueError, OverflowError) as e:
                raise ImportFailed(str(e)) from e
            self.edges_written += 1
        self._estimate.room -= charge
        self._ops += ("e", source, label, target, props)
        return edge_id

    def finish(self) -> None:
        """Commits what is pending (with ``commit=True``). The writer stays
        usable: later records start a new batch."""
        if self.autocommit and self._ops:
            self._commit_batch()

    def abandon(self) -> None:
        """Rolls back the pending batch; the batches committed before stay.
        The keys of the rolled-back nodes leave ``ids``."""
        self.db.rollback()
        if self.autocommit:
            self._forget(self._records())
        else:  # nothing was committed: every record went
            self.ids.clear()
            self.nodes_written = self.edges_written = 0
        self._reset_batch()

    # -- the commit decision -----------------------------------------------------

    def _fits(self, charge: int) -> bool:
        """Whether a record charged ``charge`` keeps the batch within the
        budget, by the refined estimate (called when the cheap check says
        it may not)."""
        self._estimate.refine()
        return charge <= self._estimate.room

    # -- writing ---------------------------------------------------------------

    def _labels_size(self, labels: List[str]) -> int:
        """Bytes of the encoded label list; the few distinct label sets of
        a load are sized once."""
        if not labels:
            return 0
        try:
            key = tuple(labels)
            size = self._label_sizes.get(key)
        except TypeError:  # an unhashable label: the database refuses it
            return 5 + 5 * len(labels)
        if size is None:
            size = 5 + sum(5 + _text_size(s) if isinstance(s, str) else 5 for s in labels)
            if len(self._label_sizes) < 4096:
                self._label_sizes[key] = size
        return size

    def _write_node(self, key: Hashable, labels: List[str], props: Dict[str, Any]) -> int:
        """Writes a node; returns its id."""
        db = self.db
        twice = _ADD_NODE_PARAM in props
        try:
            if twice:
                first = {k: v for k, v in props.items() if k != _ADD_NODE_PARAM}
                node_id = db.add_node(labels, **first).id
                db.update_node(node_id, **{_ADD_NODE_PARAM: props[_ADD_NODE_PARAM]})
            else:
                node_id = db.add_node(labels, **props).id
        except (TypeError, ValueError, OverflowError) as e:
            raise ImportFailed(str(e)) from e
        self.ids[key] = node_id
        self.nodes_written += 1
        return node_id

    def _write_edge(self, source: Hashable, label: str, target: Hashable,
                    props: Dict[str, Any]) -> int:
        """Writes an edge; returns its id."""
        db = self.db
        ids = self.ids
        a, b = ids[source], ids[target]
        twice = "label" in props or "from_node" in props or "to_node" in props
        try:
            if twice:
                first = {k: v for k, v in props.items() if k not in _ADD_EDGE_PARAMS}
                edge_id = db.add_edge(a, label, b, **first).id
                db.update_edge(edge_id, **{k: props[k] for k in _ADD_EDGE_PARAMS if k in props})
            else:
                edge_id = db.add_edge(a, label, b, **props).id
        except (TypeError, ValueError, OverflowError) as e:
            raise ImportFailed(str(e)) from e
        self.edges_written += 1
        return edge_id

    def _rewrite(self, op: _Op) -> None:
        """Writes a record again after a rollback."""
        if op[0] == "n":
            self._write_node(op[1], op[2], op[3])
        else:
            self._write_edge(op[1], op[2], op[3], op[4])

    def _records(self) -> List[_Op]:
        """The records of the pending batch."""
        return list(zip(*[iter(self._ops)] * _STRIDE))

    def _reset_batch(self) -> None:
        self._ops = []
        self._estimate = _Estimate(self.db, self.page_budget)

    def _forget(self, ops: Sequence[_Op]) -> None:
        """Undoes the bookkeeping of records that were rolled back."""
        for op in ops:
            if op[0] == "n":
                self.ids.pop(op[1], None)
                self.nodes_written -= 1
            else:
                self.edges_written -= 1

    def _commit_batch(self) -> None:
        try:
            self.db.commit()
        except orvi.TransactionError as e:
            if "too large" not in str(e) or len(self._ops) < 2 * _STRIDE:
                raise
            self._split()
            return
        self.commits += 1
        self._reset_batch()

    def _split(self) -> None:
        """The pending batch did not fit the log: roll it back and write it
        again as two smaller batches (each split again if needed)."""
        ops = self._records()
        self.db.rollback()
        self.splits += 1
        self._forget(ops)
        half = len(ops) // 2
        for part in (ops[:half], ops[half:]):
            self._reset_batch()
            for op in part:
                self._rewrite(op)
                self._ops += op
            self._commit_batch()
