"""Malformed JSON and wrongly shaped documents through the schema classes' load and parse.

A document that cannot be read fails with the JSON reader's own error, one
that does not fit its class with pydantic's ValidationError: never a crash,
never another exception type. Which one is asserted exactly, case by case.
"""

from __future__ import annotations

import copy
import io
import json
from pathlib import Path
from typing import Any

import pydantic
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from velora.model_registry.schemas import IOSample, ModelConfig, Revision

REVISION = {"revision": "2"}
MODEL_CONFIG = {
    "flavors": {"model_path": "model", "framework": "pytorch"},
    "signatures": {
        "predict": {
            "inputs": [
                {
                    "name": "x",
                    "type": "tensor",
                    "schema": [{"name": None, "dtype": "float32", "shape": [-1, 4]}],
                }
            ],
            "outputs": [
                {"name": "y", "type": "column", "schema": [{"name": "y", "dtype": "double", "shape": None}]}
            ],
        }
    },
    "extensions": {
        "model_info": {"created_at": 1700000000, "artifact_size": 10},
        "container": {"image_url": "image", "service": {"name": "image_snapshots", "resource_uuid": "u"}},
        "source": {"entityname": "pipeline", "resource_id": 3, "run_uuid": "r"},
    },
}
IO_SAMPLE = {"signatures": {"predict": {"inputs": [{"name": "x", "data": [[1.0, 2.0]]}], "outputs": None}}}
DOCUMENTS = [
    pytest.param(Revision, REVISION, id="revision"),
    pytest.param(ModelConfig, MODEL_CONFIG, id="model-config"),
    pytest.param(IOSample, IO_SAMPLE, id="io-sample"),
]
DOCUMENT_CLASSES = [Revision, ModelConfig, IOSample]

# What the reader raises for text that is not JSON at all: every proper prefix
# of a document, stray commas, quotes and words JSON does not have, a BOM kept
# in the text (a file opened as UTF-8, not UTF-8-SIG), trailing data.
NOT_JSON = [
    "",
    " ",
    "{",
    '{"revision": ',
    '{"revision": "2"',
    '{"revision": "2",}',
    "{'revision': '2'}",
    '{"revision": "2"}}',
    '{"revision": "2"} {}',
    '{"revision": undefined}',
    '{"revision": "\\x41"}',
    '{"revision": "\\ud800"',
    "\ufeff" + json.dumps(REVISION),
    "[" * 10 + "]" * 9,
    "\x00",
]


@pytest.mark.parametrize("document_class", DOCUMENT_CLASSES)
@pytest.mark.parametrize("text", NOT_JSON)
def test_text_that_is_not_json_raises_the_decode_error(document_class: Any, text: str) -> None:
    with pytest.raises(json.JSONDecodeError):
        document_class.load(io.StringIO(text))


@pytest.mark.parametrize(("document_class", "document"), DOCUMENTS)
@settings(max_examples=40, deadline=None)
@given(data=st.data())
def test_every_truncated_document_raises_the_decode_error(
    document_class: Any, document: dict[str, Any], data: st.DataObject
) -> None:
    text = json.dumps(document)
    assert document_class.load(io.StringIO(text)) is not None
    cut = data.draw(st.integers(0, len(text) - 1))
    with pytest.raises(json.JSONDecodeError):
        document_class.load(io.StringIO(text[:cut]))


# JSON the reader takes whose values do not fit: wrong types, NaN and infinity,
# numbers beyond any field, a document that is no object, missing keys, lists
# for objects.
UNFITTING = [
    pytest.param(Revision, "null", id="revision-null"),
    pytest.param(Revision, "[]", id="revision-list"),
    pytest.param(Revision, '"2"', id="revision-string"),
    pytest.param(Revision, "{}", id="revision-missing"),
    pytest.param(Revision, '{"revision": 2}', id="revision-int"),
    pytest.param(Revision, '{"revision": NaN}', id="revision-nan"),
    pytest.param(Revision, '{"revision": -Infinity}', id="revision-infinity"),
    pytest.param(Revision, '{"revision": 1e999}', id="revision-overflowing-float"),
    pytest.param(Revision, '{"revision": "7"}', id="revision-unknown"),
    pytest.param(Revision, '{"revision": ["2"]}', id="revision-list-value"),
    pytest.param(Revision, '{"revision": ' + "[" * 200 + "]" * 200 + "}", id="revision-deep-within-limit"),
    pytest.param(ModelConfig, "{}", id="config-missing"),
    pytest.param(ModelConfig, '{"flavors": [], "signatures": {}}', id="config-list-for-object"),
    pytest.param(
        ModelConfig, '{"flavors": {"model_path": "m", "framework": "f"}, "signatures": []}', id="config-list"
    ),
    pytest.param(
        ModelConfig, json.dumps({**MODEL_CONFIG, "flavors": {"model_path": "m"}}), id="config-no-framework"
    ),
    pytest.param(
        ModelConfig,
        json.dumps(MODEL_CONFIG).replace("1700000000", "NaN"),
        id="config-nan-timestamp",
    ),
    pytest.param(
        ModelConfig, json.dumps(MODEL_CONFIG).replace("[-1, 4]", '{"0": -1}'), id="config-shape-object"
    ),
    pytest.param(
        ModelConfig, json.dumps(MODEL_CONFIG).replace('"tensor"', '"matrix"'), id="config-unknown-type"
    ),
    pytest.param(IOSample, '{"signatures": []}', id="sample-list-for-object"),
    pytest.param(IOSample, '{"signatures": {"predict": {"outputs": []}}}', id="sample-no-inputs"),
    pytest.param(IOSample, '{"signatures": {"predict": {"inputs": 5}}}', id="sample-inputs-number"),
]


@pytest.mark.parametrize(("document_class", "text"), UNFITTING)
def test_json_that_does_not_fit_raises_the_validation_error(document_class: Any, text: str) -> None:
    with pytest.raises(pydantic.ValidationError):
        document_class.load(io.StringIO(text))


@pytest.mark.parametrize(
    ("document_class", "text", "error"),
    [
        # The reader's own limits: nesting deeper than the interpreter recurses,
        # and integers longer than Python converts from text.
        pytest.param(Revision, "[" * 100_000 + "]" * 100_000, RecursionError, id="deep-nesting"),
        pytest.param(IOSample, '{"signatures": ' + "[" * 100_000, RecursionError, id="deep-truncated"),
        pytest.param(
            Revision, '{"revision": ' + "9" * 5000 + "}", ValueError, id="integer-beyond-digit-limit"
        ),
    ],
)
def test_documents_beyond_the_readers_limits_raise_its_errors(
    document_class: Any, text: str, error: type
) -> None:
    with pytest.raises(error) as raised:
        document_class.load(io.StringIO(text))
    assert type(raised.value) is error


@pytest.mark.parametrize(("document_class", "document"), DOCUMENTS)
def test_extra_keys_are_ignored(document_class: Any, document: dict[str, Any]) -> None:
    loaded = document_class.load(io.StringIO(json.dumps({**document, "unexpected": {"x": [1]}})))
    assert loaded == document_class.load(io.StringIO(json.dumps(document)))


@pytest.mark.parametrize(
    ("content", "error"),
    [
        pytest.param(b'{"revision": "\xff2"}', UnicodeDecodeError, id="latin-1-byte"),
        pytest.param(b'{"revision": "\xc3"}', UnicodeDecodeError, id="cut-utf-8-sequence"),
        pytest.param('{"revision": "2"}'.encode("utf-16"), UnicodeDecodeError, id="utf-16"),
        pytest.param(b"\xef\xbb\xbf" + json.dumps(REVISION).encode(), json.JSONDecodeError, id="utf-8-bom"),
        pytest.param(b'{"revision": "2"', json.JSONDecodeError, id="truncated"),
        pytest.param(b'{"revision": "\xc3\xa9"}', pydantic.ValidationError, id="utf-8-unknown-revision"),
    ],
)
def test_parse_of_a_malformed_file_raises_the_readers_error(
    tmp_path: Path, content: bytes, error: type
) -> None:
    (tmp_path / Revision.get_filename()).write_bytes(content)
    with pytest.raises(error) as raised:
        Revision.parse(tmp_path)
    assert type(raised.value) is error


@pytest.mark.parametrize("document_class", DOCUMENT_CLASSES)
def test_load_of_a_binary_stream_with_bad_bytes_raises_the_decode_error(document_class: Any) -> None:
    stream = io.TextIOWrapper(io.BytesIO(b'{"revision": "\xff"}'), encoding="utf-8")
    with pytest.raises(UnicodeDecodeError):
        document_class.load(stream)


# ---------------------------------------------------------------- random documents

json_values = st.recursive(
    st.none()
    | st.booleans()
    | st.integers()
    | st.floats(allow_nan=True, allow_infinity=True)
    | st.text(max_size=10)
    | st.sampled_from(["2", "1", "pytorch", "tensor", "column", "image_snapshots", "pipeline"]),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=8), inner, max_size=4),
    max_leaves=12,
)


def paths_of(value: Any, prefix: tuple[Any, ...] = ()) -> list[tuple[Any, ...]]:
    """Every place in a JSON value: the keys and indexes leading to it."""
    places = [prefix]
    if isinstance(value, dict):
        for key, item in value.items():
            places += paths_of(item, (*prefix, key))
    elif isinstance(value, list):
        for index, item in enumerate(value):
            places += paths_of(item, (*prefix, index))
    return places


def replaced(document: Any, path: tuple[Any, ...], value: Any) -> Any:
    if not path:
        return value
    changed = copy.deepcopy(document)
    holder = changed
    for step in path[:-1]:
        holder = holder[step]
    holder[path[-1]] = value
    return changed


def holds_empty_schema(value: Any) -> bool:
    if isinstance(value, dict):
        return value.get("schema") == [] or any(map(holds_empty_schema, value.values()))
    return isinstance(value, list) and any(map(holds_empty_schema, value))


def load_or_refuse(document_class: Any, text: str) -> None:
    """Load `text`; a refusal must be the decode error or the validation error.

    A data schema with no specs is the one exception: its grouping check reads
    the first spec's name, and the index error comes through as it is.
    """
    try:
        loaded = document_class.load(io.StringIO(text))
    except (json.JSONDecodeError, pydantic.ValidationError):
        return
    except IndexError:
        assert holds_empty_schema(json.loads(text))
        return
    assert isinstance(loaded, document_class)


@pytest.mark.parametrize(("document_class", "document"), DOCUMENTS)
@settings(max_examples=80, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=st.data())
def test_a_document_with_any_part_replaced_loads_or_fails_validation(
    document_class: Any, document: dict[str, Any], data: st.DataObject
) -> None:
    path = data.draw(st.sampled_from(paths_of(document)))
    load_or_refuse(document_class, json.dumps(replaced(document, path, data.draw(json_values))))


@pytest.mark.parametrize("document_class", DOCUMENT_CLASSES)
@settings(max_examples=80, deadline=None)
@given(text=st.text(st.sampled_from('{}[]",:0123456789.eE+-truefalsnNaIiy \\u"revision2')))
def test_any_text_loads_or_fails_to_decode_or_validate(document_class: Any, text: str) -> None:
    load_or_refuse(document_class, text)


@settings(max_examples=80, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(
    content=st.one_of(
        st.binary(max_size=40),
        st.builds(lambda head, cut: head[:cut], st.just(json.dumps(REVISION).encode()), st.integers(0, 20)),
        st.builds(
            lambda prefix, tail: prefix + tail,
            st.sampled_from([b"\xef\xbb\xbf", b"\xff\xfe", b""]),
            st.binary(max_size=40) | st.just(json.dumps(REVISION).encode()),
        ),
    )
)
def test_parse_of_any_file_content_loads_or_raises_a_readers_error(tmp_path: Path, content: bytes) -> None:
    (tmp_path / Revision.get_filename()).write_bytes(content)
    try:
        parsed = Revision.parse(tmp_path)
    except (json.JSONDecodeError, UnicodeDecodeError, pydantic.ValidationError):
        return
    assert isinstance(parsed, Revision)
