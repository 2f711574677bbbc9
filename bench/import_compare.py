#!/usr/bin/env python3
"""Loading one graph from Parquet files: `orvi import` against a plain
SQLite script (and kuzu's COPY FROM when kuzu is installed), each in its
own process.

    python bench/import_compare.py                       # 100k nodes, 500k edges
    python bench/import_compare.py --size large --rounds 1

The graph comes from bench/graphgen.py (2 labels and 3 properties per node,
1 property per edge), written once to nodes.parquet and edges.parquet in
the layout `orvi import` reads. Every row is a whole process timed from
start to exit, start-up and the final flush included, into a fresh file;
the best of --rounds runs is shown with its peak RSS, with the load average
before and after. Rows:

- orvi import: `python -m orvi_tools import DB DIR`;
- orvi BatchWriter: the same records committed in batches through the
  log, as `orvi import` loaded them before it built files directly;
- SQLite: pyarrow reads the files, `executemany` in one transaction,
  synchronous FULL, properties as JSON text, indexes on the edge ends;
- kuzu: `COPY FROM` the same files (only when `import kuzu` works).
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, HERE)

import graphgen as gg  # noqa: E402
from export_tables import child  # noqa: E402

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


def loadavg() -> str:
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def main(argv=None) -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--nodes", type=int, default=100_000)
    ap.add_argument("--edges", type=int, default=500_000)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--rows", default="orvi-import,batchwriter,sqlite,kuzu")
    ap.add_argument("--workdir", default=os.path.join(tempfile.gettempdir(), "orvi-bench"))
    args = ap.parse_args(argv)
    base = os.path.join(args.workdir, f"import-{args.nodes}-{args.edges}")
    source = os.path.join(base, "parquet")
    if not os.path.exists(os.path.join(source, "edges.parquet")):
        os.makedirs(source, exist_ok=True)
        write_parquet(source, args.nodes, args.edges)
    commands = {
        "orvi-import": lambda db: ["-m", "orvi_tools", "import", "--no-progress", db, source],
        "batchwriter": lambda db: ["-c", BATCHWRITER_SCRIPT, source, db],
        "sqlite": lambda db: ["-c", SQLITE_SCRIPT, source, db],
        "kuzu": lambda db: ["-c", KUZU_SCRIPT, source, db],
    }
    rows = [r for r in args.rows.split(",") if r]
    if "kuzu" in rows and subprocess.run([sys.executable, "-c", "import kuzu"],
                                         capture_output=True).returncode != 0:
        rows.remove("kuzu")
    records = args.nodes + args.edges
    print(f"{args.nodes} nodes, {args.edges} edges from Parquet; best of {args.rounds}; "
          f"load average before: {loadavg()}")
    results = {}
    for name in rows:
        best = None
        for _ in range(args.rounds):
            target = os.path.join(base, "out")
            shutil.rmtree(target, ignore_errors=True)
            os.makedirs(target)
            seconds, rss, status = child(commands[name](os.path.join(target, "db")))
            if status != 0:
                sys.exit(f"{name} failed with status {status}")
            if best is None or seconds < best[0]:
                best = (seconds, rss)
        results[name] = best
    first = results[rows[0]][0]
    print(f"{'':14} {'seconds':>8} {'records/s':>10} {'peak MiB':>9} {'vs ' + rows[0]:>16}")
    for name in rows:
        seconds, rss = results[name]
        print(f"{name:14} {seconds:8.2f} {records / seconds / 1000:9.0f}k {rss:9d} "
              f"{seconds / first:15.2f}x")
    print(f"load average after: {loadavg()}")


if __name__ == "__main__":
    main()
