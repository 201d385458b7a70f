"""Filter and sort records as the query-builder tests write them."""

from velora.inference_services.brinwell import (
    MSSQLQueryBuilder,
    MySQLQueryBuilder,
    OracleQueryBuilder,
    PostgreSQLQueryBuilder,
    TiberoQueryBuilder,
)
from velora.inference_services.schemas import (
    InferenceDatabaseRecordsFilter,
    InferenceDatabaseRecordsMatchType,
    InferenceDatabaseRecordsOrderType,
    InferenceDatabaseRecordsSorting,
)

Match = InferenceDatabaseRecordsMatchType
ASC, DESC = InferenceDatabaseRecordsOrderType.asc, InferenceDatabaseRecordsOrderType.desc
DIALECTS = [
    PostgreSQLQueryBuilder,
    MySQLQueryBuilder,
    MSSQLQueryBuilder,
    OracleQueryBuilder,
    TiberoQueryBuilder,
]


def where(column: str, match_type: object, value: object) -> InferenceDatabaseRecordsFilter:
    return InferenceDatabaseRecordsFilter(column_name=column, match_type=match_type, match_value=value)


def order(column: str, direction: object = ASC) -> InferenceDatabaseRecordsSorting:
    return InferenceDatabaseRecordsSorting(column_name=column, order_type=direction)
