"""The string enumeration base."""

import enum
import typing

import pytest

import velora.common.enum_ as enum_module
from velora.common.enum_ import StrEnum, auto


class Level(StrEnum):
    Low = auto()
    high = auto()
    X = "x"


class Empty(StrEnum):
    pass


def test_auto_value_is_the_name_as_is() -> None:
    assert Level.Low.value == "Low"
    assert Level.high.value == "high"
    assert Level.Low == "Low"
    assert hash(Level.Low) == hash("Low")
    assert isinstance(Level.Low, str)


@pytest.mark.parametrize(("member", "text"), [(Level.Low, "Low"), (Level.X, "X")])
def test_printed_forms_are_the_name(member: Level, text: str) -> None:
    assert str(member) == text
    assert repr(member) == text


@pytest.mark.parametrize(
    ("enumeration", "value", "expected"),
    [
        (Level, "x", True),
        (Level, "X", False),
        (Level, "Low", True),
        (Level, "low", False),
        (Empty, "", False),
    ],
)
def test_has_value_goes_by_values(enumeration: type[StrEnum], value: str, expected: bool) -> None:
    assert enumeration.has_value(value) is expected


def test_has_value_counts_aliases() -> None:
    class Aliased(StrEnum):
        a = "v"
        b = "v"

    assert Aliased.has_value("v")
    assert Aliased.b is Aliased.a


@pytest.mark.parametrize("value", [Level.Low, None, 3, b"Low"])
def test_has_value_refuses_non_str(value: object) -> None:
    with pytest.raises(TypeError, match=r"^Argument 'value' has incorrect type \(expected str"):
        Level.has_value(value)  # type: ignore[arg-type]


def test_class_shape() -> None:
    assert StrEnum.__bases__ == (str, enum.Enum)
    assert len(StrEnum.__members__) == 0
    assert "auto()" in (StrEnum.__doc__ or "")
    assert StrEnum.__module__ == "velora.common.enum_"
    assert list(vars(StrEnum)).index("_generate_next_value_") < list(vars(StrEnum)).index("has_value")


def test_module_reexports() -> None:
    assert enum_module.Enum is enum.Enum
    assert enum_module.auto is enum.auto
    assert enum_module._ is enum.auto
    assert enum_module.Any is typing.Any
    assert enum_module.List is typing.List  # noqa: UP006
