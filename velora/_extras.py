"""The optional parts of the package and what a missing one says.

The core install covers datasets, the query builders, the enumerations and the
command line. The model registry and the local service need more; their modules
import it inside `needs_extra`, so that without it the import fails naming the
extra that brings it.
"""

from __future__ import annotations

import contextlib
from collections.abc import Iterator


class MissingExtraError(ModuleNotFoundError):
    """A module of an optional part of the package is not installed."""


@contextlib.contextmanager
def needs_extra(extra: str) -> Iterator[None]:
    """Run imports that the extra `extra` brings; a module missing among them is reported as
    a missing extra, with the command that installs it."""
    try:
        yield
    except MissingExtraError:
        raise
    except ModuleNotFoundError as error:
        # A velora module of its own missing is a broken install, not a missing extra.
        if error.name is None or error.name.partition(".")[0] == "velora":
            raise
        raise MissingExtraError(
            f"No module named {error.name!r}: it comes with velora's {extra} extra; "
            f"install it with: pip install 'velora[{extra}]'",
            name=error.name,
        ) from error
