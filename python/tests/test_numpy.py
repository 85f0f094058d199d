"""Columns as NumPy arrays: Database.query_numpy on every backend, and
ComponentList.to_numpy/to_pandas against a walk over the components."""

import gc
import math
import sys
import threading

import numpy
import pytest

import zel_sql
from conftest import BACKENDS, MARIADB, PG, SQLITE, ticks_while

NAN = math.nan

# (declared type on PostgreSQL, SQLite, MariaDB; typical, extreme values as
# SQL literals; the dtype and values expected for them; the dtype of NULL).
# A backend's own literal or expectation is a dict keyed by its name.
TYPES = [
    ("SMALLINT", ("12", "-32768"), "int64", (12, -32768), "float64"),
    ("INTEGER", ("7", "2147483647"), "int64", (7, 2147483647), "float64"),
    ("BIGINT", ("-5", "-9223372036854775808"), "int64", (-5, -2**63), "float64"),
    ({"pg": "REAL", "sqlite": "REAL", "mariadb": "FLOAT"}, ("1.5", "3.4e38"), "float64",
     (1.5, 3.4e38), "float64"),
    # sqliteodbc hands doubles on as texts of 15 significant digits: the
    # largest double then reads as a number beyond float64, which is refused.
    ("DOUBLE PRECISION", ("-0.25", "1.7976931348623157e308"), "float64",
     (-0.25, {"pg": 1.7976931348623157e308, "sqlite": zel_sql.Error,
              "mariadb": 1.7976931348623157e308}), "float64"),
    ("DOUBLE PRECISION", ("0.1", "2.2250738585072014e-308"), "float64",
     (0.1, {"pg": 2.2250738585072014e-308, "sqlite": 2.2250738585072e-308,
            "mariadb": 2.2250738585072014e-308}), "float64"),
    ("NUMERIC(20,4)", ("1234.5", "-9999999999999999.9999"), "float64",
     (1234.5, -9999999999999999.9999), "float64"),
    # sqliteodbc describes a DECIMAL column as a text column.
    ({"pg": "DECIMAL(18,0)", "sqlite": "NUMERIC(18,0)", "mariadb": "DECIMAL(18,0)"},
     ("42", "999999999999999999"), "float64", (42.0, 1e18), "float64"),
    ("VARCHAR(20)", ("'ab'", "'Grüße, ‰ € 𝄞'"), "object", ("ab", "Grüße, ‰ € 𝄞"), "object"),
    ("TEXT", ("''", "'x''y\"z'"), "object", ("", "x'y\"z"), "object"),
    ("CHAR(3)", ("'abc'", "'   '"), "object", ("abc", {"pg": "   ", "sqlite": "   ", "mariadb": ""}),
     "object"),
    ("DATE", ("'2024-02-29'", "'9999-12-31'"), "object", ("2024-02-29", "9999-12-31"), "object"),
    ({"pg": "BYTEA", "sqlite": "BLOB", "mariadb": "VARBINARY(20)"},
     ({"pg": "'\\x00ff'::bytea", "sqlite": "x'00ff'", "mariadb": "x'00ff'"},
      {"pg": "''::bytea", "sqlite": "x''", "mariadb": "x''"}),
     "object", (b"\x00\xff", b""), "object"),
]


def for_backend(value, backend):
    return value[backend.name] if isinstance(value, dict) else value


def type_cases():
    for backend in BACKENDS:
        for number, (declared, literals, dtype, values, null_dtype) in enumerate(TYPES):
            for kind in range(2):
                yield pytest.param(
                    backend, for_backend(declared, backend), for_backend(literals[kind], backend),
                    dtype, for_backend(values[kind], backend),
                    id=f"{backend.name}-{for_backend(declared, backend)}-{number}-"
                       f"{('typical', 'extreme')[kind]}")
            yield pytest.param(backend, for_backend(declared, backend), "NULL", null_dtype,
                               NAN if null_dtype == "float64" else None,
                               id=f"{backend.name}-{for_backend(declared, backend)}-{number}-null")


@pytest.mark.parametrize("backend, declared, literal, dtype, value", type_cases())
def test_each_sql_type_gives_its_dtype_and_value(backend, declared, literal, dtype, value):
    db = backend.database()
    db.query(f"CREATE TEMPORARY TABLE numpy_types (v {declared})")
    db.query(f"INSERT INTO numpy_types VALUES ({literal})")
    if value is zel_sql.Error:
        with pytest.raises(zel_sql.Error, match="beyond what float64 holds"):
            db.query_numpy("SELECT v FROM numpy_types")
        return
    columns = db.query_numpy("SELECT v FROM numpy_types")
    assert list(columns) == ["v"]
    array = columns["v"]
    assert (array.dtype, array.shape) == (numpy.dtype(dtype), (1,))
    actual = array[0].item() if dtype != "object" else array[0]
    if isinstance(value, float) and math.isnan(value):
        assert math.isnan(actual)
    else:
        assert actual == value and type(actual) is type(value)


def test_integers_beside_null_that_float64_cannot_hold_are_refused(backend):
    db = backend.database()
    db.query("CREATE TEMPORARY TABLE numpy_big (v BIGINT)")
    db.query("INSERT INTO numpy_big VALUES (9007199254740992), (NULL)")
    assert db.query_numpy("SELECT v FROM numpy_big")["v"][0] == 2.0**53
    db.query("INSERT INTO numpy_big VALUES (9007199254740993)")
    with pytest.raises(zel_sql.Error, match='"v"\\) holds NULL and 9007199254740993, which '
                                            "float64 cannot hold exactly"):
        db.query_numpy("SELECT v FROM numpy_big")


def test_unsigned_bigint_beyond_int64_is_refused():
    db = MARIADB.database()
    db.query("CREATE TEMPORARY TABLE numpy_unsigned (v BIGINT UNSIGNED)")
    db.query("INSERT INTO numpy_unsigned VALUES (9223372036854775807)")
    assert db.query_numpy("SELECT v FROM numpy_unsigned")["v"].tolist() == [2**63 - 1]
    db.query("INSERT INTO numpy_unsigned VALUES (18446744073709551615)")
    with pytest.raises(zel_sql.Error, match='holds "18446744073709551615", more than int64 holds'):
        db.query_numpy("SELECT v FROM numpy_unsigned")


# SQLite keeps what it is given, whatever the declared type; its driver turns
# such a value into a wrong number without a warning (1 for 1.5, NULL for
# "abc"), so numbers are read as texts and checked.
@pytest.mark.parametrize("declared, literal, message", [
    ("INTEGER", "1.5", '"1.5", which is not an integer'),
    ("INTEGER", "'abc'", '"abc", which is not an integer'),
    ("INTEGER", "'12x'", '"12x", which is not an integer'),
    ("INTEGER", "9223372036854775808", '"9.22337203685478e\\+18", which is not an integer'),
    ("DOUBLE", "'abc'", '"abc", which is not a number'),
    ("DOUBLE", "''", '"", which is not a number'),
])
def test_sqlite_values_that_are_not_of_their_column_type_are_refused(declared, literal, message):
    db = SQLITE.database()
    db.query(f"CREATE TEMPORARY TABLE numpy_loose (k INTEGER, v {declared})")
    db.query(f"INSERT INTO numpy_loose VALUES (1, 2), (2, {literal})")
    with pytest.raises(zel_sql.Error, match=f'Column 2 \\("v"\\), of an? \\w+ type, holds {message}'):
        db.query_numpy("SELECT k, v FROM numpy_loose ORDER BY k")


# Texts and bytes longer than any bound buffer, between short ones, so that a
# value read again whole never shifts its neighbours: in a column of unknown
# size, in a column whose declared size the value exceeds (SQLite never checks
# it; PostgreSQL's VARCHAR without a length is described as 255 characters),
# and binary.
LONG = {
    "pg": ("TEXT", "VARCHAR", "BYTEA"),
    "sqlite": ("TEXT", "VARCHAR(10)", "BLOB"),
    "mariadb": ("LONGTEXT", "LONGTEXT", "LONGBLOB"),
}


@pytest.mark.parametrize("backend", BACKENDS, ids=lambda backend: backend.name)
def test_values_longer_than_the_bound_buffers_are_read_whole(backend):
    db = backend.database()
    text, declared, binary = LONG[backend.name]
    db.query(f"CREATE TEMPORARY TABLE numpy_long (k INTEGER, t {text}, d {declared}, "
             f"b {binary}, n DOUBLE PRECISION)")
    big = 1536 * 1024
    texts = ["short", "é" * (big // 2) + "end", "", "x" * big]
    blobs = [b"\x00", bytes(range(256)) * (big // 256), b"", b"\xff" * big]
    for k, (t, b) in enumerate(zip(texts, blobs)):
        blob = {"pg": f"decode('{b.hex()}', 'hex')"}.get(backend.name, f"x'{b.hex()}'")
        db.query(f"INSERT INTO numpy_long VALUES ({k}, '{t}', '{t}', {blob}, {k}.5)")
    # PostgreSQL reads the VARCHAR column through row arrays; the cut values
    # are read again after positioning on their rows.
    select = "SELECT k, t, CAST(d AS VARCHAR) AS d, b, n FROM numpy_long ORDER BY k" \
        if backend is PG else "SELECT k, t, d, b, n FROM numpy_long ORDER BY k"
    columns = db.query_numpy(select)
    assert columns["k"].tolist() == [0, 1, 2, 3]
    assert columns["t"].tolist() == texts
    assert columns["d"].tolist() == texts
    assert columns["b"].tolist() == blobs
    assert columns["n"].tolist() == [0.5, 1.5, 2.5, 3.5]
    if backend is PG:
        only_bound = db.query_numpy("SELECT CAST(t AS VARCHAR) AS d, k FROM numpy_long "
                                    "ORDER BY k")
        assert only_bound["d"].tolist() == texts


@pytest.mark.parametrize("backend", BACKENDS, ids=lambda backend: backend.name)
def test_shapes_of_results(backend):
    db = backend.database()
    db.query("CREATE TEMPORARY TABLE numpy_shapes (i INTEGER, r DOUBLE PRECISION, "
             "t VARCHAR(10))")
    # No result set: executed, no columns.
    assert db.query_numpy("INSERT INTO numpy_shapes VALUES (1, 2.5, 'a'), (2, NULL, NULL)") == {}
    empty = db.query_numpy("SELECT i, r, t FROM numpy_shapes WHERE i > 2")
    assert [(name, array.dtype.str, array.shape) for name, array in empty.items()] == [
        ("i", "<i8", (0,)), ("r", "<f8", (0,)), ("t", "|O", (0,))]
    # 300 columns, in order, across several rows.
    db.query("CREATE TEMPORARY TABLE numpy_wide ("
             + ", ".join(f"c{n} INTEGER" for n in range(300)) + ")")
    for row in range(2):
        db.query("INSERT INTO numpy_wide VALUES (" + ", ".join(str(row + n) for n in range(300))
                 + ")")
    wide = db.query_numpy("SELECT * FROM numpy_wide ORDER BY c0")
    assert list(wide) == [f"c{n}" for n in range(300)]
    assert all(wide[f"c{n}"].tolist() == [n, 1 + n] for n in range(300))
    # Every name gives one array: a second column of the same name is refused.
    with pytest.raises(zel_sql.Error, match='Columns 1 and 2 are both named "i"'):
        db.query_numpy("SELECT i, i FROM numpy_shapes")
    with pytest.raises(zel_sql.DatabaseError):
        db.query_numpy("SELECT no_such_column FROM numpy_shapes")


@pytest.mark.parametrize("backend", BACKENDS, ids=lambda backend: backend.name)
def test_many_rows_arrive_in_order_across_rowsets(backend):
    db = backend.database()
    db.query("CREATE TEMPORARY TABLE numpy_rows (i INTEGER, t VARCHAR(30))")
    for start in range(0, 20000, 2000):
        values = ", ".join(f"({i}, 'row {i}')" for i in range(start, start + 2000))
        db.query(f"INSERT INTO numpy_rows VALUES {values}")
    columns = db.query_numpy("SELECT i, t FROM numpy_rows ORDER BY i")
    assert numpy.array_equal(columns["i"], numpy.arange(20000))
    assert columns["t"].tolist() == [f"row {i}" for i in range(20000)]


def test_a_slow_query_lets_other_threads_run_and_its_arrays_outlive_the_database():
    db = PG.database()
    result = {}
    reader = threading.Thread(target=lambda: result.update(db.query_numpy(
        "SELECT g, pg_sleep(0.5) AS pause, 'v' || g AS t FROM generate_series(1, 4) AS g")))
    ticks = ticks_while(reader)
    # Without the GIL released, this thread would not run before the query ends.
    assert ticks >= 10
    del db, reader
    gc.collect()
    assert result["g"].tolist() == [1, 2, 3, 4]
    assert result["t"].tolist() == ["v1", "v2", "v3", "v4"]


def test_texts_that_are_no_utf8_come_as_surrogate_escapes():
    db = SQLITE.database()
    db.query("CREATE TEMPORARY TABLE numpy_bytes (t VARCHAR(10))")
    db.query("INSERT INTO numpy_bytes VALUES (CAST(x'61ff62' AS TEXT))")
    [value] = db.query_numpy("SELECT t FROM numpy_bytes")["t"].tolist()
    assert value == "a\udcffb" == db.query("SELECT t FROM numpy_bytes")[0][0]


# --- components as columns -------------------------------------------------

TEXTS = ["name", "real_name", "name2", "section", "group", "class_name", "type",
         "friendly_name", "link_name"]



def walk(components, flag_names):
    """The columns, built one Component at a time."""
    columns = {key: [getattr(c, key) for c in components] for key in TEXTS + ["x", "y", "z", "s"]}
    for flag in dict.fromkeys(flag_names):
        columns[flag] = [c.flags[flag] for c in components]
    return columns


def assert_columns_equal(columns, expected):
    assert list(columns) == list(expected)
    for key, values in expected.items():
        array = columns[key]
        dtype = "object" if key in TEXTS else "float64" if key in "xyzs" else "bool"
        assert array.dtype == numpy.dtype(dtype), key
        assert len(array) == len(values), key
        if dtype == "float64":
            assert numpy.array_equal(array, numpy.array(values), equal_nan=True), key
        else:
            assert array.tolist() == values, key


def test_to_numpy_gives_the_columns_of_a_walk(miran):
    assert len(miran) > 0 and miran.flag_names
    assert_columns_equal(miran.to_numpy(), walk(list(miran), miran.flag_names))
    beamline = miran.extract_beamline(miran.flag_names[0], -1e9, 1e9, "s")
    assert_columns_equal(zel_sql.to_numpy(beamline), walk(beamline, miran.flag_names))
    empty = zel_sql.to_numpy([])
    assert list(empty) == TEXTS + ["x", "y", "z", "s"]
    assert all(len(array) == 0 for array in empty.values())


def test_to_pandas_is_the_same_table_indexed_by_name(miran):
    frame = miran.to_pandas()
    assert frame.index.name == "name"
    assert frame.index.tolist() == [c.name for c in miran]
    expected = walk(list(miran), miran.flag_names)
    del expected["name"]
    assert list(frame.columns) == list(expected)
    for key, values in expected.items():
        if key in "xyzs":
            assert numpy.array_equal(frame[key].to_numpy(), numpy.array(values), equal_nan=True)
        else:
            assert frame[key].tolist() == values, key
    stretch = miran.extract_beamline(miran.flag_names[0], 0, 50, "s")
    assert zel_sql.to_pandas(stretch).index.tolist() == [c.name for c in stretch]


def test_the_columns_outlive_the_list():
    components = zel_sql.ComponentList()
    components.read_from_db(PG.database(), "MIRAN")
    expected = walk(list(components), components.flag_names)
    columns = components.to_numpy()
    selection = zel_sql.to_numpy(list(components)[:3])
    del components
    gc.collect()
    assert_columns_equal(columns, expected)
    assert selection["name"].tolist() == expected["name"][:3]


def list_file(folder, flag, name):
    """A component list file of one component that carries its one flag."""
    path = folder / f"{name}.txt"
    path.write_text(f"<flag_names>\n{flag}\n</flag_names>\n<components>\n<component>\n{name}\n"
                    + "x\n" * 7 + "1.0e+00\n" * 4 + "1\nPS\n</component>\n</components>\n")
    return path


def test_components_of_lists_with_different_flags_give_no_columns(tmp_path):
    first, second, same = zel_sql.ComponentList(), zel_sql.ComponentList(), zel_sql.ComponentList()
    first.read_from_file(list_file(tmp_path, "QUAD", "Q1"))
    second.read_from_file(list_file(tmp_path, "BPM", "B1"))
    same.read_from_file(list_file(tmp_path, "QUAD", "Q2"))
    with pytest.raises(ValueError, match="lists with different flags"):
        zel_sql.to_numpy(list(first) + list(second))
    columns = zel_sql.to_numpy(list(first) + list(same))
    assert (columns["name"].tolist(), columns["QUAD"].tolist()) == (["Q1", "Q2"], [True, True])


def test_to_pandas_without_pandas_says_what_is_missing(miran, monkeypatch):
    monkeypatch.setitem(sys.modules, "pandas", None)
    with pytest.raises(ImportError, match="to_pandas\\(\\) needs pandas, which is not installed"):
        miran.to_pandas()
    with pytest.raises(ImportError, match="needs pandas"):
        zel_sql.to_pandas([])
