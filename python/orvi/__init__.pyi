"""orvi: an embedded property-graph database.

A whole graph lives in one file (or in memory for the path ":memory:").
`open(path)` returns a `GraphDB`; through it a program creates, reads,
updates and deletes nodes (string labels fixed at creation, a property map)
and directed edges (one string label, a source, a target, a property map).

Nothing is written to the file as a side effect of a change: changes stay
pending until `GraphDB.commit()` or the clean end of a
`with db.transaction():` block. `rollback()`, a failing transaction block
and closing the handle discard them. Only `clear()` (and the maintenance
operations) write to the file by themselves.

Property values are None, bool, int (signed 64-bit), float, str, list and
dict with str keys, nested at most 32 levels.
"""

from types import TracebackType
from typing import Callable, Final, Iterable, Literal, Sequence, Union, final

from typing_extensions import Self, TypeAlias

__version__: Final[str]
_BUILT_WITH_FAULT_INJECTION: Final[bool]

_PropValue: TypeAlias = Union[
    None, bool, int, float, str, list["_PropValue"], dict[str, "_PropValue"]
]
# A node argument: a Node object or a non-negative integer node id.
_NodeRef: TypeAlias = Union["Node", int]

def open(path: str) -> GraphDB:
    """Open the database file at `path`, creating it when it is missing.

    The path ":memory:" (exactly) gives a database kept only in memory.
    `path` must be a `str`; bytes and path objects raise TypeError.

    One process may hold a file open once: a second `open` of the same
    file (by any spelling of its path) raises AlreadyOpenError until the
    first handle is closed. Use `with orvi.open(path) as db:` so the handle
    is closed at the end of the block.

    Raises OSError when the file cannot be read or written,
    CorruptedFileError when it is damaged, ValueError for a path without a
    file name.
    """

class GraphDBError(Exception):
    """Base class of every orvi-specific exception."""

class NodeNotFoundError(GraphDBError):
    """A node id names no live node (id 0, unknown or deleted)."""

class EdgeNotFoundError(GraphDBError):
    """An edge id names no live edge (id 0, unknown or deleted)."""

class CorruptedFileError(GraphDBError):
    """The database file failed an integrity check."""

class TransactionError(GraphDBError):
    """A transaction could not be completed: a nested transaction block,
    or a commit too large for the write-ahead log."""

class CapacityExceededError(GraphDBError):
    """The file layout cannot address another node, edge or extent."""

class MergeError(GraphDBError):
    """A merge found a source node without the merge-key property
    (`GraphDB.merge_from` with `node_key`)."""

class AlreadyOpenError(GraphDBError):
    """The file is already open for writing in this or another process."""

@final
class Node:
    """An immutable snapshot of one node, taken when it was fetched.

    The object never refers back to the database: it keeps working after
    the database is closed and does not see later changes. To change the
    node pass it (or its id) to `GraphDB.update_node()` or
    `GraphDB.delete_node()`, then fetch it again with `GraphDB.get_node()`.

    Two Node objects are equal only when they are the same object; hashing
    is by identity.
    """

    @property
    def id(self) -> int:
        """The node id (a positive integer, never reused)."""
    @property
    def labels(self) -> list[str]:
        """The labels in the order given to add_node (a new list on every
        access)."""
    @property
    def properties(self) -> dict[str, _PropValue]:
        """All properties (a new dict on every access; key order is
        unspecified)."""
    def get(self, key: str) -> _PropValue:
        """The property `key`, or None when the node has none of that name
        (a stored None gives None too). A non-str key raises TypeError."""
    def keys(self) -> list[str]:
        """The property names (a new list; order unspecified)."""
    def __getitem__(self, key: str, /) -> _PropValue:
        """The property `key`; KeyError when absent, TypeError when `key`
        is not a str."""
    def __contains__(self, key: object, /) -> bool:
        """True when the node has a property named `key`; TypeError when
        `key` is not a str."""

@final
class Edge:
    """An immutable snapshot of one edge, taken when it was fetched.

    Like Node: detached from the database, unchanged by later writes, equal
    only to itself. To change the edge use `GraphDB.update_edge()` or
    `GraphDB.delete_edge()` and fetch it again with `GraphDB.get_edge()`.
    """

    @property
    def id(self) -> int:
        """The edge id (a positive integer, never reused)."""
    @property
    def label(self) -> str:
        """The edge label (may be empty)."""
    @property
    def from_node(self) -> int:
        """The id of the source node."""
    @property
    def to_node(self) -> int:
        """The id of the target node."""
    @property
    def properties(self) -> dict[str, _PropValue]:
        """All properties (a new dict on every access; key order is
        unspecified)."""
    def get(self, key: str) -> _PropValue:
        """The property `key`, or None when absent. A non-str key raises
        TypeError."""
    def keys(self) -> list[str]:
        """The property names (a new list; order unspecified)."""
    def __getitem__(self, key: str, /) -> _PropValue:
        """The property `key`; KeyError when absent, TypeError when `key`
        is not a str."""
    def __contains__(self, key: object, /) -> bool:
        """True when the edge has a property named `key`; TypeError when
        `key` is not a str."""

@final
class NodeQuery:
    """A query over the nodes of a database, made by `GraphDB.nodes()`.

    A query is an immutable value: `label()`, `where_()`, `skip()` and
    `limit()` each return a new query and leave the one they were called on
    unchanged, so a query can be kept, refined and run again. Building a
    query reads nothing; `fetch()`, `count()` and `exists()` run it against
    the database as it is at that moment (pending changes included) and
    raise ValueError when the database has been closed.

    Evaluation always filters by label, then by predicate, then skips, then
    limits, whatever order the refining methods were called in. Results
    come in ascending id order.

    The predicate runs after the database has been read: it may call
    methods of the same database (even write to it) without blocking, and
    such writes do not change the set of candidates of the running query.
    A query without labels, and any query with a predicate, reads every
    candidate node before the predicate runs; `limit()` bounds the number
    of predicate calls and results.
    """

    def label(self, label: str) -> NodeQuery:
        """A query that also accepts nodes carrying `label` (several
        labels: nodes carrying any of them; exact, case-sensitive match)."""
    def where_(self, predicate: Callable[[Node], bool]) -> NodeQuery:
        """A query that keeps the nodes for which `predicate(node)` returns
        True. Replaces any earlier predicate. The predicate must return a
        bool (a NumPy bool is accepted); anything else makes the run raise
        TypeError. Exceptions it raises propagate unchanged."""
    def skip(self, n: int) -> NodeQuery:
        """A query that passes over the first `n` matching nodes (replaces
        an earlier skip). `n` must be a non-negative int."""
    def limit(self, n: int) -> NodeQuery:
        """A query that returns at most `n` nodes and stops calling the
        predicate once it has them (replaces an earlier limit). `limit(0)`
        yields nothing."""
    def fetch(self) -> list[Node]:
        """Run the query: the matching nodes, by ascending id."""
    def count(self) -> int:
        """Run the query: the number of nodes `fetch()` would return."""
    def exists(self) -> bool:
        """Run the query, stopping at the first match: True when there is
        one."""

@final
class EdgeQuery:
    """A query over the edges of a database, made by `GraphDB.edges()`.

    The same rules as NodeQuery apply: immutable refinement, evaluation by
    label, then predicate, then skip, then limit, results by ascending edge
    id, a predicate free to use the same database, ValueError when run on a
    closed database. An edge query reads every live edge before its
    predicate runs.
    """

    def label(self, label: str) -> EdgeQuery:
        """A query that also accepts edges whose label equals `label`
        exactly (case-sensitive); several labels: any of them."""
    def where_(self, predicate: Callable[[Edge], bool]) -> EdgeQuery:
        """A query that keeps the edges for which `predicate(edge)` returns
        True (a bool, or a NumPy bool; anything else raises TypeError when
        the query runs). Replaces any earlier predicate."""
    def skip(self, n: int) -> EdgeQuery:
        """A query that passes over the first `n` matching edges."""
    def limit(self, n: int) -> EdgeQuery:
        """A query that returns at most `n` edges; `limit(0)` yields
        nothing."""
    def fetch(self) -> list[Edge]:
        """Run the query: the matching edges, by ascending id."""
    def count(self) -> int:
        """Run the query: the number of edges `fetch()` would return."""
    def exists(self) -> bool:
        """Run the query, stopping at the first match: True when there is
        one."""

@final
class Transaction:
    """The context manager returned by `GraphDB.transaction()`.

    `with db.transaction(): ...` commits everything pending when the block
    ends normally and rolls everything pending back when it raises (the
    exception then propagates unchanged). Pending changes made before the
    block are included: there is one pending state per database.

    Blocks cannot nest: entering a block while another block of the same
    database is open raises TransactionError ("transaction already
    active"); the outer block is unaffected. `GraphDB.commit()` and
    `GraphDB.rollback()` inside a block end it early (a new block may then
    be entered). A Transaction can be used for several blocks in turn.
    Entering after the database was closed raises ValueError.
    """

    def __enter__(self) -> Self:
        """Start the block; TransactionError when a block is already
        open on this database."""
    def __exit__(
        self,
        exc_type: type[BaseException] | None = None,
        _exc_val: BaseException | None = None,
        _exc_tb: TracebackType | None = None,
    ) -> Literal[False]:
        """Commit (clean exit) or roll back (exception); a failing commit
        raises (TransactionError for a transaction too large for the
        write-ahead log, OSError for a write failure)."""

@final
class MergeReport:
    """Summary of a `GraphDB.merge_from(...)` call.

    A detached result: it keeps working after either database is closed.
    `nodes_created + nodes_reused` is the number of source nodes and
    `edges_created + edges_reused` the number of source edges. Made only by
    `merge_from()`; the class cannot be instantiated.
    """

    @property
    def nodes_created(self) -> int:
        """Source nodes that became new destination nodes."""
    @property
    def nodes_reused(self) -> int:
        """Source nodes matched (by `node_key`) to an existing destination
        node."""
    @property
    def edges_created(self) -> int:
        """Source edges that became new destination edges."""
    @property
    def edges_reused(self) -> int:
        """Source edges for which an identical destination edge already
        existed ("idempotent" strategy)."""
    @property
    def node_id_map(self) -> dict[int, int]:
        """{source node id: destination node id} for every source node (a
        new dict on every access; order unspecified)."""
    @property
    def edge_id_map(self) -> dict[int, int]:
        """{source edge id: destination edge id} for every source edge (a
        new dict on every access; order unspecified)."""

_EdgeStrategy: TypeAlias = Literal["append", "idempotent"]
_NodeConflict: TypeAlias = Literal["keep_dst", "overwrite_from_src", "merge_props"]

@final
class GraphDB:
    """An open database, returned by `orvi.open(path)`.

    Every change stays pending until `commit()` or the clean end of a
    `with db.transaction():` block; reads see pending changes at once.
    `rollback()` discards pending changes and `close()` (or the end of a
    `with orvi.open(path) as db:` block) discards whatever is still
    pending.

    After `close()` every method that uses the database raises ValueError
    ("orvi: database handle is closed; ..."); `begin()`, `transaction()`
    and `__enter__` still return.

    Node arguments (`from_node`, `node`, `node_arg`, ...) accept a Node or
    a non-negative int id; anything else raises ValueError. Property
    keyword arguments accept the property value types (see the module
    docstring); other values raise ValueError and nothing is stored.
    """

    def add_node(self, labels: Sequence[str], **kwargs: _PropValue) -> Node:
        """Add a node with `labels` (a sequence of str, kept in order; a
        single str raises TypeError) and the keyword arguments as
        properties. Returns the new Node."""
    def add_edge(
        self, from_node: _NodeRef, label: str, to_node: _NodeRef, **kwargs: _PropValue
    ) -> Edge:
        """Add an edge `from_node` -> `to_node` with `label` and the keyword
        arguments as properties. Returns the new Edge; NodeNotFoundError
        when an endpoint does not exist."""
    def get_node(self, node_id: int) -> Node | None:
        """The node with this id, or None when there is none (0, unknown,
        deleted). Only an int is accepted: TypeError for other types,
        OverflowError for a negative or too large id."""
    def get_edge(self, edge_id: int) -> Edge | None:
        """The edge with this id, or None when there is none. Argument
        rules as for get_node."""
    def update_node(self, node: _NodeRef, **kwargs: _PropValue) -> None:
        """Set the given properties on the node, keeping the others (no
        property is ever removed; labels never change).
        NodeNotFoundError when the node does not exist."""
    def update_edge(self, edge_id: int, **kwargs: _PropValue) -> None:
        """Set the given properties on the edge, keeping the others.
        EdgeNotFoundError when the edge does not exist."""
    def delete_node(self, node_arg: _NodeRef) -> None:
        """Delete the node and every edge touching it.
        NodeNotFoundError when the node does not exist."""
    def delete_edge(self, edge_arg: Edge | int) -> None:
        """Delete the edge (an Edge or an edge id).
        EdgeNotFoundError when the edge does not exist."""
    def out_edges(self, node_arg: _NodeRef, label: str | None = None) -> list[Edge]:
        """The node's outgoing edges, newest first, optionally only those
        with `label`. NodeNotFoundError when the node does not exist."""
    def in_edges(self, node_arg: _NodeRef, label: str | None = None) -> list[Edge]:
        """The node's incoming edges, newest first, optionally only those
        with `label`. NodeNotFoundError when the node does not exist."""
    def neighbors(
        self,
        node_arg: _NodeRef,
        edge_label: str | None = None,
        direction: str = "out",
    ) -> list[Node]:
        """The nodes at the other end of the node's edges: "out" (targets,
        the default), "in" (sources) or "both" (targets then sources, each
        node once). Any other direction raises ValueError."""
    def all_nodes(self) -> list[Node]:
        """Every live node, by ascending id."""
    def all_edges(self) -> list[Edge]:
        """Every live edge, by ascending id."""
    def all_nodes_as_records(self) -> list[dict[str, _PropValue]]:
        """Every live node as a dict: "id", "labels", then the properties
        (a property named "id" or "labels" replaces the fixed entry)."""
    def all_edges_as_records(self) -> list[dict[str, _PropValue]]:
        """Every live edge as a dict: "id", "label", "from_node",
        "to_node", then the properties (which replace a fixed entry of the
        same name)."""
    def node_count(self) -> int:
        """The number of live nodes, pending changes included."""
    def edge_count(self) -> int:
        """The number of live edges, pending changes included."""
    def info(self) -> dict[str, str | int]:
        """{"version": "1.0", "node_count": ..., "edge_count": ...,
        "file_size": ...} with the storage size in bytes."""
    def nodes(self) -> NodeQuery:
        """A query over all nodes, to be refined with `label()`,
        `where_()`, `skip()` and `limit()` and run with `fetch()`,
        `count()` or `exists()`. Example:
        `db.nodes().label("Person").where_(lambda n: (n.get("age") or 0) > 30).fetch()`."""
    def edges(self) -> EdgeQuery:
        """A query over all edges (see `nodes()`)."""
    def clear(self) -> None:
        """Delete everything: discards pending changes and empties the
        file at once (no commit needed)."""
    def begin(self) -> None:
        """Does nothing; changes are always pending until commit(). Kept
        for callers that mark the start of their work."""
    def commit(self) -> None:
        """Write every pending change to the file atomically. Raises
        TransactionError when the changes do not fit in the 4 MiB
        write-ahead log (split them across several commits)."""
    def rollback(self) -> None:
        """Discard every pending change."""
    def transaction(self) -> Transaction:
        """A context manager: `with db.transaction(): ...` commits on a
        clean exit and rolls back when the block raises."""
    def close(self) -> None:
        """Release the database and its single-writer slot; pending changes
        are discarded. Afterwards every method that uses the database
        raises ValueError. Calling close() again does nothing."""
    def __enter__(self) -> Self:
        """Return the database itself."""
    def __exit__(
        self,
        _exc_type: type[BaseException] | None = None,
        _exc_val: BaseException | None = None,
        _exc_tb: TracebackType | None = None,
    ) -> Literal[False]:
        """Close the database (without committing) so the file can be
        opened again; an exception raised in the block propagates."""
    def bfs(self, start: _NodeRef, max_depth: int) -> list[tuple[Node, int]]:
        """Breadth-first walk along outgoing edges from `start`: every node
        reachable within `max_depth` edges, once each, as (node, depth)
        pairs in the order discovered (depth = fewest edges from `start`).
        The start itself is not listed. A node's neighbours are taken in
        `out_edges()` order (newest edge first).

        `max_depth` 0 returns [] without reading anything; otherwise a
        `start` that does not exist raises NodeNotFoundError. `max_depth`
        must be a non-negative int (TypeError / OverflowError)."""
    def dfs(self, start: _NodeRef, max_depth: int) -> list[tuple[Node, int]]:
        """Depth-first walk along outgoing edges from `start`, as (node,
        depth) pairs within `max_depth` edges; the start is not listed.

        A node counts as visited when it is first discovered, so each node
        appears once, with the depth at which it was first discovered
        (which may differ from a recursive search). Of one node's
        undiscovered targets the one whose edge comes last in
        `out_edges()` order is explored first. Errors as for `bfs()`."""
    def shortest_path(
        self, start: _NodeRef, goal: _NodeRef, edge_label: str | None = None
    ) -> list[Node] | None:
        """A path with the fewest edges from `start` to `goal` along
        outgoing edges, as the list of its nodes (both ends included), or
        None when `goal` cannot be reached. With `edge_label` only edges
        with exactly that label are followed.

        `shortest_path(a, a)` is `[a]` when a exists and None otherwise.
        A `start` that does not exist (with a different `goal`) raises
        NodeNotFoundError."""
    def degree_stats(self) -> dict[int, tuple[int, int]]:
        """{node id: (out_degree, in_degree)} counted over the live edges,
        for every node that has at least one edge (a self-loop counts once
        in each direction). Nodes without edges are not listed."""
    def edges_between(self, node_ids: Iterable[int]) -> list[dict[str, _PropValue]]:
        """The edges whose source and target are both in `node_ids`, by
        ascending id, as records like `all_edges_as_records()` ("id",
        "label", "from_node", "to_node", then the properties). `node_ids`
        must hold non-negative ints (Node objects are refused with
        TypeError)."""
    def merge_edge(
        self, from_node: _NodeRef, label: str, to_node: _NodeRef, **kwargs: _PropValue
    ) -> Edge:
        """The newest outgoing edge of `from_node` with exactly this label,
        target and property map, or, when there is none, a new edge like
        `add_edge()` makes. An edge that differs only in its properties is
        not the same edge. Not committed."""
    def merge_from(
        self,
        other: GraphDB,
        *,
        node_key: Sequence[str] | None = None,
        edge_strategy: _EdgeStrategy = "append",
        on_node_conflict: _NodeConflict = "keep_dst",
    ) -> MergeReport:
        """Copy every live node and edge of `other` (pending changes
        included) into this database and report how source ids map to
        destination ids. Nothing is committed: call `commit()` to keep the
        result or `rollback()` to drop it. `other` is only read.

        `node_key=None` makes every source node a new node. A list of
        property names (not a single str) matches a source node to the
        lowest-id destination node with equal values for all of them (an
        int never equals a float, NaN never matches); source nodes sharing
        a key therefore end on one node. A source node without a key
        property raises MergeError (writes made before stay pending).

        A matched node keeps its labels and, by `on_node_conflict`, its
        properties ("keep_dst"), takes the source's values
        ("overwrite_from_src") or gains only the properties it lacks
        ("merge_props"). `edge_strategy="idempotent"` reuses an existing
        edge with the same endpoints, label and properties instead of
        adding a duplicate ("append", the default, always adds).

        ValueError for an empty `node_key`, an unknown strategy or policy
        (exact, case-sensitive) or `other` being this same object. The two
        databases are never locked at once, so merging A into B and B into
        A from two threads cannot deadlock."""
    def vacuum(self) -> None:
        """Compact the database: commit pending changes, then rewrite the
        file so that it holds only the current labels and properties of
        live records. Ids and the next ids stay; deleted ids are never
        reused. Inside `with db.transaction():` it raises TransactionError.

        The file is rebuilt in `path + ".tmp"` and swapped in atomically.
        Should the database fail to reopen after the swap, this and every
        later call on the handle raises TransactionError telling you to
        close it and open the file again with `orvi.open(path)`."""
    def repair_adjacency(self) -> dict[str, int]:
        """Rebuild every adjacency list and degree counter from the live
        edges and commit (pending changes included). Returns
        {"nodes_rewritten": live nodes, "edges_relinked": live edges}.

        Run it when a read reports a damaged adjacency list. A live edge
        whose endpoint is not a live node raises CorruptedFileError and
        nothing is changed."""
