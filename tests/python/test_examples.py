"""Runs every program under examples/ and the README's code, as a new user
would: each in a fresh directory, in a separate interpreter."""

import importlib.util
import os
import re
import shlex
import subprocess
import sys

import pytest

import orvi
from helpers import REPO

EXAMPLES = sorted((REPO / "examples").glob("*.py"))
README = (REPO / "README.md").read_text(encoding="utf-8")
STUB = (REPO / "python" / "orvi" / "__init__.pyi").read_text(encoding="utf-8")


def environment():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [str(REPO / "python")] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
    return env


def python(args, cwd):
    return subprocess.run([sys.executable, *args], cwd=cwd, capture_output=True, text=True,
                          env=environment(), timeout=600)


def missing_modules(source):
    """Top-level modules the code imports that are not installed here."""
    names = re.findall(r"^\s*(?:import|from)\s+([A-Za-z_]\w*)", source, re.M)
    return sorted({n for n in names
                   if n not in ("orvi", "orvi_tools") and importlib.util.find_spec(n) is None})


def code_blocks(language):
    return re.findall(rf"```{language}\n(.*?)```", README, re.S)


# Lines that an example must print, beyond running cleanly.
EXPECTED = {
    "demo.py": ["after rollback, Ada has title: False"],
    "bulk_load.py": ["check: healthy", "copy equals original: True",
                     "file size unchanged: True"],
    "networkx_interop.py": ["stored 34 members and 78 friendships", "same member keys: True",
                            "round trip equal: True"],
}


class TestExamples:
    @pytest.mark.parametrize("example", EXAMPLES, ids=lambda p: p.name)
    def test_example_runs(self, example, tmp_path):
        missing = missing_modules(example.read_text(encoding="utf-8"))
        if missing:
            pytest.skip(f"needs {', '.join(missing)}")
        result = python([str(example), "target"], cwd=tmp_path)
        assert result.returncode == 0, result.stdout + result.stderr
        assert result.stdout.strip(), "an example should show what it did"
        for line in EXPECTED.get(example.name, []):
            assert line in result.stdout, result.stdout

    def test_demo_leaves_a_database_that_survives_a_reopen(self, tmp_path):
        result = python([str(REPO / "examples" / "demo.py"), "demo.orvi"], cwd=tmp_path)
        assert result.returncode == 0, result.stderr
        with orvi.open(str(tmp_path / "demo.orvi")) as db:
            assert (db.node_count(), db.edge_count()) == (6, 6)


class TestReadme:
    """The README's Python programs run as written, one after another in
    one directory, and its `orvi` command lines then work on what they
    made."""

    def test_python_blocks_and_command_lines(self, tmp_path):
        programs = [block for block in code_blocks("python")
                    if block.lstrip().startswith(("import", "from"))]
        assert len(programs) >= 2
        ran = 0
        for number, program in enumerate(programs):
            if missing_modules(program):
                continue
            script = tmp_path / f"block{number}.py"
            script.write_text(program, encoding="utf-8")
            result = python([script.name], cwd=tmp_path)
            assert result.returncode == 0, program + result.stdout + result.stderr
            ran += 1
        assert ran >= 2
        assert (tmp_path / "people.orvi").exists()
        commands = [shlex.split(line) for block in code_blocks("sh")
                    for line in block.splitlines() if line.startswith("orvi ")]
        assert commands
        for command in commands:
            if "parquet" in command and missing_modules("import pyarrow"):
                continue
            result = python(["-m", "orvi_tools", *command[1:]], cwd=tmp_path)
            assert result.returncode == 0, f"{command}: {result.stderr}"
        assert (tmp_path / "people.jsonl").read_text().count('"type":"node"') == 3

    def test_bulk_load_tables_and_algorithms_print_what_their_comments_say(self, tmp_path):
        blocks = [b for b in code_blocks("python") if "deps.orvi" in b or "import algorithms" in b]
        assert len(blocks) == 3
        for number, block in enumerate(blocks):
            missing = missing_modules(block)
            if missing:
                pytest.skip(f"needs {', '.join(missing)}")
            expected = [line.split("# ", 1)[1].strip() for line in block.splitlines()
                        if line.lstrip().startswith("print(")]
            script = tmp_path / f"block{number}.py"
            script.write_text(block, encoding="utf-8")
            result = python([script.name], cwd=tmp_path)
            assert result.returncode == 0, result.stderr
            assert result.stdout.splitlines() == expected

    def test_quickstart_prints_what_its_comments_say(self, tmp_path):
        quickstart = next(b for b in code_blocks("python") if "people.orvi" in b)
        script = tmp_path / "quickstart.py"
        script.write_text(quickstart, encoding="utf-8")
        result = python([script.name], cwd=tmp_path)
        assert result.returncode == 0, result.stderr
        lines = result.stdout.splitlines()
        assert lines[0] == "['Charles']"
        assert lines[1] == "1"
        assert lines[2] == "['WROTE_ABOUT', 'KNOWS']"
        assert lines[4] == "Charles -> Analytical Engine"
        assert lines[5] == "None"
        assert lines[6].startswith("{'version': '1.0', 'node_count': 3, 'edge_count': 3")


class TestStubExamples:
    """Each "Example:" of the type stub's docstrings is an expression that
    runs as written against a database `db`."""

    def test_examples_run(self, mem):
        examples = re.findall(r"Example:\s*`([^`]+)`", STUB)
        assert examples
        ada = mem.add_node(["Person"], name="Ada", age=36)
        mem.add_node(["Person"], name="Alan")  # no age at all
        mem.add_node(["Person"], name="Bea", age=None)
        mem.add_node(["Machine"], age=200)
        mem.add_edge(ada, "KNOWS", 2, since=1936)
        for example in examples:
            result = eval(example, {"orvi": orvi}, {"db": mem})
            if example.startswith("db.nodes().label(\"Person\")"):
                assert [n.id for n in result] == [ada.id]
