"""Suite-wide fixtures: the local platform service as a real subprocess, and settings pointed at it.

- `platform_server` (session): one `python -m velora.server` on a free loopback
  port with a fresh data directory; a `ServerProcess`.
- `platform_settings` (function): `velora.settings.settings` pointed at that
  service, in a project of its own with a token of its own for each test (so
  tests never see each other's datasets), as a development instance; a
  `PlatformProject`. Settings are restored afterwards.
- `http` (function): `platform_settings.http()`, a plain client of that service.
- `restore_settings` (function): restores every settings attribute after the test.
- `join_platform_project` (function): points the settings at a further service (`join_project`).
- `tmp_root` (function): the system's temporary location, an empty directory of the test's own.
- `launch_platform_server` (function): starts further services on data directories
  of the test's choosing (restarts, tokens), stopped after the test.
"""

from __future__ import annotations

import itertools
import secrets
import tempfile
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from pathlib import Path

import httpx
import pytest

from velora.server.launch import CLIENT_SETTINGS, ServerProcess, start_server, stop_server
from velora.settings import Settings, settings

# Real PostgreSQL and MariaDB servers, for every directory whose tests run SQL.
pytest_plugins = ["database_servers"]


@dataclass(frozen=True)
class PlatformProject:
    """The project a test's settings point at, on the shared service."""

    server: ServerProcess
    workspace_id: str
    project_id: str
    project_dir: str
    token: str

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
        """A plain HTTP client of the service carrying the project's SDK token and a pairing key of its
        own, for checks beside the SDK."""
        return httpx.Client(
            base_url=self.server.url,
            headers={
                "Authorization": f"Bearer {self.token}",
                "Velora-Pairing-Key": secrets.token_hex(8),
            },
            timeout=30,
            verify=False,
        )

    def pipeline_http(self) -> httpx.Client:
        """A plain HTTP client carrying the workload credential, as a pipeline run's requests do."""
        return httpx.Client(
            base_url=self.server.url,
            headers={"X-Velora-Workload-Token": self.server.workload_token},
            timeout=30,
        )


@pytest.fixture(scope="session")
def platform_server(tmp_path_factory: pytest.TempPathFactory) -> Iterator[ServerProcess]:
    server = start_server(tmp_path_factory.mktemp("platform") / "data", secrets.token_urlsafe(16))
    yield server
    stop_server(server.process)


@pytest.fixture
def launch_platform_server() -> Iterator[Callable[..., ServerProcess]]:
    """Starts extra services of a test's own, `start_server`'s arguments; all stop afterwards."""
    started: list[ServerProcess] = []

    def launch(
        data_dir: Path,
        token: str | None = None,
        environment: dict[str, str] | None = None,
        flags: tuple[str, ...] = (),
    ) -> ServerProcess:
        server = start_server(data_dir, token, environment, flags)
        started.append(server)
        return server

    yield launch
    for server in started:
        stop_server(server.process)


@pytest.fixture
def restore_settings() -> Iterator[Settings]:
    saved = dict(vars(settings))
    yield settings
    vars(settings).clear()
    vars(settings).update(saved)


_project_numbers = itertools.count(1000)


def join_project(server: ServerProcess, project_id: str) -> PlatformProject:
    """Points `velora.settings.settings` at `server`, in project `project_id`, as a development instance.

    A project other than the one the service printed is opened first, with a token of its own.
    """
    workspace_id = server.environment["VELORA_WORKSPACE_ID"]
    printed = project_id == server.environment["VELORA_PROJECT_ID"]
    token = server.token if printed else server.open_project(project_id)
    project = PlatformProject(server, workspace_id, project_id, f"project-{project_id}", token)
    for name in CLIENT_SETTINGS:
        setattr(settings, name, server.environment[name])
    settings.VELORA_SDK_TOKEN = token
    settings.VELORA_PROJECT_ID = project_id
    settings.VELORA_PROJECT_DIR = project.project_dir
    settings.VELORA_USER_ID = "tester"
    settings.ARGO_WORKFLOW_RUN_ID = None
    settings.VELORA_REQUEST_TIMEOUT = None
    return project


@pytest.fixture
def platform_settings(platform_server: ServerProcess, restore_settings: Settings) -> PlatformProject:
    return join_project(platform_server, str(next(_project_numbers)))


@pytest.fixture
def http(platform_settings: PlatformProject) -> Iterator[httpx.Client]:
    """`platform_settings.http()`, closed after the test."""
    with platform_settings.http() as client:
        yield client


@pytest.fixture
def join_platform_project(restore_settings: Settings) -> Callable[[ServerProcess, str], PlatformProject]:
    """`join_project` for a service of the test's own; settings are restored afterwards."""
    return join_project


@pytest.fixture
def tmp_root(monkeypatch: pytest.MonkeyPatch, tmp_path: Path) -> Path:
    """The system's temporary location, for this test alone."""
    root = tmp_path / "tmp"
    root.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(root))
    return root
