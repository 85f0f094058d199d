"""Python's standard database interface (PEP 249) over zel_sql.Database."""

import datetime
import decimal
from collections.abc import Iterable, Iterator, Sequence
from types import TracebackType
from typing import Any, Final, Literal

from . import _zel_sql
from ._zel_sql import Database

# A value sent as a bound parameter.
_Parameter = (
    None | bool | int | float | decimal.Decimal | str | bytes | bytearray | memoryview
    | datetime.date | datetime.time | datetime.datetime
)
_Standby = str | tuple[str, str, str]

apilevel: Final[Literal["2.0"]]
threadsafety: Final[Literal[1]]
paramstyle: Final[Literal["qmark"]]

# A row: the values of Database.query(), by column type.
_Row = tuple[Any, ...]
# name, type code, display size, internal size, precision, scale, null_ok.
_ColumnDescription = tuple[str, int, None, int, int, int, bool | None]

class _TypeObject:
    """Compares equal to the type codes of one group of SQL types."""

    def __init__(self, name: str, codes: Iterable[int]) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

STRING: _TypeObject
BINARY: _TypeObject
NUMBER: _TypeObject
DATETIME: _TypeObject
ROWID: _TypeObject

Date = datetime.date
Time = datetime.time
Timestamp = datetime.datetime
Binary = bytes

def DateFromTicks(ticks: float) -> datetime.date: ...
def TimeFromTicks(ticks: float) -> datetime.time: ...
def TimestampFromTicks(ticks: float) -> datetime.datetime: ...

class Connection:
    """A connection to one data source; a transaction unless autocommit is on."""

    Warning: type[_zel_sql.Warning]
    Error: type[_zel_sql.Error]
    InterfaceError: type[_zel_sql.InterfaceError]
    DatabaseError: type[_zel_sql.DatabaseError]
    DataError: type[_zel_sql.DataError]
    OperationalError: type[_zel_sql.OperationalError]
    IntegrityError: type[_zel_sql.IntegrityError]
    InternalError: type[_zel_sql.InternalError]
    ProgrammingError: type[_zel_sql.ProgrammingError]
    NotSupportedError: type[_zel_sql.NotSupportedError]

    def __init__(
        self,
        data_source: str,
        user: str = "",
        password: str = "",
        *,
        wait_limit: float | datetime.timedelta = 15.0,
        autocommit: bool = False,
        standbys: Sequence[_Standby] = (),
    ) -> None: ...
    @property
    def database(self) -> Database: ...
    @property
    def autocommit(self) -> bool: ...
    @autocommit.setter
    def autocommit(self, on: bool) -> None: ...
    @property
    def closed(self) -> bool: ...
    def cursor(self) -> Cursor: ...
    def commit(self) -> None: ...
    def rollback(self) -> None: ...
    def close(self) -> None: ...
    def __enter__(self) -> Connection: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        traceback: TracebackType | None,
    ) -> None: ...

class Cursor:
    """The statements of one Connection and their results."""

    arraysize: int
    def __init__(self, connection: Connection) -> None: ...
    @property
    def connection(self) -> Connection: ...
    @property
    def description(self) -> list[_ColumnDescription] | None: ...
    @property
    def rowcount(self) -> int: ...
    def execute(self, sql: str, parameters: Sequence[_Parameter] | None = ()) -> Cursor: ...
    def executemany(
        self, sql: str, seq_of_parameters: Iterable[Sequence[_Parameter]]
    ) -> Cursor: ...
    def fetchone(self) -> _Row | None: ...
    def fetchmany(self, size: int | None = None) -> list[_Row]: ...
    def fetchall(self) -> list[_Row]: ...
    def __iter__(self) -> Iterator[_Row]: ...
    def __next__(self) -> _Row: ...
    def close(self) -> None: ...
    def setinputsizes(self, sizes: Any) -> None: ...
    def setoutputsize(self, size: int, column: int | None = None) -> None: ...
    def nextset(self) -> None: ...
    def callproc(self, procname: str, parameters: Sequence[_Parameter] = ()) -> Sequence[Any]: ...
    def __enter__(self) -> Cursor: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        traceback: TracebackType | None,
    ) -> None: ...

def connect(
    data_source: str,
    user: str = "",
    password: str = "",
    *,
    wait_limit: float | datetime.timedelta = 15.0,
    autocommit: bool = False,
    standbys: Sequence[_Standby] = (),
) -> Connection: ...
