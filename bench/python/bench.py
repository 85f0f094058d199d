#!/usr/bin/env python3
"""The Python module against pyodbc, in one process, on the benchmark facility.

Times each way of reading the 100,000-row view TAVIK.BENCHL_VIEW_COMPONENTS
(23 columns) and measures the peak memory it adds to the process: the
module's Database.query(), Database.query_numpy(), ComponentList.read_from_db()
and ComponentList.to_numpy(), against pyodbc's cursor.execute(sql).fetchall()
on the same data source, the same rows and the same driver. The repetitions
are interleaved in random order; medians are printed as a Markdown table,
with the ratios to pyodbc.

    bench.py [--repetitions N] [--table FILE] NAME,DATA_SOURCE[,SQLITE_FILE] ...

A third field names the SQLite file to attach as TAVIK. Run by
scripts/bench --python, which sets up the data sources.
"""

import argparse
import gc
import random
import statistics
import sys
import time
from typing import Any, Callable

import pyodbc

import zel_sql

FACILITY = "BENCHL"
SQL = f"SELECT * FROM TAVIK.{FACILITY}_VIEW_COMPONENTS"
ROWS = 100_000


def resident_kib(field: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"no {field} in /proc/self/status")


def measure(call: Callable[[], Any]) -> tuple[float, float, Any]:
    """Wall time in ms of call(), the growth of the peak resident set size in
    MiB while it ran, and its result. The peak is reset to the current size
    first (/proc/self/clear_refs)."""
    gc.collect()
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")
    before = resident_kib("VmRSS")
    start = time.perf_counter()
    result = call()
    elapsed = (time.perf_counter() - start) * 1000
    peak = resident_kib("VmHWM")
    return elapsed, (peak - before) / 1024, result


class Source:
    def __init__(self, spec: str) -> None:
        self.name, self.data_source, *sqlite = spec.split(",")
        self.sqlite_file = sqlite[0] if sqlite else None
        self.db = zel_sql.Database(self.data_source, wait_limit=0)
        self.connection = pyodbc.connect(f"DSN={self.data_source}", autocommit=True)
        if self.sqlite_file:
            attach = f"ATTACH DATABASE '{self.sqlite_file}' AS TAVIK"
            self.db.query(attach)
            self.connection.cursor().execute(attach)
        # The list read once, for to_numpy().
        self.components = zel_sql.ComponentList()
        self.components.read_from_db(self.db, FACILITY)

    def pyodbc_fetchall(self) -> Any:
        return self.connection.cursor().execute(SQL).fetchall()

    def query(self) -> Any:
        return self.db.query(SQL)

    def query_numpy(self) -> Any:
        return self.db.query_numpy(SQL)

    def read_from_db(self) -> Any:
        components = zel_sql.ComponentList()
        components.read_from_db(self.db, FACILITY)
        return components

    def to_numpy(self) -> Any:
        return self.components.to_numpy()


CALLS = ["pyodbc_fetchall", "query", "query_numpy", "read_from_db", "to_numpy"]


def check(source: Source) -> None:
    """The same rows through every reader, before anything is timed."""
    rows = source.pyodbc_fetchall()
    columns = source.query_numpy()
    assert len(rows) == ROWS and len(columns) == 23, (len(rows), len(columns))
    assert len(source.query()) == ROWS and len(source.components) == ROWS
    names = [row[0] for row in rows]
    assert columns[next(iter(columns))].tolist() == names
    assert source.to_numpy()["name"].tolist() == [c.name for c in source.components]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("sources", nargs="+", metavar="NAME,DATA_SOURCE[,SQLITE_FILE]")
    parser.add_argument("--repetitions", type=int, default=7)
    parser.add_argument("--table", help="also write the table to this file")
    args = parser.parse_args()

    sources = [Source(spec) for spec in args.sources]
    for source in sources:
        check(source)
    times: dict[tuple[str, str], list[float]] = {}
    memory: dict[tuple[str, str], list[float]] = {}
    for _ in range(args.repetitions):
        runs = [(source, call) for source in sources for call in CALLS]
        random.shuffle(runs)
        for source, call in runs:
            elapsed, growth, result = measure(getattr(source, call))
            del result
            times.setdefault((source.name, call), []).append(elapsed)
            memory.setdefault((source.name, call), []).append(growth)

    lines = [
        f"Median of {args.repetitions} interleaved repetitions; `{SQL}`, {ROWS:,} rows x 23 "
        f"columns; Python {sys.version.split()[0]}, pyodbc {pyodbc.version}.",
        "",
        "| data source | call | wall ms | vs pyodbc fetchall | peak memory growth MiB "
        "| vs pyodbc fetchall |",
        "|---|---|---:|---:|---:|---:|",
    ]
    for source in sources:
        base_time = statistics.median(times[(source.name, "pyodbc_fetchall")])
        base_memory = statistics.median(memory[(source.name, "pyodbc_fetchall")])
        for call in CALLS:
            wall = statistics.median(times[(source.name, call)])
            growth = statistics.median(memory[(source.name, call)])
            lines.append(f"| {source.name} | {call} | {wall:.1f} | {wall / base_time:.3f} | "
                         f"{growth:.1f} | {growth / base_memory:.3f} |")
    table = "\n".join(lines) + "\n"
    print(table)
    if args.table:
        with open(args.table, "w") as out:
            out.write(table)
    return 0


if __name__ == "__main__":
    sys.exit(main())
