"""Shared fixtures of the orvi binding tests (helpers live in helpers.py)."""

import pytest

import orvi


@pytest.fixture
def mem():
    db = orvi.open(":memory:")
    yield db
    db.close()


@pytest.fixture
def path(tmp_path):
    return str(tmp_path / "graph.orvi")


@pytest.fixture
def filedb(path):
    db = orvi.open(path)
    yield db
    db.close()


@pytest.fixture(params=["memory", "file"])
def db(request, tmp_path):
    """The same test on a memory database and on a file database."""
    target = ":memory:" if request.param == "memory" else str(tmp_path / "g.orvi")
    handle = orvi.open(target)
    yield handle
    handle.close()
