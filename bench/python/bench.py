#!/usr/bin/env python3
"""The Python module against pyodbc, in one process, on the benchmark facility.

Times each way of reading the 100,000-row view TAVIK.BENCHL_VIEW_COMPONENTS
(23 columns) and measures the peak memory it adds to the process: the
module's Database.query(), Database.query_numpy(), ComponentList.read_from_db()
and ComponentList.to_numpy(), against pyodbc's cursor.execute(sql).fetchall()
on the same data source, the same rows and the same driver. One run of this
script measures them all: each measurement runs in a child process of its
own (the same interpreter, connected before the clock starts), so that its
peak memory is not hidden by what an earlier call left behind. The child
times the call twice: the first call of the process, which also pays for
every page of new memory it touches, and a second one, in a process that has
already grown to its size, as in a script that reads repeatedly. The
repetitions are interleaved in random order; medians are printed as a
Markdown table, with the ratios to pyodbc.

    bench.py [--repetitions N] [--table FILE] NAME,DATA_SOURCE[,SQLITE_FILE] ...

A third field names the SQLite file to attach as TAVIK. Run by
scripts/bench --python, which sets up the data sources.
"""

import argparse
import gc
import json
import random
import statistics
import subprocess
import sys
import time
from typing import Any, Callable, Sequence

import numpy  # noqa: F401 -- imported before any clock starts, as by a script that uses it
import pyodbc

import zel_sql

FACILITY = "BENCHL"
SQL = f"SELECT * FROM TAVIK.{FACILITY}_VIEW_COMPONENTS"
# The view's fourteen numbers alone: query_numpy fetches these through row
# arrays, which it uses only when no column is a text.
NUMBERS = (f"SELECT X, Y, Z, S, FLAG_MAG, FLAG_DIAG, FLAG_BPM, FLAG_VAC, FLAG_RF, FLAG_BL1, "
           f"FLAG_BL2, FLAG_BL3, FLAG_PS, FLAG_MOV FROM TAVIK.{FACILITY}_VIEW_COMPONENTS")
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


def parse_arguments(doc: str, calls: Sequence[str]) -> argparse.Namespace:
    """The command line of a bench script: its data sources, the repetitions,
    the file for the table, and the hidden --one CALL of a child process."""
    parser = argparse.ArgumentParser(description=doc.split("\n\n")[0])
    parser.add_argument("sources", nargs="+", metavar="NAME,DATA_SOURCE[,SQLITE_FILE]")
    parser.add_argument("--repetitions", type=int, default=7)
    parser.add_argument("--table", help="also write the table to this file")
    parser.add_argument("--one", choices=calls, help=argparse.SUPPRESS)
    return parser.parse_args()


def run_interleaved(script: str, sources: Sequence[str], calls: Sequence[str],
                    repetitions: int) -> dict[tuple[str, str], list[dict[str, float]]]:
    """Runs `script --one CALL SOURCE` for every source and call, in a child
    process each, `repetitions` times in random order, so that a drift of the
    machine's load falls on every call alike. Returns what each child printed
    (one JSON object), by source name and call."""
    measured: dict[tuple[str, str], list[dict[str, float]]] = {}
    for _ in range(repetitions):
        runs = [(spec, call) for spec in sources for call in calls]
        random.shuffle(runs)
        for spec, call in runs:
            name = spec.split(",")[0]
            child = subprocess.run([sys.executable, script, "--one", call, spec],
                                   capture_output=True, text=True)
            if child.returncode != 0:
                sys.stderr.write(child.stderr)
                raise SystemExit(f"{call} on {name} failed")
            measured.setdefault((name, call), []).append(json.loads(child.stdout))
    return measured


def write_table(lines: list[str], path: str | None) -> None:
    """Prints the table, and writes it to `path` too when one is given."""
    table = "\n".join(lines) + "\n"
    print(table)
    if path:
        with open(path, "w") as out:
            out.write(table)


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
        self.loaded: zel_sql.ComponentList | None = None

    @property
    def components(self) -> zel_sql.ComponentList:
        """The list read once, for to_numpy()."""
        if self.loaded is None:
            self.loaded = zel_sql.ComponentList()
            self.loaded.read_from_db(self.db, FACILITY)
        return self.loaded

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
        assert self.loaded is not None
        return self.loaded.to_numpy()

    def pyodbc_fetchall_numbers(self) -> Any:
        return self.connection.cursor().execute(NUMBERS).fetchall()

    def query_numpy_numbers(self) -> Any:
        return self.db.query_numpy(NUMBERS)


CALLS = ["pyodbc_fetchall", "query", "query_numpy", "read_from_db", "to_numpy",
         "pyodbc_fetchall_numbers", "query_numpy_numbers"]


def check(source: Source) -> None:
    """The same rows through every reader, before anything is timed."""
    rows = source.pyodbc_fetchall()
    columns = source.query_numpy()
    assert len(rows) == ROWS and len(columns) == 23, (len(rows), len(columns))
    assert len(source.query()) == ROWS and len(source.components) == ROWS
    names = [row[0] for row in rows]
    assert columns[next(iter(columns))].tolist() == names
    assert source.to_numpy()["name"].tolist() == [c.name for c in source.components]
    numbers = source.query_numpy_numbers()
    assert len(numbers) == 14 and all(array.dtype.kind in "fi" for array in numbers.values())
    # PostgreSQL names the columns in lower case, SQLite as declared.
    s = {name.upper(): array for name, array in columns.items()}["S"]
    assert {name.upper(): array for name, array in numbers.items()}["S"].tolist() == s.tolist()


def measure_one(spec: str, call: str) -> None:
    """The child's part: one measurement, printed as JSON."""
    source = Source(spec)
    if call == "to_numpy":
        assert len(source.components) == ROWS
    elapsed, growth, result = measure(getattr(source, call))
    del result
    again, _, result = measure(getattr(source, call))
    print(json.dumps({"ms": elapsed, "again_ms": again, "mib": growth}))


def main() -> int:
    args = parse_arguments(__doc__, CALLS)
    if args.one:
        measure_one(args.sources[0], args.one)
        return 0

    sources = [Source(spec) for spec in args.sources]
    for source in sources:
        check(source)
    del sources
    measured = run_interleaved(__file__, args.sources, CALLS, args.repetitions)
    times = {key: [m["ms"] for m in runs] for key, runs in measured.items()}
    times_again = {key: [m["again_ms"] for m in runs] for key, runs in measured.items()}
    memory = {key: [m["mib"] for m in runs] for key, runs in measured.items()}

    lines = [
        f"Median of {args.repetitions} interleaved repetitions, each in a process of its own; "
        f"`{SQL}`, {ROWS:,} rows x 23 columns; the numbers: its 14 numeric columns; "
        f"Python {sys.version.split()[0]}, pyodbc {pyodbc.version}.",
        "",
        "| data source | call | wall ms, first call | vs pyodbc | wall ms, second call "
        "| vs pyodbc | peak memory growth MiB | vs pyodbc |",
        "|---|---|---:|---:|---:|---:|---:|---:|",
    ]
    for name in [spec.split(",")[0] for spec in args.sources]:
        for call in CALLS:
            base = "pyodbc_fetchall_numbers" if call.endswith("_numbers") else "pyodbc_fetchall"
            base_time = statistics.median(times[(name, base)])
            base_again = statistics.median(times_again[(name, base)])
            base_memory = statistics.median(memory[(name, base)])
            wall = statistics.median(times[(name, call)])
            again = statistics.median(times_again[(name, call)])
            growth = statistics.median(memory[(name, call)])
            memory_ratio = f"{growth / base_memory:.3f}" if base_memory > 0.5 else "-"
            lines.append(f"| {name} | {call} | {wall:.1f} | {wall / base_time:.3f} | "
                         f"{again:.1f} | {again / base_again:.3f} | {growth:.1f} | {memory_ratio} |")
    write_table(lines, args.table)
    return 0


if __name__ == "__main__":
    sys.exit(main())
