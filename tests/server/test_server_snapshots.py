"""The service's SDK-token paths for data snapshots and versions, over real HTTP."""

from __future__ import annotations

from collections.abc import Iterator
from typing import Any

import httpx
import pytest


@pytest.fixture
def http(platform_settings: Any) -> Iterator[httpx.Client]:
    with platform_settings.http() as client:
        yield client


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


def test_names_are_exact_and_per_project(http: httpx.Client, base: str, platform_settings: Any) -> None:
    lower = _create(http, base, name="iris")
    upper = _create(http, base, name="Iris")
    assert lower["id"] != upper["id"]
    other_project = base.replace(
        f"/projects/{platform_settings.project_id}/", f"/projects/{platform_settings.project_id}x/"
    )
    assert http.post(other_project, json={"name": "iris"}).status_code == 201


@pytest.mark.parametrize("name", ["", ".", "..", "a/b", "a\\b", "tab\there", "x" * 256, "é" * 128])
def test_names_that_cannot_be_a_directory_are_refused(http: httpx.Client, base: str, name: str) -> None:
    response = http.post(base, json={"name": name})
    assert response.status_code == 422
    assert response.json()["message"].startswith("Name must")
    assert http.get(f"{base}").json()["total"] == 0


@pytest.mark.parametrize(
    "body",
    [{}, {"name": 3}, {"name": "x", "exist_ok": "perhaps"}, {"name": None}],
    ids=["no-name", "int", "bool", "none"],
)
def test_malformed_bodies_are_422_with_a_message(http: httpx.Client, base: str, body: dict[str, Any]) -> None:
    response = http.post(base, json=body)
    assert response.status_code == 422
    assert response.json()["message"].startswith("Invalid request: body.")


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


def test_detail_of_another_projects_snapshot_is_null(
    http: httpx.Client, base: str, platform_settings: Any
) -> None:
    created = _create(http, base, name="iris")
    other = base.replace(f"/projects/{platform_settings.project_id}/", "/projects/elsewhere/")
    assert http.get(f"{other}/{created['id']}").json() == {"data_snapshot": None}


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
        ("page=0", "page must be at least 1: page=0"),
        ("page_size=0", "page_size must be between 1 and 1000: page_size=0"),
        ("page_size=1001", "page_size must be between 1 and 1000: page_size=1001"),
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


def test_a_project_id_that_cannot_be_a_directory_is_refused(http: httpx.Client) -> None:
    response = http.get("/v1/sdk/workspaces/1/projects/UPPER.case/data-snapshots")
    assert response.status_code == 422
    assert response.json()["message"].startswith("Project id must be")


def test_an_internal_failure_is_500_with_a_message_and_leaves_no_record(
    http: httpx.Client, base: str, platform_settings: Any
) -> None:
    (platform_settings.dataset_dir / "blocked").write_text("in the way")
    response = http.post(base, json={"name": "blocked"})
    assert response.status_code == 500
    assert response.json()["message"].startswith("Internal server error: FileExistsError")
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
    ],
)
def test_every_sdk_path_needs_the_token(
    platform_settings: Any, method: str, suffix: str, body: Any, authorization: str | None, message: str
) -> None:
    headers = {} if authorization is None else {"Authorization": authorization}
    with httpx.Client(base_url=platform_settings.server.url, headers=headers) as anonymous:
        response = anonymous.request(method, platform_settings.sdk_base + suffix, json=body)
    assert (response.status_code, response.json()) == (401, {"message": message})
    assert response.headers["WWW-Authenticate"] == "Bearer"
