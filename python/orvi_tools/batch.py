"""Adding many records to a database in commits that fit the commit log.

A commit logs every page it changed, and the log holds at most 1018 pages
(4 MiB). ``BatchWriter`` keeps an upper bound of the pages the pending
batch has dirtied (``_Estimate``) and commits before the next record could
push it over the budget. The bound counts:

- one page per distinct node-slot page (63 slots each) and edge-slot page
  (51 slots each) written: a new record's slot, and for an edge the slots
  of both endpoints, whose list heads and degrees change;
- two pages whenever a record starts a new node or edge extent (the index
  page, and a new index page when the old one is full);
- property bytes (label and property blobs, sized with the module's
  encoding) rounded up to pages, plus two pages for every property extent
  the blobs may spill into (blobs never straddle extents);
- one page of slack for the header page.

Before each record the writer adds that record's worst case (every slot
page new, a new extent of each kind, its blob bytes spread over fresh
pages) to the bound, so the check costs a few integer operations and no
look-ups. The bound is deliberately loose. Should a commit still be refused
as too large for the log (TransactionError), the batch is rolled back and
written again in two halves, recursively, so a load never fails on the log
limit alone.

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

from . import fileformat as ff

DEFAULT_PAGE_BUDGET = 1000
_SMALL_BLOB = 64 * 1024
_PAGE = ff.PAGE_SIZE
# Worst case of one record beyond its slot pages and its blob bytes over
# whole pages: a new slot extent (2 index pages), and for its blobs (at
# most 3) either the page the small ones straddle plus a property extent
# they spill into (3) or the 4 pages each large one may add.
_RECORD_SLACK = 2 + 3 * 4

# Keyword names that the record methods bind to their own parameters; a
# property with one of these names is set in a second call instead.
_ADD_NODE_PARAM = "labels"
_ADD_EDGE_PARAMS = ("from_node", "label", "to_node")


class ImportFailed(Exception):
    """A record could not be written; the message names the record."""


def _text_size(text: str) -> int:
    return len(text) if text.isascii() else len(text.encode("utf-8", "surrogatepass"))


def _map_size(props: Mapping[str, Any]) -> int:
    """Bytes of the encoded property map (0 for an empty map: none is
    written). Flat maps of scalars, the usual case, are sized in one loop;
    anything nested goes through the general sizer."""
    if not props:
        return 0
    size = 5
    try:
        for key, value in props.items():
            size += len(key) if key.isascii() else _text_size(key)
            kind = type(value)
            if kind is str:
                size += 9 + (len(value) if value.isascii() else _text_size(value))
            elif kind is int or kind is float or kind is bool or value is None:
                size += 13
            else:
                size += 4 + ff.encoded_size(value)
    except AttributeError:  # a key that is not a string: the database refuses it
        return ff.encoded_size(dict(props))
    return size


class _Estimate:
    """Upper bound of the pages the pending batch has dirtied (see the
    module comment). ``pages()`` is the one figure the commit decision
    reads; the ``note_*`` methods feed it after each record."""

    __slots__ = ("node_pages", "edge_pages", "extent_pages", "small_bytes", "large_pages")

    def __init__(self) -> None:
        self.node_pages: set = set()
        self.edge_pages: set = set()
        self.extent_pages = 0
        self.small_bytes = 0
        self.large_pages = 0

    def pages(self) -> int:
        small = self.small_bytes
        pool = small // _PAGE + 2 + 2 * (small // (ff.EXTENT_SIZE - _SMALL_BLOB) + 1)
        return (len(self.node_pages) + len(self.edge_pages) + self.extent_pages + pool
                + self.large_pages + 1)

    def _blobs(self, blobs: Tuple[int, ...]) -> None:
        total = sum(blobs)
        if total <= _SMALL_BLOB:
            self.small_bytes += total
            return
        for size in blobs:
            if size > _SMALL_BLOB:
                self.large_pages += size // _PAGE + 4
            else:
                self.small_bytes += size

    def note_node(self, node_id: int, blobs: Tuple[int, ...]) -> None:
        self.node_pages.add((node_id - 1) // ff.NODE_SLOTS_PER_PAGE)
        if (node_id - 1) % ff.NODE_SLOTS_PER_EXTENT == 0:
            self.extent_pages += 2
        self._blobs(blobs)

    def note_edge(self, edge_id: int, source: int, target: int, blobs: Tuple[int, ...]) -> None:
        pages = self.node_pages
        pages.add((source - 1) // ff.NODE_SLOTS_PER_PAGE)
        pages.add((target - 1) // ff.NODE_SLOTS_PER_PAGE)
        self.edge_pages.add((edge_id - 1) // ff.EDGE_SLOTS_PER_PAGE)
        if (edge_id - 1) % ff.EDGE_SLOTS_PER_EXTENT == 0:
            self.extent_pages += 2
        self._blobs(blobs)


# A record kept for a retry after a log overflow:
# ("n", key, labels, properties, blob sizes) or
# ("e", source key, label, target key, properties, blob sizes).
_Op = Tuple[Any, ...]


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
        self._ops: List[_Op] = []
        self._estimate = _Estimate()
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
        label_bytes = self._labels_size(labels)
        prop_bytes = _map_size(props)
        if _ADD_NODE_PARAM in props:
            blobs: Tuple[int, ...] = (label_bytes, prop_bytes, prop_bytes)
        else:
            blobs = (label_bytes, prop_bytes)
        if self.autocommit:
            if self._ops and not self._fits(1 + sum(blobs) // _PAGE):
                self._commit_batch()
            op = ("n", key, labels, props, blobs)
            node_id = self._write_node(op)
            self._ops.append(op)
            return node_id
        return self._write_node(("n", key, labels, props, blobs))

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
        label_bytes = 5 + _text_size(label)
        prop_bytes = _map_size(props)
        if "label" in props or "from_node" in props or "to_node" in props:
            blobs: Tuple[int, ...] = (label_bytes, prop_bytes, prop_bytes)
        else:
            blobs = (label_bytes, prop_bytes)
        if self.autocommit:
            if self._ops and not self._fits(3 + sum(blobs) // _PAGE):
                self._commit_batch()
            op = ("e", source, label, target, props, blobs)
            edge_id = self._write_edge(op)
            self._ops.append(op)
            return edge_id
        return self._write_edge(("e", source, label, target, props, blobs))

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
            self._forget(self._ops)
        else:  # nothing was committed: every record went
            self.ids.clear()
            self.nodes_written = self.edges_written = 0
        self._reset_batch()

    # -- the commit decision -----------------------------------------------------

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

    def _fits(self, record_pages: int) -> bool:
        """Whether a record that adds at most ``record_pages`` slot and blob
        pages (plus the fixed slack of any record) surely keeps the batch
        within the budget."""
        return self._estimate.pages() + record_pages + _RECORD_SLACK <= self.page_budget

    # -- writing ---------------------------------------------------------------

    def _write_node(self, op: _Op) -> int:
        _, key, labels, props, blobs = op
        db = self.db
        try:
            if len(blobs) == 2:
                node_id = db.add_node(labels, **props).id
            else:
                first = {k: v for k, v in props.items() if k != _ADD_NODE_PARAM}
                node_id = db.add_node(labels, **first).id
                db.update_node(node_id, **{_ADD_NODE_PARAM: props[_ADD_NODE_PARAM]})
        except (TypeError, ValueError, OverflowError) as e:
            raise ImportFailed(str(e)) from e
        if self.autocommit:
            self._estimate.note_node(node_id, blobs)
        self.ids[key] = node_id
        self.nodes_written += 1
        return node_id

    def _write_edge(self, op: _Op) -> int:
        _, source, label, target, props, blobs = op
        db = self.db
        a, b = self.ids[source], self.ids[target]
        try:
            if len(blobs) == 2:
                edge_id = db.add_edge(a, label, b, **props).id
            else:
                first = {k: v for k, v in props.items() if k not in _ADD_EDGE_PARAMS}
                edge_id = db.add_edge(a, label, b, **first).id
                db.update_edge(edge_id, **{k: props[k] for k in _ADD_EDGE_PARAMS if k in props})
        except (TypeError, ValueError, OverflowError) as e:
            raise ImportFailed(str(e)) from e
        if self.autocommit:
            self._estimate.note_edge(edge_id, a, b, blobs)
        self.edges_written += 1
        return edge_id

    def _write(self, op: _Op) -> None:
        if op[0] == "n":
            self._write_node(op)
        else:
            self._write_edge(op)

    def _reset_batch(self) -> None:
        self._ops = []
        self._estimate = _Estimate()

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
            if "too large" not in str(e) or len(self._ops) < 2:
                raise
            self._split()
            return
        self.commits += 1
        self._reset_batch()

    def _split(self) -> None:
        """The pending batch did not fit the log: roll it back and write it
        again as two smaller batches (each split again if needed)."""
        ops = self._ops
        self.db.rollback()
        self.splits += 1
        self._forget(ops)
        half = len(ops) // 2
        for part in (ops[:half], ops[half:]):
            self._reset_batch()
            for op in part:
                self._write(op)
                self._ops.append(op)
            self._commit_batch()
