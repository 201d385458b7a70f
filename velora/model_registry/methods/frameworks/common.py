"""Checks shared by the framework integrations."""

from collections.abc import Iterable
from typing import Any


def has_method_names(obj: Any, names: Iterable[str]) -> bool:
    """Check that `obj` has a callable method under each of `names`.

    Raises AttributeError naming the first method that is missing or not callable.
    """
    for name in names:
        try:
            method = getattr(obj, name)
        except AttributeError:
            raise AttributeError(
                f"not found method in {type(obj).__qualname__}: method_name={name!r}", name=name, obj=obj
            ) from None
        if not callable(method):
            raise AttributeError(
                f"not callable method in {type(obj).__qualname__}: method_name={name!r}", name=name, obj=obj
            )
    return True
