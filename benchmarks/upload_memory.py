"""Memory and speed of a large upload through corlett to the local service.

Uploads one file (2 GiB by default) as a raw body (the SDK-token upload) and as
a multipart file (the internal upload), each from a fresh client process, and
prints the peak memory growth of the client and of the service, as MiB and as a
share of the file, and the throughput. Target: growth of a few tens of MiB at most.

    python benchmarks/upload_memory.py [--size-mib 2048] [--quick]
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

import httpx

from velora.server.launch import ServerProcess, running_server

MiB = 1024 * 1024
PROBE = Path(__file__).with_name("_support") / "upload_probe.py"


def write_file(path: Path, size_mib: int) -> None:
    block = os.urandom(MiB)
    with path.open("wb") as out:
        for index in range(size_mib):
            out.write(index.to_bytes(8, "little") + block[8:])


def probe(server: ServerProcess, *args: str) -> dict[str, Any]:
    environment = {**os.environ, **server.environment}
    done = subprocess.run(
        [sys.executable, str(PROBE), *args], env=environment, capture_output=True, text=True, check=True
    )
    return json.loads(done.stdout)  # type: ignore[no-any-return]


def raw_upload(server: ServerProcess, path: Path) -> dict[str, Any]:
    base = "/v1/sdk/workspaces/1/projects/1/data-snapshots"
    headers = {"Authorization": f"Bearer {server.token}", "Velora-Pairing-Key": "bench-raw"}
    with httpx.Client(base_url=server.url, headers=headers) as http:
        snapshot = http.post(base, json={"name": "bench-raw", "exist_ok": True}).json()
        http.post(f"{base}/{snapshot['id']}/upload-metadata", json={}).raise_for_status()
    upload = f"{base}/{snapshot['id']}/upload"
    return probe(
        server,
        "raw",
        str(path),
        upload,
        "--filename",
        f"raw-{time.time_ns()}.bin",
        "--pairing-key",
        "bench-raw",
    )


def multipart_upload(server: ServerProcess, path: Path) -> dict[str, Any]:
    endpoint = "/v1/internal/workspaces/projects/1/data-snapshots/sdk"
    return probe(server, "multipart", str(path), endpoint, "--field", "name=bench-multipart")


def main() -> None:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--size-mib", type=int, default=2048)
    parser.add_argument("--quick", action="store_true", help="a 4 MiB file: checks that it runs")
    args = parser.parse_args()
    if args.quick:
        args.size_mib = 4
    with tempfile.TemporaryDirectory(prefix="velora-upload-bench-") as scratch:
        source = Path(scratch) / "source.bin"
        write_file(source, args.size_mib)
        size = source.stat().st_size
        with running_server(Path(scratch) / "data", "bench-token") as server:
            print(f"upload of {size / MiB:.0f} MiB")
            for name, upload in (("raw body", raw_upload), ("multipart", multipart_upload)):
                server_before = server.memory_high_water_bytes()
                report = upload(server, source)
                client_growth = report["peak"] - report["baseline"]
                server_growth = server.memory_high_water_bytes() - server_before
                client = f"client +{client_growth / MiB:.1f} MiB ({client_growth / size:.4f} of the file)"
                service = f"service +{server_growth / MiB:.1f} MiB ({server_growth / size:.4f})"
                print(f"{name:>10}: {client}, {service}, {size / MiB / report['seconds']:.0f} MiB/s")


if __name__ == "__main__":
    main()
