"""The argument rules every native function follows, seen through a real one."""

import inspect
from fractions import Fraction

import pytest

from velora.common.enum_ import StrEnum, auto
from velora.inference_services.brinwell import DBQueryBuilder, MSSQLQueryBuilder, TiberoQueryBuilder

generate = StrEnum._generate_next_value_


class Text(str):
    pass


class Items(list):  # type: ignore[type-arg]
    pass


class Color(StrEnum):
    RED = auto()


class SizedBuilder(MSSQLQueryBuilder):
    def __init__(self, page_size: int) -> None:
        super().__init__()


def type_message(argument: str, expected: str, got: str) -> str:
    return f"Argument '{argument}' has incorrect type (expected {expected}, got {got})"


@pytest.mark.parametrize(
    ("start", "count"),
    [(7.0, 7), (2.7, 2), (True, 1), (Fraction(9, 2), 4), (3, 3)],
)
def test_numbers_are_converted_for_int(start: object, count: object) -> None:
    assert generate("x", start, count, []) == "x"  # type: ignore[arg-type]


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (("n", "1", 0, []), type_message("start", "int", "str")),
        (("n", 1, None, []), type_message("count", "int", "NoneType")),
        (("n", 1j, 0, []), type_message("start", "int", "complex")),
        ((3, 1, 0, []), type_message("name", "str", "int")),
        ((None, 1, 0, []), type_message("name", "str", "NoneType")),
        (("n", 1, 0, ()), type_message("last_values", "list", "tuple")),
        (("n", "1", None, ()), type_message("start", "int", "str")),
    ],
)
def test_refused_arguments(args: tuple[object, ...], message: str) -> None:
    with pytest.raises(TypeError) as error:
        generate(*args)  # type: ignore[arg-type]
    assert str(error.value) == message


@pytest.mark.parametrize(
    ("value", "argument", "expected", "got"),
    [
        (Text("n"), "name", "str", "Text"),
        (Color.RED, "name", "str", "Color"),
    ],
)
def test_subclass_of_builtin_is_refused_with_note(
    value: object, argument: str, expected: str, got: str
) -> None:
    with pytest.raises(TypeError) as error:
        generate(value, 1, 0, [])  # type: ignore[arg-type]
    message = str(error.value)
    assert message.startswith(type_message(argument, expected, got) + ". ")
    assert "subclasses of built-in types" in message


def test_list_subclass_is_refused_with_note() -> None:
    with pytest.raises(TypeError, match=r"expected list, got Items\)\. .*subclasses"):
        generate("n", 1, 0, Items())


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((), {}, "_generate_next_value_() takes exactly 4 positional arguments (0 given)"),
        (("n", 1), {}, "_generate_next_value_() takes exactly 4 positional arguments (2 given)"),
        (("n", 1, 0, [], 5), {}, "_generate_next_value_() takes exactly 4 positional arguments (5 given)"),
        (("n", 1, 0, []), {"extra": 1}, "_generate_next_value_() got an unexpected keyword argument 'extra'"),
        (
            ("n", 1, 0, []),
            {"name": "m"},
            "_generate_next_value_() got multiple values for keyword argument 'name'",
        ),
        # A missing argument is reported before an unknown keyword, by its position.
        (
            (),
            {"start": 1, "name": "n", "bogus": 0},
            "_generate_next_value_() takes exactly 4 positional arguments (2 given)",
        ),
    ],
)
def test_arity_and_keyword_errors(args: tuple[object, ...], kwargs: dict[str, object], message: str) -> None:
    with pytest.raises(TypeError) as error:
        generate(*args, **kwargs)
    assert str(error.value) == message


def test_keywords_fill_parameters_in_any_order() -> None:
    assert generate(last_values=[], count=0, start=1, name="k") == "k"


def test_class_method_counts_the_class_as_argument() -> None:
    with pytest.raises(TypeError) as error:
        Color.has_value("RED", "again")  # type: ignore[call-arg]
    assert str(error.value) == "has_value() takes exactly 2 positional arguments (3 given)"


@pytest.mark.parametrize(
    ("function", "text"),
    [
        (generate, "(name, start, count, last_values)"),
        (Color.has_value, "(value)"),
        (StrEnum.__dict__["has_value"].__func__, "(cls, value)"),
        (Color.RED.__repr__, "()"),
        # A class whose __init__ is native shows that __init__'s parameters; a subclass its own.
        (DBQueryBuilder, "()"),
        (TiberoQueryBuilder, "()"),
        (SizedBuilder, "(page_size: int) -> None"),
    ],
)
def test_signatures_are_visible(function: object, text: str) -> None:
    assert str(inspect.signature(function)) == text  # type: ignore[arg-type]


def test_help_shows_signature_and_doc() -> None:
    doc = inspect.getdoc(StrEnum.has_value) or ""
    assert 'has_value("RED")' in doc
    assert StrEnum.has_value.__text_signature__ == "(cls, value)"  # type: ignore[attr-defined]
