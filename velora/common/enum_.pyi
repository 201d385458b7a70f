"""The string enumeration base."""

from enum import Enum as Enum
from enum import auto as auto
from typing import Any as Any

_ = auto

# A base for enumerations: it declares no members of its own.
class StrEnum(str, Enum):  # type: ignore[misc]  # noqa: UP042
    @staticmethod
    def _generate_next_value_(name: str, start: int, count: int, last_values: list[Any]) -> str: ...
    @classmethod
    def has_value(cls, value: str) -> bool: ...
