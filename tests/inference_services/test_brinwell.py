"""The SQL texts and parameters of the query builders, dialect by dialect."""

from __future__ import annotations

import enum
import inspect
import re
import typing
from unittest import mock

import pytest
from brinwell_records import ASC, DESC, DIALECTS, Match, order, where
from hypothesis import given, settings
from hypothesis import strategies as st

from velora.common.schemas import DatabaseType
from velora.inference_services import brinwell
from velora.inference_services.brinwell import (
    DBQueryBuilder,
    DBQueryBuilderFactory,
    MSSQLQueryBuilder,
    MySQLQueryBuilder,
    OracleQueryBuilder,
    PostgreSQLQueryBuilder,
    TiberoQueryBuilder,
)
from velora.inference_services.schemas import InferenceDatabaseRecordsFilter, InferenceDatabaseRecordsSorting

# The factory's table, in its order.
FACTORY = [
    (DatabaseType.postgresql, PostgreSQLQueryBuilder),
    (DatabaseType.mysql, MySQLQueryBuilder),
    (DatabaseType.oracle, OracleQueryBuilder),
    (DatabaseType.mssql, MSSQLQueryBuilder),
    (DatabaseType.tibero, TiberoQueryBuilder),
]


def sort_record(column: str, direction_value: object) -> InferenceDatabaseRecordsSorting:
    """A sort whose order_type.value is anything at all (records refuse that on validation)."""
    return InferenceDatabaseRecordsSorting.model_construct(
        column_name=column, order_type=mock.Mock(value=direction_value)
    )


# ---------------------------------------------------------------- fields and classes


@pytest.mark.parametrize(
    ("builder_class", "quote", "limit_offset", "ilike"),
    [
        (PostgreSQLQueryBuilder, '"', True, True),
        (MySQLQueryBuilder, "`", True, False),
        (MSSQLQueryBuilder, "[", True, False),
        (OracleQueryBuilder, "", False, False),
        (TiberoQueryBuilder, "", False, False),
    ],
)
def test_dialect_fields(
    builder_class: type[DBQueryBuilder], quote: str, limit_offset: bool, ilike: bool
) -> None:
    builder = builder_class()
    assert vars(builder) == {
        "identifier_quote": quote,
        "supports_limit_offset": limit_offset,
        "use_ilike": ilike,
    }


def test_base_is_abstract_until_build_schema_query_exists() -> None:
    with pytest.raises(
        TypeError, match="Can't instantiate abstract class DBQueryBuilder .*build_schema_query"
    ):
        DBQueryBuilder()

    class Incomplete(DBQueryBuilder):
        pass

    with pytest.raises(TypeError, match="Can't instantiate abstract class Incomplete"):
        Incomplete()

    class Delegating(DBQueryBuilder):
        def build_schema_query(self, table_name: str) -> str:
            return super().build_schema_query(table_name)

    builder = Delegating()
    assert vars(builder) == {"identifier_quote": '"', "supports_limit_offset": True, "use_ilike": False}
    with pytest.raises(NotImplementedError, match="^Subclass must implement build_schema_query$"):
        builder.build_schema_query("records")
    with pytest.raises(TypeError, match="Argument 'table_name' has incorrect type"):
        builder.build_schema_query(1)


def test_class_declarations() -> None:
    assert DBQueryBuilder.__bases__ == (brinwell.ABC,)
    assert DBQueryBuilder.__doc__ == "Abstract base class for database-specific query builders"
    assert TiberoQueryBuilder.__bases__ == (OracleQueryBuilder,)
    assert TiberoQueryBuilder.__doc__ == "Tibero uses Oracle-compatible syntax"
    assert [c.__doc__ for c in DIALECTS[:4]] == [None] * 4
    assert DBQueryBuilderFactory.__doc__ == "Factory for creating database-specific query builders"
    own = [name for name in vars(DBQueryBuilder) if not name.startswith("__") or name == "__init__"]
    assert own[: own.index("add_pagination") + 1] == [
        "__init__",
        "validate_custom_query",
        "build_select_query",
        "build_schema_query",
        "quote_identifier",
        "get_operator",
        "add_pagination",
    ]
    assert typing.get_args(brinwell.ConcreteQueryBuilder) == tuple(cls for _, cls in FACTORY)
    assert brinwell.BuilderType == typing.Type[brinwell.ConcreteQueryBuilder]  # noqa: UP006
    table_type = typing.Dict[DatabaseType, brinwell.BuilderType]  # noqa: UP006
    assert DBQueryBuilderFactory.__annotations__["_builders"] == table_type


@pytest.mark.parametrize(
    ("method", "signature"),
    [
        (
            DBQueryBuilder.build_select_query,
            "(self, table, filters=None, sorting=None, limit=None, offset=None)",
        ),
        (DBQueryBuilder.build_schema_query, "(self, table_name)"),
        (DBQueryBuilder.add_pagination, "(self, query, limit, offset)"),
        (MSSQLQueryBuilder.add_pagination, "(self, query, limit, offset)"),
        (DBQueryBuilder.quote_identifier, "(self, identifier)"),
        (DBQueryBuilder.get_operator, "(self, match_type)"),
        (OracleQueryBuilder.validate_custom_query, "(self, query)"),
        (DBQueryBuilderFactory.get_builder, "(db_type)"),
    ],
)
def test_signatures(method: object, signature: str) -> None:
    assert str(inspect.signature(method)) == signature


# ---------------------------------------------------------------- quoting


@pytest.mark.parametrize(
    ("builder_class", "identifier", "quoted"),
    [
        (PostgreSQLQueryBuilder, "records", '"records"'),
        (PostgreSQLQueryBuilder, 'say "hi"', '"say ""hi"""'),
        (PostgreSQLQueryBuilder, "back`tick]", '"back`tick]"'),
        (MySQLQueryBuilder, "records", "`records`"),
        (MySQLQueryBuilder, "a`b``c", "`a``b````c`"),
        (MySQLQueryBuilder, 'dq"', '`dq"`'),
        (MSSQLQueryBuilder, "records", "[records]"),
        (MSSQLQueryBuilder, "a]b[c", "[a]]b[c]"),
        (OracleQueryBuilder, "records", "records"),
        (OracleQueryBuilder, "app.Records_2$#", "app.Records_2$#"),
        (TiberoQueryBuilder, "schema.tbl", "schema.tbl"),
        (OracleQueryBuilder, "Größe", "Größe"),
        (PostgreSQLQueryBuilder, "é" * 31 + "a", '"' + "é" * 31 + 'a"'),
        (MySQLQueryBuilder, "é" * 64, "`" + "é" * 64 + "`"),
        (MySQLQueryBuilder, " lead", "` lead`"),
        (MSSQLQueryBuilder, "😀" * 64, "[" + "😀" * 64 + "]"),
        (OracleQueryBuilder, "a" * 128 + "." + "b" * 128, "a" * 128 + "." + "b" * 128),
    ],
)
def test_quote_identifier(builder_class: type[DBQueryBuilder], identifier: str, quoted: str) -> None:
    builder = builder_class()
    assert builder.quote_identifier(identifier) == quoted
    assert builder.build_select_query(identifier) == (f"SELECT * FROM {quoted}", {})


# Names a dialect cannot hold: refused before any text is written, by the
# method and by every place build_select_query writes a name.
@pytest.mark.parametrize(
    ("builder_class", "identifier", "message"),
    [
        *[(cls, "", "Identifier must not be empty") for cls in DIALECTS[:3]],
        *[(cls, "a\x00b", "Identifier must not contain NUL characters") for cls in DIALECTS[:3]],
        (PostgreSQLQueryBuilder, "\x00" * 2 + "é", "Identifier must not contain NUL characters"),
        (PostgreSQLQueryBuilder, "a" * 64, "Identifier is longer than the 63 bytes PostgreSQL takes"),
        (PostgreSQLQueryBuilder, "é" * 32, "Identifier is longer than the 63 bytes PostgreSQL takes"),
        (MySQLQueryBuilder, "é" * 65, "Identifier is longer than the 64 characters MySQL takes"),
        *[
            (
                MySQLQueryBuilder,
                "trailing" + space,
                "Identifier ends with a space character, which MySQL does not take",
            )
            for space in " \t\n\v\f\r"
        ],
        (MySQLQueryBuilder, "a😀", "Identifier has a character beyond U\\+FFFF, which MySQL does not take"),
        (MSSQLQueryBuilder, "😀" * 64 + "a", "Identifier is longer than the 128 UTF-16 code units"),
        (OracleQueryBuilder, "a." + "b" * 129, "Identifier has a part longer than the 128 bytes"),
        (TiberoQueryBuilder, "é" * 65, "Identifier has a part longer than the 128 bytes"),
        # Oracle's dialects write names bare: only plain names can be written at all.
        *[
            (cls, name, "Identifier cannot be written unquoted: ")
            for cls in (OracleQueryBuilder, TiberoQueryBuilder)
            for name in ["two words", "a;b", 'q"', "1abc", "_x", "a..b", ".a", "a.", "", "x-y", "a'b", "t(1)"]
        ],
        # Written bare, a reserved word is read as SQL: a keyword, a pseudo-column, a function.
        *[
            (cls, name, f"Identifier cannot be written unquoted: {word} is a reserved word")
            for cls in (OracleQueryBuilder, TiberoQueryBuilder)
            for name, word in [
                ("select", "select"),
                ("ROWNUM", "ROWNUM"),
                ("app.User", "User"),
                ("Level.x", "Level"),
            ]
        ],
    ],
)
def test_names_the_dialect_cannot_hold_are_refused(
    builder_class: type[DBQueryBuilder], identifier: str, message: str
) -> None:
    builder = builder_class()
    full = f"^{message}.*: identifier={re.escape(repr(identifier))}$"
    with pytest.raises(ValueError, match=full):
        builder.quote_identifier(identifier)
    for arguments in [(identifier,), ("t", [where(identifier, Match.eq, 1)]), ("t", None, order(identifier))]:
        with pytest.raises(ValueError, match=full):
            builder.build_select_query(*arguments)
    # The catalogs would match another table: PostgreSQL compares the literal
    # cut to 63 bytes, MySQL ignores trailing spaces. Oracle's listing takes
    # any text to UPPER().
    if not isinstance(builder, OracleQueryBuilder):
        with pytest.raises(ValueError, match=full):
            builder.build_schema_query(identifier)


@pytest.mark.parametrize("builder_class", DIALECTS)
def test_schema_query_refuses_a_nul_in_the_table_name(builder_class: type[DBQueryBuilder]) -> None:
    message = r"^Identifier must not contain NUL characters: identifier='t\\x00'$"
    with pytest.raises(ValueError, match=message):
        builder_class().build_schema_query("t\x00")


def test_mysql_schema_query_doubles_backslashes_in_the_literal() -> None:
    query = MySQLQueryBuilder().build_schema_query("a\\' OR 1=1 --")
    assert "WHERE table_name = 'a\\\\'' OR 1=1 --'\n" in query


# ---------------------------------------------------------------- operators


@pytest.mark.parametrize(
    ("match_type", "operator"),
    [
        (Match.eq, "="),
        (Match.ne, "!="),
        (Match.gt, ">"),
        (Match.lt, "<"),
        (Match.gte, ">="),
        (Match.lte, "<="),
        (Match.like, "LIKE"),
        ("gte", ">="),
    ],
)
@pytest.mark.parametrize("builder_class", DIALECTS)
def test_get_operator(builder_class: type[DBQueryBuilder], match_type: object, operator: str) -> None:
    builder = builder_class()
    assert builder.get_operator(match_type) == operator
    if match_type != Match.like:
        text, parameters = builder.build_select_query("t", [where("c", match_type, 5)])
        assert (
            text
            == f"SELECT * FROM {builder.quote_identifier('t')} WHERE {builder.quote_identifier('c')} "
            + (f"{operator} :filter_value_0")
        )
        assert parameters == {"filter_value_0": 5}


@pytest.mark.parametrize("match_type", ["between", None, 3])
def test_get_operator_key_error_names_the_match_type(match_type: object) -> None:
    with pytest.raises(KeyError) as raised:
        PostgreSQLQueryBuilder().get_operator(match_type)
    assert raised.value.args == (match_type,)
    bad = InferenceDatabaseRecordsFilter.model_construct(
        column_name="c", match_type=match_type, match_value=1
    )
    with pytest.raises(KeyError):
        PostgreSQLQueryBuilder().build_select_query("t", [bad])


# ---------------------------------------------------------------- SELECT texts


def test_oracle_example_without_pagination() -> None:
    text, parameters = OracleQueryBuilder().build_select_query(
        "records", [where("name", Match.like, "ab"), where("age", Match.gte, 3)], order("age", DESC)
    )
    assert text == (
        "SELECT * FROM records WHERE name LIKE :filter_value_0 AND age >= :filter_value_1 ORDER BY age DESC"
    )
    assert parameters == {"filter_value_0": "%ab%", "filter_value_1": 3}


FULL_FILTERS = [where("name", Match.like, "ab"), where("age", Match.gte, 3), where("city", Match.eq, "Oslo")]


@pytest.mark.parametrize(
    ("builder_class", "text"),
    [
        (
            PostgreSQLQueryBuilder,
            'SELECT * FROM "records" WHERE "name" ILIKE :filter_value_0 AND "age" >= :filter_value_1 '
            'AND "city" = :filter_value_2 ORDER BY "age" DESC LIMIT 10 OFFSET 20',
        ),
        (
            MySQLQueryBuilder,
            "SELECT * FROM `records` WHERE `name` LIKE :filter_value_0 AND `age` >= :filter_value_1 "
            "AND `city` = :filter_value_2 ORDER BY `age` DESC LIMIT 10 OFFSET 20",
        ),
        (
            MSSQLQueryBuilder,
            "SELECT * FROM [records] WHERE [name] LIKE :filter_value_0 AND [age] >= :filter_value_1 "
            "AND [city] = :filter_value_2 ORDER BY [age] DESC OFFSET 20 ROWS FETCH NEXT 10 ROWS ONLY",
        ),
        (
            OracleQueryBuilder,
            "\n                SELECT * FROM (\n                    SELECT a.*, ROWNUM rnum FROM (\n"
            "                        SELECT * FROM records WHERE name LIKE :filter_value_0 "
            "AND age >= :filter_value_1 AND city = :filter_value_2 ORDER BY age DESC\n"
            "                    ) a WHERE ROWNUM <= 30\n"
            "                ) WHERE rnum > 20\n            ",
        ),
    ],
)
def test_full_select_per_dialect(builder_class: type[DBQueryBuilder], text: str) -> None:
    assert builder_class().build_select_query("records", FULL_FILTERS, order("age", DESC), 10, 20) == (
        text,
        {"filter_value_0": "%ab%", "filter_value_1": 3, "filter_value_2": "Oslo"},
    )


@pytest.mark.parametrize("builder_class", DIALECTS)
@pytest.mark.parametrize(
    "arguments", [{}, {"filters": None, "sorting": None}, {"filters": [], "sorting": []}, {"sorting": ()}]
)
def test_nothing_to_add(builder_class: type[DBQueryBuilder], arguments: dict[str, object]) -> None:
    builder = builder_class()
    assert builder.build_select_query("records", **arguments) == (
        f"SELECT * FROM {builder.quote_identifier('records')}",
        {},
    )


def test_parameters_are_numbered_afresh_per_call_and_per_filter() -> None:
    builder = MySQLQueryBuilder()
    same = [where("age", Match.gt, 1), where("age", Match.gt, 1)]
    for _ in range(2):
        text, parameters = builder.build_select_query("t", same)
        assert text == "SELECT * FROM `t` WHERE `age` > :filter_value_0 AND `age` > :filter_value_1"
        assert parameters == {"filter_value_0": 1, "filter_value_1": 1}


def test_many_filters_keep_their_order_and_numbers() -> None:
    filters = [where(f"c{i}", Match.ne, i) for i in range(40)]
    text, parameters = PostgreSQLQueryBuilder().build_select_query("t", filters)
    assert text == 'SELECT * FROM "t" WHERE ' + " AND ".join(
        f'"c{i}" != :filter_value_{i}' for i in range(40)
    )
    assert parameters == {f"filter_value_{i}": i for i in range(40)}


@pytest.mark.parametrize("builder_class", DIALECTS)
def test_filter_values_never_enter_the_text(builder_class: type[DBQueryBuilder]) -> None:
    hostile = "x'; DROP TABLE records; --"
    values = [hostile, 42, None, 2.5, b"raw", ["a", "b"]]
    filters = [where("name", Match.eq, value) for value in values] + [where("name", Match.like, hostile)]
    text, parameters = builder_class().build_select_query("records", filters)
    assert hostile not in text and "42" not in text and "DROP" not in text
    assert list(parameters.values()) == [*values, f"%{hostile}%"]
    assert parameters["filter_value_2"] is None
    assert parameters["filter_value_5"] is values[5]


# ---------------------------------------------------------------- like


@pytest.mark.parametrize(
    ("builder_class", "operator"),
    [
        (PostgreSQLQueryBuilder, "ILIKE"),
        (MySQLQueryBuilder, "LIKE"),
        (MSSQLQueryBuilder, "LIKE"),
        (OracleQueryBuilder, "LIKE"),
        (TiberoQueryBuilder, "LIKE"),
    ],
)
@pytest.mark.parametrize(
    ("value", "pattern"),
    [
        ("ab", "%ab%"),
        ("50%_off", "%50%_off%"),
        (7, "%7%"),
        (None, "%None%"),
        ("", "%%"),
        ("ünï", "%ünï%"),
        ("caf\udce9", "%caf\udce9%"),  # a file name os.fsdecode could not decode
    ],
)
def test_like_wraps_the_text_of_the_value(
    builder_class: type[DBQueryBuilder], operator: str, value: object, pattern: str
) -> None:
    builder = builder_class()
    text, parameters = builder.build_select_query("t", [where("name", Match.like, value)])
    assert text.endswith(f"{builder.quote_identifier('name')} {operator} :filter_value_0")
    assert parameters == {"filter_value_0": pattern}


def test_like_as_a_plain_string_is_a_substring_match() -> None:
    bare = InferenceDatabaseRecordsFilter.model_construct(column_name="n", match_type="like", match_value="q")
    assert PostgreSQLQueryBuilder().build_select_query("t", [bare]) == (
        'SELECT * FROM "t" WHERE "n" ILIKE :filter_value_0',
        {"filter_value_0": "%q%"},
    )


# ---------------------------------------------------------------- sorting


@pytest.mark.parametrize(
    ("sorting", "clause"),
    [
        (order("age"), ' ORDER BY "age" ASC'),
        ([order("age", DESC)], ' ORDER BY "age" DESC'),
        ([order("a"), order("b", DESC), order("c")], ' ORDER BY "a" ASC, "b" DESC, "c" ASC'),
        ((order("a"), order("b")), ' ORDER BY "a" ASC, "b" ASC'),
        (iter([order("a", DESC)]), ' ORDER BY "a" DESC'),
        (sort_record("a", "desc"), ' ORDER BY "a" desc'),
        (sort_record("a", "Asc"), ' ORDER BY "a" Asc'),
    ],
)
def test_sorting(sorting: object, clause: str) -> None:
    assert PostgreSQLQueryBuilder().build_select_query("t", None, sorting) == (
        f'SELECT * FROM "t"{clause}',
        {},
    )


@pytest.mark.parametrize("direction", ["ASC; DROP TABLE t", "", "RANDOM()", "ASCENDING", 1, None])
@pytest.mark.parametrize("builder_class", DIALECTS)
def test_sort_direction_other_than_asc_or_desc_is_refused(
    builder_class: type[DBQueryBuilder], direction: object
) -> None:
    with pytest.raises(
        ValueError,
        match=f"^Sort direction must be ASC or DESC: order_type.value={re.escape(repr(direction))}$",
    ):
        builder_class().build_select_query("t", None, [order("a"), sort_record("b", direction)])


def test_sorting_errors_reach_the_caller() -> None:
    def broken() -> typing.Iterator[InferenceDatabaseRecordsSorting]:
        yield order("a")
        raise RuntimeError("source failed")

    with pytest.raises(RuntimeError, match="source failed"):
        PostgreSQLQueryBuilder().build_select_query("t", None, broken())
    with pytest.raises(AttributeError, match="column_name"):
        PostgreSQLQueryBuilder().build_select_query("t", None, [object()])
    with pytest.raises(TypeError, match="not iterable"):
        PostgreSQLQueryBuilder().build_select_query("t", None, 5)


def test_sorting_read_through_a_patched_record_class() -> None:
    class Sort:
        column_name = "k"
        order_type = DESC

    with mock.patch.object(brinwell, "InferenceDatabaseRecordsSorting", Sort):
        assert MySQLQueryBuilder().build_select_query("t", None, Sort()) == (
            "SELECT * FROM `t` ORDER BY `k` DESC",
            {},
        )


# ---------------------------------------------------------------- pagination


@pytest.mark.parametrize(
    ("builder_class", "limit", "offset", "suffix"),
    [
        (PostgreSQLQueryBuilder, 10, 20, " LIMIT 10 OFFSET 20"),
        (PostgreSQLQueryBuilder, 10, None, " LIMIT 10"),
        (PostgreSQLQueryBuilder, None, 20, " OFFSET 20"),
        (PostgreSQLQueryBuilder, 0, 0, " LIMIT 0 OFFSET 0"),
        (MySQLQueryBuilder, 2.7, True, " LIMIT 2 OFFSET 1"),
        (MySQLQueryBuilder, 10**30, None, f" LIMIT {10**30}"),
        # MySQL takes OFFSET only after a LIMIT: the largest row count it takes.
        (MySQLQueryBuilder, None, 20, " LIMIT 18446744073709551615 OFFSET 20"),
        # SQL Server takes FETCH only after an OFFSET.
        (MSSQLQueryBuilder, 10, None, " OFFSET 0 ROWS FETCH NEXT 10 ROWS ONLY"),
        (MSSQLQueryBuilder, None, 20, " OFFSET 20 ROWS"),
        (MSSQLQueryBuilder, 10, 20, " OFFSET 20 ROWS FETCH NEXT 10 ROWS ONLY"),
        (MSSQLQueryBuilder, 0, None, " OFFSET 0 ROWS FETCH NEXT 0 ROWS ONLY"),
        (OracleQueryBuilder, 10, None, ""),
        (OracleQueryBuilder, None, 20, ""),
        (TiberoQueryBuilder, 10, None, ""),
    ],
)
def test_pagination_clauses(
    builder_class: type[DBQueryBuilder], limit: object, offset: object, suffix: str
) -> None:
    builder = builder_class()
    head = f"SELECT * FROM {builder.quote_identifier('t')} ORDER BY {builder.quote_identifier('a')} ASC"
    assert builder.build_select_query("t", sorting=order("a"), limit=limit, offset=offset) == (
        head + suffix,
        {},
    )
    assert builder.add_pagination(head, limit, offset) == head + suffix
    # A text the builder did not write is joined as it is, whatever it holds.
    odd = head + " -- caf\udce9"
    assert builder.add_pagination(odd, limit, offset) == odd + suffix


# SQL Server takes OFFSET only after ORDER BY: a page without sorting is ordered by nothing in particular.
@pytest.mark.parametrize(
    ("limit", "offset", "text"),
    [
        (10, None, "SELECT * FROM [t] ORDER BY (SELECT NULL) OFFSET 0 ROWS FETCH NEXT 10 ROWS ONLY"),
        (None, 20, "SELECT * FROM [t] ORDER BY (SELECT NULL) OFFSET 20 ROWS"),
        (10, 20, "SELECT * FROM [t] ORDER BY (SELECT NULL) OFFSET 20 ROWS FETCH NEXT 10 ROWS ONLY"),
        (None, None, "SELECT * FROM [t]"),
    ],
)
@pytest.mark.parametrize("sorting", [None, []])
def test_sqlserver_page_without_sorting(
    limit: int | None, offset: int | None, text: str, sorting: object
) -> None:
    assert MSSQLQueryBuilder().build_select_query("t", None, sorting, limit, offset) == (text, {})


@pytest.mark.parametrize("builder_class", [OracleQueryBuilder, TiberoQueryBuilder])
@pytest.mark.parametrize(
    ("limit", "offset", "bound"), [(10, 20, 30), (1, 0, 1), (10**20, 10**20, 2 * 10**20)]
)
def test_rownum_window(builder_class: type[DBQueryBuilder], limit: int, offset: int, bound: int) -> None:
    assert builder_class().add_pagination("SELECT 1 FROM dual", limit, offset) == (
        "\n"
        "                SELECT * FROM (\n"
        "                    SELECT a.*, ROWNUM rnum FROM (\n"
        "                        SELECT 1 FROM dual\n"
        f"                    ) a WHERE ROWNUM <= {bound}\n"
        f"                ) WHERE rnum > {offset}\n"
        "            "
    )


def test_base_pagination_follows_supports_limit_offset() -> None:
    builder = PostgreSQLQueryBuilder()
    builder.supports_limit_offset = False
    assert builder.build_select_query("t", limit=5, offset=1) == ('SELECT * FROM "t"', {})
    builder = MSSQLQueryBuilder()
    builder.supports_limit_offset = False
    assert builder.add_pagination("q", 5, None) == "q OFFSET 0 ROWS FETCH NEXT 5 ROWS ONLY"


# ---------------------------------------------------------------- schema queries

POSTGRESQL_COLUMNS = """
            SELECT column_name, data_type, is_nullable
            FROM information_schema.columns
            WHERE table_name = 'rec''s'
            AND table_schema = current_schema()
            ORDER BY ordinal_position
        """
MYSQL_COLUMNS = """
            SELECT column_name, data_type,
                   IF(is_nullable = 'YES', 'true', 'false') as is_nullable
            FROM information_schema.columns
            WHERE table_name = 'rec''s'
            AND table_schema = DATABASE()
            ORDER BY ordinal_position
        """
MSSQL_COLUMNS = """
            SELECT COLUMN_NAME AS column_name, DATA_TYPE AS data_type,
                   CASE WHEN IS_NULLABLE = 'YES' THEN 'true' ELSE 'false' END AS is_nullable
            FROM INFORMATION_SCHEMA.COLUMNS
            WHERE TABLE_NAME = N'rec''s'
            AND TABLE_SCHEMA = SCHEMA_NAME()
            ORDER BY ORDINAL_POSITION
        """
ORACLE_COLUMNS = """
            SELECT
                column_name,
                data_type,
                CASE
                    WHEN nullable = 'Y' THEN 'true'
                    ELSE 'false'
                END as is_nullable
            FROM all_tab_columns
            WHERE table_name = UPPER('rec''s')
            AND owner = SYS_CONTEXT('USERENV', 'CURRENT_SCHEMA')
            ORDER BY column_id
        """


@pytest.mark.parametrize(
    ("builder_class", "text"),
    [
        (PostgreSQLQueryBuilder, POSTGRESQL_COLUMNS),
        (MySQLQueryBuilder, MYSQL_COLUMNS),
        (MSSQLQueryBuilder, MSSQL_COLUMNS),
        (OracleQueryBuilder, ORACLE_COLUMNS),
        (TiberoQueryBuilder, ORACLE_COLUMNS),
    ],
)
def test_schema_query_text(builder_class: type[DBQueryBuilder], text: str) -> None:
    query = builder_class().build_schema_query("rec's")
    assert query == text
    assert query.startswith("\n") and query.endswith("\n" + " " * 8)
    assert builder_class().build_schema_query("plain") == text.replace("rec''s", "plain")


# ---------------------------------------------------------------- custom-query checks


@pytest.mark.parametrize(
    ("builder_class", "query", "accepted"),
    [
        (PostgreSQLQueryBuilder, 'SELECT "a" FROM "b"', True),
        (PostgreSQLQueryBuilder, 'SELECT "a FROM b', False),
        (PostgreSQLQueryBuilder, "SELECT `a FROM b", True),
        (MySQLQueryBuilder, "SELECT `a` FROM `b`", True),
        (MySQLQueryBuilder, "SELECT `a FROM b", False),
        (MySQLQueryBuilder, 'SELECT "a FROM b', True),
        (MSSQLQueryBuilder, "SELECT [a] FROM [b]", True),
        (MSSQLQueryBuilder, "SELECT [a] FROM b", False),
        (MSSQLQueryBuilder, "SELECT [a FROM [b", False),
        (MSSQLQueryBuilder, "SELECT [a]] FROM b", False),
        # Counts only: balanced numbers pass whatever the nesting.
        (MSSQLQueryBuilder, "SELECT [a]] FROM [b", True),
        (MSSQLQueryBuilder, "SELECT 1", True),
        (OracleQueryBuilder, 'SELECT "a FROM [b `c', True),
        (TiberoQueryBuilder, "anything at all '", True),
    ],
)
def test_validate_custom_query(builder_class: type[DBQueryBuilder], query: str, accepted: bool) -> None:
    assert builder_class().validate_custom_query(query) is accepted


# ---------------------------------------------------------------- factory


@pytest.mark.parametrize(("db_type", "builder_class"), [*FACTORY, ("mssql", MSSQLQueryBuilder)])
def test_factory_gives_a_fresh_builder(db_type: object, builder_class: type[DBQueryBuilder]) -> None:
    first, second = DBQueryBuilderFactory.get_builder(db_type), DBQueryBuilderFactory.get_builder(db_type)
    assert type(first) is builder_class and type(second) is builder_class
    assert first is not second
    assert list(DBQueryBuilderFactory._builders.items()) == FACTORY


@pytest.mark.parametrize(("db_type", "shown"), [(None, "None"), ("sqlite", "sqlite"), (3, "3")])
def test_factory_refuses_unknown_types(db_type: object, shown: str) -> None:
    with pytest.raises(ValueError, match=f"^Unsupported database type: {shown}$"):
        DBQueryBuilderFactory.get_builder(db_type)


def test_factory_reads_the_table_of_the_class_it_is_called_on() -> None:
    class WithSQLite(DBQueryBuilderFactory):
        _builders = {**DBQueryBuilderFactory._builders, "sqlite": PostgreSQLQueryBuilder}

    assert type(WithSQLite.get_builder("sqlite")) is PostgreSQLQueryBuilder
    with pytest.raises(ValueError, match="Unsupported database type: sqlite"):
        DBQueryBuilderFactory.get_builder("sqlite")


# ---------------------------------------------------------------- argument errors


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda b: b.build_select_query(1), "Argument 'table' has incorrect type (expected str, got int)"),
        (
            lambda b: b.build_select_query(None),
            "Argument 'table' has incorrect type (expected str, got NoneType)",
        ),
        (
            lambda b: b.build_select_query("t", ()),
            "Argument 'filters' has incorrect type (expected list, got tuple)",
        ),
        (
            lambda b: b.build_select_query("t", limit="5"),
            "Argument 'limit' has incorrect type (expected int, got str)",
        ),
        (
            lambda b: b.build_select_query("t", offset=[]),
            "Argument 'offset' has incorrect type (expected int, got list)",
        ),
        (
            lambda b: b.build_schema_query(b"t"),
            "Argument 'table_name' has incorrect type (expected str, got bytes)",
        ),
        (
            lambda b: b.quote_identifier(1.5),
            "Argument 'identifier' has incorrect type (expected str, got float)",
        ),
        (
            lambda b: b.validate_custom_query(None),
            "Argument 'query' has incorrect type (expected str, got NoneType)",
        ),
        (
            lambda b: b.add_pagination(1, None, None),
            "Argument 'query' has incorrect type (expected str, got int)",
        ),
        (
            lambda b: b.add_pagination("q", "1", None),
            "Argument 'limit' has incorrect type (expected int, got str)",
        ),
        (
            lambda b: b.build_select_query(
                "t", [where("c", Match.eq, 1).model_copy(update={"column_name": 7})]
            ),
            "Argument 'identifier' has incorrect type (expected str, got int)",
        ),
        (
            lambda b: b.add_pagination("q", None),
            "add_pagination() takes exactly 4 positional arguments (3 given)",
        ),
        (
            lambda b: b.build_select_query("t", tables=[]),
            "build_select_query() got an unexpected keyword argument",
        ),
    ],
)
@pytest.mark.parametrize("builder_class", DIALECTS)
def test_argument_errors(builder_class: type[DBQueryBuilder], call: typing.Callable, message: str) -> None:
    with pytest.raises(TypeError) as raised:
        call(builder_class())
    assert str(raised.value).startswith(message)


def test_string_subclasses_are_refused_with_a_note() -> None:
    with pytest.raises(
        TypeError, match=r"expected str, got DatabaseType\)\. Note that .*subclasses of built-in"
    ):
        PostgreSQLQueryBuilder().build_select_query(DatabaseType.mysql)


def test_limit_and_offset_are_checked_before_anything_is_read() -> None:
    never_read = mock.Mock(spec=[])
    with pytest.raises(TypeError, match="Argument 'offset'"):
        PostgreSQLQueryBuilder().build_select_query("t", [never_read], never_read, 1, "x")
    assert never_read.mock_calls == []


# ---------------------------------------------------------------- overrides


class Angled(PostgreSQLQueryBuilder):
    def quote_identifier(self, identifier: str) -> str:
        return f"<{identifier}>"


class Tilde(MySQLQueryBuilder):
    def get_operator(self, match_type: Match) -> str:
        return "~" + super().get_operator(match_type)


class Paged(MSSQLQueryBuilder):
    def add_pagination(self, query: str, limit: int | None, offset: int | None) -> str:
        return f"{query} /* {limit},{offset} */"


@pytest.mark.parametrize(
    ("builder", "expected"),
    [
        (Angled(), "SELECT * FROM <t> WHERE <a> ILIKE :filter_value_0 AND <b> = :filter_value_1"
         " ORDER BY <c> DESC LIMIT 3 OFFSET 4"),
        (Tilde(), "SELECT * FROM `t` WHERE `a` LIKE :filter_value_0 AND `b` ~= :filter_value_1"
         " ORDER BY `c` DESC LIMIT 3 OFFSET 4"),
        (Paged(), "SELECT * FROM [t] WHERE [a] LIKE :filter_value_0 AND [b] = :filter_value_1"
         " ORDER BY [c] DESC /* 3,4 */"),
    ],
)  # fmt: skip
def test_subclass_overrides_are_reached_through_the_object(builder: DBQueryBuilder, expected: str) -> None:
    filters = [where("a", Match.like, "x"), where("b", Match.eq, 1)]
    assert builder.build_select_query("t", filters, order("c", DESC), 3, 4) == (
        expected,
        {"filter_value_0": "%x%", "filter_value_1": 1},
    )


def test_instance_attributes_shadow_the_methods() -> None:
    builder = OracleQueryBuilder()
    with (
        mock.patch.object(builder, "quote_identifier", side_effect=lambda name: f"q.{name}") as quote,
        mock.patch.object(builder, "get_operator", return_value="<>") as operator,
        mock.patch.object(
            builder, "add_pagination", side_effect=lambda q, limit, offset: q + "!"
        ) as paginate,
    ):
        text, _ = builder.build_select_query("t", [where("a b", Match.ne, 1)], order("c"), 2.9, None)
    assert text == "SELECT * FROM q.t WHERE q.a b <> :filter_value_0 ORDER BY q.c ASC!"
    assert quote.call_args_list == [mock.call("t"), mock.call("a b"), mock.call("c")]
    operator.assert_called_once_with(Match.ne)
    paginate.assert_called_once_with(
        "SELECT * FROM q.t WHERE q.a b <> :filter_value_0 ORDER BY q.c ASC", 2, None
    )
    assert builder.build_select_query("t", [where("a", Match.ne, 1)]) == (
        "SELECT * FROM t WHERE a != :filter_value_0",
        {"filter_value_0": 1},
    )


def test_override_results_are_written_as_text() -> None:
    class Numbered(PostgreSQLQueryBuilder):
        def quote_identifier(self, identifier: str) -> object:
            return len(identifier)

    assert Numbered().build_select_query("abc", [where("ab", Match.lt, 0)]) == (
        "SELECT * FROM 3 WHERE 2 < :filter_value_0",
        {"filter_value_0": 0},
    )


def test_override_errors_reach_the_caller() -> None:
    class Refusing(PostgreSQLQueryBuilder):
        def get_operator(self, match_type: Match) -> str:
            raise LookupError(match_type)

    with pytest.raises(LookupError):
        Refusing().build_select_query("t", [where("a", Match.eq, 1)])
    assert (
        Refusing().build_select_query("t", [where("a", Match.like, 1)])[0].endswith("ILIKE :filter_value_0")
    )


def test_a_subclass_constructor_and_quote_reach_the_direct_path() -> None:
    class SingleQuoted(DBQueryBuilder):
        def __init__(self) -> None:
            super().__init__()
            self.identifier_quote = "'"

        def build_schema_query(self, table_name: str) -> str:
            return table_name

    assert SingleQuoted().build_select_query("it's", [where("x", Match.eq, 1)]) == (
        "SELECT * FROM 'it''s' WHERE 'x' = :filter_value_0",
        {"filter_value_0": 1},
    )


# Only Oracle takes "#" in a bare name: MySQL reads it as a comment, PostgreSQL as an operator.
@pytest.mark.parametrize(
    ("builder_class", "refused"),
    [(PostgreSQLQueryBuilder, True), (MySQLQueryBuilder, True), (OracleQueryBuilder, False)],
)
def test_hash_in_a_name_written_bare(builder_class: type[DBQueryBuilder], refused: bool) -> None:
    class Bare(builder_class):  # type: ignore[valid-type,misc]
        def __init__(self) -> None:
            super().__init__()
            self.identifier_quote = ""

    if not refused:
        assert Bare().build_select_query("t#x") == ("SELECT * FROM t#x", {})
        return
    with pytest.raises(ValueError, match=r"names of letters, digits, _ and \$, each starting with a letter"):
        Bare().build_select_query("t#x")
    assert Bare().quote_identifier("t$x") == "t$x"


def test_dialect_constructor_runs_the_next_constructor_in_the_mro() -> None:
    calls: list[str] = []

    class Audited(DBQueryBuilder):
        def __init__(self) -> None:
            calls.append("audited")
            super().__init__()

    class AuditedPostgreSQL(PostgreSQLQueryBuilder, Audited):
        pass

    builder = AuditedPostgreSQL()
    assert calls == ["audited"]
    assert (builder.identifier_quote, builder.use_ilike) == ('"', True)


def test_dialect_check_goes_through_the_next_check_in_the_mro() -> None:
    class NoSemicolons(DBQueryBuilder):
        def validate_custom_query(self, query: str) -> bool:
            return ";" not in query and super().validate_custom_query(query)

    class Strict(MSSQLQueryBuilder, NoSemicolons):
        pass

    assert Strict().validate_custom_query("SELECT [a] FROM [b]") is True
    assert Strict().validate_custom_query("SELECT [a] FROM [b]; DROP") is False
    assert Strict().validate_custom_query("SELECT [a]") is False


def test_a_class_with_its_own_attribute_lookup_is_served_through_it() -> None:
    class Logged(MySQLQueryBuilder):
        seen: typing.ClassVar[list[str]] = []

        def __getattribute__(self, name: str) -> object:
            type(self).seen.append(name)
            return super().__getattribute__(name)

    Logged().build_select_query("t", [where("a", Match.eq, 1)], None, 1, None)
    assert {"quote_identifier", "get_operator", "add_pagination"} <= set(Logged.seen)


def test_match_types_are_read_at_call_time() -> None:
    # The same names, with "contains" as the substring match's value.
    Other = enum.Enum("Other", {**{m.name: m.value for m in Match}, "like": "contains"}, type=str)

    contains = InferenceDatabaseRecordsFilter.model_construct(
        column_name="a", match_type=Other.like, match_value="v"
    )
    with mock.patch.object(brinwell, "InferenceDatabaseRecordsMatchType", Other):
        builder = PostgreSQLQueryBuilder()
        assert builder.get_operator(Other.gt) == ">"
        assert builder.build_select_query("t", [contains]) == (
            'SELECT * FROM "t" WHERE "a" ILIKE :filter_value_0',
            {"filter_value_0": "%v%"},
        )
        with pytest.raises(KeyError):
            builder.get_operator(Match.like)


# ---------------------------------------------------------------- the direct path against the methods

PASS_THROUGH = {
    "quote_identifier": lambda self, identifier: super(type(self), self).quote_identifier(identifier),
    "get_operator": lambda self, match_type: super(type(self), self).get_operator(match_type),
    "add_pagination": lambda self, query, limit, offset: super(type(self), self).add_pagination(
        query, limit, offset
    ),
}
THROUGH_METHODS = {cls: type(f"Through{cls.__name__}", (cls,), dict(PASS_THROUGH)) for cls in DIALECTS}

identifiers = st.text(st.sampled_from("ab_$#.9 \"`[]'é:;-"), max_size=8)
filters = st.builds(
    lambda column, match_type, value: where(column, match_type, value),
    identifiers,
    st.sampled_from(list(Match)),
    st.one_of(st.integers(), st.text(max_size=5), st.none()),
)
sortings = st.one_of(
    st.none(),
    st.builds(order, identifiers, st.sampled_from([ASC, DESC])),
    st.lists(st.builds(order, identifiers, st.sampled_from([ASC, DESC])), max_size=3),
)
bounds = st.one_of(st.none(), st.integers(min_value=-5, max_value=10**12))


def outcome(call: typing.Callable[[], object]) -> object:
    try:
        return call()
    except ValueError as error:
        return ("ValueError", str(error))


@settings(max_examples=300, deadline=None)
@given(
    builder_class=st.sampled_from(DIALECTS),
    table=identifiers,
    chosen=st.lists(filters, max_size=4),
    sorting=sortings,
    limit=bounds,
    offset=bounds,
)
def test_direct_path_writes_what_the_methods_write(
    builder_class: type[DBQueryBuilder],
    table: str,
    chosen: list[InferenceDatabaseRecordsFilter],
    sorting: object,
    limit: int | None,
    offset: int | None,
) -> None:
    direct, through = builder_class(), THROUGH_METHODS[builder_class]()
    arguments = (table, chosen, sorting, limit, offset)
    assert outcome(lambda: direct.build_select_query(*arguments)) == outcome(
        lambda: through.build_select_query(*arguments)
    )


# A dialect's constructor and custom-query check reach the base through super():
# called on something that is no builder, None included, they raise TypeError.
@pytest.mark.parametrize("builder_class", DIALECTS)
@pytest.mark.parametrize("not_a_builder", [None, object(), "builder"])
@pytest.mark.parametrize(("method", "arguments"), [("__init__", ()), ("validate_custom_query", ("q",))])
def test_methods_reaching_the_base_refuse_what_is_no_builder(
    builder_class: type[DBQueryBuilder], not_a_builder: object, method: str, arguments: tuple[str, ...]
) -> None:
    # super()'s own refusal, in any Python's words ("obj must be an instance...", since 3.13 "obj (instance
    # of X) is not an instance...").
    with pytest.raises(TypeError, match=r"^super\(type, obj\): obj .*an instance or subtype of type\b"):
        getattr(builder_class, method)(not_a_builder, *arguments)
