"""orvi.Node and orvi.Edge: representations, mapping access, snapshots and
identity."""

import pytest

from conftest import check


def missing(word, key):
    return (f"No property named '{key}' on this {word}. Use .get('{key}') if "
            "the key may be absent, or inspect .keys().")


@pytest.fixture
def pair(mem):
    n = mem.add_node(["Person"], name="Ann", tags=[{"a": [1, None]}])
    e = mem.add_edge(n, "KNOWS", n, since=2020)
    return n, e


class TestRepr:
    def test_node(self, mem):
        assert repr(mem.add_node([])) == "Node(id=1, labels=[])"
        n = mem.add_node(["Person", "Admin"], secret=1)
        assert repr(n) == 'Node(id=2, labels=["Person", "Admin"])'

    def test_node_label_escaping(self, mem):
        n = mem.add_node(['a"b', "c\\d", "t\tr\rn\n0\0", "bell\x07", "nb\xa0sp",
                          "é 日"])
        assert repr(n) == (
            'Node(id=1, labels=["a\\"b", "c\\\\d", "t\\tr\\rn\\n0\\0", '
            '"bell\\u{7}", "nb\\u{a0}sp", "é 日"])')

    def test_edge_label_unescaped(self, mem):
        n = mem.add_node([])
        e = mem.add_edge(n, "it's \"x\"", n)
        assert repr(e) == "Edge(id=1, label='it's \"x\"', from=1, to=1)"


class TestMappingAccess:
    @pytest.mark.parametrize("which,word", [(0, "node"), (1, "edge")])
    def test_missing_key(self, pair, which, word):
        obj = pair[which]
        with check(KeyError, missing(word, "nope")):
            obj["nope"]
        assert obj.get("nope") is None
        assert "nope" not in obj

    @pytest.mark.parametrize("which", [0, 1])
    def test_key_must_be_str(self, pair, which):
        obj = pair[which]
        with pytest.raises(TypeError):
            obj[1]
        with pytest.raises(TypeError):
            1 in obj
        with check(TypeError, "get() argument 'key' must be str, not int"):
            obj.get(1)
        with check(TypeError, "get() missing required argument 'key' (pos 1)"):
            obj.get()
        assert obj.get(key="nope") is None

    def test_values(self, pair):
        n, e = pair
        assert n["tags"] == [{"a": [1, None]}] == n.get("tags")
        assert "name" in n and sorted(n.keys()) == ["name", "tags"]
        assert e["since"] == 2020 and e.keys() == ["since"]
        assert (e.label, e.from_node, e.to_node) == ("KNOWS", n.id, n.id)

    def test_stored_null_reads_as_none(self, mem):
        n = mem.add_node([], v=None)
        assert "v" in n and n["v"] is None and n.get("v") is None


class TestSnapshots:
    def test_fresh_containers(self, pair):
        n, e = pair
        n.labels.append("X")
        n.properties["name"] = "changed"
        n["tags"][0]["a"].append(5)
        e.properties.clear()
        assert n.labels == ["Person"]
        assert n.properties == {"name": "Ann", "tags": [{"a": [1, None]}]}
        assert n.labels is not n.labels and n.keys() is not n.keys()
        assert e.properties == {"since": 2020}

    def test_read_only(self, pair):
        n, e = pair
        with pytest.raises(AttributeError):
            n.id = 5
        with pytest.raises(AttributeError):
            e.label = "x"
        with pytest.raises(TypeError):
            n["name"] = "x"

    def test_identity_equality(self, mem, pair):
        n, e = pair
        again = mem.get_node(n.id)
        assert again != n and again == again
        assert len({n, again}) == 2
        assert hash(n) != hash(again)
        assert mem.get_edge(e.id) != e
