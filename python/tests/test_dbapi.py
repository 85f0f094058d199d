"""The database interface of Python (PEP 249) as far as it exists: the
exception classes, chosen by SQLSTATE, and values sent as bound parameters
of Database.query()."""

import datetime
from decimal import Decimal

import pytest

import zel_sql
from conftest import MARIADB, PG, READER, READER_PASSWORD
from test_types import KINDS, TYPES, per_backend

# class -> its base, as PEP 249 names them; Error stays a RuntimeError, as
# scripts written before caught it.
HIERARCHY = {
    zel_sql.Warning: Exception,
    zel_sql.Error: RuntimeError,
    zel_sql.InterfaceError: zel_sql.Error,
    zel_sql.DatabaseError: zel_sql.Error,
    zel_sql.DataError: zel_sql.DatabaseError,
    zel_sql.OperationalError: zel_sql.DatabaseError,
    zel_sql.IntegrityError: zel_sql.DatabaseError,
    zel_sql.InternalError: zel_sql.DatabaseError,
    zel_sql.ProgrammingError: zel_sql.DatabaseError,
    zel_sql.NotSupportedError: zel_sql.DatabaseError,
}


@pytest.mark.parametrize("cls, base", HIERARCHY.items(), ids=lambda c: c.__name__)
def test_exception_classes_form_the_standard_hierarchy(cls, base):
    assert cls.__bases__ == (base,)
    assert cls.__module__ == "zel_sql"
    assert issubclass(cls, Exception)


# backend -> statement -> (class, SQLSTATE), where the driver reports one.
FAILURES = {
    "pg": [("SELEKT 1", zel_sql.ProgrammingError, "42601"),
           ("SELECT 1 / 0", zel_sql.DataError, "22012"),
           ("SELECT * FROM no_such_table", zel_sql.ProgrammingError, "42P01")],
    "mariadb": [("SELEKT 1", zel_sql.ProgrammingError, "42000"),
                ("SELECT * FROM no_such_table", zel_sql.ProgrammingError, "42S02")],
    "sqlite": [("SELEKT 1", zel_sql.DatabaseError, None)],
}


def test_the_sqlstate_chooses_the_class_and_stays_on_the_error(backend):
    db = backend.database()
    for sql, cls, sqlstate in FAILURES[backend.name]:
        with pytest.raises(zel_sql.DatabaseError) as raised:
            db.query(sql)
        assert isinstance(raised.value, cls), sql
        assert len(raised.value.sqlstate) == 5
        if sqlstate:
            assert raised.value.sqlstate == sqlstate, sql


def test_an_overdue_answer_is_an_operational_error():
    db = zel_sql.Database(PG.data_source, READER, READER_PASSWORD, wait_limit=0.2, hold_back=0)
    with pytest.raises(zel_sql.OperationalError) as raised:
        db.read_with_cache("SELECT pg_sleep(3)", "fallback")
    assert "did not answer" in str(raised.value)


def _table(db, backend, name, columns):
    temporary = "TEMPORARY" if backend.name == "mariadb" else "TEMP"
    db.query(f"CREATE {temporary} TABLE {name} ({columns})")


def test_every_parameter_type_round_trips_with_its_extremes_and_none(backend):
    db = backend.database()
    columns = ", ".join(f"c_{case.name} {per_backend(case.ddl, backend.name)}"
                        for case in TYPES)
    _table(db, backend, "sent", f"kind INTEGER, {columns}")
    markers = ", ".join("?" for _ in range(len(TYPES) + 1))
    expected = {}
    for number, kind in enumerate(KINDS):
        values = tuple(per_backend(case.values[kind][1], backend.name) for case in TYPES)
        assert db.query(f"INSERT INTO sent VALUES ({markers})", (number,) + values) == []
        expected[number] = values
    rows = db.query("SELECT * FROM sent ORDER BY kind")
    assert [row[0] for row in rows] == list(expected)
    for row in rows:
        for case, got, sent in zip(TYPES, row[1:], expected[row[0]]):
            if backend.is_sqlite and isinstance(sent, datetime.datetime):
                # sqliteodbc writes a bound timestamp with milliseconds only.
                sent = sent.replace(microsecond=sent.microsecond // 1000 * 1000)
            assert got == sent, (case.name, KINDS[row[0]])


# Parameters of each type, compared in SQL with what they must equal.
SCALARS = [
    (True, "1"), (False, "0"), (9223372036854775807, "9223372036854775807"),
    (-9223372036854775808, "-9223372036854775808"), (-1.5, "-1.5"),
    (Decimal("-12.250"), "-12.25"), (10 ** 20, "100000000000000000000"),
]


@pytest.mark.parametrize("value, literal", SCALARS, ids=repr)
def test_numbers_arrive_as_their_value(backend, value, literal):
    db = backend.database()
    # Exact numbers travel as their digits; SQLite compares text with a
    # number only after a cast (a column of a numeric type casts too).
    parameter = "CAST(? AS NUMERIC)" if backend.is_sqlite else "?"
    source = " FROM DUAL" if backend is MARIADB else ""
    assert db.query(f"SELECT 1{source} WHERE {parameter} = {literal}", (value,)) in ([(1,)], [("1",)])


HOSTILE = ["O'Brien", "x'; DROP TABLE samples; --", "a\" OR \"1\"=\"1", "/* c */ ' OR 1=1 #",
           "\\'; --", ""]


def test_a_value_never_becomes_sql(backend):
    db = backend.database()
    _table(db, backend, "names", "name VARCHAR(80)")
    for name in HOSTILE:
        db.query("INSERT INTO names VALUES (?)", [name])
    for name in HOSTILE:
        assert db.query("SELECT name FROM names WHERE name = ?", (name,)) == [(name,)]
    assert int(db.query("SELECT COUNT(*) FROM samples")[0][0]) == 3
    columns = db.query_numpy("SELECT name FROM names WHERE name = ? OR name = ?", HOSTILE[:2])
    assert sorted(columns["name"].tolist()) == sorted(HOSTILE[:2])


@pytest.mark.parametrize("parameters, message", [
    ((1, [2]), "Parameter 2 (list) cannot be sent"),
    (({},), "Parameter 1 (dict) cannot be sent"),
    ((Decimal("NaN"),), "Parameter 1 (Decimal) is not finite"),
    ((datetime.datetime(2024, 1, 1, tzinfo=datetime.timezone.utc),), "Parameter 1 (datetime) has a time zone"),
])
def test_a_value_of_another_type_is_a_programming_error_with_its_position(parameters, message):
    db = PG.database()
    with pytest.raises(zel_sql.ProgrammingError) as raised:
        db.query("SELECT " + ", ".join("?" for _ in parameters), parameters)
    assert str(raised.value).startswith(message)
    assert raised.value.sqlstate == "07006"
    assert not db.is_connected  # refused before anything was sent


def test_a_wrong_number_of_parameters_is_a_programming_error(backend):
    db = backend.database()
    with pytest.raises(zel_sql.ProgrammingError) as raised:
        db.query("SELECT id FROM samples WHERE id = ? OR id = ?", (1,))
    assert str(raised.value).startswith("The SQL text has 2 parameter markers, but 1 parameters")
    assert raised.value.sqlstate == "07001"
    with pytest.raises(TypeError):
        db.query("SELECT id FROM samples WHERE label = ?", "alpha")
