"""The column records declared in plain Python pydantic: the reference the native ones are timed against.

Same fields, defaults, alias, configuration and checks as velora.model_registry.schemas,
in the form of the installed pydantic major.
"""

from __future__ import annotations

from abc import ABC
from collections.abc import Sequence
from typing import Literal

from mlflow.types.schema import DataType
from pydantic import BaseModel, Field

from velora.model_registry.values import DataSchemaType
from velora.pydantic_compat import PYDANTIC_V2

if PYDANTIC_V2:
    from pydantic import ConfigDict, field_validator

    def check(*fields: str):
        return field_validator(*fields)
else:
    from pydantic import validator

    def check(*fields: str):
        return validator(*fields, allow_reuse=True)


class SchemaSpec(BaseModel):
    name: str | None = None
    dtype: str | DataType
    shape: list[int] | None = None

    @check("name")
    @classmethod
    def validate_name(cls, v: str | None) -> str | None:
        if v == "":
            raise ValueError("Name is empty string")
        return v


class ColumnSpec(SchemaSpec):
    shape: list[int] | None = [1]

    @check("shape")
    @classmethod
    def validate_shape(cls, v: list[int] | None) -> list[int] | None:
        if v is None:
            return v
        if v != [1]:
            raise ValueError(f"Shape of '{DataSchemaType.column!s}' type schema should be [1]")
        return v


class DataSchema(BaseModel, ABC):
    name: str
    type: Literal[DataSchemaType.column, DataSchemaType.tensor]
    schema_: Sequence[SchemaSpec] = Field(..., alias="schema")

    if PYDANTIC_V2:
        model_config = ConfigDict(populate_by_name=True)
    else:

        class Config:
            allow_population_by_field_name = True


class ColumnDataSchema(DataSchema):
    type: Literal[DataSchemaType.column]
    schema_: Sequence[ColumnSpec] = Field(..., alias="schema")

    @check("schema_")
    @classmethod
    def validate_schema(cls, v: Sequence[ColumnSpec]) -> Sequence[ColumnSpec]:
        names = [getattr(spec, "name", None) for spec in v]
        if len({name is None for name in names}) > 1:
            raise ValueError(f"Either all or none of the schema should have names: {v}")
        if names[0] is not None and len(set(names)) < len(v):
            raise ValueError(f"Duplicated names in the schema: {v}")
        return v
