"""Import time of velora.model_registry.schemas against importing its dependencies alone.

Each run is a fresh interpreter that first imports every module the schema module
loads (pydantic, numpy, pandas, MLflow's schema types and utilities, the platform
stand-ins), then the schema module itself: the second figure is our own share
(binding names and building some forty record classes). Prints the medians and
the target (our share under 50 ms).

    python benchmarks/schemas_import_time.py [--quick]
"""

from __future__ import annotations

import argparse
import statistics
import subprocess
import sys

RUNS = 7
TARGET_MS = 50.0

PROBE = """
import time
start = time.process_time()
import abc, functools, json, pathlib, types, typing
import numpy, pandas, pydantic
import mlflow.types.schema, mlflow.types.utils
import velora.pydantic_compat, velora.common.values, velora.common.schemas
import velora.model_registry.values, velora.model_registry.methods.artifacts.common
dependencies = time.process_time()
import velora.model_registry.schemas
ours = time.process_time()
print("TIMES", dependencies - start, ours - dependencies)
"""


def one_run() -> tuple[float, float]:
    # -P: the interpreter must load the installed package, not the source tree of the
    # working directory, which has no built modules.
    done = subprocess.run([sys.executable, "-P", "-c", PROBE], capture_output=True, text=True, check=False)
    if done.returncode != 0:
        raise RuntimeError(f"the probe interpreter failed:\n{done.stderr}")
    # An editable install may report its rebuild check before the figures.
    line = next(line for line in done.stdout.splitlines() if line.startswith("TIMES"))
    dependencies, ours = (float(value) for value in line.split()[1:])
    return dependencies, ours


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="one interpreter: checks that it runs")
    runs_count = 1 if parser.parse_args().quick else RUNS
    runs = [one_run() for _ in range(runs_count)]
    dependencies_ms = statistics.median(run[0] for run in runs) * 1000
    ours_ms = statistics.median(run[1] for run in runs) * 1000
    print(
        f"dependencies alone: {dependencies_ms:8.1f} ms (CPU time, median of {runs_count} fresh interpreters)"
    )
    verdict = "met" if ours_ms < TARGET_MS else "MISSED"
    print(f"schema module on top: {ours_ms:6.1f} ms  (target < {TARGET_MS:.0f} ms: {verdict})")
    print(f"ratio (ours / dependencies): {ours_ms / dependencies_ms:.3f}")


if __name__ == "__main__":
    main()
