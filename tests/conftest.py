"""Suite-wide fixtures: the local platform service as a real subprocess, and settings pointed at it.

- `platform_server` (session): one `python -m velora.server` on a free loopback
  port with a fresh data directory; a `PlatformServer`.
- `platform_settings` (function): `velora.settings.settings` pointed at that
  service, in a project of its own for each test (so tests never see each
  other's datasets), as a development instance; a `PlatformProject`. Settings
  are restored afterwards.
- `restore_settings` (function): restores every settings attribute after the test.
"""

from __future__ import annotations

import itertools
import secrets
import shlex
import subprocess
import sys
import time
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path

import httpx
import pytest

from velora.settings import Settings, settings

_START_TIMEOUT_SECONDS = 60.0
_CLIENT_SETTINGS = (
    "VELORA_API_URL",
    "VELORA_SDK_TOKEN",
    "VELORA_WORKSPACE_ID",
    "VELORA_PROJECT_ID",
    "VELORA_WEBDAV_URL",
    "VELORA_PROJECT_DIR",
    "VELORA_WORKLOAD_TYPE",
)


@dataclass(frozen=True)
class PlatformServer:
    """A running `velora-server`; `environment` is what it printed for clients."""

    process: subprocess.Popen[bytes]
    data_dir: Path
    stdout_path: Path
    stderr_path: Path
    environment: dict[str, str]

    @property
    def url(self) -> str:
        return self.environment["VELORA_API_URL"]

    @property
    def token(self) -> str:
        return self.environment["VELORA_SDK_TOKEN"]

    @property
    def webdav_url(self) -> str:
        return self.environment["VELORA_WEBDAV_URL"]

    def project_storage(self, project_dir: str) -> Path:
        return self.data_dir / "storage" / project_dir

    def memory_high_water_bytes(self) -> int:
        """Peak resident memory of the service process so far (Linux VmHWM)."""
        for line in Path(f"/proc/{self.process.pid}/status").read_text().splitlines():
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
        raise RuntimeError("VmHWM not reported")


@dataclass(frozen=True)
class PlatformProject:
    """The project a test's settings point at, on the shared service."""

    server: PlatformServer
    workspace_id: str
    project_id: str
    project_dir: str

    @property
    def sdk_base(self) -> str:
        return f"/v1/sdk/workspaces/{self.workspace_id}/projects/{self.project_id}/data-snapshots"

    @property
    def internal_base(self) -> str:
        return f"/v1/internal/workspaces/projects/{self.project_id}/data-snapshots"

    @property
    def dataset_dir(self) -> Path:
        """The project's dataset storage on the service's disk (WebDAV `.../dataset/`)."""
        return self.server.project_storage(self.project_dir) / "dataset"

    @property
    def staged_dir(self) -> Path:
        return self.server.project_storage(self.project_dir) / "dataset-staged"

    def http(self) -> httpx.Client:
        """A plain HTTP client of the service carrying the SDK token, for checks beside the SDK."""
        return httpx.Client(
            base_url=self.server.url, headers={"Authorization": f"Bearer {self.server.token}"}, timeout=30
        )


def start_platform_server(data_dir: Path, token: str | None = None) -> PlatformServer:
    """Start `python -m velora.server` on a free loopback port and wait until it answers."""
    data_dir.mkdir(parents=True, exist_ok=True)
    stdout_path = data_dir.parent / f"{data_dir.name}.stdout"
    stderr_path = data_dir.parent / f"{data_dir.name}.stderr"
    command = [sys.executable, "-m", "velora.server", "--host", "127.0.0.1", "--port", "0"]
    command += ["--data-dir", str(data_dir), "--token", token or secrets.token_urlsafe(16)]
    command += ["--log-level", "warning"]
    # Output goes to files: a pipe nobody reads would stall the service once full.
    with open(stdout_path, "wb") as stdout, open(stderr_path, "wb") as stderr:
        process = subprocess.Popen(command, stdout=stdout, stderr=stderr, stdin=subprocess.DEVNULL)
    deadline = time.monotonic() + _START_TIMEOUT_SECONDS
    environment: dict[str, str] = {}
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise RuntimeError(f"velora-server exited with {process.returncode}: {stderr_path.read_text()}")
        environment = _exports(stdout_path.read_text())
        if all(name in environment for name in _CLIENT_SETTINGS) and _answers(environment["VELORA_API_URL"]):
            return PlatformServer(process, data_dir, stdout_path, stderr_path, environment)
        time.sleep(0.05)
    stop_platform_server(process)
    raise RuntimeError(f"velora-server did not start in time: {stderr_path.read_text()}")


def stop_platform_server(process: subprocess.Popen[bytes]) -> None:
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout=15)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def _exports(text: str) -> dict[str, str]:
    environment = {}
    for line in text.splitlines():
        words = shlex.split(line)
        if len(words) == 2 and words[0] == "export" and "=" in words[1]:
            name, value = words[1].split("=", 1)
            environment[name] = value
    return environment


def _answers(url: str) -> bool:
    try:
        return httpx.get(url + "/v1/health", timeout=2).status_code == 200
    except httpx.TransportError:
        return False


@pytest.fixture(scope="session")
def platform_server(tmp_path_factory: pytest.TempPathFactory) -> Iterator[PlatformServer]:
    server = start_platform_server(tmp_path_factory.mktemp("platform") / "data")
    yield server
    stop_platform_server(server.process)


@pytest.fixture
def restore_settings() -> Iterator[Settings]:
    saved = dict(vars(settings))
    yield settings
    vars(settings).clear()
    vars(settings).update(saved)


_project_numbers = itertools.count(1000)


@pytest.fixture
def platform_settings(platform_server: PlatformServer, restore_settings: Settings) -> PlatformProject:
    project_id = str(next(_project_numbers))
    workspace_id = platform_server.environment["VELORA_WORKSPACE_ID"]
    project = PlatformProject(platform_server, workspace_id, project_id, f"project-{project_id}")
    for name in _CLIENT_SETTINGS:
        setattr(settings, name, platform_server.environment[name])
    settings.VELORA_PROJECT_ID = project_id
    settings.VELORA_PROJECT_DIR = project.project_dir
    settings.VELORA_USER_ID = "tester"
    settings.ARGO_WORKFLOW_RUN_ID = None
    settings.VELORA_REQUEST_TIMEOUT = None
    # The service makes a project's storage on first use; tests may look at it right away.
    with project.http() as http:
        http.get(project.sdk_base).raise_for_status()
    return project
