"""Runs every benchmark of this folder, each in a fresh interpreter, then says which failed.

A benchmark is a script of this folder whose name does not begin with "_"; helpers live in
`_support/`. Each prints its own result lines. With --quick every benchmark runs on tiny
sizes, to check that it still works (figures from it mean nothing). The exit status is
non-zero when any benchmark failed or ran past --timeout; all of them run regardless.

    python benchmarks/run_all.py [--quick] [--timeout SECONDS] [NAME ...]
"""

from __future__ import annotations

import argparse
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
QUICK_TIMEOUT_SECONDS = 300.0


def benchmarks() -> list[Path]:
    return sorted(
        path
        for path in HERE.glob("*.py")
        if not path.name.startswith("_") and path.resolve() != Path(__file__).resolve()
    )


def run(script: Path, quick: bool, timeout: float | None) -> str:
    """Runs one benchmark and returns what became of it: "ok", "exit N" or "timed out"."""
    # From this folder, so that no child interpreter (`-c`, `-m`) finds the source tree,
    # which has no built modules, before the installed package. A session of its own,
    # so that a benchmark that overruns is stopped together with the servers it started.
    process = subprocess.Popen(
        [sys.executable, str(script), *(["--quick"] if quick else [])],
        cwd=HERE,
        env={**os.environ, "PYTHONUNBUFFERED": "1"},
        start_new_session=True,
    )
    try:
        returncode = process.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGTERM)
        try:
            process.wait(timeout=15)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
        return "timed out"
    return "ok" if returncode == 0 else f"exit {returncode}"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="tiny sizes: checks that each benchmark runs")
    parser.add_argument(
        "--timeout",
        type=float,
        help=f"seconds each benchmark may take (default {QUICK_TIMEOUT_SECONDS:.0f} with --quick, else none)",
    )
    parser.add_argument("names", nargs="*", help="benchmarks to run, by file name (default: all)")
    args = parser.parse_args()
    timeout = args.timeout if args.timeout is not None else (QUICK_TIMEOUT_SECONDS if args.quick else None)

    scripts = benchmarks()
    if args.names:
        known = {script.name: script for script in scripts} | {script.stem: script for script in scripts}
        unknown = [name for name in args.names if name not in known]
        if unknown:
            parser.error(
                f"no such benchmark: {', '.join(unknown)} (have: {', '.join(s.stem for s in scripts)})"
            )
        scripts = [known[name] for name in args.names]

    if args.quick:
        print("Quick mode: tiny sizes, to check that each benchmark runs; its figures mean nothing.")
    outcomes = []
    for script in scripts:
        print(f"== {script.name}{' --quick' if args.quick else ''}", flush=True)
        started = time.monotonic()
        outcome = run(script, args.quick, timeout)
        outcomes.append((script.name, outcome, time.monotonic() - started))
        print(f"-- {script.name}: {outcome} in {outcomes[-1][2]:.1f} s", flush=True)

    failed = [name for name, outcome, _ in outcomes if outcome != "ok"]
    total = sum(seconds for _, _, seconds in outcomes)
    print(f"== {len(outcomes) - len(failed)} of {len(outcomes)} benchmarks ran in {total:.1f} s")
    for name, outcome, _ in outcomes:
        if outcome != "ok":
            print(f"   FAILED {name}: {outcome}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
