"""One surface over both major versions of pydantic."""

import types
from typing import Any, TypeVar

import pydantic

from velora.common.enum_ import StrEnum

PYDANTIC_V2: bool = int(pydantic.VERSION.split(".")[0]) >= 2

# Our C++ functions are built-ins; in a class they are wrapped as instance
# methods. Records must not take class attributes of these types as fields.
NATIVE_FUNCTION_TYPES: tuple[type, ...] = (
    types.BuiltinFunctionType,
    type(vars(StrEnum)["__repr__"]),
)

Model = TypeVar("Model", bound=pydantic.BaseModel)


def model_dump(model: pydantic.BaseModel, **kwargs: Any) -> dict[str, Any]:
    """The record as a plain dict (nested records as dicts)."""
    if PYDANTIC_V2:
        return model.model_dump(**kwargs)
    return model.dict(**kwargs)


def model_validate(cls: type[Model], obj: Any) -> Model:
    """A validated record of `cls` built from a mapping."""
    if PYDANTIC_V2:
        return cls.model_validate(obj)
    return cls.parse_obj(obj)
