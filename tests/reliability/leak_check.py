"""Calling one native callable many times and checking that memory and references come back.

`Case` is one row of a module's table: what is called, with what, and how it must end.
`check_case` runs it `ITERATIONS` times after a warm-up and fails when memory in use
(Python's blocks, the C heap) grew beyond what caches take once, when resident memory
grew by more than `RSS_TOLERANCE` in every quarter of the loop, or when an argument's
reference count moved.
`native_names` lists what a C++ module defines itself, so that a table can be held to it.
"""

from __future__ import annotations

import ctypes
import dataclasses
import enum
import functools
import gc
import os
import re
import sys
import types
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from typing import Any

import pytest

from velora.pydantic_compat import NATIVE_FUNCTION_TYPES

ITERATIONS = int(os.environ.get("VELORA_LEAK_ITERATIONS", "100000"))

# Memory in use is counted exactly: blocks of Python's object allocator and
# bytes the C heap has handed out (the C++ code allocates there, as do Python
# objects over 512 bytes). A leak keeps at least one block, or at least 16
# bytes of heap, per call; what a loop may keep beyond that is what caches and
# growing tables take once.
BLOCK_TOLERANCE_SHARE = 0.1  # of the number of calls
HEAP_TOLERANCE_BYTES = 64 * 1024
HEAP_TOLERANCE_PER_CALL = 4

# Resident memory also moves with the allocators' own bookkeeping (a new arena,
# pages handed back). The heap and resident memory count as leaking only when
# they grew in every quarter of the loop.
RSS_TOLERANCE = 3 * 1024 * 1024 // 2

_PAGE_SIZE = os.sysconf("SC_PAGE_SIZE")


def resident_bytes() -> int:
    with open("/proc/self/statm", encoding="ascii") as statm:
        return int(statm.read().split()[1]) * _PAGE_SIZE


class _MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks")
        + ("fordblks", "keepcost")
    ]


_mallinfo2 = ctypes.CDLL(None).mallinfo2
_mallinfo2.restype = _MallInfo2


def heap_bytes() -> int:
    """Bytes the C heap has handed out and not had back, over all its arenas."""
    info = _mallinfo2()
    return int(info.uordblks + info.hblkhd)


@dataclass(frozen=True)
class Usage:
    resident: int
    blocks: int
    heap: int

    @classmethod
    def now(cls) -> Usage:
        gc.collect()
        return cls(resident_bytes(), sys.getallocatedblocks(), heap_bytes())

    def __add__(self, other: Usage) -> Usage:
        return Usage(self.resident + other.resident, self.blocks + other.blocks, self.heap + other.heap)

    def __sub__(self, other: Usage) -> Usage:
        return Usage(self.resident - other.resident, self.blocks - other.blocks, self.heap - other.heap)


def _sanitizer_loaded() -> bool:
    # AddressSanitizer keeps freed memory in quarantine: resident memory then
    # says nothing about leaks (reference counts still do).
    with open("/proc/self/maps", encoding="utf-8", errors="replace") as maps:
        return "libasan" in maps.read()


SANITIZED = _sanitizer_loaded()

Prepare = Callable[[pytest.MonkeyPatch, Any], None]


@dataclass(frozen=True)
class Case:
    """One call: `covers` is the public name it exercises ("Class" or "Class.method").

    `raises` is the exception every call must end with (None: every call returns), `match`
    a pattern its message must contain. `prepare(monkeypatch, tmp_path)` patches what the
    call reaches (service requests, processes) before the loop. `share` scales the iteration
    count for a call too slow for the full count; each use says why.
    """

    id: str
    covers: str
    call: Callable[..., Any]
    args: tuple[Any, ...] = ()
    kwargs: dict[str, Any] = field(default_factory=dict)
    raises: type[BaseException] | None = None
    match: str = ""
    prepare: Prepare | None = None
    share: float = 1.0

    def param(self) -> Any:
        return pytest.param(self, id=f"{self.covers}:{self.id}")


def ok(covers: str, call: Callable[..., Any], *args: Any, id: str = "ok", **kwargs: Any) -> Case:
    return Case(id, covers, call, args, kwargs)


def fails(
    covers: str,
    call: Callable[..., Any],
    raises: type[BaseException],
    match: str,
    *args: Any,
    id: str,
    **kwargs: Any,
) -> Case:
    return Case(id, covers, call, args, kwargs, raises, match)


def scaled(share: float, cases: list[Case]) -> list[Case]:
    """The cases with their iteration count scaled by `share`."""
    return [dataclasses.replace(case, share=share) for case in cases]


def _repeat(case: Case, times: int) -> None:
    call, args, kwargs, raises = case.call, case.args, case.kwargs, case.raises
    if raises is None:
        for _ in range(times):
            call(*args, **kwargs)
        return
    for _ in range(times):
        try:
            call(*args, **kwargs)
        except raises:
            pass
        else:
            raise AssertionError(f"{case.covers} returned where {raises.__name__} was expected")


def _first_call(case: Case) -> None:
    """The call ends as the case says, so that the loop exercises the intended path."""
    if case.raises is None:
        case.call(*case.args, **case.kwargs)
        return
    with pytest.raises(case.raises) as caught:
        case.call(*case.args, **case.kwargs)
    assert re.search(case.match, str(caught.value)), str(caught.value)


def _watched(case: Case) -> list[Any]:
    return [case.call, *case.args, *case.kwargs.values()]


def _reference_counts(objects: list[Any]) -> list[int]:
    return [sys.getrefcount(item) for item in objects]


def _shared(item: Any) -> bool:
    """Objects the whole process refers to: their counts move with unrelated work."""
    if item is None or isinstance(item, (bool, type, enum.Enum)):
        return True
    return type(item) is int and -5 <= item <= 256


def _moved(item: Any, delta: int, times: int) -> bool:
    # A leak on every call moves a count by `times`; a shared object's count
    # may move by a few for reasons of its own. A count that fell by a few was
    # let go by a cache that held it before the loop (the interpreter's type
    # attribute cache keeps the last names looked up), never by a call.
    if _shared(item):
        return abs(delta) >= times // 2
    return delta > 0 or delta <= -times // 2


def check_case(case: Case) -> int:
    """Runs the case; returns the resident memory growth over the loop, in bytes."""
    # The collections below then look only at what the case made: a full one
    # over the heap the suite's libraries keep costs a sizeable part of a second.
    gc.freeze()
    try:
        return _check(case)
    finally:
        gc.unfreeze()


def _check(case: Case) -> int:
    times = max(1, int(ITERATIONS * case.share))
    _first_call(case)
    _repeat(case, max(1, min(times // 10, 2000)))  # caches, interned names, allocator arenas
    watched = _watched(case)
    gc.collect()
    counts = _reference_counts(watched)
    quarters = _usage_by_quarters(case, times)
    after = _reference_counts(watched)
    moved = {
        f"{index}: {type(item).__name__}": count_after - count_before
        for index, (item, count_before, count_after) in enumerate(zip(watched, counts, after, strict=True))
        if _moved(item, count_after - count_before, times)
    }
    assert not moved, f"reference counts moved over {times} calls (position: delta): {moved}"
    growth = sum(quarters, Usage(0, 0, 0))
    if not SANITIZED:  # the sanitizer's allocator answers for the C heap, and keeps freed memory
        _assert_flat(growth, quarters, times)
    return growth.resident


def _assert_flat(growth: Usage, quarters: list[Usage], times: int) -> None:
    assert growth.blocks <= times * BLOCK_TOLERANCE_SHARE, (
        f"memory in use grew by {growth.blocks} Python blocks over {times} calls"
    )
    # A leak grows the heap and resident memory in every quarter of the loop;
    # a table doubling or an allocator taking a new arena does so once.
    heap_limit = HEAP_TOLERANCE_BYTES + HEAP_TOLERANCE_PER_CALL * times
    _assert_no_steady_growth("C heap in use", [q.heap for q in quarters], heap_limit, times)
    _assert_no_steady_growth("resident memory", [q.resident for q in quarters], RSS_TOLERANCE, times)


def _assert_no_steady_growth(what: str, quarters: list[int], limit: int, times: int) -> None:
    total = sum(quarters)
    by_quarter = ", ".join(f"{part / 2**10:.0f}" for part in quarters)
    assert not (total > limit and min(quarters) > 0), (
        f"{what} grew by {total / 2**10:.0f} KiB over {times} calls (KiB by quarter: {by_quarter})"
    )


def _usage_by_quarters(case: Case, times: int) -> list[Usage]:
    """How memory grew over each quarter of `times` calls."""
    growths = []
    for quarter in range(4):
        before = Usage.now()
        _repeat(case, times // 4 + (quarter < times % 4))
        growths.append(Usage.now() - before)
    return growths


def _function_of(value: Any) -> Any:
    """The built-in behind a class attribute: class, static and instance methods, validator
    proxies, and the partial that carries an abstract method's mark."""
    while True:
        inner = getattr(value, "wrapped", None)  # pydantic's validator proxy
        if isinstance(value, functools.partial):
            inner = value.func
        elif inner is None and isinstance(value, (classmethod, staticmethod, *NATIVE_FUNCTION_TYPES[1:])):
            inner = value.__func__
        if inner is None:
            return value
        value = inner


def _defined_by(value: Any, module: types.ModuleType) -> bool:
    function = _function_of(value)
    return isinstance(function, types.BuiltinFunctionType) and function.__module__ == module.__name__


def _class_members(cls: type, module: types.ModuleType) -> Iterator[str]:
    """The class's own native methods; one an Enum copies from a base counts at the base."""
    inherited = {id(_function_of(value)) for base in cls.__mro__[1:] for value in vars(base).values()}
    for name, value in vars(cls).items():
        if _defined_by(value, module) and id(_function_of(value)) not in inherited:
            yield f"{cls.__name__}.{name}"


def native_names(module: types.ModuleType) -> set[str]:
    """The public functions and classes the C++ module defines, and the native methods of its classes.

    Names the module binds from elsewhere (typing, the platform's Python modules) are left out:
    a class counts when its `__module__` is this module, a function when it is a built-in of it.
    Nested classes count under their outer class's name ("Outer.Inner").
    """
    names: set[str] = set()
    for name in dir(module):
        if name.startswith("_"):
            continue
        value = getattr(module, name)
        if isinstance(value, type) and value.__module__ == module.__name__ and value.__name__ == name:
            names.add(name)
            names.update(_class_members(value, module))
            for inner_name, inner in vars(value).items():
                if (
                    isinstance(inner, type)
                    and inner.__module__ == module.__name__
                    and not inner_name.startswith("_")
                ):
                    names.add(f"{name}.{inner_name}")
                    names.update(f"{name}.{member}" for member in _class_members(inner, module))
        elif (
            isinstance(value, types.BuiltinFunctionType)
            and getattr(value, "__module__", None) == module.__name__
        ):
            names.add(name)
    return names
