"""Dataset operations through the real client and request layer against the local service."""

import io
import pickle
import re

import numpy as np
import pandas as pd
import pytest

from velora.dataset import methods
from velora.dataset.schemas import DatasetInfo, DatasetVersionInfo
from velora.dataset.values import DatasetFileType
from velora.settings import settings

TABLE = pd.DataFrame({"city": ["Lyon", "Oslo", "Kyiv"], "population": [522_000, 709_000, 2_950_000]})
ARRAY = np.linspace(0.0, 1.0, 12).reshape(3, 4)


def stored_file(project, info: DatasetInfo):
    [file] = info.latest_version.files
    assert re.fullmatch(r"[0-9a-f]{32}\.\w+", file.filename)
    return project.dataset_dir / info.name / f"v{info.latest_version.version}" / file.filename


@pytest.mark.parametrize("workload", ["dev_instance", "pipeline"])
@pytest.mark.parametrize(
    ("file_type", "data", "read"),
    [
        (DatasetFileType.csv, TABLE, lambda path: pd.read_csv(path, index_col=0)),
        (DatasetFileType.parquet, TABLE, pd.read_parquet),
        (DatasetFileType.pickle, ARRAY, lambda path: pickle.loads(path.read_bytes())),
        (DatasetFileType.npy, ARRAY, np.load),
    ],
    ids=["csv", "parquet", "pickle", "npy"],
)
def test_save_dataset_stores_the_file(platform_settings, tmp_root, workload, file_type, data, read):
    settings.VELORA_WORKLOAD_TYPE = workload
    info = methods.save_dataset(f"cities-{file_type.value}", data, file_type, "saved in a test")
    assert isinstance(info, DatasetInfo)
    assert (info.name, info.description) == (f"cities-{file_type.value}", "saved in a test")
    path = stored_file(platform_settings, info)
    assert path.suffix == "." + file_type.value
    back = read(path)
    if isinstance(data, pd.DataFrame):
        pd.testing.assert_frame_equal(back, data)
    else:
        assert type(back) is np.ndarray and np.array_equal(back, data)
    assert list(tmp_root.iterdir()) == []


def test_dataset_operations_in_a_development_instance(platform_settings):
    created = methods.create_dataset("orders", "raw orders")
    assert isinstance(created, DatasetInfo) and created.name == "orders"
    assert methods.create_dataset("orders", exist_ok=1).id == created.id

    by_name = methods.create_dataset_version("orders", "by name")
    by_id = methods.create_dataset_version_by_id(float(created.id), "by id")
    assert isinstance(by_name, DatasetVersionInfo) and isinstance(by_id, DatasetVersionInfo)
    assert (by_name.version, by_id.version) == (1, 2)
    assert (by_name.description, by_id.description) == ("by name", "by id")

    methods.create_dataset("returns")
    listed = methods.get_dataset_list()
    assert [(type(record), record.name) for record in listed] == [
        (DatasetInfo, "orders"),
        (DatasetInfo, "returns"),
    ]
    assert [record.name for record in methods.get_dataset_list(page=2, page_size=1)] == ["returns"]

    fetched = methods.get_dataset(created.id)
    assert (fetched.name, fetched.version_count, fetched.latest_version.version) == ("orders", 2, 2)
    assert methods.get_dataset(created.id + 1000) is None

    with pytest.raises(ValueError, match=r"^Dataset 'absent' does not exist\.$"):
        methods.create_dataset_version("absent")


def test_dataset_operations_in_a_pipeline(platform_settings):
    settings.VELORA_WORKLOAD_TYPE = "pipeline"
    settings.VELORA_SDK_TOKEN = None
    settings.ARGO_WORKFLOW_RUN_ID = "run-7"
    created = methods.create_dataset("features", "pipeline output")
    version = methods.create_dataset_version("features", "nightly")
    assert (version.data_snapshot_id, version.argo_workflow_run_id) == (created.id, "run-7")
    with pytest.raises(NotImplementedError):
        methods.get_dataset(created.id)


def test_upload_snippet_runs_and_saves(platform_settings, tmp_root):
    answer = methods.get_code_snippet_to_upload_dataset("from-snippet", "frame", "csv")
    namespace = {"frame": TABLE}
    exec(compile(answer["code_snippet"], "<snippet>", "exec"), namespace)
    assert isinstance(namespace["dataset"], DatasetInfo)
    [record] = methods.get_dataset_list()
    assert record.name == "from-snippet"
    pd.testing.assert_frame_equal(pd.read_csv(stored_file(platform_settings, record), index_col=0), TABLE)


def test_import_snippet_names_the_stored_file(platform_settings, tmp_root):
    info = methods.save_dataset("arrays", ARRAY, DatasetFileType.npy)
    answer = methods.get_code_snippet_to_import_dataset(info.id, info.latest_version.id)
    code = answer["code_snippet"]
    compile(code, "<snippet>", "exec")
    assert info.latest_version.files[0].filename in code and "mount_dataset()" in code


def test_large_table_arrives_whole(platform_settings, tmp_root):
    big = pd.DataFrame({"value": np.arange(300_000, dtype=np.int64)})
    info = methods.save_dataset("big", big, DatasetFileType.csv)
    expected = io.StringIO()
    big.to_csv(expected)
    assert stored_file(platform_settings, info).read_text() == expected.getvalue()
