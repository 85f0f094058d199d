#!/usr/bin/env python3
"""Three ways to read a facility's data, side by side.

- Database.query(): a list of tuples, one per row: for a few rows, or to
  handle each row by itself.
- Database.query_numpy(): one NumPy array per column: for numbers, NULL as NaN.
- ComponentList.to_pandas(): the component list as a pandas.DataFrame
  indexed by name, one bool column per flag: for grouping and selecting.

    reading_styles.py [--sqlite] DATA_SOURCE FACILITY

Exit status: 0 when everything was read, 1 when the database failed.
"""

import argparse
import sys

import numpy

import zel_sql


def attach_main_file_as_tavik(db: zel_sql.Database) -> None:
    """SQLite has no schemas: the views are reached as TAVIK.<view> once the
    database file is attached a second time under that name."""
    [(main_file, *_)] = db.query("SELECT file FROM pragma_database_list WHERE name = 'main'")
    literal = str(main_file).replace("'", "''")
    db.query(f"ATTACH DATABASE '{literal}' AS TAVIK")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("data_source")
    parser.add_argument("facility")
    parser.add_argument("--sqlite", action="store_true",
                        help="attach the database file as schema TAVIK first")
    args = parser.parse_args()
    facility = zel_sql.standardize_facility_name(args.facility)
    db = zel_sql.Database(args.data_source)
    sql = f"SELECT FLAG, NAME, ENERGY_GEV, LENGTH_M FROM TAVIK.{facility}_BEAMLINES ORDER BY SEQ"
    try:
        if args.sqlite:
            attach_main_file_as_tavik(db)

        # 1. Rows: one tuple per beamline.
        print(f"query(): {facility}'s beamlines, row by row")
        for flag, name, energy, length in db.query(sql):
            print(f"  {flag:<10} {name:<16} {energy if energy is not None else '-':>6} GeV  "
                  f"{length} m")

        # 2. Columns: the energies as float64, the unknown one as NaN.
        columns = db.query_numpy(sql)
        energies = columns["ENERGY_GEV"]
        lengths = columns["LENGTH_M"]
        print(f"\nquery_numpy(): {len(energies)} beamlines, {numpy.isnan(energies).sum()} "
              f"without a known energy, {lengths.sum():.1f} m together; highest energy "
              f"{numpy.nanmax(energies):.1f} GeV ({energies.dtype}, {lengths.dtype})")

        # 3. A table of the components, grouped by type.
        components = zel_sql.ComponentList()
        components.read_from_db(db, facility)
    except zel_sql.Error as e:
        print(f"The database could not be read: {e}", file=sys.stderr)
        return 1
    table = components.to_pandas()
    counts = table.groupby("type").size().sort_values(ascending=False)
    print(f"\nto_pandas(): {len(table)} components in {len(counts)} types; the most common:")
    for component_type, count in counts.head(3).items():
        print(f"  {component_type:<12} {count:>5}")
    ring = table[table["RING"]]
    print(f"  RING: {len(ring)} components from s = {ring['s'].min():.3f} m "
          f"to {ring['s'].max():.3f} m")
    return 0


if __name__ == "__main__":
    sys.exit(main())
