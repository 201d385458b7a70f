"""Recording stand-ins for the layer under the dataset modules, for their unit tests."""

from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

import pytest


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


@dataclass
class RecordingFunction:
    """A client function double: records its calls, answers with `answer` (or raises it)."""

    name: str
    answer: Any = field(default_factory=dict)
    calls: list[tuple[tuple[Any, ...], dict[str, Any]]] = field(default_factory=list)

    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        self.calls.append((args, kwargs))
        if isinstance(self.answer, BaseException):
            raise self.answer
        return self.answer


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
    import velora.dataset.corlett as corlett_module

    monkeypatch.setattr(corlett_module, "settings", fake_settings)

    def install(*answers: Any) -> RecordingCorlett:
        recorder = RecordingCorlett(*answers)
        monkeypatch.setattr(corlett_module, "corlett", recorder)
        return recorder

    return install
