"""Threads and processes sharing orvi databases.

Every scenario runs in a child interpreter with a time limit, so a deadlock
fails its test instead of hanging the run. Threads switch as often as the
interpreter allows, to interleave the calls as much as possible.
"""

import os
import signal
import subprocess
import sys
import textwrap

import pytest

import orvi

TIMEOUT = 300
CHILD_PREAMBLE = textwrap.dedent(
    """
    import os, sys, threading, random, time
    sys.setswitchinterval(1e-6)
    sys.path.insert(0, {crash!r})
    import orvi, dbstate
    """
).format(crash=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "crash"))


def run_child(code, *args, timeout=TIMEOUT):
    """Runs `code` in a fresh interpreter; returns its stdout. A non-zero
    exit, a crash or a hang fails the test."""
    try:
        proc = subprocess.run(
            [sys.executable, "-c", CHILD_PREAMBLE + textwrap.dedent(code), *args],
            capture_output=True, text=True, timeout=timeout,
        )
    except subprocess.TimeoutExpired as exc:
        pytest.fail(f"child hung (deadlock?) after {timeout}s; output: {exc.stdout!r}")
    assert proc.returncode == 0, (
        f"child exited with status {proc.returncode}\n{proc.stdout[-2000:]}\n{proc.stderr[-4000:]}"
    )
    return proc.stdout


class TestThreadsOnOneHandle:
    """Several threads calling every kind of method on one handle."""

    HAMMER = """
    path, n_threads, rounds = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    db = orvi.open(path)
    own = [set() for _ in range(n_threads)]      # live node ids per thread
    own_edges = [set() for _ in range(n_threads)]
    refused_blocks = [0] * n_threads
    errors = []

    def predicate_calls_back(node):
        # Runs after the handle's lock was released: calling back into the
        # same database must neither deadlock nor see a half-made change.
        again = db.get_node(node.id)
        outs = db.out_edges(node.id) if again is not None else []
        return again is not None and all(e.from_node == node.id for e in outs)

    def worker(t):
        rng = random.Random(t)
        label = f"T{t}"
        try:
            for i in range(rounds):
                r = rng.random()
                if r < 0.3 or len(own[t]) < 2:
                    own[t].add(db.add_node([label], t=t, i=i, s="x" * rng.randrange(200)).id)
                elif r < 0.45:
                    a, b = rng.sample(sorted(own[t]), 2)
                    own_edges[t].add(db.add_edge(a, "R", b, w=rng.random()).id)
                elif r < 0.55:
                    db.update_node(rng.choice(sorted(own[t])), seen=i)
                elif r < 0.62:
                    victim = rng.choice(sorted(own[t]))
                    gone = {e.id for e in db.out_edges(victim)} | {e.id for e in db.in_edges(victim)}
                    db.delete_node(victim)
                    own[t].discard(victim)
                    own_edges[t] -= gone
                elif r < 0.67 and own_edges[t]:
                    eid = rng.choice(sorted(own_edges[t]))
                    db.delete_edge(eid)
                    own_edges[t].discard(eid)
                elif r < 0.77:
                    n = db.nodes().label(label).where_(predicate_calls_back).count()
                    if n != len(own[t]):
                        errors.append(f"thread {t}: query saw {n} of {len(own[t])} nodes")
                elif r < 0.82:
                    for node, depth in db.bfs(rng.choice(sorted(own[t])), 3):
                        assert node.labels == [label]
                elif r < 0.9:
                    db.commit()
                elif r < 0.95:
                    try:
                        with db.transaction():
                            own[t].add(db.add_node([label], t=t, block=i).id)
                    except orvi.TransactionError:
                        # Another thread's block is open (the flag belongs
                        # to the handle): this block never ran.
                        refused_blocks[t] += 1
                elif r < 0.96:
                    try:
                        db.vacuum()   # commits everything pending, reopens
                    except orvi.TransactionError:
                        refused_blocks[t] += 1   # a block is open
                elif r < 0.97:
                    db.repair_adjacency()
                else:
                    db.all_edges()
                    db.degree_stats()
        except Exception as exc:
            errors.append(f"thread {t}: {type(exc).__name__}: {exc}")

    threads = [threading.Thread(target=worker, args=(t,)) for t in range(n_threads)]
    for th in threads: th.start()
    for th in threads: th.join()
    assert not errors, errors
    db.commit()
    for t in range(n_threads):
        got = {n.id for n in db.nodes().label(f"T{t}").fetch()}
        assert got == own[t], (t, sorted(got ^ own[t])[:10])
        edges = {e.id for e in db.edges().fetch() if e.from_node in own[t]}
        assert edges == own_edges[t], (t, sorted(edges ^ own_edges[t])[:10])
    state = dbstate.dump(db)
    problems = dbstate.adjacency_problems(db, state)
    assert not problems, problems[:5]
    db.close()
    db = orvi.open(path)
    assert dbstate.dump(db) == state
    db.close()
    assert not dbstate.degree_problems(path, state)
    print(len(state[0]), len(state[1]), sum(refused_blocks))
    """

    def test_mixed_reads_writes_queries_and_commits(self, tmp_path):
        out = run_child(self.HAMMER, str(tmp_path / "g.orvi"), "6", "800")
        nodes, edges, _ = map(int, out.split())
        assert nodes > 0 and edges > 0

    def test_memory_database(self):
        code = """
        db = orvi.open(":memory:")
        def work(t):
            for i in range(300):
                n = db.add_node(["M"], t=t, i=i)
                db.update_node(n, j=i)
                if i % 10 == 0:
                    db.commit()
                if i % 25 == 0:
                    db.nodes().where_(lambda x: db.get_node(x.id) is not None).count()
        ts = [threading.Thread(target=work, args=(t,)) for t in range(4)]
        for t in ts: t.start()
        for t in ts: t.join()
        db.commit()
        assert db.node_count() == 1200, db.node_count()
        got = {(n["t"], n["i"], n["j"]) for n in db.all_nodes()}
        assert got == {(t, i, i) for t in range(4) for i in range(300)}
        print("ok")
        """
        assert run_child(code).strip() == "ok"

    def test_close_while_other_threads_work(self, tmp_path):
        code = """
        db = orvi.open(sys.argv[1])
        busy = threading.Barrier(4)
        outcomes = []
        def work():
            busy.wait()
            while True:
                try:
                    db.add_node(["A"])
                    db.nodes().where_(lambda n: db.get_node(n.id) is not None).count()
                except ValueError as exc:
                    outcomes.append(str(exc))
                    return
        ts = [threading.Thread(target=work) for _ in range(3)]
        for t in ts: t.start()
        busy.wait()
        while db.node_count() < 50:
            pass
        db.close()
        for t in ts: t.join()
        assert len(outcomes) == 3, outcomes
        assert all("database handle is closed" in o for o in outcomes), outcomes
        again = orvi.open(sys.argv[1])   # the close released the file
        assert again.node_count() == 0   # nothing was committed
        again.close()
        print("ok")
        """
        assert run_child(code, str(tmp_path / "g.orvi")).strip() == "ok"


@pytest.mark.skipif(not hasattr(orvi.GraphDB, "merge_from"), reason="merge_from not built")
class TestMergingIntoEachOther:
    def test_two_handles_merge_both_ways_from_two_threads(self, tmp_path):
        code = """
        a = orvi.open(sys.argv[1])
        b = orvi.open(sys.argv[2])
        for i in range(50):
            a.add_node(["K"], key=f"a{i}")
            b.add_node(["K"], key=f"b{i}")
        a.commit(); b.commit()
        errors = []
        def merge(dst, src, rounds):
            try:
                for _ in range(rounds):
                    dst.merge_from(src, node_key=["key"], edge_strategy="idempotent")
                    dst.commit()
            except Exception as exc:
                errors.append(f"{type(exc).__name__}: {exc}")
        def write(db, prefix):
            try:
                for i in range(100):
                    n = db.add_node(["K"], key=f"{prefix}{i}")
                    db.add_edge(n, "E", n)
                    db.commit()
            except Exception as exc:
                errors.append(f"{type(exc).__name__}: {exc}")
        ts = [threading.Thread(target=merge, args=(a, b, 30)),
              threading.Thread(target=merge, args=(b, a, 30)),
              threading.Thread(target=write, args=(a, "x")),
              threading.Thread(target=write, args=(b, "y"))]
        for t in ts: t.start()
        for t in ts: t.join()
        assert not errors, errors
        a.merge_from(b, node_key=["key"], edge_strategy="idempotent"); a.commit()
        b.merge_from(a, node_key=["key"], edge_strategy="idempotent"); b.commit()
        keys_a = sorted(n["key"] for n in a.all_nodes())
        keys_b = sorted(n["key"] for n in b.all_nodes())
        want = sorted({f"{p}{i}" for p in "ab" for i in range(50)} |
                      {f"{p}{i}" for p in "xy" for i in range(100)})
        # A key merged once stays one node: no duplicates on either side.
        assert keys_a == want, (len(keys_a), len(want))
        assert keys_b == want, (len(keys_b), len(want))
        for db in (a, b):
            problems = dbstate.adjacency_problems(db)
            assert not problems, problems[:5]
            loops = [e for e in db.all_edges() if e.label == "E"]
            assert len(loops) == 200, len(loops)
        print("ok")
        """
        out = run_child(code, str(tmp_path / "a.orvi"), str(tmp_path / "b.orvi"))
        assert out.strip() == "ok"


CONTENDER = """
path, rounds = sys.argv[1], int(sys.argv[2])
refused = 0
done = 0
while done < rounds:
    try:
        db = orvi.open(path)
    except orvi.AlreadyOpenError:
        refused += 1
        time.sleep(0.0005)
        continue
    # While this process holds the file no other may write it: the
    # read-increment-commit below must never lose an update.
    counter = db.nodes().label("Counter").fetch()[0]
    db.update_node(counter, value=counter["value"] + 1, last=os.getpid())
    db.add_node(["Visit"], pid=os.getpid(), n=done)
    db.commit()
    db.close()
    done += 1
print(refused)
"""


def start_contenders(path, processes, rounds):
    code = CHILD_PREAMBLE + textwrap.dedent(CONTENDER)
    return [
        subprocess.Popen([sys.executable, "-c", code, path, str(rounds)],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        for _ in range(processes)
    ]


def finish(procs):
    outs = []
    for p in procs:
        try:
            out, err = p.communicate(timeout=TIMEOUT)
        except subprocess.TimeoutExpired:
            for q in procs:
                q.kill()
            pytest.fail("a contending process hung")
        assert p.returncode == 0, err[-3000:]
        outs.append(out)
    return outs


def counter_db(path):
    db = orvi.open(path)
    db.add_node(["Counter"], value=0)
    db.commit()
    db.close()


class TestProcessesContending:
    def test_processes_take_turns_and_lose_no_update(self, tmp_path):
        path = str(tmp_path / "shared.orvi")
        counter_db(path)
        procs = start_contenders(path, 4, 40)
        finish(procs)
        db = orvi.open(path)
        try:
            assert db.nodes().label("Counter").fetch()[0]["value"] == 160
            visits = db.nodes().label("Visit").fetch()
            assert len(visits) == 160
            assert len({v["pid"] for v in visits}) == 4
        finally:
            db.close()
        assert not os.path.exists(path + ".lock")

    def test_lock_of_a_killed_holder_is_reclaimed_under_contention(self, tmp_path):
        path = str(tmp_path / "shared.orvi")
        counter_db(path)
        for round_no in range(3):
            holder = subprocess.Popen(
                [sys.executable, "-c", CHILD_PREAMBLE + textwrap.dedent("""
                db = orvi.open(sys.argv[1])
                db.add_node(["Lost"])          # pending, never committed
                print("held", flush=True)
                time.sleep(600)
                """), path],
                stdout=subprocess.PIPE, text=True)
            assert holder.stdout.readline().strip() == "held"
            # While the holder lives, the lock is refused.
            with pytest.raises(orvi.AlreadyOpenError):
                orvi.open(path)
            holder.send_signal(signal.SIGKILL)
            holder.wait()
            holder.stdout.close()
            assert os.path.isdir(path + ".lock")  # left behind by the kill
            # Several processes race to reclaim it; each gets its turns.
            finish(start_contenders(path, 3, 5))
        db = orvi.open(path)
        try:
            assert db.nodes().label("Counter").fetch()[0]["value"] == 45
            assert db.nodes().label("Lost").count() == 0
        finally:
            db.close()
        assert not os.path.exists(path + ".lock")
        assert not [n for n in os.listdir(str(tmp_path)) if ".reap." in n]


class TestOtherNamesOfOneFile:
    """A hard link is another name of the same file: while the file is open
    it is refused under every name, here and in other processes, and the
    file that vacuum puts in place is guarded the same way."""

    TRY_OPEN = """
    try:
        orvi.open(sys.argv[1]).close()
        print("opened")
    except orvi.AlreadyOpenError:
        print("refused")
    """

    def elsewhere(self, path):
        return run_child(self.TRY_OPEN, path, timeout=120).strip()

    def test_hard_link_is_refused_until_close(self, tmp_path):
        path, alias = str(tmp_path / "g.orvi"), str(tmp_path / "alias.orvi")
        db = orvi.open(path)
        db.add_node(["Kept"])
        db.commit()
        os.link(path, alias)
        with pytest.raises(orvi.AlreadyOpenError) as info:
            orvi.open(alias)
        assert (f"writing: {os.path.realpath(alias)} (the same file as "
                f"{os.path.realpath(path)}). orvi allows") in str(info.value)
        assert self.elsewhere(alias) == "refused"
        assert not os.path.exists(alias + ".lock")

        db.vacuum()
        os.unlink(alias)  # named the file as it was before the vacuum
        os.link(path, alias)
        with pytest.raises(orvi.AlreadyOpenError):
            orvi.open(alias)
        assert self.elsewhere(alias) == "refused"
        db.add_node(["Kept"])
        db.commit()
        db.close()

        assert self.elsewhere(alias) == "opened"
        with orvi.open(alias) as again:
            assert again.nodes().label("Kept").count() == 2
            assert self.elsewhere(path) == "refused"
