"""Signatures and IO samples of a wide table and a large array, each against its plain counterpart.

Samples: a table of 200 columns and 1,000 rows (integer, float, text and boolean
columns) and a float array of shape (1000, 64). For each, `ModelSignature.build` is
timed against `mlflow.models.infer_signature` on the same sample, and `IOSample.build`
followed by `dump` into memory against `json.dumps` of the same document built with
pandas' and numpy's own `to_list()`/`tolist()`; in process CPU time per call, rounds
alternating, best round counted. Prints the ratios ours / theirs (target: at most 1).

    python benchmarks/schemas_signature.py [--quick]
"""

from __future__ import annotations

import argparse
import io
import json
import time
import warnings

import numpy as np
import pandas as pd
from mlflow.models import infer_signature

from velora.model_registry.methods.artifacts.common import stringify_io_name_by_module
from velora.model_registry.schemas import IOSample, ModelSignature, Revisionable

ROUNDS = 15
ROWS = 1_000


def wide_table(rows: int) -> pd.DataFrame:
    generator = np.random.default_rng(7)
    columns = {}
    for index in range(200):
        kind = index % 4
        if kind == 0:
            columns[f"count_{index}"] = generator.integers(0, 100, rows)
        elif kind == 1:
            columns[f"score_{index}"] = generator.random(rows)
        elif kind == 2:
            columns[f"label_{index}"] = generator.choice(["a", "b", "c"], rows)
        else:
            columns[f"flag_{index}"] = generator.random(rows) > 0.5
    return pd.DataFrame(columns)


def context(sample) -> Revisionable.BuilderContext:
    return Revisionable.BuilderContext(
        mlflow_model_info="model", framework="sklearn", inputs_sample={"predict": [sample]}
    )


def signature(sample) -> None:
    ModelSignature.build(context(sample))


def io_sample_dumped(sample) -> None:
    IOSample.build(context(sample)).dump(io.StringIO())


def mlflow_signature(sample) -> None:
    infer_signature(sample)


def json_dumped(sample) -> None:
    """The IO sample document of `sample`, as plain data written by `json.dumps`."""
    name = stringify_io_name_by_module("input", 0, "sklearn", "model")
    if isinstance(sample, pd.DataFrame):
        data = [{"name": column, "data": [sample[column].to_list()[0]]} for column in sample.columns]
    else:
        data = [{"name": name, "data": sample.tolist()}]
    document = {"signatures": {"predict": {"inputs": [{"name": name, "data": data}], "outputs": None}}}
    # dumps, not dump: dump writes piece by piece in Python, dumps in one go in C.
    io.StringIO().write(json.dumps(document))


def calls_per_round(function, sample) -> int:
    """Enough calls for a round of about 20 ms, so that short functions are timed over many calls."""
    start = time.process_time()
    function(sample)
    return max(1, int(0.02 / max(time.process_time() - start, 1e-6)))


def best_seconds(functions, sample, rounds: int) -> dict[str, float]:
    """The best time per call of each function; rounds alternate between them."""
    counts = {name: calls_per_round(function, sample) for name, function in functions.items()}
    best = dict.fromkeys(functions, float("inf"))
    for _ in range(rounds):
        for name, function in functions.items():
            start = time.process_time()
            for _ in range(counts[name]):
                function(sample)
            best[name] = min(best[name], (time.process_time() - start) / counts[name])
    return best


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="one round on 20 rows: checks that it runs")
    quick = parser.parse_args().quick
    rows, rounds = (20, 1) if quick else (ROWS, ROUNDS)
    warnings.simplefilter("ignore")
    functions = {
        "ModelSignature.build": signature,
        "IOSample.build+dump": io_sample_dumped,
        "infer_signature": mlflow_signature,
        "json.dumps": json_dumped,
    }
    for label, sample in (
        (f"table {rows}x200", wide_table(rows)),
        (f"array ({rows}, 64)", np.random.default_rng(3).random((rows, 64))),
    ):
        best = best_seconds(functions, sample, rounds)
        print(f"{label}:")
        for name, anchor in (
            ("ModelSignature.build", "infer_signature"),
            ("IOSample.build+dump", "json.dumps"),
        ):
            ratio = best[name] / best[anchor]
            verdict = "met" if ratio <= 1.0 else "MISSED"
            print(
                f"  {name:22s} {best[name] * 1000:8.3f} ms  {anchor:16s} {best[anchor] * 1000:8.3f} ms"
                f"  ratio {ratio:.2f} ({verdict})"
            )


if __name__ == "__main__":
    main()
