#!/usr/bin/env bash
# Throwaway database servers and ODBC configuration for the integration tests.
#
#   test_env.sh start   WORK_DIR SOURCE_DIR  set everything up (ctest fixture setup)
#   test_env.sh stop    WORK_DIR             stop every server (ctest fixture cleanup)
#   test_env.sh halt    WORK_DIR SERVER      stop one server (fast shutdown)
#   test_env.sh crash   WORK_DIR SERVER      stop one server at once, as a crash would
#   test_env.sh resume  WORK_DIR SERVER      start it again on its port, unless it runs
#
# SERVER is a PostgreSQL cluster name, or "mariadb-" and a MariaDB server name.
#
# "start" creates, below WORK_DIR:
#   - PostgreSQL 15 clusters, each listening on 127.0.0.1 only, on a free
#     port, with its socket inside its own folder: "main" for all tests, and
#     one for each test that stops or kills its server ("outage", "kill",
#     "restart", "cache"), so that tests running in parallel never see each other's
#     outages;
#   - MariaDB 10.11 servers made the same way, each with its own data folder
#     from mariadb-install-db and its own socket: "main" for all tests, and
#     "outage" and "kill" for the tests that stop or kill their server;
#   - the SQLite files zel_test.sqlite (data source database, with the data
#     dictionary view and two values of 10 MiB) and tavik.sqlite (attached by
#     the tests as TAVIK);
#   - odbcinst.ini and odbc.ini, reached by the tests through ODBCSYSINI and
#     ODBCINI.
# Nothing system-wide is changed; only a cluster that the server user cannot
# reach below WORK_DIR gets a private temporary folder instead (cluster_dir).
# initdb refuses to run as root, so as root the servers run as "postgres"
# and "mysql".
set -euo pipefail

readonly pg_bin=/usr/lib/postgresql/15/bin
readonly clusters=(main outage kill restart cache)
readonly mariadb_servers=(main outage kill)
readonly admin=zel_admin
readonly database=zel_test
# Must match the credentials in the tests (test_env.h).
readonly reader=tavik_reader
readonly reader_password=miran-reader-pw

die() {
    echo "test_env.sh: $*" >&2
    exit 1
}

# The servers run as their own users ("postgres", "mysql") when we run as
# root; otherwise as we are.
give_to() {
    local user=$1
    shift
    if [ "$(id -u)" -eq 0 ]; then
        chown "$user": "$@"
    fi
}

run_as() {
    local user=$1
    shift
    if [ "$(id -u)" -eq 0 ]; then
        # From a folder that the server user can enter: the caller's working
        # directory may be a private scratch folder. All paths are absolute.
        (cd / && runuser -u "$user" -- "$@")
    else
        "$@"
    fi
}

# The folder of server NAME of KIND ("pg" or "mariadb"). It lies in the build
# tree unless the server user cannot reach it there or the socket path would
# be too long; then it lies in a private temporary folder whose path is kept
# in WORK_DIR.
server_dir() {
    local work=$1 kind=$2 name=$3
    if [ -f "$work/$kind-$name.location" ]; then
        cat "$work/$kind-$name.location"
    else
        echo "$work/$kind-$name"
    fi
}

make_server_dir() {
    local work=$1 kind=$2 name=$3 user=$4 dir="$1/$2-$3"
    mkdir -p "$dir"
    give_to "$user" "$dir"
    if [ ${#dir} -gt 80 ] || ! run_as "$user" test -w "$dir"; then
        rm -rf "$dir"
        dir=$(mktemp -d "${TMPDIR:-/tmp}/zel_sql_${kind}_$name.XXXXXX")
        give_to "$user" "$dir"
        echo "$dir" >"$work/$kind-$name.location"
    fi
    chmod 700 "$dir"
    echo "$dir"
}

give_to_server_user() { give_to postgres "$@"; }
as_server_user() { run_as postgres "$@"; }
cluster_dir() { server_dir "$1" pg "$2"; }
make_cluster_dir() { make_server_dir "$1" pg "$2" postgres; }

port_in_use() {
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

# Starts the server of a cluster on the port recorded in its folder.
start_server() {
    local dir=$1 port
    port=$(cat "$dir/port")
    as_server_user "$pg_bin/pg_ctl" start -w -t 30 -D "$dir/data" -l "$dir/server.log" \
        -o "-c listen_addresses=127.0.0.1 -c port=$port -c unix_socket_directories=$dir \
            -c fsync=off -c synchronous_commit=off -c full_page_writes=off" >/dev/null
}

stop_server() {
    local dir=$1 mode=${2:-fast}
    [ -f "$dir/data/postmaster.pid" ] || return 0
    as_server_user "$pg_bin/pg_ctl" stop -w -t 30 -m "$mode" -D "$dir/data" >/dev/null
}

server_running() {
    as_server_user "$pg_bin/pg_ctl" status -D "$1/data" >/dev/null
}

# A new cluster: initdb, or a copy of the stopped cluster `template` (cheaper).
init_cluster() {
    local work=$1 name=$2 template=${3:-} dir
    dir=$(make_cluster_dir "$work" "$name")
    if [ -n "$template" ]; then
        as_server_user cp -a "$(cluster_dir "$work" "$template")/data" "$dir/data"
        return 0
    fi
    # Small WAL segments keep each copy of the cluster small.
    as_server_user "$pg_bin/initdb" -D "$dir/data" -U "$admin" -E UTF8 --locale=C.UTF-8 --no-sync \
        --wal-segsize=1 --auth-local=trust --auth-host=scram-sha-256 >"$dir/initdb.log" 2>&1 ||
        die "initdb of cluster $name failed: $(cat "$dir/initdb.log")"
}

# Starts the server of a new cluster on the first free port where it comes up.
start_on_free_port() {
    local work=$1 name=$2 dir attempt port
    dir=$(cluster_dir "$work" "$name")
    for attempt in $(seq 1 20); do
        port=$((20000 + (RANDOM * 7 + attempt) % 40000))
        port_in_use "$port" && continue
        echo "$port" >"$dir/port"
        give_to_server_user "$dir/port"
        if start_server "$dir"; then
            echo "$port" >"$work/pg-$name.port"
            return 0
        fi
        grep -q "could not bind" "$dir/server.log" 2>/dev/null ||
            die "server of cluster $name did not start: $(cat "$dir/server.log" 2>/dev/null)"
    done
    die "found no free port for cluster $name"
}

psql_admin() {
    local dir=$1 db=$2
    shift 2
    as_server_user "$pg_bin/psql" -X -q -v ON_ERROR_STOP=1 -h "$dir" -p "$(cat "$dir/port")" \
        -U "$admin" -d "$db" "$@"
}

# The long values of the sample rows: 2500 characters "0000,0001,...,0499,"
# and 5000 bytes where byte i is (7 i + 3) mod 256.
long_text() { printf '%04d,' $(seq 0 499); }
payload_hex() {
    local i
    for ((i = 0; i < 5000; i++)); do printf '%02x' $(((7 * i + 3) % 256)); done
}

load_postgres_schema() {
    local dir=$1 source=$2
    psql_admin "$dir" postgres -c "CREATE DATABASE $database"
    psql_admin "$dir" "$database" -v reader="$reader" -v reader_password="$reader_password" \
        -v long_text="$(long_text)" -v payload_hex="$(payload_hex)" \
        -f - <"$source/sql/postgres.sql"
}

# The view of facility WIDE with its 1,000 flag columns (see sqlite_tavik.sql).
sqlite_wide_view() {
    local j
    printf "CREATE VIEW WIDE_VIEW_COMPONENTS AS SELECT 'W' || R AS NAME, 'WIDE_' || R AS REAL_NAME,"
    printf " NULL AS NAME2, 'S' || R AS SECTION, 'G' AS GROUP_, 'C' AS CLASS, 'T' AS TYPE_,"
    printf " 'Wide component ' || R AS FRIENDLY_NAME, R * 1.5 AS X, -R * 1.0 AS Y, R * 10.0 AS Z,"
    printf " R * 10.25 AS S, 'L' || R AS LINK_NAME"
    for ((j = 0; j < 1000; j++)); do
        printf ", CASE WHEN (R + %d) %% 7 = 0 THEN NULL ELSE (R + %d) %% 3 END AS FLAG_F%04d" \
            "$j" "$j" "$j"
    done
    printf " FROM WIDE_ROWS ORDER BY R;\n"
}

load_sqlite_schema() {
    local work=$1 source=$2
    rm -f "$work/zel_test.sqlite" "$work/tavik.sqlite"
    # The 10 MiB values of the chunked-read tests; PostgreSQL computes the same.
    perl -e 'printf("%07d,", $_) for 0 .. 1310719' >"$work/big_text.bin"
    perl -e 'print pack("N*", 0 .. 2621439)' >"$work/big_blob.bin"
    {
        echo ".parameter set :long_text '$(long_text)'"
        echo ".parameter set :payload X'$(payload_hex)'"
        echo ".parameter set :big_text_file '$work/big_text.bin'"
        echo ".parameter set :big_blob_file '$work/big_blob.bin'"
        cat "$source/sql/sqlite_main.sql"
    } | sqlite3 -bail "$work/zel_test.sqlite"
    rm -f "$work/big_text.bin" "$work/big_blob.bin"
    {
        cat "$source/sql/sqlite_tavik.sql"
        sqlite_wide_view
    } | sqlite3 -bail "$work/tavik.sqlite"
}

# --- MariaDB ----------------------------------------------------------------

as_mariadb_user() { run_as mysql "$@"; }
mariadb_dir() { server_dir "$1" mariadb "$2"; }
make_mariadb_dir() { make_server_dir "$1" mariadb "$2" mysql; }

mariadb_admin() {
    local dir=$1
    shift
    mariadb-admin --no-defaults --socket="$dir/mariadbd.sock" --user=root "$@"
}

mariadb_running() {
    local dir=$1
    [ -f "$dir/mariadbd.pid" ] && kill -0 "$(cat "$dir/mariadbd.pid")" 2>/dev/null
}

# Starts the server in a folder on the port recorded there and waits until it
# answers. The server runs in a session of its own, detached from the caller's
# output, so that ctest does not wait for it.
start_mariadb() {
    local dir=$1 port attempt
    port=$(cat "$dir/port")
    rm -f "$dir/mariadbd.pid"
    as_mariadb_user setsid mariadbd --no-defaults --datadir="$dir/data" \
        --bind-address=127.0.0.1 --port="$port" --socket="$dir/mariadbd.sock" \
        --pid-file="$dir/mariadbd.pid" --log-error="$dir/server.log" --skip-name-resolve \
        --innodb-buffer-pool-size=32M --innodb-flush-log-at-trx-commit=0 \
        --innodb-doublewrite=0 --max-allowed-packet=64M --group-concat-max-len=16M \
        </dev/null >/dev/null 2>&1 &
    local server=$!
    for attempt in $(seq 1 300); do
        if mariadb_admin "$dir" --silent ping >/dev/null 2>&1; then
            return 0
        fi
        kill -0 "$server" 2>/dev/null || return 1
        sleep 0.1
    done
    return 1
}

stop_mariadb() {
    local dir=$1 mode=${2:-fast}
    mariadb_running "$dir" || return 0
    if [ "$mode" = immediate ]; then
        local pid
        pid=$(cat "$dir/mariadbd.pid")
        kill -KILL "$pid"
        while kill -0 "$pid" 2>/dev/null; do sleep 0.05; done
        rm -f "$dir/mariadbd.pid"
    else
        # Waits until the server has gone.
        mariadb_admin "$dir" shutdown
    fi
}

# Data folders for every MariaDB server: one mariadb-install-db, then copies.
init_mariadb() {
    local work=$1 name first dir
    first=$(make_mariadb_dir "$work" "${mariadb_servers[0]}")
    as_mariadb_user mariadb-install-db --no-defaults --datadir="$first/data" \
        --auth-root-authentication-method=normal --skip-test-db --skip-name-resolve \
        --innodb-log-file-size=8M >"$first/install.log" 2>&1 ||
        die "mariadb-install-db failed: $(cat "$first/install.log")"
    for name in "${mariadb_servers[@]:1}"; do
        dir=$(make_mariadb_dir "$work" "$name")
        as_mariadb_user cp -a "$first/data" "$dir/data"
    done
}

start_mariadb_on_free_port() {
    local work=$1 name=$2 dir attempt port
    dir=$(mariadb_dir "$work" "$name")
    for attempt in $(seq 1 20); do
        port=$((20000 + (RANDOM * 7 + attempt) % 40000))
        port_in_use "$port" && continue
        echo "$port" >"$dir/port"
        if start_mariadb "$dir"; then
            echo "$port" >"$work/mariadb-$name.port"
            return 0
        fi
        grep -q "Bind on TCP/IP port" "$dir/server.log" 2>/dev/null ||
            die "MariaDB server $name did not start: $(cat "$dir/server.log" 2>/dev/null)"
    done
    die "found no free port for MariaDB server $name"
}

load_mariadb_schema() {
    local dir=$1 source=$2
    {
        echo "SET @reader = '$reader', @reader_password = '$reader_password';"
        echo "SET @long_text = '$(long_text)', @payload = X'$(payload_hex)';"
        cat "$source/sql/mariadb.sql"
    } | mariadb --no-defaults --socket="$dir/mariadbd.sock" --user=root --batch \
        >"$dir/load.log" 2>&1 ||
        die "loading the MariaDB schema failed: $(cat "$dir/load.log")"
}

find_driver() {
    local file=$1 path
    for path in /usr/lib/*/odbc/"$file" /usr/lib/odbc/"$file" /usr/lib64/"$file"; do
        if [ -f "$path" ]; then
            echo "$path"
            return 0
        fi
    done
    die "ODBC driver $file not found"
}

write_odbc_config() {
    local work=$1 main_port outage_port kill_port restart_port cache_port
    main_port=$(cat "$work/pg-main.port")
    outage_port=$(cat "$work/pg-outage.port")
    kill_port=$(cat "$work/pg-kill.port")
    restart_port=$(cat "$work/pg-restart.port")
    cache_port=$(cat "$work/pg-cache.port")
    local mariadb_main_port mariadb_outage_port mariadb_kill_port
    mariadb_main_port=$(cat "$work/mariadb-main.port")
    mariadb_outage_port=$(cat "$work/mariadb-outage.port")
    mariadb_kill_port=$(cat "$work/mariadb-kill.port")
    cat >"$work/odbcinst.ini" <<INI
[ZEL PostgreSQL Unicode]
Driver=$(find_driver psqlodbcw.so)

[ZEL PostgreSQL ANSI]
Driver=$(find_driver psqlodbca.so)

[ZEL SQLite]
Driver=$(find_driver libsqlite3odbc.so)

[ZEL MariaDB]
Driver=$(find_driver libmaodbc.so)
INI
    cat >"$work/odbc.ini" <<INI
[zel_pg_unicode]
Driver=ZEL PostgreSQL Unicode
Servername=127.0.0.1
Port=$main_port
Database=$database
SSLmode=disable

[zel_pg_ansi]
Driver=ZEL PostgreSQL ANSI
Servername=127.0.0.1
Port=$main_port
Database=$database
SSLmode=disable

[zel_pg_cursor]
Driver=ZEL PostgreSQL Unicode
Servername=127.0.0.1
Port=$main_port
Database=$database
SSLmode=disable
UseDeclareFetch=1
Fetch=2

[zel_pg_outage]
Driver=ZEL PostgreSQL Unicode
Servername=127.0.0.1
Port=$outage_port
Database=$database
SSLmode=disable

[zel_pg_kill]
Driver=ZEL PostgreSQL Unicode
Servername=127.0.0.1
Port=$kill_port
Database=$database
SSLmode=disable
UseDeclareFetch=1
Fetch=2

[zel_pg_restart]
Driver=ZEL PostgreSQL Unicode
Servername=127.0.0.1
Port=$restart_port
Database=$database
SSLmode=disable

[zel_pg_cache]
Driver=ZEL PostgreSQL Unicode
Servername=127.0.0.1
Port=$cache_port
Database=$database
SSLmode=disable

[zel_sqlite]
Driver=ZEL SQLite
Database=$work/zel_test.sqlite
Timeout=5000
StepAPI=1

[zel_mariadb]
Driver=ZEL MariaDB
Server=127.0.0.1
Port=$mariadb_main_port
Database=$database

[zel_mariadb_outage]
Driver=ZEL MariaDB
Server=127.0.0.1
Port=$mariadb_outage_port
Database=$database

[zel_mariadb_kill]
Driver=ZEL MariaDB
Server=127.0.0.1
Port=$mariadb_kill_port
Database=$database
INI
}

# Waits for every background job given and fails if any of them failed; each
# job has already said why.
wait_for_jobs() {
    local job failed=0
    for job in "$@"; do
        wait "$job" || failed=1
    done
    [ "$failed" -eq 0 ] || die "setting up the clusters failed"
}

stop_all() {
    local work=$1 name dir
    for name in "${clusters[@]}"; do
        dir=$(cluster_dir "$work" "$name")
        [ -d "$dir" ] || continue
        stop_server "$dir" || true
        if [ -f "$work/pg-$name.location" ]; then
            rm -rf "$dir" "$work/pg-$name.location"
        fi
    done
    for name in "${mariadb_servers[@]}"; do
        dir=$(mariadb_dir "$work" "$name")
        [ -d "$dir" ] || continue
        stop_mariadb "$dir" || stop_mariadb "$dir" immediate || true
        if [ -f "$work/mariadb-$name.location" ]; then
            rm -rf "$dir" "$work/mariadb-$name.location"
        fi
    done
}

main() {
    [ $# -ge 2 ] || die "usage: test_env.sh start|stop|halt|crash|resume WORK_DIR [SOURCE_DIR|SERVER]"
    local command=$1 work name
    # The data source files are named by absolute paths: tests change directory.
    work=$(realpath -m "$2")
    case $command in
    start)
        [ $# -eq 3 ] || die "start needs WORK_DIR and SOURCE_DIR"
        local source
        source=$(realpath "$3")
        [ -x "$pg_bin/initdb" ] || die "PostgreSQL 15 is not installed ($pg_bin/initdb missing)"
        command -v sqlite3 >/dev/null || die "sqlite3 is not installed"
        command -v mariadbd >/dev/null || die "MariaDB is not installed (mariadbd missing)"
        [ -d "$work" ] && stop_all "$work"
        rm -rf "$work"
        mkdir -p "$work"
        command -v perl >/dev/null || die "perl is not installed"
        # The servers are independent of each other: set them up side by side.
        local jobs=()
        init_mariadb "$work" &
        jobs+=($!)
        init_cluster "$work" main
        for name in "${clusters[@]:1}"; do
            init_cluster "$work" "$name" main &
            jobs+=($!)
        done
        wait_for_jobs "${jobs[@]}"
        jobs=()
        for name in "${clusters[@]}"; do
            (
                start_on_free_port "$work" "$name"
                load_postgres_schema "$(cluster_dir "$work" "$name")" "$source"
            ) &
            jobs+=($!)
        done
        for name in "${mariadb_servers[@]}"; do
            (
                start_mariadb_on_free_port "$work" "$name"
                load_mariadb_schema "$(mariadb_dir "$work" "$name")" "$source"
            ) &
            jobs+=($!)
        done
        load_sqlite_schema "$work" "$source"
        wait_for_jobs "${jobs[@]}"
        write_odbc_config "$work"
        ;;
    stop) stop_all "$work" ;;
    halt | crash | resume)
        [ $# -eq 3 ] || die "$command needs WORK_DIR and SERVER"
        local mode=fast dir
        [ "$command" = crash ] && mode=immediate
        case $3 in
        mariadb-*)
            dir=$(mariadb_dir "$work" "${3#mariadb-}")
            if [ "$command" = resume ]; then
                mariadb_running "$dir" || start_mariadb "$dir" ||
                    die "MariaDB server ${3#mariadb-} did not start again"
            else
                stop_mariadb "$dir" "$mode"
            fi
            ;;
        *)
            dir=$(cluster_dir "$work" "$3")
            if [ "$command" = resume ]; then
                server_running "$dir" || start_server "$dir"
            else
                stop_server "$dir" "$mode"
            fi
            ;;
        esac
        ;;
    *) die "unknown command $command" ;;
    esac
}

main "$@"
