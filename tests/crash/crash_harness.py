"""Crash-consistency harness: kill a writer with SIGKILL at random moments
and check that the reopened database is exactly the state after its last
acknowledged commit or the one after it.

    python tests/crash/crash_harness.py --rounds 100 --seed 1

One database lives through all rounds. Each round:

1. A child process (`child` mode) opens the database and runs a
   deterministic sequence of steps from where the last round ended:
   transactions of varied size (adds, updates, deletes of nodes and edges)
   committed with commit() or a `with db.transaction()` block, transactions
   thrown away with rollback() or a raising block, clear(), vacuum() and
   repair_adjacency(). After a step returns it writes the step's number to
   a pipe: that is the acknowledgement.
2. The parent kills it with SIGKILL after a random delay.
3. In some rounds a process reopens the database and is itself killed
   after a very short delay, possibly in the middle of finishing the
   interrupted commit; sometimes twice.
4. A fresh process (`verify` mode) opens the database (reclaiming the lock
   of the killed processes), dumps every node and edge, checks every
   adjacency list, node_count and edge_count, closes it and checks the
   stored degree counters in the file.
5. The parent replays the same steps on a pure-Python model and requires
   the dump to equal the model after the last acknowledged step k or after
   step k + 1. The next round continues from whichever it was.

Steps are generated from (seed, step number, model state) only, so child
and parent produce the same operations; the child also checks every id
the database hands out against the model.

Exit status 0 when every round passed; the last line gives the figures.
"""

from __future__ import annotations

import argparse
import json
import os
import pickle
import random
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import dbstate  # noqa: E402

# --- the model -----------------------------------------------------------


class IdSet:
    """Live ids with O(1) add, remove and random choice. The order of the
    backing list depends only on the sequence of operations, so child and
    parent agree on it."""

    def __init__(self):
        self.items = []
        self.pos = {}

    def add(self, x):
        self.pos[x] = len(self.items)
        self.items.append(x)

    def remove(self, x):
        i = self.pos.pop(x)
        last = self.items.pop()
        if i < len(self.items):
            self.items[i] = last
            self.pos[last] = i

    def choice(self, rng):
        return self.items[rng.randrange(len(self.items))]

    def __len__(self):
        return len(self.items)

    def __contains__(self, x):
        return x in self.pos


class Model:
    """The database as plain Python values, in the format of
    dbstate.dump(), with the id counters and adjacency sets needed to
    predict what the database does."""

    def __init__(self):
        self.clear()

    def clear(self):
        self.nodes = {}
        self.edges = {}
        self.out = {}
        self.inn = {}
        self.node_ids = IdSet()
        self.edge_ids = IdSet()
        self.next_node = 1
        self.next_edge = 1

    def state(self):
        return self.nodes, self.edges

    # Each mutation appends its inverse to `undo` when one is given.
    def add_node(self, labels, props, undo):
        nid = self.next_node
        self.next_node += 1
        self.nodes[nid] = (tuple(labels), dict(props))
        self.out[nid] = set()
        self.inn[nid] = set()
        self.node_ids.add(nid)
        if undo is not None:
            undo.append(("add_node", nid))
        return nid

    def add_edge(self, src, label, dst, props, undo):
        eid = self.next_edge
        self.next_edge += 1
        self.edges[eid] = (label, src, dst, dict(props))
        self.out[src].add(eid)
        self.inn[dst].add(eid)
        self.edge_ids.add(eid)
        if undo is not None:
            undo.append(("add_edge", eid))
        return eid

    def update_node(self, nid, props, undo):
        labels, old = self.nodes[nid]
        if undo is not None:
            undo.append(("set_node", nid, (labels, old)))
        self.nodes[nid] = (labels, {**old, **props})

    def update_edge(self, eid, props, undo):
        label, src, dst, old = self.edges[eid]
        if undo is not None:
            undo.append(("set_edge", eid, (label, src, dst, old)))
        self.edges[eid] = (label, src, dst, {**old, **props})

    def delete_edge(self, eid, undo):
        rec = self.edges.pop(eid)
        self.out[rec[1]].discard(eid)
        self.inn[rec[2]].discard(eid)
        self.edge_ids.remove(eid)
        if undo is not None:
            undo.append(("restore_edge", eid, rec))

    def delete_node(self, nid, undo):
        for eid in sorted(self.out[nid] | self.inn[nid]):
            self.delete_edge(eid, undo)
        rec = self.nodes.pop(nid)
        del self.out[nid]
        del self.inn[nid]
        self.node_ids.remove(nid)
        if undo is not None:
            undo.append(("restore_node", nid, rec))

    def undo(self, journal, next_node, next_edge):
        for entry in reversed(journal):
            kind = entry[0]
            if kind == "add_node":
                nid = entry[1]
                del self.nodes[nid], self.out[nid], self.inn[nid]
                self.node_ids.remove(nid)
            elif kind == "add_edge":
                eid = entry[1]
                label, src, dst, _ = self.edges.pop(eid)
                self.out[src].discard(eid)
                self.inn[dst].discard(eid)
                self.edge_ids.remove(eid)
            elif kind == "set_node":
                self.nodes[entry[1]] = entry[2]
            elif kind == "set_edge":
                self.edges[entry[1]] = entry[2]
            elif kind == "restore_edge":
                eid, rec = entry[1], entry[2]
                self.edges[eid] = rec
                self.out[rec[1]].add(eid)
                self.inn[rec[2]].add(eid)
                self.edge_ids.add(eid)
            elif kind == "restore_node":
                nid, rec = entry[1], entry[2]
                self.nodes[nid] = rec
                self.out[nid] = set()
                self.inn[nid] = set()
                self.node_ids.add(nid)
        self.next_node = next_node
        self.next_edge = next_edge


# --- the workload --------------------------------------------------------

NODE_LABELS = ["Person", "City", "Tag", "Thing"]
EDGE_LABELS = ["KNOWS", "LIKES", "IN", "REL"]
MAX_NODES = 2500


def random_props(rng, big=False):
    """A few properties; each key always holds the same value type."""
    props = {}
    for key in rng.sample(["name", "age", "score", "tags", "meta", "flag", "none", "blob"],
                          rng.randrange(0, 5)):
        if key == "name":
            props[key] = "n" + "é" * rng.randrange(0, 3) + str(rng.randrange(10**6))
        elif key == "age":
            props[key] = rng.randrange(-2**40, 2**40)
        elif key == "score":
            props[key] = rng.random() * 1000
        elif key == "tags":
            props[key] = [rng.choice(["a", "b", "c"]) for _ in range(rng.randrange(0, 4))]
        elif key == "meta":
            props[key] = {"k": rng.randrange(100), "v": [None, True, "x"]}
        elif key == "flag":
            props[key] = rng.random() < 0.5
        elif key == "none":
            props[key] = None
        else:
            props[key] = "b" * (rng.randrange(1000, 9000) if big else rng.randrange(0, 300))
    return props


def gen_ops(rng, model, count, big, undo):
    """`count` operations valid in sequence, applied to the model as they
    are generated (with their inverses appended to `undo`). Each op names
    the id the database must hand out for an add."""
    ops = []
    for _ in range(count):
        n_nodes = len(model.node_ids)
        n_edges = len(model.edge_ids)
        r = rng.random()
        add_bias = 0.33 if n_nodes < MAX_NODES else 0.08
        if r < add_bias or n_nodes < 2:
            labels = rng.sample(NODE_LABELS, rng.randrange(0, 3))
            props = random_props(rng, big and rng.random() < 0.1)
            nid = model.add_node(labels, props, undo)
            ops.append(("add_node", labels, props, nid))
        elif r < add_bias + 0.35:
            src = model.node_ids.choice(rng)
            dst = src if rng.random() < 0.05 else model.node_ids.choice(rng)
            label = rng.choice(EDGE_LABELS)
            props = random_props(rng)
            eid = model.add_edge(src, label, dst, props, undo)
            ops.append(("add_edge", src, label, dst, props, eid))
        elif r < add_bias + 0.47:
            nid = model.node_ids.choice(rng)
            props = random_props(rng, big and rng.random() < 0.1) or {"age": 1}
            model.update_node(nid, props, undo)
            ops.append(("update_node", nid, props))
        elif r < add_bias + 0.55 and n_edges:
            eid = model.edge_ids.choice(rng)
            props = random_props(rng) or {"score": 0.5}
            model.update_edge(eid, props, undo)
            ops.append(("update_edge", eid, props))
        elif r < add_bias + 0.6 and n_edges:
            eid = model.edge_ids.choice(rng)
            model.delete_edge(eid, undo)
            ops.append(("delete_edge", eid))
        else:
            nid = model.node_ids.choice(rng)
            model.delete_node(nid, undo)
            ops.append(("delete_node", nid))
    return ops


def next_step(seed, number, model):
    """Generates step `number` and advances the model to the state after
    it. Returns (kind, ops): kind is "commit", "block", "rollback",
    "block_raise", "clear", "vacuum" or "repair"."""
    rng = random.Random(f"{seed}:{number}")
    r = rng.random()
    if r < 0.012:
        model.clear()
        return "clear", []
    if r < 0.035:
        return "vacuum", []
    if r < 0.055:
        return "repair", []
    kind = rng.choices(["commit", "block", "rollback", "block_raise"], [50, 25, 15, 10])[0]
    size = rng.choices(["small", "medium", "large"], [60, 30, 10])[0]
    count = {"small": rng.randrange(1, 6), "medium": rng.randrange(20, 120),
             "large": rng.randrange(200, 500)}[size]
    keep = kind in ("commit", "block")
    undo = None if keep else []
    saved = (model.next_node, model.next_edge)
    ops = gen_ops(rng, model, count, size == "large", undo)
    if not keep:
        model.undo(undo, *saved)
    return kind, ops


# --- child: the writer that gets killed ----------------------------------


class Divergence(Exception):
    pass


def execute_ops(db, ops):
    for op in ops:
        kind = op[0]
        if kind == "add_node":
            got = db.add_node(op[1], **op[2]).id
            if got != op[3]:
                raise Divergence(f"add_node gave id {got}, model expects {op[3]}")
        elif kind == "add_edge":
            got = db.add_edge(op[1], op[2], op[3], **op[4]).id
            if got != op[5]:
                raise Divergence(f"add_edge gave id {got}, model expects {op[5]}")
        elif kind == "update_node":
            db.update_node(op[1], **op[2])
        elif kind == "update_edge":
            db.update_edge(op[1], **op[2])
        elif kind == "delete_edge":
            db.delete_edge(op[1])
        elif kind == "delete_node":
            db.delete_node(op[1])


class Raised(Exception):
    pass


def child_main(args):
    import orvi

    with open(args.state, "rb") as f:
        model = pickle.load(f)
    ack = args.ack_fd
    db = orvi.open(args.db)
    os.write(ack, b"R\n")
    number = args.start
    while True:
        number += 1
        kind, ops = next_step(args.seed, number, model)
        if kind == "clear":
            db.clear()
        elif kind == "vacuum":
            db.vacuum()
        elif kind == "repair":
            counts = db.repair_adjacency()
            want = {"nodes_rewritten": len(model.nodes), "edges_relinked": len(model.edges)}
            if counts != want:
                raise Divergence(f"repair_adjacency returned {counts}, model expects {want}")
        elif kind == "commit":
            execute_ops(db, ops)
            db.commit()
        elif kind == "block":
            with db.transaction():
                execute_ops(db, ops)
        elif kind == "rollback":
            execute_ops(db, ops)
            db.rollback()
        else:
            try:
                with db.transaction():
                    execute_ops(db, ops)
                    raise Raised()
            except Raised:
                pass
        os.write(ack, b"%d\n" % number)
        if number % 7 == 0:
            if db.node_count() != len(model.nodes) or db.edge_count() != len(model.edges):
                raise Divergence(
                    f"after step {number}: {db.node_count()} nodes, {db.edge_count()} edges; "
                    f"model has {len(model.nodes)}, {len(model.edges)}")


# --- reopen: a process killed while it opens (and recovers) ---------------


def reopen_main(args):
    import orvi

    os.write(1, b"R\n")
    db = orvi.open(args.db)
    os.write(1, b"O\n")
    db.close()


# --- verify: a fresh process that checks the reopened database ------------


def verify_main(args):
    import orvi

    result = {"error": None, "problems": [], "state": None}
    try:
        db = orvi.open(args.db)
        try:
            state = dbstate.dump(db)
            result["problems"] += dbstate.adjacency_problems(db, state)
            if db.nodes().count() != len(state[0]) or db.edges().count() != len(state[1]):
                result["problems"].append("query counts disagree with all_nodes/all_edges")
        finally:
            db.close()
        result["state"] = state
        result["problems"] += dbstate.degree_problems(args.db, state)
        if os.path.exists(args.db + ".tmp"):
            result["problems"].append("the vacuum's temporary file survived the open")
        if os.path.exists(args.db + ".lock"):
            result["problems"].append("the lock directory survived close()")
    except Exception as exc:
        result["error"] = f"{type(exc).__name__}: {exc}"
    with open(args.out, "wb") as f:
        pickle.dump(result, f)


# --- parent: the driver --------------------------------------------------


def read_lines(fd, until=None, timeout=None):
    """Lines available on `fd`; with `until`, waits (at most `timeout`
    seconds) for a line equal to it."""
    data = b""
    deadline = None if timeout is None else time.monotonic() + timeout
    while True:
        wait = 0 if until is None else max(0.0, deadline - time.monotonic())
        ready, _, _ = select.select([fd], [], [], wait)
        if not ready:
            break
        chunk = os.read(fd, 65536)
        if not chunk:
            break
        data += chunk
        if until is not None and until in data.split(b"\n"):
            break
        if until is None:
            continue
    return data.split(b"\n")


def kill(proc):
    try:
        proc.send_signal(signal.SIGKILL)
    except ProcessLookupError:
        pass
    proc.wait()


class Stats:
    def __init__(self):
        self.rounds = 0
        self.acked_steps = 0
        self.matched_k = 0
        self.matched_k1 = 0
        self.kills_with_pending_log = 0
        self.kills_with_vacuum_file = 0
        self.reopen_kills = 0
        self.reopen_kills_in_recovery = 0
        self.stale_locks_reclaimed = 0
        self.orphan_locks_removed = 0
        self.clear_steps = self.vacuum_steps = self.repair_steps = 0


def run(args):
    me = [sys.executable, os.path.abspath(__file__)]
    workdir = args.dir or tempfile.mkdtemp(prefix="orvi-crash-")
    os.makedirs(workdir, exist_ok=True)
    db = os.path.join(workdir, "crash.orvi")
    for leftover in (db, db + ".tmp"):
        if os.path.exists(leftover):
            os.unlink(leftover)
    shutil.rmtree(db + ".lock", ignore_errors=True)
    state_file = os.path.join(workdir, "model.pickle")
    out_file = os.path.join(workdir, "verify.pickle")
    rng = random.Random(f"driver:{args.seed}")
    model = Model()
    start = 0
    stats = Stats()
    t0 = time.monotonic()
    deadline = t0 + args.minutes * 60 if args.minutes else None

    for round_no in range(1, args.rounds + 1):
        if deadline and time.monotonic() > deadline:
            break
        with open(state_file, "wb") as f:
            pickle.dump(model, f)
        rfd, wfd = os.pipe()
        child = subprocess.Popen(
            me + ["child", "--db", db, "--state", state_file, "--seed", str(args.seed),
                  "--start", str(start), "--ack-fd", str(wfd)],
            pass_fds=(wfd,), stderr=subprocess.PIPE)
        os.close(wfd)
        lines = read_lines(rfd, until=b"R", timeout=60)
        if b"R" not in lines:
            kill(child)
            return fail(args, workdir, round_no, "child did not open the database: "
                        + child.stderr.read().decode(errors="replace")[-2000:])
        time.sleep(rng.uniform(0, args.max_delay))
        kill(child)
        lines += read_lines(rfd)
        os.close(rfd)
        err = child.stderr.read().decode(errors="replace")
        child.stderr.close()
        if child.returncode != -signal.SIGKILL:
            return fail(args, workdir, round_no,
                        f"child exited by itself with status {child.returncode}:\n{err[-3000:]}")
        acks = [int(x) for x in lines if x and x != b"R"]
        last = max(acks) if acks else start
        stats.acked_steps += last - start
        if dbstate.file_wal_length(db):
            stats.kills_with_pending_log += 1
        if os.path.exists(db + ".tmp"):
            stats.kills_with_vacuum_file += 1
        had_lock = os.path.isdir(db + ".lock")

        # Kill the next opener too, possibly in the middle of recovery.
        if rng.random() < args.reopen_kill_rate:
            for _ in range(rng.choice([1, 1, 2])):
                pending = dbstate.file_wal_length(db) != 0
                opener = subprocess.Popen(me + ["reopen", "--db", db],
                                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
                out = read_lines(opener.stdout.fileno(), until=b"R", timeout=60)
                time.sleep(rng.uniform(0, 0.004))
                kill(opener)
                out += read_lines(opener.stdout.fileno())
                opener.stdout.close()
                stats.reopen_kills += 1
                if pending and b"O" not in out:
                    stats.reopen_kills_in_recovery += 1
                if dbstate.lock_owner_missing(db):
                    # Killed between creating the lock directory and
                    # writing its owner: by design such a lock is never
                    # reclaimed automatically; an operator removes it.
                    shutil.rmtree(db + ".lock")
                    stats.orphan_locks_removed += 1

        # A fresh process checks the database.
        if os.path.exists(out_file):
            os.unlink(out_file)
        try:
            verify = subprocess.run(me + ["verify", "--db", db, "--out", out_file],
                                    capture_output=True, timeout=300)
        except subprocess.TimeoutExpired:
            return fail(args, workdir, round_no, "verifier hung")
        if verify.returncode != 0 or not os.path.exists(out_file):
            return fail(args, workdir, round_no,
                        f"verifier died with status {verify.returncode}:\n"
                        + verify.stderr.decode(errors="replace")[-3000:])
        with open(out_file, "rb") as f:
            result = pickle.load(f)
        if result["error"]:
            return fail(args, workdir, round_no, "reopen failed: " + result["error"])
        if had_lock:
            stats.stale_locks_reclaimed += 1
        if result["problems"]:
            return fail(args, workdir, round_no, "inconsistent database: "
                        + "; ".join(result["problems"][:10]))

        # Replay the acknowledged steps on the model.
        got = result["state"]
        for number in range(start + 1, last + 1):
            kind, _ = next_step(args.seed, number, model)
            count_kind(stats, kind)
        if got == model.state():
            stats.matched_k += 1
            start = last
        else:
            kind, _ = next_step(args.seed, last + 1, model)
            if got != model.state():
                return fail(args, workdir, round_no,
                            f"state after kill matches neither step {last} nor step {last + 1} "
                            f"({kind}): " + dbstate.describe_difference(got, model.state()))
            count_kind(stats, kind)
            stats.matched_k1 += 1
            start = last + 1
        stats.rounds += 1
        if args.verbose:
            print(f"round {round_no}: step {start}, {len(model.nodes)} nodes, "
                  f"{len(model.edges)} edges", flush=True)

    elapsed = time.monotonic() - t0
    figures = {
        "kill_rounds_survived": stats.rounds,
        "seed": args.seed,
        "steps_acknowledged": stats.acked_steps,
        "matched_last_ack": stats.matched_k,
        "matched_next_step": stats.matched_k1,
        "kills_with_commit_log_pending": stats.kills_with_pending_log,
        "kills_with_vacuum_file": stats.kills_with_vacuum_file,
        "reopen_kills": stats.reopen_kills,
        "reopen_kills_during_recovery": stats.reopen_kills_in_recovery,
        "stale_locks_reclaimed": stats.stale_locks_reclaimed,
        "orphan_locks_removed": stats.orphan_locks_removed,
        "clear_vacuum_repair_steps": [stats.clear_steps, stats.vacuum_steps,
                                      stats.repair_steps],
        "seconds": round(elapsed, 1),
    }
    print("crash harness: " + json.dumps(figures), flush=True)
    print(f"crash harness: {stats.rounds} kill rounds survived, 0 failed", flush=True)
    if not args.dir and not args.keep:
        shutil.rmtree(workdir, ignore_errors=True)
    return 0


def count_kind(stats, kind):
    if kind == "clear":
        stats.clear_steps += 1
    elif kind == "vacuum":
        stats.vacuum_steps += 1
    elif kind == "repair":
        stats.repair_steps += 1


def fail(args, workdir, round_no, message):
    print(f"crash harness: round {round_no} FAILED (seed {args.seed}): {message}", flush=True)
    print(f"crash harness: database kept in {workdir}", flush=True)
    return 1


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = parser.add_subparsers(dest="mode")
    drive = sub.add_parser("run", help="the driver (default)")
    for p in (parser, drive):
        p.add_argument("--rounds", type=int, default=100)
        p.add_argument("--seed", type=int, default=1)
        p.add_argument("--minutes", type=float, default=0,
                       help="stop starting rounds after this long (0: no limit)")
        p.add_argument("--max-delay", type=float, default=0.25,
                       help="longest time a child runs before it is killed (s)")
        p.add_argument("--reopen-kill-rate", type=float, default=0.35)
        p.add_argument("--dir", help="work here and keep the database")
        p.add_argument("--keep", action="store_true")
        p.add_argument("--verbose", action="store_true")
    child = sub.add_parser("child")
    child.add_argument("--db", required=True)
    child.add_argument("--state", required=True)
    child.add_argument("--seed", type=int, required=True)
    child.add_argument("--start", type=int, required=True)
    child.add_argument("--ack-fd", type=int, required=True)
    reopen = sub.add_parser("reopen")
    reopen.add_argument("--db", required=True)
    verify = sub.add_parser("verify")
    verify.add_argument("--db", required=True)
    verify.add_argument("--out", required=True)
    args = parser.parse_args(argv)
    if args.mode == "child":
        child_main(args)
    elif args.mode == "reopen":
        reopen_main(args)
    elif args.mode == "verify":
        verify_main(args)
    else:
        return run(args)
    return 0


if __name__ == "__main__":
    sys.exit(main())
