"""The dataset service client through the real request layer against the local service."""

import hashlib

import pytest

from velora.common.corlett import PlatformRequestError
from velora.dataset import corlett
from velora.settings import settings


@pytest.fixture
def payload(tmp_path):
    path = tmp_path / "scores.csv"
    path.write_bytes(b"id,score\n" + b"".join(b"%d,%d\n" % (i, i * i) for i in range(5000)))
    return path


def test_sdk_family_end_to_end(platform_settings):
    created = corlett.sdk_create_data_snapshot("sales", "monthly sales")
    snapshot_id = created["id"]
    assert (created["name"], created["description"]) == ("sales", "monthly sales")
    assert corlett.sdk_create_data_snapshot("sales", exist_ok=True)["id"] == snapshot_id
    with pytest.raises(PlatformRequestError) as raised:
        corlett.sdk_create_data_snapshot("sales")
    assert raised.value.status_code == 409

    assert corlett.sdk_get_data_snapshot_by_name("sales")["data_snapshot"]["id"] == snapshot_id
    assert corlett.sdk_get_data_snapshot_by_name("absent") == {"data_snapshot": None}

    version = corlett.sdk_create_data_snapshot_version(float(snapshot_id), "first cut")
    assert (version["data_snapshot_id"], version["description"]) == (snapshot_id, "first cut")

    corlett.sdk_create_data_snapshot("costs")
    listed = corlett.sdk_get_data_snapshot_list()
    assert [record["name"] for record in listed["data_snapshots"]] == ["sales", "costs"]
    assert [r["name"] for r in corlett.sdk_get_data_snapshot_list(2, 1)["data_snapshots"]] == ["costs"]

    assert corlett.sdk_get_data_snapshot_detail(snapshot_id)["data_snapshot"]["name"] == "sales"

    upload = corlett.sdk_get_code_snippet_to_upload_tabular_data_snapshot("sales", "frame", "parquet")
    assert "save_dataset(" in upload["code_snippet"] and "data=frame" in upload["code_snippet"]
    imported = corlett.sdk_get_code_snippet_to_import_data_snapshot(snapshot_id, version["id"])
    assert f"get_dataset({snapshot_id})" in imported["code_snippet"]


def test_sdk_upload_stores_the_bytes_under_the_given_name(platform_settings, payload):
    with payload.open("rb") as stream:
        record = corlett.sdk_upload_data_snapshot("scores", "résumé 2024.csv", stream, "upload test")
    assert record["name"] == "scores"
    assert [file["filename"] for file in record["uploaded_version"]["files"]] == ["résumé 2024.csv"]
    stored = platform_settings.dataset_dir / "scores" / "v1" / "résumé 2024.csv"
    assert hashlib.sha256(stored.read_bytes()).digest() == hashlib.sha256(payload.read_bytes()).digest()
    # A second upload of the same name reuses the snapshot and makes a new version.
    with payload.open("rb") as stream:
        again = corlett.sdk_upload_data_snapshot("scores", "more.csv", stream)
    assert again["id"] == record["id"]
    assert (platform_settings.dataset_dir / "scores" / "v2" / "more.csv").read_bytes() == payload.read_bytes()


def test_internal_family_end_to_end_without_a_token(platform_settings, payload):
    settings.VELORA_SDK_TOKEN = None
    settings.VELORA_USER_ID = "pipeline-user"
    settings.ARGO_WORKFLOW_RUN_ID = "run-42"

    created = corlett.internal_create_data_snapshot("features", "from a pipeline")
    assert (created["name"], created["created_by"]) == ("features", "pipeline-user")
    found = corlett.internal_get_data_snapshot_by_name("features")["data_snapshot"]
    assert found["id"] == created["id"]

    version = corlett.internal_create_data_snapshot_version(created["id"], "nightly")
    assert (version["created_by"], version["argo_workflow_run_id"]) == ("pipeline-user", "run-42")

    with payload.open("rb") as stream:
        uploaded = corlett.internal_upload_data_snapshot("features", stream, "nightly file")
    snapshot = uploaded["data_snapshot"]
    assert snapshot["id"] == created["id"]
    stored = platform_settings.dataset_dir / "features" / f"v{snapshot['uploaded_version']['version']}"
    assert (stored / payload.name).read_bytes() == payload.read_bytes()


@pytest.mark.parametrize("token", [None, "wrong-token"])
def test_sdk_family_needs_the_token(platform_settings, token):
    settings.VELORA_SDK_TOKEN = token
    with pytest.raises(PlatformRequestError) as raised:
        corlett.sdk_get_data_snapshot_list()
    assert raised.value.status_code == 401
    # The internal family is not affected.
    assert corlett.internal_get_data_snapshot_by_name("anything") == {"data_snapshot": None}
