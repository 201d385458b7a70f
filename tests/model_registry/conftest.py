"""Fixtures of the model registry schema tests.

- `raises_check`: a context manager asserting that building a record fails with
  pydantic's validation error carrying one of our check messages.
- `field_names`: the declared fields of a record class, in order, under either pydantic.
- `image_snapshot`, `launch_params`: builder-context entries as the registering code gives them.
"""

from __future__ import annotations

import contextlib
from collections.abc import Callable, Iterator
from types import SimpleNamespace
from typing import Any

import pydantic
import pytest

from velora.pydantic_compat import PYDANTIC_V2


@contextlib.contextmanager
def _raises_check(message: str) -> Iterator[pytest.ExceptionInfo[pydantic.ValidationError]]:
    with pytest.raises(pydantic.ValidationError) as caught:
        yield caught
    # pydantic 2 prefixes the message of a ValueError raised in a check.
    expected = f"Value error, {message}" if PYDANTIC_V2 else message
    assert expected in [error["msg"] for error in caught.value.errors()], str(caught.value)


@pytest.fixture
def raises_check() -> Callable[[str], contextlib.AbstractContextManager[Any]]:
    return _raises_check


def _field_names(cls: type[pydantic.BaseModel]) -> list[str]:
    fields = cls.model_fields if PYDANTIC_V2 else cls.__fields__  # type: ignore[attr-defined]
    return list(fields)


@pytest.fixture
def field_names() -> Callable[[type[pydantic.BaseModel]], list[str]]:
    return _field_names


@pytest.fixture
def image_snapshot() -> SimpleNamespace:
    return SimpleNamespace(image_url="registry.local/velora/serving:1.4", run_uuid="0f6c1d3e-run")


@pytest.fixture
def launch_params() -> SimpleNamespace:
    return SimpleNamespace(source=None)
