"""Many processes calling save_dataset on one dataset name at once, against the local service.

Every call saves a small table that carries a mark of its own (process and call
number) in a column, and gives the same mark as the description. After the run
the service is stopped and its records and files are read:

- misfiled: a stored file under a version whose description is another call's mark;
- answered wrong: a call whose returned DatasetInfo does not show, as its latest
  version, a version with its own mark holding its own file;
- errors: calls that raised, counted by message.

Target: 0 misfiled, 0 answered wrong, 0 errors.

    python benchmarks/same_name_saves.py [--processes 16] [--seconds 30]
        [--workloads dev_instance pipeline] [--quick]
"""

from __future__ import annotations

import argparse
import collections
import contextlib
import multiprocessing
import sqlite3
import tempfile
import time
from multiprocessing.synchronize import Barrier
from pathlib import Path
from typing import Any

from velora.server.launch import running_server

NAME = "same"


def save_for(
    index: int, environment: dict[str, str], workload: str, seconds: float, start: Barrier, results: Any
) -> None:
    """One process: save marked tables under NAME until the time is up; put what each call got."""
    import pandas as pd

    from velora.dataset import methods
    from velora.dataset.values import DatasetFileType
    from velora.settings import settings

    for name, value in environment.items():
        setattr(settings, name, value)
    settings.VELORA_WORKLOAD_TYPE = workload
    got = []
    start.wait()
    deadline = time.monotonic() + seconds
    call = 0
    while time.monotonic() < deadline:
        mark = f"p{index}-c{call}"
        table = pd.DataFrame({"mark": [mark] * 50, "value": range(50)})
        try:
            info = methods.save_dataset(NAME, table, DatasetFileType.csv, mark)
            latest = info.latest_version
            paths = [file.path for file in latest.files] if latest else []
            got.append({"mark": mark, "description": latest and latest.description, "paths": paths})
        except Exception as exc:
            got.append({"mark": mark, "error": f"{type(exc).__name__}: {exc}"})
        call += 1
    results.put(got)


def stored_marks(data_dir: Path) -> list[tuple[str, str]]:
    """(version description, mark inside the file) of every stored file of NAME."""
    database = f"file:{data_dir / 'velora.sqlite3'}?mode=ro"
    with contextlib.closing(sqlite3.connect(database, uri=True)) as connection:
        rows = connection.execute(
            "SELECT v.description, v.version, f.filename FROM files f JOIN versions v ON v.id = f.version_id "
            "JOIN data_snapshots s ON s.id = v.data_snapshot_id WHERE s.name = ? AND s.project_id = '1'",
            (NAME,),
        ).fetchall()
    dataset = data_dir / "storage" / "project-1" / "dataset" / NAME
    return [
        (description, file_mark(dataset / f"v{version}" / filename))
        for description, version, filename in rows
    ]


def file_mark(path: Path) -> str:
    # The csv's first data row: index,mark,value
    return path.read_text().splitlines()[1].split(",")[1]


def run(processes: int, seconds: float, workload: str) -> None:
    context = multiprocessing.get_context("spawn")
    with tempfile.TemporaryDirectory() as tmp:
        data_dir = Path(tmp) / "data"
        with running_server(data_dir) as server:
            start = context.Barrier(processes)
            results = context.Queue()
            workers = [
                context.Process(
                    target=save_for, args=(index, server.environment, workload, seconds, start, results)
                )
                for index in range(processes)
            ]
            for worker in workers:
                worker.start()
            calls = [call for _ in workers for call in results.get()]
            for worker in workers:
                worker.join()
        stored = stored_marks(data_dir)
        dataset = data_dir / "storage" / "project-1" / "dataset"
        errors = collections.Counter(call["error"] for call in calls if "error" in call)
        answered_wrong = sum(
            1
            for call in calls
            if "error" not in call
            and (
                call["description"] != call["mark"]
                or [file_mark(dataset / path) for path in call["paths"]] != [call["mark"]]
            )
        )
        misfiled = sum(1 for description, mark in stored if description != mark)
    print(
        f"{workload}: {processes} processes x {seconds:g} s: {len(calls)} calls, {len(stored)} files stored, "
        f"{misfiled} misfiled, {answered_wrong} answered wrong, {sum(errors.values())} errors"
    )
    for message, count in errors.most_common():
        print(f"  {count} x {message}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--processes", type=int, default=16)
    parser.add_argument("--seconds", type=float, default=30.0)
    parser.add_argument("--workloads", nargs="+", default=["dev_instance", "pipeline"])
    parser.add_argument("--quick", action="store_true", help="2 processes for 2 s: checks that it runs")
    args = parser.parse_args()
    processes, seconds = (2, 2.0) if args.quick else (args.processes, args.seconds)
    for workload in args.workloads:
        run(processes, seconds, workload)


if __name__ == "__main__":
    main()
