"""Adding many records to a database in commits that fit the commit log.

A commit logs every page it changed, and the log holds at most 1018 pages
(4 MiB). ``BatchWriter`` keeps a running upper bound of the pages the
pending batch has dirtied and commits before the next record could push it
over the budget:

- one page per distinct node-slot page (63 slots each) and edge-slot page
  (51 slots each) written: a new record's slot, and for an edge the slots
  of both endpoints, whose list heads and degrees change;
- two pages more whenever a record may start a new node or edge extent (the
  index page, and a new index page when the old one is full);
- property bytes (label and property blobs, sized with the module's
  encoding) rounded up to pages, plus two pages for every property extent
  the blobs may spill into (blobs never straddle extents);
- one page of slack for the header page.

The bound is deliberately loose. Should a commit still be refused as too
large for the log (TransactionError), the batch is rolled back and written
again in two halves, recursively, so an import never fails on the log
limit alone.

Records are named by keys of the caller's choosing (the ids of an export,
the nodes of a networkx graph); ``ids`` maps each key to the node id it
received. The writer owns the database's pending state while it works: it
commits, and on a log overflow rolls back, everything pending.
"""

from __future__ import annotations

from typing import Any, Dict, Hashable, List, Mapping, Optional, Sequence, Tuple

import orvi

from . import fileformat as ff

DEFAULT_PAGE_BUDGET = 1000
_SMALL_BLOB = 64 * 1024
_UNKNOWN = 0

# Keyword names that the record methods bind to their own parameters; a
# property with one of these names is set in a second call instead.
_ADD_NODE_PARAMS = frozenset({"labels"})
_ADD_EDGE_PARAMS = frozenset({"from_node", "label", "to_node"})


class ImportFailed(Exception):
    """A record could not be written; the message names the record."""


def _blob_size(value: Any) -> int:
    return ff.encoded_size(value) if value else 0


class _Estimate:
    """Upper bound of the pages a batch dirties (see the module comment)."""

    def __init__(self) -> None:
        self.node_pages: set = set()
        self.edge_pages: set = set()
        self.extent_pages = 0
        self.small_bytes = 0
        self.large_pages = 0

    @staticmethod
    def _pool_pages(small: int) -> int:
        return small // ff.PAGE_SIZE + 2 + 2 * (small // (ff.EXTENT_SIZE - _SMALL_BLOB) + 1)

    def total(self) -> int:
        return (len(self.node_pages) + len(self.edge_pages) + self.extent_pages
                + self._pool_pages(self.small_bytes) + self.large_pages + 1)

    def cost(self, node_ids: Sequence[int], edge_id: Optional[int],
             new_node: Optional[int], blobs: Sequence[int]) -> int:
        """Pages that one more record would add. ``new_node`` and
        ``edge_id`` are the predicted ids of the new record (_UNKNOWN when
        no id has been handed out yet in this session)."""
        pages = 0
        touched = set()
        for node in node_ids:
            page = (node - 1) // ff.NODE_SLOTS_PER_PAGE
            if page not in self.node_pages and page not in touched:
                touched.add(page)
                pages += 1
        for new_id, per_page, per_extent, seen in (
            (new_node, ff.NODE_SLOTS_PER_PAGE, ff.NODE_SLOTS_PER_EXTENT, self.node_pages),
            (edge_id, ff.EDGE_SLOTS_PER_PAGE, ff.EDGE_SLOTS_PER_EXTENT, self.edge_pages),
        ):
            if new_id is None:
                continue
            if new_id == _UNKNOWN:
                pages += 3
                continue
            if (new_id - 1) // per_page not in seen:
                pages += 1
            if (new_id - 1) % per_extent == 0:
                pages += 2
        small = self.small_bytes
        for size in blobs:
            if size > _SMALL_BLOB:
                pages += size // ff.PAGE_SIZE + 4
            else:
                small += size
        return pages + self._pool_pages(small) - self._pool_pages(self.small_bytes)

    def account(self, node_ids: Sequence[int], edge_id: Optional[int],
                new_extent: bool, blobs: Sequence[int]) -> None:
        for node in node_ids:
            self.node_pages.add((node - 1) // ff.NODE_SLOTS_PER_PAGE)
        if edge_id is not None:
            self.edge_pages.add((edge_id - 1) // ff.EDGE_SLOTS_PER_PAGE)
        if new_extent:
            self.extent_pages += 2
        for size in blobs:
            if size > _SMALL_BLOB:
                self.large_pages += size // ff.PAGE_SIZE + 4
            else:
                self.small_bytes += size


_Op = Tuple[Any, ...]


class BatchWriter:
    """Writes nodes and edges named by caller keys, committing in batches
    below ``page_budget`` pages. With ``commit=False`` nothing is committed
    and everything stays pending for the caller (who then meets the log
    limit at their own commit)."""

    def __init__(self, db: "orvi.GraphDB", page_budget: int = DEFAULT_PAGE_BUDGET,
                 commit: bool = True) -> None:
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
        self._last_node: Optional[int] = None
        self._last_edge: Optional[int] = None

    # -- public ----------------------------------------------------------------

    def add_node(self, key: Hashable, labels: Sequence[str],
                 properties: Mapping[str, Any]) -> int:
        if key in self.ids:
            raise ImportFailed(f"node {key!r} is defined twice")
        op = ("n", key, list(labels), dict(properties))
        self._before(op)
        node_id = self._apply(op)
        self._ops.append(op)
        return node_id

    def add_edge(self, source: Hashable, label: str, target: Hashable,
                 properties: Mapping[str, Any]) -> int:
        for end in (source, target):
            if end not in self.ids:
                raise ImportFailed(
                    f"edge refers to node {end!r}, which is not defined before it"
                )
        op = ("e", source, label, target, dict(properties))
        self._before(op)
        edge_id = self._apply(op)
        self._ops.append(op)
        return edge_id

    def finish(self) -> None:
        """Commits what is pending (with ``commit=True``)."""
        if self.autocommit and self._ops:
            self._commit_batch()

    # -- planning --------------------------------------------------------------

    def _blobs(self, op: _Op) -> List[int]:
        if op[0] == "n":
            labels, props = op[2], op[3]
            split = any(k in _ADD_NODE_PARAMS for k in props)
            return [_blob_size(labels), _blob_size(props)] + (
                [_blob_size(props)] if split else [])
        label, props = op[2], op[4]
        split = any(k in _ADD_EDGE_PARAMS for k in props)
        return [5 + len(label.encode("utf-8")), _blob_size(props)] + (
            [_blob_size(props)] if split else [])

    def _predict(self, last: Optional[int]) -> int:
        return last + 1 if last is not None else _UNKNOWN

    def _before(self, op: _Op) -> None:
        if not self.autocommit:
            return
        if op[0] == "n":
            cost = self._estimate.cost([], None, self._predict(self._last_node), self._blobs(op))
        else:
            cost = self._estimate.cost([self.ids[op[1]], self.ids[op[3]]],
                                       self._predict(self._last_edge), None, self._blobs(op))
        if self._ops and self._estimate.total() + cost > self.page_budget:
            self._commit_batch()

    # -- writing ---------------------------------------------------------------

    def _apply(self, op: _Op) -> int:
        db = self.db
        try:
            if op[0] == "n":
                _, key, labels, props = op
                first = {k: v for k, v in props.items() if k not in _ADD_NODE_PARAMS}
                node = db.add_node(labels, **first)
                if len(first) != len(props):
                    db.update_node(node, **{k: props[k] for k in _ADD_NODE_PARAMS if k in props})
                new_extent = (node.id - 1) % ff.NODE_SLOTS_PER_EXTENT == 0
                self._estimate.account([node.id], None, new_extent, self._blobs(op))
                self.ids[key] = node.id
                self._last_node = node.id
                self.nodes_written += 1
                return node.id
            _, source, label, target, props = op
            first = {k: v for k, v in props.items() if k not in _ADD_EDGE_PARAMS}
            a, b = self.ids[source], self.ids[target]
            edge = db.add_edge(a, label, b, **first)
            if len(first) != len(props):
                db.update_edge(edge.id, **{k: props[k] for k in _ADD_EDGE_PARAMS if k in props})
            new_extent = (edge.id - 1) % ff.EDGE_SLOTS_PER_EXTENT == 0
            self._estimate.account([a, b], edge.id, new_extent, self._blobs(op))
            self._last_edge = edge.id
            self.edges_written += 1
            return edge.id
        except (TypeError, ValueError, OverflowError) as e:
            raise ImportFailed(str(e)) from e

    def _reset_batch(self) -> None:
        self._ops = []
        self._estimate = _Estimate()

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
        for op in ops:
            if op[0] == "n":
                del self.ids[op[1]]
                self.nodes_written -= 1
            else:
                self.edges_written -= 1
        # Rolled-back ids are handed out again, so predictions restart.
        self._last_node = self._last_edge = None
        half = len(ops) // 2
        for part in (ops[:half], ops[half:]):
            self._reset_batch()
            for op in part:
                self._apply(op)
                self._ops.append(op)
            self._commit_batch()
