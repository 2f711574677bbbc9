"""GraphDB.bfs, dfs and shortest_path: visiting order, depths, direction,
missing nodes, argument conversion, and a property check against a plain
Python breadth-first search."""

import collections

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import orvi
from helpers import CLOSED, check, node_id_message, node_missing

U64_MAX = 2**64 - 1


def walk_ids(result):
    return [(node.id, depth) for node, depth in result]


def path_ids(path):
    return None if path is None else [n.id for n in path]


def graph(db, n, edges):
    """n unlabelled nodes (ids 1..n) and the (from, to[, label]) edges, added
    in the order given; returns the node ids."""
    nodes = [db.add_node([]).id for _ in range(n)]
    for e in edges:
        db.add_edge(e[0], e[2] if len(e) > 2 else "L", e[1])
    return nodes


class TestOrder:
    def test_chain(self, db):
        graph(db, 3, [(1, 2), (2, 3)])
        assert walk_ids(db.bfs(1, 1)) == [(2, 1)]
        assert walk_ids(db.bfs(1, 5)) == [(2, 1), (3, 2)]
        assert walk_ids(db.dfs(1, 5)) == [(2, 1), (3, 2)]
        assert walk_ids(db.bfs(2, 5)) == [(3, 1)]

    def test_diamond(self, db):
        # out_edges(1) lists the newest edge first: 1->3, then 1->2.
        graph(db, 4, [(1, 2), (1, 3), (2, 4), (3, 4)])
        assert walk_ids(db.bfs(1, 5)) == [(3, 1), (2, 1), (4, 2)]
        assert walk_ids(db.dfs(1, 5)) == [(2, 1), (4, 2), (3, 1)]
        assert walk_ids(db.bfs(1, 1)) == [(3, 1), (2, 1)]

    def test_dfs_explores_last_listed_target_first(self, db):
        # out_edges(1) = [1->2, 1->3]: 3 is pushed last, so it goes first.
        graph(db, 5, [(1, 3), (1, 2), (3, 4), (4, 5)])
        assert walk_ids(db.dfs(1, 5)) == [(3, 1), (4, 2), (5, 3), (2, 1)]
        assert walk_ids(db.dfs(1, 2)) == [(3, 1), (4, 2), (2, 1)]

    def test_dfs_depth_of_first_discovery(self, db):
        graph(db, 3, [(1, 2), (1, 3), (3, 2)])
        assert walk_ids(db.dfs(1, 5)) == [(2, 1), (3, 1)]

    def test_dfs_does_not_push_discovered_node_again(self, db):
        # 3 is processed before 2, but 2 was discovered from 1 at depth 1;
        # a recursive search would report it at depth 2 under 3.
        graph(db, 3, [(1, 3), (1, 2), (3, 2)])
        assert walk_ids(db.dfs(1, 5)) == [(3, 1), (2, 1)]

    def test_self_loop_and_cycle(self, db):
        graph(db, 3, [(1, 1), (1, 2), (2, 3), (3, 1)])
        assert walk_ids(db.bfs(1, 9)) == [(2, 1), (3, 2)]
        assert walk_ids(db.dfs(1, 9)) == [(2, 1), (3, 2)]

    def test_only_outgoing_edges(self, db):
        graph(db, 2, [(2, 1)])
        assert db.bfs(1, 5) == [] and db.dfs(1, 5) == []
        assert db.shortest_path(1, 2) is None
        assert path_ids(db.shortest_path(2, 1)) == [2, 1]

    def test_deleted_edges_and_nodes_not_followed(self, db):
        graph(db, 4, [(1, 2), (2, 3), (1, 4)])
        db.delete_edge(1)
        db.delete_node(4)
        assert db.bfs(1, 5) == [] and db.shortest_path(1, 3) is None
        assert walk_ids(db.bfs(2, 5)) == [(3, 1)]

    def test_result_types(self, db):
        graph(db, 2, [(1, 2)])
        (pair,) = db.bfs(db.get_node(1), 1)
        assert type(pair) is tuple and len(pair) == 2
        assert type(pair[0]) is orvi.Node and type(pair[1]) is int
        path = db.shortest_path(1, 2)
        assert type(path) is list and all(type(n) is orvi.Node for n in path)

    def test_long_chain_is_not_limited_by_recursion(self, mem):
        n = 3000
        graph(mem, n, [(i, i + 1) for i in range(1, n)])
        assert walk_ids(mem.dfs(1, U64_MAX)) == [(i, i - 1) for i in range(2, n + 1)]
        assert len(mem.shortest_path(1, n)) == n

    def test_sees_pending_changes(self, path):
        with orvi.open(path) as db:
            graph(db, 2, [(1, 2)])
            db.commit()
            db.add_edge(2, "L", db.add_node([]))
            assert walk_ids(db.bfs(1, 5)) == [(2, 1), (3, 2)]
            db.rollback()
            assert walk_ids(db.bfs(1, 5)) == [(2, 1)]


class TestMissingNodes:
    def test_depth_zero_touches_nothing(self, db):
        graph(db, 2, [(1, 2)])
        for start in (1, 0, 999, U64_MAX):
            assert db.bfs(start, 0) == [] and db.dfs(start, 0) == []

    @pytest.mark.parametrize("walk", ["bfs", "dfs"])
    def test_missing_start(self, db, walk):
        graph(db, 2, [(1, 2)])
        db.delete_node(2)
        for start in (0, 2, 999):
            with check(orvi.NodeNotFoundError, node_missing(start)):
                getattr(db, walk)(start, 1)

    def test_shortest_path_to_itself(self, db):
        graph(db, 2, [(1, 2)])
        assert path_ids(db.shortest_path(1, 1)) == [1]
        db.delete_node(2)
        assert db.shortest_path(2, 2) is None
        assert db.shortest_path(999, 999) is None

    def test_shortest_path_missing_ends(self, db):
        graph(db, 2, [(1, 2)])
        assert db.shortest_path(1, 999) is None
        with check(orvi.NodeNotFoundError, node_missing(999)):
            db.shortest_path(999, 1)

    def test_unreachable_goal(self, db):
        graph(db, 4, [(1, 2), (2, 1), (3, 4)])
        assert db.shortest_path(1, 4) is None


class TestShortestPath:
    def test_fewest_edges(self, db):
        graph(db, 5, [(1, 2), (2, 3), (3, 5), (1, 4), (4, 3), (2, 5)])
        assert path_ids(db.shortest_path(1, 5)) == [1, 2, 5]

    def test_tie_goes_to_first_discovered(self, db):
        # out_edges(1) = [1->3, 1->2]: 3 enters the queue first and reaches
        # 4 first.
        graph(db, 4, [(1, 2), (1, 3), (2, 4), (3, 4)])
        assert path_ids(db.shortest_path(1, 4)) == [1, 3, 4]

    def test_edge_label_is_exact(self, db):
        graph(db, 3, [(1, 2, "x"), (2, 3, "x"), (1, 3, "y"), (1, 3, "X")])
        assert path_ids(db.shortest_path(1, 3)) == [1, 3]
        assert path_ids(db.shortest_path(1, 3, "x")) == [1, 2, 3]
        assert path_ids(db.shortest_path(1, 3, edge_label="y")) == [1, 3]
        assert db.shortest_path(1, 3, "z") is None
        assert path_ids(db.shortest_path(1, 1, "z")) == [1]

    def test_none_label_means_any(self, db):
        graph(db, 2, [(1, 2, "")])
        assert path_ids(db.shortest_path(1, 2, None)) == [1, 2]
        assert path_ids(db.shortest_path(1, 2, "")) == [1, 2]


class TestArguments:
    def test_keywords_and_node_objects(self, db):
        graph(db, 2, [(1, 2)])
        a, b = db.get_node(1), db.get_node(2)
        assert walk_ids(db.bfs(start=a, max_depth=1)) == [(2, 1)]
        assert walk_ids(db.dfs(a, max_depth=True)) == [(2, 1)]
        assert path_ids(db.shortest_path(goal=b, start=a)) == [1, 2]

    def test_max_depth_through_index(self, db):
        class Depth:
            def __index__(self):
                return 1

        graph(db, 3, [(1, 2), (2, 3)])
        assert walk_ids(db.bfs(1, Depth())) == [(2, 1)]

    @pytest.mark.parametrize("walk", ["bfs", "dfs"])
    def test_max_depth_errors(self, mem, walk):
        f = getattr(mem, walk)
        with check(TypeError, f"{walk}() argument 'max_depth' must be int, not float"):
            f(1, 1.0)
        with check(TypeError, f"{walk}() argument 'max_depth' must be int, not None"):
            f(1, None)
        msg = f"{walk}() argument 'max_depth' must be an integer from 0 to {U64_MAX}"
        with check(OverflowError, msg):
            f(1, -1)
        with check(OverflowError, msg):
            f(1, 2**64)

    def test_conversion_order_of_walks(self, mem):
        # max_depth is converted before start.
        with pytest.raises(OverflowError):
            mem.bfs("x", -1)
        with check(ValueError, node_id_message("str")):
            mem.dfs("x", 1)
        with check(ValueError, node_id_message("int")):
            mem.bfs(-1, 0)

    def test_conversion_order_of_shortest_path(self, mem):
        msg = "shortest_path() argument 'edge_label' must be str or None, not int"
        with check(TypeError, msg):
            mem.shortest_path("a", "b", 5)
        with check(ValueError, node_id_message("str")):
            mem.shortest_path("a", 1.5)
        with check(ValueError, node_id_message("float")):
            mem.shortest_path(1, 1.5)
        with pytest.raises(UnicodeEncodeError):
            mem.shortest_path(1, 1, "\udc80")

    def test_binding(self, mem):
        with check(TypeError, "bfs() missing required argument 'max_depth' (pos 2)"):
            mem.bfs(1)
        with check(TypeError,
                   "shortest_path() missing required argument 'goal' (pos 2)"):
            mem.shortest_path(1)
        with check(TypeError, "dfs() takes at most 2 arguments (3 given)"):
            mem.dfs(1, 1, 1)

    def test_signatures(self):
        assert orvi.GraphDB.bfs.__text_signature__ == "($self, start, max_depth)"
        assert orvi.GraphDB.dfs.__text_signature__ == "($self, start, max_depth)"
        assert (orvi.GraphDB.shortest_path.__text_signature__
                == "($self, start, goal, edge_label=None)")

    def test_closed_handle(self, mem):
        mem.close()
        for call in (lambda: mem.bfs(1, 0), lambda: mem.dfs(1, 3),
                     lambda: mem.shortest_path(1, 1)):
            with check(ValueError, CLOSED):
                call()
        with pytest.raises(OverflowError):  # arguments are checked first
            mem.bfs(1, -1)


# --- property check against an independent reference ----------------------

def distances(n, edges, start, label=None):
    """Breadth-first distances from start over the live edges."""
    adj = collections.defaultdict(set)
    for a, b, lab in edges:
        if label is None or lab == label:
            adj[a].add(b)
    dist = {start: 0}
    queue = collections.deque([start])
    while queue:
        c = queue.popleft()
        for t in adj[c]:
            if t not in dist:
                dist[t] = dist[c] + 1
                queue.append(t)
    return dist


@st.composite
def graphs(draw):
    n = draw(st.integers(1, 10))
    node = st.integers(1, n)
    edges = draw(st.lists(st.tuples(node, node, st.sampled_from("xy")),
                          max_size=30))
    deleted = draw(st.sets(st.integers(0, max(len(edges) - 1, 0)),
                           max_size=len(edges) // 3))
    return n, edges, deleted


class TestAgainstReference:
    @settings(max_examples=150, deadline=None,
              suppress_health_check=[HealthCheck.too_slow])
    @given(graphs(), st.data())
    def test_walks_and_paths(self, g, data):
        n, edges, deleted = g
        start = data.draw(st.integers(1, n), label="start")
        goal = data.draw(st.integers(1, n), label="goal")
        max_depth = data.draw(st.integers(0, n + 1), label="max_depth")
        label = data.draw(st.sampled_from([None, "x", "y"]), label="label")
        with orvi.open(":memory:") as db:
            graph(db, n, edges)
            for i in deleted:
                db.delete_edge(i + 1)
            live = [e for i, e in enumerate(edges) if i not in deleted]
            links = {(a, b, lab) for a, b, lab in live}
            dist = distances(n, live, start)

            # bfs: exactly the nodes at distance 1..max_depth, each at its
            # distance, in non-decreasing depth order.
            found = walk_ids(db.bfs(start, max_depth))
            assert dict(found) == {v: d for v, d in dist.items()
                                   if 1 <= d <= max_depth}
            assert len(found) == len(dict(found))
            assert [d for _, d in found] == sorted(d for _, d in found)

            # dfs: each node once, reachable, never shallower than its
            # distance, discovered from an earlier node one level up.
            found = walk_ids(db.dfs(start, max_depth))
            depth_of = {start: 0}
            for v, d in found:
                assert v not in depth_of and dist[v] <= d <= max_depth
                assert any(depth_of.get(a) == d - 1 for a, b, _ in live if b == v)
                depth_of[v] = d
            if max_depth >= n:
                assert set(depth_of) == set(dist)

            # shortest_path: length is the labelled distance; every step is
            # an edge with the label.
            path = path_ids(db.shortest_path(start, goal, label))
            want = distances(n, live, start, label).get(goal)
            if want is None:
                assert path is None
            else:
                assert len(path) == want + 1
                assert path[0] == start and path[-1] == goal
                for a, b in zip(path, path[1:]):
                    assert any((a, b, lab) in links for lab in "xy"
                               if label is None or lab == label)
