"""Progress bars for long work, drawn on standard error.

A bar is shown only when ``enabled`` is true and standard error is a
terminal (so pipes, logs and tests stay clean), and only when tqdm can be
imported; otherwise every call is a no-op.
"""

from __future__ import annotations

import sys
from typing import Any, Optional


class _NoBar:
    def update(self, n: int = 1) -> None:
        pass

    def close(self) -> None:
        pass

    def __enter__(self) -> "_NoBar":
        return self

    def __exit__(self, *exc: object) -> None:
        pass


def bar(total: Optional[int], desc: str, enabled: bool = True, unit: str = "it") -> Any:
    """A tqdm bar of ``total`` steps, or an object with the same update /
    close / context-manager methods that draws nothing."""
    if not enabled or not sys.stderr.isatty():
        return _NoBar()
    try:
        from tqdm import tqdm
    except ImportError:
        return _NoBar()
    return tqdm(total=total, desc=desc, unit=unit, file=sys.stderr, leave=False)
