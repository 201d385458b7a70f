"""A short tour of velora: enumerations and the argument checks every native function makes."""

import inspect

from velora.common.enum_ import StrEnum, auto
from velora.model_registry.values import ModelFramework, SchemaRevision


class Color(StrEnum):
    RED = auto()
    green = auto()


def show(title: str, value: object) -> None:
    print(f"{title:<44} {value!r}")


def main() -> None:
    print("== enumerations")
    show("Color.RED == 'RED'", Color.RED == "RED")
    show("str(Color.green), repr(Color.green)", (str(Color.green), repr(Color.green)))
    show("Color.has_value('green')", Color.has_value("green"))
    show("list(ModelFramework)", [str(member) for member in ModelFramework])
    show("SchemaRevision.get_latest_revision()", SchemaRevision.get_latest_revision())
    show("signature of StrEnum.has_value", str(inspect.signature(StrEnum.has_value)))

    print("== argument checks")
    for call in (lambda: Color.has_value(Color.RED), lambda: Color.has_value()):
        try:
            call()
        except TypeError as error:
            print(f"TypeError: {error}")


if __name__ == "__main__":
    main()
