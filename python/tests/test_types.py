"""What Database.query() gives for each SQL type on each backend, and the
shapes of results that stress the typed read: long values, no rows, many
columns, no result set, and other threads running meanwhile.

TYPES is the one table of SQL types x backends x value kinds. Each backend
gets a temporary table TYPED with one column per type and one row per value
kind; the fixture `typed` reads it once per backend. Readers other than
query() (query_numpy) join the same table: add their expectations as fields
of TypeCase and compare them against a read of TYPED_SQL on `typed.db`.
"""

import dataclasses
import datetime
import threading
import time
from decimal import Decimal

import pytest

import zel_sql
from conftest import MARIADB, PG, SQLITE, ticks_while

KINDS = ["typical", "extreme", "null"]


@dataclasses.dataclass(frozen=True)
class TypeCase:
    name: str
    # The column's type, one spelling for every backend or one per backend.
    ddl: "str | dict[str, str]"
    # kind -> (SQL literal, the Python value that query() gives); the
    # literal and the value may differ per backend (a dict by backend name).
    values: dict


def per_backend(value, backend):
    return value[backend] if isinstance(value, dict) else value


BINARY = bytes([0, 255, 97, 98])
LONG_TEXT = "x" * 100_000 + "\u00e9nd"
TYPES = [
    TypeCase("smallint", "SMALLINT", {
        "typical": ("-7", -7),
        "extreme": ("32767", 32767)}),
    TypeCase("integer", "INTEGER", {
        "typical": ("42", 42),
        "extreme": ("-2147483648", -2147483648)}),
    TypeCase("bigint", "BIGINT", {
        "typical": ("1234567890123", 1234567890123),
        "extreme": ("-9223372036854775808", -9223372036854775808)}),
    # sqliteodbc hands doubles over as text of 15 significant digits: the
    # largest double would come back as -inf.
    TypeCase("double", {"pg": "DOUBLE PRECISION", "sqlite": "DOUBLE", "mariadb": "DOUBLE"}, {
        "typical": ("2.5", 2.5),
        "extreme": ({"pg": "-1.7976931348623157e308", "sqlite": "-1e308",
                     "mariadb": "-1.7976931348623157e308"},
                    {"pg": -1.7976931348623157e308, "sqlite": -1e308,
                     "mariadb": -1.7976931348623157e308})}),
    TypeCase("real", "REAL", {
        "typical": ("0.5", 0.5),
        "extreme": ("-0.015625", -0.015625)}),
    # SQLite keeps DECIMAL as a double, and sqliteodbc reports it as text.
    TypeCase("decimal", "DECIMAL(20,6)", {
        "typical": ("12345.6789", {"pg": Decimal("12345.678900"), "sqlite": "12345.6789",
                                   "mariadb": Decimal("12345.678900")}),
        "extreme": ({"pg": "-99999999999999.999999", "sqlite": "-99999.5",
                     "mariadb": "-99999999999999.999999"},
                    {"pg": Decimal("-99999999999999.999999"), "sqlite": "-99999.5",
                     "mariadb": Decimal("-99999999999999.999999")})}),
    TypeCase("varchar", "VARCHAR(40)", {
        "typical": ("'alpha'", "alpha"),
        "extreme": ("'Gr\u00fc\u00dfe \u6771\u4eac \u2713'", "Gr\u00fc\u00dfe \u6771\u4eac \u2713")}),
    TypeCase("text", {"pg": "TEXT", "sqlite": "TEXT", "mariadb": "LONGTEXT"}, {
        "typical": ("''", ""),
        "extreme": (f"'{LONG_TEXT}'", LONG_TEXT)}),
    TypeCase("binary", {"pg": "BYTEA", "sqlite": "BLOB", "mariadb": "VARBINARY(40)"}, {
        "typical": ({"pg": "'\\x00ff6162'::bytea", "sqlite": "X'00FF6162'",
                     "mariadb": "X'00FF6162'"}, BINARY),
        "extreme": ({"pg": "''::bytea", "sqlite": "X''", "mariadb": "X''"}, b"")}),
    TypeCase("date", "DATE", {
        "typical": ("'2024-02-29'", datetime.date(2024, 2, 29)),
        "extreme": ("'9999-12-31'", datetime.date(9999, 12, 31))}),
    TypeCase("time", "TIME", {
        "typical": ("'12:34:56'", datetime.time(12, 34, 56)),
        "extreme": ("'23:59:59'", datetime.time(23, 59, 59))}),
    TypeCase("timestamp", {"pg": "TIMESTAMP", "sqlite": "TIMESTAMP", "mariadb": "DATETIME(6)"}, {
        "typical": ("'2024-02-29 12:34:56.789012'",
                    datetime.datetime(2024, 2, 29, 12, 34, 56, 789012)),
        "extreme": ("'0001-01-01 00:00:00'", datetime.datetime(1, 1, 1))}),
]
for case in TYPES:
    case.values["null"] = ("NULL", None)

TYPED_SQL = "SELECT * FROM typed ORDER BY kind"


@dataclasses.dataclass
class Typed:
    db: object
    rows: dict  # kind -> the row that query() gave, without the kind


_typed_cache = {}


@pytest.fixture
def typed(backend):
    """The backend's table TYPED, created once per backend in a session of
    its own, and what query() read from it."""
    if backend.name not in _typed_cache:
        db = backend.database()
        temporary = "TEMPORARY" if backend.name == "mariadb" else "TEMP"
        columns = ", ".join(f"c_{case.name} {per_backend(case.ddl, backend.name)}"
                            for case in TYPES)
        db.query(f"CREATE {temporary} TABLE typed (kind INTEGER, {columns})")
        for number, kind in enumerate(KINDS):
            literals = ", ".join(per_backend(case.values[kind][0], backend.name)
                                 for case in TYPES)
            db.query(f"INSERT INTO typed VALUES ({number}, {literals})")
        rows = db.query(TYPED_SQL)
        assert [row[0] for row in rows] == list(range(len(KINDS)))
        _typed_cache[backend.name] = Typed(db, {kind: row[1:] for kind, row in zip(KINDS, rows)})
    return _typed_cache[backend.name]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("case", TYPES, ids=lambda case: case.name)
def test_query_gives_the_python_value_of_each_sql_type(typed, backend, case, kind):
    expected = per_backend(case.values[kind][1], backend.name)
    value = typed.rows[kind][TYPES.index(case)]
    assert (type(value), value) == (type(expected), expected)


def test_values_longer_than_a_bound_buffer_are_read_whole(backend):
    # Columns of a small declared size are bound; SQLite does not hold the
    # values to that size, and computed columns have no size the driver knows.
    db = backend.database()
    big = "0123456789abcdef" * 65_537  # just over 1 MiB
    temporary = "TEMPORARY" if backend.name == "mariadb" else "TEMP"
    declared = {"pg": "TEXT", "sqlite": "VARCHAR(10)", "mariadb": "LONGTEXT"}[backend.name]
    blob = {"pg": "BYTEA", "sqlite": "BLOB", "mariadb": "LONGBLOB"}[backend.name]
    db.query(f"CREATE {temporary} TABLE long_values (id INTEGER, t {declared}, b {blob})")
    binary_literal = {"pg": f"decode('{big}', 'hex')", "sqlite": f"X'{big}'",
                      "mariadb": f"X'{big}'"}[backend.name]
    db.query(f"INSERT INTO long_values VALUES (1, '{big}', {binary_literal}), (2, 'short', NULL)")
    rows = db.query("SELECT id, t, b FROM long_values ORDER BY id")
    assert rows == [(1, big, bytes.fromhex(big)), (2, "short", None)]


def test_numbers_beyond_the_declared_size_and_the_signed_range():
    # A NUMERIC without precision has no size the driver can tell: its text
    # is read whole, however long.
    long_number = "9" * 2000 + ".5"
    assert PG.database().query(f"SELECT CAST('{long_number}' AS NUMERIC)") == [
        (Decimal(long_number),)]
    # BIGINT UNSIGNED beyond the signed range, and BIT as pyodbc gives it.
    db = MARIADB.database()
    db.query("CREATE TEMPORARY TABLE bits (u BIGINT UNSIGNED, b BIT(1))")
    db.query("INSERT INTO bits VALUES (18446744073709551615, b'1'), (0, b'0'), (NULL, NULL)")
    assert db.query("SELECT u, b FROM bits ORDER BY u IS NULL, u DESC") == [
        (18446744073709551615, True), (0, False), (None, None)]


def test_empty_and_wide_results_and_statements_without_rows(backend):
    db = backend.database()
    assert db.query("SELECT id, label FROM samples WHERE id < 0") == []
    columns = ", ".join(f"'v{n}' AS c{n}" for n in range(300))
    assert db.query(f"SELECT {columns}") == [tuple(f"v{n}" for n in range(300))]
    temporary = "TEMPORARY" if backend.name == "mariadb" else "TEMP"
    assert db.query(f"CREATE {temporary} TABLE scratch (id INTEGER)") == []
    assert db.query("INSERT INTO scratch VALUES (1)") == []
    assert db.query("SELECT id FROM scratch") == [(1,)]


def test_other_threads_run_while_rows_are_fetched():
    # The server sends one row every half second: the fetch waits with the
    # GIL released.
    db = PG.database()
    rows = []
    reader = threading.Thread(target=lambda: rows.extend(db.query(
        "SELECT n, pg_sleep(0.5)::text FROM generate_series(1, 4) AS n")))
    ticks = ticks_while(reader)
    assert rows == [(n, "") for n in range(1, 5)]
    assert ticks >= 100


# Dates and times that Python's types cannot hold, as the driver gives them:
# (backend, SQL expression, its kind, the driver's text, named in the error). psqlODBC
# writes years beyond 9999 and 'infinity' as texts no calendar has. It gives
# two such values as ones Python holds, which no reader can tell apart: a BC
# date without its era, and the timestamp 'infinity' as 9999-12-31 23:59:59
# (docs/python.md).
UNREPRESENTABLE = [
    (PG, "DATE '10000-01-01'", "date", "1000-00-00"),
    (PG, "DATE 'infinity'", "date", "0000-00-00"),
    (PG, "DATE '-infinity'", "date", "0000-00-00"),
    (PG, "TIMESTAMP '294276-12-31 00:00:00'", "timestamp", "0000-00-00 00:00:00"),
    (PG, "TIMESTAMP '10000-01-01 00:00:00'", "timestamp", "0000-00-00 00:00:00"),
    (PG, "TIMESTAMP '0001-01-01 00:00:00 BC'", "timestamp", "0001-01-01 00:00:00 BC"),
    (PG, "TIMESTAMP '-infinity'", "timestamp", "9999-01-01 00:00:00 BC"),
    (PG, "TIME '24:00:00'", "time", "24:00:00"),
    (MARIADB, "CAST('0000-00-00' AS DATE)", "date", "0000-00-00"),
    (MARIADB, "CAST('2020-00-00' AS DATE)", "date", "2020-00-00"),
    (MARIADB, "CAST('0000-00-00 00:00:00' AS DATETIME)", "timestamp", "0000-00-00 00:00:00"),
    (MARIADB, "TIME '24:00:00'", "time", "24:00:00"),
    (MARIADB, "TIME '-01:00:00'", "time", "-01:00:00"),
    (MARIADB, "TIME '838:59:59'", "time", "838:59:59"),
]


@pytest.mark.parametrize("backend, expression, kind, text", UNREPRESENTABLE,
                         ids=lambda value: getattr(value, "name", None))
@pytest.mark.parametrize("read", ["query", "query_numpy"])
def test_dates_and_times_python_cannot_hold_are_refused(backend, expression, kind, text, read):
    db = backend.database()
    sql = f"SELECT 7 AS n, {expression} AS moment"
    with pytest.raises(zel_sql.Error) as raised:
        getattr(db, read)(sql)
    assert str(raised.value) == (
        f'Column 2 ("moment") holds "{text}", which is not a {kind} '
        "that Python can hold (years 1 to 9999, times below 24:00:00); select it as text to read it")
    # The session goes on.
    assert db.query("SELECT 1") == [(1,)]


@pytest.mark.parametrize("backend, expression, value", [
    (PG, "DATE '0001-01-01'", datetime.date(1, 1, 1)),
    (PG, "TIMESTAMP '9999-12-31 23:59:59.999999'",
     datetime.datetime(9999, 12, 31, 23, 59, 59, 999999)),
    (PG, "TIME '23:59:59.5'", datetime.time(23, 59, 59, 500000)),
    (MARIADB, "CAST('12:00:00.25' AS TIME(6))", datetime.time(12, 0, 0, 250000)),
    (MARIADB, "CAST('2000-02-29' AS DATE)", datetime.date(2000, 2, 29)),
], ids=lambda value: getattr(value, "name", None))
def test_dates_and_times_at_the_edges_python_holds(backend, expression, value):
    assert backend.database().query(f"SELECT {expression}") == [(value,)]


def test_sqlite_timestamps_in_the_forms_sqlite_writes():
    # SQLite keeps whatever text a TIMESTAMP column is given; its date
    # functions write it with or without seconds, and with a "T".
    db = SQLITE.database()
    db.query("CREATE TEMP TABLE moments (id INTEGER, t TIMESTAMP)")
    db.query("INSERT INTO moments VALUES (1, '2024-02-29 12:34:56'), "
             "(2, '2024-02-29T12:34:56.5'), (3, '2024-02-29 12:34')")
    assert db.query("SELECT t FROM moments ORDER BY id") == [
        (datetime.datetime(2024, 2, 29, 12, 34, 56),),
        (datetime.datetime(2024, 2, 29, 12, 34, 56, 500000),),
        (datetime.datetime(2024, 2, 29, 12, 34),)]
    db.query("INSERT INTO moments VALUES (4, 'yesterday')")
    with pytest.raises(zel_sql.Error, match='Column 1 \\("t"\\) holds "yesterday", which is not'):
        db.query("SELECT t FROM moments ORDER BY id")
