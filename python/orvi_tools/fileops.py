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
   flush the directory;
4. on any failure remove the copy; the original was never written. A
   database file that this import had to create is removed again.

The copy needs as much free space as the database itself. A copy left by a
crash is replaced by the next import.
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
from .build import Loader, load_records
from .exchange import (DIRECTORY_FORMATS, export_csv, export_graphml, export_jsonl,
                       input_size, read_input, replaced_file)
from .progress import bar

IMPORT_SUFFIX = ".importing"


class NoDatabase(Exception):
    """The named database file does not exist."""


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


def export_file(path: str, fmt: str, output: Optional[str], show_progress: bool = False,
                labels_attr: str = "labels", label_attr: str = "label") -> Tuple[int, int]:
    """Exports the database at ``path``; returns (nodes, edges). Every
    format replaces an existing output (for the directory formats, the
    node and edge files in it) only once the export is complete."""
    require_file(path)
    if fmt in DIRECTORY_FORMATS and output in (None, "-"):
        raise ValueError(f"{fmt} export writes two files: name a directory with --output")
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


def default_import_format(source: str) -> str:
    """jsonl for a file; for a directory parquet when it holds
    nodes.parquet and no nodes.csv, else csv."""
    if not os.path.isdir(source):
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
    try:
        _remove(copy)
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
        _fsync_path(os.path.dirname(os.path.abspath(path)), directory=True)
        done = True
        return loader
    finally:
        if not done:
            _remove(copy)
        original.close()
        if created and not done:
            _remove(path)


def import_file(path: str, source: str, fmt: str, show_progress: bool = False) -> ImportStats:
    """Imports ``source`` into the database at ``path``, all or nothing
    (see the module comment)."""
    if fmt in DIRECTORY_FORMATS and not os.path.isdir(source):
        raise ValueError(f"{source}: {fmt} import reads a directory holding nodes.{fmt} "
                         f"(and edges.{fmt})")
    if fmt not in DIRECTORY_FORMATS and not os.path.isfile(source):
        raise ValueError(f"{source}: no such input file")
    total = input_size(fmt, source) if show_progress else None
    if fmt == "parquet":
        from .tables import feed_parquet_dir
        loader = load_into(path, lambda loader, progress: feed_parquet_dir(
            loader, source, progress), total, show_progress)
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
    }
