"""Eight threads saving datasets at once against the local service, each to a name
of its own or all to one name.

Every call gets its own temporary directory (all eight exist at the same time,
held open by a barrier), every upload arrives whole and in the caller's own
version (the sha256 the service records and of the file it stores under the
version the call was answered with equal the sha256 of the file the call wrote,
and that version has the call's description), and no directory is left.
"""

from __future__ import annotations

import hashlib
import tempfile
import threading
import types
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd
import pytest

from velora.dataset import methods
from velora.dataset.schemas import DatasetInfo
from velora.dataset.values import DatasetFileType
from velora.settings import settings

THREADS = 8
FILE_TYPES = [DatasetFileType.csv, DatasetFileType.parquet, DatasetFileType.pickle, DatasetFileType.npy]


def sha256(path: Path) -> str:
    return hashlib.sha256(path.read_bytes()).hexdigest()


class WatchedDirectories:
    """A `tempfile` for the module that records each call's directory and the file in it.

    The directory is entered only once every thread holds one, so the eight
    calls are certain to overlap; on exit the file it holds is hashed before
    the directory is removed.
    """

    def __init__(self) -> None:
        self.all_created = threading.Barrier(THREADS, timeout=60)
        self.lock = threading.Lock()
        self.written: dict[int, tuple[Path, str]] = {}

    def module(self) -> types.SimpleNamespace:
        watch = self

        class TemporaryDirectory(tempfile.TemporaryDirectory[str]):
            def __enter__(self) -> str:
                watch.all_created.wait()
                return super().__enter__()

            def __exit__(self, *exc_info: Any) -> None:
                [file] = Path(self.name).iterdir()
                with watch.lock:
                    watch.written[threading.get_ident()] = (Path(self.name), sha256(file))
                super().__exit__(*exc_info)

        return types.SimpleNamespace(TemporaryDirectory=TemporaryDirectory)


def table(number: int) -> pd.DataFrame | np.ndarray:
    """Data of its own for each thread, large enough that the uploads overlap."""
    rows = 20_000 + 1_000 * number
    values = np.random.default_rng(number).normal(size=(rows, 4))
    if number % 2:
        return values
    return pd.DataFrame(values, columns=["a", "b", "c", "d"]).assign(label=f"thread-{number}")


@pytest.mark.parametrize(
    ("workload", "one_name", "rounds"),
    [("dev_instance", False, 1), ("dev_instance", True, 3), ("pipeline", True, 3)],
    ids=["own-names", "one-name", "one-name-pipeline"],
)
def test_eight_threads_save_at_once(
    platform_settings: Any,
    tmp_root: Path,
    monkeypatch: pytest.MonkeyPatch,
    workload: str,
    one_name: bool,
    rounds: int,
) -> None:
    settings.VELORA_WORKLOAD_TYPE = workload
    watch = WatchedDirectories()
    monkeypatch.setattr(methods, "tempfile", watch.module())

    def save(number: int) -> list[tuple[str, DatasetInfo, str]]:
        file_type = FILE_TYPES[number % len(FILE_TYPES)]
        name = "one-name" if one_name else f"parallel-{number}"
        saved = []
        for round_ in range(rounds):
            description = f"thread {number} round {round_}"
            info = methods.save_dataset(name, table(number + THREADS * round_), file_type, description)
            saved.append((description, info, watch.written[threading.get_ident()][1]))
        return saved

    with ThreadPoolExecutor(THREADS) as pool:
        results = list(pool.map(save, range(THREADS)))

    directories = {directory for directory, _ in watch.written.values()}
    assert len(directories) == THREADS
    assert all(directory.parent == tmp_root for directory in directories)
    assert list(tmp_root.iterdir()) == []
    versions = set()
    for number, saved in enumerate(results):
        for description, info, written in saved:
            assert info.name == ("one-name" if one_name else f"parallel-{number}")
            assert info.latest_version.description == description
            [file] = info.latest_version.files
            stored = (
                platform_settings.dataset_dir / info.name / f"v{info.latest_version.version}" / file.filename
            )
            assert file.filename.endswith("." + FILE_TYPES[number % len(FILE_TYPES)].value)
            assert file.sha256 == sha256(stored) == written
            versions.add((info.name, info.latest_version.version))
    assert len(versions) == THREADS * rounds
    assert list((platform_settings.server.data_dir / "tmp").iterdir()) == []
