"""zel-sql without a database: usage, backup files, diffs, exports, cache
folders."""

import copy
import csv
import io
import json
import os
import time

import pytest

from conftest import (MIRAN, MIRAN_FLAGS, POSITIONS, TEXT_FIELDS, cache_file_bytes,
                      cache_file_name, component, read_tfs, run, write_backup)


# --- usage -------------------------------------------------------------------

@pytest.mark.parametrize("args", [
    [],
    ["nonsense"],
    ["list"],
    ["list", "show"],
    ["list", "export", "some.txt"],
    ["list", "export", "some.txt", "--format", "xml"],
    ["list", "diff", "one.txt"],
    ["cache", "prune", "folder"],
    ["cache", "prune", "folder", "--older-than", "soon"],
    ["check", "dsn", "--wait-limit", "-1"],
    ["check", "dsn", "--no-such-option"],
])
def test_wrong_usage_exits_2_with_a_one_line_hint(args):
    result = run(*args)
    assert result.returncode == 2, result
    assert result.stdout == ""
    lines = result.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("zel-sql: ") and "--help" in lines[0], lines


@pytest.mark.parametrize("args", [
    ["check", "dsn", "--user", "u", "--password", "secret"],
    ["list", "show", "dsn:miran", "--password=secret"],
    ["--password", "secret", "cache", "ls", "folder"],
])
def test_a_password_on_the_command_line_is_refused_and_why(args):
    result = run(*args)
    assert result.returncode == 2
    assert "refused" in result.stderr and "ps" in result.stderr
    assert "--password-file" in result.stderr and "ZEL_SQL_PASSWORD" in result.stderr
    assert "secret" not in result.stderr


def test_help_names_every_command():
    result = run("--help")
    assert result.returncode == 0
    for command in ("check", "list", "cache"):
        assert command in result.stdout
    for command in ("show", "verify", "diff", "export", "draw"):
        assert command in run("list", "--help").stdout


# --- list diff ---------------------------------------------------------------

def mutated(change):
    flags, components = list(MIRAN_FLAGS), copy.deepcopy(MIRAN)
    change(flags, components)
    return flags, components


def add_component(flags, components):
    components.append(component("NEW_05", ["N5"], (30.0, 0.0, 0.0, 40.0), [1, 0, 0]))


def remove_flag(flags, components):
    flags.remove("VACUUM")
    for c in components:
        c["flags"].pop()


def add_flag(flags, components):
    flags.append("RF")
    for c in components:
        c["flags"].append(0)


def set_field(name, field, value):
    def change(flags, components):
        target = next(c for c in components if c["NAME"] == name)
        if field.startswith("FLAG_"):
            target["flags"][flags.index(field[5:])] = value
        else:
            target[field] = value
    return change


# (what, change to the second list, expected JSON of the diff apart from "equal")
DIFF_CASES = [
    ("equal", lambda f, c: None, {}),
    ("added", add_component, {"added": ["NEW_05"]}),
    ("removed", lambda f, c: c.pop(0), {"removed": ["QUAD_01"]}),
    ("changed text", set_field("BPM_02", "FRIENDLY_NAME", "BPM 2, moved"),
     {"changed": [{"component": "BPM_02", "field": "FRIENDLY_NAME",
                   "first": "Beam position monitor 2", "second": "BPM 2, moved"}]}),
    ("changed position", set_field("VALVE_04", "S", -0.5),
     {"changed": [{"component": "VALVE_04", "field": "S", "first": "-0.75", "second": "-0.5"}]}),
    ("changed flag", set_field("QUAD_01", "FLAG_BPM", 1),
     {"changed": [{"component": "QUAD_01", "field": "FLAG_BPM", "first": "0", "second": "1"}]}),
    ("flag removed", remove_flag, {"flags_removed": ["VACUUM"]}),
    ("flag added", add_flag, {"flags_added": ["RF"]}),
    # Below the 16 digits that a backup file keeps: no difference.
    ("position below backup precision", set_field("QUAD_01", "X", 0.125 + 1e-17), {}),
]


@pytest.mark.parametrize("what,change,expected", DIFF_CASES, ids=[c[0] for c in DIFF_CASES])
def test_diff_names_what_changed(tmp_path, what, change, expected):
    first, second = tmp_path / "first.txt", tmp_path / "second.txt"
    write_backup(first, MIRAN_FLAGS, MIRAN)
    write_backup(second, *mutated(change))

    result = run("list", "diff", str(first), str(second), "--json")
    report = json.loads(result.stdout)
    for key in ("flags_added", "flags_removed", "added", "removed", "changed"):
        assert report[key] == expected.get(key, []), key
    assert report["equal"] == (not expected)
    assert result.returncode == (1 if expected else 0)

    table = run("list", "diff", str(first), str(second))
    assert table.returncode == result.returncode
    for change_row in expected.get("changed", []):
        assert any(change_row["component"] in line and change_row["field"] in line
                   and change_row["second"] in line for line in table.stdout.splitlines())


# --- list verify and show ------------------------------------------------------

BLOCK = "<flag_names>\nA\n</flag_names>\n<components>\n<component>\n" + "n\n" * 8


# (file content, exit status, message, the number of the line at fault, as
# the library's reader gives it)
@pytest.mark.parametrize("content,status,message,line", [
    (None, 0, "readable, 4 components, 3 flags", None),
    ("", 0, "readable, 0 components, 0 flags", None),
    ("<flag_names>\nA\n</flag_names>\nstray\n", 1, "Unexpected line in {file}: stray", 4),
    # Not a component list at all: its content is never printed.
    ("\nroot:secret-hash:20228::\n<flag_names>\n", 1, "Unexpected line 2 in {file}", 2),
    (BLOCK + "1\nx\n3\n4\n1\n\n</component>\n</components>\n", 1,
     "Floating point format error", 15),
    (BLOCK + "1\n2\n3\n4\n1 0\n\n</component>\n</components>\n", 1, "Flag format error", 18),
    (BLOCK + "1\n2\n3\n4\n1\nlink\nnot the end\n</components>\n", 1,
     "Cannot parse component list", 20),
    (BLOCK + "1\n2\n3\n4\n10\n\n</component>\n</components>\n", 1,
     "has 2 flags instead of 1 as prescribed by the header", None),
])
def test_verify_prints_the_libraries_message_and_the_line(tmp_path, content, status, message,
                                                         line):
    file = tmp_path / "db_component_list_MIRAN.txt"
    if content is None:
        write_backup(file, MIRAN_FLAGS, MIRAN)
    else:
        file.write_text(content)
    result = run("list", "verify", str(file))
    assert result.returncode == status
    assert message.format(file=file) in result.stdout
    assert "secret" not in result.stdout + result.stderr
    report = json.loads(run("list", "verify", str(file), "--json").stdout)
    assert report["ok"] == (status == 0)
    assert report.get("line") == line
    assert (f"{file}:{line}: " in result.stdout) == (line is not None)


def test_verify_of_a_missing_file(tmp_path):
    result = run("list", "verify", str(tmp_path / "missing.txt"))
    assert result.returncode == 2
    assert "Unable to open " + str(tmp_path / "missing.txt") + " for reading" in result.stderr


def test_show_counts_flags_and_ranges(tmp_path):
    file = tmp_path / "db_component_list_MIRAN.txt"
    write_backup(file, MIRAN_FLAGS, MIRAN)
    os.utime(file, (time.time() - 7200, time.time() - 7200))
    report = json.loads(run("list", "show", str(file), "--json").stdout)
    assert report["facility"] == "MIRAN"
    assert report["components"] == 4
    assert report["flags"] == [{"name": "MAIN_BEAM", "count": 2}, {"name": "BPM", "count": 2},
                               {"name": "VACUUM", "count": 2}]
    assert (report["s"]["min"], report["s"]["max"]) == (-0.75, 20.5)
    assert (report["z"]["min"], report["z"]["max"]) == (0.0, 250.5)
    assert 7100 < report["age_seconds"] < 7300
    text = run("list", "show", str(file)).stdout
    assert "components:  4" in text and "2.0 h ago" in text
    assert report["trusted"] is True
    assert "trusted:     yes" in text


def test_show_says_when_the_library_would_not_fall_back_on_the_file(tmp_path):
    file = tmp_path / "db_component_list_MIRAN.txt"
    write_backup(file, MIRAN_FLAGS, MIRAN)
    os.chmod(file, 0o666)
    report = json.loads(run("list", "show", str(file), "--json").stdout)
    assert (report["trusted"], report["untrusted_reason"]) == (False, "writable by others")
    assert "trusted:     no, writable by others" in run("list", "show", str(file)).stdout


# --- list export -----------------------------------------------------------------

# Texts that CSV must quote and JSON must escape; TFS cannot carry a quote.
AWKWARD = copy.deepcopy(MIRAN) + [
    component("ODD,06", ["comma, inside", "", "", "", "", "", "Ümlaut µ", "x"],
                (1e-300, -1.0 / 3.0, 12345678.901234567, 6.02e23), [1, 1, 1])]


def read_back(fmt, text):
    """The export as (flag names, components in the form of conftest.component)."""
    if fmt == "json":
        document = json.loads(text)
        return document["flag_names"], [
            {**{k: c[k] for k in TEXT_FIELDS + POSITIONS},
             "flags": [int(c["flags"][f]) for f in document["flag_names"]]}
            for c in document["components"]]
    if fmt == "csv":
        rows = list(csv.reader(io.StringIO(text, newline="")))
        header, flags = rows[0], [h[5:] for h in rows[0] if h.startswith("FLAG_")]
        out = []
        for row in rows[1:]:
            cells = dict(zip(header, row))
            out.append({**{k: cells[k] for k in TEXT_FIELDS},
                        **{p: float(cells[p]) for p in POSITIONS},
                        "flags": [int(cells["FLAG_" + f]) for f in flags]})
        return flags, out
    headers, columns, rows = read_tfs(text)
    assert headers["FACILITY"] == "MIRAN" and headers["TYPE"] == "ZEL_SQL_COMPONENTS"
    assert columns[:5] == ["NAME", "S", "X", "Y", "Z"]
    flags = [c[5:] for c in columns if c.startswith("FLAG_")]
    return flags, [{**{k: r[k] for k in TEXT_FIELDS + POSITIONS},
                    "flags": [r["FLAG_" + f] for f in flags]} for r in rows]


@pytest.mark.parametrize("fmt", ["csv", "json", "tfs"])
def test_export_reads_back_equal(tmp_path, fmt):
    components = MIRAN if fmt == "tfs" else AWKWARD
    file = tmp_path / "db_component_list_MIRAN.txt"
    write_backup(file, MIRAN_FLAGS, components)
    out = tmp_path / ("export." + fmt)
    result = run("list", "export", str(file), "--format", fmt, "-o", str(out))
    assert result.returncode == 0, result.stderr
    # The backup file keeps 16 significant digits; the export keeps every bit
    # of what was read.
    expected = [{**c, **{p: float("%.15e" % c[p]) for p in POSITIONS}} for c in components]
    assert read_back(fmt, out.read_text(encoding="utf-8")) == (MIRAN_FLAGS, expected)


def test_tfs_refuses_a_text_it_cannot_carry(tmp_path):
    file = tmp_path / "list.txt"
    write_backup(file, [], [component('SAY"HI"')])
    result = run("list", "export", str(file), "--format", "tfs", "-o", str(tmp_path / "out"))
    assert result.returncode == 1
    assert "double quote" in result.stderr
    assert not (tmp_path / "out").exists()


# --- cache ---------------------------------------------------------------------

SQL = "SELECT NAME, CURRENT FROM MAGNETS"
COLUMNS = ["NAME", "CURRENT"]
ROWS = [["QF1", "112.5"], ["QD1", None], ["", "0"]]


def damaged(change):
    def make():
        data = bytearray(cache_file_bytes(SQL, "tavik_prod", 1_700_000_000, COLUMNS, ROWS))
        change(data)
        return bytes(data)
    return make


# (file name, bytes, expected state, expected part of the reason)
CACHE_CASES = [
    (cache_file_name(SQL), lambda: cache_file_bytes(SQL, "tavik_prod", 1_700_000_000, COLUMNS, ROWS),
     "good", ""),
    (cache_file_name("SELECT 1"), lambda: cache_file_bytes("SELECT 1", "tavik_test", 0, ["c"], [["1"]]),
     "foreign", 'stored through data source "tavik_test", not "tavik_prod"'),
    (cache_file_name("SELECT 2"), damaged(lambda d: d.__setitem__(-40, d[-40] ^ 1)),
     "damaged", "the check sum does not match"),
    (cache_file_name("SELECT 3"), damaged(lambda d: d.__delitem__(slice(-5, None))),
     "damaged", "the file has"),
    (cache_file_name("SELECT 4"), lambda: b"not_a_cache_file and more", "damaged", "Invalid header"),
    (cache_file_name("SELECT 5"), lambda: cache_file_bytes("SELECT 5", "tavik_prod", 0, [], [], 2),
     "damaged", "unknown format version 2"),
    ("0" * 56 + ".dat", lambda: cache_file_bytes(SQL, "tavik_prod", 0, COLUMNS, ROWS),
     "misplaced", "its name is not that of its SQL text"),
]


@pytest.fixture
def cache_folder(tmp_path):
    folder = tmp_path / "db_cache"
    folder.mkdir()
    for name, make, _, _ in CACHE_CASES:
        (folder / name).write_bytes(make())
    (folder / ".left.tmp.1.2").write_bytes(b"a crashed writer's file")
    return folder


def test_cache_ls_gives_each_copy_its_state(cache_folder):
    result = run("cache", "ls", str(cache_folder), "--dsn", "tavik_prod", "--json")
    assert result.returncode == 1
    listed = {os.path.basename(c["file"]): c for c in json.loads(result.stdout)}
    assert len(listed) == len(CACHE_CASES)
    for name, _, state, reason in CACHE_CASES:
        assert listed[name]["state"] == state, name
        assert reason in listed[name]["reason"], (name, listed[name]["reason"])
    good = listed[cache_file_name(SQL)]
    assert (good["sql"], good["data_source"], good["stored_at"], good["row_count"]) == (
        SQL, "tavik_prod", 1_700_000_000, 3)

    table = run("cache", "ls", str(cache_folder), "--dsn", "tavik_prod").stdout.splitlines()
    assert table[0] == f"{cache_folder}: {len(CACHE_CASES)} cache files"
    assert any(SQL in line and "2023-11-14 22:13:20 UTC" in line and line.endswith("good")
               for line in table)
    assert sum("damaged: " in line for line in table) == 4


def test_cache_ls_names_copies_the_library_would_refuse_without_reading_them(cache_folder):
    for name, _, state, _ in CACHE_CASES:
        if state != "good":
            (cache_folder / name).unlink()
    os.chmod(cache_folder / cache_file_name(SQL), 0o666)
    os.mkfifo(cache_folder / cache_file_name("SELECT 6"))
    result = run("cache", "ls", str(cache_folder), "--dsn", "tavik_prod", "--json")
    assert result.returncode == 1
    listed = {os.path.basename(c["file"]): c for c in json.loads(result.stdout)}
    assert (listed[cache_file_name(SQL)]["state"], listed[cache_file_name(SQL)]["reason"]) == (
        "not trusted", "writable by others")
    assert (listed[cache_file_name("SELECT 6")]["state"],
            listed[cache_file_name("SELECT 6")]["reason"]) == ("not trusted", "not a regular file")


def test_cache_ls_of_good_copies_exits_0(cache_folder):
    for name, _, state, _ in CACHE_CASES:
        if state != "good":
            (cache_folder / name).unlink()
    assert run("cache", "ls", str(cache_folder), "--dsn", "tavik_prod").returncode == 0


@pytest.mark.parametrize("how", [["{file}"], ["{folder}", "--sql", SQL]])
def test_cache_show_in_every_format(cache_folder, how):
    args = [a.format(file=cache_folder / cache_file_name(SQL), folder=cache_folder) for a in how]
    document = json.loads(run("cache", "show", *args, "--format", "json").stdout)
    assert (document["columns"], document["rows"]) == (COLUMNS, ROWS)
    rows = list(csv.reader(io.StringIO(run("cache", "show", *args, "-f", "csv").stdout,
                                       newline="")))
    assert rows == [COLUMNS, ["QF1", "112.5"], ["QD1", ""], ["", "0"]]
    table = run("cache", "show", *args).stdout
    assert "QD1" in table and "NULL" in table


def test_cache_show_of_a_damaged_copy_says_why(cache_folder):
    result = run("cache", "show", str(cache_folder / cache_file_name("SELECT 2")))
    assert result.returncode == 1
    assert "the check sum does not match" in result.stderr


def test_cache_prune_goes_by_stored_at_and_lists_what_it_removed(tmp_path):
    # (SQL, stored how long ago, file time how long ago, removed by --older-than 30d)
    day = 86400
    cases = [("SELECT 'old'", 40 * day, 0, True),
             ("SELECT 'young, file set back'", 180, 40 * day, False),
             ("SELECT 'at the dawn of time'", None, 0, True),
             ("SELECT 'young'", 60, 0, False)]
    folder = tmp_path / "db_cache"
    folder.mkdir()
    now = int(time.time())
    for sql, stored_ago, file_ago, _ in cases:
        stored_at = -2**63 if stored_ago is None else now - stored_ago
        path = folder / cache_file_name(sql)
        path.write_bytes(cache_file_bytes(sql, "tavik_prod", stored_at, ["c"], [["1"]]))
        os.utime(path, (now - file_ago, now - file_ago))
    (folder / ".left.tmp.1.2").write_bytes(b"a crashed writer's file")
    result = run("cache", "prune", str(folder), "--older-than", "30d", "--json")
    assert result.returncode == 0, result
    report = json.loads(result.stdout)
    removed = {os.path.basename(f["file"]) for f in report["files"]}
    assert removed == {cache_file_name(sql) for sql, _, _, gone in cases if gone}
    assert report["removed"] == len(removed) and report["kept"] == []
    for sql, _, _, gone in cases:
        assert (folder / cache_file_name(sql)).exists() != gone, sql
    assert (folder / ".left.tmp.1.2").exists()


def test_cache_prune_keeps_and_names_copies_it_cannot_date(cache_folder):
    result = run("cache", "prune", str(cache_folder), "--older-than", "1s")
    assert result.returncode == 1
    damaged = [name for name, _, state, _ in CACHE_CASES if state == "damaged"]
    for name in damaged:
        assert (cache_folder / name).exists()
        assert any(name in line and "kept: damaged" in line for line in result.stdout.splitlines())
    assert not any((cache_folder / name).exists()
                   for name, _, state, _ in CACHE_CASES if state != "damaged")


@pytest.mark.parametrize("age", ["110000d", "15650w", "999999999w"])
def test_cache_prune_of_a_huge_age_keeps_every_dated_copy(cache_folder, age):
    result = run("cache", "prune", str(cache_folder), "--older-than", age, "--json")
    assert json.loads(result.stdout)["removed"] == 0
    assert all((cache_folder / name).exists() for name, _, _, _ in CACHE_CASES)


# --- hostile files and exit statuses ------------------------------------------

CONTROL_BYTES = b"x\x1b]0;owned\x07\x1b[2J\xc2\x9b31m\x9b\x7f\n"


def no_control_characters(text):
    """True when `text` holds no control character but the line feed: nothing
    a terminal would interpret (C0, DEL, C1 as a code point)."""
    return not any((ord(c) < 0x20 and c != "\n") or 0x7F <= ord(c) <= 0x9F for c in text)


@pytest.fixture
def hostile(tmp_path):
    """Files that must never be waited on, read without bound or printed raw."""
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    control = tmp_path / "control"
    control.write_bytes(CONTROL_BYTES)
    return {"fifo": str(fifo), "zero": "/dev/zero", "folder": str(tmp_path),
            "control": str(control)}


# Every file argument; {f} is the hostile file. (command, exit status for a
# file that cannot be read at all, for the file of control bytes)
FILE_ARGUMENTS = [
    (["list", "verify", "{f}"], 2, 1),
    (["list", "show", "{f}"], 2, 2),
    (["list", "diff", "{f}", "{good}"], 2, 2),
    (["list", "diff", "{good}", "{f}"], 2, 2),
    (["list", "export", "{f}", "-f", "csv"], 2, 2),
    (["list", "draw", "{f}", "--svg", "{out}"], 2, 2),
    (["cache", "show", "{f}"], 2, 1),
    (["list", "show", "nosuch_dsn:MIRAN", "--password-file", "{f}"], 2, 2),
    (["check", "nosuch_dsn", "--password-file", "{f}"], 2, 1),
]


@pytest.mark.parametrize("kind", ["fifo", "zero", "folder", "control"])
@pytest.mark.parametrize("args,unreadable,control", FILE_ARGUMENTS)
@pytest.mark.parametrize("json_output", [False, True])
def test_hostile_files_are_refused_at_once_and_never_printed_raw(tmp_path, hostile, kind, args,
                                                                  unreadable, control,
                                                                  json_output):
    good = tmp_path / "good.txt"
    write_backup(good, MIRAN_FLAGS, MIRAN)
    full = [a.format(f=hostile[kind], good=good, out=tmp_path / "out.svg") for a in args]
    if json_output:
        # export has no --json: its JSON is a format.
        full = [("json" if a == "csv" else a) for a in full] if "export" in full else full + [
            "--json"]
    started = time.monotonic()
    result = run(*full)
    assert time.monotonic() - started < 10
    assert result.returncode == (control if kind == "control" else unreadable), result
    assert no_control_characters(result.stdout) and no_control_characters(result.stderr), result
    if json_output:
        document = json.loads(result.stdout)  # exactly one object
        assert isinstance(document, dict)
        if result.returncode == 2:
            assert document["error"] and {"sqlstate", "reason"} <= document.keys()


def test_a_crafted_cache_copy_reaches_the_terminal_escaped(tmp_path):
    sql = "SELECT 1 -- \x1b]0;owned\x07\x1b[2J\u009b31m"
    path = tmp_path / cache_file_name(sql)
    path.write_bytes(cache_file_bytes(sql, "dsn\x1b[2J", 1_700_000_000, ["c\u009b", "d\x07"],
                                      [["\x1b[31mred", "\u0085"]]))
    for args in (["cache", "show", str(path)], ["cache", "ls", str(tmp_path)]):
        result = run(*args)
        assert result.returncode == 0, result
        assert no_control_characters(result.stdout), result.stdout
        assert "\\x1B]0;owned\\x07" in result.stdout and "\\u009B" in result.stdout


# A copy the library refuses is refused by ls alike; an age that cannot be
# computed without overflow is saturated.
@pytest.mark.parametrize("columns,rows,row_count,stored_at,state", [
    ([], [], 2**63, 0, "damaged"),
    (["c"], [["1"]], None, -2**63, "good"),
    (["c"], [["1"]], None, 2**63 - 1, "good"),
])
def test_cache_ls_agrees_with_the_library_on_crafted_copies(tmp_path, columns, rows, row_count,
                                                           stored_at, state):
    path = tmp_path / cache_file_name("SELECT 1")
    path.write_bytes(cache_file_bytes("SELECT 1", "dsn", stored_at, columns, rows,
                                      row_count=row_count))
    result = run("cache", "ls", str(tmp_path), "--json")
    assert result.returncode == (0 if state == "good" else 1), result
    (listed,) = json.loads(result.stdout)
    assert listed["state"] == state
    if state == "good":
        assert -2**63 <= listed["age_seconds"] <= 2**63 - 1
        assert run("cache", "ls", str(tmp_path)).returncode == 0


# One table: command x (good input, finding, unreadable input, usage error).
# {good}/{other}: backup files; {bad}: a malformed one; {cache}: a folder
# with one good copy; {damaged}: a damaged copy; {missing}: no such path.
EXIT_STATUSES = [
    (["list", "verify"], ["{good}"], ["{bad}"], ["{missing}"], ["{good}", "{good}"]),
    (["list", "show"], ["{good}"], None, ["{missing}"], ["{good}", "--wait-limit", "-1"]),
    (["list", "diff"], ["{good}", "{good}"], ["{good}", "{other}"], ["{good}", "{missing}"],
     ["{good}"]),
    (["list", "export"], ["{good}", "-f", "json"], None, ["{missing}", "-f", "json"],
     ["{good}", "-f", "xml"]),
    (["cache", "ls"], ["{cache}"], ["{damaged_folder}"], ["{missing}"], []),
    (["cache", "show"], ["{cache_file}"], ["{damaged}"], ["{missing}"], ["{cache_file}", "-f", "x"]),
    (["cache", "prune"], ["{cache}", "--older-than", "1d"], ["{damaged_folder}", "--older-than",
                                                             "1s"],
     ["{missing}", "--older-than", "1d"], ["{cache}", "--older-than", "1y"]),
]


@pytest.mark.parametrize("command,good,finding,unreadable,usage", EXIT_STATUSES)
@pytest.mark.parametrize("json_output", [False, True])
def test_exit_statuses(tmp_path, command, good, finding, unreadable, usage, json_output):
    files = {"good": tmp_path / "good.txt", "other": tmp_path / "other.txt",
             "bad": tmp_path / "bad.txt", "missing": tmp_path / "missing",
             "cache": tmp_path / "cache", "damaged_folder": tmp_path / "damaged"}
    write_backup(files["good"], MIRAN_FLAGS, MIRAN)
    write_backup(files["other"], MIRAN_FLAGS, MIRAN[1:])
    files["bad"].write_text("<flag_names>\nA\n</flag_names>\nstray\n")
    for folder in ("cache", "damaged_folder"):
        files[folder].mkdir()
    files["cache_file"] = files["cache"] / cache_file_name("SELECT 1")
    files["cache_file"].write_bytes(
        cache_file_bytes("SELECT 1", "dsn", int(time.time()), ["c"], [["1"]]))
    files["damaged"] = files["damaged_folder"] / cache_file_name("SELECT 1")
    files["damaged"].write_bytes(b"zel_sql_cache_00 and not much more")
    for status, args in ((0, good), (1, finding), (2, unreadable), (2, usage)):
        if args is None:
            continue
        json_flag = ["--json"] if json_output and command != ["list", "export"] else []
        full = command + [a.format(**files) for a in args] + json_flag
        result = run(*full)
        assert result.returncode == status, (status, result)
        if json_flag or (json_output and "json" in args):
            assert isinstance(json.loads(result.stdout), (dict, list)), result
        if status == 2:
            assert result.stderr.startswith("zel-sql: "), result
