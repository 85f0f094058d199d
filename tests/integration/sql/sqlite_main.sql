-- The SQLite data source database. Loaded by test_env.sh with the sqlite3
-- shell, which supplies the parameters :long_text and :payload.

-- Oracle-style data dictionary over every schema of the connection, attached
-- ones included: an attached database TAVIK lists its tables with OWNER
-- 'TAVIK'. Names keep the spelling of their declaration.
CREATE VIEW ALL_TAB_COLUMNS AS
SELECT UPPER(t.schema) AS OWNER, t.name AS TABLE_NAME, c.name AS COLUMN_NAME
FROM pragma_table_list AS t
JOIN pragma_table_info(t.name, t.schema) AS c
WHERE t.name NOT LIKE 'sqlite\_%' ESCAPE '\'
ORDER BY t.schema, t.name, c.cid;

CREATE TABLE samples (
    id INTEGER PRIMARY KEY,
    label VARCHAR(40),
    amount DOUBLE,
    count INTEGER,
    long_text TEXT,
    payload BLOB
);
INSERT INTO samples VALUES
    (1, 'alpha', 2.5, 42, :long_text, :payload),
    (2, NULL, NULL, NULL, NULL, NULL),
    (3, 'gamma', -1.25, -2147483648, 'short', X'00ff');

-- Values of 10 MiB (10485760 bytes) for the chunked reads, from files that
-- test_env.sh writes: the text "0000000,0000001,..." and the big-endian 32-bit
-- numbers 0, 1, 2, ...
CREATE TABLE big_values (big_text TEXT, big_blob BLOB);
INSERT INTO big_values
VALUES (CAST(readfile(:big_text_file) AS TEXT), readfile(:big_blob_file));
