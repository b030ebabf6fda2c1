"""What every converter shares: the error they raise and their progress lines.

It imports no converter, so each family module can import it without a cycle
through :mod:`vantrel.convert`, which imports the families.
"""

from __future__ import annotations

import sys


class ConversionError(RuntimeError):
    """A traced node has no mapping onto the engine's ops."""


def report_progress(enabled: bool, what: str, done: int, total: int) -> None:
    """Print ``converting <what> <done>/<total>`` to stderr when ``enabled``."""
    if enabled:
        print(f"converting {what} {done}/{total}", file=sys.stderr)
