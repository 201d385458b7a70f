"""Call overhead of a native function against a Python one and a plain pybind11 py::args binding.

Builds a small extension from benchmarks/call_overhead_module.cpp with the project's native layer,
then times positional and keyword calls of the same three-parameter signature.
Target: the native call costs no more than the Python call.

    python benchmarks/bench_call_overhead.py [--quick]
"""

import argparse
import importlib.util
import subprocess
import sysconfig
import tempfile
import timeit
from pathlib import Path

import pybind11

ROOT = Path(__file__).resolve().parents[1]


def build_module(directory: Path, optimisation: str) -> object:
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    target = directory / f"call_overhead{suffix}"
    sources = [
        ROOT / "benchmarks" / "call_overhead_module.cpp",
        *sorted((ROOT / "native" / "src").glob("*.cpp")),
    ]
    command = [
        "g++",
        optimisation,
        "-DNDEBUG",
        "-std=c++20",
        "-shared",
        "-fPIC",
        "-fvisibility=hidden",
        f"-I{pybind11.get_include()}",
        f"-I{sysconfig.get_paths()['include']}",
        f"-I{ROOT / 'native' / 'include'}",
        *map(str, sources),
        "-o",
        str(target),
    ]
    subprocess.run(command, check=True)
    spec = importlib.util.spec_from_file_location("call_overhead", target)
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def python_function(name: str, description: str | None = None, exist_ok: bool = False) -> str:
    return name


def best_of(statement: str, namespace: dict[str, object], number: int, repeat: int) -> float:
    return min(timeit.repeat(statement, globals=namespace, number=number, repeat=repeat)) / number


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="few calls: checks that it builds and runs")
    quick = parser.parse_args().quick
    number, repeat = (10_000, 1) if quick else (1_000_000, 5)
    with tempfile.TemporaryDirectory() as directory:
        # Unoptimised when only checking that it builds and runs: the quicker compile.
        module = build_module(Path(directory), "-O0" if quick else "-O2")
        namespace = {"native": module.native, "python": python_function, "pybind": module.pybind_args}
        rows = []
        for label, arguments in [
            ("positional", "('a', None, True)"),
            ("keyword", "(name='a', exist_ok=True)"),
        ]:
            times = {
                kind: best_of(f"{kind}{arguments}", namespace, number, repeat)
                for kind in ("native", "python", "pybind")
            }
            rows.append((label, times))
        header = ("call", "native ns", "python ns", "py::args ns", "native/python", "native/py::args")
        print("{:<11} {:>10} {:>10} {:>12} {:>14} {:>16}".format(*header))
        worst = 0.0
        for label, times in rows:
            ratio = times["native"] / times["python"]
            worst = max(worst, ratio)
            nanoseconds = [times[kind] * 1e9 for kind in ("native", "python", "pybind")]
            print(
                "{:<11} {:>10.1f} {:>10.1f} {:>12.1f}".format(label, *nanoseconds),
                f"{ratio:>14.2f} {times['native'] / times['pybind']:>16.2f}",
            )
        print(f"target native/python <= 1.00: {'met' if worst <= 1.0 else 'MISSED'} (worst {worst:.2f})")


if __name__ == "__main__":
    main()
