#!/usr/bin/env python3
"""Loading one graph from Parquet files: `orvi import` against a plain
SQLite script and kuzu's COPY FROM (when kuzu is installed), each in its
own process; also `orvi import` of the same graph as JSONL and CSV.

    python bench/import_compare.py                  # 100k / 500k, then 1M / 5M
    python bench/import_compare.py --scales 100000  # 100k nodes, 500k edges only
    python bench/import_compare.py --scales 100000 --rows orvi-jsonl,orvi-csv \
        --before 7a99466                            # JSONL and CSV, before and after

The graph comes from bench/graphgen.py (2 labels and 3 properties per node,
1 property per edge, five edges per node), written once to nodes.parquet
and edges.parquet in the layout `orvi import` reads; the JSONL and CSV
inputs are `orvi export`s of the imported file. Every row is a whole
process timed from start to exit, start-up and the final flush included,
into a fresh file; the best of --rounds runs is shown (one run at a
million nodes unless --rounds-large says otherwise), with the load
average before and after. Rows:

- orvi import: `python -m orvi_tools import DB DIR` (Parquet);
- orvi jsonl, orvi csv: the same import from the JSONL file and the CSV
  directory;
- jsonl-python (not run unless named in --rows): the JSONL file after a
  first line that the builder's parser declines (a NaN literal), so that
  the Python reader reads the whole file;
- orvi BatchWriter: the same records committed in batches through the
  log, as `orvi import` loaded them before it built files directly (at the
  first scale only: it takes minutes at a million nodes);
- SQLite: pyarrow reads the files, `executemany` in one transaction,
  synchronous FULL, properties as JSON text, indexes on the edge ends;
- kuzu: `COPY FROM` the same files (only when `import kuzu` works);
- with --before COMMIT, jsonl@COMMIT and csv@COMMIT: the JSONL and CSV
  imports of the Python package as it was at COMMIT (`git archive` of its
  python/), run on the engine built now, followed by each of them with
  its speed-up from then to now. 7a99466 is the last commit before the
  graph builder, when every import went through the log.

Peak memory is each import's own: a small wrapper process starts it and
reads the kernel's peak RSS of its child (the wrapper's own few MiB are the
floor; a child forked straight from this script would count the memory it
inherited). "written" is what the process wrote to the disk as the kernel
counts it (/proc write_bytes), set against the rate the disk sustained in a
probe made here first: 256 MiB written and fsync'ed.
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
from typing import Callable

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, HERE)

import graphgen as gg  # noqa: E402

# Runs argv[1:] as its child and prints its wall seconds, peak RSS in KiB,
# exit status and the bytes it wrote to storage; the reaped child's I/O
# counts join this process's own in /proc/self/io.
WRAPPER = r"""
import os, sys, time
start = time.perf_counter()
pid = os.posix_spawn(sys.argv[1], sys.argv[1:], os.environ)
_, status, usage = os.wait4(pid, 0)
seconds = time.perf_counter() - start
written = 0
with open("/proc/self/io") as f:
    for line in f:
        if line.startswith("write_bytes:"):
            written = int(line.split()[1])
print(seconds, usage.ru_maxrss, os.waitstatus_to_exitcode(status), written)
"""


def child(args: list[str], package: str = os.path.join(REPO, "python")
          ) -> tuple[float, int, int, int]:
    """(wall seconds, peak RSS in MiB, exit status, bytes written) of one
    Python process run with `args`, importing orvi_tools from `package`."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [package] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
    out = subprocess.run([sys.executable, "-c", WRAPPER, sys.executable, *args], env=env,
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                         check=True).stdout.split("\n")[-2].split()
    seconds, rss, status, written = out
    return float(seconds), int(rss) // 1024, int(status), int(written)


def disk_rate(directory: str, size: int = 256 << 20) -> float:
    """Bytes per second the disk under `directory` sustains for a large
    write made durable with one fsync."""
    path = os.path.join(directory, "write-probe")
    block = os.urandom(1 << 20)
    start = time.perf_counter()
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    try:
        for _ in range(size >> 20):
            os.write(fd, block)
        os.fsync(fd)
    finally:
        os.close(fd)
        seconds = time.perf_counter() - start
        os.remove(path)
    return size / seconds

SQLITE_SCRIPT = r"""
import json, sqlite3, sys
import pyarrow.parquet as pq
src, db = sys.argv[1], sys.argv[2]
conn = sqlite3.connect(db, isolation_level=None)
conn.execute("PRAGMA journal_mode=DELETE")
conn.execute("PRAGMA synchronous=FULL")
conn.executescript('''
CREATE TABLE nodes (id INTEGER PRIMARY KEY, key INTEGER, labels TEXT, props TEXT);
CREATE TABLE edges (id INTEGER PRIMARY KEY, src INTEGER, dst INTEGER, label TEXT, props TEXT);
''')
conn.execute("BEGIN")
nodes = pq.read_table(src + "/nodes.parquet").to_pydict()
ids = {}
rows = []
for i, key in enumerate(nodes["id"]):
    ids[key] = i + 1
    rows.append((i + 1, key, json.dumps(nodes["labels"][i]),
                 json.dumps({"name": nodes["name"][i], "age": nodes["age"][i],
                             "score": nodes["score"][i]})))
conn.executemany("INSERT INTO nodes VALUES (?, ?, ?, ?)", rows)
edges = pq.read_table(src + "/edges.parquet").to_pydict()
conn.executemany("INSERT INTO edges (src, dst, label, props) VALUES (?, ?, ?, ?)",
                 ((ids[a], ids[b], l, json.dumps({"w": w})) for a, b, l, w in
                  zip(edges["from_node"], edges["to_node"], edges["label"], edges["w"])))
conn.execute("CREATE INDEX edges_src ON edges (src)")
conn.execute("CREATE INDEX edges_dst ON edges (dst)")
conn.execute("COMMIT")
conn.close()
"""

BATCHWRITER_SCRIPT = r"""
import sys
import orvi
import pyarrow.parquet as pq
from orvi_tools import BatchWriter
src, db = sys.argv[1], sys.argv[2]
with orvi.open(db) as handle, BatchWriter(handle) as writer:
    for batch in pq.ParquetFile(src + "/nodes.parquet").iter_batches(batch_size=4096):
        c = batch.to_pydict()
        for key, labels, name, age, score in zip(c["id"], c["labels"], c["name"], c["age"],
                                                 c["score"]):
            writer.add_node(key, labels, {"name": name, "age": age, "score": score})
    for batch in pq.ParquetFile(src + "/edges.parquet").iter_batches(batch_size=4096):
        c = batch.to_pydict()
        for a, b, label, w in zip(c["from_node"], c["to_node"], c["label"], c["w"]):
            writer.add_edge(a, label, b, {"w": w})
"""

KUZU_SCRIPT = r"""
import sys, kuzu
src, db = sys.argv[1], sys.argv[2]
conn = kuzu.Connection(kuzu.Database(db))
conn.execute("CREATE NODE TABLE N(id INT64, labels STRING[], name STRING, age INT64, "
             "score DOUBLE, PRIMARY KEY (id))")
conn.execute("CREATE REL TABLE E(FROM N TO N, label STRING, w DOUBLE)")
conn.execute(f"COPY N FROM '{src}/nodes.parquet'")
conn.execute(f"COPY E FROM '{src}/edges.parquet'")
"""


def write_parquet(directory: str, nodes: int, edges: int) -> None:
    import pyarrow as pa
    import pyarrow.parquet as pq

    g = gg.make_graph(nodes)
    need = min(edges, g.m)
    kinds = [gg.KINDS[k] for k in g.kind]
    colours = [gg.COLOURS[c] for c in g.colour]
    pq.write_table(pa.table({
        "id": pa.array(range(1, nodes + 1), pa.int64()),
        "labels": pa.array([[k, c] for k, c in zip(kinds, colours)], pa.list_(pa.string())),
        "name": [f"node{i + 1}" for i in range(nodes)],
        "age": pa.array(g.age), "score": pa.array(g.score)}),
        os.path.join(directory, "nodes.parquet"))
    pq.write_table(pa.table({
        "from_node": pa.array(g.src[:need]), "to_node": pa.array(g.dst[:need]),
        "label": [gg.EDGE_LABELS[e] for e in g.elabel[:need]], "w": pa.array(g.w[:need])}),
        os.path.join(directory, "edges.parquet"))


def package_at(workdir: str, commit: str) -> str:
    """The python/ folder of the repository at `commit`, extracted once
    into `workdir`."""
    target = os.path.join(workdir, f"package-{commit}")
    if not os.path.isdir(target):
        archive = subprocess.run(["git", "-C", REPO, "archive", commit, "python"],
                                 stdout=subprocess.PIPE, check=True).stdout
        partial = target + ".partial"
        shutil.rmtree(partial, ignore_errors=True)
        os.makedirs(partial)
        subprocess.run(["tar", "-x", "-C", partial], input=archive, check=True)
        os.rename(partial, target)
    return os.path.join(target, "python")


def loadavg() -> str:
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def prepare(base: str, nodes: int, edges: int, text: bool) -> str:
    """The Parquet inputs of one scale, and with `text` the JSONL and CSV
    ones; returns the folder."""
    source = os.path.join(base, "parquet")
    if not os.path.exists(os.path.join(source, "edges.parquet")):
        os.makedirs(source, exist_ok=True)
        write_parquet(source, nodes, edges)
    if text and not os.path.exists(os.path.join(base, "csv", "edges.csv")):
        db = os.path.join(base, "export.orvi")
        if os.path.exists(db):
            os.remove(db)
        for args in (["import", "--no-progress", db, source],
                     ["export", db, "-f", "jsonl", "-o", os.path.join(base, "graph.jsonl"),
                      "--no-progress"],
                     ["export", db, "-f", "csv", "-o", os.path.join(base, "csv"),
                      "--no-progress"]):
            if child(["-m", "orvi_tools", *args])[2] != 0:
                sys.exit(f"preparing the inputs failed: orvi {' '.join(args)}")
        os.remove(db)
    declined = os.path.join(base, "declined.jsonl")
    if text and not os.path.exists(declined):
        with open(declined + ".partial", "w") as out, \
                open(os.path.join(base, "graph.jsonl")) as graph:
            out.write('{"type": "node", "id": "first", "properties": {"n": NaN}}\n')
            shutil.copyfileobj(graph, out)
        os.rename(declined + ".partial", declined)
    return base


def run_scale(args: argparse.Namespace, nodes: int, edges: int, rows: list[str],
              rounds: int, rate: float) -> None:
    text_rows = {"orvi-jsonl", "orvi-csv", "jsonl-python"}
    if args.before:
        rows = [r for name in rows
                for r in ([name, f"{name[5:]}@{args.before}"]
                          if name in ("orvi-jsonl", "orvi-csv") else [name])]
    base = prepare(os.path.join(args.workdir, f"import-{nodes}-{edges}"), nodes, edges,
                   bool(text_rows.intersection(rows)))
    source = os.path.join(base, "parquet")
    jsonl, csv_dir = os.path.join(base, "graph.jsonl"), os.path.join(base, "csv")

    def orvi_import(path: str) -> Callable[[str], list[str]]:
        return lambda db: ["-m", "orvi_tools", "import", "--no-progress", db, path]

    # Each row: the arguments of its process for a target file, and the
    # folder orvi_tools is imported from.
    now = os.path.join(REPO, "python")
    commands = {
        "orvi-import": (orvi_import(source), now),
        "orvi-jsonl": (orvi_import(jsonl), now),
        "orvi-csv": (orvi_import(csv_dir), now),
        "jsonl-python": (orvi_import(os.path.join(base, "declined.jsonl")), now),
        "batchwriter": (lambda db: ["-c", BATCHWRITER_SCRIPT, source, db], now),
        "sqlite": (lambda db: ["-c", SQLITE_SCRIPT, source, db], now),
        "kuzu": (lambda db: ["-c", KUZU_SCRIPT, source, db], now),
    }
    if args.before:
        before = package_at(args.workdir, args.before)
        commands[f"jsonl@{args.before}"] = (orvi_import(jsonl), before)
        commands[f"csv@{args.before}"] = (orvi_import(csv_dir), before)
    records = nodes + edges
    print(f"\n{nodes} nodes, {edges} edges; best of {rounds}; "
          f"load average before: {loadavg()}")
    results = {}
    for name in rows:
        best = None
        for _ in range(rounds):
            target = os.path.join(base, "out")
            shutil.rmtree(target, ignore_errors=True)
            os.makedirs(target)
            command, package = commands[name]
            seconds, rss, status, written = child(command(os.path.join(target, "db")), package)
            if status != 0:
                sys.exit(f"{name} failed with status {status}")
            if best is None or seconds < best[0]:
                best = (seconds, rss, written)
        shutil.rmtree(os.path.join(base, "out"), ignore_errors=True)
        results[name] = best
    first = results[rows[0]][0]
    print(f"| row | seconds | records/s | peak MiB | written MiB | at disk rate s "
          f"| vs {rows[0]} |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    for name in rows:
        seconds, rss, written = results[name]
        print(f"| {name} | {seconds:.2f} | {records / seconds / 1000:.0f}k | {rss} | "
              f"{written / 2**20:.0f} | {written / rate:.2f} | {seconds / first:.2f}x |")
    for name in rows:
        if "@" in name:
            now = results["orvi-" + name.split("@")[0]][0]
            print(f"{name.split('@')[0]}: {results[name][0] / now:.1f}x faster than at "
                  f"{args.before}")
    print(f"load average after: {loadavg()}")


def main(argv=None) -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--scales", default="100000,1000000",
                    help="node counts, five edges per node (default: 100000,1000000)")
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--rounds-large", type=int, default=1,
                    help="rounds at a million nodes and more")
    ap.add_argument("--rows", default="orvi-import,orvi-jsonl,orvi-csv,batchwriter,sqlite,kuzu")
    ap.add_argument("--before", metavar="COMMIT",
                    help="also time the JSONL and CSV imports of the package at COMMIT")
    ap.add_argument("--workdir", default=os.path.join(tempfile.gettempdir(), "orvi-bench"))
    args = ap.parse_args(argv)
    os.makedirs(args.workdir, exist_ok=True)
    rows = [r for r in args.rows.split(",") if r]
    if "kuzu" in rows and subprocess.run([sys.executable, "-c", "import kuzu"],
                                         capture_output=True).returncode != 0:
        rows.remove("kuzu")
    rate = disk_rate(args.workdir)
    print(f"disk write rate (256 MiB, one fsync): {rate / 2**20:.0f} MiB/s; "
          f"load average {loadavg()}")
    for index, scale in enumerate(int(n) for n in args.scales.split(",")):
        large = scale >= 1_000_000
        scale_rows = [r for r in rows if r != "batchwriter" or index == 0]
        run_scale(args, scale, 5 * scale, scale_rows,
                  args.rounds_large if large else args.rounds, rate)


if __name__ == "__main__":
    main()
