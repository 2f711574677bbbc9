"""The `orvi` command: info, check, vacuum, repair, export and import."""

import hashlib
import io
import json
import math
import os
import shutil
import struct
import subprocess
import sys
import time
import xml.etree.ElementTree as ET
import zlib
from pathlib import Path

import pytest

import orvi

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "python"))

from orvi_tools import BatchWriter, ImportFailed, first_difference  # noqa: E402
from orvi_tools import _engine, exchange  # noqa: E402
from orvi_tools.check import check_file as ff_check  # noqa: E402
from orvi_tools.cli import main  # noqa: E402
from orvi_tools.exchange import read_jsonl  # noqa: E402
from helpers import exact_state  # noqa: E402
from orvi_tools.fileops import import_file  # noqa: E402

NAN_PROPS = {"nan": math.nan, "inf": math.inf, "ninf": -math.inf, "negzero": -0.0}


def run(capsys, *args):
    status = main([str(a) for a in args])
    out, err = capsys.readouterr()
    return status, out, err


def made_since(path, time_ns):
    """Whether ``path`` exists and was written at or after ``time_ns``."""
    try:
        return os.stat(path).st_mtime_ns >= time_ns
    except FileNotFoundError:
        return False


def digest(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


def build_sample(path):
    """A graph with the awkward cases: gaps left by deletes, a self-loop,
    parallel edges, an empty label, special floats, nesting, properties
    named like method parameters, text that XML and CSV must escape."""
    with orvi.open(str(path)) as db:
        ada = db.add_node(["Person", "Admin"], name="Ada", age=36, score=1.5, ok=True,
                          tags=["a", "b"], nested={"k": [1, {"z": None}]})
        gone = db.add_node(["Temp"])
        bob = db.add_node(["Person"], name='Bob "the" <builder>\r\nline2\ttab', **NAN_PROPS)
        blank = db.add_node([], node=1)
        db.update_node(blank, labels="a property, not labels")
        db.update_node(bob, single_dollar={"$ref": 1}, big=2**63 - 1, neg=-(2**63))
        db.add_edge(ada, "KNOWS", bob, since=2001)
        db.add_edge(ada, "KNOWS", bob, since=2001)
        db.add_edge(bob, "", bob)
        e = db.add_edge(blank, "LIKES", ada, weight=0.5, edge_id=3)
        db.update_edge(e.id, label="prop", from_node=7)
        db.add_edge(gone, "X", ada)
        db.delete_node(gone)
        db.commit()
    return str(path)


@pytest.fixture
def sample(tmp_path):
    return build_sample(tmp_path / "sample.orvi")


def slot(path, kind, record_id):
    """A slot's fields and file offset, as the engine reads them."""
    with _engine.open(path) as f:
        return f.node_slot(record_id) if kind == "node" else f.edge_slot(record_id)


def patch(path, offset, data):
    with open(path, "r+b") as f:
        f.seek(offset)
        f.write(data)


def file_bytes(path, offset, length):
    with open(path, "rb") as f:
        f.seek(offset)
        return f.read(length)


def header_of(path):
    with _engine.open(path) as f:
        return f.header()


def header_checksum(raw):
    """The header's checksum over its first 104 bytes."""
    value = struct.unpack_from("<I", raw, 0)[0]
    for offset in range(16, 104, 8):
        value ^= struct.unpack_from("<Q", raw, offset)[0]
    return value


LAYOUT = _engine.LAYOUT
PAGE_SIZE = LAYOUT["page_size"]
WAL_OFFSET = LAYOUT["wal_offset"]
WAL_PAGE_ENTRY = LAYOUT["wal_page_entry"]
KINDS = ("node", "edge", "prop")

# Field offsets inside slots.
NODE_FIRST_OUT = LAYOUT["node_fields"]["first_out"]
NODE_OUT_DEGREE = LAYOUT["node_fields"]["out_degree"]
EDGE_TO = LAYOUT["edge_fields"]["to"]
EDGE_NEXT_OUT = LAYOUT["edge_fields"]["next_out"]
NODE_SLOT_SIZE, EDGE_SLOT_SIZE = LAYOUT["node_slot_size"], LAYOUT["edge_slot_size"]


class TestInfo:
    def test_reports_counts_and_ids(self, capsys, sample):
        status, out, _ = run(capsys, "info", sample)
        assert status == 0
        assert "nodes           3 (next id 5)" in out
        assert "edges           4 (next id 6)" in out
        assert "pending commit  none" in out
        assert "writer lock     free" in out

    def test_json_output(self, capsys, sample):
        status, out, _ = run(capsys, "info", "--json", sample)
        facts = json.loads(out)
        assert status == 0
        assert (facts["node_count"], facts["edge_count"]) == (3, 4)
        assert facts["file_size"] == os.path.getsize(sample)

    def test_works_while_the_database_is_open(self, capsys, sample, tmp_path):
        link = tmp_path / "link.orvi"
        link.symlink_to(sample)
        with orvi.open(sample):
            for path in (sample, link):  # the lock is named after the real file
                status, out, _ = run(capsys, "info", path)
                assert status == 0
                assert f"held by process {os.getpid()}" in out

    def test_missing_file_is_a_usage_error_and_is_not_created(self, capsys, tmp_path):
        missing = tmp_path / "nope.orvi"
        status, out, err = run(capsys, "info", missing)
        assert status == 2
        assert err == f"orvi: error: {missing}: no such database file\n"
        assert not missing.exists()

    def test_damaged_header(self, capsys, sample):
        patch(sample, 5, b"\x01")
        status, _, err = run(capsys, "info", sample)
        assert status == 1
        assert "invalid magic bytes" in err and err.count("\n") == 1


class TestCheckHealthy:
    def test_healthy_file_passes(self, capsys, sample):
        before = digest(sample)
        status, out, err = run(capsys, "check", sample)
        assert status == 0, out
        assert out.startswith(f"checked {sample}: 3 nodes, 4 edges")
        assert out.rstrip().endswith("no problems found")
        assert err == ""
        assert digest(sample) == before

    def test_empty_and_fresh_databases(self, capsys, tmp_path):
        path = str(tmp_path / "empty.orvi")
        orvi.open(path).close()
        assert run(capsys, "check", path)[0] == 0

    def test_takes_no_lock_and_works_beside_an_open_handle(self, capsys, sample):
        with orvi.open(sample) as db:
            db.add_node(["Pending"])  # uncommitted: the file does not change
            status, out, _ = run(capsys, "check", sample)
        assert status == 0
        assert f"note: process {os.getpid()} has the database open" in out

    def test_many_records_across_pages(self, capsys, tmp_path):
        path = str(tmp_path / "many.orvi")
        with orvi.open(path) as db:
            nodes = [db.add_node(["N"], i=i) for i in range(300)]
            for i in range(600):
                db.add_edge(nodes[i % 300], "E", nodes[(i * 7) % 300], i=i)
            db.commit()
        assert run(capsys, "check", path)[0] == 0


class TestCheckDamage:
    """Each case edits slot or header bytes of a healthy file the way a
    damaged disk or a buggy writer would, then requires a report naming the
    ids, exit status 1, and an unchanged file."""

    def check_reports(self, capsys, path, *expected):
        before = digest(path)
        status, out, err = run(capsys, "check", path)
        assert status == 1, out
        for text in expected:
            assert text in out, out
        assert digest(path) == before
        assert not os.path.exists(path + ".lock")
        return out

    def test_cycle_in_an_out_list(self, capsys, sample):
        # Edges 1 and 2 leave Ada (node 1); 2 heads her out-list and links to 1.
        offset = slot(sample, "edge", 1)["offset"]
        patch(sample, offset + EDGE_NEXT_OUT, struct.pack("<Q", 2))
        self.check_reports(capsys, sample, "node 1: out-list has a cycle (edge 2 is revisited)",
                           f"`orvi repair {sample}` rebuilds them")

    def test_wrong_degree_counter(self, capsys, sample):
        offset = slot(sample, "node", 3)["offset"]
        patch(sample, offset + NODE_OUT_DEGREE, struct.pack("<I", 9))
        out = self.check_reports(capsys, sample,
                                 "node 3: out_degree is 9 but its out-list holds 1 edges")
        assert f"`orvi repair {sample}` rebuilds them" in out

    def test_edge_missing_from_its_list(self, capsys, sample):
        offset = slot(sample, "node", 3)["offset"]
        patch(sample, offset + NODE_FIRST_OUT, struct.pack("<Q", 0))
        self.check_reports(capsys, sample, "edge 3: missing from the out-list of its source node 3")

    def test_list_links_to_an_edge_that_was_never_written(self, capsys, sample):
        offset = slot(sample, "node", 4)["offset"]
        patch(sample, offset + NODE_FIRST_OUT, struct.pack("<Q", 40))
        self.check_reports(capsys, sample,
                           "node 4: out-list links to edge 40, which does not exist")

    def test_edge_to_a_missing_node(self, capsys, sample):
        offset = slot(sample, "edge", 4)["offset"]
        patch(sample, offset + EDGE_TO, struct.pack("<Q", 2))
        self.check_reports(capsys, sample, "edge 4: target node 2 does not exist",
                           "in-list holds edge 4, whose target is node 2")

    def test_blob_that_does_not_decode(self, capsys, sample):
        patch(sample, slot(sample, "node", 1)["label_offset"], b"\x07")
        self.check_reports(capsys, sample,
                           "node 1: labels blob does not decode: prop_codec: unknown tag 0x07")

    def test_blob_pointing_outside_property_storage(self, capsys, sample):
        offset = slot(sample, "node", 1)["offset"]
        patch(sample, offset + 48, struct.pack("<Q", 4096))  # label_offset
        self.check_reports(capsys, sample, "node 1: labels blob at 0x1000")

    def test_slot_holding_another_id(self, capsys, sample):
        offset = slot(sample, "node", 3)["offset"]
        patch(sample, offset, struct.pack("<Q", 77))
        self.check_reports(capsys, sample, "node 3: slot holds id 77",
                           "header: node count is 3 but 2 nodes are live")

    def test_header_checksum(self, capsys, sample):
        patch(sample, 24, b"\x09")
        self.check_reports(capsys, sample, "header: header checksum mismatch")

    @pytest.mark.parametrize("content, text", [
        (b"ORVI" + b"\0" * 50, "file too small to contain header"),
        (b"x" * 50, "invalid magic bytes"),
        (b"not a database\n" * 20, "invalid magic bytes"),
    ])
    def test_short_file(self, capsys, tmp_path, content, text):
        path = tmp_path / "short.orvi"
        path.write_bytes(content)
        self.check_reports(capsys, str(path), f"header: {text}\n")
        status, _, err = run(capsys, "info", path)
        assert status == 1
        assert f": {text} (run" in err

    def test_database_cut_short_of_a_page(self, capsys, sample):
        with open(sample, "r+b") as f:
            f.truncate(1000)
        self.check_reports(capsys, sample,
                           "header: file too small to contain header page: 1000 of 4096 bytes")

    def test_index_chain_cycle(self, capsys, sample):
        head = header_of(sample)["edge_index_head"]
        patch(sample, head, struct.pack("<Q", head))
        self.check_reports(capsys, sample,
                           f"edge extents: edge extent-index chain contains a cycle at 0x{head:x}")

    def test_repair_makes_a_damaged_list_pass(self, capsys, sample):
        if not hasattr(orvi.GraphDB, "repair_adjacency"):
            pytest.skip("this orvi module has no repair_adjacency()")
        offset = slot(sample, "edge", 1)["offset"]
        patch(sample, offset + EDGE_NEXT_OUT, struct.pack("<Q", 2))
        assert run(capsys, "check", sample)[0] == 1
        status, out, _ = run(capsys, "repair", sample)
        assert status == 0
        assert "3 nodes rewritten, 4 edges relinked" in out
        assert run(capsys, "check", sample)[0] == 0


def crc_entry(kind, page, data):
    body = struct.pack("<IBQI", 17 + len(data) + 4, kind, page, len(data)) + data
    return body + struct.pack("<I", zlib.crc32(body))


def set_wal_length(path, length):
    raw = bytearray(Path(path).read_bytes()[:128])
    struct.pack_into("<Q", raw, 96, length)
    struct.pack_into("<Q", raw, 104, header_checksum(bytes(raw)))
    patch(path, 0, bytes(raw[:128]))


class TestCheckPendingCommit:
    """A commit whose log reached the file but not its home pages: check
    must judge the state recovery will produce, and replay nothing."""

    def write_log(self, path, page_offset, image, with_commit=True):
        log = crc_entry(1, page_offset, image)
        if with_commit:
            log += crc_entry(2, 0, b"")
        patch(path, WAL_OFFSET, log)
        set_wal_length(path, len(log))

    def damaged_slot_page(self, path):
        offset = slot(path, "node", 3)["offset"]
        page = offset - offset % PAGE_SIZE
        image = bytearray(file_bytes(path, page, PAGE_SIZE))
        struct.pack_into("<I", image, offset - page + NODE_OUT_DEGREE, 5)
        return page, bytes(image)

    def test_logged_pages_are_checked_without_replaying_them(self, capsys, sample):
        page, image = self.damaged_slot_page(sample)
        self.write_log(sample, page, image)
        before = digest(sample)
        status, out, _ = run(capsys, "check", sample)
        assert status == 1
        assert "node 3: out_degree is 5" in out
        assert "awaits recovery" in out
        assert digest(sample) == before
        # Opening replays the log: the home page now holds the image.
        orvi.open(sample).close()
        assert header_of(sample)["wal_length"] == 0
        assert file_bytes(sample, page, PAGE_SIZE) == image

    def test_log_without_commit_record_is_ignored(self, capsys, sample):
        page, image = self.damaged_slot_page(sample)
        self.write_log(sample, page, image, with_commit=False)
        status, out, _ = run(capsys, "check", sample)
        assert status == 0, out
        assert "incomplete commit" in out

    def test_log_must_end_at_its_commit_record(self, capsys, sample):
        page, image = self.damaged_slot_page(sample)
        log = crc_entry(1, page, image) + crc_entry(2, 0, b"")
        patch(sample, WAL_OFFSET, log)
        set_wal_length(sample, len(log) + 4117)  # names more log than was written
        status, out, _ = run(capsys, "check", sample)
        assert status == 0, out
        assert "incomplete commit" in out

    def test_index_damaged_beyond_what_the_log_restores(self, capsys, sample):
        page, image = self.damaged_slot_page(sample)
        self.write_log(sample, page, image)
        index = header_of(sample)["node_index_head"]
        patch(sample, index + 8, struct.pack("<I", 600))
        status, out, _ = run(capsys, "check", sample)
        assert status == 1
        assert (f"node extents: node extent-index page at 0x{index:x} reports count=600 > "
                "max 510") in out
        with pytest.raises(orvi.CorruptedFileError, match="count=600"):
            orvi.open(sample)

    def test_log_that_restores_a_torn_index_page(self, capsys, sample):
        # Opening reads the index again after the replay, so an index page
        # torn on disk whose good image is in the log is no damage.
        index = header_of(sample)["node_index_head"]
        self.write_log(sample, index, file_bytes(sample, index, PAGE_SIZE))
        patch(sample, index + 8, struct.pack("<I", 600))
        before = digest(sample)
        status, out, _ = run(capsys, "check", sample)
        assert status == 0, out
        assert "awaits recovery" in out
        status, out, _ = run(capsys, "info", sample)
        assert status == 0 and "nodes           3 (next id 5)" in out
        assert digest(sample) == before
        with orvi.open(sample) as db:
            assert db.node_count() == 3

    def test_wrong_page_length_in_the_log(self, capsys, sample):
        page, image = self.damaged_slot_page(sample)
        body = struct.pack("<IBQI", WAL_PAGE_ENTRY, 1, page, 4095) + image
        log = body + struct.pack("<I", zlib.crc32(body)) + crc_entry(2, 0, b"")
        patch(sample, WAL_OFFSET, log)
        set_wal_length(sample, len(log))
        status, out, _ = run(capsys, "check", sample)
        assert status == 1
        assert "commit log: WAL: unexpected data_length 4095" in out
        status, out, _ = run(capsys, "info", sample)
        assert status == 0
        assert "damaged commit log: WAL: unexpected data_length 4095" in out


class TestExportImport:
    def roundtrip(self, capsys, tmp_path, sample, fmt):
        target = tmp_path / ("out.csvdir" if fmt == "csv" else f"out.{fmt}")
        status, out, _ = run(capsys, "export", sample, "--format", fmt, "-o", target)
        assert status == 0
        assert out == f"exported 3 nodes and 4 edges to {target}\n"
        copy = str(tmp_path / "copy.orvi")
        status, out, _ = run(capsys, "import", copy, target)
        assert status == 0, out
        assert out == f"imported 3 nodes and 4 edges into {copy} (1 commit)\n"
        with orvi.open(sample) as a, orvi.open(copy) as b:
            assert first_difference(a, b) is None
            bob = b.nodes().fetch()[1] if hasattr(b, "nodes") else b.all_nodes()[1]
            assert math.isnan(bob["nan"]) and bob["inf"] == math.inf
            assert math.copysign(1, bob["negzero"]) == -1
            assert bob["single_dollar"] == {"$ref": 1}
            assert bob["big"] == 2**63 - 1 and isinstance(bob["big"], int)

    def test_jsonl_roundtrip(self, capsys, tmp_path, sample):
        self.roundtrip(capsys, tmp_path, sample, "jsonl")

    def test_csv_roundtrip(self, capsys, tmp_path, sample):
        self.roundtrip(capsys, tmp_path, sample, "csv")

    def test_jsonl_uses_tagged_floats_and_is_strict_json(self, capsys, tmp_path, sample):
        status, out, _ = run(capsys, "export", sample)
        assert status == 0
        records = [json.loads(line, parse_constant=pytest.fail) for line in out.splitlines()]
        bob = records[1]["properties"]
        assert bob["nan"] == {"$float": "nan"}
        assert bob["ninf"] == {"$float": "-inf"}
        assert bob["single_dollar"] == {"$map": {"$ref": 1}}
        assert [r["type"] for r in records] == ["node"] * 3 + ["edge"] * 4

    def test_import_adds_to_an_existing_database(self, capsys, tmp_path, sample):
        dump = tmp_path / "dump.jsonl"
        run(capsys, "export", sample, "-o", dump)
        assert run(capsys, "import", sample, dump)[0] == 0
        with orvi.open(sample) as db:
            assert (db.node_count(), db.edge_count()) == (6, 8)

    def test_graphml_is_well_formed_and_typed(self, capsys, tmp_path, sample):
        target = tmp_path / "g.graphml"
        # The sample has properties named "labels" and "label": rename the keys.
        assert run(capsys, "export", sample, "-f", "graphml", "-o", target,
                   "--labels-attr", "orvi_labels", "--label-attr", "orvi_label")[0] == 0
        ns = {"g": "http://graphml.graphdrawing.org/xmlns"}
        root = ET.parse(target).getroot()
        keys = {(k.get("for"), k.get("attr.name")): k for k in root.findall("g:key", ns)}
        assert keys[("node", "age")].get("attr.type") == "long"
        assert keys[("node", "ok")].get("attr.type") == "boolean"
        assert keys[("node", "inf")].get("attr.type") == "double"
        assert keys[("node", "tags")].find("g:desc", ns).text == "JSON-encoded values"
        assert keys[("node", "labels")].get("attr.type") == "string"
        assert keys[("node", "orvi_labels")].get("id") == "k_labels"
        nodes = root.findall("g:graph/g:node", ns)
        assert [n.get("id") for n in nodes] == ["n1", "n3", "n4"]
        bob = {d.get("key"): d.text for d in nodes[1]}
        assert bob[keys[("node", "name")].get("id")] == 'Bob "the" <builder>\r\nline2\ttab'
        assert bob[keys[("node", "nan")].get("id")] == "NaN"
        assert len(root.findall("g:graph/g:edge", ns)) == 4

    def test_graphml_refuses_a_property_named_like_the_labels_key(self, capsys, tmp_path):
        path = str(tmp_path / "g.orvi")
        with orvi.open(path) as db:
            node = db.add_node(["A"])
            db.update_node(node, labels="x")
            db.commit()
        status, _, err = run(capsys, "export", path, "-f", "graphml")
        assert status == 1 and "property named 'labels'" in err
        assert not list(tmp_path.glob("*.partial"))
        status, out, _ = run(capsys, "export", path, "-f", "graphml", "--labels-attr", "kinds")
        assert status == 0 and 'attr.name="kinds"' in out



class TestImportIsAllOrNothing:
    def many_records(self, path, bad_last_line):
        lines = [json.dumps({"type": "node", "id": i, "labels": ["N"],
                             "properties": {"text": "x" * 2000}}) for i in range(2000)]
        lines += [json.dumps({"type": "edge", "from": i, "to": (i * 13) % 2000, "label": "E"})
                  for i in range(2000)]
        if bad_last_line:
            lines.append(json.dumps({"type": "edge", "from": 1, "to": "missing"}))
        Path(path).write_text("\n".join(lines) + "\n")

    def test_failure_after_several_commits_leaves_the_file_as_it_was(self, capsys, tmp_path,
                                                                     sample):
        dump = tmp_path / "big.jsonl"
        self.many_records(dump, bad_last_line=True)
        before = digest(sample)
        status, _, err = run(capsys, "import", sample, dump)
        assert status == 1
        assert err == (f"orvi: error: import failed, {sample} is unchanged: big.jsonl:4001: "
                       "edge refers to node 'missing', which is not defined before it\n")
        assert digest(sample) == before
        assert not os.path.exists(sample + ".importing")
        assert not os.path.exists(sample + ".lock")

    def test_import_into_an_existing_file_matches_the_one_by_one_load(self, tmp_path, sample):
        dump = tmp_path / "big.jsonl"
        self.many_records(dump, bad_last_line=False)
        with open(dump, "a") as f:  # a self-loop and a parallel edge
            f.write('{"type": "edge", "from": 7, "to": 7}\n{"type": "edge", "from": 1, "to": 13}\n')
        reference = str(tmp_path / "reference.orvi")
        shutil.copyfile(sample, reference)
        with orvi.open(reference) as db, BatchWriter(db) as writer:
            for record in read_jsonl(str(dump)):
                if record[0] == "node":
                    writer.add_node(*record[1:4])
                else:
                    writer.add_edge(*record[1:5])
        stats = import_file(sample, str(dump), "jsonl")
        assert (stats.nodes, stats.edges) == (2000, 2002)
        with orvi.open(reference) as a, orvi.open(sample) as b:
            assert exact_state(a) == exact_state(b)
        assert ff_check(sample).problems == []

    def test_killed_import_leaves_the_file_as_it_was_or_complete(self, capsys, tmp_path,
                                                                sample):
        dump = tmp_path / "big.jsonl"
        self.many_records(dump, bad_last_line=False)
        original = Path(sample).read_bytes()
        complete = tmp_path / "complete.orvi"
        complete.write_bytes(original)
        assert run(capsys, "import", complete, dump)[0] == 0
        outcomes = {digest(sample): "unchanged", digest(complete): "complete"}
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join(
            [str(REPO / "python")] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
        # SIGKILL at moments spread over the run: before the copy exists,
        # then at growing delays after it appears (building, flushing,
        # renaming, done). A copy left behind is replaced by the next run.
        copy = sample + ".importing"
        for step in range(-1, 10):
            Path(sample).write_bytes(original)
            started = time.time_ns()
            proc = subprocess.Popen([sys.executable, "-m", "orvi_tools", "import", "--no-progress",
                                     sample, str(dump)], env=env, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL)
            if step >= 0:
                while proc.poll() is None and not made_since(copy, started):
                    time.sleep(0.002)
                time.sleep(0.03 * step)
            proc.kill()
            proc.wait()
            assert digest(sample) in outcomes, step
        Path(sample).write_bytes(original)
        assert run(capsys, "import", sample, dump)[0] == 0
        assert digest(sample) == digest(complete)
        assert not os.path.exists(sample + ".importing")

    def test_failed_import_into_a_new_file_creates_nothing(self, capsys, tmp_path):
        bad = tmp_path / "bad.jsonl"
        bad.write_text('{"type": "node", "id": 1}\n{"type": "vertex"}\n')
        target = tmp_path / "new.orvi"
        status, _, err = run(capsys, "import", target, bad)
        assert status == 1
        assert "was not created: bad.jsonl:2: type must be" in err
        assert sorted(p.name for p in tmp_path.iterdir()) == ["bad.jsonl"]

    def test_database_open_elsewhere_is_refused(self, capsys, tmp_path, sample):
        dump = tmp_path / "d.jsonl"
        dump.write_text('{"type": "node", "id": 1}\n')
        with orvi.open(sample):
            status, _, err = run(capsys, "import", sample, dump)
        assert status == 1
        assert "is unchanged" in err and "already open" in err

    @pytest.mark.parametrize("line, message", [
        ("not json", "bad.jsonl:1: not valid JSON"),
        ('{"type": "node"}', "bad.jsonl:1: missing field 'id'"),
        ('{"type": "node", "id": 1.5}', "bad.jsonl:1: id must be an integer or a string"),
        ('{"type": "node", "id": 1, "labels": "A"}', "labels must be a list of strings"),
        ('{"type": "node", "id": 1, "properties": {"x": {"$float": "big"}}}',
         "unknown $float value 'big'"),
        ('{"type": "node", "id": 1, "properties": {"x": {"$date": 1}}}', "unknown tag '$date'"),
        ('{"type": "node", "id": 1, "properties": {"x": {"$float": [1]}}}',
         "bad.jsonl:1: unknown $float value [1] (use nan, inf, -inf)"),
        # Deep enough for a recursive decoder to run out of stack, yet
        # within what json.loads reads: still a one-line error.
        pytest.param('{"type": "node", "id": 1, "properties": {"x": ' + "[" * 800 + "]" * 800
                     + "}}", "bad.jsonl:1: ", id="deep-list"),
        ('{"type": "node", "id": 1, "properties": {"x": ' + "[" * 33 + "1" + "]" * 33 + "}}",
         "nesting depth exceeds the maximum of 32"),
        ('{"type": "node", "id": 1}\n{"type": "node", "id": 1}', "bad.jsonl:2: node 1 is defined twice"),
    ])
    def test_malformed_input_names_the_line(self, capsys, tmp_path, line, message):
        bad = tmp_path / "bad.jsonl"
        bad.write_text(line + "\n")
        status, _, err = run(capsys, "import", tmp_path / "db.orvi", bad)
        assert status == 1
        assert message in err
        assert err.count("\n") == 1

    def test_csv_with_unknown_columns(self, capsys, tmp_path):
        folder = tmp_path / "in"
        folder.mkdir()
        (folder / "nodes.csv").write_text("id,name\n1,Ada\n")
        (folder / "edges.csv").write_text("from,to\n")
        status, _, err = run(capsys, "import", tmp_path / "db.orvi", folder)
        assert status == 1
        assert "nodes.csv:1: columns must be id, labels, properties (unknown: name)" in err


class TestInputErrors:
    """Input that is not what its format says: one line naming the file and
    the line, and the database as it was."""

    @pytest.mark.parametrize("name, content, message", [
        ("bin.jsonl", b'{"type": "node", "id": 1}\n\x7fELF\x02\x01\xd0\x00\n',
         "bin.jsonl:2: not UTF-8 text (byte 0xd0 at column 7)"),
        ("deep.jsonl", b"[" * 100_000 + b"\n", "deep.jsonl:1: JSON nested too deeply"),
        ("in/nodes.csv", b'id,labels,properties\n1,[],{}\n2,[],"{\xff}"\n',
         "nodes.csv:3: not UTF-8 text (byte 0xff)"),
        ("in/nodes.csv", b'id,labels,properties\n1,[],{}\n2,"[]"x,{}\n',
         "nodes.csv:3: not valid CSV"),
        ("in/nodes.csv", b'id,labels,properties\n1,[],{}\n\n2,[],"{\n',
         "nodes.csv:4: not valid CSV (unexpected end of data)"),
        ("in/nodes.csv", b'labels,properties,id\n[]\n', "nodes.csv:2: empty id"),
    ])
    def test_named_by_file_and_line(self, capsys, tmp_path, sample, name, content, message):
        source = tmp_path / name
        source.parent.mkdir(exist_ok=True)
        source.write_bytes(content)
        before = digest(sample)
        status, out, err = run(capsys, "import", sample, source.parent if "/" in name else source)
        assert (status, out) == (1, "")
        assert err.startswith(f"orvi: error: import failed, {sample} is unchanged: {message}")
        assert err.count("\n") == 1
        assert digest(sample) == before

    def test_csv_directory_without_edges_and_large_cells(self, capsys, tmp_path, sample):
        folder = tmp_path / "in"
        folder.mkdir()
        big = json.dumps({"text": "x" * 300_000, "q": '"'})
        (folder / "nodes.csv").write_text('id,labels,properties\na,[],"%s"\n'
                                          % big.replace('"', '""'))
        status, out, _ = run(capsys, "import", sample, folder)
        assert status == 0 and "imported 1 nodes and 0 edges" in out
        with orvi.open(sample) as db:
            assert db.get_node(5).properties == {"text": "x" * 300_000, "q": '"'}


class TestExportOutputs:
    FORMATS = [("jsonl", "out.jsonl"), ("graphml", "out.graphml"), ("csv", "outdir"),
               ("parquet", "outdir")]

    @pytest.mark.parametrize("fmt, name", FORMATS)
    def test_existing_output_is_replaced_once_complete(self, capsys, tmp_path, sample, fmt, name):
        if fmt == "parquet":
            pytest.importorskip("pyarrow")
        target = tmp_path / name
        files = [target / f"nodes.{fmt}", target / f"edges.{fmt}"] if name == "outdir" else [target]
        for path in files:
            path.parent.mkdir(exist_ok=True)
            path.write_text("old")
        if name == "outdir":
            (target / "keep.txt").write_text("mine")
        args = ["--labels-attr", "orvi_labels", "--label-attr", "orvi_label"]
        status, _, err = run(capsys, "export", sample, "-f", fmt, "-o", target, *args)
        assert status == 0, err
        assert all(path.read_bytes() != b"old" for path in files)
        if name == "outdir":
            assert (target / "keep.txt").read_text() == "mine"
        # A failing export (GraphML refuses the property named "labels")
        # leaves the previous output and no temporary file.
        for path in files:
            path.write_text("old")
        status, _, err = run(capsys, "export", sample, "-f", fmt, "-o", target)
        assert status == (1 if fmt == "graphml" else 0), err
        if fmt == "graphml":
            assert target.read_text() == "old"
        assert not list(tmp_path.rglob("*.partial"))

    @pytest.mark.parametrize("fmt, name", FORMATS)
    def test_unwritable_output_is_named_as_given(self, capsys, tmp_path, sample, fmt, name):
        if fmt == "parquet":
            pytest.importorskip("pyarrow")
        (tmp_path / "file").write_text("")
        target = f"{tmp_path}/file/{name}"
        status, _, err = run(capsys, "export", sample, "-f", fmt, "-o", target,
                             "--labels-attr", "orvi_labels", "--label-attr", "orvi_label")
        assert status == 2
        assert err == f"orvi: error: {target}: Not a directory\n"

    def test_graphml_leaves_none_out_of_a_string_key(self, capsys, tmp_path):
        path = str(tmp_path / "n.orvi")
        with orvi.open(path) as db:
            db.add_node([], nick="Ada", n=None)
            db.add_node([], nick=None, n=None)
            db.commit()
        status, out, _ = run(capsys, "export", path, "-f", "graphml")
        assert status == 0
        root = ET.fromstring(out)
        ns = {"g": "http://graphml.graphdrawing.org/xmlns"}
        keys = {k.get("attr.name"): k for k in root.findall("g:key", ns)}
        assert keys["nick"].get("attr.type") == "string" and keys["nick"].find("g:desc", ns) is None
        assert keys["n"].find("g:desc", ns).text == "JSON-encoded values"  # only None: JSON
        nick, n = keys["nick"].get("id"), keys["n"].get("id")
        data = [{d.get("key"): d.text for d in node} for node in root.findall("g:graph/g:node", ns)]
        assert data[0][nick] == "Ada" and nick not in data[1]
        assert data[1][n] == "null"


class TestBatchWriter:
    def test_with_block_commits_at_the_end_and_rolls_back_on_error(self, tmp_path):
        path = str(tmp_path / "w.orvi")
        with orvi.open(path) as db:
            with BatchWriter(db) as writer:
                writer.add_node("a", ["N"], {"x": 1})
                writer.add_node("b", ("N", "M"))
                writer.add_edge("a", "E", "b", {"label": "prop", "w": 0.5})
            assert writer.commits == 1
            with pytest.raises(KeyError):
                with BatchWriter(db, page_budget=60) as writer:
                    for i in range(2000):
                        writer.add_node(i, ["N"], {"text": "t" * 100})
                    raise KeyError("stop")
            assert writer.commits >= 2
            kept = writer.nodes_written
            assert 0 < kept < 2000 and len(writer.ids) == kept
            assert db.node_count() == 2 + kept
            with pytest.raises(KeyError):
                with BatchWriter(db, commit=False) as writer:
                    writer.add_node("c", [])
                    raise KeyError("stop")
            assert (writer.ids, writer.nodes_written, db.node_count()) == ({}, 0, 2 + kept)
        with orvi.open(path) as db:
            assert db.node_count() == 2 + kept
            edge = db.get_edge(1)
            assert (edge.label, edge["label"], edge["w"]) == ("E", "prop", 0.5)
            assert db.get_node(2).labels == ["N", "M"]

    def test_mixed_records_stay_under_the_log_limit(self, tmp_path):
        # Blobs small and large, properties named like parameters (written
        # in two calls), edges between far-apart nodes: the page bound must
        # hold for all of them, so no commit is refused.
        with orvi.open(str(tmp_path / "m.orvi")) as db:
            with BatchWriter(db) as writer:
                for i in range(6000):
                    big = "b" * (70_000 if i % 500 == 0 else 300 * (i % 7))
                    props = {"labels": "p", "text": big} if i % 3 == 0 else {"ü": big}
                    writer.add_node(i, ["N", f"L{i % 5}"], props)
                for i in range(12_000):
                    props = {"label": "x", "w": i} if i % 4 == 0 else {"t": "é" * (i % 50)}
                    writer.add_edge((i * 7919) % 6000, "R", (i * 104729) % 6000, props)
            assert writer.splits == 0 and writer.commits > 2
            assert (db.node_count(), db.edge_count()) == (6000, 12_000)
            assert db.get_node(1)["labels"] == "p" and len(db.get_node(1501)["text"]) == 70_000

    def test_refused_records_name_the_problem(self, tmp_path):
        with orvi.open(str(tmp_path / "r.orvi")) as db:
            writer = BatchWriter(db)
            with pytest.raises(ImportFailed, match="labels must be a list of strings"):
                writer.add_node(1, "Person", {})
            with pytest.raises(ImportFailed, match="Got type `set`"):
                writer.add_node(1, [], {"s": {1}})
            writer.add_node(1, [], {"deep": [[{"k": "v" * 10}]], "ü": "ö"})
            with pytest.raises(ImportFailed, match="label must be a string"):
                writer.add_edge(1, 5, 1)
            writer.finish()
            assert db.node_count() == 1

    def test_log_overflow_is_split_and_retried(self, tmp_path):
        # A budget far above the log makes the first commit overflow.
        with orvi.open(str(tmp_path / "a.orvi")) as db:
            writer = BatchWriter(db, page_budget=10**9)
            for i in range(1500):
                writer.add_node(i, ["N"], {"blob": "y" * 3000})
            writer.finish()
            assert writer.splits >= 1
            assert writer.commits >= 2
            assert sorted(writer.ids.values()) == list(range(1, 1501))
        with orvi.open(str(tmp_path / "a.orvi")) as db:
            assert db.node_count() == 1500
            assert db.get_node(1500)["blob"] == "y" * 3000

    def test_large_blobs_stay_under_the_log_limit(self, tmp_path):
        with orvi.open(str(tmp_path / "b.orvi")) as db:
            writer = BatchWriter(db)
            for i in range(40):
                writer.add_node(i, [], {"blob": "z" * 300_000})
            writer.finish()
            assert writer.splits == 0 and writer.commits > 1

    def test_random_edges_touching_many_pages(self, tmp_path):
        with orvi.open(str(tmp_path / "c.orvi")) as db:
            writer = BatchWriter(db)
            for i in range(20_000):
                writer.add_node(i, [], {})
            for i in range(3000):
                writer.add_edge((i * 7919) % 20_000, "R", (i * 104729) % 20_000, {})
            writer.finish()
            assert writer.splits == 0
            assert db.edge_count() == 3000


    def test_commits_stay_within_the_page_budget(self, tmp_path, monkeypatch):
        sizes = []
        commit = BatchWriter._commit_batch

        def counting_commit(writer):
            sizes.append(_engine.pending_pages(writer.db))
            commit(writer)

        monkeypatch.setattr(BatchWriter, "_commit_batch", counting_commit)
        with orvi.open(str(tmp_path / "d.orvi")) as db:
            writer = BatchWriter(db, page_budget=60)
            for i in range(3000):
                writer.add_node(i, ["N"], {"text": "x" * (300 * (i % 7))})
            for i in range(2000):
                writer.add_edge(i, "E", (i * 31) % 3000, {})
            writer.finish()
            assert writer.splits == 0
        assert len(sizes) > 10 and max(sizes) <= 60

    def test_the_engine_counts_pending_pages_of_an_open_handle(self, tmp_path):
        db = orvi.open(str(tmp_path / "e.orvi"))
        assert _engine.pending_pages(db) == 0
        db.add_node(["A"], text="x" * 5000)
        assert _engine.pending_pages(db) >= 3  # slot, index and property pages
        db.commit()
        assert _engine.pending_pages(db) == 0
        db.close()
        with pytest.raises(ValueError):
            _engine.pending_pages(db)
        with pytest.raises(TypeError):
            _engine.pending_pages(object())

    def test_released_pages_read_back_the_same(self, capsys, tmp_path, monkeypatch):
        def rss_file_kib():
            with open("/proc/self/status") as f:
                return next(int(line.split()[1]) for line in f if line.startswith("RssFile:"))

        path = str(tmp_path / "big.orvi")
        with orvi.open(path) as db:
            for i in range(3000):
                db.add_node(["N"], i=i, text="x" * 4000)
                if i % 500 == 0:
                    db.commit()
            for i in range(1, 3000):
                db.add_edge(i, "E", i + 1, w=i)
            db.commit()
            db.update_node(5, i=-5)  # pending: served from memory, not the file
            def everything():
                return ([(n.id, n.labels, n.properties) for n in db.all_nodes()],
                        [(e.id, e.from_node, e.to_node, e.properties) for e in db.all_edges()])

            before = everything()
            mapped = rss_file_kib()
            _engine.release_pages(db)
            assert mapped - rss_file_kib() > 8 * 1024  # the file pages left the process
            assert everything() == before
            with pytest.raises(TypeError):
                _engine.release_pages(object())
        # An export that releases pages every few records writes what one
        # that never does writes.
        outputs = []
        for every in (10 ** 9, 7):
            monkeypatch.setattr(exchange, "_RELEASE_EVERY", every)
            out = tmp_path / f"out-{every}.jsonl"
            assert run(capsys, "export", path, "-o", out)[0] == 0
            outputs.append(out.read_text())
        assert outputs[0] == outputs[1] and outputs[0].count("\n") == 3000 + 2999

    def test_engine_files_come_only_from_open(self):
        with pytest.raises(TypeError):
            _engine.File()


class TestMaintenance:
    def test_vacuum_keeps_the_graph(self, capsys, tmp_path, sample):
        if not hasattr(orvi.GraphDB, "vacuum"):
            pytest.skip("this orvi module has no vacuum()")
        with orvi.open(sample) as db:
            for i in range(50):
                db.update_node(1, counter=i)
            db.commit()
        reference = str(tmp_path / "ref.orvi")
        run(capsys, "export", sample, "-o", tmp_path / "ref.jsonl")
        run(capsys, "import", reference, tmp_path / "ref.jsonl")
        status, out, _ = run(capsys, "vacuum", sample)
        assert status == 0 and out.startswith(f"vacuumed {sample}: ")
        assert run(capsys, "check", sample)[0] == 0
        with orvi.open(sample) as a, orvi.open(reference) as b:
            assert first_difference(a, b) is None

    def test_commands_on_a_missing_file(self, capsys, tmp_path):
        for command in ("check", "vacuum", "repair", "export"):
            status, _, err = run(capsys, command, tmp_path / "none.orvi")
            assert status == 2, command
            assert err.endswith("no such database file\n")
        assert list(tmp_path.iterdir()) == []


class TestConsoleEntry:
    def run_module(self, *args):
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join(
            [str(REPO / "python")] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
        return subprocess.run([sys.executable, "-m", "orvi_tools", *map(str, args)],
                              capture_output=True, text=True, env=env, timeout=300)

    def test_exit_statuses(self, tmp_path, sample):
        assert self.run_module("check", sample).returncode == 0
        patch(sample, 30, b"\xff")
        result = self.run_module("check", sample)
        assert result.returncode == 1 and "checksum" in result.stdout
        result = self.run_module("bogus")
        assert result.returncode == 2 and "invalid choice" in result.stderr
        result = self.run_module("check")
        assert result.returncode == 2

    def test_version_is_printed_once(self):
        result = self.run_module("--version")
        assert result.returncode == 0
        assert result.stdout.split() == ["orvi", orvi.__version__]

    def test_help_lists_every_command(self):
        result = self.run_module("--help")
        assert result.returncode == 0
        for command in ("info", "check", "vacuum", "repair", "export", "import"):
            assert command in result.stdout


class TestProgress:
    class Terminal(io.StringIO):
        def isatty(self):
            return True

    def test_bars_are_drawn_only_on_a_terminal(self, capsys, monkeypatch, tmp_path, sample):
        pytest.importorskip("tqdm")
        dump = tmp_path / "d.jsonl"
        run(capsys, "export", sample, "-o", dump)
        terminal = self.Terminal()
        monkeypatch.setattr(sys, "stderr", terminal)
        assert main(["import", str(tmp_path / "a.orvi"), str(dump)]) == 0
        assert "import" in terminal.getvalue() and "rec" in terminal.getvalue()
        for args in (["--no-progress", "import", tmp_path / "b.orvi", dump],
                     ["import", tmp_path / "c.orvi", dump, "--no-progress"]):
            terminal.seek(0)
            terminal.truncate(0)
            assert main([str(a) for a in args]) == 0
            assert terminal.getvalue() == ""


    def test_check_draws_its_passes(self, monkeypatch, sample):
        pytest.importorskip("tqdm")
        terminal = self.Terminal()
        monkeypatch.setattr(sys, "stderr", terminal)
        assert ff_check(sample, show_progress=True).healthy
        assert "nodes" in terminal.getvalue() and "adjacency" in terminal.getvalue()

    def test_an_error_in_the_progress_sink_stops_the_check(self, sample):
        with _engine.open(sample) as f:
            with pytest.raises(ZeroDivisionError):
                f.check(lambda name, total: 1 / 0)


class TestCheckAgreesWithTheModule:
    """Random byte damage in the regions the check reads. Whatever the
    damage, the check must finish with a report (never an exception), and a
    file it calls healthy must open and be fully readable by the module:
    every node, every edge and every adjacency list."""

    def regions(self, path):
        with _engine.open(path) as f:
            header = f.header()
            chains = {k: f.chain(k) for k in KINDS}
        node_page = chains["node"]["extents"][0]
        edge_page = chains["edge"]["extents"][0]
        prop = chains["prop"]["extents"][0]
        return [
            (node_page + 8, 4 * NODE_SLOT_SIZE),
            (edge_page + 8, 5 * EDGE_SLOT_SIZE),
            (prop, header["prop_tail"] - prop),
            (16, 96),  # the header's counters, heads and log fields
        ] + [(chains[kind]["index_pages"][0], 24) for kind in KINDS]

    def read_everything(self, path):
        with orvi.open(path) as db:
            for node in db.all_nodes():
                db.out_edges(node)
                db.in_edges(node)
            db.all_edges()

    def test_random_damage(self, capsys, tmp_path, sample):
        import random

        rng = random.Random(20240607)
        original = Path(sample).read_bytes()
        regions = self.regions(sample)
        damaged = str(tmp_path / "damaged.orvi")
        verdicts = {True: 0, False: 0}
        for _ in range(300):
            data = bytearray(original)
            for _ in range(rng.randint(1, 4)):
                start, length = rng.choice(regions)
                data[start + rng.randrange(length)] = rng.randrange(256)
            # Keep the header checksum valid so damage reaches the deeper checks
            # (and a changed log length can bring the last commit's log back).
            struct.pack_into("<Q", data, 104, header_checksum(bytes(data[:128])))
            Path(damaged).write_bytes(bytes(data))
            report = ff_check(damaged)
            verdicts[report.healthy] += 1
            if report.healthy:
                self.read_everything(damaged)
        assert verdicts[False] > 0 and verdicts[True] > 0


class TestUsageErrors:
    """Every usage error, found by the argument parser or by the command:
    exit status 2, one line saying what was wrong and where the usage is,
    and nothing written."""

    @pytest.fixture
    def inputs(self, tmp_path):
        folder = tmp_path / "in"
        folder.mkdir()
        (folder / "nodes.csv").write_text("id,labels,properties\n1,[],{}\n")
        (folder / "nodes.parquet").write_bytes(b"PAR1")
        return folder

    @pytest.mark.parametrize("args, command, message", [
        (["export", "{db}", "-f", "parquet"], "export",
         "parquet export writes two files: name a directory with --output"),
        (["export", "{db}", "-f", "csv", "-o", "-"], "export",
         "csv export writes two files: name a directory with --output"),
        (["export", "{db}", "-f", "xml"], "export", "argument --format/-f: invalid choice"),
        (["export"], "export", "the following arguments are required: FILE"),
        (["info", "{db}", "--bogus"], "orvi", "unrecognized arguments: --bogus"),
        (["check"], "check", "the following arguments are required: FILE"),
        (["vacuum", "{db}", "{db}"], "orvi", "unrecognized arguments"),
        (["repair", "--json", "{db}"], "orvi", "unrecognized arguments: --json"),
        (["import", "{db}"], "import", "the following arguments are required: INPUT"),
        (["import", "{db}", "{in}/nodes.csv"], "import",
         "{in}/nodes.csv: a csv import reads a directory holding nodes.csv (and edges.csv), "
         "not a single file: name the directory"),
        (["import", "{db}", "{in}/nodes.parquet"], "import",
         "{in}/nodes.parquet: a parquet import reads a directory holding nodes.parquet"),
        (["import", "{db}", "{in}/nodes.csv", "-f", "csv"], "import",
         "{in}/nodes.csv: a csv import reads a directory"),
        (["import", "{db}", "{in}", "-f", "jsonl"], "import",
         "{in}: is a directory; a jsonl import reads one file"),
        (["import", "{db}", "{in}/none.jsonl"], "import", "{in}/none.jsonl: no such input file"),
        (["import", "{db}", "{in}/none", "-f", "csv"], "import",
         "{in}/none: no such input directory"),
    ])
    def test_exit_status_two_and_one_line(self, capsys, sample, inputs, args, command,
                                          message):
        before = digest(sample)
        beside = sorted(p.name for p in Path(sample).parent.iterdir())
        fill = {"db": sample, "in": inputs}
        try:
            status, out, err = run(capsys, *[a.format(**fill) for a in args])
        except SystemExit as parser_exit:  # the argument parser's own exit
            status, (out, err) = parser_exit.code, capsys.readouterr()
        assert (status, out) == (2, "")
        assert err.startswith(f"orvi: error: {message.format(**fill)}")
        assert err.endswith(f" (see `{'orvi ' + command if command != 'orvi' else 'orvi'} "
                            "--help`)\n")
        assert err.count("\n") == 1
        assert digest(sample) == before
        assert sorted(p.name for p in Path(sample).parent.iterdir()) == beside

    def test_import_usage_error_creates_no_database(self, capsys, tmp_path, inputs):
        status, _, _ = run(capsys, "import", tmp_path / "new.orvi", inputs / "nodes.csv")
        assert status == 2
        assert not (tmp_path / "new.orvi").exists()


class TestHelp:
    def help_of(self, capsys, *command):
        with pytest.raises(SystemExit) as exit_info:
            main([*command, "--help"])
        assert exit_info.value.code == 0
        return capsys.readouterr().out

    @pytest.mark.parametrize("command", ["info", "check", "vacuum", "repair", "export",
                                         "import"])
    def test_every_command_describes_itself_and_its_arguments(self, capsys, command):
        text = self.help_of(capsys, command)
        usage, description, arguments = text.split("\n\n")[:3]
        assert usage.startswith(f"usage: orvi {command}")
        assert not description.startswith("positional") and len(description.split()) > 8
        arguments = " ".join(arguments.split())
        assert arguments.startswith("positional arguments: FILE the database file")
        if command == "import":
            assert "INPUT a jsonl file, or a directory holding nodes.csv" in arguments

    def test_export_names_its_default_format(self, capsys):
        assert "output format (default: jsonl)" in " ".join(self.help_of(capsys, "export").split())


def _dead_pid():
    child = subprocess.Popen([sys.executable, "-c", "pass"])
    child.wait()
    return child.pid


class TestImportLeftovers:
    """What a killed import leaves: FILE.importing and its lock directory,
    mentioned by info and cleared under FILE's writer lock unless a live
    process holds the copy."""

    @staticmethod
    def kill_during_import(path):
        """Leaves what `kill -9` of an import leaves: the copy, opened (its
        lock directory made) by a process that then dies without closing."""
        copy = path + ".importing"
        code = ("import orvi, os, shutil, signal, sys\n"
                "shutil.copyfile(sys.argv[1], sys.argv[2])\n"
                "db = orvi.open(sys.argv[2])\n"
                "os.kill(os.getpid(), signal.SIGKILL)\n")
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join(p for p in [str(REPO / "python"),
                                                        env.get("PYTHONPATH", "")] if p)
        subprocess.run([sys.executable, "-c", code, path, copy], env=env, timeout=120)
        assert os.path.exists(copy) and os.path.isdir(copy + ".lock")
        return copy

    @pytest.mark.parametrize("command", ["import", "vacuum", "repair"])
    def test_info_mentions_them_and_the_next_command_clears_them(self, capsys, tmp_path,
                                                                 sample, command):
        copy = self.kill_during_import(sample)
        status, out, _ = run(capsys, "info", sample)
        assert status == 0
        line = next(l for l in out.splitlines() if l.startswith("import leftover"))
        assert f"{copy} ({os.path.getsize(copy)} bytes) and the stale lock directory" in line
        assert "left by an interrupted import" in line
        facts = json.loads(run(capsys, "info", "--json", sample)[1])
        assert facts["import_leftover"] == line.split(None, 2)[2]
        dump = tmp_path / "one.jsonl"
        dump.write_text('{"type": "node", "id": 1}\n')
        args = [command, sample] + ([dump] if command == "import" else [])
        status, _, err = run(capsys, *args)
        assert status == 0, err
        assert not os.path.exists(copy) and not os.path.exists(copy + ".lock")
        assert run(capsys, "info", "--json", sample)[1].count('"import_leftover": null') == 1

    def test_a_copy_held_by_a_live_process_is_left_alone(self, capsys, tmp_path, sample):
        dump = tmp_path / "one.jsonl"
        dump.write_text('{"type": "node", "id": 1}\n')
        copy = sample + ".importing"
        before = digest(sample)
        with orvi.open(copy):
            status, out, _ = run(capsys, "info", sample)
            assert f"{copy} is held by process {os.getpid()}: an import may be running" in out
            status, _, err = run(capsys, "import", sample, dump)
            assert status == 1
            assert err == (f"orvi: error: import failed, {sample} is unchanged: {copy} is held "
                           "by a running process (another import may still be running)\n")
            assert run(capsys, "vacuum", sample)[0] == 0
            assert os.path.exists(copy) and os.path.isdir(copy + ".lock")
        assert run(capsys, "import", sample, dump)[0] == 0
        assert digest(sample) != before and not os.path.exists(copy)

    def test_lock_without_a_copy(self, capsys, tmp_path, sample):
        lock = Path(sample + ".importing.lock")
        lock.mkdir()
        (lock / "owner.json").write_text(json.dumps({"pid": _dead_pid()}) + "\n")
        out = run(capsys, "info", sample)[1]
        assert f"the stale lock directory {lock}, left by an interrupted import" in out
        assert run(capsys, "repair", sample)[0] == 0
        assert not lock.exists()


class TestInterruptedCheck:
    @pytest.mark.parametrize("where", ["begin", "update"])
    def test_is_reported_as_interrupted(self, capsys, sample, monkeypatch, where):
        # Ctrl-C reaches the check inside its progress calls (the engine
        # checks signals there): the stop is the user's, not an I/O error.
        import orvi_tools.check as check

        class Bar:
            def update(self, n):
                raise KeyboardInterrupt

            def close(self):
                pass

        def bar(*args, **kwargs):
            if where == "begin":
                raise KeyboardInterrupt
            return Bar()

        monkeypatch.setattr(check, "bar", bar)
        assert run(capsys, "check", sample) == (130, "", "orvi: error: interrupted\n")


class TestInterruptedImport:
    @pytest.mark.parametrize("existing", [True, False])
    def test_says_the_file_is_unchanged(self, capsys, tmp_path, sample, monkeypatch,
                                        existing):
        import orvi_tools.fileops as fileops

        def interrupt(*args, **kwargs):
            raise KeyboardInterrupt

        monkeypatch.setattr(fileops, "feed_jsonl", interrupt)
        dump = tmp_path / "one.jsonl"
        dump.write_text('{"type": "node", "id": 1}\n')
        target = sample if existing else str(tmp_path / "new.orvi")
        before = digest(sample)
        status, out, err = run(capsys, "import", target, dump)
        assert (status, out) == (130, "")
        outcome = "is unchanged" if existing else "was not created"
        assert err == f"orvi: error: import interrupted, {target} {outcome}\n"
        assert digest(sample) == before
        assert os.path.exists(target) == existing
        assert not os.path.exists(target + ".importing")
