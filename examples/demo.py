"""A short tour of velora against the local platform service.

Starts `velora-server` on a free loopback port with a fresh data directory, points the settings at it
and, as a notebook in a development instance would, saves a table as a dataset, versions it, lists and
fetches it, loads and downloads it back, and asks for a code snippet. Ends with the argument checks
every native function makes.
"""

import inspect
import os
import tempfile
from pathlib import Path

import pandas as pd

from velora.common.enum_ import StrEnum, auto
from velora.dataset import methods
from velora.dataset.values import DatasetFileType
from velora.model_registry.values import ModelFramework, SchemaRevision
from velora.server.launch import running_server
from velora.settings import settings


class Color(StrEnum):
    RED = auto()
    green = auto()


def show(title: str, value: object) -> None:
    print(f"{title:<44} {value!r}")


def datasets_tour() -> None:
    with tempfile.TemporaryDirectory() as directory, running_server(Path(directory) / "service") as server:
        for name, value in server.environment.items():
            setattr(settings, name, value)
        settings.VELORA_WORKLOAD_TYPE = "dev_instance"
        print(f"== datasets, against {server.url}")
        table = pd.DataFrame({"sepal": [5.1, 4.9, 6.2], "species": ["setosa", "setosa", "virginica"]})
        saved = methods.save_dataset("iris", table, DatasetFileType.parquet, "three flowers")
        show("save_dataset('iris', table, parquet) id", saved.id)
        version = methods.create_dataset_version("iris", "second cut")
        show("create_dataset_version('iris') version", version.version)
        show("get_dataset_list() names", [dataset.name for dataset in methods.get_dataset_list()])
        fetched = methods.get_dataset(saved.id)
        show("get_dataset(id) name, description", (fetched.name, fetched.description) if fetched else None)
        versions = methods.get_dataset_versions("iris")
        show("get_dataset_versions('iris') files", [len(version.files) for version in versions])
        back = methods.load_dataset("iris")  # the latest version that has a file
        show("load_dataset('iris') equals the table", back.equals(table))
        path = methods.download_dataset("iris", 1, directory)
        show("download_dataset('iris', 1, dir) file", Path(path).name == versions[0].files[0].filename)
        snippet = methods.get_code_snippet_to_upload_dataset("iris", "table", "csv") or {}
        print("upload snippet from the service:")
        print(snippet.get("code_snippet", snippet))


def enumerations_tour() -> None:
    print("== enumerations")
    show("Color.RED == 'RED'", Color.RED == "RED")
    show("str(Color.green), repr(Color.green)", (str(Color.green), repr(Color.green)))
    show("Color.has_value('green')", Color.has_value("green"))
    show("list(ModelFramework)", [str(member) for member in ModelFramework])
    show("SchemaRevision.get_latest_revision()", SchemaRevision.get_latest_revision())
    show("signature of save_dataset", str(inspect.signature(methods.save_dataset)))

    print("== argument checks")
    for call in (
        lambda: Color.has_value(Color.RED),
        lambda: methods.save_dataset(7, None, DatasetFileType.csv),
        lambda: methods.get_dataset(),
    ):
        try:
            call()
        except TypeError as error:
            print(f"TypeError: {error}")


def main() -> None:
    os.environ.pop("VELORA_WORKLOAD_TYPE", None)
    datasets_tour()
    enumerations_tour()


if __name__ == "__main__":
    main()
