"""The data sources of the integration test environment, for pytest.

ctest starts the database servers (fixture zel_sql_servers) and names their
folder in ZEL_SQL_TEST_ENV; without it the tests fail instead of skipping.
"""

import configparser
import dataclasses
import os
import socket

import pytest

import zel_sql

# The PostgreSQL role of the environment (tests/integration/sql/postgres.sql).
READER = "tavik_reader"
READER_PASSWORD = "miran-reader-pw"


def environment_dir():
    folder = os.environ.get("ZEL_SQL_TEST_ENV")
    if not folder:
        raise RuntimeError(
            "ZEL_SQL_TEST_ENV is not set: run these tests through ctest, "
            "which sets up the database servers first")
    return folder


@dataclasses.dataclass(frozen=True)
class Backend:
    name: str
    data_source: str
    is_sqlite: bool

    def database(self, data_source=None):
        """A new Database on this data source (or on `data_source`, a copy of
        it), logged in as the reader."""
        if self.is_sqlite:
            db = zel_sql.Database(data_source or self.data_source)
            # SQLite has no schemas: the TAVIK views live in a file of their own.
            db.query(f"ATTACH DATABASE '{environment_dir()}/tavik.sqlite' AS TAVIK")
            return db
        return zel_sql.Database(data_source or self.data_source, READER, READER_PASSWORD)


PG = Backend("pg", "zel_pg_unicode", False)
SQLITE = Backend("sqlite", "zel_sqlite", True)
BACKENDS = [PG]


@pytest.fixture(params=BACKENDS, ids=lambda backend: backend.name)
def backend(request):
    environment_dir()
    return request.param


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    """An empty working directory, where the default backup files go."""
    monkeypatch.chdir(tmp_path)
    return tmp_path


def closed_port():
    """A local TCP port on which nothing listens."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class PrivateSource:
    """A copy of a backend's data source under a name of its own, in an
    odbc.ini of the test's own, so that the test can take the database away
    without disturbing any other test: the driver manager reads the file
    anew at every login."""

    def __init__(self, backend, folder, monkeypatch):
        self.backend = backend
        self.name = f"zel_py_{backend.name}"
        self.folder = folder
        self.config = configparser.ConfigParser(interpolation=None)
        self.config.optionxform = str
        self.config.read(os.path.join(environment_dir(), "odbc.ini"))
        self.config[self.name] = dict(self.config[backend.data_source])
        self.file = folder / "odbc.ini"
        self._write()
        monkeypatch.setenv("ODBCINI", str(self.file))

    def database(self):
        return zel_sql.Database(self.name, *(() if self.backend.is_sqlite
                                             else (READER, READER_PASSWORD)))

    def stop(self):
        """From now on a login fails as with a stopped server or a lost file."""
        section = self.config[self.name]
        if self.backend.is_sqlite:
            section["Database"] = str(self.folder / "gone.sqlite")
            section["NoCreat"] = "1"
        else:
            section["Port"] = str(closed_port())
        self._write()

    def _write(self):
        with open(self.file, "w") as out:
            self.config.write(out, space_around_delimiters=False)


@pytest.fixture
def private_source(backend, tmp_path, monkeypatch):
    return PrivateSource(backend, tmp_path, monkeypatch)
