"""Placeholder helpers (replaced by platform layer)."""

from typing import Any

from velora.common.values import WorkloadType


def exclude_none(mapping: dict[str, Any]) -> dict[str, Any]:
    return {key: value for key, value in mapping.items() if value is not None}


def inspect_workload_type() -> WorkloadType | None:
    return None
