"""What zel-sql writes: numbers as written, CSV cells a spreadsheet cannot
run, TFS headers that stay readable, SVG that is XML for any name and any
coordinate, output files never written through a planted link, and the
samples of docs/zel-sql_list.md as the tool produces them."""

import csv
import io
import json
import math
import os
import re
import shutil
import struct
import subprocess

import pytest

from conftest import POSITIONS, TEXT_FIELDS, read_tfs, run

DOCS = os.path.join(os.path.dirname(__file__), "..", "..", "..", "docs", "zel-sql_list.md")


def backup_bytes(flag_names, components):
    """A backup file in the library's layout, with each text as given (str or
    raw bytes) and each number as its exact Python text, so that a test can
    feed values the library's own writer would round to 16 digits."""
    def line(value):
        if isinstance(value, bytes):
            return value
        if isinstance(value, float):
            return repr(value).encode()
        return str(value).encode("utf-8")

    lines = [b"<flag_names>", *map(line, flag_names), b"</flag_names>", b"<components>"]
    for c in components:
        lines += [b"<component>", *(line(c.get(f, "")) for f in TEXT_FIELDS[:8])]
        lines += [line(float(c.get(p, 0.0))) for p in ("X", "Y", "Z", "S")]
        lines += [line("".join(str(f) for f in c.get("flags", [0] * len(flag_names)))),
                  line(c.get("LINK_NAME", "")), b"</component>"]
    lines.append(b"</components>")
    return b"\n".join(lines) + b"\n"


def backup(tmp_path, flag_names, components, name="db_component_list_MIRAN.txt"):
    path = tmp_path / name
    path.write_bytes(backup_bytes(flag_names, components))
    return path


def bits(value):
    return struct.pack("<d", value)


# --- numbers -----------------------------------------------------------------

# Each double and the shortest text that reads back to it (std::to_chars).
SHORTEST = [
    (1251.4, "1251.4"),
    (0.1, "0.1"),
    (-0.003, "-0.003"),
    (1e-300, "1e-300"),
    # The smallest normal double; 5e-324, below it, a backup file cannot
    # carry (the reader refuses what strtod reports as out of range).
    (-2.2250738585072014e-308, "-2.2250738585072014e-308"),
    (1.7976931348623157e308, "1.7976931348623157e+308"),
    (-0.0, "-0"),
    (123456789012345678.0, "123456789012345680"),
]


def test_exports_write_each_number_as_its_shortest_text(tmp_path):
    components = [{"NAME": "N%d" % i, "S": v, "X": v, "Y": v, "Z": v}
                  for i, (v, _) in enumerate(SHORTEST)]
    file = backup(tmp_path, [], components)
    csv_rows = list(csv.DictReader(io.StringIO(
        run("list", "export", str(file), "-f", "csv").stdout, newline="")))
    _, _, tfs_rows = read_tfs(run("list", "export", str(file), "-f", "tfs").stdout)
    tfs_texts = [line.split()[1:5] for line in
                 run("list", "export", str(file), "-f", "tfs").stdout.splitlines()
                 if line.startswith(' "')]
    json_rows = json.loads(run("list", "export", str(file), "-f", "json").stdout)["components"]
    for (value, text), csv_row, tfs_row, tfs_text, json_row in zip(
            SHORTEST, csv_rows, tfs_rows, tfs_texts, json_rows):
        assert [csv_row[p] for p in POSITIONS] == [text] * 4
        assert tfs_text == [text] * 4
        for read in (float(csv_row["S"]), tfs_row["S"], json_row["S"]):
            assert bits(read) == bits(value), (value, read)
    assert len(csv_rows) == len(tfs_rows) == len(json_rows) == len(SHORTEST)


# --- CSV injection -----------------------------------------------------------

# A text as stored, and as the guarded CSV cell holds it.
FORMULAS = [
    ("=cmd|' /C calc'!A0", "'=cmd|' /C calc'!A0"),
    ("+1+1", "'+1+1"),
    ("-2+3", "'-2+3"),
    ("@SUM(1)", "'@SUM(1)"),
    ("\t=1", "'\t=1"),
    ("\r=1", "'\r=1"),
    ("a=b", "a=b"),
    ("'quoted", "'quoted"),
    ("", ""),
]


@pytest.mark.parametrize("raw", [False, True])
def test_csv_guards_texts_that_a_spreadsheet_would_run(tmp_path, raw):
    components = [{"NAME": "C%d" % i, "FRIENDLY_NAME": text, "X": -1.5, "S": -2.0}
                  for i, (text, _) in enumerate(FORMULAS)]
    components.append({"NAME": "-QX7", "REAL_NAME": "@QX7", "S": -1e-300})
    file = backup(tmp_path, ["LINE"], components)
    out = tmp_path / "out.csv"
    result = run("list", "export", str(file), "-f", "csv", "-o", str(out),
                 *(["--raw"] if raw else []))
    assert result.returncode == 0, result.stderr
    with open(out, newline="", encoding="utf-8") as f:
        rows = list(csv.DictReader(f))
    friendly = [row["FRIENDLY_NAME"] for row in rows[:-1]]
    assert friendly == [text if raw else guarded for text, guarded in FORMULAS]
    assert (rows[-1]["NAME"], rows[-1]["REAL_NAME"]) == (
        ("-QX7", "@QX7") if raw else ("'-QX7", "'@QX7"))
    # Numbers are never touched: a negative coordinate stays a number.
    assert [(row["X"], row["S"]) for row in rows[:-1]] == [("-1.5", "-2")] * len(FORMULAS)
    assert rows[-1]["S"] == "-1e-300" and rows[0]["FLAG_LINE"] == "0"


# --- TFS column names ------------------------------------------------------------

@pytest.mark.parametrize("flag", ["LINE A", 'Q"X', "Ä", "A-B", "\x1b[2J"])
def test_tfs_refuses_a_flag_name_that_is_not_a_plain_identifier(tmp_path, flag):
    file = backup(tmp_path, ["GOOD", flag], [{"NAME": "QX7", "flags": [1, 0]}])
    out = tmp_path / "out.tfs"
    out.write_text("previous\n")
    result = run("list", "export", str(file), "-f", "tfs", "-o", str(out))
    assert result.returncode == 1
    assert "not a plain identifier (letters, digits, _, $, #)" in result.stderr
    assert "\x1b" not in result.stderr
    assert out.read_text() == "previous\n"
    assert sorted(os.listdir(tmp_path)) == sorted([file.name, out.name])


def test_tfs_takes_every_plain_identifier(tmp_path):
    flags = ["LINE_A", "q$", "N#2", "_9"]
    file = backup(tmp_path, flags, [{"NAME": "QX7", "flags": [1, 0, 1, 0]}])
    result = run("list", "export", str(file), "-f", "tfs")
    assert result.returncode == 0, result.stderr
    _, columns, rows = read_tfs(result.stdout)
    assert columns[-4:] == ["FLAG_" + f for f in flags]
    assert [rows[0]["FLAG_" + f] for f in flags] == [1, 0, 1, 0]


# --- SVG -----------------------------------------------------------------------

HOSTILE_NAMES = [
    b"\xff\xfe not UTF-8",
    b"cut \xe2\x82",
    b"overlong \xc0\xaf",
    b"surrogate \xed\xa0\x80",
    "U+FFFE \ufffe and U+FFFF \uffff".encode(),
    b"\x1b]0;title\x07\x1b[2J",
    "C1 \u009b".encode(),
    b"<a href='x'>&amp;\"</a>",
    b"]]> <!-- -->",
    "Ümlaut µ 中".encode(),
]

# x and z of each component; the non-finite ones are left out.
POSITIONS_XZ = [(1e308, -1e308), (-1e308, 1e308), (0.0, 1e-300), (1.0, 2.0),
                (math.nan, 1.0), (1.0, math.inf), (-math.inf, math.nan), (0.0, -1e308)]


def xmllint(*args):
    return subprocess.run(["xmllint", *args], capture_output=True, text=True, timeout=60)


@pytest.fixture(scope="module")
def need_xmllint():
    if shutil.which("xmllint") is None:
        pytest.fail("xmllint is needed (Debian: libxml2-utils)")


def test_svg_is_xml_for_any_name_and_any_coordinate(tmp_path, need_xmllint):
    components = [{"NAME": name, "flags": [1, i % 2]} for i, name in enumerate(HOSTILE_NAMES)]
    components += [{"NAME": "P%d" % i, "X": x, "Z": z, "flags": [0, 1]}
                   for i, (x, z) in enumerate(POSITIONS_XZ)]
    file = backup(tmp_path, ["LINAC", "BPM"], components)
    svg = tmp_path / "layout.svg"
    result = run("list", "draw", str(file), "--svg", str(svg), "--lines", "LINAC", "--json")
    assert result.returncode == 0, result.stderr
    finite = len(HOSTILE_NAMES) + sum(math.isfinite(x) and math.isfinite(z)
                                      for x, z in POSITIONS_XZ)
    left_out = len(components) - finite
    assert json.loads(result.stdout)["left_out"] == left_out

    checked = xmllint("--noout", str(svg))
    assert checked.returncode == 0, checked.stderr
    text = svg.read_text(encoding="utf-8")
    assert not re.search(r"nan|inf", text, re.IGNORECASE)
    numbers = [float(n) for n in re.findall(r'(?:x|y|cx|cy|width|height)="(-?[0-9.]+)"', text)]
    assert numbers and max(abs(n) for n in numbers) < 1e5
    count = xmllint("--xpath", "count(//*[@class='component' or @class='bpm'])", str(svg))
    assert float(count.stdout) == finite
    note = xmllint("--xpath", "string(//*[@id='left-out'])", str(svg)).stdout
    assert note.startswith("%d components" % left_out)
    # Each name survives as text: markup characters as such, the rest
    # replaced or escaped visibly.
    titles = xmllint("--xpath", "//*[@class='component' or @class='bpm']/*", str(svg)).stdout
    for expected in ["\ufffd\ufffd not UTF-8", "\\uFFFE and U+FFFF \\uFFFF", "\\x1B]0;title\\x07",
                     "C1 \\x9B", "&lt;a href=", "Ümlaut µ 中"]:
        assert expected in titles


def test_draw_refuses_an_unknown_line_flag_and_shows_only_what_it_draws(tmp_path, need_xmllint):
    file = backup(tmp_path, ["LINAC", "RING", "DUMP", "BPM"],
                  [{"NAME": "Q1", "flags": [1, 0, 0, 0]}, {"NAME": "Q2", "flags": [0, 1, 0, 0]}])
    svg = tmp_path / "layout.svg"
    refused = run("list", "draw", str(file), "--svg", str(svg), "--lines", "LINAC,NOSUCH")
    assert refused.returncode == 2
    assert "NOSUCH" in refused.stderr
    assert not svg.exists()

    assert run("list", "draw", str(file), "--svg", str(svg),
               "--lines", "LINAC,DUMP").returncode == 0
    legend = xmllint("--xpath", "//*[@id='legend']//*[local-name()='text']/text()",
                     str(svg)).stdout.split()
    # DUMP is a flag that no component carries, BPM marks none, and draw
    # has no cells: only LINAC is drawn.
    assert legend == ["LINAC"]


# --- output files --------------------------------------------------------------

@pytest.mark.parametrize("command", [
    ["export", "-f", "csv", "-o"],
    ["draw", "--svg"],
])
def test_an_output_file_is_never_written_through_a_planted_link(tmp_path, command):
    file = backup(tmp_path, [], [{"NAME": "QX7"}])
    victim = tmp_path / "victim"
    victim.write_text("keep me\n")
    out = tmp_path / "out"
    out.symlink_to(victim)
    result = run("list", command[0], str(file), *command[1:], str(out))
    assert result.returncode == 0, result.stderr
    assert victim.read_text() == "keep me\n"
    assert not out.is_symlink() and "QX7" in out.read_text()
    assert sorted(os.listdir(tmp_path)) == sorted([file.name, "victim", "out"])


def test_an_output_file_keeps_the_mode_of_the_file_it_replaces(tmp_path):
    file = backup(tmp_path, [], [{"NAME": "QX7"}])
    out = tmp_path / "out.csv"
    out.write_text("old\n")
    out.chmod(0o600)
    assert run("list", "export", str(file), "-f", "csv", "-o", str(out)).returncode == 0
    assert "QX7" in out.read_text() and (out.stat().st_mode & 0o777) == 0o600


def test_an_output_file_that_cannot_be_written_says_why(tmp_path):
    file = backup(tmp_path, [], [{"NAME": "QX7"}])
    (tmp_path / "folder").mkdir()
    for target, reason in [(tmp_path / "folder", "Is a directory"),
                           (tmp_path / "missing" / "out.csv", "No such file or directory")]:
        result = run("list", "export", str(file), "-f", "csv", "-o", str(target))
        assert result.returncode == 2
        assert "Unable to write " + str(target) in result.stderr and reason in result.stderr
    assert sorted(os.listdir(tmp_path / "folder")) == []


# --- the samples of the docs ---------------------------------------------------

# The backup file that the export samples of docs/zel-sql_list.md are made
# from.
SAMPLE_FLAGS = ["QUAD", "BPM"]
SAMPLE = [
    {"NAME": "QX7", "REAL_NAME": "QX7.L3", "NAME2": "QX7-2", "SECTION": "L3",
     "GROUP_": "QUADS", "CLASS": "QUAD", "TYPE_": "QD", "FRIENDLY_NAME": "Quadrupole QX7",
     "LINK_NAME": "QX7.PS", "S": 104.531, "X": 1.25, "Y": -0.003, "Z": 104.52,
     "flags": [1, 0]},
    {"NAME": "BX8", "REAL_NAME": "BX8.L3", "SECTION": "L3", "CLASS": "MONITOR",
     "FRIENDLY_NAME": "+5 V pick-up", "S": 1251.4, "X": 0.1, "Y": 0.0, "Z": 1251.38,
     "flags": [0, 1]},
]


def doc_samples():
    """Each "$ zel-sql list export ..." block of the docs: (arguments, output)."""
    with open(DOCS, encoding="utf-8") as f:
        text = f.read()
    blocks = re.findall(r"```\n\$ zel-sql (list export [^\n]*)\n(.*?)```", text, re.DOTALL)
    assert len(blocks) >= 2, "the export samples are missing from " + DOCS
    return blocks


@pytest.mark.parametrize("sample", doc_samples(), ids=lambda s: s[0])
def test_the_docs_show_what_the_tool_writes(tmp_path, sample):
    command, shown = sample
    backup(tmp_path, SAMPLE_FLAGS, SAMPLE)
    result = subprocess.run([os.environ.get("ZEL_SQL_TOOL", "zel-sql"), *command.split()[0:]],
                            capture_output=True, text=True, cwd=tmp_path, timeout=60)
    assert result.returncode == 0, result.stderr
    written = result.stdout.replace("\r\n", "\n")
    # The date and time of the export are the only lines that change.
    moment = re.compile(r'^(@ (?:DATE|TIME) +%s) "[^"]*"$', re.MULTILINE)
    assert moment.sub(r"\1", written) == moment.sub(r"\1", shown)
