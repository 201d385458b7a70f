"""IO sample documents and model signatures built from real tables, series and arrays."""

from __future__ import annotations

import json
from typing import Any

import numpy as np
import pandas as pd
import pydantic
import pytest
from mlflow.types.schema import DataType

from velora.model_registry.methods.artifacts.common import CustomEncoder, stringify_io_name_by_module
from velora.model_registry.schemas import (
    ColumnDataSchema,
    ColumnSpec,
    IOField,
    IOSample,
    IOSignature,
    ModelSignature,
    Revisionable,
    TensorDataSchema,
)
from velora.model_registry.values import DataSchemaType

BuilderContext = Revisionable.BuilderContext
MODULE = "velora.model_registry.schemas"


def table() -> pd.DataFrame:
    return pd.DataFrame({"a": [1, 2], "b": ["x", "y"]})


def context(inputs: dict[str, list[Any]], **entries: Any) -> Revisionable.BuilderContext:
    return BuilderContext(
        mlflow_model_info="runs:/r1/model", framework="sklearn", inputs_sample=inputs, **entries
    )


@pytest.fixture
def naming_calls(monkeypatch) -> list[tuple[Any, ...]]:
    """The calls the builders make to the naming function, which still names the samples."""
    calls: list[tuple[Any, ...]] = []

    def recording(*args: Any) -> str:
        calls.append(args)
        return stringify_io_name_by_module(*args)

    monkeypatch.setattr(f"{MODULE}.stringify_io_name_by_module", recording)
    return calls


def test_a_table_gives_the_first_row_per_column():
    field = IOSample.generate_io_field(table(), "input_0")
    assert field == IOField(name="input_0", data=[{"name": "a", "data": [1]}, {"name": "b", "data": ["x"]}])
    assert type(field.data[0]["data"][0]) is int


def test_a_series_gives_its_first_value():
    field = IOSample.generate_io_field(pd.Series([0.25, 0.5], name="score"), name="output_0")
    assert field.name == "output_0"
    assert field.data == [0.25]


def test_an_array_gives_the_whole_array_under_the_io_name():
    field = IOSample.generate_io_field(np.arange(6, dtype=np.float64).reshape(2, 3), "input_0")
    assert field.data == [{"name": "input_0", "data": [[0.0, 1.0, 2.0], [3.0, 4.0, 5.0]]}]


@pytest.mark.parametrize("sample", [pd.DataFrame({"a": []}), pd.Series([], dtype="float64")])
def test_an_empty_table_or_series_has_no_first_value(sample):
    with pytest.raises(IndexError):
        IOSample.generate_io_field(sample, "input_0")


@pytest.mark.parametrize(
    ("sample", "printed"),
    [
        ("text", "<class 'str'>"),
        (b"raw", "<class 'bytes'>"),
        ([1, 2], "<class 'list'>"),
        (None, "<class 'NoneType'>"),
    ],
)
def test_unsupported_samples_are_refused_by_both_generators(sample, printed):
    message = f"^unknown sample type: type={printed}$"
    with pytest.raises(ValueError, match=message):
        IOSample.generate_io_field(sample, "input_0")
    with pytest.raises(ValueError, match=message):
        ModelSignature.generate_io_field("input_0", sample)


def test_the_io_sample_generator_takes_the_sample_first():
    with pytest.raises(
        TypeError, match=r"^Argument 'name' has incorrect type \(expected str, got DataFrame\)$"
    ):
        IOSample.generate_io_field("input_0", table())
    with pytest.raises(
        TypeError, match=r"^Argument 'name' has incorrect type \(expected str, got DataFrame\)$"
    ):
        ModelSignature.generate_io_field(table(), "input_0")


def test_a_table_signature_has_one_column_spec_per_column():
    frame = pd.DataFrame({"age": [31, 40], "height": [1.8, 1.7], "name": ["x", "y"], "ok": [True, False]})
    schema = ModelSignature.generate_io_field("input_0", frame)
    assert type(schema) is ColumnDataSchema
    assert (schema.name, schema.type) == ("input_0", DataSchemaType.column)
    assert [(spec.name, spec.dtype, spec.shape) for spec in schema.schema_] == [
        ("age", DataType.long, [1]),
        ("height", DataType.double, [1]),
        ("name", DataType.string, [1]),
        ("ok", DataType.boolean, [1]),
    ]


def test_a_series_signature_is_named_by_the_io_name():
    schema = ModelSignature.generate_io_field("output_0", pd.Series([1.5], name="prediction"))
    assert type(schema) is ColumnDataSchema
    assert schema.schema_ == [ColumnSpec(name="output_0", dtype=DataType.double)]


@pytest.mark.parametrize(
    ("array", "dtype", "shape"),
    [
        (np.zeros((2, 3)), "float64", [-1, 3]),
        (np.zeros((4, 28, 28), dtype=np.float32), "float32", [-1, 28, 28]),
        (np.array(["ab", "c"]), "<U0", [-1]),
        (np.array([1, 2], dtype=np.int8), "int8", [-1]),
    ],
)
def test_an_array_signature_is_one_tensor_spec(array, dtype, shape):
    schema = ModelSignature.generate_io_field("input_0", array)
    assert type(schema) is TensorDataSchema
    assert (schema.name, schema.type) == ("input_0", DataSchemaType.tensor)
    [spec] = schema.schema_
    assert (spec.name, spec.dtype, spec.shape) == ("input_0", dtype, shape)


def test_the_builders_name_samples_by_kind_and_position(naming_calls):
    info = {"run_id": "r1"}
    built = BuilderContext(
        mlflow_model_info=info,
        framework="pyfunc",
        inputs_sample={"predict": [table(), table()], "score": [np.zeros(2)]},
        outputs_sample={"predict": [pd.Series([1]), pd.Series([2])]},
    )
    io_sample = IOSample.build(built)
    expected = [
        ("input", 0, "pyfunc", info),
        ("input", 1, "pyfunc", info),
        ("output", 0, "pyfunc", info),
        ("output", 1, "pyfunc", info),
        ("input", 0, "pyfunc", info),
    ]
    assert naming_calls == expected
    naming_calls.clear()
    signatures = ModelSignature.build(built)
    assert naming_calls == expected
    assert [field.name for field in io_sample.signatures["predict"].inputs] == ["input_0", "input_1"]
    assert [field.name for field in io_sample.signatures["predict"].outputs] == ["output_0", "output_1"]
    # Both documents carry the same names for the same samples.
    for method, signature in signatures.items():
        fields = io_sample.signatures[method]
        assert [schema.name for schema in signature.inputs] == [field.name for field in fields.inputs]
        outputs = signature.outputs or []
        assert [schema.name for schema in outputs] == [field.name for field in fields.outputs or []]


@pytest.mark.parametrize(
    "outputs",
    [
        {},
        {"outputs_sample": {}},
        {"outputs_sample": {"other": [table()]}},
        {"outputs_sample": {"predict": []}},
    ],
)
def test_a_method_without_output_samples_has_outputs_none(outputs):
    built = context({"predict": [table()]}, **outputs)
    assert IOSample.build(built).signatures["predict"].outputs is None
    assert ModelSignature.build(built)["predict"].outputs is None


def test_empty_inputs_give_empty_documents():
    assert IOSample.build(context({})).signatures == {}
    assert ModelSignature.build(context({})) == {}
    assert IOSample.build(context({"predict": []})).signatures["predict"] == IOSignature(inputs=[])
    assert ModelSignature.build(context({"predict": []}))["predict"].inputs == []


def test_the_builders_return_their_own_classes_and_use_the_callers_generator():
    seen: list[str] = []

    class Traced(IOSample):
        @staticmethod
        def generate_io_field(sample: Any, name: str) -> IOField:
            seen.append(name)
            return IOSample.generate_io_field(sample, name)

    class TracedSignature(ModelSignature):
        @staticmethod
        def generate_io_field(name: str, sample: Any) -> ColumnDataSchema | TensorDataSchema:
            seen.append(name)
            return ModelSignature.generate_io_field(name, sample)

    built = Traced.build(context({"predict": [table()]}))
    signatures = TracedSignature.build(context({"predict": [table()]}))
    assert type(built) is IOSample
    assert type(signatures["predict"]) is ModelSignature
    assert seen == ["input_0", "input_0"]


@pytest.mark.parametrize(
    ("entries", "missing"),
    [
        ({}, "mlflow_model_info"),
        ({"framework": "sklearn", "inputs_sample": {}}, "mlflow_model_info"),
        ({"mlflow_model_info": None, "framework": "sklearn"}, "inputs_sample"),
        ({"mlflow_model_info": None, "inputs_sample": {}}, "framework"),
    ],
)
@pytest.mark.parametrize("builder", [IOSample.build, ModelSignature.build])
def test_missing_entries_are_named_in_order(builder, entries, missing):
    built = BuilderContext(**entries)
    with pytest.raises(ValueError) as caught:
        builder(built)
    assert str(caught.value) == f"not found {missing} in builder context: context={built!r}"


@pytest.mark.parametrize("builder", [IOSample.build, ModelSignature.build])
def test_inputs_sample_none_fails_on_items(builder):
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'items'"):
        builder(context(None))  # type: ignore[arg-type]


@pytest.mark.parametrize("builder", [IOSample.build, ModelSignature.build])
def test_an_unsupported_output_sample_fails_the_whole_build(builder):
    with pytest.raises(ValueError, match="unknown sample type: type=<class 'str'>"):
        builder(context({"predict": [table()]}, outputs_sample={"predict": ["label"]}))


class Name(str):
    pass


@pytest.mark.parametrize(
    ("name", "message"),
    [
        (None, "Argument 'name' has incorrect type (expected str, got NoneType)"),
        (Name("input_0"), "Argument 'name' has incorrect type (expected str, got Name). Note that"),
    ],
)
@pytest.mark.parametrize("builder", [IOSample.build, ModelSignature.build])
def test_a_name_that_is_not_exactly_a_str_is_refused(monkeypatch, builder, name, message):
    monkeypatch.setattr(f"{MODULE}.stringify_io_name_by_module", lambda *args: name)
    with pytest.raises(TypeError) as caught:
        builder(context({"predict": [table()]}))
    assert str(caught.value).startswith(message)


def test_signature_names_must_be_unique_within_one_list(monkeypatch, raises_check):
    monkeypatch.setattr(f"{MODULE}.stringify_io_name_by_module", lambda kind, index, *rest: kind)
    schema = ModelSignature.generate_io_field("input", table())
    with raises_check(f"Duplicated names in the schema list: {[schema, schema]}"):
        ModelSignature.build(context({"predict": [table(), table()]}))


def test_a_written_io_sample_keeps_its_key_order(tmp_path):
    built = IOSample.build(context({"predict": [table(), np.ones((1, 2))]}))
    path = tmp_path / IOSample.get_filename()
    with path.open("w") as stream:
        built.dump(stream)
    text = path.read_text()
    assert text == (
        '{"signatures": {"predict": {"inputs": ['
        '{"name": "input_0", "data": [{"name": "a", "data": [1]}, {"name": "b", "data": ["x"]}]}, '
        '{"name": "input_1", "data": [{"name": "input_1", "data": [[1.0, 1.0]]}]}], '
        '"outputs": null}}}'
    )
    assert "revision" not in text and "schema_name" not in text


def test_an_io_sample_file_round_trips(tmp_path):
    built = IOSample.build(
        context({"predict": [table()], "embed": [np.eye(2)]}, outputs_sample={"predict": [pd.Series([0.5])]})
    )
    path = tmp_path / IOSample.get_filename()
    with path.open("w") as stream:
        built.dump(stream)
    with path.open() as stream:
        loaded = IOSample.load(stream)
    # Fields are typed Any, so the loaded fields are their mappings.
    assert loaded.to_dict() == built.to_dict()
    assert loaded.signatures["embed"].inputs[0] == {
        "name": "input_0",
        "data": [{"name": "input_0", "data": np.eye(2).tolist()}],
    }


def test_timestamps_in_a_sample_are_written_as_iso_text():
    frame = pd.DataFrame({"at": pd.to_datetime(["2024-05-01T10:30:00"]), "n": [np.int64(3)]})
    built = IOSample.build(context({"predict": [frame]}))
    data = json.loads(json.dumps(built.to_dict(), cls=CustomEncoder))
    assert data["signatures"]["predict"]["inputs"][0]["data"] == [
        {"name": "at", "data": ["2024-05-01T10:30:00"]},
        {"name": "n", "data": [3]},
    ]


def test_io_records_accept_plain_values():
    assert IOField(name="x", data={"k": 1}).data == {"k": 1}
    assert IOField(name="x", data=3).data == 3
    with pytest.raises(pydantic.ValidationError):
        IOField(data=[1])
    with pytest.raises(pydantic.ValidationError):
        IOSignature(outputs=[])
