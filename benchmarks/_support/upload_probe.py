"""Upload one file through `corlett` in a fresh process; print peak memory growth as JSON.

Run by tests/common/test_common_corlett.py and benchmarks/upload_memory.py. Settings come from the
environment. The baseline is the resident memory after one small request, so that the HTTP
machinery is already in memory; the peak (VmHWM) minus it bounds what the upload costs.
"""

from __future__ import annotations

import argparse
import base64
import json
import time

from velora.common.corlett import PAIRING_HEADER, corlett
from velora.server.launch import process_memory_bytes


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=["raw", "multipart"])
    parser.add_argument("path")
    parser.add_argument("endpoint")
    parser.add_argument("--filename", default="upload.bin", help="name sent in the Filename header (raw)")
    parser.add_argument("--field", action="append", default=[], help="NAME=VALUE form field (multipart)")
    parser.add_argument("--pairing-key", help="the key its upload-metadata was sent with (raw)")
    args = parser.parse_args()

    corlett.get("/v1/health")
    baseline = process_memory_bytes("self", "VmRSS")
    started = time.perf_counter()
    with open(args.path, "rb") as stream:
        if args.mode == "raw":
            header = base64.b64encode(args.filename.encode("utf-8")).decode("utf-8")
            headers = {"Filename": header, **({PAIRING_HEADER: args.pairing_key} if args.pairing_key else {})}
            answer = corlett.post(endpoint=args.endpoint, data=stream, headers=headers)
        else:
            fields = dict(field.split("=", 1) for field in args.field)
            answer = corlett.post(endpoint=args.endpoint, data=fields, files={"file": stream})
    seconds = time.perf_counter() - started
    print(
        json.dumps(
            {
                "baseline": baseline,
                "peak": process_memory_bytes("self", "VmHWM"),
                "seconds": seconds,
                "answer": answer,
            }
        )
    )


if __name__ == "__main__":
    main()
