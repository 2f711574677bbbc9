"""orvi.Node and orvi.Edge: representations, mapping access, snapshots and
identity."""

import pytest

import orvi

from helpers import check


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


def _random_value(rng, depth):
    kind = rng.randrange(9 if depth < 3 else 6)
    if kind == 0:
        return None
    if kind == 1:
        return rng.random() < 0.5
    if kind == 2:
        return rng.choice([0, -1, 7, 2**63 - 1, -2**63, rng.randrange(-10**12, 10**12)])
    if kind == 3:
        return rng.choice([0.0, -0.0, 1.5, float("inf"), -1e300, rng.random()])
    if kind in (4, 5):
        return rng.choice(["", "x", "é日\U0001F600", "a" * 40, "key\x00nul",
                           str(rng.random())])
    if kind in (6, 7):
        return [_random_value(rng, depth + 1) for _ in range(rng.randrange(4))]
    return {rng.choice(["k", "é", "", "long" * 10, str(i)]): _random_value(rng, depth + 1)
            for i in range(rng.randrange(4))}


class TestReadRecordsMatchWrittenOnes:
    """Records read from the database keep their properties encoded and
    convert them on access; they must behave exactly like the records that
    add_node and add_edge return (and that all_nodes decodes in full)."""

    @staticmethod
    def same(read, written, word):
        assert read.id == written.id
        assert read.properties == written.properties
        assert read.properties is not read.properties
        assert sorted(read.keys()) == sorted(written.keys())
        for key in list(written.keys()) + ["absent", ""]:
            assert (key in read) == (key in written)
            assert read.get(key) == written.get(key)
            if key in written:
                assert read[key] == written[key]
            else:
                with check(KeyError, missing(word, key)):
                    read[key]

    def test_nodes_edges_and_walks(self, mem):
        import random
        rng = random.Random(17)
        written_nodes, written_edges = {}, {}
        for i in range(120):
            props = {f"p{j}": _random_value(rng, 0) for j in range(rng.randrange(5))}
            labels = rng.sample(["A", "B", "Green", "é"], rng.randrange(3))
            n = mem.add_node(labels, **props)
            written_nodes[n.id] = n
        ids = list(written_nodes)
        for i in range(300):
            props = {f"w{j}": _random_value(rng, 1) for j in range(rng.randrange(3))}
            e = mem.add_edge(rng.choice(ids), rng.choice(["E", "F", ""]),
                             rng.choice(ids), **props)
            written_edges[e.id] = e

        for nid, n in written_nodes.items():
            read = mem.get_node(nid)
            assert read.labels == n.labels
            self.same(read, n, "node")
            for e in mem.out_edges(nid) + mem.in_edges(nid):
                assert e.label == written_edges[e.id].label
                self.same(e, written_edges[e.id], "edge")
        for eid, e in written_edges.items():
            self.same(mem.get_edge(eid), e, "edge")
        for n in mem.nodes().label("Green").fetch() + mem.nodes().skip(3).limit(9).fetch():
            self.same(n, written_nodes[n.id], "node")
        for n, _ in mem.bfs(ids[0], 3) + mem.dfs(ids[1], 2):
            self.same(n, written_nodes[n.id], "node")
        path = mem.shortest_path(ids[0], ids[-1])
        for n in path or []:
            self.same(n, written_nodes[n.id], "node")
        # all_nodes decodes every record in full: the same answers.
        mem.commit()
        for n in mem.all_nodes():
            self.same(mem.get_node(n.id), n, "node")

    def test_nan_and_empty(self, mem):
        import math
        n = mem.add_node([], x=float("nan"), nested=[float("nan")])
        empty = mem.add_node([])
        read = mem.get_node(n.id)
        assert math.isnan(read["x"]) and math.isnan(read.properties["nested"][0])
        assert mem.get_node(empty.id).properties == {}
        assert mem.get_node(empty.id).keys() == []
        assert mem.get_node(empty.id).get("x") is None

    def test_repeated_key_in_a_stored_map(self, path):
        # A blob whose map names a key twice decodes with the later value;
        # a record read from the file gives the same answers.
        db = orvi.open(path)
        db.add_node([], aa=1, ab=2)
        db.commit()
        db.close()
        with open(path, "r+b") as f:
            data = f.read()
            # The blob in the data region (the log area holds a copy).
            at = data.index(b"\x02\x00\x00\x00ab\x02", 4198400)
            f.seek(at + 5)
            f.write(b"a")  # key "ab" becomes a second "aa"
        db = orvi.open(path)
        try:
            read = db.get_node(1)
            decoded = db.all_nodes()[0]
            assert decoded.properties == {"aa": 2}
            assert read.properties == {"aa": 2}
            assert read.keys() == ["aa"]
            assert read["aa"] == 2 and read.get("aa") == 2
            assert "ab" not in read
        finally:
            db.close()

    def test_many_distinct_names_and_labels(self, mem):
        # More distinct names than the binding keeps ready-made str objects
        # for: every read must still give each record its own names.
        written = []
        for i in range(1500):
            name = f"name{i}" if i % 3 else f"é{i}" * (1 + i % 9)
            written.append(mem.add_node([f"L{i % 700}", name],
                                        **{name: i, f"x{i % 37}": str(i)}))
        for n in written:
            read = mem.get_node(n.id)
            assert read.labels == n.labels
            assert read.properties == n.properties
            assert sorted(read.keys()) == sorted(n.keys())
