"""Records of what the dataset service returns.

Every field is optional and unknown fields are kept as attributes, so records
build from any data-snapshot or version object by keyword expansion, including
one from a newer service with fields this SDK does not know yet.
"""

from __future__ import annotations

from datetime import datetime

from pydantic import BaseModel

from velora.common.schemas import BaseInfo


# Configuration as class keywords reads the same under pydantic 1 and 2, so
# type checkers see one definition of each base.
class _OpenRecord(BaseModel, extra="allow"):
    pass


class _OpenInfo(BaseInfo, extra="allow"):
    pass


class DatasetFileInfo(_OpenRecord):
    """One stored file of a dataset version; `path` is relative to the project's dataset storage."""

    filename: str | None = None
    size: int | None = None
    sha256: str | None = None
    path: str | None = None


class DatasetVersionInfo(_OpenRecord):
    """One version of a dataset (the service calls it a data snapshot version)."""

    id: int | None = None
    data_snapshot_id: int | None = None
    version: int | None = None
    description: str | None = None
    status: str | None = None
    file_count: int | None = None
    files: list[DatasetFileInfo] = []
    created_by: str | None = None
    argo_workflow_run_id: str | None = None
    created_at: datetime | None = None


class DatasetInfo(_OpenInfo):
    """A dataset (the service calls it a data snapshot) with its latest version."""

    description: str | None = None
    workspace_id: int | str | None = None
    project_id: int | str | None = None
    created_by: str | None = None
    created_at: datetime | None = None
    updated_at: datetime | None = None
    version_count: int | None = None
    latest_version: DatasetVersionInfo | None = None
