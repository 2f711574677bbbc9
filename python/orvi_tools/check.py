"""Read-only integrity check of a database file (``orvi check``).

The engine opens the file read-only (``_engine.open``): no writer lock is
taken and nothing is written. A pending commit is judged as ``orvi.open``
judges it: a log that would make opening fail is reported; a complete one
is replayed in memory only, so the check covers the state the next open
will produce; an incomplete one is ignored, as opening drops it.

The checks run in the engine, in this order: the extent-index chains
(cycles, counts, placement, overlaps) and that the extents cover every id
handed out; every node and edge slot below the next ids (slot ids, flag
bits, blob placement, a decode of every blob of a live record, the
endpoints of live edges); the live counts against the header's counters;
every live node's out-list and in-list, walked with cycle detection
against its degree counters, and that every live edge sits in both of its
lists.

Problems carry the ids involved. Adjacency problems (lists and degree
counters) are derived data that ``GraphDB.repair_adjacency()`` rebuilds
from the edge slots; the others mean damaged records.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, List

from . import _engine
from .progress import bar

_UNITS = {"nodes": "node", "edges": "edge", "adjacency": "node"}


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


def check_file(path: str, show_progress: bool = False) -> Report:
    """Checks the database at ``path``; raises OSError only when the file
    cannot be opened or read at all."""
    report = Report(path)
    try:
        db = _engine.open(path)
    except _engine.FormatError as e:
        report.add("header", str(e))
        return report
    with db:
        pending = db.pending_commit()
        if pending is not None:
            if pending["problem"] is not None:
                report.add("commit log", f"{pending['problem']}; opening the database will fail")
                return report
            if pending["complete"]:
                report.notes.append(
                    f"a commit of {pending['length']} bytes ({pending['pages']} pages) awaits "
                    "recovery; opening the database finishes it. The check covers the state "
                    "after recovery."
                )
            else:
                report.notes.append(
                    "the commit log holds an incomplete commit (no commit record at its end); "
                    "opening the database discards it. The check covers the committed state."
                )

        def progress(name: str, total: int) -> Any:
            return bar(total, name, True, _UNITS.get(name, "it"))

        found = db.check(progress if show_progress else None)
    for where, message, repairable in found["problems"]:
        report.add(where, message, repairable)
    report.live_nodes = found["live_nodes"]
    report.live_edges = found["live_edges"]
    report.blobs_decoded = found["blobs_decoded"]
    report.lists_walked = found["lists_walked"]
    if report.problems and all(p.repairable for p in report.problems):
        report.notes.append(
            "every problem found is in the adjacency lists or degree counters; "
            f"`orvi repair {report.path}` rebuilds them from the edge records "
            "(take a backup first)"
        )
    return report
