"""zel-sql against the servers of the integration tests: PostgreSQL (psqlODBC
Unicode and ANSI), SQLite (sqliteodbc) and MariaDB (Connector/ODBC), as
described by tests/integration/backends.ini."""

import configparser
import json
import os
import socket
import time
import xml.etree.ElementTree as ElementTree

import pytest

from conftest import MIRAN, MIRAN_FLAGS, POSITIONS, TEXT_FIELDS, run, write_backup
from test_offline import read_back

ENV_DIR = os.environ["ZEL_SQL_TEST_ENV"]
INI = configparser.ConfigParser(comment_prefixes=("#",))
INI.read(os.environ["ZEL_SQL_TEST_BACKENDS"])
READER = INI["reader"]["user"]
READER_PASSWORD = INI["reader"]["password"]
BACKENDS = [dict(INI[s]) for s in INI.sections() if s.startswith("backend ")]
DBMS_NAMES = {"postgresql": ("PostgreSQL",), "sqlite": ("SQLite",), "mariadb": ("MariaDB", "MySQL")}


def login(backend, password_file):
    """The login options of a backend: SQLite attaches its TAVIK file."""
    if backend["engine"] == "sqlite":
        tavik = os.path.join(ENV_DIR, INI["tavik"]["sqlite_file"])
        return ["--init-sql", f"ATTACH DATABASE '{tavik}' AS TAVIK"]
    return ["--user", READER, "--password-file", password_file(READER_PASSWORD)]


@pytest.fixture(params=BACKENDS, ids=[b["name"] for b in BACKENDS])
def backend(request):
    return request.param


def test_check_reports_driver_dbms_and_the_view(backend, password_file):
    result = run("check", backend["data_source"], "--facility", " miran.test ", "--json",
                 *login(backend, password_file))
    assert result.returncode == 0, result
    report = json.loads(result.stdout)
    assert report["connected"] and 0 < report["login_seconds"] < 15
    assert report["driver"]["name"] and report["driver"]["version"]
    assert report["dbms"]["name"].startswith(DBMS_NAMES[backend["engine"]]), report["dbms"]
    facility = report["facility"]
    assert (facility["name"], facility["view"], facility["view_exists"]) == (
        "MIRAN", "TAVIK.MIRAN_VIEW_COMPONENTS", True)
    assert facility["flag_names"] == MIRAN_FLAGS and facility["rows"] == 4
    assert facility["findings"] == [
        "s not ascending in view order: LONG_03 comes after BPM_02",
        "1 rows with NULL X (read as 0)", "1 rows with NULL Y (read as 0)",
        "2 rows with NULL Z (read as 0)", "1 rows with NULL S (read as 0)"]

    text = run("check", backend["data_source"], *login(backend, password_file)).stdout
    assert "driver:" in text and "dbms:" in text and "REFUSED" not in text


def test_check_names_a_view_that_does_not_exist(backend, password_file):
    result = run("check", backend["data_source"], "--facility", "NOWHERE", "--json",
                 *login(backend, password_file))
    assert result.returncode == 1
    assert json.loads(result.stdout)["facility"]["findings"] == [
        "the view TAVIK.NOWHERE_VIEW_COMPONENTS does not exist (or is not visible)"]


@pytest.fixture
def gone_sqlite_odbc_ini(tmp_path):
    """The data sources of the environment and one whose SQLite file is gone."""
    ini = tmp_path / "odbc.ini"
    with open(os.path.join(ENV_DIR, "odbc.ini")) as original:
        ini.write_text(original.read() + "\n[zel_tool_gone]\nDriver=ZEL SQLite\n"
                       f"Database={tmp_path}/missing.sqlite\nNoCreat=1\n")
    return str(ini)


# (data source, password, how the password is given, the refusal must say)
REFUSALS = [
    ("zel_pg_unicode", "not-the-password", "file", "password authentication failed"),
    ("zel_pg_ansi", "not-the-password", "environment", "password authentication failed"),
    ("zel_mariadb", "not-the-password", "file", "Access denied"),
    ("zel_tool_gone", "", "none", "connect failed"),
    ("zel_no_such_dsn", "", "none", "Data source name not found"),
]


@pytest.mark.parametrize("data_source,password,given,reason", REFUSALS,
                         ids=[r[0] for r in REFUSALS])
def test_a_refused_login_says_why_with_its_sqlstate(data_source, password, given, reason,
                                                   password_file, gone_sqlite_odbc_ini):
    args, env = ["check", data_source, "--user", READER], {"ODBCINI": gone_sqlite_odbc_ini}
    if given == "file":
        args += ["--password-file", password_file(password)]
    elif given == "environment":
        env["ZEL_SQL_PASSWORD"] = password
    result = run(*args, "--json", env=env)
    assert result.returncode == 1, result
    report = json.loads(result.stdout)
    assert not report["connected"]
    assert reason in report["refusal"]
    assert len(report["sqlstate"]) == 5 and report["sqlstate"].isalnum(), report
    text = run(*args, env=env).stdout
    assert "REFUSED" in text and reason in text and f"(SQLSTATE {report['sqlstate']})" in text


@pytest.mark.parametrize("fmt", ["csv", "json", "tfs"])
def test_export_from_the_database_reads_back_as_the_view(backend, password_file, fmt):
    result = run("list", "export", backend["data_source"] + ":miran", "--format", fmt,
                 *login(backend, password_file))
    assert result.returncode == 0, result.stderr
    assert read_back(fmt, result.stdout) == (MIRAN_FLAGS, MIRAN)


def test_diff_shows_how_far_a_backup_is_behind(backend, password_file, tmp_path):
    source = backend["data_source"] + ":MIRAN"
    backup = tmp_path / "db_component_list_MIRAN.txt"
    write_backup(backup, MIRAN_FLAGS, MIRAN)
    equal = run("list", "diff", str(backup), source, *login(backend, password_file))
    assert equal.returncode == 0 and "The lists are equal." in equal.stdout, equal

    behind = [dict(c) for c in MIRAN[:3]]
    behind[0]["S"] = 12.5
    write_backup(backup, MIRAN_FLAGS, behind)
    result = run("list", "diff", str(backup), source, "--json", *login(backend, password_file))
    assert result.returncode == 1
    report = json.loads(result.stdout)
    assert report["added"] == ["VALVE_04"] and report["removed"] == []
    assert report["changed"] == [
        {"component": "QUAD_01", "field": "S", "first": "12.5", "second": "13"}]


def test_show_and_draw_a_facility_from_the_database(backend, password_file, tmp_path):
    source = backend["data_source"] + ":miran"
    shown = json.loads(run("list", "show", source, "--json", *login(backend, password_file)).stdout)
    assert (shown["facility"], shown["components"]) == ("MIRAN", 4)
    svg = tmp_path / "layout.svg"
    result = run("list", "draw", source, "--svg", str(svg), "--lines", "MAIN_BEAM", "--json",
                 *login(backend, password_file))
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout) == {"svg": str(svg), "drawn": 4, "left_out": 0}
    marks = [e.get("class") for e in ElementTree.parse(svg).iter()]
    assert (marks.count("component"), marks.count("bpm")) == (2, 2)


def test_check_gives_up_on_a_silent_server_at_the_wait_limit(tmp_path):
    """A server that accepts the connection and never answers: the login ends
    at the wait limit with SQLSTATE HYT00, not at the driver's leisure."""
    with socket.socket() as silent:
        silent.bind(("127.0.0.1", 0))
        silent.listen()
        ini = tmp_path / "odbc.ini"
        ini.write_text("[zel_tool_silent]\nDriver=ZEL PostgreSQL Unicode\nServername=127.0.0.1\n"
                       f"Port={silent.getsockname()[1]}\nDatabase=none\nSSLmode=disable\n")
        start = time.monotonic()
        result = run("check", "zel_tool_silent", "--wait-limit", "1", "--json",
                     env={"ODBCINI": str(ini)})
        elapsed = time.monotonic() - start
    assert result.returncode == 1, result
    report = json.loads(result.stdout)
    assert report["sqlstate"] == "HYT00"
    assert "did not answer within 1 s" in report["refusal"]
    assert elapsed < 10


SILENT_DRIVERS = {
    "postgresql": "Driver=ZEL PostgreSQL Unicode\nServername=127.0.0.1\nPort={port}\n"
                  "Database=none\nSSLmode=disable\n",
    "mariadb": "Driver=ZEL MariaDB\nServer=127.0.0.1\nPort={port}\nDatabase=none\n",
}
# Every command that reads a data source; the exit status a silent server
# gives it: a failed check is a finding, a list that cannot be read is not.
SILENT_COMMANDS = [
    (["check", "silent"], 1),
    (["check", "silent", "--facility", "MIRAN"], 1),
    (["list", "show", "silent:MIRAN"], 2),
    (["list", "diff", "silent:MIRAN", "{backup}"], 2),
    (["list", "export", "silent:MIRAN", "-f", "csv"], 2),
    (["list", "draw", "silent:MIRAN", "--svg", "{svg}"], 2),
]


@pytest.mark.parametrize("driver", sorted(SILENT_DRIVERS))
@pytest.mark.parametrize("command,status", SILENT_COMMANDS)
@pytest.mark.parametrize("json_output", [False, True])
def test_every_command_gives_up_on_a_silent_listener_within_the_limit(tmp_path, driver, command,
                                                                       status, json_output):
    """A listener that accepts and never answers: every command ends within
    --wait-limit + 1 s, says why, and with --json prints one object."""
    limit = 2
    backup = tmp_path / "db_component_list_MIRAN.txt"
    write_backup(backup, MIRAN_FLAGS, MIRAN)
    args = [a.format(backup=backup, svg=tmp_path / "out.svg") for a in command]
    if json_output:
        args = [("json" if a == "csv" else a) for a in args] if "export" in args else args + [
            "--json"]
    with socket.socket() as silent:
        silent.bind(("127.0.0.1", 0))
        silent.listen(16)
        ini = tmp_path / "odbc.ini"
        ini.write_text("[silent]\n" + SILENT_DRIVERS[driver].format(port=silent.getsockname()[1]))
        start = time.monotonic()
        result = run(*args, "--wait-limit", str(limit), env={"ODBCINI": str(ini)})
        elapsed = time.monotonic() - start
    assert result.returncode == status, result
    assert elapsed < limit + 1, (elapsed, result)
    if json_output:
        report = json.loads(result.stdout)
        assert report["sqlstate"] == "HYT00", report
        assert "did not answer within 2 s" in report["error"], report
    elif status == 2:
        assert "SQLSTATE HYT00" in result.stderr, result
    else:
        assert "REFUSED" in result.stdout and "SQLSTATE HYT00" in result.stdout, result


HANGING_SQL = {"postgresql": "SELECT pg_sleep(8)", "mariadb": "SELECT SLEEP(8)"}


# The tool's own statements (--init-sql here) run under the wait limit as the
# library's reads do: a statement the server holds for 8 s ends the command.
@pytest.mark.parametrize("engine", sorted(HANGING_SQL))
@pytest.mark.parametrize("command,status", [
    (["check", "{dsn}"], 1),
    (["check", "{dsn}", "--json"], 1),
    (["list", "show", "{dsn}:MIRAN"], 2),
    (["list", "diff", "{dsn}:MIRAN", "{dsn}:MIRAN"], 2),
    (["list", "export", "{dsn}:MIRAN", "-f", "json"], 2),
])
def test_a_server_that_stops_answering_mid_session_ends_the_command_at_the_limit(
        engine, command, status, password_file, tmp_path):
    """Logged in, then a statement the server does not answer within the
    limit: the command ends within --wait-limit + 1 s and says so."""
    backend = next(b for b in BACKENDS if b["engine"] == engine)
    limit = 2
    args = [a.format(dsn=backend["data_source"]) for a in command]
    start = time.monotonic()
    result = run(*args, *login(backend, password_file), "--init-sql", HANGING_SQL[engine],
                 "--wait-limit", str(limit))
    elapsed = time.monotonic() - start
    assert result.returncode == status, result
    assert elapsed < limit + 1, (elapsed, result)
    assert "did not answer within 2 s" in result.stdout + result.stderr, result
    if "--json" in args:
        assert json.loads(result.stdout)["sqlstate"] == "HYT00", result
    else:
        assert "SQLSTATE HYT00" in result.stdout + result.stderr, result


@pytest.mark.parametrize("engine,primary,standby", [
    ("postgresql", "zel_pg_primary", "zel_pg_standby"),
    ("mariadb", "zel_mariadb_primary", "zel_mariadb_standby"),
])
def test_check_reports_each_standby(tmp_path, password_file, engine, primary, standby):
    """--standby: every source with what it did; a PostgreSQL standby with how
    far its replay is behind; silent ones timed out side by side, within one
    limit."""
    credentials = ["--user", READER, "--password-file", password_file(READER_PASSWORD)]
    result = run("check", primary, "--standby", standby, "--json", *credentials)
    assert result.returncode == 0, result
    sources = json.loads(result.stdout)["sources"]
    assert [(s["data_source"], s["status"]) for s in sources] == [
        (primary, "answers"), (standby, "answers")]
    delay = sources[1]["replay_delay_seconds"]
    if engine == "postgresql":
        assert delay is not None and delay >= 0, sources
    else:
        assert delay is None, sources
    text = run("check", primary, "--standby", standby, *credentials).stdout
    assert f"standby:     {standby} answers in " in text, text

    with socket.socket() as silent:
        silent.bind(("127.0.0.1", 0))
        silent.listen(16)
        ini = tmp_path / "odbc.ini"
        with open(os.environ["ODBCINI"], encoding="utf-8") as current:
            silent_entry = SILENT_DRIVERS[engine].format(port=silent.getsockname()[1])
            ini.write_text(current.read() + "\n[silent_standby]\n" + silent_entry +
                           "\n[second_silent_standby]\n" + silent_entry)
        start = time.monotonic()
        result = run("check", primary, "--standby", "silent_standby", "--standby", standby,
                     "--standby", "second_silent_standby", "--wait-limit", "2", "--json",
                     *credentials, env={"ODBCINI": str(ini)})
        elapsed = time.monotonic() - start
    assert result.returncode == 1, result
    assert elapsed < 2 + 1, (elapsed, result)
    sources = json.loads(result.stdout)["sources"]
    assert [s["status"] for s in sources] == ["answers", "timed out", "answers",
                                              "timed out"], sources
    assert sources[1]["sqlstate"] == "HYT00"
