"""The code snippets the service hands out: runnable velora code for one dataset."""

from __future__ import annotations

import keyword
from typing import Any

from velora.dataset.values import DatasetFileType

# Where mount_dataset() puts the project's read-only dataset storage.
MOUNT_POINT = "/home/jovyan/workspace/dataset"

# Suffix -> (module the reader needs, reader call with {path}).
_READERS: dict[str, tuple[str, str]] = {
    # save_dataset writes the index as the first column.
    ".csv": ("pandas", "pd.read_csv({path}, index_col=0)"),
    ".parquet": ("pandas", "pd.read_parquet({path})"),
    ".pickle": ("pandas", "pd.read_pickle({path})"),
    ".pkl": ("pandas", "pd.read_pickle({path})"),
    # A table saved as npy may hold objects, which numpy stores pickled.
    ".npy": ("numpy", "np.load({path}, allow_pickle=True)"),
}
_IMPORTS = {"pandas": "import pandas as pd", "numpy": "import numpy as np"}


class SnippetError(ValueError):
    """The snippet's inputs cannot make valid code."""


def upload_snippet(name: str, data: str, file_type: str) -> str:
    """Code that saves the user's table or array `data` as dataset `name`."""
    if not data.isidentifier() or keyword.iskeyword(data):
        raise SnippetError(f"data must be the name of a Python variable: data={data!r}")
    allowed = [member.value for member in DatasetFileType]
    if file_type not in allowed:
        raise SnippetError(f"file_type must be one of {', '.join(allowed)}: file_type={file_type!r}")
    return (
        "from velora.dataset.methods import save_dataset\n"
        "from velora.dataset.values import DatasetFileType\n"
        "\n"
        f"# `{data}` is the pandas DataFrame or numpy array to save.\n"
        "dataset = save_dataset(\n"
        f"    name={name!r},\n"
        f"    data={data},\n"
        f"    file_type=DatasetFileType.{file_type},\n"
        ")\n"
    )


def import_snippet(snapshot_id: int, name: str, version: dict[str, Any]) -> str:
    """Code that mounts the dataset storage and loads the files of one version."""
    files = [file["filename"] for file in version["files"]]
    readers = [_reader_for(filename) for filename in files]
    modules = sorted({module for module, _ in readers if module})
    header = [
        "from pathlib import Path",
        "",
        *[_IMPORTS[module] for module in modules],
        *([""] if modules else []),
        "from velora.dataset.methods import get_dataset, mount_dataset",
        "",
        f"mount_point = Path({MOUNT_POINT!r})",
        "if not mount_point.is_mount():",
        "    mount_dataset()",
        f"dataset = get_dataset({snapshot_id})",
        f"version_dir = mount_point / {name!r} / {'v' + str(version['version'])!r}",
    ]
    if not files:
        body = ["# This version holds no files yet.", "files = sorted(version_dir.iterdir())"]
    elif len(files) == 1:
        body = [f"data = {_read_call(files[0], readers[0][1])}"]
    else:
        body = ["data = {"]
        body += [
            f"    {filename!r}: {_read_call(filename, reader)},"
            for filename, (_, reader) in zip(files, readers, strict=True)
        ]
        body += ["}"]
    return "\n".join(header + body) + "\n"


def _reader_for(filename: str) -> tuple[str | None, str]:
    suffix = filename[filename.rfind(".") :].lower() if "." in filename else ""
    return _READERS.get(suffix, (None, "({path}).read_bytes()"))


def _read_call(filename: str, reader: str) -> str:
    return reader.format(path=f"version_dir / {filename!r}")
