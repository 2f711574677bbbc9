"""The ``orvi`` command.

    orvi info FILE [--json]
    orvi check FILE
    orvi vacuum FILE
    orvi repair FILE
    orvi export FILE [--format jsonl|graphml|csv|parquet] [--output PATH]
    orvi import FILE INPUT [--format jsonl|csv|parquet]

Global options (``--no-progress``) may come before or after the command.
Exit status: 0 success; 1 the command failed (an error from the database,
an import that was refused, problems found by check, a missing optional
package); 2 a usage error or a file that cannot be read at all; 130 an
interruption. Errors are one line on standard error, beginning with
"orvi: error: ". A usage error is one whether the argument parser finds it
(an unknown option, a missing FILE) or the command does (a csv export
without --output, a csv import of a file): it says so, ends with where to
read the command's usage, and exits 2.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from typing import Any, NoReturn, Optional, Sequence

import orvi

from . import __version__, _engine
from .batch import ImportFailed
from .check import check_file
from .exchange import FORMATS_IN, FORMATS_OUT, FormatProblem
from .reader import open_reader
from .fileops import (CopyInUse, ImportInterrupted, NoDatabase, UsageError,
                      clear_import_leftovers, default_import_format, export_file, import_file,
                      info, require_file)
from .tables import MissingPackage

EXIT_OK = 0
EXIT_FAILED = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130


class _Failure(Exception):
    def __init__(self, message: str, status: int = EXIT_FAILED):
        super().__init__(message)
        self.status = status


_EXPORT_HELP = """\
Writes the whole graph. jsonl and graphml go to standard output unless
--output names a file; csv and parquet write nodes.<format> and
edges.<format> into the --output directory (created when missing). An
existing output is replaced, in every format, and only once the export is
complete: a failed export leaves it as it was."""

_IMPORT_HELP = """\
Adds every record of INPUT to FILE, all or nothing: the records go into a
copy of FILE (FILE.importing), which replaces FILE only once all of them
were written; on any error or interruption FILE is left as it was. Needs
free disk space for the copy."""

_INFO_HELP = """\
Prints the header's counts and next ids, the extents, the file size, a
commit awaiting recovery, who holds the writer lock, and a copy left by an
interrupted import. Reads the file without opening the database, so it
works while another process has it open."""

_CHECK_HELP = """\
Reads every part of the file (header, commit log, extent index, record
slots, label and property blobs, adjacency lists and degree counters) and
prints each problem found; exit status 1 when there is one. Never writes
and takes no lock."""

_BACKUP_HELP = """\
Write a consistent copy of the last committed state of FILE to DEST while a
writer keeps working. The copy is read under the readers' lock: the
writer's commits wait while it is made (its transactions go on), and DEST
appears in one step once the copy is whole and durable. The copy opens
without recovery. Refused on network file systems.
"""

_VACUUM_HELP = """\
Rewrites the file without the space left by deleted records and replaced
property maps, keeping every id. Needs free space for a temporary copy."""

_REPAIR_HELP = """\
Rebuilds every node's adjacency lists and degree counters from the edge
records and commits. For files whose lists are damaged (see orvi check);
take a backup first."""


class _Parser(argparse.ArgumentParser):
    """argparse's parser with its usage errors reported like every other
    error: one line, exit status 2."""

    def error(self, message: str) -> "NoReturn":
        self.exit(EXIT_USAGE, f"orvi: error: {_usage_message(message, self.prog)}\n")


def _usage_message(message: str, prog: str) -> str:
    return f"{_one_line(message)} (see `{prog} --help`)"


def _global_options(parser: argparse.ArgumentParser, default: Any) -> None:
    """Options accepted before the command and after it. Below the command
    the default is SUPPRESS, so that an option given before the command is
    not reset by the command's parser."""
    parser.add_argument("--no-progress", action="store_true", default=default,
                        help="never draw progress bars (they are drawn only on a terminal)")


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="orvi",
        description="Inspect, check, compact, repair, export and import orvi graph databases.",
    )
    _global_options(parser, False)
    # The tools ship with the module and share its version: print it once.
    parser.add_argument("--version", action="version", version=f"orvi {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True

    def command(name: str, file_help: str = "the database file",
                **kwargs: Any) -> argparse.ArgumentParser:
        """A subcommand whose first argument is FILE."""
        p = sub.add_parser(name, **kwargs)
        _global_options(p, argparse.SUPPRESS)
        p.add_argument("file", metavar="FILE", help=file_help)
        return p

    p = command("info", help="show what the file holds, without opening it for writing",
                description=_INFO_HELP)
    p.add_argument("--json", action="store_true", help="print one JSON object")

    command("check", help="read-only integrity check; exit status 1 on problems",
            description=_CHECK_HELP)
    p = command("backup", help="copy the last committed state while a writer works",
                description=_BACKUP_HELP)
    p.add_argument("dest", metavar="DEST", help="the copy (replaced when it exists)")
    command("vacuum", help="compact the file (rewrites it, keeps every id)",
            description=_VACUUM_HELP)
    command("repair", help="rebuild adjacency lists and degree counters",
            description=_REPAIR_HELP)

    p = command("export", help="write the whole graph as jsonl, graphml, csv or parquet",
                description=_EXPORT_HELP)
    p.add_argument("--format", "-f", choices=FORMATS_OUT, default="jsonl",
                   help="output format (default: jsonl)")
    p.add_argument("--output", "-o", metavar="PATH",
                   help="output file (default: standard output); for csv and parquet a "
                        "directory; an existing output is replaced once the export is complete")
    p.add_argument("--labels-attr", default="labels", help="graphml key of node labels")
    p.add_argument("--label-attr", default="label", help="graphml key of edge labels")

    p = command("import", file_help="the database file (created when missing)",
                help="add the records of a jsonl file or a csv or parquet directory, all or "
                     "nothing", description=_IMPORT_HELP)
    p.add_argument("input", metavar="INPUT",
                   help="a jsonl file, or a directory holding nodes.csv or nodes.parquet "
                        "(and edges.csv or edges.parquet)")
    p.add_argument("--format", "-f", choices=FORMATS_IN,
                   help="default: jsonl for a file; for a directory parquet when it holds "
                        "nodes.parquet and no nodes.csv, csv otherwise")
    return parser


def _cmd_info(args: argparse.Namespace) -> int:
    try:
        facts = info(args.file)
    except _engine.FormatError as e:
        raise _Failure(f"{args.file}: {e} (run `orvi check {args.file}` for details)")
    if args.json:
        print(json.dumps(facts, indent=2))
        return EXIT_OK
    extents = facts["extents"]
    rows = [
        ("file", facts["file"]),
        ("file size", f"{facts['file_size']} bytes"),
        ("format", facts["format"]),
        ("nodes", f"{facts['node_count']} (next id {facts['next_node_id']})"),
        ("edges", f"{facts['edge_count']} (next id {facts['next_edge_id']})"),
        ("extents", f"{extents['node']} node, {extents['edge']} edge, {extents['prop']} property"
                    " (1 MiB each)"),
        ("property bytes", str(facts["property_bytes"])),
        ("pending commit", facts["pending_commit"]),
        ("writer lock", facts["lock"]),
    ]
    if facts["import_leftover"] is not None:
        rows.append(("import leftover", facts["import_leftover"]))
    for name, value in rows:
        print(f"{name:<15} {value}")
    return EXIT_OK


def _cmd_check(args: argparse.Namespace) -> int:
    require_file(args.file)
    lock = _engine.lock_state(args.file)
    report = check_file(args.file, show_progress=not args.no_progress)
    if lock["present"] and lock["alive"]:
        report.notes.insert(0, f"process {lock['pid']} has the database open; the check reads "
                               "the last committed state (commits wait while it reads)")
    print(f"checked {args.file}: {report.live_nodes} nodes, {report.live_edges} edges, "
          f"{report.blobs_decoded} blobs decoded, {report.lists_walked} adjacency lists walked")
    for problem in report.problems:
        print(problem)
    for note in report.notes:
        print(f"note: {note}")
    if report.healthy:
        print("no problems found")
        return EXIT_OK
    count = len(report.problems)
    print(f"{count} problem{'s' if count != 1 else ''} found")
    return EXIT_FAILED


def _open_existing(path: str) -> "orvi.GraphDB":
    """The database opened for writing; holding its lock, the copy a killed
    import left beside it is removed (unless a live process holds it)."""
    require_file(path)
    db = orvi.open(path)
    try:
        clear_import_leftovers(path)
    except BaseException:
        db.close()
        raise
    return db


def _cmd_vacuum(args: argparse.Namespace) -> int:
    with _open_existing(args.file) as db:
        if not hasattr(db, "vacuum"):
            raise _Failure("this orvi module has no vacuum(); upgrade orvi")
        before = os.path.getsize(args.file)
        db.vacuum()
    after = os.path.getsize(args.file)
    print(f"vacuumed {args.file}: {before} -> {after} bytes")
    return EXIT_OK


def _cmd_repair(args: argparse.Namespace) -> int:
    with _open_existing(args.file) as db:
        if not hasattr(db, "repair_adjacency"):
            raise _Failure("this orvi module has no repair_adjacency(); upgrade orvi")
        counts = db.repair_adjacency()
    print(f"repaired {args.file}: {counts['nodes_rewritten']} nodes rewritten, "
          f"{counts['edges_relinked']} edges relinked")
    return EXIT_OK


def _cmd_export(args: argparse.Namespace) -> int:
    nodes, edges = export_file(args.file, args.format, args.output,
                               show_progress=not args.no_progress,
                               labels_attr=args.labels_attr, label_attr=args.label_attr)
    if args.output not in (None, "-"):
        print(f"exported {nodes} nodes and {edges} edges to {args.output}")
    return EXIT_OK


def _cmd_import(args: argparse.Namespace) -> int:
    fmt = args.format or default_import_format(args.input)
    existed = os.path.exists(args.file)
    outcome = "is unchanged" if existed else "was not created"
    try:
        stats = import_file(args.file, args.input, fmt, show_progress=not args.no_progress)
    except UsageError:
        raise
    except ImportInterrupted as e:
        if e.completed:
            raise _Failure(f"interrupted after the import into {args.file} was complete",
                           EXIT_INTERRUPTED) from None
        raise _Failure(f"import interrupted, {args.file} {outcome}", EXIT_INTERRUPTED) from None
    except (FormatProblem, ImportFailed, CopyInUse, orvi.GraphDBError, OSError, ValueError,
            MissingPackage) as e:
        raise _Failure(f"import failed, {args.file} {outcome}: {_describe(e)}") from e
    print(f"imported {stats.nodes} nodes and {stats.edges} edges into {args.file} "
          f"({stats.commits} commit{'s' if stats.commits != 1 else ''})")
    return EXIT_OK


def _cmd_backup(args: argparse.Namespace) -> int:
    require_file(args.file)
    with open_reader(args.file) as reader:
        reader.backup(args.dest)
    print(f"copied {args.file} to {args.dest}")
    return EXIT_OK


_COMMANDS = {
    "backup": _cmd_backup,
    "info": _cmd_info,
    "check": _cmd_check,
    "vacuum": _cmd_vacuum,
    "repair": _cmd_repair,
    "export": _cmd_export,
    "import": _cmd_import,
}


def _describe(error: BaseException) -> str:
    if isinstance(error, OSError) and error.filename and error.strerror:
        return f"{error.filename}: {error.strerror}"
    return str(error)


def _one_line(text: str) -> str:
    return " ".join(str(text).split())


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs the command line; returns the exit status."""
    args = _parser().parse_args(list(argv) if argv is not None else None)
    try:
        return _COMMANDS[args.command](args)
    except _Failure as e:
        message, status = str(e), e.status
    except NoDatabase as e:
        message, status = str(e), EXIT_USAGE
    except UsageError as e:
        message, status = _usage_message(str(e), f"orvi {args.command}"), EXIT_USAGE
    except (orvi.GraphDBError, FormatProblem, ValueError, MissingPackage) as e:
        message, status = str(e), EXIT_FAILED
    except BrokenPipeError:
        # The reader of standard output went away (`orvi export FILE | head`):
        # stop quietly, and keep Python from complaining at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_FAILED
    except OSError as e:
        message, status = _describe(e), EXIT_USAGE
    except KeyboardInterrupt:
        message, status = "interrupted", EXIT_INTERRUPTED
    print(f"orvi: error: {_one_line(message)}", file=sys.stderr)
    return status

