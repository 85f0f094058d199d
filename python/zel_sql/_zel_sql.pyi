"""The component list of an accelerator facility and cached database reads, from libzel_sql."""

import datetime
import decimal
import os
from typing import Any, Iterable, Iterator, Literal, Sequence

import numpy.typing

# Names of the stubs alone, private so that the extension need not have them.
_Order = Literal["none", "z", "s"]
_Policy = Literal["fallback", "prefer_cache", "cache_only"]
_SourceOrder = Literal["listed", "random"]
# A standby: a data source logged in to as the primary is, or one with a
# login of its own (data source, user, password).
_Standby = str | tuple[str, str, str]
_FilePath = str | os.PathLike[str]
_TextRow = tuple[str | None, ...]
# A value sent as a bound parameter.
_Parameter = (
    None | bool | int | float | decimal.Decimal | str | bytes | bytearray | memoryview
    | datetime.date | datetime.time | datetime.datetime
)
# A row of Database.query(): int, float, decimal.Decimal, str, bytes, bool,
# datetime.date, datetime.time, datetime.datetime or None, by column type.
_Row = tuple[Any, ...]

class _pybind11_type(type):
    """The metaclass that pybind11 gives the extension's classes."""
# One NumPy array per column, in column order: int64, float64, bool or object
# (str, bytes, None), by the column.
_Columns = dict[str, numpy.typing.NDArray[Any]]

class Error(RuntimeError):
    """Raised for every failure that the library reports, with its message."""

class DatabaseError(Error):
    """An Error that carries the driver's diagnostics."""

    sqlstate: str
    """SQLSTATE of the first diagnostic record; "" when the driver gave none."""
    native_error: int
    """The driver's native code of that record."""

# --- the database interface (PEP 249) -------------------------------------------

class Warning(Exception):
    """Important warnings of the database interface; never raised here."""

class InterfaceError(Error):
    """An error of the database interface itself: a closed object, a call out of order."""

class DataError(DatabaseError):
    """A problem with the data (SQLSTATE class 22)."""

class OperationalError(DatabaseError):
    """A lost or failed connection, an overdue answer (08, 40, 53, 57, 58, HYT00, HYT01)."""

class IntegrityError(DatabaseError):
    """A violated constraint (class 23)."""

class InternalError(DatabaseError):
    """An invalid cursor or transaction state (24, 25, XX)."""

class ProgrammingError(DatabaseError):
    """An error in the SQL or its use (42, 3D, 3F, 07)."""

class NotSupportedError(DatabaseError):
    """Something the driver or the database does not offer (HYC00, IM001, 0A)."""

class QueryResult(metaclass=_pybind11_type):
    """Every row of one query read through Database.read_with_cache, as text."""

    @property
    def columns(self) -> list[str]: ...
    @property
    def rows(self) -> list[_TextRow]: ...
    @property
    def from_cache(self) -> bool: ...
    @property
    def message(self) -> str: ...
    @property
    def served_by(self) -> str:
        """The data source that answered; "" when the rows come from the cache file."""
    @property
    def stored_at(self) -> datetime.datetime: ...
    def to_dicts(self) -> list[dict[str, str | None]]:
        """The rows as dicts, column name -> value."""
    def __len__(self) -> int: ...

class _Result(metaclass=_pybind11_type):
    """For zel_sql.Cursor: the result of one statement, read in steps as it is fetched."""

    @property
    def description(self) -> list[tuple[str, int, int, int, bool | None]] | None: ...
    @property
    def rowcount(self) -> int: ...
    def fetch(self, size: int) -> list[_Row]: ...
    def fetch_all(self) -> list[_Row]: ...
    def close(self) -> None: ...

class Database(metaclass=_pybind11_type):
    """One ODBC data source, reached with a user name and a password."""

    def __init__(
        self,
        data_source: str,
        user: str = "",
        password: str = "",
        wait_limit: float | datetime.timedelta = 15.0,
        standbys: Sequence[_Standby] = (),
        hold_back: float | datetime.timedelta = 30.0,
    ) -> None: ...
    @property
    def data_sources(self) -> list[str]:
        """The primary data source, then the standbys in the order given."""
    @property
    def serving_source(self) -> str:
        """The data source of the open connection; "" when not connected."""
    @property
    def source_order(self) -> _SourceOrder:
        """"listed" (primary first) or "random" (shuffled once for this Database)."""
    @source_order.setter
    def source_order(self, order: _SourceOrder) -> None: ...
    @property
    def hold_back(self) -> float:
        """Seconds for which a source that did not answer is skipped; 0: never held back."""
    @hold_back.setter
    def hold_back(self, value: float | datetime.timedelta) -> None: ...
    def source_states(self) -> list[dict[str, Any]]:
        """Per data source: data_source, held_back_until (aware datetime or None), last_error, given_up_calls."""
    @property
    def wait_limit(self) -> float:
        """Seconds that a login, read_with_cache and the list loads wait for one answer; 0: no limit."""
    @wait_limit.setter
    def wait_limit(self, value: float | datetime.timedelta) -> None: ...
    def disconnect(self) -> None:
        """Closes the connection if it is open; the next statement connects again."""
    @property
    def is_connected(self) -> bool: ...
    @property
    def last_connect_error(self) -> str:
        """Why the most recent login was refused; "" after a successful one."""
    def driver_info(self) -> dict[str, str]:
        """Names and versions of the driver and the server: driver_name, driver_version, odbc_version, dbms_name, dbms_version."""
    def query(self, sql: str, parameters: Sequence[_Parameter] = ()) -> list[_Row]:
        """Every row of `sql`, each value typed by its column's SQL type, None for NULL; `parameters` are the values of its ? markers."""
    def query_numpy(self, sql: str, parameters: Sequence[_Parameter] = ()) -> _Columns:
        """Every row of `sql` as one NumPy array per column; {} without a result set."""
    def _execute(self, sql: str, parameters: Sequence[_Parameter] = ()) -> _Result:
        """For zel_sql.Cursor: runs one statement; its result is read as it is fetched."""
    def _run_many(self, sql: str, seq_of_parameters: Iterable[Sequence[_Parameter]]) -> int:
        """For zel_sql.Cursor.executemany: the sum of the rows changed, -1 when unknown."""
    @property
    def autocommit(self) -> bool:
        """True: every statement is committed on its own; False: commit() ends a transaction."""
    @autocommit.setter
    def autocommit(self, on: bool) -> None: ...
    def commit(self) -> None:
        """Stores the open transaction; nothing in autocommit mode."""
    def rollback(self) -> None:
        """Undoes the open transaction and forgets a lost one; nothing in autocommit mode."""
    def read_with_cache(
        self,
        sql: str,
        policy: _Policy = "fallback",
        max_age: float | datetime.timedelta = 0,
    ) -> QueryResult:
        """Every row of `sql` as text, read through this data source's cache folder."""
    @property
    def cache_folder(self) -> str:
        """The folder of this data source's cache files (default "db_cache")."""
    @cache_folder.setter
    def cache_folder(self, folder: _FilePath) -> None: ...

class Component(metaclass=_pybind11_type):
    """One machine component of a loaded list; read-only."""

    @property
    def name(self) -> str: ...
    @property
    def real_name(self) -> str: ...
    @property
    def name2(self) -> str: ...
    @property
    def section(self) -> str: ...
    @property
    def group(self) -> str: ...
    @property
    def class_name(self) -> str: ...
    @property
    def type(self) -> str: ...
    @property
    def friendly_name(self) -> str: ...
    @property
    def link_name(self) -> str: ...
    @property
    def x(self) -> float: ...
    @property
    def y(self) -> float: ...
    @property
    def z(self) -> float: ...
    @property
    def s(self) -> float: ...
    @property
    def flags(self) -> dict[str, bool]:
        """Flag name -> whether the component carries it."""
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

class ComponentList(metaclass=_pybind11_type):
    """All machine components of one facility with the names of their flags."""

    def __init__(self) -> None: ...
    def read_from_db_with_backup(
        self, db: Database, facility: str, backup_file: _FilePath = ""
    ) -> str:
        """Loads from the database with the backup file as fallback; "" on full success."""
    def read_from_db(self, db: Database, facility: str) -> None:
        """Loads from the database, without a backup file."""
    def read_from_file(self, filename: _FilePath) -> None:
        """Replaces the list by the content of a component list file."""
    def write_to_file(self, filename: _FilePath) -> None:
        """Writes the list to a component list file."""
    @property
    def flag_names(self) -> list[str]: ...
    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[Component]: ...
    def find_component_by_name(self, name: str) -> Component | None:
        """The first component of that name, ASCII case ignored; None when there is none."""
    def find_components_with_flag(self, flag: str, order: _Order = "none") -> list[Component]:
        """The components that carry `flag`, sorted."""
    def extract_beamline(
        self, flag: str, start: float, end: float, order: _Order = "s"
    ) -> list[Component]:
        """The components of beamline `flag` between `start` and `end` (both included)."""
    def get_sorted_list(self, order: _Order) -> list[Component]:
        """All components, sorted."""
    @staticmethod
    def extract_cells_around_components(
        components: Sequence[Component],
        name_regex: str,
        order: _Order,
        meters_before: float,
        meters_after: float,
    ) -> list[list[Component]]:
        """The cell of members around every member whose name matches `name_regex`."""
    def to_numpy(self) -> _Columns:
        """The components as columns: nine object arrays of str, x/y/z/s float64, a bool per flag."""
    # A pandas.DataFrame: typed Any, since Debian's pandas ships no type
    # information that a strict check could use.
    def to_pandas(self) -> Any:
        """The columns of to_numpy() as a pandas.DataFrame indexed by name."""

def standardize_facility_name(name: str) -> str:
    """The canonical name of a facility given in any accepted spelling."""

def to_numpy(components: Sequence[Component]) -> _Columns:
    """The columns of components that a selection returned, as ComponentList.to_numpy()."""

def to_pandas(components: Sequence[Component]) -> Any:
    """The columns of to_numpy(components) as a pandas.DataFrame indexed by name."""
