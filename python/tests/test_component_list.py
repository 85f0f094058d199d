"""The component list of facility MIRAN, loaded through the module."""

import gc
import re
import threading

import pytest

import zel_sql
from conftest import MIRAN, PG, ticks_while

STORED = [c["NAME"] for c in MIRAN["components"]]
TEXTS = {"name": "NAME", "real_name": "REAL_NAME", "name2": "NAME2", "section": "SECTION",
         "group": "GROUP_", "class_name": "CLASS", "type": "TYPE_",
         "friendly_name": "FRIENDLY_NAME", "link_name": "LINK_NAME"}


def names(components):
    return [c.name for c in components]



def test_load_reads_every_column_and_writes_the_backup(backend, workdir):
    components = zel_sql.ComponentList()
    assert components.read_from_db_with_backup(backend.database(), " miran ") == ""
    assert (workdir / "db_component_list_MIRAN.txt").stat().st_size > 0
    assert len(components) == 4
    assert names(components) == STORED
    assert components.flag_names == MIRAN["flag_names"]

    # Every text, position and flag; NULL gives "" and 0.0, any non-zero flag
    # value counts as set (see the description).
    for row in MIRAN["components"]:
        c = components.find_component_by_name(row["NAME"].lower())
        assert {a: getattr(c, a) for a in TEXTS} == {a: row[f] for a, f in TEXTS.items()}
        assert (c.x, c.y, c.z, c.s) == (row["X"], row["Y"], row["Z"], row["S"])
        assert c.flags == dict(zip(MIRAN["flag_names"], row["flags"]))
    quad = components.find_component_by_name("quad_01")
    assert repr(quad) == ("Component(name='QUAD_01', class_name='QUADRUPOLE', type='QF', "
                          "x=0.125, y=-0.5, z=12.75, s=13.0)")

    # Texts arrive cut to 255 bytes.
    assert len(components.find_component_by_name("LONG_03").friendly_name) == 255
    # Only the name is looked up.
    assert components.find_component_by_name("Q1.MAIN") is None


def test_a_failing_database_falls_back_to_the_backup_file(miran, workdir):
    db = PG.database()
    miran.write_to_file("db_component_list_NOSUCH.txt")
    components = zel_sql.ComponentList()
    message = components.read_from_db_with_backup(db, "nosuch")
    assert message.startswith("Query failed: ")
    assert "TAVIK.NOSUCH_VIEW_COMPONENTS" in message
    assert names(components) == STORED
    assert components.flag_names == miran.flag_names

    (workdir / "db_component_list_NOSUCH.txt").unlink()
    with pytest.raises(zel_sql.Error) as raised:
        components.read_from_db_with_backup(db, "nosuch")
    assert str(raised.value) == message + "; Unable to open db_component_list_NOSUCH.txt for reading"


@pytest.mark.parametrize("query, args, expected", [
    ("get_sorted_list", ("none",), STORED),
    ("get_sorted_list", ("s",), ["VALVE_04", "LONG_03", "QUAD_01", "BPM_02"]),
    ("find_components_with_flag", ("main_beam",), ["QUAD_01", "BPM_02"]),
    ("find_components_with_flag", ("BPM", "s"), ["VALVE_04", "BPM_02"]),
    ("find_components_with_flag", ("bpm", "z"), ["BPM_02", "VALVE_04"]),
    ("find_components_with_flag", ("NOSUCH",), []),
    # Both bounds belong to the stretch; the default order is "s".
    ("extract_beamline", ("vacuum", -0.75, 0.0), ["VALVE_04", "LONG_03"]),
    ("extract_beamline", ("bpm", 0.0, 250.5, "z"), ["BPM_02", "VALVE_04"]),
    ("extract_beamline", ("bpm", 0.0, 250.25, "z"), ["BPM_02"]),
    ("extract_beamline", ("main_beam", 20.5, 13.0), []),
])
def test_queries_select_and_sort(miran, query, args, expected):
    assert names(getattr(miran, query)(*args)) == expected


@pytest.mark.parametrize("selection, pattern, order, before, after, expected", [
    ("none", "bpm_0.", "s", -8.0, 0.0, [["QUAD_01", "BPM_02"]]),
    ("vacuum", ".*", "z", 0.0, 0.0, [["LONG_03"], ["VALVE_04"]]),
    ("vacuum", "QUAD_01", "z", -1000.0, 1000.0, []),
])
def test_cells_around_components(miran, selection, pattern, order, before, after, expected):
    members = (miran.get_sorted_list("none") if selection == "none"
               else miran.find_components_with_flag(selection))
    cells = zel_sql.ComponentList.extract_cells_around_components(
        members, pattern, order, before, after)
    assert [names(cell) for cell in cells] == expected


CELLS = zel_sql.ComponentList.extract_cells_around_components


@pytest.mark.parametrize("call, error, message", [
    (lambda l: l.extract_beamline("VACUUM", 0.0, 1.0, "none"), zel_sql.Error,
     "SortOrder::none is not allowed for extract_beamline()"),
    (lambda l: CELLS([], ".*", "s", 0.5, 0.0), zel_sql.Error,
     "meters_before must be negative or zero"),
    (lambda l: CELLS([], ".*", "s", 0.0, -0.5), zel_sql.Error,
     "meters_after must be positive or zero"),
    (lambda l: CELLS(l.get_sorted_list("none"), "bpm.*", "none", 0.0, 0.0), zel_sql.Error,
     "Invalid sort order (must be z or s)"),
    (lambda l: zel_sql.ComponentList().read_from_file("missing.txt"), zel_sql.Error,
     "Unable to open missing.txt for reading"),
    (lambda l: l.get_sorted_list("S"), ValueError, 'order must be "none", "z" or "s", not "S"'),
])
def test_errors_carry_the_library_messages(miran, workdir, call, error, message):
    with pytest.raises(error) as raised:
        call(miran)
    assert type(raised.value) is error
    assert str(raised.value) == message


def test_an_invalid_pattern_raises_re_error(miran):
    with pytest.raises(re.error) as raised:
        CELLS(miran.get_sorted_list("none"), "BPM_(0", "s", -1.0, 1.0)
    assert str(raised.value)


# Facility file of one component whose texts are no UTF-8 (Latin-1 "é").
LATIN1_FILE = (b"<flag_names>\nQUAD\nDIAG\n</flag_names>\n<components>\n<component>\n"
               b"Q\xe9\nQX7.L3\nQX7-2\nL3\nQUADS\nQUAD\nQD\nQuadrupole\n"
               b"1.250000000000000e+00\n-3.000000000000000e-03\n1.045200000000000e+02\n"
               b"1.045310000000000e+02\n10\nQX7.PS\n</component>\n</components>\n")


def test_texts_that_are_no_utf8_come_back_unchanged(workdir):
    (workdir / "latin1.txt").write_bytes(LATIN1_FILE)
    components = zel_sql.ComponentList()
    components.read_from_file(workdir / "latin1.txt")
    name = next(iter(components)).name
    assert name == "Q\udce9"
    assert components.find_component_by_name(name) is not None
    components.write_to_file(workdir / "again.txt")
    assert (workdir / "again.txt").read_bytes() == LATIN1_FILE


def test_components_outlive_their_list_and_its_reloads(miran, workdir):
    miran.write_to_file("miran.txt")
    (workdir / "latin1.txt").write_bytes(LATIN1_FILE)
    components = zel_sql.ComponentList()
    components.read_from_file("miran.txt")
    quad = components.find_component_by_name("QUAD_01")
    cells = CELLS(components.get_sorted_list("none"), "bpm_0.", "s", -8.0, 0.0)

    # A reload gives the list new components; those held keep their values.
    components.read_from_file("latin1.txt")
    assert names(components) == ["Q\udce9"]
    assert components.find_component_by_name("QUAD_01") is None
    assert quad.flags == {"MAIN_BEAM": True, "BPM": False, "VACUUM": False}
    # A failed reload too.
    with pytest.raises(zel_sql.Error):
        components.read_from_file("missing.txt")
    assert len(components) == 0

    del components
    gc.collect()
    assert (quad.name, quad.s, quad.link_name) == ("QUAD_01", 13.0, "QUAD_01_PS")
    assert [names(cell) for cell in cells] == [["QUAD_01", "BPM_02"]]
    assert cells[0][0] == quad
    assert quad in set(cells[0])


def test_loads_let_other_threads_run(workdir):
    # Facility SLOW takes 50 ms per row for its 40 rows.
    components = zel_sql.ComponentList()
    db = PG.database()
    loader = threading.Thread(target=components.read_from_db, args=(db, "SLOW"))
    ticks = ticks_while(loader)
    assert len(components) == 40
    # Without the GIL released, this thread would not run before the load ends.
    assert ticks >= 10


@pytest.mark.parametrize("call", [
    lambda l, db: l.write_to_file("ok.txt\0.evil"),
    lambda l, db: l.read_from_file(b"ok.txt\0.evil"),
    lambda l, db: l.read_from_db_with_backup(db, "MIRAN", "ok.txt\0.evil"),
    lambda l, db: l.read_from_db_with_backup(db, "MIRAN\0evil"),
    lambda l, db: l.read_from_db(db, "MIRAN\0evil"),
    lambda l, db: setattr(db, "cache_folder", "cache\0evil"),
])
def test_names_with_a_nul_raise_value_error_as_open_does(call, workdir):
    db = PG.database()
    components = zel_sql.ComponentList()
    with pytest.raises(ValueError, match="embedded null byte"):
        call(components, db)
    assert not list(workdir.iterdir())
