"""Uploads on the service: the SDK's metadata-then-body flow, the internal multipart path,
and what is on disk afterwards, also when an upload breaks off."""

from __future__ import annotations

import base64
import hashlib
import socket
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

import httpx
import pytest

PAIRING = "Velora-Pairing-Key"


def _b64(name: str) -> str:
    return base64.b64encode(name.encode("utf-8")).decode("ascii")


def _snapshot_waiting_for(http: httpx.Client, base: str, name: str, file_count: int = 1) -> dict[str, Any]:
    snapshot = http.post(base, json={"name": name, "exist_ok": True}).json()
    metadata = http.post(f"{base}/{snapshot['id']}/upload-metadata", json={"file_count": file_count})
    assert metadata.status_code == 201
    assert metadata.json()["status"] == "uploading"
    return snapshot  # type: ignore[no-any-return]


def _upload(
    http: httpx.Client, base: str, snapshot_id: int, filename: str, payload: bytes, key: str | None = None
) -> httpx.Response:
    headers = {"Filename": _b64(filename), **({PAIRING: key} if key else {})}
    return http.post(f"{base}/{snapshot_id}/upload", content=payload, headers=headers)


@pytest.mark.parametrize("filename", ["0f3a9c.csv", "données été.parquet", "表.npy", "no suffix"])
def test_upload_stores_the_bytes_under_the_decoded_name(
    http: httpx.Client, platform_settings: Any, filename: str
) -> None:
    base = platform_settings.sdk_base
    snapshot = _snapshot_waiting_for(http, base, "iris")
    payload = b"\x00binary\xff" * 1000
    response = _upload(http, base, snapshot["id"], filename, payload)
    assert response.status_code == 201
    record = response.json()
    assert (record["id"], record["name"]) == (snapshot["id"], "iris")
    version = record["uploaded_version"]
    assert version["status"] == "ready"
    assert version["files"] == [
        {
            "filename": filename,
            "size": len(payload),
            "sha256": hashlib.sha256(payload).hexdigest(),
            "path": f"iris/v1/{filename}",
        }
    ]
    assert record["latest_version"] == version
    assert (platform_settings.dataset_dir / "iris" / "v1" / filename).read_bytes() == payload


def test_an_empty_file_is_a_file(http: httpx.Client, platform_settings: Any) -> None:
    base = platform_settings.sdk_base
    snapshot = _snapshot_waiting_for(http, base, "empty")
    [stored] = _upload(http, base, snapshot["id"], "e.csv", b"").json()["uploaded_version"]["files"]
    assert (stored["size"], stored["sha256"]) == (0, hashlib.sha256(b"").hexdigest())


def test_a_version_awaiting_two_files_is_ready_after_the_second(
    http: httpx.Client, platform_settings: Any
) -> None:
    base = platform_settings.sdk_base
    snapshot = _snapshot_waiting_for(http, base, "pair", file_count=2)
    first = _upload(http, base, snapshot["id"], "a.csv", b"a").json()["uploaded_version"]
    duplicate = _upload(http, base, snapshot["id"], "a.csv", b"again")
    second = _upload(http, base, snapshot["id"], "b.csv", b"b").json()["uploaded_version"]
    assert (first["status"], first["file_count"], len(first["files"])) == ("uploading", 2, 1)
    assert duplicate.status_code == 409
    assert "already has a file named 'a.csv'" in duplicate.json()["message"]
    assert (platform_settings.dataset_dir / "pair" / "v1" / "a.csv").read_bytes() == b"a"
    assert (second["id"], second["status"], [file["filename"] for file in second["files"]]) == (
        first["id"],
        "ready",
        ["a.csv", "b.csv"],
    )


def test_an_upload_goes_into_the_version_its_callers_key_opened(
    http: httpx.Client, platform_settings: Any
) -> None:
    base = platform_settings.sdk_base
    snapshot = http.post(base, json={"name": "shared", "exist_ok": True}).json()
    metadata = f"{base}/{snapshot['id']}/upload-metadata"

    def open_version(key: str, description: str) -> dict[str, Any]:
        return http.post(metadata, json={"description": description}, headers={PAIRING: key}).json()  # type: ignore[no-any-return]

    # "a" gives up its first version and opens another: the first never takes a file.
    abandoned = open_version("a", "a, first try")
    opened = {key: open_version(key, f"{key}'s") for key in ("a", "b", "c")}
    answers = {
        key: _upload(http, base, snapshot["id"], f"{key}.csv", key.encode(), key).json() for key in "cab"
    }
    for key, answer in answers.items():
        uploaded = answer["uploaded_version"]
        assert (uploaded["id"], uploaded["description"], uploaded["status"]) == (
            opened[key]["id"],
            f"{key}'s",
            "ready",
        )
        assert [file["filename"] for file in uploaded["files"]] == [f"{key}.csv"]
        assert answer["latest_version"] == uploaded
    dataset = platform_settings.dataset_dir / "shared"
    assert {path.relative_to(dataset).as_posix() for path in dataset.rglob("*.csv")} == {
        f"v{opened[key]['version']}/{key}.csv" for key in "abc"
    }
    assert abandoned["version"] == 1
    again = _upload(http, base, snapshot["id"], "late.csv", b"late", "a")
    assert again.status_code == 409
    assert "no version waiting for an upload from this caller" in again.json()["message"]


@pytest.mark.parametrize(
    ("key", "message"),
    [
        ("", "upload-metadata needs a Velora-Pairing-Key header"),
        ("k" * 129, "Velora-Pairing-Key must be at most 128 characters long"),
    ],
)
def test_upload_metadata_without_a_usable_key_opens_nothing(
    http: httpx.Client, platform_settings: Any, key: str, message: str
) -> None:
    base = platform_settings.sdk_base
    snapshot = http.post(base, json={"name": "keyless"}).json()
    response = http.post(f"{base}/{snapshot['id']}/upload-metadata", json={}, headers={PAIRING: key})
    assert response.status_code == 422
    assert response.json()["message"].startswith(message)
    assert http.get(f"{base}/{snapshot['id']}").json()["data_snapshot"]["version_count"] == 0


def test_a_version_whose_upload_never_comes_expires_and_takes_no_later_file(
    tmp_path: Path, launch_platform_server: Callable[..., Any]
) -> None:
    server = launch_platform_server(tmp_path / "expiring", "t", {"VELORA_SERVER_UPLOAD_EXPIRY": "1"})
    base = "/v1/sdk/workspaces/1/projects/1/data-snapshots"
    with httpx.Client(base_url=server.url, headers={"Authorization": "Bearer t", PAIRING: "slow"}) as http:
        snapshot = http.post(base, json={"name": "late"}).json()
        opened = http.post(f"{base}/{snapshot['id']}/upload-metadata", json={}).json()
        time.sleep(1.5)
        shown = http.get(f"{base}/{snapshot['id']}").json()["data_snapshot"]["latest_version"]
        late = _upload(http, base, snapshot["id"], "late.csv", b"late")
        reopened = http.post(f"{base}/{snapshot['id']}/upload-metadata", json={}).json()
        stored = _upload(http, base, snapshot["id"], "new.csv", b"new").json()["uploaded_version"]
        # A body that stops arriving is given up after the same time, and its version expires.
        http.post(f"{base}/{snapshot['id']}/upload-metadata", json={})
        path = f"{base}/{snapshot['id']}/upload"
        stalled = _answer_to_head_alone(server.url, "t", path, {"Filename": _b64("s.csv"), PAIRING: "slow"})
        time.sleep(1.5)
        after_stall = http.get(f"{base}/{snapshot['id']}").json()["data_snapshot"]["latest_version"]
    assert stalled == (408, '{"message":"The upload\'s body stopped arriving for 1 s"}')
    assert (after_stall["version"], after_stall["status"]) == (3, "failed")
    assert (opened["status"], opened["expires_at"] is None) == ("uploading", False)
    assert (shown["id"], shown["status"], shown["expires_at"]) == (opened["id"], "failed", None)
    assert late.status_code == 409
    assert "(a version waits 1 s for its upload)" in late.json()["message"]
    assert (stored["id"], stored["version"], stored["status"]) == (reopened["id"], 2, "ready")
    assert list((server.project_storage("project-1") / "dataset" / "late" / "v1").iterdir()) == []


def _answer_to_head_alone(url: str, token: str, path: str, headers: dict[str, str]) -> tuple[int, str]:
    """The answer to an upload whose head announces 1 GB and whose body never comes."""
    host, port = url.removeprefix("http://").split(":")
    lines = [
        f"POST {path} HTTP/1.1",
        f"Host: {host}",
        f"Authorization: Bearer {token}",
    ]
    lines += [f"{name}: {value}" for name, value in headers.items()]
    head = "\r\n".join([*lines, "Content-Length: 1000000000", "", ""])
    with socket.create_connection((host, int(port)), timeout=10) as connection:
        connection.sendall(head.encode())
        answer = b""
        while b"\r\n\r\n" not in answer or not answer.rstrip().endswith(b"}"):
            answer += connection.recv(65536)
    status_line, _, rest = answer.decode().partition("\r\n")
    return int(status_line.split()[1]), rest.split("\r\n\r\n", 1)[1]


@pytest.mark.parametrize(
    ("key", "snapshot_id", "status", "message"),
    [
        (None, None, 409, "Cannot tell which version of data snapshot {id} this upload belongs to"),
        (
            "never-opened",
            None,
            409,
            "Data snapshot {id} has no version waiting for an upload from this caller",
        ),
        ("opener", 888888, 404, "Data snapshot 888888 not found"),
    ],
)
def test_an_upload_is_paired_or_refused_before_its_body_is_read(
    http: httpx.Client,
    platform_settings: Any,
    key: str | None,
    snapshot_id: int | None,
    status: int,
    message: str,
) -> None:
    base = platform_settings.sdk_base
    snapshot = http.post(base, json={"name": "head"}).json()
    http.post(f"{base}/{snapshot['id']}/upload-metadata", json={}, headers={PAIRING: "opener"})
    headers = {"Filename": _b64("h.csv"), **({PAIRING: key} if key else {})}
    path = f"{base}/{snapshot_id or snapshot['id']}/upload"
    server, token = platform_settings.server, platform_settings.token
    answered, body = _answer_to_head_alone(server.url, token, path, headers)
    assert answered == status
    assert message.format(id=snapshot["id"]) in body


@pytest.mark.parametrize(
    ("headers", "message"),
    [
        ({}, "Missing Filename header"),
        ({"Filename": "not base64!"}, "Filename header is not Base64"),
        ({"Filename": b"\xe9t\xe9.csv"}, "Filename header is not Base64"),
        ({"Filename": base64.b64encode(b"\xff\xfe").decode()}, "Filename header is not Base64 of a UTF-8"),
        ({"Filename": _b64("../escape.csv")}, "Filename must not contain '/'"),
        ({"Filename": _b64("..")}, "Filename must not be empty, '.' or '..'"),
        ({"Filename": ""}, "Filename must not be empty"),
    ],
)
def test_bad_filename_headers_are_refused_and_nothing_is_stored(
    http: httpx.Client, platform_settings: Any, headers: dict[str, str | bytes], message: str
) -> None:
    base = platform_settings.sdk_base
    snapshot = _snapshot_waiting_for(http, base, "iris")
    response = http.post(f"{base}/{snapshot['id']}/upload", content=b"data", headers=headers)
    assert response.status_code == 422
    assert response.json()["message"].startswith(message)
    assert list((platform_settings.dataset_dir / "iris" / "v1").iterdir()) == []
    assert not (platform_settings.dataset_dir.parent / "escape.csv").exists()


def test_upload_without_metadata_is_a_conflict(http: httpx.Client, platform_settings: Any) -> None:
    base = platform_settings.sdk_base
    snapshot = http.post(base, json={"name": "bare"}).json()
    response = _upload(http, base, snapshot["id"], "x.csv", b"x")
    assert response.status_code == 409
    assert "post its upload-metadata first" in response.json()["message"]


def test_upload_to_an_unknown_snapshot_is_404(http: httpx.Client, platform_settings: Any) -> None:
    response = _upload(http, platform_settings.sdk_base, 777777, "x.csv", b"x")
    assert (response.status_code, response.json()["message"]) == (
        404,
        f"Data snapshot 777777 not found in project '{platform_settings.project_id}'",
    )


@pytest.mark.parametrize("reopened", [False, True], ids=["waits-again", "newer-version-opened-meanwhile"])
def test_an_upload_cut_off_midway_leaves_no_file(
    http: httpx.Client, platform_settings: Any, reopened: bool
) -> None:
    base = platform_settings.sdk_base
    snapshot = _snapshot_waiting_for(http, base, "cut")
    host, port = platform_settings.server.url.removeprefix("http://").split(":")
    head = (
        f"POST {base}/{snapshot['id']}/upload HTTP/1.1\r\nHost: {host}\r\n"
        f"Authorization: Bearer {platform_settings.token}\r\nFilename: {_b64('cut.csv')}\r\n"
        f"{PAIRING}: {http.headers[PAIRING]}\r\n"
        "Content-Length: 10000000\r\n\r\n"
    )
    with socket.create_connection((host, int(port))) as connection:
        connection.sendall(head.encode() + b"x" * 3_000_000)
        time.sleep(0.3)
        if reopened:
            # The caller gives up on the stalled upload and opens its next version with the same key.
            assert http.post(f"{base}/{snapshot['id']}/upload-metadata", json={}).status_code == 201
    tmp_dir = platform_settings.server.data_dir / "tmp"
    deadline = time.monotonic() + 10
    while any(tmp_dir.iterdir()) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert list(tmp_dir.iterdir()) == []
    assert list((platform_settings.dataset_dir / "cut" / "v1").iterdir()) == []
    detail = http.get(f"{base}/{snapshot['id']}").json()["data_snapshot"]
    assert (detail["latest_version"]["status"], detail["latest_version"]["files"]) == ("uploading", [])
    # The key pairs with one version: the newer one if opened, else the cut-off one again.
    assert _upload(http, base, snapshot["id"], "cut.csv", b"whole").status_code == 201
    versions = http.get(f"{base}/{snapshot['id']}/versions").json()["data_snapshot_versions"]
    expected = [("failed", []), ("ready", ["cut.csv"])] if reopened else [("ready", ["cut.csv"])]
    assert [(v["status"], [f["filename"] for f in v["files"]]) for v in versions] == expected


# -- the internal family ---------------------------------------------------------------


def test_internal_create_reads_form_fields(platform_settings: Any) -> None:
    base = platform_settings.internal_base
    with platform_settings.pipeline_http() as pipeline:
        created = pipeline.post(
            base, data={"name": "iris", "user_id": "u7", "description": "d", "exist_ok": "false"}
        )
        again = pipeline.post(base, data={"name": "iris", "exist_ok": "true"})
        refused = pipeline.post(base, data={"name": "iris"})
        missing = pipeline.post(base, data={})
    assert created.status_code == 201
    assert {key: created.json()[key] for key in ("name", "created_by", "description")} == {
        "name": "iris",
        "created_by": "u7",
        "description": "d",
    }
    assert (again.status_code, again.json()["id"]) == (200, created.json()["id"])
    assert refused.status_code == 409
    assert missing.status_code == 422


def test_internal_by_name_with_and_without_user(platform_settings: Any) -> None:
    base = platform_settings.internal_base
    with platform_settings.pipeline_http() as pipeline:
        created = pipeline.post(base, data={"name": "iris"}).json()
        with_user = pipeline.get(f"{base}/name", params={"name": "iris", "user_id": "u7"}).json()
        without_user = pipeline.get(f"{base}/name", params={"name": "iris"}).json()
        missing = pipeline.get(f"{base}/name", params={"name": "other"}).json()
    assert with_user["data_snapshot"]["id"] == without_user["data_snapshot"]["id"] == created["id"]
    assert missing == {"data_snapshot": None}


def test_internal_version_records_the_run(platform_settings: Any) -> None:
    base = platform_settings.internal_base
    with platform_settings.pipeline_http() as pipeline:
        created = pipeline.post(base, data={"name": "iris"}).json()
        version = pipeline.post(
            f"{base}/{created['id']}/versions", data={"user_id": "u7", "argo_workflow_run_id": "run-3"}
        )
        empty = pipeline.post(f"{base}/{created['id']}/versions")
        unknown = pipeline.post(f"{base}/999999/versions")
    assert version.status_code == 201
    assert {key: version.json()[key] for key in ("version", "created_by", "argo_workflow_run_id")} == {
        "version": 1,
        "created_by": "u7",
        "argo_workflow_run_id": "run-3",
    }
    assert (empty.json()["version"], empty.json()["argo_workflow_run_id"]) == (2, None)
    assert unknown.status_code == 404


def test_internal_upload_makes_snapshot_and_version_in_one_request(platform_settings: Any) -> None:
    base = platform_settings.internal_base
    fields = {"name": "runs", "user_id": "u7", "argo_workflow_run_id": "run-9", "description": "nightly"}
    with platform_settings.pipeline_http() as pipeline:
        first = pipeline.post(f"{base}/sdk", data=fields, files={"file": ("a1.csv", b"1,2\n")})
        second = pipeline.post(f"{base}/sdk", data=fields, files={"file": ("a1.csv", b"3,4\n")})
        nameless = pipeline.post(f"{base}/sdk", data={"name": "runs"}, files={"file": ("", b"x")})
        fileless = pipeline.post(f"{base}/sdk", data={"name": "runs"})
    assert first.status_code == second.status_code == 201
    one, two = first.json()["data_snapshot"], second.json()["data_snapshot"]
    assert one["id"] == two["id"]
    assert (one["description"], one["created_by"]) == ("nightly", "u7")
    assert [one["uploaded_version"]["version"], two["uploaded_version"]["version"]] == [1, 2]
    assert two["uploaded_version"]["argo_workflow_run_id"] == "run-9"
    assert (platform_settings.dataset_dir / "runs" / "v2" / "a1.csv").read_bytes() == b"3,4\n"
    assert nameless.status_code == fileless.status_code == 422


INTERNAL_REQUESTS = [
    ("GET", "/name?name=x", None),
    ("POST", "", {"name": "x"}),
    ("POST", "/1/versions", {}),
    ("POST", "/sdk", {"name": "x"}),
]


@pytest.mark.parametrize(("method", "suffix", "fields"), INTERNAL_REQUESTS)
@pytest.mark.parametrize(
    ("headers", "message"),
    [
        ({}, "Missing workload credential: send 'X-Velora-Workload-Token: <VELORA_WORKLOAD_TOKEN>'"),
        ({"X-Velora-Workload-Token": "wrong"}, "Invalid workload credential"),
        ({"Authorization": "Bearer {sdk_token}"}, "Missing workload credential"),
        ({"X-Velora-Workload-Token": "w\u00f6rk"}, "Invalid workload credential"),
    ],
    ids=["none", "wrong", "sdk-token", "non-ascii"],
)
def test_every_internal_path_needs_the_workload_credential(
    platform_settings: Any, method: str, suffix: str, fields: Any, headers: dict[str, str], message: str
) -> None:
    sent = {name: value.format(sdk_token=platform_settings.token).encode() for name, value in headers.items()}
    files = {"file": ("x.csv", b"x")} if suffix == "/sdk" else None
    with httpx.Client(base_url=platform_settings.server.url, headers=sent) as stranger:
        response = stranger.request(
            method, platform_settings.internal_base + suffix, data=fields, files=files
        )
    assert response.status_code == 401
    assert response.json()["message"].startswith(message)
    with platform_settings.http() as http:
        assert http.get(platform_settings.sdk_base).json()["total"] == 0


def test_internal_paths_ignore_a_wrong_sdk_token(platform_settings: Any) -> None:
    with platform_settings.pipeline_http() as pipeline:
        pipeline.headers["Authorization"] = "Bearer wrong"
        response = pipeline.get(f"{platform_settings.internal_base}/name", params={"name": "x"})
    assert (response.status_code, response.json()) == (200, {"data_snapshot": None})


@pytest.mark.parametrize(
    ("path", "status", "message"),
    [
        ("{sid}/versions/{vid}/download?filename=a.csv", 200, None),
        ("{sid}/versions/{vid}/download?filename=other.csv", 404, "has no file 'other.csv'"),
        ("{sid}/versions/{other_vid}/download?filename=a.csv", 404, "not found"),
        ("{other_sid}/versions/{vid}/download?filename=a.csv", 404, "not found"),
        ("{sid}/versions/{vid}/download?filename=..%2Fa.csv", 422, "Filename must not contain"),
        ("{sid}/versions/{vid}/download", 422, "filename"),
        ("424242/versions", 404, "Data snapshot 424242 not found"),
        # The stored file taken away from the disk behind the service's back.
        ("lost:{sid}/versions/{vid}/download?filename=a.csv", 404, "has lost its file 'a.csv'"),
    ],
    ids=[
        "stored",
        "unknown file",
        "another's version",
        "another snapshot",
        "path",
        "no name",
        "unknown",
        "lost",
    ],
)
@pytest.mark.parametrize("family", ["sdk", "internal"])
def test_a_file_is_read_back_only_by_its_own_path(
    http: httpx.Client, platform_settings: Any, family: str, path: str, status: int, message: str | None
) -> None:
    sdk = platform_settings.sdk_base
    snapshot = _snapshot_waiting_for(http, sdk, "iris")
    version = _upload(http, sdk, snapshot["id"], "a.csv", b"a,b\n1,2\n").json()["uploaded_version"]
    other = _snapshot_waiting_for(http, sdk, "other")
    other_version = _upload(http, sdk, other["id"], "a.csv", b"other").json()["uploaded_version"]
    base = sdk if family == "sdk" else platform_settings.internal_base
    reader = platform_settings.http() if family == "sdk" else platform_settings.pipeline_http()
    ids = {
        "sid": snapshot["id"],
        "vid": version["id"],
        "other_sid": other["id"],
        "other_vid": other_version["id"],
    }
    if path.startswith("lost:"):
        (platform_settings.dataset_dir / "iris" / "v1" / "a.csv").unlink()
    with reader:
        response = reader.get(f"{base}/{path.removeprefix('lost:').format(**ids)}")
    assert response.status_code == status
    if message is None:
        assert (response.content, response.headers["Content-Length"]) == (b"a,b\n1,2\n", "8")
    else:
        assert message in response.json()["message"]
