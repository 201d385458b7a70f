"""No native callable keeps memory or references: every public function, class and native method
of the C++ modules, called many times over, on paths that return and paths that raise.

Each module has one table of cases (see `leak_check.Case`); `test_table_covers_module` fails when
a public name the C++ module defines has no case that returns and one that raises. Each case runs
`VELORA_LEAK_ITERATIONS` times (environment variable; default 100000, `make sanitize` sets 2000),
a few cases a stated share of that, after a tenth as many (at most 2000) as warm-up. Resident
memory must not grow beyond `leak_check.RSS_TOLERANCE` while growing in every quarter of the loop
(not checked under AddressSanitizer, whose quarantine keeps freed memory), and the reference count
of the callable and of every argument must come back exactly (objects the whole process shares,
such as None, small ints, enumeration members and classes, may move by less than half the number
of calls).

Nothing in the loop leaves the process: the request object `corlett`, workload detection,
rclone's processes, boto3 and the model loaders are replaced by cheap objects that answer the
same every time (the recording doubles of the unit tests keep every call, which would grow).
"""

from __future__ import annotations

import ctypes
import functools
import hashlib
import io
import json
import pickle
import re
import tempfile
from collections.abc import Callable
from pathlib import Path, PurePosixPath
from types import ModuleType, SimpleNamespace
from typing import Any

import numpy as np
import pydantic
import pytest
from leak_check import SANITIZED, Case, check_case, fails, native_names, ok, scaled

import velora.dataset.corlett as client_module
import velora.dataset.methods as methods_module
import velora.model_registry.methods.frameworks.mlflow as mlflow_module
import velora.model_registry.methods.wandb as wandb_module
from velora.common import enum_ as enum_module
from velora.common.enum_ import StrEnum, auto
from velora.common.schemas import DatabaseType
from velora.common.values import WorkloadType
from velora.dataset.values import DatasetFileType
from velora.inference_services import brinwell as brinwell_module
from velora.inference_services.brinwell import (
    DBQueryBuilder,
    DBQueryBuilderFactory,
    MSSQLQueryBuilder,
    MySQLQueryBuilder,
    OracleQueryBuilder,
    PostgreSQLQueryBuilder,
    TiberoQueryBuilder,
)
from velora.inference_services.schemas import (
    InferenceDatabaseRecordsFilter,
    InferenceDatabaseRecordsMatchType,
    InferenceDatabaseRecordsOrderType,
    InferenceDatabaseRecordsSorting,
)
from velora.model_registry import schemas as schemas_module
from velora.model_registry import values as values_module
from velora.model_registry.values import DataSchemaType, ModelFramework, ModelRegistryType, SchemaRevision
from velora.settings import MLFlowModelRegistryData, ModelRegistry, settings

ARITY = "positional argument"
UNKNOWN_KEYWORD = "unexpected keyword argument"
WRONG_TYPE = "has incorrect type"


def fresh(text: str) -> str:
    """A str object of its own (not interned), so that its reference count is the table's alone.

    One character gives CPython's shared singleton instead, whose count is not the table's."""
    return "".join(list(text))


def fresh_text(value: Any) -> Any:
    """`fresh` for text, any other value as it is."""
    return fresh(value) if isinstance(value, str) else value


# ---------------------------------------------------------------- velora.common.enum_


class Color(StrEnum):
    RED = auto()
    GREEN = auto()


ENUM_CASES = [
    ok("StrEnum", Color, fresh("RED")),
    fails("StrEnum", Color, ValueError, "is not a valid", fresh("PURPLE"), id="unknown value"),
    ok("StrEnum._generate_next_value_", StrEnum._generate_next_value_, fresh("n"), 1.5, 0, []),
    fails(
        "StrEnum._generate_next_value_",
        StrEnum._generate_next_value_,
        TypeError,
        "subclasses of built-in types",
        Color.RED,
        1,
        0,
        [],
        id="str subclass",
    ),
    ok("StrEnum.__repr__", StrEnum.__repr__, Color.GREEN),
    fails("StrEnum.__repr__", StrEnum.__repr__, AttributeError, "name", object(), id="no name"),
    ok("StrEnum.__str__", StrEnum.__str__, Color.GREEN),
    fails("StrEnum.__str__", StrEnum.__str__, TypeError, ARITY, id="no self"),
    ok("StrEnum.has_value", Color.has_value, fresh("GREEN")),
    fails("StrEnum.has_value", Color.has_value, TypeError, WRONG_TYPE, Color.RED, id="member for str"),
    fails(
        "StrEnum.has_value", Color.has_value, TypeError, UNKNOWN_KEYWORD, fresh("RED"), id="keyword", extra=1
    ),
]

# ---------------------------------------------------------------- velora.model_registry.values

VALUES_CASES = [
    ok("SchemaRevision", SchemaRevision, fresh("2")),
    fails("SchemaRevision", SchemaRevision, ValueError, "is not a valid", fresh("3"), id="unknown"),
    ok("SchemaRevision.get_latest_revision", SchemaRevision.get_latest_revision),
    fails(
        "SchemaRevision.get_latest_revision",
        SchemaRevision.get_latest_revision,
        TypeError,
        ARITY,
        1,
        id="arity",
    ),
    ok("ModelRegistryType", ModelRegistryType, fresh("wandb")),
    fails("ModelRegistryType", ModelRegistryType, ValueError, "is not a valid", fresh("x"), id="unknown"),
    ok("ModelFramework", ModelFramework, fresh("xgboost")),
    fails("ModelFramework", ModelFramework, ValueError, "is not a valid", 3, id="unknown"),
    ok("DataSchemaType", DataSchemaType, fresh("tensor")),
    fails("DataSchemaType", DataSchemaType, ValueError, "is not a valid", None, id="unknown"),
]

# ---------------------------------------------------------------- velora.dataset.corlett


def npy_bytes(array: Any) -> bytes:
    out = io.BytesIO()
    np.save(out, array)
    return out.getvalue()


# What a download sends: an npy file, and its digest as the version records give it.
PAYLOAD = npy_bytes(np.arange(6, dtype=np.int64).reshape(2, 3))
DIGEST = hashlib.sha256(PAYLOAD).hexdigest()
SNAPSHOT = {
    "id": 7,
    "name": "ds",
    "data_snapshot": {"id": 7, "name": "ds"},
    "data_snapshots": [{"id": 7}],
    # The latest version with a file holds a pickle, the one before an npy file.
    "data_snapshot_versions": [
        {"id": 8, "version": 1, "files": [{"filename": "f.npy", "sha256": DIGEST}]},
        {"id": 9, "version": 2, "files": [{"filename": "p.pickle", "sha256": DIGEST}]},
    ],
}


class AnsweringCorlett:
    """The request object, answering every request with one fixed body."""

    def __init__(self, answer: Any) -> None:
        self.answer = answer

    def get(self, *args: Any, **kwargs: Any) -> Any:
        return self.answer

    def post(self, *args: Any, **kwargs: Any) -> Any:
        return self.answer

    def download(self, *args: Any, **kwargs: Any) -> Any:
        return self.answer


class DownloadingCorlett(AnsweringCorlett):
    """The request object, sending `PAYLOAD` as every download."""

    def download(self, endpoint: str, binary: Any, params: Any = None) -> Any:
        binary.write(PAYLOAD)
        return {"size": len(PAYLOAD), "sha256": DIGEST}


class FailingCorlett:
    """The request object of a service that cannot be reached."""

    def get(self, *args: Any, **kwargs: Any) -> Any:
        raise ConnectionError("service unreachable")

    post = download = get


CLIENT_SETTINGS = SimpleNamespace(
    VELORA_WORKSPACE_ID="w1",
    VELORA_PROJECT_ID="p2",
    VELORA_USER_ID="u3",
    ARGO_WORKFLOW_RUN_ID="r4",
    VELORA_SDK_TOKEN="t0ken",
    VELORA_WEBDAV_URL="http://dav.test",
    VELORA_PROJECT_DIR="proj",
)


def serve(
    corlett: Any, workload: Any = WorkloadType.dev_instance
) -> Callable[[pytest.MonkeyPatch, Any], None]:
    """Patches the request object, the client's settings and the workload the operations detect."""

    def prepare(monkeypatch: pytest.MonkeyPatch, tmp_path: Any) -> None:
        monkeypatch.setattr(client_module, "corlett", corlett)
        monkeypatch.setattr(client_module, "settings", CLIENT_SETTINGS)
        monkeypatch.setattr(methods_module, "inspect_workload_type", lambda: workload)

    return prepare


ANSWERING = serve(AnsweringCorlett(SNAPSHOT))
NOT_A_DICT = serve(AnsweringCorlett([SNAPSHOT]))
UNREACHABLE = serve(FailingCorlett())


class Stream:
    """An upload body; the client hands it on without reading it."""

    name = "table.csv"


STREAM = Stream()

# (function, arguments that succeed, arguments of the wrong type)
CLIENT_CALLS: list[tuple[str, tuple[Any, ...], tuple[Any, ...]]] = [
    ("sdk_upload_data_snapshot", (fresh("ds"), fresh("t.csv"), STREAM, fresh("about")), (b"ds", "t", STREAM)),
    ("sdk_create_data_snapshot", (fresh("ds"), None, 1), (fresh("ds"), 3)),
    ("sdk_get_data_snapshot_by_name", (fresh("ds"),), (7,)),
    ("sdk_create_data_snapshot_version", (7.0, fresh("v")), ("7",)),
    ("sdk_get_data_snapshot_list", (2, 50), (2, "50")),
    ("sdk_get_data_snapshot_detail", (12345,), (None,)),
    (
        "sdk_get_code_snippet_to_upload_tabular_data_snapshot",
        (fresh("ds"), fresh("df"), fresh("csv")),
        ("ds", "df", 1),
    ),
    ("sdk_get_code_snippet_to_import_data_snapshot", (7, 8.9), (7, [8])),
    ("internal_create_data_snapshot", (fresh("ds"), fresh("about"), [0]), (DatasetFileType.csv,)),
    ("internal_get_data_snapshot_by_name", (fresh("ds"),), (None,)),
    ("internal_create_data_snapshot_version", (7, fresh("v")), (7, 8)),
    ("internal_upload_data_snapshot", (fresh("ds"), STREAM, None), ("ds", STREAM, 1.5)),
    ("sdk_get_data_snapshot_versions", (7,), ("7",)),
    ("internal_get_data_snapshot_versions", (7.5,), (None,)),
    ("sdk_download_data_snapshot_file", (7, 8, fresh("f.npy"), STREAM), (7, 8, b"f.npy", STREAM)),
    ("internal_download_data_snapshot_file", (7, 8.5, fresh("f.npy"), STREAM), (7, "8", "f.npy", STREAM)),
]


def client_cases() -> list[Case]:
    cases = []
    for name, good, wrong in CLIENT_CALLS:
        function = getattr(client_module, name)
        cases += [
            Case("ok", name, function, good, prepare=ANSWERING),
            Case("wrong type", name, function, wrong, raises=TypeError, match=WRONG_TYPE, prepare=ANSWERING),
            Case(
                "answer not a dict",
                name,
                function,
                good,
                raises=TypeError,
                match="Expected dict",
                prepare=NOT_A_DICT,
            ),
            Case("request raises", name, function, good, raises=ConnectionError, prepare=UNREACHABLE),
        ]
    # Keywords are sorted out by the argument layer all functions share: one check per family.
    for name in ("sdk_create_data_snapshot", "internal_create_data_snapshot"):
        function = getattr(client_module, name)
        cases.append(
            Case(
                "unknown keyword", name, function, (), {"name": "ds", "bogus": 1}, TypeError, UNKNOWN_KEYWORD
            )
        )
    return cases


CORLETT_CASES = client_cases()

# ---------------------------------------------------------------- velora.dataset.methods


def scratch_directory(tmp_path: Path) -> Path:
    return tmp_path / "scratch"


def saving(
    workload: Any = WorkloadType.dev_instance, corlett: Any = None
) -> Callable[[pytest.MonkeyPatch, Any], None]:
    """`serve`, with save_dataset's temporary directories made under the test's scratch directory."""
    answering = serve(corlett or AnsweringCorlett(SNAPSHOT), workload)

    def prepare(monkeypatch: pytest.MonkeyPatch, tmp_path: Any) -> None:
        answering(monkeypatch, tmp_path)
        scratch = scratch_directory(tmp_path)
        scratch.mkdir()
        temporary = functools.partial(tempfile.TemporaryDirectory, dir=scratch)
        monkeypatch.setattr(methods_module, "tempfile", SimpleNamespace(TemporaryDirectory=temporary))

    return prepare


def downloading(corlett: Any = None) -> Callable[[pytest.MonkeyPatch, Any], None]:
    """`saving`, with downloads answered by `PAYLOAD` into a current directory of their own."""
    answering = saving(corlett=corlett or DownloadingCorlett(SNAPSHOT))

    def prepare(monkeypatch: pytest.MonkeyPatch, tmp_path: Any) -> None:
        answering(monkeypatch, tmp_path)
        (tmp_path / "downloads").mkdir()
        monkeypatch.chdir(tmp_path / "downloads")

    return prepare


class FinishedProcess:
    """`subprocess.Popen` of an rclone that exits at once with `returncode`."""

    returncode = 0
    error = b""

    def __init__(self, args: list[str], stderr: Any = None) -> None:
        self.args = args

    def __enter__(self) -> FinishedProcess:
        return self

    def __exit__(self, *exc: object) -> None:
        pass

    def communicate(self) -> tuple[bytes, bytes]:
        return b"", self.error


class FailedProcess(FinishedProcess):
    returncode = 1
    error = b"mount: permission denied"


class RootedPath:
    """`Path` for mount_dataset: absolute paths land under a directory of the test, home is in it."""

    def __init__(self, root: Path) -> None:
        self.root = root

    def __call__(self, text: str) -> Path:
        return self.root / PurePosixPath(text).relative_to("/")

    def home(self) -> Path:
        return self.root / "home"


def mounting(process: type[FinishedProcess]) -> Callable[[pytest.MonkeyPatch, Any], None]:
    def prepare(monkeypatch: pytest.MonkeyPatch, tmp_path: Any) -> None:
        monkeypatch.setattr(methods_module, "settings", CLIENT_SETTINGS)
        monkeypatch.setattr(methods_module, "Path", RootedPath(tmp_path))
        monkeypatch.setattr(methods_module, "subprocess", SimpleNamespace(PIPE=-1, Popen=process))

    return prepare


def no_project(monkeypatch: pytest.MonkeyPatch, tmp_path: Any) -> None:
    monkeypatch.setattr(methods_module, "settings", SimpleNamespace(VELORA_PROJECT_ID=None))


TABLE = np.arange(6, dtype=np.int64).reshape(2, 3)
LONG = "d" * 101
PIPELINE = serve(AnsweringCorlett(SNAPSHOT), WorkloadType.pipeline)
UNKNOWN_WORKLOAD = serve(AnsweringCorlett(SNAPSHOT), None)

# (operation, arguments that succeed, arguments refused by the operation itself)
OPERATION_CALLS: list[tuple[str, tuple[Any, ...], tuple[Any, ...]]] = [
    ("create_dataset", (fresh("ds"), fresh("about"), 1), (fresh("ds"), LONG)),
    ("create_dataset_version", (fresh("ds"), None), (fresh("ds"), LONG)),
    ("create_dataset_version_by_id", (7.5, fresh("v")), (7, LONG)),
    ("get_dataset_list", (1, 10), ()),
    ("get_dataset", (7,), ()),
    ("get_code_snippet_to_upload_dataset", (fresh("ds"), fresh("df"), fresh("csv")), ()),
    ("get_code_snippet_to_import_dataset", (7, 8), ()),
    ("get_dataset_versions", (fresh("ds"),), ()),
]
DEV_ONLY = {
    "create_dataset_version_by_id",
    "get_dataset_list",
    "get_dataset",
    "get_code_snippet_to_upload_dataset",
    "get_code_snippet_to_import_dataset",
}


def operation_cases() -> list[Case]:
    cases = []
    for name, good, refused in OPERATION_CALLS:
        function = getattr(methods_module, name)
        cases += [
            Case("ok", name, function, good, prepare=ANSWERING),
            Case("unknown workload", name, function, good, raises=ValueError, prepare=UNKNOWN_WORKLOAD),
            Case("request raises", name, function, good, raises=ConnectionError, prepare=UNREACHABLE),
            Case("answer not a dict", name, function, good, raises=TypeError, prepare=NOT_A_DICT),
        ]
        if name == "create_dataset":
            cases.append(
                Case("arity", name, function, (*good, 1), raises=TypeError, match=ARITY, prepare=ANSWERING)
            )
        if refused:
            cases.append(Case("refused", name, function, refused, raises=ValueError, prepare=ANSWERING))
        if name in DEV_ONLY:
            cases.append(Case("pipeline", name, function, good, raises=NotImplementedError, prepare=PIPELINE))
        else:
            cases.append(Case("pipeline", name, function, good, prepare=PIPELINE))
    return cases


save_dataset = methods_module.save_dataset
mount_dataset = methods_module.mount_dataset
download_dataset = methods_module.download_dataset
load_dataset = methods_module.load_dataset
# Each call makes, writes, reads and removes a temporary directory and file (about 0.7 ms of
# file system work): 3% of the count, still thousands of calls.
SAVE_CASES = scaled(
    0.03,
    [
        Case(
            "npy", "save_dataset", save_dataset, (fresh("ds"), TABLE, DatasetFileType.npy), prepare=saving()
        ),
        Case(
            "pickle in a pipeline",
            "save_dataset",
            save_dataset,
            (fresh("ds"), TABLE, DatasetFileType.pickle, fresh("about")),
            prepare=saving(WorkloadType.pipeline),
        ),
        Case(
            "upload raises",
            "save_dataset",
            save_dataset,
            (fresh("ds"), TABLE, DatasetFileType.npy),
            raises=ConnectionError,
            prepare=saving(corlett=FailingCorlett()),
        ),
        Case(
            "unknown file type",
            "save_dataset",
            save_dataset,
            (fresh("ds"), TABLE, fresh("xlsx")),
            raises=ValueError,
            match="file_type is not supported type",
            prepare=saving(),
        ),
    ],
)
SAVE_CASES += [
    Case(
        "not a table",
        "save_dataset",
        save_dataset,
        (fresh("ds"), [1], "csv"),
        raises=ValueError,
        prepare=ANSWERING,
    ),
    Case(
        "wrong type", "save_dataset", save_dataset, (b"ds", TABLE, "csv"), raises=TypeError, prepare=ANSWERING
    ),
    # Each call rewrites the configuration file and makes the mount points (about 0.4 ms).
    *scaled(
        0.1,
        [
            Case("ok", "mount_dataset", mount_dataset, prepare=mounting(FinishedProcess)),
            Case(
                "rclone fails",
                "mount_dataset",
                mount_dataset,
                raises=RuntimeError,
                prepare=mounting(FailedProcess),
            ),
        ],
    ),
    Case(
        "no project",
        "mount_dataset",
        mount_dataset,
        raises=ValueError,
        match="VELORA_PROJECT_ID",
        prepare=no_project,
    ),
    Case("arity", "mount_dataset", mount_dataset, (1,), raises=TypeError, match="takes no arguments"),
]

# Each call writes, hashes, renames (or removes) a file, and load_dataset also reads it in a
# temporary directory of its own: 3% of the count, as for save_dataset.
DOWNLOAD_CASES = scaled(
    0.03,
    [
        Case("ok", "download_dataset", download_dataset, (fresh("ds"),), prepare=downloading()),
        Case(
            "checksum mismatch",
            "download_dataset",
            download_dataset,
            (fresh("ds"), 1),
            raises=ValueError,
            match="Checksum mismatch",
            prepare=downloading(AnsweringCorlett(SNAPSHOT)),
        ),
        Case("npy", "load_dataset", load_dataset, (fresh("ds"), 1), prepare=downloading()),
        Case(
            "pickle allowed",
            "load_dataset",
            load_dataset,
            (fresh("ds"),),
            {"allow_pickle": 1},
            raises=pickle.UnpicklingError,
            prepare=downloading(),
        ),
    ],
)
DOWNLOAD_CASES += [
    Case(
        "no such version",
        "download_dataset",
        download_dataset,
        (fresh("ds"), 3),
        raises=ValueError,
        match="has no version 3",
        prepare=ANSWERING,
    ),
    Case("wrong type", "download_dataset", download_dataset, (b"ds",), raises=TypeError, prepare=ANSWERING),
    Case(
        "pickle refused",
        "load_dataset",
        load_dataset,
        (fresh("ds"),),
        raises=ValueError,
        match="allow_pickle=True",
        prepare=ANSWERING,
    ),
    Case("wrong type", "load_dataset", load_dataset, (fresh("ds"), "1"), raises=TypeError, prepare=ANSWERING),
]

METHODS_CASES = operation_cases() + SAVE_CASES + DOWNLOAD_CASES

# ------------------------------------------------ velora.model_registry.methods.frameworks.mlflow


class Regressor:
    """A loaded model whose methods answer at once."""

    def predict(self, sample: Any) -> Any:
        return sample

    def score(self, *context_and_sample: Any) -> Any:
        return [1.0, 2.0]


REGRESSOR = Regressor()


def cheap_loader(model_uri: Any) -> Regressor:
    return REGRESSOR


def loading(monkeypatch: pytest.MonkeyPatch, tmp_path: Any) -> None:
    table = mlflow_module.EVALUATION_FUNC_MAP
    lazy, evaluate, _ = table[ModelFramework.sklearn]
    monkeypatch.setitem(table, ModelFramework.sklearn, (lazy, evaluate, cheap_loader))


def failing_loader(model_uri: Any) -> Any:
    raise OSError(f"no model at {model_uri}")


def loading_fails(monkeypatch: pytest.MonkeyPatch, tmp_path: Any) -> None:
    table = mlflow_module.EVALUATION_FUNC_MAP
    lazy, evaluate, _ = table[ModelFramework.sklearn]
    monkeypatch.setitem(table, ModelFramework.sklearn, (lazy, evaluate, failing_loader))


SKLEARN_MODEL = SimpleNamespace(flavors={"python_function": {}, "sklearn": {}}, model_uri="models:/m-1")
ONE_FLAVOR = SimpleNamespace(flavors={"python_function": {}}, model_uri="models:/m-2")
NO_FRAMEWORK = SimpleNamespace(flavors={"python_function": {}, "h2o": {}}, model_uri="models:/m-3")
SAMPLE = np.zeros((2, 2))
INPUTS = {"predict": [SAMPLE, SAMPLE], "score": [SAMPLE]}


class S3Client:
    """boto3's S3 client: two listing pages of the model's objects."""

    PAGES = (
        {"Contents": [{"Size": 10}, {"Size": 20}], "IsTruncated": True, "NextContinuationToken": "p2"},
        {"Contents": [{"Size": 5}], "IsTruncated": False},
    )

    def list_objects_v2(self, **request: Any) -> dict[str, Any]:
        return self.PAGES[1 if "ContinuationToken" in request else 0]


S3 = SimpleNamespace(client=lambda *args, **kwargs: S3Client())
S3_RUN = SimpleNamespace(info=SimpleNamespace(artifact_uri="s3://bucket/1/r1/artifacts"))
MODEL_AT = SimpleNamespace(artifact_path="model")


def registry(monkeypatch: pytest.MonkeyPatch, tmp_path: Any) -> None:
    data = MLFlowModelRegistryData("http://127.0.0.1:1", "key-id", "secret")
    monkeypatch.setattr(settings, "model_registry", ModelRegistry(data))
    monkeypatch.setattr(mlflow_module, "boto3", S3)
    model = tmp_path / "artifacts" / "model"
    model.mkdir(parents=True)
    (model / "MLmodel").write_text("flavors: {}\n")
    (model / "model.pkl").write_bytes(b"\0" * 64)


def local_run(tmp_path: Path) -> SimpleNamespace:
    return SimpleNamespace(info=SimpleNamespace(artifact_uri=(tmp_path / "artifacts").as_uri()))


class LocalRun:
    """A run whose artifacts are the test's files (the path is known only once the test runs)."""

    def __init__(self) -> None:
        self.info = SimpleNamespace(artifact_uri="file:///nonexistent")


LOCAL_RUN = LocalRun()


def local_registry(monkeypatch: pytest.MonkeyPatch, tmp_path: Any) -> None:
    registry(monkeypatch, tmp_path)
    monkeypatch.setattr(LOCAL_RUN, "info", local_run(tmp_path).info)


def no_registry(monkeypatch: pytest.MonkeyPatch, tmp_path: Any) -> None:
    monkeypatch.setattr(settings, "model_registry", None)


class Wrapped:
    def unwrap_python_model(self) -> Regressor:
        return REGRESSOR


class Keras:
    def predict(self, sample: Any) -> Any:
        return (sample, None)


extract = mlflow_module.extract_framework_type_from
evaluate = mlflow_module.evaluate_model
artifact_size = mlflow_module.get_artifact_size_bytes
MLFLOW_CASES = [
    ok("extract_framework_type_from", extract, SKLEARN_MODEL),
    ok("extract_framework_type_from", extract, ONE_FLAVOR, id="single flavor"),
    fails(
        "extract_framework_type_from",
        extract,
        RuntimeError,
        "not found framework",
        NO_FRAMEWORK,
        id="unknown",
    ),
    fails("extract_framework_type_from", extract, AttributeError, "flavors", object(), id="no flavors"),
    Case("ok", "evaluate_model", evaluate, (SKLEARN_MODEL, INPUTS), prepare=loading),
    Case(
        "missing method",
        "evaluate_model",
        evaluate,
        (SKLEARN_MODEL, {"transform": [SAMPLE]}),
        raises=AttributeError,
        prepare=loading,
    ),
    Case(
        "not a dictionary",
        "evaluate_model",
        evaluate,
        (SKLEARN_MODEL, [SAMPLE]),
        raises=ValueError,
        match="inputs_sample should be a dictionary",
        prepare=loading,
    ),
    Case(
        "loader raises",
        "evaluate_model",
        evaluate,
        (SKLEARN_MODEL, INPUTS),
        raises=OSError,
        prepare=loading_fails,
    ),
    Case("s3", "get_artifact_size_bytes", artifact_size, (S3_RUN, MODEL_AT), prepare=registry),
    Case("local", "get_artifact_size_bytes", artifact_size, (LOCAL_RUN, MODEL_AT), prepare=local_registry),
    Case(
        "no run",
        "get_artifact_size_bytes",
        artifact_size,
        (None, MODEL_AT),
        raises=ValueError,
        prepare=registry,
    ),
    Case(
        "no registry",
        "get_artifact_size_bytes",
        artifact_size,
        (S3_RUN, MODEL_AT),
        raises=ValueError,
        prepare=no_registry,
    ),
    Case(
        "path not text",
        "get_artifact_size_bytes",
        artifact_size,
        (S3_RUN, SimpleNamespace(artifact_path=7)),
        raises=TypeError,
        prepare=registry,
    ),
    # The evaluation functions of the frameworks that need no runtime of their own.
    ok("_evaluate_basis_model", mlflow_module._evaluate_basis_model, REGRESSOR, fresh("predict"), SAMPLE),
    fails(
        "_evaluate_basis_model",
        mlflow_module._evaluate_basis_model,
        AttributeError,
        "transform",
        REGRESSOR,
        fresh("transform"),
        SAMPLE,
        id="missing method",
    ),
    ok("_evaluate_pyfunc_model", mlflow_module._evaluate_pyfunc_model, Wrapped(), fresh("score"), SAMPLE),
    ok(
        "_evaluate_tensorflow_model",
        mlflow_module._evaluate_tensorflow_model,
        Keras(),
        fresh("predict"),
        SAMPLE,
    ),
    fails(
        "_evaluate_tensorflow_model",
        mlflow_module._evaluate_tensorflow_model,
        TypeError,
        WRONG_TYPE,
        Keras(),
        b"predict",
        SAMPLE,
        id="wrong type",
    ),
]

# ---------------------------------------------------------------- velora.inference_services.brinwell

Match = InferenceDatabaseRecordsMatchType
FILTERS = [
    InferenceDatabaseRecordsFilter(column_name="age", match_type=Match.gte, match_value=30),
    InferenceDatabaseRecordsFilter(column_name="name", match_type=Match.like, match_value="ann"),
]
SORTING = [
    InferenceDatabaseRecordsSorting(column_name="age", order_type=InferenceDatabaseRecordsOrderType.desc)
]
# A sort whose direction the record would refuse on validation.
BAD_SORTING = InferenceDatabaseRecordsSorting.model_construct(
    column_name="age", order_type=SimpleNamespace(value="RANDOM()")
)
BUILDERS = {
    cls: cls() for cls in (PostgreSQLQueryBuilder, MySQLQueryBuilder, MSSQLQueryBuilder, OracleQueryBuilder)
}


class CustomBuilder(DBQueryBuilder):
    """A dialect of a user's own: the base class with its one abstract method."""

    def build_schema_query(self, table_name: str) -> str:
        return table_name


class QuotingBuilder(PostgreSQLQueryBuilder):
    """A user's dialect that overrides what build_select_query calls: the query goes through them."""

    def quote_identifier(self, identifier: str) -> str:
        return f"[{identifier}]"

    def get_operator(self, match_type: Any) -> str:
        return "=="

    def add_pagination(self, query: str, limit: int | None, offset: int | None) -> str:
        return f"{query} -- {limit}"


class RefusingBuilder(PostgreSQLQueryBuilder):
    def quote_identifier(self, identifier: str) -> str:
        raise LookupError(identifier)


# The methods a dialect class may define (every one defines the first two), checked where it
# does: (method, arguments it returns for, the exception and message it raises for the other
# arguments, and the case's name).
DIALECT_METHODS: list[tuple[str, tuple[Any, ...], type[BaseException], str, tuple[Any, ...], str]] = [
    ("validate_custom_query", ("SELECT 'a' FROM t",), TypeError, WRONG_TYPE, (1,), "type"),
    ("build_schema_query", ("records",), ValueError, "", ("a\0b",), "nul"),
    ("add_pagination", ("SELECT * FROM t ORDER BY a", 10, 20), TypeError, "", ("q", "10", 2), "type"),
    ("quote_identifier", ("we]ird",), TypeError, WRONG_TYPE, (None,), "type"),
]


def dialect_cases(cls: type[DBQueryBuilder]) -> list[Case]:
    name = cls.__name__
    builder = BUILDERS[cls]  # type: ignore[index]
    cases = [
        ok(name, cls),
        fails(name, cls, TypeError, "", 1, id="arity"),
        ok(f"{name}.__init__", cls.__init__, builder),
        fails(f"{name}.__init__", cls.__init__, TypeError, ARITY, id="no self"),
    ]
    for method, good, raises, match, bad, refusal in DIALECT_METHODS:
        if method in vars(cls):
            call = getattr(builder, method)
            cases += [
                ok(f"{name}.{method}", call, *map(fresh_text, good)),
                fails(f"{name}.{method}", call, raises, match, *map(fresh_text, bad), id=refusal),
            ]
    return cases


POSTGRES = BUILDERS[PostgreSQLQueryBuilder]
ORACLE = BUILDERS[OracleQueryBuilder]
SELECT = "DBQueryBuilder.build_select_query"
BRINWELL_CASES = [
    ok("DBQueryBuilder", CustomBuilder),
    fails("DBQueryBuilder", DBQueryBuilder, TypeError, "abstract", id="abstract"),
    ok("DBQueryBuilder.__init__", DBQueryBuilder.__init__, POSTGRES),
    fails("DBQueryBuilder.__init__", DBQueryBuilder.__init__, TypeError, ARITY, POSTGRES, 1, id="arity"),
    ok(
        "DBQueryBuilder.validate_custom_query",
        DBQueryBuilder.validate_custom_query,
        POSTGRES,
        fresh('SELECT "a"'),
    ),
    fails(
        "DBQueryBuilder.validate_custom_query",
        DBQueryBuilder.validate_custom_query,
        TypeError,
        UNKNOWN_KEYWORD,
        POSTGRES,
        fresh("SELECT 1"),
        id="keyword",
        strict=True,
    ),
    ok(SELECT, POSTGRES.build_select_query, fresh("records"), FILTERS, SORTING, 10, 5),
    ok(SELECT, QuotingBuilder().build_select_query, fresh("records"), FILTERS, SORTING, 10, id="overridden"),
    fails(
        SELECT,
        RefusingBuilder().build_select_query,
        LookupError,
        "records",
        fresh("records"),
        FILTERS,
        id="override raises",
    ),
    ok(SELECT, ORACLE.build_select_query, fresh("records"), FILTERS, SORTING[0], 10, 5),
    fails(
        SELECT,
        POSTGRES.build_select_query,
        ValueError,
        "Sort direction",
        fresh("records"),
        None,
        BAD_SORTING,
        id="bad direction",
    ),
    fails(
        SELECT,
        POSTGRES.build_select_query,
        AttributeError,
        "",
        fresh("records"),
        [object()],
        id="not a filter",
    ),
    fails(
        "DBQueryBuilder.build_schema_query",
        DBQueryBuilder.build_schema_query,
        NotImplementedError,
        "Subclass must implement",
        CustomBuilder(),
        fresh("t"),
        id="abstract",
    ),
    fails(
        "DBQueryBuilder.build_schema_query",
        DBQueryBuilder.build_schema_query,
        TypeError,
        ARITY,
        id="no self",
    ),
    ok("DBQueryBuilder.quote_identifier", POSTGRES.quote_identifier, fresh('we"ird')),
    fails(
        "DBQueryBuilder.quote_identifier",
        ORACLE.quote_identifier,
        ValueError,
        "Identifier",
        fresh("no spaces"),
        id="not plain",
    ),
    ok("DBQueryBuilder.get_operator", POSTGRES.get_operator, Match.like),
    fails(
        "DBQueryBuilder.get_operator",
        POSTGRES.get_operator,
        KeyError,
        "between",
        fresh("between"),
        id="unknown",
    ),
    ok("DBQueryBuilder.add_pagination", POSTGRES.add_pagination, fresh("SELECT * FROM t"), 10, None),
    fails("DBQueryBuilder.add_pagination", POSTGRES.add_pagination, TypeError, ARITY, fresh("q"), id="arity"),
    *[case for cls in BUILDERS for case in dialect_cases(cls)],
    ok("TiberoQueryBuilder", TiberoQueryBuilder),
    fails("TiberoQueryBuilder", TiberoQueryBuilder, TypeError, "", 1, id="arity"),
    ok("DBQueryBuilderFactory", DBQueryBuilderFactory),
    fails("DBQueryBuilderFactory", DBQueryBuilderFactory, TypeError, "", 1, id="arity"),
    ok("DBQueryBuilderFactory.get_builder", DBQueryBuilderFactory.get_builder, DatabaseType.tibero),
    fails(
        "DBQueryBuilderFactory.get_builder",
        DBQueryBuilderFactory.get_builder,
        ValueError,
        "Unsupported database type",
        fresh("sqlite"),
        id="unsupported",
    ),
]

# ---------------------------------------------------------------- velora.model_registry.schemas

S = schemas_module
BuilderContext = S.Revisionable.BuilderContext


class LaunchSource(pydantic.BaseModel):
    """The launch parameters' source record, as the registering code hands it over."""

    entityname: str
    resource_id: int | None = None
    run_uuid: str | None = None


MODEL_INFO = SimpleNamespace(artifact_path="model", model_uri="runs:/r1/model", run_id="r1")
IMAGE = SimpleNamespace(image_url="registry.local/velora/serving:1.4", run_uuid="0f6c1d3e-run")
LAUNCH = SimpleNamespace(source=LaunchSource(entityname="pipeline", resource_id=3, run_uuid="u"))
# numpy samples: a DataFrame's type inference in MLflow costs six times as much.
CONTEXT = BuilderContext(
    mlflow_model_info=MODEL_INFO,
    framework=ModelFramework.sklearn,
    inputs_sample={"predict": [np.zeros((2, 3))]},
    outputs_sample={"predict": [np.zeros(2)]},
    image_snapshot_info=IMAGE,
    artifact_size_bytes=2048,
    launch_params=LAUNCH,
    revision=SchemaRevision.rev2,
)
EMPTY_CONTEXT = BuilderContext()
SELF_CONTAINING = BuilderContext(name="loop")
SELF_CONTAINING.inner = SELF_CONTAINING
FOREIGN_WORKLOAD = BuilderContext(
    mlflow_model_info=MODEL_INFO,
    framework=ModelFramework.sklearn,
    image_snapshot_info=IMAGE,
    artifact_size_bytes=1,
    launch_params=SimpleNamespace(source=LaunchSource(entityname="notebook", resource_id=3)),
)

COLUMN_SPECS = [S.ColumnSpec(name="a", dtype="long"), S.ColumnSpec(name="b", dtype="double")]
TENSOR_SPECS = [S.TensorSpec(name="x", dtype="float64", shape=[-1, 3])]
COLUMNS = S.ColumnDataSchema(name="table", type=DataSchemaType.column, schema=COLUMN_SPECS)
TENSORS = S.TensorDataSchema(name="array", type=DataSchemaType.tensor, schema=TENSOR_SPECS)
FLAVORS = S.ModelFlavors(model_path="model", framework=ModelFramework.onnx)
EXTENSIONS = S.ModelExtensions.build(CONTEXT)
SIGNATURE = S.ModelSignature(inputs=[TENSORS], outputs=[TENSORS])
CONFIG = S.ModelConfig(flavors=FLAVORS, signatures={"predict": SIGNATURE}, extensions=EXTENSIONS)
CONFIG_DICT = CONFIG.to_dict()
CONFIG_TEXT = json.dumps(CONFIG_DICT)
IMAGE_SERVICE = S.VeloraImageSnapshotService(name="image_snapshots", resource_uuid="u1")


class Sink:
    """A text stream that keeps nothing."""

    def write(self, text: str) -> int:
        return len(text)


class Source:
    """A text stream that reads as one document, every time."""

    def __init__(self, text: str) -> None:
        self.text = text

    def read(self, size: int = -1) -> str:
        return self.text


def revision_file(monkeypatch: pytest.MonkeyPatch, tmp_path: Any) -> None:
    (tmp_path / S.Revision.get_filename()).write_text('{"revision": "2"}')
    monkeypatch.chdir(tmp_path)


def record_cases(cls: type[Any], good: dict[str, Any], bad: dict[str, Any]) -> list[Case]:
    """Construction of a record: valid fields, and fields the record refuses."""
    name = cls.__name__
    return [
        Case("ok", name, cls, kwargs=good),
        Case("refused", name, cls, kwargs=bad, raises=pydantic.ValidationError),
    ]


def validator_cases(
    covers: str, validator: Callable[..., Any], good: Any, bad: Any, message: str
) -> list[Case]:
    return [ok(covers, validator, good), fails(covers, validator, ValueError, message, bad, id="refused")]


def builder_cases(covers: str, build: Callable[..., Any], message: str = "not found") -> list[Case]:
    return [
        ok(covers, build, CONTEXT),
        fails(covers, build, ValueError, message, EMPTY_CONTEXT, id="empty context"),
    ]


SCHEMAS_CASES = [
    *record_cases(S.SchemaSpec, {"name": fresh("a"), "dtype": fresh("long")}, {"name": ""}),
    *validator_cases("SchemaSpec.validate_name", S.SchemaSpec.validate_name, fresh("a"), fresh(""), "empty"),
    *record_cases(S.ColumnSpec, {"dtype": fresh("long"), "shape": [1]}, {"dtype": "long", "shape": [2]}),
    *validator_cases("ColumnSpec.validate_shape", S.ColumnSpec.validate_shape, [1], [1, 2], "should be"),
    *record_cases(S.TensorSpec, {"dtype": fresh("float64"), "shape": [-1, 3]}, {"dtype": "float64"}),
    *record_cases(
        S.DataSchema,
        {"name": fresh("t"), "type": DataSchemaType.column, "schema": COLUMN_SPECS},
        {"name": "t", "type": "other", "schema": COLUMN_SPECS},
    ),
    *record_cases(
        S.ColumnDataSchema,
        {"name": fresh("t"), "type": DataSchemaType.column, "schema": COLUMN_SPECS},
        {"name": "t", "type": DataSchemaType.column, "schema": [*COLUMN_SPECS, COLUMN_SPECS[0]]},
    ),
    *validator_cases(
        "ColumnDataSchema.validate_schema",
        S.ColumnDataSchema.validate_schema,
        COLUMN_SPECS,
        [COLUMN_SPECS[0], S.ColumnSpec(dtype="long")],
        "Either all or none",
    ),
    *record_cases(
        S.TensorDataSchema,
        {"name": fresh("x"), "type": DataSchemaType.tensor, "schema": TENSOR_SPECS},
        {"name": "x", "type": DataSchemaType.column, "schema": TENSOR_SPECS},
    ),
    *validator_cases(
        "TensorDataSchema.validate_schema",
        S.TensorDataSchema.validate_schema,
        TENSOR_SPECS,
        [S.TensorSpec(dtype="f", shape=[1]), S.TensorSpec(dtype="f", shape=[1])],
        "Tensor name is needed",
    ),
    *record_cases(S.ColumnSpecModel, {"dtype": fresh("long")}, {"dtype": 1.5}),
    *record_cases(S.TensorSpecModel, {"dtype": fresh("long"), "shape": [3]}, {"dtype": "long"}),
    ok("Revisionable.BuilderContext", BuilderContext, entry=fresh("value")),
    fails("Revisionable.BuilderContext", BuilderContext, TypeError, "", 1, id="positional"),
    ok("Revisionable.BuilderContext.__repr__", BuilderContext.__repr__, FOREIGN_WORKLOAD),
    ok("Revisionable.BuilderContext.__repr__", BuilderContext.__repr__, SELF_CONTAINING, id="recursive"),
    fails("Revisionable.BuilderContext.__repr__", BuilderContext.__repr__, TypeError, ARITY, id="no self"),
    ok("Revisionable", S.Revision, revision=SchemaRevision.rev1),  # a concrete Revisionable
    fails("Revisionable", S.Revisionable, TypeError, "abstract", id="abstract"),
    ok("Revisionable.dump", CONFIG.dump, Sink()),
    fails("Revisionable.dump", CONFIG.dump, AttributeError, "write", object(), id="not a stream"),
    ok("Revisionable.load", S.Revisionable.load, Source(CONFIG_TEXT)),
    fails("Revisionable.load", S.Revisionable.load, TypeError, ARITY, id="arity"),
    ok("Revisionable.to_dict", S.Revisionable.to_dict, CONFIG),
    fails("Revisionable.to_dict", S.Revisionable.to_dict, TypeError, ARITY, id="arity"),
    ok("Revisionable.from_dict", S.Revisionable.from_dict, CONFIG_DICT),
    fails("Revisionable.from_dict", S.Revisionable.from_dict, TypeError, ARITY, id="arity"),
    ok("Revisionable.build", S.Revisionable.build, CONTEXT),
    fails(
        "Revisionable.build", S.Revisionable.build, TypeError, UNKNOWN_KEYWORD, CONTEXT, id="keyword", fast=1
    ),
    ok("Revisionable.get_filename", S.ModelConfig.get_filename),
    fails(
        "Revisionable.get_filename",
        S.Revisionable.get_filename,
        ValueError,
        "empty schema_name",
        id="no schema name",
    ),
    ok(
        "Revisionable.extract_schema_name_from_filename",
        S.IOSample.extract_schema_name_from_filename,
        fresh("a.json"),
    ),
    fails(
        "Revisionable.extract_schema_name_from_filename",
        S.IOSample.extract_schema_name_from_filename,
        TypeError,
        WRONG_TYPE,
        Path("a.json"),
        id="path",
    ),
    ok("Revisionable.get_schema_name", S.Revisionable.get_schema_name),
    fails("Revisionable.get_schema_name", S.Revisionable.get_schema_name, TypeError, ARITY, 1, id="arity"),
    ok("RevisionableSchema", S.IOSample, signatures={}),  # a concrete RevisionableSchema
    fails("RevisionableSchema", S.RevisionableSchema, TypeError, "", fresh("x"), id="positional"),
    ok("RevisionableSchema.to_dict", CONFIG.to_dict),
    fails(
        "RevisionableSchema.to_dict",
        S.RevisionableSchema.to_dict,
        AttributeError,
        "",
        object(),
        id="not a record",
    ),
    ok("RevisionableSchema.load", S.ModelConfig.load, Source(CONFIG_TEXT)),
    fails(
        "RevisionableSchema.load", S.ModelConfig.load, json.JSONDecodeError, "", Source("{"), id="not json"
    ),
    ok("RevisionableSchema.from_dict", S.ModelConfig.from_dict, CONFIG_DICT),
    fails(
        "RevisionableSchema.from_dict", S.ModelConfig.from_dict, pydantic.ValidationError, "", {}, id="empty"
    ),
    fails(
        "RevisionableSchema.build", S.RevisionableSchema.build, NotImplementedError, "", CONTEXT, id="base"
    ),
    ok("RevisionableSchema.get_schema_name", S.IOSample.get_schema_name),
    fails(
        "RevisionableSchema.get_schema_name",
        S.RevisionableSchema.get_schema_name,
        AttributeError,
        "",
        id="none",
    ),
    ok("Revision", S.Revision, revision=fresh("1")),
    fails("Revision", S.Revision, pydantic.ValidationError, "", revision=fresh("9"), id="unknown revision"),
    Case("ok", "Revision.parse", S.Revision.parse, (fresh("."),), prepare=revision_file),
    fails("Revision.parse", S.Revision.parse, FileNotFoundError, "", fresh("/nonexistent"), id="missing"),
    ok("Revision.build", S.Revision.build, CONTEXT),
    fails("Revision.build", S.Revision.build, AttributeError, "revision", EMPTY_CONTEXT, id="empty context"),
    *record_cases(S.IOField, {"name": fresh("x"), "data": [1, 2]}, {"data": [1]}),
    *record_cases(S.IOSignature, {"inputs": [1], "outputs": None}, {"outputs": []}),
    *record_cases(S.IOSample, {"signatures": {"predict": {"inputs": []}}}, {"signatures": 1}),
    *builder_cases("IOSample.build", S.IOSample.build),
    ok("IOSample.generate_io_field", S.IOSample.generate_io_field, np.zeros((2, 3)), fresh("x")),
    fails(
        "IOSample.generate_io_field",
        S.IOSample.generate_io_field,
        ValueError,
        "",
        object(),
        fresh("x"),
        id="other",
    ),
    *record_cases(S.ModelSignature, {"inputs": [TENSORS], "outputs": None}, {"inputs": [TENSORS, TENSORS]}),
    *validator_cases(
        "ModelSignature.validate_unique_name",
        S.ModelSignature.validate_unique_name,
        [COLUMNS, TENSORS],
        [TENSORS, TENSORS],
        "",
    ),
    *builder_cases("ModelSignature.build", S.ModelSignature.build),
    ok("ModelSignature.generate_io_field", S.ModelSignature.generate_io_field, fresh("x"), np.zeros((2, 3))),
    fails(
        "ModelSignature.generate_io_field",
        S.ModelSignature.generate_io_field,
        Exception,
        "",
        fresh("x"),
        object(),
        id="other",
    ),
    *record_cases(
        S.ModelFlavors, {"model_path": fresh("m"), "framework": ModelFramework.onnx}, {"model_path": 1}
    ),
    *builder_cases("ModelFlavors.build", S.ModelFlavors.build),
    *record_cases(S.ModelInfo, {"created_at": 1_717_171_717, "artifact_size": None}, {"created_at": "soon"}),
    *record_cases(
        S.VeloraImageSnapshotService,
        {"name": fresh("image_snapshots"), "resource_uuid": fresh("u")},
        {"name": "x"},
    ),
    *record_cases(
        S.RuntimeContainer, {"image_url": fresh("i"), "service": IMAGE_SERVICE}, {"image_url": "i"}
    ),
    ok("SourceWorkload", S.SourceWorkload),
    fails("SourceWorkload", S.SourceWorkload, TypeError, "", 1, id="positional"),
    *record_cases(
        S.LinkWorkload, {"entityname": WorkloadType.dev_instance, "resource_id": 3}, {"resource_id": 3}
    ),
    *record_cases(
        S.TrainingRunWorkload,
        {"entityname": WorkloadType.pipeline, "resource_id": 3, "run_uuid": fresh("u")},
        {"entityname": WorkloadType.dev_instance, "resource_id": 3},
    ),
    *record_cases(
        S.ModelExtensions,
        {
            "model_info": {"created_at": 1},
            "container": {"image_url": "i", "service": IMAGE_SERVICE},
            "source": None,
        },
        {"model_info": {"created_at": 1}, "container": None, "source": None},
    ),
    *builder_cases("ModelExtensions.build", S.ModelExtensions.build),
    fails(
        "ModelExtensions.build",
        S.ModelExtensions.build,
        ValueError,
        "",
        FOREIGN_WORKLOAD,
        id="foreign workload",
    ),
    *record_cases(
        S.ModelConfig, {"flavors": FLAVORS, "signatures": {"predict": SIGNATURE}}, {"signatures": {}}
    ),
    *validator_cases(
        "ModelConfig.validate_method_name",
        S.ModelConfig.validate_method_name,
        {"predict": SIGNATURE},
        {"not a name": SIGNATURE},
        "python method name",
    ),
    *builder_cases("ModelConfig.build", S.ModelConfig.build),
    *record_cases(
        S.VeloraParamModel, {"type": fresh("tensor"), "schema": [{"dtype": "f", "shape": [1]}]}, {"type": "t"}
    ),
    *record_cases(S.VeloraSignatureModel, {"inputs": [], "outputs": []}, {"inputs": [1], "outputs": []}),
    *record_cases(
        S.ModelFlavorsModel, {"model_path": fresh("m"), "framework": fresh("onnx")}, {"framework": "onnx"}
    ),
    *record_cases(
        S.VeloraConfigModel,
        {"flavors": {"model_path": "m", "framework": "onnx"}, "signatures": {}},
        {"flavors": {}, "signatures": {}},
    ),
    *record_cases(
        S.MLFlowEssentialData,
        {"type": fresh("mlflow"), "artifact_path": fresh("model"), "run_id": fresh("r1")},
        {"type": "wandb", "artifact_path": "model", "run_id": "r1"},
    ),
    *record_cases(S.WandbEssentialData, {"type": fresh("wandb")}, {"type": "mlflow"}),
    *record_cases(S.ModelRegistryInfo, {"id": 1, "name": fresh("registry")}, {"id": "one"}),
]

# Calls of 50 to 150 us each (MLflow's type inference of every sample, a whole document through
# JSON and validation, a file opened or a directory walked per call): a fifth of the count.
SLOW_CALLS = {
    ("ModelConfig.build", "ok"),
    ("ModelSignature.build", "ok"),
    ("IOSample.build", "ok"),
    ("RevisionableSchema.load", "ok"),
    ("RevisionableSchema.from_dict", "ok"),
    ("Revisionable.dump", "ok"),
    ("Revisionable.dump", "not a stream"),
    ("Revision.parse", "ok"),
    ("Revision.parse", "missing"),
    ("get_artifact_size_bytes", "local"),
    ("ModelSignature.generate_io_field", "ok"),
    # The messages of these refusals show the whole list of schemas.
    ("ModelSignature", "refused"),
    ("ModelSignature.validate_unique_name", "refused"),
    ("ColumnDataSchema", "refused"),
}


def slowed(cases: list[Case]) -> list[Case]:
    return [scaled(0.2, [case])[0] if (case.covers, case.id) in SLOW_CALLS else case for case in cases]


# ---------------------------------------------------------------- the tables and the checks

TABLES: dict[str, tuple[ModuleType, list[Case]]] = {
    "velora.common.enum_": (enum_module, ENUM_CASES),
    "velora.model_registry.values": (values_module, VALUES_CASES),
    "velora.model_registry.methods.wandb": (wandb_module, []),
    "velora.dataset.corlett": (client_module, CORLETT_CASES),
    "velora.dataset.methods": (methods_module, METHODS_CASES),
    "velora.model_registry.methods.frameworks.mlflow": (mlflow_module, MLFLOW_CASES),
    "velora.inference_services.brinwell": (brinwell_module, BRINWELL_CASES),
    "velora.model_registry.schemas": (schemas_module, SCHEMAS_CASES),
}
ALL_CASES = slowed([case for _, cases in TABLES.values() for case in cases])


def test_every_native_module_has_a_table() -> None:
    cmake = (Path(__file__).parents[2] / "CMakeLists.txt").read_text()
    registered = set(re.findall(r"^velora_module\(\s*([\w.]+)", cmake, re.MULTILINE))
    assert registered == set(TABLES)


# Native bodies that raise whatever they are given: the base's stand-ins for what a subclass defines.
ALWAYS_RAISE = {"DBQueryBuilder.build_schema_query", "RevisionableSchema.build"}


@pytest.mark.parametrize("module_name", TABLES)
def test_table_covers_module(module_name: str) -> None:
    """Every public name the C++ module defines has a case that returns and one that raises."""
    module, cases = TABLES[module_name]
    returning = {case.covers for case in cases if case.raises is None} | ALWAYS_RAISE
    raising = {case.covers for case in cases if case.raises is not None}
    public = native_names(module)
    assert sorted(public - returning) == []
    assert sorted(public - raising) == []
    unknown = {case.covers for case in cases} - public
    assert all(name.startswith("_") for name in unknown), sorted(unknown)


@pytest.mark.parametrize("case", [case.param() for case in ALL_CASES])
def test_no_leak(case: Case, monkeypatch: pytest.MonkeyPatch, tmp_path: Path) -> None:
    if case.prepare is not None:
        case.prepare(monkeypatch, tmp_path)
    check_case(case)
    scratch = scratch_directory(tmp_path)
    assert not scratch.exists() or list(scratch.iterdir()) == []


KEPT: list[Any] = []


def keeps_argument(value: Any) -> None:
    KEPT.append(value)


def keeps_memory() -> None:
    KEPT.append(bytearray(64))


_libc = ctypes.CDLL(None)
_libc.malloc.restype = ctypes.c_void_p


def keeps_heap_memory() -> None:
    # What a native leak looks like: never freed (64 bytes a call, for this test's life).
    _libc.malloc(64)


@pytest.mark.parametrize(
    ("case", "message"),
    [
        # Not one character: CPython keeps those as shared singletons, immortal since 3.12, whose
        # count never moves.
        (ok("keeps its argument", keeps_argument, fresh("kept")), "reference counts moved"),
        pytest.param(
            ok("keeps memory", keeps_memory),
            "memory in use grew by .* Python blocks",
            marks=pytest.mark.skipif(SANITIZED, reason="memory is not judged in the sanitizer build"),
        ),
        pytest.param(
            ok("keeps heap memory", keeps_heap_memory),
            "C heap in use grew by",
            marks=pytest.mark.skipif(SANITIZED, reason="memory is not judged in the sanitizer build"),
        ),
    ],
    ids=["reference", "memory", "heap"],
)
def test_the_check_sees_a_leak(case: Case, message: str) -> None:
    try:
        with pytest.raises(AssertionError, match=message):
            check_case(case)
    finally:
        KEPT.clear()
