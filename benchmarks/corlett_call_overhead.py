"""Per-call overhead of the C++ dataset client against the same function written in Python.

Both call a request object that does nothing but answer, so what is timed is the
client function itself: argument check, settings lookups, path formatting, the
request call and the result check. Prints the time per call of each and the ratio
C++ / Python (below 1 means the C++ function is faster).

    python benchmarks/corlett_call_overhead.py [--quick]
"""

from __future__ import annotations

import argparse
import timeit
from typing import Any

import velora.dataset.corlett as native_client


class Settings:
    VELORA_WORKSPACE_ID = "12"
    VELORA_PROJECT_ID = "345"


ANSWER = {"data_snapshot": {"id": 7, "name": "ds"}}


class AnsweringCorlett:
    def get(self, endpoint: str, params: Any = None) -> Any:
        return ANSWER


settings = Settings()
corlett = AnsweringCorlett()


def python_sdk_get_data_snapshot_detail(data_snapshot_id: int) -> dict[str, Any] | None:
    """The same function as plain Python, with the same argument and result checks."""
    if type(data_snapshot_id) is not int:
        if not hasattr(type(data_snapshot_id), "__index__") and not hasattr(
            type(data_snapshot_id), "__int__"
        ):
            raise TypeError(
                "Argument 'data_snapshot_id' has incorrect type "
                f"(expected int, got {type(data_snapshot_id).__name__})"
            )
        data_snapshot_id = int(data_snapshot_id)
    path = (
        f"/v1/sdk/workspaces/{settings.VELORA_WORKSPACE_ID}/projects/{settings.VELORA_PROJECT_ID}"
        f"/data-snapshots/{data_snapshot_id}"
    )
    response = corlett.get(path)
    if response is not None and type(response) is not dict:
        raise TypeError(f"Expected dict, got {type(response).__name__}")
    return response


def per_call_seconds(functions: dict[str, Any], argument: Any, rounds: int, number: int) -> dict[str, float]:
    """The best time per call of each function; rounds interleave them, so that load on a
    shared machine weighs on all of them alike."""
    timers = {
        label: timeit.Timer(lambda function=function: function(argument))
        for label, function in functions.items()
    }
    best = dict.fromkeys(functions, float("inf"))
    for _ in range(rounds):
        for label, timer in timers.items():
            best[label] = min(best[label], timer.timeit(number) / number)
    return best


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="two short rounds: checks that it runs")
    rounds, number = (2, 1_000) if parser.parse_args().quick else (60, 20_000)
    native_client.settings = settings  # type: ignore[attr-defined]
    native_client.corlett = corlett  # type: ignore[attr-defined]
    native = native_client.sdk_get_data_snapshot_detail
    assert native(7) == python_sdk_get_data_snapshot_detail(7)

    functions = {"C++": native, "Python": python_sdk_get_data_snapshot_detail, "empty": lambda value: value}
    print(
        "sdk_get_data_snapshot_detail against an answering request object, per call (empty call subtracted):"
    )
    ratios = []
    for label, argument in [("int id", 7), ("float id", 7.0)]:
        best = per_call_seconds(functions, argument, rounds, number)
        cpp, python = best["C++"] - best["empty"], best["Python"] - best["empty"]
        ratios.append(cpp / python)
        print(
            f"  {label:8s}  C++ {cpp * 1e9:7.1f} ns  Python {python * 1e9:7.1f} ns  ratio {cpp / python:.2f}"
        )
    print(f"ratio C++/Python, int id (target <= 1.00): {ratios[0]:.2f}")


if __name__ == "__main__":
    main()
