"""Records of the inference-service record browser."""

from enum import Enum
from typing import Any

from pydantic import BaseModel


class InferenceDatabaseRecordsMatchType(str, Enum):  # noqa: UP042 - str() keeps the Enum form
    eq = "eq"
    ne = "ne"
    gt = "gt"
    lt = "lt"
    gte = "gte"
    lte = "lte"
    like = "like"


class InferenceDatabaseRecordsOrderType(str, Enum):  # noqa: UP042 - str() keeps the Enum form
    asc = "ASC"
    desc = "DESC"


class InferenceDatabaseRecordsFilter(BaseModel):
    column_name: str
    match_type: InferenceDatabaseRecordsMatchType
    match_value: Any


class InferenceDatabaseRecordsSorting(BaseModel):
    column_name: str
    order_type: InferenceDatabaseRecordsOrderType
