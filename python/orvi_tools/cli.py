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
package); 2 a usage error or a file that cannot be read at all. Errors are
one line on standard error, beginning with "orvi: error: ".
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from typing import Any, Optional, Sequence

import orvi

from . import __version__, _engine
from .batch import ImportFailed
from .check import check_file
from .exchange import FORMATS_IN, FORMATS_OUT, FormatProblem
from .fileops import (NoDatabase, default_import_format, export_file, import_file, info,
                      require_file)
from .tables import MissingPackage

EXIT_OK = 0
EXIT_FAILED = 1
EXIT_USAGE = 2


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


def _global_options(parser: argparse.ArgumentParser, default: Any) -> None:
    """Options accepted before the command and after it. Below the command
    the default is SUPPRESS, so that an option given before the command is
    not reset by the command's parser."""
    parser.add_argument("--no-progress", action="store_true", default=default,
                        help="never draw progress bars (they are drawn only on a terminal)")


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="orvi",
        description="Inspect, check, compact, repair, export and import orvi graph databases.",
    )
    _global_options(parser, False)
    # The tools ship with the module and share its version: print it once.
    parser.add_argument("--version", action="version", version=f"orvi {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True

    def command(name: str, **kwargs: Any) -> argparse.ArgumentParser:
        p = sub.add_parser(name, **kwargs)
        _global_options(p, argparse.SUPPRESS)
        return p

    p = command("info", help="show what the file holds, without opening it for writing")
    p.add_argument("file", metavar="FILE")
    p.add_argument("--json", action="store_true", help="print one JSON object")

    p = command("check", help="read-only integrity check; exit status 1 on problems")
    p.add_argument("file", metavar="FILE")

    p = command("vacuum", help="compact the file (rewrites it, keeps every id)")
    p.add_argument("file", metavar="FILE")

    p = command("repair", help="rebuild adjacency lists and degree counters")
    p.add_argument("file", metavar="FILE")

    p = command("export", help="write the whole graph as jsonl, graphml, csv or parquet",
                       description=_EXPORT_HELP)
    p.add_argument("file", metavar="FILE")
    p.add_argument("--format", "-f", choices=FORMATS_OUT, default="jsonl")
    p.add_argument("--output", "-o", metavar="PATH",
                   help="output file (default: standard output); for csv and parquet a "
                        "directory; an existing output is replaced once the export is complete")
    p.add_argument("--labels-attr", default="labels", help="graphml key of node labels")
    p.add_argument("--label-attr", default="label", help="graphml key of edge labels")

    p = command("import", help="add the records of a jsonl file or a csv or parquet "
                                "directory, all or nothing")
    p.add_argument("file", metavar="FILE", help="the database (created when missing)")
    p.add_argument("input", metavar="INPUT")
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
    for name, value in rows:
        print(f"{name:<15} {value}")
    return EXIT_OK


def _cmd_check(args: argparse.Namespace) -> int:
    require_file(args.file)
    lock = _engine.lock_state(args.file)
    report = check_file(args.file, show_progress=not args.no_progress)
    if lock["present"] and lock["alive"]:
        report.notes.insert(0, f"process {lock['pid']} has the database open; the check reads "
                               "the last committed state and may see a commit in progress")
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
    require_file(path)
    return orvi.open(path)


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
    try:
        stats = import_file(args.file, args.input, fmt, show_progress=not args.no_progress)
    except (FormatProblem, ImportFailed, orvi.GraphDBError, OSError, ValueError,
            MissingPackage) as e:
        outcome = "is unchanged" if existed else "was not created"
        raise _Failure(f"import failed, {args.file} {outcome}: {_describe(e)}") from e
    print(f"imported {stats.nodes} nodes and {stats.edges} edges into {args.file} "
          f"({stats.commits} commit{'s' if stats.commits != 1 else ''})")
    return EXIT_OK


_COMMANDS = {
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
        message, status = "interrupted", 130
    print(f"orvi: error: {_one_line(message)}", file=sys.stderr)
    return status

