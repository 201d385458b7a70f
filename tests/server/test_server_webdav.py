"""The dataset storage over WebDAV, driven by real rclone with the configuration the SDK writes."""

from __future__ import annotations

import base64
import shutil
import subprocess
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import httpx
import pytest

RCLONE = shutil.which("rclone")
pytestmark = pytest.mark.skipif(
    RCLONE is None, reason="rclone is not installed (scripts/system-deps.sh installs it)"
)

Rclone = Callable[..., subprocess.CompletedProcess[str]]


def sdk_config(webdav_url: str, project_dir: str, token: str) -> str:
    """The mount configuration in the form the SDK's mount_dataset writes it."""
    sections = []
    for directory in ("dataset", "dataset-staged"):
        remote = "velora" + directory.replace("-", "")
        url = f"{webdav_url}/{project_dir}/{directory}/"
        sections.append(f"[{remote}]\ntype = webdav\nurl = {url}\nbearer_token = {token}\nvendor = other\n\n")
    return "".join(sections)


@pytest.fixture
def rclone(platform_settings: Any, tmp_path: Path) -> Callable[..., Rclone]:
    def with_token(token: str | None = None) -> Rclone:
        config = tmp_path / f"rclone-{token or 'good'}.conf"
        server = platform_settings.server
        config.write_text(sdk_config(server.webdav_url, platform_settings.project_dir, token or server.token))

        def run(*args: str) -> subprocess.CompletedProcess[str]:
            command = [
                str(RCLONE),
                "--config",
                str(config),
                "--retries",
                "1",
                "--low-level-retries",
                "1",
                *args,
            ]
            return subprocess.run(command, capture_output=True, text=True, timeout=60, check=False)

        return run

    return with_token


@pytest.fixture
def uploaded(platform_settings: Any) -> Iterator[bytes]:
    payload = b"a,b\n1,2\n"
    with platform_settings.http() as http:
        base = platform_settings.sdk_base
        snapshot = http.post(base, json={"name": "iris"}).json()
        http.post(f"{base}/{snapshot['id']}/upload-metadata", json={})
        header = base64.b64encode(b"iris.csv").decode()
        http.post(
            f"{base}/{snapshot['id']}/upload", content=payload, headers={"Filename": header}
        ).raise_for_status()
    yield payload


def test_the_sdk_configuration_lists_and_reads_the_datasets(
    rclone: Callable[..., Rclone], uploaded: bytes
) -> None:
    run = rclone()
    listing = run("lsf", "-R", "veloradataset:")
    assert listing.returncode == 0, listing.stderr
    assert listing.stdout.splitlines() == ["iris/", "iris/v1/", "iris/v1/iris.csv"]
    read = run("cat", "veloradataset:iris/v1/iris.csv")
    assert read.stdout.encode() == uploaded


def test_the_staged_directory_takes_writes(
    rclone: Callable[..., Rclone], platform_settings: Any, tmp_path: Path
) -> None:
    run = rclone()
    local = tmp_path / "notes.txt"
    local.write_text("draft")
    copied = run("copyto", str(local), "veloradatasetstaged:work/notes.txt")
    assert copied.returncode == 0, copied.stderr
    assert (platform_settings.staged_dir / "work" / "notes.txt").read_text() == "draft"
    assert run("lsf", "-R", "veloradatasetstaged:").stdout.splitlines() == ["work/", "work/notes.txt"]
    assert run("deletefile", "veloradatasetstaged:work/notes.txt").returncode == 0
    assert not (platform_settings.staged_dir / "work" / "notes.txt").exists()


@pytest.mark.parametrize(
    "command",
    [("copyto", "{local}", "veloradataset:iris/new.csv"), ("deletefile", "veloradataset:iris/v1/iris.csv")],
    ids=["write", "delete"],
)
def test_the_dataset_directory_is_read_only(
    rclone: Callable[..., Rclone],
    uploaded: bytes,
    platform_settings: Any,
    tmp_path: Path,
    command: tuple[str, ...],
) -> None:
    local = tmp_path / "new.csv"
    local.write_text("x")
    result = rclone()(*(part.format(local=local) for part in command))
    assert result.returncode != 0
    assert "403" in result.stderr
    assert not (platform_settings.dataset_dir / "iris" / "new.csv").exists()
    assert (platform_settings.dataset_dir / "iris" / "v1" / "iris.csv").read_bytes() == uploaded


def test_a_wrong_token_is_refused(rclone: Callable[..., Rclone], uploaded: bytes) -> None:
    result = rclone("wrong")("lsf", "veloradataset:")
    assert result.returncode != 0
    assert "Invalid bearer token" in result.stderr


@pytest.mark.parametrize("authorization", [None, "Bearer wrong"])
def test_webdav_needs_the_token_for_every_method(platform_settings: Any, authorization: str | None) -> None:
    headers = {} if authorization is None else {"Authorization": authorization}
    url = f"{platform_settings.server.webdav_url}/{platform_settings.project_dir}/dataset-staged/x.txt"
    for method in ("PROPFIND", "GET", "PUT", "DELETE", "OPTIONS"):
        response = httpx.request(method, url, headers=headers, content=b"x")
        assert response.status_code == 401, method
    assert not (platform_settings.staged_dir / "x.txt").exists()
