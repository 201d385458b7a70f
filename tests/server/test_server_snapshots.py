"""The service's SDK-token paths for data snapshots and versions, over real HTTP."""

from __future__ import annotations

import re
import subprocess
import sys
from pathlib import Path
from typing import Any

import httpx
import pytest


@pytest.fixture
def base(platform_settings: Any) -> str:
    return platform_settings.sdk_base  # type: ignore[no-any-return]


def _create(http: httpx.Client, base: str, **body: Any) -> dict[str, Any]:
    response = http.post(base, json=body)
    assert response.status_code in (200, 201), response.text
    return response.json()  # type: ignore[no-any-return]


def test_create_answers_the_record_at_top_level_and_makes_its_directory(
    http: httpx.Client, base: str, platform_settings: Any
) -> None:
    response = http.post(base, json={"name": "iris", "description": "flowers"})
    assert response.status_code == 201
    record = response.json()
    assert {key: record[key] for key in ("name", "description", "project_id", "version_count")} == {
        "name": "iris",
        "description": "flowers",
        "project_id": platform_settings.project_id,
        "version_count": 0,
    }
    assert isinstance(record["id"], int)
    assert record["latest_version"] is None
    assert (platform_settings.dataset_dir / "iris").is_dir()


def test_exist_ok_gives_back_the_existing_record(http: httpx.Client, base: str) -> None:
    first = _create(http, base, name="iris", description="first")
    again = http.post(base, json={"name": "iris", "description": "second", "exist_ok": True})
    assert again.status_code == 200
    assert again.json()["id"] == first["id"]
    assert again.json()["description"] == "first"


@pytest.mark.parametrize("body", [{"name": "iris"}, {"name": "iris", "exist_ok": False}])
def test_a_duplicate_name_without_exist_ok_is_a_conflict(
    http: httpx.Client, base: str, body: dict[str, Any]
) -> None:
    _create(http, base, name="iris")
    response = http.post(base, json=body)
    assert (response.status_code, response.json()) == (
        409,
        {"message": "Data snapshot 'iris' already exists"},
    )


def test_names_compare_in_nfc_case_sensitively_and_per_project(
    http: httpx.Client, base: str, platform_settings: Any
) -> None:
    composed = _create(http, base, name="caf\u00e9")
    decomposed = http.post(base, json={"name": "cafe\u0301", "exist_ok": True})
    found = http.get(f"{base}/name", params={"name": "cafe\u0301"}).json()["data_snapshot"]
    assert (decomposed.status_code, decomposed.json()["id"], found["id"]) == (
        200,
        composed["id"],
        composed["id"],
    )
    assert [path.name for path in platform_settings.dataset_dir.iterdir()] == ["caf\u00e9"]
    clash = http.post(base, json={"name": "CAF\u00c9", "exist_ok": True})
    assert clash.status_code == 409
    assert clash.json()["message"] == (
        f"Project '{platform_settings.project_id}' already has 'café', which differs from 'CAFÉ' "
        "only in case (the two would be one entry on a case-insensitive mount)"
    )
    other_id = f"{platform_settings.project_id}x"
    other_token = platform_settings.server.open_project(other_id)
    other = http.post(
        base.replace(f"/projects/{platform_settings.project_id}/", f"/projects/{other_id}/"),
        json={"name": "café"},
        headers={"Authorization": f"Bearer {other_token}"},
    )
    assert other.status_code == 201


@pytest.mark.parametrize(
    "name",
    [
        "",
        ".",
        "..",
        "a/b",
        "a\\b",
        "tab\there",
        "del\x7f",
        "c1\x85control",
        "x" * 256,
        "é" * 128,
        "evil\u202egnp.exe",
        "isolate\u2066x\u2069",
        "mark\u200fcod.exe",
        " leading",
        "trailing\u00a0",
        "trailing\n",
    ],
)
def test_names_that_cannot_be_a_directory_are_refused(http: httpx.Client, base: str, name: str) -> None:
    response = http.post(base, json={"name": name})
    assert response.status_code == 422
    assert response.json()["message"].startswith("Name must")
    assert http.get(f"{base}").json()["total"] == 0


@pytest.mark.parametrize(
    ("method", "suffix", "body", "message"),
    [
        ("POST", "", "{}", "Invalid request: body.name"),
        ("POST", "", '{"name": 3}', "Invalid request: body.name"),
        ("POST", "", '{"name": "x", "exist_ok": "perhaps"}', "Invalid request: body.exist_ok"),
        ("POST", "", '{"name": null}', "Invalid request: body.name"),
        ("POST", "", '{"name": "lone\\ud800"}', "Invalid request: body.name"),
        ("POST", "", '{"name": "x", "description": "\\udc80"}', "Invalid request: body.description"),
        ("POST", "", '{"name": "x"', "Invalid request: body"),
        ("GET", f"/{2**64}", None, "Invalid request: path.did"),
        ("GET", f"/1/versions/{2**63}/code-snippet", None, "Invalid request: path.vid"),
        ("GET", f"?page={2**64}", None, "Invalid request: query.page"),
        ("POST", "/1/upload-metadata", f'{{"file_count": {2**64}}}', "Invalid request: body.file_count"),
        ("POST", "/1/versions", '{"description": "\\ud800"}', "Invalid request: body.description"),
    ],
    ids=[
        "no-name",
        "int-name",
        "bool",
        "null-name",
        "surrogate-name",
        "surrogate-description",
        "cut-json",
        "huge-did",
        "huge-vid",
        "huge-page",
        "huge-file-count",
        "surrogate-version",
    ],
)
def test_bad_input_is_422_with_a_message(
    http: httpx.Client, base: str, method: str, suffix: str, body: str | None, message: str
) -> None:
    headers = {"Content-Type": "application/json"}
    response = http.request(method, base + suffix, content=body, headers=headers)
    assert response.status_code == 422
    assert response.json()["message"].startswith(message)


def test_by_name_answers_the_record_or_null(http: httpx.Client, base: str) -> None:
    created = _create(http, base, name="iris data")
    found = http.get(f"{base}/name", params={"name": "iris data"})
    missing = http.get(f"{base}/name", params={"name": "iris"})
    assert found.json()["data_snapshot"]["id"] == created["id"]
    assert (missing.status_code, missing.json()) == (200, {"data_snapshot": None})


def test_detail_answers_the_record_or_null(http: httpx.Client, base: str) -> None:
    created = _create(http, base, name="iris")
    assert http.get(f"{base}/{created['id']}").json()["data_snapshot"] == created
    assert http.get(f"{base}/{created['id'] + 1000}").json() == {"data_snapshot": None}


def test_a_token_opens_its_own_project_only(http: httpx.Client, base: str, platform_settings: Any) -> None:
    created = _create(http, base, name="iris")
    other_id = f"{platform_settings.project_id}o"
    other_token = platform_settings.server.open_project(other_id)
    other = base.replace(f"/projects/{platform_settings.project_id}/", f"/projects/{other_id}/")
    refusal = {
        "message": f"This token opens project '{platform_settings.project_id}' only: project_id='{other_id}'"
    }
    for method, suffix, body in SDK_REQUESTS:
        response = http.request(method, other + suffix, json=body)
        assert (response.status_code, response.json()) == (403, refusal), (method, suffix)
    own = {"Authorization": f"Bearer {other_token}"}
    assert http.get(f"{other}/{created['id']}", headers=own).json() == {"data_snapshot": None}
    assert http.get(other, headers=own).json()["total"] == 0


@pytest.mark.parametrize(
    ("page", "page_size", "expected"),
    [
        (1, 1000, ["d0", "d1", "d2", "d3", "d4"]),
        (1, 2, ["d0", "d1"]),
        (3, 2, ["d4"]),
        (4, 2, []),
        (2, 3, ["d3", "d4"]),
    ],
)
def test_list_pages_oldest_first(
    http: httpx.Client, base: str, page: int, page_size: int, expected: list[str]
) -> None:
    for index in range(5):
        _create(http, base, name=f"d{index}")
    answer = http.get(f"{base}?page={page}&page_size={page_size}").json()
    assert [record["name"] for record in answer["data_snapshots"]] == expected
    assert (answer["page"], answer["page_size"], answer["total"]) == (page, page_size, 5)


@pytest.mark.parametrize(
    ("query", "message"),
    [
        ("page=0", "Invalid request: query.page: Input should be greater than or equal to 1"),
        ("page_size=0", "Invalid request: query.page_size: Input should be greater than or equal to 1"),
        ("page_size=1001", "Invalid request: query.page_size: Input should be less than or equal to 1000"),
        ("page=two", "Invalid request: query.page"),
    ],
)
def test_list_refuses_pages_out_of_range(http: httpx.Client, base: str, query: str, message: str) -> None:
    response = http.get(f"{base}?{query}")
    assert response.status_code == 422
    assert response.json()["message"].startswith(message)


def test_versions_are_numbered_per_snapshot(http: httpx.Client, base: str, platform_settings: Any) -> None:
    iris = _create(http, base, name="iris")
    wine = _create(http, base, name="wine")
    first = http.post(f"{base}/{iris['id']}/versions", json={"description": "v one"})
    second = http.post(f"{base}/{iris['id']}/versions")
    other = http.post(f"{base}/{wine['id']}/versions", json={})
    assert [response.status_code for response in (first, second, other)] == [201, 201, 201]
    assert [first.json()["version"], second.json()["version"], other.json()["version"]] == [1, 2, 1]
    assert first.json()["description"] == "v one"
    assert second.json()["description"] is None
    detail = http.get(f"{base}/{iris['id']}").json()["data_snapshot"]
    assert (detail["version_count"], detail["latest_version"]["id"]) == (2, second.json()["id"])
    assert (platform_settings.dataset_dir / "iris" / "v2").is_dir()


@pytest.mark.parametrize("suffix", ["versions", "upload-metadata"])
def test_versions_of_an_unknown_snapshot_are_404(http: httpx.Client, base: str, suffix: str) -> None:
    response = http.post(f"{base}/424242/{suffix}", json={})
    assert response.status_code == 404
    assert response.json()["message"].startswith("Data snapshot 424242 not found")


def test_a_project_belongs_to_the_workspace_that_first_named_it(http: httpx.Client, base: str) -> None:
    elsewhere = base.replace("/workspaces/", "/workspaces/9", 1)
    response = http.get(elsewhere)
    assert response.status_code == 404
    assert "not found in workspace" in response.json()["message"]


def test_a_project_id_that_cannot_be_a_directory_is_refused(platform_settings: Any) -> None:
    with platform_settings.pipeline_http() as pipeline:
        response = pipeline.get("/v1/internal/workspaces/projects/UPPER.case/data-snapshots/name?name=x")
    assert response.status_code == 422
    assert response.json()["message"].startswith("Invalid request: path.pid: String should match pattern")


def test_an_internal_failure_is_500_without_internals_and_leaves_no_record(
    http: httpx.Client, base: str, platform_settings: Any
) -> None:
    (platform_settings.dataset_dir / "blocked").write_text("in the way")
    response = http.post(base, json={"name": "blocked"})
    assert response.status_code == 500
    assert response.json() == {"message": "Internal server error; the service's log has the details"}
    assert "FileExistsError" in platform_settings.server.stderr_path.read_text()
    assert http.get(f"{base}/name", params={"name": "blocked"}).json() == {"data_snapshot": None}


SDK_REQUESTS = [
    ("GET", "", None),
    ("POST", "", {"name": "x"}),
    ("GET", "/name?name=x", None),
    ("GET", "/1", None),
    ("POST", "/1/versions", {}),
    ("POST", "/1/upload-metadata", {}),
    ("POST", "/1/upload", None),
    ("GET", "/tabular/code-snippet?name=x&data=df&file_type=csv", None),
    ("GET", "/1/versions/1/code-snippet", None),
    ("GET", "/1/versions", None),
    ("GET", "/1/versions/1/download?filename=x.csv", None),
]


@pytest.mark.parametrize(("method", "suffix", "body"), SDK_REQUESTS)
@pytest.mark.parametrize(
    ("authorization", "message"),
    [
        (None, "Missing bearer token: send 'Authorization: Bearer <VELORA_SDK_TOKEN>'"),
        ("Bearer wrong", "Invalid bearer token"),
        ("Basic dXNlcjpwYXNz", "Invalid bearer token"),
        ("Bearer t\u00f6k\u00e9n", "Invalid bearer token"),
    ],
)
def test_every_sdk_path_needs_the_token(
    platform_settings: Any, method: str, suffix: str, body: Any, authorization: str | None, message: str
) -> None:
    headers = {} if authorization is None else {"Authorization": authorization.encode("utf-8")}
    with httpx.Client(base_url=platform_settings.server.url, headers=headers) as anonymous:
        response = anonymous.request(method, platform_settings.sdk_base + suffix, json=body)
    assert (response.status_code, response.json()) == (401, {"message": message})
    assert response.headers["WWW-Authenticate"] == "Bearer"


SCHEMA_CHECKS = [
    "not_a_server_error",
    "status_code_conformance",
    "content_type_conformance",
    "response_headers_conformance",
    "response_schema_conformance",
]


def test_generated_requests_find_no_server_error_and_no_answer_against_the_api_description(
    platform_settings: Any, tmp_path: Path
) -> None:
    # Path parameters are pinned to the test's project, so requests reach past the token check.
    config = tmp_path / "schemathesis.toml"
    config.write_text(
        f'[parameters]\n"path.wid" = "{platform_settings.workspace_id}"\n'
        f'"path.pid" = "{platform_settings.project_id}"\n'
    )
    server = platform_settings.server
    command = [
        str(Path(sys.executable).with_name("schemathesis")),
        "--config-file",
        str(config),
        "run",
        f"{server.url}/openapi.json",
        "--checks",
        ",".join(SCHEMA_CHECKS),
        "--phases",
        "examples,coverage,fuzzing",
        "--max-examples",
        "15",
        "--seed",
        "1",
        "--workers",
        "1",
        "--exclude-path-regex",
        "^/v1/admin/",
        "--header",
        f"Authorization: Bearer {platform_settings.token}",
        "--header",
        f"X-Velora-Workload-Token: {server.workload_token}",
    ]
    done = subprocess.run(command, cwd=tmp_path, capture_output=True, text=True, timeout=300, check=False)
    assert done.returncode == 0, done.stdout[-6000:]
    assert re.search(r"Test cases:\s+\d+ generated, \d+ passed", done.stdout), done.stdout[-2000:]


@pytest.mark.parametrize(
    ("method", "path", "credential"),
    [
        ("GET", "/v1/sdk/workspaces/1/projects/{new}/data-snapshots", None),
        ("GET", "/v1/sdk/workspaces/1/projects/{new}/data-snapshots", "sdk"),
        ("GET", "/v1/sdk/workspaces/1/projects/{new}/data-snapshots/name?name=x", "sdk"),
        ("GET", "/v1/internal/workspaces/projects/{new}/data-snapshots/name?name=x", None),
        ("GET", "/v1/internal/workspaces/projects/{new}/data-snapshots/name?name=x", "workload"),
        ("POST", "/v1/internal/workspaces/projects/{new}/data-snapshots", "workload"),
        ("PROPFIND", "/webdav/project-{new}/dataset-staged/", "sdk"),
        ("GET", "/webdav/project-{new}/dataset/", None),
        # Opening a project with a token another project holds.
        ("PUT", "/v1/admin/projects/{new}", "admin"),
    ],
)
def test_no_request_makes_a_project_or_a_directory(
    platform_settings: Any, method: str, path: str, credential: str | None
) -> None:
    server = platform_settings.server
    storage = server.data_dir / "storage"
    before = sorted(storage.iterdir())
    headers = {
        None: {},
        "sdk": {"Authorization": f"Bearer {platform_settings.token}"},
        "workload": {"X-Velora-Workload-Token": server.workload_token},
        "admin": {"Authorization": f"Bearer {server.admin_token}"},
    }[credential]
    body: dict[str, Any] = {"data": {"name": "x"}}
    if credential == "admin":
        body = {"json": {"token": platform_settings.token}}
    new = f"{platform_settings.project_id}n"
    response = httpx.request(method, server.url + path.format(new=new), headers=headers, **body)
    assert response.status_code in (401, 403, 404, 409)
    assert "message" in response.json()
    assert sorted(storage.iterdir()) == before
