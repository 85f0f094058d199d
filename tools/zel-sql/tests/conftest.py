"""Shared helpers of the zel-sql tests: running the tool, the expected MIRAN
list of the integration servers, writers of backup and cache files and a
reader of TFS tables, each written from the format's description."""

import hashlib
import json
import os
import re
import struct
import subprocess

import pytest

TOOL = os.environ.get("ZEL_SQL_TOOL", "zel-sql")


def run(*args, env=None, input_text=None):
    """Runs zel-sql with `args`; stdin is never a terminal here."""
    full_env = dict(os.environ)
    full_env.pop("ZEL_SQL_PASSWORD", None)
    full_env.update(env or {})
    return subprocess.run([TOOL, *args], capture_output=True, text=True, env=full_env,
                          input=input_text or "", timeout=120)


# --- component lists -------------------------------------------------------

TEXT_FIELDS = ["NAME", "REAL_NAME", "NAME2", "SECTION", "GROUP_", "CLASS", "TYPE_",
               "FRIENDLY_NAME", "LINK_NAME"]
POSITIONS = ["S", "X", "Y", "Z"]


def component(name, texts=(), positions=(0.0, 0.0, 0.0, 0.0), flags=()):
    """A component: NAME, the other eight texts in TEXT_FIELDS order, S X Y Z,
    and the flags as a list of 0/1."""
    c = dict(zip(TEXT_FIELDS, [name, *texts] + [""] * (9 - 1 - len(texts))))
    c.update(zip(POSITIONS, positions))
    c["flags"] = list(flags)
    return c


def _read_miran():
    """The facility MIRAN of the integration servers as the library reads it
    (tests/data/miran_components.json, which the C++ and Python tests read
    too), as components of component() with the flags as 0/1."""
    path = os.environ.get("ZEL_SQL_TEST_MIRAN")
    if not path:
        raise RuntimeError("ZEL_SQL_TEST_MIRAN is not set: run these tests through ctest")
    with open(path, encoding="utf-8") as file:
        description = json.load(file)
    components = []
    for row in description["components"]:
        c = {field: row[field] for field in TEXT_FIELDS + POSITIONS}
        c["flags"] = [int(flag) for flag in row["flags"]]
        components.append(c)
    return description["flag_names"], components


MIRAN_FLAGS, MIRAN = _read_miran()


def write_backup(path, flag_names, components):
    """A backup file as the library writes it (docs/backup_file_format.md)."""
    lines = ["<flag_names>", *flag_names, "</flag_names>", "<components>"]
    for c in components:
        lines += ["<component>", *(c[f] for f in TEXT_FIELDS[:8])]
        lines += ["%.15e" % c[p] for p in ("X", "Y", "Z", "S")]
        lines += ["".join(str(f) for f in c["flags"]), c["LINK_NAME"], "</component>"]
    lines.append("</components>")
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        f.write("\n".join(lines) + "\n")


# --- TFS -------------------------------------------------------------------

def read_tfs(text):
    """A TFS table: "@ NAME %type value" header lines, a "*" line of column
    names, a "$" line of their types, then one row per line; strings in
    double quotes. Returns (headers, columns, rows as dicts)."""
    headers, columns, types, rows = {}, None, None, []
    token = re.compile(r'"[^"]*"|\S+')

    def value(kind, raw):
        if kind.endswith("s"):
            assert raw.startswith('"') and raw.endswith('"'), raw
            return raw[1:-1]
        if kind.endswith("d"):
            return int(raw)
        return float(raw)

    for line in text.splitlines():
        if line.startswith("@"):
            _, name, kind, raw = line.split(None, 3)
            headers[name] = value(kind, raw)
        elif line.startswith("*"):
            columns = line.split()[1:]
        elif line.startswith("$"):
            types = line.split()[1:]
        elif line.strip():
            cells = token.findall(line)
            assert columns and types and len(cells) == len(columns) == len(types), line
            rows.append({c: value(t, v) for c, t, v in zip(columns, types, cells)})
    return headers, columns, rows


# --- cache files -------------------------------------------------------------

def cache_file_bytes(sql, data_source, stored_at, columns, rows, version=1, row_count=None):
    """A cache file as docs/cache_file_format.md lays it out; `row_count`
    overrides the count of rows it records (for crafted files)."""
    def text(s):
        b = s.encode("utf-8") if isinstance(s, str) else s
        return struct.pack("<I", len(b)) + b

    body = text(sql) + text(data_source) + struct.pack("<q", stored_at)
    body += struct.pack("<I", len(columns)) + b"".join(text(c) for c in columns)
    body += struct.pack("<Q", len(rows) if row_count is None else row_count)
    for row in rows:
        for v in row:
            body += struct.pack("<I", 0xFFFFFFFF) if v is None else text(v)
    size = 16 + 4 + 8 + len(body) + 28
    payload = struct.pack("<I", version) + struct.pack("<Q", size) + body
    return b"zel_sql_cache_00" + payload + hashlib.sha3_224(payload).digest()


def cache_file_name(sql):
    return hashlib.sha3_224(sql.encode("utf-8")).hexdigest() + ".dat"


@pytest.fixture
def password_file(tmp_path):
    def make(password):
        path = tmp_path / "password"
        path.write_text(password + "\n")
        return str(path)
    return make
