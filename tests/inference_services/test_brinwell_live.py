"""The builders' SQL run on real servers (PostgreSQL, MariaDB) and parsed in the
dialects that have no server here (SQL Server, Oracle, Tibero)."""

from __future__ import annotations

import re
from collections.abc import Iterator
from typing import Any

import psycopg
import pytest
import sqlglot
from brinwell_records import ASC, DESC, Match, order, where
from psycopg import sql
from sqlglot import exp

from velora.inference_services.brinwell import (
    DBQueryBuilder,
    MSSQLQueryBuilder,
    MySQLQueryBuilder,
    OracleQueryBuilder,
    PostgreSQLQueryBuilder,
    TiberoQueryBuilder,
)

# Names that need their quotes: quote characters of every dialect, spaces,
# keywords, a percent sign (the drivers' own placeholder character).
TABLE = 'rec"ords `of` [all] 100%'
NAME, SCORE, GROUP = 'na"me', "select", "group by `x`"
ROWS = [
    ("alpha", 5, "a"),
    ("Abacus", 9, "b"),
    ("cab", 7, "a"),
    ("zebra", 9, "c"),
    ("ABBA", 3, "a"),
    ("crab", 9, "b"),
    ("bob", 1, "c"),
    ("tabby", 7, "a"),
    ("slab", 8, "b"),
]


def pyformat(text: str) -> str:
    """:name placeholders in the drivers' %(name)s style, other percent signs escaped."""
    return re.sub(r":(filter_value_\d+)\b", r"%(\1)s", text.replace("%", "%%"))


# (filters, sorting, limit, offset, expected rows as a function of the substring test)
CASES = [
    pytest.param(
        [where(NAME, Match.like, "ab"), where(SCORE, Match.gte, 7), where(GROUP, Match.ne, "c")],
        [order(SCORE, DESC), order(NAME, ASC)],
        2,
        1,
        lambda contains: sorted(
            (r for r in ROWS if contains(r[0], "ab") and r[1] >= 7 and r[2] != "c"),
            key=lambda r: (-r[1], r[0]),
        )[1:3],
        id="like-gte-ne-sorted-paged",
    ),
    pytest.param(
        [where(SCORE, Match.gt, 1), where(SCORE, Match.lt, 9), where(GROUP, Match.eq, "a")],
        order(NAME, DESC),
        None,
        None,
        lambda contains: sorted(
            (r for r in ROWS if 1 < r[1] < 9 and r[2] == "a"), key=lambda r: r[0], reverse=True
        ),
        id="gt-lt-eq-single-sort",
    ),
    pytest.param(
        [where(SCORE, Match.lte, 7)],
        [order(SCORE, ASC), order(NAME, ASC)],
        None,
        2,
        lambda contains: sorted((r for r in ROWS if r[1] <= 7), key=lambda r: (r[1], r[0]))[2:],
        id="offset-only",
    ),
    pytest.param(
        [],
        order(NAME, ASC),
        3,
        None,
        lambda contains: sorted(ROWS, key=lambda r: r[0])[:3],
        id="limit-only",
    ),
]


def run(cursor: Any, builder: DBQueryBuilder, *arguments: Any) -> list[tuple[Any, ...]]:
    text, parameters = builder.build_select_query(TABLE, *arguments)
    cursor.execute(pyformat(text), parameters)
    return [tuple(row) for row in cursor.fetchall()]


# ---------------------------------------------------------------- PostgreSQL


@pytest.fixture(scope="module")
def postgresql(postgresql_server: Any) -> Iterator[psycopg.Cursor]:
    with postgresql_server.connect() as connection, connection.cursor() as cursor:
        cursor.execute(
            sql.SQL("CREATE TABLE {} ({} text NOT NULL, {} integer, {} varchar(8))").format(
                *map(sql.Identifier, (TABLE, NAME, SCORE, GROUP))
            )
        )
        # Literal values: with parameters psycopg would read the % in the table name.
        values = sql.SQL(", ").join(
            sql.SQL("({})").format(sql.SQL(", ").join(map(sql.Literal, row))) for row in ROWS
        )
        cursor.execute(sql.SQL("INSERT INTO {} VALUES {}").format(sql.Identifier(TABLE), values))
        yield cursor


@pytest.mark.parametrize(("filters", "sorting", "limit", "offset", "expected"), CASES)
def test_postgresql_select(postgresql: psycopg.Cursor, filters, sorting, limit, offset, expected) -> None:
    rows = run(postgresql, PostgreSQLQueryBuilder(), filters, sorting, limit, offset)
    # ILIKE: the substring match ignores letter case.
    assert rows == expected(lambda text, part: part in text.lower())
    assert rows or not filters


def test_postgresql_schema_query(postgresql: psycopg.Cursor) -> None:
    postgresql.execute(PostgreSQLQueryBuilder().build_schema_query(TABLE))
    assert postgresql.fetchall() == [
        (NAME, "text", "NO"),
        (SCORE, "integer", "YES"),
        (GROUP, "character varying", "YES"),
    ]


def test_postgresql_schema_query_of_a_name_with_a_single_quote(postgresql: psycopg.Cursor) -> None:
    name = "o'brien'; DROP TABLE x; --"
    postgresql.execute(sql.SQL("CREATE TABLE {} (id integer NOT NULL)").format(sql.Identifier(name)))
    postgresql.execute(PostgreSQLQueryBuilder().build_schema_query(name))
    assert postgresql.fetchall() == [("id", "integer", "NO")]


def test_postgresql_schema_query_leaves_out_a_same_named_table_of_another_schema(
    postgresql: psycopg.Cursor,
) -> None:
    postgresql.execute("BEGIN")
    try:
        postgresql.execute("CREATE SCHEMA other")
        postgresql.execute(sql.SQL("CREATE TABLE other.{} (other integer)").format(sql.Identifier(TABLE)))
        postgresql.execute(PostgreSQLQueryBuilder().build_schema_query(TABLE))
        assert [row[0] for row in postgresql.fetchall()] == [NAME, SCORE, GROUP]
    finally:
        postgresql.execute("ROLLBACK")


# ---------------------------------------------------------------- MariaDB


@pytest.fixture(scope="module")
def mariadb(mariadb_server: Any) -> Iterator[Any]:
    def name(identifier: str) -> str:
        return "`" + identifier.replace("`", "``") + "`"

    with mariadb_server.connect() as connection, connection.cursor() as cursor:
        # A binary collation, so that LIKE keeps letter case as the rows below expect.
        cursor.execute(
            f"CREATE TABLE {name(TABLE)} ({name(NAME)} varchar(20) NOT NULL, {name(SCORE)} int, "
            f"{name(GROUP)} text) CHARACTER SET utf8mb4 COLLATE utf8mb4_bin"
        )
        cursor.executemany(f"INSERT INTO {name(TABLE).replace('%', '%%')} VALUES (%s, %s, %s)", ROWS)
        yield cursor


# MariaDB takes OFFSET only after a LIMIT: an offset alone runs as a page of the largest row count.
@pytest.mark.parametrize(("filters", "sorting", "limit", "offset", "expected"), CASES)
def test_mariadb_select(mariadb: Any, filters, sorting, limit, offset, expected) -> None:
    rows = run(mariadb, MySQLQueryBuilder(), filters, sorting, limit, offset)
    assert rows == expected(lambda text, part: part in text)


def test_mariadb_schema_query(mariadb: Any) -> None:
    mariadb.execute(MySQLQueryBuilder().build_schema_query(TABLE))
    assert mariadb.fetchall() == ((NAME, "varchar", "false"), (SCORE, "int", "true"), (GROUP, "text", "true"))


def test_mariadb_schema_query_leaves_out_a_same_named_table_of_another_database(mariadb: Any) -> None:
    mariadb.execute("CREATE DATABASE other")
    try:
        mariadb.execute(f"CREATE TABLE other.`{TABLE.replace('`', '``')}` (other int)")
        mariadb.execute(MySQLQueryBuilder().build_schema_query(TABLE))
        assert [row[0] for row in mariadb.fetchall()] == [NAME, SCORE, GROUP]
    finally:
        mariadb.execute("DROP DATABASE other")


def test_mariadb_like_value_is_bound_not_written(mariadb: Any) -> None:
    hostile = "' OR '1'='1"
    assert run(mariadb, MySQLQueryBuilder(), [where(NAME, Match.like, hostile)]) == []
    assert run(mariadb, MySQLQueryBuilder(), [where(NAME, Match.eq, hostile)]) == []


# ---------------------------------------------------------------- SQL Server, Oracle, Tibero


def parse_one(text: str, dialect: str) -> exp.Expression:
    statements = sqlglot.parse(text, read=dialect)
    assert len(statements) == 1 and statements[0] is not None
    return statements[0]


def names(tree: exp.Expression, kind: type[exp.Expression]) -> set[str]:
    return {node.name for node in tree.find_all(kind)}


@pytest.mark.parametrize(
    ("builder", "dialect", "table", "columns"),
    [
        (MSSQLQueryBuilder(), "tsql", "rec]ords [x]", ("na]me", "select", "group by")),
        (OracleQueryBuilder(), "oracle", "records", ("name", "score", "grp")),
        (TiberoQueryBuilder(), "oracle", "records", ("name", "score", "grp")),
    ],
)
@pytest.mark.parametrize(("limit", "offset"), [(10, 20), (10, None), (None, 20), (None, None)])
@pytest.mark.parametrize("sorted_", [True, False])
def test_parsed_select(
    builder: DBQueryBuilder,
    dialect: str,
    table: str,
    columns: tuple[str, ...],
    limit: int | None,
    offset: int | None,
    sorted_: bool,
) -> None:
    name, score, group = columns
    filters = [where(name, Match.like, "ab"), where(score, Match.gte, 7), where(group, Match.ne, "c")]
    sorting = [order(score, DESC), order(name, ASC)] if sorted_ else None
    text, parameters = builder.build_select_query(table, filters, sorting, limit, offset)
    tree = parse_one(text, dialect)
    assert names(tree, exp.Table) == {table}
    assert names(tree, exp.Column) - {"*", "rnum", "ROWNUM"} == set(columns)
    assert (
        names(tree, exp.Placeholder)
        == set(parameters)
        == {"filter_value_0", "filter_value_1", "filter_value_2"}
    )
    assert isinstance(tree.find(exp.Like), exp.Like)
    if dialect == "tsql":
        # FETCH needs an OFFSET, and OFFSET an ORDER BY.
        assert (tree.find(exp.Fetch) is not None) == (limit is not None)
        assert (tree.find(exp.Offset) is not None) == (limit is not None or offset is not None)
        assert (tree.find(exp.Order) is not None) == (sorted_ or limit is not None or offset is not None)
    else:
        windowed = limit is not None and offset is not None
        assert len(list(tree.find_all(exp.Select))) == (3 if windowed else 1)


@pytest.mark.parametrize(
    ("builder", "dialect", "catalog", "literal_type"),
    [
        (MSSQLQueryBuilder(), "tsql", "COLUMNS", exp.National),
        (OracleQueryBuilder(), "oracle", "all_tab_columns", exp.Literal),
        (TiberoQueryBuilder(), "oracle", "all_tab_columns", exp.Literal),
    ],
)
def test_parsed_schema_query(builder: DBQueryBuilder, dialect: str, catalog: str, literal_type: type) -> None:
    table = "o'brien'); DROP TABLE x; --"
    tree = parse_one(builder.build_schema_query(table), dialect)
    assert names(tree, exp.Table) == {catalog}
    assert [node.this for node in tree.find_all(literal_type) if node.this == table] == [table]
    aliases = [select.alias_or_name for select in tree.find(exp.Select).expressions]
    assert [alias.lower() for alias in aliases] == ["column_name", "data_type", "is_nullable"]
