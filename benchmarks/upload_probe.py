"""Upload one file through `corlett` in a fresh process; print peak memory growth as JSON.

Run by tests/common and benchmarks/upload_memory.py. Settings come from the
environment. The baseline is taken after one small request, so that the HTTP
machinery is already in memory; the growth is then what the upload itself costs.
"""

from __future__ import annotations

import argparse
import base64
import json
import resource
import time

from velora.common.corlett import corlett


def peak_rss_bytes() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=["raw", "multipart"])
    parser.add_argument("path")
    parser.add_argument("endpoint")
    parser.add_argument("--filename", default="upload.bin", help="name sent in the Filename header (raw)")
    parser.add_argument("--field", action="append", default=[], help="NAME=VALUE form field (multipart)")
    args = parser.parse_args()

    corlett.get("/v1/health")
    baseline = peak_rss_bytes()
    started = time.perf_counter()
    with open(args.path, "rb") as stream:
        if args.mode == "raw":
            header = base64.b64encode(args.filename.encode("utf-8")).decode("utf-8")
            answer = corlett.post(endpoint=args.endpoint, data=stream, headers={"Filename": header})
        else:
            fields = dict(field.split("=", 1) for field in args.field)
            answer = corlett.post(endpoint=args.endpoint, data=fields, files={"file": stream})
    seconds = time.perf_counter() - started
    print(json.dumps({"baseline": baseline, "peak": peak_rss_bytes(), "seconds": seconds, "answer": answer}))


if __name__ == "__main__":
    main()
