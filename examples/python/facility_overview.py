#!/usr/bin/env python3
"""What a control-room script does with a facility's component list.

Loads the list, with the backup file as fallback, reads the facility's table
of beamlines through the query cache, and prints the beamlines, a short
summary, one beamline between two positions sorted along the beam, and the
cells of components around the BPMs of that stretch: the same as the C++
program examples/facility_overview.cpp. The query cache lives in the folder
db_cache_<DATA_SOURCE> of the working directory.

    facility_overview.py [options] DATA_SOURCE FACILITY

Exit status: 0 when the list was loaded (from the database or the backup
file), 1 when neither could be read, 2 for a usage error.
"""

import argparse
import re
import sys
from typing import Sequence

import zel_sql


def parse_arguments() -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=(__doc__ or "").split("\n\n")[0])
    parser.add_argument("data_source")
    parser.add_argument("facility")
    parser.add_argument("--sqlite", action="store_true",
                        help="attach the database file as schema TAVIK first")
    parser.add_argument("--user", default="", help="user name for the data source")
    parser.add_argument("--password", default="", help="password for the data source")
    parser.add_argument("--beamline", default="RING", help="the beamline to show")
    parser.add_argument("--from", dest="start", type=float, default=114.0,
                        help="start of the stretch, in meters along s")
    parser.add_argument("--to", dest="end", type=float, default=134.0,
                        help="end of the stretch, in meters along s")
    parser.add_argument("--anchors", default=".*BPM.*",
                        help="names of the cell anchors, whole name, case ignored")
    parser.add_argument("--half-width", type=float, default=2.0,
                        help="a cell reaches this many meters before and after its anchor")
    return parser.parse_args()


def attach_main_file_as_tavik(db: zel_sql.Database) -> None:
    """SQLite has no schemas: the views are reached as TAVIK.<view> once the
    database file is attached a second time under that name."""
    [(main_file,)] = db.query("SELECT file FROM pragma_database_list WHERE name = 'main'")
    literal = main_file.replace("'", "''")
    db.query(f"ATTACH DATABASE '{literal}' AS TAVIK")


def print_table(header: Sequence[str], rows: Sequence[Sequence[str]],
                right_aligned: Sequence[int] = ()) -> None:
    """Columns as wide as their widest cell; the last one is not padded."""
    widths = [max(len(row[c]) for row in [header, *rows]) for c in range(len(header))]
    for row in [header, *rows]:
        cells = []
        for c, cell in enumerate(row):
            if c in right_aligned:
                cells.append(cell.rjust(widths[c]))
            elif c == len(row) - 1:
                cells.append(cell)
            else:
                cells.append(cell.ljust(widths[c]))
        print("".join("  " + cell for cell in cells))


def print_refused_login(db: zel_sql.Database) -> None:
    """A refused login surfaces as "Unable to allocate SQL statement handle";
    the Database keeps what the driver said about it."""
    reason = db.last_connect_error.rstrip("\n ")
    if reason:
        print(f"  The login was refused: {reason}")


def print_beamlines(db: zel_sql.Database, canonical: str) -> None:
    """The facility's beamlines, read through the query cache: from the
    database when it answers (and stored), else from the last copy, saying why."""
    sql = f"SELECT FLAG, NAME, ENERGY_GEV, LENGTH_M FROM TAVIK.{canonical}_BEAMLINES ORDER BY SEQ"
    try:
        beamlines = db.read_with_cache(sql)
    except zel_sql.Error as e:
        print(f"The beamlines of {canonical} are unknown:\n  {e}\n")
        return
    if beamlines.from_cache:
        print(f"Beamlines of {canonical}, from the cache copy read at "
              f"{beamlines.stored_at:%Y-%m-%d %H:%M:%S} UTC, because the database could not be "
              f"read:\n  {beamlines.message}")
    elif beamlines.message:
        print(f"Beamlines of {canonical}, read from the database, but not stored in the cache:"
              f"\n  {beamlines.message}")
    else:
        print(f"Beamlines of {canonical}, read from the database and stored in "
              f"{db.cache_folder}:")
    rows = [["NULL" if value is None else value for value in row] for row in beamlines.rows]
    print_table(beamlines.columns, rows)
    print()


def print_summary(components: zel_sql.ComponentList) -> None:
    """Counts and the extent along s of every flag, from the list as a table
    (pandas.DataFrame) with one bool column per flag."""
    table = components.to_pandas()
    print(f"Summary: {len(table)} components, {len(components.flag_names)} flags")
    rows = []
    for flag in components.flag_names:
        positions = table.loc[table[flag], "s"]
        if len(positions):
            rows.append([flag, str(len(positions)), f"{positions.min():.3f}",
                         f"{positions.max():.3f}"])
        else:
            rows.append([flag, "0", "-", "-"])
    print_table(["flag", "components", "first s [m]", "last s [m]"], rows, right_aligned=(1, 2, 3))


def print_beamline(args: argparse.Namespace, beamline: Sequence[zel_sql.Component]) -> None:
    print(f"Beamline {args.beamline}, {args.start:.3f} m <= s <= {args.end:.3f} m, "
          f"sorted by s: {len(beamline)} components")
    rows = [[c.name, c.type, c.section, f"{c.s:.3f}", f"{c.z:.3f}", f"{c.x:.3f}",
             c.link_name or "-"] for c in beamline]
    print_table(["name", "type", "section", "s [m]", "z [m]", "x [m]", "power supply"], rows,
                right_aligned=(3, 4, 5))


def print_cells(args: argparse.Namespace, beamline: Sequence[zel_sql.Component]) -> None:
    # Every anchor gets its own cell; cells of close anchors overlap.
    cells = zel_sql.ComponentList.extract_cells_around_components(
        beamline, args.anchors, "s", -args.half_width, args.half_width)
    print(f'Cells around the components named "{args.anchors}" on that stretch, '
          f"from s - {args.half_width:.1f} m to s + {args.half_width:.1f} m: {len(cells)} cells")
    # The cells come without their anchors: they are the members whose names
    # match, in the same order along s, since the beamline is sorted by s.
    pattern = re.compile(args.anchors, re.IGNORECASE)
    anchors = [c for c in beamline if pattern.fullmatch(c.name)]
    rows = []
    for anchor, cell in zip(anchors, cells):
        members = "  ".join(f"{c.name} {c.s - anchor.s:+.2f}" for c in cell)
        rows.append([anchor.name, f"{anchor.s:.3f}", members])
    print_table(["anchor", "s [m]", "members (distance from the anchor along s, in m)"], rows,
                right_aligned=(1,))


def main() -> int:
    args = parse_arguments()
    canonical = zel_sql.standardize_facility_name(args.facility)
    backup_file = f"db_component_list_{canonical}.txt"
    print(f'Facility "{args.facility}" is {canonical}; '
          f"its components are in TAVIK.{canonical}_VIEW_COMPONENTS.\n")

    db = zel_sql.Database(args.data_source, args.user, args.password)
    db.cache_folder = f"db_cache_{args.data_source}"
    if args.sqlite:
        try:
            attach_main_file_as_tavik(db)
        except zel_sql.Error as e:
            # Not fatal: the load below falls back to the backup file.
            print(f"The database cannot be prepared: {e}\n")

    components = zel_sql.ComponentList()
    try:
        message = components.read_from_db_with_backup(db, args.facility)
    except zel_sql.Error as e:
        # The message joins the database's and the backup file's reasons.
        print(f"Neither the database nor the backup file could be read:\n  {e}")
        print_refused_login(db)
        return 1
    if not message:
        print(f"Loaded from data source {args.data_source}; backup copy written to {backup_file}.\n")
    elif backup_file in message:
        # The messages of a failed write name the file; the list itself came
        # from the database.
        print(f"Loaded from data source {args.data_source}, but the backup copy could not be "
              f"written:\n  {message}\n")
    else:
        print(f"The database could not be read:\n  {message}")
        print_refused_login(db)
        print(f"Loaded from the backup file {backup_file} instead.\n")

    print_beamlines(db, canonical)
    print_summary(components)
    print()
    beamline = components.extract_beamline(args.beamline, args.start, args.end, "s")
    print_beamline(args, beamline)
    print()
    try:
        print_cells(args, beamline)
    except re.error as e:
        print(f'Invalid --anchors pattern "{args.anchors}": {e}', file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
