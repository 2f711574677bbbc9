"""Whole-file operations behind the command line: export, import, info.

Import is all-or-nothing. It runs on a copy that no one else can see, so
the copy is built directly, each page written once and without the commit
log (``build``):

1. open the database (creating an empty one when the file is missing);
   this takes its writer lock and finishes any interrupted commit, and the
   lock is held to the end, so no other writer can touch the file and the
   copy's name below belongs to this import alone;
2. copy the file to ``FILE.importing`` beside it and build the records
   into the copy, which the builder flushes to disk once at the end;
3. on success rename the copy over the original (an atomic replace), then
   flush the directory and tell the file's readers (its change counter);
4. on any failure remove the copy; the original was never written. A
   database file that this import had to create is removed again, with
   the change counter its writer made.

The copy needs as much free space as the database itself. A copy left by a
killed import stays, with its lock directory, until a later command holds
the writer lock of FILE again (``clear_import_leftovers``); ``info``
mentions it meanwhile.
"""

from __future__ import annotations

import contextlib
import os
import shutil
import sys
from dataclasses import dataclass
from typing import Any, Callable, Dict, Iterator, Optional, Tuple

import orvi

from . import _engine
from .build import Loader, feed_csv, feed_jsonl, load_records
from .exchange import (DIRECTORY_FORMATS, FORMATS_IN, Record, export_csv, export_graphml,
                       export_jsonl, input_size, read_csv_dir, read_jsonl, replaced_file)
from .progress import bar

IMPORT_SUFFIX = ".importing"
# The change counter a writer keeps beside the database for its readers.
READERS_SUFFIX = "-readers"


class NoDatabase(Exception):
    """The named database file does not exist."""


class UsageError(ValueError):
    """The command names an input or output the command cannot use."""


class CopyInUse(Exception):
    """A live process holds the lock of the import copy of a database."""


class ImportInterrupted(KeyboardInterrupt):
    """The import was interrupted. ``completed`` says whether the imported
    copy had already replaced the database (the import then took effect)."""

    def __init__(self, completed: bool):
        super().__init__()
        self.completed = completed


def require_file(path: str) -> None:
    if not os.path.exists(path):
        raise NoDatabase(f"{path}: no such database file")
    if os.path.isdir(path):
        raise NoDatabase(f"{path}: is a directory, not a database file")


def committed_next_ids(path: str) -> Tuple[int, int]:
    """The next node and edge ids from the file's header (read after the
    database was opened, so no commit is pending)."""
    with _engine.open(path) as db:
        header = db.header()
    return header["next_node_id"], header["next_edge_id"]


@contextlib.contextmanager
def _output(target: Optional[str]) -> Iterator[Any]:
    """A text stream on ``target`` ("-" or None: standard output). A file
    is written under a temporary name and replaces ``target`` when done,
    so a failed export leaves no half-written file and an existing one as
    it was."""
    if target in (None, "-"):
        yield sys.stdout
        sys.stdout.flush()
        return
    assert target is not None
    with replaced_file(target) as partial:
        with open(partial, "w", encoding="utf-8", newline="\n") as f:
            yield f


def read_input(fmt: str, path: str) -> Iterator[Record]:
    """The records of an import source in the given format."""
    if fmt == "jsonl":
        return read_jsonl(path)
    if fmt == "csv":
        return read_csv_dir(path)
    raise ValueError(f"unknown import format {fmt!r} (use one of {', '.join(FORMATS_IN)})")


def export_file(path: str, fmt: str, output: Optional[str], show_progress: bool = False,
                labels_attr: str = "labels", label_attr: str = "label") -> Tuple[int, int]:
    """Exports the database at ``path``; returns (nodes, edges). Every
    format replaces an existing output (for the directory formats, the
    node and edge files in it) only once the export is complete."""
    require_file(path)
    if fmt in DIRECTORY_FORMATS and output in (None, "-"):
        raise UsageError(f"{fmt} export writes two files: name a directory with --output")
    if fmt == "parquet":
        from .tables import require
        require("pyarrow", "parquet")
    with orvi.open(path) as db:
        next_ids = committed_next_ids(path)
        if fmt == "csv":
            assert output is not None
            return export_csv(db, output, next_ids, show_progress)
        if fmt == "parquet":
            from .tables import export_parquet
            assert output is not None
            return export_parquet(db, output, next_ids, show_progress)
        with _output(output) as out:
            if fmt == "jsonl":
                return export_jsonl(db, out, next_ids, show_progress)
            if fmt == "graphml":
                return export_graphml(db, out, next_ids, show_progress, labels_attr, label_attr)
    raise ValueError(f"unknown export format {fmt!r}")


def _wants_directory(source: str, fmt: str) -> UsageError:
    return UsageError(f"{source}: a {fmt} import reads a directory holding nodes.{fmt} "
                      f"(and edges.{fmt}), not a single file: name the directory")


def default_import_format(source: str) -> str:
    """jsonl for a file; for a directory parquet when it holds
    nodes.parquet and no nodes.csv, else csv. A file named like a table of
    a directory format (``DIR/nodes.csv``) is a usage error saying so."""
    if not os.path.isdir(source):
        suffix = os.path.splitext(source)[1].lower().lstrip(".")
        if suffix in DIRECTORY_FORMATS:
            raise _wants_directory(source, suffix)
        return "jsonl"
    if (os.path.isfile(os.path.join(source, "nodes.parquet"))
            and not os.path.isfile(os.path.join(source, "nodes.csv"))):
        return "parquet"
    return "csv"


@dataclass
class ImportStats:
    nodes: int
    edges: int
    commits: int
    splits: int


def _fsync_path(path: str, directory: bool = False) -> None:
    fd = os.open(path, os.O_RDONLY | (getattr(os, "O_DIRECTORY", 0) if directory else 0))
    try:
        os.fsync(fd)
    except OSError:
        if not directory:
            raise
    finally:
        os.close(fd)


def _remove(path: str) -> None:
    with contextlib.suppress(FileNotFoundError):
        os.remove(path)


def load_into(path: str, feed: Callable[[Loader, Any], None], total: Optional[int] = None,
              show_progress: bool = False) -> Loader:
    """Builds what ``feed(loader, progress)`` adds into a copy of the
    database at ``path`` and puts the copy in its place when complete
    (see the module comment); returns the loader."""
    created = not os.path.exists(path)
    original = orvi.open(path)
    copy = path + IMPORT_SUFFIX
    done = False
    ours = False  # whether the name `copy` is this import's to remove
    try:
        if not clear_import_leftovers(path):
            raise CopyInUse(f"{copy} is held by a running process (another import may still "
                            "be running)")
        ours = True
        shutil.copyfile(path, copy)
        shutil.copymode(path, copy)
        builder = _engine.builder(copy)
        try:
            loader = Loader(builder)
            with bar(total, "import", show_progress, "rec") as progress:
                feed(loader, progress)
            loader.finish()
        finally:
            builder.close()
        os.replace(copy, path)
        done = True
        _fsync_path(os.path.dirname(os.path.abspath(path)), directory=True)
        return loader
    except KeyboardInterrupt:
        raise ImportInterrupted(done) from None
    finally:
        if ours and not done:
            _remove(copy)
        original.close()
        if done:
            # Once the writer is gone (readers refuse a name whose writer
            # marked another file), so that readers look at the name again.
            _engine.note_replaced(path)
        if created and not done:
            _remove(path)
            _remove(path + READERS_SUFFIX)


def clear_import_leftovers(path: str) -> bool:
    """Removes the copy a killed import left beside ``path`` and the copy's
    lock directory. Call it only while holding the writer lock of
    ``path``: every import holds that lock to its end, so no import of
    ``path`` is then running. Even so the copy is left alone, and False
    returned, when a live process holds the copy's own lock; a stale one
    is reclaimed as an open would reclaim it."""
    copy = path + IMPORT_SUFFIX
    if not _engine.clear_stale_lock(copy):
        return False
    _remove(copy)
    return True


def _leftover_text(path: str) -> Optional[str]:
    """What ``info`` says about an import copy beside ``path``; None when
    there is none."""
    copy = path + IMPORT_SUFFIX
    lock = _engine.lock_state(copy)
    has_copy = os.path.isfile(copy)
    if not has_copy and not lock["present"]:
        return None
    if lock["present"] and (lock["alive"] or lock["pid"] is None):
        owner = (f"process {lock['pid']}" if lock["pid"] is not None
                 else "a lock that names no owner")
        return f"{copy} is held by {owner}: an import may be running"
    parts = []
    if has_copy:
        parts.append(f"{copy} ({os.path.getsize(copy)} bytes)")
    if lock["present"]:
        parts.append(f"the stale lock directory {lock['directory']}")
    return (f"{' and '.join(parts)}, left by an interrupted import; the next "
            "`orvi import`, `orvi vacuum` or `orvi repair` of this file removes "
            f"{'them' if len(parts) > 1 else 'it'}")


def import_file(path: str, source: str, fmt: str, show_progress: bool = False) -> ImportStats:
    """Imports ``source`` into the database at ``path``, all or nothing
    (see the module comment)."""
    if fmt in DIRECTORY_FORMATS and not os.path.isdir(source):
        if os.path.isfile(source):
            raise _wants_directory(source, fmt)
        raise UsageError(f"{source}: no such input directory")
    if fmt not in DIRECTORY_FORMATS and not os.path.isfile(source):
        if os.path.isdir(source):
            raise UsageError(f"{source}: is a directory; a {fmt} import reads one file")
        raise UsageError(f"{source}: no such input file")
    total = input_size(fmt, source) if show_progress else None
    if fmt == "parquet":
        from .tables import feed_parquet_dir
        loader = load_into(path, lambda loader, progress: feed_parquet_dir(
            loader, source, progress), total, show_progress)
    elif fmt in ("jsonl", "csv"):
        feed = feed_jsonl if fmt == "jsonl" else feed_csv
        loader = load_into(path, lambda loader, progress: feed(loader, source, progress),
                           total, show_progress)
    else:
        loader = load_into(path, lambda loader, progress: load_records(
            loader, read_input(fmt, source), progress), total, show_progress)
    # The whole import became durable in the builder's one flush.
    return ImportStats(loader.nodes, loader.edges, 1, 0)


def info(path: str) -> Dict[str, Any]:
    """What the file says about itself, read through the engine without
    opening the database (no lock is taken and nothing is written, so this
    works while another process has the database open). _engine.FormatError
    for a damaged header or extent index."""
    require_file(path)
    with _engine.open(path) as db:
        header = db.header()
        pending = db.pending_commit()
        extents = {kind: len(db.chain(kind)["extents"]) for kind in ("node", "edge", "prop")}
        prop_used = db.property_bytes()
    lock = _engine.lock_state(path)
    if not lock["present"]:
        lock_text = "free"
    elif lock["pid"] is None:
        lock_text = f"held (lock directory {lock['directory']} names no owner)"
    elif lock["alive"]:
        lock_text = f"held by process {lock['pid']}"
    else:
        lock_text = f"stale (process {lock['pid']} is gone; the next open reclaims it)"
    if pending is None:
        pending_text = "none"
    elif pending["problem"] is not None:
        pending_text = f"damaged commit log: {pending['problem']}"
    elif pending["complete"]:
        pending_text = (f"a commit of {pending['length']} bytes awaits recovery "
                        "(the next open finishes it; figures above include it)")
    else:
        pending_text = "an incomplete commit (the next open drops it)"
    return {
        "file": path,
        "file_size": os.path.getsize(path),
        "format": header["format"],
        "node_count": header["node_count"],
        "edge_count": header["edge_count"],
        "next_node_id": header["next_node_id"],
        "next_edge_id": header["next_edge_id"],
        "extents": extents,
        "property_bytes": prop_used,
        "pending_commit": pending_text,
        "lock": lock_text,
        "import_leftover": _leftover_text(path),
    }
