"""Checks on a framework's model object, shared by the framework integrations.

One of three `common` modules under `velora.model_registry.methods`: this one serves
`frameworks.mlflow`; the package's `common` holds the sample types and `artifacts.common` the JSON
encoding, model paths and IO names of the documents.
"""

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
