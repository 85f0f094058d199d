-- The TAVIK database of the SQLite tests, attached to the data source's
-- connection as TAVIK.

CREATE TABLE MIRAN_COMPONENTS (
    SEQ INTEGER PRIMARY KEY,
    NAME TEXT, REAL_NAME TEXT, NAME2 TEXT, SECTION TEXT, GROUP_ TEXT, CLASS TEXT, TYPE_ TEXT,
    FRIENDLY_NAME TEXT, X DOUBLE, Y DOUBLE, Z DOUBLE, S DOUBLE, LINK_NAME TEXT,
    MAIN_BEAM INTEGER, BPM INTEGER, VACUUM INTEGER
);
INSERT INTO MIRAN_COMPONENTS VALUES
    (1, 'QUAD_01', 'Q1.MAIN', 'Q01', 'S1', 'MAGNETS', 'QUADRUPOLE', 'QF',
     'Focusing quadrupole 1', 0.125, -0.5, 12.75, 13.0, 'QUAD_01_PS', 1, 0, NULL),
    (2, 'BPM_02', NULL, 'B02', 'S1', 'DIAGNOSTICS', 'BPM', 'STRIPLINE',
     'Beam position monitor 2', 1.5, 0.0, NULL, 20.5, NULL, 2, 1, 0),
    (3, 'LONG_03', NULL, NULL, NULL, NULL, NULL, NULL,
     'Friendly name ' || replace(hex(zeroblob(29)), '00', '0123456789'),
     NULL, NULL, NULL, NULL, '', NULL, NULL, 1),
    (4, 'VALVE_04', 'V4.MAIN', 'V04', 'S2', 'VACUUM', 'VALVE', 'GATE',
     'Gate valve 4', -3.25, 1000.0, 250.5, -0.75, 'VALVE_04_CTRL', 0, 2, 1);

-- The vacuum flag column is declared in lower case; SQLite identifiers ignore
-- case, so the library's FLAG_VACUUM still selects it.
CREATE VIEW MIRAN_VIEW_COMPONENTS AS
SELECT NAME, REAL_NAME, NAME2, SECTION, GROUP_, CLASS, TYPE_, FRIENDLY_NAME,
       X, Y, Z, S, LINK_NAME,
       MAIN_BEAM AS FLAG_MAIN_BEAM, BPM AS FLAG_BPM, VACUUM AS flag_vacuum
FROM MIRAN_COMPONENTS
ORDER BY SEQ;

-- A facility whose view fails at its fifth row: SQLite evaluates rows one at
-- a time, so the first four are delivered before json() rejects its input.
CREATE TABLE BROKEN_ROWS (N INTEGER PRIMARY KEY);
INSERT INTO BROKEN_ROWS VALUES (1), (2), (3), (4), (5), (6), (7), (8);
CREATE VIEW BROKEN_VIEW_COMPONENTS AS
SELECT 'C' || N AS NAME, 'R' || N AS REAL_NAME, NULL AS NAME2, 'S1' AS SECTION, 'G' AS GROUP_,
       'CL' AS CLASS, 'T' AS TYPE_, 'Component ' || N AS FRIENDLY_NAME,
       CASE WHEN N < 5 THEN 1.0 / (5 - N) ELSE json('division by zero') END AS X,
       0.0 AS Y, N * 1.0 AS Z, N * 1.0 AS S, NULL AS LINK_NAME, 1 AS FLAG_MAIN_BEAM
FROM BROKEN_ROWS
ORDER BY N;

CREATE TABLE "quote's" (ANSWER INTEGER);
