"""The data sources of the integration test environment, for pytest.

ctest starts the database servers (fixture zel_sql_servers) and names their
folder in ZEL_SQL_TEST_ENV; without it the tests fail instead of skipping.
"""

import dataclasses
import os

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

    def database(self):
        """A new Database on this data source, logged in as the reader."""
        if self.is_sqlite:
            db = zel_sql.Database(self.data_source)
            # SQLite has no schemas: the TAVIK views live in a file of their own.
            db.query(f"ATTACH DATABASE '{environment_dir()}/tavik.sqlite' AS TAVIK")
            return db
        return zel_sql.Database(self.data_source, READER, READER_PASSWORD)


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
