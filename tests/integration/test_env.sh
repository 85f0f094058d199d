#!/usr/bin/env bash
# Throwaway database servers and ODBC configuration for the integration tests
# (and the Python tests, which use the same data sources). The servers are
# started and stopped by scripts/lib/servers.sh; the reader's login and the
# name of the TAVIK file come from backends.ini, which the tests read too.
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
#   - PostgreSQL clusters (of the newest server installed), each listening on 127.0.0.1 only, on a free
#     port, with its socket inside its own folder: "main" for all tests, and
#     one for each test that stops, kills or pauses its server ("outage",
#     "kill", "restart", "cache", "wait"), so that tests running in parallel never see each other's
#     outages;
#   - MariaDB 10.11 servers made the same way, each with its own data folder
#     from mariadb-install-db and its own socket: "main" for all tests, and
#     "outage", "kill" and "wait" for the tests that stop, kill or pause their
#     server;
#   - a replicated pair of each kind for the standby tests: PostgreSQL
#     "primary" with its hot standby "standby" (a base backup that streams
#     from it), and MariaDB "primary", which writes a binary log, with its GTID
#     replica "standby"; the schema is loaded on the primaries only and reaches
#     the standbys by replication, which the setup waits for;
#   - two free ports on 127.0.0.1, silent-pg.port and silent-mariadb.port,
#     where the bounded-wait tests listen themselves: a listener that accepts
#     and never answers, behind each driver;
#   - the SQLite files zel_test.sqlite (data source database, with the data
#     dictionary view and two values of 10 MiB) and tavik.sqlite (attached by
#     the tests as TAVIK; named in backends.ini);
#   - odbcinst.ini and odbc.ini, reached by the tests through ODBCSYSINI and
#     ODBCINI.
# Nothing system-wide is changed; only a cluster that the server user cannot
# reach below WORK_DIR gets a private temporary folder instead (server_dir).
# As root the servers run as "postgres" and "mysql".
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
servers_caller=test_env.sh
# shellcheck source=scripts/lib/servers.sh
. "$root/scripts/lib/servers.sh"

readonly clusters=(main outage kill restart cache wait primary)
readonly mariadb_servers=(main outage kill wait primary standby)
# The PostgreSQL clusters made as standbys of another: "standby" follows
# "primary". The MariaDB pair is made by mariadb_settings_of and
# start_mariadb_pair.
readonly pg_standbys=(standby)
readonly replication_user=zel_replication
readonly replication_password=zel-replication-pw
readonly admin=zel_admin
readonly database=zel_test
# The settings of every server, at its first start and at each restart.
readonly pg_settings=(-c fsync=off -c synchronous_commit=off -c full_page_writes=off)
readonly mariadb_settings=(--innodb-buffer-pool-size=32M --innodb-flush-log-at-trx-commit=0
    --innodb-doublewrite=0 --max-allowed-packet=64M --group-concat-max-len=16M)

die() { servers_die "$@"; }

# The settings of MariaDB server NAME: the shared ones, and for the replicated
# pair a server id of each and the primary's binary log (which takes the
# schema's functions as they are declared). The replica is read
# only, as a standby is; replication itself still writes.
mariadb_settings_of() {
    local extra=()
    case $1 in
    primary) extra=(--server-id=1 --log-bin=mariadb-bin --log-bin-trust-function-creators=ON) ;;
    standby) extra=(--server-id=2 --relay-log=relay-bin --read-only=ON) ;;
    esac
    echo "${mariadb_settings[@]}" "${extra[@]}"
}

# The value of KEY in [SECTION] of backends.ini, the description of the data
# sources that the tests read too.
backends_ini="$root/tests/integration/backends.ini"
ini_value() {
    local section=$1 key=$2 value
    value=$(awk -v section="[$section]" -v key="$key" '
        /^[[:space:]]*\[/ { inside = ($0 == section); next }
        inside && $0 ~ "^[[:space:]]*" key "[[:space:]]*=" {
            sub(/^[^=]*=[[:space:]]*/, ""); sub(/[[:space:]]+$/, ""); print; exit
        }' "$backends_ini")
    [ -n "$value" ] || die "$backends_ini has no $key in [$section]"
    echo "$value"
}
reader=$(ini_value reader user)
reader_password=$(ini_value reader password)
tavik_file=$(ini_value tavik sqlite_file)
readonly reader reader_password tavik_file

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
    server_give_to "$user" "$dir"
    if [ ${#dir} -gt 80 ] || ! server_run_as "$user" test -w "$dir"; then
        rm -rf "$dir"
        dir=$(mktemp -d "${TMPDIR:-/tmp}/zel_sql_${kind}_$name.XXXXXX")
        server_give_to "$user" "$dir"
        echo "$dir" >"$work/$kind-$name.location"
    fi
    chmod 700 "$dir"
    echo "$dir"
}

cluster_dir() { server_dir "$1" pg "$2"; }
make_cluster_dir() { make_server_dir "$1" pg "$2" postgres; }

# A new cluster: initdb, or a copy of the stopped cluster `template` (cheaper).
init_cluster() {
    local work=$1 name=$2 template=${3:-} dir
    dir=$(make_cluster_dir "$work" "$name")
    if [ -n "$template" ]; then
        server_run_as postgres cp -a "$(cluster_dir "$work" "$template")/data" "$dir/data"
        return 0
    fi
    # Small WAL segments keep each copy of the cluster small.
    pg_init "$dir" -U "$admin" -E UTF8 --locale=C.UTF-8 --no-sync --wal-segsize=1 \
        --auth-local=trust --auth-host=scram-sha-256
}

# The PostgreSQL pair: the primary with its schema, then its hot standby from
# a base backup; ready once the standby has replayed everything.
start_pg_pair() {
    local work=$1 source=$2 primary standby
    primary=$(cluster_dir "$work" primary)
    start_on_free_port "$work" primary
    load_postgres_schema "$primary" "$source"
    standby=$(make_cluster_dir "$work" standby)
    pg_init_standby "$primary" "$standby" "$admin"
    start_on_free_port "$work" standby
    pg_wait_for_replay "$primary" "$standby" "$admin"
}

# Starts the server of a new cluster on a free port, recorded in WORK_DIR too.
start_on_free_port() {
    local work=$1 name=$2 dir
    dir=$(cluster_dir "$work" "$name")
    pg_start_on_free_port "$dir" "${pg_settings[@]}"
    cp "$dir/port" "$work/pg-$name.port"
}

psql_admin() {
    local dir=$1 db=$2
    shift 2
    pg_client "$dir" "$admin" "$db" "$@"
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
    rm -f "$work/zel_test.sqlite" "$work/$tavik_file"
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
    } | sqlite3 -bail "$work/$tavik_file"
}

# --- MariaDB ----------------------------------------------------------------

mariadb_dir() { server_dir "$1" mariadb "$2"; }
make_mariadb_dir() { make_server_dir "$1" mariadb "$2" mysql; }

# Data folders for every MariaDB server: one mariadb-install-db, then copies.
init_mariadb() {
    local work=$1 name first dir
    first=$(make_mariadb_dir "$work" "${mariadb_servers[0]}")
    mariadb_init "$first"
    for name in "${mariadb_servers[@]:1}"; do
        dir=$(make_mariadb_dir "$work" "$name")
        server_run_as mysql cp -a "$first/data" "$dir/data"
    done
}

start_mariadb_on_free_port() {
    local work=$1 name=$2 dir settings
    dir=$(mariadb_dir "$work" "$name")
    read -r -a settings <<<"$(mariadb_settings_of "$name")"
    mariadb_start_on_free_port "$dir" "${settings[@]}"
    cp "$dir/port" "$work/mariadb-$name.port"
}

# The MariaDB pair: both from the same fresh data folder, replication set up
# before the schema is loaded on the primary, so that the replica applies the
# whole binary log; ready once the replica has applied it all.
start_mariadb_pair() {
    local work=$1 source=$2 primary standby
    primary=$(mariadb_dir "$work" primary)
    standby=$(mariadb_dir "$work" standby)
    start_mariadb_on_free_port "$work" primary
    start_mariadb_on_free_port "$work" standby
    mariadb_replicate "$primary" "$standby" "$replication_user" "$replication_password"
    load_mariadb_schema "$primary" "$source"
    mariadb_wait_for_replay "$primary" "$standby"
}

load_mariadb_schema() {
    local dir=$1 source=$2
    {
        echo "SET @reader = '$reader', @reader_password = '$reader_password';"
        echo "SET @long_text = '$(long_text)', @payload = X'$(payload_hex)';"
        cat "$source/sql/mariadb.sql"
    } | mariadb_client "$dir" --batch >"$dir/load.log" 2>&1 ||
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
    local mariadb_main_port mariadb_outage_port mariadb_kill_port wait_port mariadb_wait_port
    wait_port=$(cat "$work/pg-wait.port")
    mariadb_wait_port=$(cat "$work/mariadb-wait.port")
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

[zel_pg_wait]
Driver=ZEL PostgreSQL Unicode
Servername=127.0.0.1
Port=$wait_port
Database=$database
SSLmode=disable

[zel_pg_silent]
Driver=ZEL PostgreSQL Unicode
Servername=127.0.0.1
Port=$(cat "$work/silent-pg.port")
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

[zel_mariadb_wait]
Driver=ZEL MariaDB
Server=127.0.0.1
Port=$mariadb_wait_port
Database=$database

[zel_mariadb_silent]
Driver=ZEL MariaDB
Server=127.0.0.1
Port=$(cat "$work/silent-mariadb.port")
Database=$database
INI
    write_pair_sources "$work" >>"$work/odbc.ini"
}

# The data sources of the replicated pairs: zel_<kind>_primary<suffix> and
# zel_<kind>_standby<suffix> for the empty suffix and each suffix that
# [standby pairs] of backends.ini names. A Database keeps what it learns of a
# source under the source's name for the whole process, so each standby test
# reaches the same two servers under names of its own.
write_pair_sources() {
    local work=$1 suffix role suffixes
    read -r -a suffixes <<<"$(ini_value "standby pairs" suffixes)"
    for suffix in "" "${suffixes[@]}"; do
        for role in primary standby; do
            cat <<INI

[zel_pg_$role$suffix]
Driver=ZEL PostgreSQL Unicode
Servername=127.0.0.1
Port=$(cat "$work/pg-$role.port")
Database=$database
SSLmode=disable

[zel_mariadb_$role$suffix]
Driver=ZEL MariaDB
Server=127.0.0.1
Port=$(cat "$work/mariadb-$role.port")
Database=$database
INI
        done
    done
}

# Ports for the listeners that the bounded-wait tests run themselves, chosen
# once every server listens. Nothing holds them until a test binds them; a
# test that finds its port taken fails and says so.
pick_silent_ports() {
    local work=$1 pg mariadb attempt=1
    pg=$(pick_port 1)
    mariadb=$pg
    while [ "$mariadb" = "$pg" ]; do
        attempt=$((attempt + 1))
        mariadb=$(pick_port "$attempt")
    done
    echo "$pg" >"$work/silent-pg.port"
    echo "$mariadb" >"$work/silent-mariadb.port"
}

# The throwaway account that plays another local user in the tests of files
# that someone else controls (tests/integration/other_user_test.cpp; the names
# are other_user, shared_group and owner_only_group in
# tests/support/test_support.h), and two groups: one that the user running the
# tests shares with him, and one that has the user running the tests as its
# only member. Only root can make them; the tests that need them fail without
# them. Run again, it leaves the same accounts and the same members.
make_other_user() {
    local user=zel_sql_attacker victim
    [ "$(id -u)" -eq 0 ] || return 0
    victim=$(id -un)
    id "$user" >/dev/null 2>&1 ||
        useradd --system --no-create-home --shell /usr/sbin/nologin "$user" ||
        id "$user" >/dev/null 2>&1 || die "cannot create the user $user"
    make_group zel_sql_shared "$victim,$user"
    make_group zel_sql_solo "$victim"
}

# Creates the group $1 unless it exists, and makes the users listed in $2
# (separated by commas) its members, and nobody else.
make_group() {
    local group=$1 members=$2
    getent group "$group" >/dev/null || groupadd --system "$group" ||
        getent group "$group" >/dev/null || die "cannot create the group $group"
    gpasswd --members "$members" "$group" >/dev/null || die "cannot set the members of $group"
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
    # Standbys before their primaries: a primary's fast shutdown waits until
    # its standbys have received its last record.
    for name in "${pg_standbys[@]}" "${clusters[@]}"; do
        dir=$(cluster_dir "$work" "$name")
        [ -d "$dir" ] || continue
        pg_stop "$dir" || true
        if [ -f "$work/pg-$name.location" ]; then
            rm -rf "$dir" "$work/pg-$name.location"
        fi
    done
    for name in "${mariadb_servers[@]}"; do
        dir=$(mariadb_dir "$work" "$name")
        [ -d "$dir" ] || continue
        mariadb_stop "$dir" || mariadb_stop "$dir" immediate || true
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
        servers_require
        command -v sqlite3 >/dev/null || die "sqlite3 is not installed"
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
            [ "$name" = primary ] && continue
            (
                start_on_free_port "$work" "$name"
                load_postgres_schema "$(cluster_dir "$work" "$name")" "$source"
            ) &
            jobs+=($!)
        done
        start_pg_pair "$work" "$source" &
        jobs+=($!)
        start_mariadb_pair "$work" "$source" &
        jobs+=($!)
        for name in "${mariadb_servers[@]}"; do
            [ "$name" = primary ] || [ "$name" = standby ] && continue
            (
                start_mariadb_on_free_port "$work" "$name"
                load_mariadb_schema "$(mariadb_dir "$work" "$name")" "$source"
            ) &
            jobs+=($!)
        done
        load_sqlite_schema "$work" "$source"
        make_other_user
        wait_for_jobs "${jobs[@]}"
        pick_silent_ports "$work"
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
                local settings
                read -r -a settings <<<"$(mariadb_settings_of "${3#mariadb-}")"
                mariadb_running "$dir" || mariadb_start "$dir" "${settings[@]}" ||
                    die "MariaDB server ${3#mariadb-} did not start again"
            else
                mariadb_stop "$dir" "$mode"
            fi
            ;;
        *)
            dir=$(cluster_dir "$work" "$3")
            if [ "$command" = resume ]; then
                pg_running "$dir" || pg_start "$dir" "${pg_settings[@]}"
            else
                pg_stop "$dir" "$mode"
            fi
            ;;
        esac
        ;;
    *) die "unknown command $command" ;;
    esac
}

main "$@"
