"""Dataset operations over patched client functions: the workload frame, the checks, the records."""

import hashlib
import os
import re
import types
from typing import Any
from unittest import mock

import numpy as np
import pytest

from velora.common.values import WorkloadType
from velora.dataset import methods
from velora.dataset.values import DatasetFileType

DEV = WorkloadType.dev_instance
PIPELINE = WorkloadType.pipeline
LONG = "d" * 101

# Each workload operation called with arguments that pass every check of its own.
OPERATIONS: dict[str, tuple[Any, ...]] = {
    "save_dataset": ("ds", np.zeros((2, 2)), DatasetFileType.csv),
    "create_dataset": ("ds",),
    "create_dataset_version": ("ds",),
    "create_dataset_version_by_id": (7,),
    "get_dataset_list": (),
    "get_dataset": (7,),
    "get_code_snippet_to_upload_dataset": ("ds", "df", "csv"),
    "get_code_snippet_to_import_dataset": (7, 8),
    "get_dataset_versions": ("ds",),
    "download_dataset": ("ds",),
    "load_dataset": ("ds",),
}
WITH_DESCRIPTION = [
    "save_dataset",
    "create_dataset",
    "create_dataset_version",
    "create_dataset_version_by_id",
]
DEV_ONLY = [
    "create_dataset_version_by_id",
    "get_dataset_list",
    "get_dataset",
    "get_code_snippet_to_upload_dataset",
    "get_code_snippet_to_import_dataset",
]


def call(operation: str, **overrides: Any) -> Any:
    return getattr(methods, operation)(*OPERATIONS[operation], **overrides)


class TestFrame:
    @pytest.mark.parametrize(
        ("operation", "args"),
        [
            ("save_dataset", ("ds", "not data", "no type", LONG)),
            ("create_dataset", ("ds", LONG)),
            ("create_dataset_version", ("ds", LONG)),
            ("create_dataset_version_by_id", (1, LONG)),
            ("get_dataset_list", ()),
            ("get_dataset", (1,)),
            ("get_code_snippet_to_upload_dataset", ("a", "b", "c")),
            ("get_code_snippet_to_import_dataset", (1, 2)),
            ("get_dataset_versions", ("ds",)),
            ("download_dataset", ("ds", 1, "/no/such/directory")),
            ("load_dataset", ("ds",)),
        ],
    )
    def test_unknown_workload_comes_first(self, fake_client, operation, args):
        fake_client.workload = None
        with pytest.raises(ValueError, match=r"^Unable to inspect workload type$"):
            getattr(methods, operation)(*args)
        assert fake_client.called == []

    @pytest.mark.parametrize("operation", WITH_DESCRIPTION)
    @pytest.mark.parametrize("workload", [DEV, PIPELINE, "elsewhere"])
    def test_long_description_refused_before_any_request(self, fake_client, operation, workload):
        fake_client.workload = workload
        with pytest.raises(ValueError, match=r"^Description must be less than 100 characters$"):
            call(operation, description=LONG)
        assert fake_client.called == []

    @pytest.mark.parametrize("operation", WITH_DESCRIPTION)
    @pytest.mark.parametrize("description", ["d" * 100, "", None], ids=["100", "empty", "None"])
    def test_description_up_to_100_characters_accepted(self, fake_client, operation, description):
        fake_client.answers["sdk_get_data_snapshot_by_name"] = {"data_snapshot": {"id": 1}}
        call(operation, description=description)
        assert fake_client.called

    @pytest.mark.parametrize("operation", [name for name in OPERATIONS if name != "save_dataset"])
    def test_unsupported_workload(self, fake_client, operation):
        fake_client.workload = "elsewhere"
        with pytest.raises(
            ValueError, match=r"^entity name of launch param is set to unsupported workload type$"
        ):
            call(operation)
        assert fake_client.called == []

    @pytest.mark.parametrize("operation", DEV_ONLY)
    def test_not_in_a_pipeline(self, fake_client, operation):
        fake_client.workload = PIPELINE
        with pytest.raises(NotImplementedError, match=r"^Not implemented yet$"):
            call(operation)
        assert fake_client.called == []

    def test_patching_with_mock_reaches_the_operation(self):
        with (
            mock.patch("velora.dataset.methods.inspect_workload_type", return_value=DEV) as inspect,
            mock.patch("velora.dataset.methods.sdk_get_code_snippet_to_import_data_snapshot") as snippet,
        ):
            snippet.return_value = {"code": "x"}
            assert methods.get_code_snippet_to_import_dataset(3, 4.5) == {"code": "x"}
        inspect.assert_called_once_with()
        snippet.assert_called_once_with(3, 4)


class TestCreateDataset:
    @pytest.mark.parametrize(
        ("workload", "function"),
        [(DEV, "sdk_create_data_snapshot"), (PIPELINE, "internal_create_data_snapshot")],
    )
    @pytest.mark.parametrize(("exist_ok", "sent"), [(1, True), (0, False), ("", False), ([1], True)])
    def test_family_and_arguments(self, fake_client, record_types, workload, function, exist_ok, sent):
        info, _ = record_types
        fake_client.workload = workload
        fake_client.answers[function] = {"id": 3, "name": "ds"}
        assert methods.create_dataset("ds", "about", exist_ok) == info(id=3, name="ds")
        assert fake_client.log[1:] == [(function, ("ds", "about", sent), {})]

    @pytest.mark.parametrize(
        ("answer", "error", "message"),
        [
            (["id"], TypeError, r"^Expected dict, got list$"),
            (None, TypeError, r"^argument after \*\* must be a mapping, not NoneType$"),
        ],
    )
    def test_bad_answer(self, fake_client, answer, error, message):
        fake_client.answers["sdk_create_data_snapshot"] = answer
        with pytest.raises(error, match=message):
            methods.create_dataset("ds")


class TestCreateDatasetVersion:
    FAMILIES = [
        (DEV, "sdk_get_data_snapshot_by_name", "sdk_create_data_snapshot_version"),
        (PIPELINE, "internal_get_data_snapshot_by_name", "internal_create_data_snapshot_version"),
    ]

    @pytest.mark.parametrize(("workload", "lookup", "create"), FAMILIES)
    def test_looks_up_then_versions(self, fake_client, record_types, workload, lookup, create):
        _, version_info = record_types
        fake_client.workload = workload
        fake_client.answers[lookup] = {"data_snapshot": {"id": 7.0, "name": "ds"}}
        fake_client.answers[create] = {"id": 2, "version": 1}
        assert methods.create_dataset_version("ds", "v1") == version_info(id=2, version=1)
        assert fake_client.log[1:] == [(lookup, ("ds",), {}), (create, (7, "v1"), {})]
        assert type(fake_client.log[2][1][0]) is int

    @pytest.mark.parametrize(("workload", "lookup", "create"), FAMILIES)
    @pytest.mark.parametrize(
        ("found", "error", "message"),
        [
            ({}, ValueError, r"^Dataset 'my ds' does not exist\.$"),
            ({"data_snapshot": None}, ValueError, r"^Dataset 'my ds' does not exist\.$"),
            ({"data_snapshot": {"name": "my ds"}}, ValueError, r"^Data snapshot id does not exist\.$"),
            ({"data_snapshot": {"id": None}}, ValueError, r"^Data snapshot id does not exist\.$"),
            ({"data_snapshot": {"id": "7"}}, TypeError, r"^Expected int, got str$"),
            ({"data_snapshot": [{"id": 7}]}, TypeError, r"^Expected dict, got list$"),
            ([], TypeError, r"^Expected dict, got list$"),
            (None, AttributeError, r"^'NoneType' object has no attribute 'get'$"),
        ],
    )
    def test_no_version_request_without_a_dataset_id(
        self, fake_client, workload, lookup, create, found, error, message
    ):
        fake_client.workload = workload
        fake_client.answers[lookup] = found
        with pytest.raises(error, match=message):
            methods.create_dataset_version("my ds")
        assert fake_client.called == [lookup]

    def test_bad_version_answer(self, fake_client):
        fake_client.answers["sdk_get_data_snapshot_by_name"] = {"data_snapshot": {"id": 1}}
        fake_client.answers["sdk_create_data_snapshot_version"] = ("id", 1)
        with pytest.raises(TypeError, match=r"^Expected dict, got tuple$"):
            methods.create_dataset_version("ds")


class TestCreateDatasetVersionById:
    def test_converts_the_id_and_builds_the_version(self, fake_client, record_types):
        _, version_info = record_types
        fake_client.answers["sdk_create_data_snapshot_version"] = types.MappingProxyType({"id": 5})
        assert methods.create_dataset_version_by_id(True, "v") == version_info(id=5)
        assert fake_client.log[1:] == [("sdk_create_data_snapshot_version", (1, "v"), {})]

    @pytest.mark.parametrize("answer", [None, ["id"]])
    def test_answer_that_is_no_mapping(self, fake_client, answer):
        fake_client.answers["sdk_create_data_snapshot_version"] = answer
        with pytest.raises(TypeError, match=r"argument after \*\* must be a mapping, not "):
            methods.create_dataset_version_by_id(1)


class TestGetDatasetList:
    def test_one_record_per_element_in_order(self, fake_client, record_types):
        info, _ = record_types
        fake_client.answers["sdk_get_data_snapshot_list"] = {
            "data_snapshots": [{"id": 2}, types.MappingProxyType({"id": 1}), {}],
            "total": 3,
        }
        assert methods.get_dataset_list() == [info(id=2), info(id=1), info()]
        assert fake_client.log[1:] == [("sdk_get_data_snapshot_list", (), {"page": 1, "page_size": 1000})]

    def test_page_converted_before_page_size_refused(self, fake_client):
        with pytest.raises(
            TypeError, match=r"^Argument 'page_size' has incorrect type \(expected int, got str\)"
        ):
            methods.get_dataset_list(2.9, "10")
        assert fake_client.log == []
        methods.get_dataset_list(2.9, page_size=False)
        assert fake_client.calls("sdk_get_data_snapshot_list") == [((), {"page": 2, "page_size": 0})]

    @pytest.mark.parametrize(
        ("answer", "error", "message"),
        [
            (None, AttributeError, r"^'NoneType' object has no attribute 'get'$"),
            ([], TypeError, r"^Expected dict, got list$"),
            ({"data_snapshots": [None]}, TypeError, r"^argument after \*\* must be a mapping, not NoneType$"),
        ],
    )
    def test_bad_answer(self, fake_client, answer, error, message):
        fake_client.answers["sdk_get_data_snapshot_list"] = answer
        with pytest.raises(error, match=message):
            methods.get_dataset_list()

    def test_answer_without_the_list_gives_no_records(self, fake_client):
        fake_client.answers["sdk_get_data_snapshot_list"] = {"total": 0}
        assert methods.get_dataset_list() == []


class TestGetDataset:
    @pytest.mark.parametrize(
        ("answer", "expected"),
        [
            ({"data_snapshot": {"id": 7, "name": "ds"}}, {"id": 7, "name": "ds"}),
            ({"data_snapshot": {}}, {}),
            ({"data_snapshot": None}, None),
            ({"other": 1}, None),
        ],
    )
    def test_record_from_the_detail(self, fake_client, record_types, answer, expected):
        info, _ = record_types
        fake_client.answers["sdk_get_data_snapshot_detail"] = answer
        result = methods.get_dataset(7.9)
        assert result == (None if expected is None else info(**expected))
        assert fake_client.log[1:] == [("sdk_get_data_snapshot_detail", (7,), {})]

    @pytest.mark.parametrize(
        ("answer", "error", "message"),
        [
            (None, AttributeError, r"^'NoneType' object has no attribute 'get'$"),
            ({"data_snapshot": "ds"}, TypeError, r"^Expected dict, got str$"),
        ],
    )
    def test_bad_answer(self, fake_client, answer, error, message):
        fake_client.answers["sdk_get_data_snapshot_detail"] = answer
        with pytest.raises(error, match=message):
            methods.get_dataset(7)


class TestCodeSnippets:
    CASES = [
        ("get_code_snippet_to_upload_dataset", "sdk_get_code_snippet_to_upload_tabular_data_snapshot"),
        ("get_code_snippet_to_import_dataset", "sdk_get_code_snippet_to_import_data_snapshot"),
    ]

    @pytest.mark.parametrize(("operation", "function"), CASES)
    @pytest.mark.parametrize("answer", [{"code": "import velora"}, None])
    def test_answer_handed_back_as_is(self, fake_client, operation, function, answer):
        fake_client.answers[function] = answer
        assert call(operation) is answer
        assert fake_client.log[1:] == [(function, OPERATIONS[operation], {})]

    @pytest.mark.parametrize(("operation", "function"), CASES)
    def test_answer_other_than_dict(self, fake_client, operation, function):
        fake_client.answers[function] = "import velora"
        with pytest.raises(TypeError, match=r"^Expected dict, got str$"):
            call(operation)


PAYLOAD = b"id,value\n0,1\n"


def _version(
    number: int, *filenames: str, digest: str = hashlib.sha256(PAYLOAD).hexdigest()
) -> dict[str, Any]:
    return {
        "id": 100 + number,
        "version": number,
        "files": [{"filename": f, "sha256": digest} for f in filenames],
    }


def _send_payload(dataset_id: int, version_id: int, filename: str, binary: Any) -> dict[str, Any]:
    binary.write(PAYLOAD)
    return {"size": len(PAYLOAD), "sha256": hashlib.sha256(PAYLOAD).hexdigest()}


class TestVersionsAndDownloads:
    FAMILIES = [(DEV, "sdk"), (PIPELINE, "internal")]
    VERSIONS = [_version(1, "a.csv"), _version(2), _version(3, "c.csv"), _version(4)]

    @pytest.fixture(params=FAMILIES, ids=["dev_instance", "pipeline"])
    def family(self, request, fake_client):
        workload, prefix = request.param
        fake_client.workload = workload
        fake_client.answers[f"{prefix}_get_data_snapshot_by_name"] = {"data_snapshot": {"id": 7.0}}
        fake_client.answers[f"{prefix}_download_data_snapshot_file"] = _send_payload
        return prefix

    def test_versions_as_records_in_the_services_order(self, fake_client, family, record_types):
        _, version_info = record_types
        fake_client.answers[f"{family}_get_data_snapshot_versions"] = {
            "data_snapshot_versions": self.VERSIONS[:2]
        }
        assert methods.get_dataset_versions("ds") == [version_info(**v) for v in self.VERSIONS[:2]]
        assert fake_client.log[1:] == [
            (f"{family}_get_data_snapshot_by_name", ("ds",), {}),
            (f"{family}_get_data_snapshot_versions", (7,), {}),
        ]

    @pytest.mark.parametrize(
        ("version", "versions", "outcome"),
        [
            (None, VERSIONS, "c.csv"),
            (1.9, VERSIONS, "a.csv"),
            (2, VERSIONS, "Version 2 of dataset 'ds' has no file."),
            (9, VERSIONS, "Dataset 'ds' has no version 9."),
            (None, [_version(1), _version(2)], "Dataset 'ds' has no version with a file."),
            (None, [], "Dataset 'ds' has no version with a file."),
            (None, [_version(1, "a.csv", "b.csv")], "Version 1 of dataset 'ds' has 2 files;"),
            (None, [_version(1, "../a.csv")], "not a plain file name: filename='../a.csv'"),
            (None, [_version(1, "..")], "not a plain file name: filename='..'"),
            (
                None,
                [_version(1, "a.csv", digest="0" * 64)],
                f"the record says sha256 {'0' * 64}, the download",
            ),
        ],
    )
    def test_download_takes_the_version_asked_for(
        self, fake_client, family, tmp_path, version, versions, outcome
    ):
        fake_client.answers[f"{family}_get_data_snapshot_versions"] = {"data_snapshot_versions": versions}
        (tmp_path / "a.csv").write_bytes(b"kept unless replaced by checked bytes")
        before = sorted(os.listdir(tmp_path))
        if outcome.endswith(".csv"):
            assert methods.download_dataset("ds", version, str(tmp_path)) == str(tmp_path / outcome)
            assert (tmp_path / outcome).read_bytes() == PAYLOAD
            [(args, _)] = fake_client.calls(f"{family}_download_data_snapshot_file")
            assert args[:3] == (7, {"a.csv": 101, "c.csv": 103}[outcome], outcome)
            assert sorted(os.listdir(tmp_path)) == sorted({*before, outcome})
        else:
            with pytest.raises(ValueError, match=re.escape(outcome)):
                methods.download_dataset("ds", version, str(tmp_path))
            assert sorted(os.listdir(tmp_path)) == before
            assert (tmp_path / "a.csv").read_bytes() == b"kept unless replaced by checked bytes"

    def test_pickle_refused_before_any_download(self, fake_client, family, tmp_root):
        fake_client.answers[f"{family}_get_data_snapshot_versions"] = {
            "data_snapshot_versions": [_version(1, "x.pickle")]
        }
        with pytest.raises(ValueError, match=r"is a pickle file, .* runs code .*allow_pickle=True"):
            methods.load_dataset("ds")
        assert f"{family}_download_data_snapshot_file" not in fake_client.called
        assert list(tmp_root.iterdir()) == []

    def test_directory_must_exist_before_any_request(self, fake_client, family, tmp_path):
        with pytest.raises(NotADirectoryError, match=r"path='.*missing'$"):
            methods.download_dataset("ds", path=str(tmp_path / "missing"))
        assert fake_client.called == []
