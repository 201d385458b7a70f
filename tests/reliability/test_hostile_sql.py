"""Hostile table names, column names and filter values through the query builders.

PostgreSQL and MariaDB run what the builders write: for every example a table
of that name holds one marker row, beside decoy tables whose names an injection
or a cut name would reach, and a same-named table in another schema (database).
A query must read the intended table only, or the builder must refuse the name
with ValueError before writing SQL. SQL Server, Oracle and Tibero have no server
here: their SQL is parsed, and the table it reads must be exactly the name given.
"""

from __future__ import annotations

import re
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import Any

import psycopg
import pymysql
import pytest
import sqlglot
from brinwell_records import ASC, DESC, Match, order, where
from hypothesis import HealthCheck, event, example, given, settings
from hypothesis import strategies as st
from psycopg import sql
from sqlglot import exp

from velora.common.schemas import DatabaseType
from velora.inference_services.brinwell import (
    DBQueryBuilder,
    DBQueryBuilderFactory,
    MSSQLQueryBuilder,
    MySQLQueryBuilder,
    OracleQueryBuilder,
    PostgreSQLQueryBuilder,
    TiberoQueryBuilder,
)

DECOY = "velora_decoy"
ELSEWHERE = "velora_elsewhere"
MARKER_COLUMN = "velora_n"

# Pieces a hostile name is made of, and whole injection attempts aimed at the decoy table.
HOSTILE_PIECES = [
    *['"', '""', "`", "``", "[", "]", "]]", "'", "''"],  # every dialect's quotes
    *["--", "/*", "*/", "#", ";", "\\", "\\'"],  # comment markers, statement ends, escapes
    *["\x00", " ", "\t", "\n", "\r", "\u00a0"],  # NUL and white space
    *["%", "%s", "%(x)s", "?", ":filter_value_0", "$1", "."],  # placeholders, the dot
    *["é", "ß", "İ", "中", "\u200b", "\ufeff", "😀", "𝔘", "\U0010ffff"],  # non-ASCII, astral
    *["a", "Z", "0", "_", "$", DECOY],
    f'" UNION SELECT * FROM "{DECOY}" --',
    f"` UNION SELECT * FROM `{DECOY}` #",
    f"] UNION SELECT * FROM [{DECOY}] --",
    f"'; DROP TABLE {DECOY}; --",
    f"x\\' OR 1=1 UNION SELECT * FROM {DECOY} -- ",
]

pieces = st.one_of(
    st.sampled_from(HOSTILE_PIECES),
    st.characters(blacklist_categories=["Cs"]),
)
# Names near and beyond the limits: 63 bytes (PostgreSQL), 64 characters
# (MySQL), 128 UTF-16 units (SQL Server), 128 bytes (Oracle).
long_names = st.builds(
    lambda head, count, tail: head * count + tail,
    st.sampled_from(["a", "é", "中", "😀", '"', "`", "]", "'"]),
    st.sampled_from([21, 31, 32, 62, 63, 64, 65, 127, 128, 129, 300]),
    st.sampled_from(["", " ", "x", '"', "😀"]),
)
# Plain names, which Oracle writes bare, and words SQL reads as its own.
plain_names = st.one_of(
    st.from_regex(r"[A-Za-z][A-Za-z0-9_$#]{0,12}(\.[A-Za-z][A-Za-z0-9_$#]{0,12})?", fullmatch=True),
    st.sampled_from(
        ["select", "FROM", "where", "order", "group", "table", "user", "dual", "level", "sysdate"]
    ),
)
names = st.one_of(st.lists(pieces, max_size=10).map("".join), long_names, plain_names)
values = st.one_of(
    st.lists(
        st.one_of(st.sampled_from(HOSTILE_PIECES), st.characters(blacklist_categories=["Cs"])), max_size=8
    ).map("".join),
    st.text(max_size=2000),
)

HYPOTHESIS = settings(
    max_examples=150,
    deadline=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow],
)

LIKE_METACHARACTERS = re.compile(r"[%_\\]")


def like_part(value: str) -> str:
    """The longest piece of `value` free of LIKE's wildcards and escape: a substring of it."""
    return max(LIKE_METACHARACTERS.split(value), key=len)


def other_column(column: str) -> str:
    """A second column whose name cannot clash with `column`, even case-insensitively."""
    return MARKER_COLUMN if column.casefold() != MARKER_COLUMN else MARKER_COLUMN + "_2"


@dataclass(frozen=True)
class Request:
    """One select: the hostile names and value, a sort direction and a page."""

    table: str
    column: str
    value: str
    descending: bool
    limit: int | None
    offset: int | None

    def build(self, builder: DBQueryBuilder) -> tuple[str, dict[str, Any]]:
        filters = [
            where(self.column, Match.eq, self.value),
            where(self.column, Match.like, like_part(self.value)),
            where(other_column(self.column), Match.gte, 1),
        ]
        sorting = [order(self.column, DESC if self.descending else ASC)]
        return builder.build_select_query(self.table, filters, sorting, self.limit, self.offset)

    def expected_rows(self) -> list[tuple[Any, ...]]:
        return [(self.value, 1)][self.offset or 0 :]


PAGE_SIZES = st.none() | st.integers(1, 5)


def requests(limits: st.SearchStrategy[int | None] = PAGE_SIZES) -> st.SearchStrategy[Request]:
    return st.builds(
        Request,
        table=names,
        column=names,
        value=values,
        descending=st.booleans(),
        limit=limits,
        offset=st.none() | st.integers(0, 1),
    )


def builders(builder_class: type[DBQueryBuilder], db_type: DatabaseType) -> st.SearchStrategy[DBQueryBuilder]:
    """The dialect's builder, made directly or by the factory."""
    return st.sampled_from([builder_class, lambda: DBQueryBuilderFactory.get_builder(db_type)]).map(
        lambda make: make()
    )


def bound_placeholders(text: str, quote: str) -> str:
    """The builder's :name placeholders in the drivers' %(name)s style, other percent
    signs escaped; quoted identifiers are copied as they are, whatever they hold."""
    token = re.compile(
        f"{re.escape(quote)}(?:[^{re.escape(quote)}]|{re.escape(quote * 2)})*{re.escape(quote)}"
    )

    def replace(match: re.Match[str]) -> str:
        if match.group("placeholder"):
            return f"%({match.group('placeholder')})s"
        return match.group(0).replace("%", "%%")

    return re.sub(f"{token.pattern}|:(?P<placeholder>filter_value_\\d+)\\b|%", replace, text)


def refused_or_built(build: Callable[[], Any]) -> Any | None:
    """What `build` returns, or None when it refuses with ValueError."""
    try:
        return build()
    except ValueError:
        return None


def checked_select(
    request: Request, builder: DBQueryBuilder, can_hold: Callable[[str], bool] | None
) -> tuple[str, dict[str, Any]] | None:
    """The select, or None: refused exactly when a name is one the server cannot hold
    (no check without `can_hold`)."""
    built = refused_or_built(lambda: request.build(builder))
    event("refused" if built is None else "built")
    if can_hold is not None:
        holdable = can_hold(request.table) and can_hold(request.column)
        assert (built is not None) == holdable, f"holdable={holdable} names, refused={built is None}"
    return built


# ---------------------------------------------------------------- PostgreSQL


def postgresql_can_hold(name: str) -> bool:
    """Whether PostgreSQL keeps `name` as given (it cuts longer names to 63 bytes)."""
    return bool(name) and "\x00" not in name and len(name.encode()) <= 63


def postgresql_cut(name: str) -> str:
    return name.encode()[:63].decode("utf-8", "ignore")


@pytest.fixture(scope="module")
def postgresql(postgresql_server: Any) -> Iterator[psycopg.Cursor]:
    with postgresql_server.connect() as connection, connection.cursor() as cursor:
        cursor.execute(sql.SQL("CREATE SCHEMA {}").format(sql.Identifier(ELSEWHERE)))
        yield cursor


def create_postgresql_table(
    cursor: psycopg.Cursor, table: str | tuple[str, str], columns: list[str], row: tuple[Any, ...]
) -> None:
    identifier = sql.Identifier(*table) if isinstance(table, tuple) else sql.Identifier(table)
    cursor.execute(
        sql.SQL("CREATE TABLE {} ({})").format(
            identifier,
            sql.SQL(", ").join(
                sql.SQL("{} {}").format(sql.Identifier(name), sql.SQL(kind))
                for name, kind in zip(columns, ["text", "integer"], strict=True)
            ),
        )
    )
    cursor.execute(
        sql.SQL("INSERT INTO {} VALUES ({})").format(identifier, sql.SQL(", ").join(map(sql.Literal, row)))
    )


def postgresql_decoys(table: str) -> set[str]:
    """Tables a wrong reading of `table` would reach: the cut name and the decoy."""
    return {DECOY, postgresql_cut(table)} - {table, ""}


@HYPOTHESIS
@given(request=requests(), builder=builders(PostgreSQLQueryBuilder, DatabaseType.postgresql))
@example(request=Request("a" * 63 + "b", "c", "v", False, None, None), builder=PostgreSQLQueryBuilder()).via(
    "a name one byte beyond the limit must not reach the cut name"
)
@example(
    request=Request('x" UNION SELECT * FROM "velora_decoy" --', '"', "'", True, 1, 0),
    builder=PostgreSQLQueryBuilder(),
).via("an injection through the table name")
def test_postgresql_reads_only_the_intended_table(
    postgresql: psycopg.Cursor, request: Request, builder: DBQueryBuilder
) -> None:
    # PostgreSQL's text type cannot hold NUL: the value is bound, so that is the driver's refusal.
    request = Request(**{**vars(request), "value": request.value.replace("\x00", "")})
    built = checked_select(request, builder, postgresql_can_hold)
    if built is None:
        return
    text, parameters = built
    columns = [request.column, other_column(request.column)]
    postgresql.execute("BEGIN")
    try:
        create_postgresql_table(postgresql, request.table, columns, (request.value, 1))
        for decoy in postgresql_decoys(request.table):
            create_postgresql_table(postgresql, decoy, columns, ("decoy", 1))
        postgresql.execute(bound_placeholders(text, '"'), parameters)
        assert [column.name for column in postgresql.description] == columns
        assert postgresql.fetchall() == request.expected_rows()
    finally:
        postgresql.execute("ROLLBACK")


@HYPOTHESIS
@given(table=names, builder=builders(PostgreSQLQueryBuilder, DatabaseType.postgresql))
@example(table="a" * 63 + "b", builder=PostgreSQLQueryBuilder()).via("beyond the limit")
def test_postgresql_schema_query_lists_only_the_intended_table(
    postgresql: psycopg.Cursor, table: str, builder: DBQueryBuilder
) -> None:
    query = refused_or_built(lambda: builder.build_schema_query(table))
    if query is None:
        assert not postgresql_can_hold(table), "the builder refused a name PostgreSQL holds"
        return
    postgresql.execute("BEGIN")
    try:
        if postgresql_can_hold(table):
            create_postgresql_table(postgresql, table, ["intended", MARKER_COLUMN], ("x", 1))
            create_postgresql_table(postgresql, (ELSEWHERE, table), ["elsewhere", MARKER_COLUMN], ("x", 1))
        for decoy in postgresql_decoys(table):
            create_postgresql_table(postgresql, decoy, ["decoy", MARKER_COLUMN], ("x", 1))
        postgresql.execute(query)
        listed = postgresql.fetchall()
    finally:
        postgresql.execute("ROLLBACK")
    expected = [("intended", "text", "YES"), (MARKER_COLUMN, "integer", "YES")]
    assert listed == (expected if postgresql_can_hold(table) else [])


# ---------------------------------------------------------------- MariaDB


def mariadb_can_hold(name: str) -> bool:
    """MySQL's rules for a quoted name: 1 to 64 characters of U+0001..U+FFFF, no ASCII
    white space at the end."""
    return 0 < len(name) <= 64 and name[-1] not in " \t\n\v\f\r" and all("\x00" < c <= "\uffff" for c in name)


def mariadb_name(name: str) -> str:
    return "`" + name.replace("`", "``") + "`"


def create_mariadb_table(cursor: Any, table: str, columns: list[str], row: tuple[Any, ...]) -> None:
    # A binary collation, so that the eq and LIKE filters keep letter case.
    definition = ", ".join(
        f"{mariadb_name(c)} {kind}" for c, kind in zip(columns, ["text", "int"], strict=True)
    )
    cursor.execute(f"CREATE TABLE {table} ({definition}) CHARACTER SET utf8mb4 COLLATE utf8mb4_bin")
    cursor.execute(f"INSERT INTO {table.replace('%', '%%')} VALUES (%s, %s)", row)


@pytest.fixture(scope="module")
def mariadb(mariadb_server: Any) -> Iterator[Any]:
    with mariadb_server.connect() as connection, connection.cursor() as cursor:
        cursor.execute(f"CREATE DATABASE {ELSEWHERE} CHARACTER SET utf8mb4")
        yield cursor
        cursor.execute(f"DROP DATABASE {ELSEWHERE}")


@pytest.fixture
def mariadb_tables(mariadb: Any) -> Iterator[list[str]]:
    """Qualified names of the tables an example made, dropped afterwards (DDL is not transactional)."""
    made: list[str] = []
    yield made
    drop_mariadb_tables(mariadb, made)


def mariadb_decoys(table: str) -> set[str]:
    """Tables a wrong reading of `table` would reach: trailing spaces dropped, other letter
    case, the first 64 characters, and the decoy."""
    return {n for n in {DECOY, table.rstrip(" "), table.swapcase(), table[:64]} if mariadb_can_hold(n)} - {
        table
    }


def make_mariadb_tables(
    cursor: Any,
    made: list[str],
    tables: list[tuple[str, str]],
    columns: list[str],
    rows: list[tuple[Any, ...]],
) -> bool:
    """Makes the tables; False when the server could not hold the first (its file
    name, each character beyond ASCII written as five, is longer than the file
    system takes), whose absence must then show in the query."""
    holds_first = True
    for index, ((database, table), row) in enumerate(zip(tables, rows, strict=True)):
        qualified = f"{database}.{mariadb_name(table)}"
        try:
            create_mariadb_table(cursor, qualified, columns, row)
        except pymysql.err.OperationalError as error:
            assert "File name too long" in str(error)
            holds_first = holds_first and index > 0
            continue
        made.append(qualified)
    return holds_first


def drop_mariadb_tables(cursor: Any, made: list[str]) -> None:
    for table in made:
        cursor.execute(f"DROP TABLE IF EXISTS {table}")
    made.clear()


@HYPOTHESIS
@given(
    # MySQL takes OFFSET only after a LIMIT.
    request=requests(limits=st.integers(1, 5)),
    builder=builders(MySQLQueryBuilder, DatabaseType.mysql),
)
@example(request=Request("t ", "c", "v", False, 5, None), builder=MySQLQueryBuilder()).via("trailing space")
@example(request=Request("t😀", "c", "v", False, 5, None), builder=MySQLQueryBuilder()).via("beyond U+FFFF")
@example(
    request=Request("x` UNION SELECT * FROM `velora_decoy` #", "`", "\\'", False, 1, 0),
    builder=MySQLQueryBuilder(),
).via("an injection through the table name")
def test_mariadb_reads_only_the_intended_table(
    mariadb: Any, mariadb_tables: list[str], request: Request, builder: DBQueryBuilder
) -> None:
    built = checked_select(request, builder, mariadb_can_hold)
    if built is None:
        return
    text, parameters = built
    columns = [request.column, other_column(request.column)]
    decoys = sorted(mariadb_decoys(request.table))
    try:
        made = make_mariadb_tables(
            mariadb,
            mariadb_tables,
            [("records", request.table)] + [("records", decoy) for decoy in decoys],
            columns,
            [(request.value, 1)] + [("decoy", 1)] * len(decoys),
        )
        if not made:
            with pytest.raises(pymysql.err.ProgrammingError) as missing:
                mariadb.execute(bound_placeholders(text, "`"), parameters)
            assert missing.value.args[0] == 1146  # no such table
            return
        mariadb.execute(bound_placeholders(text, "`"), parameters)
        assert [column[0] for column in mariadb.description] == columns
        assert list(mariadb.fetchall()) == request.expected_rows()
    finally:
        drop_mariadb_tables(mariadb, mariadb_tables)


@HYPOTHESIS
@given(table=names, builder=builders(MySQLQueryBuilder, DatabaseType.mysql))
@example(table="abc", builder=MySQLQueryBuilder()).via("another letter case beside it")
@example(table="t ", builder=MySQLQueryBuilder()).via("trailing space")
@example(table="a\\' OR 1=1 -- ", builder=MySQLQueryBuilder()).via("a backslash before the quote")
def test_mariadb_schema_query_lists_only_the_intended_table(
    mariadb: Any, mariadb_tables: list[str], table: str, builder: DBQueryBuilder
) -> None:
    query = refused_or_built(lambda: builder.build_schema_query(table))
    if query is None:
        assert not mariadb_can_hold(table), "the builder refused a name MariaDB holds"
        return
    holdable = mariadb_can_hold(table)
    decoys = [("records", decoy) for decoy in sorted(mariadb_decoys(table))]
    decoys += [(ELSEWHERE, table)] if holdable else []
    try:
        if holdable:
            holdable = make_mariadb_tables(
                mariadb, mariadb_tables, [("records", table)], ["intended", MARKER_COLUMN], [("x", 1)]
            )
        make_mariadb_tables(
            mariadb, mariadb_tables, decoys, ["decoy", MARKER_COLUMN], [("x", 1)] * len(decoys)
        )
        mariadb.execute(query)
        listed = list(mariadb.fetchall())
    finally:
        drop_mariadb_tables(mariadb, mariadb_tables)
    expected = [("intended", "text", "true"), (MARKER_COLUMN, "int", "true")]
    assert listed == (expected if holdable else [])


# ---------------------------------------------------------------- SQL Server, Oracle, Tibero


def parse_one(text: str, dialect: str) -> exp.Expression:
    statements = sqlglot.parse(text, read=dialect)
    assert len(statements) == 1 and statements[0] is not None
    return statements[0]


def identifier_text(identifier: exp.Expression) -> str:
    """The name as written; sqlglot keeps SQL Server's "#" and "##" (temporary and global
    temporary tables) as flags."""
    flags = identifier.args
    return ("##" if flags.get("global_") else "#" if flags.get("temporary") else "") + identifier.name


def sqlserver_can_hold(name: str) -> bool:
    return bool(name) and "\x00" not in name and len(name.encode("utf-16-le")) // 2 <= 128


PARSED_DIALECTS = [
    pytest.param(MSSQLQueryBuilder, DatabaseType.mssql, "tsql", id="sqlserver"),
    pytest.param(OracleQueryBuilder, DatabaseType.oracle, "oracle", id="oracle"),
    pytest.param(TiberoQueryBuilder, DatabaseType.tibero, "oracle", id="tibero"),
]


@pytest.mark.parametrize(("builder_class", "db_type", "dialect"), PARSED_DIALECTS)
@settings(max_examples=200, deadline=None)
@given(data=st.data())
def test_parsed_select_reads_exactly_the_intended_table(
    builder_class: type[DBQueryBuilder], db_type: DatabaseType, dialect: str, data: st.DataObject
) -> None:
    request = data.draw(requests())
    builder = data.draw(builders(builder_class, db_type))
    # Oracle writes names bare: it refuses every name that is not plain.
    built = checked_select(request, builder, sqlserver_can_hold if dialect == "tsql" else None)
    if built is None:
        return
    text, parameters = built
    tree = parse_one(text, dialect)
    # Bare Oracle names may be dotted: schema.table.
    assert [".".join(map(identifier_text, table.parts)) for table in tree.find_all(exp.Table)] == [
        request.table
    ]
    windowed = dialect == "oracle" and request.limit is not None and request.offset is not None
    paging = {"a.*", "rnum", "ROWNUM"} if windowed else set()
    columns = {".".join(map(identifier_text, column.parts)) for column in tree.find_all(exp.Column)} - {"*"}
    # A column named "*" ([*]) reads as the star that is left out above.
    assert columns == ({request.column, other_column(request.column)} | paging) - {"*"}
    assert {placeholder.name for placeholder in tree.find_all(exp.Placeholder)} == set(parameters)
    assert not list(tree.find_all(exp.Union)) and not list(tree.find_all(exp.Drop))


@pytest.mark.parametrize(("builder_class", "db_type", "dialect"), PARSED_DIALECTS)
@settings(max_examples=200, deadline=None)
@given(data=st.data())
def test_parsed_schema_query_compares_exactly_the_intended_name(
    builder_class: type[DBQueryBuilder], db_type: DatabaseType, dialect: str, data: st.DataObject
) -> None:
    table = data.draw(names)
    builder = data.draw(builders(builder_class, db_type))
    query = refused_or_built(lambda: builder.build_schema_query(table))
    # SQL Server refuses what it cannot hold, as in a select; Oracle only a NUL.
    holdable = sqlserver_can_hold(table) if dialect == "tsql" else "\x00" not in table
    assert (query is not None) == holdable
    if query is None:
        return
    tree = parse_one(query, dialect)
    literal_type = exp.National if dialect == "tsql" else exp.Literal
    compared = [
        literal.this
        for equal in tree.find_all(exp.EQ)
        if equal.this.name.lower() == "table_name"
        for literal in equal.expression.find_all(literal_type)
    ]
    assert compared == [table]
