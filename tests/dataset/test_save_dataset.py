"""save_dataset over patched client functions: the files it writes, what it uploads, what it leaves."""

import io
import os
import pickle
import re
import tempfile
import types
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd
import pytest

from velora.common.values import WorkloadType
from velora.dataset import methods
from velora.dataset.values import DatasetFileType

ARRAY = np.arange(12, dtype=np.int64).reshape(4, 3)
TABLE = pd.DataFrame({"name": ["a", "b", "c"], "score": [0.5, 1.5, 2.5], "count": [1, 2, 3]})
DATA_FILE = re.compile(r"^[0-9a-f]{32}\.(csv|parquet|pickle|npy)$")


class Upload:
    """An upload function double that reads the stream it is handed, as the real upload would."""

    def __init__(self, answer: Any) -> None:
        self.answer = answer
        self.kwargs: dict[str, Any] = {}
        self.content = b""
        self.binary: Any = None

    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        assert args == ()
        self.kwargs = kwargs
        self.binary = kwargs["binary"]
        assert (self.binary.mode, self.binary.closed, self.binary.tell()) == ("rb", False, 0)
        self.content = self.binary.read()
        if isinstance(self.answer, BaseException):
            raise self.answer
        return self.answer


class SpyTemporaryDirectory:
    """tempfile.TemporaryDirectory that notes what it held when it was left."""

    made: list["SpyTemporaryDirectory"] = []

    def __init__(self) -> None:
        self.inner = tempfile.TemporaryDirectory()
        self.held: list[str] | None = None
        self.made.append(self)

    def __enter__(self) -> str:
        return self.inner.__enter__()

    def __exit__(self, *error: Any) -> None:
        self.held = sorted(os.listdir(self.inner.name))
        self.inner.__exit__(*error)


@pytest.fixture
def spy_tempfile(monkeypatch, tmp_root) -> type[SpyTemporaryDirectory]:
    monkeypatch.setattr(SpyTemporaryDirectory, "made", [])
    monkeypatch.setattr(methods, "tempfile", types.SimpleNamespace(TemporaryDirectory=SpyTemporaryDirectory))
    return SpyTemporaryDirectory


def test_development_instance_streams_the_file_under_its_base_name(fake_client, record_types, tmp_root):
    info, _ = record_types
    upload = Upload({"id": 4, "name": "ds"})
    fake_client.answers["sdk_upload_data_snapshot"] = upload
    assert methods.save_dataset("ds", TABLE, DatasetFileType.csv, "about") == info(id=4, name="ds")
    assert list(upload.kwargs) == ["name", "filename", "binary", "description"]
    assert (upload.kwargs["name"], upload.kwargs["description"]) == ("ds", "about")
    assert DATA_FILE.match(upload.kwargs["filename"]) and upload.kwargs["filename"].endswith(".csv")
    assert Path(upload.binary.name).name == upload.kwargs["filename"]
    assert Path(upload.binary.name).parent.parent == tmp_root
    assert upload.binary.closed
    assert fake_client.called == ["sdk_upload_data_snapshot"]
    assert list(tmp_root.iterdir()) == []


def test_pipeline_uploads_without_a_file_name_and_records_the_snapshot(fake_client, record_types, tmp_root):
    info, _ = record_types
    fake_client.workload = WorkloadType.pipeline
    upload = Upload({"data_snapshot": {"id": 9}, "message": "stored"})
    fake_client.answers["internal_upload_data_snapshot"] = upload
    assert methods.save_dataset(name="ds", data=ARRAY, file_type=DatasetFileType.npy) == info(id=9)
    assert list(upload.kwargs) == ["name", "binary", "description"]
    assert upload.kwargs["description"] is None
    assert np.array_equal(np.load(io.BytesIO(upload.content)), ARRAY)
    assert upload.binary.closed
    assert list(tmp_root.iterdir()) == []


def read_csv(content: bytes) -> Any:
    return pd.read_csv(io.BytesIO(content), index_col=0)


@pytest.mark.parametrize(
    ("file_type", "data", "read", "expected"),
    [
        (DatasetFileType.csv, TABLE, read_csv, TABLE),
        (DatasetFileType.csv, ARRAY, read_csv, pd.DataFrame(ARRAY, columns=["0", "1", "2"])),
        (DatasetFileType.parquet, TABLE, lambda content: pd.read_parquet(io.BytesIO(content)), TABLE),
        (DatasetFileType.pickle, ARRAY, pickle.loads, ARRAY),
        (DatasetFileType.pickle, TABLE, pickle.loads, TABLE),
        (DatasetFileType.npy, ARRAY, lambda content: np.load(io.BytesIO(content)), ARRAY),
        (
            DatasetFileType.npy,
            TABLE.iloc[:, 1:],
            lambda content: np.load(io.BytesIO(content)),
            TABLE.iloc[:, 1:],
        ),
    ],
    ids=["csv-table", "csv-array", "parquet-table", "pickle-array", "pickle-table", "npy-array", "npy-table"],
)
def test_file_reads_back(fake_client, tmp_root, file_type, data, read, expected):
    upload = Upload({"id": 1})
    fake_client.answers["sdk_upload_data_snapshot"] = upload
    methods.save_dataset("ds", data, file_type)
    assert upload.kwargs["filename"].endswith("." + file_type.value)
    back = read(upload.content)
    assert type(back) is type(expected) or (type(back) is np.ndarray and file_type == DatasetFileType.npy)
    if isinstance(expected, pd.DataFrame) and isinstance(back, pd.DataFrame):
        pd.testing.assert_frame_equal(back, expected)
    else:
        assert np.array_equal(back, np.asarray(expected))


def test_csv_of_an_array_has_index_column_and_numbered_header(fake_client, tmp_root):
    upload = Upload({"id": 1})
    fake_client.answers["sdk_upload_data_snapshot"] = upload
    methods.save_dataset("ds", ARRAY[:2], DatasetFileType.csv)
    assert upload.content.decode().splitlines() == [",0,1,2", "0,0,1,2", "1,3,4,5"]


def test_data_checked_before_description_and_before_any_directory(fake_client, spy_tempfile):
    with pytest.raises(ValueError, match=r"^data is not supported object$"):
        methods.save_dataset("ds", [[1, 2]], DatasetFileType.csv, "d" * 101)
    with pytest.raises(ValueError, match=r"^Description must be less than 100 characters$"):
        methods.save_dataset("ds", ARRAY, "not a type", "d" * 101)
    assert spy_tempfile.made == []
    assert fake_client.called == []


@pytest.mark.parametrize(
    ("file_type", "error", "message"),
    [
        ("txt", ValueError, r"^file_type is not supported type$"),
        (None, TypeError, r"can only concatenate str \(not \"NoneType\"\) to str"),
    ],
)
def test_file_type_checked_once_the_directory_exists(
    fake_client, spy_tempfile, tmp_root, file_type, error, message
):
    with pytest.raises(error, match=message):
        methods.save_dataset("ds", ARRAY, file_type)
    [directory] = spy_tempfile.made
    assert directory.held == []
    assert fake_client.called == []
    assert list(tmp_root.iterdir()) == []


def test_unsupported_workload_found_after_the_file_is_written(fake_client, spy_tempfile):
    fake_client.workload = "elsewhere"
    with pytest.raises(
        ValueError, match=r"^entity name of launch param is set to unsupported workload type: elsewhere$"
    ):
        methods.save_dataset("ds", TABLE, DatasetFileType.parquet)
    [directory] = spy_tempfile.made
    assert len(directory.held) == 1 and DATA_FILE.match(directory.held[0])
    assert fake_client.called == []


FAILURES = [
    pytest.param(
        WorkloadType.dev_instance,
        RuntimeError("service down"),
        RuntimeError,
        r"^service down$",
        id="upload-raises",
    ),
    pytest.param(
        WorkloadType.dev_instance,
        None,
        TypeError,
        r"^argument after \*\* must be a mapping, not NoneType$",
        id="dev-answer-none",
    ),
    pytest.param(WorkloadType.pipeline, {"id": 1}, KeyError, "data_snapshot", id="pipeline-no-snapshot"),
    pytest.param(WorkloadType.pipeline, None, TypeError, "not subscriptable", id="pipeline-answer-none"),
    pytest.param(
        WorkloadType.pipeline,
        {"data_snapshot": None},
        TypeError,
        r"^argument after \*\* must be a mapping, not NoneType$",
        id="pipeline-snapshot-none",
    ),
]


@pytest.mark.parametrize(("workload", "answer", "error", "message"), FAILURES)
def test_upload_failure_closes_the_file_and_removes_the_directory(
    fake_client, tmp_root, workload, answer, error, message
):
    fake_client.workload = workload
    upload = Upload(answer)
    fake_client.answers["sdk_upload_data_snapshot"] = upload
    fake_client.answers["internal_upload_data_snapshot"] = upload
    with pytest.raises(error, match=message):
        methods.save_dataset("ds", ARRAY, DatasetFileType.pickle)
    assert upload.binary.closed
    assert list(tmp_root.iterdir()) == []


def test_writer_failure_removes_the_directory(fake_client, tmp_root):
    unpicklable = np.array([lambda: 1], dtype=object)
    # Python 3.13 words it "Can't get local object", earlier ones "Can't pickle local object".
    with pytest.raises((pickle.PicklingError, AttributeError), match="pickle|local object"):
        methods.save_dataset("ds", unpicklable, DatasetFileType.pickle)
    assert fake_client.called == []
    assert list(tmp_root.iterdir()) == []


def test_pickle_file_closed_when_dumping_fails(fake_client, monkeypatch, tmp_root):
    handed = []

    def dump(*, obj: Any, file: Any) -> None:
        handed.append((obj, file))
        raise OSError("disk full")

    monkeypatch.setattr(methods, "pickle", types.SimpleNamespace(dump=dump))
    with pytest.raises(OSError, match="disk full"):
        methods.save_dataset("ds", ARRAY, DatasetFileType.pickle)
    [(obj, file)] = handed
    assert obj is ARRAY
    assert file.mode == "wb" and file.closed
    assert list(tmp_root.iterdir()) == []


def test_cleanup_error_keeps_the_upload_error_as_its_context(fake_client, monkeypatch, tmp_root):
    class FailingCleanup(SpyTemporaryDirectory):
        def __exit__(self, *error: Any) -> None:
            super().__exit__(*error)
            raise PermissionError("cannot remove")

    monkeypatch.setattr(methods, "tempfile", types.SimpleNamespace(TemporaryDirectory=FailingCleanup))
    fake_client.answers["sdk_upload_data_snapshot"] = Upload(RuntimeError("service down"))
    with pytest.raises(PermissionError) as raised:
        methods.save_dataset("ds", ARRAY, DatasetFileType.csv)
    assert repr(raised.value.__context__) == "RuntimeError('service down')"
