"""Building ColumnDataSchema records: the native classes against the same records in plain Python.

10,000 column schemas of 20 named specs each, given as mappings (as when a document
is read) and as spec records (as the signature builder gives them). The machine is
shared: batches of 2,000 records alternate between the two implementations, each is
timed in process CPU time, and the best batch counts. Prints seconds per 10,000
records and the ratio native / Python (target: at most 1).

    python benchmarks/schemas_build.py [--quick]
"""

from __future__ import annotations

import argparse
import time

from _support import python_schemas as python
from mlflow.types.schema import DataType

from velora.model_registry import schemas as native

RECORDS = 10_000
BATCH = 2_000
SPECS = 20
ROUNDS = 15


def build_from_mappings(module, batch: int) -> None:
    specs = [{"name": f"column_{index}", "dtype": "double"} for index in range(SPECS)]
    for record in range(batch):
        module.ColumnDataSchema(name=f"input_{record}", type="column", schema=specs)


def build_from_specs(module, batch: int) -> None:
    specs = [module.ColumnSpec(name=f"column_{index}", dtype=DataType.double) for index in range(SPECS)]
    for record in range(batch):
        module.ColumnDataSchema(name=f"input_{record}", type="column", schema=specs)


def seconds(work, module, batch: int) -> float:
    start = time.process_time()
    work(module, batch)
    return (time.process_time() - start) * (RECORDS / batch)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="one round of 20 records: checks that it runs")
    quick = parser.parse_args().quick
    batch, rounds = (20, 1) if quick else (BATCH, ROUNDS)
    print(f"pydantic {'2' if native.PYDANTIC_V2 else '1'}: {RECORDS} ColumnDataSchema of {SPECS} specs")
    for label, work in (("from mappings", build_from_mappings), ("from spec records", build_from_specs)):
        timings = {"native": float("inf"), "python": float("inf")}
        for _ in range(rounds):
            timings["native"] = min(timings["native"], seconds(work, native, batch))
            timings["python"] = min(timings["python"], seconds(work, python, batch))
        ratio = timings["native"] / timings["python"]
        print(
            f"  {label:18s} native {timings['native']:.3f} s  python {timings['python']:.3f} s  "
            f"ratio {ratio:.2f} ({'met' if ratio <= 1.0 else 'MISSED'})"
        )


if __name__ == "__main__":
    main()
