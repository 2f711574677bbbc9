"""Readers beside the writer: read-only access to a database file that
other processes, or this one, may hold open for writing at the same time.

A writer (``orvi.open``) and any number of readers share one file. Every
reader call sees exactly one committed state, never part of a commit or a
writer's pending changes, and successive calls never go back in time.
Readers take byte-range locks far past the file's end for the few
moments each call reads; a writer takes them around the moments it
writes the file, so neither waits for the other's whole work, and a
steady stream of readers cannot keep a commit out. While the file has not
changed (the writer keeps a change counter in ``FILE-readers`` beside
it), a reader answers from private copies of the pages it read, without
taking its locks.

What a reader cannot do: write; run on a network file system (NFS,
SMB/CIFS, 9P, FUSE and the like are refused, their byte-range locks
cannot be trusted); read a file held by a writer of an older orvi build,
which takes no part in the locking (refused while that writer runs).
A reader made before ``fork()`` does not work in the child.
"""

from __future__ import annotations

import os
from typing import Union

from ._engine import EdgeQuery, NodeQuery, Reader
from ._engine import open_reader as _open_reader

__all__ = ["EdgeQuery", "NodeQuery", "Reader", "open_reader"]


def open_reader(path: Union[str, "os.PathLike[str]"]) -> Reader:
    """A Reader on the existing database file at `path`.

    The file is never written, no lock directory is created and the
    process's registry of open writers is not involved, so a Reader and
    ``orvi.open`` on the same file work side by side, in one process or
    several. Its methods are GraphDB's read methods with the same
    arguments, results and errors; ``with reader.snapshot():`` keeps one
    state across several calls. OSError for a missing file, a file system
    that cannot take part, or a file held by an older build's writer;
    orvi.CorruptedFileError for a file that is no database.
    """
    return _open_reader(path)
