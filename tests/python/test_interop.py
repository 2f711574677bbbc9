"""networkx conversion, the tagged JSON values and the graph comparison."""

import math
import re
import sys
from pathlib import Path

import pytest

import orvi
from helpers import exact_state

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "python"))

from orvi_tools import first_difference, from_networkx, same_graph, to_networkx  # noqa: E402
from orvi_tools.exchange import FormatProblem, from_json_value, to_json_value  # noqa: E402


def social(db):
    ada = db.add_node(["Person"], name="Ada", born=1815, pos=[0.5, -1.0])
    bob = db.add_node(["Person", "Admin"], name="Bob", ratio=math.nan)
    tmp = db.add_node(["Temp"])
    club = db.add_node([], name="Club", meta={"$x": 1, "y": None})
    db.add_edge(ada, "KNOWS", bob, since=2001)
    db.add_edge(ada, "KNOWS", bob, since=2001)  # parallel twin
    db.add_edge(bob, "MEMBER", club)
    db.add_edge(club, "", club, loop=True)
    db.add_edge(tmp, "X", ada)
    db.delete_node(tmp)
    return db


@pytest.fixture
def source():
    db = orvi.open(":memory:")
    yield social(db)
    db.close()


@pytest.fixture
def target():
    db = orvi.open(":memory:")
    yield db
    db.close()


class TestTaggedJson:
    @pytest.mark.parametrize("value", [
        math.inf, -math.inf, {"$float": "nan"}, {"$map": {}}, {"$": 1}, {"$a": 1, "$b": 2},
        [math.inf, {"k": [-math.inf]}], -0.0, 2**63 - 1, "", {"": None},
    ])
    def test_values_round_trip(self, value):
        back = from_json_value(to_json_value(value))
        assert repr(back) == repr(value)

    def test_nan_round_trips(self):
        assert math.isnan(from_json_value(to_json_value(math.nan)))

    def test_single_dollar_keys_are_wrapped_and_others_are_not(self):
        assert to_json_value({"$ref": 1}) == {"$map": {"$ref": 1}}
        assert to_json_value({"$a": 1, "b": 2}) == {"$a": 1, "b": 2}
        assert to_json_value({"a$": 1}) == {"a$": 1}

    @pytest.mark.parametrize("value, message", [
        ({"$float": "1e400"}, "unknown $float value"),
        ({"$map": [1]}, "$map must hold an object"),
        ({"$set": [1]}, "unknown tag '$set'"),
        ([{"$float": [1]}], "unknown $float value [1] (use nan, inf, -inf)"),
        ({"k": {"$\ud800": 1}}, "unknown tag '$\\ud800'"),
    ])
    def test_bad_tags(self, value, message):
        with pytest.raises(FormatProblem, match=re.escape(message)):
            from_json_value(value)

    def test_a_value_nested_beyond_the_recursion_limit(self):
        value: list = []
        for _ in range(100_000):
            value = [value]
        with pytest.raises(RecursionError):
            from_json_value(value)


class TestCompare:
    def test_equal_copies_and_each_kind_of_difference(self, source, target):
        social(target)
        assert same_graph(source, target)
        target.update_node(1, born=1815.0)  # int against float
        assert "node 1 has properties" in first_difference(source, target)

    def test_edge_differences(self, source, target):
        social(target)
        target.add_edge(1, "KNOWS", 2, since=2001)
        assert "extra edge" in first_difference(source, target)
        assert "has no counterpart" in first_difference(target, source)

    def test_node_count_and_labels(self, source, target):
        assert first_difference(source, target) == "3 nodes against 0"
        target.add_node(["Person"], name="Ada", born=1815, pos=[0.5, -1.0])
        target.add_node(["Admin", "Person"], name="Bob", ratio=math.nan)
        target.add_node([])
        assert first_difference(source, target) == (
            "node 2 has labels ['Person', 'Admin'], its counterpart 2 has ['Admin', 'Person']")


class TestNetworkx:
    nx = pytest.importorskip("networkx")

    def test_to_networkx_shape(self, source):
        graph = to_networkx(source)
        assert isinstance(graph, self.nx.MultiDiGraph)
        assert list(graph.nodes) == [1, 2, 4]
        assert graph.nodes[2]["labels"] == ["Person", "Admin"]
        assert graph.nodes[1]["pos"] == [0.5, -1.0]
        assert graph.number_of_edges(1, 2) == 2
        assert graph.edges[4, 4, 4] == {"label": "", "loop": True}
        assert sorted(k for _, _, k in graph.edges(keys=True)) == [1, 2, 3, 4]

    def test_round_trip(self, source, target):
        mapping = from_networkx(to_networkx(source), target, key_attr=None)
        assert mapping == {1: 1, 2: 2, 4: 3}
        assert first_difference(source, target) is None

    def test_building_into_a_file_equals_adding_to_a_handle(self, source, tmp_path):
        graph = to_networkx(source)
        added, built = str(tmp_path / "added.orvi"), str(tmp_path / "built.orvi")
        with orvi.open(added) as db:
            expected = from_networkx(graph, db)
        assert from_networkx(graph, built) == expected
        with orvi.open(added) as a, orvi.open(built) as b:
            assert exact_state(a) == exact_state(b)
        graph.add_node("bad", labels=["K"], value=object())
        with pytest.raises(ValueError, match="^node 'bad': Property values must be"):
            from_networkx(graph, str(tmp_path / "none.orvi"))
        assert not (tmp_path / "none.orvi").exists()

    def test_node_keys_come_back(self, tmp_path):
        graph = self.nx.MultiDiGraph()
        keys = ["a", 7, 2.5, -(2**63), ("x", (1, 2)), (), "nx"]
        for number, key in enumerate(keys):
            graph.add_node(key, labels=["K"], n=number)
        graph.add_edge("a", ("x", (1, 2)), label="T")
        graph.add_edge((), (), label="LOOP")
        graph.add_edge(7, "a")
        path = str(tmp_path / "keys.orvi")
        with orvi.open(path) as db:
            from_networkx(graph, db)
        with orvi.open(path) as db:
            assert db.get_node(5)["nx:key"] == ["x", [1, 2]]
            back = to_networkx(db)
        assert list(back.nodes) == keys
        assert [type(k) for k in back.nodes] == [type(k) for k in keys]
        assert back.nodes[("x", (1, 2))] == {"labels": ["K"], "n": 4}
        assert sorted(map(repr, back.edges())) == sorted(map(repr, graph.edges()))

    def test_key_attribute_choice_and_refusals(self, target):
        graph = self.nx.DiGraph()
        graph.add_edge("p", "q")
        from_networkx(graph, target, key_attr="origin")
        assert target.get_node(1).properties == {"origin": "p"}
        assert list(to_networkx(target, key_attr="origin").nodes) == ["p", "q"]
        # A second copy of the same keys: the keys no longer name one node each.
        from_networkx(graph, target, key_attr="origin")
        with pytest.raises(ValueError, match="nodes 1 and 3 both have the graph key 'p'"):
            to_networkx(target, key_attr="origin")
        assert list(to_networkx(target, key_attr=None).nodes) == [1, 2, 3, 4]
        for key, message in [(frozenset([1]), "a key of type frozenset cannot be stored"),
                             (2**70, "beyond 64 bits"), ((1, 2**64), "beyond 64 bits")]:
            bad = self.nx.Graph()
            bad.add_node(key)
            with pytest.raises(ValueError, match=message):
                from_networkx(bad, target)
        clash = self.nx.Graph()
        clash.add_node(1, **{"nx:key": "mine"})
        with pytest.raises(ValueError, match="attribute named 'nx:key'"):
            from_networkx(clash, target)
        assert target.node_count() == 4
        mapping = from_networkx(clash, target, key_attr=None)
        assert target.get_node(mapping[1]).properties == {"nx:key": "mine"}

    def test_round_trip_through_a_file_database_commits(self, tmp_path, source):
        path = str(tmp_path / "nx.orvi")
        with orvi.open(path) as db:
            from_networkx(to_networkx(source), db, key_attr=None)
        with orvi.open(path) as db:
            assert first_difference(source, db) is None

    def test_plain_graphs_and_attribute_conversion(self, target):
        graph = self.nx.Graph()
        graph.add_node("a", labels="City", pos=(1, 2))
        graph.add_node("b", labels=("City", "Port"))
        graph.add_edge("a", "b", label="ROAD", km=12.5)
        graph.add_edge("b", "b")
        mapping = from_networkx(graph, target)
        a, b = target.get_node(mapping["a"]), target.get_node(mapping["b"])
        assert a.labels == ["City"] and a["pos"] == [1, 2]
        assert b.labels == ["City", "Port"]
        road = target.out_edges(a)[0] if target.out_edges(a) else target.out_edges(b)[0]
        assert (road.label, road["km"]) == ("ROAD", 12.5)
        loop = [e for e in target.all_edges() if e.from_node == e.to_node]
        assert loop[0].label == ""

    def test_conflicting_attribute_names(self, target):
        node = target.add_node([])
        target.update_node(node, labels="oops")
        with pytest.raises(ValueError, match="property named 'labels'"):
            to_networkx(target)
        graph = to_networkx(target, labels_attr="kinds")
        assert graph.nodes[1] == {"labels": "oops", "kinds": []}

    def test_bad_value_names_the_node_and_rolls_back(self, tmp_path):
        graph = self.nx.DiGraph()
        graph.add_node(1)
        graph.add_node(2, when={1, 2})
        with orvi.open(str(tmp_path / "f.orvi")) as db:
            db.add_node(["Before"])
            with pytest.raises(ValueError, match=r"node 2: .*Got type `set`"):
                from_networkx(graph, db)
            # Pending work from before the call was committed; the failed
            # batch was rolled back.
            assert [n.labels for n in db.all_nodes()] == [["Before"]]

    def test_bad_label_types(self, target):
        graph = self.nx.DiGraph()
        graph.add_node(1, labels=[1])
        with pytest.raises(ValueError, match="labels must be a string or a list of strings"):
            from_networkx(graph, target)
        graph = self.nx.DiGraph()
        graph.add_edge(1, 2, label=5)
        with pytest.raises(ValueError, match="edge 1 -> 2: the label must be a string"):
            from_networkx(graph, target)

    def test_commit_false_leaves_everything_pending(self, tmp_path):
        path = str(tmp_path / "p.orvi")
        graph = self.nx.path_graph(5, create_using=self.nx.DiGraph)
        with orvi.open(path) as db:
            from_networkx(graph, db, commit=False)
            assert db.edge_count() == 4
            db.rollback()
            assert db.node_count() == 0

    def test_graph_larger_than_one_commit(self, tmp_path):
        graph = self.nx.gnm_random_graph(30_000, 6_000, seed=7, directed=True)
        for node in graph.nodes:
            graph.nodes[node]["n"] = node
        path = str(tmp_path / "big.orvi")
        with orvi.open(path) as db:
            mapping = from_networkx(graph, db)
            assert len(mapping) == 30_000
        with orvi.open(path) as db:
            assert (db.node_count(), db.edge_count()) == (30_000, 6_000)
            back = to_networkx(db)
        assert sorted(back.edges()) == sorted(graph.edges())
