"""Conversion of Python values into property values, node ids, plain ids,
labels and options, and back."""

import math

import pytest

import orvi
from helpers import check, node_id_message

DEPTH = (
    "Property nesting depth exceeds the maximum of 32. Flatten nested "
    "structures before storing them as properties."
)


def type_message(name):
    return (
        "Property values must be None, bool, int, float, str, list, or dict "
        f"(nested values follow the same rules). Got type `{name}`."
    )


def nested(depth):
    value = None
    for _ in range(depth):
        value = [value]
    return value


def stored(db, value):
    """The value after a round trip through the database."""
    node = db.add_node([], v=value)
    return db.get_node(node.id)["v"]


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class TestPropertyValues:
    def test_scalars_round_trip(self, db):
        for value in [None, True, False, 0, -1, 1.5, "", "text", "é✓𝄞"]:
            got = stored(db, value)
            assert got == value and type(got) is type(value)

    def test_bool_is_not_int(self, mem):
        assert stored(mem, True) is True
        assert stored(mem, 1) == 1 and stored(mem, 1) is not True

    def test_int64_boundaries(self, mem):
        assert stored(mem, 2**63 - 1) == 2**63 - 1
        assert type(stored(mem, -(2**63))) is int
        big = stored(mem, 2**63)
        assert type(big) is float and big == 9223372036854775808.0
        assert type(stored(mem, -(2**63) - 1)) is float

    def test_huge_int_names_int(self, mem):
        with check(ValueError, type_message("int")):
            mem.add_node([], v=10**400)

    def test_float_specials(self, mem):
        assert math.isnan(stored(mem, float("nan")))
        assert stored(mem, float("-inf")) == float("-inf")

    @pytest.mark.parametrize("value,name", [((1,), "tuple"), ({1}, "set"),
                                            (b"x", "bytes"), (1j, "complex"),
                                            (object(), "object")])
    def test_unsupported_types(self, mem, value, name):
        with check(ValueError, type_message(name)):
            mem.add_node([], v=value)
        assert mem.node_count() == 0

    def test_node_object_is_not_a_value(self, mem):
        n = mem.add_node([])
        with check(ValueError, type_message("Node")):
            mem.update_node(n, v=n)

    def test_nested_containers(self, db):
        value = {"a": [1, {"b": [None, 2.5, "x"]}], "c": {}}
        assert stored(db, value) == value

    def test_depth_limit(self, mem):
        assert stored(mem, nested(32)) == nested(32)
        with check(ValueError, DEPTH):
            mem.add_node([], v=nested(33))
        deep_dict = {}
        for _ in range(33):
            deep_dict = {"k": deep_dict}
        with check(ValueError, DEPTH):
            mem.add_node([], v=deep_dict)

    def test_self_containing(self, mem):
        lst = [1]
        lst.append(lst)
        with check(ValueError, DEPTH):
            mem.add_node([], v=lst)
        d = {}
        d["self"] = d
        with check(ValueError, DEPTH):
            mem.add_node([], v=d)

    def test_dict_key_must_be_str(self, mem):
        with pytest.raises(TypeError):
            mem.add_node([], v={1: "x"})
        assert mem.node_count() == 0

    def test_first_bad_element_fails_everything(self, mem):
        n = mem.add_node([], a=1)
        with check(ValueError, type_message("tuple")):
            mem.update_node(n, a=2, b=[1, 2, (3,)])
        assert mem.get_node(n.id).properties == {"a": 1}

    def test_index_and_float_protocols(self, mem):
        assert stored(mem, Index(7)) == 7
        assert type(stored(mem, Index(2**70))) is float

        class Floaty:
            def __float__(self):
                return 2.5

        assert stored(mem, Floaty()) == 2.5

    def test_failing_index_falls_through_to_type_message(self, mem):
        class Bad:
            def __index__(self):
                raise RuntimeError("no")

        with check(ValueError, type_message("Bad")):
            mem.add_node([], v=Bad())

    def test_numpy_integers(self, mem):
        np = pytest.importorskip("numpy")
        assert stored(mem, np.int64(-5)) == -5
        assert type(stored(mem, np.uint8(7))) is int
        assert stored(mem, np.float32(0.5)) == 0.5
        n = mem.add_node([])
        assert mem.get_node(np.int64(n.id)).id == n.id
        assert mem.get_node(np.uint64(n.id)).id == n.id
        mem.update_node(np.int32(n.id), k=1)
        assert mem.get_node(n.id)["k"] == 1


class TestMutationDuringConversion:
    def test_list_cleared_by_hook(self, mem):
        lst = []

        class Clearer:
            def __index__(self):
                lst.clear()
                return 2

        lst.extend([1, Clearer(), 3])
        assert stored(mem, lst) == [1, 2, 3]

    def test_list_grown_by_hook(self, mem):
        lst = []

        class Grower:
            def __index__(self):
                lst.extend(range(1000))
                return 0

        lst.extend([Grower(), "x"])
        assert stored(mem, lst) == [0, "x"]

    def test_dict_mutated_by_hook(self, mem):
        d = {}

        class Mutator:
            def __index__(self):
                d.clear()
                for i in range(100):
                    d[f"k{i}"] = object()
                return 5

        d.update(a=Mutator(), b="kept")
        assert stored(mem, d) == {"a": 5, "b": "kept"}

    def test_hook_drops_last_reference(self, mem):
        holder = {}

        class Dropper:
            def __index__(self):
                holder.clear()  # the dict held the only other reference
                return 1

        holder["v"] = [Dropper(), [Dropper()]]
        value = holder["v"]
        del value
        assert mem.add_node([], **holder)["v"] == [1, [1]]


class TestUnicode:
    LONE = "\ud800"

    def test_refused_everywhere(self, mem, tmp_path):
        n = mem.add_node([])
        attempts = [
            lambda: mem.add_node([self.LONE]),
            lambda: mem.add_node([], v=self.LONE),
            lambda: mem.add_node([], v={self.LONE: 1}),
            lambda: mem.add_node([], v=["ok", self.LONE]),
            lambda: mem.add_node([], **{self.LONE: 1}),
            lambda: mem.add_edge(n, self.LONE, n),
            lambda: mem.out_edges(n, self.LONE),
            lambda: mem.neighbors(n, direction=self.LONE),
            lambda: orvi.open(str(tmp_path / self.LONE)),
            lambda: n.get(self.LONE),
        ]
        for attempt in attempts:
            with pytest.raises(UnicodeEncodeError):
                attempt()
        assert mem.node_count() == 1 and mem.edge_count() == 0
        assert list(tmp_path.iterdir()) == []

    def test_non_ascii_round_trip(self, db):
        n = db.add_node(["Ünïcode", "日本"], **{"clé": "väl", "𝄞": ["ß"]})
        got = db.get_node(n.id)
        assert got.labels == ["Ünïcode", "日本"]
        assert got.properties == {"clé": "väl", "𝄞": ["ß"]}


class TestNodeIds:
    def test_accepted_forms(self, mem):
        a = mem.add_node([])
        b = mem.add_node([])
        for ref in [b, b.id, Index(b.id)]:
            mem.add_edge(a, "L", ref)
        assert mem.add_edge(True, "L", a).from_node == 1

    @pytest.mark.parametrize("value,name", [(-1, "int"), (2**64, "int"),
                                            ("1", "str"), (1.0, "float"),
                                            (None, "NoneType")])
    def test_refused(self, mem, value, name):
        with check(ValueError, node_id_message(name)):
            mem.delete_node(value)

    def test_edge_is_not_a_node(self, mem):
        a = mem.add_node([])
        e = mem.add_edge(a, "L", a)
        with check(ValueError, node_id_message("Edge")):
            mem.out_edges(e)

    def test_zero_reaches_the_core(self, mem):
        with check(orvi.NodeNotFoundError,
                   "No node with id 0. Use a positive integer id returned "
                   "from add_node() or an existing Node.id; id 0 is never "
                   "valid."):
            mem.update_node(0, x=1)

    def test_largest_id(self, mem):
        with pytest.raises(orvi.NodeNotFoundError):
            mem.delete_node(2**64 - 1)


class TestPlainIds:
    def test_negative_and_huge(self, mem):
        message = ("get_node() argument 'node_id' must be an integer from 0 "
                   "to 18446744073709551615")
        with check(OverflowError, message):
            mem.get_node(-1)
        with check(OverflowError, message):
            mem.get_node(2**64)
        with check(OverflowError, message.replace("get_node", "update_edge")
                   .replace("node_id", "edge_id")):
            mem.update_edge(-5, x=1)

    def test_wrong_type(self, mem):
        n = mem.add_node([])
        with check(TypeError,
                   "get_node() argument 'node_id' must be int, not orvi.Node"):
            mem.get_node(n)
        with check(TypeError,
                   "get_edge() argument 'edge_id' must be int, not str"):
            mem.get_edge("1")
        with check(TypeError,
                   "get_edge() argument 'edge_id' must be int, not float"):
            mem.get_edge(1.0)

    def test_absent_ids(self, mem):
        n = mem.add_node([])
        assert mem.get_node(0) is None
        assert mem.get_node(n.id + 1) is None
        assert mem.get_node(2**64 - 1) is None
        assert mem.get_edge(0) is None
        assert mem.get_node(True).id == n.id

    def test_edge_reference(self, mem):
        n = mem.add_node([])
        e1 = mem.add_edge(n, "L", n)
        e2 = mem.add_edge(n, "L", n)
        mem.delete_edge(e1)
        mem.delete_edge(Index(e2.id))
        assert mem.edge_count() == 0
        with check(TypeError, "'str' object cannot be interpreted as an integer"):
            mem.delete_edge("1")
        with check(OverflowError, "can't convert negative int to unsigned"):
            mem.delete_edge(-1)
        with check(TypeError,
                   "'orvi.Node' object cannot be interpreted as an integer"):
            mem.delete_edge(n)


class TestLabelsAndOptions:
    def test_str_is_not_a_label_list(self, mem):
        with check(TypeError,
                   "add_node() argument 'labels' must be a sequence of str, "
                   "not str"):
            mem.add_node("AB")

    def test_sequences(self, mem):
        assert mem.add_node(("A", "B")).labels == ["A", "B"]
        assert mem.add_node([]).labels == []
        with check(TypeError, "add_node() argument 'labels' must contain only "
                              "str, not int"):
            mem.add_node(["A", 1])
        with check(TypeError, "add_node() argument 'labels' must be a sequence "
                              "of str, not set"):
            mem.add_node({"A"})
        assert mem.node_count() == 2

    def test_edge_label(self, mem):
        n = mem.add_node([])
        with check(TypeError, "add_edge() argument 'label' must be str, not int"):
            mem.add_edge(n, 5, n)
        # The label is checked before the node references.
        with check(TypeError, "add_edge() argument 'label' must be str, not None"):
            mem.add_edge("bad", None, "bad")
        assert mem.add_edge(n, "", n).label == ""

    def test_optional_label(self, mem):
        n = mem.add_node([])
        mem.add_edge(n, "A", n)
        assert len(mem.out_edges(n, None)) == 1
        assert mem.in_edges(n, label="B") == []
        with check(TypeError,
                   "in_edges() argument 'label' must be str or None, not int"):
            mem.in_edges(n, 3)

    def test_direction(self, mem):
        n = mem.add_node([])
        with check(ValueError,
                   "invalid direction: got 'OUT' (use 'out', 'in', or 'both')."):
            mem.neighbors(n, direction="OUT")
        with check(TypeError,
                   "neighbors() argument 'direction' must be str, not int"):
            mem.neighbors(n, None, 1)
        # The node reference is converted before the direction is checked.
        with check(ValueError, node_id_message("str")):
            mem.neighbors("x", direction="sideways")

    def test_embedded_nul_in_path(self, tmp_path):
        with pytest.raises(ValueError):
            orvi.open(str(tmp_path / "a\0b"))
        assert list(tmp_path.iterdir()) == []
