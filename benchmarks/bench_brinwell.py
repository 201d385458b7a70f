"""build_select_query against a plain Python builder, SQLAlchemy Core and PyPika.

One query per dialect: three filters (substring, at least, equal), one sort,
a limit and an offset. Each contender builds the statement from scratch on
every call, as a request handler would. The plain Python builder does what the
native one does, each dialect's identifier checks and paging texts included;
before timing, both must answer a table of queries alike. Prints nanoseconds
per query and the ratios; the targets are at least 2.5x the Python builder and
100x SQLAlchemy.

    python benchmarks/bench_brinwell.py [--quick]
"""

from __future__ import annotations

import argparse
import re
import timeit
from collections.abc import Callable
from typing import Any

import pypika
import sqlalchemy as sa
from sqlalchemy.dialects import mssql, mysql, oracle, postgresql

from velora.common.schemas import DatabaseType
from velora.inference_services.brinwell import DBQueryBuilderFactory
from velora.inference_services.schemas import (
    InferenceDatabaseRecordsFilter,
    InferenceDatabaseRecordsMatchType,
    InferenceDatabaseRecordsOrderType,
    InferenceDatabaseRecordsSorting,
)

MatchType = InferenceDatabaseRecordsMatchType

TABLE = "records"
FILTERS = [
    InferenceDatabaseRecordsFilter(column_name="name", match_type=MatchType.like, match_value="ab"),
    InferenceDatabaseRecordsFilter(column_name="age", match_type=MatchType.gte, match_value=3),
    InferenceDatabaseRecordsFilter(column_name="city", match_type=MatchType.eq, match_value="Oslo"),
]
SORTING = InferenceDatabaseRecordsSorting(
    column_name="age", order_type=InferenceDatabaseRecordsOrderType.desc
)
LIMIT, OFFSET = 10, 20


# ---------------------------------------------------------------- the same builder in plain Python

_PLAIN_IDENTIFIER = re.compile(r"[^\W\d_][\w$#]*(\.[^\W\d_][\w$#]*)*")
_ORACLE_WORDS = """
ACCESS ADD ALL ALTER AND ANY AS ASC AUDIT BETWEEN BY CHAR CHECK CLUSTER COLUMN COMMENT COMPRESS
CONNECT CREATE CURRENT DATE DECIMAL DEFAULT DELETE DESC DISTINCT DROP ELSE EXCLUSIVE EXISTS FILE
FLOAT FOR FROM GRANT GROUP HAVING IDENTIFIED IMMEDIATE IN INCREMENT INDEX INITIAL INSERT INTEGER
INTERSECT INTO IS LEVEL LIKE LOCK LONG MAXEXTENTS MINUS MLSLABEL MODE MODIFY NOAUDIT NOCOMPRESS NOT
NOWAIT NULL NUMBER OF OFFLINE ON ONLINE OPTION OR ORDER PCTFREE PRIOR PRIVILEGES PUBLIC RAW RENAME
RESOURCE REVOKE ROW ROWID ROWNUM ROWS SELECT SESSION SET SHARE SIZE SMALLINT START SUCCESSFUL
SYNONYM SYSDATE TABLE THEN TO TRIGGER UID UNION UNIQUE UPDATE USER VALIDATE VALUES VARCHAR VARCHAR2
VIEW WHENEVER WHERE WITH
"""
_ORACLE_RESERVED_WORDS = frozenset(_ORACLE_WORDS.split())


class PyQueryBuilder:
    """The native builders' behaviour in plain Python, checks on every identifier included."""

    longest_name = 0  # 0: any length
    reserved_words: frozenset[str] = frozenset()
    max_rows = ""  # the LIMIT written before an OFFSET alone

    def __init__(self) -> None:
        self.identifier_quote = '"'
        self.supports_limit_offset = True
        self.use_ilike = False

    def name_length(self, name: str) -> int:
        return len(name.encode())

    def check_length(self, name: str, identifier: str) -> None:
        if self.longest_name and self.name_length(name) > self.longest_name:
            raise ValueError(f"Identifier is too long: identifier={identifier!r}")

    def check_quoted(self, identifier: str) -> None:
        if not identifier or "\0" in identifier:
            raise ValueError(f"Identifier must not be empty or hold NUL: identifier={identifier!r}")
        self.check_length(identifier, identifier)

    def quote_identifier(self, identifier: str) -> str:
        if not isinstance(identifier, str):
            raise TypeError("identifier must be a str")
        quote = self.identifier_quote
        if not quote:
            if not _PLAIN_IDENTIFIER.fullmatch(identifier):
                raise ValueError(f"Identifier cannot be written unquoted: identifier={identifier!r}")
            for part in identifier.split("."):
                self.check_length(part, identifier)
                if part.upper() in self.reserved_words:
                    raise ValueError(f"Identifier is a reserved word: identifier={identifier!r}")
            return identifier
        self.check_quoted(identifier)
        return f"{quote}{identifier.replace(quote, quote + quote)}{quote}"

    def get_operator(self, match_type: Any) -> str:
        operators = {
            MatchType.eq: "=",
            MatchType.ne: "!=",
            MatchType.gt: ">",
            MatchType.lt: "<",
            MatchType.gte: ">=",
            MatchType.lte: "<=",
            MatchType.like: "LIKE",
        }
        return operators[match_type]

    def add_pagination(self, query: str, limit: int | None, offset: int | None) -> str:
        if self.supports_limit_offset:
            if limit is not None or (offset is not None and self.max_rows):
                query += f" LIMIT {self.max_rows if limit is None else limit}"
            if offset is not None:
                query += f" OFFSET {offset}"
        return query

    def order_for_paging(self) -> str:
        return ""

    def build_select_query(
        self,
        table: str,
        filters: list[InferenceDatabaseRecordsFilter] | None = None,
        sorting: Any = None,
        limit: int | None = None,
        offset: int | None = None,
    ) -> tuple[str, dict[str, Any]]:
        if not isinstance(table, str):
            raise TypeError("table must be a str")
        if filters is not None and type(filters) is not list:
            raise TypeError("filters must be a list")
        limit = None if limit is None else int(limit)
        offset = None if offset is None else int(offset)
        query = f"SELECT * FROM {self.quote_identifier(table)}"
        params: dict[str, Any] = {}
        if filters:
            conditions = []
            for item in filters:
                name = f"filter_value_{len(params)}"
                params[name] = item.match_value
                if item.match_type == MatchType.like:
                    params[name] = f"%{item.match_value}%"
                    operator = "ILIKE" if self.use_ilike else "LIKE"
                else:
                    operator = self.get_operator(item.match_type)
                conditions.append(f"{self.quote_identifier(item.column_name)} {operator} :{name}")
            query += " WHERE " + " AND ".join(conditions)
        if isinstance(sorting, InferenceDatabaseRecordsSorting):
            sorting = [sorting]
        if sorting:
            clauses = []
            for sort in sorting:
                direction = str(sort.order_type.value)
                if direction.upper() not in ("ASC", "DESC"):
                    raise ValueError(f"Sort direction must be ASC or DESC: order_type.value={direction!r}")
                clauses.append(f"{self.quote_identifier(sort.column_name)} {direction}")
            query += " ORDER BY " + ", ".join(clauses)
        elif limit is not None or offset is not None:
            query += self.order_for_paging()
        return self.add_pagination(query, limit, offset), params


class PyPostgreSQLQueryBuilder(PyQueryBuilder):
    longest_name = 63

    def __init__(self) -> None:
        super().__init__()
        self.use_ilike = True


class PyMySQLQueryBuilder(PyQueryBuilder):
    longest_name = 64
    max_rows = "18446744073709551615"

    def __init__(self) -> None:
        super().__init__()
        self.identifier_quote = "`"

    def name_length(self, name: str) -> int:
        return len(name)

    def check_quoted(self, identifier: str) -> None:
        super().check_quoted(identifier)
        if max(identifier) > "\uffff" or identifier[-1] in " \t\n\v\f\r":
            raise ValueError(f"Identifier has a character MySQL does not take: identifier={identifier!r}")


class PyMSSQLQueryBuilder(PyQueryBuilder):
    longest_name = 128

    def __init__(self) -> None:
        super().__init__()
        self.identifier_quote = "["

    def name_length(self, name: str) -> int:
        return len(name.encode("utf-16-le")) // 2

    def quote_identifier(self, identifier: str) -> str:
        if not isinstance(identifier, str):
            raise TypeError("identifier must be a str")
        self.check_quoted(identifier)
        return f"[{identifier.replace(']', ']]')}]"

    def order_for_paging(self) -> str:
        return " ORDER BY (SELECT NULL)"

    def add_pagination(self, query: str, limit: int | None, offset: int | None) -> str:
        if offset is not None or limit is not None:
            query += f" OFFSET {0 if offset is None else offset} ROWS"
        if limit is not None:
            query += f" FETCH NEXT {limit} ROWS ONLY"
        return query


class PyOracleQueryBuilder(PyQueryBuilder):
    longest_name = 128
    reserved_words = _ORACLE_RESERVED_WORDS

    def __init__(self) -> None:
        super().__init__()
        self.identifier_quote = ""
        self.supports_limit_offset = False

    def add_pagination(self, query: str, limit: int | None, offset: int | None) -> str:
        if limit is None or offset is None:
            return query
        return f"""
                SELECT * FROM (
                    SELECT a.*, ROWNUM rnum FROM (
                        {query}
                    ) a WHERE ROWNUM <= {offset + limit}
                ) WHERE rnum > {offset}
            """


PY_BUILDERS: dict[DatabaseType, type[PyQueryBuilder]] = {
    DatabaseType.postgresql: PyPostgreSQLQueryBuilder,
    DatabaseType.mysql: PyMySQLQueryBuilder,
    DatabaseType.oracle: PyOracleQueryBuilder,
    DatabaseType.mssql: PyMSSQLQueryBuilder,
    DatabaseType.tibero: PyOracleQueryBuilder,
}


# ---------------------------------------------------------------- SQLAlchemy Core and PyPika

SA_DIALECTS = {
    DatabaseType.postgresql: postgresql.dialect(),
    DatabaseType.mysql: mysql.dialect(),
    DatabaseType.oracle: oracle.dialect(),
    DatabaseType.mssql: mssql.dialect(),
    DatabaseType.tibero: oracle.dialect(),
}
SA_TABLE = sa.table(TABLE, sa.column("name"), sa.column("age"), sa.column("city"))


def sqlalchemy_query(db_type: DatabaseType) -> Callable[[], tuple[str, dict[str, Any]]]:
    dialect = SA_DIALECTS[db_type]
    ilike = db_type == DatabaseType.postgresql

    def build() -> tuple[str, dict[str, Any]]:
        columns = SA_TABLE.c
        name = sa.bindparam("filter_value_0", "%ab%")
        substring = columns.name.ilike(name) if ilike else columns.name.like(name)
        statement = (
            sa.select(SA_TABLE)
            .where(
                substring,
                columns.age >= sa.bindparam("filter_value_1", 3),
                columns.city == sa.bindparam("filter_value_2", "Oslo"),
            )
            .order_by(columns.age.desc())
            .limit(LIMIT)
            .offset(OFFSET)
        )
        compiled = statement.compile(dialect=dialect)
        return str(compiled), compiled.params

    return build


PYPIKA_QUERIES = {
    DatabaseType.postgresql: pypika.PostgreSQLQuery,
    DatabaseType.mysql: pypika.MySQLQuery,
    DatabaseType.oracle: pypika.OracleQuery,
    DatabaseType.mssql: pypika.MSSQLQuery,
    DatabaseType.tibero: pypika.OracleQuery,
}


def pypika_query(db_type: DatabaseType) -> Callable[[], tuple[str, dict[str, Any]]]:
    query_class = PYPIKA_QUERIES[db_type]
    ilike = db_type == DatabaseType.postgresql

    def build() -> tuple[str, dict[str, Any]]:
        table = pypika.Table(TABLE)
        name = pypika.Parameter(":filter_value_0")
        substring = table.name.ilike(name) if ilike else table.name.like(name)
        query = (
            query_class.from_(table)
            .select("*")
            .where(substring)
            .where(table.age >= pypika.Parameter(":filter_value_1"))
            .where(table.city == pypika.Parameter(":filter_value_2"))
            .orderby(table.age, order=pypika.Order.desc)
            .limit(LIMIT)
            .offset(OFFSET)
        )
        return query.get_sql(), {"filter_value_0": "%ab%", "filter_value_1": 3, "filter_value_2": "Oslo"}

    return build


# ---------------------------------------------------------------- timing


def best_times(calls: dict[str, Callable[[], object]], seconds: float) -> dict[str, float]:
    """Nanoseconds per call of each contender: rounds alternate between them, so
    that load from other processes falls on all alike, and the best round counts."""
    timers = {name: timeit.Timer(call) for name, call in calls.items()}
    numbers = {name: max(1, int(timer.autorange()[0] / 5)) for name, timer in timers.items()}
    best = dict.fromkeys(calls, float("inf"))
    rounds = max(5, int(seconds * 10))
    for _ in range(rounds):
        for name, timer in timers.items():
            best[name] = min(best[name], timer.timeit(numbers[name]) / numbers[name] * 1e9)
    return best


# Queries both builders must answer alike: the same text, or both a ValueError.
SAME_CASES: list[tuple[Any, ...]] = [
    (TABLE, FILTERS, SORTING, LIMIT, OFFSET),
    (TABLE, None, None, None, OFFSET),
    (TABLE, None, None, LIMIT, None),
    ("sch.tab", None, [SORTING, SORTING], None, None),
    ('we"ird`na]me', None, None, None, None),
    ("x" * 64, None, None, None, None),
    ("é" * 40, None, None, None, None),
    ("user", None, None, None, None),
    ("trailing ", None, None, None, None),
    ("", None, None, None, None),
]


def check_same(native: Any, python: PyQueryBuilder) -> None:
    """The plain-Python builder stands for the native one only where both answer alike."""
    for case in SAME_CASES:
        answers = []
        for builder in (native, python):
            try:
                answers.append(builder.build_select_query(*case))
            except ValueError:
                answers.append(ValueError)
        assert answers[0] == answers[1], (type(native).__name__, case, answers)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="shorter timing runs")
    seconds = 0.2 if parser.parse_args().quick else 1.0

    print(f"{'dialect':<11} {'native':>9} {'python':>9} {'sqlalchemy':>11} {'pypika':>9}  ratios (x faster)")
    for db_type in DatabaseType:
        native = DBQueryBuilderFactory.get_builder(db_type)
        python = PY_BUILDERS[db_type]()
        check_same(native, python)
        times = best_times(
            {
                "native": lambda b=native: b.build_select_query(TABLE, FILTERS, SORTING, LIMIT, OFFSET),
                "python": lambda b=python: b.build_select_query(TABLE, FILTERS, SORTING, LIMIT, OFFSET),
                "sqlalchemy": sqlalchemy_query(db_type),
                "pypika": pypika_query(db_type),
            },
            seconds,
        )
        base = times["native"]
        ratios = "  ".join(f"{name} {times[name] / base:6.1f}" for name in ("python", "sqlalchemy", "pypika"))
        print(
            f"{db_type.value:<11} {base:8.0f}n {times['python']:8.0f}n {times['sqlalchemy']:10.0f}n "
            f"{times['pypika']:8.0f}n  {ratios}"
        )


if __name__ == "__main__":
    main()
