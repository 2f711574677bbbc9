"""Checks of the benchmark harness itself: the generator is reproducible,
the adapters answer the same queries identically, the batch fallback loads
every record exactly once, and disagreements between peers are caught.

Run with: python -m pytest bench/tests
"""

import importlib.util
import json
import os
import sys

import numpy as np
import pytest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import commit_io  # noqa: E402
import graphgen as gg  # noqa: E402
import peer_main  # noqa: E402
import peers  # noqa: E402
import report  # noqa: E402
import run  # noqa: E402


@pytest.fixture(scope="module")
def graph():
    g = gg.make_graph(300, seed=7)
    return g, gg.make_workload(g, seed=7)


def has_module(name):
    return importlib.util.find_spec(name) is not None


class TestGenerator:
    def test_same_seed_same_graph_and_workload(self, graph):
        g, wl = graph
        g2 = gg.make_graph(300, seed=7)
        for field in ("kind", "colour", "age", "score", "src", "dst", "elabel", "w"):
            assert np.array_equal(getattr(g, field), getattr(g2, field)), field
        assert gg.make_workload(g2, seed=7) == wl

    def test_other_seed_other_edges(self, graph):
        g, _ = graph
        assert not np.array_equal(gg.make_graph(300, seed=8).src, g.src)

    def test_shape(self, graph):
        g, wl = graph
        assert g.m == 5 * g.n
        assert g.src.min() >= 1 and g.src.max() <= g.n
        assert g.dst.min() >= 1 and g.dst.max() <= g.n
        assert all(len(g.node_labels(i)) == 2 for i in range(g.n))
        # Heavy tail: the biggest hub is far above the mean degree.
        assert wl["max_in_degree"] > 4 * gg.EDGES_PER_NODE

    def test_walk_starts_have_out_edges(self, graph):
        g, wl = graph
        outdeg = np.bincount(g.src, minlength=g.n + 1)
        assert all(outdeg[s] > 0 for s in wl["bfs_starts"])
        assert all(a != b for a, b in wl["sp_pairs"])

    def test_far_and_unreachable_pairs(self, graph):
        nx = pytest.importorskip("networkx")
        g, wl = graph
        G = nx.DiGraph()
        G.add_edges_from(zip(g.src.tolist(), g.dst.tolist()))
        assert len(wl["sp_far_pairs"]) == len(wl["sp_unreachable_pairs"]) == 20
        for s, t in wl["sp_far_pairs"]:
            assert nx.shortest_path_length(G, s, t) >= gg.FAR_DISTANCE
        for s, t in wl["sp_unreachable_pairs"]:
            assert G.out_degree(s) > 0 and G.in_degree(t) > 0
            assert not nx.has_path(G, s, t)

    def test_stale_workload_cache_gains_the_new_lists(self, tmp_path):
        npz, wl = gg.ensure_cached(str(tmp_path), "tiny", 3)
        with open(wl) as f:
            old = json.load(f)
        del old["sp_far_pairs"]
        with open(wl, "w") as f:
            json.dump(old, f)
        gg.ensure_cached(str(tmp_path), "tiny", 3)
        _, workload = gg.load_cached(npz, wl)
        assert workload == gg.make_workload(gg.make_graph(gg.SIZES["tiny"], 3), 3)

    def test_cache_round_trip(self, tmp_path):
        npz, wl = gg.ensure_cached(str(tmp_path), "tiny", 3)
        g, workload = gg.load_cached(npz, wl)
        fresh = gg.make_graph(gg.SIZES["tiny"], 3)
        assert np.array_equal(g.dst, fresh.dst) and np.array_equal(g.score, fresh.score)
        assert workload == gg.make_workload(fresh, 3)


class FakePeer:
    """Records what is committed; refuses commits of more than `limit`."""

    def __init__(self, limit):
        self.limit, self.pending, self.committed = limit, [], []
        self.next_node = self.next_edge = 1

    def begin(self):
        pass

    def add_node(self, i):
        self.pending.append(("n", i))
        self.next_node += 1
        return self.next_node - 1

    def add_edge(self, j):
        self.pending.append(("e", j))
        self.next_edge += 1
        return self.next_edge - 1

    def commit(self):
        if len(self.pending) > self.limit:
            raise peers.BatchTooLarge("too large")
        self.committed.extend(self.pending)
        self.pending = []

    def rollback(self):
        # Ids of a rolled-back batch are handed out again, as in orvi.
        self.next_node -= sum(1 for k, _ in self.pending if k == "n")
        self.next_edge -= sum(1 for k, _ in self.pending if k == "e")
        self.pending = []


class TestBatchFallback:
    def test_every_record_once_in_order(self, graph):
        g, _ = graph
        peer = FakePeer(limit=300)
        info = peer_main.generic_load(peer, g, 1000)
        expected = [("n", i) for i in range(g.n)] + [("e", j) for j in range(g.m)]
        assert peer.committed == expected
        assert info["final_batch"] == 250 and len(info["notes"]) == 2

    def test_batch_kept_when_commits_fit(self, graph):
        g, _ = graph
        info = peer_main.generic_load(FakePeer(limit=10_000), g, 1000)
        assert info["final_batch"] == 1000 and info["notes"] == []

    def test_wrong_ids_stop_the_load(self, graph):
        g, _ = graph
        peer = FakePeer(limit=10_000)
        peer.next_node = 5
        with pytest.raises(AssertionError, match="expected 1"):
            peer_main.generic_load(peer, g, 1000)

    def test_refusal_of_a_single_record_propagates(self, graph):
        g, _ = graph
        with pytest.raises(peers.BatchTooLarge):
            peer_main.generic_load(FakePeer(limit=0), g, 4)


def loaded(cls, tmp_path, g):
    peer = cls(str(tmp_path))
    if hasattr(peer, "build"):
        peer.build(g)
        return peer
    peer.create(g)
    if hasattr(peer, "load"):
        peer.load(g, 1000)
    else:
        peer_main.generic_load(peer, g, 1000)
    peer.close()
    peer.open()
    return peer


def answers(peer, wl):
    """Order-free answers to the whole read workload."""
    truth_bfs = [sorted((i, d) for i, d, _ in peer.bfs(s, 3)) for s in wl["bfs_starts"]]
    lengths = []
    for key in ("sp_pairs", "sp_far_pairs", "sp_unreachable_pairs"):
        for s, t in wl[key]:
            p = peer.shortest_path(s, t)
            lengths.append(None if p is None else len(p) - 1)
    scan = sorted(i for i, _ in peer.label_scan(gg.SCAN_LABEL))
    return truth_bfs, lengths, scan


class TestPeersAgree:
    """Every available adapter gives the generator's records and the same
    traversal results as networkx on a small graph."""

    PEER_NAMES = ["sqlite-full", "kuzu", "orvi"]

    @pytest.fixture(scope="class")
    def reference(self, graph):
        if not has_module("networkx"):
            pytest.skip("networkx is not installed")
        g, wl = graph
        return answers(loaded(peers.NetworkxPeer, None, g), wl)

    @pytest.mark.parametrize("name", PEER_NAMES)
    def test_matches_networkx(self, name, graph, reference, tmp_path):
        if not has_module({"sqlite-full": "sqlite3"}.get(name, name)):
            pytest.skip(f"{name} is not installed")
        g, wl = graph
        peer = loaded(peers.PEERS[name], tmp_path, g)
        try:
            if name == "orvi" and not hasattr(peer.db, "bfs"):
                pytest.skip("this orvi build has no traversals yet")
            truth = peer_main.Truth(g)
            for i in (1, g.n // 2, g.n):
                assert peer.get_node(i) == truth.node(i)
                got = sorted((t, lab, tuple(sorted(p.items()))) for t, lab, p in peer.out_edges(i))
                assert got == truth.out_edges(i)
            assert answers(peer, wl) == reference
        finally:
            peer.close()

    def test_networkx_one_way_search_finds_equal_lengths(self, graph, reference):
        g, wl = graph
        peer = loaded(peers.NetworkxPeer, None, g)
        lengths = [None if p is None else len(p) - 1
                   for p in (peer.shortest_path_oneway(s, t) for s, t in wl["sp_pairs"])]
        assert lengths == reference[1][:len(wl["sp_pairs"])]
        assert peer.shortest_path_oneway(4, 4) == [(4, peer._props(4))]

    def test_sqlite_path_follows_edges(self, graph, tmp_path):
        g, wl = graph
        peer = loaded(peers.SqliteFullPeer, tmp_path, g)
        truth = peer_main.Truth(g)
        for s, t in wl["sp_pairs"]:
            path = peer.shortest_path(s, t)
            if path is not None:
                ids = [i for i, _ in path]
                assert ids[0] == s and ids[-1] == t
                assert all(truth.has_edge(a, b) for a, b in zip(ids, ids[1:]))
        assert peer.shortest_path(5, 5) == [(5, truth.node(5)[2])]
        peer.close()


class TestReport:
    def results(self, **checks):
        return {p: {"rows": {}, "checks": c} for p, c in checks.items()}

    def test_equal_checks_agree(self):
        r = self.results(orvi={"bfs3": {"visited": [1, 2]}},
                         kuzu={"bfs3": {"visited": [1, 2]}}, other={})
        assert report.agreement(r) == []

    def test_one_differing_peer_is_reported(self):
        r = self.results(orvi={"get_node": "aa", "bfs3": {"visited": [3]}},
                         kuzu={"get_node": "aa", "bfs3": {"visited": [4]}})
        problems = report.agreement(r)
        assert len(problems) == 1 and problems[0].startswith("bfs3")

    def test_ratio_and_missing_rows(self):
        r = {"orvi": {"rows": {"get_node": {"value": 2e-6}, "bfs3": {"unavailable": "x"}}},
             "sqlite-full": {"rows": {"get_node": {"value": 8e-6}, "bfs3": {"value": 1.0}}}}
        assert report.ratio(r, "sqlite-full", "get_node") == pytest.approx(4.0)
        assert report.ratio(r, "sqlite-full", "bfs3") is None
        assert report.cell(r, "orvi", "bfs3", "time") == "missing"
        assert "NOT met" not in report.target_status(r, "get_node", "small")
        assert "?" in report.target_status(r, "bfs3", "small")

    def test_strace_summary_parsing(self):
        text = """% time     seconds  usecs/call     calls    errors syscall
------ ----------- ----------- --------- --------- ----------------
 98.10    0.081234         676       120           fsync
  1.90    0.001573          78        20         2 fdatasync
------ ----------- ----------- --------- --------- ----------------
100.00    0.082807         591       140         2 total
"""
        assert run.parse_strace_summary(text) == {"fsync": 120, "fdatasync": 20}


class TestCommitIo:
    def test_sorted_pages_coalesce_into_runs(self):
        assert commit_io.runs([]) == []
        assert commit_io.runs([3, 4, 5, 9, 11, 12]) == [(3, 3), (9, 1), (11, 2)]

    def test_replay_reports_every_step_and_leaves_no_file(self, tmp_path, capsys):
        assert commit_io.main(["--pages", "3", "--commits", "2", "--region-pages", "8",
                               "--dir", str(tmp_path)]) == 0
        out = capsys.readouterr().out
        assert "2 commits of 3 pages" in out
        for step in ("log", "header", "home", "clear"):
            assert f"  {step} " in out
        assert list(tmp_path.iterdir()) == []

    def test_more_pages_than_the_log_holds_is_refused(self, tmp_path):
        with pytest.raises(SystemExit):
            commit_io.main(["--pages", "1019", "--region-pages", "2000", "--dir", str(tmp_path)])
