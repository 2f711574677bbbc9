#!/usr/bin/env python3
"""Instruction counts of a few core operations, measured with callgrind.

    python bench/callgrind_ops.py                       # the module on sys.path
    PYTHONPATH=build/rel python bench/callgrind_ops.py  # a build folder

Instruction counts do not depend on the machine's load, so two builds can be
compared on a shared machine. For each operation the script runs, under
`valgrind --tool=callgrind`, one child that opens a copy of a prepared
database and closes it again, and one that does the same around N repeats of
the operation; the difference divided by N is the figure printed (Python's
own work in the calls included, as a user pays it).

The prepared graph: 2,000 nodes labelled "Person" with three properties,
10,000 edges labelled "knows" with one property, from a fixed seed.
"""

from __future__ import annotations

import argparse
import glob
import os
import random
import shutil
import subprocess
import sys
import tempfile

NODES = 2000
EDGES = 10000
OPS = {
    # name: (repeats, statement run per repeat with `i` the repeat number)
    "get_node": (5000, "db.get_node(1 + i % NODES)"),
    "out_edges": (2000, "db.out_edges(1 + i % NODES)"),
    "bfs": (50, "db.bfs(1 + (i * 37) % NODES, 3)"),
    "add_edge+commit": (200, "db.add_edge(1 + i % NODES, 'knows', 1 + (i * 7) % NODES, w=1.5); db.commit()"),
}


def build(path: str) -> None:
    import orvi

    rng = random.Random(7)
    db = orvi.open(path)
    for i in range(NODES):
        db.add_node(["Person"], name=f"person{i}", age=i % 90, score=i * 0.5)
    for _ in range(EDGES):
        db.add_edge(rng.randrange(1, NODES + 1), "knows", rng.randrange(1, NODES + 1),
                    w=rng.random())
    db.commit()
    db.close()


def child(path: str, op: str, repeats: int) -> None:
    import orvi

    db = orvi.open(path)
    stmt = compile(OPS[op][1], "<op>", "exec")
    env = {"db": db, "NODES": NODES}
    for i in range(repeats):
        env["i"] = i
        exec(stmt, env)
    db.close()


def instructions(workdir: str, template: str, op: str, repeats: int) -> int:
    db = os.path.join(workdir, f"run-{op}-{repeats}.orvi")
    shutil.copyfile(template, db)
    out = os.path.join(workdir, f"callgrind-{op}-{repeats}.out")
    subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
                    sys.executable, os.path.abspath(__file__), "--child", op,
                    "--repeats", str(repeats), "--db", db],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    with open(out) as f:
        for line in f:
            if line.startswith("totals:") or line.startswith("summary:"):
                return int(line.split()[1])
    raise RuntimeError(f"no totals in {out}")


def main(argv=None) -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--child")
    ap.add_argument("--repeats", type=int, default=0)
    ap.add_argument("--db")
    ap.add_argument("--ops", nargs="*", default=list(OPS))
    args = ap.parse_args(argv)
    if args.child:
        child(args.db, args.child, args.repeats)
        return
    import orvi

    with open("/proc/loadavg") as f:
        load = f.read().split()[0]
    print(f"# orvi from {os.path.dirname(orvi.__file__) or '.'}; load average {load}")
    with tempfile.TemporaryDirectory() as workdir:
        template = os.path.join(workdir, "template.orvi")
        build(template)
        for op in args.ops:
            repeats = OPS[op][0]
            base = instructions(workdir, template, op, 0)
            total = instructions(workdir, template, op, repeats)
            print(f"{op:16s} {(total - base) / repeats:14.0f} instructions per call "
                  f"({repeats} calls)", flush=True)
        for leftover in glob.glob(os.path.join(workdir, "*")):
            os.remove(leftover)


if __name__ == "__main__":
    main()
