"""The built schema module as a whole: its stub, the pydantic form it chose, and names read at call time."""

from __future__ import annotations

import io
import json
import types
from pathlib import Path

import pydantic

from velora.model_registry import schemas
from velora.pydantic_compat import PYDANTIC_V2

HERE = Path(__file__).parent
SOURCE_ROOT = HERE.parents[1]
MODULE = "velora.model_registry.schemas"


def test_the_module_took_the_installed_pydantic_form():
    assert schemas.PYDANTIC_V2 is PYDANTIC_V2
    assert pydantic.VERSION.startswith("2.") == PYDANTIC_V2
    if PYDANTIC_V2:
        assert schemas.DataSchema.model_config["populate_by_name"] is True
        assert schemas.RevisionableSchema.model_config["use_enum_values"] is True
        assert schemas.RevisionableSchema.model_config["ignored_types"] == schemas.NATIVE_FUNCTION_TYPES
        assert not hasattr(schemas, "validator")
    else:
        assert schemas.DataSchema.__config__.allow_population_by_field_name is True
        assert schemas.RevisionableSchema.__config__.use_enum_values is True
        assert set(schemas.NATIVE_FUNCTION_TYPES) <= set(schemas.RevisionableSchema.__config__.keep_untouched)
        assert not hasattr(schemas, "field_validator")


def test_native_operations_are_built_ins_and_not_fields():
    assert isinstance(vars(schemas.RevisionableSchema)["to_dict"], schemas.NATIVE_FUNCTION_TYPES)
    assert isinstance(schemas.ColumnSpec.validate_shape, types.MethodType)
    assert isinstance(schemas.ColumnSpec.validate_shape.__func__, types.BuiltinFunctionType)
    assert schemas.ModelConfig.get_filename.__self__ is schemas.ModelConfig


def test_records_read_like_their_declaration():
    assert schemas.ColumnSpec.__module__ == MODULE
    assert schemas.ColumnSpec.__mro__[1] is schemas.SchemaSpec
    assert schemas.RevisionableSchema.__bases__ == (schemas.Revisionable, pydantic.BaseModel)
    assert schemas.DataSchema.__bases__[1].__name__ == "ABC"
    assert schemas.Revisionable.BuilderContext.__bases__ == (types.SimpleNamespace,)
    assert "MLflow 2.12.1" in schemas.ModelSignature.__doc__


def test_dump_reads_the_encoder_and_writer_at_call_time(monkeypatch):
    class Marking(json.JSONEncoder):
        def iterencode(self, o, _one_shot=False):
            return iter(["marked"])

    monkeypatch.setattr(f"{MODULE}.CustomEncoder", Marking)
    stream = io.StringIO()
    schemas.Revision(revision="2").dump(stream)
    assert stream.getvalue() == "marked"


def test_load_reads_model_validate_at_call_time(monkeypatch):
    seen = []
    monkeypatch.setattr(f"{MODULE}.model_validate", lambda cls, data: seen.append((cls, data)) or "validated")
    assert schemas.Revision.load(io.StringIO('{"revision": "1"}')) == "validated"
    assert seen == [(schemas.Revision, {"revision": "1"})]


def test_builders_read_the_mlflow_type_utilities_at_call_time(monkeypatch):
    import pandas as pd

    monkeypatch.setattr(f"{MODULE}._infer_pandas_column", lambda column: "custom")
    schema = schemas.ModelSignature.generate_io_field("input_0", pd.Series([1]))
    assert schema.schema_[0].dtype == "custom"
