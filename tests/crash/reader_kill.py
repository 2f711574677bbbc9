"""Readers beside a writer that is killed: a writer commits an
invariant-keeping stream (money moved between accounts, one edge and a
sequence number per commit) and is killed with SIGKILL at a random moment;
readers run throughout.

    python tests/crash/reader_kill.py --rounds 50 --seed 1

Each round, after the kill and before anything else opens the file:
1. a reader reads the state; it must keep the invariant (balances sum to
   the start, one edge per sequence number) and the sequence may not go
   back from the last round;
2. the file's bytes are unchanged by that read;
3. the next orvi.open gives exactly the state the reader saw.
A reader process checks the invariant on every call while the writer runs.
"""

from __future__ import annotations

import argparse
import hashlib
import os
import random
import signal
import subprocess
import sys
import tempfile
import textwrap
import time

import orvi
import orvi_tools

ACCOUNTS = 6
START = 100

WRITER = textwrap.dedent(f"""
    import sys, random, orvi
    db = orvi.open(sys.argv[1])
    if db.node_count() == 0:
        for _ in range({ACCOUNTS}):
            db.add_node(["Account"], balance={START})
        db.add_node(["Seq"], seq=0)
        db.commit()
    seq = db.get_node({ACCOUNTS + 1})["seq"]
    rng = random.Random(int(sys.argv[2]))
    print("ready", flush=True)
    while True:
        seq += 1
        a, b = rng.sample(range(1, {ACCOUNTS + 1}), 2)
        amount = rng.randint(1, 9)
        db.update_node(a, balance=db.get_node(a)["balance"] - amount)
        db.update_node(b, balance=db.get_node(b)["balance"] + amount)
        db.add_edge(a, "paid", b, seq=seq)
        db.update_node({ACCOUNTS + 1}, seq=seq)
        if rng.random() < 0.05:
            db.add_node(["Filler"], blob="x" * rng.randint(1, 200000))
        db.commit()
""")

LOOPER = textwrap.dedent("""
    import sys, orvi_tools
    sys.path.insert(0, sys.argv[2])
    from reader_kill import state
    reader = orvi_tools.open_reader(sys.argv[1])
    last = -1
    while True:
        with reader.snapshot():
            seq = state(reader)[0]
        assert seq >= last, (seq, last)
        last = seq
""")


def state(db):
    """(seq, balances, edges) of a database or a reader, invariant checked."""
    seq = db.get_node(ACCOUNTS + 1)["seq"]
    balances = [db.get_node(i)["balance"] for i in range(1, ACCOUNTS + 1)]
    edges = [(e.id, e["seq"]) for e in db.all_edges()]
    assert sum(balances) == ACCOUNTS * START, balances
    assert len(edges) == seq == db.edge_count(), (len(edges), seq)
    return seq, balances, edges


def digest(path: str) -> str:
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--rounds", type=int, default=20)
    ap.add_argument("--seed", type=int, default=1)
    args = ap.parse_args()
    rng = random.Random(args.seed)
    here = os.path.dirname(os.path.abspath(__file__))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "bank.orvi")
        last = 0
        for round_no in range(args.rounds):
            writer = subprocess.Popen([sys.executable, "-c", WRITER, path, str(round_no)],
                                      stdout=subprocess.PIPE, env=env, text=True)
            assert writer.stdout.readline().strip() == "ready"
            looper = subprocess.Popen([sys.executable, "-c", LOOPER, path, here],
                                      stderr=subprocess.PIPE, env=env, text=True)
            time.sleep(rng.uniform(0.05, 0.6))
            # The looper goes first: a killed writer that is not reaped yet
            # looks alive without its mark, which readers refuse.
            looper.send_signal(signal.SIGKILL)
            _, err = looper.communicate()
            writer.send_signal(signal.SIGKILL)
            writer.wait()
            assert "Error" not in err, err
            before = digest(path)
            with orvi_tools.open_reader(path) as reader:
                seen = state(reader)
            assert digest(path) == before, "a reader wrote the file"
            assert seen[0] >= last, (seen[0], last)
            last = seen[0]
            with orvi.open(path) as db:
                assert state(db) == seen, f"round {round_no}: open disagrees with the reader"
        print(f"reader kill rounds: {args.rounds} survived, last sequence {last}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
