"""Placeholder request object (replaced by platform layer)."""

from typing import Any


class _Corlett:
    def get(self, endpoint: str, params: Any = None) -> Any:
        raise NotImplementedError("placeholder request layer")

    def post(
        self, endpoint: str, json_data: Any = None, data: Any = None, files: Any = None, headers: Any = None
    ) -> Any:
        raise NotImplementedError("placeholder request layer")


corlett = _Corlett()
