"""Dataset records built the way the SDK builds them: by keyword expansion of service answers."""

from __future__ import annotations

import base64
import io
from datetime import datetime
from typing import Any

import pydantic
import pytest

from velora.common.corlett import corlett
from velora.dataset.schemas import DatasetInfo, DatasetVersionInfo
from velora.pydantic_compat import model_dump


def _upload(project: Any, name: str, payload: bytes, filename: str) -> dict[str, Any]:
    snapshot = corlett.post(project.sdk_base, json_data={"name": name, "description": "d", "exist_ok": True})
    corlett.post(f"{project.sdk_base}/{snapshot['id']}/upload-metadata", json_data={"file_count": 1})
    header = base64.b64encode(filename.encode()).decode()
    return corlett.post(  # type: ignore[no-any-return]
        endpoint=f"{project.sdk_base}/{snapshot['id']}/upload",
        data=io.BytesIO(payload),
        headers={"Filename": header},
    )


def test_records_build_from_every_answer_of_the_service(platform_settings: Any) -> None:
    uploaded = DatasetInfo(**_upload(platform_settings, "iris", b"a,b\n1,2\n", "iris.csv"))
    assert (uploaded.name, uploaded.description, uploaded.version_count) == ("iris", "d", 1)
    assert isinstance(uploaded.created_at, datetime)
    [file] = uploaded.latest_version.files
    assert (file.filename, file.size, file.path) == ("iris.csv", 8, "iris/v1/iris.csv")
    # A field this SDK has no declaration for is kept, nested records included.
    assert uploaded.uploaded_version["files"][0]["filename"] == "iris.csv"

    listed = [DatasetInfo(**item) for item in corlett.get(f"{platform_settings.sdk_base}")["data_snapshots"]]
    detail = DatasetInfo(**corlett.get(f"{platform_settings.sdk_base}/{uploaded.id}")["data_snapshot"])
    assert [item.id for item in listed] == [uploaded.id] == [detail.id]

    version = DatasetVersionInfo(
        **corlett.post(f"{platform_settings.sdk_base}/{uploaded.id}/versions", json_data={})
    )
    assert (version.data_snapshot_id, version.version, version.status, version.files) == (
        uploaded.id,
        2,
        "ready",
        [],
    )


def test_unknown_fields_survive_a_dump() -> None:
    record = DatasetInfo(id=1, name="x", owner_team="ml", latest_version={"id": 4, "checksum_kind": "sha256"})
    dumped = model_dump(record)
    assert dumped["owner_team"] == "ml"
    assert dumped["latest_version"]["checksum_kind"] == "sha256"


@pytest.mark.parametrize("record_class", [DatasetInfo, DatasetVersionInfo])
def test_every_field_is_optional(record_class: type[pydantic.BaseModel]) -> None:
    assert all(value in (None, []) for value in model_dump(record_class()).values())


@pytest.mark.parametrize(
    ("record_class", "fields"),
    [
        (DatasetInfo, {"id": "not a number"}),
        (DatasetInfo, {"latest_version": {"version": "two"}}),
        (DatasetVersionInfo, {"files": [{"size": "big"}]}),
        (DatasetVersionInfo, {"created_at": "yesterday"}),
    ],
)
def test_fields_that_do_not_fit_raise_the_validation_error(
    record_class: type[pydantic.BaseModel], fields: dict[str, Any]
) -> None:
    with pytest.raises(pydantic.ValidationError):
        record_class(**fields)


def test_ids_as_text_or_numbers_both_fit() -> None:
    assert DatasetInfo(workspace_id=3, project_id="p-1").workspace_id == 3
