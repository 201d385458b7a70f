# pyright: strict
"""What a user writes against the installed package; type checkers run on it in strict mode."""

from pathlib import Path

import numpy as np
import pandas as pd

from velora.common.enum_ import StrEnum, auto
from velora.common.schemas import DatabaseType
from velora.common.values import WorkloadType
from velora.dataset.methods import (
    create_dataset,
    create_dataset_version,
    download_dataset,
    get_dataset,
    get_dataset_list,
    get_dataset_versions,
    load_dataset,
    save_dataset,
)
from velora.dataset.schemas import DatasetInfo, DatasetVersionInfo
from velora.dataset.values import DatasetFileType
from velora.inference_services import brinwell
from velora.inference_services.schemas import (
    InferenceDatabaseRecordsFilter,
    InferenceDatabaseRecordsMatchType,
    InferenceDatabaseRecordsOrderType,
    InferenceDatabaseRecordsSorting,
)
from velora.model_registry.schemas import (
    ColumnDataSchema,
    ColumnSpec,
    IOField,
    IOSample,
    ModelConfig,
    ModelFlavors,
    ModelSignature,
    Revision,
    TensorDataSchema,
    TensorSpec,
)
from velora.model_registry.values import DataSchemaType, ModelFramework, SchemaRevision


class Stage(StrEnum):
    raw = auto()
    clean = auto()


def save_and_read_back(frame: pd.DataFrame, stage: Stage) -> tuple[str | None, int | None]:
    saved: DatasetInfo = save_dataset(
        f"sales-{stage.value}", frame, DatasetFileType.parquet, description="daily"
    )
    save_dataset("matrix", np.zeros((2, 3)), DatasetFileType.npy)
    created: DatasetInfo = create_dataset("empty", exist_ok=True)
    print(created.id, create_dataset_version("empty").version, Stage.has_value("raw"))
    versions: list[DatasetVersionInfo] = get_dataset_versions("sales")
    latest: int | None = versions[-1].version if versions else None
    folder: str = download_dataset("sales", version=latest, path="downloads")
    print(Path(folder), load_dataset("sales", version=latest))
    names: list[str | None] = [dataset.name for dataset in get_dataset_list(page=1, page_size=10)]
    print(names)
    found = get_dataset(saved.id) if saved.id is not None else None
    return (found.name if found else saved.name), saved.id


def dialect_queries() -> dict[str, tuple[str, dict[str, object]]]:
    filters = [
        InferenceDatabaseRecordsFilter(
            column_name="score", match_type=InferenceDatabaseRecordsMatchType.gte, match_value=0.5
        )
    ]
    sorting = InferenceDatabaseRecordsSorting(
        column_name="created_at", order_type=InferenceDatabaseRecordsOrderType.desc
    )
    builders: list[brinwell.DBQueryBuilder] = [
        brinwell.PostgreSQLQueryBuilder(),
        brinwell.MySQLQueryBuilder(),
        brinwell.MSSQLQueryBuilder(),
        brinwell.OracleQueryBuilder(),
        brinwell.TiberoQueryBuilder(),
        brinwell.DBQueryBuilderFactory.get_builder(DatabaseType.postgresql),
    ]
    queries: dict[str, tuple[str, dict[str, object]]] = {}
    for builder in builders:
        sql, params = builder.build_select_query("records", filters, sorting, limit=10, offset=0)
        queries[type(builder).__name__] = (sql, dict(params))
        schema_sql: str = builder.build_schema_query("records")
        safe: bool = builder.validate_custom_query(schema_sql)
        print(builder.quote_identifier("score"), builder.identifier_quote, safe)
    return queries


def model_records() -> ModelConfig:
    columns = ColumnDataSchema(
        name="features", type=DataSchemaType.column, schema=[ColumnSpec(name="x", dtype="double")]
    )
    tensors = TensorDataSchema(
        name="pixels", type=DataSchemaType.tensor, schema=[TensorSpec(dtype="float32", shape=[-1, 4])]
    )
    specs: list[str | None] = [spec.name for spec in columns.schema_] + [t.name for t in tensors.schema_]
    print(specs, SchemaRevision.get_latest_revision().value, WorkloadType.pipeline.value)
    signature = ModelSignature(inputs=[columns], outputs=None)
    flavors = ModelFlavors(model_path="model", framework=ModelFramework.sklearn)
    config = ModelConfig(flavors=flavors, signatures={"predict": signature})
    print(config.to_dict(), ModelConfig.get_filename(), IOSample.get_filename())
    field: IOField = IOSample.generate_io_field(np.ones((1, 4), dtype=np.float32), "pixels")
    described = ModelSignature.generate_io_field("features", pd.DataFrame({"x": [1.0]}))
    print(field.name, described.name, Revision.build, ModelFramework.has_value("onnx"))
    with open(ModelConfig.get_filename()) as stream:
        loaded: ModelConfig = ModelConfig.load(stream)
    again: ModelConfig = ModelConfig.from_dict(loaded.to_dict())
    print(again.flavors.model_path, Revision.parse("model").revision.value)
    return config
