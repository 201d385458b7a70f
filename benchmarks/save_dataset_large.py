"""save_dataset of large tables against the local service, beside what it stands for.

For parquet and csv, each at a few file sizes (1 GB by default, and a quarter of
it to see how memory grows with size), two phases run, each in a fresh process
that first builds the same table:

- baseline: pandas writes the file, then a raw HTTP upload sends it (create the
  data snapshot, register one file, stream the file in 1 MiB chunks with httpx);
- save_dataset: the SDK call that does all of it.

Printed per case: wall time of each phase and the ratio save_dataset / baseline
(target: at most 1.10), and the peak resident memory above the table itself
(target: save_dataset's excess over the baseline does not grow with the size).

    python benchmarks/save_dataset_large.py [--sizes-mb 1024 256] [--formats parquet csv] [--repeat 2]
    python benchmarks/save_dataset_large.py --quick    # 1 MB of each format, once: checks that it runs
"""

from __future__ import annotations

import argparse
import base64
import json
import os
import subprocess
import sys
import tempfile
import time
import uuid
from pathlib import Path
from typing import Any

CHUNK = 1024 * 1024
COLUMNS = 8
# Bytes a float64 value takes in each file type (parquet stores random floats as they are;
# pandas writes them in csv with 17 significant digits, a separator included).
BYTES_PER_VALUE = {"parquet": 8.0, "csv": 20.0}


def build_table(file_type: str, size_mb: int) -> Any:
    import numpy as np
    import pandas as pd

    rows = int(size_mb * 1024 * 1024 / (COLUMNS * BYTES_PER_VALUE[file_type]))
    generator = np.random.default_rng(7)
    return pd.DataFrame(generator.random((rows, COLUMNS)), columns=[f"c{i}" for i in range(COLUMNS)])


def rss_bytes(field: str) -> int:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1]) * 1024
    raise RuntimeError(f"{field} not reported")


def reset_peak() -> None:
    # Linux: writing 5 resets the peak resident size (VmHWM) to the current one.
    Path("/proc/self/clear_refs").write_text("5")


def raw_upload(path: Path, name: str) -> None:
    import httpx

    from velora.settings import settings

    project = f"/v1/sdk/workspaces/{settings.VELORA_WORKSPACE_ID}/projects/{settings.VELORA_PROJECT_ID}"
    base = f"{project}/data-snapshots"
    headers = {"Authorization": f"Bearer {settings.VELORA_SDK_TOKEN}", "Velora-Pairing-Key": uuid.uuid4().hex}
    with httpx.Client(base_url=settings.VELORA_API_URL, headers=headers, timeout=600) as http:
        created = http.post(base, json={"name": name, "exist_ok": True})
        created.raise_for_status()
        snapshot = created.json()["id"]
        http.post(f"{base}/{snapshot}/upload-metadata", json={"file_count": 1}).raise_for_status()

        def chunks() -> Any:
            with path.open("rb") as stream:
                while chunk := stream.read(CHUNK):
                    yield chunk

        upload_headers = {
            "Filename": base64.b64encode(path.name.encode()).decode(),
            "Content-Length": str(path.stat().st_size),
        }
        http.post(f"{base}/{snapshot}/upload", content=chunks(), headers=upload_headers).raise_for_status()


def run_phase(phase: str, file_type: str, size_mb: int) -> dict[str, Any]:
    """One phase in this process; the table is built and the modules loaded first, neither counted."""
    import httpx  # noqa: F401

    from velora.dataset.methods import save_dataset
    from velora.dataset.values import DatasetFileType

    table = build_table(file_type, size_mb)
    table_bytes = int(table.memory_usage(index=True, deep=True).sum())
    name = f"bench-{file_type}-{size_mb}-{uuid.uuid4().hex[:8]}"
    reset_peak()
    before = rss_bytes("VmRSS")
    started = time.perf_counter()
    if phase == "baseline":
        with tempfile.TemporaryDirectory() as directory:
            path = Path(directory) / f"{uuid.uuid4().hex}.{file_type}"
            getattr(table, f"to_{file_type}")(path)
            file_bytes = path.stat().st_size
            raw_upload(path, name)
    else:
        info = save_dataset(name, table, DatasetFileType(file_type))
        file_bytes = info.latest_version.files[0].size
    seconds = time.perf_counter() - started
    return {
        "seconds": seconds,
        "peak_above_table": rss_bytes("VmHWM") - before,
        "table_bytes": table_bytes,
        "file_bytes": file_bytes,
    }


def in_fresh_process(environment: dict[str, str], phase: str, file_type: str, size_mb: int) -> dict[str, Any]:
    command = [sys.executable, __file__, "--phase", phase, "--formats", file_type, "--sizes-mb", str(size_mb)]
    done = subprocess.run(
        command, env={**os.environ, **environment}, capture_output=True, text=True, check=False
    )
    if done.returncode != 0:
        raise RuntimeError(f"{phase} {file_type} {size_mb} MB failed:\n{done.stderr}")
    return json.loads(done.stdout.strip().splitlines()[-1])


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes-mb", type=int, nargs="+", default=[1024, 256])
    parser.add_argument("--formats", nargs="+", default=["parquet", "csv"], choices=["parquet", "csv"])
    parser.add_argument("--repeat", type=int, default=2, help="runs of each phase; the fastest counts")
    parser.add_argument("--quick", action="store_true", help="1 MB of each format, once")
    parser.add_argument("--phase", choices=["baseline", "save_dataset"], help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.phase:
        print(json.dumps(run_phase(args.phase, args.formats[0], args.sizes_mb[0])))
        return
    if args.quick:
        args.sizes_mb, args.repeat = [1], 1

    from velora.server.launch import running_server

    with (
        tempfile.TemporaryDirectory(prefix="velora-bench-") as work,
        running_server(Path(work) / "data") as server,
    ):
        environment = dict(server.environment)
        heading = f"{'case':>16} {'file':>9} {'baseline s':>11} {'save s':>8} {'ratio':>6}"
        print(f"{heading} {'peak above table MB':>28}")
        for file_type in args.formats:
            excess = {}
            for size_mb in args.sizes_mb:
                best: dict[str, dict[str, Any]] = {}
                for _ in range(args.repeat):
                    for phase in ("baseline", "save_dataset"):
                        result = in_fresh_process(environment, phase, file_type, size_mb)
                        if phase not in best or result["seconds"] < best[phase]["seconds"]:
                            best[phase] = result
                base, save = best["baseline"], best["save_dataset"]
                peaks = [base["peak_above_table"] / 2**20, save["peak_above_table"] / 2**20]
                excess[size_mb] = peaks[1] - peaks[0]
                ratio = save["seconds"] / base["seconds"]
                print(
                    f"{file_type + ' ' + str(size_mb) + ' MB':>16} {save['file_bytes'] / 2**20:7.0f}MB "
                    f"{base['seconds']:11.1f} {save['seconds']:8.1f} {ratio:6.2f} "
                    f"   baseline {peaks[0]:6.0f}, save {peaks[1]:6.0f}"
                )
            shown = ", ".join(f"{size} MB: {value:+.0f} MB" for size, value in excess.items())
            print(f"{file_type}: save_dataset memory above the baseline by size: {shown}")


if __name__ == "__main__":
    main()
