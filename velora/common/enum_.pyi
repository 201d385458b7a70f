from enum import Enum as Enum
from enum import auto as auto
from typing import Any as Any
from typing import List as List

class StrEnum(str, Enum):  # type: ignore[misc]  # a base with no members of its own
    @staticmethod
    def _generate_next_value_(name: str, start: int, count: int, last_values: list[Any]) -> str: ...
    @classmethod
    def has_value(cls, value: str) -> bool: ...
