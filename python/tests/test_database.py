"""Database: direct reads, reads through the query cache, connection state and
DatabaseError."""

import datetime
import os
import re
import signal
import threading
import time

import pytest

import zel_sql
from conftest import PG, READER, READER_PASSWORD, ticks_while

SAMPLES = "SELECT id, label, amount FROM samples ORDER BY id"
# What read_with_cache gives (the cache stores text), and what query() gives.
SAMPLE_ROWS = [("1", "alpha", "2.5"), ("2", None, None), ("3", "gamma", "-1.25")]
SAMPLE_VALUES = [(1, "alpha", 2.5), (2, None, None), (3, "gamma", -1.25)]


def test_query_reads_every_row_typed(backend):
    db = backend.database()
    assert db.query(SAMPLES) == SAMPLE_VALUES
    assert db.query("SELECT id FROM samples WHERE id > 3") == []
    assert db.is_connected
    assert db.last_connect_error == ""
    db.disconnect()
    assert not db.is_connected


def test_read_with_cache_stores_what_it_read(backend, workdir):
    db = backend.database()
    db.cache_folder = workdir / "cache"
    before = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
    result = db.read_with_cache(SAMPLES)
    assert (result.from_cache, result.message) == (False, "")
    assert [column.lower() for column in result.columns] == ["id", "label", "amount"]
    assert result.rows == SAMPLE_ROWS
    assert len(result) == 3
    assert before <= result.stored_at <= datetime.datetime.now(datetime.timezone.utc)
    assert result.to_dicts()[1] == dict(zip(result.columns, SAMPLE_ROWS[1]))

    cached = db.read_with_cache(SAMPLES, "cache_only")
    assert (cached.from_cache, cached.rows, cached.stored_at) == (True, SAMPLE_ROWS,
                                                                  result.stored_at)
    assert len(list((workdir / "cache").iterdir())) == 1


REFUSED = "Unable to allocate SQL statement handle"


@pytest.mark.parametrize("policy, max_age, stored, outcome", [
    ("fallback", 0, True, REFUSED),
    ("prefer_cache", 0, True, REFUSED),
    ("prefer_cache", 3600, True, ""),
    ("prefer_cache", datetime.timedelta(hours=1), True, ""),
    ("cache_only", 0, True, ""),
    ("fallback", 0, False, zel_sql.Error),
    ("cache_only", 0, False, zel_sql.Error),
])
def test_cache_policies_with_the_database_stopped(private_source, workdir, policy, max_age,
                                                  stored, outcome):
    db = private_source.database()
    db.cache_folder = workdir / "cache"
    if stored:
        db.read_with_cache(SAMPLES)
    db.disconnect()
    private_source.stop()

    if outcome is zel_sql.Error:
        with pytest.raises(zel_sql.Error) as raised:
            db.read_with_cache(SAMPLES, policy, max_age)
        message = str(raised.value)
        assert str(workdir / "cache") + "/" in message
        assert message.startswith(REFUSED + "; ") == (policy == "fallback")
        return
    result = db.read_with_cache(SAMPLES, policy, max_age)
    assert (result.from_cache, result.rows, result.message) == (True, SAMPLE_ROWS, outcome)
    # A fresh copy answers without a login.
    assert (db.last_connect_error != "") == (outcome == REFUSED)


DBMS_NAMES = {"pg": ("PostgreSQL",), "sqlite": ("SQLite",), "mariadb": ("MariaDB", "MySQL")}


def test_driver_info_names_driver_and_server(backend):
    db = backend.database()
    info = db.driver_info()
    assert sorted(info) == ["dbms_name", "dbms_version", "driver_name", "driver_version",
                            "odbc_version"]
    assert all(isinstance(value, str) and value for value in info.values()), info
    assert info["dbms_name"].startswith(DBMS_NAMES[backend.name]), info
    assert db.is_connected


def test_a_refused_login_says_why(private_source):
    private_source.stop()
    db = private_source.database()
    assert db.last_connect_error == ""
    with pytest.raises(zel_sql.Error) as raised:
        zel_sql.ComponentList().read_from_db(db, "MIRAN")
    # The library's message, with the login's SQLSTATE for a retry decision;
    # its class follows that SQLSTATE (OperationalError for class 08).
    assert isinstance(raised.value, zel_sql.DatabaseError)
    assert isinstance(raised.value, zel_sql.OperationalError) == raised.value.sqlstate.startswith(
        "08")
    assert len(raised.value.sqlstate) == 5
    assert str(raised.value) == REFUSED
    assert db.last_connect_error != ""
    assert not db.is_connected
    with pytest.raises(zel_sql.DatabaseError) as refused:
        db.driver_info()
    assert len(refused.value.sqlstate) == 5


@pytest.mark.parametrize("read", [
    lambda db: db.query(SAMPLES),
    lambda db: db.query_numpy(SAMPLES),
], ids=["query", "query_numpy"])
def test_a_refused_login_of_a_direct_read_carries_the_logins_sqlstate(private_source, read):
    # The message stays the library's; the SQLSTATE is the login's, so that a
    # script can retry on class "08", and the driver's words are kept.
    private_source.stop()
    db = private_source.database()
    with pytest.raises(zel_sql.DatabaseError) as refused:
        read(db)
    assert str(refused.value) == REFUSED
    assert len(refused.value.sqlstate) == 5
    assert db.last_connect_error != ""


def test_driver_errors_carry_their_sqlstate(backend):
    db = backend.database()
    with pytest.raises(zel_sql.DatabaseError) as raised:
        db.query("SELEKT 1")
    error = raised.value
    assert isinstance(error, zel_sql.Error) and isinstance(error, RuntimeError)
    assert str(error).startswith("Query failed: ")
    assert len(error.sqlstate) == 5
    assert isinstance(error.native_error, int)
    if backend is PG:
        assert error.sqlstate == "42601"
    # A failed fetch during a load too: the view divides by zero at row 5.
    with pytest.raises(zel_sql.DatabaseError) as raised:
        zel_sql.ComponentList().read_from_db(backend.database(), "broken")
    assert "TAVIK.BROKEN_VIEW_COMPONENTS" in str(raised.value)
    if backend is PG:
        assert raised.value.sqlstate == "22012"


@pytest.mark.parametrize("call, error, message", [
    (lambda db: db.read_with_cache(SAMPLES, "newest"), ValueError,
     'policy must be "fallback", "prefer_cache" or "cache_only", not "newest"'),
    (lambda db: db.read_with_cache(SAMPLES, "prefer_cache", float("nan")), ValueError,
     "max_age must be a number of seconds, not NaN"),
    (lambda db: setattr(db, "cache_folder", ""), zel_sql.Error, 'Invalid cache folder: ""'),
])
def test_argument_errors(call, error, message):
    with pytest.raises(error) as raised:
        call(zel_sql.Database("zel_py_never_contacted"))
    assert str(raised.value) == message


def test_a_slow_query_lets_other_threads_run():
    db = PG.database()
    rows = []
    reader = threading.Thread(target=lambda: rows.extend(db.query("SELECT pg_sleep(2), 'done'")))
    ticks = ticks_while(reader)
    assert rows == [("", "done")]
    # Without the GIL released, this thread would not run before the query ends.
    assert ticks >= 10


def test_wait_limit_is_seconds_set_as_a_number_or_a_timedelta():
    db = zel_sql.Database("no such source")
    assert db.wait_limit == 15.0
    db.wait_limit = datetime.timedelta(milliseconds=1500)
    assert db.wait_limit == 1.5
    db.wait_limit = 0
    assert db.wait_limit == 0.0
    assert zel_sql.Database("no such source", wait_limit=2).wait_limit == 2.0
    for wrong in (-1, float("nan")):
        with pytest.raises(ValueError):
            db.wait_limit = wrong
    assert db.wait_limit == 0.0


RANGE = "must be 0 (no limit) or from 0.001 to 86400 seconds (24 h)"


@pytest.mark.parametrize("given, seconds", [
    (86400, 86400.0),
    (0.001, 0.001),
    (1e-12, None),
    (86400.0001, None),
    (-1, None),
    (-0.0005, None),
    (float("inf"), None),
    (float("-inf"), None),
    (1e300, None),
    (datetime.timedelta(days=1), 86400.0),
    (datetime.timedelta(days=1, microseconds=1), None),
    (datetime.timedelta(seconds=-1), None),
    # A fraction of a millisecond rounds up, never down to "no limit".
    (0.0015, 0.002),
])
def test_wait_limit_range(given, seconds):
    db = zel_sql.Database("no such source", wait_limit=3)
    if seconds is None:
        with pytest.raises(ValueError, match=re.escape(RANGE)):
            db.wait_limit = given
        with pytest.raises(ValueError):
            zel_sql.Database("no such source", wait_limit=given)
        assert db.wait_limit == 3.0
    else:
        db.wait_limit = given
        assert db.wait_limit == seconds


@pytest.mark.parametrize("given", ["3", b"3", True, None, [3]])
def test_wait_limit_is_only_a_number_or_a_timedelta(given):
    db = zel_sql.Database("no such source", wait_limit=3)
    with pytest.raises(TypeError, match="wait_limit must be a number of seconds"):
        db.wait_limit = given
    with pytest.raises(TypeError):
        zel_sql.Database("no such source", wait_limit=given)
    assert db.wait_limit == 3.0


@pytest.mark.parametrize("read", [
    lambda db, sql: db.query(sql),
    lambda db, sql: db.query_numpy(sql),
    lambda db, sql: db.read_with_cache(sql),
], ids=["query", "query_numpy", "read_with_cache"])
def test_sql_with_a_nul_is_refused_before_anything_is_sent(read, workdir):
    # The driver would cut the text at the NUL, and the cache would store what
    # the cut text gave under the digest of the whole one.
    db = zel_sql.Database(PG.data_source, READER, READER_PASSWORD)
    db.cache_folder = workdir / "cache"
    with pytest.raises(ValueError, match="embedded null byte in sql"):
        read(db, "SELECT 1 AS a\0; SELECT 2")
    assert not db.is_connected
    assert not (workdir / "cache").exists()


def test_a_hung_session_gives_the_cached_copy_within_the_wait_limit(workdir):
    # Nothing held back: the call after the timeout logs in again at once
    # (test_standbys.py covers the hold-back).
    db = zel_sql.Database(PG.data_source, READER, READER_PASSWORD, wait_limit=1.0, hold_back=0)
    db.cache_folder = workdir / "cache"
    assert not db.read_with_cache(SAMPLES).from_cache
    (pid,) = db.query("SELECT pg_backend_pid()")[0]
    os.kill(int(pid), signal.SIGSTOP)
    try:
        started = time.monotonic()
        result = db.read_with_cache(SAMPLES)
        elapsed = time.monotonic() - started
        assert result.from_cache
        assert result.rows == SAMPLE_ROWS
        assert result.message == (
            f"The database did not answer within 1 s (statement on {PG.data_source})")
        assert 1.0 <= elapsed < 2.0
        # The hung session is given up: the next call logs in anew and gets a
        # backend of its own, while the old one is still stopped.
        assert db.query(SAMPLES) == SAMPLE_VALUES
    finally:
        os.kill(int(pid), signal.SIGCONT)


class StoppedBackend:
    """The PostgreSQL backend of `db`'s session stopped with SIGSTOP, as a
    server that hangs: every call on that session waits until it is
    continued, which happens however the test ends."""

    def __init__(self, db):
        (pid,) = db.query("SELECT pg_backend_pid()")[0]
        self.pid = int(pid)

    def __enter__(self):
        os.kill(self.pid, signal.SIGSTOP)
        return self

    def __exit__(self, *exc):
        os.kill(self.pid, signal.SIGCONT)


@pytest.mark.parametrize("read", [
    lambda db: db.query(SAMPLES),
    lambda db: db.query_numpy(SAMPLES),
], ids=["query", "query_numpy"])
def test_direct_reads_give_up_on_a_hung_session_within_the_wait_limit(read):
    db = zel_sql.Database(PG.data_source, READER, READER_PASSWORD, wait_limit=1.0, hold_back=0)
    with StoppedBackend(db):
        started = time.monotonic()
        with pytest.raises(zel_sql.DatabaseError) as raised:
            read(db)
        elapsed = time.monotonic() - started
        assert raised.value.sqlstate == "HYT00"
        assert str(raised.value) == (
            f"The database did not answer within 1 s (statement on {PG.data_source})")
        assert 1.0 <= elapsed < 2.0
        # The session is given up; the next read logs in anew.
        assert db.query(SAMPLES) == SAMPLE_VALUES


def test_a_hung_query_holds_no_other_thread_of_the_same_database(workdir):
    db = zel_sql.Database(PG.data_source, READER, READER_PASSWORD, wait_limit=1.0, hold_back=0)
    db.cache_folder = workdir / "cache"
    assert not db.read_with_cache(SAMPLES).from_cache
    errors = []

    def hung_query():
        try:
            db.query(SAMPLES)
        except zel_sql.DatabaseError as error:
            errors.append(error.sqlstate)

    with StoppedBackend(db):
        started = time.monotonic()
        other = threading.Thread(target=hung_query)
        other.start()
        time.sleep(0.2)  # the other thread's query() waits on the stopped backend
        result = db.read_with_cache(SAMPLES)
        elapsed = time.monotonic() - started
        other.join()
        # The cached read waits for the query's limit at most, then reads
        # from a new session, not for the backend to be continued.
        assert result.rows == SAMPLE_ROWS
        assert elapsed < 3.0
        assert errors == ["HYT00"]

