"""download_dataset of large files from the local service, beside a plain streamed GET of the same file.

A dataset of one npy file (random float64, 1 GB by default and a quarter of it, to see
how memory grows with size) is uploaded once; then two phases run, each in a fresh
process:

- baseline: httpx streams the file's download path into a file, each piece as it arrives;
- download_dataset: the SDK call, which also checks the bytes' sha256 against the
  version's record and renames the file into place.

Printed per size: wall time of each phase and the ratio download_dataset / baseline
(target: at most 1.10), and the peak resident memory above the process's start
(target: flat in the file's size).

    python benchmarks/download_dataset_large.py [--sizes-mb 1024 256] [--repeat 2] [--quick]
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
import uuid
from pathlib import Path
from typing import Any

from save_dataset_large import reset_peak, rss_bytes

CHUNK = 1024 * 1024


def upload_dataset(name: str, size_mb: int, work: Path) -> None:
    """A dataset of one npy file of about `size_mb` MB, written in slices (setting up costs no memory)."""
    import numpy as np

    from velora.dataset.corlett import sdk_upload_data_snapshot

    path = work / f"{uuid.uuid4().hex}.npy"
    values = size_mb * CHUNK // 8
    array = np.lib.format.open_memmap(path, mode="w+", dtype=np.float64, shape=(values,))
    generator = np.random.default_rng(7)
    for start in range(0, values, CHUNK):
        array[start : start + CHUNK] = generator.random(min(CHUNK, values - start))
    array.flush()
    del array
    with path.open("rb") as binary:
        sdk_upload_data_snapshot(name, path.name, binary)
    path.unlink()


def plain_get(name: str, directory: Path) -> Path:
    import httpx

    from velora.settings import settings

    base = (
        f"{settings.VELORA_API_URL}/v1/sdk/workspaces/{settings.VELORA_WORKSPACE_ID}"
        f"/projects/{settings.VELORA_PROJECT_ID}/data-snapshots"
    )
    headers = {"Authorization": f"Bearer {settings.VELORA_SDK_TOKEN}"}
    with httpx.Client(headers=headers, timeout=600) as http:
        snapshot = http.get(f"{base}/name", params={"name": name}).json()["data_snapshot"]
        version = snapshot["latest_version"]
        filename = version["files"][0]["filename"]
        target = directory / filename
        url = f"{base}/{snapshot['id']}/versions/{version['id']}/download"
        with http.stream("GET", url, params={"filename": filename}) as response, target.open("wb") as out:
            response.raise_for_status()
            for chunk in response.iter_bytes():
                out.write(chunk)
    return target


def run_phase(phase: str, name: str) -> dict[str, Any]:
    """One phase in this process; the modules are loaded first, not counted."""
    import httpx  # noqa: F401

    from velora.dataset.methods import download_dataset

    with tempfile.TemporaryDirectory() as directory:
        reset_peak()
        before = rss_bytes("VmRSS")
        started = time.perf_counter()
        if phase == "baseline":
            path = plain_get(name, Path(directory))
        else:
            path = Path(download_dataset(name, path=directory))
        seconds = time.perf_counter() - started
        return {
            "seconds": seconds,
            "peak_above_start": rss_bytes("VmHWM") - before,
            "file_bytes": path.stat().st_size,
        }


def in_fresh_process(environment: dict[str, str], phase: str, name: str) -> dict[str, Any]:
    command = [sys.executable, __file__, "--phase", phase, "--name", name]
    done = subprocess.run(
        command, env={**os.environ, **environment}, capture_output=True, text=True, check=False
    )
    if done.returncode != 0:
        raise RuntimeError(f"{phase} {name} failed:\n{done.stderr}")
    return json.loads(done.stdout.strip().splitlines()[-1])


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes-mb", type=int, nargs="+", default=[1024, 256])
    parser.add_argument("--repeat", type=int, default=2, help="runs of each phase; the fastest counts")
    parser.add_argument("--quick", action="store_true", help="tiny sizes, one run: checks that it works")
    parser.add_argument("--phase", choices=["baseline", "download_dataset"], help=argparse.SUPPRESS)
    parser.add_argument("--name", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.phase:
        print(json.dumps(run_phase(args.phase, args.name)))
        return
    if args.quick:
        args.sizes_mb, args.repeat = [8, 2], 1

    from velora.server.launch import running_server
    from velora.settings import settings

    with (
        tempfile.TemporaryDirectory(prefix="velora-bench-") as work,
        running_server(Path(work) / "data") as server,
    ):
        # Progress bars would time the terminal too.
        environment = {**server.environment, "VELORA_PROGRESS": "off"}
        for key, value in environment.items():
            setattr(settings, key, value)
        heading = f"{'size':>8} {'file':>9} {'baseline s':>11} {'download s':>11} {'ratio':>6}"
        print(f"{heading} {'peak above start MB':>30}")
        peaks = {}
        for size_mb in args.sizes_mb:
            name = f"bench-{size_mb}-{uuid.uuid4().hex[:8]}"
            upload_dataset(name, size_mb, Path(work))
            best: dict[str, dict[str, Any]] = {}
            for _ in range(args.repeat):
                for phase in ("baseline", "download_dataset"):
                    result = in_fresh_process(environment, phase, name)
                    if phase not in best or result["seconds"] < best[phase]["seconds"]:
                        best[phase] = result
            base, ours = best["baseline"], best["download_dataset"]
            peaks[size_mb] = [base["peak_above_start"] / 2**20, ours["peak_above_start"] / 2**20]
            print(
                f"{str(size_mb) + ' MB':>8} {ours['file_bytes'] / 2**20:7.0f}MB {base['seconds']:11.2f} "
                f"{ours['seconds']:11.2f} {ours['seconds'] / base['seconds']:6.2f} "
                f"   baseline {peaks[size_mb][0]:5.0f}, download {peaks[size_mb][1]:5.0f}"
            )
        shown = ", ".join(f"{size} MB: {values[1]:.0f} MB" for size, values in peaks.items())
        print(f"download_dataset peak memory above start by file size: {shown}")


if __name__ == "__main__":
    main()
