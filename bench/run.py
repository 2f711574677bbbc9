#!/usr/bin/env python3
"""Benchmark orvi against sqlite3, Kùzu and networkx on one synthetic graph.

    python bench/run.py [--size tiny|small|medium|large]
                        [--peers orvi,sqlite-full,sqlite-normal,kuzu,networkx]
                        [--plot] [--out bench/results]

Each peer runs in its own Python process (peer_main.py) and hands back its
figures as JSON. The parent then checks that all peers returned the same
answers, counts sync calls per commit under strace, prints the table and
writes results-<size>.json (and ratios-<size>.png with --plot).
The orvi measured is whatever `import orvi` finds: set PYTHONPATH to a
build folder to measure that build.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import platform
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import graphgen as gg  # noqa: E402
import peers as peer_defs  # noqa: E402
import report  # noqa: E402

SYNC_CALLS = ["fsync", "fdatasync", "sync_file_range", "msync", "syncfs", "sync"]
PROBE_COMMITS = 20


def loadavg() -> list[float]:
    try:
        return list(os.getloadavg())
    except OSError:
        return []


def git_head() -> str:
    try:
        return subprocess.run(["git", "-C", HERE, "rev-parse", "--short", "HEAD"],
                              capture_output=True, text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return ""


def peer_cmd(peer: str, npz: str, wl: str, dbdir: str, out: str, args) -> list[str]:
    return [sys.executable, os.path.join(HERE, "peer_main.py"), "--peer", peer,
            "--npz", npz, "--workload", wl, "--dbdir", dbdir, "--out", out,
            "--batch", str(args.batch), "--commit-samples", str(args.commit_samples)]


def parse_strace_summary(text: str) -> dict[str, int]:
    """Calls per syscall from the table `strace -c` writes."""
    counts = {}
    for line in text.splitlines():
        parts = line.split()
        if len(parts) >= 5 and parts[-1] in SYNC_CALLS and parts[0][0].isdigit():
            counts[parts[-1]] = int(parts[3])
    return counts


def count_syncs(cmd: list[str], workdir: str) -> dict:
    """Sync calls per single-record commit: strace a process making N commits
    and one making none (open and close only); the difference over N."""
    if shutil.which("strace") is None:
        return {"unavailable": "strace is not installed (Debian package strace)"}
    totals = {}
    for n in (0, PROBE_COMMITS):
        trace = os.path.join(workdir, f"strace-{n}.txt")
        run = subprocess.run(["strace", "-f", "-c", "-e", "trace=" + ",".join(SYNC_CALLS),
                              "-o", trace] + cmd + ["--probe", str(n)],
                             capture_output=True, text=True)
        if run.returncode != 0:
            return {"error": f"strace run failed: {run.stderr.strip()[-300:]}"}
        with open(trace) as f:
            totals[n] = parse_strace_summary(f.read())
    per = {c: (totals[PROBE_COMMITS].get(c, 0) - totals[0].get(c, 0)) / PROBE_COMMITS
           for c in SYNC_CALLS}
    per = {c: v for c, v in per.items() if v}
    return {"value": sum(per.values()), "by_call": per, "commits": PROBE_COMMITS}


def run_peer(peer: str, npz: str, wl: str, args) -> dict:
    dbdir = os.path.join(args.workdir, f"{args.size}-{peer}")
    os.makedirs(dbdir, exist_ok=True)
    out = os.path.join(dbdir, "result.json")
    if os.path.exists(out):
        os.remove(out)
    cmd = peer_cmd(peer, npz, wl, dbdir, out, args)
    print(f"[{peer}] running ...", flush=True)
    proc = subprocess.run(cmd, capture_output=True, text=True)
    if not os.path.exists(out):
        return {"peer": peer, "error": f"process exited {proc.returncode} without results",
                "stderr": proc.stderr[-3000:], "rows": {}, "checks": {}, "notes": []}
    with open(out) as f:
        result = json.load(f)
    if proc.stderr.strip():
        result["stderr"] = proc.stderr[-3000:]
    if "unavailable" in result:
        print(f"[{peer}] skipped: {result['unavailable']}", flush=True)
        return result
    if peer_defs.PEERS[peer].writes and not args.no_strace and "error" not in result:
        result["rows"]["syncs_per_commit"] = count_syncs(cmd, dbdir)
    if not args.keep:
        for name in os.listdir(dbdir):
            if name != "result.json":
                p = os.path.join(dbdir, name)
                shutil.rmtree(p) if os.path.isdir(p) else os.remove(p)
    bad = [r for r, v in result.get("rows", {}).items() if "error" in v]
    state = "failed: " + result["error"] if "error" in result else "done"
    if bad:
        state += f" (errors in {', '.join(bad)})"
    print(f"[{peer}] {state}", flush=True)
    return result


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--size", default="small", choices=list(gg.SIZES))
    ap.add_argument("--peers", default=",".join(peer_defs.PEERS))
    ap.add_argument("--plot", action="store_true")
    ap.add_argument("--out", default=os.path.join(HERE, "results"))
    ap.add_argument("--workdir", default=os.path.join(tempfile.gettempdir(), "orvi-bench"),
                    help="database files and the cached graph (default %(default)s)")
    ap.add_argument("--seed", type=int, default=gg.DEFAULT_SEED)
    ap.add_argument("--batch", type=int, default=1000, help="records per commit in the load")
    ap.add_argument("--commit-samples", type=int, default=100)
    ap.add_argument("--no-strace", action="store_true", help="skip the sync-call count")
    ap.add_argument("--keep", action="store_true", help="keep the database files")
    args = ap.parse_args(argv)

    names = [p.strip() for p in args.peers.split(",") if p.strip()]
    unknown = [p for p in names if p not in peer_defs.PEERS]
    if unknown:
        ap.error(f"unknown peers: {', '.join(unknown)} (known: {', '.join(peer_defs.PEERS)})")
    if "orvi" not in names:
        names.insert(0, "orvi")  # the ratios are relative to it
    args.workdir = os.path.abspath(args.workdir)

    npz, wl = gg.ensure_cached(args.workdir, args.size, args.seed)
    g_n = gg.SIZES[args.size]
    meta = {
        "size": args.size, "nodes": g_n, "edges": g_n * gg.EDGES_PER_NODE,
        "seed": args.seed, "batch": args.batch,
        "started": datetime.datetime.now().isoformat(timespec="seconds"),
        "loadavg_start": loadavg(), "cpus": os.cpu_count(),
        "python": platform.python_version(), "platform": platform.platform(),
        "git": git_head(),
    }
    print(f"graph: {g_n} nodes, {g_n * gg.EDGES_PER_NODE} edges (seed {args.seed}); "
          f"load average {meta['loadavg_start']}", flush=True)

    results = {p: run_peer(p, npz, wl, args) for p in names}
    meta["loadavg_end"] = loadavg()
    meta["versions"] = {p: r.get("version", r.get("unavailable", "")) for p, r in results.items()}

    problems = report.agreement(results)
    text = report.table(results, names, args.size)
    notes = [f"{p}: {n}" for p, r in results.items() for n in r.get("notes", [])]
    for p, r in results.items():
        if "unavailable" in r:
            notes.append(f"{p}: skipped, {r['unavailable']}")
        if "error" in r:
            notes.append(f"{p}: FAILED, {r['error']}")
        for row, v in r.get("rows", {}).items():
            if "error" in v:
                notes.append(f"{p}: {row}: {v['error']}")
            if "unavailable" in v:
                notes.append(f"{p}: {row}: not measured, {v['unavailable']}")

    print()
    print(f"size {args.size}: {g_n} nodes, {g_n * gg.EDGES_PER_NODE} edges; ratios are "
          f"peer/orvi (above 1: orvi faster or smaller); load average "
          f"{meta['loadavg_start']} -> {meta['loadavg_end']} on {meta['cpus']} CPUs")
    print(text)
    for n in notes:
        print("note:", n)
    for p in problems:
        print("DISAGREEMENT:", p)
    if not problems:
        agreed = [row for row in report.AGREEMENT
                  if sum(row in r.get("checks", {}) for r in results.values()) > 1]
        print("results agree across peers for:", ", ".join(agreed) or "(nothing compared)")

    os.makedirs(args.out, exist_ok=True)
    path = os.path.join(args.out, f"results-{args.size}.json")
    with open(path, "w") as f:
        json.dump({"meta": meta, "table": text, "notes": notes, "disagreements": problems,
                   "peers": results}, f, indent=1)
    print("wrote", path)
    if args.plot:
        png = os.path.join(args.out, f"ratios-{args.size}.png")
        report.plot(results, names, png,
                    f"orvi vs peers, {args.size} graph ({g_n} nodes, "
                    f"{g_n * gg.EDGES_PER_NODE} edges)")
        print("wrote", png)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
