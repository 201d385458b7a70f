"""Random argument tuples and keywords through native built-ins of every C++ module.

The argument parser must refuse what does not fit with TypeError and never
crash or leave an error half-set (SystemError). Arguments that happen to fit
reach the function, which may then raise only its own errors, listed per
function below; an argument's own exception (from __index__, __str__, __eq__
...) may come through unchanged. Functions that call the platform run against
a loopback port where nothing listens, so a call that passes the parser fails
with the request layer's connection error instead of doing anything.
"""

from __future__ import annotations

import importlib
import io
import re
import socket
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import pydantic
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from velora.common.corlett import CorlettError
from velora.common.enum_ import StrEnum, auto
from velora.common.schemas import DatabaseType
from velora.dataset import corlett, methods
from velora.inference_services.brinwell import (
    DBQueryBuilderFactory,
    MSSQLQueryBuilder,
    MySQLQueryBuilder,
    OracleQueryBuilder,
    PostgreSQLQueryBuilder,
)
from velora.model_registry.methods.frameworks import mlflow as mlflow_methods
from velora.model_registry.schemas import IOSample, ModelConfig, ModelSignature, Revision
from velora.model_registry.values import ModelFramework, SchemaRevision
from velora.server.cli import client_environment
from velora.settings import Settings

ROOT = Path(__file__).resolve().parents[2]


class Boom(Exception):
    """What the hostile objects below raise: an argument's own error."""


class Text(str):
    pass


class Items(list):  # type: ignore[type-arg]
    pass


class RaisingIndex:
    def __index__(self) -> int:
        raise Boom("__index__")


class RaisingStr:
    def __str__(self) -> str:
        raise Boom("__str__")

    __repr__ = __str__


class RaisingEq:
    def __eq__(self, other: object) -> bool:
        raise Boom("__eq__")

    def __hash__(self) -> int:
        return 7


class RaisingBool:
    def __bool__(self) -> bool:
        raise Boom("__bool__")


class Color(StrEnum):
    RED = auto()


leaves = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(),
    st.integers(min_value=2**63, max_value=2**200) | st.integers(max_value=-(2**63), min_value=-(2**200)),
    st.floats(allow_nan=True, allow_infinity=True),
    st.text(max_size=20),
    st.binary(max_size=20),
    st.text(max_size=5).map(Text),
    st.builds(Items),
    st.sampled_from([Color.RED, DatabaseType.postgresql, SchemaRevision.rev2, ModelFramework.pytorch]),
    st.builds(RaisingIndex),
    st.builds(RaisingStr),
    st.builds(RaisingEq),
    st.builds(RaisingBool),
    st.builds(object),
    st.just(1j),
    st.just(io.StringIO("{")),
)
hostile_objects = st.recursive(
    leaves,
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=5), inner, max_size=3),
    max_leaves=6,
)
# Keywords: the functions' own parameter names half of the time, so that the
# duplicate, missing and out-of-order paths are reached, else anything.
PARAMETER_NAMES = [
    "self",
    "cls",
    "name",
    "start",
    "count",
    "last_values",
    "value",
    "db_type",
    "table",
    "filters",
    "sorting",
    "limit",
    "offset",
    "identifier",
    "query",
    "match_type",
    "table_name",
    "filename",
    "path",
    "fp",
    "item",
    "sample",
    "page",
    "page_size",
    "dataset_id",
    "data_snapshot_id",
    "description",
    "model_info",
]
keywords = st.dictionaries(
    st.sampled_from(PARAMETER_NAMES) | st.text(max_size=8), hostile_objects, max_size=3
)
arguments = st.lists(hostile_objects, max_size=7).map(tuple)


@dataclass(frozen=True)
class Target:
    """A native callable and the errors of its own it may raise once the arguments fit."""

    name: str
    function: Callable[..., Any]
    own_errors: tuple[type[BaseException], ...] = ()


# What a query builder's method raises for arguments of the right type but
# unusable value: a name the dialect cannot hold, a record without its fields,
# a match type that is no member.
BUILDER_ERRORS = (ValueError, AttributeError, KeyError)
DOCUMENT_ERRORS = (ValueError, AttributeError, KeyError, OSError, pydantic.ValidationError)

TARGETS = [
    # velora.common.enum_: a static method, a class method.
    Target("StrEnum._generate_next_value_", StrEnum._generate_next_value_),
    Target("StrEnum.has_value", Color.has_value),
    # velora.model_registry.values
    Target("SchemaRevision.get_latest_revision", SchemaRevision.get_latest_revision),
    Target("ModelFramework.has_value", ModelFramework.has_value),
    # velora.inference_services.brinwell: methods of each dialect, the factory's class method.
    Target(
        "PostgreSQLQueryBuilder.build_select_query",
        PostgreSQLQueryBuilder().build_select_query,
        BUILDER_ERRORS,
    ),
    Target("MySQLQueryBuilder.build_schema_query", MySQLQueryBuilder().build_schema_query, BUILDER_ERRORS),
    Target("MSSQLQueryBuilder.quote_identifier", MSSQLQueryBuilder().quote_identifier, BUILDER_ERRORS),
    Target("OracleQueryBuilder.add_pagination", OracleQueryBuilder().add_pagination, BUILDER_ERRORS),
    Target("PostgreSQLQueryBuilder.get_operator", PostgreSQLQueryBuilder().get_operator, BUILDER_ERRORS),
    Target(
        "MySQLQueryBuilder.validate_custom_query", MySQLQueryBuilder().validate_custom_query, BUILDER_ERRORS
    ),
    Target("PostgreSQLQueryBuilder.__init__", PostgreSQLQueryBuilder.__init__, BUILDER_ERRORS),
    Target("DBQueryBuilderFactory.get_builder", DBQueryBuilderFactory.get_builder, (ValueError,)),
    # velora.model_registry.schemas: documents' class methods and static helpers.
    Target("Revision.get_filename", Revision.get_filename),
    Target("Revision.extract_schema_name_from_filename", Revision.extract_schema_name_from_filename),
    Target("Revision.load", Revision.load, DOCUMENT_ERRORS),
    Target("Revision.parse", Revision.parse, DOCUMENT_ERRORS),
    Target("ModelConfig.from_dict", ModelConfig.from_dict, DOCUMENT_ERRORS),
    Target("IOSample.generate_io_field", IOSample.generate_io_field, DOCUMENT_ERRORS),
    Target("ModelSignature.generate_io_field", ModelSignature.generate_io_field, DOCUMENT_ERRORS),
    # velora.model_registry.methods.frameworks.mlflow
    Target(
        "mlflow.extract_framework_type_from",
        mlflow_methods.extract_framework_type_from,
        (AttributeError, KeyError, ValueError),
    ),
    # velora.dataset.corlett and velora.dataset.methods: requests to the platform.
    Target("corlett.sdk_get_data_snapshot_by_name", corlett.sdk_get_data_snapshot_by_name, (CorlettError,)),
    Target("corlett.sdk_get_data_snapshot_list", corlett.sdk_get_data_snapshot_list, (CorlettError,)),
    Target("methods.get_dataset", methods.get_dataset, (CorlettError,)),
    Target(
        "methods.get_code_snippet_to_import_dataset",
        methods.get_code_snippet_to_import_dataset,
        (CorlettError,),
    ),
]


@pytest.fixture(scope="module")
def nothing_listening() -> Iterator[str]:
    """A loopback URL where nothing listens: the port is held bound but never accepts."""
    with socket.socket() as held:
        held.bind(("127.0.0.1", 0))
        yield f"http://127.0.0.1:{held.getsockname()[1]}"


@pytest.fixture
def unreachable_platform(nothing_listening: str, restore_settings: Settings) -> None:
    """Settings of a development instance whose platform service does not answer."""
    for name, value in client_environment(nothing_listening, "token", "1", "1", "workload").items():
        setattr(restore_settings, name, value)
    restore_settings.VELORA_USER_ID = "tester"
    restore_settings.VELORA_REQUEST_TIMEOUT = 2


def module_of(function: Callable[..., Any]) -> str | None:
    """The module a built-in belongs to: its own, or that of the class or object it is bound to."""
    owner = getattr(function, "__self__", None)
    if owner is None or isinstance(owner, type(socket)):
        return function.__module__
    return owner.__module__ if isinstance(owner, type) else type(owner).__module__


def test_every_native_module_with_public_names_has_a_target() -> None:
    built = re.findall(r"^velora_module\((\S+)", (ROOT / "CMakeLists.txt").read_text(), re.MULTILINE)
    with_names = {
        name for name in built if any(not n.startswith("_") for n in vars(importlib.import_module(name)))
    }
    assert with_names - {module_of(target.function) for target in TARGETS} == set()


@pytest.mark.usefixtures("unreachable_platform")
@pytest.mark.parametrize("target", TARGETS, ids=lambda target: target.name)
@settings(max_examples=120, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(args=arguments, kwargs=keywords)
def test_random_arguments_raise_only_type_error_or_the_functions_own(
    target: Target, args: tuple[Any, ...], kwargs: dict[str, Any]
) -> None:
    try:
        target.function(*args, **kwargs)
    except (TypeError, Boom):
        pass
    except target.own_errors:
        pass
    except SystemError as error:  # a result with an error set, or an error without one
        pytest.fail(f"{target.name}: {error!r}")
