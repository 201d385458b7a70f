"""Revisionable documents: the contract, file names, the JSON layout, loading and the revision document."""

from __future__ import annotations

import inspect
import io
import json
import os
import subprocess
import sys
from collections import OrderedDict
from pathlib import Path, PosixPath
from typing import Any

import pydantic
import pytest

from velora.model_registry.schemas import (
    ColumnDataSchema,
    IOSample,
    ModelConfig,
    ModelExtensions,
    Revision,
    Revisionable,
    RevisionableSchema,
)
from velora.model_registry.values import SchemaRevision

BuilderContext = Revisionable.BuilderContext


class LabelSet(RevisionableSchema):
    """A document declared in Python on top of the native base, as a platform module would."""

    schema_name = "velora_label_set"
    revision = SchemaRevision.rev1
    title: str
    schemas: list[ColumnDataSchema]
    note: str | None = None


def label_set() -> LabelSet:
    spec = {"name": "é", "dtype": "string"}
    return LabelSet(title="labels ✓", schemas=[{"name": "labels", "type": "column", "schema": [spec]}])


def dump_to(path: Path, document: Revisionable) -> str:
    with path.open("w") as stream:
        assert document.dump(stream) is None
        assert not stream.closed
    return path.read_text()


@pytest.mark.parametrize(
    ("document", "filename"),
    [
        (Revision, "velora_revision.json"),
        (ModelConfig, "velora_model_config.json"),
        (IOSample, "velora_io_sample.json"),
    ],
)
def test_file_names_are_the_schema_names(document, filename):
    assert document.get_filename() == filename
    assert document.get_schema_name() + ".json" == filename


@pytest.mark.parametrize(
    ("filename", "schema_name"),
    [
        ("velora_revision.json", "velora_revision"),
        ("velora_model_config.json", "velora_model_config"),
        ("velora_revision.JSON", None),
        ("velora_revision", None),
        ("velora_revision.json.bak", None),
        (".json", ""),
        ("models/velora_io_sample.json", "models/velora_io_sample"),
        ("a.json.json", "a.json"),
    ],
)
def test_extract_schema_name_from_filename(filename, schema_name):
    assert Revisionable.extract_schema_name_from_filename(filename) == schema_name
    assert ModelConfig.extract_schema_name_from_filename(filename=filename) == schema_name


class Label(str):
    pass


@pytest.mark.parametrize(
    ("filename", "message"),
    [
        (PosixPath("a.json"), "Argument 'filename' has incorrect type (expected str, got PosixPath)"),
        (None, "Argument 'filename' has incorrect type (expected str, got NoneType)"),
        (Label("a.json"), "Argument 'filename' has incorrect type (expected str, got Label). Note that"),
    ],
)
def test_extract_schema_name_wants_exactly_a_str(filename, message):
    with pytest.raises(TypeError) as caught:
        Revision.extract_schema_name_from_filename(filename)
    assert str(caught.value).startswith(message)


@pytest.mark.parametrize("schema_name", ["", None])
def test_an_empty_schema_name_has_no_file_name(schema_name):
    class Unnamed(RevisionableSchema):
        pass

    Unnamed.schema_name = schema_name
    with pytest.raises(ValueError, match="^not allowed empty schema_name$"):
        Unnamed.get_filename()


def test_a_schema_name_must_be_a_str():
    class Numbered(RevisionableSchema):
        schema_name = 7  # type: ignore[assignment]

    with pytest.raises(TypeError, match="^Expected str, got int$"):
        Numbered.get_schema_name()
    with pytest.raises(TypeError, match="^Expected str, got int$"):
        Numbered.get_filename()


def test_get_filename_goes_through_an_overridden_get_schema_name():
    class Renamed(Revision):
        @classmethod
        def get_schema_name(cls) -> str:
            return "renamed"

    assert Renamed.get_filename() == "renamed.json"


def test_the_contract_is_abstract_and_its_empty_operations_return_none():
    assert Revisionable.__abstractmethods__ == {"load", "to_dict", "from_dict", "build", "get_schema_name"}
    with pytest.raises(TypeError, match="abstract"):
        Revisionable()
    assert Revisionable.load(io.StringIO("{}")) is None
    assert Revisionable.get_schema_name() is None
    assert RevisionableSchema.__abstractmethods__ == frozenset()


def test_a_subclass_that_leaves_an_operation_undefined_cannot_be_made():
    class Partial(Revisionable):
        @classmethod
        def load(cls, fp: Any) -> Revisionable:
            return cls()

        def to_dict(self) -> dict[str, Any]:
            return {}

    assert Partial.__abstractmethods__ == {"from_dict", "build", "get_schema_name"}
    with pytest.raises(TypeError):
        Partial()


@pytest.mark.parametrize(
    ("operation", "parameters"),
    [
        (Revisionable.load, ["fp"]),
        (Revisionable.from_dict, ["item"]),
        (Revisionable.build, ["context"]),
        (Revisionable.dump, ["self", "fp"]),
        (Revisionable.to_dict, ["self"]),
        (Revisionable.extract_schema_name_from_filename, ["filename"]),
        (Revision.parse, ["path"]),
        (RevisionableSchema.from_dict, ["item"]),
    ],
)
def test_operations_show_their_parameters(operation, parameters):
    assert list(inspect.signature(operation).parameters) == parameters


def test_revision_two_is_written_exactly(tmp_path):
    assert (
        dump_to(tmp_path / "velora_revision.json", Revision(revision=SchemaRevision.rev2))
        == '{"revision": "2"}'
    )


@pytest.mark.parametrize(
    ("given", "stored"), [(SchemaRevision.rev1, "1"), (SchemaRevision.rev2, "2"), ("2", "2")]
)
def test_a_revision_keeps_the_plain_value(given, stored):
    revision = Revision(revision=given)
    assert revision.revision == stored
    assert type(revision.revision) is str
    assert revision.to_dict() == {"revision": stored}


def test_a_revision_must_be_a_known_one():
    with pytest.raises(pydantic.ValidationError):
        Revision(revision="3")


def test_class_constants_are_not_fields(field_names):
    assert field_names(RevisionableSchema) == []
    assert field_names(Revision) == ["revision"]
    assert field_names(IOSample) == ["signatures"]
    assert field_names(ModelConfig) == ["flavors", "signatures", "extensions"]
    assert Revision.schema_name == "velora_revision"
    assert IOSample.revision is SchemaRevision.rev2


def test_a_document_round_trips_through_its_file(tmp_path):
    document = label_set()
    path = tmp_path / LabelSet.get_filename()
    text = dump_to(path, document)
    assert text == (
        '{"title": "labels \\u2713", "schemas": [{"name": "labels", "type": "column", '
        '"schema": [{"name": "\\u00e9", "dtype": "string", "shape": [1]}]}], "note": null}'
    )
    with path.open() as stream:
        loaded = LabelSet.load(stream)
    assert type(loaded) is LabelSet
    assert loaded == document


def test_to_dict_is_a_plain_dict_under_aliases():
    mapping = label_set().to_dict()
    assert type(mapping) is dict
    assert mapping["schemas"][0]["schema"] == [{"name": "é", "dtype": "string", "shape": [1]}]
    assert "schema_" not in mapping["schemas"][0]


def test_from_dict_reads_aliases_and_validates():
    assert LabelSet.from_dict(label_set().to_dict()) == label_set()
    assert type(Revision.from_dict({"revision": "1"})) is Revision
    with pytest.raises(pydantic.ValidationError):
        LabelSet.from_dict({"title": "no schemas"})


class Entries(dict):
    pass


@pytest.mark.parametrize(
    ("item", "message"),
    [
        ([("revision", "2")], "Argument 'item' has incorrect type (expected dict, got list)"),
        (Entries(revision="2"), "Argument 'item' has incorrect type (expected dict, got Entries). Note that"),
        (
            OrderedDict(revision="2"),
            "Argument 'item' has incorrect type (expected dict, got collections.OrderedDict)",
        ),
    ],
)
def test_from_dict_wants_exactly_a_dict(item, message):
    with pytest.raises(TypeError) as caught:
        Revision.from_dict(item)
    assert str(caught.value).startswith(message)


def test_to_dict_refuses_a_dump_that_is_not_a_dict(monkeypatch):
    monkeypatch.setattr("velora.model_registry.schemas.model_dump", lambda model, **_: [("revision", "2")])
    with pytest.raises(TypeError, match="^Expected dict, got list$"):
        Revision(revision="2").to_dict()


def test_dump_writes_what_to_dict_returns_through_the_encoder():
    class Shouting(Revision):
        def to_dict(self) -> dict[str, Any]:
            return {"revision": self.revision, "path": Path("/models/a"), "raw": b"\x00\xff"}

    stream = io.StringIO()
    Shouting(revision="2").dump(stream)
    assert stream.getvalue() == '{"revision": "2", "path": "/models/a", "raw": "AP8="}'


def test_malformed_and_unfitting_files_raise_the_readers_errors():
    with pytest.raises(json.JSONDecodeError):
        Revision.load(io.StringIO('{"revision": '))
    with pytest.raises(pydantic.ValidationError):
        Revision.load(io.StringIO('{"revision": "7"}'))


class RecordingPath(type(Path())):  # type: ignore[misc]
    """A filesystem path that keeps the files it opens, to see them closed."""

    opened: list[Any] = []

    def open(self, *args: Any, **kwargs: Any) -> Any:
        stream = super().open(*args, **kwargs)
        RecordingPath.opened.append(stream)
        return stream


@pytest.mark.parametrize("as_text", [True, False])
def test_parse_reads_the_revision_file_of_a_directory(tmp_path, as_text):
    (tmp_path / "velora_revision.json").write_text('{"revision": "2"}')
    parsed = Revision.parse(str(tmp_path) if as_text else tmp_path)
    assert type(parsed) is Revision
    assert parsed.revision == "2"
    assert Revision.parse(path=tmp_path) == parsed


def test_parse_reads_utf8_whatever_the_locale(tmp_path):
    (tmp_path / "velora_revision.json").write_bytes('{"revision": "2", "note": "r\u00e9vision"}'.encode())
    script = (
        "import sys\n"
        "from velora.model_registry.schemas import Revision\n"
        "print(Revision.parse(sys.argv[1]).revision)"
    )
    # The C locale without UTF-8 mode: the locale's encoding is ASCII.
    environment = {**os.environ, "LC_ALL": "C", "PYTHONUTF8": "0", "PYTHONCOERCECLOCALE": "0"}
    result = subprocess.run(
        [sys.executable, "-P", "-c", script, str(tmp_path)],
        env=environment,
        cwd=tmp_path,
        capture_output=True,
        text=True,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[-1] == "2"


@pytest.mark.parametrize(("content", "error"), [('{"revision": "2"}', None), ("{", json.JSONDecodeError)])
def test_parse_closes_the_file_on_every_exit(tmp_path, content, error):
    (tmp_path / "velora_revision.json").write_text(content)
    RecordingPath.opened.clear()
    if error is None:
        Revision.parse(RecordingPath(tmp_path))
    else:
        with pytest.raises(error):
            Revision.parse(RecordingPath(tmp_path))
    assert [stream.closed for stream in RecordingPath.opened] == [True]


def test_parse_names_the_file_by_the_class_and_reads_a_revision(tmp_path):
    class StagedRevision(Revision):
        schema_name = "staged_revision"

    (tmp_path / "staged_revision.json").write_text('{"revision": "1"}')
    parsed = StagedRevision.parse(tmp_path)
    assert type(parsed) is Revision
    assert parsed.revision == "1"


def test_parse_without_the_revision_file_raises_file_not_found(tmp_path):
    with pytest.raises(FileNotFoundError):
        Revision.parse(tmp_path)


def test_revision_build_takes_the_context_revision():
    built = Revision.build(BuilderContext(revision=SchemaRevision.rev2))
    assert built == Revision(revision="2")
    with pytest.raises(AttributeError):
        Revision.build(BuilderContext())
    with pytest.raises(pydantic.ValidationError):
        Revision.build(BuilderContext(revision="x"))


def test_documents_without_a_builder_of_their_own_raise_not_implemented():
    with pytest.raises(NotImplementedError):
        RevisionableSchema.build(BuilderContext())
    with pytest.raises(NotImplementedError):
        LabelSet.build(context=BuilderContext(title="t"))


@pytest.mark.parametrize(
    ("entries", "printed"),
    [
        ({}, "BuilderContext()"),
        ({"b": "x", "a": 1}, "BuilderContext(a=1, b='x')"),
        (
            {"framework": None, "artifact_size_bytes": 10},
            "BuilderContext(artifact_size_bytes=10, framework=None)",
        ),
        ({"inner": BuilderContext(z=[1])}, "BuilderContext(inner=BuilderContext(z=[1]))"),
    ],
)
def test_the_printed_form_of_a_context_lists_entries_by_name(entries, printed):
    assert repr(BuilderContext(**entries)) == printed


def test_a_context_containing_itself_prints_without_recursing():
    context = BuilderContext(a=1)
    context.itself = context
    assert repr(context) == "BuilderContext(a=1, itself=BuilderContext(...))"


def test_a_context_is_a_namespace_whose_entries_count_when_present():
    context = BuilderContext(framework="sklearn", mlflow_model_info=None)
    assert context.mlflow_model_info is None
    assert context == BuilderContext(mlflow_model_info=None, framework="sklearn")
    assert Revisionable.BuilderContext.__qualname__ == "Revisionable.BuilderContext"


def test_a_builder_names_the_first_missing_entry_with_the_context():
    context = BuilderContext(mlflow_model_info={"run_id": "r1"}, framework="sklearn")
    with pytest.raises(ValueError) as caught:
        ModelExtensions.build(context)
    assert str(caught.value) == (
        "not found image_snapshot_info in builder context: "
        "context=BuilderContext(framework='sklearn', mlflow_model_info={'run_id': 'r1'})"
    )
