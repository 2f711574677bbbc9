"""orvi demo: build a small social graph in a file database, query it,
traverse it, and show that committed data survives a reopen.

Usage: python demo.py [PATH]   (default: demo.db in the current directory)
"""

import os
import sys

import orvi


def build(db):
    people = {}
    for name, age, city in [
        ("Ada", 36, "London"),
        ("Grace", 45, "New York"),
        ("Alan", 41, "Manchester"),
        ("Edsger", 72, "Austin"),
        ("Barbara", 30, "Boston"),
    ]:
        people[name] = db.add_node(["Person"], name=name, age=age, city=city)
    lang = db.add_node(["Language", "Topic"], name="ALGOL")
    with db.transaction():
        for a, b, since in [
            ("Ada", "Grace", 2001),
            ("Grace", "Alan", 1999),
            ("Alan", "Edsger", 2010),
            ("Edsger", "Barbara", 2015),
            ("Ada", "Alan", 2005),
        ]:
            db.add_edge(people[a], "KNOWS", people[b], since=since)
        db.add_edge(people["Edsger"], "DESIGNED", lang, year=1960)
    return people


def main():
    path = sys.argv[1] if len(sys.argv) > 1 else "demo.db"
    if os.path.exists(path):
        os.remove(path)

    with orvi.open(path) as db:
        people = build(db)
        info = db.info()
        print(f"built {path}: {info['node_count']} nodes, {info['edge_count']} edges, "
              f"{info['file_size']} bytes")

    with orvi.open(path) as db:
        ada = db.get_node(people["Ada"].id)
        print("reopened; first node:", ada, ada.properties)
        print("Ada knows:", [n["name"] for n in db.neighbors(ada, "KNOWS")])
        print("who knows Alan:",
              [db.get_node(e.from_node)["name"] for e in db.in_edges(people["Alan"])])
        if hasattr(db, "nodes"):
            over_40 = db.nodes().label("Person").where_(lambda n: n["age"] > 40).fetch()
            print("people over 40:", sorted(n["name"] for n in over_40))
        if hasattr(db, "bfs"):
            walk = db.bfs(ada, 3)
            print("bfs from Ada:", [(n["name"], depth) for n, depth in walk])
            path_nodes = db.shortest_path(ada, people["Barbara"], edge_label="KNOWS")
            print("shortest KNOWS path Ada -> Barbara:",
                  " -> ".join(n["name"] for n in path_nodes))
        db.update_node(ada, title="Countess")
        db.rollback()
        print("after rollback, Ada has title:", "title" in db.get_node(ada.id))


if __name__ == "__main__":
    main()
