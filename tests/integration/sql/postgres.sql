-- Schema of the PostgreSQL test database. Loaded by test_env.sh with psql,
-- which supplies :reader, :reader_password, :long_text and :payload_hex.

CREATE ROLE :"reader" LOGIN PASSWORD :'reader_password';

-- Oracle-style data dictionary: owners, tables and columns in upper case, as
-- Oracle shows unquoted identifiers, in column order.
CREATE VIEW public.all_tab_columns AS
SELECT upper(table_schema::text) AS owner,
       upper(table_name::text) AS table_name,
       upper(column_name::text) AS column_name
FROM information_schema.columns
ORDER BY table_schema, table_name, ordinal_position;

-- Rows for the ODBC layer tests: one with every value, one with NULLs only.
CREATE TABLE public.samples (
    id integer PRIMARY KEY,
    label varchar(40),
    amount double precision,
    count integer,
    long_text text,
    payload bytea
);
INSERT INTO public.samples VALUES
    (1, 'alpha', 2.5, 42, :'long_text', decode(:'payload_hex', 'hex')),
    (2, NULL, NULL, NULL, NULL, NULL),
    (3, 'gamma', -1.25, -2147483648, 'short', '\x00ff'::bytea);

CREATE SCHEMA tavik;

-- The component table of facility MIRAN behind its view. Unquoted identifiers
-- fold to lower case in PostgreSQL; the library's upper-case unquoted names
-- fold the same way and so find them.
CREATE TABLE tavik.miran_components (
    seq integer PRIMARY KEY,
    name varchar(300),
    real_name varchar(300),
    name2 varchar(300),
    section varchar(300),
    group_ varchar(300),
    class varchar(300),
    type_ varchar(300),
    friendly_name varchar(400),
    x double precision,
    y double precision,
    z double precision,
    s double precision,
    link_name varchar(300),
    main_beam smallint,
    bpm smallint,
    vacuum smallint
);
INSERT INTO tavik.miran_components VALUES
    (1, 'QUAD_01', 'Q1.MAIN', 'Q01', 'S1', 'MAGNETS', 'QUADRUPOLE', 'QF',
     'Focusing quadrupole 1', 0.125, -0.5, 12.75, 13.0, 'QUAD_01_PS', 1, 0, NULL),
    (2, 'BPM_02', NULL, 'B02', 'S1', 'DIAGNOSTICS', 'BPM', 'STRIPLINE',
     'Beam position monitor 2', 1.5, 0.0, NULL, 20.5, NULL, 2, 1, 0),
    (3, 'LONG_03', NULL, NULL, NULL, NULL, NULL, NULL,
     'Friendly name ' || repeat('0123456789', 29), NULL, NULL, NULL, NULL, '', NULL, NULL, 1),
    (4, 'VALVE_04', 'V4.MAIN', 'V04', 'S2', 'VACUUM', 'VALVE', 'GATE',
     'Gate valve 4', -3.25, 1000.0, 250.5, -0.75, 'VALVE_04_CTRL', 0, 2, 1);

CREATE VIEW tavik.miran_view_components AS
SELECT name, real_name, name2, section, group_, class, type_, friendly_name,
       x, y, z, s, link_name,
       main_beam AS flag_main_beam, bpm AS flag_bpm, vacuum AS flag_vacuum
FROM tavik.miran_components
ORDER BY seq;

-- A facility whose view fails at its fifth row (division by zero), after
-- four good ones: a cursor-based fetch sees the failure only there.
CREATE VIEW tavik.broken_view_components AS
SELECT 'C' || n AS name, 'R' || n AS real_name, NULL::text AS name2, 'S1' AS section,
       'G' AS group_, 'CL' AS class, 'T' AS type_, 'Component ' || n AS friendly_name,
       (1.0 / (5 - n))::double precision AS x, 0.0::double precision AS y,
       n::double precision AS z, n::double precision AS s, NULL::text AS link_name,
       1::smallint AS flag_main_beam
FROM generate_series(1, 8) AS n;

-- Names with a quote: a table that really has one, for the quoting of
-- dictionary lookups.
CREATE TABLE tavik."quote's" (answer integer);

-- Values of 10 MiB (10485760 bytes) for the chunked reads, computed when read
-- so that no cluster stores them: the text is "0000000,0000001,..." and the
-- bytes are the big-endian 32-bit numbers 0, 1, 2, ... A function scan
-- delivers its rows in order; the tests compare every byte anyway.
CREATE VIEW public.big_values AS
SELECT (SELECT string_agg(lpad(i::text, 7, '0') || ',', '')
        FROM generate_series(0, 1310719) AS i) AS big_text,
       (SELECT string_agg(int4send(i), '')
        FROM generate_series(0, 2621439) AS i) AS big_blob;

-- Facility WIDE: three components with 1,000 flags FLAG_F0000 to FLAG_F0999.
-- Flag j of row r is NULL when (r + j) is a multiple of 7, else (r + j) mod 3.
CREATE TABLE tavik.wide_rows (r integer PRIMARY KEY);
INSERT INTO tavik.wide_rows VALUES (1), (2), (3);
DO $$
BEGIN
    EXECUTE 'CREATE VIEW tavik.wide_view_components AS SELECT '
        || '''W'' || r AS name, ''WIDE_'' || r AS real_name, NULL::text AS name2, '
        || '''S'' || r AS section, ''G'' AS group_, ''C'' AS class, ''T'' AS type_, '
        || '''Wide component '' || r AS friendly_name, r * 1.5::double precision AS x, '
        || '-r::double precision AS y, r * 10.0::double precision AS z, '
        || 'r * 10.25::double precision AS s, ''L'' || r AS link_name, '
        || (SELECT string_agg(format('CASE WHEN (r + %1$s) %% 7 = 0 THEN NULL '
                                     'ELSE ((r + %1$s) %% 3)::smallint END AS flag_f%2$s',
                                     j, lpad(j::text, 4, '0')), ', ' ORDER BY j)
            FROM generate_series(0, 999) AS j)
        || ' FROM tavik.wide_rows ORDER BY r';
END
$$;

-- Facility SLOW: 40 rows, each taking 50 ms to compute and counted in the
-- sequence slow_progress as it is computed, so that a test can tell how far a
-- load has come and kill the server in the middle of it.
CREATE SEQUENCE tavik.slow_progress;
CREATE FUNCTION tavik.slow_row(n integer) RETURNS double precision
LANGUAGE plpgsql VOLATILE AS $$
BEGIN
    PERFORM pg_sleep(0.05);
    PERFORM nextval('tavik.slow_progress');
    RETURN n;
END
$$;
CREATE VIEW tavik.slow_view_components AS
SELECT 'SLOW_' || n AS name, NULL::text AS real_name, NULL::text AS name2, 'S1' AS section,
       'G' AS group_, 'CL' AS class, 'T' AS type_, 'Slow component ' || n AS friendly_name,
       0.0::double precision AS x, 0.0::double precision AS y, tavik.slow_row(n) AS z,
       n::double precision AS s, NULL::text AS link_name, 1::smallint AS flag_main_beam
FROM generate_series(1, 40) AS n;

-- Tables whose names hold a semicolon, a line feed and non-ASCII letters
-- (already upper case: the library folds ASCII letters only).
CREATE TABLE tavik."SEMI;COLON" (semi integer);
CREATE TABLE tavik."LINE
FEED" (line integer);
CREATE TABLE tavik."ÄRGER_ÖL" (umlaut integer);

GRANT USAGE ON SCHEMA tavik TO :"reader";
GRANT SELECT ON ALL TABLES IN SCHEMA tavik TO :"reader";
GRANT SELECT ON public.samples, public.all_tab_columns, public.big_values TO :"reader";
GRANT SELECT, USAGE ON SEQUENCE tavik.slow_progress TO :"reader";
-- The vanishing-view tests create and drop views of their own in TAVIK.
GRANT CREATE ON SCHEMA tavik TO :"reader";
