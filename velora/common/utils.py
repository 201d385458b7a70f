"""Small helpers the SDK shares."""

from __future__ import annotations

import os
from collections.abc import Mapping
from typing import TypeVar

from velora.common.values import WorkloadType
from velora.settings import settings

Value = TypeVar("Value")

# Environment variables a notebook server sets for the kernels it starts; any one
# of them marks a development instance.
DEV_INSTANCE_MARKERS = (
    "JUPYTERHUB_USER",
    "JUPYTERHUB_API_TOKEN",
    "JUPYTER_SERVER_ROOT",
    "JPY_PARENT_PID",
    "JPY_SESSION_NAME",
)


def exclude_none(mapping: Mapping[str, Value | None]) -> dict[str, Value]:
    """The entries of a flat mapping whose value is not None, in their order."""
    return {key: value for key, value in mapping.items() if value is not None}


def inspect_workload_type() -> WorkloadType | None:
    """The kind of workload this code runs in, or None when nothing tells.

    `settings.VELORA_WORKLOAD_TYPE` decides when it is set. Otherwise a pipeline
    run is known by its workflow run id (`settings.ARGO_WORKFLOW_RUN_ID`), and a
    development instance by the variables its notebook server sets. A pipeline
    step may run in a notebook image, so the run id wins.
    """
    declared = settings.VELORA_WORKLOAD_TYPE
    if declared:
        try:
            return WorkloadType(declared)
        except ValueError:
            allowed = ", ".join(member.value for member in WorkloadType)
            raise ValueError(
                f"VELORA_WORKLOAD_TYPE must be one of {allowed}: VELORA_WORKLOAD_TYPE={declared!r}"
            ) from None
    if settings.ARGO_WORKFLOW_RUN_ID:
        return WorkloadType.pipeline
    if any(os.environ.get(name) for name in DEV_INSTANCE_MARKERS):
        return WorkloadType.dev_instance
    return None
