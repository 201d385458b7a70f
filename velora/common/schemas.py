"""Records and vocabularies shared across the platform."""

from enum import Enum

from pydantic import BaseModel


class DatabaseType(str, Enum):  # noqa: UP042 - str() keeps the Enum form
    """Database engines an inference service can keep its records in."""

    postgresql = "postgresql"
    mysql = "mysql"
    oracle = "oracle"
    mssql = "mssql"
    tibero = "tibero"


class BaseInfo(BaseModel):
    """Base of the platform's information records: the entity's id and name, when known."""

    id: int | None = None
    name: str | None = None
