"""Packaging: `pip wheel .` builds a wheel that installs into a fresh
virtual environment, imports, works, ships the type stub and the `orvi`
command; scripts/wheels.sh finds one interpreter per supported release.

Building the wheel is slow (it compiles the engine in pip's isolated build):
that test runs only with ORVI_SLOW_TESTS=1, e.g.

    ORVI_SLOW_TESTS=1 python -m pytest tests/python/test_packaging.py
"""

import os
import re
import subprocess
import sys
import sysconfig
import venv
import zipfile
from pathlib import Path

import pytest

from helpers import REPO, project_version

slow = pytest.mark.skipif(
    os.environ.get("ORVI_SLOW_TESTS") != "1",
    reason="builds a wheel (several minutes); set ORVI_SLOW_TESTS=1 to run",
)


@slow
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
    result = subprocess.run([str(py), "-I", str(REPO / "scripts" / "wheel_smoke.py")], cwd=work,
                            capture_output=True, text=True, env=clean, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.startswith(f"smoke ok {project_version()}")


SUPPORTED = re.findall(r'"Programming Language :: Python :: (3\.\d+)"',
                       (REPO / "pyproject.toml").read_text(encoding="utf-8"))
HERE = "%d.%d" % sys.version_info[:2]


def fake_python(path, body):
    path.parent.mkdir(parents=True)
    path.write_text("#!/bin/sh\n" + body + "\n")
    path.chmod(0o755)


def test_wheels_script_takes_the_newest_usable_pyenv_release_and_reports_missing(tmp_path):
    """Patch releases sort by number, not text; a broken or free-threaded
    install is passed over; a release with no usable interpreter is named
    with the reason and makes the listing fail unless --allow-missing."""
    real = Path(sysconfig.get_config_var("BINDIR")) / f"python{HERE}"

    def system_pythons(v):
        tag = v.replace(".", "")
        return [f"/usr/local/bin/python{v}", f"/usr/bin/python{v}",
                f"/opt/python/cp{tag}-cp{tag}/bin/python"]

    absent = [v for v in SUPPORTED
              if v != HERE and not any(map(os.path.exists, system_pythons(v)))]
    if HERE not in SUPPORTED or not real.is_file() or not absent:
        pytest.skip("needs a base interpreter of a supported release and one release "
                    "with no system interpreter")
    versions = tmp_path / "pyenv" / "versions"
    for patch, body in (("0", "exit 3"), ("9", f'exec "{real}" "$@"'),
                        ("10", f'exec "{real}" "$@"'), ("11t", f'exec "{real}" "$@"'),
                        ("12", "exit 3")):
        fake_python(versions / f"{HERE}.{patch}" / "bin" / f"python{HERE}", body)
    other = absent[0]
    fake_python(versions / f"{other}.4" / "bin" / f"python{other}",
                'echo "no such interpreter here" >&2; exit 3')
    env = dict(os.environ, PYENV_ROOT=str(tmp_path / "pyenv"), PATH="/usr/bin:/bin")

    def listing(*flags):
        return subprocess.run(["bash", str(REPO / "scripts" / "wheels.sh"), "--list", *flags],
                              capture_output=True, text=True, env=env, timeout=300)

    result = listing()
    lines = {line.split()[0]: line for line in result.stdout.splitlines()}
    assert result.returncode == 1, result.stdout + result.stderr
    tag = "cp" + HERE.replace(".", "")
    assert lines[tag].split()[1:] == [sys.version.split()[0],
                                      str(versions / f"{HERE}.10" / "bin" / f"python{HERE}")
                                      ], result.stdout
    missing = lines["cp" + other.replace(".", "")]
    assert "missing" in missing and "no such interpreter here" in missing, missing
    assert listing("--allow-missing").returncode == 0
