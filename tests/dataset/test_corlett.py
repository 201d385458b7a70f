"""The dataset service client against a recording request object."""

import enum
import inspect
import io
from typing import Any

import pytest

import velora.dataset.corlett as client_module
from velora.dataset import corlett

SDK = "/v1/sdk/workspaces/w1/projects/p2/data-snapshots"
INTERNAL = "/v1/internal/workspaces/projects/p2/data-snapshots"
STREAM = io.BytesIO(b"a,b\n1,2\n")


class Colour(enum.StrEnum):
    red = "red"


# (function, args, kwargs, method, positional args of the request, keywords of the request)
ONE_REQUEST: list[tuple[Any, ...]] = [
    (
        "sdk_create_data_snapshot",
        ("ds",),
        {},
        "post",
        (SDK,),
        {"json_data": {"name": "ds", "exist_ok": False}},
    ),
    (
        "sdk_create_data_snapshot",
        ("ds", "about", 1),
        {},
        "post",
        (SDK,),
        {"json_data": {"name": "ds", "description": "about", "exist_ok": True}},
    ),
    (
        "sdk_create_data_snapshot",
        (),
        {"name": "ds", "exist_ok": ""},
        "post",
        (SDK,),
        {"json_data": {"name": "ds", "exist_ok": False}},
    ),
    ("sdk_get_data_snapshot_by_name", ("ds",), {}, "get", (f"{SDK}/name",), {"params": {"name": "ds"}}),
    ("sdk_create_data_snapshot_version", (7.0,), {}, "post", (f"{SDK}/7/versions",), {"json_data": {}}),
    (
        "sdk_create_data_snapshot_version",
        (),
        {"data_snapshot_id": True, "description": "v"},
        "post",
        (f"{SDK}/1/versions",),
        {"json_data": {"description": "v"}},
    ),
    ("sdk_get_data_snapshot_list", (), {}, "get", (f"{SDK}?page=1&page_size=1000",), {}),
    ("sdk_get_data_snapshot_list", (2.9,), {"page_size": 50}, "get", (f"{SDK}?page=2&page_size=50",), {}),
    ("sdk_get_data_snapshot_detail", (7.0,), {}, "get", (f"{SDK}/7",), {}),
    (
        "sdk_get_code_snippet_to_upload_tabular_data_snapshot",
        ("ds", "df", "csv"),
        {},
        "get",
        (f"{SDK}/tabular/code-snippet",),
        {"params": {"name": "ds", "data": "df", "file_type": "csv"}},
    ),
    (
        "sdk_get_code_snippet_to_import_data_snapshot",
        (7, 8.9),
        {},
        "get",
        (f"{SDK}/7/versions/8/code-snippet",),
        {},
    ),
    (
        "internal_create_data_snapshot",
        ("ds",),
        {},
        "post",
        (INTERNAL,),
        {"data": {"user_id": "u3", "name": "ds", "exist_ok": False}},
    ),
    (
        "internal_create_data_snapshot",
        ("ds", "about", [0]),
        {},
        "post",
        (INTERNAL,),
        {"data": {"user_id": "u3", "name": "ds", "description": "about", "exist_ok": True}},
    ),
    (
        "internal_get_data_snapshot_by_name",
        ("ds",),
        {},
        "get",
        (f"{INTERNAL}/name",),
        {"params": {"name": "ds", "user_id": "u3"}},
    ),
    (
        "internal_create_data_snapshot_version",
        (7.0, "v"),
        {},
        "post",
        (f"{INTERNAL}/7/versions",),
        {"data": {"user_id": "u3", "description": "v", "argo_workflow_run_id": "r4"}},
    ),
    (
        "internal_upload_data_snapshot",
        ("ds", STREAM),
        {},
        "post",
        (),
        {
            "endpoint": f"{INTERNAL}/sdk",
            "data": {"user_id": "u3", "name": "ds", "argo_workflow_run_id": "r4"},
            "files": {"file": STREAM},
        },
    ),
    ("sdk_get_data_snapshot_versions", (7.0,), {}, "get", (f"{SDK}/7/versions",), {}),
    (
        "internal_get_data_snapshot_versions",
        (7,),
        {},
        "get",
        (f"{INTERNAL}/7/versions",),
        {"params": {"user_id": "u3"}},
    ),
    (
        "sdk_download_data_snapshot_file",
        (7, 8.5, "a b#?.csv", STREAM),
        {},
        "download",
        (f"{SDK}/7/versions/8/download", STREAM),
        {"params": {"filename": "a b#?.csv"}},
    ),
    (
        "internal_download_data_snapshot_file",
        (7, 8, "f.npy"),
        {"binary": STREAM},
        "download",
        (f"{INTERNAL}/7/versions/8/download", STREAM),
        {"params": {"filename": "f.npy", "user_id": "u3"}},
    ),
]


@pytest.mark.parametrize(("function", "args", "kwargs", "method", "positional", "keywords"), ONE_REQUEST)
def test_request_made(client, ordered_view, function, args, kwargs, method, positional, keywords):
    answer = {"id": 1}
    recorder = client(answer)
    assert getattr(corlett, function)(*args, **kwargs) is answer
    [request] = recorder.requests
    assert (request.method, request.args) == (method, positional)
    assert ordered_view(request.kwargs) == ordered_view(keywords)


@pytest.mark.parametrize(("function", "args", "kwargs"), [case[:3] for case in ONE_REQUEST])
def test_answer_other_than_dict_refused(client, function, args, kwargs):
    client([{"id": 1}])
    with pytest.raises(TypeError, match=r"^Expected dict, got list$"):
        getattr(corlett, function)(*args, **kwargs)


@pytest.mark.parametrize(("function", "args", "kwargs"), [case[:3] for case in ONE_REQUEST])
def test_empty_answer_passes(client, function, args, kwargs):
    client(None)
    assert getattr(corlett, function)(*args, **kwargs) is None


def test_unset_pipeline_identity_is_dropped_from_fields_but_not_from_query(
    client, fake_settings, ordered_view
):
    fake_settings.VELORA_USER_ID = None
    fake_settings.ARGO_WORKFLOW_RUN_ID = None
    recorder = client()
    corlett.internal_create_data_snapshot_version(3)
    corlett.internal_create_data_snapshot("ds")
    corlett.internal_get_data_snapshot_by_name("ds")
    bodies = [ordered_view(request.kwargs) for request in recorder.requests]
    assert bodies == [
        [("data", [])],
        [("data", [("name", "ds"), ("exist_ok", False)])],
        [("params", [("name", "ds"), ("user_id", None)])],
    ]


def test_settings_are_read_at_each_call(client, fake_settings):
    recorder = client()
    corlett.sdk_get_data_snapshot_detail(1)
    fake_settings.VELORA_WORKSPACE_ID = 11
    fake_settings.VELORA_PROJECT_ID = "p22"
    corlett.sdk_get_data_snapshot_detail(1)
    corlett.internal_get_data_snapshot_by_name("x")
    paths = [request.args[0] for request in recorder.requests]
    assert paths == [
        f"{SDK}/1",
        "/v1/sdk/workspaces/11/projects/p22/data-snapshots/1",
        "/v1/internal/workspaces/projects/p22/data-snapshots/name",
    ]


@pytest.mark.parametrize(
    ("workspace", "project", "snapshot_id", "path"),
    [
        ("wß", "p2", 7, "/v1/sdk/workspaces/wß/projects/p2/data-snapshots/7"),
        ("w1", "项目", -3, "/v1/sdk/workspaces/w1/projects/项目/data-snapshots/-3"),
        ("😀", 5, 2**70, f"/v1/sdk/workspaces/😀/projects/5/data-snapshots/{2**70}"),
        (None, Colour.red, 0, "/v1/sdk/workspaces/None/projects/red/data-snapshots/0"),
    ],
)
def test_path_holds_the_text_of_any_value(client, fake_settings, workspace, project, snapshot_id, path):
    fake_settings.VELORA_WORKSPACE_ID = workspace
    fake_settings.VELORA_PROJECT_ID = project
    recorder = client()
    corlett.sdk_get_data_snapshot_detail(snapshot_id)
    assert recorder.requests[0].args == (path,)


NAMED = [
    "sdk_create_data_snapshot",
    "sdk_get_data_snapshot_by_name",
    "internal_create_data_snapshot",
    "internal_get_data_snapshot_by_name",
]


@pytest.mark.parametrize("function", NAMED)
@pytest.mark.parametrize(
    ("name", "note"),
    [(42, False), (b"ds", False), (None, False), (Colour.red, True)],
    ids=["int", "bytes", "None", "str-subclass"],
)
def test_name_not_a_plain_str_is_refused_before_any_request(client, function, name, note):
    recorder = client()
    with pytest.raises(TypeError) as raised:
        getattr(corlett, function)(name)
    message = str(raised.value)
    expected = f"Argument 'name' has incorrect type (expected str, got {type(name).__name__})"
    assert message.startswith(expected)
    assert (message != expected) is note
    assert recorder.requests == []


@pytest.mark.parametrize(
    ("function", "args", "message"),
    [
        ("sdk_get_data_snapshot_detail", ("7",), "Argument 'data_snapshot_id' has incorrect type"),
        ("sdk_create_data_snapshot", ("ds", 5), "Argument 'description' has incorrect type"),
        ("sdk_get_data_snapshot_list", (2.9, "10"), "Argument 'page_size' has incorrect type"),
        ("sdk_upload_data_snapshot", ("ds", 1, STREAM), "Argument 'filename' has incorrect type"),
        ("sdk_get_data_snapshot_detail", (), r"takes exactly 1 positional argument \(0 given\)"),
        ("internal_upload_data_snapshot", ("ds",), r"takes at least 2 positional arguments \(1 given\)"),
    ],
)
def test_bad_arguments_are_refused_before_any_request(client, function, args, message):
    recorder = client()
    with pytest.raises(TypeError, match=message):
        getattr(corlett, function)(*args)
    assert recorder.requests == []


def test_body_helper_result_is_checked(client, monkeypatch):
    recorder = client()
    monkeypatch.setattr(client_module, "exclude_none", lambda mapping: list(mapping))
    with pytest.raises(TypeError, match=r"^Expected dict, got list$"):
        corlett.sdk_create_data_snapshot("ds")
    assert recorder.requests == []


class TestSdkUpload:
    def test_creates_registers_then_streams(self, client, ordered_view):
        stream = io.BytesIO(b"payload")
        final = {"id": 7, "name": "ds"}
        recorder = client({"id": 7.0, "name": "ds"}, {"ignored": True}, final)
        assert corlett.sdk_upload_data_snapshot("ds", "data.csv", stream, "about") is final
        create, metadata, upload = recorder.requests
        assert (create.method, create.args) == ("post", (SDK,))
        assert ordered_view(create.kwargs) == [
            ("json_data", [("name", "ds"), ("description", "about"), ("exist_ok", True)])
        ]
        assert (metadata.method, metadata.args) == ("post", ())
        assert ordered_view(metadata.kwargs) == [
            ("endpoint", f"{SDK}/7/upload-metadata"),
            ("json_data", [("description", "about"), ("file_count", 1)]),
        ]
        assert (upload.method, upload.args) == ("post", ())
        assert list(upload.kwargs) == ["endpoint", "data", "headers"]
        assert upload.kwargs["endpoint"] == f"{SDK}/7/upload"
        assert upload.kwargs["data"] is stream
        assert upload.kwargs["headers"] == {"Filename": "ZGF0YS5jc3Y="}

    def test_without_description_sends_no_description(self, client, ordered_view):
        recorder = client({"id": 3})
        corlett.sdk_upload_data_snapshot(name="ds", filename="f", binary=STREAM)
        assert ordered_view(recorder.requests[0].kwargs["json_data"]) == [("name", "ds"), ("exist_ok", True)]
        assert ordered_view(recorder.requests[1].kwargs["json_data"]) == [("file_count", 1)]

    def test_non_ascii_file_name_goes_as_base64_of_its_utf8(self, client):
        recorder = client({"id": 1})
        corlett.sdk_upload_data_snapshot("ds", "données_é 数据.csv", STREAM)
        header = recorder.requests[2].kwargs["headers"]["Filename"]
        assert header == "ZG9ubsOpZXNfw6kg5pWw5o2uLmNzdg=="
        assert header.isascii()

    def test_creation_goes_through_the_module_attribute(self, client, monkeypatch):
        recorder = client()
        calls = []

        def create(*args: Any) -> dict[str, Any]:
            calls.append(args)
            return {"id": 5}

        monkeypatch.setattr(client_module, "sdk_create_data_snapshot", create)
        corlett.sdk_upload_data_snapshot("ds", "f", STREAM, None)
        assert calls == [("ds", None, True)]
        assert recorder.requests[0].kwargs["endpoint"] == f"{SDK}/5/upload-metadata"

    @pytest.mark.parametrize(
        ("created", "error", "message"),
        [
            ({"name": "ds"}, KeyError, "'id'"),
            ({"id": "7"}, TypeError, r"^Expected int, got str$"),
            ({"id": [7]}, TypeError, r"^Expected int, got list$"),
            (None, TypeError, "not subscriptable"),
            ([{"id": 7}], TypeError, r"^Expected dict, got list$"),
        ],
    )
    def test_bad_creation_answer_stops_after_one_request(self, client, created, error, message):
        recorder = client(created)
        with pytest.raises(error, match=message):
            corlett.sdk_upload_data_snapshot("ds", "f", STREAM)
        assert len(recorder.requests) == 1

    def test_bad_metadata_answer_stops_before_streaming(self, client):
        recorder = client({"id": 1}, "accepted")
        with pytest.raises(TypeError, match=r"^Expected dict, got str$"):
            corlett.sdk_upload_data_snapshot("ds", "f", STREAM)
        assert len(recorder.requests) == 2


FUNCTIONS = [
    "sdk_upload_data_snapshot",
    "sdk_create_data_snapshot",
    "sdk_get_data_snapshot_by_name",
    "sdk_create_data_snapshot_version",
    "sdk_get_data_snapshot_list",
    "sdk_get_data_snapshot_detail",
    "sdk_get_code_snippet_to_upload_tabular_data_snapshot",
    "sdk_get_code_snippet_to_import_data_snapshot",
    "internal_create_data_snapshot",
    "internal_get_data_snapshot_by_name",
    "internal_create_data_snapshot_version",
    "internal_upload_data_snapshot",
    "sdk_get_data_snapshot_versions",
    "internal_get_data_snapshot_versions",
    "sdk_download_data_snapshot_file",
    "internal_download_data_snapshot_file",
]

DOWNLOAD_SIGNATURE = "(data_snapshot_id, data_snapshot_version_id, filename, binary)"


def test_signatures_and_family_documentation():
    shown = {name: str(inspect.signature(getattr(corlett, name))) for name in FUNCTIONS}
    assert shown == {
        "sdk_upload_data_snapshot": "(name, filename, binary, description=None)",
        "sdk_create_data_snapshot": "(name, description=None, exist_ok=False)",
        "sdk_get_data_snapshot_by_name": "(name)",
        "sdk_create_data_snapshot_version": "(data_snapshot_id, description=None)",
        "sdk_get_data_snapshot_list": "(page=1, page_size=1000)",
        "sdk_get_data_snapshot_detail": "(data_snapshot_id)",
        "sdk_get_code_snippet_to_upload_tabular_data_snapshot": "(name, data, file_type)",
        "sdk_get_code_snippet_to_import_data_snapshot": "(data_snapshot_id, data_snapshot_version_id)",
        "internal_create_data_snapshot": "(name, description=None, exist_ok=False)",
        "internal_get_data_snapshot_by_name": "(name)",
        "internal_create_data_snapshot_version": "(data_snapshot_id, description=None)",
        "internal_upload_data_snapshot": "(name, binary, description=None)",
        "sdk_get_data_snapshot_versions": "(data_snapshot_id)",
        "internal_get_data_snapshot_versions": "(data_snapshot_id)",
        "sdk_download_data_snapshot_file": DOWNLOAD_SIGNATURE,
        "internal_download_data_snapshot_file": DOWNLOAD_SIGNATURE,
    }
    for name in FUNCTIONS:
        doc = getattr(corlett, name).__doc__
        if name.startswith("internal_"):
            assert doc.startswith("Without any token,") and "pipeline" in doc
        elif name in ("sdk_get_data_snapshot_list", "sdk_get_data_snapshot_detail"):
            assert doc is None
        elif "code_snippet" not in name:
            assert doc.startswith("Using SDK token,")
    first_lines = {
        "sdk_upload_data_snapshot": "upload a new data snapshot in the current project.",
        "sdk_create_data_snapshot": "create a new data snapshot in the current project.",
        "sdk_get_data_snapshot_by_name": "get a data snapshot by name.",
        "sdk_create_data_snapshot_version": "create a new data snapshot version.",
        "internal_create_data_snapshot": "create the new data snapshot in the current project.",
        "internal_get_data_snapshot_by_name": "get the data snapshot in the current project.",
        "internal_create_data_snapshot_version": "create a new data snapshot version.",
        "internal_upload_data_snapshot": "upload the new data snapshot in the current project.",
    }
    for name, line in first_lines.items():
        doc = getattr(corlett, name).__doc__
        lead = "Using SDK token, " if name.startswith("sdk_") else "Without any token, "
        assert doc.splitlines()[0] == lead + line
        assert ("Name should be matched exactly" in doc) == name.endswith("_by_name")
        assert ("pipeline" in doc) == name.startswith("internal_")
    assert corlett.REQUEST_TIMEOUT == 10
