"""The code snippets: fetched from the service, then run.

The snippets call velora.dataset.methods; here that module is replaced by a
recorder so that the snippet's own code (imports, literals, file paths, readers)
is what is tested, and the import snippet reads the service's storage directly
instead of an rclone mount.
"""

from __future__ import annotations

import base64
import pickle
import sys
import types
from pathlib import Path
from typing import Any

import httpx
import numpy as np
import pandas as pd
import pytest

from velora.dataset.values import DatasetFileType
from velora.server.snippets import MOUNT_POINT


@pytest.fixture
def methods(monkeypatch: pytest.MonkeyPatch) -> dict[str, list[tuple[tuple[Any, ...], dict[str, Any]]]]:
    calls: dict[str, list[tuple[tuple[Any, ...], dict[str, Any]]]] = {}
    module = types.ModuleType("velora.dataset.methods")
    for name in ("save_dataset", "get_dataset", "mount_dataset"):

        def record(*args: Any, _name: str = name, **kwargs: Any) -> str:
            calls.setdefault(_name, []).append((args, kwargs))
            return f"{_name} result"

        setattr(module, name, record)
    monkeypatch.setitem(sys.modules, "velora.dataset.methods", module)
    return calls


def _run(code: str, **names: Any) -> dict[str, Any]:
    namespace: dict[str, Any] = dict(names)
    exec(compile(code, "<snippet>", "exec"), namespace)
    return namespace


@pytest.mark.parametrize("file_type", [member.value for member in DatasetFileType])
@pytest.mark.parametrize("name", ["iris", 'it\'s "quoted"', "données"])
def test_upload_snippet_saves_the_named_variable(
    http: httpx.Client, platform_settings: Any, methods: dict[str, Any], file_type: str, name: str
) -> None:
    response = http.get(
        f"{platform_settings.sdk_base}/tabular/code-snippet",
        params={"name": name, "data": "my_table", "file_type": file_type},
    )
    assert response.status_code == 200
    table = pd.DataFrame({"a": [1]})
    namespace = _run(response.json()["code_snippet"], my_table=table)
    [(args, kwargs)] = methods["save_dataset"]
    assert args == ()
    assert kwargs == {"name": name, "data": table, "file_type": DatasetFileType(file_type)}
    assert kwargs["file_type"] is DatasetFileType(file_type)
    assert namespace["dataset"] == "save_dataset result"


@pytest.mark.parametrize(
    ("params", "message"),
    [
        (
            {"name": "iris", "data": "1table", "file_type": "csv"},
            "data must be the name of a Python variable",
        ),
        ({"name": "iris", "data": "class", "file_type": "csv"}, "data must be the name of a Python variable"),
        ({"name": "iris", "data": "df; import os", "file_type": "csv"}, "data must be the name"),
        (
            {"name": "iris", "data": "df", "file_type": "xlsx"},
            "file_type must be one of csv, parquet, pickle, npy",
        ),
        ({"name": "a/b", "data": "df", "file_type": "csv"}, "Name must not contain"),
        ({"name": "iris", "data": "df"}, "Invalid request: query.file_type"),
    ],
)
def test_upload_snippet_refuses_what_cannot_make_valid_code(
    http: httpx.Client, platform_settings: Any, params: dict[str, str], message: str
) -> None:
    response = http.get(f"{platform_settings.sdk_base}/tabular/code-snippet", params=params)
    assert response.status_code == 422
    assert response.json()["message"].startswith(message)


def _write_like_save_dataset(path: Path, file_type: str, data: Any) -> None:
    if file_type == "csv":
        pd.DataFrame(data).to_csv(path)
    elif file_type == "parquet":
        pd.DataFrame(data).to_parquet(path)
    elif file_type == "pickle":
        with path.open("wb") as out:
            pickle.dump(obj=data, file=out)
    else:
        np.save(file=path, arr=data)


def _upload_version(http: httpx.Client, base: str, name: str, files: dict[str, bytes]) -> tuple[int, int]:
    snapshot = http.post(base, json={"name": name, "exist_ok": True}).json()
    version = http.post(
        f"{base}/{snapshot['id']}/upload-metadata", json={"file_count": max(len(files), 1)}
    ).json()
    for filename, payload in files.items():
        header = base64.b64encode(filename.encode()).decode()
        response = http.post(f"{base}/{snapshot['id']}/upload", content=payload, headers={"Filename": header})
        assert response.status_code == 201, response.text
    return snapshot["id"], version["id"]


def _import_snippet(http: httpx.Client, platform_settings: Any, snapshot_id: int, version_id: int) -> str:
    response = http.get(f"{platform_settings.sdk_base}/{snapshot_id}/versions/{version_id}/code-snippet")
    assert response.status_code == 200
    code = response.json()["code_snippet"]
    assert f"Path({MOUNT_POINT!r})" in code
    # Read the service's storage where a development instance would have the mount.
    return code.replace(repr(MOUNT_POINT), repr(str(platform_settings.dataset_dir)))  # type: ignore[no-any-return]


TABLE = pd.DataFrame({"x": [1.5, 2.5, 3.5], "label": ["a", "b", "c"]})
ARRAY = np.arange(12, dtype=np.int64).reshape(3, 4)


@pytest.mark.parametrize(
    ("file_type", "data"),
    [
        ("csv", TABLE),
        ("parquet", TABLE),
        ("pickle", TABLE),
        ("pickle", ARRAY),
        ("npy", ARRAY),
        ("csv", ARRAY),
    ],
)
def test_import_snippet_loads_what_was_saved(
    http: httpx.Client,
    platform_settings: Any,
    methods: dict[str, Any],
    tmp_path: Path,
    file_type: str,
    data: Any,
) -> None:
    local = tmp_path / f"0123456789abcdef0123456789abcdef.{file_type}"
    _write_like_save_dataset(local, file_type, data)
    snapshot_id, version_id = _upload_version(
        http, platform_settings.sdk_base, "table", {local.name: local.read_bytes()}
    )
    namespace = _run(_import_snippet(http, platform_settings, snapshot_id, version_id))
    loaded = namespace["data"]
    if file_type == "csv":
        # A csv keeps the values; the column names come back as text.
        pd.testing.assert_frame_equal(loaded, pd.DataFrame(data).rename(columns=str))
    elif isinstance(data, np.ndarray):
        np.testing.assert_array_equal(loaded, data)
        assert isinstance(loaded, np.ndarray)
    else:
        pd.testing.assert_frame_equal(loaded, data)
    assert methods["mount_dataset"] == [((), {})]
    assert methods["get_dataset"] == [((snapshot_id,), {})]


def test_import_snippet_of_several_files_loads_each_by_name(
    http: httpx.Client, platform_settings: Any, methods: dict[str, Any], tmp_path: Path
) -> None:
    npy = tmp_path / "a.npy"
    _write_like_save_dataset(npy, "npy", ARRAY)
    files = {"a.npy": npy.read_bytes(), "notes.txt": b"free text"}
    snapshot_id, version_id = _upload_version(http, platform_settings.sdk_base, "mixed", files)
    loaded = _run(_import_snippet(http, platform_settings, snapshot_id, version_id))["data"]
    assert list(loaded) == ["a.npy", "notes.txt"]
    np.testing.assert_array_equal(loaded["a.npy"], ARRAY)
    assert loaded["notes.txt"] == b"free text"


def test_import_snippet_of_a_version_without_files_lists_its_directory(
    http: httpx.Client, platform_settings: Any, methods: dict[str, Any]
) -> None:
    base = platform_settings.sdk_base
    snapshot = http.post(base, json={"name": "blank"}).json()
    version = http.post(f"{base}/{snapshot['id']}/versions", json={}).json()
    namespace = _run(_import_snippet(http, platform_settings, snapshot["id"], version["id"]))
    assert namespace["files"] == []
    assert namespace["version_dir"] == platform_settings.dataset_dir / "blank" / "v1"


def test_import_snippet_of_an_unknown_or_foreign_version_is_404(
    http: httpx.Client, platform_settings: Any
) -> None:
    base = platform_settings.sdk_base
    first = http.post(base, json={"name": "one"}).json()
    second = http.post(base, json={"name": "two"}).json()
    version = http.post(f"{base}/{second['id']}/versions", json={}).json()
    foreign = http.get(f"{base}/{first['id']}/versions/{version['id']}/code-snippet")
    unknown = http.get(f"{base}/{first['id']}/versions/99999/code-snippet")
    no_snapshot = http.get(f"{base}/99999/versions/{version['id']}/code-snippet")
    assert [foreign.status_code, unknown.status_code, no_snapshot.status_code] == [404, 404, 404]
    assert (
        foreign.json()["message"]
        == f"Data snapshot version {version['id']} of data snapshot {first['id']} not found"
    )
