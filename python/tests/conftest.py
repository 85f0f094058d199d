"""The data sources of the integration test environment, for pytest.

ctest starts the database servers (fixture zel_sql_servers), names their
folder in ZEL_SQL_TEST_ENV, the description of their data sources
(tests/integration/backends.ini, which the C++ tests read too) in
ZEL_SQL_TEST_BACKENDS and the facility MIRAN they hold
(tests/data/miran_components.json, read by the C++ and zel-sql tests too) in
ZEL_SQL_TEST_MIRAN; without them the tests fail instead of skipping.
"""

import configparser
import dataclasses
import json
import os
import socket
import sqlite3
import threading
import time

import pytest

import zel_sql


def _required_variable(name):
    value = os.environ.get(name)
    if not value:
        raise RuntimeError(
            f"{name} is not set: run these tests through ctest, "
            "which sets up the database servers first")
    return value


def environment_dir():
    return _required_variable("ZEL_SQL_TEST_ENV")


def _read_backends():
    description = configparser.ConfigParser(interpolation=None)
    path = _required_variable("ZEL_SQL_TEST_BACKENDS")
    if not description.read(path):
        raise RuntimeError(f"cannot read {path}")
    return description


_DESCRIPTION = _read_backends()


def _read_miran():
    path = _required_variable("ZEL_SQL_TEST_MIRAN")
    with open(path, encoding="utf-8") as file:
        return json.load(file)


# The facility MIRAN as the library reads it from every backend: "flag_names",
# and "components", each with its view columns NAME ... LINK_NAME, X Y Z S
# and "flags".
MIRAN = _read_miran()

# The login of the PostgreSQL and MariaDB servers of the environment
# (tests/integration/sql/postgres.sql and mariadb.sql).
READER = _DESCRIPTION["reader"]["user"]
READER_PASSWORD = _DESCRIPTION["reader"]["password"]


def attach_tavik(db):
    """Attaches the environment's TAVIK file to an SQLite connection as
    TAVIK: SQLite has no schemas, the TAVIK views live in a file of their own."""
    path = os.path.join(environment_dir(), _DESCRIPTION["tavik"]["sqlite_file"])
    literal = path.replace("'", "''")
    db.query(f"ATTACH DATABASE '{literal}' AS TAVIK")


@dataclasses.dataclass(frozen=True)
class Backend:
    name: str
    data_source: str
    is_sqlite: bool

    def database(self):
        """A new Database on this data source, logged in as the reader."""
        if self.is_sqlite:
            db = zel_sql.Database(self.data_source)
            attach_tavik(db)
            return db
        return zel_sql.Database(self.data_source, READER, READER_PASSWORD)


def _backend(name, key):
    """The backend of section "[backend KEY]" of the description, named NAME
    in the test ids."""
    section = _DESCRIPTION[f"backend {key}"]
    return Backend(name, section["data_source"], section["engine"] == "sqlite")


# The Python tests run on one data source per engine.
PG = _backend("pg", "pg_unicode")
SQLITE = _backend("sqlite", "sqlite")
MARIADB = _backend("mariadb", "mariadb")
BACKENDS = [PG, SQLITE, MARIADB]
# The PostgreSQL server of PG through a data source on which psqlODBC reads
# a result from the server in steps of two rows (UseDeclareFetch=1, Fetch=2;
# tests/integration/test_env.sh) rather than whole at execute.
PG_IN_STEPS = Backend("pg_in_steps", "zel_pg_cursor", False)


@pytest.fixture(params=BACKENDS, ids=lambda backend: backend.name)
def backend(request):
    environment_dir()
    return request.param


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    """An empty working directory, where the default backup files go."""
    monkeypatch.chdir(tmp_path)
    return tmp_path


class TcpProxy:
    """Forwards a local port to a server until stopped; a client then sees
    what it sees of a stopped server: connections refused."""

    def __init__(self, target_port):
        self.target_port = target_port
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.sockets = []
        self.lock = threading.Lock()
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
                server = socket.create_connection(("127.0.0.1", self.target_port))
            except OSError:
                return
            with self.lock:
                self.sockets += [client, server]
            for source, sink in ((client, server), (server, client)):
                threading.Thread(target=self._pipe, args=(source, sink), daemon=True).start()

    @staticmethod
    def _pipe(source, sink):
        try:
            while data := source.recv(65536):
                sink.sendall(data)
        except OSError:
            pass
        for end in (source, sink):
            try:
                end.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def stop(self):
        # A shutdown, unlike a close, also ends the accept() that waits on it.
        try:
            self.listener.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.listener.close()
        with self.lock:
            for end in self.sockets:
                try:
                    end.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass


SAMPLES_TABLE = [
    "CREATE TABLE samples (id INTEGER PRIMARY KEY, label VARCHAR(40), amount DOUBLE)",
    "INSERT INTO samples VALUES (1, 'alpha', 2.5), (2, NULL, NULL), (3, 'gamma', -1.25)",
]


class PrivateSource:
    """A data source of the test's own, in an odbc.ini of its own, whose
    database the test can take away without disturbing any other test: for
    PostgreSQL a proxy to the server that stops, for SQLite a file of its own
    (with the table samples) that goes. The driver manager may keep what it
    read of a data source for a while, so each one has a new name and its
    entries never change."""

    count = 0

    def __init__(self, backend, folder, monkeypatch):
        PrivateSource.count += 1
        self.backend = backend
        self.name = f"zel_py_{backend.name}_{PrivateSource.count}"
        config = configparser.ConfigParser(interpolation=None)
        config.optionxform = str
        config.read(os.path.join(environment_dir(), "odbc.ini"))
        section = dict(config[backend.data_source])
        if backend.is_sqlite:
            self.file = folder / "private.sqlite"
            with sqlite3.connect(self.file) as db:
                for statement in SAMPLES_TABLE:
                    db.execute(statement)
            db.close()
            section.update(Database=str(self.file), NoCreat="1")
        else:
            self.proxy = TcpProxy(int(section["Port"]))
            section["Port"] = str(self.proxy.port)
        config[self.name] = section
        ini = folder / "odbc.ini"
        with open(ini, "w") as out:
            config.write(out, space_around_delimiters=False)
        monkeypatch.setenv("ODBCINI", str(ini))

    def database(self):
        return zel_sql.Database(self.name, *(() if self.backend.is_sqlite
                                             else (READER, READER_PASSWORD)))

    def stop(self):
        """From now on a login fails as with a stopped server or a lost file."""
        if self.backend.is_sqlite:
            self.file.rename(self.file.with_suffix(".gone"))
        else:
            self.proxy.stop()


@pytest.fixture
def private_source(backend, tmp_path, monkeypatch):
    source = PrivateSource(backend, tmp_path, monkeypatch)
    yield source
    if not backend.is_sqlite:
        source.proxy.stop()


@pytest.fixture(scope="module")
def miran(tmp_path_factory):
    """MIRAN of the demo facility, loaded once from PostgreSQL."""
    components = zel_sql.ComponentList()
    backup = tmp_path_factory.mktemp("miran") / "backup.txt"
    assert components.read_from_db_with_backup(PG.database(), "MIRAN", backup) == ""
    return components


def ticks_while(reader):
    """Starts the thread `reader` and counts the 10 ms naps this thread takes
    until it ends: many only when `reader` waits with the GIL released."""
    ticks = 0
    reader.start()
    while reader.is_alive():
        ticks += 1
        time.sleep(0.01)
    reader.join()
    return ticks
