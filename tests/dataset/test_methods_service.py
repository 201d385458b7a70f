"""Dataset operations through the real client and request layer against the local service."""

import hashlib
import io
import os
import pickle
import re

import numpy as np
import pandas as pd
import pytest

from velora.dataset import corlett, methods
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
        # A table with text is an array of objects, which npy holds pickled.
        (DatasetFileType.npy, TABLE, lambda path: np.load(path, allow_pickle=True)),
    ],
    ids=["csv", "parquet", "pickle", "npy", "npy-table"],
)
def test_save_dataset_stores_the_file_and_it_comes_back(
    platform_settings, tmp_root, tmp_path, workload, file_type, data, read
):
    settings.VELORA_WORKLOAD_TYPE = workload
    info = methods.save_dataset(f"cities-{file_type.value}", data, file_type, "saved in a test")
    assert isinstance(info, DatasetInfo)
    assert (info.name, info.description) == (f"cities-{file_type.value}", "saved in a test")
    path = stored_file(platform_settings, info)
    assert path.suffix == "." + file_type.value
    target = tmp_path / "downloads"
    target.mkdir()
    assert methods.download_dataset(info.name, path=str(target)) == str(target / path.name)
    assert os.listdir(target) == [path.name] and (target / path.name).read_bytes() == path.read_bytes()
    for back in (read(path), methods.load_dataset(info.name, 1, allow_pickle=True)):
        if file_type == DatasetFileType.npy:
            assert type(back) is np.ndarray and np.array_equal(back, np.asarray(data))
        elif isinstance(data, pd.DataFrame):
            pd.testing.assert_frame_equal(back, data)
        else:
            assert type(back) is np.ndarray and np.array_equal(back, data)
    assert list(tmp_root.iterdir()) == []


def test_download_refuses_bytes_that_do_not_match_the_record(platform_settings, tmp_path):
    info = methods.save_dataset("tampered", ARRAY, DatasetFileType.npy)
    path = stored_file(platform_settings, info)
    recorded = info.latest_version.files[0].sha256
    path.write_bytes(path.read_bytes()[:-1] + b"!")
    actual = hashlib.sha256(path.read_bytes()).hexdigest()
    (tmp_path / path.name).write_bytes(b"an earlier download")
    with pytest.raises(
        ValueError, match=f"the record says sha256 {recorded}, the download has sha256 {actual}"
    ):
        methods.download_dataset("tampered", path=str(tmp_path))
    assert os.listdir(tmp_path) == [path.name]
    assert (tmp_path / path.name).read_bytes() == b"an earlier download"


def test_an_npz_archive_named_npy_is_refused_and_let_go(platform_settings, tmp_root):
    archive = io.BytesIO()
    np.savez(archive, a=ARRAY)
    archive.seek(0)
    corlett.sdk_upload_data_snapshot("zipped", "zip.npy", archive)
    with pytest.raises(
        ValueError, match=r"holds 'zip.npy', which is not an npy file: it reads as NpzFile\.$"
    ):
        methods.load_dataset("zipped")
    assert list(tmp_root.iterdir()) == []
    assert not [
        fd for fd in os.listdir("/proc/self/fd") if "zip.npy" in os.path.realpath(f"/proc/self/fd/{fd}")
    ]


def test_versions_oldest_first_and_the_latest_with_a_file_is_read(platform_settings, tmp_root):
    methods.save_dataset("orders", TABLE, DatasetFileType.parquet, "first")
    methods.create_dataset_version("orders", "no file yet")
    assert [(v.version, v.description, len(v.files)) for v in methods.get_dataset_versions("orders")] == [
        (1, "first", 1),
        (2, "no file yet", 0),
    ]
    pd.testing.assert_frame_equal(methods.load_dataset("orders"), TABLE)
    with pytest.raises(ValueError, match=r"^Version 2 of dataset 'orders' has no file\.$"):
        methods.load_dataset("orders", 2)
    with pytest.raises(ValueError, match=r"^Dataset 'absent' does not exist\.$"):
        methods.get_dataset_versions("absent")


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
