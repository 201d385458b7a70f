"""exclude_none and workload detection."""

from __future__ import annotations

from typing import Any

import pytest

from velora.common.utils import DEV_INSTANCE_MARKERS, exclude_none, inspect_workload_type
from velora.common.values import WorkloadType
from velora.settings import settings


@pytest.mark.parametrize(
    ("given", "expected"),
    [
        ({}, {}),
        ({"a": None}, {}),
        ({"name": "x", "description": None, "exist_ok": False}, {"name": "x", "exist_ok": False}),
        ({"zero": 0, "empty": "", "list": [], "none": None}, {"zero": 0, "empty": "", "list": []}),
    ],
)
def test_exclude_none_drops_only_none(given: dict[str, Any], expected: dict[str, Any]) -> None:
    result = exclude_none(given)
    assert result == expected
    assert list(result) == list(expected)
    assert result is not given


@pytest.fixture
def clean_workload(restore_settings: Any, monkeypatch: pytest.MonkeyPatch) -> pytest.MonkeyPatch:
    settings.VELORA_WORKLOAD_TYPE = None
    settings.ARGO_WORKFLOW_RUN_ID = None
    for name in DEV_INSTANCE_MARKERS:
        monkeypatch.delenv(name, raising=False)
    return monkeypatch


@pytest.mark.parametrize(
    ("declared", "run_id", "markers", "expected"),
    [
        (None, None, {}, None),
        ("dev_instance", None, {}, WorkloadType.dev_instance),
        ("pipeline", None, {"JUPYTERHUB_USER": "jovyan"}, WorkloadType.pipeline),
        ("dev_instance", "run-7", {}, WorkloadType.dev_instance),
        (None, "run-7", {}, WorkloadType.pipeline),
        (None, "run-7", {"JPY_PARENT_PID": "12"}, WorkloadType.pipeline),
        (None, "", {}, None),
        (None, None, {"JUPYTERHUB_USER": "jovyan"}, WorkloadType.dev_instance),
        (None, None, {"JUPYTER_SERVER_ROOT": "/home/jovyan"}, WorkloadType.dev_instance),
        (None, None, {"JPY_PARENT_PID": "12"}, WorkloadType.dev_instance),
        (None, None, {"JUPYTERHUB_USER": ""}, None),
        ("", None, {}, None),
    ],
)
def test_workload_type_from_setting_then_markers(
    clean_workload: pytest.MonkeyPatch,
    declared: str | None,
    run_id: str | None,
    markers: dict[str, str],
    expected: WorkloadType | None,
) -> None:
    settings.VELORA_WORKLOAD_TYPE = declared
    settings.ARGO_WORKFLOW_RUN_ID = run_id
    for name, value in markers.items():
        clean_workload.setenv(name, value)
    assert inspect_workload_type() is expected


def test_an_enum_member_as_setting_is_taken(clean_workload: pytest.MonkeyPatch) -> None:
    settings.VELORA_WORKLOAD_TYPE = WorkloadType.pipeline
    assert inspect_workload_type() is WorkloadType.pipeline


def test_an_unknown_declared_workload_type_is_refused_with_the_choices(
    clean_workload: pytest.MonkeyPatch,
) -> None:
    settings.VELORA_WORKLOAD_TYPE = "notebook"
    with pytest.raises(ValueError, match=r"one of dev_instance, pipeline: VELORA_WORKLOAD_TYPE='notebook'"):
        inspect_workload_type()
