"""orvi: an embedded property-graph database."""

from typing import Final

__version__: Final[str]
_BUILT_WITH_FAULT_INJECTION: Final[bool]
