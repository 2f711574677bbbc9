"""Rows of the comparison, the cross-peer agreement check, table and plot."""

from __future__ import annotations

# key, title, kind. kind "time": seconds, smaller is better, ratio peer/orvi;
# "bytes": smaller is better, ratio peer/orvi; "count": no ratio.
ROWS = [
    ("bulk_load", "bulk load (1000 records/commit)", "time"),
    ("cold_open", "cold open + first get_node", "time"),
    ("warm_open", "warm open + first get_node", "time"),
    ("get_node", "random get_node", "time"),
    ("out_edges", "random out_edges", "time"),
    ("label_scan", "label scan (1/8 of nodes)", "time"),
    ("bfs3", "BFS to depth 3", "time"),
    ("shortest_path", "shortest path", "time"),
    ("shortest_path_oneway", "shortest path, one-way BFS in networkx", "time"),
    ("shortest_path_far", "shortest path, far pairs (distance >= 4)", "time"),
    ("shortest_path_unreachable", "shortest path, unreachable goal", "time"),
    ("commit_latency", "single-record commit", "time"),
    ("syncs_per_commit", "fsync-family calls per commit", "count"),
    ("bytes_per_record", "file bytes per record", "bytes"),
]

# The project's goals, as minimum ratios peer/orvi against the named peer.
TARGETS = {
    "bulk_load": {"sqlite-full": 2.0},
    "get_node": {"sqlite-full": 3.0},
    "out_edges": {"sqlite-full": 3.0},
    "label_scan": {"sqlite-full": 3.0},
    "bfs3": {"sqlite-full": 5.0, "networkx": 1.0},
    "shortest_path": {"sqlite-full": 5.0, "networkx": 1.0},
    "shortest_path_far": {"networkx": 0.5},
    "shortest_path_unreachable": {"networkx": 0.5},
}
OPEN_LIMIT_S = 2.0  # cold open of the large graph

# Rows whose results every peer must agree on, and the field compared.
AGREEMENT = ["get_node", "out_edges", "label_scan", "bfs3", "shortest_path",
             "shortest_path_far", "shortest_path_unreachable"]


def value(peer: dict, row: str):
    r = peer.get("rows", {}).get(row)
    if not r or "value" not in r:
        return None
    return r["value"]


# Rows that only a peer has, compared with this orvi row.
BASE_ROW = {"shortest_path_oneway": "shortest_path"}


def ratio(results: dict, peer: str, row: str):
    base = value(results.get("orvi", {}), BASE_ROW.get(row, row))
    v = value(results.get(peer, {}), row)
    if base is None or v is None or base <= 0:
        return None
    return v / base


def fmt_time(s: float) -> str:
    if s < 1e-3:
        return f"{s * 1e6:.1f} µs"
    if s < 1.0:
        return f"{s * 1e3:.2f} ms"
    return f"{s:.2f} s"


def fmt_value(kind: str, v) -> str:
    if kind == "time":
        return fmt_time(v)
    if kind == "bytes":
        return f"{v:.0f} B"
    return f"{v:.2f}"


def cell(results: dict, peer: str, row: str, kind: str) -> str:
    r = results.get(peer, {})
    if "unavailable" in r:
        return "n/a"
    entry = r.get("rows", {}).get(row)
    if entry is None:
        return "-"
    if "unavailable" in entry:
        return "missing"
    if "error" in entry:
        return "ERROR"
    text = fmt_value(kind, entry["value"])
    if row == "bulk_load":
        text += f" ({entry['records_per_s'] / 1000:.0f}k/s)"
    if kind != "count" and peer != "orvi":
        q = ratio(results, peer, row)
        if q is not None:
            text += f" x{q:.3g}"
    return text


def target_status(results: dict, row: str, size: str) -> str:
    if row == "cold_open":
        v = value(results.get("orvi", {}), row)
        if size != "large" or v is None:
            return f"<{OPEN_LIMIT_S:g} s at large"
        return f"<{OPEN_LIMIT_S:g} s: {'met' if v < OPEN_LIMIT_S else 'NOT met'}"
    goals = TARGETS.get(row)
    if not goals:
        return ""
    parts = []
    for peer, need in goals.items():
        q = ratio(results, peer, row)
        mark = "?" if q is None else ("met" if q >= need else "NOT met")
        parts.append(f"≥{need:g}x {peer}: {mark}")
    return "; ".join(parts)


def table(results: dict, peers: list[str], size: str) -> str:
    header = ["row"] + peers + ["target"]
    lines = [header]
    for row, title, kind in ROWS:
        if all(cell(results, p, row, kind) in ("-", "n/a") for p in peers):
            continue
        lines.append([title] + [cell(results, p, row, kind) for p in peers]
                     + [target_status(results, row, size)])
    widths = [max(len(line[c]) for line in lines) for c in range(len(header))]
    out = []
    for k, line in enumerate(lines):
        out.append("  ".join(s.ljust(w) for s, w in zip(line, widths)).rstrip())
        if k == 0:
            out.append("  ".join("-" * w for w in widths))
    return "\n".join(out)


def agreement(results: dict) -> list[str]:
    """Differences between peers' results for the same queries."""
    problems = []
    for row in AGREEMENT:
        seen = {}
        for peer, r in results.items():
            c = r.get("checks", {}).get(row)
            if c is not None:
                seen[peer] = c
        if len(set(repr(c) for c in seen.values())) > 1:
            detail = "; ".join(f"{p}: {str(c)[:200]}" for p, c in seen.items())
            problems.append(f"{row}: peers disagree ({detail})")
    return problems


def plot(results: dict, peers: list[str], path: str, title: str):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    rows = [(r, t) for r, t, kind in ROWS if kind != "count"]
    others = [p for p in peers if p != "orvi"]
    fig, ax = plt.subplots(figsize=(11, 5.5))
    width = 0.8 / max(1, len(others))
    for k, peer in enumerate(others):
        xs, ys = [], []
        for x, (row, _) in enumerate(rows):
            q = ratio(results, peer, row)
            if q is not None:
                xs.append(x - 0.4 + width * (k + 0.5))
                ys.append(q)
        ax.bar(xs, ys, width, label=peer)
    for x, (row, _) in enumerate(rows):
        for peer, need in TARGETS.get(row, {}).items():
            if peer in others:
                k = others.index(peer)
                cx = x - 0.4 + width * (k + 0.5)
                ax.plot([cx - width / 2, cx + width / 2], [need, need], color="black", lw=2)
    ax.axhline(1.0, color="grey", lw=1, ls="--")
    ax.set_yscale("log")
    ax.set_xticks(range(len(rows)))
    ax.set_xticklabels([t for _, t in rows], rotation=30, ha="right", fontsize=8)
    ax.set_ylabel("peer / orvi  (above 1: orvi faster or smaller)")
    ax.set_title(title + "\nblack ticks: targets")
    ax.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
