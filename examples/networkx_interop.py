"""orvi and networkx: load a networkx graph into a database, run a networkx
algorithm on the stored graph, and write the result back as properties.

Usage: python networkx_interop.py [PATH]   (default: karate.orvi here)
Needs networkx (pip install networkx).
"""

import os
import sys

import networkx as nx

import orvi
from orvi_tools import first_difference, from_networkx, to_networkx


def main():
    path = sys.argv[1] if len(sys.argv) > 1 else "karate.orvi"
    if os.path.exists(path):
        os.remove(path)

    club = nx.karate_club_graph()  # undirected: each edge is stored once
    for member in club.nodes:
        club.nodes[member]["labels"] = ["Member"]
        club.nodes[member]["member"] = member
    for a, b in club.edges:
        club.edges[a, b]["label"] = "FRIEND"

    with orvi.open(path) as db:
        ids = from_networkx(club, db)  # commits in batches; {member: node id}
        print(f"stored {db.node_count()} members and {db.edge_count()} friendships")

        # A MultiDiGraph keyed by the original keys (kept in "nx:key").
        graph = to_networkx(db)
        print("same member keys:", sorted(graph.nodes) == sorted(club.nodes))
        centrality = nx.degree_centrality(graph.to_undirected())
        for member, value in centrality.items():
            db.update_node(ids[member], centrality=round(value, 4))
        db.commit()

        best = max(db.all_nodes(), key=lambda n: n["centrality"])
        print(f"most connected member: {best['member']} (node {best.id}, "
              f"club {best['club']}, centrality {best['centrality']})")
        print("member 0 is node", ids[0])

    # A round trip through networkx gives an equal graph.
    with orvi.open(path) as db, orvi.open(":memory:") as copy:
        from_networkx(to_networkx(db), copy)
        print("round trip equal:", first_difference(db, copy) is None)


if __name__ == "__main__":
    main()
