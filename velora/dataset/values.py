"""Dataset vocabularies."""

from enum import Enum


class DatasetFileType(str, Enum):  # noqa: UP042 - str() keeps the Enum form
    """File formats a dataset can be saved in; the value is the file suffix."""

    csv = "csv"
    parquet = "parquet"
    pickle = "pickle"
    npy = "npy"
