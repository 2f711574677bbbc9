"""One adapter per database under test, all answering the same questions.

Every adapter returns plain Python values of the same shape, so the
harness can time identical work and compare results across peers:

  get_node(id)        -> (id, [labels], {props}) or None
  out_edges(id)       -> [(to_id, label, {props}), ...]   (any order)
  label_scan(label)   -> [(id, {props}), ...]             (any order)
  bfs(start, depth)   -> [(id, depth, {props}), ...]      start excluded
  shortest_path(s, t) -> [(id, {props}), ...] from s to t, or None

Each read materialises the records it returns (labels and properties as
Python objects): that is what a caller of any of these APIs pays for.

Writes go through add_node(i) / add_edge(j) (graph indexes, 0-based),
begin(), commit(), rollback(), or a whole load() for peers whose natural
bulk path is a batched statement. commit_one(seq) is a single-record
transaction: one new node and a commit.
"""

from __future__ import annotations

import json
import os
import sqlite3

import graphgen as gg


class BatchTooLarge(Exception):
    """A commit of the current batch was refused by the engine's limits."""


class Peer:
    name = "?"
    writes = True  # runs the load, open, commit and file-size rows
    reads = True  # runs the read and traversal rows

    def __init__(self, dbdir: str):
        self.dbdir = dbdir

    def version(self) -> str:
        return ""

    def files(self) -> list[str]:
        """Files that make up the database, for size and cache eviction."""
        return []

    def begin(self):
        pass


# --------------------------------------------------------------------- orvi


class OrviPeer(Peer):
    name = "orvi"

    def __init__(self, dbdir):
        super().__init__(dbdir)
        import orvi
        self.orvi = orvi
        self.path = os.path.join(dbdir, "graph.orvi")
        self.db = None

    def version(self):
        import datetime
        built = datetime.datetime.fromtimestamp(os.path.getmtime(self.orvi.__file__))
        return (f"{self.orvi.__version__} ({self.orvi.__file__}, "
                f"built {built.isoformat(timespec='minutes')})")

    def files(self):
        return [self.path]

    def create(self, g: gg.Graph):
        for p in (self.path, self.path + ".tmp"):
            if os.path.exists(p):
                os.remove(p)
        self.g = g
        self.db = self.orvi.open(self.path)

    def open(self):
        self.db = self.orvi.open(self.path)

    def close(self):
        if self.db is not None:
            self.db.close()
            self.db = None

    def add_node(self, i):
        g = self.g
        return self.db.add_node(g.node_labels(i), name=f"node{i + 1}",
                                age=int(g.age[i]), score=float(g.score[i])).id

    def add_edge(self, j):
        g = self.g
        return self.db.add_edge(int(g.src[j]), gg.EDGE_LABELS[g.elabel[j]],
                                int(g.dst[j]), w=float(g.w[j])).id

    def commit(self):
        try:
            self.db.commit()
        except self.orvi.TransactionError as e:
            if "WAL" in str(e):
                raise BatchTooLarge(str(e)) from e
            raise

    def rollback(self):
        self.db.rollback()

    def get_node(self, i):
        n = self.db.get_node(i)
        return None if n is None else (n.id, n.labels, n.properties)

    def out_edges(self, i):
        return [(e.to_node, e.label, e.properties) for e in self.db.out_edges(i)]

    def label_scan(self, label):
        return [(n.id, n.properties) for n in self.db.nodes().label(label).fetch()]

    def bfs(self, start, depth):
        return [(n.id, d, n.properties) for n, d in self.db.bfs(start, depth)]

    def shortest_path(self, s, t):
        path = self.db.shortest_path(s, t)
        return None if path is None else [(n.id, n.properties) for n in path]

    def commit_one(self, seq):
        self.db.add_node(["Probe"], seq=seq)
        self.db.commit()


# ------------------------------------------------------------------- sqlite

SQLITE_SCHEMA = """
CREATE TABLE nodes (id INTEGER PRIMARY KEY, labels TEXT NOT NULL, props TEXT NOT NULL);
CREATE TABLE node_labels (label TEXT NOT NULL, node_id INTEGER NOT NULL,
                          PRIMARY KEY (label, node_id)) WITHOUT ROWID;
CREATE TABLE edges (id INTEGER PRIMARY KEY, src INTEGER NOT NULL, dst INTEGER NOT NULL,
                    label TEXT NOT NULL, props TEXT NOT NULL);
CREATE INDEX edges_src ON edges (src);
CREATE INDEX edges_dst ON edges (dst);
"""

# Bound parameters per IN (...) list, under SQLite's default variable limit.
IN_CHUNK = 500


def chunks(seq, k):
    for i in range(0, len(seq), k):
        yield seq[i:i + k]


def grow_level(steps, links, other):
    """One level of a search from both ends: each (known, new) step records
    `new` in `links` (linked to `known`) unless seen before. Returns the new
    frontier and the first new node the other side has already reached
    (None when none has)."""
    frontier = []
    for known, new in steps:
        if new not in links:
            links[new] = known
            frontier.append(new)
            if new in other:
                return frontier, new
    return frontier, None


class SqlitePeer(Peer):
    """The schema an application would write: a node table with JSON labels
    and properties, a (label, node) table that indexes labels, and an edge
    table indexed on source and target. WAL journal; synchronous FULL or
    NORMAL. Connection in autocommit mode with explicit BEGIN/COMMIT, so a
    transaction is exactly what the harness asks for."""

    synchronous = "FULL"

    def __init__(self, dbdir):
        super().__init__(dbdir)
        self.path = os.path.join(dbdir, "graph.sqlite")
        self.conn = None

    def version(self):
        return f"SQLite {sqlite3.sqlite_version}, synchronous={self.synchronous}"

    def files(self):
        return [p for p in (self.path, self.path + "-wal", self.path + "-shm")
                if os.path.exists(p)]

    def _connect(self):
        conn = sqlite3.connect(self.path, isolation_level=None)
        conn.execute("PRAGMA journal_mode=WAL")
        conn.execute(f"PRAGMA synchronous={self.synchronous}")
        self.conn = conn
        self.q_node = "SELECT labels, props FROM nodes WHERE id = ?"
        self.q_out = "SELECT dst, label, props FROM edges WHERE src = ?"

    def create(self, g):
        for p in (self.path, self.path + "-wal", self.path + "-shm"):
            if os.path.exists(p):
                os.remove(p)
        self.g = g
        self._connect()
        self.conn.executescript(SQLITE_SCHEMA)

    def open(self):
        self._connect()

    def close(self):
        if self.conn is not None:
            self.conn.close()
            self.conn = None

    def begin(self):
        self.conn.execute("BEGIN")

    def add_node(self, i):
        g = self.g
        labels = g.node_labels(i)
        props = {"name": f"node{i + 1}", "age": int(g.age[i]), "score": float(g.score[i])}
        ex = self.conn.execute
        ex("INSERT INTO nodes (id, labels, props) VALUES (?, ?, ?)",
           (i + 1, json.dumps(labels), json.dumps(props)))
        for label in labels:
            ex("INSERT INTO node_labels (label, node_id) VALUES (?, ?)", (label, i + 1))
        return i + 1

    def add_edge(self, j):
        g = self.g
        self.conn.execute(
            "INSERT INTO edges (id, src, dst, label, props) VALUES (?, ?, ?, ?, ?)",
            (j + 1, int(g.src[j]), int(g.dst[j]), gg.EDGE_LABELS[g.elabel[j]],
             json.dumps({"w": float(g.w[j])})))
        return j + 1

    def commit(self):
        self.conn.execute("COMMIT")

    def rollback(self):
        self.conn.execute("ROLLBACK")

    def after_load(self):
        # Fold the log into the main file so the size row counts the data
        # once, as after any quiet period.
        self.conn.execute("PRAGMA wal_checkpoint(TRUNCATE)")

    def get_node(self, i):
        row = self.conn.execute(self.q_node, (i,)).fetchone()
        return None if row is None else (i, json.loads(row[0]), json.loads(row[1]))

    def out_edges(self, i):
        loads = json.loads
        return [(d, lab, loads(p)) for d, lab, p in self.conn.execute(self.q_out, (i,))]

    def label_scan(self, label):
        loads = json.loads
        return [(i, loads(p)) for i, p in self.conn.execute(
            "SELECT n.id, n.props FROM node_labels l JOIN nodes n ON n.id = l.node_id "
            "WHERE l.label = ?", (label,))]

    def _props_of(self, ids):
        loads = json.loads
        out = {}
        for part in chunks(ids, IN_CHUNK):
            q = "SELECT id, props FROM nodes WHERE id IN (%s)" % ",".join("?" * len(part))
            for i, p in self.conn.execute(q, part):
                out[i] = loads(p)
        return out

    def _expand(self, frontier):
        """(src, dst) of all out-edges of the frontier, one query per chunk."""
        for part in chunks(frontier, IN_CHUNK):
            q = "SELECT src, dst FROM edges WHERE src IN (%s)" % ",".join("?" * len(part))
            yield from self.conn.execute(q, part)

    def bfs(self, start, depth):
        # Level-synchronous walk; each level is fetched with IN (...) lists
        # rather than one query per node, the faster way to drive SQLite
        # from Python.
        visited = {start}
        found = []
        frontier = [start]
        for d in range(1, depth + 1):
            nxt = []
            for _, t in self._expand(frontier):
                if t not in visited:
                    visited.add(t)
                    nxt.append(t)
            found.extend((t, d) for t in nxt)
            frontier = nxt
            if not frontier:
                break
        props = self._props_of([t for t, _ in found])
        return [(t, d, props[t]) for t, d in found]

    def _expand_in(self, frontier):
        """(src, dst) of all in-edges of the frontier, one query per chunk."""
        for part in chunks(frontier, IN_CHUNK):
            q = "SELECT src, dst FROM edges WHERE dst IN (%s)" % ",".join("?" * len(part))
            yield from self.conn.execute(q, part)

    def shortest_path(self, s, t):
        # Searched from both ends, level by level like bfs, always growing
        # the smaller frontier (out-edges from s, in-edges into t, the latter
        # through the index on dst); the first node both sides reach lies on
        # a shortest path. This is networkx's bidirectional search.
        if s == t:
            p = self._props_of([s])
            return [(s, p[s])] if s in p else None
        parent, child = {s: None}, {t: None}
        ahead, behind = [s], [t]
        meet = None
        while ahead and behind and meet is None:
            if len(ahead) <= len(behind):
                ahead, meet = grow_level(self._expand(ahead), parent, child)
            else:
                behind, meet = grow_level(((v, u) for u, v in self._expand_in(behind)),
                                          child, parent)
        if meet is None:
            return None
        path = [meet]
        while parent[path[-1]] is not None:
            path.append(parent[path[-1]])
        path.reverse()
        while child[path[-1]] is not None:
            path.append(child[path[-1]])
        props = self._props_of(path)
        return [(i, props[i]) for i in path]

    def commit_one(self, seq):
        ex = self.conn.execute
        ex("BEGIN")
        cur = ex("INSERT INTO nodes (labels, props) VALUES (?, ?)",
                 ('["Probe"]', json.dumps({"seq": seq})))
        ex("INSERT INTO node_labels (label, node_id) VALUES (?, ?)", ("Probe", cur.lastrowid))
        ex("COMMIT")


class SqliteNormalPeer(SqlitePeer):
    """Same database with synchronous=NORMAL: in WAL mode a commit no longer
    waits for the disk (fsync only at checkpoints). Reads are identical to
    the FULL row, so only the write rows are run."""

    name = "sqlite-normal"
    synchronous = "NORMAL"
    reads = False


class SqliteFullPeer(SqlitePeer):
    name = "sqlite-full"
    synchronous = "FULL"


# --------------------------------------------------------------------- kuzu


class KuzuPeer(Peer):
    """Kùzu with one node table (labels as a STRING[] column, properties as
    typed columns) and one rel table. Queries are parameterised Cypher.
    Execution is pinned to one thread, like the other peers. Its bulk load
    sends each 1000-record batch through COPY (see load)."""

    name = "kuzu"

    def __init__(self, dbdir):
        super().__init__(dbdir)
        import kuzu
        self.kuzu = kuzu
        self.path = os.path.join(dbdir, "graph.kuzu")
        self.db = self.conn = None

    def version(self):
        return f"kuzu {self.kuzu.__version__}"

    def files(self):
        return [p for p in (self.path, self.path + ".wal", self.path + ".shadow")
                if os.path.exists(p)]

    def _connect(self):
        self.db = self.kuzu.Database(self.path, max_num_threads=1)
        self.conn = self.kuzu.Connection(self.db, num_threads=1)
        self.ex = self.conn.execute

    def create(self, g):
        for p in (self.path, self.path + ".wal", self.path + ".shadow", self.path + ".lock"):
            if os.path.exists(p):
                os.remove(p)
        self.g = g
        self._connect()
        self.ex("CREATE NODE TABLE N (id INT64, labels STRING[], name STRING, age INT64, "
                "score DOUBLE, PRIMARY KEY (id))")
        self.ex("CREATE REL TABLE E (FROM N TO N, eid INT64, label STRING, w DOUBLE)")

    def open(self):
        self._connect()
        self.next_probe = None

    def close(self):
        self.conn = None
        if self.db is not None:
            self.db.close()
            self.db = None

    def load(self, g, batch):
        # Each batch is written to a CSV file and loaded with one COPY, which
        # is one transaction in Kùzu. Statements per row (CREATE, or UNWIND
        # over a parameter list with a MATCH of both endpoints) cost 0.8 ms
        # per edge already at 10k nodes and grow with the node count.
        n, total = g.n, g.n + g.m
        csv_path = os.path.join(self.dbdir, "batch.csv")
        labels = gg.EDGE_LABELS
        for lo in range(0, total, batch):
            hi = min(lo + batch, total)
            if lo < n:
                with open(csv_path, "w") as f:
                    f.writelines(
                        f'{i + 1},"[{",".join(g.node_labels(i))}]",node{i + 1},'
                        f'{int(g.age[i])},{float(g.score[i])!r}\n'
                        for i in range(lo, min(hi, n)))
                self.ex(f"COPY N FROM '{csv_path}'")
            if hi > n:
                with open(csv_path, "w") as f:
                    f.writelines(
                        f"{int(g.src[j])},{int(g.dst[j])},{j + 1},{labels[g.elabel[j]]},"
                        f"{float(g.w[j])!r}\n"
                        for j in range(max(lo, n) - n, hi - n))
                self.ex(f"COPY E FROM '{csv_path}'")
        os.remove(csv_path)
        return {"batch": batch,
                "notes": [f"loaded with one COPY from a {batch}-row CSV file per commit"]}

    def after_load(self):
        self.ex("CHECKPOINT")

    def get_node(self, i):
        rows = self.ex("MATCH (n:N) WHERE n.id = $id RETURN n.labels, n.name, n.age, n.score",
                       {"id": i}).get_all()
        if not rows:
            return None
        labels, name, age, score = rows[0]
        return (i, labels, {"name": name, "age": age, "score": score})

    def out_edges(self, i):
        rows = self.ex("MATCH (a:N)-[e:E]->(b:N) WHERE a.id = $id RETURN b.id, e.label, e.w",
                       {"id": i}).get_all()
        return [(t, lab, {"w": w}) for t, lab, w in rows]

    def label_scan(self, label):
        rows = self.ex("MATCH (n:N) WHERE list_contains(n.labels, $l) "
                       "RETURN n.id, n.name, n.age, n.score", {"l": label}).get_all()
        return [(i, {"name": nm, "age": a, "score": s}) for i, nm, a, s in rows]

    def bfs(self, start, depth):
        rows = self.ex("MATCH p = (a:N)-[:E* SHORTEST 1..%d]->(b:N) WHERE a.id = $id "
                       "RETURN b.id, length(p), b.name, b.age, b.score" % depth,
                       {"id": start}).get_all()
        return [(i, d, {"name": nm, "age": a, "score": s})
                for i, d, nm, a, s in rows if i != start]

    def shortest_path(self, s, t):
        # Kùzu's default bound on variable-length patterns is 30 hops.
        rows = self.ex("MATCH p = (a:N)-[:E* SHORTEST 1..30]->(b:N) "
                       "WHERE a.id = $s AND b.id = $t RETURN nodes(p)",
                       {"s": s, "t": t}).get_all()
        if not rows:
            return None
        return [(n["id"], {"name": n["name"], "age": n["age"], "score": n["score"]})
                for n in rows[0][0]]

    def commit_one(self, seq):
        if self.next_probe is None:
            self.next_probe = self.ex("MATCH (n:N) RETURN max(n.id)").get_all()[0][0] + 1
        self.ex("CREATE (:N {id: $id, labels: ['Probe'], name: 'probe', age: $seq, score: 0.0})",
                {"id": self.next_probe, "seq": seq})
        self.next_probe += 1


# ----------------------------------------------------------------- networkx


class NetworkxPeer(Peer):
    """In-memory MultiDiGraph (parallel edges kept, keyed by edge id), node
    attributes 'labels' plus the properties. Read and traversal rows only;
    traversals use networkx's own functions."""

    name = "networkx"
    writes = False

    def __init__(self, dbdir):
        super().__init__(dbdir)
        import networkx
        self.nx = networkx

    def version(self):
        return f"networkx {self.nx.__version__}"

    def build(self, g):
        G = self.nx.MultiDiGraph()
        G.add_nodes_from((i + 1, {"labels": g.node_labels(i), **g.node_props(i)})
                         for i in range(g.n))
        labels = gg.EDGE_LABELS
        G.add_edges_from((int(g.src[j]), int(g.dst[j]), j + 1,
                          {"label": labels[g.elabel[j]], "w": float(g.w[j])})
                         for j in range(g.m))
        self.G = G

    def _props(self, i):
        return {k: v for k, v in self.G.nodes[i].items() if k != "labels"}

    def get_node(self, i):
        if i not in self.G:
            return None
        d = self.G.nodes[i]
        return (i, list(d["labels"]), {k: v for k, v in d.items() if k != "labels"})

    def out_edges(self, i):
        return [(v, d["label"], {"w": d["w"]}) for _, v, d in self.G.out_edges(i, data=True)]

    def label_scan(self, label):
        return [(i, {k: v for k, v in d.items() if k != "labels"})
                for i, d in self.G.nodes(data=True) if label in d["labels"]]

    def bfs(self, start, depth):
        dist = self.nx.single_source_shortest_path_length(self.G, start, cutoff=depth)
        return [(i, d, self._props(i)) for i, d in dist.items() if i != start]

    def shortest_path(self, s, t):
        try:
            path = self.nx.shortest_path(self.G, s, t)
        except self.nx.NetworkXNoPath:
            return None
        return [(i, self._props(i)) for i in path]

    def shortest_path_oneway(self, s, t):
        """Breadth-first from s only, stopping when t is discovered: the same
        search orvi runs, to tell the algorithm apart from the engine."""
        if s == t:
            return [(s, self._props(s))]
        parent = {}
        for child, par in self.nx.bfs_predecessors(self.G, s):
            parent[child] = par
            if child == t:
                break
        if t not in parent:
            return None
        path = [t]
        while path[-1] != s:
            path.append(parent[path[-1]])
        path.reverse()
        return [(i, self._props(i)) for i in path]


PEERS = {
    "orvi": OrviPeer,
    "sqlite-full": SqliteFullPeer,
    "sqlite-normal": SqliteNormalPeer,
    "kuzu": KuzuPeer,
    "networkx": NetworkxPeer,
}
