"""Shared fixtures and helpers for the orvi binding tests."""

import contextlib

import pytest

import orvi

CLOSED = (
    "orvi: database handle is closed; reopen with orvi.open(path) before "
    "issuing further operations."
)


@contextlib.contextmanager
def check(exc_class, message):
    """Asserts that the block raises exactly `exc_class` with `message` as
    its single argument."""
    with pytest.raises(BaseException) as info:
        yield info
    assert type(info.value) is exc_class, repr(info.value)
    assert info.value.args == (message,), info.value.args


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
