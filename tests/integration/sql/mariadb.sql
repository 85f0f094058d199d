-- Schema of the MariaDB test server. Loaded by test_env.sh with the mariadb
-- client as root, after it has set @reader, @reader_password, @long_text and
-- @payload.
--
-- In MariaDB a schema is a database: TAVIK is a database of its own, so that
-- the library's TAVIK.<FACILITY>_VIEW_COMPONENTS is reached as written. Table
-- names are case-sensitive on Linux: the facility objects carry the upper-case
-- names that the library writes.

EXECUTE IMMEDIATE CONCAT('CREATE USER ', QUOTE(@reader), '@''%'' IDENTIFIED BY ',
                         QUOTE(@reader_password));

CREATE DATABASE zel_test CHARACTER SET utf8mb4 COLLATE utf8mb4_bin;
CREATE DATABASE TAVIK CHARACTER SET utf8mb4 COLLATE utf8mb4_bin;
USE zel_test;

-- Oracle-style data dictionary: owners, tables and columns in upper case, in
-- column order. The names compare byte for byte and trailing blanks count, as
-- in Oracle: the dictionary's own collation ignores case and accents and would
-- find "ärger_öl" for "ÄRGER_ÖL", and a padding collation "TAVIK " for "TAVIK".
CREATE VIEW ALL_TAB_COLUMNS AS
SELECT CONVERT(UPPER(TABLE_SCHEMA) USING utf8mb4) COLLATE utf8mb4_nopad_bin AS OWNER,
       CONVERT(UPPER(TABLE_NAME) USING utf8mb4) COLLATE utf8mb4_nopad_bin AS TABLE_NAME,
       CONVERT(UPPER(COLUMN_NAME) USING utf8mb4) COLLATE utf8mb4_nopad_bin AS COLUMN_NAME
FROM information_schema.COLUMNS
ORDER BY TABLE_SCHEMA, TABLE_NAME, ORDINAL_POSITION;

-- Rows for the ODBC layer tests: one with every value, one with NULLs only.
CREATE TABLE samples (
    id integer PRIMARY KEY,
    label varchar(40),
    amount double,
    count integer,
    long_text text,
    payload blob
);
INSERT INTO samples VALUES
    (1, 'alpha', 2.5, 42, @long_text, @payload),
    (2, NULL, NULL, NULL, NULL, NULL),
    (3, 'gamma', -1.25, -2147483648, 'short', X'00ff');

-- Values of 10 MiB (10485760 bytes) for the chunked reads, computed when read
-- so that no server stores them: the text "0000000,0000001,..." and the
-- big-endian 32-bit numbers 0, 1, 2, ... (seq_0_to_N is a table of the
-- SEQUENCE engine; the server allows GROUP_CONCAT results of 16 MiB).
CREATE VIEW big_values AS
SELECT (SELECT GROUP_CONCAT(LPAD(seq, 7, '0'), ',' ORDER BY seq SEPARATOR '')
        FROM seq_0_to_1310719) AS big_text,
       (SELECT GROUP_CONCAT(UNHEX(LPAD(HEX(seq), 8, '0')) ORDER BY seq SEPARATOR '')
        FROM seq_0_to_2621439) AS big_blob;

-- A stored procedure for the Procedure tests, which call it with bound
-- parameters. It writes into the caller's temporary table readings.
CREATE PROCEDURE add_reading(IN new_id integer, IN new_label varchar(16), IN new_value double)
    INSERT INTO readings (id, label, value) VALUES (new_id, new_label, new_value);

USE TAVIK;

-- The component table of facility MIRAN behind its view.
CREATE TABLE MIRAN_COMPONENTS (
    SEQ integer PRIMARY KEY,
    NAME varchar(300),
    REAL_NAME varchar(300),
    NAME2 varchar(300),
    SECTION varchar(300),
    GROUP_ varchar(300),
    CLASS varchar(300),
    TYPE_ varchar(300),
    FRIENDLY_NAME varchar(400),
    X double,
    Y double,
    Z double,
    S double,
    LINK_NAME varchar(300),
    MAIN_BEAM smallint,
    BPM smallint,
    VACUUM smallint
);
INSERT INTO MIRAN_COMPONENTS VALUES
    (1, 'QUAD_01', 'Q1.MAIN', 'Q01', 'S1', 'MAGNETS', 'QUADRUPOLE', 'QF',
     'Focusing quadrupole 1', 0.125, -0.5, 12.75, 13.0, 'QUAD_01_PS', 1, 0, NULL),
    (2, 'BPM_02', NULL, 'B02', 'S1', 'DIAGNOSTICS', 'BPM', 'STRIPLINE',
     'Beam position monitor 2', 1.5, 0.0, NULL, 20.5, NULL, 2, 1, 0),
    (3, 'LONG_03', NULL, NULL, NULL, NULL, NULL, NULL,
     CONCAT('Friendly name ', REPEAT('0123456789', 29)), NULL, NULL, NULL, NULL, '', NULL, NULL,
     1),
    (4, 'VALVE_04', 'V4.MAIN', 'V04', 'S2', 'VACUUM', 'VALVE', 'GATE',
     'Gate valve 4', -3.25, 1000.0, 250.5, -0.75, 'VALVE_04_CTRL', 0, 2, 1);

-- Column names ignore case in MariaDB: the lower-case alias of the vacuum flag
-- is listed upper-cased by the dictionary view and still selected by FLAG_VACUUM.
CREATE VIEW MIRAN_VIEW_COMPONENTS AS
SELECT NAME, REAL_NAME, NAME2, SECTION, GROUP_, CLASS, TYPE_, FRIENDLY_NAME,
       X, Y, Z, S, LINK_NAME,
       MAIN_BEAM AS FLAG_MAIN_BEAM, BPM AS FLAG_BPM, VACUUM AS flag_vacuum
FROM MIRAN_COMPONENTS
ORDER BY SEQ;

-- A facility whose view fails at its fifth row, after four good ones: a
-- streaming read sees the failure only there. MariaDB turns a division by
-- zero into NULL, so the fifth row signals an error of its own.
DELIMITER //
CREATE FUNCTION BROKEN_X(n integer) RETURNS double DETERMINISTIC
BEGIN
    IF n >= 5 THEN
        SIGNAL SQLSTATE '22012' SET MESSAGE_TEXT = 'division by zero';
    END IF;
    RETURN 1.0 / (5 - n);
END //
DELIMITER ;
CREATE TABLE BROKEN_ROWS (N integer PRIMARY KEY);
INSERT INTO BROKEN_ROWS VALUES (1), (2), (3), (4), (5), (6), (7), (8);
CREATE VIEW BROKEN_VIEW_COMPONENTS AS
SELECT CONCAT('C', N) AS NAME, CONCAT('R', N) AS REAL_NAME, NULL AS NAME2, 'S1' AS SECTION,
       'G' AS GROUP_, 'CL' AS CLASS, 'T' AS TYPE_, CONCAT('Component ', N) AS FRIENDLY_NAME,
       BROKEN_X(N) AS X, 0.0e0 AS Y, N * 1.0e0 AS Z, N * 1.0e0 AS S, NULL AS LINK_NAME,
       1 AS FLAG_MAIN_BEAM
FROM BROKEN_ROWS
ORDER BY N;

-- Names with a quote: a table that really has one, for the quoting of
-- dictionary lookups.
CREATE TABLE `quote's` (ANSWER integer);

-- Facility WIDE: three components with 1,000 flags FLAG_F0000 to FLAG_F0999.
-- Flag j of row r is NULL when (r + j) is a multiple of 7, else (r + j) mod 3.
CREATE TABLE WIDE_ROWS (R integer PRIMARY KEY);
INSERT INTO WIDE_ROWS VALUES (1), (2), (3);
SET SESSION max_recursive_iterations = 1000, SESSION group_concat_max_len = 1048576;
WITH RECURSIVE flag(j) AS (SELECT 0 UNION ALL SELECT j + 1 FROM flag WHERE j < 999)
SELECT CONCAT(
    'CREATE VIEW WIDE_VIEW_COMPONENTS AS SELECT CONCAT(''W'', R) AS NAME, ',
    'CONCAT(''WIDE_'', R) AS REAL_NAME, NULL AS NAME2, CONCAT(''S'', R) AS SECTION, ',
    '''G'' AS GROUP_, ''C'' AS CLASS, ''T'' AS TYPE_, ',
    'CONCAT(''Wide component '', R) AS FRIENDLY_NAME, R * 1.5e0 AS X, -R * 1.0e0 AS Y, ',
    'R * 10.0e0 AS Z, R * 10.25e0 AS S, CONCAT(''L'', R) AS LINK_NAME, ',
    GROUP_CONCAT(CONCAT('CASE WHEN (R + ', j, ') % 7 = 0 THEN NULL ELSE (R + ', j,
                        ') % 3 END AS FLAG_F', LPAD(j, 4, '0'))
                 ORDER BY j SEPARATOR ', '),
    ' FROM WIDE_ROWS ORDER BY R')
INTO @wide_view FROM flag;
EXECUTE IMMEDIATE @wide_view;

-- Facility SLOW: 40 rows, each taking 50 ms to compute and counted in the
-- sequence SLOW_PROGRESS as it is computed, so that a test can tell how far a
-- load has come and kill its connection or the server in the middle of it.
CREATE SEQUENCE SLOW_PROGRESS NOCACHE;
DELIMITER //
CREATE FUNCTION SLOW_ROW(n integer) RETURNS double NOT DETERMINISTIC MODIFIES SQL DATA
BEGIN
    DO SLEEP(0.05);
    DO NEXTVAL(SLOW_PROGRESS);
    RETURN n;
END //
DELIMITER ;
CREATE TABLE SLOW_ROWS (N integer PRIMARY KEY);
INSERT INTO SLOW_ROWS
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 40) SELECT i FROM n;
CREATE VIEW SLOW_VIEW_COMPONENTS AS
SELECT CONCAT('SLOW_', N) AS NAME, NULL AS REAL_NAME, NULL AS NAME2, 'S1' AS SECTION,
       'G' AS GROUP_, 'CL' AS CLASS, 'T' AS TYPE_, CONCAT('Slow component ', N) AS FRIENDLY_NAME,
       0.0e0 AS X, 0.0e0 AS Y, SLOW_ROW(N) AS Z, N * 1.0e0 AS S, NULL AS LINK_NAME,
       1 AS FLAG_MAIN_BEAM
FROM SLOW_ROWS;

-- A facility name with '#' meets MariaDB's comment sign: for facility "OPS#"
-- the statement reads TAVIK.OPS and nothing after it. This unrelated view is
-- what the test of that case then finds.
CREATE VIEW OPS AS
SELECT 'NOT_OPS_HASH' AS NAME, NULL AS REAL_NAME, NULL AS NAME2, NULL AS SECTION,
       NULL AS GROUP_, NULL AS CLASS, NULL AS TYPE_, NULL AS FRIENDLY_NAME,
       0.0e0 AS X, 0.0e0 AS Y, 0.0e0 AS Z, 0.0e0 AS S, NULL AS LINK_NAME;

-- Tables whose names hold a semicolon, a line feed and non-ASCII letters
-- (already upper case: the library folds ASCII letters only).
CREATE TABLE `SEMI;COLON` (SEMI integer);
CREATE TABLE `LINE
FEED` (LINE integer);
CREATE TABLE `ÄRGER_ÖL` (UMLAUT integer);

EXECUTE IMMEDIATE CONCAT('GRANT SELECT ON zel_test.* TO ', QUOTE(@reader), '@''%''');
-- The Procedure tests create temporary tables and call add_reading; the
-- vanishing-view tests create and drop views of their own in TAVIK, and the
-- query cache tests a table of their own.
EXECUTE IMMEDIATE CONCAT('GRANT CREATE TEMPORARY TABLES, EXECUTE ON zel_test.* TO ',
                         QUOTE(@reader), '@''%''');
EXECUTE IMMEDIATE CONCAT('GRANT SELECT, INSERT, CREATE, CREATE VIEW, DROP ON TAVIK.* TO ',
                         QUOTE(@reader), '@''%''');
-- The fault tests end a loading connection with KILL. While that connection
-- runs SLOW_ROW it acts as the view's definer, not as the reader, so the
-- reader may end it only as a connection administrator.
EXECUTE IMMEDIATE CONCAT('GRANT CONNECTION ADMIN ON *.* TO ', QUOTE(@reader), '@''%''');
