"""Smoke test of an installed orvi wheel, or of the module pip built from the
sdist, run by scripts/wheels.sh with the interpreter of a fresh virtual
environment into which only that (and its dependencies) was installed, from
an empty working directory.

It checks that the module is the installed one, that the type stub and the
`orvi` command came with it, then builds a small graph in a file, commits,
reopens it, and runs `orvi info` and `orvi check` on the file. Prints one
line "smoke ok VERSION" and exits 0, or fails with a traceback.
"""

import json
import pathlib
import subprocess
import sys
import sysconfig

import orvi
import orvi_tools

site = pathlib.Path(sysconfig.get_paths()["platlib"]).resolve()
module = pathlib.Path(orvi.__file__).resolve()
assert module.parent == site, f"orvi imported from {module}, not from {site}"
tag = sysconfig.get_config_var("EXT_SUFFIX")
assert module.name == "orvi" + tag, f"{module.name} does not end in {tag}"
assert pathlib.Path(orvi_tools.__file__).resolve().parent == site / "orvi_tools"
for name in ("orvi/__init__.pyi", "orvi/py.typed", "orvi_tools/py.typed"):
    assert (site / name).is_file(), f"{name} is missing from the wheel"

with orvi.open("smoke.orvi") as db:
    ada = db.add_node(["Person"], name="Ada", born=1815)
    alan = db.add_node(["Person"], name="Alan", tags=["math", {"k": 1.5}])
    db.add_edge(ada, "KNOWS", alan, since=1936)
    db.commit()
    db.add_node(["Ghost"])  # pending only: closing drops it

with orvi.open("smoke.orvi") as db:
    people = db.nodes().label("Person").fetch()
    assert [n["name"] for n in people] == ["Ada", "Alan"], people
    assert people[1]["tags"] == ["math", {"k": 1.5}]
    assert [(n["name"], depth) for n, depth in db.bfs(people[0], 2)] == [("Alan", 1)]
    assert db.nodes().label("Ghost").count() == 0
    assert db.edges().label("KNOWS").fetch()[0]["since"] == 1936

command = pathlib.Path(sys.executable).with_name("orvi")
info = subprocess.run([str(command), "info", "--json", "smoke.orvi"],
                      capture_output=True, text=True, check=True)
counts = json.loads(info.stdout)
assert (counts["node_count"], counts["edge_count"]) == (2, 1), counts
check = subprocess.run([str(command), "check", "smoke.orvi"], capture_output=True, text=True)
assert check.returncode == 0, check.stdout + check.stderr

print("smoke ok", orvi.__version__)
