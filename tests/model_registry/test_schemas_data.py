"""Specs and data schemas: field checks, their messages, aliases and kind literals."""

from __future__ import annotations

import pydantic
import pytest
from mlflow.types.schema import DataType

from velora.model_registry.schemas import (
    ColumnDataSchema,
    ColumnSpec,
    ColumnSpecModel,
    DataSchema,
    ModelSignature,
    SchemaSpec,
    TensorDataSchema,
    TensorSpec,
    TensorSpecModel,
)
from velora.model_registry.values import DataSchemaType
from velora.pydantic_compat import model_dump

SHAPE_MESSAGE = "Shape of 'DataSchemaType.column' type schema should be [1]"


def columns(*names: str | None) -> list[ColumnSpec]:
    return [ColumnSpec(name=name, dtype=DataType.double) for name in names]


def tensors(*names: str | None) -> list[TensorSpec]:
    return [TensorSpec(name=name, dtype="float32", shape=[-1, 4]) for name in names]


@pytest.mark.parametrize("spec", [SchemaSpec, ColumnSpec, TensorSpec])
def test_an_empty_name_is_refused_by_every_spec(spec, raises_check):
    with raises_check("Name is empty string"):
        spec(name="", dtype="float64", shape=[1])


@pytest.mark.parametrize("spec", [SchemaSpec, ColumnSpec, TensorSpec])
def test_a_spec_without_a_name_is_accepted(spec):
    assert spec(dtype="float64", shape=[1]).name is None


@pytest.mark.parametrize("dtype", [DataType.long, "long"])
def test_dtype_keeps_an_mlflow_type_or_a_text(dtype):
    assert ColumnSpec(dtype=dtype).dtype is dtype


@pytest.mark.parametrize("dtype", [["long"], {"type": "long"}, None])
def test_dtype_must_be_a_text_or_an_mlflow_type(dtype):
    with pytest.raises(pydantic.ValidationError) as caught:
        ColumnSpec(dtype=dtype)
    assert {error["loc"][0] for error in caught.value.errors()} == {"dtype"}


def test_column_specs_default_to_a_shape_of_their_own():
    first, second = ColumnSpec(dtype="long"), ColumnSpec(dtype="long")
    first.shape.append(7)
    assert second.shape == [1]
    assert ColumnSpec(dtype="long").shape == [1]


@pytest.mark.parametrize("shape", [[1], None])
def test_column_spec_accepts_a_shape_of_one_or_none(shape):
    assert ColumnSpec(dtype="long", shape=shape).shape == shape


@pytest.mark.parametrize("shape", [[2], [1, 1], [], [-1]])
def test_column_spec_refuses_other_shapes(shape, raises_check):
    with raises_check(SHAPE_MESSAGE):
        ColumnSpec(dtype="long", shape=shape)


def test_a_tensor_spec_must_state_its_shape():
    with pytest.raises(pydantic.ValidationError) as caught:
        TensorSpec(name="x", dtype="float32")
    assert [error["loc"] for error in caught.value.errors()] == [("shape",)]


@pytest.mark.parametrize("shape", [[], [-1], [-1, 28, 28], [3, 1]])
def test_a_tensor_spec_accepts_any_list_of_integers(shape):
    assert TensorSpec(dtype="float32", shape=shape).shape == shape


@pytest.mark.parametrize("shape", [["a"], "x", 3])
def test_a_shape_must_be_a_list_of_integers(shape):
    with pytest.raises(pydantic.ValidationError):
        TensorSpec(dtype="float32", shape=shape)


@pytest.mark.parametrize(
    ("names", "message"),
    [
        (("a", "b", None), "Either all or none of the schema should have names: {}"),
        ((None, "a"), "Either all or none of the schema should have names: {}"),
        (("a", "a"), "Duplicated names in the schema: {}"),
        (("a", "b", "a"), "Duplicated names in the schema: {}"),
    ],
)
def test_column_schema_name_rules(names, message, raises_check):
    specs = columns(*names)
    with raises_check(message.format(specs)):
        ColumnDataSchema(name="features", type="column", schema=specs)


@pytest.mark.parametrize("names", [(None, None, None), (None,), ("a",), ("a", "A", "b")])
def test_column_schemas_all_named_or_all_unnamed_pass(names):
    schema = ColumnDataSchema(name="features", type="column", schema=columns(*names))
    assert [spec.name for spec in schema.schema_] == list(names)


@pytest.mark.parametrize(
    ("names", "message"),
    [
        ((None, None), "Tensor name is needed when there are more than one tensors: {}"),
        (("x", "x"), "Duplicated names in the schema: {}"),
        (("x", None), "Either all or none of the schema should have names: {}"),
    ],
)
def test_tensor_schema_name_rules(names, message, raises_check):
    specs = tensors(*names)
    with raises_check(message.format(specs)):
        TensorDataSchema(name="pixels", type="tensor", schema=specs)


@pytest.mark.parametrize("names", [(None,), ("x",), ("x", "y")])
def test_tensor_schemas_one_unnamed_or_all_named_pass(names):
    schema = TensorDataSchema(name="pixels", type="tensor", schema=tensors(*names))
    assert len(schema.schema_) == len(names)


@pytest.mark.parametrize(("schema", "kind"), [(ColumnDataSchema, "column"), (TensorDataSchema, "tensor")])
def test_an_empty_schema_fails_on_its_first_name_unwrapped(schema, kind):
    # The first name is read unconditionally: the index error passes as it is.
    with pytest.raises(IndexError, match="list index out of range"):
        schema(name="empty", type=kind, schema=[])


def test_specs_can_be_given_under_the_alias_or_the_field_name():
    by_alias = ColumnDataSchema(name="features", type="column", schema=[{"name": "a", "dtype": "long"}])
    by_name = ColumnDataSchema(name="features", type="column", schema_=[{"name": "a", "dtype": "long"}])
    assert by_alias == by_name
    assert list(model_dump(by_alias, by_alias=True)) == ["name", "type", "schema"]
    assert list(model_dump(by_name)) == ["name", "type", "schema_"]


def test_specs_given_as_mappings_become_specs_of_the_schema_kind():
    column = ColumnDataSchema(name="c", type="column", schema=[{"name": "a", "dtype": "long"}])
    tensor = TensorDataSchema(name="t", type="tensor", schema=[{"name": "a", "dtype": "int8", "shape": [2]}])
    assert type(column.schema_[0]) is ColumnSpec
    assert type(tensor.schema_[0]) is TensorSpec
    assert column.schema_[0].shape == [1]


@pytest.mark.parametrize(
    ("schema", "kind", "specs"),
    [
        (ColumnDataSchema, "tensor", [{"dtype": "long"}]),
        (ColumnDataSchema, "dataframe", [{"dtype": "long"}]),
        (TensorDataSchema, "column", [{"dtype": "int8", "shape": [2]}]),
    ],
)
def test_each_schema_kind_accepts_only_its_own_type(schema, kind, specs):
    with pytest.raises(pydantic.ValidationError) as caught:
        schema(name="s", type=kind, schema=specs)
    assert [error["loc"] for error in caught.value.errors()] == [("type",)]


@pytest.mark.parametrize(
    ("schema", "kind"), [(ColumnDataSchema, DataSchemaType.column), (TensorDataSchema, "tensor")]
)
def test_the_type_is_the_schema_kind(schema, kind):
    built = schema(name="s", type=kind, schema=[{"dtype": "int8", "shape": [1]}])
    assert built.type == kind
    assert built.type is DataSchemaType(kind)


def test_a_tensor_spec_in_a_column_schema_must_keep_the_column_shape(raises_check):
    with raises_check(SHAPE_MESSAGE):
        ColumnDataSchema(name="c", type="column", schema=[{"dtype": "long", "shape": [3]}])


def test_the_data_schema_base_holds_either_kind():
    assert DataSchema.__abstractmethods__ == frozenset()
    assert "inference protocol" in DataSchema.__doc__
    built = DataSchema(name="s", type="tensor", schema=[SchemaSpec(dtype="x")])
    assert built.type is DataSchemaType.tensor


def schemas(*names: str) -> list[ColumnDataSchema]:
    return [ColumnDataSchema(name=name, type="column", schema=columns(None)) for name in names]


@pytest.mark.parametrize("field", ["inputs", "outputs"])
def test_a_signature_refuses_a_schema_name_twice_in_one_list(field, raises_check):
    listed = schemas("input", "input")
    given = {"inputs": schemas("other"), field: listed}
    with raises_check(f"Duplicated names in the schema list: {listed}"):
        ModelSignature(**given)


def test_a_signature_accepts_a_name_in_both_inputs_and_outputs():
    signature = ModelSignature(inputs=schemas("input", "mask"), outputs=schemas("input"))
    assert [schema.name for schema in signature.outputs] == ["input"]
    assert ModelSignature(inputs=schemas("input")).outputs is None


def test_a_signature_refuses_column_and_tensor_schemas_mixed():
    tensor = TensorDataSchema(name="t", type="tensor", schema=tensors(None))
    with pytest.raises(pydantic.ValidationError):
        ModelSignature(inputs=[*schemas("c"), tensor])


def test_spec_models_apply_no_rules_but_need_a_text_dtype():
    assert ColumnSpecModel(dtype="long", shape=[3]).shape == [3]
    assert ColumnSpecModel(name="", dtype="long").shape == [1]
    assert TensorSpecModel(dtype="float32", shape=[]).shape == []
    for dtype in (["long"], {"name": "long"}, None):
        with pytest.raises(pydantic.ValidationError):
            ColumnSpecModel(dtype=dtype)
    with pytest.raises(pydantic.ValidationError):
        TensorSpecModel(dtype="float32")
    assert ColumnSpecModel.__doc__ == "Column spec model."
    assert TensorSpecModel.__doc__ == "Tensor spec model."
