"""Read-only integrity check of a database file (``orvi check``).

The check reads the file with ``fileformat.DbFile`` and never writes: it
takes no writer lock, replays no commit and removes nothing. What it
verifies:

- the header (magic, version, page size, checksum) and the commit log: a
  pending commit is reported, and when its commit record survived, its page
  images are laid over the file in memory so that the check covers the
  state the next ``orvi.open`` will produce;
- the three extent-index chains (cycles, counts, placement, overlaps) and
  that the node and edge extents cover every id handed out;
- every node and edge slot below the next ids: slot ids, flag bits, blob
  placement inside property extents, and a full decode of every label and
  property blob of a live record;
- the live counts against the header's counters;
- every live node's out-list and in-list, followed with cycle detection:
  each link must name a live edge whose source (out-list) or target
  (in-list) is that node, each list's length must equal the node's degree
  counter, and every live edge must sit in both of its lists.

Problems carry the ids involved. Adjacency problems (lists and degree
counters) are derived data that ``GraphDB.repair_adjacency()`` rebuilds
from the edge slots; the others mean damaged records.
"""

from __future__ import annotations

import bisect
from array import array
from dataclasses import dataclass, field
from typing import Callable, Dict, List, Optional, Tuple

from . import fileformat as ff
from .progress import bar

_LIVE = 1
_DELETED = 2


@dataclass
class Problem:
    where: str
    message: str
    repairable: bool = False

    def __str__(self) -> str:
        return f"{self.where}: {self.message}"


@dataclass
class Report:
    path: str
    problems: List[Problem] = field(default_factory=list)
    notes: List[str] = field(default_factory=list)
    live_nodes: int = 0
    live_edges: int = 0
    blobs_decoded: int = 0
    lists_walked: int = 0

    @property
    def healthy(self) -> bool:
        return not self.problems

    def add(self, where: str, message: str, repairable: bool = False) -> None:
        self.problems.append(Problem(where, message, repairable))


class _PropExtents:
    """Sorted property extents, to place a blob inside one of them."""

    def __init__(self, bases: List[int], prop_tail: int):
        self.bases = sorted(bases)
        self.last = bases[-1] if bases else None
        self.prop_tail = prop_tail

    def placement_error(self, offset: int, length: int) -> Optional[str]:
        if length == 0:
            return None
        if length > ff.MAX_BLOB:
            return f"is {length} bytes, more than the {ff.MAX_BLOB}-byte limit"
        i = bisect.bisect_right(self.bases, offset) - 1
        if i < 0 or offset + length > self.bases[i] + ff.EXTENT_SIZE:
            return f"at 0x{offset:x} (+{length}) lies outside every property extent"
        if self.bases[i] == self.last and offset + length > self.prop_tail:
            return f"at 0x{offset:x} (+{length}) runs past the end of property storage"
        return None


def check_file(path: str, show_progress: bool = False) -> Report:
    """Checks the database at ``path``; raises OSError only when the file
    cannot be opened or read at all."""
    report = Report(path)
    with ff.DbFile(path) as db:
        _Checker(db, report, show_progress).run()
    return report


class _Checker:
    def __init__(self, db: ff.DbFile, report: Report, show_progress: bool):
        self.db = db
        self.report = report
        self.progress = show_progress

    def run(self) -> None:
        report = self.report
        try:
            header = self.db.header()
        except ff.FormatError as e:
            report.add("header", str(e))
            return
        pending = ff.read_pending_commit(self.db, header)
        if pending is not None:
            if pending.problem:
                report.add("commit log", pending.problem + "; opening the database will fail")
                return
            if pending.committed:
                # Opening loads the extent index before it replays the log, so
                # the index as it stands must already be readable.
                for kind in ff.KINDS:
                    try:
                        self.db.walk_chain(kind, header.index_heads[kind])
                    except ff.FormatError as e:
                        report.add("commit log", "a commit awaits recovery, but opening reads "
                                   f"the extent index before replaying it and will fail: {e}")
                        return
                report.notes.append(
                    f"a commit of {pending.length} bytes ({len(pending.images)} pages) awaits "
                    "recovery; opening the database finishes it. The check covers the state "
                    "after recovery."
                )
                self.db.overlay_log(pending.images)
                try:
                    header = self.db.header()
                except ff.FormatError as e:
                    report.add("header", f"after the pending commit: {e}")
                    return
            else:
                report.notes.append(
                    "the commit log holds an incomplete commit (no commit record at its end); "
                    "opening the database discards it. The check covers the committed state."
                )
        chains = self._chains(header)
        if chains is None:
            return
        nodes = self._node_pass(header, chains)
        edges = self._edge_pass(header, chains, nodes)
        if nodes is not None and edges is not None:
            self._adjacency(header, nodes, edges)
        if report.problems and all(p.repairable for p in report.problems):
            report.notes.append(
                "every problem found is in the adjacency lists or degree counters; "
                f"`orvi repair {report.path}` rebuilds them from the edge records "
                "(take a backup first)"
            )

    # -- extent chains -------------------------------------------------------

    def _chains(self, header: ff.Header) -> Optional[Dict[str, ff.Chain]]:
        chains = {}
        for kind in ff.KINDS:
            try:
                chains[kind] = self.db.walk_chain(kind, header.index_heads[kind])
            except ff.FormatError as e:
                self.report.add(f"{kind} extents", str(e))
        if len(chains) < len(ff.KINDS):
            return None
        regions: List[Tuple[int, int, str]] = []
        for kind, chain in chains.items():
            for number, base in enumerate(chain.extents):
                regions.append((base, base + ff.EXTENT_SIZE, f"{kind} extent {number}"))
            for page in chain.index_pages:
                regions.append((page, page + ff.PAGE_SIZE, f"{kind} index page 0x{page:x}"))
        regions.sort()
        for (s1, e1, what1), (s2, _e2, what2) in zip(regions, regions[1:]):
            if s2 < e1:
                self.report.add("layout", f"{what1} overlaps {what2} at 0x{s2:x}")
        for kind, next_id, per_extent in (
            ("node", header.next_node_id, ff.NODE_SLOTS_PER_EXTENT),
            ("edge", header.next_edge_id, ff.EDGE_SLOTS_PER_EXTENT),
        ):
            if next_id == 0:
                self.report.add("header", f"next {kind} id is 0 (ids start at 1)")
                return None
            needed = (next_id - 2) // per_extent + 1 if next_id > 1 else 0
            if needed > len(chains[kind].extents):
                self.report.add(
                    f"{kind} extents",
                    f"ids up to {next_id - 1} need {needed} extents but the index lists "
                    f"{len(chains[kind].extents)}",
                )
                return None
        return chains

    # -- records -------------------------------------------------------------

    def _blob(self, where: str, what: str, offset: int, length: int,
              decode: Callable[[bytes], object]) -> bool:
        error = self.props.placement_error(offset, length)
        if error:
            self.report.add(where, f"{what} blob {error}")
            return False
        if length == 0:
            return True
        try:
            decode(self.db.read(offset, length))
        except ff.DecodeError as e:
            self.report.add(where, f"{what} blob does not decode: {e}")
            return False
        self.report.blobs_decoded += 1
        return True

    def _node_pass(self, header: ff.Header, chains: Dict[str, ff.Chain]):
        report = self.report
        self.props = _PropExtents(chains["prop"].extents, header.prop_tail)
        last = header.next_node_id - 1
        state = bytearray(last + 1)
        heads = {
            "first_out": array("Q", bytes(8 * (last + 1))),
            "first_in": array("Q", bytes(8 * (last + 1))),
            "out_degree": array("Q", bytes(8 * (last + 1))),
            "in_degree": array("Q", bytes(8 * (last + 1))),
        }
        live = 0
        per_page = ff.NODE_SLOTS_PER_PAGE
        with bar(last, "nodes", self.progress, "node") as progress:
            node_id = 1
            while node_id <= last:
                extent, inner = ff.node_slot_position(node_id)
                base = chains["node"].extents[extent]
                slots = self.db.node_slots_of_page(base, inner // ff.PAGE_SIZE)
                for k, slot in enumerate(slots):
                    nid = node_id + k
                    if nid > last:
                        break
                    where = f"node {nid}"
                    if slot.id == 0:
                        continue
                    if slot.id != nid:
                        report.add(where, f"slot holds id {slot.id}")
                        continue
                    if slot.flags & ~ff.DELETED:
                        report.add(where, f"unknown flag bits 0x{slot.flags:02x}")
                    if slot.flags & ff.DELETED:
                        state[nid] = _DELETED
                        continue
                    state[nid] = _LIVE
                    live += 1
                    self._blob(where, "labels", slot.label_offset, slot.label_len,
                               ff.decode_labels)
                    self._blob(where, "property", slot.prop_offset, slot.prop_len,
                               ff.decode_props)
                    heads["first_out"][nid] = slot.first_out
                    heads["first_in"][nid] = slot.first_in
                    heads["out_degree"][nid] = slot.out_degree
                    heads["in_degree"][nid] = slot.in_degree
                count = min(per_page, last - node_id + 1)
                progress.update(count)
                node_id += count
        report.live_nodes = live
        if live != header.node_count:
            report.add("header", f"node count is {header.node_count} but {live} nodes are live")
        return state, heads

    def _edge_pass(self, header: ff.Header, chains: Dict[str, ff.Chain], nodes):
        report = self.report
        node_state = nodes[0]
        last = header.next_edge_id - 1
        state = bytearray(last + 1)
        links = {
            name: array("Q", bytes(8 * (last + 1)))
            for name in ("source", "target", "next_out", "next_in")
        }
        live = 0
        with bar(last, "edges", self.progress, "edge") as progress:
            edge_id = 1
            while edge_id <= last:
                extent, inner = ff.edge_slot_position(edge_id)
                base = chains["edge"].extents[extent]
                slots = self.db.edge_slots_of_page(base, inner // ff.PAGE_SIZE)
                for k, slot in enumerate(slots):
                    eid = edge_id + k
                    if eid > last:
                        break
                    where = f"edge {eid}"
                    if slot.id == 0:
                        continue
                    if slot.id != eid:
                        report.add(where, f"slot holds id {slot.id}")
                        continue
                    if slot.flags & ~ff.DELETED:
                        report.add(where, f"unknown flag bits 0x{slot.flags:02x}")
                    links["source"][eid] = slot.source
                    links["target"][eid] = slot.target
                    links["next_out"][eid] = slot.next_out
                    links["next_in"][eid] = slot.next_in
                    if slot.flags & ff.DELETED:
                        state[eid] = _DELETED
                        continue
                    state[eid] = _LIVE
                    live += 1
                    for end, node in (("source", slot.source), ("target", slot.target)):
                        if node >= len(node_state) or node_state[node] != _LIVE:
                            report.add(where, f"{end} node {node} does not exist")
                    self._blob(where, "label", slot.label_offset, slot.label_len,
                               ff.decode_edge_label)
                    self._blob(where, "property", slot.prop_offset, slot.prop_len,
                               ff.decode_props)
                count = min(ff.EDGE_SLOTS_PER_PAGE, last - edge_id + 1)
                progress.update(count)
                edge_id += count
        report.live_edges = live
        if live != header.edge_count:
            report.add("header", f"edge count is {header.edge_count} but {live} edges are live")
        return state, links

    # -- adjacency -----------------------------------------------------------

    def _adjacency(self, header: ff.Header, nodes, edges) -> None:
        node_state, heads = nodes
        edge_state, links = edges
        seen = {"out": bytearray(len(edge_state)), "in": bytearray(len(edge_state))}
        directions = (
            ("out", "first_out", "out_degree", "next_out", "source"),
            ("in", "first_in", "in_degree", "next_in", "target"),
        )
        with bar(len(node_state) - 1, "adjacency", self.progress, "node") as progress:
            for nid in range(1, len(node_state)):
                progress.update(1)
                if node_state[nid] != _LIVE:
                    continue
                for word, head, degree, nxt, end in directions:
                    count = self._walk(nid, word, heads[head][nid], links[nxt], links[end],
                                       edge_state, seen[word])
                    self.report.lists_walked += 1
                    if count is not None and count != heads[degree][nid]:
                        self.report.add(
                            f"node {nid}",
                            f"{word}_degree is {heads[degree][nid]} but its {word}-list holds "
                            f"{count} edges",
                            repairable=True,
                        )
        for eid in range(1, len(edge_state)):
            if edge_state[eid] != _LIVE:
                continue
            for word, end in (("out", "source"), ("in", "target")):
                node = links[end][eid]
                if seen[word][eid] or node >= len(node_state) or node_state[node] != _LIVE:
                    continue
                self.report.add(
                    f"edge {eid}",
                    f"missing from the {word}-list of its {end} node {node}",
                    repairable=True,
                )

    def _walk(self, nid: int, word: str, cur: int, nxt, end, edge_state,
              seen: bytearray) -> Optional[int]:
        """Follows one list; returns the number of live edges in it, or None
        when the walk had to stop early (the length is then unknown)."""
        where = f"node {nid}"
        visited = set()
        count = 0
        while cur != 0:
            if cur >= len(edge_state) or edge_state[cur] == 0:
                self.report.add(where, f"{word}-list links to edge {cur}, which does not exist",
                                repairable=True)
                return None
            if cur in visited:
                self.report.add(where, f"{word}-list has a cycle (edge {cur} is revisited)",
                                repairable=True)
                return None
            visited.add(cur)
            if edge_state[cur] == _DELETED:
                self.report.add(where, f"{word}-list still holds deleted edge {cur}",
                                repairable=True)
            elif end[cur] != nid:
                self.report.add(
                    where,
                    f"{word}-list holds edge {cur}, whose {'source' if word == 'out' else 'target'}"
                    f" is node {end[cur]}",
                    repairable=True,
                )
            else:
                seen[cur] = 1
                count += 1
            cur = nxt[cur]
        return count
