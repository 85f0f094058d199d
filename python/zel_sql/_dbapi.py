# Python's standard database interface (PEP 249, DB API 2.0) over
# zel_sql.Database: connect(), Connection and Cursor, the type objects and
# the constructors. Every statement runs through Database, so that its values
# are those of Database.query(), its parameters are bound, never formatted
# into the text, and each execute waits at most the wait limit.
#
# A cursor reads the result of a statement in steps as it fetches, each step
# under the wait limit on the statement's own connection, so that walking a
# large result in batches holds one batch at a time (zel_sql._Result). Before
# any other statement runs on the connection, the rest of an open result is
# read into the cursor's memory: nothing a cursor fetches depends on what ran
# in between.

from __future__ import annotations

import datetime
import time
import weakref
from collections.abc import Callable, Iterable, Iterator, Sequence
from types import TracebackType
from typing import Any, TypeVar

from ._zel_sql import (
    _Result,
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
    Warning,
)

apilevel = "2.0"
# Threads may share the module, not a connection.
threadsafety = 1
paramstyle = "qmark"

_Value = TypeVar("_Value")

# A row: the values of Database.query(), by column type.
_Row = tuple[Any, ...]
# One column of Cursor.description: name, type code, display size, internal
# size, precision, scale, null_ok.
_ColumnDescription = tuple[str, int, None, int, int, int, bool | None]


class _TypeObject:
    """Compares equal to the ODBC SQL type numbers of one group, as the type
    codes of Cursor.description are."""

    def __init__(self, name: str, codes: Iterable[int]) -> None:
        self._name = name
        self._codes = frozenset(codes)

    def __eq__(self, other: object) -> bool:
        if isinstance(other, _TypeObject):
            return other is self
        return other in self._codes or (self is STRING and _is_other_type(other))

    def __ne__(self, other: object) -> bool:
        return not self == other

    def __hash__(self) -> int:
        return hash(self._name)

    def __repr__(self) -> str:
        return f"zel_sql.{self._name}"


_TypeObject.__module__ = "zel_sql"


# SQL_CHAR, SQL_VARCHAR, SQL_LONGVARCHAR, SQL_WCHAR, SQL_WVARCHAR,
# SQL_WLONGVARCHAR, SQL_GUID. Any type of no other group is read as str too
# and compares equal to STRING.
STRING = _TypeObject("STRING", (1, 12, -1, -8, -9, -10, -11))
# SQL_BINARY, SQL_VARBINARY, SQL_LONGVARBINARY.
BINARY = _TypeObject("BINARY", (-2, -3, -4))
# SQL_NUMERIC, SQL_DECIMAL, SQL_INTEGER, SQL_SMALLINT, SQL_FLOAT, SQL_REAL,
# SQL_DOUBLE, SQL_BIT, SQL_TINYINT, SQL_BIGINT.
NUMBER = _TypeObject("NUMBER", (2, 3, 4, 5, 6, 7, 8, -7, -6, -5))
# SQL_TYPE_DATE, SQL_TYPE_TIME, SQL_TYPE_TIMESTAMP and their ODBC 2 codes.
DATETIME = _TypeObject("DATETIME", (91, 92, 93, 9, 10, 11))
# ODBC has no type of row identifiers: drivers describe them as integers or
# texts, and no type code equals ROWID.
ROWID = _TypeObject("ROWID", ())

_TYPED = STRING._codes | BINARY._codes | NUMBER._codes | DATETIME._codes


def _is_other_type(code: object) -> bool:
    return isinstance(code, int) and not isinstance(code, bool) and code not in _TYPED


Date = datetime.date
Time = datetime.time
Timestamp = datetime.datetime
Binary = bytes


def DateFromTicks(ticks: float) -> datetime.date:
    """The local date of `ticks` seconds since the epoch."""
    return datetime.date(*time.localtime(ticks)[:3])


def TimeFromTicks(ticks: float) -> datetime.time:
    """The local time of day of `ticks` seconds since the epoch, to the second."""
    return datetime.time(*time.localtime(ticks)[3:6])


def TimestampFromTicks(ticks: float) -> datetime.datetime:
    """The local date and time of `ticks` seconds since the epoch, to the second."""
    return datetime.datetime(*time.localtime(ticks)[:6])


class Connection:
    """A connection to one ODBC data source (and its standbys) through a
    zel_sql.Database of its own. Unless autocommit is on, the statements since
    the last commit() or rollback() form one transaction. A transaction whose
    connection is lost or given up after the wait limit raises
    OperationalError and is gone: nothing of it is stored, nothing is run
    again; the next execute opens a new connection and a new transaction."""

    Warning = Warning
    Error = Error
    InterfaceError = InterfaceError
    DatabaseError = DatabaseError
    DataError = DataError
    OperationalError = OperationalError
    IntegrityError = IntegrityError
    InternalError = InternalError
    ProgrammingError = ProgrammingError
    NotSupportedError = NotSupportedError

    def __init__(
        self,
        data_source: str,
        user: str = "",
        password: str = "",
        *,
        wait_limit: float | datetime.timedelta = 15.0,
        autocommit: bool = False,
        standbys: Sequence[str | tuple[str, str, str]] = (),
    ) -> None:
        database = Database(data_source, user, password, wait_limit=wait_limit,
                            standbys=standbys)
        database.autocommit = bool(autocommit)
        self._database: Database | None = database
        # A statement of the open transaction failed with its connection:
        # commit() refuses until the next execute or rollback().
        self._lost = False
        # For close(), which drops their results rather than read them.
        self._cursors: weakref.WeakSet[Cursor] = weakref.WeakSet()

    @property
    def database(self) -> Database:
        """The zel_sql.Database behind this connection."""
        return self._open()

    @property
    def autocommit(self) -> bool:
        """True: every statement is committed on its own. Switching it on
        commits an open transaction."""
        return self._open().autocommit

    @autocommit.setter
    def autocommit(self, on: bool) -> None:
        self._open().autocommit = bool(on)

    def cursor(self) -> Cursor:
        """A new cursor on this connection."""
        self._open()
        cursor = Cursor(self)
        self._cursors.add(cursor)
        return cursor

    def commit(self) -> None:
        """Stores the open transaction. Raises OperationalError when it was
        lost with its connection: nothing of it was stored."""
        database = self._open()
        if self._lost:
            raise OperationalError(
                "The transaction was lost with its connection; nothing of it was stored")
        database.commit()

    def rollback(self) -> None:
        """Undoes the open transaction."""
        database = self._open()
        self._lost = False
        database.rollback()

    def close(self) -> None:
        """Closes the open results of its cursors unread, rolls back what is
        not committed and closes the connection; every later use of it or of
        its cursors raises InterfaceError. Closing again does nothing."""
        database = self._database
        if database is None:
            return
        for cursor in list(self._cursors):
            try:
                cursor._drop_result()
            except Error:
                pass  # its connection is given up; the rollback below finds out
        self._database = None
        try:
            database.rollback()
        except Error:
            pass  # gone with its connection
        database.disconnect()

    @property
    def closed(self) -> bool:
        """True once close() was called."""
        return self._database is None

    def __enter__(self) -> Connection:
        self._open()
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        """Commits when the block ended normally, rolls back when it raised;
        the connection stays open."""
        if self._database is None:
            return
        if exc_type is None:
            self.commit()
        else:
            self._forget_transaction()

    def _open(self) -> Database:
        if self._database is None:
            raise InterfaceError("The connection is closed")
        return self._database

    def _execute(self, sql: str, parameters: Sequence[Any]) -> _Result:
        return self._guarded(lambda database: database._execute(sql, parameters))

    def _run_many(self, sql: str, seq_of_parameters: Iterable[Sequence[Any]]) -> int:
        return self._guarded(lambda database: database._run_many(sql, seq_of_parameters))

    def _guarded(self, run: Callable[[Database], _Value], starts: bool = True) -> _Value:
        # `starts`: `run` sends a statement, which begins a new transaction
        # where a lost one ended; a fetch or a close begins none.
        database = self._open()
        if starts:
            self._lost = False
        try:
            return run(database)
        except OperationalError:
            if not database.autocommit:
                self._forget_transaction()
                self._lost = True
            raise

    def _forget_transaction(self) -> None:
        # Rolls back under the wait limit; a connection that cannot even do
        # that is closed, and the next statement logs in anew.
        database = self._open()
        try:
            database.rollback()
        except Error:
            database.disconnect()
            database.rollback()


# Rows that fetchone() and iteration read in one step at least, to hand
# them out one by one: a call per row then costs little.
_READ_AHEAD = 256


class Cursor:
    """The statements of one Connection and their results. execute() runs a
    statement under the wait limit; the fetches read its rows in steps, each
    under the wait limit on the statement's connection, and hand them out as
    Database.query() gives them. Before another statement runs on the
    connection (another cursor's, a commit, a rollback, Database.query()),
    the rest of an open result is read into this cursor's memory, so that
    its fetches give what the statement gave."""

    def __init__(self, connection: Connection) -> None:
        self._connection: Connection | None = connection
        self._result: _Result | None = None
        self._description: list[_ColumnDescription] | None = None
        # Rows read ahead by fetchone(); those from _next on not handed out.
        self._ahead: list[_Row] = []
        self._next = 0
        self._rowcount = -1  # of executemany()

    arraysize = 1
    """The rows that fetchmany() gives when no size is passed (default 1)."""

    @property
    def connection(self) -> Connection:
        """The Connection this cursor belongs to."""
        return self._open()

    @property
    def description(self) -> list[_ColumnDescription] | None:
        """One 7-tuple per column of the latest result: name, type code
        (comparing equal to STRING, BINARY, NUMBER or DATETIME), None,
        internal size, precision, scale, null_ok (None when unknown); None
        after a statement without a result set."""
        return self._description

    @property
    def rowcount(self) -> int:
        """For a result set: its rows once it was read to its end, -1
        before; execute() reads a result of up to 256 rows at once. For
        another statement: the rows it changed. -1 when unknown or before any
        execute."""
        if self._result is not None:
            return self._result.rowcount
        return self._rowcount

    def execute(self, sql: str, parameters: Sequence[Any] | None = ()) -> Cursor:
        """Runs `sql` once with `parameters`, the values of its ? markers,
        bound (never formatted into the text); drops the result of the
        previous statement. Raises ProgrammingError for a value of another
        type than None, bool, int, float, Decimal, str, bytes, bytearray,
        memoryview, date, time or datetime, naming its position."""
        connection = self._open()
        self._drop_result()
        result = connection._execute(sql, () if parameters is None else parameters)
        self._result = result
        columns = result.description
        if columns is not None:
            self._description = [(name, code, None, size, size, digits, nullable)
                                 for name, code, size, digits, nullable in columns]
        return self

    def executemany(self, sql: str, seq_of_parameters: Iterable[Sequence[Any]]) -> Cursor:
        """Runs `sql`, prepared once, for each sequence of parameters, in
        order: in arrays of up to 1000 sequences where the driver takes them,
        else one by one; each answer under the wait limit; stops at the first
        that fails, naming its row. Every sequence is checked before anything
        is sent; the values of one parameter share the type of its first
        value that is not None. rowcount is the sum of the rows changed, -1
        when the driver did not tell."""
        connection = self._open()
        self._drop_result()
        self._rowcount = connection._run_many(sql, seq_of_parameters)
        return self

    def fetchone(self) -> _Row | None:
        """The next row; None after the last."""
        result = self._result_set()
        if self._next >= len(self._ahead):
            self._ahead = self._fetch(lambda: result.fetch(max(self.arraysize, _READ_AHEAD)))
            self._next = 0
            if not self._ahead:
                return None
        self._next += 1
        return self._ahead[self._next - 1]

    def fetchmany(self, size: int | None = None) -> list[_Row]:
        """The next `size` rows (arraysize by default); fewer at the end.
        Reads from the database only the rows not read ahead yet."""
        result = self._result_set()
        count = max(self.arraysize if size is None else size, 0)
        rows = self._take_ahead(count)
        if len(rows) < count:
            missing = count - len(rows)
            rows += self._fetch(lambda: result.fetch(missing))
        return rows

    def fetchall(self) -> list[_Row]:
        """The rows not fetched yet."""
        result = self._result_set()
        rows = self._take_ahead(len(self._ahead))
        rest = self._fetch(result.fetch_all)
        if not rows:
            return rest
        rows += rest
        return rows

    def __iter__(self) -> Iterator[_Row]:
        return self

    def __next__(self) -> _Row:
        row = self.fetchone()
        if row is None:
            raise StopIteration
        return row

    def close(self) -> None:
        """Closes the statement of the result and drops its rows; every later
        use raises InterfaceError. Raises OperationalError when closing the
        statement takes the driver longer than the wait limit."""
        try:
            self._drop_result()
        finally:
            self._connection = None

    def setinputsizes(self, sizes: Any) -> None:
        """Accepted; each value is bound with the size it has."""
        self._open()

    def setoutputsize(self, size: int, column: int | None = None) -> None:
        """Accepted; every value is read whole."""
        self._open()

    def nextset(self) -> None:
        """None: a statement gives one result set here."""
        self._open()
        return None

    def callproc(self, procname: str, parameters: Sequence[Any] = ()) -> Sequence[Any]:
        """Not offered: call a procedure with execute("{CALL name(?, ?)}", ...)."""
        self._open()
        raise NotSupportedError("callproc is not supported; use execute(\"{CALL ...}\")")

    def __enter__(self) -> Cursor:
        self._open()
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        self.close()

    def _open(self) -> Connection:
        if self._connection is None:
            raise InterfaceError("The cursor is closed")
        if self._connection.closed:
            raise InterfaceError("The connection is closed")
        return self._connection

    def _drop_result(self) -> None:
        # Closes the statement under the wait limit: some drivers read the
        # rest of the result from the server to close it.
        result = self._result
        self._result = None
        self._description = None
        self._ahead = []
        self._next = 0
        self._rowcount = -1
        connection = self._connection
        if result is not None and connection is not None and not connection.closed:
            connection._guarded(lambda database: result.close(), starts=False)

    def _result_set(self) -> _Result:
        self._open()
        if self._result is None or self._description is None:
            raise ProgrammingError("No result set: the latest statement gave none, or none ran")
        return self._result

    def _take_ahead(self, count: int) -> list[_Row]:
        rows = self._ahead[self._next:self._next + count]
        self._next += len(rows)
        if self._next >= len(self._ahead):
            self._ahead = []
            self._next = 0
        return rows

    def _fetch(self, read: Callable[[], list[_Row]]) -> list[_Row]:
        return self._open()._guarded(lambda database: read(), starts=False)


def connect(
    data_source: str,
    user: str = "",
    password: str = "",
    *,
    wait_limit: float | datetime.timedelta = 15.0,
    autocommit: bool = False,
    standbys: Sequence[str | tuple[str, str, str]] = (),
) -> Connection:
    """A Connection to the ODBC data source `data_source`; nothing is contacted
    until the first statement. `wait_limit`: the longest wait for one answer
    of the database, in seconds (0: none). `autocommit`: every statement
    committed on its own. `standbys`: as for zel_sql.Database."""
    return Connection(data_source, user, password, wait_limit=wait_limit,
                      autocommit=autocommit, standbys=standbys)


for _public in (Connection, Cursor, connect, DateFromTicks, TimeFromTicks, TimestampFromTicks):
    _public.__module__ = "zel_sql"
