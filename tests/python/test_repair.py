"""GraphDB.repair_adjacency(): rebuilding adjacency lists and degree
counters from the live edge slots, on files damaged by editing slot bytes,
and refusing (with the file untouched) when an edge has no live endpoint."""

import struct

import pytest

import orvi
from helpers import CLOSED, check

PAGE = 4096
CORRUPT = ("The database file failed an internal integrity check and may be "
           "damaged: ")
STOPPED = (". Adjacency repair stopped before making changes. Treat this "
           "database as damaged, take a backup, and restore from a known-good "
           "copy or salvage readable records into a new database.")


def missing_endpoint(edge, which, node):
    return (f"{CORRUPT}Database integrity failure: live edge {edge} points to "
            f"missing or deleted {which} node {node}{STOPPED}")


def cycle_message(node, word, edge):
    return (f"{CORRUPT}Database integrity failure: detected a cycle while "
            f"traversing node {node}'s {word} adjacency list (revisited edge "
            f"{edge}). The adjacency metadata is damaged and reads cannot "
            "continue safely. Stop writing to this database, take a backup, "
            "and run `repair_adjacency()` if your application exposes it. If "
            "repair is unavailable or fails, restore from a known-good backup.")


def foreign_message(node, word, edge, end, owner):
    return (f"{CORRUPT}Database integrity failure: node {node}'s {word} "
            f"adjacency list reaches edge {edge}, whose {end} is node {owner}. "
            "The adjacency metadata is damaged and reads cannot continue "
            "safely. Stop writing to this database, take a backup, and run "
            "`repair_adjacency()` if your application exposes it. If repair "
            "is unavailable or fails, restore from a known-good backup.")


class SlotFile:
    """Reads and patches node and edge slots of a closed database file.

    Slots are found the way the file format lays them out: the header holds
    the first extent-index page of each kind (node at byte 56, edge at 64);
    each index page lists extent base offsets (next page at 0, count at 8,
    entries from 16); slot n sits in extent (n-1) // per_extent, on page
    r // per_page, at 8 + size * (r % per_page) inside that page.
    """

    NODE = (56, 16128, 63, 64)  # index head, per extent, per page, size
    EDGE = (64, 13056, 51, 80)
    NODE_FIELDS = {"id": (0, "Q"), "first_out": (8, "Q"), "first_in": (16, "Q"),
                   "out_degree": (40, "I"), "in_degree": (44, "I"),
                   "flags": (60, "B")}
    EDGE_FIELDS = {"id": (0, "Q"), "from": (8, "Q"), "to": (16, "Q"),
                   "next_out": (24, "Q"), "next_in": (32, "Q"),
                   "prop_offset": (40, "Q"), "prop_len": (48, "I"),
                   "label_len": (64, "I"), "flags": (68, "B")}

    def __init__(self, path):
        self.path = path
        with open(path, "rb") as f:
            self.data = bytearray(f.read())

    def u(self, fmt, offset):
        return struct.unpack_from("<" + fmt, self.data, offset)[0]

    def extent_base(self, head_field, extent):
        page = self.u("Q", head_field)
        while True:
            assert page != 0, "extent not listed"
            count = self.u("I", page + 8)
            if extent < count:
                return self.u("Q", page + 16 + 8 * extent)
            extent -= count
            page = self.u("Q", page)

    def slot(self, kind, record_id):
        head, per_extent, per_page, size = kind
        i = record_id - 1
        r = i % per_extent
        base = self.extent_base(head, i // per_extent)
        offset = base + PAGE * (r // per_page) + 8 + size * (r % per_page)
        assert self.u("Q", offset) == record_id
        return offset

    def get(self, kind, fields, record_id, name):
        at, fmt = fields[name]
        return self.u(fmt, self.slot(kind, record_id) + at)

    def set(self, kind, fields, record_id, name, value):
        at, fmt = fields[name]
        struct.pack_into("<" + fmt, self.data, self.slot(kind, record_id) + at,
                         value)

    def node(self, node_id, name):
        return self.get(self.NODE, self.NODE_FIELDS, node_id, name)

    def set_node(self, node_id, name, value):
        self.set(self.NODE, self.NODE_FIELDS, node_id, name, value)

    def edge(self, edge_id, name):
        return self.get(self.EDGE, self.EDGE_FIELDS, edge_id, name)

    def set_edge(self, edge_id, name, value):
        self.set(self.EDGE, self.EDGE_FIELDS, edge_id, name, value)

    def save(self):
        with open(self.path, "wb") as f:
            f.write(self.data)


def file_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def lists(db):
    return ({n.id: [e.id for e in db.out_edges(n)] for n in db.all_nodes()},
            {n.id: [e.id for e in db.in_edges(n)] for n in db.all_nodes()})


@pytest.fixture
def triangle(path):
    """Nodes 1, 2, 3; edges 1:1->2, 2:1->2, 3:1->2, 4:2->3, 5:3->3,
    6:3->1 (deleted), 7:1->3; committed and closed."""
    with orvi.open(path) as db:
        a, b, c = (db.add_node(["N"], name=x) for x in "abc")
        for _ in range(3):
            db.add_edge(a, "ab", b)
        db.add_edge(b, "bc", c)
        db.add_edge(c, "loop", c)
        gone = db.add_edge(c, "ca", a)
        db.add_edge(a, "ac", c)
        db.delete_edge(gone)
        db.commit()
    return path


EXPECTED_OUT = {1: [7, 3, 2, 1], 2: [4], 3: [5]}
EXPECTED_IN = {1: [], 2: [3, 2, 1], 3: [7, 5, 4]}
TRUE_DEGREES = {1: (4, 0), 2: (1, 3), 3: (1, 3)}


def assert_degrees(path):
    slots = SlotFile(path)
    for node_id, (out_deg, in_deg) in TRUE_DEGREES.items():
        assert (slots.node(node_id, "out_degree"),
                slots.node(node_id, "in_degree")) == (out_deg, in_deg), node_id


class TestUndamaged:
    def test_rebuilds_identical_lists(self, triangle):
        with orvi.open(triangle) as db:
            assert lists(db) == (EXPECTED_OUT, EXPECTED_IN)
            counts = db.repair_adjacency()
            assert counts == {"nodes_rewritten": 3, "edges_relinked": 6}
            assert list(counts) == ["nodes_rewritten", "edges_relinked"]
            assert all(type(v) is int for v in counts.values())
            assert lists(db) == (EXPECTED_OUT, EXPECTED_IN)
        assert_degrees(triangle)

    def test_empty(self, db):
        assert db.repair_adjacency() == {"nodes_rewritten": 0, "edges_relinked": 0}
        assert db.node_count() == 0

    def test_memory_with_pending_changes(self, mem):
        a = mem.add_node([])
        b = mem.add_node([])
        mem.add_edge(a, "x", b)
        mem.add_edge(b, "y", a)
        mem.delete_node(mem.add_node([]))
        assert mem.repair_adjacency() == {"nodes_rewritten": 2, "edges_relinked": 2}
        mem.rollback()  # the repair committed everything pending
        assert [e.id for e in mem.out_edges(a)] == [1]
        assert [e.id for e in mem.in_edges(a)] == [2]

    def test_commits_pending_changes_even_in_a_block(self, path):
        with orvi.open(path) as db:
            with pytest.raises(RuntimeError):
                with db.transaction():
                    db.add_node(["Pending"])
                    db.repair_adjacency()
                    raise RuntimeError("roll back after the repair")
            # The block's rollback found nothing left to discard.
            assert db.node_count() == 1
        with orvi.open(path) as db:
            assert db.nodes().label("Pending").count() == 1

    def test_signature_and_closed(self, mem):
        assert orvi.GraphDB.repair_adjacency.__text_signature__ == "($self)"
        assert orvi.GraphDB.repair_adjacency.__doc__ is None
        with pytest.raises(TypeError):
            mem.repair_adjacency(True)
        mem.close()
        with check(ValueError, CLOSED):
            mem.repair_adjacency()


class TestDamagedLists:
    def test_out_list_cycle(self, triangle):
        slots = SlotFile(triangle)
        # Node 1's out-list 7 -> 3 -> 2 -> 1: point edge 1 back at edge 3.
        slots.set_edge(1, "next_out", 3)
        slots.save()
        with orvi.open(triangle) as db:
            with check(orvi.CorruptedFileError, cycle_message(1, "out-edge", 3)):
                db.out_edges(1)
            with pytest.raises(orvi.CorruptedFileError):
                db.bfs(1, 2)
            assert db.repair_adjacency() == {"nodes_rewritten": 3,
                                             "edges_relinked": 6}
            assert lists(db) == (EXPECTED_OUT, EXPECTED_IN)
        with orvi.open(triangle) as db:
            assert lists(db) == (EXPECTED_OUT, EXPECTED_IN)
            assert [n.id for n, _ in db.bfs(1, 2)] == [3, 2]

    def test_cycle_through_deleted_edge(self, triangle):
        slots = SlotFile(triangle)
        # Put node 3's deleted edge 6 back into its out-list and loop it back.
        slots.set_edge(5, "next_out", 6)
        slots.set_edge(6, "next_out", 5)
        slots.save()
        with orvi.open(triangle) as db:
            with check(orvi.CorruptedFileError, cycle_message(3, "out-edge", 5)):
                db.out_edges(3)
            db.repair_adjacency()
            assert lists(db) == (EXPECTED_OUT, EXPECTED_IN)
            assert db.get_edge(6) is None

    def test_list_reaching_another_nodes_edge(self, triangle):
        slots = SlotFile(triangle)
        slots.set_node(1, "first_out", 4)  # edge 4 is 2->3
        slots.set_node(2, "first_in", 5)  # edge 5 is 3->3
        slots.save()
        out_error = foreign_message(1, "out-edge", 4, "source", 2)
        in_error = foreign_message(2, "in-edge", 5, "target", 3)
        with orvi.open(triangle) as db:
            for call in (lambda: db.out_edges(1), lambda: db.neighbors(1),
                         lambda: db.neighbors(1, direction="both"),
                         lambda: db.bfs(1, 2), lambda: db.dfs(1, 2),
                         lambda: db.shortest_path(1, 3),
                         lambda: db.merge_edge(1, "ab", 2),
                         lambda: db.delete_node(1), lambda: db.delete_edge(1)):
                with check(orvi.CorruptedFileError, out_error):
                    call()
            for call in (lambda: db.in_edges(2),
                         lambda: db.neighbors(2, direction="in"),
                         lambda: db.delete_node(2)):
                with check(orvi.CorruptedFileError, in_error):
                    call()
            db.rollback()
            db.repair_adjacency()
            assert lists(db) == (EXPECTED_OUT, EXPECTED_IN)
            assert [n.id for n in db.shortest_path(1, 3)] == [1, 3]

    def test_wrong_degrees_and_lost_heads(self, triangle):
        slots = SlotFile(triangle)
        slots.set_node(1, "out_degree", 99)
        slots.set_node(1, "in_degree", 7)
        slots.set_node(2, "in_degree", 0)
        slots.set_node(3, "out_degree", 0xFFFFFFFF)
        slots.set_node(2, "first_in", 0)  # node 2's in-list is lost
        slots.save()
        with orvi.open(triangle) as db:
            assert db.in_edges(2) == []
            db.repair_adjacency()
            assert lists(db) == (EXPECTED_OUT, EXPECTED_IN)
        assert_degrees(triangle)
        # Edges can be added and deleted normally afterwards.
        with orvi.open(triangle) as db:
            db.delete_edge(7)
            db.add_edge(3, "cb", 2)
            db.commit()
            assert [e.id for e in db.out_edges(1)] == [3, 2, 1]
            assert [e.id for e in db.in_edges(2)] == [8, 3, 2, 1]


class TestRefused:
    def damage_and_check(self, path, message):
        with orvi.open(path) as db:
            db.add_node(["Pending"])  # must not be committed by the refusal
            before = file_bytes(path)
            with check(orvi.CorruptedFileError, message):
                db.repair_adjacency()
            assert file_bytes(path) == before
        assert file_bytes(path) == before

    def test_target_deleted(self, triangle):
        slots = SlotFile(triangle)
        slots.set_node(3, "flags", 1)  # edges 4, 5, 7 still point at it
        slots.save()
        self.damage_and_check(triangle, missing_endpoint(4, "target", 3))

    def test_source_deleted(self, triangle):
        slots = SlotFile(triangle)
        slots.set_node(1, "flags", 1)
        slots.save()
        self.damage_and_check(triangle, missing_endpoint(1, "source", 1))

    def test_target_never_created(self, triangle):
        slots = SlotFile(triangle)
        slots.set_edge(5, "to", 9)  # beyond the next node id: no slot
        slots.save()
        self.damage_and_check(triangle, missing_endpoint(5, "target", 9))

    def test_source_beyond_file(self, triangle):
        slots = SlotFile(triangle)
        slots.set_edge(2, "from", 2**64 - 1)
        slots.save()
        self.damage_and_check(triangle,
                              missing_endpoint(2, "source", 2**64 - 1))

    def test_only_live_edges_are_judged(self, triangle):
        # Node 1 marked deleted together with every live edge touching it;
        # the already deleted edge 6 (3 -> 1) still names it, which is fine.
        slots = SlotFile(triangle)
        for edge in (1, 2, 3, 7):
            slots.set_edge(edge, "flags", 1)
        slots.set_node(1, "flags", 1)
        slots.save()
        with orvi.open(triangle) as db:
            assert db.repair_adjacency() == {"nodes_rewritten": 2,
                                             "edges_relinked": 2}
            assert [e.id for e in db.in_edges(2)] == []
            assert [e.id for e in db.in_edges(3)] == [5, 4]
