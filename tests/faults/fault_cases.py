"""Storage fault loops against the fault-injection build of orvi.

Run by test_faults.py, one process per (operation, errno):

    python fault_cases.py worker '{"op": "commit", "errno": 5, "dir": ...}'

For one operation (a commit of a transaction spanning several log pages,
a vacuum, an adjacency repair, clear(), an open that must replay a pending
commit) the worker first counts the storage calls the operation makes
(page writes, flushes, truncates and renames, on the database file and the
vacuum's temporary file alike). Then for every N from 1 to that count + 1
and for every way of carrying on after the failure it restores the saved
database file, opens it, makes the change, fails the N-th storage call,
runs the operation, and requires:

- the operation raises OSError (or succeeds when N exceeds the count, or
  when the failing call comes after the operation is complete, as the
  cut of the file at the end of clear() does); never another exception,
  a crash or a hang;
- reads in the same process still work and show the old state, the new
  state or the change still pending, with consistent adjacency lists;
- then, by mode:
    retry     the operation is run again without faults: it succeeds and
              the process sees the new state;
    rollback  a node is added and the label index checked, then
              rollback(): the process sees the old or the new state;
    abandon   nothing more: the file is copied as the failure left it, as
              if the process had died right there;
    sticky    every storage call from N on fails (a dying disk); a
              rollback is attempted, may fail with OSError, then the
              fault is cleared;
    twice     the operation is retried and the second storage call of the
              retry fails too; then the file is copied as left (a process
              that dies while it finishes an interrupted commit);
- a fresh process (the verifier, a child of the worker that never saw the
  file before) opens the file as left behind, finishes any pending commit,
  and sees exactly the old or the new state, with every adjacency list
  and stored degree counter consistent; after retry and rollback it sees
  exactly what the failing process saw.

The worker prints one JSON line per case and a summary line; the test
fails on any case whose "problems" list is not empty.
"""

from __future__ import annotations

import errno as errno_mod
import json
import os
import pickle
import random
import shutil
import struct
import subprocess
import sys
import traceback

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "crash"))

import dbstate  # noqa: E402
import orvi  # noqa: E402

MODES = ("retry", "rollback", "abandon", "sticky", "twice")
OPEN_MODES = ("retry", "abandon", "sticky", "twice")


# --- the saved databases -------------------------------------------------

def _props(rng, i):
    return {
        "name": f"n{i}-" + "x" * rng.randrange(20, 200),
        "age": rng.randrange(0, 100),
        "score": rng.random(),
        "tags": [rng.choice(["a", "b", "c"]) for _ in range(rng.randrange(0, 4))],
        "meta": {"k": i, "nested": [1, "two", None]},
        "ok": bool(i % 2),
    }


def build_base(path, nodes=150, edges=300, seed=7):
    """A committed database with superseded blobs and deleted records, so
    that vacuum has something to reclaim."""
    rng = random.Random(seed)
    for leftover in (path, path + ".tmp"):
        if os.path.exists(leftover):
            os.unlink(leftover)
    db = orvi.open(path)
    ids = []
    for i in range(nodes):
        labels = rng.sample(["Person", "City", "Tag"], rng.randrange(0, 3))
        ids.append(db.add_node(labels, **_props(rng, i)).id)
    eids = []
    for _ in range(edges):
        a, b = rng.choice(ids), rng.choice(ids)
        eids.append(db.add_edge(a, rng.choice(["KNOWS", "LIKES"]), b,
                                weight=rng.random(), since=rng.randrange(1990, 2030)).id)
    db.commit()
    for nid in rng.sample(ids, nodes // 3):
        db.update_node(nid, age=rng.randrange(100, 200), extra="y" * rng.randrange(0, 300))
    for eid in rng.sample(eids, edges // 10):
        db.delete_edge(eid)
    for nid in rng.sample(ids, nodes // 10):
        db.delete_node(nid)
    db.commit()
    db.close()


def damage_degrees(path, how_many=12, seed=3):
    """Overwrites the stored degree counters of live nodes spread over
    several slot pages with wrong values; the lists stay intact, so only
    repair_adjacency() notices (and fixes) them."""
    degrees = dbstate.stored_degrees(path)
    rng = random.Random(seed)
    victims = sorted(rng.sample(sorted(degrees), how_many))
    from orvi_tools import _engine

    with _engine.open(path) as f:
        offsets = {nid: f.node_slot(nid)["offset"] for nid in victims}
    degree_at = _engine.LAYOUT["node_fields"]["out_degree"]
    with open(path, "r+b") as f:
        for nid in victims:
            f.seek(offsets[nid] + degree_at)
            f.write(struct.pack("<II", degrees[nid][0] + 3, degrees[nid][1] + 7))
    return victims


# --- the operations ------------------------------------------------------

def prepare_commit(db, size=1):
    """A change of every kind, spanning several log pages."""
    rng = random.Random(11)
    live = [n.id for n in db.all_nodes()]
    new = [db.add_node(["New"], **_props(rng, 1000 + i)).id for i in range(30 * size)]
    pool = live + new
    for _ in range(40 * size):
        db.add_edge(rng.choice(pool), "NEW", rng.choice(pool), w=rng.random())
    for nid in rng.sample(live, 20):
        db.update_node(nid, age=-1, note="updated" * rng.randrange(1, 30))
    edges = [e.id for e in db.all_edges()]
    for eid in rng.sample(edges, 10):
        db.update_edge(eid, weight=2.5)
    for eid in rng.sample(edges, 5):
        if db.get_edge(eid) is not None:
            db.delete_edge(eid)
    for nid in rng.sample(live, 3):
        db.delete_node(nid)


def prepare_small(db):
    rng = random.Random(5)
    live = [n.id for n in db.all_nodes()]
    a = db.add_node(["Small"], v=1).id
    db.add_edge(a, "S", rng.choice(live))
    db.update_node(live[0], small=True)


def prepare_none(db):
    pass


class Op:
    def __init__(self, name, base, prepare, run, absorbed=0):
        self.name = name
        self.base = base  # "plain", "damaged" or "pending-log"
        self.prepare = prepare
        self.run = run
        self.retry = run
        # The last `absorbed` storage calls may fail without failing the
        # operation: it is complete before them (clear() has emptied the
        # database durably before it cuts the file). The state must then
        # be the new one, in this process and in a fresh one.
        self.absorbed = absorbed


OPS = {
    "commit": Op("commit", "plain", prepare_commit, lambda db: db.commit()),
    "commit_large": Op("commit_large", "plain", lambda db: prepare_commit(db, 8),
                       lambda db: db.commit()),
    "vacuum": Op("vacuum", "plain", prepare_none, lambda db: db.vacuum()),
    "vacuum_pending": Op("vacuum_pending", "plain", prepare_small, lambda db: db.vacuum()),
    "repair": Op("repair", "damaged", prepare_small, lambda db: db.repair_adjacency()),
    "clear": Op("clear", "plain", prepare_small, lambda db: db.clear(), absorbed=2),
    # The operation is the open itself; see run_case.
    "recover": Op("recover", "pending-log", prepare_none, None),
}


# --- states --------------------------------------------------------------

def closed_state(path):
    """Opens a closed file, returns (content, stored degrees, problems)."""
    db = orvi.open(path)
    try:
        state = dbstate.dump(db)
        problems = dbstate.adjacency_problems(db, state)
    finally:
        db.close()
    return state, dbstate.stored_degrees(path), problems


def classify(state, old, new, pending=None):
    if state == new:
        return "new"
    if state == old:
        return "old"
    if pending is not None and state == pending:
        return "pending"
    return "other"


# --- verifier (a fresh process) ------------------------------------------

def verifier_main(states_path):
    """Reads database paths on stdin, one per line; for each opens it in
    this process, classifies its state against the old and new states of
    the operation, checks its adjacency and stored degrees, closes it and
    answers with one JSON line."""
    with open(states_path, "rb") as f:
        states = pickle.load(f)
    old, new = states["old"], states["new"]
    for line in sys.stdin:
        path = line.strip()
        answer = {"class": None, "problems": []}
        try:
            state, degrees, problems = closed_state(path)
            full = (state, degrees)
            answer["class"] = classify(full, old, new)
            answer["problems"].extend(problems)
            if answer["class"] == "other":
                if old is not None and state == old[0] or state == new[0]:
                    detail = "the stored degree counters match neither"
                else:
                    detail = dbstate.describe_difference(state, new[0])
                answer["problems"].append("reopened state is neither old nor new: " + detail)
            if dbstate.file_wal_length(path):
                answer["problems"].append("log still pending after a clean open and close")
        except BaseException as exc:  # report, never die
            answer["problems"].append(f"reopen raised {type(exc).__name__}: {exc}")
        sys.stdout.write(json.dumps(answer) + "\n")
        sys.stdout.flush()


class Verifier:
    def __init__(self, states_path):
        self.proc = subprocess.Popen(
            [sys.executable, os.path.abspath(__file__), "verify", states_path],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)

    def check(self, path):
        self.proc.stdin.write(path + "\n")
        self.proc.stdin.flush()
        line = self.proc.stdout.readline()
        if not line:
            code = self.proc.wait()
            raise RuntimeError(f"verifier process died (exit status {code}) on {path}")
        return json.loads(line)

    def close(self):
        self.proc.stdin.close()
        self.proc.wait(timeout=60)


# --- the worker ----------------------------------------------------------

def copy_db(src, dst):
    for suffix in ("", ".tmp"):
        if os.path.exists(dst + suffix):
            os.unlink(dst + suffix)
        if os.path.exists(src + suffix):
            shutil.copyfile(src + suffix, dst + suffix)


def make_bases(op, workdir):
    """The saved database the operation starts from, and its old and new
    states (content, stored degrees)."""
    base = os.path.join(workdir, "base.db")
    build_base(base)
    if op.base == "damaged":
        damage_degrees(base)
    if op.base == "pending-log":
        # Fail the flush after the header that names the log: the log and
        # that header are in the file, no page has reached its home yet.
        # Copying the file now gives what a crash at that point leaves.
        db = orvi.open(base)
        prepare_commit(db)
        orvi._fault_arm(2, ops="flush")
        try:
            db.commit()
            raise AssertionError("the commit did not fail at its second flush")
        except OSError:
            pass
        finally:
            orvi._fault_disarm()
        snapshot = os.path.join(workdir, "pending.db")
        shutil.copyfile(base, snapshot)
        db.close()
        shutil.copyfile(snapshot, base)
        if not dbstate.file_wal_length(base):
            raise AssertionError("no pending log in the recovery base")
    old_path = os.path.join(workdir, "old.db")
    copy_db(base, old_path)
    if op.base == "pending-log":
        old = None  # a durable log must be replayed: only "new" is right
    else:
        st, deg, problems = closed_state(old_path)
        if op.base == "plain":
            problems += dbstate.degree_problems(old_path, st)
        if problems:
            raise AssertionError(f"base database inconsistent: {problems}")
        old = (st, deg)
    new_path = os.path.join(workdir, "new.db")
    copy_db(base, new_path)
    if op.name == "recover":
        pass
    else:
        db = orvi.open(new_path)
        op.prepare(db)
        pending = dbstate.dump(db)
        op.run(db)
        db.close()
    st, deg, problems = closed_state(new_path)
    problems += dbstate.degree_problems(new_path, st)
    if problems:
        raise AssertionError(f"fault-free run inconsistent: {problems}")
    new = (st, deg)
    if op.name == "recover":
        pending = st
    return base, old, new, pending


def count_calls(op, base, case):
    copy_db(base, case)
    if op.name == "recover":
        orvi._fault_arm(0)
        db = orvi.open(case)
        calls = orvi._fault_calls()
        orvi._fault_disarm()
        db.close()
        return calls
    db = orvi.open(case)
    op.prepare(db)
    orvi._fault_arm(0)
    op.run(db)
    calls = orvi._fault_calls()
    orvi._fault_disarm()
    db.close()
    return calls


def run_case(op, base, case, result, nth, calls, err, mode, old, new, pending, verifier):
    """One fault case; returns the list of problems found."""
    problems = []
    copy_db(base, case)
    for leftover in (result, result + ".tmp"):
        if os.path.exists(leftover):
            os.unlink(leftover)
    sticky = mode == "sticky"
    content = lambda s: None if s is None else s[0]  # noqa: E731
    old_c, new_c = content(old), content(new)
    db = None
    failed = False
    same = None
    try:
        if op.name == "recover":
            orvi._fault_arm(nth, err, sticky=sticky)
            try:
                db = orvi.open(case)
            except OSError:
                failed = True
            finally:
                orvi._fault_disarm()
            if failed and mode == "abandon":
                pass
            elif failed and mode == "twice":
                orvi._fault_arm(2, err)
                try:
                    db = orvi.open(case)
                except OSError:
                    pass
                finally:
                    orvi._fault_disarm()
            elif failed:
                db = orvi.open(case)  # retry, and the open after a dying disk
            if db is not None:
                same = classify(dbstate.dump(db), old_c, new_c)
                if same != "new":
                    problems.append(f"open after a failed recovery shows {same} state")
        else:
            db = orvi.open(case)
            op.prepare(db)
            orvi._fault_arm(nth, err, sticky=sticky)
            try:
                op.run(db)
            except OSError:
                failed = True
            finally:
                if mode != "sticky":
                    orvi._fault_disarm()
            if failed or mode == "sticky":
                # Reads still work and show a whole state.
                view = dbstate.dump(db)
                seen = classify(view, old_c, new_c, pending)
                if seen == "other":
                    problems.append("after the failure the handle shows a mixed state: "
                                    + dbstate.describe_difference(view, new_c))
                else:
                    problems.extend(dbstate.adjacency_problems(db, view))
            if mode == "retry" and failed:
                op.retry(db)
            elif mode == "twice" and failed:
                orvi._fault_arm(2, err)
                try:
                    op.retry(db)
                except OSError:
                    pass
                finally:
                    orvi._fault_disarm()
            elif mode == "rollback" or mode == "sticky":
                if failed:
                    # Keep working on the handle first: a new record must
                    # show up under its own label only (an index left
                    # describing records the failure removed would list
                    # it under theirs). The rollback below drops it.
                    db.add_node(["Probe"], probe=True)
                    problems.extend(dbstate.label_problems(db, dbstate.dump(db)[0]))
                try:
                    db.rollback()
                except OSError:
                    if mode != "sticky":
                        raise
                    same = "unknown"
                orvi._fault_disarm()
            if mode not in ("abandon", "twice") and same is None:
                view = dbstate.dump(db)
                same = classify(view, old_c, new_c)
                if mode == "retry" and same != "new":
                    problems.append(f"retried operation leaves the {same} state")
                if same == "other":
                    problems.append("after rollback the handle shows a mixed state: "
                                    + dbstate.describe_difference(view, new_c))
                problems.extend(dbstate.adjacency_problems(db, view))
        if not failed and nth <= calls - op.absorbed:
            problems.append("the failing storage call did not fail the operation")
        if not failed and nth <= calls and same not in (None, "new"):
            problems.append(f"a failure the operation absorbed left the {same} state")
        if mode in ("abandon", "twice") or db is None:
            copy_db(case, result)
            if db is not None:
                db.close()
        else:
            db.close()
            copy_db(case, result)
    except BaseException as exc:
        orvi._fault_disarm()
        problems.append(f"unexpected {type(exc).__name__}: {exc}")
        problems.append(traceback.format_exc(limit=3))
        if db is not None:
            try:
                db.close()
            except BaseException:
                pass
        return problems, failed, same, None
    answer = verifier.check(result)
    problems.extend(answer["problems"])
    fresh = answer["class"]
    if fresh not in ("old", "new") and not answer["problems"]:
        problems.append(f"fresh process sees the {fresh} state")
    if same in ("old", "new") and fresh in ("old", "new") and fresh != same:
        problems.append(f"the failing process saw the {same} state, a fresh one the {fresh} state")
    if not failed and fresh != "new":
        problems.append(f"the operation succeeded but a fresh process sees the {fresh} state")
    if op.name == "recover" and fresh != "new":
        problems.append(f"a durable log was not replayed (fresh process sees {fresh})")
    return problems, failed, same, fresh


def worker_main(spec):
    op = OPS[spec["op"]]
    err = spec["errno"]
    workdir = spec["dir"]
    modes = spec.get("modes") or (OPEN_MODES if op.name == "recover" else MODES)
    os.makedirs(workdir, exist_ok=True)
    base, old, new, pending = make_bases(op, workdir)
    states_path = os.path.join(workdir, "states.pickle")
    with open(states_path, "wb") as f:
        pickle.dump({"old": old, "new": new}, f)
    case = os.path.join(workdir, "case.db")
    result = os.path.join(workdir, "result.db")
    calls = count_calls(op, base, case)
    print(json.dumps({"op": op.name, "calls": calls}), flush=True)
    verifier = Verifier(states_path)
    passed = failed_cases = 0
    try:
        for nth in range(1, calls + 2):
            for mode in modes:
                problems, failed, same, fresh = run_case(
                    op, base, case, result, nth, calls, err, mode, old, new, pending, verifier)
                record = {"op": op.name, "errno": err, "nth": nth, "mode": mode,
                          "raised": failed, "same": same, "fresh": fresh,
                          "problems": problems}
                print(json.dumps(record), flush=True)
                if problems:
                    failed_cases += 1
                else:
                    passed += 1
    finally:
        verifier.close()
    print(json.dumps({"summary": True, "op": op.name, "errno": err, "calls": calls,
                      "absorbed": op.absorbed, "passed": passed, "failed": failed_cases}),
          flush=True)


if __name__ == "__main__":
    if not orvi._BUILT_WITH_FAULT_INJECTION:
        sys.exit("orvi was built without fault injection")
    if sys.argv[1] == "verify":
        verifier_main(sys.argv[2])
    else:
        worker_main(json.loads(sys.argv[2]))
