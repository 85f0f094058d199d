#!/usr/bin/env python3
"""A facility's beamlines through Python's standard database interface
(PEP 249): a connection, a cursor, values as bound parameters, a
transaction, and pandas.read_sql on the same connection.

    dbapi_session.py [--sqlite] DATA_SOURCE FACILITY

Exit status: 0 when everything was read and written, 1 when the database
failed.
"""

import argparse
import sys
import warnings

import pandas  # type: ignore  # pandas ships no type information here

import zel_sql


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("data_source")
    parser.add_argument("facility")
    parser.add_argument("--sqlite", action="store_true",
                        help="attach the database file as schema TAVIK first")
    args = parser.parse_args()
    facility = zel_sql.standardize_facility_name(args.facility)
    beamlines = f"TAVIK.{facility}_BEAMLINES"
    try:
        with zel_sql.connect(args.data_source, wait_limit=5.0) as con:
            cursor = con.cursor()
            if args.sqlite:
                # SQLite has no schemas: the views are reached as TAVIK.<view>
                # once the database file is attached a second time.
                cursor.execute("SELECT file FROM pragma_database_list WHERE name = 'main'")
                row = cursor.fetchone()
                assert row is not None
                cursor.execute("ATTACH DATABASE ? AS TAVIK", (row[0],))

            cursor.execute(f"SELECT NAME, ENERGY_GEV FROM {beamlines} WHERE ENERGY_GEV > ? "
                           "ORDER BY SEQ", (1.0,))
            assert cursor.description is not None
            names = [column[0] for column in cursor.description]
            print(f"beamlines above 1 GeV ({', '.join(names)}):")
            for name, energy in cursor:
                print(f"  {name:<16} {energy} GeV")

            # A transaction: stored by commit(), or by the end of the with block.
            cursor.execute("CREATE TEMP TABLE settings (name VARCHAR(40), value DOUBLE)")
            cursor.executemany("INSERT INTO settings VALUES (?, ?)",
                               [("QF1", 1.25), ("QD1", -1.25), ("O'Brien; --", None)])
            con.commit()
            cursor.execute("SELECT COUNT(*) FROM settings WHERE value IS NULL")
            print(f"settings: {cursor.rowcount} row counted, {cursor.fetchall()[0][0]} without a value")

            with warnings.catch_warnings():
                # pandas warns about any connection but SQLAlchemy's and sqlite3's.
                warnings.simplefilter("ignore", UserWarning)
                frame = pandas.read_sql(f"SELECT NAME, LENGTH_M FROM {beamlines} "
                                        "WHERE LENGTH_M > ?", con, params=(100.0,))
            print(f"pandas.read_sql: {len(frame)} beamlines longer than 100 m, "
                  f"{frame['LENGTH_M'].sum():.1f} m together")
    except zel_sql.Error as e:
        print(f"The database failed: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
