"""Module attributes, exception classes, instantiation, signatures and the
argument binder's TypeError texts."""

import ctypes
import importlib.metadata
import inspect

import pytest

import orvi
from helpers import check, project_version

EXCEPTIONS = [
    "GraphDBError",
    "NodeNotFoundError",
    "EdgeNotFoundError",
    "CorruptedFileError",
    "TransactionError",
    "CapacityExceededError",
    "MergeError",
    "AlreadyOpenError",
]

# Signature texts of every GraphDB method built here.
GRAPHDB_SIGNATURES = {
    "add_node": "($self, labels, **kwargs)",
    "add_edge": "($self, from_node, label, to_node, **kwargs)",
    "get_node": "($self, node_id)",
    "get_edge": "($self, edge_id)",
    "update_node": "($self, node, **kwargs)",
    "update_edge": "($self, edge_id, **kwargs)",
    "delete_node": "($self, node_arg)",
    "delete_edge": "($self, edge_arg)",
    "out_edges": "($self, node_arg, label=None)",
    "in_edges": "($self, node_arg, label=None)",
    "neighbors": '($self, node_arg, edge_label=None, direction="out")',
    "all_nodes": "($self)",
    "all_edges": "($self)",
    "all_nodes_as_records": "($self)",
    "all_edges_as_records": "($self)",
    "node_count": "($self)",
    "edge_count": "($self)",
    "info": "($self)",
    "clear": "($self)",
    "begin": "($self)",
    "commit": "($self)",
    "rollback": "($self)",
    "transaction": "($self)",
    "close": "($self)",
    "__enter__": "($self)",
    "__exit__": "($self, _exc_type=None, _exc_val=None, _exc_tb=None)",
}


class TestModuleAttributes:
    def test_version_and_flag(self):
        # One version: the project's, in the module and the package metadata.
        assert orvi.__version__ == project_version()
        assert orvi.__version__ == importlib.metadata.version("orvi")
        assert orvi._BUILT_WITH_FAULT_INJECTION is False

    def test_open_signature(self):
        assert orvi.open.__text_signature__ == "(path)"
        assert str(inspect.signature(orvi.open)) == "(path)"

    def test_c_interface_is_a_versioned_capsule(self):
        # The table other extension modules import; its first field is the
        # version they check.
        capsule = ctypes.pythonapi.PyCapsule_GetPointer
        capsule.restype = ctypes.c_void_p
        capsule.argtypes = [ctypes.py_object, ctypes.c_char_p]
        table = capsule(orvi._C_API, b"orvi._C_API")
        assert ctypes.c_uint.from_address(table).value >= 1
        assert list(vars(orvi))[-1] == "_C_API"


class TestExceptionClasses:
    @pytest.mark.parametrize("name", EXCEPTIONS)
    def test_class_shape(self, name):
        cls = getattr(orvi, name)
        base = Exception if name == "GraphDBError" else orvi.GraphDBError
        assert cls.__bases__ == (base,)
        assert cls.__module__ == "orvi"
        assert cls.__doc__ is None
        assert cls.__name__ == name

    def test_same_class_on_reimport(self):
        import importlib
        import sys

        saved = sys.modules.pop("orvi")
        try:
            again = importlib.import_module("orvi")
            assert again is not saved
            assert again.NodeNotFoundError is saved.NodeNotFoundError
            assert again.GraphDB is saved.GraphDB
        finally:
            sys.modules["orvi"] = saved


class TestInstantiation:
    @pytest.mark.parametrize("name", ["GraphDB", "Node", "Edge", "Transaction"])
    def test_refused(self, name):
        with check(TypeError, f"cannot create 'orvi.{name}' instances"):
            getattr(orvi, name)()


class TestSignatures:
    @pytest.mark.parametrize("name,text", sorted(GRAPHDB_SIGNATURES.items()))
    def test_graphdb(self, mem, name, text):
        method = getattr(orvi.GraphDB, name)
        assert method.__text_signature__ == text
        bound = str(inspect.signature(getattr(mem, name)))
        assert bound == text.replace("$self, ", "").replace("$self", "").replace('"', "'")

    @pytest.mark.parametrize("cls", ["Node", "Edge"])
    def test_records(self, cls):
        kind = getattr(orvi, cls)
        assert kind.get.__text_signature__ == "($self, key)"
        assert kind.keys.__text_signature__ == "($self)"

    def test_transaction(self):
        assert orvi.Transaction.__enter__.__text_signature__ == "($self)"
        assert (orvi.Transaction.__exit__.__text_signature__
                == "($self, exc_type=None, _exc_val=None, _exc_tb=None)")

    def test_bodies(self):
        # Only close and the two __exit__ variants of GraphDB carry a body.
        assert "writer-guard" in orvi.GraphDB.close.__doc__
        assert "single-writer" in orvi.GraphDB.__exit__.__doc__
        assert orvi.GraphDB.get_node.__doc__ is None
        assert "TransactionError" in orvi.Transaction.__enter__.__doc__


class TestArgumentErrors:
    def test_too_many(self, mem):
        with check(TypeError, "get_node() takes at most 1 argument (2 given)"):
            mem.get_node(1, 2)
        with check(TypeError,
                   "neighbors() takes at most 3 arguments (4 given)"):
            mem.neighbors(1, None, "out", 4)
        with check(TypeError,
                   "add_node() takes at most 1 argument (2 given)"):
            mem.add_node([], 2)

    def test_too_many_keywords(self, mem):
        with check(TypeError,
                   "get_node() takes at most 1 keyword argument (2 given)"):
            mem.get_node(node_id=1, other=2)

    def test_missing(self, mem):
        with check(TypeError,
                   "add_node() missing required argument 'labels' (pos 1)"):
            mem.add_node()
        with check(TypeError,
                   "add_edge() missing required argument 'to_node' (pos 3)"):
            mem.add_edge(1, "L")
        with check(TypeError, "open() missing required argument 'path' (pos 1)"):
            orvi.open()

    def test_invalid_keyword(self, mem):
        with check(TypeError,
                   "'x' is an invalid keyword argument for out_edges()"):
            mem.out_edges(1, x=2)
        with check(TypeError,
                   "'dirn' is an invalid keyword argument for neighbors()"):
            mem.neighbors(1, dirn="in")
        # A missing required argument is reported before an unknown one.
        with check(TypeError, "open() missing required argument 'path' (pos 1)"):
            orvi.open(pth=":memory:")

    def test_name_and_position(self, mem):
        with check(TypeError, "argument for add_node() given by name "
                              "('labels') and position (1)"):
            mem.add_node([], labels=[])
        with check(TypeError, "argument for neighbors() given by name "
                              "('edge_label') and position (2)"):
            mem.neighbors(1, None, edge_label=None)

    def test_keywords_accepted(self, mem):
        a = mem.add_node(labels=["A"], labels_=1)
        assert a.labels == ["A"] and a["labels_"] == 1
        b = mem.add_node([])
        e = mem.add_edge(to_node=b, label="L", from_node=a)
        assert (e.from_node, e.to_node) == (a.id, b.id)
        assert mem.get_node(node_id=a.id).id == a.id
        assert mem.neighbors(a, direction="out", edge_label="L")[0].id == b.id

    def test_wrong_type_messages(self):
        with check(TypeError, "open() argument 'path' must be str, not bytes"):
            orvi.open(b":memory:")
        import pathlib
        with check(TypeError,
                   "open() argument 'path' must be str, not PosixPath"):
            orvi.open(pathlib.Path("x"))

    def test_noargs_methods(self, mem):
        with check(TypeError, "GraphDB.node_count() takes no arguments (1 given)"):
            mem.node_count(1)
