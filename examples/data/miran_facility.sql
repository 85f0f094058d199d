-- The demo facility MIRAN for the examples and ./scripts/demo, as an SQLite
-- database: four beamlines (linac, transfer line, ring, dump line) of regular
-- cells, about 4200 components in all, with the view the component list loads
-- (MIRAN_VIEW_COMPONENTS), a table of its beamlines, a data dictionary view
-- ALL_TAB_COLUMNS and a table the Procedure example writes to.
--
-- Usage: sqlite3 miran.sqlite < miran_facility.sql
--
-- SQLite has no schemas: a program attaches this same file under the name
-- TAVIK, so that TAVIK.MIRAN_VIEW_COMPONENTS resolves to the view below.

BEGIN;

CREATE TABLE MIRAN_COMPONENTS (
    NAME           TEXT NOT NULL PRIMARY KEY,
    REAL_NAME      TEXT,
    NAME2          TEXT,
    SECTION        TEXT,
    GROUP_         TEXT,
    CLASS          TEXT,
    TYPE_          TEXT,
    FRIENDLY_NAME  TEXT,
    X              REAL,
    Y              REAL,
    Z              REAL,
    S              REAL,
    LINK_NAME      TEXT,
    FLAG_LINAC     INTEGER,
    FLAG_TRANSFER  INTEGER,
    FLAG_RING      INTEGER,
    FLAG_DUMP      INTEGER,
    FLAG_QUAD      INTEGER,
    FLAG_DIPOLE    INTEGER,
    FLAG_SEXTUPOLE INTEGER,
    FLAG_CORRECTOR INTEGER,
    FLAG_BPM       INTEGER,
    FLAG_RF        INTEGER
);

-- One row per beamline: its name prefix, number of cells, cell length and
-- where its s axis starts. The ring has an s axis of its own.
CREATE TEMP TABLE beamline (line TEXT, cells INTEGER, cell_length REAL, s0 REAL);
INSERT INTO beamline VALUES
    ('LI', 250, 4.0, 0.0),
    ('TL', 50, 5.0, 1000.0),
    ('RG', 300, 6.0, 0.0),
    ('DL', 20, 3.0, 1250.0);

-- The elements of one cell of each beamline, at their distance from the
-- start of the cell.
CREATE TEMP TABLE slot (line TEXT, offset REAL, type TEXT, suffix TEXT);
INSERT INTO slot VALUES
    ('LI', 0.30, 'QF', ''), ('LI', 0.90, 'CAV', 'A'), ('LI', 1.80, 'BPM', ''),
    ('LI', 2.10, 'HCOR', ''), ('LI', 2.30, 'QD', ''), ('LI', 3.10, 'CAV', 'B'),
    ('TL', 0.40, 'QF', ''), ('TL', 1.50, 'BEND', ''), ('TL', 2.60, 'BPM', ''),
    ('TL', 3.00, 'QD', ''), ('TL', 3.40, 'VCOR', ''),
    ('RG', 0.25, 'QF', ''), ('RG', 0.60, 'SF', ''), ('RG', 1.20, 'BEND', 'A'),
    ('RG', 2.55, 'BPM', ''), ('RG', 2.90, 'QD', ''), ('RG', 3.25, 'SD', ''),
    ('RG', 4.30, 'BEND', 'B'), ('RG', 5.40, 'HCOR', ''), ('RG', 5.70, 'VCOR', ''),
    ('DL', 0.50, 'QF', ''), ('DL', 1.40, 'BPM', ''), ('DL', 2.30, 'QD', '');

-- What each element type is.
CREATE TEMP TABLE kind (type TEXT, class TEXT, group_ TEXT, description TEXT,
                        quad INTEGER, dipole INTEGER, sext INTEGER, corr INTEGER,
                        bpm INTEGER, rf INTEGER, supply TEXT);
INSERT INTO kind VALUES
    ('QF', 'QUAD', 'QUADS', 'Focusing quadrupole', 1, 0, 0, 0, 0, 0, 'PS'),
    ('QD', 'QUAD', 'QUADS', 'Defocusing quadrupole', 1, 0, 0, 0, 0, 0, 'PS'),
    ('BEND', 'DIPOLE', 'DIPOLES', 'Bending magnet', 0, 1, 0, 0, 0, 0, 'PS'),
    ('SF', 'SEXTUPOLE', 'SEXTUPOLES', 'Focusing sextupole', 0, 0, 1, 0, 0, 0, 'PS'),
    ('SD', 'SEXTUPOLE', 'SEXTUPOLES', 'Defocusing sextupole', 0, 0, 1, 0, 0, 0, 'PS'),
    ('HCOR', 'CORRECTOR', 'CORRECTORS', 'Horizontal corrector', 0, 0, 0, 1, 0, 0, 'PS'),
    ('VCOR', 'CORRECTOR', 'CORRECTORS', 'Vertical corrector', 0, 0, 0, 1, 0, 0, 'PS'),
    ('BPM', 'BPM', 'BPMS', 'Beam position monitor', 0, 0, 0, 0, 1, 0, NULL),
    ('CAV', 'CAVITY', 'RF', 'Accelerating cavity', 0, 0, 0, 0, 0, 1, 'RF');

CREATE TEMP TABLE element AS
WITH RECURSIVE cell(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM cell WHERE n < 300)
SELECT b.line AS line, cell.n AS n, k.*,
       b.s0 + (cell.n - 1) * b.cell_length + slot.offset AS s,
       b.line || '.' || slot.type || printf('%03d', cell.n) || slot.suffix AS name
FROM beamline AS b
JOIN cell ON cell.n <= b.cells
JOIN slot ON slot.line = b.line
JOIN kind AS k ON k.type = slot.type;

INSERT INTO MIRAN_COMPONENTS
SELECT name,
       -- The dump line was never entered in the naming database.
       CASE WHEN line = 'DL' THEN NULL ELSE 'MIRAN.' || name END,
       replace(name, '.', ''),
       line || '.S' || printf('%02d', (n - 1) / 25 + 1),
       group_, class, type, description || ' ' || line || ' ' || printf('%03d', n),
       -- Floor coordinates: the linac runs along z, the transfer line turns
       -- off by 0.1 rad, the ring is a circle beside them.
       CASE line WHEN 'TL' THEN (s - 1000.0) * sin(0.1)
                 WHEN 'RG' THEN 320.0 + 286.4789 * cos(s / 286.4789)
                 WHEN 'DL' THEN 24.96 ELSE 0.0 END,
       0.0,
       -- A few BPMs have not been surveyed yet: their z is unknown.
       CASE WHEN type = 'BPM' AND n % 50 = 20 THEN NULL
            WHEN line = 'TL' THEN 1000.0 + (s - 1000.0) * cos(0.1)
            WHEN line = 'RG' THEN 1250.0 + 286.4789 * sin(s / 286.4789)
            WHEN line = 'DL' THEN 1248.75 + (s - 1250.0)
            ELSE s END,
       s,
       CASE WHEN supply IS NULL THEN NULL ELSE name || '.' || supply END,
       line = 'LI', line = 'TL', line = 'RG', line = 'DL',
       quad, dipole, sext,
       -- The dump line's correctors are not known to the database: NULL.
       CASE WHEN line = 'DL' THEN NULL ELSE corr END,
       bpm, rf
FROM element
-- Stored by class, not along the beam: sorting is the reader's business.
ORDER BY class, line, n, s;

CREATE VIEW MIRAN_VIEW_COMPONENTS AS
SELECT NAME, REAL_NAME, NAME2, SECTION, GROUP_, CLASS, TYPE_, FRIENDLY_NAME,
       X, Y, Z, S, LINK_NAME,
       FLAG_LINAC, FLAG_TRANSFER, FLAG_RING, FLAG_DUMP, FLAG_QUAD, FLAG_DIPOLE,
       FLAG_SEXTUPOLE, FLAG_CORRECTOR, FLAG_BPM, FLAG_RF
FROM MIRAN_COMPONENTS;

-- The data dictionary view of an Oracle-style server, built over SQLite's
-- own catalogue. Everything in this file counts as owned by TAVIK.
CREATE VIEW ALL_TAB_COLUMNS AS
SELECT 'TAVIK' AS OWNER, m.name AS TABLE_NAME, c.name AS COLUMN_NAME
FROM sqlite_master AS m, pragma_table_info(m.name) AS c
WHERE m.type IN ('table', 'view') AND m.name NOT LIKE 'sqlite\_%' ESCAPE '\'
ORDER BY m.name, c.cid;

-- The beamlines of the facility: reference data that a control program reads
-- at start-up through the query cache (facility_overview). The dump line's
-- energy was never measured: NULL.
CREATE TABLE MIRAN_BEAMLINES (
    SEQ        INTEGER NOT NULL PRIMARY KEY,
    FLAG       TEXT NOT NULL,
    NAME       TEXT NOT NULL,
    ENERGY_GEV REAL,
    LENGTH_M   REAL
);
INSERT INTO MIRAN_BEAMLINES VALUES
    (1, 'LINAC', 'Linac', 0.2, 1000.0),
    (2, 'TRANSFER', 'Transfer line', 0.2, 250.0),
    (3, 'RING', 'Storage ring', 1.5, 1800.0),
    (4, 'DUMP', 'Dump line', NULL, 60.0);

-- Written by the Procedure example.
CREATE TABLE SETPOINT_LOG (
    NAME      TEXT NOT NULL,
    CURRENT_A REAL NOT NULL
);

COMMIT;
