"""Stand-ins for the layers under the dataset modules, and the mount base and home a test may use."""

import os
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import pytest

import velora.dataset.corlett as client_module


@dataclass
class Request:
    method: str
    args: tuple[Any, ...]
    kwargs: dict[str, Any]


class RecordingCorlett:
    """Records every request as made (positional and keyword separately) and answers in turn."""

    def __init__(self, *answers: Any) -> None:
        self.answers = list(answers)
        self.requests: list[Request] = []

    def get(self, *args: Any, **kwargs: Any) -> Any:
        return self._record("get", args, kwargs)

    def post(self, *args: Any, **kwargs: Any) -> Any:
        return self._record("post", args, kwargs)

    def download(self, *args: Any, **kwargs: Any) -> Any:
        return self._record("download", args, kwargs)

    def _record(self, method: str, args: tuple[Any, ...], kwargs: dict[str, Any]) -> Any:
        self.requests.append(Request(method, args, kwargs))
        return self.answers.pop(0) if self.answers else {}


@dataclass
class FakeSettings:
    VELORA_WORKSPACE_ID: Any = "w1"
    VELORA_PROJECT_ID: Any = "p2"
    VELORA_USER_ID: Any = "u3"
    ARGO_WORKFLOW_RUN_ID: Any = "r4"
    VELORA_SDK_TOKEN: Any = "t0ken"
    VELORA_WEBDAV_URL: Any = "http://dav.test"
    VELORA_PROJECT_DIR: Any = "proj"


def ordered(value: Any) -> Any:
    """Dicts as lists of pairs, recursively, so that key order takes part in comparisons."""
    if isinstance(value, dict):
        return [(key, ordered(item)) for key, item in value.items()]
    return value


@pytest.fixture
def ordered_view() -> Callable[[Any], Any]:
    return ordered


@pytest.fixture
def fake_settings() -> FakeSettings:
    return FakeSettings()


@pytest.fixture
def client(monkeypatch: pytest.MonkeyPatch, fake_settings: FakeSettings) -> Callable[..., RecordingCorlett]:
    """Patches a recording request object and the settings into velora.dataset.corlett."""
    monkeypatch.setattr(client_module, "settings", fake_settings)

    def install(*answers: Any) -> RecordingCorlett:
        recorder = RecordingCorlett(*answers)
        monkeypatch.setattr(client_module, "corlett", recorder)
        return recorder

    return install


# Every client function: the dataset operations import all of them by name.
CLIENT_FUNCTIONS = tuple(name for name in dir(client_module) if name.startswith(("sdk_", "internal_")))


class Record:
    """A record class double that keeps the keywords it was built with."""

    def __init__(self, **fields: Any) -> None:
        self.fields = fields

    def __eq__(self, other: object) -> bool:
        return type(other) is type(self) and other.fields == self.fields  # type: ignore[attr-defined]

    def __repr__(self) -> str:
        return f"{type(self).__name__}({self.fields!r})"


class Info(Record):
    pass


class VersionInfo(Record):
    pass


class FakeClient:
    """The client functions and the workload detection of velora.dataset.methods, recorded in one log.

    `answers[name]` is what a function returns; a callable answer is called with the arguments,
    an exception answer is raised.
    """

    def __init__(self, monkeypatch: pytest.MonkeyPatch) -> None:
        import velora.dataset.methods as methods
        from velora.common.values import WorkloadType

        self.workload: Any = WorkloadType.dev_instance
        self.answers: dict[str, Any] = {}
        self.log: list[tuple[str, tuple[Any, ...], dict[str, Any]]] = []
        monkeypatch.setattr(methods, "inspect_workload_type", self._inspect)
        monkeypatch.setattr(methods, "DatasetInfo", Info)
        monkeypatch.setattr(methods, "DatasetVersionInfo", VersionInfo)
        for name in CLIENT_FUNCTIONS:
            monkeypatch.setattr(methods, name, self._function(name))

    def _inspect(self) -> Any:
        self.log.append(("inspect_workload_type", (), {}))
        return self.workload

    def _function(self, name: str) -> Callable[..., Any]:
        def recorded(*args: Any, **kwargs: Any) -> Any:
            self.log.append((name, args, kwargs))
            answer = self.answers.get(name, {})
            if isinstance(answer, BaseException):
                raise answer
            return answer(*args, **kwargs) if callable(answer) else answer

        recorded.__name__ = name
        return recorded

    @property
    def called(self) -> list[str]:
        """The client functions called, in order (workload detection left out)."""
        return [name for name, _, _ in self.log if name != "inspect_workload_type"]

    def calls(self, name: str) -> list[tuple[tuple[Any, ...], dict[str, Any]]]:
        return [(args, kwargs) for called, args, kwargs in self.log if called == name]


@pytest.fixture
def fake_client(monkeypatch: pytest.MonkeyPatch) -> FakeClient:
    return FakeClient(monkeypatch)


@pytest.fixture
def record_types() -> tuple[type[Record], type[Record]]:
    """The record doubles FakeClient patches in: (DatasetInfo, DatasetVersionInfo)."""
    return Info, VersionInfo


# Where mount_dataset puts its mount points, whatever the home directory.
MOUNT_BASE = Path("/home/jovyan/workspace")


@pytest.fixture
def mount_points() -> Iterator[dict[Path, bool]]:
    """The fixed mount base: what a test creates there is removed afterwards."""
    chain = [MOUNT_BASE.parent, MOUNT_BASE, MOUNT_BASE / "dataset", MOUNT_BASE / "dataset-staged"]
    existed = {path: path.exists() for path in chain}
    nearest = next(path for path in MOUNT_BASE.parents if path.exists())
    if not existed[MOUNT_BASE] and not os.access(nearest, os.W_OK):
        pytest.skip(f"{MOUNT_BASE} cannot be created by this user")
    yield existed
    for path in reversed(chain):
        if not existed[path] and path.is_dir():
            path.rmdir()


@pytest.fixture
def home(tmp_path, monkeypatch) -> Path:
    home = tmp_path / "home"
    home.mkdir()
    monkeypatch.setenv("HOME", str(home))
    return home


RECORDING_RCLONE = """#!/bin/sh
{ printf 'rclone'; for arg in "$@"; do printf '\\t%s' "$arg"; done; printf '\\n'; } >> "$RCLONE_LOG"
if [ -n "$RCLONE_FAIL" ]; then printf '%s' "$RCLONE_FAIL" >&2; exit 1; fi
"""


class Rclone:
    """The commands the recording rclone was started with, one argument list each."""

    def __init__(self, log: Path) -> None:
        self.log = log

    @property
    def commands(self) -> list[list[str]]:
        if not self.log.exists():
            return []
        return [line.split("\t") for line in self.log.read_text().splitlines()]


@pytest.fixture
def recording_rclone(tmp_path, monkeypatch, mount_points) -> Rclone:
    """A recording rclone first on PATH; it fails with $RCLONE_FAIL on its standard error when set."""
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    script = bin_dir / "rclone"
    script.write_text(RECORDING_RCLONE)
    script.chmod(0o755)
    monkeypatch.setenv("PATH", f"{bin_dir}{os.pathsep}{os.environ['PATH']}")
    monkeypatch.setenv("RCLONE_LOG", str(tmp_path / "rclone.log"))
    monkeypatch.delenv("RCLONE_FAIL", raising=False)
    return Rclone(tmp_path / "rclone.log")
