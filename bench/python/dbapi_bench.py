#!/usr/bin/env python3
"""The module's DB API (zel_sql.connect) against pyodbc, on the benchmark facility.

Three measurements per data source, each against pyodbc on the same data
source, the same rows and the same driver:

- reading: Cursor.fetchall() of the 100,000-row view
  TAVIK.BENCHL_VIEW_COMPONENTS (23 columns) against Database.query() of the
  same statement and pyodbc's cursor.execute(sql).fetchall();
- streaming: a loop of fetchmany(1000) over the whole view that keeps no row,
  on both; what matters is the peak memory it adds;
- writing: executemany of 100,000 rows of five columns (an integer, a double,
  a text of up to 40 characters, a timestamp, a text that is NULL in every
  seventh row) into a table created empty for the run, followed by commit(),
  against pyodbc's executemany with fast_executemany = True and the columns'
  sizes given by setinputsizes (on SQLite, where fast_executemany crashes
  sqliteodbc, its plain executemany). Each run counts the rows it stored
  afterwards, and fails when they are not all there.

Each measurement runs in a child process of its own (the same interpreter;
connections open and their first statement run, the rows to write built,
before the clock starts) so that its peak memory is its own: the growth of
VmHWM over the resident size at the start, after /proc/self/clear_refs. The
repetitions are interleaved in random order; the table gives medians with
the smallest and largest figure, and the ratios of the medians.

    dbapi_bench.py [--repetitions N] [--table FILE] NAME,DATA_SOURCE[,SQLITE_FILE] ...

A third field names the SQLite file to attach as TAVIK; the table written
to then lives in the data source's own file. On the servers it is
zel_bench_write.executemany_rows, which the login must be allowed to create
and drop. Run by scripts/bench --python, which sets up the data sources.
"""

import datetime
import json
import statistics
import sys
from typing import Any, Callable

import pyodbc

import zel_sql
from bench import ROWS, SQL, measure, parse_arguments, run_interleaved, write_table

BATCH = 1000
WRITTEN = 100_000
WAIT_LIMIT = 15.0  # connect()'s default, for the module's every call here
# The columns written, for pyodbc's setinputsizes.
INPUT_SIZES = [(pyodbc.SQL_INTEGER, 0, 0), (pyodbc.SQL_DOUBLE, 0, 0), (pyodbc.SQL_VARCHAR, 40, 0),
               (pyodbc.SQL_TYPE_TIMESTAMP, 26, 6), (pyodbc.SQL_VARCHAR, 40, 0)]


def rows_to_write() -> list[tuple[Any, ...]]:
    start = datetime.datetime(2026, 1, 1, 6, 0, 0)
    return [(i,
             i * 0.5 + 0.25,
             f"TAVIK-{i:07d}-" + "KQXVRM"[i % 6] * (i % 27),
             start + datetime.timedelta(seconds=i, microseconds=(i * 7919) % 1_000_000),
             None if i % 7 == 0 else f"note {i}")
            for i in range(WRITTEN)]


class Source:
    def __init__(self, spec: str) -> None:
        self.name, self.data_source, *sqlite = spec.split(",")
        self.sqlite_file = sqlite[0] if sqlite else None
        self.pyodbc = pyodbc.connect(f"DSN={self.data_source}", autocommit=True)
        dbms = self.pyodbc.getinfo(pyodbc.SQL_DBMS_NAME).lower()
        # pyodbc's fast_executemany crashes the process on sqliteodbc (a
        # segmentation fault in the first executemany, whatever the rows and
        # sizes): there it can only be compared with pyodbc's plain one.
        self.fast_executemany = self.sqlite_file is None
        self.table = "executemany_rows" if self.sqlite_file else "zel_bench_write.executemany_rows"
        # MariaDB's TIMESTAMP ends in 2038 and updates itself.
        timestamp = "DATETIME(6)" if "maria" in dbms or "mysql" in dbms else "TIMESTAMP"
        double = "DOUBLE PRECISION" if "postgres" in dbms else "DOUBLE"
        self.create = (f"CREATE TABLE {self.table} (ID INTEGER NOT NULL, READING {double}, "
                       f"NAME VARCHAR(40), TAKEN_AT {timestamp}, NOTE VARCHAR(40))")
        self.insert = (f"INSERT INTO {self.table} (ID, READING, NAME, TAKEN_AT, NOTE) "
                       f"VALUES (?, ?, ?, ?, ?)")

    def database(self) -> zel_sql.Database:
        db = zel_sql.Database(self.data_source, wait_limit=WAIT_LIMIT)
        db.query(self.attach if self.sqlite_file else "SELECT 1")
        return db

    def connect(self, autocommit: bool = False) -> zel_sql.Connection:
        if self.sqlite_file:
            # SQLite attaches only outside a transaction.
            connection = zel_sql.connect(self.data_source, wait_limit=WAIT_LIMIT, autocommit=True)
            connection.cursor().execute(self.attach)
            connection.autocommit = autocommit
        else:
            connection = zel_sql.connect(self.data_source, wait_limit=WAIT_LIMIT,
                                         autocommit=autocommit)
        connection.cursor().execute("SELECT 1").fetchall()
        return connection

    def pyodbc_reader(self) -> Any:
        if self.sqlite_file:
            self.pyodbc.cursor().execute(self.attach)
        return self.pyodbc

    @property
    def attach(self) -> str:
        return f"ATTACH DATABASE '{self.sqlite_file}' AS TAVIK"

    def new_table(self) -> None:
        cursor = self.pyodbc.cursor()
        cursor.execute(f"DROP TABLE IF EXISTS {self.table}")
        cursor.execute(self.create)

    def stored(self) -> tuple[int, int, int, int]:
        """Rows, distinct IDs, the largest ID, and notes that are not NULL.
        (Not a sum: sqliteodbc describes SUM() as a 32-bit integer.)"""
        row = self.pyodbc.cursor().execute(
            f"SELECT COUNT(*), COUNT(DISTINCT ID), MAX(ID), COUNT(NOTE) FROM {self.table}"
        ).fetchone()
        return int(row[0]), int(row[1]), int(row[2] if row[2] is not None else -1), int(row[3])

    def expected(self) -> tuple[int, int, int, int]:
        return WRITTEN, WRITTEN, WRITTEN - 1, WRITTEN - (WRITTEN + 6) // 7


def fetch_in_batches(fetchmany: Callable[[int], list[Any]]) -> int:
    count = 0
    while True:
        batch = fetchmany(BATCH)
        if not batch:
            return count
        count += len(batch)


def prepare(source: Source, call: str) -> Callable[[], Any]:
    """The timed part of `call`, with all that comes before the clock done."""
    if call == "query":
        db = source.database()
        return lambda: db.query(SQL)
    if call == "dbapi_fetchall":
        connection = source.connect()
        return lambda: connection.cursor().execute(SQL).fetchall()
    if call == "pyodbc_fetchall":
        reader = source.pyodbc_reader()
        return lambda: reader.cursor().execute(SQL).fetchall()
    if call == "dbapi_fetchmany":
        connection = source.connect()
        return lambda: fetch_in_batches(connection.cursor().execute(SQL).fetchmany)
    if call == "pyodbc_fetchmany":
        reader = source.pyodbc_reader()
        return lambda: fetch_in_batches(reader.cursor().execute(SQL).fetchmany)
    rows = rows_to_write()
    source.new_table()
    if call == "dbapi_executemany":
        connection = source.connect()

        def dbapi_write() -> None:
            connection.cursor().executemany(source.insert, rows)
            connection.commit()
        return dbapi_write
    assert call == "pyodbc_executemany"
    writer = pyodbc.connect(f"DSN={source.data_source}", autocommit=False)
    writer.cursor().execute("SELECT 1").fetchall()

    def pyodbc_write() -> None:
        cursor = writer.cursor()
        cursor.fast_executemany = source.fast_executemany
        # Without the sizes, pyodbc asks SQLDescribeParam: psqlODBC describes
        # the timestamp without fractional digits (pyodbc then cuts the
        # microseconds off), MariaDB's texts as so long that pyodbc's buffer
        # for them raises MemoryError.
        cursor.setinputsizes(INPUT_SIZES)
        cursor.executemany(source.insert, rows)
        writer.commit()
    return pyodbc_write


CALLS = ["query", "dbapi_fetchall", "pyodbc_fetchall", "dbapi_fetchmany", "pyodbc_fetchmany",
         "dbapi_executemany", "pyodbc_executemany"]
# What each call is compared with.
BASES = {"query": "pyodbc_fetchall", "dbapi_fetchall": "query",
         "dbapi_fetchmany": "pyodbc_fetchmany", "dbapi_executemany": "pyodbc_executemany"}


def measure_one(spec: str, call: str) -> None:
    """The child's part: one measurement, printed as JSON."""
    source = Source(spec)
    timed = prepare(source, call)
    elapsed, growth, result = measure(timed)
    if call.endswith("fetchall") or call == "query":
        assert len(result) == ROWS, (call, len(result))
    elif call.endswith("fetchmany"):
        assert result == ROWS, (call, result)
    else:
        stored = source.stored()
        # A run that did not store every row measured nothing.
        assert stored == source.expected(), (call, stored, source.expected())
    print(json.dumps({"ms": elapsed, "mib": growth}))


def check(source: Source) -> None:
    """The same rows through the module's two ways and pyodbc's, before
    anything is timed, and the same rows stored by both writers."""
    rows = prepare(source, "dbapi_fetchall")()
    typed = prepare(source, "query")()
    baseline = prepare(source, "pyodbc_fetchall")()
    assert len(rows) == len(typed) == len(baseline) == ROWS
    assert [tuple(row) for row in rows[:100]] == [tuple(row) for row in typed[:100]]
    assert sorted(row[0] for row in rows) == sorted(row[0] for row in baseline)
    written: list[list[Any]] = []
    for call in ("dbapi_executemany", "pyodbc_executemany"):
        prepare(source, call)()
        assert source.stored() == source.expected(), (call, source.stored())
        written.append([tuple(row) for row in source.pyodbc.cursor().execute(
            f"SELECT ID, READING, NAME, TAKEN_AT, NOTE FROM {source.table} "
            f"WHERE ID < 50 OR ID > {WRITTEN - 50} ORDER BY ID").fetchall()])
    differ = [(ours, theirs) for ours, theirs in zip(*written) if ours != theirs]
    assert not differ, f"{source.name}: the two writers stored different values: {differ[:3]}"


def spread(values: list[float]) -> str:
    return f"{statistics.median(values):.1f} ({min(values):.0f}-{max(values):.0f})"


def main() -> int:
    args = parse_arguments(__doc__, CALLS)
    if args.one:
        measure_one(args.sources[0], args.one)
        return 0

    for spec in args.sources:
        check(Source(spec))
    measured = run_interleaved(__file__, args.sources, CALLS, args.repetitions)
    times = {key: [m["ms"] for m in runs] for key, runs in measured.items()}
    memory = {key: [m["mib"] for m in runs] for key, runs in measured.items()}

    lines = [
        f"Medians of {args.repetitions} interleaved repetitions, each in a process of its own, "
        f"(smallest-largest); reads: `{SQL}`, {ROWS:,} rows x 23 columns; fetchmany({BATCH}) "
        f"keeps no row; executemany: {WRITTEN:,} rows x 5 columns and commit(); "
        f"Python {sys.version.split()[0]}, pyodbc {pyodbc.version}, "
        f"zel_sql wait_limit {WAIT_LIMIT:g} s.",
        "",
        "| data source | call | wall ms | vs | ratio | peak memory growth MiB | ratio |",
        "|---|---|---:|---|---:|---:|---:|",
    ]
    plain = {source.name for source in map(Source, args.sources) if not source.fast_executemany}
    for name in [spec.split(",")[0] for spec in args.sources]:
        for call in CALLS:
            wall = statistics.median(times[(name, call)])
            growth = statistics.median(memory[(name, call)])
            base = BASES.get(call)
            if base is None:
                versus, ratio, memory_ratio = "", "", ""
            else:
                base_memory = statistics.median(memory[(name, base)])
                versus = base
                ratio = f"{wall / statistics.median(times[(name, base)]):.3f}"
                memory_ratio = f"{growth / base_memory:.3f}" if base_memory > 0.5 else "-"
            label = call
            if call == "pyodbc_executemany" and name in plain:
                label += " (fast_executemany off)"
            lines.append(f"| {name} | {label} | {spread(times[(name, call)])} | {versus} | "
                         f"{ratio} | {spread(memory[(name, call)])} | {memory_ratio} |")
    write_table(lines, args.table)
    return 0


if __name__ == "__main__":
    sys.exit(main())
