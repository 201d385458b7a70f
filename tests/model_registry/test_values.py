"""The model registry's enumerations."""

import enum

import pytest

from velora.common.enum_ import StrEnum
from velora.model_registry import values
from velora.model_registry.values import DataSchemaType, ModelFramework, ModelRegistryType, SchemaRevision


def test_latest_revision_is_rev2() -> None:
    latest = SchemaRevision.get_latest_revision()
    assert latest is SchemaRevision.rev2
    assert latest == "2"


def test_latest_revision_orders_numerically(monkeypatch: pytest.MonkeyPatch) -> None:
    Wider = enum.Enum("SchemaRevision", [("rev9", "9"), ("rev10", "10"), ("again10", "010")], type=str)
    monkeypatch.setattr(values, "SchemaRevision", Wider)
    # The module's own class is used whatever class the method is called through.
    assert SchemaRevision.get_latest_revision() is Wider.rev10


def test_latest_revision_needs_decimal_values(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(values, "SchemaRevision", enum.Enum("R", [("a", "one")], type=str))
    with pytest.raises(ValueError):
        SchemaRevision.get_latest_revision()


@pytest.mark.parametrize(
    ("enumeration", "bases", "members", "doc"),
    [
        (SchemaRevision, (str, enum.Enum), {"rev1": "1", "rev2": "2"}, None),
        (
            ModelRegistryType,
            (StrEnum,),
            {"mlflow": "mlflow", "wandb": "wandb"},
            "Supported Model Registry type.",
        ),
        (
            ModelFramework,
            (StrEnum,),
            {name: name for name in ("onnx", "pytorch", "pyfunc", "sklearn", "tensorflow", "xgboost")},
            "Supported Model Framework to log model.",
        ),
        (DataSchemaType, (str, enum.Enum), {"column": "column", "tensor": "tensor"}, None),
    ],
)
def test_enumerations(
    enumeration: type[enum.Enum], bases: tuple[type, ...], members: dict[str, str], doc: str | None
) -> None:
    assert enumeration.__bases__ == bases
    assert {member.name: member.value for member in enumeration} == members
    assert [member.name for member in enumeration] == list(members)
    if doc is not None:
        assert enumeration.__doc__ == doc


def test_printed_forms() -> None:
    assert str(SchemaRevision.rev2) == "SchemaRevision.rev2"
    assert str(DataSchemaType.column) == "DataSchemaType.column"
    assert str(ModelFramework.pyfunc) == "pyfunc"
    assert repr(ModelFramework.pyfunc) == "pyfunc"
    assert not hasattr(SchemaRevision, "has_value")


@pytest.mark.parametrize(
    ("enumeration", "value", "member"),
    [
        (SchemaRevision, "2", SchemaRevision.rev2),
        (ModelFramework, "sklearn", ModelFramework.sklearn),
        (DataSchemaType, "tensor", DataSchemaType.tensor),
    ],
)
def test_lookup_by_value(enumeration: type[enum.Enum], value: str, member: enum.Enum) -> None:
    assert enumeration(value) is member


@pytest.mark.parametrize(("enumeration", "value"), [(DataSchemaType, "Tensor"), (ModelFramework, "PYFUNC")])
def test_lookup_of_unknown_value(enumeration: type[enum.Enum], value: str) -> None:
    with pytest.raises(ValueError):
        enumeration(value)


def test_has_value_is_case_sensitive() -> None:
    assert ModelFramework.has_value("pyfunc")
    assert not ModelFramework.has_value("PYFUNC")


def test_get_latest_revision_takes_no_argument() -> None:
    with pytest.raises(TypeError) as error:
        SchemaRevision.get_latest_revision("2")  # type: ignore[call-arg]
    assert str(error.value) == "get_latest_revision() takes exactly 1 positional argument (2 given)"


def test_imported_names() -> None:
    assert values.StrEnum is StrEnum
    assert values.Enum is enum.Enum
    assert values.auto is enum.auto
