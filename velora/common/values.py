"""Values shared across the platform."""

from enum import Enum


class WorkloadType(str, Enum):  # noqa: UP042 - str() keeps the Enum form
    """The kind of workload the running code belongs to."""

    dev_instance = "dev_instance"
    pipeline = "pipeline"
