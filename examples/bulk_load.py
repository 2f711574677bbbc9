"""orvi bulk load: write a JSON Lines file, import it all-or-nothing with the
`orvi` command's machinery, check the result, export it again, and show
that a broken input changes nothing.

Usage: python bulk_load.py [DIR]   (default: a new temporary directory)
"""

import json
import math
import os
import sys
import tempfile

import orvi
from orvi_tools import check_file, first_difference
from orvi_tools.exchange import export_jsonl
from orvi_tools.fileops import import_file


def write_input(path, people):
    """One JSON object per line: nodes first, then edges naming them by id.
    NaN and the infinities are written in the tagged form {"$float": ...}."""
    with open(path, "w", encoding="utf-8") as f:
        for i in range(people):
            f.write(json.dumps({"type": "node", "id": f"p{i}", "labels": ["Person"],
                                "properties": {"n": i, "bio": "x" * 500,
                                               "score": {"$float": "nan"} if i == 0 else i / 3}})
                    + "\n")
        for i in range(people):
            f.write(json.dumps({"type": "edge", "label": "FOLLOWS", "from": f"p{i}",
                                "to": f"p{(i * 31 + 7) % people}", "properties": {"w": i}}) + "\n")


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else tempfile.mkdtemp(prefix="orvi-bulk-")
    os.makedirs(folder, exist_ok=True)
    data = os.path.join(folder, "people.jsonl")
    db_path = os.path.join(folder, "people.orvi")
    for leftover in (db_path,):
        if os.path.exists(leftover):
            os.remove(leftover)

    write_input(data, 10_000)
    stats = import_file(db_path, data, "jsonl")
    print(f"imported {stats.nodes} nodes and {stats.edges} edges in {stats.commits} commits "
          "(each commit stays under the 4 MiB log)")

    report = check_file(db_path)
    print("check:", "healthy" if report.healthy else report.problems)

    with orvi.open(db_path) as db:
        first = db.get_node(1)
        print("first node:", first["n"], "score is NaN:", math.isnan(first["score"]))
        with open(os.path.join(folder, "export.jsonl"), "w", encoding="utf-8") as out:
            print("exported (nodes, edges):", export_jsonl(db, out))

    # The export imports into an equal graph (ids may differ, structure and
    # properties do not).
    copy_path = os.path.join(folder, "copy.orvi")
    if os.path.exists(copy_path):
        os.remove(copy_path)
    import_file(copy_path, os.path.join(folder, "export.jsonl"), "jsonl")
    with orvi.open(db_path) as a, orvi.open(copy_path) as b:
        print("copy equals original:", first_difference(a, b) is None)

    # A bad record at the end: nothing of the import is kept.
    with open(data, "a", encoding="utf-8") as f:
        f.write('{"type": "edge", "from": "p1", "to": "nobody"}\n')
    size_before = os.path.getsize(db_path)
    try:
        import_file(db_path, data, "jsonl")
    except Exception as e:  # ImportFailed
        print("refused:", e)
    with orvi.open(db_path) as db:
        print("still", db.node_count(), "nodes; file size unchanged:",
              os.path.getsize(db_path) == size_before)


if __name__ == "__main__":
    main()
