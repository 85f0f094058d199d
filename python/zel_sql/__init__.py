# The package zel_sql: its compiled extension zel_sql._zel_sql, re-exported
# name by name. Scripts import from zel_sql, never from the extension: the
# extension's classes and functions say they belong to zel_sql (__module__),
# so that pickles, reprs and tracebacks name what a script imports, as in 1.x,
# when zel_sql was the extension itself.

from . import _zel_sql
from ._zel_sql import (
    Component,
    ComponentList,
    DataError,
    Database,
    DatabaseError,
    Error,
    IntegrityError,
    InterfaceError,
    InternalError,
    NotSupportedError,
    OperationalError,
    ProgrammingError,
    QueryResult,
    Warning,
    standardize_facility_name,
    to_numpy,
    to_pandas,
)

__all__ = [
    "Component",
    "ComponentList",
    "DataError",
    "Database",
    "DatabaseError",
    "Error",
    "IntegrityError",
    "InterfaceError",
    "InternalError",
    "NotSupportedError",
    "OperationalError",
    "ProgrammingError",
    "QueryResult",
    "Warning",
    "standardize_facility_name",
    "to_numpy",
    "to_pandas",
]

__doc__ = _zel_sql.__doc__
