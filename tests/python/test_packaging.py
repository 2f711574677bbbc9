"""The wheel: `pip wheel .` builds one that installs into a fresh virtual
environment, imports, works, ships the type stub and the `orvi` command.

Slow (it compiles the engine in pip's isolated build): runs only with
ORVI_SLOW_TESTS=1, e.g.

    ORVI_SLOW_TESTS=1 python -m pytest tests/python/test_packaging.py
"""

import os
import subprocess
import sys
import venv
import zipfile

import pytest

from helpers import REPO, project_version

pytestmark = pytest.mark.skipif(
    os.environ.get("ORVI_SLOW_TESTS") != "1",
    reason="builds a wheel (several minutes); set ORVI_SLOW_TESTS=1 to run",
)

SMOKE = r"""
import json, os, pathlib, subprocess, sys, sysconfig
import orvi, orvi_tools

site = pathlib.Path(sysconfig.get_paths()["platlib"])
assert pathlib.Path(orvi.__file__).parent == site, orvi.__file__
assert (site / "orvi" / "__init__.pyi").is_file()
assert (site / "orvi" / "py.typed").is_file()
assert (site / "orvi_tools" / "py.typed").is_file()

with orvi.open("smoke.orvi") as db:
    a = db.add_node(["Person"], name="Ada")
    b = db.add_node(["Person"], name="Alan")
    db.add_edge(a, "KNOWS", b)
    db.commit()
with orvi.open("smoke.orvi") as db:
    assert [n["name"] for n in db.nodes().label("Person").fetch()] == ["Ada", "Alan"]
    assert [n["name"] for n, _ in db.bfs(1, 1)] == ["Alan"]

orvi_cmd = pathlib.Path(sys.executable).with_name("orvi")
info = subprocess.run([str(orvi_cmd), "info", "--json", "smoke.orvi"],
                      capture_output=True, text=True, check=True)
assert json.loads(info.stdout)["node_count"] == 2
subprocess.run([str(orvi_cmd), "check", "smoke.orvi"], check=True, capture_output=True)
print("smoke ok", orvi.__version__)
"""


def test_wheel_installs_into_a_fresh_environment(tmp_path):
    wheels = tmp_path / "wheels"
    build_env = dict(os.environ, CMAKE_BUILD_PARALLEL_LEVEL=os.environ.get("JOBS", "2"))
    subprocess.run([sys.executable, "-m", "pip", "wheel", "--no-deps", "-q", str(REPO),
                    "-w", str(wheels)], check=True, timeout=3600, env=build_env)
    (wheel,) = wheels.glob("orvi-*.whl")
    names = zipfile.ZipFile(wheel).namelist()
    assert "orvi/__init__.pyi" in names and "orvi/py.typed" in names
    assert "orvi_tools/cli.py" in names
    assert [n for n in names if n.startswith("orvi_tools/_engine.") and n.endswith(".so")]
    assert not [n for n in names if "__pycache__" in n]
    assert any(n.endswith("entry_points.txt") for n in names)

    env_dir = tmp_path / "venv"
    venv.create(env_dir, with_pip=True)
    py = env_dir / "bin" / "python"
    subprocess.run([str(py), "-m", "pip", "install", "-q", str(wheel)], check=True,
                   timeout=1200)
    work = tmp_path / "work"
    work.mkdir()
    clean = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "LD_PRELOAD")}
    result = subprocess.run([str(py), "-c", SMOKE], cwd=work, capture_output=True, text=True,
                            env=clean, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.startswith(f"smoke ok {project_version()}")
