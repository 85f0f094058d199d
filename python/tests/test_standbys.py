"""Database with standbys: the sources it tries, the one that answered, and
the hold-back of a source that did not answer."""

import configparser
import datetime
import os
import socket
import time

import pytest

import zel_sql
from conftest import PG, READER, READER_PASSWORD, environment_dir

SAMPLES = "SELECT id, label, amount FROM samples ORDER BY id"
SAMPLE_ROWS = [("1", "alpha", "2.5"), ("2", None, None), ("3", "gamma", "-1.25")]


def test_sources_in_order_and_their_defaults():
    db = zel_sql.Database("zel_py_primary", "u", "p",
                          standbys=["zel_py_standby", ("zel_py_other", "v", "q")])
    assert db.data_sources == ["zel_py_primary", "zel_py_standby", "zel_py_other"]
    assert db.serving_source == ""
    assert db.source_order == "listed"
    assert db.hold_back == 30.0
    db.source_order = "random"
    assert db.source_order == "random"
    db.hold_back = datetime.timedelta(seconds=5)
    assert db.hold_back == 5.0
    db.hold_back = 0
    assert db.hold_back == 0.0
    assert [state["data_source"] for state in db.source_states()] == db.data_sources
    assert zel_sql.Database("zel_py_alone").data_sources == ["zel_py_alone"]


@pytest.mark.parametrize("arguments, error, message", [
    ({"standbys": "zel_py_standby"}, TypeError, "standbys must be a list of data source names"),
    ({"standbys": [7]}, TypeError, "standbys must be a list of data source names"),
    ({"standbys": [("zel_py_standby", "u")]}, TypeError, "standbys must be a list"),
    ({"standbys": ["zel\0py"]}, ValueError, "embedded null byte in standby name"),
    ({"hold_back": -1}, ValueError, r"hold_back must be 0 \(never held back\) or from 0.001"),
    ({"hold_back": float("inf")}, ValueError, "hold_back must be 0"),
    ({"hold_back": 86401}, ValueError, "hold_back must be 0"),
    ({"hold_back": "30"}, TypeError, "hold_back must be a number of seconds"),
])
def test_argument_errors(arguments, error, message):
    with pytest.raises(error, match=message):
        zel_sql.Database("zel_py_primary", **arguments)


def test_an_unknown_source_order_is_refused():
    db = zel_sql.Database("zel_py_primary")
    with pytest.raises(ValueError, match='source_order must be "listed" or "random", not "x"'):
        db.source_order = "x"
    assert db.source_order == "listed"


def test_a_refused_primary_gives_way_to_the_standby_and_is_not_held_back(private_source,
                                                                         workdir):
    private_source.stop()
    backend = private_source.backend
    login = () if backend.is_sqlite else (READER, READER_PASSWORD)
    db = zel_sql.Database(private_source.name, *login, standbys=[backend.data_source])
    db.cache_folder = workdir / "cache"
    result = db.read_with_cache(SAMPLES)
    assert not result.from_cache
    assert result.served_by == backend.data_source
    assert result.rows == SAMPLE_ROWS
    assert db.serving_source == backend.data_source
    primary, standby = db.source_states()
    assert primary["held_back_until"] is None and primary["last_error"] != ""
    assert standby == {"data_source": backend.data_source, "held_back_until": None,
                       "last_error": "", "given_up_calls": 0}
    # A script's own statement logs in like every read: past the refused
    # primary to the standby, where it runs once.
    fresh = zel_sql.Database(private_source.name, *login, standbys=[backend.data_source])
    assert len(fresh.query("SELECT 1")) == 1
    assert fresh.serving_source == backend.data_source
    fresh = zel_sql.Database(private_source.name, *login, standbys=[backend.data_source])
    assert len(fresh.query_numpy("SELECT 1 AS one")["one"]) == 1
    assert fresh.serving_source == backend.data_source
    # Copies go under the primary's name, whichever source answered.
    only_cache = zel_sql.Database(private_source.name, *login)
    only_cache.cache_folder = workdir / "cache"
    copy = only_cache.read_with_cache(SAMPLES, "cache_only")
    assert copy.rows == SAMPLE_ROWS and copy.served_by == ""


class SilentSource:
    """A data source of the test's own, in an odbc.ini of its own beside the
    environment's, whose server accepts connections and never answers, as a
    hung server does, until closed. Hold-backs are kept per data source name
    for the whole process: each one has a new name."""

    count = 0

    def __init__(self, folder, monkeypatch):
        SilentSource.count += 1
        self.name = f"zel_py_silent_{SilentSource.count}"
        self.listener = socket.create_server(("127.0.0.1", 0))
        config = configparser.ConfigParser(interpolation=None)
        config.optionxform = str
        config.read(os.path.join(environment_dir(), "odbc.ini"))
        config[self.name] = dict(config[PG.data_source],
                                 Port=str(self.listener.getsockname()[1]))
        ini = folder / "odbc.ini"
        with open(ini, "w") as out:
            config.write(out, space_around_delimiters=False)
        monkeypatch.setenv("ODBCINI", str(ini))

    def close(self):
        self.listener.close()


@pytest.fixture
def silent_source(tmp_path, monkeypatch):
    source = SilentSource(tmp_path, monkeypatch)
    yield source
    source.close()


def test_a_hung_primary_costs_one_wait_and_is_held_back_for_every_database(silent_source,
                                                                          workdir):
    def database():
        db = zel_sql.Database(silent_source.name, READER, READER_PASSWORD, wait_limit=1.0,
                              standbys=[PG.data_source])
        db.cache_folder = workdir / "cache"
        return db

    started = time.monotonic()
    result = database().read_with_cache(SAMPLES)
    assert time.monotonic() - started < 2.0
    assert result.served_by == PG.data_source and result.rows == SAMPLE_ROWS
    later = database()
    held = later.source_states()[0]
    assert held["held_back_until"] > datetime.datetime.now(datetime.timezone.utc)
    assert silent_source.name in held["last_error"]
    assert held["given_up_calls"] == 1  # the login, still waiting on the listener
    # A second Database on the same sources skips the held-back primary.
    started = time.monotonic()
    assert later.read_with_cache(SAMPLES).served_by == PG.data_source
    assert later.query("SELECT 1") == [(1,)]
    assert later.serving_source == PG.data_source
    assert time.monotonic() - started < 1.0
