"""save_dataset and the dataset operations when the platform service fails, against the local service.

Every fault gives the request layer's documented error, naming the method, the path
and (for an answer) the status; the call's temporary directory is gone; the service
holds no partial upload, neither in its own tmp/ nor as a finished file. A service
killed in the middle of uploads starts again with its records and files agreeing.
"""

from __future__ import annotations

import collections
import contextlib
import hashlib
import os
import random
import socket
import sqlite3
import threading
import time
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd
import pytest
from fault_proxy import FaultProxy, fault_proxy

from velora.common.corlett import (
    CorlettError,
    PlatformConnectionError,
    PlatformRequestError,
    PlatformTimeoutError,
)
from velora.dataset import methods
from velora.dataset.values import DatasetFileType
from velora.settings import settings

# About 4 MB of csv: an upload long enough to be cut off in its middle.
TABLE = pd.DataFrame({"id": np.arange(200_000), "value": np.linspace(0.0, 1.0, 200_000)})
WORKLOADS = ["dev_instance", "pipeline"]
KILL_CYCLES = int(os.environ.get("VELORA_KILL_CYCLES", "6"))


def upload_path(project: Any, workload: str, snapshot_id: int | None = None) -> str:
    if workload == "pipeline":
        return f"{project.internal_base}/sdk"
    return f"{project.sdk_base}/{snapshot_id}/upload"


def first_path(project: Any, workload: str) -> str:
    """The first request of save_dataset: creating the dataset, or in a pipeline the upload itself."""
    return upload_path(project, workload) if workload == "pipeline" else project.sdk_base


def expected_csv_digest(tmp_path: Path) -> str:
    reference = tmp_path / "reference.csv"
    TABLE.to_csv(reference)
    return hashlib.sha256(reference.read_bytes()).hexdigest()


def stored_files(project: Any) -> list[Path]:
    return sorted(path for path in project.dataset_dir.rglob("*") if path.is_file())


def wait_until_empty(directory: Path, seconds: float = 10.0) -> list[Path]:
    """What is left in `directory` once the service has finished with a broken request."""
    deadline = time.monotonic() + seconds
    while any(directory.iterdir()) and time.monotonic() < deadline:
        time.sleep(0.05)
    return list(directory.iterdir())


def latest_versions(project: Any, name: str) -> list[dict[str, Any]]:
    """The dataset's latest version as the service records it, in a list ([] when there is none)."""
    with project.http() as http:
        found = http.get(f"{project.sdk_base}/name", params={"name": name}).json()["data_snapshot"]
        if found is None:
            return []
        latest = found["latest_version"]
        return [] if latest is None else [latest]


def assert_nothing_left(project: Any, tmp_root: Path) -> None:
    assert list(tmp_root.iterdir()) == []
    assert wait_until_empty(project.server.data_dir / "tmp") == []


def assert_error(error: CorlettError, kind: type[CorlettError], method: str, path: str, status: int | None):
    assert type(error) is kind
    assert (error.method, error.path, error.status_code) == (method, path, status)
    assert str(error).startswith(f"{method} {path}")
    if status is not None:
        assert f"failed with status {status}" in str(error)


@pytest.fixture
def proxied(platform_settings: Any) -> Iterator[FaultProxy]:
    """The test's settings pointed at a fault proxy in front of the shared service."""
    with fault_proxy(platform_settings.server.url) as proxy:
        settings.VELORA_API_URL = proxy.url
        yield proxy


# -- no service, refusals ----------------------------------------------------------------


@pytest.mark.parametrize("workload", WORKLOADS)
def test_service_not_running(platform_settings: Any, tmp_root: Path, workload: str) -> None:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        address = f"http://127.0.0.1:{probe.getsockname()[1]}"
    settings.VELORA_API_URL = address
    settings.VELORA_WORKLOAD_TYPE = workload
    with pytest.raises(PlatformConnectionError) as caught:
        methods.save_dataset("unreached", TABLE, DatasetFileType.csv)
    assert_error(caught.value, PlatformConnectionError, "POST", first_path(platform_settings, workload), None)
    assert f"cannot reach the platform service at {address}" in str(caught.value)
    assert list(tmp_root.iterdir()) == []


def test_refused_token_is_401_before_anything_is_stored(platform_settings: Any, tmp_root: Path) -> None:
    settings.VELORA_SDK_TOKEN = "not-the-token"
    with pytest.raises(PlatformRequestError) as caught:
        methods.save_dataset("refused", TABLE, DatasetFileType.parquet)
    assert_error(caught.value, PlatformRequestError, "POST", platform_settings.sdk_base, 401)
    assert caught.value.message == "Invalid bearer token"
    settings.VELORA_SDK_TOKEN = platform_settings.token
    assert latest_versions(platform_settings, "refused") == []
    assert_nothing_left(platform_settings, tmp_root)


@pytest.mark.parametrize("workload", WORKLOADS)
def test_wrong_service_address_is_404(platform_settings: Any, tmp_root: Path, workload: str) -> None:
    settings.VELORA_API_URL = platform_settings.server.url + "/not-the-platform"
    settings.VELORA_WORKLOAD_TYPE = workload
    with pytest.raises(PlatformRequestError) as caught:
        methods.save_dataset("lost", TABLE, DatasetFileType.npy)
    assert_error(caught.value, PlatformRequestError, "POST", first_path(platform_settings, workload), 404)
    assert caught.value.url.startswith(platform_settings.server.url + "/not-the-platform/v1/")
    assert_nothing_left(platform_settings, tmp_root)


def test_unknown_dataset_is_404_with_the_services_message(platform_settings: Any) -> None:
    with pytest.raises(PlatformRequestError) as caught:
        methods.create_dataset_version_by_id(987654, "for nothing")
    path = f"{platform_settings.sdk_base}/987654/versions"
    assert_error(caught.value, PlatformRequestError, "POST", path, 404)
    project_id = platform_settings.project_id
    assert caught.value.message == f"Data snapshot 987654 not found in project '{project_id}'"


@pytest.fixture
def broken_service(
    launch_platform_server: Callable[..., Any], join_platform_project: Callable[..., Any], tmp_path: Path
) -> Iterator[Any]:
    """A service of the test's own whose upload area is broken: every upload fails with a 500."""
    server = launch_platform_server(tmp_path / "broken")
    project = join_platform_project(server, "broken")
    tmp_dir = server.data_dir / "tmp"
    tmp_dir.rmdir()
    tmp_dir.write_text("a file where the service's upload directory belongs")
    yield project
    tmp_dir.unlink()
    tmp_dir.mkdir()


@pytest.mark.parametrize("workload", WORKLOADS)
def test_service_failing_in_the_upload_is_500(broken_service: Any, tmp_root: Path, workload: str) -> None:
    settings.VELORA_WORKLOAD_TYPE = workload
    with pytest.raises(PlatformRequestError) as caught:
        methods.save_dataset("half-done", TABLE, DatasetFileType.csv, "never stored")
    snapshot_id = None if workload == "pipeline" else methods.create_dataset("half-done", exist_ok=True).id
    path = upload_path(broken_service, workload, snapshot_id)
    assert_error(caught.value, PlatformRequestError, "POST", path, 500)
    assert caught.value.message == "Internal server error; the service's log has the details"
    assert "NotADirectoryError" in broken_service.server.stderr_path.read_text()
    assert list(tmp_root.iterdir()) == []
    assert stored_files(broken_service) == []
    versions = latest_versions(broken_service, "half-done")
    assert [(version["status"], version["files"]) for version in versions] == (
        [] if workload == "pipeline" else [("uploading", [])]
    )


# -- an answer after the time-out, a connection lost mid-upload ------------------------------


@pytest.mark.parametrize("workload", WORKLOADS)
def test_answer_after_the_time_out_of_the_first_request(
    platform_settings: Any, proxied: FaultProxy, tmp_root: Path, workload: str
) -> None:
    settings.VELORA_WORKLOAD_TYPE = workload
    settings.VELORA_REQUEST_TIMEOUT = "0.5"
    path = first_path(platform_settings, workload)
    proxied.hold_answers(rf"^POST {path} ", 2.0)
    with pytest.raises(PlatformTimeoutError) as caught:
        methods.save_dataset("slow", TABLE, DatasetFileType.csv)
    assert_error(caught.value, PlatformTimeoutError, "POST", path, None)
    assert f"no answer from the platform service at {proxied.url} within 0.5 s" in str(caught.value)
    assert list(tmp_root.iterdir()) == []


@pytest.mark.parametrize("workload", WORKLOADS)
def test_answer_to_the_upload_after_the_time_out_leaves_only_a_whole_file(
    platform_settings: Any, proxied: FaultProxy, tmp_root: Path, tmp_path: Path, workload: str
) -> None:
    settings.VELORA_WORKLOAD_TYPE = workload
    settings.VELORA_REQUEST_TIMEOUT = "1"
    proxied.hold_answers(r"^POST \S+/(upload|sdk) ", 3.0)
    with pytest.raises(PlatformTimeoutError) as caught:
        methods.save_dataset("late", TABLE, DatasetFileType.csv)
    [line] = [line for line in proxied.request_lines if "/upload " in line or "/sdk " in line]
    assert_error(caught.value, PlatformTimeoutError, "POST", line.split()[1], None)
    assert list(tmp_root.iterdir()) == []
    # The service got the whole body before the answer was held back, so it keeps it, whole.
    time.sleep(0.5)
    [stored] = stored_files(platform_settings)
    assert hashlib.sha256(stored.read_bytes()).hexdigest() == expected_csv_digest(tmp_path)
    assert wait_until_empty(platform_settings.server.data_dir / "tmp") == []


@pytest.mark.parametrize("workload", WORKLOADS)
def test_connection_lost_in_the_middle_of_the_upload(
    platform_settings: Any, proxied: FaultProxy, tmp_root: Path, workload: str
) -> None:
    settings.VELORA_WORKLOAD_TYPE = workload
    proxied.cut_requests(r"^POST \S+/(upload|sdk) ", 1024 * 1024)
    with pytest.raises(PlatformConnectionError) as caught:
        methods.save_dataset("cut", TABLE, DatasetFileType.csv, "cut off")
    [line] = [line for line in proxied.request_lines if "/upload " in line or "/sdk " in line]
    assert_error(caught.value, PlatformConnectionError, "POST", line.split()[1], None)
    assert f"the connection to the platform service at {proxied.url} broke off" in str(caught.value)
    assert_nothing_left(platform_settings, tmp_root)
    assert stored_files(platform_settings) == []
    versions = latest_versions(platform_settings, "cut")
    assert [(version["status"], version["files"]) for version in versions] == (
        [] if workload == "pipeline" else [("uploading", [])]
    )
    # The next save from the same thread goes into its own version, not into the one left waiting.
    settings.VELORA_API_URL = platform_settings.server.url
    again = methods.save_dataset("cut", TABLE, DatasetFileType.csv, "second attempt")
    [stored] = stored_files(platform_settings)
    [file] = again.latest_version.files
    assert (again.latest_version.description, file.sha256) == (
        "second attempt",
        hashlib.sha256(stored.read_bytes()).hexdigest(),
    )
    assert stored.parent.name == f"v{again.latest_version.version}"


# -- killed in the middle of uploads -----------------------------------------------------


def records_and_files(
    data_dir: Path,
) -> tuple[dict[str, tuple[int, str]], dict[str, tuple[int, str]], set[str]]:
    """The file records (path under storage/: size, sha256), the files there, and the records' states."""
    database = f"file:{data_dir / 'velora.sqlite3'}?mode=ro"
    with contextlib.closing(sqlite3.connect(database, uri=True)) as connection:
        rows = connection.execute(
            "SELECT s.project_id, s.name, v.version, f.filename, f.size, f.sha256, f.state FROM files f "
            "JOIN versions v ON v.id = f.version_id JOIN data_snapshots s ON s.id = v.data_snapshot_id"
        ).fetchall()
    recorded = {
        f"project-{pid}/dataset/{name}/v{number}/{file}": (size, sha)
        for pid, name, number, file, size, sha, _ in rows
    }
    storage = data_dir / "storage"
    on_disk = {
        path.relative_to(storage).as_posix(): (
            path.stat().st_size,
            hashlib.sha256(path.read_bytes()).hexdigest(),
        )
        for path in storage.glob("*/dataset/**/*")
        if path.is_file()
    }
    return recorded, on_disk, {row[-1] for row in rows}


def save_until(stop: threading.Event, number: int, outcomes: collections.Counter[str]) -> None:
    """Saves small tables of a size of the thread's own (many commits to be killed in), counting how
    each call ends, until `stop`."""
    while not stop.is_set():
        try:
            methods.save_dataset(f"killed-{number}", TABLE.iloc[: 500 * (number + 1)], DatasetFileType.csv)
            outcomes["saved"] += 1
        except CorlettError:
            outcomes["cut off"] += 1


def test_a_service_killed_during_uploads_restarts_with_records_and_files_agreeing(
    launch_platform_server: Callable[..., Any], join_platform_project: Callable[..., Any], tmp_path: Path
) -> None:
    data_dir = tmp_path / "killed"
    moments = random.Random(KILL_CYCLES)
    outcomes: collections.Counter[str] = collections.Counter()
    for cycle in range(KILL_CYCLES + 1):
        server = launch_platform_server(data_dir, "kill-token")
        recorded, on_disk, states = records_and_files(data_dir)
        without_file, without_record = recorded.keys() - on_disk.keys(), on_disk.keys() - recorded.keys()
        assert (without_file, without_record, states - {"stored"}) == (set(), set(), set()), f"{cycle} kills"
        assert recorded == on_disk
        assert list((data_dir / "tmp").iterdir()) == []
        outcomes["starts that settled leftovers"] += (
            "settled what a stop left" in server.stderr_path.read_text()
        )
        if cycle == KILL_CYCLES:
            break
        join_platform_project(server, "killed")
        settings.VELORA_WORKLOAD_TYPE = WORKLOADS[cycle % 2]
        stop = threading.Event()
        savers = [threading.Thread(target=save_until, args=(stop, number, outcomes)) for number in range(6)]
        for saver in savers:
            saver.start()
        time.sleep(moments.uniform(0.5, 2.0))
        server.process.kill()
        server.process.wait()
        stop.set()
        for saver in savers:
            saver.join()
    assert outcomes["saved"] > 0
    print(f"{KILL_CYCLES} kills: {dict(outcomes)}")
