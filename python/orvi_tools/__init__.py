"""Tools around the orvi graph database.

- the ``orvi`` command (``orvi_tools.cli``): info, check, vacuum, repair,
  export and import;
- ``to_networkx`` / ``from_networkx``: conversion to and from networkx
  graphs (networkx is needed only when they are called);
- ``BatchWriter``: adding many records in commits that fit the log;
- ``to_pandas``: the graph as node and edge DataFrames (needs pandas);
- ``import_tables``: nodes and edges from DataFrames or Arrow tables into
  a database file, built directly (needs pyarrow);
- ``export_jsonl``, ``export_csv``, ``export_graphml`` and
  ``export_parquet`` (needs pyarrow) for the exports from a program;
- ``check_file``: the read-only integrity check;
- ``same_graph`` / ``first_difference``: compare two databases by
  structure and content, ids aside;
- ``open_reader``: read-only access to a database file beside the
  process that writes it (``orvi_tools.reader``);
- ``orvi_tools.algorithms``: traversals in any direction, components,
  topological order and PageRank, computed in the engine.

The ``orvi`` module itself stays as it is: everything here is built on its
public methods and, for the read-only tools, on the private engine module
``orvi_tools._engine``, built with it from the same core. pandas, pyarrow
and networkx are optional; each is imported only by the functions that
need it.
"""

import os

import orvi

# The engine module is built with orvi and installed beside it; a source
# checkout of these tools finds it there.
_built = os.path.join(os.path.dirname(os.path.abspath(orvi.__file__)), "orvi_tools")
if _built not in __path__:
    __path__.append(_built)

from . import algorithms
from .batch import BatchWriter, ImportFailed
from .check import Problem, Report, check_file
from .compare import first_difference, same_graph
from .exchange import FormatProblem, export_csv, export_graphml, export_jsonl
from .nx import from_networkx, to_networkx
from .reader import Reader, open_reader
from .tables import MissingPackage, export_parquet, import_tables, to_pandas

# The tools ship with the module and carry its version.
__version__ = orvi.__version__

__all__ = [
    "BatchWriter",
    "FormatProblem",
    "ImportFailed",
    "MissingPackage",
    "Reader",
    "algorithms",
    "Problem",
    "Report",
    "check_file",
    "export_csv",
    "export_graphml",
    "export_jsonl",
    "export_parquet",
    "first_difference",
    "from_networkx",
    "import_tables",
    "open_reader",
    "same_graph",
    "to_networkx",
    "to_pandas",
]
